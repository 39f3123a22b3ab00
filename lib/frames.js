'use strict';

// Capture blocks hold whole samples but may end in the middle of a frame;
// this turns them into whole interleaved frames, carrying the rest of a
// frame over to the next block.
class FrameAligner {
  constructor(channels) {
    this.frameBytes = channels * Float32Array.BYTES_PER_ELEMENT;
    this.carry = Buffer.alloc(0);
  }

  // PCM: a Buffer of little-endian float32 samples. Returns a Float32Array.
  push(pcm) {
    const bytes = this.carry.length > 0 ? Buffer.concat([this.carry, pcm]) : pcm;
    const whole = bytes.length - (bytes.length % this.frameBytes);
    this.carry = Buffer.from(bytes.subarray(whole));
    // A copy, because a Float32Array needs its own 4-byte-aligned memory.
    return new Float32Array(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + whole));
  }
}

module.exports = { FrameAligner };
