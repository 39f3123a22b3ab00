'use strict';

// Shared by the binding's tests, which run the test build of the addon
// (build-test, or the tree ORVEL_TEST_TREE names) against the fake
// recorder: the addon, whose calls into the backend go through the spy,
// from the tree's addon/ folder, which node-gyp-build takes for the
// package's own through ORVEL_CAPTURE_AUDIO_PREBUILD; the fake from its
// fake-bin/ on PATH, where the test build's backend finds it. Child
// processes inherit both; the fake is steered through ORVEL_FAKE_*
// variables. Builds on ../helpers.js and exports its helpers too.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const common = require('../helpers');

const { scratchDir, waitFor } = common;

const kTestTree = path.resolve(process.env.ORVEL_TEST_TREE ?? path.join(common.root, 'build-test'));
const kAddonPackage = path.join(kTestTree, 'addon');
const addonPath = path.join(kAddonPackage, 'build', 'Release', 'orvel_capture_audio.node');
const fakeBin = path.join(kTestTree, 'fake-bin');
for (const file of [addonPath, path.join(fakeBin, 'pw-record')]) {
  assert.ok(
    fs.existsSync(file),
    `${file} is missing; build the test tree first: cmake -S . -B build-test -DBUILD_TESTING=ON && cmake --build build-test`,
  );
}
process.env.ORVEL_CAPTURE_AUDIO_PREBUILD = kAddonPackage;
if (!(process.env.PATH ?? '').startsWith(`${fakeBin}:`)) process.env.PATH = `${fakeBin}:${process.env.PATH ?? ''}`;

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

// Runs SCRIPT in a child node process that finds no recorder to run: the
// test build has no candidate path and PATH has nothing. Resolves with its
// stdout.
async function runWithoutRecorder(script) {
  const { code, stdout, stderr } = await common.runNode(script, { env: { PATH: '/nonexistent' }, timeoutMs: 10000 });
  assert.equal(code, 0, stderr);
  return stdout;
}

module.exports = { ...common, addonPath, useFake, readReport, pattern, exists, collector, runWithoutRecorder };
