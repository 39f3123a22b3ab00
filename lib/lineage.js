'use strict';

// Which processes a process descends from, read from /proc. Apps that play
// from child processes (browsers, Electron) are known to the user by their
// parent's pid.

const fs = require('fs');

function parentOf(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    // The name in parentheses may hold spaces and parentheses itself.
    return Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
  } catch {
    return 0;
  }
}

// PID, then its parent, grandparent... up to the first process. A process
// that has gone already counts as itself alone.
function lineageOf(pid) {
  const lineage = [];
  for (let at = pid; at > 0 && !lineage.includes(at); at = parentOf(at)) lineage.push(at);
  return lineage;
}

// Whether PID is one of PIDS or descends from one.
function descendsFrom(pid, pids) {
  return lineageOf(pid).some((at) => pids.has(at));
}

module.exports = { descendsFrom, lineageOf };
