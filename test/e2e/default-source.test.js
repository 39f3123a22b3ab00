'use strict';

const assert = require('node:assert/strict');
const { describe, test } = require('node:test');
const { startCapture, stopCapture, captureStream } = require('../..');
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
  const session = h.useSession({ players: ['a', 'b'], microphone: true });

  test('the microphone is listed as the default source and the sink as the default sink', async () => {
    const targets = await listCaptureTargets();
    const microphoneTarget = targets.find((target) => target.name === 'orvel-test-mic');
    const sink = targets.find((target) => target.name === h.kSink);
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

  const { a, mic } = h.kTones;

  test('without a target it records the microphone', async () => {
    await h.assertRecords(undefined, [mic], [a]);
  });

  test('a target that matches no source or stream delivers nothing: never the microphone', async () => {
    // An unknown name, a node id (not a serial), a sink's name without pipewireCaptureSink.
    for (const pipewireTargetId of ['orvel-no-such-node', String(h.nodeId(h.kSink)), h.kSink]) {
      assert.equal((await capturedBytes({ pipewireTargetId }, 800)).length, 0, `target ${pipewireTargetId}`);
    }
  });

  test('a target that goes away delivers nothing more: never the microphone', async () => {
    const blocks = [];
    startCapture({ pipewireTargetId: 'player-b' }, (pcm) => blocks.push(Buffer.from(pcm)));
    await h.waitUntil(() => blocks.length > 10, 'blocks of player-b');
    await h.stopPlayer(session.players.b);
    await h.sleep(300);
    const atGone = blocks.length;
    await h.sleep(1000);
    stopCapture();
    assert.equal(blocks.length, atGone, 'samples went on after the target was gone');
    h.assertAbsent(h.toFloats(blocks), mic, 'player-b');
  });

  test("the default sink's serial records what the sink plays, not the microphone", async () => {
    const sink = (await listCaptureTargets()).find((target) => target.isDefaultSink);
    await h.assertRecords(sink.serial, [a], [mic]);
  });

  test("with pipewireCaptureSink the sink's name records what the sink plays", async () => {
    await h.assertRecords({ pipewireTargetId: h.kSink, pipewireCaptureSink: true }, [a], [mic]);
  });

  test("a player's node name still records that player alone", async () => {
    await h.assertRecords('player-a', [a], [mic]);
  });

  test('eight streams and a startCapture at once each carry only their own source, and no recorder is left after', async () => {
    const own = [[{}, mic, a], [{ system: true }, a, mic], [{ target: 'player-a' }, a, mic]];
    const streams = [0, 1, 2, 0, 1, 2, 0, 1].map((kind) => own[kind]);
    const [beside, ...streamed] = await Promise.all([
      h.capture({ pipewireTargetId: 'player-a' }, 1),
      ...streams.map(([options]) => h.captureStreamed(options, 1)),
    ]);
    h.assertTone(beside.samples, a, 'startCapture beside the streams');
    h.assertAbsent(beside.samples, mic, 'startCapture beside the streams');
    streamed.forEach((samples, i) => {
      const [options, present, absent] = streams[i];
      h.assertTone(samples, present, `stream ${i} ${JSON.stringify(options)}`);
      h.assertAbsent(samples, absent, `stream ${i} ${JSON.stringify(options)}`);
    });
    await h.waitUntil(() => h.recorderProcesses().length === 0, 'every recorder ending');
  });

  test('a timestamped stream\'s chunk times follow its frames within 2 ms over 10 s, at 48 and at 16 kHz', { timeout: 30000 }, async () => {
    const formats = [{ sampleRate: 48000, frameBytes: 8 }, { sampleRate: 16000, channels: 1, format: 's16', frameBytes: 2 }];
    const runs = formats.map(({ frameBytes, ...format }) => {
      const chunks = [];
      const stream = captureStream({ system: true, timestamps: true, ...format });
      stream.on('data', (chunk) => chunks.push(chunk));
      return { stream, chunks, frameBytes, rate: format.sampleRate };
    });
    await h.sleep(10000);
    for (const { stream, chunks, frameBytes, rate } of runs) {
      stream.destroy();
      let frames = 0;
      const worst = Math.max(...chunks.map(({ pcm, time }) => {
        const off = Math.abs(Number(time - chunks[0].time) / 1e6 - (frames * 1000) / rate);
        frames += pcm.length / frameBytes;
        return off;
      }));
      assert.ok(frames >= 9.5 * rate, `${frames} frames at ${rate} Hz`);
      assert.ok(worst <= 2, `at ${rate} Hz a chunk's time is ${worst.toFixed(2)} ms off its frames`);
    }
  });
});
