'use strict';

const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const path = require('node:path');
const { describe, test } = require('../bounded');
const { startCapture, stopCapture } = require('../..');
const { listCaptureTargets } = require('../../lib/targets');
const h = require('./helpers');

describe('listCaptureTargets', () => {
  const session = h.useSession({ players: ['a', 'b'], toneSeconds: 10 });

  test('lists the sink, marked as the default sink, and each running player with name and serial', async () => {
    const targets = await listCaptureTargets();
    const { serial, ...sink } = targets.find((target) => target.name === h.kSink);
    assert.match(serial, /^\d+$/);
    assert.deepEqual(sink, {
      name: h.kSink,
      mediaClass: 'Audio/Sink',
      description: 'Orvel test sink',
      state: 'running',
      isDefaultSink: true,
      // scripts/pipewire-session makes the sink's monitor the default source.
      isDefaultSource: true,
      processId: null,
      processName: null,
      processCheck: null,
    });
    for (const name of ['player-a', 'player-b']) {
      const player = targets.find((target) => target.name === name);
      assert.ok(player, `${name} is not listed`);
      assert.equal(player.mediaClass, 'Stream/Output/Audio');
      assert.match(player.description, /^pw-play: .*\.wav$/);
      assert.equal(player.isDefaultSink || player.isDefaultSource, false);
      assert.equal(player.processId, session.players[name.at(-1)].pid);
      // pw-play is a link to pw-cat: the name is the executable's own.
      assert.equal(player.processName, 'pw-cat');
      assert.equal(player.processCheck, 'verified');
    }
    for (const target of targets) assert.match(target.serial, /^\d+$/, JSON.stringify(target));
    assert.equal(new Set(targets.map((target) => target.serial)).size, targets.length, 'serials repeat');
    assert.deepEqual(
      targets.map((target) => target.mediaClass),
      ['Audio/Sink', 'Stream/Output/Audio', 'Stream/Output/Audio'],
    );
  });

  test('the serial is the one PipeWire gives the node', async () => {
    const player = (await listCaptureTargets()).find((target) => target.name === 'player-a');
    const info = execFileSync('pw-cli', ['info', 'player-a'], { encoding: 'utf8' });
    assert.match(info, new RegExp(`object\\.serial = "${player.serial}"`));
  });

  test('a player that ends leaves the list, and a capture of its own is not listed', async () => {
    await h.stopPlayer(session.players.b);
    await h.waitUntil(
      async () => (await listCaptureTargets()).every((target) => target.name !== 'player-b'),
      'player-b leaving the list',
    );
    await new Promise((resolve) => startCapture({}, resolve));
    try {
      const names = (await listCaptureTargets()).map((target) => target.name);
      assert.deepEqual(names.sort(), [h.kSink, 'player-a'].sort());
    } finally {
      stopCapture();
    }
  });

  test("a stream's process is the pid the kernel reported for its client, or a Pulse client's claim that the kernel backs", async () => {
    const file = h.toneFile(path.join(session.dir, 'claims.wav'), h.kTones.high, 5);
    const claim = session.players.a.pid;
    // [node name, how it plays, the pid listed for it, how it was told]
    const cases = [['player-claims', { claim }, (child) => child.pid, 'verified']];
    if (h.pulseServerPid() !== null) {
      cases.push(['player-pulse-claims', { pulse: true, claim }, () => null, 'unconnected']);
      cases.push(['player-pulse', { pulse: true }, (child) => child.pid, 'kernel-checked']);
    }
    const started = cases.map(([name, options]) => h.startClaimingPlayer(file, name, options));
    try {
      for (const [i, [name, , listed, check]] of cases.entries()) {
        const { processId, processCheck } = await h.waitForTarget(name);
        assert.deepEqual([processId, processCheck], [listed(started[i]), check], name);
      }
    } finally {
      for (const child of started) await h.stopPlayer(child);
    }
  });
});
