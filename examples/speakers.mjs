// 3 s of what the speakers play (the default sink, followed when the user
// switches output) as 48 kHz stereo float32, and each channel's peak.
import { captureStream } from 'orvel-capture-audio';

const stream = captureStream({ system: true });
setTimeout(() => stream.stop(), 3000);
const peaks = [0, 0];
let frames = 0;
for await (const chunk of stream) {
  const samples = new Float32Array(chunk.buffer, chunk.byteOffset, chunk.length / 4);
  samples.forEach((sample, i) => (peaks[i % 2] = Math.max(peaks[i % 2], Math.abs(sample))));
  frames += samples.length / 2;
}
const [left, right] = peaks.map((peak) => (20 * Math.log10(peak)).toFixed(1));
console.log(`${(frames / 48000).toFixed(1)} s at 48 kHz stereo, peak L ${left} dBFS, R ${right} dBFS`);
