'use strict';

// Capture blocks hold whole samples but may end in the middle of a frame;
// this turns them into whole interleaved frames, carrying the rest of a
// frame over to the next block.
class FrameAligner {
  constructor(channels) {
    this.frameBytes = channels * Float32Array.BYTES_PER_ELEMENT;
    this.carry = Buffer.alloc(0);
  }

  // PCM: a Buffer of little-endian float32 samples. Returns a Float32Array
  // of whole frames, a view of PCM's memory where it can be.
  push(pcm) {
    const bytes = this.carry.length > 0 ? Buffer.concat([this.carry, pcm]) : pcm;
    const whole = bytes.length - (bytes.length % this.frameBytes);
    this.carry = Buffer.from(bytes.subarray(whole));
    // A view needs 4-byte-aligned memory. The binding's blocks and
    // Buffer.concat's results have it; anything else is copied.
    const aligned = bytes.byteOffset % 4 === 0 ? bytes : Buffer.from(bytes);
    return new Float32Array(aligned.buffer, aligned.byteOffset, whole / 4);
  }
}

module.exports = { FrameAligner };
