// Run by scripts/runtime-matrix from an app that installed the packed
// package, under each runtime in turn, while the matrix plays its tone into
// the private session's sink: captures the default source (the sink's
// monitor) through the package's ES module entry and checks that each
// channel carries its tone at the played level, within 1 dB, and that the
// CommonJS entry gives the same functions.
import { createRequire } from 'node:module';
import { getNativeAudioCaptureInfo, startCapture, stopCapture } from 'orvel-capture-audio';

// test/tone.js, copied next to this file by the matrix.
const require = createRequire(import.meta.url);
const { amplitude } = require('./tone.js');

const kRate = 48000;
const kChannels = 2;
// [frequency in Hz, amplitude] per channel, as the matrix plays them.
const kTone = [[1000, 0.5], [440, 0.25]];
const kSkipSeconds = 0.5;
const kMeasureSeconds = 1;
const kTimeoutMs = 20000;

const runtime = globalThis.Deno
  ? `deno ${globalThis.Deno.version.deno}`
  : globalThis.Bun
    ? `bun ${globalThis.Bun.version}`
    : `node ${process.version}`;

function record() {
  const wanted = Math.round((kSkipSeconds + kMeasureSeconds) * kRate) * kChannels;
  const blocks = [];
  let count = 0;
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      stopCapture();
      reject(new Error(`only ${count} of ${wanted} samples arrived`));
    }, kTimeoutMs);
    const started = startCapture({}, (pcm, sampleRate, channels) => {
      if (sampleRate !== kRate || channels !== kChannels) {
        reject(new Error(`blocks at ${sampleRate} Hz, ${channels} channels`));
      }
      blocks.push(Buffer.from(pcm));
      count += pcm.length / 4;
      if (count < wanted) return;
      clearTimeout(timer);
      stopCapture();
      const bytes = Buffer.concat(blocks);
      const samples = new Float32Array(bytes.buffer, bytes.byteOffset, Math.floor(bytes.length / 4));
      resolve(samples.subarray(kSkipSeconds * kRate * kChannels, wanted));
    });
    if (!started) reject(new Error('startCapture returned false'));
  });
}

const info = getNativeAudioCaptureInfo();
const samples = await record();
const found = kTone.map(([frequency, played], channel) => {
  const db = 20 * Math.log10(amplitude(samples, channel, frequency) / played);
  return { channel: 'LR'[channel], frequency, db, ok: Math.abs(db) <= 1 };
});
const required = require('orvel-capture-audio');
const ok = info.ok && required.startCapture === startCapture && found.every((tone) => tone.ok);
const report = found.map((tone) => `${tone.channel} ${tone.frequency} Hz ${tone.db >= 0 ? '+' : ''}${tone.db.toFixed(2)} dB`);
console.log(`${ok ? 'ok' : 'FAILED'}: ${runtime} (${process.arch}): ${report.join(', ')} against the played level`);
process.exitCode = ok ? 0 : 1;
