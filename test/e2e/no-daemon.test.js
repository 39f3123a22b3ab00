'use strict';

const assert = require('node:assert/strict');
const { execFile } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');
const h = require('./helpers');

// Runs in a child whose runtime folder holds no PipeWire: pw-record cannot
// connect and exits at once.
const child = `
const { startCapture, stopCapture } = require(${JSON.stringify(path.join(__dirname, '..', '..'))});
const { recorderProcesses } = require(${JSON.stringify(path.join(__dirname, 'helpers'))});
let calls = 0;
const started = [
  startCapture({}, () => calls++),
  startCapture({ pipewireTargetId: 'orvel-test-sink' }, () => calls++),
];
setTimeout(() => {
  const recorders = recorderProcesses();
  stopCapture();
  console.log(JSON.stringify({ started, calls, recorders }));
}, 1500);
`;

test('without a PipeWire daemon startCapture returns true, nothing calls back and the process stays well', async () => {
  const runtime = h.scratchDir();
  try {
    const env = { ...process.env, XDG_RUNTIME_DIR: runtime };
    delete env.PIPEWIRE_REMOTE;
    delete env.PIPEWIRE_RUNTIME_DIR;
    const { code, signal, stdout, stderr } = await new Promise((resolve) => {
      execFile(process.execPath, ['-e', child], { env, timeout: 10000 }, (error, stdout, stderr) =>
        resolve({ code: error ? error.code : 0, signal: error?.signal ?? null, stdout, stderr }),
      );
    });
    assert.deepEqual({ code, signal }, { code: 0, signal: null }, stderr);
    // The failed recorders were reaped, and stopCapture let the process end
    // by itself once its timer had run.
    assert.deepEqual(JSON.parse(stdout), { started: [true, true], calls: 0, recorders: [] });
  } finally {
    fs.rmSync(runtime, { recursive: true, force: true });
  }
});
