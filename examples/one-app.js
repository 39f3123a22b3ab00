// 3 s of one app's sound alone, with its child processes' (browsers and
// Electron apps play from one): by pid, or by executable name (chromium).
const { captureStream } = require('orvel-capture-audio');

const app = process.argv[2] ?? '';
const byPid = /^\d+$/.test(app);
if (!/^[^/]+$/.test(app) || (byPid && Number(app) === 0)) {
  console.error('usage: node one-app.js PID|NAME (orvel-record --list-targets shows who plays)');
  process.exit(2);
}
const stream = captureStream(byPid ? { includeProcessId: Number(app) } : { includeProcessName: app });
setTimeout(() => stream.stop(), 3000);
let frames = 0;
let peak = 0;
stream.on('data', (chunk) => {
  const samples = new Float32Array(chunk.buffer, chunk.byteOffset, chunk.length / 4);
  for (const sample of samples) peak = Math.max(peak, Math.abs(sample));
  frames += samples.length / 2;
});
stream.on('warning', (warning) => console.error(warning.message));
stream.on('end', () => {
  console.log(`${(frames / 48000).toFixed(1)} s of ${byPid ? `process ${app}` : app}, peak ${(20 * Math.log10(peak)).toFixed(1)} dBFS`);
});
stream.on('error', (error) => {
  console.error(`${error.code}: ${error.message}`);
  process.exitCode = 1;
});
