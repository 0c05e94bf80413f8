// The renders that the node and browser tests compare with vorn render
// (the scenario format: support.js). Every message falls on a render
// quantum boundary; the boxes run in the order given (in the browser: node
// k at input k of a ChannelMergerNode, which Chromium runs in that order).
import { makeSound, RATE } from './support.js';

const Q = 128;

export const sounds = {
  src: makeSound(2, 1),
  other: makeSound(1.5, 7),
  one: new Float32Array([0.75]),
  three: new Float32Array([0.5, -0.25, 0.125]),
  five: new Float32Array([0.5, -0.25, 0.125, 1, -1]),
};

const constant = (frames, ms) => new Float32Array(frames).fill(ms);

// From `from` to `to` ms over the render, in a straight line.
const ramp = (frames, from, to) => Float32Array.from({ length: frames }, (_, k) => from + ((to - from) * k) / (frames - 1));

// Jumps, backwards runs, and positions off either end of src.
const wild = (frames) =>
  Float32Array.from({ length: frames }, (_, k) => {
    const t = k / RATE;
    return [1800 - 900 * t, -30 + 50 * t, 2100 + 10 * t, 400 + 300 * Math.sin(9 * t)][Math.floor(k / 5000) % 4];
  });

function scenario(name, frames, boxes, position, events = [], { buffers = {}, ...rest } = {}) {
  return { name, frames, boxes, position, events, seed: 42, sounds, buffers: { src: 'src', ...buffers }, ...rest };
}

const at = (quantum) => quantum * Q;

export const renderScenarios = [
  scenario('freeze', RATE, [[3, 'src', 10, 700, 5, 80]], constant(RATE, 500)),
  scenario('stretch with a list of transpositions', RATE, [[5, 'src', 20, 0, 15, 150]], ramp(RATE, 0, 1500), [
    { frame: 'init', target: 0, op: 'transposition', value: [0, -1200, 700, -500] },
  ]),
  scenario(
    'three boxes share the random source',
    RATE,
    [
      [3, 'src', 10, 700, 5, 80],
      [4, 'src', 30, -500, 0, 40],
      [2, 'src', 0, 0, 20, 200],
    ],
    ramp(RATE, 300, 1300),
    [{ frame: at(100), target: 1, op: 'transposition', value: [0, 1200] }],
  ),
  scenario(
    'periods from 1 to 500 ms',
    RATE,
    [[4, 'src', 5, 300, 10, 1]],
    ramp(RATE, 200, 1600),
    [2, 5, 10, 20, 40, 100, 250, 500, 0.5].map((ms, k) => ({ frame: at(30 * (k + 1)), target: 0, op: 'period', value: ms })),
  ),
  scenario('jitters', RATE, [[5, 'src', 200, 0, 600, 30]], wild(RATE), [
    { frame: at(40), target: 0, op: 'jitter', value: 0 },
    { frame: at(80), target: 0, op: 'detune', value: 50 },
    { frame: at(120), target: 0, op: 'jitter', value: 1000 },
    { frame: at(160), target: 0, op: 'detune', value: -5 },
    { frame: at(200), target: 0, op: 'jitter', value: -40.5 },
    { frame: at(240), target: 0, op: 'detune', value: 33.3 },
  ]),
  scenario(
    'overlap changes',
    RATE,
    [[6, 'src', 10, 0, 0, 50]],
    ramp(RATE, 500, 900),
    [0, 2, 6, 10, -3, 3.9, 1].map((n, k) => ({ frame: at(40 * (k + 1)), target: 0, op: 'overlap', atoms: [n] })),
  ),
  scenario('transposition lists', RATE, [[5, 'src', 15, 0, 8, 90]], ramp(RATE, 100, 1700), [
    { frame: 'init', target: 0, op: 'transposition', value: [0, 400, 700, 1200] },
    { frame: at(60), target: 0, op: 'transposition', value: Array.from({ length: 300 }, (_, k) => (k % 25) * 100 - 1200) },
    { frame: at(120), target: 0, op: 'transposition', value: -700 },
    { frame: at(180), target: 0, op: 'transposition', value: [0, 'fifth', 700, 'x'] },
    { frame: at(240), target: 0, op: 'transposition', value: [2400, -2400] },
  ]),
  scenario(
    'a buffer swapped, deleted and made again while rendering',
    RATE,
    [
      [4, 'src', 10, 0, 5, 60],
      [3, 'other', 5, 300, 0, 100],
    ],
    ramp(RATE, 200, 1200),
    [
      { frame: at(50), target: 'host', op: 'buffer', name: 'src', sound: 'other' },
      { frame: at(100), target: 'host', op: 'buffer', name: 'other', sound: 'src' },
      { frame: at(150), target: 'host', op: 'delete', name: 'src' },
      { frame: at(170), target: 0, op: 'loadbang' },
      { frame: at(200), target: 'host', op: 'buffer', name: 'src', sound: 'src' },
      { frame: at(250), target: 0, op: 'loadbang' },
      { frame: at(300), target: 1, op: 'set', atoms: ['src', 20] },
    ],
    { buffers: { other: 'other' } },
  ),
  scenario('set, failed lookups and the name kept', RATE, [[4, 'src', 10, 0, 0, 70]], ramp(RATE, 300, 800), [
    { frame: at(40), target: 0, op: 'set', atoms: ['other', 20] },
    { frame: at(80), target: 0, op: 'set', atoms: ['nothere'] },
    { frame: at(120), target: 0, op: 'set', atoms: [0, 30] },
    { frame: at(160), target: 0, op: 'set', atoms: ['src', 'x', 700, '-', 45] },
    { frame: at(200), target: 0, op: 'set', atoms: [12] },
    { frame: at(240), target: 0, op: 'set', atoms: ['other', 5, -1200, 10, 120, 999] },
  ], { buffers: { other: 'other' } }),
  scenario('1024 grains', RATE / 2, [[10, 'src', 20, 0, 15, 200]], ramp(RATE / 2, 400, 900), [
    { frame: at(80), target: 0, op: 'transposition', value: [0, 700] },
  ]),
  scenario('huge values and atoms of the wrong type', RATE, [[5, 'src', 10, 0, 0, 60]], ramp(RATE, 600, 1000), [
    { frame: at(20), target: 0, op: 'jitter', value: 1e300 },
    { frame: at(40), target: 0, op: 'jitter', value: 10 },
    { frame: at(60), target: 0, op: 'period', value: 1e39 },
    { frame: at(80), target: 0, op: 'period', value: -5 },
    { frame: at(100), target: 0, op: 'period', value: 40 },
    { frame: at(120), target: 0, op: 'transposition', value: 1e39 },
    { frame: at(140), target: 0, op: 'transposition', value: [0, -3e38, 1e-45] },
    { frame: at(160), target: 0, op: 'detune', value: 1e30 },
    { frame: at(180), target: 0, op: 'detune', value: 0 },
    { frame: at(200), target: 0, op: 'overlap', atoms: [1e10] },
    { frame: at(220), target: 0, op: 'overlap', atoms: ['x'] },
    { frame: at(240), target: 0, op: 'overlap', atoms: [-1e10] },
    { frame: at(260), target: 0, op: 'overlap', atoms: [3000000000] },
    { frame: at(280), target: 0, op: 'set', atoms: ['src', 0.1, 123456789, 0.3, 33.3] },
  ]),
  scenario(
    'buffers of one, three and five samples',
    RATE / 2,
    [[3, 'one', 0, 0, 0, 2]],
    constant(RATE / 2, 0.02),
    [
      { frame: at(40), target: 0, op: 'set', atoms: ['three'] },
      { frame: at(80), target: 0, op: 'set', atoms: ['five'] },
      { frame: at(120), target: 0, op: 'period', value: 0.1 },
    ],
    { buffers: { one: 'one', three: 'three', five: 'five' } },
  ),
];

// Console lines: vorn render's standard output against the engine's lines.
export const consoleScenarios = [
  scenario(
    'creation, loadbang, set, print and version',
    Q * 40,
    [[3, 'nothere', 10], [2, 'src'], ['-', 'other', 5]],
    constant(Q * 40, 100),
    [
      { frame: 'init', target: 0, op: 'print' },
      { frame: 'init', target: 1, op: 'print' },
      { frame: at(1), target: 0, op: 'set', atoms: ['src'] },
      { frame: at(1), target: 0, op: 'print' },
      { frame: at(2), target: 0, op: 'set', atoms: ['missing', 5] },
      { frame: at(2), target: 0, op: 'print' },
      { frame: at(3), target: 1, op: 'set', atoms: ['other'] },
      { frame: at(3), target: 1, op: 'loadbang' },
      { frame: at(3), target: 1, op: 'set', atoms: [5] },
      { frame: at(4), target: 1, op: 'set', atoms: ['nothere2'] },
      { frame: at(4), target: 2, op: 'set', atoms: ['nothere3'] },
      { frame: at(4), target: 2, op: 'loadbang' },
      { frame: at(4), target: 2, op: 'print' },
      { frame: at(5), target: 2, op: 'version' },
      { frame: at(6), target: 'host', op: 'buffer', name: 'other', sound: 'three' },
      { frame: at(6), target: 0, op: 'set', atoms: ['other'] },
      { frame: at(6), target: 0, op: 'print' },
      { frame: at(7), target: 'host', op: 'delete', name: 'other' },
      { frame: at(7), target: 0, op: 'print' },
      { frame: at(7), target: 0, op: 'loadbang' },
      { frame: at(7), target: 0, op: 'print' },
      { frame: at(8), target: 'host', op: 'buffer', name: 'nothere3', sound: 'one' },
      { frame: at(8), target: 2, op: 'loadbang' },
      { frame: at(8), target: 2, op: 'print' },
      { frame: at(9), target: 1, op: 'set' },
      { frame: at(9), target: 1, op: 'print' },
      { frame: at(10), target: 'host', op: 'buffer', name: 'src', sound: 'five' },
      { frame: at(10), target: 1, op: 'set', atoms: ['src'] },
      { frame: at(10), target: 1, op: 'print' },
      { frame: at(11), target: 1, op: 'set', atoms: ['fast'] },
      { frame: at(11), target: 1, op: 'print' },
    ],
    { buffers: { other: 'other', fast: 'one' }, rates: { three: 48000, five: 22050, one: 96000 } },
  ),
];
