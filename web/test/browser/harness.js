// The page's side of the browser tests: a scenario rendered by VornNodes in
// an OfflineAudioContext, its messages delivered at render quantum
// boundaries through suspend and resume. Samples travel as base64 of their
// bytes, so that every bit (NaN, -0) survives.
import { addVornModule, VornNode, setBuffer } from '/vorn.js';

const RATE = 44100;

function fromBase64(text) {
  const bytes = Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
  return new Float32Array(bytes.buffer);
}

function toBase64(floats) {
  const bytes = new Uint8Array(floats.buffer, floats.byteOffset, floats.byteLength);
  let text = '';
  for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(text);
}

function audioBuffer(samples, rate = RATE) {
  const b = new AudioBuffer({ length: Math.max(samples.length, 1), sampleRate: rate, numberOfChannels: 1 });
  b.copyToChannel(samples, 0);
  return b;
}

const NAMES = ['overlap', 'buffer', 'jitter', 'transposition', 'detune', 'period'];

// One message to a node, or to the context's buffers ('host').
async function apply(ctx, nodes, sc, e) {
  const sounds = sc.sounds;
  const sound = (key) => audioBuffer(fromBase64(sounds[key]), sc.rates?.[key]);
  if (e.target === 'host') {
    if (e.op === 'buffer') return setBuffer(ctx, e.name, sound(e.sound));
    if (e.op === 'delete') return setBuffer(ctx, e.name, null);
    throw new Error(`no host op ${e.op}`);
  }
  const node = nodes[e.target];
  switch (e.op) {
    case 'jitter': case 'transposition': case 'detune': case 'period':
      return node[e.op](e.value);
    case 'set': return node.set(...(e.atoms ?? []));
    case 'overlap': return node.overlap(...(e.atoms ?? []));
    case 'audioBuffer': return node.setAudioBuffer(e.sound === null ? null : sound(e.sound));
    default: return node[e.op]();
  }
}

// sc: { boxes: [[args]], sounds: {key: base64}, buffers: {name: key},
//   position: base64, frames, seed, simd, kernel, events: [{frame|'init', target, op, ...}],
//   wiring: 'merger' (node k to merger input k) | 'reversed' | 'destination' }
window.runScenario = async (sc) => {
  const n = sc.boxes.length;
  const ctx = new OfflineAudioContext({ numberOfChannels: sc.wiring === 'destination' ? 1 : n, length: sc.frames, sampleRate: RATE });
  const lines = [];
  const loaded = await addVornModule(ctx, { seed: sc.seed, simd: sc.simd, kernel: sc.kernel, onConsole: (l, p) => lines.push([l, p]) });
  for (const [name, key] of Object.entries(sc.buffers)) await setBuffer(ctx, name, audioBuffer(fromBase64(sc.sounds[key]), sc.rates?.[key]));
  let errors = 0;
  const nodes = sc.boxes.map((args) => {
    const options = {};
    args.forEach((a, i) => (options[NAMES[i]] = a));
    const node = new VornNode(ctx, options);
    node.onprocessorerror = () => ++errors;
    return node;
  });
  const position = new AudioBufferSourceNode(ctx, { buffer: audioBuffer(fromBase64(sc.position)) });
  if (sc.wiring === 'destination') {
    for (const k of sc.connectOrder ?? nodes.map((_, k) => k)) nodes[k].connect(ctx.destination);
  } else {
    const merger = new ChannelMergerNode(ctx, { numberOfInputs: n });
    const order = sc.connectOrder ?? nodes.map((_, k) => k);
    for (const k of order) nodes[k].connect(merger, 0, sc.wiring === 'reversed' ? n - 1 - k : k);
    merger.connect(ctx.destination);
  }
  for (const k of sc.positionOrder ?? nodes.map((_, k) => k)) position.connect(nodes[k]);
  position.start(0);
  for (const node of nodes) await node.loadbang();
  const rejected = [];
  const run = async (events) => {
    for (const e of events) {
      try {
        await apply(ctx, nodes, sc, e);
      } catch (error) {
        rejected.push(`${e.op}: ${error.message}`);
      }
    }
  };
  const events = sc.browserEvents ?? sc.events;
  await run(events.filter((e) => e.frame === 'init'));
  const times = [...new Set(events.filter((e) => e.frame !== 'init').map((e) => e.frame))].sort((a, b) => a - b);
  const at = [];
  for (const frame of times) {
    ctx.suspend(frame / RATE).then(async () => {
      at.push([frame, Math.round(ctx.currentTime * RATE)]);
      await run(events.filter((e) => e.frame === frame));
      ctx.resume();
    });
  }
  const rendered = await ctx.startRendering();
  const channels = sc.wiring === 'destination' ? 1 : n;
  const sum = new Float32Array(sc.frames);
  sum.set(rendered.getChannelData(0));
  for (let c = 1; c < channels; ++c) {
    const ch = rendered.getChannelData(c);
    for (let i = 0; i < sum.length; ++i) sum[i] += ch[i];
  }
  const grains = sc.grainsAfter ? await nodes[0].grains() : null;
  return { samples: toBase64(sum), lines, errors, rejected, kernel: loaded.kernel, simd: loaded.simd, at, grains };
};

// Bad values through every method, while a render runs: which calls
// resolve and which reject, and whether the worklet went on.
window.badInput = async (src) => {
  const report = { calls: [], errors: 0, lines: [], badSeeds: [] };
  const length = RATE / 2;
  const ctx = new OfflineAudioContext({ numberOfChannels: 1, length, sampleRate: RATE });
  try {
    new VornNode(ctx);
  } catch (error) {
    report.nodeBeforeLoad = `${error.name}: ${error.message}`;
  }
  await setBuffer(ctx, 'src', null).catch((error) => (report.setBufferBeforeLoad = `${error.name}: ${error.message}`));
  for (const seed of [-1, 1.5, 2 ** 32, 'x', NaN])
    await addVornModule(new OfflineAudioContext({ numberOfChannels: 1, length: 128, sampleRate: RATE }), { seed }).catch((error) =>
      report.badSeeds.push(error.name));
  await addVornModule(ctx, { seed: 9, onConsole: (l, p) => report.lines.push([l, p]) });
  const sound = audioBuffer(fromBase64(src));
  await setBuffer(ctx, 'src', sound);
  const node = new VornNode(ctx, { overlap: 'x', buffer: 5, jitter: NaN, transposition: {}, detune: Infinity, period: undefined });
  const other = new VornNode(ctx, { overlap: 3, buffer: 'src', period: 20 });
  const merger = new ChannelMergerNode(ctx, { numberOfInputs: 2 });
  for (const [k, n] of [node, other].entries()) {
    n.onprocessorerror = () => ++report.errors;
    n.connect(merger, 0, k);
  }
  merger.connect(ctx.destination);
  const outcome = async (name, call) => {
    try {
      await call();
      report.calls.push([name, 'resolved']);
    } catch (error) {
      report.calls.push([name, `${error.name}: ${error.message}`]);
    }
  };
  const junk = [NaN, Infinity, -Infinity, 1e300, -0, '700', '', undefined, null, {}, [], () => 1, Symbol('s'), 10n, true, new Float32Array(3)];
  for (const [i, x] of junk.entries()) {
    for (const m of ['jitter', 'transposition', 'detune', 'period']) await outcome(`${m} ${i}`, () => node[m](x));
    await outcome(`transposition list ${i}`, () => node.transposition([x, 700, x]));
    await outcome(`set ${i}`, () => node.set(x, x, x, x, x));
    await outcome(`set src ${i}`, () => node.set('src', x, x, x, x));
    await outcome(`overlap ${i}`, () => node.overlap(x));
    await outcome(`setAudioBuffer ${i}`, () => node.setAudioBuffer(x));
    await outcome(`setBuffer name ${i}`, () => setBuffer(ctx, x, null));
    await outcome(`setBuffer buffer ${i}`, () => setBuffer(ctx, 'src2', x));
  }
  await node.set('src', 10, 0, 0, 40);
  ctx.suspend((50 * 128) / RATE).then(async () => {
    await setBuffer(ctx, 'src', null);
    report.lines.length = 0;
    await node.print();
    report.printAfterDelete = report.lines.map(([l]) => l);
    ctx.resume();
  });
  ctx.suspend((100 * 128) / RATE).then(async () => {
    await setBuffer(ctx, 'src', sound);
    await node.loadbang();
    await other.dispose();
    await outcome('print after dispose', () => other.print());
    report.grains = await node.grains();
    ctx.resume();
  });
  const rendered = (await ctx.startRendering()).getChannelData(0);
  report.finite = rendered.every(Number.isFinite);
  report.sounding = [rendered.subarray(0, 50 * 128), rendered.subarray(50 * 128 + 128, 100 * 128), rendered.subarray(100 * 128 + 128 * 4)].map((part) =>
    part.some((x) => x !== 0));
  return report;
};

// A running AudioContext, from the module's default URLs and console.
window.realtime = async () => {
  const context = new AudioContext();
  const logged = [];
  const log = console.log;
  console.log = (line) => logged.push(line);
  try {
    const loaded = await addVornModule(context);
    const sound = new AudioBuffer({ length: 4410, sampleRate: context.sampleRate });
    sound.getChannelData(0).forEach((_, i, a) => (a[i] = Math.sin(i / 10)));
    await setBuffer(context, 'src', sound);
    const node = new VornNode(context, { overlap: 5, buffer: 'src' });
    node.connect(context.destination);
    await context.resume();
    await node.print();
    const grains = await node.grains();
    await context.close();
    return { loaded, logged, grains: grains.length };
  } finally {
    console.log = log;
  }
};

window.harnessReady = true;
