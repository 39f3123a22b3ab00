'use strict';

// Which process a playback stream belongs to. PipeWire's protocol sets a
// client's pipewire.sec.pid from its socket's credentials (SO_PEERCRED),
// which no client can choose; application.process.id is whatever the
// client wrote there. A stream played through PipeWire's Pulse server has
// that server's pid for its client's, and only the Pulse client's own claim
// besides: the server reads the peer's credentials but records none of
// them (docs/process-capture.md).

const { descendsFrom } = require('./lineage');
const { kKey, kPulseApi } = require('./pipewire');

const positive = (value) => {
  const pid = Number(value);
  return Number.isSafeInteger(pid) && pid > 0 ? pid : null;
};

// The pid the kernel reported for CLIENT (a pw-dump object), or null.
function verifiedProcessId(client) {
  return positive(client?.info?.props?.[kKey.secPid]);
}

// The pids that a Pulse client claims for its stream NODE. A native
// client has a verified pid of its own, so its claims are never read. A
// native client that passes itself off as a Pulse client gains no more
// than any program that plays through the Pulse server has anyway.
function pulseClaims(node, client) {
  if (client?.info?.props?.[kKey.clientApi] !== kPulseApi) return [];
  return [node.info.props[kKey.processId], client.info.props[kKey.processId]]
    .map(positive)
    .filter((pid) => pid !== null);
}

// Whether NODE, played by CLIENT, belongs to one of PIDS (a Set) or to a
// descendant of one, as a capture that EXCLUDEs them (or includes them)
// should judge it. By the verified pid; an exclusion also takes a Pulse
// client's claim, the only pid such a stream has of its own: a claim can
// then keep the claimer's own audio out, but never bring audio in.
function belongsTo(node, client, pids, exclude) {
  const verified = verifiedProcessId(client);
  if (verified !== null && descendsFrom(verified, pids)) return true;
  return exclude && pulseClaims(node, client).some((pid) => descendsFrom(pid, pids));
}

module.exports = { verifiedProcessId, belongsTo };
