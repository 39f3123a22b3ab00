'use strict';

// Shared by the stress tests, which run the test build against the fake
// recorder like the binding's own tests and build on their helpers.

const fs = require('node:fs');
const v8 = require('node:v8');
const vm = require('node:vm');
const { processInfo, countFds, countThreads, waitFor } = require('../helpers');

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');

// AddressSanitizer holds freed memory in quarantine (256 MiB by default), so
// RSS tells nothing under it; LeakSanitizer looks for leaks there instead.
const rssComparable = !fs.readFileSync('/proc/self/maps', 'utf8').includes('/libasan.so');

// Resident set size in MiB after a full collection: Buffers handed to
// callbacks hold native memory until their wrappers are collected.
function settledRssMiB() {
  gc();
  gc();
  return process.memoryUsage.rss() / (1 << 20);
}

// A small seeded generator (mulberry32), so that a failing run can be
// repeated with the seed it printed.
function seededRandom(seed) {
  let state = seed >>> 0;
  return () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

function seedFromEnv(name) {
  const given = process.env[name];
  return given !== undefined ? Number(given) >>> 0 : (Math.random() * 4294967296) >>> 0;
}

// Whether `pid` is a live pw-record: gone, a zombie waiting for a parent to
// reap it, or a reused pid of another program all count as dead.
function recorderAlive(pid) {
  const info = processInfo(pid);
  return info?.name === 'pw-record' && info.state !== 'Z' && info.state !== 'X';
}

// Waits until descriptors and threads are back to BEFORE's: released
// thread-safe functions close their handles on later turns, and a thread
// just joined may still be listed for a moment.
async function settleTo(before) {
  await waitFor(() => countFds() === before.fds, `descriptors back to ${before.fds} (now ${countFds()})`);
  await waitFor(() => countThreads() === before.threads, `threads back to ${before.threads} (now ${countThreads()})`);
}

// Rejects when `promise` has not settled within `ms`.
function within(ms, promise, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${ms} ms: ${what}`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

module.exports = { rssComparable, settledRssMiB, seededRandom, seedFromEnv, recorderAlive, settleTo, within };
