'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const { performance } = require('node:perf_hooks');
const { describe, test } = require('../bounded');
const { startCapture, stopCapture, captureStream } = require('../..');
const h = require('./helpers');

const deliveriesEnded = h.trackDeliveries();

// Starts a capture of the sink and resolves once its first block has come,
// with a count of its callbacks that goes on growing.
async function startCounting() {
  const counter = { calls: 0 };
  await new Promise((resolve) => {
    assert.equal(
      startCapture({ pipewireCaptureSink: true }, () => {
        counter.calls += 1;
        resolve();
      }),
      true,
    );
  });
  return counter;
}

describe('stopping and replacing a capture of the real pw-record', () => {
  h.useSession();

  test('stopCapture ends pw-record within 1 s, leaves no process of it and no callback follows', async () => {
    const counter = await startCounting();
    const recorders = h.recorderProcesses();
    assert.equal(recorders.length, 1, `recorders: ${JSON.stringify(recorders)}`);
    assert.notEqual(recorders[0].state, 'Z');
    await h.waitFor(() => counter.calls > 3, 'more blocks');
    // Blocks the event loop so that blocks are waiting for it when the
    // capture stops: they must be dropped, not delivered.
    const busyUntil = performance.now() + 100;
    while (performance.now() < busyUntil);

    const startedAt = performance.now();
    stopCapture();
    const tookMs = performance.now() - startedAt;
    const callsAtStop = counter.calls;
    assert.ok(tookMs < 1000, `stopCapture took ${tookMs.toFixed(0)} ms`);
    assert.deepEqual(h.recorderProcesses(), []);
    assert.equal(fs.existsSync(`/proc/${recorders[0].pid}`), false);
    await deliveriesEnded();
    assert.equal(counter.calls, callsAtStop, 'callbacks after stopCapture');
  });

  test('pw-record killed from outside ends the capture with onEnd, after its last block', async () => {
    let calls = 0;
    const ended = new Promise((resolve) => {
      startCapture({ pipewireCaptureSink: true, onEnd: (info) => resolve({ info, calls }) }, () => calls++);
    });
    await h.waitUntil(() => calls > 0, 'blocks');
    process.kill(h.recorderProcesses()[0].pid, 'SIGKILL');
    const { info, calls: callsAtEnd } = await ended;
    assert.deepEqual(info, { reason: 'exited', code: null, signal: 'SIGKILL', stderr: '' });
    await h.sleep(100);
    assert.equal(calls, callsAtEnd, 'a block came after onEnd');
    assert.deepEqual(h.recorderProcesses(), []);
  });

  test('a second startCapture replaces the first recorder', async () => {
    const first = await startCounting();
    const [firstRecorder] = h.recorderProcesses();
    const second = await startCounting();
    const callsOfFirst = first.calls;
    assert.equal(fs.existsSync(`/proc/${firstRecorder.pid}`), false, 'the first pw-record is still there');
    const recorders = h.recorderProcesses();
    assert.equal(recorders.length, 1, `recorders: ${JSON.stringify(recorders)}`);
    assert.notEqual(recorders[0].pid, firstRecorder.pid);

    await h.waitFor(() => second.calls > 5, 'more blocks of the second capture');
    assert.equal(first.calls, callsOfFirst, 'the first capture still calls back');
    stopCapture();
    assert.deepEqual(h.recorderProcesses(), []);
  });

  test("a stream's stop() ends it after its last chunk and destroy() closes it, each ending pw-record at once", { timeout: 20000 }, async () => {
    for (const end of ['stop', 'destroy']) {
      const stream = captureStream();
      const chunks = [];
      stream.on('data', (chunk) => chunks.push(chunk));
      const closed = new Promise((resolve) => stream.on('close', resolve));
      await h.waitFor(() => chunks.length > 0, `a first chunk before ${end}()`);
      assert.equal(h.recorderProcesses().length, 1);
      stream[end]();
      assert.deepEqual(h.recorderProcesses(), [], `pw-record left after ${end}()`);
      await closed;
      assert.equal(stream.readableEnded, end === 'stop', `'end' after ${end}()`);
    }
  });
});
