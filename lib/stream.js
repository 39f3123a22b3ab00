'use strict';

// captureStream(): the capture as a Readable of PCM bytes in whole frames,
// in the format the application asked for, that errors when the capture
// dies instead of falling silent.

const { Readable } = require('stream');
const { performance } = require('perf_hooks');
const { holdCapture, releaseCapture } = require('./capture');
const { FrameAligner } = require('./frames');
const { kCaptureChannels, createConverter } = require('./convert');
const { readProcessFilter, unlinkedNodeName, filterProcesses } = require('./process-filter');
const { explainExit } = require('./recorder-end');
const { codedError } = require('./graph');

// Rates libsamplerate converts to from 48000 Hz, within reason for audio.
const kMinRate = 8000;
const kMaxRate = 192000;
// The capture hands over what gathered in each interval instead of every
// block the recorder writes (10-20 ms): each delivery and each push into a
// Readable costs CPU, much the same whatever its size (npm run bench).
const kBlockIntervalMs = 100;
// A chunk holds at least this much audio; a shorter block (the first one,
// or one cut short by the recorder's timing) waits to join the next.
const kMinChunkMs = 50;

function invalid(message) {
  const error = new TypeError(`captureStream: ${message}`);
  error.code = 'ERR_INVALID_ARG_VALUE';
  return error;
}

function readOptions(options = {}) {
  if (options === null || typeof options !== 'object') throw invalid('options must be an object');
  const { target, system = false, format = 'f32', channels = 2, sampleRate = 48000, stallTimeoutMs = 2000 } = options;
  if (target !== undefined && (typeof target !== 'string' || target === '' || target.includes('\0'))) {
    throw invalid('target must be a serial or node name (see listCaptureTargets()), without NUL characters');
  }
  if (typeof system !== 'boolean') throw invalid('system must be true or false');
  if (format !== 'f32' && format !== 's16') throw invalid(`format must be 'f32' or 's16', not ${String(format)}`);
  if (channels !== 1 && channels !== 2) throw invalid(`channels must be 1 or 2, not ${String(channels)}`);
  if (!Number.isInteger(sampleRate) || sampleRate < kMinRate || sampleRate > kMaxRate) {
    throw invalid(`sampleRate must be a whole number of Hz from ${kMinRate} to ${kMaxRate}, not ${String(sampleRate)}`);
  }
  if (typeof stallTimeoutMs !== 'number' || !(stallTimeoutMs >= 0)) {
    throw invalid('stallTimeoutMs must be a number of milliseconds, or 0 for no limit');
  }
  const processes = readProcessFilter(options, invalid);
  if (processes && target !== undefined) throw invalid('target does not combine with excludeProcessId or includeProcessId');
  return { target, system, format, channels, sampleRate, stallTimeoutMs, processes };
}

function describeSource({ target, system, processes }) {
  if (processes) return `the desktop's playback ${processes.exclude ? 'without' : 'of'} processes ${[...processes.pids].join(', ')}`;
  if (target === undefined) return system ? 'the default sink' : 'the default source';
  return `${system ? 'sink' : 'target'} "${target}"`;
}

function endedError(info, settings) {
  if (info.reason === 'spawn-failed') {
    return codedError(
      'ERR_RECORDER_SPAWN',
      `pw-record could not be run (${info.error}): install PipeWire's command-line tools ` +
        '(Debian and Ubuntu: apt-get install pipewire-bin) and check that pw-record is executable and on PATH',
      info,
    );
  }
  const how = info.signal ? `was killed by ${info.signal}` : `exited with code ${info.code}`;
  const { lastLine, cause, check } = explainExit(info);
  return codedError(
    'ERR_RECORDER_EXITED',
    `pw-record ${how} while recording ${describeSource(settings)}` +
      (lastLine ? `; it said "${lastLine}"` : '') +
      (cause ? `: ${cause} (${check})` : '; its standard error is in err.info.stderr'),
    info,
  );
}

function stalledError(settings) {
  const check =
    settings.target === undefined
      ? 'that PipeWire has a default device'
      : 'that the target still exists (listCaptureTargets())';
  return codedError(
    'ERR_CAPTURE_STALLED',
    `no audio from ${describeSource(settings)} for ${settings.stallTimeoutMs} ms, though a linked stream delivers ` +
      `even silence: check ${check} and that PipeWire is running (pw-cli info 0)`,
  );
}

function replacedError() {
  return codedError(
    'ERR_CAPTURE_REPLACED',
    'another startCapture() or captureStream() in this process took the capture: the module records one ' +
      'capture at a time, so end this stream before starting another',
  );
}

function captureStream(options) {
  const settings = readOptions(options);
  const aligner = new FrameAligner(kCaptureChannels);
  let converter = null;
  // Blocks that came before the converter was ready (the resampler loads
  // asynchronously).
  const pending = [];
  let holding = false;
  let stopping = false;
  let lastBlockAt = performance.now();
  let stallTimer = null;
  let processFilter = null;

  const release = () => {
    clearTimeout(stallTimer);
    processFilter?.stop();
    if (holding) releaseCapture(onTaken);
    holding = false;
  };

  const stream = new Readable({
    // Audio is pushed as it comes; see the README on slow consumers.
    read() {},
    destroy(error, callback) {
      release();
      converter?.close();
      callback(error);
    },
  });

  // Converted audio waiting to make up a chunk.
  const held = [];
  let heldBytes = 0;
  let chunkBytes = 0;
  const flush = () => {
    if (heldBytes > 0) stream.push(held.length === 1 ? held[0] : Buffer.concat(held, heldBytes));
    held.length = 0;
    heldBytes = 0;
  };
  const hold = (chunk) => {
    held.push(chunk);
    heldBytes += chunk.length;
    if (heldBytes >= chunkBytes) flush();
  };

  const deliver = (pcm) => {
    if (converter.passThrough && aligner.isWhole(pcm)) return hold(pcm);
    const frames = aligner.push(pcm);
    if (frames.length === 0) return;
    const chunk = converter.convert(frames);
    if (chunk.length > 0) hold(chunk);
  };

  // Ends the stream after its last chunk, once the converter has taken
  // what came before it.
  const finish = () => {
    if (!converter || stream.destroyed) return;
    for (const pcm of pending.splice(0)) deliver(pcm);
    flush();
    stream.push(null);
  };

  // What came before the error is delivered first.
  const fail = (error) => {
    if (converter && !stream.destroyed) flush();
    stream.destroy(error);
  };

  function onTaken(how) {
    holding = false;
    if (how === 'stopped') stop();
    else fail(replacedError());
  }

  const onBlock = (pcm) => {
    lastBlockAt = performance.now();
    if (stopping) return;
    if (converter) deliver(pcm);
    else pending.push(pcm);
  };

  // A timer that fires after the event loop was busy may find blocks queued
  // behind it: they are delivered in the loop's poll phase, so the verdict
  // waits for the check phase that follows.
  const watchForStall = (ms) => {
    stallTimer = setTimeout(() => {
      setImmediate(() => {
        if (!holding) return;
        const quietMs = performance.now() - lastBlockAt;
        if (quietMs >= settings.stallTimeoutMs) fail(stalledError(settings));
        else watchForStall(settings.stallTimeoutMs - quietMs);
      });
    }, ms);
  };

  function stop() {
    if (stopping) return;
    stopping = true;
    release();
    finish();
  }
  stream.stop = stop;

  createConverter(settings).then(
    (created) => {
      if (stream.destroyed) return created.close();
      converter = created;
      chunkBytes = (created.bytesPerSecond * kMinChunkMs) / 1000;
      if (stopping) return finish();
      for (const pcm of pending.splice(0)) deliver(pcm);
    },
    (error) => fail(error),
  );

  const nodeName = settings.processes ? unlinkedNodeName() : undefined;
  const nativeOptions = {
    pipewireTargetId: settings.target,
    pipewireCaptureSink: settings.system,
    pipewireUnlinkedNodeName: nodeName,
    blockIntervalMs: kBlockIntervalMs,
    onEnd: (info) => fail(endedError(info, settings)),
  };
  holding = holdCapture(nativeOptions, onBlock, onTaken);
  if (holding && settings.processes) {
    processFilter = filterProcesses({ nodeName, filter: settings.processes, onError: fail });
  }
  if (!holding) {
    const message = 'the capture could not be started: the reader thread could not be created';
    fail(codedError('ERR_RECORDER_SPAWN', message));
  } else if (settings.stallTimeoutMs > 0) {
    watchForStall(settings.stallTimeoutMs);
  }
  return stream;
}

module.exports = { captureStream };
