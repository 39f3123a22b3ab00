// The callback API: 3 s of what the speakers play, every block as the
// recorder delivers it, in 48 kHz stereo float32.
const { startCapture, stopCapture } = require('orvel-capture-audio');

let frames = 0;
let peak = 0;
const onEnd = (info) => {
  // The stream ended by itself: no pw-record, no PipeWire, the daemon went away.
  console.error('capture ended:', info);
  process.exitCode = 1;
};
startCapture({ pipewireCaptureSink: true, onEnd }, (pcm, sampleRate, channels) => {
  // Whole samples; a block may end in the middle of a frame.
  const samples = new Float32Array(pcm.buffer, pcm.byteOffset, pcm.length / 4);
  for (const sample of samples) peak = Math.max(peak, Math.abs(sample));
  frames += samples.length / channels;
});
setTimeout(() => {
  stopCapture();
  console.log(`${(frames / 48000).toFixed(1)} s from the speakers, peak ${(20 * Math.log10(peak)).toFixed(1)} dBFS`);
}, 3000);
