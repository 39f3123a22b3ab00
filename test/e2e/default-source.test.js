'use strict';

const assert = require('node:assert/strict');
const { describe, test } = require('node:test');
const { listCaptureTargets } = require('../../lib/targets');
const h = require('./helpers');

// On a desktop the default source is a microphone, not the sink's monitor;
// here a source node playing its own tone stands in for one.
describe('with a microphone as the default source', () => {
  h.useSession({ players: ['a'], microphone: true });

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

  test('a name that matches nothing falls back to the default source', async () => {
    const { samples } = await h.capture({ pipewireTargetId: 'orvel-no-such-node' }, 1);
    h.assertTone(samples, h.TONES.mic, 'unknown name');
    h.assertAbsent(samples, h.TONES.a, 'unknown name');
  });

  test("the default sink's serial records what the sink plays, not the microphone", async () => {
    const sink = (await listCaptureTargets()).find((target) => target.isDefaultSink);
    const { samples } = await h.capture({ pipewireTargetId: sink.serial }, 1);
    h.assertTone(samples, h.TONES.a, 'sink serial');
    h.assertAbsent(samples, h.TONES.mic, 'sink serial');
  });

  test("the sink's name records the default source: WirePlumber looks names up among sources and streams", async () => {
    const { samples } = await h.capture({ pipewireTargetId: h.SINK }, 1);
    h.assertTone(samples, h.TONES.mic, 'sink name');
    h.assertAbsent(samples, h.TONES.a, 'sink name');
  });

  test("a player's node name still records that player alone", async () => {
    const { samples } = await h.capture({ pipewireTargetId: 'player-a' }, 1);
    h.assertTone(samples, h.TONES.a, 'player-a');
    h.assertAbsent(samples, h.TONES.mic, 'player-a');
  });
});
