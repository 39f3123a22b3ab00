'use strict';

const assert = require('node:assert/strict');
const { test } = require('node:test');

const { root, useFake, collector, childPids, countFds, countThreads, waitFor } = require('./helpers');
const { startCapture, stopCapture } = require(root);

test('200 start/stop cycles leave descriptors, threads and child processes where they began', async () => {
  useFake({ PIECES: 4096, PAUSE_US: 500 });
  const { blocks, callback } = collector();
  // One cycle first: Node's own thread pool and handles settle on first use.
  startCapture({}, callback);
  await waitFor(() => blocks.length > 0, 'a first block');
  stopCapture();
  const fds = countFds();
  const threads = countThreads();

  for (let cycle = 0; cycle < 200; cycle++) {
    assert.equal(startCapture({}, callback), true);
    if (cycle % 4 === 0) {
      const seen = blocks.length;
      await waitFor(() => blocks.length > seen, `a block in cycle ${cycle}`);
    }
    stopCapture();
  }
  // Released thread-safe functions close their handles on the next turns.
  await waitFor(() => countFds() === fds, `descriptors back to ${fds} (now ${countFds()})`);
  // A joined thread may stay listed for a moment after its joiner wakes.
  await waitFor(() => countThreads() === threads, `threads back to ${threads} (now ${countThreads()})`);
  assert.deepEqual(childPids(), []);
});
