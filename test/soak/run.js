'use strict';

// Soak: real capture from a private PipeWire session (scripts/pipewire-session,
// which this script re-runs itself under) for ORVEL_SOAK_SECONDS (default
// 600) while pw-play plays a tone into the session's sink, with a callback
// that now and then stalls the JavaScript thread for 200 ms. Reports samples
// received against the time captured, the tone, RSS over time, descriptors
// and threads before and after; exits non-zero when one of them is off.

const { spawn, spawnSync } = require('node:child_process');
const path = require('node:path');

const root = path.join(__dirname, '..', '..');
const kSink = 'orvel-test-sink';
const kRate = 48000;
const kChannels = 2;
const kToneHz = 440;
const kToneAmplitude = 0.5;
const kStallMs = 200;
const kStallsPerSecond = 0.2;
const kRatioTolerance = 0.01;
const kRssGrowthLimitMiB = 16;
// Links and buffers settle in the first moments of a stream; samples are
// counted from the first block after this.
const kWarmUpMs = 2000;

if (!process.env.ORVEL_SOAK_IN_SESSION) {
  const { status } = spawnSync(path.join(root, 'scripts', 'pipewire-session'), [process.execPath, __filename], {
    stdio: 'inherit',
    env: { ...process.env, ORVEL_SOAK_IN_SESSION: '1' },
  });
  process.exit(status ?? 1);
}

const { startCapture, stopCapture } = require(root);
const { writeTone } = require('../../lib/wav');
const { sleep, scratchDir, childPids, countFds, countThreads } = require('../helpers');

const seconds = Number(process.env.ORVEL_SOAK_SECONDS || 600);
const rssMiB = () => process.memoryUsage.rss() / (1 << 20);

// Plays the tone over and over until stopped.
function playTone(file) {
  const player = { plays: 0, child: null, stopped: false };
  const play = () => {
    if (player.stopped) return;
    player.plays++;
    player.child = spawn('pw-play', ['--target', kSink, file], { stdio: 'ignore' });
    player.child.on('exit', play);
  };
  play();
  player.stop = async () => {
    player.stopped = true;
    const { child } = player;
    if (child.exitCode === null && child.signalCode === null) {
      const exited = new Promise((resolve) => child.once('exit', resolve));
      child.kill('SIGTERM');
      await exited;
    }
  };
  return player;
}

// RSS samples as rows of a chart, highest first.
function chart(samples, sampleSeconds, height = 10) {
  const values = samples.map((s) => s.rss);
  const low = Math.min(...values);
  const high = Math.max(...values);
  const span = Math.max(high - low, 1);
  const level = (v) => Math.round(((v - low) / span) * (height - 1));
  const rows = [];
  for (let row = height - 1; row >= 0; row--) {
    const label = (low + (span * row) / (height - 1)).toFixed(1).padStart(7);
    rows.push(`${label} |${values.map((v) => (level(v) === row ? '*' : ' ')).join('')}`);
  }
  rows.push(`${' '.repeat(8)}+${'-'.repeat(values.length)}`);
  rows.push(`${' '.repeat(9)}0 s${' '.repeat(Math.max(values.length - 8, 1))}${Math.round(samples.length * sampleSeconds)} s`);
  return rows.join('\n');
}

async function main() {
  const tone = writeTone(path.join(scratchDir(), 'tone.wav'), Array(kChannels).fill([kToneHz, kToneAmplitude]), 10);

  const fdsBefore = countFds();
  const threadsBefore = countThreads();
  const stats = { samples: 0, blocks: 0, stalls: 0, sumSquares: 0, crossings: 0, voiced: 0, longestGapMs: 0 };
  let streamSamples = 0;
  let firstBlockAt = 0;
  let countedFrom = 0;
  let lastBlockAt = 0;
  let lastLeft = 0;
  let draining = false;
  const waiter = new Int32Array(new SharedArrayBuffer(4));

  // Blocks may end mid-frame: a sample's channel follows from its place in
  // the stream. The left channel's zero crossings, over the time it was not
  // silent (between two plays), give the tone's pitch.
  const measureTone = (samples) => {
    for (let i = 0; i < samples.length; i++) stats.sumSquares += samples[i] * samples[i];
    for (let i = (kChannels - (streamSamples % kChannels)) % kChannels; i < samples.length; i += kChannels) {
      if (samples[i] !== 0) stats.voiced++;
      if ((lastLeft < 0) !== (samples[i] < 0)) stats.crossings++;
      lastLeft = samples[i];
    }
  };

  const player = playTone(tone);
  const started = startCapture({}, (pcm) => {
    const now = Date.now();
    const samples = new Float32Array(pcm.buffer, pcm.byteOffset, pcm.length / 4);
    if (firstBlockAt === 0) firstBlockAt = now;
    if (countedFrom) stats.samples += samples.length;
    else if (now - firstBlockAt >= kWarmUpMs) countedFrom = now;
    if (lastBlockAt) stats.longestGapMs = Math.max(stats.longestGapMs, now - lastBlockAt);
    lastBlockAt = now;
    stats.blocks++;
    if (countedFrom) measureTone(samples);
    streamSamples += samples.length;
    const blockSeconds = samples.length / kChannels / kRate;
    // No stalls around the points counted from and to, so that blocks then
    // arrive on time.
    if (countedFrom && !draining && Math.random() < kStallsPerSecond * blockSeconds) {
      stats.stalls++;
      Atomics.wait(waiter, 0, 0, kStallMs);
    }
  });
  if (!started) throw new Error('startCapture returned false');

  const sampleSeconds = Math.max(1, seconds / 60);
  const rss = [];
  const sampler = setInterval(() => rss.push({ at: Date.now(), rss: rssMiB() }), sampleSeconds * 1000);
  const fdsCapturing = countFds();
  const threadsCapturing = countThreads();
  await sleep(seconds * 1000);
  // No stalls at the end, so that little is left queued when the capture stops.
  draining = true;
  await sleep(1000);
  stopCapture();
  const stoppedAt = Date.now();
  clearInterval(sampler);
  await player.stop();
  await sleep(200);

  const captured = countedFrom ? (stoppedAt - countedFrom) / 1000 : 0;
  const expected = Math.round(captured * kRate * kChannels);
  const ratio = stats.samples / expected;
  const rmsValue = Math.sqrt(stats.sumSquares / Math.max(stats.samples, 1));
  const frequency = stats.crossings / 2 / (stats.voiced / kRate);
  const fdsAfter = countFds();
  const threadsAfter = countThreads();
  const leftChildren = childPids();
  const early = rss[Math.floor(rss.length / 10)]?.rss ?? rssMiB();
  const last = rss.at(-1)?.rss ?? rssMiB();

  const failures = [];
  if (!(Math.abs(ratio - 1) <= kRatioTolerance)) failures.push(`samples off by more than ${kRatioTolerance * 100}%`);
  if (!(rmsValue > kToneAmplitude / Math.SQRT2 / 2)) failures.push('the tone was not captured');
  if (!(Math.abs(frequency - kToneHz) < kToneHz * 0.05)) failures.push(`the tone is not near ${kToneHz} Hz`);
  if (fdsAfter !== fdsBefore) failures.push('descriptors differ');
  if (threadsAfter !== threadsBefore) failures.push('threads differ');
  if (leftChildren.length > 0) failures.push(`child processes left: ${leftChildren.join(' ')}`);
  if (last - early > kRssGrowthLimitMiB) failures.push(`RSS grew by more than ${kRssGrowthLimitMiB} MiB`);

  console.log(`soak: ${seconds} s of capture from ${kSink}'s monitor, a ${kToneHz} Hz tone from pw-play ` +
    `(${player.plays} plays), ${stats.stalls} stalls of ${kStallMs} ms in the callback`);
  console.log(`samples: received ${stats.samples}, expected ${expected} for ${captured.toFixed(1)} s ` +
    `(ratio ${ratio.toFixed(5)}); ${stats.blocks} blocks, longest gap between blocks ${stats.longestGapMs} ms`);
  console.log(`tone: RMS ${rmsValue.toFixed(3)} (a full tone: ${(kToneAmplitude / Math.SQRT2).toFixed(3)}), ` +
    `about ${frequency.toFixed(1)} Hz`);
  console.log(`descriptors: ${fdsBefore} before, ${fdsCapturing} capturing, ${fdsAfter} after; ` +
    `threads: ${threadsBefore} before, ${threadsCapturing} capturing, ${threadsAfter} after`);
  console.log(`RSS (MiB), one sample every ${sampleSeconds.toFixed(0)} s: ${early.toFixed(1)} at 10%, ` +
    `${last.toFixed(1)} at the end, ${Math.max(...rss.map((s) => s.rss)).toFixed(1)} at most`);
  if (rss.length > 1) console.log(chart(rss, sampleSeconds));
  console.log(failures.length ? `soak: FAILED: ${failures.join('; ')}` : 'soak: passed');
  process.exitCode = failures.length ? 1 : 0;
}

main().catch((error) => {
  console.error(error);
  stopCapture();
  process.exit(1);
});
