// The worklet's cost in a real browser (Debian's headless Chromium): one
// VornNode of 1024 grains of 100 ms reading a 10 s sound along a slow scan,
// rendered by an OfflineAudioContext as fast as the browser goes, against
// the same graph with no VornNode. The difference per render quantum (128
// samples) is what the worklet takes of the 2.9 ms that a quantum lasts at
// 44.1 kHz. Each build (SIMD and not), the runs alternating, the fastest
// of each kept.
//   node bench/web_worklet.mjs WEB_DIR [RUNS]   (make bench-web runs it)
import process from 'node:process';
import { startServer } from '../web/test/browser/server.js';
import { launch, harnessPage } from '../web/test/browser/chromium.js';

const [webDir, runsArg = '3'] = process.argv.slice(2);
if (!webDir) {
  process.stderr.write('usage: node web_worklet.mjs WEB_DIR [RUNS]\n');
  process.exit(2);
}

// In the page: seconds of wall time to render `seconds` of sound, with or
// without the node.
async function render({ seconds, simd, withNode }) {
  const { addVornModule, VornNode, setBuffer } = await import('/vorn.js');
  const rate = 44100, frames = seconds * rate;
  const ctx = new OfflineAudioContext({ numberOfChannels: 1, length: frames, sampleRate: rate });
  const src = new AudioBuffer({ length: 10 * rate, sampleRate: rate, numberOfChannels: 1 });
  const s = src.getChannelData(0);
  for (let i = 0; i < s.length; ++i) s[i] = 0.5 * Math.sin(i * 0.0314) + 0.25 * Math.sin(i * 0.0071);
  // The position: from 1 s on at half speed, in ms.
  const scan = new AudioBuffer({ length: frames, sampleRate: rate, numberOfChannels: 1 });
  const p = scan.getChannelData(0);
  for (let i = 0; i < frames; ++i) p[i] = 1000 + (0.5 * i) / 44.1;
  const position = new AudioBufferSourceNode(ctx, { buffer: scan });
  if (withNode) {
    await addVornModule(ctx, { seed: 1, simd, onConsole: () => {} });
    await setBuffer(ctx, 'src', src);
    const node = new VornNode(ctx, { overlap: 10, buffer: 'src', period: 100 });
    position.connect(node).connect(ctx.destination);
  } else {
    position.connect(ctx.destination);
  }
  position.start(0);
  const start = performance.now();
  await ctx.startRendering();
  return (performance.now() - start) / 1000;
}

const server = await startServer(webDir);
const chromium = await launch();
try {
  const { page, problems } = await harnessPage(chromium.browser, server.url);
  const seconds = 10, quanta = (seconds * 44100) / 128;
  const best = { base: Infinity, simd: Infinity, plain: Infinity };
  const runs = Number(runsArg);
  for (let run = -1; run < runs; ++run) {  // the first is a warm-up
    for (const [name, args] of [['base', { withNode: false }], ['simd', { withNode: true, simd: true }],
                                ['plain', { withNode: true, simd: false }]]) {
      const t = await page.evaluate(render, { seconds, ...args });
      if (run >= 0) best[name] = Math.min(best[name], t);
    }
  }
  if (problems.length) throw new Error(problems.join('\n'));
  const version = await chromium.browser.version();
  process.stdout.write(`worklet in ${version}, 1024 grains of 100 ms, ${seconds} s rendered offline:\n`);
  for (const name of ['simd', 'plain']) {
    const ms = ((best[name] - best.base) * 1000) / quanta;
    process.stdout.write(`  ${name === 'simd' ? 'SIMD build (simd128)' : 'build without SIMD (plain)'}: ` +
      `${ms.toFixed(3)} ms per render quantum, ${((100 * ms) / (128000 / 44100)).toFixed(1)} % of its 2.902 ms\n`);
  }
} finally {
  await chromium.close();
  await server.close();
}
