'use strict';

// Every error the package reports, with its code, its message and what to
// check, and what a recorder's last words mean. The stream, orvel-record,
// the target list and the process filter all take their errors from here.

const kInstallTools =
  "install PipeWire's command-line tools (Debian, Ubuntu: apt-get install pipewire-bin; Fedora: pipewire-utils)";
const kListTargets = 'listCaptureTargets() or orvel-record --list-targets shows what there is';

// What pw-record's words mean, in the order they are looked for: every
// release says it its own way (see docs/pipewire-releases.md), and the line
// that tells is not always its last.
const kEndCauses = [
  { kind: 'no-daemon', pattern: /Host is down|Connection refused/, cause: 'PipeWire is not running' },
  { kind: 'daemon-gone', pattern: /Broken pipe|connection error/i, cause: 'PipeWire went away' },
  { kind: 'target-not-found', pattern: /target not found/i, cause: 'the target was not found' },
  { kind: 'no-device', pattern: /no (target )?node available/, cause: 'PipeWire has nothing to record (no sink or source)' },
];

// An Error with a `code` and, when given, an `info` with the details.
function codedError(code, message, info) {
  const error = new Error(message);
  error.code = code;
  if (info !== undefined) error.info = info;
  return error;
}

// A bad option of CALLER (captureStream, captureCall; null: say no caller).
function invalidArgument(message, caller = 'captureStream') {
  const error = new TypeError(caller ? `${caller}: ${message}` : message);
  error.code = 'ERR_INVALID_ARG_VALUE';
  return error;
}

// KEY is no option of CALLER; MEANT is the one it is close to, if any.
function unknownOption(key, meant, caller) {
  return invalidArgument(`${key} is not an option${meant ? `; did you mean ${meant}?` : ''}`, caller);
}

// A PipeWire tool that could not be run: ERRNO is the errno name.
function toolMissingMessage(tool, errno) {
  return errno === 'ENOENT'
    ? `${tool} is not installed: ${kInstallTools}`
    : `${tool} could not be run (${errno}): check that it is executable and on PATH`;
}

// { kind, cause, line } for a recorder's end as onEnd reports it: KIND is
// one of kEndCauses' or 'spawn-failed', or undefined when the output names no
// known cause; LINE is the line of its output that tells, or its last.
function readRecorderEnd(info) {
  if (info.reason === 'spawn-failed') return { kind: 'spawn-failed', cause: toolMissingMessage('pw-record', info.error) };
  const lines = info.stderr.split(/\r?\n/).map((line) => line.trim()).filter(Boolean);
  for (const { kind, pattern, cause } of kEndCauses) {
    const line = lines.find((text) => pattern.test(text));
    if (line) return { kind, cause, line };
  }
  return { kind: undefined, cause: undefined, line: lines.at(-1) };
}

// What SOURCE (a phrase, e.g. 'the default source') is, for messages.
function describeSource({ target, system, processes }) {
  if (processes) return `the desktop's playback ${processes.exclude ? 'without' : 'of'} processes ${[...processes.pids].join(', ')}`;
  if (target === undefined) return system ? 'the default sink' : 'the default source';
  return `${system ? 'sink' : 'target'} "${target}"`;
}

function targetNotFound(target, how = 'was not found', info) {
  return codedError('ERR_TARGET_NOT_FOUND', `target "${target}" ${how}: ${kListTargets}`, info);
}

// The error for a capture whose recorder ended by itself (onEnd's INFO),
// while recording what SETTINGS name.
function recorderEnded(info, settings) {
  const { kind, cause, line } = readRecorderEnd(info);
  if (kind === 'spawn-failed') return codedError('ERR_RECORDER_SPAWN', cause, info);
  const how = info.signal ? `was killed by ${info.signal}` : `exited with status ${info.code}`;
  const said = line ? `: ${line}` : '';
  const message = cause
    ? `${cause} (pw-record ${how}${said})`
    : `pw-record ${how} while recording ${describeSource(settings)}${said}`;
  return codedError('ERR_RECORDER_EXITED', message, info);
}

// No audio for MS, before the first chunk (NONE_YET) or after: a linked
// stream delivers even silence.
function stalled(settings, ms, noneYet) {
  const source = describeSource(settings);
  const message = noneYet
    ? `no audio arrived within ${ms / 1000} s from ${source}. Is PipeWire running (pw-cli info 0)? Is the target right (${kListTargets})?`
    : `no audio for ${ms / 1000} s from ${source}: it went away, or PipeWire stalled`;
  return codedError('ERR_CAPTURE_STALLED', message);
}

function reconnectTimedOut(ms, lost) {
  return codedError(
    'ERR_RECONNECT_TIMEOUT',
    `PipeWire did not come back within ${ms / 1000} s (${lost.message})`,
    lost,
  );
}

// pw-dump or pw-link, which follow and link the graph, could not be run.
function graphToolMissing(tool, errno) {
  return codedError('ERR_GRAPH_TOOL', toolMissingMessage(tool, errno), { tool, error: errno });
}

// pw-dump, which follows the graph, ended: STDERR is what it printed.
function graphLost({ code, signal, stderr }) {
  const lastLine = stderr.trim().split('\n').at(-1);
  return codedError(
    'ERR_GRAPH_LOST',
    `pw-dump, which follows the graph, ${signal ? `was killed by ${signal}` : `exited with code ${code}`}` +
      (lastLine ? `; it said "${lastLine}"` : '') +
      ': PipeWire is not running or went away',
    { code, signal, stderr },
  );
}

function graphGarbled(detail) {
  return codedError('ERR_GRAPH_LOST', `pw-dump printed something that is not a graph update: ${detail}`);
}

// listCaptureTargets() could not read the graph.
// Streams left out of a capture that takes PIDS' audio alone: more Pulse
// clients claim each than it holds connections to the Pulse server, so
// another app passes itself off as it and its own streams cannot be told.
function processOverClaimed(pids) {
  const which = pids.length > 1 ? `processes ${pids.join(', ')}` : `process ${pids[0]}`;
  return codedError(
    'ERR_PROCESS_OVERCLAIMED',
    `the audio of ${which} is left out: more Pulse clients claim its pid than it holds connections to the ` +
      'Pulse server, so another app passes itself off as it',
    { pids },
  );
}

// The Pulse server's clients could not be checked with the kernel (ERRNO):
// a capture that takes some processes alone takes none of them.
function pulseUnchecked(errno) {
  return codedError(
    'ERR_PULSE_UNCHECKED',
    `the apps that play through the Pulse server are left out: their pids could not be checked (${errno}); ` +
      'is the Pulse server another user\'s, or out of sight of this process?',
    { error: errno },
  );
}

function listFailed(errno, stderr, cause) {
  const message =
    errno === 'ENOENT'
      ? toolMissingMessage('pw-dump', errno)
      : `pw-dump failed: ${stderr.trim() || cause.message}; is PipeWire running (pw-cli info 0)?`;
  return new Error(message, { cause });
}

module.exports = {
  codedError, invalidArgument, unknownOption, readRecorderEnd, describeSource, targetNotFound, recorderEnded, stalled,
  reconnectTimedOut, graphToolMissing, graphLost, graphGarbled, listFailed, processOverClaimed, pulseUnchecked,
  toolMissingMessage,
};
