'use strict';

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { test, after } = require('node:test');

const { root, useFake, readReport, run, scratchDir } = require('../js/helpers');
const { within } = require('./common');
const { startCapture, stopCapture } = require(root);

const kChildren = 100;
const kConcurrent = 10;

after(() => stopCapture());

// Starts a capture; returns what its recorder's output is, the pipe.
async function startRecording(dir, index) {
  const report = path.join(dir, `report-${index}`);
  process.env.ORVEL_FAKE_REPORT = report;
  assert.equal(startCapture({}, () => {}), true);
  const { pid } = await readReport(report);
  return fs.readlinkSync(`/proc/${pid}/fd/1`);
}

// What a child's descriptors point at, one per line.
const kListFds = 'readlink /proc/$$/fd/*';

// A child that lists its descriptors and exits with `code`.
async function shortChild(code) {
  const { code: exitCode, signal, stdout } = await run('/bin/sh', ['-c', `${kListFds}; exit ${code}`]);
  return { expected: { code, signal: null }, got: { code: exitCode, signal }, fds: stdout.split('\n') };
}

test(`${kChildren} children spawned during capture get their own exit status and none holds the recorder's pipe`,
  { timeout: 300_000 }, async (t) => {
    useFake({ PIECES: 4096, PAUSE_US: 500 });
    const dir = scratchDir();
    const pipes = new Set([await startRecording(dir, 0)]);
    const longLived = [];
    t.after(() => longLived.forEach((child) => child.kill('SIGKILL')));
    const pending = new Set();
    const results = [];

    for (let i = 0; i < kChildren; i++) {
      if (i % 10 === 9) {
        // Lives on while later captures start and stop.
        longLived.push(spawn('/bin/sleep', ['60'], { stdio: 'ignore' }));
        pipes.add(await startRecording(dir, i));
        continue;
      }
      const run = shortChild(1 + i).then((result) => {
        results.push(result);
        pending.delete(run);
      });
      pending.add(run);
      if (pending.size >= kConcurrent) await Promise.race(pending);
    }
    await Promise.all(pending);

    for (const { expected, got, fds } of results) {
      assert.deepEqual(got, expected);
      assert.deepEqual(fds.filter((fd) => pipes.has(fd)), [], 'a child held a recorder pipe');
    }
    for (const child of longLived) {
      const fds = fs.readdirSync(`/proc/${child.pid}/fd`).map((fd) => fs.readlinkSync(`/proc/${child.pid}/fd/${fd}`));
      assert.deepEqual(fds.filter((fd) => pipes.has(fd)), [], `long-lived child ${child.pid} holds a recorder pipe`);
    }

    // A held write end would keep the reader from ever seeing end of file.
    const began = Date.now();
    stopCapture();
    assert.ok(Date.now() - began < 1000, `stopCapture took ${Date.now() - began} ms`);

    for (const child of longLived) {
      const exited = once(child, 'exit');
      child.kill('SIGTERM');
      assert.deepEqual(await within(5000, exited, `sleep ${child.pid} to exit`), [null, 'SIGTERM']);
    }
    console.log(`spawn: ${results.length} short-lived and ${longLived.length} long-lived children ` +
      `across ${pipes.size} captures`);
  });
