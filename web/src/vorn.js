// vorn~ for Web Audio, the main thread's side: the context's library
// (addVornModule), its named buffers (setBuffer) and VornNode. Every
// message goes to the worklet through a port and its Promise resolves
// once the worklet has applied it (README.md).
import { WASM_FILES, hasWasmSimd } from './vorn-engine.js';

const here = new URL('./', import.meta.url);
const contexts = new WeakMap(); // context -> Library

function defaultConsole(line, problem) {
  if (problem) console.warn(line);
  else console.log(line);
}

// Requests over one port: {id, ...} out, {id, lines, result | error} back.
class Channel {
  #port;
  #onConsole;
  #pending = new Map();
  #next = 1;
  #broken = null;

  constructor(port, onConsole) {
    this.#port = port;
    this.#onConsole = onConsole;
    port.onmessage = (event) => this.#reply(event.data);
  }

  #lines(lines) {
    for (const [line, problem] of Array.isArray(lines) ? lines : []) {
      try {
        this.#onConsole(line, problem);
      } catch {
        // the console's fault, not the message's
      }
    }
  }

  #reply(m) {
    if (!m || typeof m !== 'object') return;
    this.#lines(m.lines);
    const waiting = this.#pending.get(m.id);
    if (!waiting) return this.listener?.(m);
    this.#pending.delete(m.id);
    if ('error' in m) waiting.reject(new Error(m.error));
    else waiting.resolve(m.result);
  }

  call(message, transfer = []) {
    if (this.#broken) return Promise.reject(this.#broken);
    const id = this.#next++;
    return new Promise((resolve, reject) => {
      this.#pending.set(id, { resolve, reject });
      try {
        this.#port.postMessage({ ...message, id }, transfer);
      } catch (error) {
        this.#pending.delete(id);
        reject(error);
      }
    });
  }

  // The processor is gone: what waits, and what comes, rejects.
  break(error) {
    this.#broken = error;
    for (const { reject } of this.#pending.values()) reject(error);
    this.#pending.clear();
  }
}

// A value as an atom through the port: numbers and strings pass, anything
// else is an atom of another type (null).
function atom(v) {
  return typeof v === 'number' || typeof v === 'string' ? v : null;
}

function isAudioBuffer(b) {
  return b !== null && typeof b === 'object' && typeof b.getChannelData === 'function' && typeof b.sampleRate === 'number';
}

// The first channel of an AudioBuffer, copied for transfer.
function firstChannel(b) {
  const samples = b.getChannelData(0).slice();
  return { samples, rate: b.sampleRate, transfer: [samples.buffer] };
}

function library(context, what) {
  const lib = contexts.get(context);
  if (!lib || !lib.channel) throw new Error(`vorn~: ${what}: await addVornModule(context) first`);
  return lib;
}

// Adds vorn~ to `context` and loads its library, once (README.md).
export function addVornModule(context, options = {}) {
  const known = contexts.get(context);
  if (known) return known.ready;
  const lib = { channel: null, onConsole: defaultConsole, ready: null };
  contexts.set(context, lib);
  lib.ready = (async () => {
    const { wasmUrl = here, processorUrl = new URL('vorn-processor.js', here), simd, seed, kernel, onConsole } = options;
    if (seed !== undefined && !(Number.isInteger(seed) && seed >= 0 && seed <= 0xffffffff))
      throw new RangeError(`vorn~: seed ${String(seed)} is not an integer from 0 to 4294967295`);
    if (kernel !== undefined && typeof kernel !== 'string') throw new TypeError('vorn~: kernel is a name');
    if (typeof onConsole === 'function') lib.onConsole = onConsole;
    const useSimd = typeof simd === 'boolean' ? simd : hasWasmSimd();
    const url = new URL(useSimd ? WASM_FILES.simd : WASM_FILES.nosimd, new URL(String(wasmUrl), here));
    const response = await fetch(url);
    if (!response.ok) throw new Error(`vorn~: ${url}: ${response.status} ${response.statusText}`);
    const wasm = await response.arrayBuffer();
    await context.audioWorklet.addModule(String(processorUrl));
    const node = new AudioWorkletNode(context, 'vorn-library', {
      numberOfInputs: 0,
      numberOfOutputs: 1,
      outputChannelCount: [1],
      processorOptions: { wasm, seed, kernel },
    });
    const channel = new Channel(node.port, (line, problem) => lib.onConsole(line, problem));
    const loaded = await new Promise((resolve, reject) => {
      channel.listener = (m) => {
        if (m.type === 'ready') resolve(m);
        else if (m.type === 'failed') reject(new Error(m.error));
      };
      node.onprocessorerror = () => reject(new Error('vorn~: the library failed to load'));
    });
    channel.listener = null;
    lib.node = node; // kept: its port carries the buffers
    lib.channel = channel;
    return { kernel: loaded.kernel, simd: useSimd };
  })();
  lib.ready.catch(() => contexts.delete(context)); // a failed load may be tried again
  return lib.ready;
}

// The context's buffer `name` from the first channel of `audioBuffer`,
// made or replaced in place; null deletes it.
export async function setBuffer(context, name, audioBuffer) {
  const lib = library(context, 'setBuffer');
  if (typeof name !== 'string') throw new TypeError(`vorn~: a buffer's name is a string, not ${String(name)}`);
  if (audioBuffer === null) return lib.channel.call({ op: 'buffer', name, samples: null });
  if (!isAudioBuffer(audioBuffer)) throw new TypeError('vorn~: setBuffer takes an AudioBuffer or null');
  const { samples, rate, transfer } = firstChannel(audioBuffer);
  const made = await lib.channel.call({ op: 'buffer', name, samples, rate }, transfer);
  if (!made) throw new Error(`vorn~: buffer~ ${name}: out of memory`);
}

const CREATION = ['overlap', 'buffer', 'jitter', 'transposition', 'detune', 'period'];

// One vorn~ object as an AudioWorkletNode (README.md).
export class VornNode extends AudioWorkletNode {
  #channel;

  constructor(context, options = {}) {
    const lib = library(context, 'VornNode');
    const given = options && typeof options === 'object' ? options : {};
    let count = 0;
    CREATION.forEach((key, i) => {
      if (given[key] !== undefined) count = i + 1;
    });
    const args = CREATION.slice(0, count).map((key) => atom(given[key]));
    super(context, 'vorn~', {
      numberOfInputs: 1,
      numberOfOutputs: 1,
      outputChannelCount: [1],
      channelCount: 1,
      channelCountMode: 'explicit',
      channelInterpretation: 'discrete',
      processorOptions: { args },
    });
    this.#channel = new Channel(this.port, (line, problem) => lib.onConsole(line, problem));
    this.addEventListener('processorerror', () => this.#channel.break(new Error('vorn~: the processor failed')));
  }

  #number(inlet, what, value) {
    if (typeof value !== 'number')
      return Promise.reject(new TypeError(`vorn~: ${what} takes a number, not ${typeof value === 'string' ? `"${value}"` : String(value)}`));
    return this.#channel.call({ op: 'number', inlet, value });
  }

  jitter(ms) {
    return this.#number(1, 'jitter', ms);
  }

  transposition(cents) {
    if (Array.isArray(cents) || ArrayBuffer.isView(cents))
      return this.#channel.call({ op: 'list', inlet: 2, values: Array.from(cents.slice(0, 256), atom) });
    return this.#number(2, 'transposition', cents);
  }

  detune(cents) {
    return this.#number(3, 'detune', cents);
  }

  period(ms) {
    return this.#number(4, 'period', ms);
  }

  set(...atoms) {
    return this.#channel.call({ op: 'set', atoms: atoms.map(atom) });
  }

  overlap(...atoms) {
    return this.#channel.call({ op: 'overlap', atoms: atoms.map(atom) });
  }

  loadbang() {
    return this.#channel.call({ op: 'loadbang' });
  }

  print() {
    return this.#channel.call({ op: 'print' });
  }

  version() {
    return this.#channel.call({ op: 'version' });
  }

  async setAudioBuffer(audioBuffer) {
    if (audioBuffer === null) return this.#channel.call({ op: 'samples', samples: null });
    if (!isAudioBuffer(audioBuffer)) throw new TypeError('vorn~: setAudioBuffer takes an AudioBuffer or null');
    const { samples, rate, transfer } = firstChannel(audioBuffer);
    const made = await this.#channel.call({ op: 'samples', samples, rate }, transfer);
    if (!made) throw new Error('vorn~: out of memory for the AudioBuffer');
  }

  grains() {
    return this.#channel.call({ op: 'grains' });
  }

  async dispose() {
    await this.#channel.call({ op: 'dispose' });
    this.#channel.break(new Error('vorn~: the node is disposed'));
  }
}
