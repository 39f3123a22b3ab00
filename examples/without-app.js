// 3 s of what the desktop plays without one app and its children (screen
// sharing without the call's echo), measured on its way to desktop.f32.
const fs = require('fs');
const { pipeline } = require('stream/promises');
const { captureStream } = require('orvel-capture-audio');

const pid = Number(process.argv[2]);
if (!(pid > 0)) {
  console.error('usage: node without-app.js PID (orvel-record --list-targets shows who plays)');
  process.exit(2);
}
const stream = captureStream({ excludeProcessId: pid });
setTimeout(() => stream.stop(), 3000);
let peak = 0;
async function* measure(chunks) {
  for await (const chunk of chunks) {
    const samples = new Float32Array(chunk.buffer, chunk.byteOffset, chunk.length / 4);
    for (const sample of samples) peak = Math.max(peak, Math.abs(sample));
    yield chunk;
  }
}

pipeline(stream, measure, fs.createWriteStream('desktop.f32')).then(() => {
  const seconds = fs.statSync('desktop.f32').size / 8 / 48000;
  console.log(`${seconds.toFixed(1)} s without process ${pid}, peak ${(20 * Math.log10(peak)).toFixed(1)} dBFS`);
}, (error) => {
  console.error(`${error.code}: ${error.message}`);
  process.exitCode = 1;
});
