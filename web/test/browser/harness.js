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

function audioBuffer(samples) {
  const b = new AudioBuffer({ length: Math.max(samples.length, 1), sampleRate: RATE, numberOfChannels: 1 });
  b.copyToChannel(samples, 0);
  return b;
}

const NAMES = ['overlap', 'buffer', 'jitter', 'transposition', 'detune', 'period'];

// One message to a node, or to the context's buffers ('host').
async function apply(ctx, nodes, sounds, e) {
  if (e.target === 'host') {
    if (e.op === 'buffer') return setBuffer(ctx, e.name, audioBuffer(fromBase64(sounds[e.sound])));
    if (e.op === 'delete') return setBuffer(ctx, e.name, null);
    throw new Error(`no host op ${e.op}`);
  }
  const node = nodes[e.target];
  switch (e.op) {
    case 'jitter': case 'transposition': case 'detune': case 'period':
      return node[e.op](e.value);
    case 'set': return node.set(...e.atoms);
    case 'overlap': return node.overlap(...e.atoms);
    case 'audioBuffer': return node.setAudioBuffer(e.sound === null ? null : audioBuffer(fromBase64(sounds[e.sound])));
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
  for (const [name, key] of Object.entries(sc.buffers)) await setBuffer(ctx, name, audioBuffer(fromBase64(sc.sounds[key])));
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
        await apply(ctx, nodes, sc.sounds, e);
      } catch (error) {
        rejected.push(`${e.op}: ${error.message}`);
      }
    }
  };
  await run(sc.events.filter((e) => e.frame === 'init'));
  const times = [...new Set(sc.events.filter((e) => e.frame !== 'init').map((e) => e.frame))].sort((a, b) => a - b);
  const at = [];
  for (const frame of times) {
    ctx.suspend(frame / RATE).then(async () => {
      at.push([frame, Math.round(ctx.currentTime * RATE)]);
      await run(sc.events.filter((e) => e.frame === frame));
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

window.harnessReady = true;
