'use strict';

// Shared by the end-to-end tests, which run inside scripts/pipewire-session:
// known tones played by real pw-play processes, capture through the module,
// and measurement of what came back. Builds on ../helpers.js and
// ../tone.js and exports their helpers too.

const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { after, before } = require('node:test');
const { startCapture, stopCapture, captureStream } = require('../..');
const { listCaptureTargets } = require('../../lib/targets');
const { WavWriter, writeTone } = require('../../lib/wav');
const { dft, amplitude } = require('../tone');
const common = require('../helpers');

const { scratchDir, waitFor } = common;

const kRate = 48000;
const kChannels = 2;
const kSink = 'orvel-test-sink';
// The first part of a capture is left out of measurements: links and
// buffers settle then, more slowly on a loaded machine.
const kWarmUpSeconds = 0.5;
const kWaitMs = 15000;
// Long enough for the other test files to finish with the session.
const kSessionWaitMs = 300000;
const kToneSeconds = 60;

// What each player plays: [frequency in Hz, amplitude] per channel. Every
// frequency makes whole cycles in 0.1 s, so windows of whole tenths of a
// second measure each tone without leakage from the others.
const kTones = {
  a: { left: [1000, 0.5], right: [440, 0.25] },
  b: { left: [300, 0.2], right: [300, 0.2] },
  // Above the 8 kHz that 16 kHz audio can carry.
  high: { left: [9000, 0.5], right: [9000, 0.5] },
  mic: { left: [700, 0.3], right: [700, 0.3] },
};

// Polls less often than the default: checks here run pw-dump.
const waitUntil = (check, what, timeoutMs = kWaitMs) => waitFor(check, what, timeoutMs, 100);

// The test files share one session's sink and defaults, so whichever runner
// runs them, one file at a time plays and captures.
async function holdSession() {
  const runtime = process.env.XDG_RUNTIME_DIR;
  if (!runtime || !fs.existsSync(path.join(runtime, 'pipewire-0'))) {
    throw new Error('no PipeWire here; run the tests inside scripts/pipewire-session');
  }
  const lock = path.join(runtime, 'orvel-e2e.lock');
  const take = () => {
    try {
      fs.mkdirSync(lock);
      return true;
    } catch (error) {
      if (error.code !== 'EEXIST') throw error;
      return false;
    }
  };
  await waitUntil(take, 'taking the session from the other test files', kSessionWaitMs);
  const release = () => {
    process.off('exit', release);
    fs.rmSync(lock, { recursive: true, force: true });
  };
  process.on('exit', release);
  return release;
}

// A WAV file of TONE for a player.
const toneFile = (file, { left, right }, seconds = kToneSeconds) => writeTone(file, [left, right], seconds);

const players = new Set();
process.on('exit', () => {
  for (const player of players) player.kill('SIGKILL');
});

// Plays FILE with pw-play under node.name NAME. A microphone is a player
// whose node is a source rather than a stream into the sink.
function startPlayer(file, name, { microphone = false, sink = kSink } = {}) {
  const props = microphone
    ? `{ node.name = "${name}" node.description = "Orvel test microphone" media.class = "Audio/Source" }`
    : `{ node.name = "${name}" }`;
  const args = microphone ? ['-P', props, file] : ['-P', props, '--target', sink, file];
  const child = spawn('pw-play', args, { stdio: ['ignore', 'ignore', 'inherit'] });
  players.add(child);
  child.on('exit', () => players.delete(child));
  return child;
}

// Plays FILE into the sink as node NAME, claiming in application.process.id
// to be process CLAIM if given: natively (pw-play) or, with PULSE, through
// PipeWire's Pulse server (paplay, claiming in PULSE_PROP).
function startClaimingPlayer(file, name, { claim, pulse = false } = {}) {
  const claimed = claim === undefined ? '' : ` application.process.id = ${claim}`;
  const env = pulse && claim !== undefined ? { ...process.env, PULSE_PROP: `application.process.id=${claim}` } : process.env;
  const [tool, args] = pulse
    ? ['paplay', ['-d', kSink, `--property=node.name=${name}`, file]]
    : ['pw-play', ['-P', `{ node.name = "${name}"${claimed} }`, '--target', kSink, file]];
  const child = spawn(tool, args, { env, stdio: ['ignore', 'ignore', 'inherit'] });
  players.add(child);
  child.on('exit', () => players.delete(child));
  return child;
}

// The pid of the session's Pulse server (scripts/pipewire-session starts
// pipewire-pulse where installed), or null if it has none.
function pulseServerPid() {
  try {
    return Number(fs.readFileSync(path.join(process.env.XDG_RUNTIME_DIR, 'pulse', 'pid'), 'utf8'));
  } catch {
    return null;
  }
}

// Ends CHILD, if it was started and still runs.
async function stopPlayer(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const exited = new Promise((resolve) => child.once('exit', resolve));
  process.kill(child.pid, 'SIGTERM');
  await exited;
}

async function waitForTarget(name, check = (target) => target.state === 'running') {
  return waitUntil(
    async () => (await listCaptureTargets()).find((target) => target.name === name && check(target)),
    `node ${name} appearing`,
  );
}

// The user's choice of default, as a desktop's settings make it. WirePlumber
// 0.4 ignores a value that is not typed as JSON.
function setDefault(kind, name) {
  execFileSync('pw-metadata', ['-n', 'default', '0', `default.configured.audio.${kind}`, JSON.stringify({ name }), 'Spa:String:JSON']);
}

// The node id of node NAME; ids are not serials.
function nodeId(name) {
  const objects = JSON.parse(execFileSync('pw-dump', { encoding: 'utf8' }));
  return objects.find((object) => object.info?.props?.['node.name'] === name)?.id;
}

// A null sink NAME besides the session's own, until the session ends.
function addSink(name) {
  execFileSync('pw-cli', ['create-node', 'adapter', `{ factory.name=support.null-audio-sink node.name=${name}
    media.class=Audio/Sink object.linger=true audio.position=[FL FR] audio.rate=48000 }`]);
}

// Starts a microphone playing the mic tone and makes it the default
// source, so that the default source is no longer the sink's monitor.
async function startMicrophone(dir) {
  const name = 'orvel-test-mic';
  const child = startPlayer(toneFile(path.join(dir, 'mic.wav'), kTones.mic), name, { microphone: true });
  await waitForTarget(name, () => true);
  setDefault('source', name);
  await waitForTarget(name, (target) => target.isDefaultSource);
  return child;
}

// Gives the default source back to the sink's monitor, as
// scripts/pipewire-session chose it: WirePlumber 0.5.18 makes no default of
// a monitor by itself.
async function stopMicrophone(child) {
  await stopPlayer(child);
  setDefault('source', kSink);
  await waitForTarget(kSink, (target) => target.isDefaultSource);
}

// A WAV file of 10 ms pulses at half of full scale, every 0.5 s: their
// rising edge stays put through a resampler, which only smooths it.
function clickFile(file) {
  const samples = new Float32Array(kRate * 20 * 2);
  for (let at = kRate / 4; at < kRate * 20; at += kRate / 2) samples.fill(kClick, at * 2, (at + kRate / 100) * 2);
  const writer = new WavWriter(fs.openSync(file, 'w'), { format: 'f32', sampleRate: kRate, channels: 2 });
  writer.write(samples);
  writer.close();
  return file;
}
const kClick = 0.5;

// A function that gives the frames, within each block of samples it is
// handed in turn, where a click rises on channel CHANNEL of CHANNELS.
function clickEdges(channels, channel = 0) {
  let previous = 0;
  return (samples) => {
    const frames = [];
    for (let frame = 0; frame < samples.length / channels; frame++) {
      const value = samples[frame * channels + channel];
      if (value >= kClick / 2 && previous < kClick / 2) frames.push(frame);
      previous = value;
    }
    return frames;
  };
}

function toFloats(buffers) {
  const bytes = Buffer.concat(buffers);
  return new Float32Array(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length - (bytes.length % 4)));
}

// Captures through the module until SECONDS of audio have come after the
// warm-up, then stops. Resolves with every block and the samples after the
// warm-up.
function capture(options, seconds) {
  return new Promise((resolve, reject) => {
    const blocks = [];
    const wanted = Math.round((kWarmUpSeconds + seconds) * kRate) * kChannels;
    let count = 0;
    const timer = setTimeout(() => {
      stopCapture();
      reject(new Error(`only ${count} of ${wanted} samples arrived within ${kWaitMs / 1000} s`));
    }, kWaitMs);
    const started = startCapture(options, (pcm, sampleRate, channels) => {
      blocks.push({ pcm, sampleRate, channels });
      count += pcm.length / 4;
      if (count < wanted) return;
      clearTimeout(timer);
      stopCapture();
      const samples = toFloats(blocks.map((block) => block.pcm));
      resolve({ blocks, samples: samples.subarray(kWarmUpSeconds * kRate * kChannels, wanted) });
    });
    assert.equal(started, true);
  });
}

// As capture(), through captureStream(OPTIONS) in its default format;
// resolves with the samples after the warm-up. ON_STREAM(stream), if given,
// is called with the stream first.
function captureStreamed(options, seconds, onStream) {
  return new Promise((resolve, reject) => {
    const stream = captureStream(options);
    onStream?.(stream);
    const chunks = [];
    const wanted = Math.round((kWarmUpSeconds + seconds) * kRate) * kChannels * 4;
    let bytes = 0;
    const timer = setTimeout(() => {
      stream.destroy();
      reject(new Error(`only ${bytes} of ${wanted} bytes arrived within ${kWaitMs / 1000} s`));
    }, kWaitMs);
    stream.on('error', reject);
    stream.on('data', (chunk) => {
      chunks.push(chunk);
      bytes += chunk.length;
      if (bytes < wanted) return;
      clearTimeout(timer);
      stream.destroy();
      resolve(toFloats(chunks).subarray(kWarmUpSeconds * kRate * kChannels, wanted / 4));
    });
  });
}

// Whether one channel of interleaved SAMPLES holds a run of exact zeros,
// which no tone has but the silence PipeWire puts in for a late player does.
function hasSilence(samples, channel) {
  let run = 0;
  for (let i = channel; i < samples.length; i += kChannels) {
    run = samples[i] === 0 ? run + 1 : 0;
    if (run >= 8) return true;
  }
  return false;
}

const db = (ratio) => 20 * Math.log10(ratio);

// Asserts that SAMPLES carry TONE at its played level within WITHIN_DB.
function assertTone(samples, tone, what, withinDb = 1) {
  for (const [channel, [frequency, played]] of [tone.left, tone.right].entries()) {
    const measured = amplitude(samples, channel, frequency);
    assert.ok(
      Math.abs(db(measured / played)) <= withinDb,
      `${what}: ${'LR'[channel]} ${frequency} Hz at ${db(measured).toFixed(1)} dBFS, played at ${db(played).toFixed(1)} dBFS`,
    );
  }
}

// Asserts that TONE is at least DOWN_DB below its played level in SAMPLES.
function assertAbsent(samples, tone, what, downDb = 40) {
  for (const [channel, [frequency, played]] of [tone.left, tone.right].entries()) {
    const measured = amplitude(samples, channel, frequency);
    assert.ok(
      db(measured / played) <= -downDb,
      `${what}: ${'LR'[channel]} ${frequency} Hz is only ${(-db(measured / played)).toFixed(1)} dB below its played level`,
    );
  }
}

// Captures a second of TARGET (a pipewireTargetId, none, or the options
// object) and asserts that it holds each tone of PRESENT at its played
// level and each of ABSENT at least 40 dB down.
async function assertRecords(target, present, absent = []) {
  const options = typeof target === 'object' ? target : target === undefined ? {} : { pipewireTargetId: target };
  const { samples } = await capture(options, 1);
  const what = `target ${JSON.stringify(options)}`;
  for (const tone of present) assertTone(samples, tone, what);
  for (const tone of absent) assertAbsent(samples, tone, what);
}

// pw-record processes that are children of this process, zombies included.
function recorderProcesses() {
  return common
    .childPids()
    .map((pid) => ({ pid, ...common.processInfo(pid) }))
    .filter((child) => child.name === 'pw-record')
    .map(({ pid, state }) => ({ pid, state }));
}

// Sets up the session for the tests of the calling describe(): takes it
// from the other test files, starts a player of kTones[key] named
// player-KEY for each of PLAYERS and waits until each plays, and with
// MICROPHONE makes a microphone the default source; ends all of it after.
// Returns { dir, players: { KEY: child } }, filled in before the tests run.
function useSession({ players = [], toneSeconds = kToneSeconds, microphone = false } = {}) {
  const session = { dir: undefined, players: {} };
  let release;
  let mic;
  before(async () => {
    release = await holdSession();
    session.dir = scratchDir();
    for (const key of players) {
      const file = toneFile(path.join(session.dir, `${key}.wav`), kTones[key], toneSeconds);
      session.players[key] = startPlayer(file, `player-${key}`);
    }
    for (const key of players) await waitForTarget(`player-${key}`);
    if (microphone) mic = await startMicrophone(session.dir);
  });
  after(async () => {
    stopCapture();
    for (const player of Object.values(session.players)) await stopPlayer(player);
    if (mic) await stopMicrophone(mic);
    release?.();
  });
  return session;
}

module.exports = {
  ...common,
  kRate, kChannels, kSink, kTones, waitUntil, useSession, toneFile, startPlayer, stopPlayer, waitForTarget,
  startClaimingPlayer, pulseServerPid,
  setDefault, nodeId, addSink, clickFile, clickEdges, startMicrophone, stopMicrophone, capture, captureStreamed,
  toFloats, dft, amplitude, hasSilence, db, assertTone, assertAbsent, assertRecords, recorderProcesses,
};
