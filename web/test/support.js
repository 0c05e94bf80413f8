// What the node and browser tests share: where the builds are, float WAV
// files, vorn render, sounds to granulate and the comparison of renders.
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
export const repo = resolve(here, '../..');
// make test-web passes both; the defaults are the Makefile's.
export const webDir = resolve(process.env.VORN_WEB_DIR ?? join(repo, 'build/web'));
export const vornBin = resolve(process.env.VORN_BIN ?? join(repo, 'build/bin/vorn'));
export const RATE = 44100;
export const QUANTUM = 128;

export function wasmBytes(file) {
  return readFileSync(join(webDir, file));
}

export function tempDir() {
  const dir = mkdtempSync(join(tmpdir(), 'vorn-web-'));
  return { dir, path: (name) => join(dir, name), remove: () => rmSync(dir, { recursive: true, force: true }) };
}

// 32-bit float WAV, one channel per array.
export function writeWav(path, channels, rate = RATE) {
  const frames = channels[0].length;
  const n = channels.length;
  const data = Buffer.alloc(frames * n * 4);
  for (let i = 0; i < frames; ++i) for (let c = 0; c < n; ++c) data.writeFloatLE(channels[c][i], 4 * (i * n + c));
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVE', 8);
  header.write('fmt ', 12);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(3, 20); // IEEE float
  header.writeUInt16LE(n, 22);
  header.writeUInt32LE(rate, 24);
  header.writeUInt32LE(rate * n * 4, 28);
  header.writeUInt16LE(n * 4, 32);
  header.writeUInt16LE(32, 34);
  header.write('data', 36);
  header.writeUInt32LE(data.length, 40);
  writeFileSync(path, Buffer.concat([header, data]));
}

// The first channel of a 32-bit float WAV file (plain or extensible).
export function readWav(path) {
  const b = readFileSync(path);
  if (b.toString('latin1', 0, 4) !== 'RIFF' || b.toString('latin1', 8, 12) !== 'WAVE') throw new Error(`${path}: not WAV`);
  let channels = 0;
  for (let at = 12; at + 8 <= b.length; ) {
    const id = b.toString('latin1', at, at + 4);
    const size = b.readUInt32LE(at + 4);
    if (id === 'fmt ') {
      const format = b.readUInt16LE(at + 8);
      channels = b.readUInt16LE(at + 10);
      const bits = b.readUInt16LE(at + 22);
      const float = format === 3 || (format === 0xfffe && b.readUInt16LE(at + 32) === 3);
      if (!float || bits !== 32) throw new Error(`${path}: not 32-bit float`);
    } else if (id === 'data') {
      const frames = Math.floor(size / (4 * channels));
      const out = new Float32Array(frames);
      for (let i = 0; i < frames; ++i) out[i] = b.readFloatLE(at + 8 + 4 * i * channels);
      return out;
    }
    at += 8 + size + (size & 1);
  }
  throw new Error(`${path}: no data`);
}

// vorn render with `args` (after SOUNDFILE): its output samples and its
// console lines (its standard output).
export function vornRender(src, args) {
  const t = tempDir();
  try {
    const out = t.path('out.wav');
    const r = spawnSync(vornBin, ['render', src, '-o', out, '-q', ...args], { encoding: 'utf8' });
    if (r.status !== 0) throw new Error(`vorn render ${args.join(' ')}: exit ${r.status}: ${r.stderr}`);
    return { samples: readWav(out), console: r.stdout.split('\n').filter((l) => l !== ''), stderr: r.stderr };
  } finally {
    t.remove();
  }
}

// A repeatable sound of `seconds`: partials that glide, and noise from a
// fixed generator, so that every grain reads something different.
export function makeSound(seconds, seed = 1) {
  const n = Math.round(seconds * RATE);
  const out = new Float32Array(n);
  let s = seed >>> 0 || 1;
  for (let i = 0; i < n; ++i) {
    s = (Math.imul(s, 1664525) + 1013904223) >>> 0;
    const t = i / RATE;
    out[i] =
      0.3 * Math.sin(2 * Math.PI * (220 + 40 * t) * t) +
      0.2 * Math.sin(2 * Math.PI * 331 * t + Math.sin(7 * t)) +
      0.1 * (s / 4294967296 - 0.5);
  }
  return out;
}

// The time of output frame `frame` in ms, as vorn render's -m reads it
// back to that frame.
export function msOfFrame(frame) {
  return ((frame * 1000) / RATE).toPrecision(17);
}

// Where two renders first differ, or null; NaNs equal NaNs.
export function firstDifference(got, want) {
  const n = Math.max(got.length, want.length);
  for (let i = 0; i < n; ++i) {
    const a = got[i];
    const b = want[i];
    if (a === undefined || b === undefined) return { index: i, got: a, want: b, why: 'lengths differ' };
    if (Object.is(a, b) || (Number.isNaN(a) && Number.isNaN(b))) continue;
    return { index: i, got: a, want: b };
  }
  return null;
}

export function describeDifference(name, got, want) {
  const d = firstDifference(got, want);
  if (!d) return null;
  const count = got.reduce((k, v, i) => k + (Object.is(v, want[i]) ? 0 : 1), 0);
  return (
    `${name}: sample ${d.index} (${((d.index * 1000) / RATE).toFixed(3)} ms) is ${d.got}, vorn render has ${d.want}` +
    (d.why ? ` (${d.why}: ${got.length} against ${want.length})` : `; ${count} of ${want.length} samples differ`)
  );
}

// A scenario, as both the engine's runner here and the browser's harness
// take it, and as vorn render's arguments:
//   boxes: [[creation arguments]], in the order they run
//   sounds: {key: Float32Array}; buffers: {name: key}, src first (vorn
//     render's SOUNDFILE); position: Float32Array of ms, one per frame
//   rates: {key: Hz} (default 44100); frames, seed; events: [{frame: multiple of 128 | 'init', target: box
//     index | 'host', op, value | atoms | name, sound}]
// op for a box: jitter, transposition (a number or an array), detune,
// period, set, overlap, loadbang, print, version; for 'host': buffer (name,
// sound), delete (name).
const INLETS = { jitter: 1, transposition: 2, detune: 3, period: 4 };

function word(v) {
  return typeof v === 'number' ? String(v) : v;
}

export function vornArgs(sc, path) {
  const names = Object.keys(sc.buffers);
  if (names[0] !== 'src') throw new Error('the first buffer is src');
  const files = {};
  for (const [key, samples] of Object.entries(sc.sounds)) {
    files[key] = path(`sound-${key}.wav`);
    writeWav(files[key], [samples], sc.rates?.[key] ?? RATE);
  }
  writeWav(path('position.wav'), [sc.position]);
  const args = ['--vector', '128', '--seed', String(sc.seed), '-d', String(sc.frames), '-p', `file:${path('position.wav')}`];
  for (const name of names.slice(1)) args.push('-b', `${name}=${files[sc.buffers[name]]}`);
  for (const box of sc.boxes) args.push('-a', box.map(word).join(' '));
  for (const e of sc.events) {
    const time = e.frame === 'init' ? 'init' : msOfFrame(e.frame);
    let what;
    if (e.target === 'host') what = e.op === 'buffer' ? `host buffer ${e.name} ${files[e.sound]}` : `host ${e.op} ${e.name}`;
    else {
      const box = `${e.target + 1}:`;
      if (e.op in INLETS) {
        const v = Array.isArray(e.value) ? e.value.map(word).join(' ') : word(e.value);
        what = `${box}${INLETS[e.op]} ${v}`;
      } else what = `${box}0 ${[e.op, ...(e.atoms ?? [])].map(word).join(' ')}`;
    }
    args.push('-m', `${time} ${what}`);
  }
  return { src: files[sc.buffers.src], args };
}

export function renderVorn(sc) {
  const t = tempDir();
  try {
    const { src, args } = vornArgs(sc, t.path);
    return vornRender(src, args);
  } finally {
    t.remove();
  }
}

// The same scenario through a VornEngine, as vorn render runs it: buffers,
// boxes, loadbang, init messages, the compile, then vectors of 128 with
// the messages due before each. Returns the summed output and the console.
export async function renderEngine(VornEngine, module, sc, options = {}) {
  const lines = [];
  const engine = await VornEngine.create(module, { seed: sc.seed, kernel: options.kernel, onConsole: (l) => lines.push(l) });
  const rate = (key) => ({ rate: sc.rates?.[key] ?? RATE });
  for (const [name, key] of Object.entries(sc.buffers)) engine.setBuffer(name, sc.sounds[key], rate(key));
  const boxes = sc.boxes.map((args) => engine.newInstance(args));
  for (const b of boxes) b.loadbang();
  const deliver = (e) => {
    if (e.target === 'host') return engine.setBuffer(e.name, e.op === 'buffer' ? sc.sounds[e.sound] : null, rate(e.sound));
    const b = boxes[e.target];
    if (e.op in INLETS) return Array.isArray(e.value) ? b.list(INLETS[e.op], e.value) : b.number(INLETS[e.op], e.value);
    return b[e.op](...(e.atoms ?? []));
  };
  sc.events.filter((e) => e.frame === 'init').forEach(deliver);
  for (const b of boxes) b.compile(RATE);
  const timed = sc.events.filter((e) => e.frame !== 'init');
  const sum = new Float32Array(sc.frames);
  const out = new Float32Array(QUANTUM);
  for (let start = 0; start < sc.frames; start += QUANTUM) {
    timed.filter((e) => e.frame >= start && e.frame < start + QUANTUM).forEach(deliver);
    const input = sc.position.subarray(start, start + QUANTUM);
    const count = Math.min(QUANTUM, sc.frames - start);
    boxes.forEach((b, k) => {
      b.perform(input, out);
      if (k === 0) sum.set(out.subarray(0, count), start);
      else for (let j = 0; j < count; ++j) sum[start + j] += out[j];
    });
  }
  return { samples: sum, console: lines, engine, boxes };
}
