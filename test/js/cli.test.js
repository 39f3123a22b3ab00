'use strict';

// orvel-record against the fake recorder: what it writes and where, what it
// leaves of files that were there, and how it ends when no audio comes or
// the recorder ends. The end-to-end suite records real tones with it.

const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('../bounded');

const { root, useFake, readReport, pattern, run, runNode, scratchDir, readWholeWav } = require('./helpers');

const kBin = path.join(root, 'bin', 'orvel-record.js');
const kStallMs = 300;

// Runs orvel-record with its wait for audio shortened.
const record = (args, options = {}) =>
  runNode([kBin, ...args], {
    timeoutMs: 10000,
    ...options,
    env: { ORVEL_RECORD_STALL_MS: kStallMs, ...options.env },
  });

// Asserts that BYTES are a streamed f32 WAV of FRAMES of the fake's pattern.
function assertStreamedPattern(bytes, frames) {
  const file = path.join(scratchDir(), 'streamed.wav');
  fs.writeFileSync(file, bytes);
  const wav = readWholeWav(file, 'f32', { streamed: true });
  assert.equal(wav.frames, frames);
  assert.ok(bytes.subarray(wav.chunks.data.offset).equals(pattern(frames * 8)));
}

test('a recording in odd pieces, longer than the wait for audio, is written byte for byte up to --seconds', async () => {
  // About 165 kB/s, under half of real time: the recording takes over a second.
  useFake({ PIECES: '3,5,6,7,4096', PAUSE_US: 5000 });
  const out = path.join(scratchDir(), 'out.wav');
  const result = await record(['--seconds', '0.5', out]);
  assert.equal(result.code, 0, result.stderr);
  assert.ok(result.ms > 3 * kStallMs, `the recording took only ${result.ms.toFixed(0)} ms`);
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
  assert.ok(result.ms >= kStallMs, `took ${result.ms.toFixed(0)} ms`);
  assert.equal(fs.existsSync(out), false);
});

test('a capture that ends by itself or stalls ends the recording with one line, what was recorded kept, status 1', async () => {
  const died = { AFTER: 'exit', EXIT_CODE: 1 };
  const cases = [
    [
      { ...died, BYTES: 0, SAY: 'error: pw_context_connect() failed: Host is down\n' },
      'PipeWire is not running (pw-record exited with status 1: error: pw_context_connect() failed: Host is down)',
    ],
    [
      { ...died, BYTES: 4800 * 8, SAY: 'stream error: Broken pipe\n' },
      'PipeWire went away (pw-record exited with status 1: stream error: Broken pipe)',
    ],
    [{ BYTES: 4800 * 8 }, 'no audio for 0.3 s from the default source: it went away, or PipeWire stalled'],
  ];
  for (const [fake, why] of cases) {
    useFake(fake);
    const out = path.join(scratchDir(), 'ended.wav');
    const result = await record([out]);
    const kept = fake.BYTES ? `; the 0.10 s recorded are in ${out}` : '';
    assert.deepEqual([result.code, result.stderr], [1, `orvel-record: ${why}${kept}\n`]);
    if (fake.BYTES === 0) {
      assert.equal(fs.existsSync(out), false);
    } else {
      const wav = readWholeWav(out, 'f32');
      assert.ok(fs.readFileSync(out).subarray(wav.chunks.data.offset).equals(pattern(fake.BYTES)));
    }
  }

  // No pw-record anywhere: the test build has no candidate path, PATH nothing.
  const out = path.join(scratchDir(), 'none.wav');
  const result = await run(process.execPath, [kBin, out], { env: { PATH: '' } });
  const line = "orvel-record: pw-record is not installed: install PipeWire's command-line tools (Debian, Ubuntu: apt-get install pipewire-bin; Fedora: pipewire-utils)\n";
  assert.deepEqual([result.code, result.stderr], [1, line]);
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
  const options = ['--target', '--system', '--exclude-pid', '--exclude-app', '--app', '--seconds', '--format', 'f32', 's16', '--force'];
  for (const option of [...options, '--list-targets', '--help']) {
    assert.ok(result.stdout.includes(option), `${option} is not documented`);
  }
});

test('bad arguments give one line on stderr, status 2 and no file', async () => {
  const dir = scratchDir();
  const out = path.join(dir, 'bad.wav');
  const cases = [
    ['--bogus', out], ['--target'], ['--target', '', out], ['--target', 'player-a', '--system', out],
    ['--seconds', '0', out], ['--seconds', 'ten', out], ['--seconds', '', out], ['--format', 'mp3', out],
    [out, path.join(dir, 'other.wav')], ['--list-targets', out],
    ['--exclude-pid', '7', '--app', '8', out], ['--exclude-app', 'x', '--app', 'y', out], ['--app', 'a/b', out],
    ['--app', '0', out], ['--exclude-pid', 'x', out], ['--call', '--exclude-app', 'x', out],
    ['--exclude-pid', '7', '--target', 'player-a', out],
    ['--app', '99999999999999999999', out], ['--call', '--app', '99999999999999999999', '--seconds', '2', out],
  ];
  const results = await Promise.all(cases.map((args) => record(args)));
  for (const [i, args] of cases.entries()) {
    const result = results[i];
    assert.equal(result.code, 2, `${JSON.stringify(args)}: ${result.stderr}`);
    assert.match(result.stderr, /^orvel-record: [^\n]+\n$/, JSON.stringify(args));
    assert.equal(fs.existsSync(out), false);
  }
  const negative = await record(['--seconds', '-1', out]);
  const positive = 'orvel-record: --seconds must be a positive number, not "-1" (see orvel-record --help)\n';
  assert.equal(negative.stderr, positive);
  const bare = await record([]);
  assert.equal(bare.code, 2);
  assert.match(bare.stderr, /^Usage:\n {2}orvel-record \[--target ID/);
});

test('an existing file is refused without --force; --force replaces it, and a failure then leaves it', async () => {
  const report = useFake({ BYTES: 0 });
  const out = path.join(scratchDir(), 'earlier.wav');
  const earlier = 'an earlier recording '.repeat(10);
  fs.writeFileSync(out, earlier);
  const refused = await record([out]);
  assert.equal(refused.code, 2);
  assert.equal(refused.stderr, `orvel-record: ${out} already exists; give --force to replace it\n`);
  assert.equal(fs.readFileSync(out, 'utf8'), earlier);
  assert.equal(fs.existsSync(report), false, 'a recorder was started');
  const failed = await record(['--force', out]);
  assert.equal(failed.code, 1, failed.stderr);
  assert.match(failed.stderr, /no audio arrived/);
  assert.equal(readWholeWav(out, 'f32').frames, 0);
});

test('a device or a FIFO is written as it is, streamed, and never removed; a failed write is named', async () => {
  useFake();
  const dir = scratchDir();
  // As root a node of its own, since a fault could remove the system's
  // /dev/full; a normal user cannot, and cannot make device nodes.
  const full = process.getuid() === 0 ? path.join(dir, 'full') : '/dev/full';
  if (full !== '/dev/full') execFileSync('mknod', [full, 'c', '1', '7']);
  const failed = await record(['--seconds', '0.1', full]);
  assert.equal(failed.code, 1);
  const header = `writing the WAV header to ${full} failed: ENOSPC: no space left on device, write`;
  assert.equal(failed.stderr, `orvel-record: ${header}\n`);
  assert.ok(fs.statSync(full).isCharacterDevice());

  const fifo = path.join(dir, 'fifo');
  execFileSync('mkfifo', [fifo]);
  const [result, bytes] = await Promise.all([record(['--seconds', '0.1', fifo]), fs.promises.readFile(fifo)]);
  assert.equal(result.code, 0, result.stderr);
  assertStreamedPattern(bytes, 4800);
  assert.ok(fs.statSync(fifo).isFIFO());
});

test('"-" streams the WAV to stdout and sums up on stderr', async () => {
  useFake();
  const result = await record(['--seconds', '0.5', '-']);
  assert.equal(result.code, 0, result.stderr);
  assertStreamedPattern(result.stdoutBytes, 24000);
  assert.match(result.stderr, /^orvel-record: 0\.50 s, 24000 frames \(f32\) in standard output; L peak [^\n]*\n$/);
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
