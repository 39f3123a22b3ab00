'use strict';

const assert = require('node:assert/strict');
const { test, after } = require('node:test');

const { root, useFake, childPids, countFds, countThreads, waitFor, sleep } = require('../js/helpers');
const { rssComparable, settledRssMiB, settleTo, within } = require('./common');
const { startCapture, stopCapture } = require(root);

const kCycles = Number(process.env.ORVEL_STRESS_CYCLES || 2000);
// Room for the allocator and V8's heap to settle differently; a leak of one
// block per cycle (at least 16 KiB) would be over 30 MiB.
const kRssToleranceMiB = 12;

after(() => stopCapture());

// One cycle: start, and stop once `blocksBeforeStop` blocks have arrived
// (0: at once, racing the reader's start-up).
async function startAndStop(blocksBeforeStop) {
  let blocks = 0;
  assert.equal(startCapture({}, () => blocks++), true);
  if (blocksBeforeStop > 0) await waitFor(() => blocks >= blocksBeforeStop, 'a block');
  stopCapture();
}

// One cycle: the first block's callback starts a second capture, and the
// cycle stops once the second capture has delivered a block. The first
// capture must deliver nothing after it was replaced.
async function restartFromCallback() {
  let lateFirstBlocks = 0;
  let restarted;
  await within(5000, new Promise((resolve) => {
    const second = () => resolve();
    const first = () => {
      if (restarted !== undefined) lateFirstBlocks++;
      else restarted = startCapture({}, second);
    };
    assert.equal(startCapture({}, first), true);
  }), 'a block from the capture started inside the callback');
  stopCapture();
  assert.equal(restarted, true);
  assert.equal(lateFirstBlocks, 0, 'the replaced capture delivered a block');
}

function usage() {
  return { fds: countFds(), threads: countThreads(), children: childPids().length, rss: settledRssMiB() };
}

test(`${kCycles} start/stop cycles, every other one restarted from inside the callback, leave nothing behind`,
  { timeout: 600_000 }, async () => {
    useFake({ PIECES: 4096, PAUSE_US: 500 });
    // Warm-up: thread pool, handles and allocator arenas settle on first use.
    for (let i = 0; i < 200; i++) await (i % 2 ? restartFromCallback() : startAndStop(1));
    await sleep(50);
    const before = usage();

    const started = Date.now();
    for (let cycle = 0; cycle < kCycles; cycle++) {
      if (cycle % 2 === 1) await restartFromCallback();
      else await startAndStop(cycle % 4 === 0 ? 0 : 1);
    }
    const seconds = (Date.now() - started) / 1000;

    await settleTo(before);
    const end = usage();
    console.log(`cycles: ${kCycles} in ${seconds.toFixed(1)} s; before ${JSON.stringify(before)}; ` +
      `after ${JSON.stringify(end)}${rssComparable ? '' : ' (RSS not compared under AddressSanitizer)'}`);
    assert.equal(end.children, 0);
    if (rssComparable) {
      assert.ok(end.rss - before.rss < kRssToleranceMiB,
        `RSS grew from ${before.rss.toFixed(1)} to ${end.rss.toFixed(1)} MiB`);
    }
  });
