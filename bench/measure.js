'use strict';

// One side of one round, in a process of its own so that every side starts
// from a fresh heap and its peak RSS is its own. The recorder is whatever
// answers at pw-record's path (the fake, under scripts/with-fake-recorder)
// and inherits this process's ORVEL_FAKE_* settings.
//
//   node bench/measure.js TASK SIDE OPTIONS_JSON
//
// TASK: throughput | latency | cpu | backlog | paused; SIDE: module | spawn,
// spawn16 (the recorder asked for 16 kHz mono s16), stream | stream16
// (captureStream at 48 kHz stereo f32, 16 kHz mono s16), or stream16x2 |
// stream16x8 (that many 16 kHz streams at once). OPTIONS_JSON's `raw`: the recorder writes a
// header to stdout unless given -a (PipeWire 1.x).
// Prints one line of JSON.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const { setTimeout: sleep } = require('node:timers/promises');

const kRecorderArgs = {
  spawn: ['--rate', '48000', '--channels', '2', '--format', 'f32'],
  spawn16: ['--rate', '16000', '--channels', '1', '--format', 's16'],
};
const kBytesPerSecond = 48000 * 2 * 4;
const kMiB = 1024 * 1024;

// The module's own search order, so both sides run the same binary.
function recorderPath() {
  const candidates = ['/usr/bin/pw-record', '/bin/pw-record', '/usr/local/bin/pw-record'];
  return candidates.find((file) => fs.existsSync(file)) ?? 'pw-record';
}

// What a user would write without the module: spawn the recorder and turn
// stdout's 'data' events into whole-sample blocks.
function startSpawn(side, onBlock, raw) {
  const args = [...kRecorderArgs[side], ...(raw ? ['-a'] : []), '-'];
  const child = spawn(recorderPath(), args, { stdio: ['ignore', 'pipe', 'ignore'] });
  let rest = null;
  child.stdout.on('data', (data) => {
    const bytes = rest ? Buffer.concat([rest, data]) : data;
    const whole = bytes.length - (bytes.length % 4);
    rest = whole < bytes.length ? bytes.subarray(whole) : null;
    if (whole > 0) onBlock(bytes.subarray(0, whole));
  });
  return () => {
    child.stdout.destroy();
    child.kill();
  };
}

// captureStream's options on the sides that read through it, one per
// stream.
const kSpeech = { format: 's16', channels: 1, sampleRate: 16000 };
const kStreamOptions = {
  stream: [{}],
  stream16: [kSpeech],
  stream16x2: Array(2).fill(kSpeech),
  stream16x8: Array(8).fill(kSpeech),
};

// Starts a capture on one side; onBlock gets each block as a Buffer.
// Returns the function that stops it.
function start(side, onBlock, raw = false) {
  if (side in kRecorderArgs) return startSpawn(side, onBlock, raw);
  const capture = require('..');
  if (side in kStreamOptions) {
    const streams = kStreamOptions[side].map((options) => capture.captureStream(options));
    for (const stream of streams) stream.on('data', onBlock);
    return () => streams.forEach((stream) => stream.destroy());
  }
  capture.startCapture({}, onBlock);
  return () => capture.stopCapture();
}

// A Float32Array over a block; a view needs 4-byte alignment, so an
// unaligned block is copied first.
function floats(block) {
  const aligned = block.byteOffset % 4 === 0 ? block : Buffer.from(block);
  return new Float32Array(aligned.buffer, aligned.byteOffset, aligned.length / 4);
}

const int16s = (block) => new Int16Array(block.buffer, block.byteOffset, block.length / 2);

// Bytes per second of audio on each side, and the view an application
// would make of a block.
const layoutOf = (side) =>
  side.includes('16') ? { bytesPerSecond: 16000 * 2, view: int16s } : { bytesPerSecond: kBytesPerSecond, view: floats };

// The block consumer of the throughput and CPU runs: a view and a count,
// the same on every side.
function counter(view = floats) {
  const state = { bytes: 0 };
  let arrived;
  state.first = new Promise((resolve) => (arrived = resolve));
  state.onBlock = (block) => {
    state.bytes += view(block).byteLength;
    arrived();
  };
  return state;
}

// Keeps the main thread busy. performance.now() allocates nothing once the
// loop is optimised, so the loop adds no RSS of its own.
function spin(ms) {
  const end = performance.now() + ms;
  while (performance.now() < end);
}

function seconds(from) {
  return Number(process.hrtime.bigint() - from) / 1e9;
}

// The recorders this process started, and the CPU time their threads have
// used, in ns (the scheduler's count: finer than the clock ticks of
// /proc/PID/stat, where a recorder's second of audio is a tick or two).
function recorderPids() {
  const pids = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
      const comm = stat.slice(stat.indexOf('(') + 1, stat.lastIndexOf(')'));
      const ppid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
      if (ppid === process.pid && comm === 'pw-record') pids.push(entry);
    } catch {
      // gone meanwhile
    }
  }
  return pids;
}

function cpuNs(pids) {
  let total = 0;
  for (const pid of pids) {
    try {
      for (const task of fs.readdirSync(`/proc/${pid}/task`)) {
        total += Number(fs.readFileSync(`/proc/${pid}/task/${task}/schedstat`, 'utf8').split(' ')[0]);
      }
    } catch {
      // gone meanwhile
    }
  }
  return total;
}

const rssMiB = () => process.memoryUsage.rss() / kMiB;
const peakRssMiB = () => process.resourceUsage().maxRSS / 1024;

async function throughput(side, { warmupMs, windowMs }) {
  const count = counter();
  const stop = start(side, count.onBlock);
  await count.first;
  await sleep(warmupMs);
  const [bytes0, t0] = [count.bytes, process.hrtime.bigint()];
  await sleep(windowMs);
  const [bytes, elapsed] = [count.bytes - bytes0, seconds(t0)];
  stop();
  return { bytes, seconds: elapsed };
}

// Each 8 bytes of the clock stream is the writer's CLOCK_MONOTONIC time in
// ns, the clock process.hrtime.bigint() reads.
async function latency(side, { skip, blocks, busy }) {
  const latenciesUs = [];
  let seen = 0;
  let rest = null;
  let done;
  const finished = new Promise((resolve) => (done = resolve));
  const stop = start(side, (block) => {
    const now = process.hrtime.bigint();
    const bytes = rest ? Buffer.concat([rest, block]) : block;
    let at = 0;
    for (; at + 8 <= bytes.length; at += 8) {
      if (seen++ >= skip) latenciesUs.push(Number(now - bytes.readBigUInt64LE(at)) / 1000);
    }
    rest = at < bytes.length ? bytes.subarray(at) : null;
    if (latenciesUs.length >= blocks) done();
  });
  const load = busy ? setInterval(() => spin(2), 10) : null;
  await finished;
  clearInterval(load);
  stop();
  return { latenciesUs: latenciesUs.slice(0, blocks) };
}

async function cpu(side, { warmupMs = 0, windowMs, raw }) {
  const layout = layoutOf(side);
  const count = counter(layout.view);
  const stop = start(side, count.onBlock, raw);
  await count.first;
  await sleep(warmupMs);
  const recorders = recorderPids();
  const [bytes0, t0, cpu0, rss0, recorder0] = [count.bytes, process.hrtime.bigint(), process.cpuUsage(), rssMiB(), cpuNs(recorders)];
  await sleep(windowMs);
  const used = process.cpuUsage(cpu0);
  const recorderMs = (cpuNs(recorders) - recorder0) / 1e6;
  const [bytes, elapsed] = [count.bytes - bytes0, seconds(t0)];
  stop();
  return {
    cpuMs: (used.user + used.system) / 1000,
    recorderCpuMs: recorderMs,
    recorders: recorders.length,
    audioSeconds: bytes / layout.bytesPerSecond,
    seconds: elapsed,
    rssStartMiB: rss0,
    peakRssMiB: peakRssMiB(),
  };
}

// The fake's pattern fill: byte i of the stream is i % 251. A block that
// does not continue it counts as a gap.
function patternCheck(found) {
  const reference = Buffer.alloc(251 + 65536);
  for (let i = 0; i < reference.length; i++) reference[i] = i % 251;
  let offset = 0;
  return (block) => {
    const start = offset % 251;
    offset += block.length;
    if (block.length > 65536 || !block.equals(reference.subarray(start, start + block.length))) found.gaps++;
  };
}

// A sine tone: a block lost or out of order shows as a step between two
// samples of a channel larger than the tone's steepest step at full scale.
// Steps into or out of exact silence are the player's underruns (or the
// stream's start), which the recorder recorded: they are counted apart.
function sineCheck(hz, found) {
  const limit = 2 * Math.sin((Math.PI * hz) / 48000) * 1.1;
  const last = [null, null];
  return (block) => {
    const samples = floats(block);
    for (let i = 0; i < samples.length; i++) {
      const [value, before] = [samples[i], last[i % 2]];
      found.peak = Math.max(found.peak, Math.abs(value));
      if (before !== null && Math.abs(value - before) > limit) {
        if (value === 0 || before === 0) found.silences++;
        else found.gaps++;
      }
      last[i % 2] = value;
    }
  };
}

// The main thread blocked for blockMs while the recorder keeps writing:
// the RSS the queued blocks take, and whether every byte arrives in order
// once the thread is free again.
async function backlog(side, { blockMs, drainMs, totalBytes, toneHz }) {
  const found = toneHz ? { gaps: 0, silences: 0, peak: 0 } : { gaps: 0 };
  const check = toneHz ? sineCheck(toneHz, found) : patternCheck(found);
  const count = counter();
  spin(300); // optimises the loop before anything is measured
  const stop = start(side, (block) => {
    check(block);
    count.onBlock(block);
  });
  await count.first;
  const [t0, rssBefore] = [process.hrtime.bigint(), rssMiB()];
  spin(blockMs);
  const [t1, rssBlocked] = [process.hrtime.bigint(), rssMiB()];
  if (totalBytes) {
    const deadline = Date.now() + drainMs;
    while (count.bytes < totalBytes && Date.now() < deadline) await sleep(10);
  } else {
    await sleep(drainMs);
  }
  const [bytes, drainSeconds, elapsed] = [count.bytes, seconds(t1), seconds(t0)];
  stop();
  return {
    rssBeforeMiB: rssBefore,
    rssBlockedMiB: rssBlocked,
    rssAfterMiB: rssMiB(),
    peakRssMiB: peakRssMiB(),
    bytes,
    // Real-time capture: what the recorder produced since the first block.
    expectedBytes: totalBytes ?? Math.round(elapsed * kBytesPerSecond),
    drainSeconds,
    ...found,
  };
}

// A captureStream that nobody reads for pauseMs while the event loop runs
// free: what its buffer holds then and the RSS it takes, and whether every
// chunk comes in order once it is read again.
async function paused(side, { pauseMs, drainMs, toneHz }) {
  const found = { gaps: 0, silences: 0, peak: 0 };
  const check = sineCheck(toneHz, found);
  const count = counter();
  const stream = require('..').captureStream();
  stream.on('data', (chunk) => {
    check(chunk);
    count.onBlock(chunk);
  });
  await count.first;
  stream.pause();
  const rssBefore = rssMiB();
  await sleep(pauseMs);
  const [bufferedBytes, rssPaused] = [stream.readableLength, rssMiB()];
  stream.resume();
  await sleep(drainMs);
  const leftBytes = stream.readableLength;
  stream.destroy();
  return {
    pauseSeconds: pauseMs / 1000,
    bufferedBytes,
    rssBeforeMiB: rssBefore,
    rssPausedMiB: rssPaused,
    peakRssMiB: peakRssMiB(),
    leftBytes,
    ...found,
  };
}

const tasks = { throughput, latency, cpu, backlog, paused };

async function main() {
  const [task, side, options] = process.argv.slice(2);
  const result = await tasks[task](side, JSON.parse(options ?? '{}'));
  process.stdout.write(`${JSON.stringify(result)}\n`);
  process.exit(0);
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
