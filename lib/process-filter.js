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
const { watchGraph, endChild } = require('./graph');
const errors = require('./errors');
const { belongsTo } = require('./process-ids');

const kNodeType = 'PipeWire:Interface:Node';
const kPortType = 'PipeWire:Interface:Port';
const kLinkType = 'PipeWire:Interface:Link';
const kPlaybackClass = 'Stream/Output/Audio';
const kSinkClass = 'Audio/Sink';
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

// { exclude, pids } from captureStream's options, or null for neither.
function readProcessFilter({ excludeProcessId, includeProcessId }, invalid) {
  if (excludeProcessId !== undefined && includeProcessId !== undefined) {
    throw invalid('give excludeProcessId or includeProcessId, not both');
  }
  const given = excludeProcessId ?? includeProcessId;
  if (given === undefined) return null;
  const pids = Array.isArray(given) ? given : [given];
  if (!pids.every((pid) => Number.isSafeInteger(pid) && pid > 0)) {
    throw invalid(
      `${excludeProcessId !== undefined ? 'excludeProcessId' : 'includeProcessId'} must be a process id ` +
        'or an array of them, not ' + String(given),
    );
  }
  return { exclude: excludeProcessId !== undefined, pids: new Set(pids) };
}

// Loopbacks, filter chains and echo cancellers play everyone's audio
// through a playback stream: linking it would let the excluded back in, and
// double the others.
function isVirtualDevice(node, clientId, nodes) {
  const props = node.info.props;
  if (props['node.link-group'] !== undefined || props['node.group'] !== undefined) return true;
  if (clientId === undefined) return false;
  return nodes.some(
    (other) => other.info.props['client.id'] === clientId && other.info.props['media.class']?.startsWith(kSinkClass),
  );
}

// Keeps in COLLECTION (a Map or Set) only the keys in LIVE.
function prune(collection, live) {
  for (const key of collection.keys()) if (!live.has(key)) collection.delete(key);
}

// Follows the graph and links what FILTER allows into the node NODE_NAME
// until stop(); onError(error) once if pw-dump or pw-link cannot run or the
// graph is lost; onDriverChange() when the first of the recorder's links
// becomes active or its last one goes.
function filterProcesses({ nodeName, filter, onError, onDriverChange = () => {} }) {
  // Whether each playback stream is allowed, by object.serial: decided once,
  // since PipeWire reuses ids at once, and a stream's process may be gone
  // before the stream is.
  const decisions = new Map();
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

  const decide = (node, objects, nodes) => {
    const props = node.info.props;
    const serial = props['object.serial'];
    if (decisions.has(serial)) return decisions.get(serial);
    const clientId = props['client.id'];
    const client = clientId === undefined ? null : objects.get(clientId);
    // Decided once its client is known; until then it is not linked.
    if (client === undefined || (client !== null && !client.info?.props)) return false;
    const listed = belongsTo(node, client, filter.pids, filter.exclude);
    const allowed = !isVirtualDevice(node, clientId, nodes) && listed !== filter.exclude;
    decisions.set(serial, allowed);
    return allowed;
  };

  const sync = (objects) => {
    const nodes = [];
    const ports = [];
    const links = [];
    for (const object of objects.values()) {
      if (!object.info?.props) continue;
      if (object.type === kNodeType) nodes.push(object);
      else if (object.type === kPortType) ports.push(object);
      else if (object.type === kLinkType) links.push(object);
    }
    const recorder = nodes.find((node) => node.info.props['node.name'] === nodeName);
    if (!recorder) return;
    const inputs = new Map();
    const outputs = new Map();
    for (const port of ports) {
      const props = port.info.props;
      if (props['node.id'] === recorder.id && props['port.direction'] === 'in') {
        inputs.set(props['audio.channel'], port.id);
      } else if (props['port.direction'] === 'out' && !props['port.monitor']) {
        if (!outputs.has(props['node.id'])) outputs.set(props['node.id'], []);
        outputs.get(props['node.id']).push(port);
      }
    }
    const feeding = links.some((link) => link.info['input-node-id'] === recorder.id && link.info.state === 'active');
    if (feeding !== fed) {
      fed = feeding;
      onDriverChange();
    }
    const allowed = new Set(
      nodes
        .filter((node) => node.info.props['media.class'] === kPlaybackClass && decide(node, objects, nodes))
        .map((node) => node.id),
    );
    for (const link of links) {
      const serial = link.info.props['object.serial'];
      if (link.info['input-node-id'] !== recorder.id || allowed.has(link.info['output-node-id'])) continue;
      if (removed.has(serial)) continue;
      removed.add(serial);
      run(['-d', String(link.id)]);
    }
    for (const nodeId of allowed) {
      for (const port of outputs.get(nodeId) ?? []) {
        const serial = port.info.props['object.serial'];
        const channels = kChannelMap[port.info.props['audio.channel']] ?? [];
        for (const input of channels.map((channel) => inputs.get(channel))) {
          if (input === undefined || linked.get(serial)?.has(input)) continue;
          if (!linked.has(serial)) linked.set(serial, new Set());
          linked.get(serial).add(input);
          run([String(port.id), String(input)]);
        }
      }
    }
    const serials = (list) => new Set(list.map((object) => object.info.props['object.serial']));
    prune(decisions, serials(nodes));
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

module.exports = { readProcessFilter, unlinkedNodeName, filterProcesses };
