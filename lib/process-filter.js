'use strict';

// Records the desktop's playback streams without some processes, or only
// some processes': the recorder runs unlinked under a node name of its own,
// and this links the output ports of every allowed playback stream straight
// into the recorder's input ports with pw-link. A stream's port feeds the
// user's sink and the recorder alike, so the user hears what they heard
// before, and nothing waits a quantum in a sink's monitor. No sink is ever
// made: the session manager would take a new sink as the default, and the
// next player would play into it alone.

const { execFile } = require('child_process');
const { kType, kMediaClass, kKey, watchGraph, endChild } = require('./pipewire');
const errors = require('./errors');
const { streamIdentity, judgeStream } = require('./app-identity');
const { pulseChecker, isPulseClient } = require('./pulse-peers');

// The recorder's channels that each playback channel feeds; others (LFE,
// AUX...) are dropped. By the port's own channel only: a stream's ports
// come and go one at a time, so a port alone is not a mono stream.
const kChannelMap = {
  FL: ['FL'],
  FR: ['FR'],
  MONO: ['FL', 'FR'],
  FC: ['FL', 'FR'],
  SL: ['FL'],
  RL: ['FL'],
  SR: ['FR'],
  RR: ['FR'],
};

let g_nodeCount = 0;

// A node name no other capture of this or another process uses.
function unlinkedNodeName() {
  return `orvel-capture-audio.${process.pid}.${++g_nodeCount}`;
}

// Process options, one list of pids and one of names for each side.
const kProcessOptions = {
  exclude: ['excludeProcessId', 'excludeProcessName'],
  include: ['includeProcessId', 'includeProcessName'],
};

const asList = (value) => (Array.isArray(value) ? value : [value]);

// { exclude, pids, names } from captureStream's options, or null for none.
function readProcessFilter(options, invalid) {
  const given = (keys) => keys.filter((key) => options[key] !== undefined);
  const [excluding, including] = [given(kProcessOptions.exclude), given(kProcessOptions.include)];
  if (excluding.length > 0 && including.length > 0) {
    throw invalid(`give ${excluding[0]} or ${including[0]}, not both`);
  }
  if (excluding.length === 0 && including.length === 0) return null;
  const exclude = excluding.length > 0;
  const [idKey, nameKey] = exclude ? kProcessOptions.exclude : kProcessOptions.include;
  const pids = options[idKey] === undefined ? [] : asList(options[idKey]);
  if (!pids.every((pid) => Number.isSafeInteger(pid) && pid > 0)) {
    throw invalid(`${idKey} must be a process id or an array of them, not ${String(options[idKey])}`);
  }
  const names = options[nameKey] === undefined ? [] : asList(options[nameKey]);
  const isName = (name) => typeof name === 'string' && name !== '' && !/[/\0]/.test(name);
  if (options[nameKey] !== undefined && (names.length === 0 || !names.every(isName))) {
    throw invalid(`${nameKey} must be an executable's base name (no "/") or an array of them, not ${String(options[nameKey])}`);
  }
  return { exclude, pids: new Set(pids), names: new Set(names) };
}

// Loopbacks, filter chains and echo cancellers play everyone's audio
// through a playback stream: linking it would let the excluded back in, and
// double the others.
function isVirtualDevice(node, clientId, nodes) {
  const props = node.info.props;
  if (props[kKey.linkGroup] !== undefined || props[kKey.group] !== undefined) return true;
  if (clientId === undefined) return false;
  return nodes.some(
    (other) => other.info.props[kKey.clientId] === clientId && other.info.props[kKey.mediaClass]?.startsWith(kMediaClass.sink),
  );
}

// Keeps in COLLECTION (a Map or Set) only the keys in LIVE.
function prune(collection, live) {
  for (const key of collection.keys()) if (!live.has(key)) collection.delete(key);
}

// Follows the graph and links what FILTER allows into the node NODE_NAME
// until stop(); onError(error) once if pw-dump or pw-link cannot run or the
// graph is lost; onWarning(error) when the Pulse clients' streams it
// leaves out, and why, change; onDriverChange() when the first of the
// recorder's links becomes active or its last one goes.
function filterProcesses({ nodeName, filter, onError, onWarning = () => {}, onDriverChange = () => {} }) {
  // Whether each playback stream is allowed, by object.serial: decided once,
  // since PipeWire reuses ids at once, and a stream's process may be gone
  // before the stream is. A Pulse client's stream is decided again when the
  // Pulse clients change: a new one may over-claim its pid.
  const decisions = new Map();
  const pulse = pulseChecker();
  let warned = null;
  // The recorder's input port ids each output port (by serial) was linked
  // to: a port is never linked twice, even if its link is taken away.
  const linked = new Map();
  // Serials of the links into the recorder that were removed.
  const removed = new Set();
  const tools = new Set();
  let stopped = false;
  // Whether a link feeds the recorder. Linked, it is driven by the players'
  // driver; unlinked, by another (the Dummy-Driver on 1.4 and 1.6), whose
  // cycles are not in step with theirs: the recorder's frames then shift
  // against the players' by up to a cycle (docs/how-it-works.md).
  let fed = false;

  const run = (args) => {
    const child = execFile('pw-link', args, (error) => {
      tools.delete(child);
      // A failure with an exit code means the port or link went away first.
      if (typeof error?.code === 'string') fail(errors.graphToolMissing('pw-link', error.code));
    });
    tools.add(child);
  };

  const decide = (node, objects, nodes, checks) => {
    const props = node.info.props;
    const serial = props[kKey.serial];
    const decided = decisions.get(serial);
    if (decided && (!decided.pulse || decided.generation === pulse.generation)) return decided.allowed;
    const clientId = props[kKey.clientId];
    const client = clientId === undefined ? null : objects.get(clientId);
    // Decided once its client is known; until then it is not linked.
    if (client === undefined || (client !== null && !client.info?.props)) return false;
    const { taken, overClaimed } = judgeStream(streamIdentity(node, client, checks), filter);
    const allowed = !isVirtualDevice(node, clientId, nodes) && taken;
    decisions.set(serial, { allowed, overClaimed, pulse: isPulseClient(client), generation: pulse.generation });
    return allowed;
  };

  // Warns once for each new set of pids whose streams are left out because
  // more Pulse clients claim them than they hold connections, and once
  // for each new reason the kernel could not check the Pulse clients: an
  // include capture then takes none of them.
  const warn = (checks) => {
    const pids = [...new Set([...decisions.values()].map((decided) => decided.overClaimed).filter(Boolean))].sort();
    const failure = filter.exclude ? null : [...checks.values()].find((check) => check.error)?.error ?? null;
    const now = `${pids.join()} ${failure}`;
    if (now === warned) return;
    warned = now;
    if (pids.length > 0) onWarning(errors.processOverClaimed(pids));
    if (failure !== null) onWarning(errors.pulseUnchecked(failure));
  };

  const sync = (objects) => {
    const nodes = [];
    const ports = [];
    const links = [];
    for (const object of objects.values()) {
      if (!object.info?.props) continue;
      if (object.type === kType.node) nodes.push(object);
      else if (object.type === kType.port) ports.push(object);
      else if (object.type === kType.link) links.push(object);
    }
    const recorder = nodes.find((node) => node.info.props[kKey.nodeName] === nodeName);
    if (!recorder) return;
    const inputs = new Map();
    const outputs = new Map();
    for (const port of ports) {
      const props = port.info.props;
      if (props[kKey.nodeId] === recorder.id && props[kKey.portDirection] === 'in') {
        inputs.set(props[kKey.channel], port.id);
      } else if (props[kKey.portDirection] === 'out' && !props[kKey.portMonitor]) {
        if (!outputs.has(props[kKey.nodeId])) outputs.set(props[kKey.nodeId], []);
        outputs.get(props[kKey.nodeId]).push(port);
      }
    }
    const feeding = links.some((link) => link.info['input-node-id'] === recorder.id && link.info.state === 'active');
    if (feeding !== fed) {
      fed = feeding;
      onDriverChange();
    }
    const checks = pulse.check(objects.values());
    const allowed = new Set(
      nodes
        .filter((node) => node.info.props[kKey.mediaClass] === kMediaClass.playback && decide(node, objects, nodes, checks))
        .map((node) => node.id),
    );
    const portSerials = new Map(ports.map((port) => [port.id, port.info.props[kKey.serial]]));
    for (const link of links) {
      const serial = link.info.props[kKey.serial];
      if (link.info['input-node-id'] !== recorder.id || allowed.has(link.info['output-node-id'])) continue;
      if (removed.has(serial)) continue;
      removed.add(serial);
      // Taken away by this filter: the port is linked again if allowed again.
      linked.get(portSerials.get(link.info['output-port-id']))?.delete(link.info['input-port-id']);
      run(['-d', String(link.id)]);
    }
    for (const nodeId of allowed) {
      for (const port of outputs.get(nodeId) ?? []) {
        const serial = port.info.props[kKey.serial];
        const channels = kChannelMap[port.info.props[kKey.channel]] ?? [];
        for (const input of channels.map((channel) => inputs.get(channel))) {
          if (input === undefined || linked.get(serial)?.has(input)) continue;
          if (!linked.has(serial)) linked.set(serial, new Set());
          linked.get(serial).add(input);
          run([String(port.id), String(input)]);
        }
      }
    }
    const serials = (list) => new Set(list.map((object) => object.info.props[kKey.serial]));
    prune(decisions, serials(nodes));
    warn(checks);
    prune(linked, serials(ports));
    prune(removed, serials(links));
  };

  const graph = watchGraph({ onUpdate: sync, onError: (error) => fail(error) });

  function fail(error) {
    if (stopped) return;
    stop();
    onError(error);
  }

  function stop() {
    if (stopped) return;
    stopped = true;
    graph.stop();
    for (const child of tools) endChild(child);
  }
  return { stop };
}

module.exports = { readProcessFilter, kProcessOptions, unlinkedNodeName, filterProcesses };
