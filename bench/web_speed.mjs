// The engine as WebAssembly in node (V8), timed as engine_bench times the
// native kernels (BM_Perform): 1024 grains of 100 ms over a 10 s source at
// 44.1 kHz, vectors of 64, the position scanning the middle of the source
// at half speed. Prints ns per grain-sample in CPU time (as Google
// Benchmark counts it), the fastest of RUNS runs of a second of sound each.
//   node bench/web_speed.mjs VORN.WASM [RUNS] [KERNEL]
import { readFileSync } from 'node:fs';
import process from 'node:process';

const [wasmPath, runsArg = '3', kernel = ''] = process.argv.slice(2);
if (!wasmPath) {
  process.stderr.write('usage: node web_speed.mjs VORN.WASM [RUNS] [KERNEL]\n');
  process.exit(2);
}

let memory;
const text = new TextDecoder();
const imports = {
  env: { vorn_console: (p, n, problem) => { if (problem) process.stderr.write(text.decode(new Uint8Array(memory.buffer, p, n)) + '\n'); } },
  wasi_snapshot_preview1: {
    environ_get: () => 0,
    environ_sizes_get: (count, size) => { const v = new DataView(memory.buffer); v.setUint32(count, 0, true); v.setUint32(size, 0, true); return 0; },
    clock_time_get: (id, precision, out) => { new DataView(memory.buffer).setBigUint64(out, 1n, true); return 0; },
    proc_exit: (code) => { throw new Error(`exit ${code}`); },
  },
};
const { instance } = await WebAssembly.instantiate(readFileSync(wasmPath), imports);
const x = instance.exports;
memory = x.memory;
x._initialize();
let name = 0;
if (kernel) {
  name = x.vorn_alloc(kernel.length + 1);
  new Uint8Array(memory.buffer, name, kernel.length + 1).set([...new TextEncoder().encode(kernel), 0]);
}
x.vorn_load(1, 1, name);

const rate = 44100, vector = Number(process.env.VECTOR ?? 64), frames = 10 * rate;
const source = x.vorn_alloc(frames * 4);
const samples = new Float32Array(memory.buffer, source, frames);
for (let i = 0; i < frames; ++i) samples[i] = Math.fround(0.5 * Math.sin(i * 0.0314) + 0.25 * Math.sin(i * 0.0071));
const kinds = x.vorn_alloc(4), numbers = x.vorn_alloc(8);
new Int32Array(memory.buffer, kinds, 1)[0] = 0;
new Float64Array(memory.buffer, numbers, 1)[0] = 10;  // 1024 grains
const g = x.vorn_new(kinds, numbers, 1);
x.vorn_number(g, 4, 100);  // period, ms
x.vorn_source(g, source, frames, 1, 1);
x.vorn_compile(g, rate);
const input = x.vorn_alloc(vector * 4), output = x.vorn_alloc(vector * 4);
const grains = x.vorn_overlap(g);

const length = frames / 44.1;  // ms
let position = 0.1 * length;
const vectorsPerRun = Math.round(1.0 * rate / vector);
let best = Infinity;
// A first run is a warm-up, untimed: V8 compiles the module quickly first and
// optimises what runs hot a moment later.
for (let run = -1; run < Number(runsArg); ++run) {
  const start = process.cpuUsage();
  for (let v = 0; v < vectorsPerRun; ++v) {
    const inp = new Float32Array(memory.buffer, input, vector);
    for (let j = 0; j < vector; ++j) inp[j] = (position += 0.5 / 44.1);
    if (position > 0.9 * length) position = 0.1 * length;
    x.vorn_perform(g, input, output, vector);
  }
  const used = process.cpuUsage(start);
  const ns = (used.user + used.system) * 1000 / (vectorsPerRun * vector * grains);
  if (run >= 0) best = Math.min(best, ns);
}
const k = new Uint8Array(memory.buffer, x.vorn_kernel());
process.stdout.write(`web: kernel ${text.decode(k.subarray(0, k.indexOf(0)))}: ${best.toFixed(3)} ns per grain-sample\n`);
