'use strict';

// captureStream's excludeProcessId and includeProcessId against the real
// graph: players with known pids, measured in what comes back and in what
// the sink itself plays.

const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { describe, test } = require('../bounded');
const { captureStream } = require('../..');
const { firstDump } = require('../../lib/pipewire');
const h = require('./helpers');

// The figures: the excluded app was 130-147 dB down, the others
// within 0.02 dB; these leave room for a loaded machine.
const kExcludedDb = 60;
const kKeptDb = 0.5;

function graph() {
  return firstDump(execFileSync('pw-dump', { encoding: 'utf8' }));
}

// Links into the node named NAME, and whether the node is there.
function linksInto(name) {
  const objects = graph();
  const node = objects.find((object) => object.info?.props?.['node.name'] === name);
  const links = objects.filter((object) => object.type === 'PipeWire:Interface:Link' && object.info['input-node-id'] === node?.id);
  return { node, links };
}

// Whether PID runs: not gone, not a zombie.
function alive(pid) {
  const info = h.processInfo(pid);
  return info !== null && info.state !== 'Z';
}

// The running children of PID named NAME.
function childrenNamed(pid, name) {
  return fs
    .readdirSync('/proc')
    .filter((entry) => /^\d+$/.test(entry))
    .map(Number)
    .filter((child) => alive(child) && h.processInfo(child)?.parent === pid && h.processInfo(child)?.name === name);
}

// What the sink plays, recorded from its monitor by a pw-record of its own
// until stop() resolves with the samples after the warm-up.
function recordSink(dir) {
  const file = path.join(dir, `sink-${Date.now()}.raw`);
  const child = spawn('pw-record', ['--rate', '48000', '--channels', '2', '--format', 'f32', '--target', h.kSink, '-P', '{ stream.capture.sink = true }', file]);
  return {
    async stop() {
      const exited = once(child, 'exit');
      child.kill('SIGTERM');
      await exited;
      return h.toFloats([fs.readFileSync(file)]).subarray(h.kRate * h.kChannels * 0.5);
    },
  };
}

// Seconds in SAMPLES' left channel that carry FREQUENCY at half its played
// level or more, counted in windows of 10 ms (whole cycles of the tones).
function secondsOf(samples, [frequency, played]) {
  const size = (h.kRate / 100) * h.kChannels;
  let windows = 0;
  for (let from = 0; from + size <= samples.length; from += size) {
    if (h.dft(samples.subarray(from, from + size), 0, frequency).amplitude >= played / 2) windows++;
  }
  return windows / 100;
}

// Tones of the players started here, besides A's and B's.
const kClaimTones = {
  native: { left: [1500, 0.3], right: [1500, 0.3] },
  pulse: { left: [2500, 0.3], right: [2500, 0.3] },
  pulseApp: { left: [3500, 0.3], right: [3500, 0.3] },
};

// Starts a player of kClaimTones[KEY] for each [KEY, options of
// startClaimingPlayer] of PLAYERS, waits until each plays, then makes each
// capture of CASES ([what, options, keys present, keys absent]; A's and
// B's tones are h.kTones.a and .b) and asserts what it holds.
async function assertClaims(dir, players, cases) {
  const started = {};
  try {
    for (const [key, options] of players) {
      const file = h.toneFile(path.join(dir, `claim-${key}.wav`), kClaimTones[key]);
      started[key] = h.startClaimingPlayer(file, `player-${key}`, options);
    }
    for (const [key] of players) await h.waitForTarget(`player-${key}`);
    const tone = (key) => kClaimTones[key] ?? h.kTones[key];
    for (const [what, options, present, absent] of cases) {
      const samples = await h.captureStreamed(options(started), 1);
      for (const key of present) h.assertTone(samples, tone(key), `${what}: ${key}`, kKeptDb);
      for (const key of absent) h.assertAbsent(samples, tone(key), `${what}: ${key}`, kExcludedDb);
    }
  } finally {
    for (const child of Object.values(started)) await h.stopPlayer(child);
  }
}

describe('capture by process', () => {
  const session = h.useSession({ players: ['a', 'b'] });
  const pidOf = (key) => session.players[key].pid;

  test('excluding A keeps B at its level and leaves A 60 dB down, including A the reverse; the sink plays both all along', async () => {
    const sink = recordSink(session.dir);
    const without = await h.captureStreamed({ excludeProcessId: pidOf('a') }, 1);
    h.assertTone(without, h.kTones.b, 'A excluded', kKeptDb);
    h.assertAbsent(without, h.kTones.a, 'A excluded', kExcludedDb);
    const only = await h.captureStreamed({ includeProcessId: [pidOf('a')] }, 1);
    h.assertTone(only, h.kTones.a, 'A included', kKeptDb);
    h.assertAbsent(only, h.kTones.b, 'A included', kExcludedDb);
    const played = await sink.stop();
    h.assertTone(played, h.kTones.a, 'the sink', kKeptDb);
    h.assertTone(played, h.kTones.b, 'the sink', kKeptDb);
  });

  test('a native player claiming the pid of A is judged by its own: never included with A, never excluded with it', async () => {
    await assertClaims(session.dir, [['native', { claim: pidOf('a') }]], [
      ['A included', () => ({ includeProcessId: pidOf('a') }), ['a'], ['native', 'b']],
      ['A excluded', () => ({ excludeProcessId: pidOf('a') }), ['native', 'b'], ['a']],
    ]);
  });

  test(
    'through the Pulse server: a claim the kernel does not back adds nothing to an include capture, and keeps the claimer out of an exclude capture; the server\'s pid is no Pulse app\'s',
    { skip: h.pulseServerPid() === null && 'no Pulse server in this session' },
    async () => {
      const server = h.pulseServerPid();
      await assertClaims(session.dir, [['pulse', { pulse: true, claim: pidOf('a') }], ['pulseApp', { pulse: true }]], [
        ['A included', () => ({ includeProcessId: pidOf('a') }), ['a'], ['pulse', 'pulseApp', 'b']],
        ['A excluded', () => ({ excludeProcessId: pidOf('a') }), ['b', 'pulseApp'], ['a', 'pulse']],
        ['the Pulse app excluded', ({ pulseApp }) => ({ excludeProcessId: pulseApp.pid }), ['a', 'b', 'pulse'], ['pulseApp']],
        ['the Pulse app included', ({ pulseApp }) => ({ includeProcessId: pulseApp.pid }), ['pulseApp'], ['a', 'b', 'pulse']],
        ['the Pulse server included', () => ({ includeProcessId: server }), [], ['pulse', 'pulseApp', 'a', 'b']],
      ]);
    },
  );

  test('a player started during the capture is recorded from its start, less at most 0.1 s', async () => {
    const clip = h.toneFile(path.join(session.dir, 'clip.wav'), h.kTones.high, 1);
    const sink = recordSink(session.dir);
    const capture = h.captureStreamed({ excludeProcessId: pidOf('a') }, 2.5);
    await h.sleep(1000);
    const lateEnded = once(h.startPlayer(clip, 'player-late'), 'exit');
    const captured = await capture;
    await lateEnded;
    const played = secondsOf(await sink.stop(), h.kTones.high.left);
    const recorded = secondsOf(captured, h.kTones.high.left);
    assert.ok(played >= 0.9, `the sink played only ${played} s of the clip`);
    assert.ok(recorded >= played - 0.1, `${recorded} s of the clip recorded, ${played} s played`);
  });

  test("a child process of the excluded app is excluded with it", async () => {
    const file = h.toneFile(path.join(session.dir, 'child.wav'), h.kTones.mic);
    const app = spawn('sh', ['-c', `pw-play --target ${h.kSink} -P '{ node.name = "player-child" }' ${file} & wait`], { detached: true });
    try {
      await h.waitForTarget('player-child');
      const samples = await h.captureStreamed({ excludeProcessId: app.pid }, 1);
      h.assertAbsent(samples, h.kTones.mic, 'the excluded app\'s child', kExcludedDb);
      h.assertTone(samples, h.kTones.b, 'another app', kKeptDb);
    } finally {
      process.kill(-app.pid, 'SIGTERM');
    }
  });

  test('orvel-record --exclude-pid records the others alone', async () => {
    const out = path.join(session.dir, 'excluded.wav');
    const bin = path.join(h.root, 'bin', 'orvel-record.js');
    const result = await h.run(process.execPath, [bin, '--exclude-pid', String(pidOf('a')), '--seconds', '1.5', out]);
    assert.equal(result.code, 0, result.stderr);
    const samples = h.readWholeWav(out, 'f32').samples.subarray(h.kRate * h.kChannels * 0.5);
    h.assertTone(samples, h.kTones.b, '--exclude-pid', kKeptDb);
    h.assertAbsent(samples, h.kTones.a, '--exclude-pid', kExcludedDb);
  });

  test('pw-dump or pw-link missing errors ERR_GRAPH_TOOL, and pw-dump ending errors ERR_GRAPH_LOST', { timeout: 30000 }, async () => {
    const path0 = process.env.PATH;
    for (const [missing, present] of [['pw-dump', 'pw-link'], ['pw-link', 'pw-dump']]) {
      const bin = fs.mkdtempSync(path.join(session.dir, 'bin-'));
      fs.symlinkSync(`/usr/bin/${present}`, path.join(bin, present));
      process.env.PATH = bin;
      try {
        const [error] = await once(captureStream({ excludeProcessId: pidOf('a') }).resume(), 'error');
        assert.equal(error.code, 'ERR_GRAPH_TOOL', error.message);
        assert.deepEqual(error.info, { tool: missing, error: 'ENOENT' });
      } finally {
        process.env.PATH = path0;
      }
    }
    // A failed stream's pw-dump, ending on its SIGTERM, must not be taken
    // for the next stream's.
    await h.waitUntil(() => childrenNamed(process.pid, 'pw-dump').length === 0, 'the failed streams ending pw-dump');
    const stream = captureStream({ excludeProcessId: pidOf('a') }).resume();
    const ended = once(stream, 'error');
    const [watcher] = await h.waitUntil(() => {
      const found = childrenNamed(process.pid, 'pw-dump');
      return found.length > 0 && found;
    }, 'pw-dump starting');
    process.kill(watcher, 'SIGKILL');
    const [error] = await ended;
    assert.equal(error.code, 'ERR_GRAPH_LOST', error.message);
    assert.equal(error.info.signal, 'SIGKILL');
  });

  test('after SIGKILL of the host, no recorder, pw-dump or link of its capture is left after 1 s, and the players play on', { timeout: 30000 }, async () => {
    const host = spawn(
      process.execPath,
      ['-e', `require(${JSON.stringify(h.root)}).captureStream({ excludeProcessId: ${pidOf('a')} }).resume()`],
      { stdio: 'inherit' },
    );
    const name = `orvel-capture-audio.${host.pid}.1`;
    let tools;
    try {
      await h.waitUntil(() => linksInto(name).links.length === 2, 'the host linking player-b');
      tools = [...childrenNamed(host.pid, 'pw-record'), ...childrenNamed(host.pid, 'pw-dump')];
      assert.equal(tools.length, 2, 'the host runs a recorder and pw-dump');
    } finally {
      host.kill('SIGKILL');
    }
    const killedAt = Date.now();
    let goneMs;
    do {
      await h.sleep(10);
      goneMs = Date.now() - killedAt;
    } while ((tools.some(alive) || linksInto(name).node) && goneMs <= 1000);
    assert.ok(goneMs <= 1000, `left: ${tools.filter(alive)} and node ${name}: ${JSON.stringify(linksInto(name))}`);
    assert.ok(linksInto(name).links.length === 0);
    assert.equal(linksInto(h.kSink).links.length, 4, 'both players still play into the sink');
  });
});
