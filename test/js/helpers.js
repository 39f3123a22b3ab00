'use strict';

// Shared by the binding's tests, which run under scripts/with-fake-recorder:
// the fake recorder answers at /usr/bin/pw-record and is steered through
// ORVEL_FAKE_* variables, which the recorder inherits from this process.
// Builds on ../helpers.js and exports its helpers too.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const common = require('../helpers');

const { scratchDir, waitFor } = common;

const kFakeVariables = [
  'ORVEL_FAKE_REPORT',
  'ORVEL_FAKE_FILL',
  'ORVEL_FAKE_PIECES',
  'ORVEL_FAKE_PAUSE_US',
  'ORVEL_FAKE_BYTES',
  'ORVEL_FAKE_AFTER',
  'ORVEL_FAKE_IGNORE_TERM',
  'ORVEL_FAKE_SAY',
  'ORVEL_FAKE_EXIT_CODE',
];

assert.ok(
  process.env.ORVEL_FAKE_RECORDER,
  'run the binding tests through scripts/with-fake-recorder, which puts the fake recorder in place',
);

// Sets the fake's behaviour for the next start, e.g. { BYTES: 100 }; returns
// the path of the report it will write.
function useFake(settings = {}) {
  for (const name of kFakeVariables) delete process.env[name];
  const report = path.join(scratchDir(), 'report');
  process.env.ORVEL_FAKE_REPORT = report;
  for (const [key, value] of Object.entries(settings)) {
    process.env[`ORVEL_FAKE_${key}`] = String(value);
  }
  return report;
}

async function readReport(file) {
  await waitFor(() => fs.existsSync(file), `the recorder's report ${file}`);
  const report = { args: [] };
  for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
    const eq = line.indexOf('=');
    if (eq < 0) continue;
    const [key, value] = [line.slice(0, eq), line.slice(eq + 1)];
    if (key === 'arg') report.args.push(value);
    else report[key] = key === 'pid' ? Number(value) : value;
  }
  return report;
}

// The bytes the fake writes with its default fill.
function pattern(length) {
  const bytes = Buffer.alloc(length);
  for (let i = 0; i < length; i++) bytes[i] = i % 251;
  return bytes;
}

// True while the process exists, zombie included: false means reaped.
function exists(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

// A callback that keeps copies of the blocks it receives.
function collector() {
  const blocks = [];
  const callback = (pcm, sampleRate, channels) => {
    blocks.push({ pcm: Buffer.from(pcm), sampleRate, channels, isBuffer: Buffer.isBuffer(pcm) });
  };
  const bytes = () => Buffer.concat(blocks.map((block) => block.pcm));
  return { blocks, callback, bytes };
}

// Runs SCRIPT in a child node process that finds no recorder to run:
// /dev/null is mounted over /usr/bin/pw-record (not executable, so no
// candidate path runs) and PATH has nothing. Resolves with its stdout.
async function runWithoutRecorder(script) {
  const hide = 'mount --bind /dev/null /usr/bin/pw-record && PATH=/nonexistent exec "$0" -e "$1"';
  const args = ['--mount', 'sh', '-c', hide, process.execPath, script];
  const { code, stdout, stderr } = await common.run('unshare', args, { timeoutMs: 10000 });
  assert.equal(code, 0, stderr);
  return stdout;
}

module.exports = { ...common, useFake, readReport, pattern, exists, collector, runWithoutRecorder };
