'use strict';

const assert = require('node:assert/strict');
const { describe, test, afterEach } = require('../bounded');

const { root, useFake, readReport, collector, pattern, exists, childPids, waitFor, trackDeliveries, runWithoutRecorder } =
  require('./helpers');
const { startCapture, stopCapture } = require(root);
const { openCapture } = require(`${root}/lib/native`);

const deliveriesEnded = trackDeliveries();

afterEach(() => stopCapture());

// Keeps the main thread busy while the reader goes on queueing blocks.
function blockMainThread(ms) {
  const end = Date.now() + ms;
  while (Date.now() < end);
}

test('a stream in odd pieces arrives whole and in order: Buffers of float32 samples, 48000 Hz, 2 channels', async () => {
  const total = 400000;
  useFake({ PIECES: '3,5,6,7,4096,32768,1', PAUSE_US: 100, BYTES: total });
  const blocks = [];
  startCapture({}, function (pcm, sampleRate, channels) {
    blocks.push({ pcm: Buffer.from(pcm), isBuffer: Buffer.isBuffer(pcm), sampleRate, channels, self: this,
      argc: arguments.length });
  });
  const bytes = () => Buffer.concat(blocks.map((block) => block.pcm));
  await waitFor(() => bytes().length >= total, 'the whole stream');
  assert.ok(bytes().equals(pattern(total)));
  for (const { pcm, ...block } of blocks) {
    assert.ok(pcm.length > 0 && pcm.length % 4 === 0, `length ${pcm.length}`);
    assert.deepEqual(block, { isBuffer: true, sampleRate: 48000, channels: 2, self: undefined, argc: 3 });
  }
});

test('a handle with a blockIntervalMs of 1 to 1000 gathers the blocks of each interval; other values deliver each block', async () => {
  const total = 200000;  // about half a second of writes, 49 of them
  for (const [blockIntervalMs, gathers] of [[100, true], [1000.5, false], ['100', false], [0, false]]) {
    useFake({ PIECES: 4096, PAUSE_US: 10000, BYTES: total });
    const { blocks, callback, bytes } = collector();
    const handle = openCapture({ blockIntervalMs }, callback, () => {});
    await waitFor(() => bytes().length >= total, 'the whole stream');
    assert.ok(bytes().equals(pattern(total)));
    assert.equal(blocks.length <= 9, gathers, `${blocks.length} blocks with ${JSON.stringify(blockIntervalMs)}`);
    handle.close();
  }
});

test('stopCapture returns undefined, and no callback follows it even with blocks queued', async () => {
  useFake({ PIECES: 32768, PAUSE_US: 0 });
  const { blocks, callback } = collector();
  startCapture({}, callback);
  await waitFor(() => blocks.length > 0, 'a first block');
  blockMainThread(200);  // blocks pile up in the queue meanwhile
  assert.equal(stopCapture(), undefined);
  const seen = blocks.length;
  await deliveriesEnded();
  assert.equal(blocks.length, seen);
  assert.equal(stopCapture(), undefined, 'stop with nothing running');
});

test('a second startCapture ends the first capture and its deliveries', async () => {
  const firstReport = useFake({ PIECES: 32768, PAUSE_US: 0 });
  const first = collector();
  startCapture({}, first.callback);
  const { pid } = await readReport(firstReport);
  await waitFor(() => first.blocks.length > 0, 'a first block');
  blockMainThread(100);

  const secondReport = useFake();
  const second = collector();
  assert.equal(startCapture({}, second.callback), true);
  assert.ok(!exists(pid), 'the first recorder is reaped before startCapture returns');
  const seen = first.blocks.length;
  await readReport(secondReport);
  await waitFor(() => second.blocks.length > 5, 'blocks of the second capture');
  assert.equal(first.blocks.length, seen);
});

test('the callback may stop the capture, or start another, from inside', async () => {
  useFake();
  let calls = 0;
  startCapture({}, () => {
    calls++;
    stopCapture();
  });
  await waitFor(() => calls > 0, 'the callback');
  await deliveriesEnded();
  assert.equal(calls, 1);

  let restarts = 0;
  const last = collector();
  const restart = () => {
    restarts++;
    startCapture({}, restarts < 5 ? restart : last.callback);
  };
  startCapture({}, restart);
  await waitFor(() => last.blocks.length > 3, 'blocks after five restarts from inside the callback');
  assert.equal(restarts, 5);
});

test('a callback that throws is left to the runtime, and the capture goes on', async (t) => {
  // Node reports an exception from a Node-API 8 module's callback as warning
  // DEP0168, or, with --force-node-api-uncaught-exceptions-policy, as an
  // uncaught exception; either way the process goes on.
  const reported = [];
  const onError = (error) => reported.push(error.message);
  const onWarning = (warning) => reported.push(warning.code);
  process.on('uncaughtException', onError);
  process.on('warning', onWarning);
  t.after(() => {
    process.off('uncaughtException', onError);
    process.off('warning', onWarning);
  });
  useFake();
  let calls = 0;
  startCapture({}, () => {
    calls++;
    throw new Error('thrown by the callback');
  });
  await waitFor(() => calls >= 10 && reported.length > 0, 'ten calls and a report of the exception');
  assert.ok(['thrown by the callback', 'DEP0168'].includes(reported[0]), reported[0]);
});

test('onEnd comes once, after the last block, with the exit status and what the recorder printed', async () => {
  const said = 'stream node 35 error: no node available\n';
  useFake({ BYTES: 100000, PAUSE_US: 0, AFTER: 'exit', EXIT_CODE: 3, SAY: said });
  const { bytes, callback } = collector();
  const ends = [];
  startCapture({ onEnd: (info) => ends.push({ info, bytes: bytes().length }) }, callback);
  await waitFor(() => ends.length > 0, 'onEnd');
  stopCapture();
  await deliveriesEnded();
  assert.deepEqual(ends, [{ info: { reason: 'exited', code: 3, signal: null, stderr: said + said }, bytes: 100000 }]);
  assert.ok(bytes().equals(pattern(100000)), 'the printed text stayed out of the samples');
});

test('a killed recorder ends with its signal; a stopped or replaced capture reports no end', async () => {
  const report = useFake();
  const ends = [];
  const onEnd = (info) => ends.push(info);
  startCapture({ onEnd }, () => {});
  process.kill((await readReport(report)).pid, 'SIGKILL');
  await waitFor(() => ends.length > 0, 'onEnd');
  assert.deepEqual(ends, [{ reason: 'exited', code: null, signal: 'SIGKILL', stderr: '' }]);

  ends.length = 0;
  for (const end of [stopCapture, () => startCapture({}, () => {})]) {
    useFake({ BYTES: 0, AFTER: 'exit' });
    startCapture({ onEnd }, () => {});
    blockMainThread(300);  // the recorder exits and its end is queued meanwhile
    end();
  }
  stopCapture();
  await deliveriesEnded();
  assert.deepEqual(ends, []);
});

test('with no recorder to run, onEnd reports the exec error and the process may exit', async () => {
  const script = `require(${JSON.stringify(root)}).startCapture({ onEnd: (info) => console.log(JSON.stringify(info)) }, () => {});`;
  assert.deepEqual(JSON.parse(await runWithoutRecorder(script)), { reason: 'spawn-failed', error: 'ENOENT' });
});

describe("handles' captures, beside the current one", () => {
  // Opens a capture of its own; resolves with its recorder's pid, its
  // blocks and its handle.
  async function startSide(onEnd = () => {}) {
    const report = useFake();
    const { blocks, callback } = collector();
    const handle = openCapture({}, callback, onEnd);
    assert.equal(typeof handle.close, 'function');
    return { ...(await readReport(report)), blocks, handle };
  }
  const grows = (blocks, what) => {
    const seen = blocks.length;
    return waitFor(() => blocks.length > seen + 2, what);
  };

  test('neither start nor stop of the current capture ends them; each ends when it is closed', async () => {
    const first = await startSide();
    const second = await startSide();
    useFake();
    const current = collector();
    startCapture({}, current.callback);
    startCapture({}, current.callback);
    stopCapture();
    await grows(first.blocks, 'blocks of the first after the current capture ended');
    first.handle.close();
    assert.ok(!exists(first.pid), 'the first recorder outlived its close');
    first.handle.close();
    const seen = first.blocks.length;
    await grows(second.blocks, 'blocks of the second after the first ended');
    assert.equal(first.blocks.length, seen);
    second.handle.close();
    assert.deepEqual(childPids(), []);
  });

  test('a recorder that ends frees its capture', async () => {
    const ends = [];
    const { pid } = await startSide((info) => ends.push(info));
    process.kill(pid, 'SIGKILL');
    await waitFor(() => ends.length === 1, 'onEnd');
    await deliveriesEnded();
  });
});

test('blockTimes adds the read time of each block on the clock of process.hrtime.bigint()', async () => {
  useFake({ PIECES: 4096, PAUSE_US: 5000 });
  const times = [];
  const before = process.hrtime.bigint();
  const handle = openCapture({ blockTimes: true }, (pcm, readTime) => times.push([readTime, process.hrtime.bigint()]), () => {});
  await waitFor(() => times.length > 20, 'blocks');
  handle.close();
  for (const [i, [readTime, deliveredAt]] of times.entries()) {
    assert.equal(typeof readTime, 'bigint');
    assert.ok(readTime >= (i === 0 ? before : times[i - 1][0]) && readTime <= deliveredAt, `block ${i}`);
  }
});

test('sampleRate, channels and resampleQuality are asked of the recorder', async () => {
  const cases = [
    [{ sampleRate: 16000, channels: 1 }, 16000, 1, []],
    [{ sampleRate: 7999, channels: 3, resampleQuality: 16 }, 48000, 2, []],
    [{ sampleRate: 8000, channels: 1, resampleQuality: 0 }, 8000, 1, ['--quality', '0']],
    [{ resampleQuality: 10.5 }, 48000, 2, ['--quality', '10']],
    [{ resampleQuality: '10' }, 48000, 2, []],
  ];
  for (const [options, rate, channels, quality] of cases) {
    const report = useFake();
    const { blocks, callback } = collector();
    const handle = openCapture(options, callback, () => {});
    const { args } = await readReport(report);
    assert.deepEqual(args.slice(1, 7 + quality.length), ['--rate', String(rate), '--channels', String(channels), '--format', 'f32', ...quality]);
    await waitFor(() => blocks.length > 0, 'a block');
    handle.close();
  }
});

test("a handle's blocks come in whole frames of the format it asked for, converted from the recorder's floats", async () => {
  const total = 40000;
  // Every float the fake writes, as JavaScript would convert it.
  const floats = new Float32Array(pattern(total).buffer.slice(0), 0, total / 4);
  const s16 = (value) => (Number.isNaN(value) ? 0 : Math.round(Math.max(-1, Math.min(1, value)) * 32767));
  const mean = (i) => (floats[2 * i] + floats[2 * i + 1]) / 2;
  const frames = floats.length / 2;
  const cases = [
    [{ format: 's16' }, 4, Buffer.from(Int16Array.from(floats, s16).buffer)],
    [{ mixToMono: true }, 4, Buffer.from(Float32Array.from({ length: frames }, (_, i) => mean(i)).buffer)],
    [{ format: 's16', mixToMono: true }, 2, Buffer.from(Int16Array.from({ length: frames }, (_, i) => s16(mean(i))).buffer)],
  ];
  for (const [options, frameBytes, expected] of cases) {
    useFake({ PIECES: '3,5,4096,7', PAUSE_US: 100, BYTES: total });
    const { blocks, callback, bytes } = collector();
    const handle = openCapture({ ...options, channels: 2 }, callback, () => {});
    await waitFor(() => bytes().length >= expected.length, 'the whole stream');
    handle.close();
    assert.ok(bytes().equals(expected), JSON.stringify(options));
    assert.ok(blocks.every((block) => block.pcm.length % frameBytes === 0), JSON.stringify(options));
  }
});
