'use strict';

// What orvel-record builds its files from: WAV files and levels; which
// process a stream belongs to, and what the kernel says of who holds a
// server's connections; what the end of a recorder's run means; and how a
// call's two sides are laid side by side.

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { test } = require('../bounded');

const { scratchDir, readWholeWav, waitFor } = require('../helpers');
const native = require('../../lib/native');
const { WavWriter } = require('../../lib/wav');
const { LevelMeter, formatDb } = require('../../lib/levels');
const { CaptureClock } = require('../../lib/clock');
const { streamIdentity, judgeStream } = require('../../lib/app-identity');
const { judgeClaims, checkPulseClients } = require('../../lib/pulse-peers');
const { toS16 } = require('../../lib/convert');
const { Interleaver } = require('../../lib/interleave');
const { classifyEnd } = require('../../lib/run');

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

test('a stream is taken by its verified or kernel-checked pid, or an ancestor, or the executable of one; a claim only keeps its claimer out', () => {
  const me = process.pid;
  // Above the kernel's largest pid: no process.
  const none = 2 ** 22 + 1;
  const native = (secPid, claim) => ({ id: 1, info: { props: { 'pipewire.sec.pid': secPid, 'application.process.id': claim } } });
  const pulse = (claim) => ({
    id: 2,
    type: 'PipeWire:Interface:Client',
    info: { props: { 'client.api': 'pipewire-pulse', 'pipewire.sec.pid': none, 'application.process.id': claim } },
  });
  const node = (claim) => ({ info: { props: { 'application.process.id': claim } } });
  const checked = (verdict) => new Map([[2, { pid: me, verdict }]]);
  const byPid = (pid) => ({ pids: new Set([pid]), names: new Set() });
  const byName = (name) => ({ pids: new Set(), names: new Set([name]) });
  // [what, node, client, checks, filter, [taken by an include, taken by an exclude, over-claimed pid]]
  const cases = [
    ['native', node(), native(me, me), checked(), byPid(me), [true, false, null]],
    ["a native app's child", node(), native(me, me), checked(), byPid(process.ppid), [true, false, null]],
    ['a native app by name', node(), native(me), checked(), byName('node'), [true, false, null]],
    ['a native claim', node(me), native(none, me), checked(), byPid(me), [false, true, null]],
    ['a kernel-checked Pulse claim', node(me), pulse(me), checked('kernel-checked'), byPid(me), [true, false, null]],
    ['a kernel-checked Pulse claim by name', node(), pulse(me), checked('kernel-checked'), byName('node'), [true, false, null]],
    ['an unconnected Pulse claim', node(me), pulse(me), checked('unconnected'), byPid(me), [false, false, null]],
    ['an over-claimed Pulse claim', node(), pulse(me), checked('over-claimed'), byPid(process.ppid), [false, false, me]],
    ["a Pulse stream claiming another pid than its client's", node(process.ppid), pulse(me), checked('kernel-checked'), byPid(me), [false, false, null]],
    ['no client', node(me), null, checked(), byPid(me), [false, true, null]],
  ];
  for (const [what, streamNode, client, checks, filter, expected] of cases) {
    const identity = streamIdentity(streamNode, client, checks);
    const [include, exclude] = [false, true].map((excluding) => judgeStream(identity, { ...filter, exclude: excluding }));
    assert.deepEqual([include.taken, exclude.taken, include.overClaimed], expected, what);
  }
});

test("the kernel tells how many of a server's accepted connections each process holds the other end of", async () => {
  const socket = path.join(scratchDir(), 'server.sock');
  const accepted = [];
  const server = net.createServer((connection) => accepted.push(connection)).listen(socket);
  await once(server, 'listening');
  const script = `const c = [1, 2].map(() => require('net').connect(${JSON.stringify(socket)}));
    Promise.all(c.map((s) => new Promise((r) => s.on('connect', r)))).then(() => console.log('on'))`;
  const holder = spawn(process.execPath, ['-e', script], { stdio: ['ignore', 'pipe', 'inherit'] });
  const own = net.connect(socket);
  try {
    await Promise.all([once(holder.stdout, 'data'), once(own, 'connect')]);
    await waitFor(() => accepted.length === 3, 'three connections', 5000);
    const none = 2 ** 22 + 1;
    assert.deepEqual(native._socketPeers(process.pid, [holder.pid, process.pid, process.ppid, none]), { counts: [2, 1, 0, 0] });
    assert.deepEqual(native._socketPeers(none, [holder.pid]), { error: 'ENOENT' });
    // Pulse clients of this server, by id, claiming these pids.
    const clients = (server, ...claims) =>
      claims.map((claim, id) => ({
        id,
        type: 'PipeWire:Interface:Client',
        info: { props: { 'client.api': 'pipewire-pulse', 'pipewire.sec.pid': server, 'application.process.id': claim } },
      }));
    const verdicts = (list) => [...checkPulseClients(list).values()].map(({ verdict, error }) => `${verdict}${error ? ` ${error}` : ''}`);
    assert.deepEqual(verdicts(clients(process.pid, holder.pid, holder.pid, process.ppid)), ['kernel-checked', 'kernel-checked', 'unconnected']);
    assert.deepEqual(verdicts(clients(process.pid, holder.pid, holder.pid, holder.pid)), Array(3).fill('over-claimed'));
    assert.deepEqual(verdicts(clients(none, holder.pid)), ['unknown ENOENT']);
  } finally {
    holder.kill();
    own.destroy();
    server.close();
    for (const connection of accepted) connection.destroy();
  }
});

test('a claimed pid is kernel-checked when it holds at least as many connections as clients claim it', () => {
  // [claims, connections held, verdict]
  const cases = [
    [1, 1, 'kernel-checked'],
    [1, 2, 'kernel-checked'],
    [3, 2, 'over-claimed'],
    [1, undefined, 'unconnected'],
  ];
  for (const [claims, held, verdict] of cases) {
    const connections = new Map(held === undefined ? [] : [[7, held]]);
    assert.equal(judgeClaims(new Map([[7, claims]]), connections).get(7), verdict, `${claims} claims, ${held} held`);
  }
});

test("a call's two captures are laid side by side by capture time: a later start, a clock's correction, a gap, a side that stops short", () => {
  // At 1000 Hz a frame is a millisecond. [what, [channel, samples, at ms] or 'end'..., stereo frames out]
  const silence = (frames) => new Array(frames * 2).fill(0);
  const cases = [
    ['in step', [[0, [1, 2], 0], [1, [3, 4], 0]], [1, 3, 2, 4]],
    ['the right starts later', [[0, [1, 2, 3], 0], [1, [4, 5], 1]], [1, 0, 2, 4, 3, 5]],
    ['a chunk its clock places 5 ms on is placed there', [[0, [1, 2], 0], [1, [3, 4], 0], [0, [5], 7], [1, [6], 2]], [1, 3, 2, 4, 0, 6]],
    ['a chunk its clock places earlier takes the frames it overlaps', [[0, [1, 2, 3], 0], [0, [4], 1], [1, [5, 6], 0]], [1, 5, 4, 6]],
    ['a chunk 29 ms on is placed afresh', [[0, [1], 0], [1, [2], 0], [0, [3], 30], [1, [4], 30]], [1, 2, ...silence(29), 3, 4]],
    ['the longer side ends against silence', [[0, [1], 0], [1, [2, 3, 4], 0], 'end'], [1, 2, 0, 3, 0, 4]],
    ['a side that never came is silence', [[0, [1, 2], 0], 'end'], [1, 0, 2, 0]],
  ];
  for (const [what, steps, expected] of cases) {
    const interleaver = new Interleaver(1000);
    const out = steps.flatMap((step) => {
      const frames = step === 'end' ? interleaver.end() : interleaver.add(step[0], new Float32Array(step[1]), BigInt(step[2] * 1e6));
      return frames ? Array.from(frames) : [];
    });
    assert.deepEqual(out, expected, what);
  }
});

test("a run's end: its kind, its error, and whether a stream that reconnects waits it out", () => {
  const exited = (said) => ({ info: { reason: 'exited', code: 1, signal: null, stderr: `${said}\n` } });
  const gone = exited('stream error: Broken pipe');
  const graphLost = { error: Object.assign(new Error('pw-dump ended'), { code: 'ERR_GRAPH_LOST' }) };
  // [end, target, kind, error code, can wait]
  const cases = [
    [gone, undefined, 'daemon-gone', 'ERR_RECORDER_EXITED', true],
    [gone, 'mic', 'daemon-gone', 'ERR_RECORDER_EXITED', true],
    [gone, '42', 'daemon-gone', 'ERR_RECORDER_EXITED', false],
    [graphLost, undefined, undefined, 'ERR_GRAPH_LOST', true],
    [graphLost, '42', undefined, 'ERR_GRAPH_LOST', false],
    [exited('stream error: target not found'), '42', 'target-not-found', 'ERR_TARGET_NOT_FOUND', true],
    [{ stalled: true, targetGone: true }, 'mic', 'target-not-found', 'ERR_TARGET_NOT_FOUND', true],
    [{ stalled: true }, 'mic', 'stalled', 'ERR_CAPTURE_STALLED', true],
    [exited('something else'), undefined, undefined, 'ERR_RECORDER_EXITED', false],
  ];
  for (const [end, target, kind, code, canWait] of cases) {
    const settings = { target, system: false, processes: null, stallTimeoutMs: 2000 };
    const classified = classifyEnd({ noneYet: true, ...end }, settings);
    assert.deepEqual([classified.kind, classified.error.code, classified.canWait], [kind, code, canWait], `${JSON.stringify(end)} of ${target}`);
  }
});
