'use strict';

// orvel-record against the fake recorder: what it writes, and how it ends
// when no audio comes. The end-to-end suite records real tones with it.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');

const { root, useFake, readReport, pattern, runNode, scratchDir, readWholeWav } = require('./helpers');

const kBin = path.join(root, 'bin', 'orvel-record.js');
const kNoAudioMs = 300;

// Runs orvel-record with the no-audio timeout shortened to kNoAudioMs.
const record = (args, options = {}) =>
  runNode([kBin, ...args], { ...options, env: { ORVEL_RECORD_NO_AUDIO_MS: kNoAudioMs, ...options.env } });

test('a recording in odd pieces, longer than the no-audio timeout, is written byte for byte up to --seconds', async () => {
  // About 165 kB/s, under half of real time: the recording takes over a second.
  useFake({ PIECES: '3,5,6,7,4096', PAUSE_US: 5000 });
  const out = path.join(scratchDir(), 'out.wav');
  const result = await record(['--seconds', '0.5', out]);
  assert.equal(result.code, 0, result.stderr);
  assert.ok(result.ms > 3 * kNoAudioMs, `the recording took only ${result.ms.toFixed(0)} ms`);
  const wav = readWholeWav(out, 'f32');
  assert.equal(wav.frames, 24000);
  const { offset, size } = wav.chunks.data;
  assert.ok(fs.readFileSync(out).subarray(offset, offset + size).equals(pattern(24000 * 8)));
  assert.match(result.stderr, /^orvel-record: 0\.50 s, 24000 frames \(f32\) in .*out\.wav; L peak .*; R peak .*\n$/);
});

test('when no audio comes it says why, exits 1 and leaves no file', async () => {
  useFake({ BYTES: 0 });
  const out = path.join(scratchDir(), 'silent.wav');
  const result = await record(['--target', 'some-sink', out]);
  assert.equal(result.code, 1, result.stderr);
  assert.match(result.stderr, /no audio arrived within 0\.3 s from target "some-sink"/);
  assert.match(result.stderr, /PipeWire running/);
  assert.match(result.stderr, /orvel-record --list-targets/);
  assert.ok(result.ms >= kNoAudioMs, `took ${result.ms.toFixed(0)} ms`);
  assert.equal(fs.existsSync(out), false);
});

test('SIGTERM before any audio leaves a whole empty file and status 0', async () => {
  const report = useFake({ BYTES: 0 });
  const out = path.join(scratchDir(), 'empty.wav');
  // The recorder starts after the signal handlers are in place.
  const result = await record([out], { onStart: (child) => readReport(report).then(() => child.kill('SIGTERM')) });
  assert.equal(result.code, 0, result.stderr);
  assert.equal(readWholeWav(out, 'f32').frames, 0);
});

test('--help documents every option', async () => {
  const result = await record(['--help']);
  assert.equal(result.code, 0);
  for (const option of ['--target', '--system', '--seconds', '--format', 'f32', 's16', '--list-targets', '--help']) {
    assert.ok(result.stdout.includes(option), `${option} is not documented`);
  }
});

test('bad arguments give one line on stderr, status 2 and no file', async () => {
  const dir = scratchDir();
  const out = path.join(dir, 'bad.wav');
  const cases = [
    [], ['--bogus', out], ['--target'], ['--target', '', out], ['--target', 'player-a', '--system', out],
    ['--seconds', '0', out], ['--seconds', 'ten', out], ['--seconds', '', out], ['--format', 'mp3', out],
    [out, path.join(dir, 'other.wav')], ['--list-targets', out],
  ];
  const results = await Promise.all(cases.map((args) => record(args)));
  for (const [i, args] of cases.entries()) {
    const result = results[i];
    assert.equal(result.code, 2, `${JSON.stringify(args)}: ${result.stderr}`);
    assert.match(result.stderr, /^orvel-record: [^\n]+\n$/, JSON.stringify(args));
    assert.equal(fs.existsSync(out), false);
  }
});

test('an output path that cannot be written is reported before recording, and leaves no file', async () => {
  const report = useFake();
  const dir = scratchDir();
  const blocker = path.join(dir, 'a-file');
  fs.writeFileSync(blocker, '');
  for (const out of [path.join(dir, 'missing', 'x.wav'), path.join(blocker, 'x.wav'), dir]) {
    const result = await record(['--seconds', '1', out]);
    assert.equal(result.code, 1, result.stderr);
    assert.match(result.stderr, /^orvel-record: cannot write /);
    assert.equal(fs.existsSync(out), out === dir);
  }
  assert.equal(fs.existsSync(report), false, 'a recorder was started');
});
