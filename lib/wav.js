'use strict';

// WAV files of whole frames: 32-bit IEEE float (format tag 3, with the fact
// chunk that non-PCM data calls for) or 16-bit PCM. Written to a file, the
// header's sizes match the data after every write, so the file is valid
// however the recording ends. Streamed (to a pipe, FIFO or device, where
// nothing can be rewritten) the sizes are 0xFFFFFFFF, "up to the end", as is
// usual for WAV on a pipe.

const fs = require('fs');
const { toS16 } = require('./convert');

const kFormats = {
  f32: { tag: 3, bytesPerSample: 4, headerBytes: 58 },
  s16: { tag: 1, bytesPerSample: 2, headerBytes: 44 },
};

const kStreamedSize = 0xffffffff;

// FRAMES null: the streamed header.
function header(format, sampleRate, channels, frames) {
  const { tag, bytesPerSample, headerBytes } = kFormats[format];
  const dataBytes = frames * channels * bytesPerSample;
  const size = (bytes) => (frames === null ? kStreamedSize : bytes);
  const out = Buffer.alloc(headerBytes);
  let at = 0;
  const text = (value) => (at = out.write(value, at, 'latin1') + at);
  const u32 = (value) => (at = out.writeUInt32LE(value, at));
  const u16 = (value) => (at = out.writeUInt16LE(value, at));
  text('RIFF');
  u32(size(headerBytes - 8 + dataBytes));
  text('WAVE');
  text('fmt ');
  u32(tag === 1 ? 16 : 18);
  u16(tag);
  u16(channels);
  u32(sampleRate);
  u32(sampleRate * channels * bytesPerSample);
  u16(channels * bytesPerSample);
  u16(bytesPerSample * 8);
  if (tag !== 1) {
    u16(0);
    text('fact');
    u32(4);
    u32(size(frames));
  }
  text('data');
  u32(size(dataBytes));
  return out;
}

// Writes all of DATA at POSITION (null: at the descriptor's offset); a pipe
// may take less than asked in one write.
function writeAll(fd, data, position) {
  for (let done = 0; done < data.length; ) {
    done += fs.writeSync(fd, data, done, data.length - done, position === null ? null : position + done);
  }
}

class WavWriter {
  // Writes the header to FD, a new or emptied file, or with STREAMED a pipe,
  // FIFO or device that is written in order only; throws when that fails.
  // close() closes FD.
  constructor(fd, { format = 'f32', sampleRate = 48000, channels = 2, streamed = false } = {}) {
    if (!kFormats[format]) throw new Error(`unknown WAV format ${format}`);
    this.fd = fd;
    this.format = format;
    this.sampleRate = sampleRate;
    this.channels = channels;
    this.streamed = streamed;
    this.frames = 0;
    this.writeHeader();
  }

  writeHeader() {
    const frames = this.streamed ? null : this.frames;
    writeAll(this.fd, header(this.format, this.sampleRate, this.channels, frames), this.streamed ? null : 0);
  }

  // SAMPLES: a Float32Array of whole interleaved frames.
  write(samples) {
    if (samples.length === 0) return;
    const data =
      this.format === 'f32' ? Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength) : toS16(samples);
    const { headerBytes, bytesPerSample } = kFormats[this.format];
    writeAll(this.fd, data, this.streamed ? null : headerBytes + this.frames * this.channels * bytesPerSample);
    this.frames += samples.length / this.channels;
    if (!this.streamed) this.writeHeader();
  }

  close() {
    fs.closeSync(this.fd);
  }
}

// Reads a WAV file this module writes (or any plain PCM/float one) into
// { format, sampleRate, channels, frames, samples: Float32Array, chunks }.
// A data chunk that claims more than the file holds (a streamed one) holds
// the whole frames up to the end.
function readWav(path) {
  const file = fs.readFileSync(path);
  if (file.toString('latin1', 0, 4) !== 'RIFF' || file.toString('latin1', 8, 12) !== 'WAVE') {
    throw new Error(`${path} is not a WAV file`);
  }
  const chunks = {};
  for (let at = 12; at + 8 <= file.length; ) {
    const id = file.toString('latin1', at, at + 4);
    const size = file.readUInt32LE(at + 4);
    chunks[id] = { offset: at + 8, size };
    at += 8 + size + (size % 2);
  }
  if (!chunks['fmt '] || !chunks.data) throw new Error(`${path} lacks a fmt or data chunk`);
  const fmt = chunks['fmt '].offset;
  const tag = file.readUInt16LE(fmt);
  const channels = file.readUInt16LE(fmt + 2);
  const sampleRate = file.readUInt32LE(fmt + 4);
  const bits = file.readUInt16LE(fmt + 14);
  const { offset } = chunks.data;
  const frameBytes = (channels * bits) / 8;
  const size = Math.min(chunks.data.size, file.length - offset - ((file.length - offset) % frameBytes));
  let samples;
  if (tag === 3 && bits === 32) {
    samples = new Float32Array(size / 4);
    for (let i = 0; i < samples.length; i++) samples[i] = file.readFloatLE(offset + i * 4);
  } else if (tag === 1 && bits === 16) {
    samples = new Float32Array(size / 2);
    for (let i = 0; i < samples.length; i++) samples[i] = file.readInt16LE(offset + i * 2) / 32767;
  } else {
    throw new Error(`${path}: format tag ${tag} with ${bits} bits is not supported`);
  }
  return {
    format: tag === 3 ? 'f32' : 's16',
    tag,
    bits,
    sampleRate,
    channels,
    frames: samples.length / channels,
    samples,
    chunks,
    fileBytes: file.length,
  };
}

// Writes SECONDS of sine tones to a WAV file, one [frequency in Hz,
// amplitude] per channel: test signals for players and demonstrations.
function writeTone(path, tones, seconds, { format = 'f32', sampleRate = 48000 } = {}) {
  const frames = Math.round(seconds * sampleRate);
  const samples = new Float32Array(frames * tones.length);
  tones.forEach(([frequency, amplitude], channel) => {
    for (let i = 0; i < frames; i++) {
      samples[i * tones.length + channel] = amplitude * Math.sin((2 * Math.PI * frequency * i) / sampleRate);
    }
  });
  const writer = new WavWriter(fs.openSync(path, 'w'), { format, sampleRate, channels: tones.length });
  writer.write(samples);
  writer.close();
  return path;
}

module.exports = { WavWriter, readWav, writeTone };
