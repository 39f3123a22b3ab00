'use strict';

// Measures known tones in interleaved float samples: for the end-to-end
// tests, the demo (scripts/demo) and the runtime probe
// (test/runtimes/probe.mjs), which scripts/runtime-matrix copies next to the
// probe, so this file requires nothing. Each tone is one DFT bin, what a
// Goertzel filter computes: over whole cycles of every tone that plays, each
// is measured apart from the others. LAYOUT is the samples' { rate, channels },
// by default the capture's 48 kHz stereo.
//
//   dft(samples, channel, frequency, origin = 0, layout)
//       { amplitude, phase } of FREQUENCY in one channel of SAMPLES, whose
//       first frame is frame ORIGIN of a longer stream, so that windows of
//       one stream share a time base
//   amplitude(samples, channel, frequency, layout)
//       the amplitude of FREQUENCY as the median over windows of 0.1 s: a
//       player late for a moment on a loaded machine spoils a window or
//       two, not the measurement

const kCapture = { rate: 48000, channels: 2 };

function dft(samples, channel, frequency, origin = 0, { rate, channels } = kCapture) {
  let re = 0;
  let im = 0;
  const step = (2 * Math.PI * frequency) / rate;
  const frames = Math.floor(samples.length / channels);
  for (let i = 0; i < frames; i++) {
    const value = samples[i * channels + channel];
    re += value * Math.cos(step * (origin + i));
    im -= value * Math.sin(step * (origin + i));
  }
  return { amplitude: (2 * Math.hypot(re, im)) / frames, phase: Math.atan2(im, re) };
}

function amplitude(samples, channel, frequency, layout = kCapture) {
  const size = (layout.rate / 10) * layout.channels;
  const amplitudes = [];
  for (let from = 0; from + size <= samples.length; from += size) {
    amplitudes.push(dft(samples.subarray(from, from + size), channel, frequency, 0, layout).amplitude);
  }
  if (amplitudes.length === 0) throw new Error('less than 0.1 s to measure');
  amplitudes.sort((a, b) => a - b);
  return amplitudes[Math.floor(amplitudes.length / 2)];
}

module.exports = { dft, amplitude };
