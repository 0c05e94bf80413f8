// The page: a sound, its waveform to steer the read position on, the
// controls of one vorn~ node, its grain cloud drawn live, and a recorder.
import { addVornModule, VornNode } from '../vorn.js';
import {
  CONTROLS, INITIAL_PRESET, MAX_OVERLAP_EXPONENT, OVERLAP_EXPONENTS, PRESETS, SLIDER_STEPS,
  formatValue, parseList, parseValue, sliderToValue, transpositions, valueToSlider,
} from './params.js';
import { drawGrains, drawWaveform, GrainTracker } from './draw.js';
import { encodeWav, readWavHeader } from './wav.js';

const $ = (id) => document.getElementById(id);

// vorn~ is silent on a buffer of 3 samples or fewer.
const MIN_FRAMES = 4;

const state = {
  context: null,
  node: null,
  position: null, // the page's position worklet
  gain: null,
  analyser: null,
  recorder: null,
  sound: null, // mono AudioBuffer
  soundName: '',
  positionMs: 0,
  moves: 0, // of the position by the page, numbered
  reports: 0, // from the position worklet
  values: {},
  overlap: 3,
  list: [],
  takes: 0,
  take: null, // { chunks } while a recording is on
  grains: [],
  grainsPending: false,
  grainsChanged: false,
};
// For the browser's console, and for the tests.
globalThis.vornPage = state;

// Problems shown in the message line, by what they are about; the latest
// still standing is shown. A field's stands until it is put right; any other
// (a refused file, audio that would not start) is news once, and whatever
// the user does next clears it.
const problems = new Map();

function report(key, text) {
  for (const k of [...problems.keys()]) if (k === key || !k.startsWith('field:')) problems.delete(k);
  if (text) problems.set(key, text);
  const last = [...problems.values()].pop();
  const box = $('message');
  box.hidden = !last;
  box.textContent = last || '';
}

function consoleLine(line, problem = false) {
  const row = document.createElement('span');
  row.textContent = line + '\n';
  if (problem) row.className = 'problem';
  $('console').append(row);
}

// Messages to the node are applied by its worklet; one that fails is a
// fault of the page, shown rather than lost.
function send(promise) {
  promise?.catch?.((e) => report('engine', `The engine refused a message: ${e.message}`));
}

// --- controls ---------------------------------------------------------------

const sliders = {};

function buildControls() {
  const template = $('slider-template');
  for (const [name, c] of Object.entries(CONTROLS)) $('sliders').append(makeSlider(template, name, c));
  for (const e of OVERLAP_EXPONENTS) {
    const option = new Option(`${2 ** e} grains`, String(e));
    $('overlap').append(option);
  }
  $('overlap').addEventListener('change', () => {
    state.overlap = Number($('overlap').value);
    unpressPresets();
    send(state.node?.overlap(state.overlap));
  });
  const list = $('list');
  list.addEventListener('change', () => commitList());
  list.addEventListener('keydown', (e) => { if (e.key === 'Enter') commitList(); });
  for (const [name, p] of Object.entries(PRESETS)) {
    const button = document.createElement('button');
    button.type = 'button';
    button.dataset.preset = name;
    button.setAttribute('aria-pressed', 'false');
    button.title = p.hint;
    button.append(p.label);
    button.addEventListener('click', () => applyPreset(name));
    $('preset-buttons').append(button);
  }
}

function makeSlider(template, name, c) {
  const row = template.content.firstElementChild.cloneNode(true);
  const [label, hint] = [row.querySelector('label'), row.querySelector('small')];
  const range = row.querySelector('input[type=range]');
  const field = row.querySelector('input.value');
  const error = row.querySelector('.field-error');
  range.id = `${name}-slider`;
  field.id = `${name}-value`;
  error.id = `${name}-error`;
  label.htmlFor = range.id;
  label.textContent = c.label;
  hint.textContent = c.hint;
  hint.id = `${name}-hint`;
  row.querySelector('.unit').textContent = c.unit;
  range.min = '0';
  range.max = String(SLIDER_STEPS);
  range.step = '1';
  range.setAttribute('aria-describedby', hint.id);
  field.setAttribute('aria-label', `${c.label} in ${c.unit}, typed`);
  field.setAttribute('aria-describedby', error.id);
  range.addEventListener('input', () => {
    const value = sliderToValue(name, Number(range.value));
    fieldError(name, null);
    setValue(name, value, { slider: false });
    unpressPresets();
  });
  const commit = () => {
    const parsed = parseValue(name, field.value);
    fieldError(name, parsed.error);
    if (parsed.error) return;
    setValue(name, parsed.value);
    unpressPresets();
  };
  field.addEventListener('change', commit);
  field.addEventListener('keydown', (e) => { if (e.key === 'Enter') commit(); });
  sliders[name] = { range, field, error };
  return row;
}

function fieldError(name, text, field = sliders[name].field, box = sliders[name].error) {
  field.setAttribute('aria-invalid', text ? 'true' : 'false');
  box.hidden = !text;
  box.textContent = text || '';
  report(`field:${name}`, text);
}

// A control's value, shown and applied.
function setValue(name, value, { slider = true } = {}) {
  state.values[name] = value;
  const s = sliders[name];
  s.field.value = formatValue(name, value);
  s.range.setAttribute('aria-valuetext', `${s.field.value} ${CONTROLS[name].unit}`);
  if (slider) s.range.value = String(valueToSlider(name, value));
  apply(name);
}

function apply(name) {
  const v = state.values[name];
  const node = state.node;
  if (name === 'scan') state.position?.port.postMessage({ speed: v });
  else if (name === 'volume') {
    const ctx = state.context;
    if (ctx) state.gain.gain.setTargetAtTime(v <= CONTROLS.volume.min ? 0 : 10 ** (v / 20), ctx.currentTime, 0.02);
  } else if (!node) return;
  else if (name === 'jitter') send(node.jitter(v));
  else if (name === 'detune') send(node.detune(v));
  else if (name === 'period') send(node.period(v));
  else if (name === 'transposition') sendTranspositions();
}

function sendTranspositions(node = state.node) {
  if (!node) return;
  const t = state.values.transposition;
  send(node.transposition(state.list.length ? transpositions(t, state.list) : t));
}

function commitList() {
  const field = $('list');
  const parsed = parseList(field.value);
  fieldError('list', parsed.error, field, $('list-error'));
  if (parsed.error) return;
  const same = parsed.values.length === state.list.length && parsed.values.every((v, i) => v === state.list[i]);
  state.list = parsed.values;
  if (!same) {
    unpressPresets();
    sendTranspositions();
  }
}

function applyPreset(name) {
  const { values } = PRESETS[name];
  for (const key of Object.keys(CONTROLS)) if (key in values) {
    fieldError(key, null);
    setValue(key, values[key]);
  }
  state.overlap = values.overlap;
  $('overlap').value = String(values.overlap);
  send(state.node?.overlap(values.overlap));
  $('list').value = values.list;
  fieldError('list', null, $('list'), $('list-error'));
  state.list = parseList(values.list).values;
  sendTranspositions();
  if ('position' in values && state.sound) setPosition(values.position * soundMs());
  for (const b of document.querySelectorAll('[data-preset]'))
    b.setAttribute('aria-pressed', String(b.dataset.preset === name));
}

function unpressPresets() {
  for (const b of document.querySelectorAll('[data-preset]')) b.setAttribute('aria-pressed', 'false');
}

// --- the position -----------------------------------------------------------

function soundMs() {
  return state.sound ? (state.sound.length * 1000) / state.context.sampleRate : 0;
}

// Held within the sound: the worklet wraps its end round to 0, where a
// move to the end is not meant to go.
function setPosition(ms) {
  const last = state.sound ? ((state.sound.length - 1) * 1000) / state.context.sampleRate : 0;
  const p = Math.min(Math.max(ms, 0), last);
  state.positionMs = p;
  state.moves += 1;
  state.position?.port.postMessage({ position: p, move: state.moves });
  showPosition(p);
}

function showPosition(ms) {
  const length = soundMs();
  const el = $('position');
  const text = `${(ms / 1000).toFixed(2)} s`;
  $('playhead').style.left = `${length ? (ms / length) * 100 : 0}%`;
  $('time').textContent = `${text} / ${(length / 1000).toFixed(2)} s`;
  el.setAttribute('aria-valuenow', String(Math.round(ms)));
  el.setAttribute('aria-valuetext', text);
}

function bindPosition() {
  const el = $('position');
  const at = (e) => {
    const box = el.getBoundingClientRect();
    return ((e.clientX - box.left) / box.width) * soundMs();
  };
  el.addEventListener('pointerdown', (e) => {
    if (!state.sound) return;
    el.setPointerCapture(e.pointerId);
    el.focus();
    state.position?.port.postMessage({ hold: true });
    setPosition(at(e));
  });
  el.addEventListener('pointermove', (e) => {
    if (el.hasPointerCapture(e.pointerId)) setPosition(at(e));
  });
  const release = () => state.position?.port.postMessage({ hold: false });
  el.addEventListener('pointerup', release);
  el.addEventListener('pointercancel', release);
  el.addEventListener('keydown', (e) => {
    const length = soundMs();
    const small = length / 100, large = length / 10;
    const moves = {
      ArrowLeft: -small, ArrowDown: -small, ArrowRight: small, ArrowUp: small, PageDown: -large, PageUp: large,
    };
    if (e.key in moves) setPosition(state.positionMs + moves[e.key] * (e.shiftKey ? 10 : 1));
    else if (e.key === 'Home') setPosition(0);
    else if (e.key === 'End') setPosition(length);
    else return;
    e.preventDefault();
  });
}

// --- sounds -----------------------------------------------------------------

// One channel, the mean of all (as vorn render takes a file), with anything
// that is not a finite number set to 0: the engine would pass it on.
function monoOf(buffer) {
  const n = buffer.length;
  const mono = new Float32Array(n);
  for (let c = 0; c < buffer.numberOfChannels; ++c) {
    const data = buffer.getChannelData(c);
    for (let i = 0; i < n; ++i) mono[i] += data[i] / buffer.numberOfChannels;
  }
  let bad = 0;
  for (let i = 0; i < n; ++i) if (!Number.isFinite(mono[i])) { mono[i] = 0; ++bad; }
  const out = new AudioBuffer({ length: n, numberOfChannels: 1, sampleRate: buffer.sampleRate });
  out.copyToChannel(mono, 0);
  return { buffer: out, bad };
}

async function loadSound(name, bytes) {
  const context = state.context;
  const header = readWavHeader(bytes.slice(0, Math.min(bytes.byteLength, 4096)));
  let decoded;
  try {
    if (bytes.byteLength === 0) throw new Error('empty');
    decoded = await context.decodeAudioData(bytes.slice(0));
  } catch {
    if (bytes.byteLength === 0) return report('sound', `“${name}” is empty (0 bytes): there is no sound in it.`);
    if (header && header.frames === 0)
      return report('sound', `“${name}” holds no samples: its sound is empty. The sound playing is kept.`);
    return report('sound', `“${name}” could not be decoded: it is not a sound file this browser can read. ` +
      'Try WAV, FLAC, Ogg or MP3. The sound playing is kept.');
  }
  if (decoded.length < MIN_FRAMES) {
    const n = decoded.length;
    return report('sound', `“${name}” holds ${n} sample${n === 1 ? '' : 's'}: too short to make grains of ` +
      `(at least ${MIN_FRAMES} are needed). The sound playing is kept.`);
  }
  const { buffer, bad } = monoOf(decoded);
  report('sound', bad ? `“${name}”: ${bad} samples that were not numbers were set to silence.` : null);
  useSound(name, buffer);
}

function useSound(name, buffer) {
  const fraction = state.sound ? state.positionMs / soundMs() : 0;
  state.sound = buffer;
  state.soundName = name;
  const ms = soundMs();
  showSoundName();
  $('position').setAttribute('aria-valuemax', String(Math.round(ms)));
  state.position.port.postMessage({ length: ms });
  setPosition(fraction * ms);
  send(state.node.setAudioBuffer(buffer));
  drawWaveform($('wave'), buffer.getChannelData(0));
  $('play').disabled = false;
  $('record').disabled = false;
}

async function loadDemo() {
  $('sound-name').textContent = 'loading the demo sound…';
  try {
    const response = await fetch(new URL('./demo.wav', import.meta.url));
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    await loadSound('demo sound', await response.arrayBuffer());
  } catch (e) {
    report('sound', `The demo sound could not be loaded (${e.message}).`);
  }
  showSoundName();
}

async function loadFile(file) {
  if (!file) return;
  $('sound-name').textContent = `reading ${file.name}…`;
  try {
    await loadSound(file.name, await file.arrayBuffer());
  } catch (e) {
    report('sound', `“${file.name}” could not be read: ${e.message}`);
  }
  showSoundName();
}

function showSoundName() {
  const ms = soundMs();
  $('sound-name').textContent = state.sound ? `${state.soundName} · ${(ms / 1000).toFixed(2)} s` : 'no sound';
}

function bindSources() {
  $('demo').addEventListener('click', loadDemo);
  $('file').addEventListener('change', () => {
    const file = $('file').files[0];
    $('file').value = '';
    loadFile(file);
  });
  const stage = $('stage');
  // A file dropped beside the stage must not replace the page.
  for (const type of ['dragover', 'drop']) window.addEventListener(type, (e) => e.preventDefault());
  stage.addEventListener('dragover', (e) => {
    e.preventDefault();
    stage.classList.add('dragover');
  });
  stage.addEventListener('dragleave', () => stage.classList.remove('dragover'));
  stage.addEventListener('drop', (e) => {
    e.preventDefault();
    stage.classList.remove('dragover');
    loadFile(e.dataTransfer?.files?.[0]);
  });
}

// --- audio --------------------------------------------------------------------

function makeNode() {
  const v = state.values;
  const node = new VornNode(state.context, {
    overlap: MAX_OVERLAP_EXPONENT, jitter: v.jitter, transposition: v.transposition, detune: v.detune, period: v.period,
  });
  send(node.overlap(state.overlap));
  sendTranspositions(node);
  if (state.sound) send(node.setAudioBuffer(state.sound));
  // A worklet that failed outputs silence for good: a new node takes its place.
  node.onprocessorerror = () => {
    report('engine', 'The engine stopped on an error and was started again.');
    node.disconnect();
    state.node = makeNode();
  };
  state.position.connect(node);
  node.connect(state.gain);
  return node;
}

async function startAudio() {
  const context = new AudioContext({ latencyHint: 'interactive' });
  state.context = context;
  // Sound starts with the Play button, not with the page.
  if (context.state === 'running') await context.suspend();
  context.onstatechange = () => showPlaying();
  const { kernel, simd } = await addVornModule(context, { onConsole: consoleLine });
  consoleLine(`page: kernel ${kernel}, ${simd ? 'SIMD' : 'no SIMD'} build, ${context.sampleRate} Hz`);
  await context.audioWorklet.addModule(new URL('./page-worklets.js', import.meta.url));
  state.position = new AudioWorkletNode(context, 'vorn-page-position', {
    numberOfInputs: 0, outputChannelCount: [1],
  });
  state.position.port.onmessage = ({ data }) => {
    state.reports += 1;
    if (data.move !== state.moves) return; // sent before the page's latest move
    state.positionMs = data.position;
    showPosition(data.position);
  };
  state.gain = new GainNode(context, { gain: 0 });
  state.analyser = new AnalyserNode(context, { fftSize: 2048 });
  state.recorder = new AudioWorkletNode(context, 'vorn-page-recorder', {
    numberOfInputs: 1, numberOfOutputs: 1, outputChannelCount: [1],
  });
  state.recorder.port.onmessage = ({ data }) => recorded(data);
  state.gain.connect(context.destination);
  state.gain.connect(state.analyser);
  state.gain.connect(state.recorder);
  state.recorder.connect(context.destination);
  state.node = makeNode();
}

function showPlaying() {
  const running = state.context?.state === 'running';
  if (running) report('audio', null);
  $('play').textContent = running ? 'Stop' : 'Play';
  $('play').setAttribute('aria-pressed', String(running));
  document.body.dataset.audio = state.context?.state || 'none';
}

// How long a resume may take before the page says that no sound comes: a
// browser with no output device never starts.
const START_PATIENCE_MS = 3000;

async function togglePlay() {
  const context = state.context;
  if (context.state === 'running') {
    if (state.take) stopRecording();
    await context.suspend();
  } else {
    const slow = setTimeout(() => report('audio',
      'The browser has not started sound output: is an output device connected and allowed?'), START_PATIENCE_MS);
    await context.resume();
    clearTimeout(slow);
  }
  showPlaying();
}

// --- recording ----------------------------------------------------------------

async function toggleRecord() {
  if (state.take) return stopRecording();
  state.take = { chunks: [] };
  $('record').setAttribute('aria-pressed', 'true');
  $('record').textContent = 'Stop recording';
  state.recorder.port.postMessage({ record: true });
  if (state.context.state !== 'running') await togglePlay();
}

function stopRecording() {
  $('record').setAttribute('aria-pressed', 'false');
  $('record').textContent = 'Record';
  state.recorder.port.postMessage({ record: false });
}

function recorded(data) {
  const take = state.take;
  if (!take) return;
  if (data.samples) take.chunks.push(data.samples);
  if (!data.done) return;
  state.take = null;
  const frames = take.chunks.reduce((n, c) => n + c.length, 0);
  const samples = new Float32Array(frames);
  let at = 0;
  for (const c of take.chunks) { samples.set(c, at); at += c.length; }
  const rate = state.context.sampleRate;
  const blob = new Blob([encodeWav([samples], rate)], { type: 'audio/wav' });
  const link = $('download');
  if (link.href) URL.revokeObjectURL(link.href);
  state.takes += 1;
  link.href = URL.createObjectURL(blob);
  link.download = `vorn-take-${state.takes}.wav`;
  link.textContent = `Download take ${state.takes} (${(frames / rate).toFixed(1)} s WAV)`;
  link.hidden = false;
}

// --- drawing ------------------------------------------------------------------

const tracker = new GrainTracker();
const levelData = new Float32Array(2048);

function frame() {
  requestAnimationFrame(frame);
  const context = state.context;
  if (!context || context.state !== 'running') return;
  if (state.node && !state.grainsPending) {
    state.grainsPending = true;
    const node = state.node;
    node.grains().then((g) => {
      if (node === state.node) { state.grains = g; state.grainsChanged = true; }
    }, () => {}).finally(() => { state.grainsPending = false; });
  }
  if (state.grainsChanged) {
    state.grainsChanged = false;
    const period = Math.max(4, (state.values.period * context.sampleRate) / 1000);
    const spans = tracker.spans(state.grains, period);
    drawGrains($('grains'), spans, state.sound ? state.sound.length : 0);
  }
  state.analyser.getFloatTimeDomainData(levelData);
  let sum = 0;
  for (const s of levelData) sum += s * s;
  const db = 10 * Math.log10(sum / levelData.length + 1e-12);
  $('level').value = Math.max(-60, db);
}

// --- start ----------------------------------------------------------------------

async function main() {
  buildControls();
  bindPosition();
  bindSources();
  applyPreset(INITIAL_PRESET);
  $('play').addEventListener('click', togglePlay);
  $('record').addEventListener('click', toggleRecord);
  // The space bar plays and stops from anywhere that has no use of its own
  // for it (buttons, fields and menus do).
  document.addEventListener('keydown', (e) => {
    if (e.key !== ' ' || e.repeat || !state.context || $('play').disabled) return;
    if (e.target !== document.body && e.target !== $('position')) return;
    e.preventDefault();
    togglePlay();
  });
  try {
    await startAudio();
  } catch (e) {
    report('audio', `Audio could not start in this browser: ${e.message}`);
    return;
  }
  // Set before the graph existed; the node took the others as its options.
  apply('scan');
  apply('volume');
  showPlaying();
  new ResizeObserver(() => {
    if (state.sound) drawWaveform($('wave'), state.sound.getChannelData(0));
    state.grainsChanged = true;
  }).observe($('stage'));
  requestAnimationFrame(frame);
  await loadDemo();
}

main();
