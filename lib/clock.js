'use strict';

// When the frames of a capture were captured, on the clock of
// process.hrtime.bigint(). A block is read no sooner than its last frame was
// captured, so each block gives a bound on when the capture's first frame
// was: its read time less the audio up to its end. The reader hands a block
// over right after one of the recorder's writes, so the bounds are tight;
// the earliest is the estimate, and a frame's time is that origin plus its
// place in the stream, less what the audio spent on its way before the
// recorder wrote it: its resampler's delay (`latencyNs`), and for a sink's
// monitor one cycle of the graph (`ofMonitor`). A device clock that runs
// slower than the host's makes the bounds creep later, and the estimate
// follows the earliest bound of the last second a little at a time, so that
// consecutive chunks' times keep following their frames; audio lost on the
// way makes them all later at once, and the estimate jumps with them.

const kNsPerSecond = 1_000_000_000n;
const kWindowNs = kNsPerSecond;
// How far the origin may creep, per second of audio whatever the blocks'
// size, and a rise of the bounds too large for any clock's drift.
const kCreepPerSecond = 500n;
const kJumpNs = 5_000_000n;

// How long a cycle of PipeWire's graph is, from the recorder's writes: it
// writes once per cycle, and the reader says how long a write was when a
// block ends with one. A reader that was late took two: the shortest of the
// last second's is the cycle, which follows the graph when it changes. A
// resampling recorder's first write is short by what its resampler holds
// back (`resamplerDelayNs`).
class GraphCycle {
  constructor(rate, resamplerDelayNs) {
    this.rate = rate;
    this.resamplerDelayNs = resamplerDelayNs;
    this.writes = 0;
    // [read time, ns] of the last second's writes.
    this.recent = [];
  }

  // Takes a block's last write, FRAMES long (0: not known), read at
  // READ_TIME (bigint ns); returns the cycle's length in ns, 0n while none
  // is known.
  add(frames, readTime) {
    if (frames > 0) {
      const ns = BigInt(Math.round((frames * 1e9) / this.rate));
      this.recent.push([readTime, this.writes++ === 0 ? ns + this.resamplerDelayNs : ns]);
    }
    while (this.recent.length > 1 && readTime - this.recent[0][0] > kWindowNs) this.recent.shift();
    return this.recent.reduce((shortest, [, ns]) => (shortest === 0n || ns < shortest ? ns : shortest), 0n);
  }
}

class CaptureClock {
  constructor(rate, { latencyNs = 0n, ofMonitor = false } = {}) {
    this.rate = BigInt(rate);
    this.latencyNs = latencyNs;
    // A sink's monitor hands on what the sink took in the graph's previous
    // cycle, so its recorder gets audio a cycle after a recorder of the
    // players or of a source does.
    this.cycle = ofMonitor ? new GraphCycle(rate, latencyNs) : null;
    this.frames = 0n;
    this.origin = undefined;
    // [bound, read time] of the last second's blocks, earliest bound first.
    this.recent = [];
  }

  // The recorder's node went over to another driver, whose cycles are not
  // in step with the last one's: the bounds so far say nothing of the
  // frames to come, and the next block's sets the origin afresh.
  restart() {
    this.recent = [];
    this.origin = undefined;
  }

  offsetNs(frames) {
    return (frames * kNsPerSecond) / this.rate;
  }

  // Takes a block of FRAMES frames read at READ_TIME (bigint ns), the last
  // LAST_WRITE_FRAMES of them one write of the recorder (0: not known);
  // returns the capture time of its first frame.
  add(frames, readTime, lastWriteFrames = 0) {
    const first = this.frames;
    this.frames += BigInt(frames);
    const creep = this.offsetNs(BigInt(frames)) / kCreepPerSecond;
    const bound = readTime - this.offsetNs(this.frames);
    while (this.recent.length > 0 && this.recent.at(-1)[0] >= bound) this.recent.pop();
    this.recent.push([bound, readTime]);
    while (readTime - this.recent[0][1] > kWindowNs) this.recent.shift();
    const earliest = this.recent[0][0];
    const rise = this.origin === undefined ? 0n : earliest - this.origin;
    if (this.origin === undefined || rise < 0n || rise > kJumpNs) this.origin = earliest;
    else this.origin += rise < creep ? rise : creep;
    const cycleNs = this.cycle ? this.cycle.add(lastWriteFrames, readTime) : 0n;
    return this.origin + this.offsetNs(first) - this.latencyNs - cycleNs;
  }
}

module.exports = { CaptureClock };
