// vorn-engine.js on its own, in node: renders and console lines against
// vorn render's, and what bad values do.
import { describe, test, before } from 'node:test';
import assert from 'node:assert/strict';
import { VornEngine, hasWasmSimd, formatFixed6, atomNumber, WASM_FILES } from '../src/vorn-engine.js';
import * as s from './support.js';
import { renderScenarios, consoleScenarios, sounds } from './scenarios.js';

const modules = {
  simd: new WebAssembly.Module(s.wasmBytes(WASM_FILES.simd)),
  nosimd: new WebAssembly.Module(s.wasmBytes(WASM_FILES.nosimd)),
};
// Every kernel of both builds: the SIMD build's two and the other's one.
const kernels = [
  { build: 'simd', kernel: undefined, name: 'simd128' },
  { build: 'simd', kernel: 'plain', name: 'plain' },
  { build: 'nosimd', kernel: undefined, name: 'plain' },
];

const wanted = new Map(); // scenario -> vorn render's result, rendered once
function want(sc) {
  if (!wanted.has(sc)) wanted.set(sc, s.renderVorn(sc));
  return wanted.get(sc);
}

describe('renders through vorn-engine.js equal vorn render --vector 128', () => {
  for (const k of kernels)
    for (const sc of renderScenarios)
      test(`${k.build} build, ${k.name}: ${sc.name}`, async () => {
        const got = await s.renderEngine(VornEngine, modules[k.build], sc, { kernel: k.kernel });
        assert.equal(got.engine.kernel, k.name);
        const w = want(sc);
        const difference = s.describeDifference(sc.name, got.samples, w.samples);
        assert.equal(difference, null, difference);
        assert.deepEqual(got.console, w.console);
      });
});

describe('console lines equal vorn render', () => {
  for (const sc of consoleScenarios)
    test(sc.name, async () => {
      const got = await s.renderEngine(VornEngine, modules.simd, sc);
      const w = want(sc);
      assert.deepEqual(got.console, w.console);
      assert.equal(s.describeDifference(sc.name, got.samples, w.samples), null);
    });

  test('printf %f of every rate a buffer may have, as the rate in kHz', () => {
    for (const [x, text] of [
      [Math.fround(44.1), '44.099998'],
      [48, '48.000000'],
      [Math.fround(22.05), '22.049999'],
      [Math.fround(0.0078125), '0.007812'], // a tie: to even
      [Math.fround(0.0234375), '0.023438'],
      [0.0000005, '0.000000'], // 5e-7 lies below the tie
      [1e-300, '0.000000'],
      [768, '768.000000'],
      [2 ** 70, '1180591620717411303424.000000'],
      [-0, '-0.000000'],
      [Infinity, 'inf'],
      [NaN, 'nan'],
    ])
      assert.equal(formatFixed6(x), text, String(x));
  });

  test('lines are flagged: failed lookups and a kernel the build lacks are problems', async () => {
    const lines = [];
    const e = await VornEngine.create(modules.nosimd, { seed: 1, kernel: 'simd128', onConsole: (l, p) => lines.push([l, p]) });
    assert.equal(e.kernel, 'plain');
    assert.deepEqual(lines.slice(0, 3).map(([, p]) => p), [false, false, false]);
    assert.equal(lines.length, 4);
    assert.equal(lines[3][1], true);
    lines.length = 0;
    const v = e.newInstance([3, 'nothere']);
    v.print();
    assert.deepEqual(lines, [['vorn~: cannot get buffer~ "nothere"', true], ['vorn~: no buffers', false]]);
  });
});

// Renders `quanta` vectors of 128 at a fixed position; the samples.
function play(v, quanta, ms = 500) {
  const out = new Float32Array(quanta * 128);
  const pos = new Float32Array(128).fill(ms);
  const vec = new Float32Array(128);
  for (let q = 0; q < quanta; ++q) {
    v.perform(pos, vec);
    out.set(vec, q * 128);
  }
  return out;
}

// One box reading src, compiled, after `calls`; its next 40 vectors.
async function afterCalls(calls, build = 'simd') {
  const lines = [];
  const e = await VornEngine.create(modules[build], { seed: 7, onConsole: (l, p) => lines.push([l, p]) });
  e.setBuffer('src', sounds.src);
  const v = e.newInstance([4, 'src', 10, 300, 5, 50]);
  v.compile(s.RATE);
  play(v, 3);
  let threw = null;
  try {
    calls(v, e);
  } catch (error) {
    threw = error;
  }
  return { samples: play(v, 40), threw, lines, v, e };
}

describe('bad values are atoms of the wrong type, handled as the object handles them', () => {
  const junk = [NaN, Infinity, -Infinity, 1e300, -1e300, 2 ** 53, -0, 5e-324, '700', '', undefined, null, {}, [], () => 1, Symbol('s'), 10n, true];

  test('no method throws, whatever it is given', async () => {
    const { threw, samples } = await afterCalls((v, e) => {
      for (const x of junk) {
        for (const inlet of [0, 1, 2, 3, 4, 5, -1, 1.5, x]) v.number(inlet, x);
        v.list(2, [x, x, 1]);
        v.list(x, [1, 2]);
        v.list(2, x);
        v.set(x, x, x, x, x, x);
        v.set('src', x, x, x, x);
        v.overlap(x);
        v.compile(x);
        v.perform(x, new Float32Array(128));
        v.perform(new Float32Array(128), x);
        e.setBuffer(x, sounds.three);
        e.setBuffer('junk', x);
        e.setBuffer('junk', [x, x], { rate: x, channels: x });
        v.setSamples(x, { rate: x });
        v.set('src');
      }
      v.compile(s.RATE);
    });
    assert.equal(threw, null);
    assert.ok(samples.every(Number.isFinite), 'the output stays finite');
  });

  // Pairs of call sequences that must sound the same: the object reads the
  // first as the second.
  const same = [
    ['a string at an inlet is ignored', (v) => v.number(2, '1200'), () => {}],
    ['a number at the position inlet is ignored', (v) => v.number(0, 900), () => {}],
    ['a list at another inlet than the third is ignored', (v) => v.list(1, [100, 200]), () => {}],
    ['a list that is not an array is ignored', (v) => v.list(2, 'nope'), () => {}],
    ['an inlet that is not an integer is ignored', (v) => v.number(1.5, 900), () => {}],
    ['inlets past the fifth are the fifth', (v) => v.number(9, 20), (v) => v.number(4, 20)],
    ['a huge number is infinity, as a float atom', (v) => v.number(1, 1e300), (v) => v.number(1, Infinity)],
    ['a number is rounded to single precision', (v) => v.number(4, 33.3), (v) => v.number(4, Math.fround(33.3))],
    ['-0 is the integer 0', (v) => v.number(2, -0), (v) => v.number(2, 0)],
    ['non-numbers in a list count as 0', (v) => v.list(2, [700, undefined, 'x', null, {}]), (v) => v.list(2, [700, 0, 0, 0, 0])],
    ['a list keeps its first 256 values', (v) => v.list(2, Array.from({ length: 400 }, (_, k) => k * 10)), (v) => v.list(2, Array.from({ length: 256 }, (_, k) => k * 10))],
    ['an empty list is a single 0', (v) => v.list(2, []), (v) => v.number(2, 0)],
    ['a typed array is a list', (v) => v.list(2, new Float32Array([0, 700])), (v) => v.list(2, [0, 700])],
    ['any atom that is not a number skips its setting', (v) => v.set('src', undefined, null, {}, 'x'), (v) => v.set('src')],
    ['atoms past the fifth are ignored', (v) => v.set('src', 1, 2, 3, 80, 99, 'x'), (v) => v.set('src', 1, 2, 3, 80)],
    ['set with no atoms does nothing', (v) => { v.setSamples(null); v.set(); }, (v) => v.setSamples(null)],
    ['set without a name looks the old one up again', (v) => v.set(0, 20), (v) => v.set('src', 20)],
    ['overlap truncates toward zero', (v) => v.overlap(2.9), (v) => v.overlap(2)],
    ['overlap below 0 is one grain', (v) => v.overlap(-1e300), (v) => v.overlap(0)],
    ['overlap above the allocation is all of it', (v) => v.overlap(99), (v) => v.overlap(4)],
    ['overlap of no number does nothing', (v) => { v.overlap('3'); v.overlap(); v.overlap(undefined); }, () => {}],
    ['samples that are not whole frames change nothing', (v, e) => e.setBuffer('src', [1, 2, 3], { channels: 2 }), () => {}],
    ['a rate that is no positive number changes nothing', (v, e) => { e.setBuffer('src', [1], { rate: -1 }); e.setBuffer('src', [1], { rate: NaN }); }, () => {}],
    ['deleting a name that is not there changes nothing', (v, e) => e.setBuffer('nothere', null), () => {}],
    ['an interleaved buffer is read by its first channel', (v, e) => {
      const two = new Float32Array(sounds.src.length * 2);
      sounds.src.forEach((x, i) => { two[2 * i] = x; two[2 * i + 1] = 1 - x; });
      e.setBuffer('src', two, { channels: 2 });
    }, () => {}],
    ['memory that grows under a bound buffer changes nothing', (v, e) => e.setBuffer('big', new Float32Array(s.RATE * 60)), () => {}],
  ];
  for (const [name, bad, good] of same)
    test(name, async () => {
      const a = await afterCalls(bad);
      const b = await afterCalls(good);
      assert.equal(a.threw, null);
      assert.equal(s.describeDifference(name, a.samples, b.samples), null);
      assert.ok(a.samples.some((x) => x !== 0) || b.samples.every((x) => x === 0));
    });

  test('NaN and infinities at every inlet and in set keep the output finite', async () => {
    for (const x of [NaN, Infinity, -Infinity])
      for (const inlet of [1, 2, 3, 4]) {
        const { samples, threw } = await afterCalls((v) => {
          v.number(inlet, x);
          v.set('src', x, x, x, x);
          v.list(2, [x, 700]);
        });
        assert.equal(threw, null);
        assert.ok(samples.every(Number.isFinite), `${x} at inlet ${inlet}`);
      }
  });

  const grainPositions = (v) => v.grains().map((g) => g.position).join();

  test('an empty buffer is valid: silence, and the grains move on', async () => {
    const { samples, v, e } = await afterCalls((v, e) => {
      e.setBuffer('empty', new Float32Array(0));
      v.set('empty');
    });
    assert.ok(samples.every((x) => x === 0));
    const before = grainPositions(v);
    play(v, 40);
    assert.notEqual(grainPositions(v), before);
    v.print();
    assert.equal(e.buffers.get('empty').frames, 0);
  });

  test('a buffer of one sample is silent, as any of three or fewer', async () => {
    const { samples } = await afterCalls((v) => v.setSamples([0.9]));
    assert.ok(samples.every((x) => x === 0));
  });

  test('deleting a bound buffer: silence, the grains stand still, print shows 0 samples, until a loadbang finds another', async () => {
    const { samples, v, e, lines } = await afterCalls((v, e) => e.setBuffer('src', null));
    assert.ok(samples.every((x) => x === 0));
    const before = grainPositions(v);
    play(v, 10);
    assert.equal(grainPositions(v), before);
    lines.length = 0;
    v.print();
    assert.deepEqual(lines.map(([l]) => l), ['vorn~', '  buffer~ "src": 0 samples @ 44.099998kHz,']);
    e.setBuffer('src', sounds.other);
    assert.ok(play(v, 10).every((x) => x === 0), 'a new buffer of the name is not the deleted one');
    v.loadbang();
    assert.ok(play(v, 10).some((x) => x !== 0));
  });

  test('a buffer given directly has no name: loadbang leaves it, print names ""', async () => {
    const { samples, v, lines } = await afterCalls((v) => v.setSamples(sounds.other, { rate: 48000 }));
    assert.ok(samples.some((x) => x !== 0));
    lines.length = 0;
    v.loadbang();
    v.print();
    assert.deepEqual(lines.map(([l]) => l), ['vorn~', '  buffer~ "": 66150 samples @ 48.000000kHz,']);
    v.setSamples(null);
    assert.ok(play(v, 5).every((x) => x === 0));
  });

  test('a deleted instance does nothing, and says nothing', async () => {
    const { v, lines } = await afterCalls(() => {});
    v.delete();
    v.delete();
    lines.length = 0;
    v.set('src', 1);
    v.print();
    v.version();
    v.loadbang();
    assert.deepEqual(lines, []);
    assert.ok(play(v, 2).every((x) => x === 0));
    assert.deepEqual(v.grains(), []);
    assert.equal(v.number(1, 5), false);
  });

  test('a console that throws costs its line only', async () => {
    const e = await VornEngine.create(modules.simd, { seed: 3, onConsole: () => { throw new Error('console'); } });
    const v = e.newInstance([3, 'nothere']);
    v.print();
    v.version();
    assert.equal(v.maxOverlap, 8);
  });

  test('perform fills an output of any length, and takes a short, missing or odd input as 0 past its end', async () => {
    const e = await VornEngine.create(modules.simd, { seed: 3 });
    e.setBuffer('src', sounds.src);
    const outputs = [];
    for (const input of [null, new Float32Array(3), [0, 0], 'junk', new DataView(new ArrayBuffer(8)), [10n]]) {
      const v = e.newInstance([3, 'src', 0, 0, 0, 5]);
      v.compile(s.RATE);
      const out = new Float32Array(300).fill(NaN);
      assert.equal(v.perform(input, out), true);
      outputs.push(Array.from(out).join());
    }
    assert.equal(new Set(outputs).size, 1, 'every input reads as position 0');
    assert.equal(e.newInstance([3]).perform(null, new Float32Array(0)), true);
  });
});

describe('the library', () => {
  test('seeds are uint32: the same seed renders the same, another seed another', async () => {
    const render = async (seed) => {
      const e = await VornEngine.create(modules.simd, { seed });
      e.setBuffer('src', sounds.src);
      const v = e.newInstance([4, 'src', 30, 0, 20, 40]);
      v.compile(s.RATE);
      return Array.from(play(v, 20)).join();
    };
    assert.equal(await render(0), await render(0));
    assert.equal(await render(4294967295), await render(4294967295));
    assert.notEqual(await render(5), await render(6));
    for (const seed of [-1, 1.5, 2 ** 32, '5', NaN])
      await assert.rejects(VornEngine.create(modules.simd, { seed }), RangeError, String(seed));
  });

  test('atoms: int32 as is, other numbers in single precision', () => {
    assert.equal(atomNumber(2147483647), 2147483647);
    assert.equal(atomNumber(2147483648), 2147483648);
    assert.equal(atomNumber(0.1), Math.fround(0.1));
    assert.equal(atomNumber(1e39), Infinity);
    assert.ok(Object.is(atomNumber(-0), 0));
    assert.ok(Number.isNaN(atomNumber(NaN)));
  });

  test('kernels: the SIMD build runs simd128 or plain, the other plain; node has SIMD', async () => {
    assert.equal(hasWasmSimd(), true);
    assert.equal((await VornEngine.create(modules.simd)).kernel, 'simd128');
    assert.equal((await VornEngine.create(modules.simd, { kernel: 'plain' })).kernel, 'plain');
    assert.equal((await VornEngine.create(s.wasmBytes(WASM_FILES.nosimd))).kernel, 'plain');
    const lines = [];
    const e = VornEngine.createSync(modules.simd, { kernel: 'avx2', onConsole: (l, p) => lines.push(p) });
    assert.equal(e.kernel, 'simd128');
    assert.deepEqual(lines, [false, false, false, true]);
  });
});
