'use strict';

// Which process a playback stream belongs to. PipeWire's protocol sets a
// client's pipewire.sec.pid from its socket's credentials (SO_PEERCRED),
// which no client can choose; application.process.id is whatever the
// client wrote there. A stream played through PipeWire's Pulse server has
// that server's pid for its client's, and only the Pulse client's own claim
// besides: the server reads the peer's credentials but records none of
// them (docs/process-capture.md); lib/pulse-peers.js checks such claims.

const { kKey } = require('./pipewire');

// VALUE (a property) as a pid, or null.
function positivePid(value) {
  const pid = Number(value);
  return Number.isSafeInteger(pid) && pid > 0 ? pid : null;
}

// The pid the kernel reported for CLIENT (a pw-dump object), or null.
function verifiedProcessId(client) {
  return positivePid(client?.info?.props?.[kKey.secPid]);
}

module.exports = { verifiedProcessId, positivePid };
