'use strict';

// captureCall(): both sides of a call as one stereo stream, the microphone
// on the left and what the desktop (or the call app) plays on the right,
// each captured by a stream of its own and laid side by side by the capture
// time of their frames, so that the two channels stay in step and a
// transcription service can tell the speakers apart.

const { Readable } = require('stream');
const { captureStream } = require('./stream');
const { toS16 } = require('./convert');
const errors = require('./errors');

// A chunk whose time is this far off where its side's frames have reached
// is placed afresh: it follows a gap (a reconnect), or its side's clock
// found its frames captured earlier or later than it had said (a first
// read that came late, a recorder that went over to another driver). Up to
// this, chunks follow on, and rounding leaves no gaps.
const kReplaceMs = 1;

function readCallOptions(options = {}) {
  if (options === null || typeof options !== 'object') throw errors.invalidArgument('options must be an object');
  const { microphone, includeProcessId, format = 'f32', sampleRate = 48000, ...rest } = options;
  for (const key of ['target', 'system', 'channels', 'timestamps', 'excludeProcessId', 'maxBufferedMs']) {
    if (key in rest) throw errors.invalidArgument(`captureCall() does not take ${key}`);
  }
  if (format !== 'f32' && format !== 's16') throw errors.invalidArgument(`format must be 'f32' or 's16', not ${String(format)}`);
  const common = { ...rest, sampleRate, channels: 1, timestamps: true };
  return {
    format,
    sampleRate,
    left: { ...common, ...(microphone !== undefined && { target: microphone }) },
    right: { ...common, ...(includeProcessId !== undefined ? { includeProcessId } : { system: true }) },
  };
}

function captureCall(options) {
  const { format, sampleRate, left, right } = readCallOptions(options);
  // Each side's chunks placed on the call's frames, where they reach, the
  // chunks that came before the call began, and whether its stream ended.
  const sides = [left, right].map((sideOptions) => ({
    stream: captureStream(sideOptions), pieces: [], end: undefined, early: [], ended: false,
  }));
  let origin;
  let emitted = 0;

  const call = new Readable({
    read() {},
    destroy(error, callback) {
      for (const side of sides) side.stream.destroy();
      callback(error);
    },
  });

  const frameAt = (time) => Math.round((Number(time - origin) * sampleRate) / 1e9);

  // Interleaves what both sides hold up to where the later one has reached;
  // a side's gaps are silence.
  const flush = (to = Math.min(...sides.map((side) => side.end ?? 0))) => {
    if (origin === undefined || to <= emitted) return;
    const frames = new Float32Array((to - emitted) * 2);
    sides.forEach((side, channel) => {
      while (side.pieces.length > 0) {
        const { start, samples } = side.pieces[0];
        const from = Math.max(start, emitted);
        const until = Math.min(start + samples.length, to);
        for (let frame = from; frame < until; frame++) frames[(frame - emitted) * 2 + channel] = samples[frame - start];
        if (start + samples.length > to) break;
        side.pieces.shift();
      }
    });
    emitted = to;
    call.push(format === 's16' ? toS16(frames) : Buffer.from(frames.buffer));
  };

  const place = (side, pcm, time) => {
    const samples = new Float32Array(pcm.buffer, pcm.byteOffset, pcm.length / 4);
    const placed = frameAt(time);
    const start =
      side.end !== undefined && Math.abs(placed - side.end) * 1000 < kReplaceMs * sampleRate ? side.end : placed;
    // Placed earlier: it, not what waits, holds those frames.
    for (const piece of side.pieces) {
      if (piece.start + piece.samples.length > start) piece.samples = piece.samples.subarray(0, Math.max(0, start - piece.start));
    }
    side.pieces.push({ start, samples });
    side.end = start + samples.length;
  };

  // Chunks wait until both sides have one (or the call ends): the earliest
  // first frame is where the call begins.
  const begin = () => {
    const first = sides.flatMap((side) => side.early.map((chunk) => chunk.time));
    if (first.length === 0) return;
    origin = first.reduce((earliest, time) => (time < earliest ? time : earliest));
    for (const side of sides) side.early.splice(0).forEach((chunk) => place(side, chunk.pcm, chunk.time));
  };
  sides.forEach((side, channel) => {
    side.stream.on('data', ({ pcm, time }) => {
      if (origin === undefined) {
        side.early.push({ pcm, time });
        if (sides.some((each) => each.early.length === 0)) return;
        begin();
      } else {
        place(side, pcm, time);
      }
      flush();
    });
    side.stream.on('reconnect', (reconnect) => call.emit('reconnect', { ...reconnect, side: channel === 0 ? 'microphone' : 'desktop' }));
    side.stream.on('error', (error) => call.destroy(error));
    side.stream.on('end', () => {
      side.ended = true;
      if (!sides.every((each) => each.ended)) return;
      if (origin === undefined) begin();
      flush(Math.max(...sides.map((each) => each.end ?? 0)));
      call.push(null);
    });
  });

  call.stop = () => {
    for (const side of sides) side.stream.stop();
  };
  return call;
}

module.exports = { captureCall };
