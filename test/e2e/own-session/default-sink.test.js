'use strict';

// Runs in a private session of its own (scripts/test starts one for this
// folder): switching the default sink moves every player along, and
// WirePlumber 0.4.13 crashed on a later stream once the sink they had moved
// to was destroyed, so the second sink must live and die with the session.

const path = require('node:path');
const { describe, test } = require('../../bounded');
const { startCapture, stopCapture } = require('../../..');
const h = require('../helpers');

describe('a capture of the default sink, with a microphone as the default source', () => {
  const session = h.useSession({ players: ['a'], microphone: true });

  test('pipewireCaptureSink records the default sink and follows it when the user switches output', async () => {
    h.addSink('orvel-test-sink-2');
    const other = h.startPlayer(h.toneFile(path.join(session.dir, 'b.wav'), h.kTones.b), 'player-b2', { sink: 'orvel-test-sink-2' });
    await h.waitForTarget('player-b2');
    const blocks = [];
    startCapture({ pipewireCaptureSink: true }, (pcm) => blocks.push(Buffer.from(pcm)));
    const second = h.kRate * h.kChannels;
    const secondFrom = async (from) => {
      await h.waitUntil(() => h.toFloats(blocks).length >= from + 1.5 * second, 'a second of samples');
      return h.toFloats(blocks).slice(from + 0.5 * second, from + 1.5 * second);
    };
    const before = await secondFrom(0);
    h.setDefault('sink', 'orvel-test-sink-2');
    await h.waitForTarget('orvel-test-sink-2', (target) => target.isDefaultSink);
    const after = await secondFrom(h.toFloats(blocks).length);
    stopCapture();
    await h.stopPlayer(other);
    h.assertTone(before, h.kTones.a, 'default sink');
    h.assertAbsent(before, h.kTones.mic, 'default sink');
    // WirePlumber moves player-a along with the default; player-b2 was
    // there already and is only heard if the capture followed.
    h.assertTone(after, h.kTones.b, 'new default sink');
    h.assertAbsent(after, h.kTones.mic, 'new default sink');
  });
});
