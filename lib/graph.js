'use strict';

// A live copy of the PipeWire graph, kept by `pw-dump -m -N`: it prints the
// whole graph, then every change, each as a JSON array between lines that
// are exactly `[` and `]`. A changed object comes whole; a removed one comes
// as `{ "id": N, "info": null }`.

const { spawn } = require('child_process');
const errors = require('./errors');

const kStderrTail = 4096;

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

function isRemoval(object) {
  return 'info' in object && object.info === null;
}

// Calls onUpdate(objects) after each change of the graph, with a Map of
// every object by id; onError(error) once if the watcher fails or ends
// before stop(). pw-dump writes to a pipe of ours: if this process dies,
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

module.exports = { watchGraph, endChild, firstDump };
