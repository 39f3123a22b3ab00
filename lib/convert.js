'use strict';

// Turns captured 48000 Hz stereo float frames into the format a stream was
// asked for: mono as the mean of both channels, another rate through
// libsamplerate (its WebAssembly build), and 16-bit samples.

const kCaptureRate = 48000;
const kCaptureChannels = 2;

// Float samples to little-endian 16-bit ones, clipped to full scale.
function toS16(samples) {
  const out = Buffer.allocUnsafe(samples.length * 2);
  const view = new Int16Array(out.buffer, out.byteOffset, samples.length);
  for (let i = 0; i < samples.length; i++) {
    view[i] = Math.round(Math.max(-1, Math.min(1, samples[i])) * 32767);
  }
  return out;
}

function toMono(stereo) {
  const mono = new Float32Array(stereo.length / 2);
  for (let i = 0; i < mono.length; i++) mono[i] = (stereo[2 * i] + stereo[2 * i + 1]) / 2;
  return mono;
}

const asBuffer = (samples) => Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);

// A converter for { format, channels, sampleRate }: `ready` resolves once
// the resampler is loaded (at once when none is needed); then
// convert(frames) takes a Float32Array of whole captured frames and returns
// a Buffer of converted ones, possibly empty while the resampler fills.
async function createConverter({ format, channels, sampleRate }) {
  let resampler = null;
  if (sampleRate !== kCaptureRate) {
    // Loaded here: 2 MB of WebAssembly that only conversions need.
    const LibSampleRate = require('@alexanderolsen/libsamplerate-js');
    // SINC_FASTEST: its pass band (80 % of the output's Nyquist frequency)
    // and a stop band more than 90 dB down are plenty for speech and
    // monitoring, at a quarter of the CPU of the better sinc filters.
    resampler = await LibSampleRate.create(channels, kCaptureRate, sampleRate, {
      converterType: LibSampleRate.ConverterType.SRC_SINC_FASTEST,
    });
  }
  const convert = (frames) => {
    let samples = channels === 1 ? toMono(frames) : frames;
    if (resampler) samples = resampler.full(samples);
    return format === 's16' ? toS16(samples) : asBuffer(samples);
  };
  const close = () => resampler?.destroy();
  const bytesPerSecond = sampleRate * channels * (format === 's16' ? 2 : 4);
  // Nothing to convert: blocks of whole frames can be passed on as they are.
  const passThrough = !resampler && channels === kCaptureChannels && format === 'f32';
  return { convert, close, bytesPerSecond, passThrough };
}

module.exports = { kCaptureRate, kCaptureChannels, toS16, createConverter };
