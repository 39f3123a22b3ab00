'use strict';

// Runs in a private session of its own (scripts/test starts one for this
// folder): switching the default sink moves every player along, and
// WirePlumber 0.4.13 crashed on a later stream once the sink they had moved
// to was destroyed, so the second sink must live and die with the session.

const fs = require('node:fs');
const path = require('node:path');
const { after, before, describe, test } = require('node:test');
const { startCapture, stopCapture } = require('../../..');
const h = require('../helpers');

describe('a capture of the default sink, with a microphone as the default source', () => {
  let dir;
  let player;
  let microphone;

  before(async () => {
    dir = h.scratchDir();
    player = h.startPlayer(h.writeTone(path.join(dir, 'a.wav'), h.TONES.a), 'player-a');
    await h.waitForTarget('player-a');
    microphone = await h.startMicrophone(dir);
  });

  after(async () => {
    await h.stopPlayer(player);
    await h.stopPlayer(microphone);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  test('pipewireCaptureSink records the default sink and follows it when the user switches output', async () => {
    h.addSink('orvel-test-sink-2');
    const other = h.startPlayer(h.writeTone(path.join(dir, 'b.wav'), h.TONES.b), 'player-b2', { sink: 'orvel-test-sink-2' });
    await h.waitForTarget('player-b2');
    const blocks = [];
    startCapture({ pipewireCaptureSink: true }, (pcm) => blocks.push(Buffer.from(pcm)));
    const second = h.RATE * h.CHANNELS;
    const secondFrom = async (from) => {
      await h.waitUntil('a second of samples', () => h.toFloats(blocks).length >= from + 1.5 * second);
      return h.toFloats(blocks).slice(from + 0.5 * second, from + 1.5 * second);
    };
    const before = await secondFrom(0);
    h.setDefault('sink', 'orvel-test-sink-2');
    await h.waitForTarget('orvel-test-sink-2', (target) => target.isDefaultSink);
    const after = await secondFrom(h.toFloats(blocks).length);
    stopCapture();
    await h.stopPlayer(other);
    h.assertTone(before, h.TONES.a, 'default sink');
    h.assertAbsent(before, h.TONES.mic, 'default sink');
    // WirePlumber moves player-a along with the default; player-b2 was
    // there already and is only heard if the capture followed.
    h.assertTone(after, h.TONES.b, 'new default sink');
    h.assertAbsent(after, h.TONES.mic, 'new default sink');
  });
});
