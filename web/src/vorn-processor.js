// The AudioWorkletGlobalScope's side of vorn~: one engine per scope, so
// that every node of a context shares the library's random source as
// every vorn~ of a Max session does; one engine instance per node.
//
// 'vorn-library' is made once per context by addVornModule: it loads the
// engine from the bytes in its processorOptions and then carries the
// context's named buffers. 'vorn~' is a VornNode's processor. Every message
// is {id, op, ...}, answered after it is applied with {id, lines, result}
// or {id, lines, error}: lines are the console lines it caused. Nothing
// thrown here reaches the audio thread's caller: process() renders silence
// instead, and a failed message is answered with its error.
import { VornEngine } from './vorn-engine.js';

let engine = null;
// The instances made since the last render quantum, in the order they were
// made: the first process() of any node compiles them all before any
// renders, as a DSP start compiles every object before the first vector
// (the shared random source draws in that order).
let starting = [];

function start() {
  const due = starting;
  starting = [];
  for (const instance of due) instance.compile(sampleRate);
}

// Runs `fn` with the console lines it posts collected.
function collecting(fn) {
  const lines = [];
  const previous = engine.onConsole;
  engine.onConsole = (line, problem) => lines.push([line, problem]);
  try {
    return { lines, result: fn() };
  } catch (error) {
    return { lines, error: String(error && error.message ? error.message : error) };
  } finally {
    engine.onConsole = previous;
  }
}

// A message's atoms as the port delivers them: numbers and strings, null
// for the rest.
function atomsOf(value) {
  return Array.isArray(value) ? value : [];
}

class VornLibraryProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const { wasm, seed, kernel } = (options && options.processorOptions) || {};
    this.port.onmessage = (event) => this.#message(event.data);
    if (engine) {
      this.port.postMessage({ type: 'ready', kernel: engine.kernel, lines: [] });
      return;
    }
    const lines = [];
    VornEngine.create(wasm, { seed, kernel, onConsole: (line, problem) => lines.push([line, problem]) }).then(
      (e) => {
        engine = e;
        e.onConsole = () => {};
        this.port.postMessage({ type: 'ready', kernel: e.kernel, lines });
      },
      (error) => {
        this.port.postMessage({ type: 'failed', error: String(error && error.message ? error.message : error), lines });
      },
    );
  }

  #message(m) {
    if (!m || typeof m !== 'object') return;
    if (!engine) {
      this.port.postMessage({ id: m.id, lines: [], error: 'vorn~: the library is not loaded' });
      return;
    }
    const reply = collecting(() => {
      if (m.op === 'buffer') return engine.setBuffer(m.name, m.samples, { rate: m.rate });
      if (m.op === 'version') return engine.version();
      throw new Error(`vorn~: no such message: ${m.op}`);
    });
    this.port.postMessage({ id: m.id, ...reply });
  }

  process() {
    return true;
  }
}

class VornProcessor extends AudioWorkletProcessor {
  #instance = null;
  #disposed = false;
  #failed = false;

  constructor(options) {
    super();
    this.port.onmessage = (event) => this.#message(event.data);
    if (!engine) {
      this.port.postMessage({ type: 'console', lines: [['vorn~: the library is not loaded: this vorn~ stays silent', true]] });
      return;
    }
    const args = atomsOf(options && options.processorOptions && options.processorOptions.args);
    const { lines } = collecting(() => {
      this.#instance = engine.newInstance(args);
    });
    starting.push(this.#instance);
    if (lines.length) this.port.postMessage({ type: 'console', lines });
  }

  #message(m) {
    if (!m || typeof m !== 'object') return;
    const v = this.#instance;
    if (!v || this.#disposed) {
      this.port.postMessage({ id: m.id, lines: [], error: this.#disposed ? 'vorn~: the node is disposed' : 'vorn~: this vorn~ has no engine' });
      return;
    }
    const reply = collecting(() => {
      switch (m.op) {
        case 'number': return v.number(m.inlet, m.value);
        case 'list': return v.list(m.inlet, atomsOf(m.values));
        case 'set': return v.set(...atomsOf(m.atoms));
        case 'overlap': return v.overlap(...atomsOf(m.atoms));
        case 'loadbang': return v.loadbang();
        case 'print': return v.print();
        case 'version': return v.version();
        case 'samples': return v.setSamples(m.samples, { rate: m.rate });
        case 'grains': return v.grains();
        case 'dispose':
          v.delete();
          this.#disposed = true;
          return undefined;
        default: throw new Error(`vorn~: no such message: ${m.op}`);
      }
    });
    this.port.postMessage({ id: m.id, ...reply });
  }

  process(inputs, outputs) {
    const out = outputs[0] && outputs[0][0];
    if (this.#disposed) {
      if (out) out.fill(0);
      return false;
    }
    const v = this.#instance;
    if (!v || !out) return true;
    try {
      if (starting.length) start();
      const input = inputs[0] && inputs[0][0];
      v.perform(input || null, out);
    } catch (error) {
      out.fill(0);
      if (!this.#failed) {
        this.#failed = true;
        this.port.postMessage({ type: 'console', lines: [[`vorn~: ${error && error.message ? error.message : error}`, true]] });
      }
    }
    return true;
  }
}

registerProcessor('vorn-library', VornLibraryProcessor);
registerProcessor('vorn~', VornProcessor);
