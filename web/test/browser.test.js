// VornNodes in Debian's headless Chromium: an OfflineAudioContext at
// 44100 Hz renders each scenario, its messages delivered at render
// quantum boundaries through suspend and resume, and every sample must
// equal vorn render --vector 128 on the same inputs.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { VornEngine, WASM_FILES } from '../src/vorn-engine.js';
import * as s from './support.js';
import { renderScenarios, consoleScenarios, sounds } from './scenarios.js';
import { startServer } from './browser/server.js';
import { launch, harnessPage } from './browser/chromium.js';

const b64 = (f) => Buffer.from(f.buffer, f.byteOffset, f.byteLength).toString('base64');
const floats = (text) => {
  const bytes = Buffer.from(text, 'base64');
  return new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
};

let server;
let chromium;
let page;
let problems;

before(async () => {
  server = await startServer(s.webDir);
  chromium = await launch();
  ({ page, problems } = await harnessPage(chromium.browser, server.url));
});

after(async () => {
  await chromium?.close();
  await server?.close();
});

// A scenario rendered in the page; its samples, console lines and what the
// harness saw.
async function inChromium(sc, options = {}) {
  const wire = {
    ...sc,
    ...options,
    sounds: Object.fromEntries(Object.entries(sc.sounds).map(([k, v]) => [k, b64(v)])),
    position: b64(sc.position),
  };
  const r = await page.evaluate((w) => window.runScenario(w), wire);
  return { ...r, samples: floats(r.samples) };
}

const wanted = new Map();
function want(sc) {
  if (!wanted.has(sc)) wanted.set(sc, s.renderVorn(sc));
  return wanted.get(sc);
}

function assertSame(name, got, w) {
  assert.equal(got.errors, 0, `${name}: onprocessorerror fired`);
  assert.deepEqual(got.rejected, [], `${name}: messages rejected`);
  const difference = s.describeDifference(name, got.samples, w.samples);
  assert.equal(difference, null, difference);
  assert.deepEqual(got.lines.map(([line]) => line), w.console, `${name}: console lines`);
  assert.deepEqual(problems, [], 'the page reported errors');
}

// Both builds: the SIMD one with its kernel, chosen as addVornModule
// chooses it, and the other, whose kernel is the plain loop.
const builds = [
  { label: 'simd128', options: {}, kernel: 'simd128', simd: true },
  { label: 'plain', options: { simd: false }, kernel: 'plain', simd: false },
];

describe('VornNodes in Chromium equal vorn render --vector 128', () => {
  for (const b of builds)
    for (const sc of renderScenarios)
      test(`${b.label}: ${sc.name}`, async () => {
        const got = await inChromium(sc, b.options);
        assert.equal(got.kernel, b.kernel);
        assert.equal(got.simd, b.simd);
        assertSame(sc.name, got, want(sc));
      });

  test('the SIMD build with the plain kernel: three boxes share the random source', async () => {
    const sc = renderScenarios.find((x) => x.name === 'three boxes share the random source');
    const got = await inChromium(sc, { kernel: 'plain' });
    assert.equal(got.kernel, 'plain');
    assert.equal(got.simd, true);
    assertSame(sc.name, got, want(sc));
  });

  for (const sc of consoleScenarios)
    test(`console: ${sc.name}`, async () => {
      const got = await inChromium(sc);
      assertSame(sc.name, got, want(sc));
      assert.ok(got.lines.some(([line, problem]) => line.startsWith('vorn~: cannot get') && problem));
    });

  test('an AudioBuffer given to a node, swapped while it plays, sounds as a set to a named buffer', async () => {
    const base = renderScenarios.find((x) => x.name === 'freeze');
    const sc = {
      ...base,
      name: 'setAudioBuffer',
      boxes: [[4, 'src', 10, 0, 5, 60]],
      buffers: { src: 'src', other: 'other' },
      events: [
        { frame: 200 * 128, target: 0, op: 'set', atoms: ['other'] },
        { frame: 300 * 128, target: 0, op: 'set', atoms: ['src'] },
      ],
      browserEvents: [
        { frame: 'init', target: 0, op: 'audioBuffer', sound: 'src' },
        { frame: 200 * 128, target: 0, op: 'audioBuffer', sound: 'other' },
        { frame: 300 * 128, target: 0, op: 'audioBuffer', sound: 'src' },
      ],
    };
    const got = await inChromium(sc);
    const difference = s.describeDifference(sc.name, got.samples, want(sc).samples);
    assert.equal(difference, null, difference);
    assert.equal(got.errors, 0);
  });

  test('a running AudioContext: the library from the default URLs, its lines on the browser console', async () => {
    const r = await page.evaluate(() => window.realtime());
    assert.deepEqual(r.loaded, { kernel: 'simd128', simd: true });
    assert.equal(r.logged.length, 5);
    assert.match(r.logged[0], /^vorn~ 1\.0\.0: /);
    assert.equal(r.logged[3], 'vorn~');
    assert.match(r.logged[4], /^ {2}buffer~ "src": 4410 samples @ \d+\.\d{6}kHz,$/);
    assert.equal(r.grains, 32);
  });

  test("grains() is the engine's own snapshot after the same render", async () => {
    const sc = renderScenarios.find((x) => x.name === 'freeze');
    const got = await inChromium(sc, { grainsAfter: true });
    const module = new WebAssembly.Module(s.wasmBytes(WASM_FILES.simd));
    const { boxes } = await s.renderEngine(VornEngine, module, sc);
    assert.deepEqual(got.grains, boxes[0].grains());
    assert.equal(got.grains.length, 8);
    for (const g of got.grains) assert.ok(g.window >= 0 && g.window <= 1);
  });
});

describe('bad values through the nodes: a rejected Promise or the object\'s own handling, never a stuck worklet', () => {
  let report;
  before(async () => {
    report = await page.evaluate((src) => window.badInput(src), b64(sounds.src));
  });

  test('the render completes, its output finite, and onprocessorerror never fires', () => {
    assert.equal(report.errors, 0);
    assert.equal(report.finite, true);
    assert.deepEqual(report.sounding, [true, false, true], 'sound, silence while the buffer is deleted, sound again');
    assert.deepEqual(problems, []);
  });

  test('the number methods reject anything but a number with a TypeError, and take every number', () => {
    for (const [name, outcome] of report.calls.filter(([n]) => /^(jitter|transposition|detune|period) \d+$/.test(n))) {
      const i = Number(name.split(' ')[1]);
      const isNumber = i <= 4;
      const isArray = name.startsWith('transposition') && (i === 10 || i === 15);
      if (isNumber || isArray) assert.equal(outcome, 'resolved', name);
      else assert.match(outcome, /^TypeError: vorn~: \w+ takes a number/, name);
    }
  });

  test('set, overlap and lists take anything, as the object does', () => {
    for (const [name, outcome] of report.calls.filter(([n]) => /^(set|set src|overlap|transposition list) \d+$/.test(n)))
      assert.equal(outcome, 'resolved', name);
  });

  test('buffers: anything but an AudioBuffer or null, or a name that is not a string, rejects', () => {
    for (const [name, outcome] of report.calls.filter(([n]) => /^(setAudioBuffer|setBuffer) /.test(n))) {
      const i = Number(name.split(' ').at(-1));
      if (i === 8) assert.equal(outcome, name.startsWith('setBuffer name') ? 'TypeError: vorn~: a buffer\'s name is a string, not null' : 'resolved', name);
      else if (name.startsWith('setBuffer name') && (i === 5 || i === 6)) assert.equal(outcome, 'resolved', name);
      else assert.match(outcome, /^TypeError: vorn~: /, name);
    }
  });

  test('a node made before the library is loaded throws; a bad seed rejects', () => {
    assert.match(report.nodeBeforeLoad, /addVornModule/);
    assert.match(report.setBufferBeforeLoad, /addVornModule/);
    assert.deepEqual(report.badSeeds, ['RangeError', 'RangeError', 'RangeError', 'RangeError', 'RangeError']);
  });

  test('a deleted buffer prints with 0 samples; a disposed node rejects what it is sent', () => {
    assert.deepEqual(report.printAfterDelete, ['vorn~', '  buffer~ "src": 0 samples @ 44.099998kHz,']);
    assert.deepEqual(report.calls.find(([n]) => n === 'print after dispose'), ['print after dispose', 'Error: vorn~: the node is disposed']);
    assert.equal(report.grains.length, 1, 'the last overlap was -0: one grain');
  });
});
