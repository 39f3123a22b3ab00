'use strict';

// What is left to do in JavaScript once the recorder has converted the rate
// and channels: 16-bit samples, and a stereo capture's mean as mono. Each
// conversion is one pass that allocates its output alone: it runs on every
// chunk (npm run bench).

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

// The mean of left and right, frame by frame.
function toMono(stereo) {
  const mono = new Float32Array(stereo.length / 2);
  for (let i = 0; i < mono.length; i++) mono[i] = (stereo[2 * i] + stereo[2 * i + 1]) / 2;
  return mono;
}

// toS16(toMono(STEREO)) in one pass.
function toMonoS16(stereo) {
  const frames = stereo.length / 2;
  const out = Buffer.allocUnsafe(frames * 2);
  const view = new Int16Array(out.buffer, out.byteOffset, frames);
  for (let i = 0; i < frames; i++) view[i] = s16((stereo[2 * i] + stereo[2 * i + 1]) / 2);
  return out;
}

module.exports = { toS16, toMono, toMonoS16 };
