'use strict';

// Throughput, latency and the flood backlog, with the fake recorder
// answering at pw-record's path. run.js starts it under
// scripts/with-fake-recorder:
//
//   node bench/fake-suite.js PIPE_READER OUTPUT_JSON
//
// Writes every round's raw result to OUTPUT_JSON.

const fs = require('node:fs');
const { runJson, measure, fakeEnv, alternate } = require('./lib');

const kRounds = 5;
const kRecorder = '/usr/bin/pw-record';
const kRecorderArgs = ['--rate', '48000', '--channels', '2', '--format', 'f32', '-'];
const kFlood = { FILL: 'zero', PIECES: 32768, PAUSE_US: 0 };
const kClock = { FILL: 'clock', PIECES: 8, PAUSE_US: 5000 };
const kWindow = { warmupMs: 300, windowMs: 2000 };
// 5 rounds of 420 stamps: over 2000 per side and condition.
const kStamps = { skip: 20, blocks: 420 };
// Enough for the writer to be flooding through the whole 5 s block, and a
// bound on the memory the queue can take if the writer is fast.
const kFloodBytes = 1024 * 1024 * 1024;

async function main() {
  const [pipeReader, output] = process.argv.slice(2);
  const log = (what) => process.stderr.write(`bench: ${what}\n`);

  log('throughput (flood, 5 rounds of 3 sides)');
  const flood = fakeEnv(kFlood);
  const throughput = await alternate(kRounds, {
    module: () => measure('throughput', 'module', kWindow, flood),
    spawn: () => measure('throughput', 'spawn', kWindow, flood),
    pipe: () =>
      runJson(pipeReader, [kWindow.warmupMs, kWindow.windowMs, kRecorder, ...kRecorderArgs].map(String), flood),
  });

  const clock = fakeEnv(kClock);
  const latency = {};
  for (const busy of [false, true]) {
    log(`latency, ${busy ? 'busy' : 'idle'} main thread (5 rounds of 2 sides)`);
    const options = { ...kStamps, busy };
    latency[busy ? 'busy' : 'idle'] = await alternate(kRounds, {
      module: () => measure('latency', 'module', options, clock),
      spawn: () => measure('latency', 'spawn', options, clock),
    });
  }

  log('backlog during a flood');
  const floodBacklog = await measure(
    'backlog',
    'module',
    { blockMs: 5000, drainMs: 30000, totalBytes: kFloodBytes },
    fakeEnv({ FILL: 'pattern', PIECES: 32768, PAUSE_US: 0, BYTES: kFloodBytes }),
  );

  fs.writeFileSync(output, JSON.stringify({ throughput, latency, floodBacklog }));
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
