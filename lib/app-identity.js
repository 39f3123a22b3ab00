'use strict';

// Which app a playback stream belongs to, and whether a capture's list of
// pids and executable names takes it. A stream's process is its client's
// verified pid (pipewire.sec.pid, from the socket's credentials) or, played
// through the Pulse server, the pid its Pulse client claims once the kernel
// has checked that claim (lib/pulse-peers.js). An app is known by that
// process or an ancestor of it: browsers and Electron apps play from a
// child process.

const fs = require('fs');
const path = require('path');
const { lineageOf } = require('./lineage');
const { verifiedProcessId, positivePid } = require('./process-ids');
const { isPulseClient } = require('./pulse-peers');
const { kKey } = require('./pipewire');

// The base name of the executable PID runs, which the process cannot
// rename (unlike its comm or the binary name it tells PipeWire), or null
// when it is gone or not ours to read. A binary replaced on disk since it
// started (an upgrade) reads as "NAME (deleted)".
function executableName(pid) {
  try {
    return path.basename(fs.readlinkSync(`/proc/${pid}/exe`)).replace(/ \(deleted\)$/, '');
  } catch {
    return null;
  }
}

// { processId, verdict, claims } of stream NODE, played by CLIENT, with
// CHECKS from pulseChecker: processId is the verified or kernel-checked
// pid, or null; verdict says how it was told ('verified', or a verdict of
// lib/pulse-peers.js); claims are the pids a Pulse client claims for it,
// checked or not. A native client that passes itself off as a Pulse client
// keeps its verified pid: no claim of its own counts.
function streamIdentity(node, client, checks) {
  if (!isPulseClient(client)) {
    const processId = verifiedProcessId(client);
    return { processId, verdict: processId === null ? 'unknown' : 'verified', claims: [] };
  }
  const check = checks.get(client.id) ?? { pid: null, verdict: 'unknown' };
  const streamClaim = positivePid(node.info.props[kKey.processId]);
  const claims = [...new Set([check.pid, streamClaim].filter((pid) => pid !== null))];
  // A stream that claims another process than its client is not told.
  const told = check.verdict === 'kernel-checked' && claims.length === 1;
  return { processId: told ? check.pid : null, verdict: told || claims.length <= 1 ? check.verdict : 'unknown', claims };
}

// Whether PID or one of its ancestors is in FILTER's pids or runs an
// executable of one of its names.
function isListed(pid, { pids, names }) {
  return lineageOf(pid).some((at) => pids.has(at) || (names.size > 0 && names.has(executableName(at))));
}

// Whether a capture with FILTER ({ exclude, pids, names }) takes the stream
// of IDENTITY, and the pid it would have taken but for an over-claim
// (overClaimed, else null). A claim never brings a stream in, but it can
// keep the claimer's own audio out of a capture that excludes the pid.
function judgeStream(identity, filter) {
  const { processId, verdict, claims } = identity;
  const listed = processId !== null && isListed(processId, filter);
  if (filter.exclude) {
    return { taken: !listed && !claims.some((pid) => isListed(pid, filter)), overClaimed: null };
  }
  const overClaimed = !listed && verdict === 'over-claimed' && isListed(claims[0], filter) ? claims[0] : null;
  return { taken: listed, overClaimed };
}

module.exports = { executableName, streamIdentity, judgeStream };
