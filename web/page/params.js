// The page's controls as data: ranges, how a slider maps onto each range,
// typed values checked against it, the transposition list, and the presets.
// No DOM here, so node's tests read it as the page does.

// Sliders run over 0..SLIDER_STEPS; `curve` maps that travel onto the range:
// 'linear', 'square' (fine control near the bottom, for jitter and detune) or
// 'log' (equal travel per octave, for the period).
export const SLIDER_STEPS = 1000;

export const CONTROLS = {
  scan: { label: 'Scan', unit: '×', min: -2, max: 2, curve: 'linear', digits: 2,
    hint: 'playback speed through the sound: 0 freezes, 1 is normal speed, 0.25 four times slower, below 0 backwards' },
  jitter: { label: 'Position jitter', unit: 'ms', min: 0, max: 1000, curve: 'square', digits: 1,
    hint: 'each grain starts at a random point within this distance of the position' },
  transposition: { label: 'Transposition', unit: 'cents', min: -2400, max: 2400, curve: 'linear', digits: 0,
    hint: '100 cents is a semitone, 1200 an octave; moves the whole list below' },
  detune: { label: 'Transposition jitter', unit: 'cents', min: 0, max: 1200, curve: 'square', digits: 1,
    hint: 'each grain is detuned at random by up to this much' },
  period: { label: 'Period', unit: 'ms', min: 2, max: 2000, curve: 'log', digits: 1,
    hint: 'the length of one grain, window included' },
  volume: { label: 'Volume', unit: 'dB', min: -60, max: 24, curve: 'linear', digits: 1,
    hint: 'output level; the bottom of the slider is silence' },
};

// Overlap as the engine takes it, a power-of-two exponent: 2 to 1024 grains.
export const INITIAL_PRESET = 'stretch';

export const OVERLAP_EXPONENTS = [1, 2, 3, 4, 5, 6, 7, 8, 9, 10];
export const MAX_OVERLAP_EXPONENT = 10;

// The engine keeps at most this many transpositions; a list's values are
// held to the transposition slider's reach, so that with the slider on top
// a grain stays within ±4 octaves.
export const MAX_LIST = 256;
export const LIST_LIMIT = 2400;

export function sliderToValue(name, step) {
  const c = CONTROLS[name];
  const u = Math.min(Math.max(step / SLIDER_STEPS, 0), 1);
  if (c.curve === 'log') return c.min * (c.max / c.min) ** u;
  if (c.curve === 'square') return c.min + (c.max - c.min) * u * u;
  return c.min + (c.max - c.min) * u;
}

export function valueToSlider(name, value) {
  const c = CONTROLS[name];
  const v = Math.min(Math.max(value, c.min), c.max);
  let u;
  if (c.curve === 'log') u = Math.log(v / c.min) / Math.log(c.max / c.min);
  else if (c.curve === 'square') u = Math.sqrt((v - c.min) / (c.max - c.min));
  else u = (v - c.min) / (c.max - c.min);
  return Math.round(u * SLIDER_STEPS);
}

// A value shown in a field: no more digits than the control is set to.
export function formatValue(name, value) {
  return String(Number(value.toFixed(CONTROLS[name].digits)));
}

const rangeText = (c) => `${c.min} to ${c.max} ${c.unit}`;

// A value typed into a control's field: { value } or { error } saying what
// is wrong in words a musician reads.
export function parseValue(name, text) {
  const c = CONTROLS[name];
  const trimmed = String(text).trim();
  if (trimmed === '') return { error: `${c.label}: type a number from ${rangeText(c)}.` };
  const value = Number(trimmed);
  if (!Number.isFinite(value)) return { error: `${c.label}: “${trimmed}” is not a number; it takes ${rangeText(c)}.` };
  if (value < c.min || value > c.max)
    return { error: `${c.label}: ${trimmed} ${c.unit} is out of range; it takes ${rangeText(c)}.` };
  return { value };
}

// The transposition list field: numbers in cents separated by spaces or
// commas. An empty field is no list (the transposition alone).
export function parseList(text) {
  const tokens = String(text).split(/[\s,]+/).filter((t) => t !== '');
  const values = [];
  for (const t of tokens) {
    const v = Number(t);
    if (!Number.isFinite(v)) return { error: `Transposition list: “${t}” is not a number of cents.` };
    if (Math.abs(v) > LIST_LIMIT)
      return { error: `Transposition list: ${t} cents is out of range; each value takes −${LIST_LIMIT} to ${LIST_LIMIT} cents.` };
    values.push(v);
  }
  if (values.length > MAX_LIST)
    return { error: `Transposition list: ${values.length} values; it holds at most ${MAX_LIST}.` };
  return { values };
}

// What the engine is sent for the transposition: the slider's value alone,
// or each value of the list moved by it.
export function transpositions(transposition, list) {
  return list.length ? list.map((v) => v + transposition) : [transposition];
}

// The four uses, each a starting point: where the scan goes, how the
// cloud is made. `position` (a fraction of the sound) is where a preset
// places the read point; absent, it stays. Grains that do not line up add
// up quieter than the sound (by some 10 dB for 16 jittered grains, 20 for
// 128), so each preset sets the volume that brings the demo sound to about
// the same loudness.
export const PRESETS = {
  freeze: {
    label: 'Freeze', hint: 'hold one moment of the sound',
    values: { scan: 0, jitter: 12, transposition: 0, detune: 4, period: 140, overlap: 5, list: '', volume: 12 },
  },
  stretch: {
    label: 'Stretch', hint: 'four times slower, same pitch',
    values: { scan: 0.25, jitter: 8, transposition: 0, detune: 0, period: 90, overlap: 4, list: '', position: 0, volume: 6 },
  },
  scrub: {
    label: 'Scrub', hint: 'backwards at speed; drag the waveform to steer',
    values: { scan: -1.5, jitter: 2, transposition: 0, detune: 0, period: 45, overlap: 3, list: '', volume: 3 },
  },
  thicken: {
    label: 'Thicken', hint: 'a slow, wide chord of grains',
    values: { scan: 0.1, jitter: 120, transposition: 0, detune: 14, period: 220, overlap: 7, list: '-1200 0 700 1200', volume: 19 },
  },
};
