'use strict';

// Capture blocks hold whole samples but may end in the middle of a frame;
// this turns them into whole interleaved frames, carrying the rest of a
// frame over to the next block.
const kEmpty = Buffer.alloc(0);

class FrameAligner {
  constructor(channels) {
    this.frameBytes = channels * Float32Array.BYTES_PER_ELEMENT;
    this.carry = kEmpty;
  }

  // Whether PCM is whole frames in 4-byte-aligned memory with nothing
  // carried over: then it can be used as it is.
  isWhole(pcm) {
    return this.carry.length === 0 && pcm.length % this.frameBytes === 0 && pcm.byteOffset % 4 === 0;
  }

  // PCM: a Buffer of little-endian float32 samples. Returns a Float32Array
  // of whole frames, a view of PCM's memory where it can be.
  push(pcm) {
    const bytes = this.carry.length > 0 ? Buffer.concat([this.carry, pcm]) : pcm;
    const whole = bytes.length - (bytes.length % this.frameBytes);
    this.carry = whole < bytes.length ? Buffer.from(bytes.subarray(whole)) : kEmpty;
    // A view needs 4-byte-aligned memory. The binding's blocks and
    // Buffer.concat's results have it; anything else is copied.
    const aligned = bytes.byteOffset % 4 === 0 ? bytes : Buffer.from(bytes);
    return new Float32Array(aligned.buffer, aligned.byteOffset, whole / 4);
  }
}

module.exports = { FrameAligner };
