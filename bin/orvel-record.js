#!/usr/bin/env node
'use strict';

const fs = require('fs');
const { parseArgs } = require('util');
const { listCaptureTargets } = require('../lib/targets');
const { WavWriter } = require('../lib/wav');
const { FrameAligner } = require('../lib/frames');
const { LevelMeter, formatDb } = require('../lib/levels');

const SAMPLE_RATE = 48000;
const CHANNELS = 2;
// ORVEL_RECORD_NO_AUDIO_MS shortens the wait for a first block, for tests.
const NO_AUDIO_TIMEOUT_MS = Number(process.env.ORVEL_RECORD_NO_AUDIO_MS) || 3000;
const METER_INTERVAL_MS = 100;
const METER_FLOOR_DB = -60;
const METER_WIDTH = 20;

const HELP = `Usage:
  orvel-record [--target ID | --system] [--seconds N] [--format f32|s16] OUT.wav
  orvel-record --list-targets
  orvel-record --help

Records 48000 Hz stereo audio from PipeWire into the WAV file OUT.wav.

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
  --seconds N      Stop after N seconds of audio (decimals allowed).
                   Without it, record until Ctrl-C or SIGTERM.
  --format FORMAT  f32: 32-bit IEEE float (the default); s16: 16-bit PCM.
  --list-targets   List what can be recorded: sinks, sources and
                   applications' playback streams, with node name, object
                   serial, media class and description; the default sink
                   and default source are marked.
  -h, --help       Show this help.

The WAV header is kept correct while recording, so the file is whole however
the recording ends. On a terminal a level meter shows each channel's peak
and the time recorded; at the end one line sums up the duration, frames,
and peak and RMS level per channel.

If no audio arrives within 3 seconds, orvel-record stops, removes OUT.wav
and exits with status 1.

Exit status: 0 when the recording (or listing) is done, 1 when it failed,
2 for bad arguments.`;

class UsageError extends Error {}

function parseCommandLine(argv) {
  let parsed;
  try {
    parsed = parseArgs({
      args: argv,
      allowPositionals: true,
      options: {
        target: { type: 'string' },
        system: { type: 'boolean' },
        seconds: { type: 'string' },
        format: { type: 'string' },
        'list-targets': { type: 'boolean' },
        help: { type: 'boolean', short: 'h' },
      },
    });
  } catch (error) {
    throw new UsageError(error.message.split('. ')[0]);
  }
  const { values, positionals } = parsed;
  if (values.help) return { help: true };
  if (values['list-targets']) {
    if (argv.length > 1) throw new UsageError('--list-targets takes no other arguments');
    return { listTargets: true };
  }
  if (values.target !== undefined && values.system) throw new UsageError('give either --target or --system, not both');
  if (values.target === '') throw new UsageError('--target needs a node name or object serial');
  const format = values.format ?? 'f32';
  if (format !== 'f32' && format !== 's16') throw new UsageError(`--format must be f32 or s16, not "${format}"`);
  let frameLimit = Infinity;
  if (values.seconds !== undefined) {
    const seconds = Number(values.seconds);
    if (values.seconds.trim() === '' || !Number.isFinite(seconds) || seconds <= 0) {
      throw new UsageError(`--seconds must be a positive number, not "${values.seconds}"`);
    }
    frameLimit = Math.max(1, Math.round(seconds * SAMPLE_RATE));
  }
  if (positionals.length === 0) throw new UsageError('give the output file, e.g. out.wav');
  if (positionals.length > 1) throw new UsageError(`give one output file, not ${positionals.length}`);
  return { target: values.target, system: Boolean(values.system), format, frameLimit, out: positionals[0] };
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
    return [target.serial, target.name, target.mediaClass, target.description + (marks.length ? ` [${marks.join(', ')}]` : '')];
  });
  const table = [['SERIAL', 'NAME', 'MEDIA CLASS', 'DESCRIPTION'], ...rows];
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

function summaryLine(out, format, meter) {
  const levels = meter
    .totals()
    .map((level, channel) => `${'LR'[channel]} peak ${formatDb(level.peak)}, RMS ${formatDb(level.rms)}`);
  const seconds = (meter.frames / SAMPLE_RATE).toFixed(2);
  return `orvel-record: ${seconds} s, ${meter.frames} frames (${format}) in ${out}; ${levels.join('; ')}`;
}

async function record({ target, system, format, frameLimit, out }) {
  const { startCapture, stopCapture } = require('..');
  let writer;
  try {
    writer = new WavWriter(out, { format, sampleRate: SAMPLE_RATE, channels: CHANNELS });
  } catch (error) {
    throw new Error(`cannot write ${out}: ${error.message}`);
  }
  const aligner = new FrameAligner(CHANNELS);
  const meter = new LevelMeter(CHANNELS);
  const onTerminal = process.stderr.isTTY;
  let finished = false;
  let meterTimer;
  let noAudioTimer;

  const finish = (error) => {
    if (finished) return;
    finished = true;
    stopCapture();
    clearInterval(meterTimer);
    clearTimeout(noAudioTimer);
    writer.close();
    if (onTerminal) process.stderr.write('\r\x1b[2K');
    if (error) {
      console.error(`orvel-record: ${error.message}`);
      process.exitCode = 1;
      return;
    }
    console.error(summaryLine(out, format, meter));
  };

  const onBlock = (pcm) => {
    if (finished) return;
    clearTimeout(noAudioTimer);
    let samples = aligner.push(pcm);
    const room = (frameLimit - meter.frames) * CHANNELS;
    if (samples.length > room) samples = samples.subarray(0, room);
    try {
      writer.write(samples);
    } catch (error) {
      finish(new Error(`writing ${out} failed: ${error.message}; the file holds what was recorded before`));
      return;
    }
    meter.add(samples);
    if (meter.frames >= frameLimit) finish();
  };

  const abandon = (message) => {
    finish(new Error(message));
    fs.rmSync(out, { force: true });
  };
  noAudioTimer = setTimeout(() => {
    const source = system ? 'the default sink' : target ? `target "${target}"` : 'the default source';
    abandon(
      `no audio arrived within ${NO_AUDIO_TIMEOUT_MS / 1000} s from ${source}. ` +
        'Is PipeWire running (pw-cli info 0)? Is the target right (orvel-record --list-targets)?',
    );
  }, NO_AUDIO_TIMEOUT_MS);
  process.on('SIGINT', () => finish());
  process.on('SIGTERM', () => finish());
  if (onTerminal) {
    meterTimer = setInterval(() => {
      process.stderr.write(`\r\x1b[2K${meterLine(meter.takeRecentPeaks(), meter.frames)}`);
    }, METER_INTERVAL_MS);
  }
  if (!startCapture({ pipewireTargetId: target, pipewireCaptureSink: system }, onBlock)) abandon('the capture could not be started');
}

async function main() {
  let command;
  try {
    command = parseCommandLine(process.argv.slice(2));
  } catch (error) {
    if (!(error instanceof UsageError)) throw error;
    console.error(`orvel-record: ${error.message} (see orvel-record --help)`);
    process.exitCode = 2;
    return;
  }
  try {
    if (command.help) console.log(HELP);
    else if (command.listTargets) await printTargets();
    else await record(command);
  } catch (error) {
    console.error(`orvel-record: ${error.message}`);
    process.exitCode = 1;
  }
}

main();
