#!/usr/bin/env node
'use strict';

const fs = require('fs');
const { parseArgs } = require('util');
const { listCaptureTargets } = require('../lib/targets');
const { kMediaClass } = require('../lib/pipewire');
const { WavWriter } = require('../lib/wav');
const { openOutput, removeCreated, OutputExistsError } = require('../lib/output');
const { LevelMeter, formatDb } = require('../lib/levels');
const { readStreamOptions, readCallOptions } = require('../lib/options');
const { CaptureStream } = require('../lib/stream');
const { startCall } = require('../lib/call');

const kRate = 48000;
const kChannels = 2;
// ORVEL_RECORD_STALL_MS shortens, for tests, how long the recording waits
// for audio, at the start and between blocks: a linked stream delivers
// blocks at the real-time rate even in silence, so a pause means it is gone.
const kStallMs = Number(process.env.ORVEL_RECORD_STALL_MS) || 2000;
const kMeterIntervalMs = 100;
const kMeterFloorDb = -60;
const kMeterWidth = 20;

const kUsage = `Usage:
  orvel-record [--target ID | --system] [--reconnect] [--seconds N]
               [--format f32|s16] [--force] OUT.wav
  orvel-record (--exclude-app APP | --app APP)... [--reconnect] [--seconds N]
               [--format f32|s16] [--force] OUT.wav
  orvel-record --call [--target MIC] [--app APP]... [--reconnect] [--seconds N]
               [--format f32|s16] [--force] OUT.wav
  orvel-record --list-targets
  orvel-record --help`;

const kHelp = `${kUsage}

Records 48000 Hz stereo audio from PipeWire into the WAV file OUT.wav, or
with OUT.wav "-" to standard output.

  --target ID      What to record, by object serial or node name as
                   --list-targets shows them: a source records what it
                   captures, an application's playback stream that
                   application's sound alone, a sink what it plays. Give a
                   sink by serial: WirePlumber looks names up among sources
                   and streams only. An ID that matches nothing, or a target
                   that goes away, records nothing from then on: never
                   another device.
  --system         Record what the speakers play: the default sink,
                   followed when the user switches output.
  (neither)        Record the default source, on a desktop usually the
                   microphone.
  --exclude-app APP  Record everything the desktop plays except app APP:
                   a pid (that process and its descendants) or an
                   executable's name such as chromium (every process that
                   runs it, and their descendants). Repeat for more apps.
                   --exclude-pid PID is the same for a pid.
  --app APP        Record only what app APP plays (a pid or an executable's
                   name, as above; repeat for more). Players that start
                   later, and the app's next run when given by name, are
                   followed. --list-targets shows each stream's pid and
                   executable.
  --call           Record both sides of a call: the microphone (the default
                   source, or --target MIC) on the left channel and what the
                   desktop plays (or, with --app, those processes alone) on
                   the right, aligned in time.
  --reconnect      When PipeWire goes away (a restart, a crash) or the
                   target is missing, wait up to 30 s for it and record on;
                   one line on stderr tells how long was lost. What was
                   lost is not in the file: the recording joins up.
  --seconds N      Stop after N seconds of audio (decimals allowed).
                   Without it, record until Ctrl-C or SIGTERM.
  --format FORMAT  f32: 32-bit IEEE float (the default); s16: 16-bit PCM.
  --force          Replace OUT.wav if it is an existing file.
  --list-targets   List what can be recorded: sinks, sources and
                   applications' playback streams, with node name, object
                   serial, media class, the pid and executable of each
                   playback stream's app and description; the default
                   sink and default source are marked. A pid that cannot
                   be told (a Pulse client whose claim the kernel does not
                   back) shows as "?" with why.
  -h, --help       Show this help.

OUT.wav is created as a new file. An existing file is refused (status 2)
and left as it is, unless --force replaces it. A device or a FIFO is
written to as it is. In a file the WAV header is kept correct while
recording, so the file is whole however the recording ends; to "-", a
device or a FIFO the header's sizes are 0xFFFFFFFF, as usual for a
streamed WAV. On a terminal a level meter shows each channel's peak and the
time recorded; at the end one line (on stderr) sums up the duration,
frames, and peak and RMS level per channel.

orvel-record stops with status 1 and says why in one line when pw-record is
missing or ends (PipeWire is not running or went away), when the target is
not found, when no audio arrives for 2 seconds (at the start: nothing to
record; later: the target went away), or when a write fails. What was
recorded stays in the output, whole; a file it created itself and recorded
nothing into is removed. Nothing else is ever removed.

Exit status: 0 when the recording (or listing) is done, 1 when it failed,
2 for bad arguments or an existing OUT.wav.`;

// Ends with status 2.
class UsageError extends Error {}

const usage = (message) => new UsageError(`${message} (see orvel-record --help)`);

const kOptions = {
  target: { type: 'string' },
  system: { type: 'boolean' },
  seconds: { type: 'string' },
  format: { type: 'string' },
  force: { type: 'boolean' },
  'exclude-pid': { type: 'string', multiple: true },
  'exclude-app': { type: 'string', multiple: true },
  app: { type: 'string', multiple: true },
  call: { type: 'boolean' },
  reconnect: { type: 'boolean' },
  'list-targets': { type: 'boolean' },
  help: { type: 'boolean', short: 'h' },
};

// parseArgs takes a word starting with "-" for a missing value ("--seconds
// -1"); an option that takes a value is given the next word whatever it is.
function joinValues(argv) {
  const joined = [];
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--') return [...joined, ...argv.slice(i)];
    const name = argv[i].startsWith('--') ? argv[i].slice(2) : null;
    if (kOptions[name]?.type === 'string' && i + 1 < argv.length) joined.push(`${argv[i]}=${argv[++i]}`);
    else joined.push(argv[i]);
  }
  return joined;
}

function parseCommandLine(argv) {
  if (argv.length === 0) return { usage: true };
  let parsed;
  try {
    parsed = parseArgs({ args: joinValues(argv), allowPositionals: true, options: kOptions });
  } catch (error) {
    throw usage(error.message.split('. ')[0]);
  }
  const { values, positionals } = parsed;
  if (values.help) return { help: true };
  if (values['list-targets']) {
    if (argv.length > 1) throw usage('--list-targets takes no other arguments');
    return { listTargets: true };
  }
  const format = values.format ?? 'f32';
  if (format !== 'f32' && format !== 's16') throw usage(`--format must be f32 or s16, not "${format}"`);
  let frameLimit = Infinity;
  if (values.seconds !== undefined) {
    const seconds = Number(values.seconds);
    if (values.seconds.trim() === '' || !Number.isFinite(seconds) || seconds <= 0) {
      throw usage(`--seconds must be a positive number, not "${values.seconds}"`);
    }
    frameLimit = Math.max(1, Math.round(seconds * kRate));
  }
  if (positionals.length === 0) throw usage('give the output file, e.g. out.wav');
  if (positionals.length > 1) throw usage(`give one output file, not ${positionals.length}`);
  return {
    source: readSettings(readSource(values)),
    format,
    frameLimit,
    out: positionals[0],
    force: Boolean(values.force),
  };
}

// What to record, as the options of captureStream (or, with --call, of
// captureCall) and a phrase for messages.
function readSource(values) {
  const { target, system, call } = values;
  const reconnect = Boolean(values.reconnect);
  if (target === '') throw usage('--target needs a node name or object serial');
  if (call) {
    if (system) throw usage('--call records the desktop already: leave out --system');
    if (values['exclude-pid'] || values['exclude-app']) throw usage('--call takes --app, not --exclude-pid or --exclude-app');
    const processes = readProcessOptions(values);
    return { call: true, options: { microphone: target, ...processes, reconnect } };
  }
  if (target !== undefined && system) throw usage('give either --target or --system, not both');
  const processes = readProcessOptions(values);
  if (processes && target !== undefined) throw usage('--target does not combine with --exclude-app, --exclude-pid or --app');
  return { call: false, options: { target, system: Boolean(system), ...processes, reconnect } };
}

// SOURCE's options as the settings of a stream (or, with --call, of a
// call), read by the reader of captureStream's (captureCall's) options.
function readSettings({ call, options }) {
  const common = { stallTimeoutMs: kStallMs, sampleRate: kRate };
  try {
    return call
      ? { call, settings: readCallOptions({ ...options, ...common }, null) }
      : { call, settings: readStreamOptions({ ...options, ...common, channels: kChannels }, null) };
  } catch (error) {
    if (error.code === 'ERR_INVALID_ARG_VALUE') throw usage(error.message);
    throw error;
  }
}

// --exclude-pid, --exclude-app or --app as captureStream's options, or null
// for none. An app is a pid when it is all digits, else an executable's name.
function readProcessOptions(values) {
  const pids = values['exclude-pid'] ?? [];
  for (const pid of pids) {
    if (!/^\d+$/.test(pid) || Number(pid) === 0) throw usage(`a process id is a positive whole number, not "${pid}"`);
  }
  const exclude = [...pids, ...(values['exclude-app'] ?? [])];
  const include = values.app ?? [];
  if (exclude.length === 0 && include.length === 0) return null;
  if (exclude.length > 0 && include.length > 0) throw usage('give either --exclude-app (or --exclude-pid) or --app, not both');
  const apps = exclude.length > 0 ? exclude : include;
  for (const app of apps) {
    if (app === '' || app.includes('/') || /^0+$/.test(app)) throw usage(`an app is a pid or an executable's name without "/", not "${app}"`);
  }
  const ids = apps.filter((app) => /^\d+$/.test(app)).map(Number);
  const names = apps.filter((app) => !/^\d+$/.test(app));
  const [idKey, nameKey] = exclude.length > 0 ? ['excludeProcessId', 'excludeProcessName'] : ['includeProcessId', 'includeProcessName'];
  return { ...(ids.length > 0 && { [idKey]: ids }), ...(names.length > 0 && { [nameKey]: names }) };
}

async function printTargets() {
  const targets = await listCaptureTargets();
  if (targets.length === 0) {
    console.log('No sinks, sources or playback streams found.');
    return;
  }
  const rows = targets.map((target) => {
    const marks = [
      target.isDefaultSink && 'default sink',
      target.isDefaultSource && (target.mediaClass.startsWith(kMediaClass.sink) ? 'default source: its monitor' : 'default source'),
    ].filter(Boolean);
    const pid = target.processId !== null ? String(target.processId) : target.processCheck ? `? (${target.processCheck})` : '';
    const app = target.processName ?? '';
    return [target.serial, target.name, target.mediaClass, pid, app, target.description + (marks.length ? ` [${marks.join(', ')}]` : '')];
  });
  const table = [['SERIAL', 'NAME', 'MEDIA CLASS', 'PID', 'APP', 'DESCRIPTION'], ...rows];
  const widths = table[0].map((_, column) => Math.max(...table.map((row) => row[column].length)));
  for (const row of table) {
    console.log(row.map((cell, column) => (column < row.length - 1 ? cell.padEnd(widths[column]) : cell)).join('  '));
  }
}

function formatTime(frames) {
  const seconds = frames / kRate;
  return `${String(Math.floor(seconds / 60)).padStart(2, '0')}:${(seconds % 60).toFixed(1).padStart(4, '0')}`;
}

function meterLine(peaks, frames) {
  const bars = peaks.map((db, channel) => {
    const filled = Number.isFinite(db)
      ? Math.round(kMeterWidth * Math.min(1, Math.max(0, 1 - db / kMeterFloorDb)))
      : 0;
    const label = Number.isFinite(db) ? db.toFixed(1).padStart(6) : '  -inf';
    return `${'LR'[channel]} [${'#'.repeat(filled)}${'-'.repeat(kMeterWidth - filled)}] ${label} dBFS`;
  });
  return `${bars.join('  ')}  ${formatTime(frames)}`;
}

function summaryLine(name, format, meter) {
  const levels = meter
    .totals()
    .map((level, channel) => `${'LR'[channel]} peak ${formatDb(level.peak)}, RMS ${formatDb(level.rms)}`);
  const seconds = (meter.frames / kRate).toFixed(2);
  return `orvel-record: ${seconds} s, ${meter.frames} frames (${format}) in ${name}; ${levels.join('; ')}`;
}

// The recording's stream of f32 stereo chunks.
function openCapture({ call, settings }) {
  return call ? startCall(settings) : new CaptureStream(settings);
}

async function record(command) {
  const { format, frameLimit, out, force } = command;
  let output;
  try {
    output = openOutput(out, { force });
  } catch (error) {
    if (error instanceof OutputExistsError) throw new UsageError(error.message);
    throw new Error(`cannot write ${out}: ${error.message}`);
  }
  let writer;
  try {
    const { fd, streamed } = output;
    writer = new WavWriter(fd, { format, sampleRate: kRate, channels: kChannels, streamed });
  } catch (error) {
    removeCreated(output);
    fs.closeSync(output.fd);
    throw new Error(`writing the WAV header to ${output.name} failed: ${error.message}`);
  }
  const meter = new LevelMeter(kChannels);
  const onTerminal = process.stderr.isTTY;
  let finished = false;
  let meterTimer;
  let capture;

  // ERROR: the recording failed. What was recorded stays; a file of ours
  // with nothing in it goes.
  const finish = (error) => {
    if (finished) return;
    finished = true;
    capture.destroy();
    clearInterval(meterTimer);
    if (onTerminal) process.stderr.write('\r\x1b[2K');
    if (!error) {
      writer.close();
      console.error(summaryLine(output.name, format, meter));
      return;
    }
    process.exitCode = 1;
    let kept = '';
    if (meter.frames > 0) kept = `; the ${(meter.frames / kRate).toFixed(2)} s recorded are in ${output.name}`;
    else removeCreated(output);
    writer.close();
    console.error(`orvel-record: ${error.message}${kept}`);
  };

  const onChunk = (chunk) => {
    if (finished) return;
    // A stream's chunks start 4-byte aligned: a view needs no copy.
    let samples = new Float32Array(chunk.buffer, chunk.byteOffset, chunk.length / 4);
    const room = (frameLimit - meter.frames) * kChannels;
    if (samples.length > room) samples = samples.subarray(0, room);
    try {
      writer.write(samples);
    } catch (error) {
      finish(new Error(`writing audio to ${output.name} failed: ${error.message}`));
      return;
    }
    meter.add(samples);
    if (meter.frames >= frameLimit) finish();
  };

  capture = openCapture(command.source)
    .on('data', onChunk)
    .on('error', finish)
    .on('end', () => finish())
    .on('reconnect', ({ gapMs, error }) => {
      if (onTerminal) process.stderr.write('\r\x1b[2K');
      console.error(`orvel-record: reconnected after ${(gapMs / 1000).toFixed(1)} s without audio (${error.message})`);
    })
    .on('warning', (warning) => {
      if (onTerminal) process.stderr.write('\r\x1b[2K');
      console.error(`orvel-record: warning: ${warning.message}`);
    });
  // Ctrl-C or SIGTERM: what the capture still holds is written, then it ends.
  const stop = () => capture.stop();
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
  if (onTerminal) {
    meterTimer = setInterval(() => {
      process.stderr.write(`\r\x1b[2K${meterLine(meter.takeRecentPeaks(), meter.frames)}`);
    }, kMeterIntervalMs);
  }
}

async function main() {
  try {
    const command = parseCommandLine(process.argv.slice(2));
    if (command.usage) {
      console.error(`${kUsage}\n(orvel-record --help tells more)`);
      process.exitCode = 2;
    } else if (command.help) console.log(kHelp);
    else if (command.listTargets) await printTargets();
    else await record(command);
  } catch (error) {
    console.error(`orvel-record: ${error.message}`);
    process.exitCode = error instanceof UsageError ? 2 : 1;
  }
}

main();
