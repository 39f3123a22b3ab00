'use strict';

// Runs in a private session of its own: the session's PipeWire and
// WirePlumber are killed mid-capture and started again, as a crash or an
// upgrade does, or not started again at all.

const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { after, describe, test } = require('../../bounded');
const { captureStream } = require('../../..');
const h = require('../helpers');

const kBin = path.join(h.root, 'bin', 'orvel-record.js');
const kDownMs = 1500;

// The session's pipewire and wireplumber: those with this runtime folder.
function daemons() {
  const ours = `XDG_RUNTIME_DIR=${process.env.XDG_RUNTIME_DIR}`;
  return fs.readdirSync('/proc').map(Number).filter((pid) => {
    if (!['pipewire', 'wireplumber'].includes(h.processInfo(pid)?.name)) return false;
    try {
      return fs.readFileSync(`/proc/${pid}/environ`, 'latin1').split('\0').includes(ours);
    } catch {
      return false;
    }
  });
}

const restarted = [];
after(() => restarted.forEach((child) => child.kill('SIGKILL')));

async function killDaemons() {
  const pids = daemons();
  pids.forEach((pid) => process.kill(pid, 'SIGKILL'));
  await h.waitUntil(() => daemons().length === 0, 'the daemons dying');
}

// The daemons and the session's sink again, as scripts/pipewire-session
// makes them.
async function startDaemons() {
  const start = (name) => restarted.push(spawn(name, [], { stdio: 'ignore' }));
  const answers = (...args) => () => {
    try {
      execFileSync(...args, { stdio: 'ignore' });
      return true;
    } catch {
      return false;
    }
  };
  start('pipewire');
  await h.waitUntil(answers('pw-cli', ['info', '0']), 'pipewire answering');
  start('wireplumber');
  await h.waitUntil(answers('pw-metadata', ['-n', 'default', '0']), "wireplumber's metadata");
  h.addSink(h.kSink);
  await h.waitForTarget(h.kSink, (target) => target.isDefaultSink);
}

// Collects a stream's chunks and its reconnects.
function follow(stream) {
  const seen = { chunks: [], reconnects: [], errors: [] };
  stream.on('data', (chunk) => seen.chunks.push({ ...chunk, at: process.hrtime.bigint() }));
  stream.on('reconnect', (event) => seen.reconnects.push({ ...event, at: process.hrtime.bigint() }));
  stream.on('error', (error) => seen.errors.push(error));
  return seen;
}

const floatsAfter = (seen, at) =>
  h.toFloats(seen.chunks.filter((chunk) => chunk.at > at).map((chunk) => chunk.pcm));

describe('a capture across a PipeWire restart', () => {
  const tone = h.toneFile(path.join(h.scratchDir(), 'a.wav'), h.kTones.a);

  test('reconnect: true waits for PipeWire and records on, with the gap in its timestamps; so do the process filter and orvel-record --reconnect', { timeout: 60000 }, async () => {
    let player = h.startPlayer(tone, 'player-a');
    await h.waitForTarget('player-a');
    const bystander = spawn('sleep', ['60']);
    const options = { system: true, reconnect: true, timestamps: true };
    const streams = [captureStream(options), captureStream({ ...options, system: false, excludeProcessId: bystander.pid })];
    const seen = streams.map(follow);
    const out = path.join(h.scratchDir(), 'reconnected.wav');
    const cli = h.runNode([kBin, '--system', '--reconnect', '--seconds', '5', out], { timeoutMs: 30000 });
    try {
      await h.waitUntil(() => seen.every((each) => each.chunks.length > 10), 'audio before the restart');
      await killDaemons();
      await h.stopPlayer(player);
      await h.sleep(kDownMs);
      await startDaemons();
      const back = process.hrtime.bigint();
      player = h.startPlayer(tone, 'player-a');
      await h.waitForTarget('player-a');
      const playing = process.hrtime.bigint();
      await h.waitUntil(() => seen.every((each) => each.reconnects.length > 0), 'both streams reconnecting');
      await h.sleep(1500);
      for (const [index, each] of seen.entries()) {
        const what = `stream ${index}`;
        assert.deepEqual(each.errors, [], what);
        assert.equal(each.reconnects.length, 1, what);
        const [{ gapMs, at, error }] = each.reconnects;
        assert.ok(Number(at - back) / 1e6 <= 2000, `${what}: audio again ${Number(at - back) / 1e6} ms after PipeWire came back`);
        assert.ok(gapMs >= kDownMs, `${what}: a gap of ${gapMs} ms`);
        assert.match(error.message, /went away|no audio/, what);
        // No silence stands in for the gap: the times jump over it.
        const jumps = each.chunks.slice(1).map((chunk, i) => Number(chunk.time - each.chunks[i].time) / 1e6);
        assert.ok(Math.max(...jumps) >= kDownMs, `${what}: the longest step between chunks is ${Math.max(...jumps)} ms`);
        h.assertTone(floatsAfter(each, playing + 500_000_000n), h.kTones.a, what);
      }
      const result = await cli;
      assert.equal(result.code, 0, result.stderr);
      assert.match(result.stderr, /^orvel-record: reconnected after \d+\.\d s without audio \(PipeWire went away[^\n]*\)\norvel-record: 5\.00 s/);
    } finally {
      streams.forEach((stream) => stream.destroy());
      bystander.kill();
      await h.stopPlayer(player);
    }
  });

  test('PipeWire gone for good: the error within reconnectTimeoutMs plus 1 s, and nothing left running', { timeout: 30000 }, async () => {
    const stream = captureStream({ system: true, reconnect: true, reconnectTimeoutMs: 1000 }).resume();
    await once(stream, 'data');
    await killDaemons();
    const killedAt = Date.now();
    const [error] = await once(stream, 'error');
    assert.equal(error.code, 'ERR_RECONNECT_TIMEOUT', error.message);
    assert.ok(Date.now() - killedAt <= 2000, `the error came ${Date.now() - killedAt} ms after the daemon died`);
    assert.deepEqual(h.childPids(process.pid).map((pid) => h.processInfo(pid)?.name).filter(Boolean), []);
  });
});
