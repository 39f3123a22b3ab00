'use strict';

// Shared by the binding's tests, which run under scripts/with-fake-recorder:
// the fake recorder answers at /usr/bin/pw-record and is steered through
// ORVEL_FAKE_* variables, which the recorder inherits from this process.

const assert = require('node:assert/strict');
const { execFile, spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { setTimeout: sleep } = require('node:timers/promises');

const root = path.join(__dirname, '..', '..');

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

// One folder per test process for reports and copies, removed at exit.
const scratchRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-js-'));
process.on('exit', () => fs.rmSync(scratchRoot, { recursive: true, force: true }));

function scratchDir() {
  return fs.mkdtempSync(path.join(scratchRoot, 'scratch-'));
}

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

async function waitFor(done, what, timeoutMs = 5000) {
  const deadline = Date.now() + timeoutMs;
  while (!(await done())) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(5);
  }
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

function childPids() {
  const tasks = fs.readdirSync('/proc/self/task');
  return tasks.flatMap((task) =>
    fs.readFileSync(`/proc/self/task/${task}/children`, 'utf8').split(' ').filter(Boolean).map(Number),
  );
}

const countFds = () => fs.readdirSync('/proc/self/fd').length;
const countThreads = () => fs.readdirSync('/proc/self/task').length;

// A callback that keeps copies of the blocks it receives.
function collector() {
  const blocks = [];
  const callback = (pcm, sampleRate, channels) => {
    blocks.push({ pcm: Buffer.from(pcm), sampleRate, channels, isBuffer: Buffer.isBuffer(pcm) });
  };
  const bytes = () => Buffer.concat(blocks.map((block) => block.pcm));
  return { blocks, callback, bytes };
}

// Runs a script in a child node process; resolves with its code, signal and
// output. The module is at `require(process.env.ORVEL_MODULE)`.
function runNode(script, { env = {}, timeoutMs = 30000 } = {}) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, ['-e', script], {
      env: { ...process.env, ORVEL_MODULE: root, ...env },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (data) => (stdout += data));
    child.stderr.on('data', (data) => (stderr += data));
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`child node timed out; stderr: ${stderr}`));
    }, timeoutMs);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal, stdout, stderr, pid: child.pid });
    });
  });
}

// Runs SCRIPT in a child node process that finds no recorder to run:
// /dev/null is mounted over /usr/bin/pw-record (not executable, so no
// candidate path runs) and PATH has nothing. Resolves with its stdout.
function runWithoutRecorder(script) {
  const hide = 'mount --bind /dev/null /usr/bin/pw-record && PATH=/nonexistent exec "$0" -e "$1"';
  return new Promise((resolve, reject) =>
    execFile('unshare', ['--mount', 'sh', '-c', hide, process.execPath, script], { timeout: 10000 }, (error, stdout) =>
      error ? reject(error) : resolve(stdout),
    ),
  );
}

module.exports = {
  root,
  runWithoutRecorder,
  useFake,
  waitFor,
  readReport,
  pattern,
  exists,
  childPids,
  countFds,
  countThreads,
  collector,
  runNode,
  scratchDir,
  sleep,
};
