// 3 s of one app's sound alone, with that of the processes it started
// (browsers and Electron apps play from child processes).
const { captureStream } = require('orvel-capture-audio');

const pid = Number(process.argv[2]);
if (!(pid > 0)) {
  console.error('usage: node one-app.js PID (orvel-record --list-targets shows who plays)');
  process.exit(2);
}
const stream = captureStream({ includeProcessId: pid });
setTimeout(() => stream.stop(), 3000);
let frames = 0;
let peak = 0;
stream.on('data', (chunk) => {
  const samples = new Float32Array(chunk.buffer, chunk.byteOffset, chunk.length / 4);
  for (const sample of samples) peak = Math.max(peak, Math.abs(sample));
  frames += samples.length / 2;
});
stream.on('end', () => {
  console.log(`${(frames / 48000).toFixed(1)} s of process ${pid}, peak ${(20 * Math.log10(peak)).toFixed(1)} dBFS`);
});
stream.on('error', (error) => {
  console.error(`${error.code}: ${error.message}`);
  process.exitCode = 1;
});
