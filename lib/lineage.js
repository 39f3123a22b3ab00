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

// Whether PID is one of PIDS or descends from one. A process that has gone
// already counts as itself alone.
function descendsFrom(pid, pids) {
  const seen = new Set();
  for (let at = pid; at > 0 && !seen.has(at); at = parentOf(at)) {
    if (pids.has(at)) return true;
    seen.add(at);
  }
  return false;
}

module.exports = { descendsFrom };
