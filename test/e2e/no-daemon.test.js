'use strict';

// Captures whose stream ends by itself, each in a child process of its own:
// with no daemon, with a daemon that has no device, and with the daemon
// killed mid-capture. The child prints what onEnd gave and must then exit
// by itself: a capture that is over holds nothing open.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('../bounded');
const { readRecorderEnd } = require('../../lib/errors');
const h = require('./helpers');

const root = path.join(__dirname, '..', '..');
const session = path.join(root, 'scripts', 'pipewire-session');

// KILL_DAEMON: kill this session's pipewire once the first block has come.
const child = `
const fs = require('node:fs');
const { startCapture } = require(${JSON.stringify(root)});
let calls = 0;
const killDaemon = () => {
  for (const pid of fs.readdirSync('/proc').filter((entry) => /^\\d+$/.test(entry))) {
    try {
      const stat = fs.readFileSync('/proc/' + pid + '/stat', 'utf8');
      const parent = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
      if (stat.includes('(pipewire)') && parent === process.ppid) process.kill(Number(pid), 'SIGKILL');
    } catch {}
  }
};
const started = startCapture({ onEnd: (info) => console.log(JSON.stringify({ started, calls, info })) }, () => {
  if (calls++ === 0 && process.env.KILL_DAEMON) killDaemon();
});
`;

async function endOf(command, args, env = {}) {
  const { code, signal, stdout, stderr } = await h.run(command, args, { env, timeoutMs: 20000 });
  assert.deepEqual({ code, signal }, { code: 0, signal: null }, stderr);
  return JSON.parse(stdout);
}

test('without a PipeWire daemon onEnd reports "Host is down" and nothing calls back', async () => {
  const env = { XDG_RUNTIME_DIR: h.scratchDir(), PIPEWIRE_REMOTE: '', PIPEWIRE_RUNTIME_DIR: '' };
  const { started, calls, info } = await endOf(process.execPath, ['-e', child], env);
  assert.deepEqual({ started, calls, reason: info.reason, code: info.code }, { started: true, calls: 0, reason: 'exited', code: 1 });
  assert.match(info.stderr, /Host is down/);
});

test("with no device to link to, pw-record's error text reaches onEnd and never the samples", async () => {
  const { calls, info } = await endOf(session, [process.execPath, '-e', child], { ORVEL_PW_NO_SINK: '1' });
  assert.equal(calls, 0, 'text was delivered as samples');
  assert.equal(info.code, 1);
  // 0.3.65 says "no node available", 1.x "no target node available".
  assert.equal(readRecorderEnd(info).kind, 'no-device', info.stderr);
});

test('the daemon killed mid-capture ends the capture with onEnd', async () => {
  const { calls, info } = await endOf(session, [process.execPath, '-e', child], { KILL_DAEMON: '1' });
  assert.ok(calls > 0);
  assert.deepEqual({ reason: info.reason, code: info.code }, { reason: 'exited', code: 1 }, info.stderr);
  assert.match(info.stderr, /Broken pipe/);
});
