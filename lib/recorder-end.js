'use strict';

// What a recorder's exit, as onEnd reports it, most likely means.

// [pattern in its output, the cause, what to check].
const kCauses = [
  [/Host is down|Connection refused/, 'PipeWire is not running', 'systemctl --user status pipewire'],
  [/Broken pipe|connection error/i, 'PipeWire went away', 'it stopped or restarted; start a new capture'],
  [/no node available/, 'PipeWire has nothing to record (no sink or source)', 'pw-cli ls Node'],
];

// { lastLine, cause, check } for an end with reason 'exited': cause and
// check are undefined when the output names no known cause.
function explainExit(info) {
  const [, cause, check] = kCauses.find(([pattern]) => pattern.test(info.stderr)) ?? [];
  return { lastLine: info.stderr.trim().split(/\r?\n/).at(-1).trim(), cause, check };
}

module.exports = { explainExit };
