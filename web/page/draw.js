// The waveform and the grain cloud over it, each on a canvas of its own:
// the waveform is drawn once per sound and size, the cloud every frame.

// A canvas sized to its box in device pixels; returns its 2D context and
// the size in CSS pixels.
export function fitCanvas(canvas) {
  const ratio = globalThis.devicePixelRatio || 1;
  const { width, height } = canvas.getBoundingClientRect();
  const w = Math.max(1, Math.round(width * ratio));
  const h = Math.max(1, Math.round(height * ratio));
  if (canvas.width !== w || canvas.height !== h) {
    canvas.width = w;
    canvas.height = h;
  }
  const ctx = canvas.getContext('2d');
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  return { ctx, width, height };
}

// The lowest and highest sample under each of `columns` columns, and the
// root mean square of those samples.
export function peaks(samples, columns) {
  const lo = new Float32Array(columns);
  const hi = new Float32Array(columns);
  const rms = new Float32Array(columns);
  const per = samples.length / columns;
  for (let c = 0; c < columns; ++c) {
    const from = Math.floor(c * per);
    const to = Math.min(samples.length, Math.max(from + 1, Math.floor((c + 1) * per)));
    let min = Infinity, max = -Infinity, sum = 0;
    for (let i = from; i < to; ++i) {
      const s = samples[i];
      if (s < min) min = s;
      if (s > max) max = s;
      sum += s * s;
    }
    lo[c] = min === Infinity ? 0 : min;
    hi[c] = max === -Infinity ? 0 : max;
    rms[c] = to > from ? Math.sqrt(sum / (to - from)) : 0;
  }
  return { lo, hi, rms };
}

export function drawWaveform(canvas, samples) {
  const { ctx, width, height } = fitCanvas(canvas);
  ctx.clearRect(0, 0, width, height);
  const mid = height / 2;
  ctx.fillStyle = 'rgba(255, 255, 255, 0.05)';
  ctx.fillRect(0, Math.round(mid), width, 1);
  if (!samples || samples.length === 0) return;
  const columns = Math.max(1, Math.floor(width));
  const { lo, hi, rms } = peaks(samples, columns);
  // Quiet sounds still show: scale to the loudest sample, up to 4×.
  let loudest = 0;
  for (let c = 0; c < columns; ++c) loudest = Math.max(loudest, -lo[c], hi[c]);
  const scale = (mid * 0.92) / Math.max(loudest, 0.25);
  const band = (top, bottom, fill) => {
    ctx.fillStyle = fill;
    ctx.beginPath();
    ctx.moveTo(0, mid - top[0] * scale);
    for (let c = 1; c < columns; ++c) ctx.lineTo(c, mid - top[c] * scale);
    for (let c = columns - 1; c >= 0; --c) ctx.lineTo(c + 1, mid - bottom[c] * scale);
    ctx.closePath();
    ctx.fill();
  };
  const gradient = ctx.createLinearGradient(0, 0, 0, height);
  gradient.addColorStop(0, 'rgba(111, 127, 184, 0.35)');
  gradient.addColorStop(0.5, 'rgba(140, 156, 214, 0.5)');
  gradient.addColorStop(1, 'rgba(111, 127, 184, 0.35)');
  band(hi, lo, gradient);
  // The loudness inside the peaks, brighter: the shape the ear follows.
  band(rms, rms.map((v) => -v), 'rgba(160, 176, 232, 0.45)');
}

// A grain's colour by its transposition: the original pitch amber, up
// towards rose and violet, down towards green and teal.
export function grainHue(speed) {
  const cents = speed > 0 ? 1200 * Math.log2(speed) : 0;
  return (((40 - cents * 0.1) % 360) + 360) % 360;
}

// Where each grain's window is. The engine reports the window's value,
// which is the same on its way up and down: a grain seen before tells which
// by how the value moved, or, near the top where it hardly moves, by how far
// the grain read since. A grain that read backwards or jumped is a new one,
// taken as rising. Keeps one entry per grain slot.
export class GrainTracker {
  constructor() {
    this.last = [];
  }

  // grains: [{ position, window, speed }] (frames, 0..1, frames a sample);
  // period: samples a grain. Returns [{ from, to, at, window, speed }], the
  // frames the grain reads over its life and where it reads now.
  spans(grains, period) {
    const out = [];
    for (let i = 0; i < grains.length; ++i) {
      const { position, window, speed } = grains[i];
      const length = speed * period;
      const half = Math.acos(Math.min(Math.max(1 - 2 * window, -1), 1)) / (2 * Math.PI);
      const prev = this.last[i];
      const read = prev ? (position - prev.position) / length : 0;
      let phase = half;
      if (prev && prev.speed === speed && read >= 0 && read < 1) {
        if (Math.abs(window - prev.window) > 1e-3) phase = window > prev.window ? half : 1 - half;
        else if (Math.abs(1 - half - (prev.phase + read)) < Math.abs(half - (prev.phase + read))) phase = 1 - half;
      }
      this.last[i] = { position, window, speed, phase };
      const from = position - phase * length;
      out.push({ from, to: from + length, at: position, window, speed });
    }
    this.last.length = grains.length;
    return out;
  }
}

// The cloud: each grain a translucent lens over the frames it reads, as tall
// as its window is now, and a bright tick where it reads. Lenses blend, so
// that a dense cloud keeps its colours; ticks add up to light.
export function drawGrains(canvas, spans, frames) {
  const { ctx, width, height } = fitCanvas(canvas);
  ctx.clearRect(0, 0, width, height);
  if (!(frames > 0)) return;
  const mid = height / 2;
  const x = (f) => (f / frames) * width;
  const thin = Math.min(1, 4 / Math.sqrt(spans.length));
  for (const g of spans) {
    if (!(g.window > 0.002)) continue;
    let x0 = x(Math.min(g.from, g.to));
    let x1 = x(Math.max(g.from, g.to));
    if (x1 < 0 || x0 > width) continue;
    if (x1 - x0 < 2) { x0 -= 1; x1 += 1; }
    const hue = grainHue(g.speed);
    const tall = mid * 0.9 * g.window;
    ctx.globalCompositeOperation = 'source-over';
    ctx.fillStyle = `hsla(${hue}, 90%, 60%, ${(0.06 + 0.3 * g.window) * thin})`;
    ctx.beginPath();
    ctx.moveTo(x0, mid);
    ctx.quadraticCurveTo((x0 + x1) / 2, mid - 2 * tall, x1, mid);
    ctx.quadraticCurveTo((x0 + x1) / 2, mid + 2 * tall, x0, mid);
    ctx.fill();
    ctx.globalCompositeOperation = 'lighter';
    ctx.fillStyle = `hsla(${hue}, 100%, 75%, ${(0.1 + 0.6 * g.window) * thin})`;
    ctx.fillRect(x(g.at) - 0.5, mid - tall, 1, 2 * tall);
  }
  ctx.globalCompositeOperation = 'source-over';
}
