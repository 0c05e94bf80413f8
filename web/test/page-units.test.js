// The page's modules that need no browser: the controls' ranges and what a
// typed value or list gives, the presets against those ranges, the WAV
// writer and header reader, and where the cloud puts a grain.
import assert from 'node:assert/strict';
import { describe, it } from 'node:test';
import {
  CONTROLS, OVERLAP_EXPONENTS, PRESETS, SLIDER_STEPS, MAX_LIST,
  parseList, parseValue, sliderToValue, transpositions, valueToSlider,
} from '../page/params.js';
import { encodeWav, readWavHeader } from '../page/wav.js';
import { GrainTracker, peaks } from '../page/draw.js';

describe('controls', () => {
  it('each slider reaches both ends of its range and maps back onto itself', () => {
    for (const [name, c] of Object.entries(CONTROLS)) {
      assert.ok(Math.abs(sliderToValue(name, 0) - c.min) < 1e-9, name);
      assert.ok(Math.abs(sliderToValue(name, SLIDER_STEPS) - c.max) < 1e-9, name);
      let previous = -Infinity;
      for (let step = 0; step <= SLIDER_STEPS; step += 50) {
        const value = sliderToValue(name, step);
        assert.ok(value > previous, `${name} rises with the slider`);
        assert.equal(valueToSlider(name, value), step, `${name} at step ${step}`);
        previous = value;
      }
    }
  });

  it('takes typed values within range and says what is wrong with the others', () => {
    const cases = [
      ['period', '2', 2],
      ['period', ' 2000 ', 2000],
      ['period', '1.5', /Period: 1.5 ms is out of range; it takes 2 to 2000 ms/],
      ['period', '5000', /out of range/],
      ['jitter', '-1', /out of range/],
      ['jitter', 'abc', /Position jitter: “abc” is not a number/],
      ['jitter', '', /type a number from 0 to 1000 ms/],
      ['transposition', '-2400', -2400],
      ['transposition', '2400.5', /out of range/],
      ['scan', '-0.25', -0.25],
      ['scan', 'Infinity', /is not a number/],
      ['detune', '1e2', 100],
      ['volume', '25', /Volume: 25 dB is out of range/],
    ];
    for (const [name, text, want] of cases) {
      const got = parseValue(name, text);
      if (want instanceof RegExp) assert.match(got.error ?? '', want, `${name} “${text}”`);
      else assert.deepEqual(got, { value: want }, `${name} “${text}”`);
    }
  });

  it('reads a transposition list and refuses what the engine would drop or mistake', () => {
    const cases = [
      ['0 700 1200', [0, 700, 1200]],
      [' -1200,0,, 700\t1200 ', [-1200, 0, 700, 1200]],
      ['', []],
      ['0 x 700', /“x” is not a number of cents/],
      ['0 5000', /5000 cents is out of range/],
      [Array(MAX_LIST + 1).fill('0').join(' '), /257 values; it holds at most 256/],
    ];
    for (const [text, want] of cases) {
      const got = parseList(text);
      if (want instanceof RegExp) assert.match(got.error ?? '', want, text.slice(0, 20));
      else assert.deepEqual(got, { values: want });
    }
    assert.deepEqual(transpositions(-100, [0, 700]), [-100, 600]);
    assert.deepEqual(transpositions(300, []), [300]);
  });

  it('sets every preset within the ranges a user may type', () => {
    assert.deepEqual(Object.keys(PRESETS), ['freeze', 'stretch', 'scrub', 'thicken']);
    for (const [name, { values }] of Object.entries(PRESETS)) {
      for (const control of Object.keys(CONTROLS))
        assert.deepEqual(parseValue(control, String(values[control])), { value: values[control] }, `${name}.${control}`);
      assert.ok(OVERLAP_EXPONENTS.includes(values.overlap), `${name}.overlap`);
      assert.ok(!parseList(values.list).error, `${name}.list`);
      if ('position' in values) assert.ok(values.position >= 0 && values.position <= 1, `${name}.position`);
    }
    assert.equal(PRESETS.freeze.values.scan, 0);
  });
});

describe('WAV', () => {
  it('writes float samples that read back as written', () => {
    const left = Float32Array.from([0, 0.5, -1, 1e-30, 3.25]);
    const right = Float32Array.from([1, -0.5, 0.25, -0, 2]);
    for (const channels of [[left], [left, right]]) {
      const bytes = encodeWav(channels, 48000);
      const h = readWavHeader(bytes);
      assert.deepEqual(
        { format: h.format, channels: h.channels, sampleRate: h.sampleRate, bits: h.bits, frames: h.frames },
        { format: 3, channels: channels.length, sampleRate: 48000, bits: 32, frames: 5 });
      assert.equal(bytes.byteLength, h.dataOffset + 5 * 4 * channels.length);
      const view = new DataView(bytes);
      for (let f = 0; f < 5; ++f)
        for (let c = 0; c < channels.length; ++c)
          assert.equal(view.getFloat32(h.dataOffset + 4 * (f * channels.length + c), true), channels[c][f]);
    }
    assert.equal(readWavHeader(encodeWav([new Float32Array(0)], 44100)).frames, 0);
  });

  it('reads what a header declares, within the bytes there are', () => {
    // A 16-bit stereo header, an odd-sized chunk before the data (padded to
    // even), and a data chunk that claims more than the file holds.
    const bytes = new Uint8Array(12 + 24 + 10 + 8 + 10);
    const view = new DataView(bytes.buffer);
    const tag = (at, t) => [...t].forEach((ch, i) => view.setUint8(at + i, ch.charCodeAt(0)));
    tag(0, 'RIFF'); tag(8, 'WAVE');
    tag(12, 'fmt '); view.setUint32(16, 16, true);
    view.setUint16(20, 1, true); view.setUint16(22, 2, true); view.setUint32(24, 22050, true); view.setUint16(34, 16, true);
    tag(36, 'junk'); view.setUint32(40, 1, true);
    tag(46, 'data'); view.setUint32(50, 4000, true);
    assert.deepEqual(readWavHeader(bytes.buffer),
      { format: 1, channels: 2, sampleRate: 22050, bits: 16, frames: 2, dataOffset: 54 });
    assert.equal(readWavHeader(new TextEncoder().encode('not a sound at all').buffer), null);
    assert.equal(readWavHeader(new ArrayBuffer(0)), null);
  });
});

describe('grain cloud', () => {
  it('places a grain on the frames it reads over its whole window, rising, falling and restarting', () => {
    const period = 400;
    for (const { start, speed } of [{ start: 1000, speed: 1 }, { start: 5000, speed: 2 }, { start: 300, speed: 0.5 }]) {
      const tracker = new GrainTracker();
      // Two windows of one grain slot at one place (a freeze), seen at
      // steps that straddle the top of the window evenly.
      for (let step = 0; step < 20; ++step) {
        const phase = ((step % 10) + 0.5) / 10;
        const window = 0.5 * (1 - Math.cos(2 * Math.PI * phase));
        const [span] = tracker.spans([{ position: start + phase * period * speed, window, speed }], period);
        assert.ok(Math.abs(span.from - start) < 1e-6, `start ${start}, step ${step}: from ${span.from}`);
        assert.ok(Math.abs(span.to - (start + period * speed)) < 1e-6);
      }
    }
    // First seen on its way down, a grain is taken as rising; the next look
    // puts it right.
    const tracker = new GrainTracker();
    const look = (phase) => tracker.spans([{ position: 2000 + phase * period, window: 0.5 * (1 - Math.cos(2 * Math.PI * phase)), speed: 1 }], period)[0];
    assert.notEqual(Math.round(look(0.7).from), 2000);
    assert.equal(Math.round(look(0.8).from), 2000);
  });

  it('finds the lowest and highest sample and the loudness under each column', () => {
    const samples = Float32Array.from([0, 1, -1, 0.5, 0.25, -0.25, 0.5, -0.5]);
    assert.deepEqual(peaks(samples, 2), {
      lo: Float32Array.from([-1, -0.5]), hi: Float32Array.from([1, 0.5]),
      rms: Float32Array.from([Math.sqrt(2.25 / 4), Math.sqrt(0.625 / 4)]),
    });
    // More columns than samples: each column still shows the sample under it.
    assert.deepEqual([...peaks(Float32Array.from([0.5, -0.5]), 4).hi], [0.5, 0.5, -0.5, -0.5]);
  });
});
