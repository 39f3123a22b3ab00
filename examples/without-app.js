// Everything the desktop plays except one app and the processes it started
// (screen sharing without the call's own audio, which the other side would
// hear echoed back), for 3 s, into desktop.f32 as raw 48 kHz stereo float32:
//   node without-app.js PID
const fs = require('fs');
const { pipeline } = require('stream/promises');
const { captureStream } = require('orvel-capture-audio');

const pid = Number(process.argv[2]);
if (!Number.isSafeInteger(pid) || pid <= 0) {
  console.error('usage: node without-app.js PID (the process id of the app to leave out)');
  process.exit(2);
}

const stream = captureStream({ excludeProcessId: pid });
setTimeout(() => stream.stop(), 3000);
let peak = 0;
// Where an encoder would go: each chunk passes through on its way to the file.
async function* measure(chunks) {
  for await (const chunk of chunks) {
    const samples = new Float32Array(chunk.buffer, chunk.byteOffset, chunk.length / 4);
    for (const sample of samples) peak = Math.max(peak, Math.abs(sample));
    yield chunk;
  }
}

pipeline(stream, measure, fs.createWriteStream('desktop.f32')).then(
  () => {
    const seconds = fs.statSync('desktop.f32').size / 8 / 48000;
    console.log(`${seconds.toFixed(1)} s without process ${pid} in desktop.f32, peak ${(20 * Math.log10(peak)).toFixed(1)} dBFS`);
  },
  (error) => {
    console.error(`${error.code}: ${error.message}`);
    process.exitCode = 1;
  },
);
