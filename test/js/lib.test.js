'use strict';

// What orvel-record builds its files from: frames out of blocks that may end
// mid-frame, WAV files, and levels; which process a stream belongs to; and
// how a call lays its two sides by their clocks.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');

const { scratchDir, readWholeWav } = require('../helpers');
const { FrameAligner } = require('../../lib/frames');
const { WavWriter } = require('../../lib/wav');
const { LevelMeter, formatDb } = require('../../lib/levels');
const { CaptureClock } = require('../../lib/clock');
const { belongsTo } = require('../../lib/process-ids');
const { toS16, toMono, toMonoS16 } = require('../../lib/convert');

const floats = (values) => Buffer.from(new Float32Array(values).buffer);

test('the frame aligner turns blocks split at any sample into whole frames, in order', () => {
  const stream = Array.from({ length: 40 }, (_, i) => i + 1);
  const aligner = new FrameAligner(2);
  const out = [];
  let at = 0;
  for (const samples of [1, 3, 2, 5, 1, 1, 7, 4, 9, 3, 4]) {
    const frames = aligner.push(floats(stream.slice(at, at + samples)));
    assert.ok(frames instanceof Float32Array);
    assert.equal(frames.length % 2, 0, `${frames.length} samples after a block of ${samples}`);
    out.push(...frames);
    at += samples;
  }
  assert.equal(at, stream.length);
  assert.deepEqual(out, stream);
});

test('conversions: mono is the mean of left and right, 16-bit samples are rounded and clipped to full scale', () => {
  const stereo = new Float32Array([0.5, 0.25, -1, 1, 1.5, 0.7, -0.2, -2, 1e-5, 0]);
  const mean = [0.375, 0, 1.1, -1.1, 5e-6];
  const s16 = (values) => Array.from(values, (value) => Math.round(Math.max(-1, Math.min(1, value)) * 32767));
  assert.deepEqual(Array.from(toMono(stereo)), Array.from(new Float32Array(mean)));
  const int16s = (buffer) => Array.from(new Int16Array(buffer.buffer, buffer.byteOffset, buffer.length / 2));
  assert.deepEqual(int16s(toS16(stereo)), s16(stereo));
  assert.deepEqual(int16s(toMonoS16(stereo)), s16(new Float32Array(mean)));
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
// the pipe; RESTART_AT: the first read at or after it restarts the clock.
// Returns, per block, the clock's time for its first frame less the time it
// was really captured, in ms, and when it was read, in s.
function placeReads({ seconds, rateError = 0, lost = [0, 0], intervalSeconds = 0.1, restartAt = Infinity }) {
  const clock = new CaptureClock(48000);
  const quantum = 1024;
  const capturedAt = (frame) => frame / (48000 * (1 + rateError));
  const isLost = (frame) => capturedAt(frame) >= lost[0] && capturedAt(frame) < lost[0] + lost[1];
  const errors = [];
  const readsAt = [];
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
    if (readAt >= restartAt) {
      clock.restart();
      restartAt = Infinity;
    }
    const time = clock.add(frames, BigInt(Math.round((10 + readAt) * 1e9)));
    errors.push(Number(time) / 1e6 - (10 + capturedAt(read - frames)) * 1000);
    readsAt.push(readAt);
  }
  return { errors, lostFrames, readsAt };
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
  // A recorder whose frames moved 20 ms later (another driver) is placed
  // right from the first block after the restart, not a second later.
  const moved = placeReads({ seconds: 5, lost: [3, 0.02], restartAt: 3.1 });
  const afterRestart = moved.errors.filter((error, index) => moved.readsAt[index] >= 3.2);
  assert.ok(afterRestart.every((error) => Math.abs(error) < 1), `off by up to ${Math.max(...afterRestart.map(Math.abs))} ms`);
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

// captureCall() over two fake sides at 1000 frames/s: the left's chunks of
// 100 frames at 0, 100, 200, 300 ms, the right's RIGHT ([time in ms,
// frames]) between them; each side clicks at its frame 250. Returns the
// call's frames where the clicks land.
async function callClicks(right) {
  const { Readable } = require('node:stream');
  const [streamPath, callPath] = ['../../lib/stream', '../../lib/call'].map((name) => require.resolve(name));
  const saved = require.cache[streamPath];
  const sides = [];
  const captureStream = () => sides[sides.push(Object.assign(new Readable({ objectMode: true, read() {} }), { sent: 0 })) - 1];
  delete require.cache[callPath];
  require.cache[streamPath] = { id: streamPath, filename: streamPath, loaded: true, exports: { captureStream } };
  try {
    const call = require(callPath).captureCall({ sampleRate: 1000 });
    const out = [];
    call.on('data', (bytes) => out.push(bytes));
    const left = [0, 100, 200, 300].map((timeMs) => [timeMs, 100]);
    for (const [channel, timeMs, frames] of left.flatMap((chunk, i) => [[0, ...chunk], ...(right[i] ? [[1, ...right[i]]] : [])])) {
      const side = sides[channel];
      const samples = new Float32Array(frames).map((_, index) => (side.sent + index === 250 ? 1 : 0));
      side.sent += frames;
      side.push({ pcm: Buffer.from(samples.buffer), time: BigInt(timeMs) * 1_000_000n });
      await new Promise(setImmediate);
    }
    for (const side of sides) side.push(null);
    await new Promise((resolve) => call.on('end', resolve));
    const stereo = new Float32Array(new Uint8Array(Buffer.concat(out)).buffer);
    return [0, 1].map((channel) => stereo.findIndex((value, index) => index % 2 === channel && value === 1) >> 1);
  } finally {
    require.cache[streamPath] = saved;
    delete require.cache[callPath];
  }
}

test("a call follows each side's clock: a chunk its clock placed earlier than the frames before it is placed there", async () => {
  // The right side's first chunk was read late: the next ones' times say so;
  // at 150 ms the first is longer than the next, which still holds its frames.
  for (const [lateMs, frames] of [[2, 100], [10, 100], [150, 200]]) {
    const right = [[lateMs, frames], [frames, 100], [frames + 100, 100]];
    assert.deepEqual(await callClicks(right), [250, 250], `first chunk ${lateMs} ms late`);
  }
});
