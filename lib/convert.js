'use strict';

// Float samples as 16-bit ones, for what JavaScript builds itself (a call's
// interleaved sides, WAV files); a stream's reader converts its own. One
// pass that allocates its output alone.

const kFullScale = 32767;

// A float sample as a 16-bit one, clipped to full scale.
const s16 = (value) => Math.round((value > 1 ? 1 : value < -1 ? -1 : value) * kFullScale);

// Float samples to little-endian 16-bit ones.
function toS16(samples) {
  const out = Buffer.allocUnsafe(samples.length * 2);
  const view = new Int16Array(out.buffer, out.byteOffset, samples.length);
  for (let i = 0; i < samples.length; i++) view[i] = s16(samples[i]);
  return out;
}

module.exports = { toS16 };
