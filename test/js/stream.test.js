'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const path = require('node:path');
const { describe, test, afterEach } = require('../bounded');

const { root, useFake, readReport, pattern, exists, childPids, waitFor, sleep, runNode, scratchDir, runWithoutRecorder } =
  require('./helpers');
const { captureStream, captureCall, startCapture, stopCapture } = require(root);

afterEach(() => stopCapture());

// Collects a stream's chunks, its end ('end': null, or the error it died
// of) and its 'close'.
function consume(stream) {
  const chunks = [];
  const closed = new Promise((resolve) => stream.on('close', resolve));
  stream.on('data', (chunk) => chunks.push(chunk));
  const ended = new Promise((resolve) => {
    stream.on('end', () => resolve(null));
    stream.on('error', resolve);
  });
  const bytes = () => chunks.reduce((sum, chunk) => sum + chunk.length, 0);
  return { chunks, ended, closed, bytes };
}

const busy = (ms) => {
  const end = Date.now() + ms;
  while (Date.now() < end);
};

test('chunks hold whole frames, 50 ms or more but the first and last, at 4-byte-aligned offsets, every byte in order', async () => {
  // Bytes per frame, and per 50 ms.
  const cases = [
    { options: {}, frameBytes: 8, chunkBytes: 19200, rate: '48000' },
    { options: { format: 's16', channels: 1, sampleRate: 16000 }, frameBytes: 2, chunkBytes: 1600, rate: '16000' },
  ];
  for (const { options, frameBytes, chunkBytes, rate } of cases) {
    const report = useFake({ PIECES: '3,5,6,7,4096,1', PAUSE_US: 100 });
    const stream = captureStream(options);
    const { chunks, ended, bytes } = consume(stream);
    // The recorder converts the rate, with a clean band; mono is mixed here.
    const { args } = await readReport(report);
    assert.deepEqual(args.slice(1, 9), ['--rate', rate, '--channels', '2', '--format', 'f32', '--quality', '10']);
    await waitFor(() => bytes() > 200000, '200 kB of chunks');
    stream.stop();
    assert.equal(await ended, null);
    for (const [index, chunk] of chunks.entries()) {
      assert.equal(chunk.length % frameBytes, 0, `a chunk of ${chunk.length} bytes`);
      const inner = index > 0 && index < chunks.length - 1;
      assert.ok(chunk.length >= (inner ? chunkBytes : 1), `chunk ${index} of ${chunk.length} bytes`);
      assert.equal(chunk.byteOffset % 4, 0);
    }
    if (frameBytes === 8) {
      const all = Buffer.concat(chunks);
      assert.ok(all.equals(pattern(all.length)), 'the bytes differ from what the recorder wrote');
    }
  }
});

test('a stream that hears nothing for stallTimeoutMs errors with ERR_CAPTURE_STALLED, then closes with its recorder reaped', { timeout: 10000 }, async () => {
  const report = useFake({ BYTES: 4096 });
  const stream = captureStream({ stallTimeoutMs: 300 });
  const { ended, closed, bytes } = consume(stream);
  const { pid } = await readReport(report);
  const started = Date.now();
  const error = await ended;
  assert.equal(error.code, 'ERR_CAPTURE_STALLED');
  assert.match(error.message, /^no audio for 0.3 s from the default source: it went away, or PipeWire stalled$/);
  assert.ok(Date.now() - started >= 250, `erred after ${Date.now() - started} ms`);
  assert.equal(bytes(), 4096);
  await closed;
  assert.ok(!exists(pid), 'the recorder is still there');
});

test('an event loop busy for longer than stallTimeoutMs is no stall: the blocks waiting for it count', async () => {
  useFake();
  const stream = captureStream({ stallTimeoutMs: 100 });
  const { ended, bytes } = consume(stream);
  await waitFor(() => bytes() > 0, 'a first chunk');
  busy(500);
  await sleep(300);
  const seen = bytes();
  await waitFor(() => bytes() > seen, 'chunks after the busy loop', 1000);
  stream.stop();
  assert.equal(await ended, null);
});

test('streams run beside each other and beside startCapture(): none starts or stops another', async () => {
  useFake();
  const streams = Array.from({ length: 8 }, () => captureStream());
  const consumed = streams.map(consume);
  startCapture({}, () => {});
  stopCapture();
  streams[0].stop();
  assert.equal(await consumed[0].ended, null);
  const grown = consumed.slice(1).map(({ bytes }) => bytes());
  await waitFor(() => consumed.slice(1).every(({ bytes }, i) => bytes() > grown[i]), 'chunks of the other seven');
  for (const stream of streams.slice(1)) stream.destroy();
  await Promise.all(consumed.map(({ closed }) => closed));
  await waitFor(() => childPids().length === 0, 'no recorder left');
});

test('a bad or unknown option of a stream or a call throws a TypeError with code ERR_INVALID_ARG_VALUE before anything starts', async () => {
  const report = useFake();
  const streamCases = [
    null,
    { target: '' },
    { target: 'a\0b' },
    { system: 'yes' },
    { format: 's24' },
    { channels: 6 },
    { sampleRate: 7999 },
    { sampleRate: 44100.5 },
    { stallTimeoutMs: -1 },
    { excludeProcessId: 1, includeProcessId: 2 },
    { excludeProcessId: 0 },
    { includeProcessId: [1, '2'] },
    { excludeProcessId: 1.5 },
    { includeProcessId: 1, target: 'player' },
    { includeProcessName: 'a/b' },
    { excludeProcessName: [] },
    { includeProcessName: ['x', 5] },
    { excludeProcessName: 'x', includeProcessId: 1 },
    { timestamps: 'yes' },
    { reconnect: 1 },
    { maxBufferedMs: -1 },
    { reconnectTimeoutMs: NaN },
  ];
  // A bad desktop side, a bad microphone side, a bad option of both.
  const callCases = [{ includeProcessId: 'x' }, { microphone: '' }, { stallTimeoutMs: -1 }, { target: '1' }];
  for (const [capture, options] of [...streamCases.map((o) => [captureStream, o]), ...callCases.map((o) => [captureCall, o])]) {
    assert.throws(() => capture(options), { name: 'TypeError', code: 'ERR_INVALID_ARG_VALUE' }, JSON.stringify(options));
  }
  for (const capture of [captureStream, captureCall]) {
    assert.throws(() => capture({ includeProcessID: 1 }), { message: /includeProcessID is not an option; did you mean includeProcessId\?$/ });
  }
  await sleep(200);
  assert.ok(!fs.existsSync(report), 'a recorder was started');
});

test('a recorder that exits errors the stream with ERR_RECORDER_EXITED, after every chunk, its last words in the message', async () => {
  const said = 'error: pw_context_connect() failed: Host is down\n';
  useFake({ BYTES: 100000, PAUSE_US: 0, AFTER: 'exit', EXIT_CODE: 1, SAY: said });
  const { chunks, ended, closed } = consume(captureStream());
  const error = await ended;
  assert.equal(error.code, 'ERR_RECORDER_EXITED');
  assert.deepEqual(error.info, { reason: 'exited', code: 1, signal: null, stderr: said + said });
  assert.equal(error.message, 'PipeWire is not running (pw-record exited with status 1: error: pw_context_connect() failed: Host is down)');
  assert.ok(Buffer.concat(chunks).equals(pattern(100000)));
  await closed;
});

test('with no recorder to run the stream errors with ERR_RECORDER_SPAWN, saying what to install', async () => {
  const script = `require(${JSON.stringify(root)}).captureStream().on('error', ({ code, info, message }) => console.log(JSON.stringify({ code, info, message })));`;
  const { code, info, message } = JSON.parse(await runWithoutRecorder(script));
  assert.deepEqual({ code, info }, { code: 'ERR_RECORDER_SPAWN', info: { reason: 'spawn-failed', error: 'ENOENT' } });
  assert.match(message, /^pw-record is not installed: install PipeWire's command-line tools \(Debian, Ubuntu: apt-get install pipewire-bin/);
});

test('timestamps: chunks as { pcm, time }, time a bigint on the clock of process.hrtime.bigint() that follows the frames', async () => {
  // 10 ms of 48 kHz stereo float every 10 ms: about the real-time pace.
  useFake({ PIECES: 3840, PAUSE_US: 10000 });
  const before = process.hrtime.bigint();
  const stream = captureStream({ timestamps: true });
  const { chunks } = consume(stream);
  await waitFor(() => chunks.length > 5, 'six chunks, over a second');
  stream.destroy();
  let frames = 0;
  for (const [index, { pcm, time }] of chunks.entries()) {
    assert.ok(Buffer.isBuffer(pcm) && typeof time === 'bigint');
    assert.ok(time >= before - 50_000_000n && time <= process.hrtime.bigint(), `chunk ${index} at ${time}`);
    if (index > 0) {
      const expected = (BigInt(frames) * 1_000_000_000n) / 48000n;
      const drift = Number(time - chunks[0].time - expected) / 1e6;
      assert.ok(Math.abs(drift) < 20, `chunk ${index} is ${drift} ms off its frames`);
    }
    frames += pcm.length / 8;
  }
});

test('maxBufferedMs keeps what a paused stream holds within the bound and a chunk, dropping the oldest and saying so', async () => {
  for (const maxBufferedMs of [200, undefined]) {
    useFake({ PIECES: 32768, PAUSE_US: 2000 });
    const stream = captureStream({ maxBufferedMs });
    const drops = [];
    stream.on('drop', (drop) => drops.push(drop));
    await sleep(1000);
    let held = 0;
    for (let chunk; (chunk = stream.read()) !== null; ) held += chunk.length;
    stream.destroy();
    const bound = (48000 * 8 * 200) / 1000;
    if (maxBufferedMs === undefined) {
      assert.ok(held > 4 * bound && drops.length === 0, `unbounded, it held ${held} bytes`);
      continue;
    }
    // A chunk is at most what the reader takes in one read: twice the
    // 200 ms interval's audio, when the recorder writes faster than real time.
    const chunk = 2 * ((48000 * 8 * 200) / 1000);
    assert.ok(held <= bound + chunk, `it held ${held} bytes`);
    assert.ok(drops.length > 0 && drops.at(-1).totalDroppedMs > 1000, JSON.stringify(drops.at(-1)));
  }
});

describe('reconnect', () => {
  const kLost = { AFTER: 'exit', EXIT_CODE: 1, SAY: 'remote error: id:0 op:0 error:-32 (Broken pipe): connection error\n' };
  // A runtime folder whose PipeWire socket answers, as a daemon's does.
  function pipewireAnswering() {
    const runtime = scratchDir();
    process.env.XDG_RUNTIME_DIR = runtime;
    return net.createServer((connection) => connection.destroy()).listen(path.join(runtime, 'pipewire-0'));
  }

  test('a recorder that loses PipeWire is started again, one reconnect event per loss, no error', async (t) => {
    const server = pipewireAnswering();
    t.after(() => server.close());
    useFake({ ...kLost, BYTES: 38400 });
    const stream = captureStream({ reconnect: true });
    const reconnects = [];
    stream.on('reconnect', (reconnect) => reconnects.push(reconnect));
    const { ended, bytes } = consume(stream);
    await waitFor(() => reconnects.length >= 2 && bytes() > 2 * 38400, 'two reconnects');
    stream.stop();
    assert.equal(await ended, null);
    for (const { gapMs, error } of reconnects) {
      assert.ok(gapMs >= 0 && gapMs < 5000, `a gap of ${gapMs} ms`);
      assert.equal(error.code, 'ERR_RECORDER_EXITED');
    }
  });

  test('a target named by serial is not followed across the loss of PipeWire, which numbers its objects afresh', async (t) => {
    const server = pipewireAnswering();
    t.after(() => server.close());
    useFake({ ...kLost, BYTES: 38400 });
    const stream = captureStream({ target: '42', reconnect: true });
    const reconnected = new Promise((resolve) => stream.once('reconnect', () => resolve('reconnected to serial 42')));
    const outcome = await Promise.race([consume(stream).ended, reconnected]);
    stream.destroy();
    assert.equal(outcome.code, 'ERR_RECORDER_EXITED', outcome);
  });

  test('PipeWire not back within reconnectTimeoutMs errors; stop() during the wait ends it at once, nothing left', async () => {
    process.env.XDG_RUNTIME_DIR = scratchDir();
    useFake({ ...kLost, BYTES: 0 });
    const started = Date.now();
    const error = await consume(captureStream({ reconnect: true, reconnectTimeoutMs: 300 })).ended;
    assert.equal(error.code, 'ERR_RECONNECT_TIMEOUT');
    assert.match(error.message, /^PipeWire did not come back within 0.3 s \(PipeWire went away/);
    assert.ok(Date.now() - started < 1300, `erred after ${Date.now() - started} ms`);
    // The child must exit by itself once stopped: no probe, watcher or recorder is left.
    const script = `
      const stream = require(process.env.ORVEL_MODULE).captureStream({ reconnect: true });
      stream.on('end', () => console.log('ended')).resume();
      setTimeout(() => stream.stop(), 500);`;
    const { code, stdout, ms } = await runNode(script, { env: { XDG_RUNTIME_DIR: scratchDir() }, timeoutMs: 5000 });
    assert.deepEqual([code, stdout], [0, 'ended\n']);
    assert.ok(ms < 3000, `the child took ${ms} ms`);
  });
});
