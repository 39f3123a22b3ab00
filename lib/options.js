'use strict';

// The one reader of captureStream's and captureCall's options, which
// orvel-record reads its arguments through too. A key that is not one of
// their options is refused: a misspelt process filter would otherwise
// record the whole desktop without a word.

const { readProcessFilter, kProcessOptions } = require('./process-filter');
const errors = require('./errors');

const kMinRate = 8000;
const kMaxRate = 192000;
const kReconnectTimeoutMs = 30000;
// Stream options that a call does not take: it sets them for its two
// streams itself, or they have no meaning for a call.
const kNotForCalls = ['target', 'system', 'channels', 'timestamps', 'excludeProcessId', 'excludeProcessName', 'maxBufferedMs'];
const kStreamKeys = [
  'target', 'system', 'format', 'channels', 'sampleRate', 'stallTimeoutMs', 'timestamps', 'maxBufferedMs', 'reconnect',
  'reconnectTimeoutMs', ...kProcessOptions.exclude, ...kProcessOptions.include,
];
// A call's own keys; the rest are its streams'.
const kCallKeys = ['microphone', 'includeProcessId', 'includeProcessName', 'format', 'sampleRate'];

function checkObject(options, caller) {
  if (options === null || typeof options !== 'object') throw errors.invalidArgument('options must be an object', caller);
}

// OPTIONS' keys that hold a value and are not among KNOWN.
const unknown = (options, known) => Object.keys(options).filter((key) => !known.includes(key) && options[key] !== undefined);

// How many one-letter edits turn A into B, ignoring case.
function editDistance(a, b) {
  [a, b] = [a.toLowerCase(), b.toLowerCase()];
  let previous = Array.from({ length: b.length + 1 }, (_, i) => i);
  for (let i = 1; i <= a.length; i++) {
    const row = [i];
    for (let j = 1; j <= b.length; j++) {
      row[j] = Math.min(previous[j] + 1, row[j - 1] + 1, previous[j - 1] + (a[i - 1] === b[j - 1] ? 0 : 1));
    }
    previous = row;
  }
  return previous[b.length];
}

function refuseUnknown(options, known, caller) {
  const [key] = unknown(options, known);
  if (key === undefined) return;
  const distance = (name) => editDistance(key, name);
  const meant = known.filter((name) => distance(name) <= 2).sort((a, b) => distance(a) - distance(b))[0];
  throw errors.unknownOption(key, meant, caller);
}

function readFormat(format, caller) {
  if (format !== 'f32' && format !== 's16') {
    throw errors.invalidArgument(`format must be 'f32' or 's16', not ${String(format)}`, caller);
  }
}

function readSampleRate(sampleRate, caller) {
  if (!Number.isInteger(sampleRate) || sampleRate < kMinRate || sampleRate > kMaxRate) {
    const range = `from ${kMinRate} to ${kMaxRate}`;
    throw errors.invalidArgument(`sampleRate must be a whole number of Hz ${range}, not ${String(sampleRate)}`, caller);
  }
}

// A stream's settings from captureStream's OPTIONS; CALLER names who was
// given them, in messages.
function readStreamOptions(options = {}, caller = 'captureStream') {
  const invalid = (message) => errors.invalidArgument(message, caller);
  checkObject(options, caller);
  refuseUnknown(options, kStreamKeys, caller);
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
  readFormat(format, caller);
  if (channels !== 1 && channels !== 2) throw invalid(`channels must be 1 or 2, not ${String(channels)}`);
  readSampleRate(sampleRate, caller);
  const milliseconds = { stallTimeoutMs, reconnectTimeoutMs, ...(maxBufferedMs !== undefined && { maxBufferedMs }) };
  for (const [name, value] of Object.entries(milliseconds)) {
    if (typeof value !== 'number' || !(value >= 0)) throw invalid(`${name} must be a number of milliseconds`);
  }
  const processes = readProcessFilter(options, invalid);
  if (processes && target !== undefined) throw invalid('target does not combine with excludeProcessId/Name or includeProcessId/Name');
  return {
    target, system, format, channels, sampleRate, stallTimeoutMs, timestamps, maxBufferedMs, reconnect,
    reconnectTimeoutMs, processes,
  };
}

// A call's format and rate and the settings of its two streams, the
// microphone's and the desktop's, from captureCall's OPTIONS: both read
// before either starts.
function readCallOptions(options = {}, caller = 'captureCall') {
  checkObject(options, caller);
  const { microphone, includeProcessId, includeProcessName, format = 'f32', sampleRate = 48000 } = options;
  for (const key of kNotForCalls) {
    if (key in options) throw errors.invalidArgument(`${key} is not an option of a call`, caller);
  }
  readFormat(format, caller);
  // The rest is the streams' to read, and to refuse.
  const common = Object.fromEntries(unknown(options, kCallKeys).map((key) => [key, options[key]]));
  Object.assign(common, { sampleRate, channels: 1, timestamps: true });
  return {
    format,
    sampleRate,
    microphone: readStreamOptions({ ...common, ...(microphone !== undefined && { target: microphone }) }, caller),
    desktop: readStreamOptions(
      {
        ...common,
        ...(includeProcessId === undefined && includeProcessName === undefined ? { system: true } : { includeProcessId, includeProcessName }),
      },
      caller,
    ),
  };
}

module.exports = { readStreamOptions, readCallOptions };
