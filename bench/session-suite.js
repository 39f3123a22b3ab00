'use strict';

// Real capture: a tone played into the session's default sink and recorded
// by the real pw-record from its monitor. run.js starts it under
// scripts/pipewire-session:
//
//   node bench/session-suite.js [--cpu] OUTPUT_JSON
//
// Writes every round's raw result to OUTPUT_JSON; with --cpu, only the CPU
// comparison's.

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { setTimeout: sleep } = require('node:timers/promises');
const { measure, alternate } = require('./lib');
const { writeTone } = require('../lib/wav');

const kRounds = 5;
const kToneHz = 100;

// Plays the file into the sink over and over until the returned function
// is called.
function playLooped(file) {
  let player = null;
  let playing = true;
  const play = () => {
    player = spawn('pw-play', ['--target', 'orvel-test-sink', file], { stdio: 'ignore' });
    player.on('exit', () => playing && play());
  };
  play();
  return () => {
    playing = false;
    player.kill();
  };
}

async function main() {
  const cpuOnly = process.argv.includes('--cpu');
  const [output] = process.argv.slice(2).filter((arg) => arg !== '--cpu');
  const log = (what) => process.stderr.write(`bench: ${what}\n`);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'orvel-bench-tone-'));
  // A sine at half scale, a whole number of periods: it ends where it
  // began, so a replay continues it without a step.
  const wav = writeTone(path.join(dir, 'tone.wav'), [[kToneHz, 0.5], [kToneHz, 0.5]], 20, { format: 's16' });
  const stopPlaying = playLooped(wav);
  try {
    await sleep(500);
    const sides = ['module', 'spawn', 'stream', 'stream16', 'spawn16', 'stream16x2', 'stream16x8'];
    log(`CPU of real capture (${kRounds} rounds of ${sides.length} sides)`);
    // The first second (code being compiled and optimised) is left out.
    // PipeWire 1.x's recorder writes raw samples to stdout only with -a.
    const raw = execFileSync('pw-record', ['--help']).toString().includes('--raw');
    const options = { warmupMs: 1000, windowMs: 4000, raw };
    const cpu = await alternate(kRounds, Object.fromEntries(sides.map((side) => [side, () => measure('cpu', side, options)])));
    if (cpuOnly) {
      fs.writeFileSync(output, JSON.stringify({ cpu }));
      return;
    }
    log('backlog during real-time capture');
    const realtimeBacklog = await measure('backlog', 'module', {
      blockMs: 5000,
      drainMs: 1000,
      toneHz: kToneHz,
    });
    log('captureStream left unread');
    const streamPaused = await measure('paused', 'stream', { pauseMs: 5000, drainMs: 1000, toneHz: kToneHz });
    fs.writeFileSync(output, JSON.stringify({ cpu, realtimeBacklog, streamPaused }));
  } finally {
    stopPlaying();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
