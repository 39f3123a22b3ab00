#!/usr/bin/env node
'use strict';

const fs = require('fs');
const { parseArgs } = require('util');
const { listCaptureTargets } = require('../lib/targets');
const { WavWriter } = require('../lib/wav');
const { openOutput, removeCreated, OutputExistsError } = require('../lib/output');
const { FrameAligner } = require('../lib/frames');
const { LevelMeter, formatDb } = require('../lib/levels');
const { explainExit } = require('../lib/recorder-end');

const SAMPLE_RATE = 48000;
const CHANNELS = 2;
// ORVEL_RECORD_NO_AUDIO_MS and ORVEL_RECORD_STALL_MS shorten, for tests, the
// wait for a first block and for each next one. A linked stream delivers
// blocks at the real-time rate even in silence, so a pause means it is gone.
const kNoAudioMs = Number(process.env.ORVEL_RECORD_NO_AUDIO_MS) || 3000;
const kStallMs = Number(process.env.ORVEL_RECORD_STALL_MS) || 2000;
const METER_INTERVAL_MS = 100;
const METER_FLOOR_DB = -60;
const METER_WIDTH = 20;

const kUsage = `Usage:
  orvel-record [--target ID | --system] [--seconds N] [--format f32|s16]
               [--force] OUT.wav
  orvel-record (--exclude-pid PID | --app PID)... [--seconds N]
               [--format f32|s16] [--force] OUT.wav
  orvel-record --list-targets
  orvel-record --help`;

const HELP = `${kUsage}

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
  --exclude-pid PID  Record everything the desktop plays except process
                   PID and its descendants (repeat for more processes).
  --app PID        Record only what process PID and its descendants play
                   (repeat for more). Players that start later are
                   followed. --list-targets shows the pids.
  --seconds N      Stop after N seconds of audio (decimals allowed).
                   Without it, record until Ctrl-C or SIGTERM.
  --format FORMAT  f32: 32-bit IEEE float (the default); s16: 16-bit PCM.
  --force          Replace OUT.wav if it is an existing file.
  --list-targets   List what can be recorded: sinks, sources and
                   applications' playback streams, with node name, object
                   serial, media class, the pid of each playback stream's
                   process and description; the default sink and default
                   source are marked.
  -h, --help       Show this help.

OUT.wav is created as a new file. An existing file is refused (status 2)
and left as it is, unless --force replaces it. A device or a FIFO is
written to as it is. In a file the WAV header is kept correct while
recording, so the file is whole however the recording ends; to "-", a
device or a FIFO the header's sizes are 0xFFFFFFFF, as usual for a
streamed WAV. On a terminal a level meter shows each channel's peak and the
time recorded; at the end one line (on stderr) sums up the duration,
frames, and peak and RMS level per channel.

orvel-record stops with status 1 and says why in one line when no audio
arrives within 3 seconds of the start, when pw-record is missing or ends
(PipeWire is not running or went away), when no audio arrives for 2 seconds
during the recording (the target went away), or when a write fails. What was
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
  app: { type: 'string', multiple: true },
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
  if (values.target !== undefined && values.system) throw usage('give either --target or --system, not both');
  if (values.target === '') throw usage('--target needs a node name or object serial');
  const processes = readProcessOptions(values);
  const format = values.format ?? 'f32';
  if (format !== 'f32' && format !== 's16') throw usage(`--format must be f32 or s16, not "${format}"`);
  let frameLimit = Infinity;
  if (values.seconds !== undefined) {
    const seconds = Number(values.seconds);
    if (values.seconds.trim() === '' || !Number.isFinite(seconds) || seconds <= 0) {
      throw usage(`--seconds must be a positive number, not "${values.seconds}"`);
    }
    frameLimit = Math.max(1, Math.round(seconds * SAMPLE_RATE));
  }
  if (positionals.length === 0) throw usage('give the output file, e.g. out.wav');
  if (positionals.length > 1) throw usage(`give one output file, not ${positionals.length}`);
  return {
    target: values.target,
    system: Boolean(values.system),
    processes,
    format,
    frameLimit,
    out: positionals[0],
    force: Boolean(values.force),
  };
}

// --exclude-pid or --app as captureStream's options, or null for neither.
function readProcessOptions(values) {
  const [exclude, include] = [values['exclude-pid'], values.app];
  if (!exclude && !include) return null;
  if (exclude && include) throw usage('give either --exclude-pid or --app, not both');
  if (values.target !== undefined) throw usage('--target does not combine with --exclude-pid or --app');
  const pids = (exclude ?? include).map((pid) => {
    if (!/^\d+$/.test(pid) || Number(pid) === 0) throw usage(`a process id is a positive whole number, not "${pid}"`);
    return Number(pid);
  });
  return exclude ? { excludeProcessId: pids } : { includeProcessId: pids };
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
      target.isDefaultSource && (target.mediaClass.startsWith('Audio/Sink') ? 'default source: its monitor' : 'default source'),
    ].filter(Boolean);
    const pid = target.processId === null ? '' : String(target.processId);
    return [target.serial, target.name, target.mediaClass, pid, target.description + (marks.length ? ` [${marks.join(', ')}]` : '')];
  });
  const table = [['SERIAL', 'NAME', 'MEDIA CLASS', 'PID', 'DESCRIPTION'], ...rows];
  const widths = table[0].map((_, column) => Math.max(...table.map((row) => row[column].length)));
  for (const row of table) {
    console.log(row.map((cell, column) => (column < row.length - 1 ? cell.padEnd(widths[column]) : cell)).join('  '));
  }
}

function formatTime(frames) {
  const seconds = frames / SAMPLE_RATE;
  return `${String(Math.floor(seconds / 60)).padStart(2, '0')}:${(seconds % 60).toFixed(1).padStart(4, '0')}`;
}

function meterLine(peaks, frames) {
  const bars = peaks.map((db, channel) => {
    const filled = Number.isFinite(db)
      ? Math.round(METER_WIDTH * Math.min(1, Math.max(0, 1 - db / METER_FLOOR_DB)))
      : 0;
    const label = Number.isFinite(db) ? db.toFixed(1).padStart(6) : '  -inf';
    return `${'LR'[channel]} [${'#'.repeat(filled)}${'-'.repeat(METER_WIDTH - filled)}] ${label} dBFS`;
  });
  return `${bars.join('  ')}  ${formatTime(frames)}`;
}

function summaryLine(name, format, meter) {
  const levels = meter
    .totals()
    .map((level, channel) => `${'LR'[channel]} peak ${formatDb(level.peak)}, RMS ${formatDb(level.rms)}`);
  const seconds = (meter.frames / SAMPLE_RATE).toFixed(2);
  return `orvel-record: ${seconds} s, ${meter.frames} frames (${format}) in ${name}; ${levels.join('; ')}`;
}

// One line on why the capture ended by itself, from what onEnd reports: the
// cause, then how pw-record ended and the last line it printed.
function describeEnd(info) {
  if (info.reason === 'spawn-failed') {
    return info.error === 'ENOENT'
      ? 'pw-record is not installed (Debian, Ubuntu: apt install pipewire-bin)'
      : `pw-record could not be started: ${info.error}`;
  }
  const how = info.signal ? `was killed by ${info.signal}` : `exited with status ${info.code}`;
  const { lastLine, cause = 'pw-record ended' } = explainExit(info);
  return `${cause} (pw-record ${how}${lastLine ? `: ${lastLine}` : ''})`;
}

// Starts the capture: the process filters are captureStream's, everything
// else comes straight from startCapture. Returns whether it started.
function startRecording({ target, system, processes }, onBlock, finish) {
  const { startCapture, captureStream } = require('..');
  if (processes) {
    captureStream(processes).on('data', onBlock).on('error', finish);
    return true;
  }
  const options = {
    pipewireTargetId: target,
    pipewireCaptureSink: system,
    onEnd: (info) => finish(new Error(describeEnd(info))),
  };
  return startCapture(options, onBlock);
}

async function record(command) {
  const { target, system, processes, format, frameLimit, out, force } = command;
  const { stopCapture } = require('..');
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
    writer = new WavWriter(fd, { format, sampleRate: SAMPLE_RATE, channels: CHANNELS, streamed });
  } catch (error) {
    removeCreated(output);
    fs.closeSync(output.fd);
    throw new Error(`writing the WAV header to ${output.name} failed: ${error.message}`);
  }
  const aligner = new FrameAligner(CHANNELS);
  const meter = new LevelMeter(CHANNELS);
  const onTerminal = process.stderr.isTTY;
  const source = processes ? "the desktop's playback" : system ? 'the default sink' : target ? `target "${target}"` : 'the default source';
  let finished = false;
  let heard = false;
  let meterTimer;
  let watchdog;

  // ERROR: the recording failed. What was recorded stays; a file of ours
  // with nothing in it goes.
  const finish = (error) => {
    if (finished) return;
    finished = true;
    stopCapture();
    clearInterval(meterTimer);
    clearTimeout(watchdog);
    if (onTerminal) process.stderr.write('\r\x1b[2K');
    if (!error) {
      writer.close();
      console.error(summaryLine(output.name, format, meter));
      return;
    }
    process.exitCode = 1;
    let kept = '';
    if (meter.frames > 0) kept = `; the ${(meter.frames / SAMPLE_RATE).toFixed(2)} s recorded are in ${output.name}`;
    else removeCreated(output);
    writer.close();
    console.error(`orvel-record: ${error.message}${kept}`);
  };

  const onBlock = (pcm) => {
    if (finished) return;
    if (!heard) {
      heard = true;
      clearTimeout(watchdog);
      watchdog = setTimeout(() => {
        finish(new Error(`no audio for ${kStallMs / 1000} s from ${source}: it went away, or PipeWire stalled`));
      }, kStallMs);
    } else {
      watchdog.refresh();
    }
    let samples = aligner.push(pcm);
    const room = (frameLimit - meter.frames) * CHANNELS;
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

  watchdog = setTimeout(() => {
    finish(
      new Error(
        `no audio arrived within ${kNoAudioMs / 1000} s from ${source}. ` +
          'Is PipeWire running (pw-cli info 0)? Is the target right (orvel-record --list-targets)?',
      ),
    );
  }, kNoAudioMs);
  process.on('SIGINT', () => finish());
  process.on('SIGTERM', () => finish());
  if (onTerminal) {
    meterTimer = setInterval(() => {
      process.stderr.write(`\r\x1b[2K${meterLine(meter.takeRecentPeaks(), meter.frames)}`);
    }, METER_INTERVAL_MS);
  }
  if (!startRecording(command, onBlock, finish)) finish(new Error('the capture could not be started'));
}

async function main() {
  try {
    const command = parseCommandLine(process.argv.slice(2));
    if (command.usage) {
      console.error(`${kUsage}\n(orvel-record --help tells more)`);
      process.exitCode = 2;
    } else if (command.help) console.log(HELP);
    else if (command.listTargets) await printTargets();
    else await record(command);
  } catch (error) {
    console.error(`orvel-record: ${error.message}`);
    process.exitCode = error instanceof UsageError ? 2 : 1;
  }
}

main();
