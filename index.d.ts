/// <reference types="node" />

import { Readable } from 'stream';

/** Options of {@link startCapture}. Keys of other types are ignored. */
export interface CaptureOptions {
  /**
   * Linux: the PipeWire target to record, passed to `pw-record --target`:
   * an object serial (any node that {@link listCaptureTargets} lists) or a
   * node name (sources and application streams; sinks with
   * `pipewireCaptureSink`). Empty or absent: the default source. A target
   * that matches nothing, or that goes away during the capture, delivers no
   * further samples: never the default source or another device. On
   * PipeWire's pw-record before 1.0 that stops the samples but not the
   * recorder, so `onEnd` does not come; watch for a pause in the blocks
   * (a linked stream delivers even silence at the real-time rate).
   */
  pipewireTargetId?: string;
  /**
   * Linux: record a sink's output (what the speakers play): the sink named
   * by `pipewireTargetId`, or with no target the default sink, followed when
   * the user switches output. Never falls back to a microphone.
   */
  pipewireCaptureSink?: boolean;
  /**
   * Called at most once, on the thread of the capture, after its last block,
   * when the capture's stream ends by itself. Never called once
   * `stopCapture()`, the next `startCapture()` or the end of the thread's
   * environment has ended the capture. Once it has run, the capture no
   * longer keeps the event loop alive.
   */
  onEnd?: (info: CaptureEnd) => void;
  /** Windows and macOS window capture source. Ignored on Linux. */
  windowCaptureSourceId?: string;
  /**
   * Windows: a process whose playback is left out of loopback capture.
   * Ignored on Linux.
   */
  win32ExcludePlaybackProcessId?: number;
}

/**
 * Why a capture's stream ended by itself.
 *
 * - `spawn-failed`: no recorder could be run. `error` is the errno name:
 *   `'ENOENT'` (no `pw-record` in /usr/bin, /bin, /usr/local/bin or on
 *   `PATH`: install Debian's `pipewire-bin`), `'EACCES'` (found but not
 *   executable), or the error of the pipe, fork or private folder that
 *   failed (`'EMFILE'`, ...); `'UNKNOWN'` for a rare one.
 * - `exited`: the recorder ended by itself. `code` is its exit status (or
 *   `null`), `signal` the name of the signal that killed it (or `null`),
 *   `stderr` the last 4 KiB it printed. "Host is down": PipeWire is not
 *   running for this user (`XDG_RUNTIME_DIR`); "Broken pipe" or "connection
 *   error": the daemon went away; "no node available": the graph has nothing
 *   to record.
 */
export type CaptureEnd =
  | { reason: 'spawn-failed'; error: string }
  | { reason: 'exited'; code: number | null; signal: string | null; stderr: string };

/**
 * Receives each captured block on the thread that called
 * {@link startCapture}.
 *
 * @param pcm 32-bit IEEE-754 float samples, little-endian, interleaved by
 *   frame (left, right, left, ...), in whole frames; `pcm.length / 4`
 *   samples in all.
 * @param sampleRate Always 48000.
 * @param channels Always 2.
 */
export type PcmCallback = (pcm: Buffer, sampleRate: number, channels: number) => void;

/** What this build of the module can do. */
export interface NativeAudioCaptureInfo {
  ok: true;
  /** Whether this is a placeholder build that captures nothing. */
  stub: false;
  platform: 'linux';
  version: string;
  /** The capture mechanism: PipeWire's `pw-record` in a child process. */
  backend: 'pw_record';
  /** Whether Windows per-process loopback capture is available. */
  wasapiProcessLoopbackOsSupported: false;
}

/** Reports the module's capabilities. */
export function getNativeAudioCaptureInfo(): NativeAudioCaptureInfo;

/**
 * Ends any current capture (from any thread or worker of the process) and
 * starts a new one. Returns `true` when the capture started; a missing
 * recorder or PipeWire daemon is not reported here but through `onEnd`.
 * Returns `false` when it could not start, or when `pipewireTargetId` holds
 * a NUL character (the recorder's command line cannot carry it). Throws a `TypeError` when
 * `options` is not an object or `callback` is not a function.
 */
export function startCapture(options: CaptureOptions, callback: PcmCallback): boolean;

/** Ends the current capture, if any. No callback follows. */
export function stopCapture(): void;

/** One thing that {@link listCaptureTargets} found to capture. */
export interface CaptureTarget {
  /** The node's `node.name`. */
  name: string;
  /** The node's `object.serial` in decimal; as `pipewireTargetId` it selects this node, whatever its kind. */
  serial: string;
  /**
   * The node's `media.class`: `Audio/Sink` (by serial, records what it plays),
   * `Audio/Source`, `Audio/Source/Virtual`, `Audio/Duplex`, or
   * `Stream/Output/Audio` (one application's playback).
   */
  mediaClass: string;
  /** `node.description`; for a stream without one, `application.name: media.name`; else the name. */
  description: string;
  /** The node's state in the graph. */
  state: 'creating' | 'suspended' | 'idle' | 'running' | 'error';
  /** Whether PipeWire's `default` metadata names this node as `default.audio.sink`. */
  isDefaultSink: boolean;
  /**
   * Whether it names this node as `default.audio.source`. With no source of
   * its own, the default source is the default sink's monitor, and that sink
   * is marked.
   */
  isDefaultSource: boolean;
  /**
   * For a playback stream, its app's pid, the one `captureStream`'s process
   * options match: the pid the kernel reported for a native client
   * (`pipewire.sec.pid`), or for an app that plays through PipeWire's Pulse
   * server the pid it claims once the kernel backs the claim (that process
   * holds its connections to the server). `null` where neither holds (see
   * `processCheck`), and for sinks and sources.
   */
  processId: number | null;
  /**
   * The base name of the executable `processId` runs (`/proc/PID/exe`), as
   * `includeProcessName` matches it; `null` without a `processId` or when
   * the process is not readable.
   */
  processName: string | null;
  /**
   * How a playback stream's `processId` was told: `'verified'` (a native
   * client's), `'kernel-checked'` (a Pulse client's claim), or why there is
   * none: `'unconnected'` (the claimed process holds no connection to the
   * Pulse server), `'over-claimed'` (more Pulse clients claim it than it
   * holds connections: an impostor among them), `'unknown'` (no claim, or
   * the kernel could not be asked). `null` for sinks and sources.
   */
  processCheck: 'verified' | 'kernel-checked' | 'unconnected' | 'over-claimed' | 'unknown' | null;
}

/**
 * Lists what can be captured: sinks, then sources, then applications'
 * playback streams, read from `pw-dump`. Rejects when `pw-dump` is missing
 * (Debian: `pipewire-bin`) or cannot reach PipeWire.
 */
export function listCaptureTargets(): Promise<CaptureTarget[]>;

/** What every {@link captureStream} takes, whatever it records. */
export interface CaptureStreamFormatOptions {
  /**
   * Record what a sink plays: the sink named by `target`, or without one the
   * default sink (what the speakers play), following it when the user
   * switches output. Default `false`.
   */
  system?: boolean;
  /** `'f32'`: 32-bit float samples (the default); `'s16'`: 16-bit integers. Little-endian. */
  format?: 'f32' | 's16';
  /** `2`: interleaved left, right (the default); `1`: the mean of both channels. */
  channels?: 1 | 2;
  /** Frames per second, a whole number from 8000 to 192000; 48000 (the default) needs no conversion. */
  sampleRate?: number;
  /**
   * How long the stream may go without audio before it errors with
   * `ERR_CAPTURE_STALLED`; a linked stream delivers even silence. Default
   * 2000; `0` never.
   */
  stallTimeoutMs?: number;
  /**
   * Bounds a slow reader's delay: audio buffered beyond this many
   * milliseconds is dropped, oldest first, and a `'drop'` event says how
   * much. Default: nothing is ever dropped.
   */
  maxBufferedMs?: number;
  /**
   * When PipeWire goes away (a restart, a crash), has no device yet, or the
   * named target is missing or goes away: wait for it and record on,
   * emitting `'reconnect'` with the gap, instead of erroring. Default `false`.
   */
  reconnect?: boolean;
  /** How long `reconnect` waits before the stream errors with `ERR_RECONNECT_TIMEOUT`. Default 30000. */
  reconnectTimeoutMs?: number;
  /**
   * `true`: an object-mode stream of {@link TimedChunk}s, each chunk with
   * the capture time of its first frame. Default `false`.
   */
  timestamps?: boolean;
}

/** {@link captureStream} of a target, or of the default source or sink. */
export interface CaptureStreamTargetOptions extends CaptureStreamFormatOptions {
  /**
   * What to record: an object serial or node name, as
   * {@link listCaptureTargets} lists them. Absent: the default source, or
   * with `system` the default sink.
   */
  target?: string;
  excludeProcessId?: undefined;
  includeProcessId?: undefined;
  excludeProcessName?: undefined;
  includeProcessName?: undefined;
}

/** {@link captureStream} of the desktop without some processes. */
export interface CaptureStreamExcludeOptions extends CaptureStreamFormatOptions {
  /**
   * Linux: record everything the desktop plays except the playback of these
   * processes (a pid or an array of pids) and of their descendants: the
   * desktop without your own call audio. Streams that start later are
   * followed; the stream delivers silence while nothing plays. Needs
   * `pw-dump` and `pw-link` (Debian: `pipewire-bin`). A stream that only
   * claims a listed pid (through the Pulse server) is left out too.
   */
  excludeProcessId?: number | number[];
  /**
   * Linux: as `excludeProcessId`, for every process whose executable (or an
   * ancestor's) has one of these base names (`'chromium'`, `'zoom'`), as
   * `listCaptureTargets()` shows in `processName`.
   */
  excludeProcessName?: string | string[];
  target?: undefined;
  includeProcessId?: undefined;
  includeProcessName?: undefined;
}

/** {@link captureStream} of some processes alone. */
export interface CaptureStreamIncludeOptions extends CaptureStreamFormatOptions {
  /**
   * Linux: record only the playback of these processes (a pid or an array
   * of pids) and of their descendants, as one mix, by the pid PipeWire
   * verified or, for an app that plays through the Pulse server (browsers,
   * Electron apps), the pid it claims once the kernel backs the claim. A
   * claim never brings audio in: where more Pulse clients claim a process
   * than it holds connections, its streams are left out and the stream
   * emits `'warning'` (`ERR_PROCESS_OVERCLAIMED`). Otherwise as
   * `excludeProcessId`.
   */
  includeProcessId?: number | number[];
  /**
   * Linux: as `includeProcessId`, for every process whose executable (or an
   * ancestor's) has one of these base names, read from `/proc/PID/exe`,
   * which a process cannot rename. Follows the app: its new streams, and
   * its next runs, are taken as they appear. Combines with
   * `includeProcessId` (either one takes a stream).
   */
  includeProcessName?: string | string[];
  target?: undefined;
  excludeProcessId?: undefined;
  excludeProcessName?: undefined;
}

/**
 * Options of {@link captureStream}: a `target`, the `exclude` process
 * options or the `include` ones, at most one kind (the others throw at run
 * time).
 */
export type CaptureStreamOptions = CaptureStreamTargetOptions | CaptureStreamExcludeOptions | CaptureStreamIncludeOptions;

/**
 * An error of a {@link CaptureStream}: `code` says what happened.
 * - `ERR_RECORDER_SPAWN`: no recorder could be run (`info.error`: `'ENOENT'`, `'EACCES'`, ...).
 * - `ERR_RECORDER_EXITED`: the recorder ended by itself; `info` holds its
 *   `code`, `signal` and the last 4 KiB of its `stderr`.
 * - `ERR_CAPTURE_STALLED`: no audio for `stallTimeoutMs`.
 * - `ERR_TARGET_NOT_FOUND`: the `target` matches nothing, or went away.
 * - `ERR_RECONNECT_TIMEOUT`: with `reconnect`, PipeWire (or the target) did
 *   not come back within `reconnectTimeoutMs`; `info` is the error that lost it.
 * - `ERR_GRAPH_TOOL` (with a process option):
 *   `pw-dump` or `pw-link` could not be run; `info` holds `tool` and the
 *   errno name as `error`.
 * - `ERR_GRAPH_LOST` (same): `pw-dump`, which follows the graph, ended:
 *   PipeWire is not running or went away; `info` holds its `code`, `signal`
 *   and `stderr`.
 */
export interface CaptureStreamError extends Error {
  code:
    | 'ERR_RECORDER_SPAWN'
    | 'ERR_RECORDER_EXITED'
    | 'ERR_CAPTURE_STALLED'
    | 'ERR_TARGET_NOT_FOUND'
    | 'ERR_RECONNECT_TIMEOUT'
    | 'ERR_GRAPH_TOOL'
    | 'ERR_GRAPH_LOST';
  /**
   * What `onEnd` gave, for `ERR_RECORDER_SPAWN` and `ERR_RECORDER_EXITED`;
   * what failed, for `ERR_GRAPH_TOOL` and `ERR_GRAPH_LOST`.
   */
  info?:
    | CaptureEnd
    | { tool: 'pw-dump' | 'pw-link'; error: string }
    | { code: number | null; signal: string | null; stderr: string }
    | CaptureStreamError;
}

/** A chunk of a stream with `timestamps: true`. */
export interface TimedChunk {
  /** The chunk's PCM bytes, as a stream without timestamps gives them. */
  pcm: Buffer;
  /**
   * The capture time of its first frame (when PipeWire's graph carried it),
   * in nanoseconds on the clock of `process.hrtime.bigint()`. Streams of
   * one process share it.
   */
  time: bigint;
}

/**
 * What a `'warning'` event gives; the capture goes on. Each comes once each
 * time what it tells changes.
 * - `ERR_PROCESS_OVERCLAIMED`: streams of an include capture's processes
 *   are left out because more Pulse clients claim those pids (`info.pids`)
 *   than they hold connections to the Pulse server.
 * - `ERR_PULSE_UNCHECKED`: the Pulse clients' pids could not be checked
 *   with the kernel (`info.error`, an errno name), so an include capture
 *   takes none of them.
 */
export type CaptureStreamWarning =
  | (Error & { code: 'ERR_PROCESS_OVERCLAIMED'; info: { pids: number[] } })
  | (Error & { code: 'ERR_PULSE_UNCHECKED'; info: { error: string } });

/** What a `'drop'` event tells. */
export interface DropInfo {
  droppedMs: number;
  totalDroppedMs: number;
}

/** What a `'reconnect'` event tells: how long the stream heard nothing, and why. */
export interface ReconnectInfo {
  gapMs: number;
  error: CaptureStreamError;
  /** For {@link captureCall}: the side that reconnected. */
  side?: 'microphone' | 'desktop';
}

/**
 * The listener methods of a capture stream whose chunks are `Chunk`s and
 * whose errors are {@link CaptureStreamError}s.
 */
export interface CaptureStreamListener<This, Chunk> {
  (event: 'data', listener: (chunk: Chunk) => void): This;
  (event: 'error', listener: (error: CaptureStreamError) => void): This;
  (event: 'drop', listener: (info: DropInfo) => void): This;
  (event: 'reconnect', listener: (info: ReconnectInfo) => void): This;
  (event: 'warning', listener: (warning: CaptureStreamWarning) => void): This;
  (event: 'close' | 'end' | 'pause' | 'readable' | 'resume', listener: () => void): This;
  (event: string | symbol, listener: (...args: any[]) => void): This;
}

/** A Readable of capture chunks, with `stop()`. */
export interface CaptureStreamOf<Chunk> extends Readable {
  /** Ends the capture; the stream ends after its last chunk. */
  stop(): void;
  read(size?: number): Chunk | null;
  [Symbol.asyncIterator](): NodeJS.AsyncIterator<Chunk>;
  on: CaptureStreamListener<this, Chunk>;
  once: CaptureStreamListener<this, Chunk>;
  addListener: CaptureStreamListener<this, Chunk>;
  prependListener: CaptureStreamListener<this, Chunk>;
  prependOnceListener: CaptureStreamListener<this, Chunk>;
}

/**
 * A Readable of PCM bytes. Every chunk is a Buffer of whole frames that
 * starts at a `byteOffset` that is a multiple of 4, so a `Float32Array` or
 * `Int16Array` view of it needs no copy.
 */
export type CaptureStream = CaptureStreamOf<Buffer>;

/** A stream with `timestamps: true`: object mode, one {@link TimedChunk} per chunk. */
export type TimedCaptureStream = CaptureStreamOf<TimedChunk>;

/**
 * Starts a capture of its own and returns it as a stream: any number run at
 * once, beside {@link startCapture}'s, each with its own recorder. Unless
 * `maxBufferedMs` says otherwise, nothing is dropped for a slow reader:
 * chunks wait in the stream's buffer. Throws a `TypeError` with code
 * `ERR_INVALID_ARG_VALUE` for a bad option or a key that is no option.
 */
export function captureStream(options: CaptureStreamOptions & { timestamps: true }): TimedCaptureStream;
export function captureStream(options?: CaptureStreamOptions & { timestamps?: false }): CaptureStream;

/** Options of {@link captureCall}. */
export interface CaptureCallOptions {
  /** The microphone, as a `target` of {@link captureStream}. Absent: the default source. */
  microphone?: string;
  /** The other side: these processes' playback alone. Absent: what the desktop plays (the default sink). */
  includeProcessId?: number | number[];
  /** The other side: these executables' playback alone, as `captureStream`'s `includeProcessName`. */
  includeProcessName?: string | string[];
  format?: 'f32' | 's16';
  sampleRate?: number;
  stallTimeoutMs?: number;
  reconnect?: boolean;
  reconnectTimeoutMs?: number;
}

/**
 * Both sides of a call as one stereo stream: the microphone on the left,
 * what the desktop (or `includeProcessId`) plays on the right, each the
 * mean of its source's channels, laid side by side by capture time.
 */
export function captureCall(options?: CaptureCallOptions): CaptureStream;
