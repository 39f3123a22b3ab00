'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { after, before, describe, test } = require('node:test');
const { startCapture, stopCapture } = require('../..');
const { listCaptureTargets } = require('../../lib/targets');
const h = require('./helpers');

// Every block a capture delivers within MS.
async function capturedBytes(options, ms) {
  const blocks = [];
  startCapture(options, (pcm) => blocks.push(pcm));
  await h.sleep(ms);
  stopCapture();
  return Buffer.concat(blocks);
}

// On a desktop the default source is a microphone, not the sink's monitor;
// here a source node playing its own tone stands in for one.
describe('with a microphone as the default source', () => {
  let release;
  let dir;
  let player;
  let microphone;

  before(async () => {
    release = await h.holdSession();
    dir = h.scratchDir();
    player = h.startPlayer(h.writeTone(path.join(dir, 'a.wav'), h.TONES.a), 'player-a');
    await h.waitForTarget('player-a');
    microphone = await h.startMicrophone(dir);
  });

  after(async () => {
    await h.stopPlayer(player);
    if (microphone) await h.stopMicrophone(microphone);
    fs.rmSync(dir, { recursive: true, force: true });
    release?.();
  });

  test('the microphone is listed as the default source and the sink as the default sink', async () => {
    const targets = await listCaptureTargets();
    const microphoneTarget = targets.find((target) => target.name === 'orvel-test-mic');
    const sink = targets.find((target) => target.name === h.SINK);
    assert.equal(microphoneTarget.mediaClass, 'Audio/Source');
    assert.equal(microphoneTarget.description, 'Orvel test microphone');
    assert.equal(microphoneTarget.isDefaultSource, true);
    assert.equal(sink.isDefaultSink, true);
    assert.equal(sink.isDefaultSource, false);
    assert.deepEqual(
      targets.filter((target) => target.isDefaultSource).map((target) => target.name),
      ['orvel-test-mic'],
    );
  });

  test('without a target it records the microphone', async () => {
    const { samples } = await h.capture({}, 1);
    h.assertTone(samples, h.TONES.mic, 'default source');
    h.assertAbsent(samples, h.TONES.a, 'default source');
  });

  test('a target that matches no source or stream delivers nothing: never the microphone', async () => {
    // An unknown name, a node id (not a serial), a sink's name without pipewireCaptureSink.
    for (const pipewireTargetId of ['orvel-no-such-node', String(h.nodeId(h.SINK)), h.SINK]) {
      assert.equal((await capturedBytes({ pipewireTargetId }, 800)).length, 0, `target ${pipewireTargetId}`);
    }
  });

  test('a target that goes away delivers nothing more: never the microphone', async () => {
    const victim = h.startPlayer(h.writeTone(path.join(dir, 'b.wav'), h.TONES.b), 'player-b');
    await h.waitForTarget('player-b');
    const blocks = [];
    startCapture({ pipewireTargetId: 'player-b' }, (pcm) => blocks.push(Buffer.from(pcm)));
    await h.waitUntil('blocks of player-b', () => blocks.length > 10);
    await h.stopPlayer(victim);
    await h.sleep(300);
    const atGone = blocks.length;
    await h.sleep(1000);
    stopCapture();
    assert.equal(blocks.length, atGone, 'samples went on after the target was gone');
    h.assertAbsent(h.toFloats(blocks), h.TONES.mic, 'player-b');
  });

  test("the default sink's serial records what the sink plays, not the microphone", async () => {
    const sink = (await listCaptureTargets()).find((target) => target.isDefaultSink);
    const { samples } = await h.capture({ pipewireTargetId: sink.serial }, 1);
    h.assertTone(samples, h.TONES.a, 'sink serial');
    h.assertAbsent(samples, h.TONES.mic, 'sink serial');
  });

  test("with pipewireCaptureSink the sink's name records what the sink plays", async () => {
    const { samples } = await h.capture({ pipewireTargetId: h.SINK, pipewireCaptureSink: true }, 1);
    h.assertTone(samples, h.TONES.a, 'sink name');
    h.assertAbsent(samples, h.TONES.mic, 'sink name');
  });

  test("a player's node name still records that player alone", async () => {
    const { samples } = await h.capture({ pipewireTargetId: 'player-a' }, 1);
    h.assertTone(samples, h.TONES.a, 'player-a');
    h.assertAbsent(samples, h.TONES.mic, 'player-a');
  });
});
