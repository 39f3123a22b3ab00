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

  const { a, mic } = h.TONES;

  test('without a target it records the microphone', async () => {
    await h.assertRecords(undefined, [mic], [a]);
  });

  test('a name that matches nothing falls back to the default source', async () => {
    await h.assertRecords('orvel-no-such-node', [mic], [a]);
  });

  test("the default sink's serial records what the sink plays, not the microphone", async () => {
    const sink = (await listCaptureTargets()).find((target) => target.isDefaultSink);
    await h.assertRecords(sink.serial, [a], [mic]);
  });

  test("the sink's name records the default source: WirePlumber looks names up among sources and streams", async () => {
    await h.assertRecords(h.SINK, [mic], [a]);
  });

  test("a player's node name still records that player alone", async () => {
    await h.assertRecords('player-a', [a], [mic]);
  });
});
