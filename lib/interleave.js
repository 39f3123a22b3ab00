'use strict';

// Two mono captures laid side by side as stereo by the capture time of
// their frames, so that the two channels stay in step: the result begins at
// the earliest first frame, each one's chunks follow on where its frames
// reached, and its gaps are silence.

// A chunk whose time is this far off where its channel's frames have reached
// is placed afresh: it follows a gap (a reconnect), or its capture's clock
// found its frames captured earlier or later than it had said (a first
// read that came late, a recorder that went over to another driver). Up to
// this, chunks follow on, and rounding leaves no gaps.
const kReplaceMs = 1;

class Interleaver {
  #rate;
  // Per channel: its chunks placed on the output's frames, where they reach,
  // and the chunks that came before the output began.
  #tracks = [0, 1].map(() => ({ pieces: [], end: undefined, early: [] }));
  #origin;
  #emitted = 0;

  constructor(sampleRate) {
    this.#rate = sampleRate;
  }

  // Takes CHANNEL's (0: left, 1: right) SAMPLES, a Float32Array whose first
  // was captured at TIME (bigint ns, the clock of process.hrtime.bigint());
  // returns the interleaved frames now known on both channels, or null.
  // Chunks wait until both channels have one: the earliest first frame is
  // where the output begins.
  add(channel, samples, time) {
    const track = this.#tracks[channel];
    if (this.#origin === undefined) {
      track.early.push({ samples, time });
      if (this.#tracks.some((each) => each.early.length === 0)) return null;
      this.#begin();
    } else {
      this.#place(track, samples, time);
    }
    return this.#take(Math.min(...this.#tracks.map((each) => each.end ?? 0)));
  }

  // Both captures ended: returns the rest, silence where one stopped short,
  // or null.
  end() {
    if (this.#origin === undefined) this.#begin();
    return this.#take(Math.max(...this.#tracks.map((each) => each.end ?? 0)));
  }

  #begin() {
    const first = this.#tracks.flatMap((track) => track.early.map((chunk) => chunk.time));
    if (first.length === 0) return;
    this.#origin = first.reduce((earliest, time) => (time < earliest ? time : earliest));
    for (const track of this.#tracks) {
      for (const { samples, time } of track.early.splice(0)) this.#place(track, samples, time);
    }
  }

  #place(track, samples, time) {
    const placed = Math.round((Number(time - this.#origin) * this.#rate) / 1e9);
    const follows = track.end !== undefined && Math.abs(placed - track.end) * 1000 < kReplaceMs * this.#rate;
    const start = follows ? track.end : placed;
    // Placed earlier: it, not what waits, holds those frames.
    for (const piece of track.pieces) {
      if (piece.start + piece.samples.length > start) piece.samples = piece.samples.subarray(0, Math.max(0, start - piece.start));
    }
    track.pieces.push({ start, samples });
    track.end = start + samples.length;
  }

  // The frames from what was taken before up to TO.
  #take(to) {
    if (this.#origin === undefined || to <= this.#emitted) return null;
    const from = this.#emitted;
    const frames = new Float32Array((to - from) * 2);
    this.#tracks.forEach((track, channel) => {
      while (track.pieces.length > 0) {
        const { start, samples } = track.pieces[0];
        const until = Math.min(start + samples.length, to);
        for (let frame = Math.max(start, from); frame < until; frame++) {
          frames[(frame - from) * 2 + channel] = samples[frame - start];
        }
        if (start + samples.length > to) break;
        track.pieces.shift();
      }
    });
    this.#emitted = to;
    return frames;
  }
}

module.exports = { Interleaver };
