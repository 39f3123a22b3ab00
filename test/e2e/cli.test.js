'use strict';

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { after, before, describe, test } = require('node:test');
const { listCaptureTargets } = require('../../lib/targets');
const { readWav } = require('../../lib/wav');
const h = require('./helpers');

const BIN = path.join(__dirname, '..', '..', 'bin', 'orvel-record.js');
const SUMMARY =
  /^orvel-record: ([\d.]+) s, (\d+) frames \((f32|s16)\) in (.+); L peak (\S+) dBFS, RMS (\S+) dBFS; R peak (\S+) dBFS, RMS (\S+) dBFS$/;

// Runs COMMAND with ARGS; ON_START gets the child once it runs.
function run(command, args, { env = process.env, onStart } = {}) {
  return new Promise((resolve, reject) => {
    const startedAt = performance.now();
    const child = spawn(command, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (data) => (stdout += data));
    child.stderr.on('data', (data) => (stderr += data));
    child.on('error', reject);
    child.on('close', (code, signal) => resolve({ code, signal, stdout, stderr, ms: performance.now() - startedAt }));
    onStart?.(child);
  });
}

const record = (args, options) => run(process.execPath, [BIN, ...args], options);

// Checks that FILE is a whole WAV file in FORMAT and returns it read.
function readWholeWav(file, format) {
  const wav = readWav(file);
  const bytes = fs.readFileSync(file);
  const sampleBytes = format === 'f32' ? 4 : 2;
  assert.deepEqual(
    { tag: wav.tag, bits: wav.bits, sampleRate: wav.sampleRate, channels: wav.channels },
    { tag: format === 'f32' ? 3 : 1, bits: sampleBytes * 8, sampleRate: 48000, channels: 2 },
  );
  assert.equal(bytes.readUInt32LE(4), bytes.length - 8, 'RIFF size');
  assert.equal(wav.chunks.data.offset + wav.chunks.data.size, bytes.length, 'data chunk ends the file');
  assert.equal(wav.chunks.data.size % (2 * sampleBytes), 0, 'data holds whole frames');
  const fmt = wav.chunks['fmt '];
  assert.equal(bytes.readUInt32LE(fmt.offset + 8), 48000 * 2 * sampleBytes, 'bytes per second');
  assert.equal(bytes.readUInt16LE(fmt.offset + 12), 2 * sampleBytes, 'block align');
  if (format === 'f32') {
    assert.equal(fmt.size, 18);
    assert.equal(bytes.readUInt16LE(fmt.offset + 16), 0, 'extension size');
    assert.equal(bytes.readUInt32LE(wav.chunks.fact.offset), wav.frames, 'fact chunk frames');
  } else {
    assert.equal(fmt.size, 16);
    assert.equal(wav.chunks.fact, undefined);
  }
  return wav;
}

// The recording after its first half second, as the module's tests measure.
const settled = (wav) => wav.samples.subarray((h.RATE / 2) * h.CHANNELS);

describe('orvel-record', () => {
  let release;
  let dir;
  let player;

  before(async () => {
    release = await h.holdSession();
    dir = h.scratchDir();
    player = h.startPlayer(h.writeTone(path.join(dir, 'a.wav'), h.TONES.a), 'player-a');
    await h.waitForTarget('player-a');
  });

  after(async () => {
    await h.stopPlayer(player);
    fs.rmSync(dir, { recursive: true, force: true });
    release?.();
  });

  test('--seconds writes exactly that much as 32-bit float and sums it up in one line', async () => {
    const out = path.join(dir, 'seconds.wav');
    const result = await record(['--target', 'player-a', '--seconds', '1.5', out]);
    assert.equal(result.code, 0, result.stderr);
    const wav = readWholeWav(out, 'f32');
    assert.equal(wav.frames, 72000);
    h.assertTone(settled(wav), h.TONES.a, 'recorded file');

    assert.equal(result.stderr.includes('\r'), false, 'a level meter off a terminal');
    const summary = result.stderr.trim().split('\n');
    assert.equal(summary.length, 1, result.stderr);
    const [, seconds, frames, format, file, ...levels] = summary[0].match(SUMMARY) ?? assert.fail(summary[0]);
    assert.deepEqual([seconds, frames, format, file], ['1.50', '72000', 'f32', out]);
    // Sines of amplitude 0.5 and 0.25: peaks of -6.0 and -12.0 dBFS, RMS
    // 3 dB below.
    const expected = [-6.02, -9.03, -12.04, -15.05];
    levels.map(Number).forEach((level, i) => assert.ok(Math.abs(level - expected[i]) <= 0.5, summary[0]));
  });

  test('--format s16 writes 16-bit PCM', async () => {
    const out = path.join(dir, 's16.wav');
    const result = await record(['--target', 'player-a', '--seconds', '1', '--format', 's16', out]);
    assert.equal(result.code, 0, result.stderr);
    const wav = readWholeWav(out, 's16');
    assert.equal(wav.frames, 48000);
    h.assertTone(settled(wav), h.TONES.a, 'recorded file');
  });

  for (const signal of ['SIGINT', 'SIGTERM']) {
    test(`${signal} ends the recording with a whole file and status 0`, async () => {
      const out = path.join(dir, `${signal}.wav`);
      const enough = 58 + h.RATE * 8;
      const result = await record(['--target', 'player-a', out], {
        onStart: (child) =>
          h
            .waitUntil('a second of audio in the file', () => fs.existsSync(out) && fs.statSync(out).size >= enough)
            .then(() => process.kill(child.pid, signal)),
      });
      assert.equal(result.code, 0, result.stderr);
      const wav = readWholeWav(out, 'f32');
      assert.ok(wav.frames >= h.RATE, `${wav.frames} frames`);
      h.assertTone(settled(wav), h.TONES.a, 'recorded file');
      assert.match(result.stderr, new RegExp(` ${wav.frames} frames `));
    });
  }

  test('--system records what the sink plays, not the microphone that is the default source', async () => {
    const microphone = await h.startMicrophone(dir);
    try {
      const out = path.join(dir, 'system.wav');
      const result = await record(['--system', '--seconds', '1.5', out]);
      assert.equal(result.code, 0, result.stderr);
      const wav = readWholeWav(out, 'f32');
      h.assertTone(settled(wav), h.TONES.a, 'recorded file');
      h.assertAbsent(settled(wav), h.TONES.mic, 'recorded file');
    } finally {
      await h.stopMicrophone(microphone);
    }
  });

  test('on a terminal it shows a level meter per channel and the time recorded', async () => {
    const out = path.join(dir, 'meter.wav');
    const command = [process.execPath, BIN, '--target', 'player-a', '--seconds', '1', out]
      .map((word) => `'${word}'`)
      .join(' ');
    const result = await run('script', ['-qec', command, '/dev/null']);
    assert.equal(result.code, 0, result.stdout);
    assert.match(result.stdout, /\r\x1b\[2KL \[#+-*\] +-6\.0 dBFS {2}R \[#+-*\] +-12\.0 dBFS {2}00:00\.\d/);
    assert.match(result.stdout, /orvel-record: 1\.00 s, 48000 frames/);
  });

  test('--list-targets lists the sink and the player with their serials, the defaults marked', async () => {
    const result = await record(['--list-targets']);
    assert.equal(result.code, 0, result.stderr);
    const lines = result.stdout.trim().split('\n');
    assert.match(lines[0], /^SERIAL +NAME +MEDIA CLASS +PID +DESCRIPTION$/);
    for (const target of await listCaptureTargets()) {
      const line = lines.find((candidate) => candidate.split(/ +/)[1] === target.name);
      assert.ok(line, `${target.name} is not listed:\n${result.stdout}`);
      assert.equal(line.split(/ +/)[0], target.serial);
      assert.equal(line.split(/ +/)[2], target.mediaClass);
    }
    assert.match(lines.find((line) => line.includes(h.SINK)), /\[default sink, default source: its monitor\]$/);
    assert.match(lines.find((line) => line.includes('player-a')), new RegExp(`Stream/Output/Audio +${player.pid} +pw-play: `));
  });

  test('--help documents every option', async () => {
    const result = await record(['--help']);
    assert.equal(result.code, 0);
    for (const option of ['--target', '--system', '--exclude-pid', '--app', '--seconds', '--format', 'f32', 's16', '--list-targets', '--help']) {
      assert.ok(result.stdout.includes(option), `${option} is not documented`);
    }
  });

  test('bad arguments give one line on stderr, status 2 and no file', async () => {
    const out = path.join(dir, 'bad.wav');
    const cases = [
      [],
      ['--bogus', out],
      ['--target'],
      ['--target', '', out],
      ['--target', 'player-a', '--system', out],
      ['--seconds', '0', out],
      ['--seconds', 'ten', out],
      ['--seconds', '', out],
      ['--format', 'mp3', out],
      [out, path.join(dir, 'other.wav')],
      ['--list-targets', out],
      ['--exclude-pid', '7', '--app', '8', out],
      ['--app', 'x', out],
      ['--app', '0', out],
      ['--exclude-pid', '7', '--target', 'player-a', out],
    ];
    for (const args of cases) {
      const result = await record(args);
      assert.equal(result.code, 2, `${JSON.stringify(args)}: ${result.stderr}`);
      assert.match(result.stderr, /^orvel-record: [^\n]+\n$/, JSON.stringify(args));
      assert.equal(fs.existsSync(out), false);
    }
  });

  test('an output path that cannot be written is reported before recording, and leaves no file', async () => {
    const blocker = path.join(dir, 'a-file');
    fs.writeFileSync(blocker, '');
    for (const out of [path.join(dir, 'missing', 'x.wav'), path.join(blocker, 'x.wav'), dir]) {
      const result = await record(['--target', 'player-a', '--seconds', '1', out]);
      assert.equal(result.code, 1, result.stderr);
      assert.match(result.stderr, /^orvel-record: cannot write /);
      assert.ok(result.ms < 3000, `took ${result.ms.toFixed(0)} ms`);
      assert.equal(fs.existsSync(out), out === dir);
    }
  });

  test('when no audio comes within 3 s it says why, exits 1 and leaves no file', async () => {
    const runtime = h.scratchDir();
    try {
      const out = path.join(dir, 'silent.wav');
      const result = await record(['--target', h.SINK, out], { env: { ...process.env, XDG_RUNTIME_DIR: runtime } });
      assert.equal(result.code, 1, result.stderr);
      assert.match(result.stderr, /no audio arrived within 3 s/);
      assert.match(result.stderr, /PipeWire running/);
      assert.match(result.stderr, /orvel-record --list-targets/);
      assert.ok(result.ms >= 3000 && result.ms < 8000, `took ${result.ms.toFixed(0)} ms`);
      assert.equal(fs.existsSync(out), false);
    } finally {
      fs.rmSync(runtime, { recursive: true, force: true });
    }
  });
});
