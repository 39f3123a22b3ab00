'use strict';

// Captures whose environment ends: workers that are terminated or exit, and
// processes that exit with a capture running.

const assert = require('node:assert/strict');
const { once } = require('node:events');
const { test, afterEach } = require('../bounded');
const { Worker } = require('node:worker_threads');

const { root, useFake, readReport, collector, exists, childPids, runNode, waitFor } = require('./helpers');
const { startCapture, stopCapture } = require(root);

afterEach(() => stopCapture());

// A worker that starts a capture (and with SIDE a handle's beside it, never
// closed) and posts 'block' for each block; asked 'ended?', it
// posts 'ended' once the deliveries of its captures have ended.
function captureInWorker({ side = false } = {}) {
  return new Worker(
    `const { parentPort } = require('node:worker_threads');
     const deliveriesEnded = require(${JSON.stringify(require.resolve('../helpers'))}).trackDeliveries();
     const { startCapture } = require(${JSON.stringify(root)});
     parentPort.on('message', async (message) => {
       if (message === 'exit') process.exit(3);
       if (message === 'ended?') parentPort.postMessage(await deliveriesEnded().then(() => 'ended'));
     });
     startCapture({}, () => parentPort.postMessage('block'));
     if (${side}) require(${JSON.stringify(`${root}/lib/native`)}).openCapture({}, () => {}, () => {});`,
    { eval: true },
  );
}

async function expectMainCaptureWorks() {
  useFake();
  const { blocks, callback } = collector();
  assert.equal(startCapture({}, callback), true);
  await waitFor(() => blocks.length > 2, 'blocks of a capture in the main thread');
  stopCapture();
}

test("a worker's process.exit() ends its captures", async (t) => {
  useFake();
  const worker = captureInWorker({ side: true });
  t.after(() => worker.terminate());
  await once(worker, 'message');
  await waitFor(() => childPids().length === 2, 'both recorders');
  worker.postMessage('exit');
  const [code] = await once(worker, 'exit');
  assert.equal(code, 3);
  assert.deepEqual(childPids(), []);
  await expectMainCaptureWorks();
});

test("a worker's ending leaves the main thread's capture alone", async () => {
  const report = useFake();
  const { blocks, callback } = collector();
  startCapture({}, callback);
  const { pid } = await readReport(report);
  const worker = new Worker(`require(${JSON.stringify(root)}).getNativeAudioCaptureInfo();`, { eval: true });
  await once(worker, 'exit');
  const seen = blocks.length;
  await waitFor(() => blocks.length > seen + 2, 'blocks after the worker ended');
  assert.ok(exists(pid));
});

test('environments share the one capture: each may end the capture of another', async (t) => {
  // The worker's start ends the main thread's capture...
  const mainReport = useFake();
  const main = collector();
  startCapture({}, main.callback);
  const { pid: mainPid } = await readReport(mainReport);
  const workerReport = useFake();
  const worker = captureInWorker();
  t.after(() => worker.terminate());
  let workerBlocks = 0;
  let workerEnded = false;
  worker.on('message', (message) => (message === 'block' ? workerBlocks++ : (workerEnded = true)));
  await waitFor(() => workerBlocks > 0, "the worker's first block");
  assert.ok(!exists(mainPid));
  const mainSeen = main.blocks.length;
  // ...and the main thread's stop ends the worker's, deliveries included.
  const { pid: workerPid } = await readReport(workerReport);
  stopCapture();
  assert.ok(!exists(workerPid));
  worker.postMessage('ended?');
  await waitFor(() => workerEnded, "the end of the worker's deliveries");
  assert.equal(main.blocks.length, mainSeen);
  await worker.terminate();
  await expectMainCaptureWorks();
});

test('process.exit(3) during a capture exits 3 and leaves no recorder behind', async () => {
  for (const where of ['main thread', 'worker', 'beside the current one']) {
    // A silent recorder: only the module can end it, not SIGPIPE.
    const report = useFake({ BYTES: 0 });
    const start =
      where === 'beside the current one'
        ? `require(${JSON.stringify(`${root}/lib/native`)}).openCapture({}, () => {}, () => {});`
        : `require(${JSON.stringify(root)}).startCapture({}, () => {});`;
    const script =
      where !== 'worker'
        ? `${start} setTimeout(() => process.exit(3), 300);`
        : `const { Worker } = require('node:worker_threads');
           new Worker(${JSON.stringify(start)}, { eval: true });
           setTimeout(() => process.exit(3), 300);`;
    const { code, signal, stderr } = await runNode(script);
    assert.equal(signal, null, `${where}: ${stderr}`);
    assert.equal(code, 3, `${where}: ${stderr}`);
    const { pid } = await readReport(report);
    assert.ok(!exists(pid), `${where}: the recorder outlived its host`);
  }
});
