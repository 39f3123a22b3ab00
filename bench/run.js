'use strict';

// npm run bench: builds what the benchmarks need, runs the fake-recorder
// suite and the real-capture suite as child processes under their wrapper
// scripts, prints the table and writes bench/results.json.
// `npm run bench -- --cpu`: the real capture's CPU alone (about 3 minutes),
// written to bench/results-cpu-VERSION.json for the pw-record that runs
// (under scripts/pipewire-root run ROOT, that root's).
// Needs root (both wrappers do) and the packages the tests need.

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { percentile, median } = require('./lib');

const root = path.join(__dirname, '..');
const kMB = 1e6;
const kMiB = 1024 * 1024;
const kBytesPerSecond = 48000 * 2 * 4;
// Real capture: how far the delivered bytes may fall short of the time
// elapsed, for the recorder's own buffering.
const kRealtimeSlackSeconds = 0.05;

function run(file, args) {
  execFileSync(file, args, { cwd: root, stdio: ['ignore', 'inherit', 'inherit'] });
}

const exists = (file) => fs.existsSync(path.join(root, file));

function build(scratch) {
  if (!exists('build/Release/orvel_capture_audio.node')) run('npm', ['run', 'compile']);
  if (!exists('build-test/fake_pw_record')) {
    if (!exists('build-test/CMakeCache.txt')) run('cmake', ['-S', '.', '-B', 'build-test', '-DBUILD_TESTING=ON']);
    run('cmake', ['--build', 'build-test', '-j2', '--target', 'fake_pw_record']);
  }
  const reader = path.join(scratch, 'pipe_reader');
  run('cc', ['-O2', '-o', reader, path.join(__dirname, 'pipe_reader.c')]);
  return reader;
}

function suite(wrapper, script, args, output) {
  run(path.join(root, 'scripts', wrapper), [process.execPath, path.join(__dirname, script), ...args, output]);
  return JSON.parse(fs.readFileSync(output, 'utf8'));
}

const round = (value, digits = 2) => Number(value.toFixed(digits));

function summarizeThroughput(rounds) {
  const mbps = (side) => rounds[side].map((r) => r.bytes / r.seconds / kMB);
  const medians = Object.fromEntries(Object.keys(rounds).map((side) => [side, median(mbps(side))]));
  return {
    mbPerSecond: Object.fromEntries(Object.keys(rounds).map((side) => [side, mbps(side).map((v) => round(v, 1))])),
    medians,
    moduleVsPipe: { ratio: medians.module / medians.pipe, goal: '>= 0.8', met: medians.module >= 0.8 * medians.pipe },
    moduleVsSpawn: { ratio: medians.module / medians.spawn, goal: '>= 1.5', met: medians.module >= 1.5 * medians.spawn },
  };
}

function summarizeLatency(rounds) {
  const stats = (side) => {
    const all = rounds[side].flatMap((r) => r.latenciesUs);
    return { n: all.length, p50: percentile(all, 50), p99: percentile(all, 99), max: Math.max(...all) };
  };
  const module = stats('module');
  const spawn = stats('spawn');
  return {
    module,
    spawn,
    moduleVsSpawnP50: module.p50 / spawn.p50,
    moduleVsSpawnP99: module.p99 / spawn.p99,
    noSlower: module.p50 <= spawn.p50 && module.p99 <= spawn.p99,
  };
}

function summarizeCpu(rounds) {
  const side = (name) => ({
    cpuMsPerAudioSecond: median(rounds[name].map((r) => r.cpuMs / r.audioSeconds)),
    cpuMsPerSecond: median(rounds[name].map((r) => r.cpuMs / r.seconds)),
    // The recorders' own threads, beside node's.
    recorderMsPerAudioSecond: median(rounds[name].map((r) => r.recorderCpuMs / r.audioSeconds)),
    recorderMsPerSecond: median(rounds[name].map((r) => r.recorderCpuMs / r.seconds)),
    peakRssMiB: median(rounds[name].map((r) => r.peakRssMiB)),
    // From the first block to the end: what capturing itself takes.
    rssGrowthMiB: median(rounds[name].map((r) => r.peakRssMiB - r.rssStartMiB)),
    rounds: rounds[name],
  });
  const module = side('module');
  const spawn = side('spawn');
  const stream = side('stream');
  const stream16 = side('stream16');
  const spawn16 = side('spawn16');
  return {
    module,
    spawn,
    stream,
    stream16,
    spawn16,
    stream16x2: side('stream16x2'),
    stream16x8: side('stream16x8'),
    cpuRatio: module.cpuMsPerAudioSecond / spawn.cpuMsPerAudioSecond,
    peakRssRatio: module.peakRssMiB / spawn.peakRssMiB,
    rssGrowthRatio: module.rssGrowthMiB / spawn.rssGrowthMiB,
    streamVsSpawn: stream.cpuMsPerAudioSecond / spawn.cpuMsPerAudioSecond,
    streamVsModule: stream.cpuMsPerAudioSecond / module.cpuMsPerAudioSecond,
    stream16VsSpawn16: stream16.cpuMsPerAudioSecond / spawn16.cpuMsPerAudioSecond,
    stream16VsStream: stream16.cpuMsPerAudioSecond / stream.cpuMsPerAudioSecond,
  };
}

// Whether a stream left unread kept every chunk: the tone heard, nothing
// lost or out of order, and all that was buffered read afterwards.
function summarizePaused(result) {
  return {
    ...result,
    expectedBytes: result.pauseSeconds * kBytesPerSecond,
    rssGrowthMiB: result.rssPausedMiB - result.rssBeforeMiB,
    complete: result.peak > 0.1 && result.gaps === 0 && result.leftBytes === 0,
  };
}

// A tone check proves nothing if the tone did not come through.
function summarizeBacklog(result, slackBytes) {
  const heard = result.peak === undefined || result.peak > 0.1;
  return {
    ...result,
    rssGrowthMiB: result.rssBlockedMiB - result.rssBeforeMiB,
    complete: heard && result.gaps === 0 && result.bytes >= result.expectedBytes - slackBytes,
  };
}

// Rows of cells, padded into columns.
function table(rows) {
  const widths = rows[0].map((_, i) => Math.max(...rows.map((row) => String(row[i] ?? '').length)));
  return rows.map((row) => row.map((cell, i) => String(cell ?? '').padEnd(widths[i])).join('  ').trimEnd()).join('\n');
}

const kLabels = {
  module: 'module',
  spawn: 'child_process.spawn',
  pipe: 'C pipe reader',
  stream: 'captureStream 48k stereo f32',
  stream16: 'captureStream 16k mono s16',
  spawn16: 'spawned pw-record 16k mono s16',
};
const goal = (met) => (met ? 'met' : 'MISSED');

function throughputReport(t) {
  return [
    'Throughput: fake recorder flooding 32 KiB writes; MB/s reaching the reader, median of 5 x 2 s',
    table([
      ...['module', 'spawn', 'pipe'].map((side) => [kLabels[side], t.medians[side].toFixed(1)]),
      ['module / C pipe reader', t.moduleVsPipe.ratio.toFixed(2), `goal >= 0.8: ${goal(t.moduleVsPipe.met)}`],
      ['module / child_process.spawn', t.moduleVsSpawn.ratio.toFixed(2), `goal >= 1.5: ${goal(t.moduleVsSpawn.met)}`],
    ]),
  ];
}

function latencyReport(latency) {
  const rows = ['idle', 'busy'].flatMap((condition) =>
    ['module', 'spawn'].map((side) => {
      const s = latency[condition][side];
      return [condition, kLabels[side], ...[s.p50, s.p99, s.max].map(Math.round), s.n];
    }),
  );
  const versus = (condition) => {
    const l = latency[condition];
    return `${condition} ${goal(l.noSlower)} (p50 x${l.moduleVsSpawnP50.toFixed(2)}, p99 x${l.moduleVsSpawnP99.toFixed(2)})`;
  };
  return [
    'Latency: an 8-byte clock block every 5 ms; us from the write to the callback, all rounds',
    table([['', '', 'p50', 'p99', 'max', 'blocks'], ...rows]),
    `goal idle module p99 < 1000 us: ${goal(latency.idle.module.p99 < 1000)}`,
    `goal module no slower than child_process.spawn: ${versus('idle')}, ${versus('busy')}`,
  ];
}

function cpuReport(c) {
  const row = (side) => [
    kLabels[side],
    c[side].cpuMsPerAudioSecond.toFixed(2),
    c[side].recorderMsPerAudioSecond.toFixed(2),
    c[side].peakRssMiB.toFixed(1),
    c[side].rssGrowthMiB.toFixed(1),
  ];
  const together = (side, count) => [
    count,
    c[side].cpuMsPerSecond.toFixed(2),
    (c[side].cpuMsPerSecond / count).toFixed(2),
    c[side].recorderMsPerSecond.toFixed(2),
    c[side].peakRssMiB.toFixed(1),
  ];
  return [
    'Real capture of a tone in a private PipeWire session; median of 5 x 4 s per side, after 1 s of warm-up',
    table([
      ['', 'node CPU ms per s of audio', 'recorder CPU ms per s', 'peak RSS MiB', 'RSS growth MiB'],
      row('module'),
      row('spawn'),
      ['module / child_process.spawn', c.cpuRatio.toFixed(2), '', c.peakRssRatio.toFixed(3), c.rssGrowthRatio.toFixed(2)],
      ['goal', `<= 0.6: ${goal(c.cpuRatio <= 0.6)}`, '', `<= 1: ${goal(c.peakRssRatio <= 1)}`, `<= 1: ${goal(c.rssGrowthRatio <= 1)}`],
      ...['stream', 'stream16', 'spawn16'].map(row),
      ['captureStream 48k stereo f32 / child_process.spawn', c.streamVsSpawn.toFixed(2), `goal <= 1: ${goal(c.streamVsSpawn <= 1)}`],
      ['captureStream 16k mono s16 / spawned pw-record 16k', c.stream16VsSpawn16.toFixed(2),
        `goal <= 1: ${goal(c.stream16VsSpawn16 <= 1)}, aim <= 0.8: ${goal(c.stream16VsSpawn16 <= 0.8)}`],
      ['captureStream 16k mono s16 / captureStream 48k', c.stream16VsStream.toFixed(2)],
      ['captureStream 48k stereo f32 / module', c.streamVsModule.toFixed(2)],
    ]),
    '',
    'captureStream 16k mono s16, several at once; CPU per s of wall time',
    table([
      ['streams', 'node CPU ms per s', 'per stream', 'recorders CPU ms per s', 'peak RSS MiB'],
      together('stream16', 1),
      together('stream16x2', 2),
      together('stream16x8', 8),
    ]),
  ];
}

function pausedReport(p) {
  return [
    `captureStream left unread ${p.pauseSeconds} s during real capture: ` +
      `${(p.bufferedBytes / kMiB).toFixed(2)} MiB buffered (${(p.expectedBytes / kMiB).toFixed(2)} MiB of audio), ` +
      `RSS +${p.rssGrowthMiB.toFixed(1)} MiB, every chunk read in order afterwards: ${p.complete ? 'yes' : 'NO'}`,
  ];
}

function backlogReport(flood, realtime) {
  const row = (name, b) => [
    name,
    b.rssBeforeMiB.toFixed(0),
    b.rssBlockedMiB.toFixed(0),
    `+${b.rssGrowthMiB.toFixed(1)}`,
    b.peakRssMiB.toFixed(0),
    (b.bytes / kMiB).toFixed(1),
    b.drainSeconds.toFixed(2),
    b.gaps,
    b.complete ? 'yes' : 'NO',
  ];
  return [
    'Main thread blocked 5 s, module; RSS in MiB',
    table([
      ['', 'before', 'blocked', 'growth', 'peak', 'MiB delivered', 'drain s', 'gaps', 'all in order'],
      row('flood (pattern fill)', flood),
      row('real capture (tone)', realtime),
    ]),
    `real capture: tone peak ${realtime.peak.toFixed(2)}; ${realtime.silences} steps into or out of silence from the player`,
  ];
}

function machineLine(m) {
  return `${m.cpus} x ${m.cpuModel}, load ${m.loadBefore.join(' ')} before and ${m.loadAfter.join(' ')} after, ` +
    `node ${m.node}, PipeWire ${m.pipewire}`;
}

function report(results) {
  return [
    machineLine(results.machine),
    '',
    ...throughputReport(results.throughput),
    '',
    ...latencyReport(results.latency),
    '',
    ...cpuReport(results.cpu),
    '',
    ...backlogReport(results.floodBacklog, results.realtimeBacklog),
    '',
    ...pausedReport(results.streamPaused),
    '',
    `Took ${results.seconds.toFixed(0)} s.`,
  ].join('\n');
}

// The version of the libpipewire that pw-record is linked with.
function pipewireVersion() {
  const text = execFileSync('pw-record', ['--version']).toString();
  return /Linked with libpipewire (\S+)/.exec(text)?.[1] ?? 'unknown';
}

function cpuOnly(started, machine) {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-bench-'));
  try {
    if (!exists('build/Release/orvel_capture_audio.node')) run('npm', ['run', 'compile']);
    const session = suite('pipewire-session', 'session-suite.js', ['--cpu'], path.join(scratch, 'session.json'));
    machine.loadAfter = os.loadavg().map((v) => round(v));
    const results = {
      date: new Date().toISOString(),
      machine,
      cpu: summarizeCpu(session.cpu),
      seconds: Number(process.hrtime.bigint() - started) / 1e9,
    };
    const file = path.join(__dirname, `results-cpu-${machine.pipewire}.json`);
    fs.writeFileSync(file, `${JSON.stringify(results, null, 2)}\n`);
    console.log([machineLine(machine), '', ...cpuReport(results.cpu), '', `Took ${results.seconds.toFixed(0)} s.`].join('\n'));
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

function main() {
  const started = process.hrtime.bigint();
  const machine = {
    cpus: os.cpus().length,
    cpuModel: os.cpus()[0]?.model ?? 'unknown',
    kernel: os.release(),
    node: process.version,
    pipewire: pipewireVersion(),
    loadBefore: os.loadavg().map((v) => round(v)),
  };
  if (process.argv.includes('--cpu')) {
    cpuOnly(started, machine);
    return;
  }
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-bench-'));
  try {
    const reader = build(scratch);
    const fake = suite('with-fake-recorder', 'fake-suite.js', [reader], path.join(scratch, 'fake.json'));
    const session = suite('pipewire-session', 'session-suite.js', [], path.join(scratch, 'session.json'));
    machine.loadAfter = os.loadavg().map((v) => round(v));
    const results = {
      date: new Date().toISOString(),
      machine,
      throughput: summarizeThroughput(fake.throughput),
      latency: { idle: summarizeLatency(fake.latency.idle), busy: summarizeLatency(fake.latency.busy) },
      cpu: summarizeCpu(session.cpu),
      floodBacklog: summarizeBacklog(fake.floodBacklog, 0),
      realtimeBacklog: summarizeBacklog(session.realtimeBacklog, kRealtimeSlackSeconds * kBytesPerSecond),
      streamPaused: summarizePaused(session.streamPaused),
      seconds: Number(process.hrtime.bigint() - started) / 1e9,
    };
    fs.writeFileSync(path.join(__dirname, 'results.json'), `${JSON.stringify(results, null, 2)}\n`);
    console.log(report(results));
  } finally {
    fs.rmSync(scratch, { recursive: true, force: true });
  }
}

main();
