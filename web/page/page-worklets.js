// The page's own audio-thread pieces, beside the engine's node: the read
// position it feeds vorn~, and a recorder of what the page plays.

// The position signal in ms. It moves by itself at `speed` ms of sound per
// ms of time (the scan), wrapping at both ends of the sound, and jumps where
// the page puts it; while `hold` is set (a hand on the waveform) it stays
// put, so that a drag steers alone. Tells the page where it is every
// REPORT_QUANTA render quanta, for the playhead, with the number of the last
// move it applied: a report on its way while the page moves the position
// again is out of date.
const REPORT_QUANTA = 4;

class PositionProcessor extends AudioWorkletProcessor {
  constructor() {
    super();
    this.position = 0;
    this.speed = 0;
    this.length = 0;
    this.hold = false;
    this.quanta = 0;
    this.move = 0;
    this.port.onmessage = ({ data }) => {
      if (Number.isFinite(data.length)) this.length = Math.max(data.length, 0);
      if (Number.isFinite(data.speed)) this.speed = data.speed;
      if (typeof data.hold === 'boolean') this.hold = data.hold;
      if (Number.isFinite(data.position)) {
        this.position = this.wrap(data.position);
        this.move = data.move;
      }
    };
  }

  wrap(ms) {
    const L = this.length;
    if (!(L > 0)) return 0;
    const w = ms - L * Math.floor(ms / L);
    return w >= L ? 0 : w;
  }

  process(inputs, outputs) {
    const out = outputs[0][0];
    const step = this.hold ? 0 : (this.speed * 1000) / sampleRate;
    let p = this.position;
    for (let i = 0; i < out.length; ++i) {
      out[i] = p;
      p += step;
    }
    this.position = this.wrap(p);
    if (++this.quanta >= REPORT_QUANTA) {
      this.quanta = 0;
      this.port.postMessage({ position: this.position, move: this.move });
    }
    return true;
  }
}

// The recorder: while on, the first channel of its input in chunks of
// CHUNK frames, transferred to the page; on stop, the part chunk and `done`.
// Its output stays silent: it is connected only so that the graph runs it.
const CHUNK = 8192;

class RecorderProcessor extends AudioWorkletProcessor {
  constructor() {
    super();
    this.recording = false;
    this.chunk = new Float32Array(CHUNK);
    this.filled = 0;
    this.port.onmessage = ({ data }) => {
      if (data.record === true) {
        this.recording = true;
        this.filled = 0;
      } else if (data.record === false && this.recording) {
        this.recording = false;
        this.flush();
        this.port.postMessage({ done: true });
      }
    };
  }

  flush() {
    if (!this.filled) return;
    const samples = this.chunk.slice(0, this.filled);
    this.port.postMessage({ samples }, [samples.buffer]);
    this.filled = 0;
  }

  process(inputs) {
    if (!this.recording) return true;
    const input = inputs[0][0];
    // No input connected: a quantum of silence, as the page hears it.
    const n = input ? input.length : 128;
    for (let i = 0; i < n; ++i) {
      this.chunk[this.filled++] = input ? input[i] : 0;
      if (this.filled === CHUNK) this.flush();
    }
    return true;
  }
}

registerProcessor('vorn-page-position', PositionProcessor);
registerProcessor('vorn-page-recorder', RecorderProcessor);
