'use strict';

// One recorder's run for a capture stream: its recorder, process filter
// and, with timestamps, clock. A reconnect starts another
// run; classifyEnd() tells what the end of one means.

const { performance } = require('perf_hooks');
const native = require('./native');
const { CaptureClock } = require('./clock');
const { unlinkedNodeName, filterProcesses } = require('./process-filter');
const errors = require('./errors');

// The reader hands over what gathered in each interval rather than each
// of the recorder's writes: a delivery costs much the same whatever its size
// (docs/benchmarks.md). The reader may hold a block for two intervals (a
// pause, then the wait for the next write), so the interval is at most a
// quarter of the stall timeout: a held block never looks like a stall.
const kBlockIntervalMs = 200;
// A chunk holds at least this much audio, but for the first: a shorter
// block (one cut short by the recorder's timing) waits to join the next.
const kMinChunkMs = 50;
// PipeWire's own stereo-to-mono mix differs between releases, so mono is
// asked of the recorder as stereo and mixed by the capture's reader.
const kRecorderChannels = 2;
// The resampler's default quality leaves the top of the band too low
// (docs/how-it-works.md, Formats and timing).
const kResampleQuality = 10;
// How long the resampler at that quality holds the audio back, in frames
// of the lower of the two rates, on a graph at its default rate.
const kResamplerDelayFrames = 85;
const kGraphRate = 48000;

// Whether a stream that reconnects can wait an end out: PipeWire went away
// or is not there (yet), the named target is missing, or a daemon that is
// starting has no device yet.
const kRecoverable = new Set(['no-daemon', 'daemon-gone', 'target-not-found', 'no-device', 'stalled']);

// What the recorder's resampler adds to a capture's latency, in ns.
function resamplerDelayNs(rate) {
  if (rate === kGraphRate) return 0n;
  return BigInt(Math.round((kResamplerDelayFrames * 1e9) / Math.min(rate, kGraphRate)));
}

function blockIntervalMs(stallTimeoutMs) {
  if (stallTimeoutMs === 0) return kBlockIntervalMs;
  return Math.max(1, Math.min(kBlockIntervalMs, Math.floor(stallTimeoutMs / 4)));
}

// The bytes of one of the stream's frames.
function frameBytes({ format, channels }) {
  return channels * (format === 's16' ? 2 : 4);
}

// What a run's END means for a stream of SETTINGS: { kind, error, canWait }.
// END holds what the recorder reported (INFO), or STALLED, or the ERROR
// the run failed with; NONE_YET: no audio came before; TARGET_GONE: the
// graph no longer lists the stalled run's target. KIND is readRecorderEnd's
// or 'stalled'; CAN_WAIT: a stream that reconnects waits for PipeWire.
function classifyEnd({ info, stalled, error, noneYet, targetGone }, settings) {
  const { target } = settings;
  let kind = info ? errors.readRecorderEnd(info).kind : stalled ? 'stalled' : undefined;
  // A release that keeps the recorder running without its target stalls.
  if (targetGone) kind = 'target-not-found';
  let failure = error ?? (info ? errors.recorderEnded(info, settings) : errors.stalled(settings, settings.stallTimeoutMs, noneYet));
  if (kind === 'target-not-found' && target !== undefined) {
    failure = errors.targetNotFound(target, noneYet ? 'was not found' : 'went away', info);
  }
  // A restarted PipeWire numbers its objects afresh: the serial may name
  // another node then, so a target named by serial is never followed
  // across the daemon's loss.
  const graphLost = failure.code === 'ERR_GRAPH_LOST';
  const daemonLost = kind === 'daemon-gone' || kind === 'no-daemon' || graphLost;
  const bySerial = target !== undefined && /^\d+$/.test(target);
  return { kind, error: failure, canWait: (kRecoverable.has(kind) || graphLost) && !(bySerial && daemonLost) };
}

// Runs a recorder for a stream of SETTINGS, of a sink's monitor if
// OF_MONITOR. It calls onChunk(pcm, time) with chunks of
// kMinChunkMs or more (the first at once), onFirstAudio() before its first,
// onWarning(error) when its process filter leaves a stream out for a
// reason the caller should hear, and onEnd(end) once if it ends by itself:
// END as classifyEnd() takes it, with when audio came last (lastAudioAt, if
// any came).
class Run {
  #settings;
  #frameBytes;
  #handlers;
  #clock = null;
  #nodeName;
  #capture;
  #filter = null;
  #minChunkBytes;
  #held = [];
  #heldBytes = 0;
  #heldTime;
  #lastBlockAt = performance.now();
  #lastAudioAt;
  #heard = false;
  #stallTimer = null;
  #over = false;

  constructor(settings, { ofMonitor, onChunk, onFirstAudio, onWarning, onEnd }) {
    this.#settings = settings;
    this.#frameBytes = frameBytes(settings);
    this.#handlers = { onChunk, onFirstAudio, onEnd };
    this.#minChunkBytes = (settings.sampleRate * this.#frameBytes * kMinChunkMs) / 1000;
    if (settings.timestamps) {
      this.#clock = new CaptureClock(settings.sampleRate, { latencyNs: resamplerDelayNs(settings.sampleRate), ofMonitor });
    }
    this.#nodeName = settings.processes ? unlinkedNodeName() : undefined;
    this.#capture = this.#open();
    if (!this.#capture) {
      this.#over = true;
      const why = 'the capture could not be started: the reader thread could not be created';
      const error = errors.codedError('ERR_RECORDER_SPAWN', why);
      process.nextTick(() => onEnd({ error }));
      return;
    }
    if (settings.processes) {
      const onError = (error) => this.#finish({ error });
      const onDriverChange = () => this.#clock?.restart();
      this.#filter = filterProcesses({ nodeName: this.#nodeName, filter: settings.processes, onError, onWarning, onDriverChange });
    }
    if (settings.stallTimeoutMs > 0) this.#watchForStall(settings.stallTimeoutMs);
  }

  // Ends the recorder and the filter, and hands on what it holds. No
  // onEnd follows.
  close() {
    if (this.#over) return;
    this.#over = true;
    clearTimeout(this.#stallTimer);
    this.#filter?.stop();
    this.#capture.close();
    this.#flush();
  }

  // The recorder, asked for the stream's rate in stereo, and its reader for
  // the stream's format: returns what close() ends, or null if it could not
  // be started.
  #open() {
    const { target, system, sampleRate, channels, format, stallTimeoutMs, timestamps } = this.#settings;
    return native.openCapture(
      {
        target,
        captureSink: system,
        unlinkedNodeName: this.#nodeName,
        sampleRate,
        channels: kRecorderChannels,
        mixToMono: channels === 1,
        format,
        resampleQuality: kResampleQuality,
        blockIntervalMs: blockIntervalMs(stallTimeoutMs),
        blockTimes: timestamps,
      },
      this.#onBlock,
      (info) => this.#finish({ info }),
    );
  }

  // A block of whole frames in the stream's format.
  #onBlock = (pcm, readTime, lastWriteFrames) => {
    this.#lastBlockAt = this.#lastAudioAt = performance.now();
    this.#stallTimer?.refresh();
    if (this.#over) return;
    const time = this.#clock?.add(pcm.length / this.#frameBytes, readTime, lastWriteFrames);
    this.#take(pcm, time);
  };

  // Holds CHUNK, whose first frame was captured at TIME, until enough is
  // held; the first chunk goes at once: a stream starts as soon as it can.
  #take(chunk, time) {
    if (!this.#heard) this.#handlers.onFirstAudio();
    if (this.#heldBytes === 0) this.#heldTime = time;
    this.#held.push(chunk);
    this.#heldBytes += chunk.length;
    if (this.#heldBytes >= this.#minChunkBytes || !this.#heard) this.#flush();
    this.#heard = true;
  }

  #flush() {
    if (this.#heldBytes === 0) return;
    const held = this.#held;
    this.#handlers.onChunk(held.length === 1 ? held[0] : Buffer.concat(held, this.#heldBytes), this.#heldTime);
    this.#held = [];
    this.#heldBytes = 0;
  }

  // Each block pushes the timer back, so that its check (a setImmediate and
  // a new timer each time) runs only after a quiet spell; Node still wakes
  // the loop at the first expiry to find it pushed back. A timer that fires
  // after the event loop was busy may find blocks queued behind it: they
  // are delivered in the loop's poll phase, so the verdict waits for the
  // check phase that follows (a block in it has armed the fired timer
  // again, hence the clearTimeout).
  #watchForStall(ms) {
    this.#stallTimer = setTimeout(() => {
      setImmediate(() => {
        clearTimeout(this.#stallTimer);
        if (this.#over) return;
        const quietMs = performance.now() - this.#lastBlockAt;
        if (quietMs >= this.#settings.stallTimeoutMs) this.#finish({ stalled: true });
        else this.#watchForStall(this.#settings.stallTimeoutMs - quietMs);
      });
    }, ms);
  }

  // The run ended by itself: INFO from the recorder, STALLED from the
  // watchdog, ERROR from the process filter.
  #finish(end) {
    if (this.#over) return;
    this.close();
    this.#handlers.onEnd({ ...end, noneYet: !this.#heard, lastAudioAt: this.#lastAudioAt });
  }
}

module.exports = { Run, classifyEnd, frameBytes };
