'use strict';

// Pulse clients' claimed pids, checked with the kernel. PipeWire's Pulse
// server keeps no verified pid of its peers: each of its clients has the
// server's own pid for pipewire.sec.pid, and the pid the app wrote in
// application.process.id, which any app may set to any pid. But each Pulse
// client is a connection to the server's socket, and the kernel tells which
// process holds the other end of each. A claim counts when the claimed
// process holds connections to the server, and no more clients claim it
// than it holds: a process that holds none cannot be the client, and one
// claimed by more clients than it holds connections has an impostor among
// them, which cannot be told from the rest.

const native = require('./native');
const { positivePid } = require('./process-ids');
const { kType, kKey, kPulseApi } = require('./pipewire');

// Whether each claimed pid is 'kernel-checked', 'unconnected' (holds no connection
// to the server) or 'over-claimed', from CLAIMS (a Map of pid to the number
// of clients that claim it) and CONNECTIONS (a Map of pid to the number of
// connections it holds); a pid missing from CONNECTIONS holds none.
function judgeClaims(claims, connections) {
  const verdicts = new Map();
  for (const [pid, claimed] of claims) {
    const held = connections.get(pid) ?? 0;
    verdicts.set(pid, held === 0 ? 'unconnected' : claimed > held ? 'over-claimed' : 'kernel-checked');
  }
  return verdicts;
}

// The pid that Pulse client CLIENT (a pw-dump object) claims, or null.
function claimOf(client) {
  return positivePid(client.info.props[kKey.processId]);
}

function isPulseClient(client) {
  return client?.type === kType.client && client.info?.props?.[kKey.clientApi] === kPulseApi;
}

// { pid, verdict, error } of each Pulse client among OBJECTS (pw-dump
// objects), by client id: verdict is one of judgeClaims' or 'unknown' when
// the client claims nothing or the kernel could not be asked, and then
// error is the errno name (a server of another user, or out of sight in
// another pid namespace). A client's server is the process its
// pipewire.sec.pid names.
function checkPulseClients(objects) {
  const byServer = new Map();
  for (const object of objects) {
    if (!isPulseClient(object)) continue;
    const server = positivePid(object.info.props[kKey.secPid]);
    if (!byServer.has(server)) byServer.set(server, []);
    byServer.get(server).push(object);
  }
  const checks = new Map();
  for (const [server, clients] of byServer) {
    const claims = new Map();
    for (const pid of clients.map(claimOf).filter((pid) => pid !== null)) claims.set(pid, (claims.get(pid) ?? 0) + 1);
    const pids = [...claims.keys()];
    const answer = server === null ? { error: 'ESRCH' } : pids.length === 0 ? { counts: [] } : native._socketPeers(server, pids);
    const verdicts = answer.counts ? judgeClaims(claims, new Map(pids.map((pid, i) => [pid, answer.counts[i]]))) : new Map();
    for (const client of clients) {
      const pid = claimOf(client);
      checks.set(client.id, { pid, verdict: verdicts.get(pid) ?? 'unknown', error: answer.error ?? null });
    }
  }
  return checks;
}

// checkPulseClients over the graph, asked again only when its Pulse
// clients change: they come and go with the apps' connections, far less
// often than the graph changes. `generation` counts the changes.
function pulseChecker() {
  let key = null;
  let checks = new Map();
  let generation = 0;
  return {
    check(objects) {
      const clients = [...objects].filter(isPulseClient);
      const now = clients.map((client) => `${client.id}:${client.info.props[kKey.serial]}:${claimOf(client)}`).sort().join(' ');
      if (now !== key) {
        key = now;
        checks = checkPulseClients(clients);
        generation++;
      }
      return checks;
    },
    get generation() {
      return generation;
    },
  };
}

module.exports = { judgeClaims, checkPulseClients, pulseChecker, isPulseClient };
