'use strict';

// What orvel-record builds its files from: WAV files and levels; and which
// process a stream belongs to.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');

const { scratchDir, readWholeWav } = require('../helpers');
const { WavWriter } = require('../../lib/wav');
const { LevelMeter, formatDb } = require('../../lib/levels');
const { CaptureClock } = require('../../lib/clock');
const { belongsTo } = require('../../lib/process-ids');
const { toS16 } = require('../../lib/convert');

const floats = (values) => Buffer.from(new Float32Array(values).buffer);

test('16-bit samples are rounded and clipped to full scale', () => {
  const stereo = new Float32Array([0.5, 0.25, -1, 1, 1.5, 0.7, -0.2, -2, 1e-5, 0]);
  const s16 = (values) => Array.from(values, (value) => Math.round(Math.max(-1, Math.min(1, value)) * 32767));
  const int16s = (buffer) => Array.from(new Int16Array(buffer.buffer, buffer.byteOffset, buffer.length / 2));
  assert.deepEqual(int16s(toS16(stereo)), s16(stereo));
  assert.deepEqual(int16s(toS16(new Float32Array([0.5, -0.5, 1, -1]))), [16384, -16383, 32767, -32767]);
});

test('the WAV writer keeps a whole header after every write and clamps s16 samples to full scale', () => {
  const dir = scratchDir();
  const first = [0.5, -0.25, 1.5, -2];
  const second = [1, -1, 0.125, Infinity];
  for (const format of ['f32', 's16']) {
    const file = path.join(dir, `${format}.wav`);
    const writer = new WavWriter(fs.openSync(file, 'w'), { format });
    assert.equal(readWholeWav(file, format).frames, 0);
    writer.write(new Float32Array(first));
    assert.equal(readWholeWav(file, format).frames, 2);
    writer.write(new Float32Array(second));
    writer.close();
    const wav = readWholeWav(file, format);
    assert.equal(wav.frames, 4);
    const { offset, size } = wav.chunks.data;
    const data = fs.readFileSync(file).subarray(offset, offset + size);
    if (format === 'f32') {
      assert.deepEqual(data, floats([...first, ...second]));
    } else {
      const s16 = Array.from({ length: 8 }, (_, i) => data.readInt16LE(i * 2));
      assert.deepEqual(s16, [16384, -8192, 32767, -32767, 32767, -32767, 4096, 32767]);
    }
  }
});

test('the level meter: recent peaks restart when read, totals cover everything added', () => {
  const meter = new LevelMeter(2);
  assert.deepEqual(meter.totals(), [{ peak: -Infinity, rms: -Infinity }, { peak: -Infinity, rms: -Infinity }]);
  meter.add(new Float32Array([0.5, -0.25, 0.1, 0]));
  const round = (values) => values.map((value) => Math.round(value * 100) / 100);
  assert.deepEqual(round(meter.takeRecentPeaks()), [-6.02, -12.04]);
  meter.add(new Float32Array([-0.1, 0.1]));
  assert.deepEqual(round(meter.takeRecentPeaks()), [-20, -20]);
  assert.deepEqual(meter.takeRecentPeaks(), [-Infinity, -Infinity]);
  assert.equal(meter.frames, 3);
  const [left, right] = meter.totals();
  assert.deepEqual(round([left.peak, right.peak]), [-6.02, -12.04]);
  assert.deepEqual(round([left.rms, right.rms]), [-10.46, -16.17]);
  assert.deepEqual([formatDb(-6.02), formatDb(-Infinity)], ['-6.0 dBFS', '-inf dBFS']);
});

// A recorder that writes quanta of 1024 frames as they are captured, and a
// reader that hands over what gathered every INTERVAL_SECONDS, right after
// a write, a little late now and then. RATE_ERROR: how much faster the device's clock
// runs than the host's; LOST: [at s, seconds] of audio that never reaches
// the pipe. Returns, per block, the clock's time for its first frame less
// the time it was really captured, in ms.
function placeReads({ seconds, rateError = 0, lost = [0, 0], intervalSeconds = 0.1 }) {
  const clock = new CaptureClock(48000);
  const quantum = 1024;
  const capturedAt = (frame) => frame / (48000 * (1 + rateError));
  const isLost = (frame) => capturedAt(frame) >= lost[0] && capturedAt(frame) < lost[0] + lost[1];
  const errors = [];
  let read = 0;
  let lostFrames = 0;
  for (let written = quantum, next = 0; capturedAt(written) < seconds; written += quantum) {
    const writtenAt = capturedAt(written);
    if (writtenAt < next) continue;
    const readAt = writtenAt + 0.0002 + (written % 7 === 0 ? 0.002 : 0);
    next = readAt + intervalSeconds;
    let frames = 0;
    for (; read < written; read += quantum) {
      if (isLost(read)) lostFrames += quantum;
      else frames += quantum;
    }
    const time = clock.add(frames, BigInt(Math.round((10 + readAt) * 1e9)));
    errors.push(Number(time) / 1e6 - (10 + capturedAt(read - frames)) * 1000);
  }
  return { errors, lostFrames };
}

test('the capture clock places each block at its capture time, within a millisecond, and follows a drifting or lossy stream', () => {
  const settled = (errors) => errors.slice(errors.length / 2);
  const steady = placeReads({ seconds: 10 }).errors;
  assert.ok(steady.every((error) => error >= -0.01 && error < 1), `off by ${Math.min(...steady)}..${Math.max(...steady)} ms`);
  // 200 ppm slow: 12 ms over the minute, which the estimate must follow.
  // And 1500 ppm, 90 ms over the minute, alike whether read every 0.1 or 0.2 s.
  for (const [rateError, intervalSeconds] of [[-200e-6, 0.1], [-1500e-6, 0.1], [-1500e-6, 0.2]]) {
    const slow = settled(placeReads({ seconds: 60, rateError, intervalSeconds }).errors);
    assert.ok(slow.every((error) => Math.abs(error) < 2), `${rateError * 1e6} ppm, read every ${intervalSeconds} s: off by up to ${Math.max(...slow.map(Math.abs))} ms`);
  }
  // 50 ms that never came: the frames after it are 50 ms later than counted.
  const { errors: lossy, lostFrames } = placeReads({ seconds: 20, lost: [3, 0.05] });
  assert.ok(lostFrames > 0);
  assert.ok(settled(lossy).every((error) => Math.abs(error) < 2), `off by up to ${Math.max(...settled(lossy).map(Math.abs))} ms`);
});

test("a stream belongs to the pid the kernel reported for its client, or to its parents; a claim only excludes a Pulse client", () => {
  const me = process.pid;
  // Above the kernel's largest pid: no process.
  const none = 2 ** 22 + 1;
  const native = (secPid, claim) => ({ info: { props: { 'pipewire.sec.pid': secPid, 'application.process.id': claim } } });
  const pulse = (claim) => ({ info: { props: { 'client.api': 'pipewire-pulse', 'pipewire.sec.pid': none, 'application.process.id': claim } } });
  const node = (claim) => ({ info: { props: { 'application.process.id': claim } } });
  // [what, node, client, listed, [included, excluded]]
  const cases = [
    ['native', node(), native(me, me), me, [true, true]],
    ["a native app's child", node(), native(me, me), process.ppid, [true, true]],
    ['a native claim', node(me), native(none, me), me, [false, false]],
    ['a Pulse claim on the node', node(me), pulse(none), me, [false, true]],
    ['a Pulse claim on the client', node(none), pulse(me), me, [false, true]],
    ['no client', node(me), null, me, [false, false]],
  ];
  for (const [what, streamNode, client, listed, expected] of cases) {
    const pids = new Set([listed]);
    assert.deepEqual([false, true].map((exclude) => belongsTo(streamNode, client, pids, exclude)), expected, what);
  }
});
