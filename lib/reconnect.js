'use strict';

// Waits for PipeWire to come back (and a named target to be there again):
// probes its socket, which costs no process, at growing intervals, and at
// once whenever the runtime folder changes, where a restarted daemon makes
// its socket anew.

const fs = require('fs');
const net = require('net');
const path = require('path');
const { listCaptureTargets, isListed } = require('./targets');

const kFirstPauseMs = 50;
const kMaxPauseMs = 1000;

// The socket that PipeWire's clients connect to, as libpipewire finds it.
function socketPath(env = process.env) {
  const name = env.PIPEWIRE_REMOTE || 'pipewire-0';
  if (path.isAbsolute(name)) return name;
  const dir = env.PIPEWIRE_RUNTIME_DIR || env.XDG_RUNTIME_DIR;
  return dir ? path.join(dir, name) : null;
}

function answers(socket) {
  return new Promise((resolve) => {
    const connection = net.connect(socket);
    connection.once('connect', () => {
      connection.destroy();
      resolve(true);
    });
    connection.once('error', () => resolve(false));
  });
}

// The targets PipeWire lists if they hold TARGET (as isListed() finds it),
// or null.
async function listing(target, system) {
  const targets = await listCaptureTargets().catch(() => []);
  return isListed(targets, target, system) ? targets : null;
}

// Returns { ready, cancel }: READY resolves with { targets } once PipeWire
// answers (and lists TARGET, when one is given: TARGETS is that list), null
// after TIMEOUT_MS or cancel(). The first probe comes after FIRST_PAUSE_MS.
function waitForPipewire({ timeoutMs, target, system = false, firstPauseMs = kFirstPauseMs }) {
  const socket = socketPath();
  let settle;
  const ready = new Promise((resolve) => (settle = resolve));
  let done = false;
  let timer = null;
  let probing = false;
  let again = false;
  let pauseMs = firstPauseMs;
  let watcher = null;

  const finish = (back) => {
    if (done) return;
    done = true;
    clearTimeout(timer);
    clearTimeout(deadline);
    watcher?.close();
    settle(back);
  };

  const probe = async () => {
    if (done) return;
    if (probing) {
      again = true;
      return;
    }
    probing = true;
    clearTimeout(timer);
    const answered = socket !== null && (await answers(socket));
    const targets = answered && target !== undefined ? await listing(target, system) : undefined;
    probing = false;
    if (answered && targets !== null) return finish({ targets });
    if (again) {
      again = false;
      return probe();
    }
    if (done) return;
    timer = setTimeout(probe, pauseMs);
    pauseMs = Math.min(2 * pauseMs, kMaxPauseMs);
  };

  const deadline = setTimeout(() => finish(null), timeoutMs);
  if (socket !== null) {
    try {
      watcher = fs.watch(path.dirname(socket), () => probe());
      watcher.on('error', () => {});
    } catch {
      // A folder that cannot be watched is probed on the timer alone.
    }
  }
  timer = setTimeout(probe, firstPauseMs);
  return { ready, cancel: () => finish(null) };
}

module.exports = { waitForPipewire, socketPath, kFirstPauseMs, kMaxPauseMs };
