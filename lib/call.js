'use strict';

// captureCall(): both sides of a call as one stereo stream, the microphone
// on the left and what the desktop (or the call app) plays on the right,
// each captured by a stream of its own and laid side by side by the capture
// time of their frames, so that a transcription service can tell the
// speakers apart.

const { Readable } = require('stream');
const { CaptureStream } = require('./stream');
const { readCallOptions } = require('./options');
const { Interleaver } = require('./interleave');
const { toS16 } = require('./convert');

// The sides by their channel, as 'reconnect' events name them.
const kSides = ['microphone', 'desktop'];

// A call of settings that readCallOptions() read.
function startCall({ format, sampleRate, ...sides }) {
  const streams = kSides.map((side) => new CaptureStream(sides[side]));
  const interleaver = new Interleaver(sampleRate);
  const ended = new Set();
  const call = new Readable({
    read() {},
    destroy(error, callback) {
      for (const stream of streams) stream.destroy();
      callback(error);
    },
  });
  const push = (frames) => frames && call.push(format === 's16' ? toS16(frames) : Buffer.from(frames.buffer));

  streams.forEach((stream, channel) => {
    stream.on('data', ({ pcm, time }) => {
      push(interleaver.add(channel, new Float32Array(pcm.buffer, pcm.byteOffset, pcm.length / 4), time));
    });
    stream.on('reconnect', (reconnect) => call.emit('reconnect', { ...reconnect, side: kSides[channel] }));
    stream.on('error', (error) => call.destroy(error));
    stream.on('warning', (warning) => call.emit('warning', warning));
    stream.on('end', () => {
      ended.add(channel);
      if (ended.size < streams.length) return;
      push(interleaver.end());
      call.push(null);
    });
  });
  call.stop = () => {
    for (const stream of streams) stream.stop();
  };
  return call;
}

function captureCall(options) {
  return startCall(readCallOptions(options));
}

module.exports = { captureCall, startCall };
