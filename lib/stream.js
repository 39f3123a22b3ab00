'use strict';

// captureStream(): a capture as a Readable of PCM bytes in whole frames, in
// the format the application asked for, that errors when the capture dies
// instead of falling silent. Each stream has a recorder of its own, beside
// any other stream and the current startCapture() capture.

const { Readable } = require('stream');
const { performance } = require('perf_hooks');
const native = require('./native');
const { FrameAligner } = require('./frames');
const { toS16, toMono, toMonoS16 } = require('./convert');
const { CaptureClock } = require('./clock');
const { readProcessFilter, unlinkedNodeName, filterProcesses } = require('./process-filter');
const { isListed, recordsMonitor } = require('./targets');
const errors = require('./errors');
const { waitForPipewire, kFirstPauseMs, kMaxPauseMs } = require('./reconnect');

const kMinRate = 8000;
const kMaxRate = 192000;
// The capture hands over what gathered in each interval instead of every
// block the recorder writes (10-20 ms): each delivery and each push into a
// Readable costs CPU, much the same whatever its size, so that at 100 ms a
// 16 kHz mono stream cost 1.6 times a spawned pw-record (npm run bench).
// The reader can hold a block for two intervals (a pause, then the wait for
// the recorder's next write), so a stall timeout shorter than four
// intervals shortens it: a held block never looks like a stall.
const kBlockIntervalMs = 200;
// A chunk holds at least this much audio, but for the first: a shorter
// block (one cut short by the recorder's timing) waits to join the next.
const kMinChunkMs = 50;
const kReconnectTimeoutMs = 30000;
// PipeWire's own stereo-to-mono mix is not the mean of the channels on
// every release, so mono is asked of the recorder as stereo and mixed here.
const kRecorderChannels = 2;
// The recorder's resampler at its default quality (4) leaves 0.9 of the
// Nyquist frequency 17 dB down; at 10 it is within 0.01 dB on every release
// (docs/how-it-works.md).
const kResampleQuality = 10;
// At that quality the resampler holds the audio back by about this many
// frames of the lower of the two rates, on every release and quantum
// measured; the graph runs at 48 kHz unless configured otherwise.
const kResamplerDelayFrames = 85;
const kGraphRate = 48000;

// What the recorder's resampler adds to a capture's latency, in ns.
function resamplerDelayNs(rate) {
  if (rate === kGraphRate) return 0n;
  return BigInt(Math.round((kResamplerDelayFrames * 1e9) / Math.min(rate, kGraphRate)));
}

function readOptions(options = {}) {
  const invalid = errors.invalidArgument;
  if (options === null || typeof options !== 'object') throw invalid('options must be an object');
  const {
    target, system = false, format = 'f32', channels = 2, sampleRate = 48000, stallTimeoutMs = 2000,
    timestamps = false, maxBufferedMs, reconnect = false, reconnectTimeoutMs = kReconnectTimeoutMs,
  } = options;
  if (target !== undefined && (typeof target !== 'string' || target === '' || target.includes('\0'))) {
    throw invalid('target must be a serial or node name (see listCaptureTargets()), without NUL characters');
  }
  for (const [name, value] of Object.entries({ system, timestamps, reconnect })) {
    if (typeof value !== 'boolean') throw invalid(`${name} must be true or false`);
  }
  if (format !== 'f32' && format !== 's16') throw invalid(`format must be 'f32' or 's16', not ${String(format)}`);
  if (channels !== 1 && channels !== 2) throw invalid(`channels must be 1 or 2, not ${String(channels)}`);
  if (!Number.isInteger(sampleRate) || sampleRate < kMinRate || sampleRate > kMaxRate) {
    throw invalid(`sampleRate must be a whole number of Hz from ${kMinRate} to ${kMaxRate}, not ${String(sampleRate)}`);
  }
  const milliseconds = { stallTimeoutMs, reconnectTimeoutMs, ...(maxBufferedMs !== undefined && { maxBufferedMs }) };
  for (const [name, value] of Object.entries(milliseconds)) {
    if (typeof value !== 'number' || !(value >= 0)) throw invalid(`${name} must be a number of milliseconds`);
  }
  const processes = readProcessFilter(options, invalid);
  if (processes && target !== undefined) throw invalid('target does not combine with excludeProcessId or includeProcessId');
  return {
    target, system, format, channels, sampleRate, stallTimeoutMs, timestamps, maxBufferedMs, reconnect,
    reconnectTimeoutMs, processes,
  };
}

function blockIntervalMs(stallTimeoutMs) {
  if (stallTimeoutMs === 0) return kBlockIntervalMs;
  return Math.max(1, Math.min(kBlockIntervalMs, Math.floor(stallTimeoutMs / 4)));
}

// Turns the recorder's float frames into the stream's format.
function makeConverter({ format, channels }) {
  const mono = channels === 1;
  const bytesPerSample = format === 's16' ? 2 : 4;
  return {
    frameBytes: channels * bytesPerSample,
    passThrough: !mono && format === 'f32',
    convert(frames) {
      if (format === 's16') return mono ? toMonoS16(frames) : toS16(frames);
      const samples = mono ? toMono(frames) : frames;
      return Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);
    },
  };
}

// Whether a recorder's end can be waited out: PipeWire went away or is not
// there (yet), the named target is missing, or a daemon that is starting
// has no device yet.
const kRecoverable = new Set(['no-daemon', 'daemon-gone', 'target-not-found', 'no-device', 'stalled']);

function captureStream(options) {
  const settings = readOptions(options);
  const converter = makeConverter(settings);
  const bytesPerSecond = settings.sampleRate * converter.frameBytes;
  const minChunkBytes = (bytesPerSecond * kMinChunkMs) / 1000;
  const maxBufferedBytes =
    settings.maxBufferedMs === undefined ? Infinity : (bytesPerSecond * settings.maxBufferedMs) / 1000;
  let run = null;
  let stopping = false;
  let waiting = null;
  // Since when, and why, a stream that reconnects has heard nothing, and
  // how many runs since then ended without audio.
  let lost = null;
  let failedRuns = 0;
  // When the last audio came, and how much the buffer bound dropped.
  let lastAudioAt = performance.now();
  let droppedFrames = 0;
  // Output waiting for the reader when the buffer is bounded.
  const queue = [];
  let queuedBytes = 0;
  let wanted = true;

  const stream = new Readable({
    objectMode: settings.timestamps,
    // With a bound, the stream's own buffer holds about one chunk; the rest
    // waits in the queue, where the oldest can be dropped.
    ...(Number.isFinite(maxBufferedBytes) && { highWaterMark: 1 }),
    read() {
      wanted = true;
      while (wanted && queue.length > 0) {
        const chunk = queue.shift();
        queuedBytes -= chunk.bytes;
        wanted = stream.push(chunk.value);
      }
    },
    destroy(error, callback) {
      end();
      callback(error);
    },
  });

  const emit = (pcm, time) => {
    const value = settings.timestamps ? { pcm, time } : pcm;
    if (!Number.isFinite(maxBufferedBytes)) return stream.push(value);
    queue.push({ value, bytes: pcm.length });
    queuedBytes += pcm.length;
    let dropped = 0;
    while (queuedBytes > maxBufferedBytes && queue.length > 1) {
      const oldest = queue.shift();
      queuedBytes -= oldest.bytes;
      dropped += oldest.bytes / converter.frameBytes;
    }
    if (dropped > 0) {
      droppedFrames += dropped;
      stream.emit('drop', {
        droppedMs: (dropped * 1000) / settings.sampleRate,
        totalDroppedMs: (droppedFrames * 1000) / settings.sampleRate,
      });
    }
    if (wanted) stream.read(0);
  };

  // One recorder's run: its capture, process filter, frame aligner and,
  // with timestamps, clock (OF_MONITOR: the recorder takes a sink's
  // monitor). A reconnect starts another.
  function startRun(ofMonitor) {
    const controller = new AbortController();
    const aligner = new FrameAligner(kRecorderChannels);
    const latencyNs = resamplerDelayNs(settings.sampleRate);
    const clock = settings.timestamps ? new CaptureClock(settings.sampleRate, { latencyNs, ofMonitor }) : null;
    const held = [];
    let heldBytes = 0;
    let heldTime;
    let lastBlockAt = performance.now();
    let heard = false;
    let stallTimer = null;
    let filter = null;
    let over = false;

    const flush = () => {
      if (heldBytes > 0) emit(held.length === 1 ? held[0] : Buffer.concat(held, heldBytes), heldTime);
      held.length = 0;
      heldBytes = 0;
    };

    const onBlock = (pcm, rate, channels, readTime, lastWriteFrames) => {
      lastBlockAt = lastAudioAt = performance.now();
      if (over) return;
      const whole = converter.passThrough && aligner.isWhole(pcm);
      const samples = whole ? null : aligner.push(pcm);
      const blockFrames = whole ? pcm.length / 4 / kRecorderChannels : samples.length / kRecorderChannels;
      const time = clock?.add(blockFrames, readTime, lastWriteFrames);
      if (blockFrames === 0) return;
      if (!heard && lost) {
        stream.emit('reconnect', { gapMs: performance.now() - lost.at, error: lost.error });
        lost = null;
        failedRuns = 0;
      }
      if (heldBytes === 0) heldTime = time;
      const chunk = whole ? pcm : converter.convert(samples);
      held.push(chunk);
      heldBytes += chunk.length;
      // The first chunk goes at once: a stream starts as soon as it can.
      if (heldBytes >= minChunkBytes || !heard) flush();
      heard = true;
    };

    // A timer that fires after the event loop was busy may find blocks
    // queued behind it: they are delivered in the loop's poll phase, so the
    // verdict waits for the check phase that follows.
    const watchForStall = (ms) => {
      stallTimer = setTimeout(() => {
        setImmediate(() => {
          if (over) return;
          const quietMs = performance.now() - lastBlockAt;
          if (quietMs >= settings.stallTimeoutMs) finishRun({ stalled: true, noneYet: !heard });
          else watchForStall(settings.stallTimeoutMs - quietMs);
        });
      }, ms);
    };

    const nodeName = settings.processes ? unlinkedNodeName() : undefined;
    const started = native.startCapture(
      {
        pipewireTargetId: settings.target,
        pipewireCaptureSink: settings.system,
        pipewireUnlinkedNodeName: nodeName,
        sampleRate: settings.sampleRate,
        channels: kRecorderChannels,
        resampleQuality: kResampleQuality,
        blockIntervalMs: blockIntervalMs(settings.stallTimeoutMs),
        blockTimes: settings.timestamps,
        signal: controller.signal,
        onEnd: (info) => finishRun({ info, noneYet: !heard }),
      },
      onBlock,
    );

    // Ends this run's capture and filter; what it leaves of the stream is
    // the caller's.
    function close() {
      if (over) return;
      over = true;
      clearTimeout(stallTimer);
      filter?.stop();
      controller.abort();
      if (!stream.destroyed) flush();
    }

    // The run ended by itself: INFO from onEnd, STALLED from the watchdog,
    // ERROR from the process filter.
    function finishRun(how) {
      if (over) return;
      close();
      ended(how);
    }

    if (!started) {
      over = true;
      const error = errors.codedError('ERR_RECORDER_SPAWN', 'the capture could not be started: the reader thread could not be created');
      process.nextTick(() => ended({ error }));
      return { close };
    }
    if (settings.processes) {
      filter = filterProcesses({
        nodeName, filter: settings.processes, onError: (error) => finishRun({ error }), onDriverChange: () => clock?.restart(),
      });
    }
    if (settings.stallTimeoutMs > 0) watchForStall(settings.stallTimeoutMs);
    return { close };
  }

  // What a run's end means for the stream: an error, or with `reconnect` a
  // wait for PipeWire (or the target) to come back.
  async function ended({ info, stalled, noneYet, error }) {
    run = null;
    if (lost) noneYet = false;
    if (stopping || stream.destroyed) return;
    let kind = info ? errors.readRecorderEnd(info).kind : stalled ? 'stalled' : undefined;
    let failure = error ?? (info ? errors.recorderEnded(info, settings) : errors.stalled(settings, settings.stallTimeoutMs, noneYet));
    // A release that keeps the recorder running without its target stalls
    // instead; the graph tells which it is.
    if (stalled && settings.target !== undefined && !(await isListed(settings.target, settings.system).catch(() => true))) kind = 'target-not-found';
    if (kind === 'target-not-found' && settings.target !== undefined) {
      failure = errors.targetNotFound(settings.target, noneYet ? 'was not found' : 'went away', info);
    }
    if (stopping || stream.destroyed) return;
    // A restarted PipeWire numbers its objects afresh: the serial may name
    // another node then, so a target named by serial is never followed
    // across the daemon's loss.
    const daemonLost = kind === 'daemon-gone' || kind === 'no-daemon' || failure.code === 'ERR_GRAPH_LOST';
    const bySerial = settings.target !== undefined && /^\d+$/.test(settings.target);
    if (!settings.reconnect || !(kRecoverable.has(kind) || failure.code === 'ERR_GRAPH_LOST') || (bySerial && daemonLost)) {
      stream.destroy(failure);
      return;
    }
    // A run that fails before its first audio leaves the first loss as it
    // was, and the next try waits longer: a daemon can answer before it has
    // a device.
    if (lost) failedRuns++;
    lost ??= { at: lastAudioAt, error: failure };
    const left = settings.reconnectTimeoutMs - (performance.now() - lost.at);
    const firstPauseMs = Math.min(kFirstPauseMs * 2 ** failedRuns, kMaxPauseMs);
    waiting = waitForPipewire({ timeoutMs: Math.max(0, left), target: settings.target, firstPauseMs });
    const back = await waiting.ready;
    waiting = null;
    if (stopping || stream.destroyed) return;
    if (!back) {
      stream.destroy(errors.reconnectTimedOut(settings.reconnectTimeoutMs, lost.error));
      return;
    }
    begin();
  }

  // Starts a run. A timed stream of a target or the default source first
  // asks the graph whether that is a sink's monitor, again at each
  // reconnect: the default source may have changed.
  function begin() {
    if (!settings.timestamps || settings.system || settings.processes) {
      run = startRun(settings.system);
      return;
    }
    recordsMonitor(settings.target)
      .catch(() => false)
      .then((ofMonitor) => {
        if (!stopping && !stream.destroyed) run = startRun(ofMonitor);
      });
  }

  // Ends everything this stream runs; nothing of it is left running.
  function end() {
    stopping = true;
    run?.close();
    run = null;
    waiting?.cancel();
  }

  stream.stop = () => {
    if (stopping) return;
    end();
    // What waits in the queue is still read, then the stream ends.
    for (const chunk of queue.splice(0)) stream.push(chunk.value);
    stream.push(null);
  };

  begin();
  return stream;
}

module.exports = { captureStream };
