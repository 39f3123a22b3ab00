'use strict';

// What checking Pulse clients' claims costs on a desktop-sized machine: run
// inside scripts/pipewire-session. Fills the process table to 400 with
// sleepers, adds 1,500 connected Unix sockets and 20 Pulse players, then
// times checkPulseClients over the graph (what a capture runs when its
// Pulse clients change, and listCaptureTargets once per call), the native
// count for one pid, and for every pid, which the module never asks.

const { execFileSync, spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const native = require('../lib/native');
const { checkPulseClients } = require('../lib/pulse-peers');
const { firstDump } = require('../lib/pipewire');
const { writeTone } = require('../lib/wav');

const kProcesses = 400;
const kSocketPairsPerHolder = 150;
const kHolders = 5;
const kPlayers = 20;
const kRounds = 50;

const pids = () => fs.readdirSync('/proc').filter((entry) => /^\d+$/.test(entry)).map(Number);

function msPerCall(run, rounds = kRounds) {
  run();
  const started = process.hrtime.bigint();
  for (let i = 0; i < rounds; i++) run();
  return Number(process.hrtime.bigint() - started) / rounds / 1e6;
}

async function main() {
  const children = [];
  const tone = writeTone(path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-bench-')), 'tone.wav'), [[440, 0.1], [440, 0.1]], 60);
  try {
    for (let i = 0; i < kHolders; i++) {
      children.push(spawn('python3', ['-c', `import socket, time\np = [socket.socketpair() for _ in range(${kSocketPairsPerHolder})]\ntime.sleep(600)`], { stdio: 'ignore' }));
    }
    for (let i = 0; i < kPlayers; i++) children.push(spawn('paplay', [tone], { stdio: 'ignore' }));
    while (pids().length < kProcesses) children.push(spawn('sleep', ['600'], { stdio: 'ignore' }));
    await new Promise((resolve) => setTimeout(resolve, 3000));
    const sockets = fs.readFileSync('/proc/net/unix', 'utf8').split('\n').length - 2;
    const objects = firstDump(execFileSync('pw-dump', { encoding: 'utf8', maxBuffer: 1 << 28 }));
    const clients = objects.filter((object) => object.type === 'PipeWire:Interface:Client');
    const checked = [...checkPulseClients(clients).values()].filter((check) => check.verdict === 'kernel-checked').length;
    const server = Number(fs.readFileSync(path.join(process.env.XDG_RUNTIME_DIR, 'pulse', 'pid'), 'utf8'));
    const all = pids();
    console.log(`${all.length} processes, ${sockets} Unix sockets, ${checked} of ${kPlayers} Pulse players kernel-checked`);
    console.log(`checkPulseClients: ${msPerCall(() => checkPulseClients(clients)).toFixed(2)} ms`);
    console.log(`_socketPeers, one pid: ${msPerCall(() => native._socketPeers(server, [1])).toFixed(2)} ms`);
    console.log(`_socketPeers, every pid: ${msPerCall(() => native._socketPeers(server, all), 10).toFixed(2)} ms`);
  } finally {
    for (const child of children) child.kill();
  }
}

main();
