// vorn~'s engine (vorn.wasm) behind a small class per instance, with the
// host's side that the Max binding leaves to Max: named sample buffers and
// their lookup, the console lines about them, atoms as Max types them.
// Runs wherever WebAssembly does: node, an AudioWorkletGlobalScope (which
// has no TextDecoder, hence the UTF-8 code below), a page or a worker.
// Nothing here throws on a bad value: a value of the wrong type is an atom
// of another type, handled as the object handles one.

export const WASM_FILES = Object.freeze({ simd: 'vorn-simd.wasm', nosimd: 'vorn-nosimd.wasm' });

// (func (result v128) v128.const 0): valid only where SIMD is.
const SIMD_PROBE = new Uint8Array([
  0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00, 0x01, 0x05, 0x01, 0x60, 0x00, 0x01, 0x7b, 0x03, 0x02, 0x01, 0x00,
  0x0a, 0x16, 0x01, 0x14, 0x00, 0xfd, 0x0c, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0b,
]);

export function hasWasmSimd() {
  try {
    return WebAssembly.validate(SIMD_PROBE);
  } catch {
    return false;
  }
}

// Argument kinds of the C interface.
const NUMBER = 0;
const SYMBOL = 1;
const OTHER = 2;

const INT32_MIN = -2147483648;
const INT32_MAX = 2147483647;
const MAX_TRANSPOSITIONS = 256; // what the engine keeps of a list
const MAX_GRAINS = 1024;

// A number as a Max atom carries it: an int32 as it is, any other number
// rounded to single precision (past the largest float: infinity).
export function atomNumber(v) {
  return Number.isInteger(v) && v >= INT32_MIN && v <= INT32_MAX ? v | 0 : Math.fround(v);
}

function utf8Encode(text) {
  const bytes = [];
  for (const ch of String(text)) {
    let c = ch.codePointAt(0);
    if (c >= 0xd800 && c <= 0xdfff) c = 0xfffd; // a lone surrogate
    if (c < 0x80) bytes.push(c);
    else if (c < 0x800) bytes.push(0xc0 | (c >> 6), 0x80 | (c & 63));
    else if (c < 0x10000) bytes.push(0xe0 | (c >> 12), 0x80 | ((c >> 6) & 63), 0x80 | (c & 63));
    else bytes.push(0xf0 | (c >> 18), 0x80 | ((c >> 12) & 63), 0x80 | ((c >> 6) & 63), 0x80 | (c & 63));
  }
  return bytes;
}

function utf8Decode(bytes) {
  let text = '';
  for (let i = 0; i < bytes.length; ) {
    const b = bytes[i];
    const need = b < 0x80 ? 0 : b >= 0xf0 && b < 0xf8 ? 3 : b >= 0xe0 ? 2 : b >= 0xc0 ? 1 : -1;
    let c = need === 0 ? b : need === 1 ? b & 31 : need === 2 ? b & 15 : b & 7;
    let ok = need >= 0 && i + need < bytes.length + (need === 0 ? 1 : 0);
    for (let k = 1; ok && k <= need; ++k) {
      if ((bytes[i + k] & 0xc0) !== 0x80) ok = false;
      else c = (c << 6) | (bytes[i + k] & 63);
    }
    if (!ok) {
      text += '\ufffd';
      ++i;
      continue;
    }
    text += String.fromCodePoint(c);
    i += need + 1;
  }
  return text;
}

// printf's "%f": six decimals of the exact binary value, ties to even.
export function formatFixed6(x) {
  if (Number.isNaN(x)) return 'nan';
  if (!Number.isFinite(x)) return x < 0 ? '-inf' : 'inf';
  const negative = x < 0 || Object.is(x, -0);
  const bits = new DataView(new ArrayBuffer(8));
  bits.setFloat64(0, Math.abs(x));
  const hi = bits.getUint32(0);
  const lo = bits.getUint32(4);
  const biased = hi >>> 20;
  let mantissa = (BigInt(hi & 0xfffff) << 32n) | BigInt(lo);
  let exponent;
  if (biased === 0) exponent = -1074;
  else {
    mantissa |= 1n << 52n;
    exponent = biased - 1075;
  }
  let q;
  if (exponent >= 0) q = (mantissa << BigInt(exponent)) * 1000000n;
  else {
    const num = mantissa * 1000000n;
    const den = 1n << BigInt(-exponent);
    q = num / den;
    const twice = 2n * (num % den);
    if (twice > den || (twice === den && (q & 1n) === 1n)) q += 1n;
  }
  const digits = q.toString().padStart(7, '0');
  return `${negative ? '-' : ''}${digits.slice(0, -6)}.${digits.slice(-6)}`;
}

// An array or typed array: what samples and signals may be given as.
function isSamples(x) {
  return Array.isArray(x) || (ArrayBuffer.isView(x) && !(x instanceof DataView));
}

function describe(v) {
  return typeof v === 'string' ? `"${v}"` : String(v);
}

// The clock that seeds an unseeded library: realtime, nanoseconds.
function realtimeNs() {
  return BigInt(Date.now()) * 1000000n;
}

export class VornEngine {
  // The engine of `source` (a WebAssembly.Module, or the bytes of a
  // vorn.wasm build), loaded: options.seed (0 to 4294967295) seeds the
  // random source as vorn render's --seed does, else the clock does;
  // options.kernel names a kernel; options.onConsole(line, isProblem)
  // takes the console lines, the banner first.
  static async create(source, options = {}) {
    const engine = new VornEngine(options);
    const module = source instanceof WebAssembly.Module ? source : await WebAssembly.compile(source);
    engine.#attach(await WebAssembly.instantiate(module, engine.#imports()));
    return engine;
  }

  // The same from a compiled module, at once.
  static createSync(module, options = {}) {
    const engine = new VornEngine(options);
    engine.#attach(new WebAssembly.Instance(module, engine.#imports()));
    return engine;
  }

  onConsole;
  kernel = '';
  #options;
  #exports = null;
  #memory = null;
  #heap = null; // an ArrayBuffer whose views below are current
  #u8;
  #i32;
  #f32;
  #f64;
  #kinds = 0; // scratch: argument kinds, numbers, a signal vector in and out, grains
  #numbers = 0;
  #grains = 0;
  #vectorIn = 0;
  #vectorOut = 0;
  #vectorRoom = 0;
  #symbols = new Map(); // name -> id: the symbol's number in an argument array
  buffers = new Map(); // name -> BufferRecord, the buffers that have a name now

  constructor(options) {
    if (!options || typeof options !== 'object') options = {};
    const { seed } = options;
    if (seed !== undefined && seed !== null && !(Number.isInteger(seed) && seed >= 0 && seed <= 0xffffffff))
      throw new RangeError(`vorn~: seed ${describe(seed)} is not an integer from 0 to 4294967295`);
    this.#options = options;
    this.onConsole = typeof options.onConsole === 'function' ? options.onConsole : () => {};
  }

  #imports() {
    const engine = this;
    const view = () => new DataView(engine.#memory.buffer);
    return {
      env: {
        vorn_console(ptr, length, problem) {
          engine.post(utf8Decode(new Uint8Array(engine.#memory.buffer, ptr, length)), problem !== 0);
        },
      },
      wasi_snapshot_preview1: {
        environ_sizes_get(countPtr, sizePtr) {
          view().setUint32(countPtr, 0, true);
          view().setUint32(sizePtr, 0, true);
          return 0;
        },
        environ_get() {
          return 0;
        },
        clock_time_get(id, precision, outPtr) {
          view().setBigUint64(outPtr, realtimeNs(), true);
          return 0;
        },
        proc_exit(code) {
          throw new Error(`vorn~: the engine exited (${code})`);
        },
      },
    };
  }

  #attach(instance) {
    this.#exports = instance.exports;
    this.#memory = instance.exports.memory;
    this.#exports._initialize();
    const x = this.#exports;
    this.#kinds = x.vorn_alloc(MAX_TRANSPOSITIONS * 4);
    this.#numbers = x.vorn_alloc(MAX_TRANSPOSITIONS * 8);
    this.#grains = x.vorn_alloc(MAX_GRAINS * 3 * 8);
    if (!this.#kinds || !this.#numbers || !this.#grains) throw new Error('vorn~: out of memory');
    const { seed, kernel } = this.#options;
    let kernelPtr = 0;
    if (kernel !== undefined && kernel !== null) {
      const bytes = utf8Encode(kernel);
      kernelPtr = x.vorn_alloc(bytes.length + 1);
      this.#view();
      this.#u8.set(bytes, kernelPtr);
      this.#u8[kernelPtr + bytes.length] = 0;
    }
    const seeded = seed !== undefined && seed !== null;
    x.vorn_load(seeded ? 1 : 0, seeded ? seed >>> 0 : 0, kernelPtr);
    if (kernelPtr) x.vorn_release(kernelPtr);
    this.kernel = this.#cString(x.vorn_kernel());
  }

  // Views of the memory as it is now: an allocation may have grown it.
  #view() {
    if (this.#heap !== this.#memory.buffer) {
      this.#heap = this.#memory.buffer;
      this.#u8 = new Uint8Array(this.#heap);
      this.#i32 = new Int32Array(this.#heap);
      this.#f32 = new Float32Array(this.#heap);
      this.#f64 = new Float64Array(this.#heap);
    }
  }

  #cString(ptr) {
    this.#view();
    let end = ptr;
    while (this.#u8[end] !== 0) ++end;
    return utf8Decode(this.#u8.subarray(ptr, end));
  }

  // One console line, to onConsole; a throwing onConsole costs the line only.
  post(line, problem = false) {
    try {
      this.onConsole(line, problem);
    } catch {
      // the console's fault, not the message's
    }
  }

  get exports() {
    return this.#exports;
  }

  // The first `room` of `atoms` into the argument arrays; their count.
  writeArgs(atoms, room) {
    const n = Math.min(atoms.length, room);
    this.#view();
    const k0 = this.#kinds >> 2;
    const n0 = this.#numbers >> 3;
    for (let i = 0; i < n; ++i) {
      const v = atoms[i];
      if (typeof v === 'number') {
        this.#i32[k0 + i] = NUMBER;
        this.#f64[n0 + i] = atomNumber(v);
      } else if (typeof v === 'string') {
        let id = this.#symbols.get(v);
        if (id === undefined) this.#symbols.set(v, (id = this.#symbols.size + 1));
        this.#i32[k0 + i] = SYMBOL;
        this.#f64[n0 + i] = id;
      } else {
        this.#i32[k0 + i] = OTHER;
        this.#f64[n0 + i] = 0;
      }
    }
    return n;
  }

  get argKinds() {
    return this.#kinds;
  }

  get argNumbers() {
    return this.#numbers;
  }

  // Room in memory for a signal vector of n samples in and out.
  vectors(n) {
    if (n > this.#vectorRoom) {
      const x = this.#exports;
      const input = x.vorn_alloc(n * 4);
      const output = input && x.vorn_alloc(n * 4);
      if (!input || !output) {
        if (input) x.vorn_release(input);
        return null;
      }
      if (this.#vectorRoom) {
        x.vorn_release(this.#vectorIn);
        x.vorn_release(this.#vectorOut);
      }
      this.#vectorIn = input;
      this.#vectorOut = output;
      this.#vectorRoom = n;
    }
    this.#view();
    return { input: this.#vectorIn, output: this.#vectorOut, f32: this.#f32 };
  }

  grainScratch() {
    this.#view();
    return { ptr: this.#grains, f64: this.#f64 };
  }

  // Copies `samples` (floats; interleaved frames of `channels`) into the
  // engine's memory: the pointer, or 0 when there is no room. Never a null
  // pointer for no samples: an empty buffer is valid and read as empty.
  copyIn(samples) {
    const p = this.#exports.vorn_alloc(Math.max(samples.length, 1) * 4);
    if (!p) return 0;
    this.#view();
    this.#f32.set(samples, p >> 2);
    return p;
  }

  release(ptr) {
    if (ptr) this.#exports.vorn_release(ptr);
  }

  // The banner, as "version" posts it.
  version() {
    this.#exports.vorn_version();
  }

  // Makes the buffer `name` from `samples`, or replaces its samples in
  // place (the instances bound to it read them from their next vector);
  // null deletes it: the instances bound to it then read nothing, and print
  // it with 0 samples, until a set or loadbang finds another. False, with
  // nothing changed, for a name that is not a string, samples that are not
  // whole frames, a rate that is no positive number, or no memory.
  setBuffer(name, samples, options = {}) {
    if (typeof name !== 'string') return false;
    const record = this.buffers.get(name);
    if (samples === null || samples === undefined) {
      if (!record) return false;
      this.release(record.ptr);
      Object.assign(record, { ptr: 0, frames: 0, valid: 0 });
      this.buffers.delete(name);
      return true;
    }
    const fields = this.bufferFields(name, samples, options);
    if (!fields) return false;
    if (record) {
      this.release(record.ptr);
      Object.assign(record, fields);
    } else this.buffers.set(name, { name, ...fields });
    return true;
  }

  // A buffer's fields with its samples copied in, or null (see setBuffer).
  bufferFields(name, samples, options) {
    const { rate = 44100, channels = 1 } = options && typeof options === 'object' ? options : {};
    if (!(typeof rate === 'number' && rate > 0 && rate < Infinity)) return null;
    if (!(Number.isInteger(channels) && channels >= 1)) return null;
    if (!isSamples(samples)) return null;
    let data;
    try {
      data = samples instanceof Float32Array ? samples : Float32Array.from(samples);
    } catch {
      return null; // a BigInt array, say
    }
    if (data.length % channels !== 0) return null;
    const ptr = this.copyIn(data);
    if (!ptr) {
      this.post(`buffer~ ${name}: out of memory`, true);
      return null;
    }
    return { ptr, frames: data.length / channels, channels, khz: Math.fround(rate / 1000), valid: 1 };
  }

  hasBuffer(name) {
    return this.buffers.has(name);
  }

  // A new instance from a box's creation arguments (an array, as typed
  // after vorn~: the overlap exponent, then the "set" arguments).
  newInstance(args = []) {
    return new VornInstance(this, Array.isArray(args) ? args : []);
  }
}

export class VornInstance {
  #engine;
  #g; // the engine's instance; 0 once deleted or if none could be made
  bufferName = ''; // '' while no name is set
  binding = null; // the bound buffer's record, or null
  #own = null; // the record of setSamples' buffer, owned

  constructor(engine, args) {
    this.#engine = engine;
    const x = engine.exports;
    const n = engine.writeArgs(args, 1);
    this.#g = x.vorn_new(engine.argKinds, engine.argNumbers, n);
    if (!this.#g) engine.post('vorn~: out of memory: this vorn~ stays silent', true);
    else if (!x.vorn_usable(this.#g))
      engine.post(`vorn~: out of memory for ${x.vorn_max_overlap(this.#g)} grains: this vorn~ stays silent`, true);
    if (args.length > 1) this.set(...args.slice(1));
  }

  get usable() {
    return this.#g !== 0 && this.#engine.exports.vorn_usable(this.#g) === 1;
  }

  get maxOverlap() {
    return this.#g ? this.#engine.exports.vorn_max_overlap(this.#g) : 0;
  }

  get overlapCount() {
    return this.#g ? this.#engine.exports.vorn_overlap(this.#g) : 0;
  }

  // A number at an inlet (0 the position's, where numbers change nothing;
  // 1 jitter, 2 transposition, 3 detune, 4 period). False for anything but
  // a number, or an inlet that is not an integer.
  number(inlet, value) {
    if (!this.#g || typeof value !== 'number' || !Number.isInteger(inlet)) return false;
    this.#engine.exports.vorn_number(this.#g, inlet < 0 ? -1 : Math.min(inlet, 4), atomNumber(value));
    return true;
  }

  // A list at an inlet: at inlet 2 the transpositions to choose from.
  list(inlet, values) {
    if (!this.#g || !Number.isInteger(inlet) || values === null || typeof values !== 'object') return false;
    let atoms;
    try {
      atoms = Array.prototype.slice.call(values, 0, MAX_TRANSPOSITIONS);
    } catch {
      return false;
    }
    const e = this.#engine;
    const n = e.writeArgs(atoms, MAX_TRANSPOSITIONS);
    e.exports.vorn_list(this.#g, inlet < 0 ? -1 : Math.min(inlet, 4), e.argKinds, e.argNumbers, n);
    return true;
  }

  // "set NAME JITTER TRANSPOSITION DETUNE PERIOD": the settings, then the
  // binding dropped, the name taken if the first atom is a symbol, and the
  // buffer looked up by the name.
  set(...atoms) {
    if (!this.#g) return;
    const e = this.#engine;
    const n = e.writeArgs(atoms, 5);
    if (!e.exports.vorn_set(this.#g, e.argKinds, e.argNumbers, n)) return;
    this.binding = null;
    if (typeof atoms[0] === 'string') this.bufferName = atoms[0];
    this.loadbang();
  }

  overlap(...atoms) {
    if (!this.#g) return;
    const e = this.#engine;
    e.exports.vorn_overlap_message(this.#g, e.argKinds, e.argNumbers, e.writeArgs(atoms, 1));
  }

  // Looks the buffer up again by name; a failed lookup keeps the binding.
  loadbang() {
    if (!this.#g || this.bufferName === '') return;
    const record = this.#engine.buffers.get(this.bufferName);
    if (record) this.binding = record;
    else this.#engine.post(`vorn~: cannot get buffer~ "${this.bufferName}"`, true);
  }

  print() {
    if (!this.#g) return;
    const e = this.#engine;
    const b = this.binding;
    if (!b) {
      e.post('vorn~: no buffers');
      return;
    }
    e.post('vorn~');
    e.post(`  buffer~ "${this.bufferName}": ${b.frames} samples @ ${formatFixed6(b.khz)}kHz,`);
  }

  version() {
    if (this.#g) this.#engine.version();
  }

  // Binds `samples` directly, a buffer of no name: the name is cleared, so
  // loadbang leaves the binding alone. null unbinds.
  setSamples(samples, options = {}) {
    if (!this.#g) return false;
    const e = this.#engine;
    if (this.#own) e.release(this.#own.ptr);
    this.#own = null;
    this.binding = null;
    this.bufferName = '';
    if (samples === null || samples === undefined) return true;
    const fields = e.bufferFields('', samples, options);
    if (!fields) return false;
    this.#own = { name: '', ...fields };
    this.binding = this.#own;
    return true;
  }

  // The start of audio at `rate`: times converted, every grain restarted.
  compile(rate) {
    if (this.#g && typeof rate === 'number') this.#engine.exports.vorn_compile(this.#g, rate);
  }

  // One vector: `input` the position in ms (null, or too short: 0 past its
  // end), `output` a Float32Array that receives as many samples as it holds.
  // The bound buffer is read as it is now.
  perform(input, output) {
    if (!(output instanceof Float32Array)) return false;
    const n = output.length;
    const e = this.#engine;
    const v = this.#g && n > 0 ? e.vectors(n) : null;
    if (!v) {
      output.fill(0);
      return n === 0;
    }
    const at = v.input >> 2;
    const given = isSamples(input) ? Math.min(input.length, n) : 0;
    try {
      if (given) v.f32.set(given === input.length ? input : Array.prototype.slice.call(input, 0, given), at);
    } catch {
      v.f32.fill(0, at, at + given); // a BigInt array, say
    }
    if (given < n) v.f32.fill(0, at + given, at + n);
    const b = this.binding;
    const x = e.exports;
    if (b && b.valid) x.vorn_source(this.#g, b.ptr, b.frames, b.channels, 1);
    else x.vorn_source(this.#g, 0, 0, 1, 0);
    x.vorn_perform(this.#g, v.input, v.output, n);
    const { f32 } = e.vectors(n); // perform allocates nothing, but be sure of the view
    output.set(f32.subarray(v.output >> 2, (v.output >> 2) + n));
    return true;
  }

  // The active grains: position (frames), window (0 to 1), speed (frames a
  // sample).
  grains() {
    if (!this.#g) return [];
    const e = this.#engine;
    const { ptr } = e.grainScratch();
    const count = e.exports.vorn_grains(this.#g, ptr, MAX_GRAINS);
    const { f64 } = e.grainScratch();
    const at = ptr >> 3;
    const out = new Array(count);
    for (let i = 0; i < count; ++i)
      out[i] = { position: f64[at + 3 * i], window: f64[at + 3 * i + 1], speed: f64[at + 3 * i + 2] };
    return out;
  }

  delete() {
    if (!this.#g) return;
    if (this.#own) this.#engine.release(this.#own.ptr);
    this.#own = null;
    this.binding = null;
    this.#engine.exports.vorn_delete(this.#g);
    this.#g = 0;
  }

  get deleted() {
    return this.#g === 0;
  }
}
