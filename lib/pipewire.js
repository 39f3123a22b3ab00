'use strict';

// PipeWire's vocabulary as this package speaks it: the graph's object
// types, media classes and property keys, and the graph itself, read once
// (`pw-dump`) or followed (`pw-dump -m -N`).

const { execFile, spawn } = require('child_process');
const errors = require('./errors');

const kType = {
  node: 'PipeWire:Interface:Node',
  port: 'PipeWire:Interface:Port',
  link: 'PipeWire:Interface:Link',
  client: 'PipeWire:Interface:Client',
  metadata: 'PipeWire:Interface:Metadata',
};

// A node's media.class; a class may go on with more ("Audio/Sink/Virtual").
const kMediaClass = {
  sink: 'Audio/Sink',
  source: 'Audio/Source',
  duplex: 'Audio/Duplex',
  playback: 'Stream/Output/Audio',
};

// The properties read, of nodes, ports, links, clients and metadata.
const kKey = {
  mediaClass: 'media.class',
  nodeName: 'node.name',
  nodeDescription: 'node.description',
  serial: 'object.serial',
  clientId: 'client.id',
  nodeId: 'node.id',
  linkGroup: 'node.link-group',
  group: 'node.group',
  portDirection: 'port.direction',
  portMonitor: 'port.monitor',
  channel: 'audio.channel',
  applicationName: 'application.name',
  mediaName: 'media.name',
  metadataName: 'metadata.name',
  defaultSink: 'default.audio.sink',
  defaultSource: 'default.audio.source',
  // Set by PipeWire from the client's socket (SO_PEERCRED).
  secPid: 'pipewire.sec.pid',
  // Whatever the client wrote.
  processId: 'application.process.id',
  clientApi: 'client.api',
};

// The client.api of clients of PipeWire's Pulse server.
const kPulseApi = 'pipewire-pulse';

const kStderrTail = 4096;
const kDumpTimeoutMs = 10000;

// Ends CHILD if it runs. One that could not be started has no pid, and
// Node would signal pid 0 for it: this process's whole group.
function endChild(child) {
  if (child.pid !== undefined && child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
}

// The graph as the first JSON array in TEXT, what `pw-dump` prints: when the
// graph changes while it dumps, it prints the changes after it, as further
// arrays.
function firstDump(text) {
  const end = text.indexOf('\n]');
  return JSON.parse(end < 0 ? text : text.slice(0, end + 2));
}

// The graph now, as an array of its objects.
function readGraph() {
  return new Promise((resolve, reject) => {
    execFile('pw-dump', [], { maxBuffer: 256 << 20, timeout: kDumpTimeoutMs }, (error, stdout, stderr) => {
      if (error) {
        reject(errors.listFailed(error.code, stderr, error));
        return;
      }
      try {
        resolve(firstDump(stdout));
      } catch (parseError) {
        reject(new Error('pw-dump printed something that is not JSON', { cause: parseError }));
      }
    });
  });
}

// The node names that PipeWire's `default` metadata in OBJECTS gives for
// the default sink and source.
function defaultNodeNames(objects) {
  const metadata = objects.find(
    (object) => object.type === kType.metadata && object.props?.[kKey.metadataName] === 'default',
  );
  const name = (key) => metadata?.metadata?.find((item) => item.subject === 0 && item.key === key)?.value?.name;
  return { sink: name(kKey.defaultSink), source: name(kKey.defaultSource) };
}

function isRemoval(object) {
  return 'info' in object && object.info === null;
}

// Follows the graph: `pw-dump -m -N` prints the whole graph, then every
// change, each as a JSON array between lines that are exactly `[` and `]`.
// A changed object comes whole; a removed one comes as
// `{ "id": N, "info": null }`. Calls onUpdate(objects) after each change,
// with a Map of every object by id; onError(error) once if the watcher
// fails or ends before stop(). pw-dump writes to a pipe of ours: if this process dies,
// its next write kills it (SIGPIPE), and our recorder's node vanishing is
// such a write.
function watchGraph({ onUpdate, onError }) {
  const objects = new Map();
  const child = spawn('pw-dump', ['-m', '-N'], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stopped = false;
  let lines = [];
  let partial = '';
  let stderr = '';

  const fail = (error) => {
    if (stopped) return;
    stop();
    onError(error);
  };

  const apply = (text) => {
    let update;
    try {
      update = JSON.parse(text);
    } catch (error) {
      return fail(errors.graphGarbled(error.message));
    }
    for (const object of update) {
      if (isRemoval(object)) objects.delete(object.id);
      else objects.set(object.id, object);
    }
    onUpdate(objects);
  };

  child.stdout.setEncoding('utf8');
  child.stdout.on('data', (data) => {
    const parts = (partial + data).split('\n');
    partial = parts.pop();
    for (const line of parts) {
      if (stopped) return;
      if (line === '[') lines = [];
      lines.push(line);
      if (line !== ']') continue;
      apply(lines.join('\n'));
      lines = [];
    }
  });
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (data) => {
    stderr = (stderr + data).slice(-kStderrTail);
  });
  child.on('error', (error) => fail(errors.graphToolMissing('pw-dump', error.code)));
  child.on('close', (code, signal) => fail(errors.graphLost({ code, signal, stderr })));

  function stop() {
    if (stopped) return;
    stopped = true;
    endChild(child);
  }
  return { stop };
}

module.exports = { kType, kMediaClass, kKey, kPulseApi, readGraph, watchGraph, defaultNodeNames, endChild, firstDump };
