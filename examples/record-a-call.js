// Both sides of a call for a transcription service: 3 s of 16 kHz 16-bit
// stereo in call.s16, the microphone on the left, the desktop on the right.
const fs = require('fs');
const { captureCall } = require('orvel-capture-audio');

const call = captureCall({ format: 's16', sampleRate: 16000 });
setTimeout(() => call.stop(), 3000);
const peaks = [0, 0];
call.on('data', (chunk) => {
  const samples = new Int16Array(chunk.buffer, chunk.byteOffset, chunk.length / 2);
  samples.forEach((sample, i) => (peaks[i % 2] = Math.max(peaks[i % 2], Math.abs(sample) / 32768)));
});
call.pipe(fs.createWriteStream('call.s16')).on('finish', () => {
  const seconds = fs.statSync('call.s16').size / 4 / 16000;
  const [me, them] = peaks.map((peak) => (20 * Math.log10(peak)).toFixed(1));
  console.log(`${seconds.toFixed(1)} s of the call, microphone peak ${me} dBFS, desktop peak ${them} dBFS`);
});
call.on('error', (error) => {
  console.error(`${error.code}: ${error.message}`);
  process.exitCode = 1;
});
