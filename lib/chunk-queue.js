'use strict';

// Chunks waiting for a slow reader, at most MAX_BYTES of them but the
// newest: the oldest make room, so that what is read is recent.
class ChunkQueue {
  #chunks = [];
  #bytes = 0;
  #maxBytes;

  constructor(maxBytes) {
    this.#maxBytes = maxBytes;
  }

  get length() {
    return this.#chunks.length;
  }

  // Adds VALUE, BYTES long; returns how many bytes of older ones it dropped.
  push(value, bytes) {
    this.#chunks.push({ value, bytes });
    this.#bytes += bytes;
    let dropped = 0;
    while (this.#bytes > this.#maxBytes && this.#chunks.length > 1) dropped += this.#take().bytes;
    return dropped;
  }

  shift() {
    return this.#take().value;
  }

  // Every value that waits, oldest first; the queue is empty after.
  takeAll() {
    const values = this.#chunks.map((chunk) => chunk.value);
    this.#chunks = [];
    this.#bytes = 0;
    return values;
  }

  #take() {
    const chunk = this.#chunks.shift();
    this.#bytes -= chunk.bytes;
    return chunk;
  }
}

module.exports = { ChunkQueue };
