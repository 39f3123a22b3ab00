'use strict';

// Runs in a private session of its own (scripts/test starts one for each
// file here): a pw-loopback adds a second sink, and WirePlumber 0.4.13 has
// crashed in a session whose second sink was removed.

const { spawn } = require('node:child_process');
const path = require('node:path');
const { describe, test } = require('../../bounded');
const h = require('../helpers');

describe('a virtual device', () => {
  const session = h.useSession({ players: ['b'] });

  test('an excluded app playing through a pw-loopback sink does not leak through its output stream', async () => {
    const loopback = spawn('pw-loopback', [
      '--capture-props', 'media.class=Audio/Sink node.name=orvel-loopback-sink',
      '--playback-props', `node.name=orvel-loopback-out target.object=${h.kSink}`,
    ]);
    try {
      await h.waitForTarget('orvel-loopback-sink', () => true);
      const file = h.toneFile(path.join(session.dir, 'a.wav'), h.kTones.a);
      const app = h.startPlayer(file, 'player-a', { sink: 'orvel-loopback-sink' });
      await h.waitForTarget('player-a');
      const samples = await h.captureStreamed({ excludeProcessId: app.pid }, 1);
      h.assertAbsent(samples, h.kTones.a, 'the excluded app through the loopback', 60);
      h.assertTone(samples, h.kTones.b, 'another app', 0.5);
      await h.stopPlayer(app);
    } finally {
      loopback.kill('SIGTERM');
    }
  });
});
