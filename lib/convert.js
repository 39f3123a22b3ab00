'use strict';

// What is left to do in JavaScript once the recorder has converted the rate
// and channels: 16-bit samples, and a stereo capture's mean as mono.

// Float samples to little-endian 16-bit ones, clipped to full scale.
function toS16(samples) {
  const out = Buffer.allocUnsafe(samples.length * 2);
  const view = new Int16Array(out.buffer, out.byteOffset, samples.length);
  for (let i = 0; i < samples.length; i++) {
    view[i] = Math.round(Math.max(-1, Math.min(1, samples[i])) * 32767);
  }
  return out;
}

// The mean of left and right, frame by frame.
function toMono(stereo) {
  const mono = new Float32Array(stereo.length / 2);
  for (let i = 0; i < mono.length; i++) mono[i] = (stereo[2 * i] + stereo[2 * i + 1]) / 2;
  return mono;
}

module.exports = { toS16, toMono };
