'use strict';

const assert = require('node:assert/strict');
const { once } = require('node:events');
const { test, after } = require('node:test');
const { Worker } = require('node:worker_threads');

const { root, useFake, childPids, countFds, countThreads, collector, waitFor, sleep } = require('../js/helpers');
const { rssComparable, settledRssMiB, seededRandom, seedFromEnv, settleTo, within } = require('./common');
const { startCapture, stopCapture } = require(root);

const kWorkers = Number(process.env.ORVEL_STRESS_WORKERS || 200);
const kRssToleranceMiB = 16;

after(() => stopCapture());

// Posts 'block' on its first block, and spends a random while in every
// callback so that termination often lands inside one; captures with
// startCapture, or with workerData.stream a captureStream of its own.
const kWorkerSource = `
  const { parentPort, workerData } = require('node:worker_threads');
  const { startCapture, captureStream } = require(workerData.root);
  let posted = false;
  const onBlock = () => {
    if (!posted) parentPort.postMessage('block');
    posted = true;
    const until = performance.now() + Math.random() * workerData.maxBusyMs;
    while (performance.now() < until);
  };
  if (workerData.stream) captureStream().on('data', onBlock);
  else startCapture({}, onBlock);`;

async function runWorker(random, stream = false) {
  const worker = new Worker(kWorkerSource, { eval: true, workerData: { root, maxBusyMs: 2, stream } });
  try {
    await within(10_000, once(worker, 'message'), 'a block in the worker');
    await sleep(random() * 20);
  } finally {
    await worker.terminate();
  }
}

test(`${kWorkers} workers, capturing or streaming, terminated at a random moment after their first block leave nothing behind`,
  { timeout: 600_000 }, async () => {
    const seed = seedFromEnv('ORVEL_STRESS_SEED');
    const random = seededRandom(seed);
    useFake({ PIECES: 4096, PAUSE_US: 500 });
    for (let i = 0; i < 5; i++) await runWorker(random);
    await sleep(50);
    const before = { fds: countFds(), threads: countThreads(), rss: settledRssMiB() };

    const started = Date.now();
    for (let i = 0; i < kWorkers; i++) {
      await runWorker(random, i % 2 === 1);
      assert.deepEqual(childPids(), [], `worker ${i}: its recorder outlived it`);
    }
    const seconds = (Date.now() - started) / 1000;

    await settleTo(before);
    const end = { fds: countFds(), threads: countThreads(), rss: settledRssMiB() };
    console.log(`workers: ${kWorkers} in ${seconds.toFixed(1)} s (seed ${seed}); before ${JSON.stringify(before)}; ` +
      `after ${JSON.stringify(end)}${rssComparable ? '' : ' (RSS not compared under AddressSanitizer)'}`);
    if (rssComparable) {
      assert.ok(end.rss - before.rss < kRssToleranceMiB,
        `RSS grew from ${before.rss.toFixed(1)} to ${end.rss.toFixed(1)} MiB`);
    }

    // The module still works in the main thread.
    const { blocks, callback } = collector();
    assert.equal(startCapture({}, callback), true);
    await waitFor(() => blocks.length > 0, 'a block in the main thread');
    stopCapture();
  });
