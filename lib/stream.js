'use strict';

// captureStream(): a capture as a Readable of PCM bytes in whole frames, in
// the format the application asked for, that errors when the capture dies
// instead of falling silent. Each stream has a recorder of its own, beside
// any other stream and the current startCapture() capture.

const { Readable } = require('stream');
const { performance } = require('perf_hooks');
const { readStreamOptions } = require('./options');
const { Run, classifyEnd, frameBytes } = require('./run');
const { ChunkQueue } = require('./chunk-queue');
const { listCaptureTargets, isListed, recordsMonitor } = require('./targets');
const { waitForPipewire, kFirstPauseMs, kMaxPauseMs } = require('./reconnect');
const errors = require('./errors');

// A stream of settings that readStreamOptions() read.
class CaptureStream extends Readable {
  #settings;
  #frameBytes;
  // With maxBufferedMs, the output that waits for the reader.
  #queue = null;
  #wanted = true;
  #droppedFrames = 0;
  #run = null;
  #waiting = null;
  #stopping = false;
  // Since when, and why, a stream that reconnects has heard nothing, and
  // how many runs since then ended without audio.
  #lost = null;
  #failedRuns = 0;
  #lastAudioAt = performance.now();

  constructor(settings) {
    const bounded = settings.maxBufferedMs !== undefined;
    // With a bound, the stream's own buffer holds about one chunk; the rest
    // waits in the queue, where the oldest can be dropped.
    super({ objectMode: settings.timestamps, ...(bounded && { highWaterMark: 1 }) });
    this.#settings = settings;
    this.#frameBytes = frameBytes(settings);
    if (bounded) this.#queue = new ChunkQueue((settings.sampleRate * this.#frameBytes * settings.maxBufferedMs) / 1000);
    this.#begin();
  }

  // Ends the capture; what it holds is still read, then the stream ends.
  stop() {
    if (this.#stopping) return;
    this.#close();
    for (const value of this.#queue?.takeAll() ?? []) this.push(value);
    this.push(null);
  }

  _read() {
    this.#wanted = true;
    while (this.#wanted && this.#queue?.length > 0) this.#wanted = this.push(this.#queue.shift());
  }

  _destroy(error, callback) {
    this.#close();
    callback(error);
  }

  get #over() {
    return this.#stopping || this.destroyed;
  }

  // Ends everything this stream runs; nothing of it is left running.
  #close() {
    this.#stopping = true;
    this.#run?.close();
    this.#run = null;
    this.#waiting?.cancel();
  }

  // Starts a run. A timed stream of a target or the default source first
  // asks the graph whether that is a sink's monitor, again at each
  // reconnect (the default source may have changed), in TARGETS if the
  // wait for PipeWire read them just now.
  #begin(targets) {
    const { timestamps, system, processes, target } = this.#settings;
    if (!timestamps || system || processes) {
      this.#start(system);
      return;
    }
    (targets ? Promise.resolve(targets) : listCaptureTargets())
      .then((listed) => recordsMonitor(listed, target))
      .catch(() => false)
      .then((ofMonitor) => this.#over || this.#start(ofMonitor));
  }

  #start(ofMonitor) {
    this.#run = new Run(this.#settings, {
      ofMonitor,
      onChunk: (pcm, time) => this.destroyed || this.#deliver(pcm, time),
      onFirstAudio: () => this.#heardAgain(),
      onWarning: (warning) => this.emit('warning', warning),
      onEnd: (end) => this.#runEnded(end),
    });
  }

  #deliver(pcm, time) {
    const value = this.#settings.timestamps ? { pcm, time } : pcm;
    if (!this.#queue) {
      this.push(value);
      return;
    }
    const dropped = this.#queue.push(value, pcm.length) / this.#frameBytes;
    if (dropped > 0) {
      this.#droppedFrames += dropped;
      const { sampleRate } = this.#settings;
      const ms = (frames) => (frames * 1000) / sampleRate;
      this.emit('drop', { droppedMs: ms(dropped), totalDroppedMs: ms(this.#droppedFrames) });
    }
    if (this.#wanted) this.read(0);
  }

  #heardAgain() {
    if (!this.#lost) return;
    this.emit('reconnect', { gapMs: performance.now() - this.#lost.at, error: this.#lost.error });
    this.#lost = null;
    this.#failedRuns = 0;
  }

  // A run ended by itself: the stream errors, or with `reconnect` waits
  // for PipeWire (or its target) to come back.
  async #runEnded(end) {
    this.#run = null;
    this.#lastAudioAt = end.lastAudioAt ?? this.#lastAudioAt;
    if (this.#over) return;
    const { target, system } = this.#settings;
    const listed = () => listCaptureTargets().then((targets) => isListed(targets, target, system), () => true);
    const targetGone = end.stalled && target !== undefined && !(await listed());
    if (this.#over) return;
    const { error, canWait } = classifyEnd({ ...end, noneYet: end.noneYet && !this.#lost, targetGone }, this.#settings);
    if (this.#settings.reconnect && canWait) this.#waitOut(error);
    else this.destroy(error);
  }

  // A run that fails before its first audio leaves the first loss as it
  // was, and the next try waits longer: a daemon can answer before it has a
  // device.
  async #waitOut(failure) {
    const { reconnectTimeoutMs, target, system } = this.#settings;
    if (this.#lost) this.#failedRuns++;
    this.#lost ??= { at: this.#lastAudioAt, error: failure };
    const timeoutMs = Math.max(0, reconnectTimeoutMs - (performance.now() - this.#lost.at));
    const firstPauseMs = Math.min(kFirstPauseMs * 2 ** this.#failedRuns, kMaxPauseMs);
    this.#waiting = waitForPipewire({ timeoutMs, target, system, firstPauseMs });
    const back = await this.#waiting.ready;
    this.#waiting = null;
    if (this.#over) return;
    if (back) this.#begin(back.targets);
    else this.destroy(errors.reconnectTimedOut(reconnectTimeoutMs, this.#lost.error));
  }
}

function captureStream(options) {
  return new CaptureStream(readStreamOptions(options));
}

module.exports = { captureStream, CaptureStream };
