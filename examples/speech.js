// Speech for a recogniser: 3 s of the default source (on a desktop, usually
// the microphone) as 16 kHz mono 16-bit samples.
const { captureStream } = require('orvel-capture-audio');

async function main() {
  const stream = captureStream({ format: 's16', channels: 1, sampleRate: 16000 });
  setTimeout(() => stream.stop(), 3000);
  let count = 0;
  let peak = 0;
  for await (const chunk of stream) {
    const samples = new Int16Array(chunk.buffer, chunk.byteOffset, chunk.length / 2);
    for (const sample of samples) peak = Math.max(peak, Math.abs(sample) / 32768);
    count += samples.length;
  }
  console.log(`${(count / 16000).toFixed(1)} s at 16 kHz mono, peak ${(20 * Math.log10(peak)).toFixed(1)} dBFS`);
}

main().catch((error) => {
  console.error(`${error.code}: ${error.message}`);
  process.exitCode = 1;
});
