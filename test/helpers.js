'use strict';

// Shared by every suite (binding, stress, end to end, soak):
//
//   root                         the package's folder
//   sleep(ms)                    resolves after MS
//   waitFor(check, what, timeoutMs = 5000, intervalMs = 5)
//                                polls CHECK (may be async) until it returns
//                                something truthy and resolves with that;
//                                rejects naming WHAT after TIMEOUT_MS
//   run(command, args, { env, onStart, timeoutMs })
//                                runs COMMAND with ENV added to this
//                                process's; ON_START(child) once it runs;
//                                resolves { code, signal, stdout, stderr,
//                                pid, ms }; after TIMEOUT_MS (default 30 s)
//                                kills it and rejects; stdoutBytes holds
//                                stdout as a Buffer
//   runNode(scriptOrArgs, options)
//                                run() of this node: a string is a script
//                                for -e, an array node's arguments;
//                                ORVEL_MODULE names the package's folder
//   scratchDir()                 a new folder, removed when this process exits
//   childPids()                  this process's children, zombies included
//   countFds(), countThreads()   this process's descriptors and threads
//   processInfo(pid)             { name, state, parent } of PID, or null
//   trackDeliveries()            follows the captures' deliveries from now on;
//                                returns an async function that resolves once
//                                those of every capture started so far ended
//                                (after stopCapture(), nothing of it follows)
//   readWholeWav(file, format, { streamed })
//                                asserts FILE is a whole 48 kHz stereo WAV
//                                file in FORMAT (f32 or s16), with STREAMED
//                                one whose sizes are 0xFFFFFFFF; returns
//                                readWav's

const assert = require('node:assert/strict');
const { createHook } = require('node:async_hooks');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { setTimeout: sleep } = require('node:timers/promises');
const { readWav } = require('../lib/wav');

const root = path.join(__dirname, '..');

async function waitFor(check, what, timeoutMs = 5000, intervalMs = 5) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const result = await check();
    if (result) return result;
    if (Date.now() > deadline) throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await sleep(intervalMs);
  }
}

function run(command, args, { env = {}, onStart, timeoutMs = 30000 } = {}) {
  return new Promise((resolve, reject) => {
    const startedAt = performance.now();
    const child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
    const stdout = [];
    let stderr = '';
    child.stdout.on('data', (data) => stdout.push(data));
    child.stderr.on('data', (data) => (stderr += data));
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`${command} ${child.pid} timed out after ${timeoutMs} ms; stderr: ${stderr}`));
    }, timeoutMs);
    child.on('error', reject);
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      const stdoutBytes = Buffer.concat(stdout);
      const ms = performance.now() - startedAt;
      resolve({ code, signal, stdout: stdoutBytes.toString(), stdoutBytes, stderr, pid: child.pid, ms });
    });
    onStart?.(child);
  });
}

function runNode(scriptOrArgs, { env = {}, ...options } = {}) {
  const args = typeof scriptOrArgs === 'string' ? ['-e', scriptOrArgs] : scriptOrArgs;
  return run(process.execPath, args, { env: { ORVEL_MODULE: root, ...env }, ...options });
}

// One folder per process for scratch files.
let scratchRoot;
function scratchDir() {
  if (!scratchRoot) {
    scratchRoot = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-test-'));
    process.on('exit', () => fs.rmSync(scratchRoot, { recursive: true, force: true }));
  }
  return fs.mkdtempSync(path.join(scratchRoot, 'scratch-'));
}

// A thread may end between the listing and the read of its children.
function childPids() {
  return fs.readdirSync('/proc/self/task').flatMap((task) => {
    try {
      return fs.readFileSync(`/proc/self/task/${task}/children`, 'utf8').split(' ').filter(Boolean).map(Number);
    } catch (error) {
      if (error.code === 'ENOENT') return [];
      throw error;
    }
  });
}

const countFds = () => fs.readdirSync('/proc/self/fd').length;
const countThreads = () => fs.readdirSync('/proc/self/task').length;

function processInfo(pid) {
  let stat;
  try {
    stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  } catch {
    return null;
  }
  const [state, parent] = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return { name: stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(')')), state, parent: Number(parent) };
}

// A capture's blocks travel through a thread-safe function, an async
// resource of type "orvel_pcm", destroyed only once the last block queued
// for it was delivered or dropped.
function trackDeliveries() {
  const live = new Set();
  createHook({
    init: (id, type) => type === 'orvel_pcm' && live.add(id),
    destroy: (id) => live.delete(id),
  }).enable();
  return () => waitFor(() => live.size === 0, 'the deliveries of ended captures to be torn down');
}

function readWholeWav(file, format, { streamed = false } = {}) {
  const wav = readWav(file);
  const bytes = fs.readFileSync(file);
  const sampleBytes = format === 'f32' ? 4 : 2;
  assert.deepEqual(
    { tag: wav.tag, bits: wav.bits, sampleRate: wav.sampleRate, channels: wav.channels },
    { tag: format === 'f32' ? 3 : 1, bits: sampleBytes * 8, sampleRate: 48000, channels: 2 },
  );
  const dataBytes = bytes.length - wav.chunks.data.offset;
  const size = (value) => (streamed ? 0xffffffff : value);
  assert.equal(bytes.readUInt32LE(4), size(bytes.length - 8), 'RIFF size');
  assert.equal(wav.chunks.data.size, size(dataBytes), 'data chunk size');
  assert.equal(dataBytes % (2 * sampleBytes), 0, 'data holds whole frames');
  const fmt = wav.chunks['fmt '];
  assert.equal(bytes.readUInt32LE(fmt.offset + 8), 48000 * 2 * sampleBytes, 'bytes per second');
  assert.equal(bytes.readUInt16LE(fmt.offset + 12), 2 * sampleBytes, 'block align');
  if (format === 'f32') {
    assert.equal(fmt.size, 18);
    assert.equal(bytes.readUInt16LE(fmt.offset + 16), 0, 'extension size');
    assert.equal(bytes.readUInt32LE(wav.chunks.fact.offset), size(wav.frames), 'fact chunk frames');
  } else {
    assert.equal(fmt.size, 16);
    assert.equal(wav.chunks.fact, undefined);
  }
  return wav;
}

module.exports = {
  root, sleep, waitFor, run, runNode, scratchDir,
  childPids, countFds, countThreads, processInfo, trackDeliveries, readWholeWav,
};
