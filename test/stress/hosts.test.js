'use strict';

const assert = require('node:assert/strict');
const path = require('node:path');
const { test } = require('node:test');

const { useFake, readReport, runNode, scratchDir, waitFor, sleep } = require('../js/helpers');
const { recorderAlive, seededRandom, seedFromEnv } = require('./common');

const kHosts = Number(process.env.ORVEL_STRESS_HOSTS || 50);
const kRecorderGraceMs = 1000;

// Ends itself on its first block as ENDING says, or reports the block and
// waits to be killed; captures with startCapture, or with CAPTURE=stream a
// captureStream of its own.
const kHostSource = `
  const { startCapture, captureStream } = require(process.env.ORVEL_MODULE);
  let blocks = 0;
  const onBlock = () => {
    if (blocks++ > 0) return;
    const ending = process.env.ENDING;
    if (ending === 'exit') process.exit(7);
    if (ending === 'throw') setImmediate(() => { throw new Error('uncaught in the host'); });
    if (ending === 'throw in callback') throw new Error('uncaught in the host');
    if (ending === 'kill') process.stdout.write('block\\n');
  };
  if (process.env.CAPTURE === 'stream') captureStream().on('data', onBlock);
  else startCapture({}, onBlock);`;

const uncaught = ({ code, signal, stderr }) => code === 1 && signal === null && stderr.includes('uncaught in the host');
// A recorder that falls silent after one block gets no SIGPIPE: a host that
// exits must end it itself.
const kSilentAfterOneBlock = { ORVEL_FAKE_BYTES: '4096' };
// How each ending must look, node's options and the recorder for it.
// Node-API leaves an exception thrown by a callback uncaught only under the
// policy flag. A host killed outright can only count on SIGPIPE.
const kEndings = {
  exit: { ended: ({ code, signal }) => code === 7 && signal === null, fake: kSilentAfterOneBlock },
  throw: { ended: uncaught, fake: kSilentAfterOneBlock },
  'throw in callback': {
    ended: uncaught,
    fake: kSilentAfterOneBlock,
    execArgv: ['--force-node-api-uncaught-exceptions-policy=true'],
  },
  kill: { ended: ({ signal }) => signal === 'SIGKILL', fake: {} },
};

// Runs one host to its end; resolves with how it ended and how long its
// recorder outlived it.
async function runHost(ending, capture, report, random) {
  const { execArgv = [], fake } = kEndings[ending];
  let exitedAt;
  const onStart = (host) => {
    host.once('exit', () => (exitedAt = Date.now()));
    if (ending !== 'kill') return;
    let stdout = '';
    host.stdout.on('data', (data) => (stdout += data));
    // Should no block come, the run's own time limit fails the test.
    waitFor(() => stdout.includes('block'), `host ${host.pid} reporting a block`, 10_000)
      .then(() => sleep(random() * 20))
      .then(() => host.kill('SIGKILL'), () => {});
  };
  // The recorder inherits the host's stderr, so the run ends once both have.
  const result = await runNode([...execArgv, '-e', kHostSource], {
    env: { ...fake, ORVEL_FAKE_REPORT: report, ENDING: ending, CAPTURE: capture },
    onStart,
    timeoutMs: 10_000,
  }).catch((error) => ({ error }));
  const { pid } = await readReport(report);
  await waitFor(() => !recorderAlive(pid), `recorder ${pid} to die`, kRecorderGraceMs).catch(() => {});
  const outlivedMs = recorderAlive(pid) ? Infinity : Date.now() - exitedAt;
  // A recorder that outlived its host would otherwise run on after the test.
  if (outlivedMs === Infinity) process.kill(pid, 'SIGKILL');
  if (result.error) throw result.error;
  return { ...result, recorderPid: pid, outlivedMs };
}

test(`${kHosts} hosts that exit, throw or are killed mid-capture or mid-stream end as asked and take their recorder along`,
  { timeout: 600_000 }, async () => {
    const seed = seedFromEnv('ORVEL_STRESS_SEED');
    const random = seededRandom(seed);
    useFake({ PIECES: 4096, PAUSE_US: 500 });
    const dir = scratchDir();
    const endings = Object.keys(kEndings);
    const started = Date.now();
    let worstMs = 0;
    for (let i = 0; i < kHosts; i++) {
      const ending = endings[i % endings.length];
      const capture = Math.floor(i / endings.length) % 2 === 0 ? 'callback' : 'stream';
      const what = `host ${i} (${ending}, ${capture})`;
      const result = await runHost(ending, capture, path.join(dir, `report-${i}`), random);
      assert.ok(kEndings[ending].ended(result),
        `${what} ended with code ${result.code}, signal ${result.signal}; stderr: ${result.stderr}`);
      assert.ok(result.outlivedMs <= kRecorderGraceMs,
        `${what}: recorder ${result.recorderPid} still alive ${kRecorderGraceMs} ms after its host`);
      worstMs = Math.max(worstMs, result.outlivedMs);
    }
    console.log(`hosts: ${kHosts} (${endings.join(', ')}) in ${((Date.now() - started) / 1000).toFixed(1)} s ` +
      `(seed ${seed}); longest a recorder outlived its host: ${worstMs} ms`);
  });
