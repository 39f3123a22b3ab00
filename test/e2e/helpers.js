'use strict';

// Shared by the end-to-end tests, which run inside scripts/pipewire-session:
// known tones played by real pw-play processes, capture through the module,
// and measurement of what came back.

const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { startCapture, stopCapture, captureStream } = require('../..');
const { listCaptureTargets } = require('../../lib/targets');
const { WavWriter } = require('../../lib/wav');

const RATE = 48000;
const CHANNELS = 2;
const CAPTURE = { rate: RATE, channels: CHANNELS };
const SINK = 'orvel-test-sink';
// The first part of a capture is left out of measurements: links and
// buffers settle then, more slowly on a loaded machine.
const WARM_UP_SECONDS = 0.5;
const WAIT_MS = 15000;
// Long enough for the other test files to finish with the session.
const SESSION_WAIT_MS = 300000;
const TONE_SECONDS = 60;

// What each player plays: [frequency in Hz, amplitude] per channel. Every
// frequency makes whole cycles in 0.1 s, so windows of whole tenths of a
// second measure each tone without leakage from the others.
const TONES = {
  a: { left: [1000, 0.5], right: [440, 0.25] },
  b: { left: [300, 0.2], right: [300, 0.2] },
  // Above the 8 kHz that 16 kHz audio can carry.
  high: { left: [9000, 0.5], right: [9000, 0.5] },
  mic: { left: [700, 0.3], right: [700, 0.3] },
};

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitUntil(what, check, timeoutMs = WAIT_MS) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const result = await check();
    if (result) return result;
    if (Date.now() > deadline) throw new Error(`${what} did not happen within ${timeoutMs / 1000} s`);
    await sleep(100);
  }
}

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
  await waitUntil('taking the session from the other test files', take, SESSION_WAIT_MS);
  const release = () => {
    process.off('exit', release);
    fs.rmSync(lock, { recursive: true, force: true });
  };
  process.on('exit', release);
  return release;
}

function scratchDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-e2e-'));
}

function writeTone(file, { left, right }, seconds = TONE_SECONDS) {
  const frames = seconds * RATE;
  const samples = new Float32Array(frames * CHANNELS);
  for (let i = 0; i < frames; i++) {
    samples[2 * i] = left[1] * Math.sin((2 * Math.PI * left[0] * i) / RATE);
    samples[2 * i + 1] = right[1] * Math.sin((2 * Math.PI * right[0] * i) / RATE);
  }
  const writer = new WavWriter(file, { format: 'f32', sampleRate: RATE, channels: CHANNELS });
  writer.write(samples);
  writer.close();
  return file;
}

const players = new Set();
process.on('exit', () => {
  for (const player of players) player.kill('SIGKILL');
});

// Plays FILE with pw-play under node.name NAME into SINK. A microphone is a
// player whose node is a source rather than a stream into a sink.
function startPlayer(file, name, { microphone = false, sink = SINK } = {}) {
  const props = microphone
    ? `{ node.name = "${name}" node.description = "Orvel test microphone" media.class = "Audio/Source" }`
    : `{ node.name = "${name}" }`;
  const args = microphone ? ['-P', props, file] : ['-P', props, '--target', sink, file];
  const child = spawn('pw-play', args, { stdio: ['ignore', 'ignore', 'inherit'] });
  players.add(child);
  child.on('exit', () => players.delete(child));
  return child;
}

// Ends CHILD, if it was started and still runs.
async function stopPlayer(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const exited = new Promise((resolve) => child.once('exit', resolve));
  process.kill(child.pid, 'SIGTERM');
  await exited;
}

async function waitForTarget(name, check = (target) => target.state === 'running') {
  return waitUntil(`node ${name} appearing`, async () =>
    (await listCaptureTargets()).find((target) => target.name === name && check(target)),
  );
}

// The user's choice of default, as a desktop's settings make it. WirePlumber
// 0.4 ignores a value that is not typed as JSON.
function setDefault(kind, name) {
  execFileSync('pw-metadata', ['-n', 'default', '0', `default.configured.audio.${kind}`, JSON.stringify({ name }), 'Spa:String:JSON']);
}

function clearDefaultSource() {
  execFileSync('pw-metadata', ['-n', 'default', '-d', '0', 'default.configured.audio.source']);
}

// The node ids of the graph by node name; ids are not serials.
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
  const child = startPlayer(writeTone(path.join(dir, 'mic.wav'), TONES.mic), 'orvel-test-mic', {
    microphone: true,
  });
  await waitForTarget('orvel-test-mic', () => true);
  setDefault('source', 'orvel-test-mic');
  await waitForTarget('orvel-test-mic', (target) => target.isDefaultSource);
  return child;
}

async function stopMicrophone(child) {
  await stopPlayer(child);
  clearDefaultSource();
  await waitForTarget(SINK, (target) => target.isDefaultSource);
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
    const wanted = Math.round((WARM_UP_SECONDS + seconds) * RATE) * CHANNELS;
    let count = 0;
    const timer = setTimeout(() => {
      stopCapture();
      reject(new Error(`only ${count} of ${wanted} samples arrived within ${WAIT_MS / 1000} s`));
    }, WAIT_MS);
    const started = startCapture(options, (pcm, sampleRate, channels) => {
      blocks.push({ pcm, sampleRate, channels });
      count += pcm.length / 4;
      if (count < wanted) return;
      clearTimeout(timer);
      stopCapture();
      const samples = toFloats(blocks.map((block) => block.pcm));
      resolve({ blocks, samples: samples.subarray(WARM_UP_SECONDS * RATE * CHANNELS, wanted) });
    });
    assert.equal(started, true);
  });
}

// As capture(), through captureStream(OPTIONS) in its default format;
// resolves with the samples after the warm-up.
function captureStreamed(options, seconds) {
  return new Promise((resolve, reject) => {
    const stream = captureStream(options);
    const chunks = [];
    const wanted = Math.round((WARM_UP_SECONDS + seconds) * RATE) * CHANNELS * 4;
    let bytes = 0;
    const timer = setTimeout(() => {
      stream.destroy();
      reject(new Error(`only ${bytes} of ${wanted} bytes arrived within ${WAIT_MS / 1000} s`));
    }, WAIT_MS);
    stream.on('error', reject);
    stream.on('data', (chunk) => {
      chunks.push(chunk);
      bytes += chunk.length;
      if (bytes < wanted) return;
      clearTimeout(timer);
      stream.destroy();
      resolve(toFloats(chunks).subarray(WARM_UP_SECONDS * RATE * CHANNELS, wanted / 4));
    });
  });
}

// Amplitude and phase of FREQUENCY in one channel of interleaved SAMPLES
// whose first frame is frame ORIGIN of a longer stream, so that windows of
// one stream share a time base. LAYOUT: the samples' rate and channels,
// by default the capture's.
function dft(samples, channel, frequency, origin = 0, { rate, channels } = CAPTURE) {
  let re = 0;
  let im = 0;
  const step = (2 * Math.PI * frequency) / rate;
  const frames = Math.floor(samples.length / channels);
  for (let i = 0; i < frames; i++) {
    const value = samples[i * channels + channel];
    re += value * Math.cos(step * (origin + i));
    im -= value * Math.sin(step * (origin + i));
  }
  return { amplitude: (2 * Math.hypot(re, im)) / frames, phase: Math.atan2(im, re) };
}

// The amplitude of FREQUENCY in one channel, as the median over windows of
// 0.1 s (whole cycles of every tone here): a player that is late for a
// moment on a loaded machine spoils a window or two, not the measurement.
function amplitude(samples, channel, frequency, layout = CAPTURE) {
  const size = (layout.rate / 10) * layout.channels;
  const amplitudes = [];
  for (let from = 0; from + size <= samples.length; from += size) {
    amplitudes.push(dft(samples.subarray(from, from + size), channel, frequency, 0, layout).amplitude);
  }
  assert.ok(amplitudes.length > 0, 'less than 0.1 s to measure');
  amplitudes.sort((a, b) => a - b);
  return amplitudes[Math.floor(amplitudes.length / 2)];
}

// Whether one channel of interleaved SAMPLES holds a run of exact zeros,
// which no tone has but the silence PipeWire puts in for a late player does.
function hasSilence(samples, channel) {
  let run = 0;
  for (let i = channel; i < samples.length; i += CHANNELS) {
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

// pw-record processes that are children of this process, zombies included.
function recorderProcesses() {
  const found = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    let stat;
    try {
      stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
    } catch {
      continue;
    }
    const name = stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(')'));
    const [state, parent] = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    if (name === 'pw-record' && Number(parent) === process.pid) found.push({ pid: Number(entry), state });
  }
  return found;
}

module.exports = {
  RATE,
  CHANNELS,
  SINK,
  TONES,
  sleep,
  waitUntil,
  holdSession,
  scratchDir,
  writeTone,
  startPlayer,
  stopPlayer,
  waitForTarget,
  setDefault,
  nodeId,
  addSink,
  startMicrophone,
  stopMicrophone,
  toFloats,
  capture,
  captureStreamed,
  dft,
  amplitude,
  hasSilence,
  db,
  assertTone,
  assertAbsent,
  recorderProcesses,
};
