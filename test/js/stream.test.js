'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const { test, afterEach } = require('node:test');

const { root, useFake, readReport, pattern, exists, waitFor, sleep, runWithoutRecorder } = require('./helpers');
const { captureStream, startCapture, stopCapture } = require(root);

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

test('chunks hold whole frames, 50 ms or more, at 4-byte-aligned offsets, and every byte in order, whatever the blocks', async () => {
  // Bytes per frame, and per 50 ms.
  const cases = [
    { options: {}, frameBytes: 8, chunkBytes: 19200 },
    { options: { format: 's16', channels: 1, sampleRate: 16000 }, frameBytes: 2, chunkBytes: 1600 },
  ];
  for (const { options, frameBytes, chunkBytes } of cases) {
    useFake({ PIECES: '3,5,6,7,4096,1', PAUSE_US: 100 });
    const stream = captureStream(options);
    const { chunks, ended, bytes } = consume(stream);
    await waitFor(() => bytes() > 200000, '200 kB of chunks');
    stream.stop();
    assert.equal(await ended, null);
    for (const [index, chunk] of chunks.entries()) {
      assert.equal(chunk.length % frameBytes, 0, `a chunk of ${chunk.length} bytes`);
      assert.ok(chunk.length >= (index < chunks.length - 1 ? chunkBytes : 1), `chunk ${index} of ${chunk.length} bytes`);
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
  assert.match(error.message, /no audio from the default source for 300 ms.*pw-cli info 0/);
  assert.ok(Date.now() - started >= 250, `erred after ${Date.now() - started} ms`);
  assert.equal(bytes(), 4096);
  await closed;
  assert.ok(!exists(pid), 'the recorder is still there');
});

test('an event loop busy for longer than stallTimeoutMs is no stall: the blocks waiting for it count', async () => {
  useFake();
  const stream = captureStream({ stallTimeoutMs: 200 });
  const { ended, bytes } = consume(stream);
  await waitFor(() => bytes() > 0, 'a first chunk');
  busy(500);
  await sleep(300);
  const seen = bytes();
  await waitFor(() => bytes() > seen, 'chunks after the busy loop', 1000);
  stream.stop();
  assert.equal(await ended, null);
});

test('another start takes the capture with ERR_CAPTURE_REPLACED; a plain stopCapture() ends the stream', async () => {
  useFake();
  const first = captureStream();
  const firstEnd = consume(first).ended;
  await sleep(50);
  startCapture({}, () => {});
  const error = await firstEnd;
  assert.equal(error.code, 'ERR_CAPTURE_REPLACED');
  assert.match(error.message, /another startCapture\(\) or captureStream\(\)/);

  const second = captureStream();
  const third = captureStream();
  assert.equal((await consume(second).ended).code, 'ERR_CAPTURE_REPLACED');
  const { ended, bytes } = consume(third);
  await waitFor(() => bytes() > 0, 'chunks of the third stream');
  stopCapture();
  assert.equal(await ended, null);
});

test('a bad option throws a TypeError with code ERR_INVALID_ARG_VALUE before anything starts', async () => {
  const report = useFake();
  for (const options of [
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
  ]) {
    assert.throws(() => captureStream(options), { name: 'TypeError', code: 'ERR_INVALID_ARG_VALUE' }, JSON.stringify(options));
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
  assert.match(error.message, /exited with code 1.*"error: pw_context_connect\(\) failed: Host is down": PipeWire is not running/);
  assert.ok(Buffer.concat(chunks).equals(pattern(100000)));
  await closed;
});

test('with no recorder to run the stream errors with ERR_RECORDER_SPAWN, saying what to install', async () => {
  const script = `require(${JSON.stringify(root)}).captureStream().on('error', ({ code, info, message }) => console.log(JSON.stringify({ code, info, message })));`;
  const { code, info, message } = JSON.parse(await runWithoutRecorder(script));
  assert.deepEqual({ code, info }, { code: 'ERR_RECORDER_SPAWN', info: { reason: 'spawn-failed', error: 'ENOENT' } });
  assert.match(message, /pw-record could not be run \(ENOENT\).*apt-get install pipewire-bin/);
});
