// WAV files for the page: the recorder's takes out, and a look at the header
// of a file the browser would not decode, to say why.

// Mono or interleaved float samples as 32-bit float WAV (format 3), the
// samples as the engine made them: no rounding, no clipping.
export function encodeWav(channels, sampleRate) {
  const count = channels.length;
  const frames = count ? channels[0].length : 0;
  const dataBytes = frames * count * 4;
  const out = new DataView(new ArrayBuffer(58 + dataBytes));
  const tag = (at, text) => { for (let i = 0; i < 4; ++i) out.setUint8(at + i, text.charCodeAt(i)); };
  tag(0, 'RIFF'); out.setUint32(4, 50 + dataBytes, true); tag(8, 'WAVE');
  tag(12, 'fmt '); out.setUint32(16, 18, true);
  out.setUint16(20, 3, true); out.setUint16(22, count, true);
  out.setUint32(24, sampleRate, true); out.setUint32(28, sampleRate * count * 4, true);
  out.setUint16(32, count * 4, true); out.setUint16(34, 32, true); out.setUint16(36, 0, true);
  // Non-PCM formats carry a fact chunk with the frame count.
  tag(38, 'fact'); out.setUint32(42, 4, true); out.setUint32(46, frames, true);
  tag(50, 'data'); out.setUint32(54, dataBytes, true);
  let at = 58;
  for (let f = 0; f < frames; ++f)
    for (let c = 0; c < count; ++c, at += 4) out.setFloat32(at, channels[c][f], true);
  return out.buffer;
}

// What a RIFF/WAVE header says: { channels, sampleRate, bits, format, frames,
// dataOffset }, or null when the bytes are no WAV file. frames counts what the
// data chunk declares, clipped to the bytes that are there.
export function readWavHeader(bytes) {
  const view = bytes instanceof DataView ? bytes : new DataView(bytes);
  const tag = (at) => String.fromCharCode(...[0, 1, 2, 3].map((i) => view.getUint8(at + i)));
  if (view.byteLength < 12 || tag(0) !== 'RIFF' || tag(8) !== 'WAVE') return null;
  let fmt = null;
  for (let at = 12; at + 8 <= view.byteLength;) {
    const id = tag(at);
    const size = view.getUint32(at + 4, true);
    if (id === 'fmt ' && at + 24 <= view.byteLength) {
      fmt = {
        format: view.getUint16(at + 8, true),
        channels: view.getUint16(at + 10, true),
        sampleRate: view.getUint32(at + 12, true),
        bits: view.getUint16(at + 22, true),
      };
    } else if (id === 'data' && fmt) {
      const frameBytes = fmt.channels * Math.ceil(fmt.bits / 8);
      const available = Math.min(size, view.byteLength - at - 8);
      return { ...fmt, frames: frameBytes ? Math.floor(available / frameBytes) : 0, dataOffset: at + 8 };
    }
    at += 8 + size + (size & 1);
  }
  return null;
}
