'use strict';

// Capture by app with a real browser: Debian's Chromium, headless, playing a
// WebAudio tone through PipeWire's Pulse server beside a native player, an
// honest Pulse player and Pulse players that claim the browser's pids.

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { describe, test } = require('node:test');
const { captureStream } = require('../..');
const { listCaptureTargets } = require('../../lib/targets');
const h = require('./helpers');

const kExcludedDb = 60;
const kKeptDb = 0.5;
const kBrowser = '/usr/lib/chromium/chromium';
const kBrowserTone = { left: [700, 0.3], right: [700, 0.3] };
const kTones = {
  browser: kBrowserTone,
  native: h.kTones.b,
  pulseApp: { left: [2500, 0.3], right: [2500, 0.3] },
  claimsMain: { left: [3500, 0.3], right: [3500, 0.3] },
  claimsAudio: { left: [4500, 0.3], right: [4500, 0.3] },
};
const kPage = `data:text/html,${encodeURIComponent(`<script>
  const context = new AudioContext();
  const gain = new GainNode(context, { gain: ${kBrowserTone.left[1]} });
  const tone = new OscillatorNode(context, { frequency: ${kBrowserTone.left[0]} });
  tone.connect(gain).connect(context.destination);
  tone.start();
</script>`)}`;

// The directory a root's run of this file sees as the host's /, through a
// process outside its mount namespace, or null on the host itself: a root
// without a browser runs the host's, against the root's Pulse server.
function hostRoot() {
  const mine = fs.readlinkSync('/proc/self/ns/mnt');
  for (let pid = process.pid; pid > 1; pid = h.processInfo(pid)?.parent ?? 0) {
    if (fs.readlinkSync(`/proc/${pid}/ns/mnt`) !== mine) return `/proc/${pid}/root`;
  }
  return null;
}

const kHostRoot = fs.existsSync(kBrowser) ? null : hostRoot();
const kHaveBrowser = kHostRoot === null ? fs.existsSync(kBrowser) : fs.existsSync(kHostRoot + kBrowser);

// Starts the browser playing the tone, in a process group of its own; a
// path of ours, seen from the browser's root.
function startBrowser(dir) {
  const seen = (file) => (kHostRoot === null ? file : `/proc/${process.pid}/root${file}`);
  const profile = fs.mkdtempSync(path.join(dir, 'profile-'));
  const args = [
    '--headless=new', '--autoplay-policy=no-user-gesture-required', '--disable-gpu', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync', '--disable-quic',
    '--disable-breakpad', `--user-data-dir=${seen(profile)}`, ...(process.getuid() === 0 ? ['--no-sandbox'] : []), kPage,
  ];
  const env = {
    ...process.env,
    PULSE_SERVER: `unix:${seen(path.join(process.env.XDG_RUNTIME_DIR, 'pulse', 'native'))}`,
    DBUS_SESSION_BUS_ADDRESS: '',
  };
  const [command, commandArgs] = kHostRoot === null ? [kBrowser, args] : ['chroot', [kHostRoot, kBrowser, ...args]];
  return spawn(command, commandArgs, { env, detached: true, stdio: 'ignore' });
}

async function stopBrowser(browser) {
  if (!browser || browser.exitCode !== null || browser.signalCode !== null) return;
  const exited = once(browser, 'exit');
  process.kill(-browser.pid, 'SIGTERM');
  const timer = setTimeout(() => process.kill(-browser.pid, 'SIGKILL'), 5000);
  await exited;
  clearTimeout(timer);
}

// The browser's playback stream once it plays, as listCaptureTargets shows it.
const browserStream = () => h.waitForTarget('Chromium', (target) => target.state === 'running' && target.processId !== null);

// The pid of the browser's process that plays: the one the Pulse client
// claims (its audio service, a child of the browser's main process).
async function audioProcessOf(browser) {
  const { processId } = await browserStream();
  assert.ok(h.processInfo(processId)?.parent === browser.pid, `pid ${processId} is not a child of the browser`);
  return processId;
}

// Captures a second with OPTIONS and asserts the tones of PRESENT and
// ABSENT (keys of kTones); resolves with the warnings the stream emitted.
async function assertCapture(what, options, present, absent) {
  const warnings = [];
  const samples = await h.captureStreamed(options, 1, (stream) => stream.on('warning', (warning) => warnings.push(warning)));
  for (const key of present) h.assertTone(samples, kTones[key], `${what}: ${key}`, kKeptDb);
  for (const key of absent) h.assertAbsent(samples, kTones[key], `${what}: ${key}`, kExcludedDb);
  return warnings;
}

// A capture with OPTIONS under way: next() resolves with the second of
// audio that follows a warm-up from now; warnings holds what it warned of.
function recording(options) {
  const chunks = [];
  const warnings = [];
  let failure = null;
  const stream = captureStream(options)
    .on('data', (chunk) => chunks.push(chunk))
    .on('warning', (warning) => warnings.push(warning))
    .on('error', (error) => (failure = error));
  const bytes = () => chunks.reduce((sum, chunk) => sum + chunk.length, 0);
  const kSecondBytes = h.kRate * h.kChannels * 4;
  return {
    stream,
    warnings,
    async next() {
      const from = bytes() + kSecondBytes;
      await h.waitUntil(() => {
        if (failure) throw failure;
        return bytes() >= from + kSecondBytes;
      }, 'two seconds of audio');
      return h.toFloats(chunks).subarray(from / 4, (from + kSecondBytes) / 4);
    },
  };
}

describe('capture by app, with a real browser', { skip: !kHaveBrowser && 'no chromium here' }, () => {
  const session = h.useSession({ players: ['b'] });
  const everyone = ['browser', 'native', 'pulseApp'];

  test('the browser by its pid, by name and by the pid the list shows; Pulse players that claim its pids never come in with it', { timeout: 120000 }, async () => {
    const players = [];
    const browser = startBrowser(session.dir);
    try {
      players.push(h.startClaimingPlayer(h.toneFile(path.join(session.dir, 'pulse-app.wav'), kTones.pulseApp), 'player-pulse-app', { pulse: true }));
      await h.waitForTarget('player-pulse-app');
      const audio = await audioProcessOf(browser);
      const listed = await browserStream();
      assert.equal(listed.processName, 'chromium');
      assert.ok([browser.pid, audio].includes(listed.processId), `listed pid ${listed.processId}`);
      const others = ['native', 'pulseApp'];
      // [what, options, present, absent], with an impostor of the main pid playing.
      const cases = [
        ['the browser by its pid', { includeProcessId: browser.pid }, ['browser'], others],
        ['the browser by name', { includeProcessName: 'chromium' }, ['browser'], others],
        ['the listed pid', { includeProcessId: listed.processId }, ['browser'], others],
        ['all but the browser by pid', { excludeProcessId: browser.pid }, others, ['browser']],
        ['all but the browser by name', { excludeProcessName: ['nothing-such', 'chromium'] }, others, ['browser']],
      ];
      for (const [what, options, present, absent] of cases) await assertCapture(what, options, present, absent);
      const out = path.join(session.dir, 'app.wav');
      const recorded = await h.run(process.execPath, [path.join(h.root, 'bin', 'orvel-record.js'), '--app', 'chromium', '--seconds', '1.5', out]);
      assert.equal(recorded.code, 0, recorded.stderr);
      const samples = h.readWholeWav(out, 'f32').samples.subarray(h.kRate * h.kChannels * 0.5);
      h.assertTone(samples, kTones.browser, '--app chromium', kKeptDb);
      for (const key of others) h.assertAbsent(samples, kTones[key], `--app chromium: ${key}`, kExcludedDb);

      const claimsMain = h.toneFile(path.join(session.dir, 'claims-main.wav'), kTones.claimsMain);
      players.push(h.startClaimingPlayer(claimsMain, 'player-claims-main', { pulse: true, claim: browser.pid }));
      await h.waitForTarget('player-claims-main');
      assert.deepEqual(await assertCapture('an impostor of the main pid, the browser by its pid', { includeProcessId: browser.pid }, ['browser'], ['claimsMain', ...others]), []);
      await assertCapture('an impostor of the main pid, all but the browser', { excludeProcessId: browser.pid }, others, ['browser', 'claimsMain']);
      await assertCapture('an impostor of the main pid, the browser by name', { includeProcessName: 'chromium' }, ['browser'], ['claimsMain', ...others]);

      // An impostor of the audio process joins a capture under way, then leaves.
      const capture = recording({ includeProcessId: browser.pid });
      try {
        h.assertTone(await capture.next(), kTones.browser, 'before the impostor', kKeptDb);
        const claimsAudio = h.toneFile(path.join(session.dir, 'claims-audio.wav'), kTones.claimsAudio);
        const impostor = h.startClaimingPlayer(claimsAudio, 'player-claims-audio', { pulse: true, claim: audio });
        players.push(impostor);
        await h.waitForTarget('player-claims-audio');
        assert.equal((await listCaptureTargets()).find((target) => target.name === 'Chromium').processCheck, 'over-claimed');
        const over = await capture.next();
        for (const key of [...everyone, 'claimsMain', 'claimsAudio']) h.assertAbsent(over, kTones[key], `an impostor of the audio process: ${key}`, kExcludedDb);
        await h.stopPlayer(impostor);
        await h.waitUntil(async () => !(await listCaptureTargets()).some((target) => target.name === 'player-claims-audio'), 'the impostor gone');
        h.assertTone(await capture.next(), kTones.browser, 'after the impostor', kKeptDb);
        assert.deepEqual(capture.warnings.map((warning) => [warning.code, warning.info.pids]), [['ERR_PROCESS_OVERCLAIMED', [audio]]]);
      } finally {
        capture.stream.destroy();
      }
    } finally {
      for (const player of players) await h.stopPlayer(player);
      await stopBrowser(browser);
    }
  });

  test('a capture by name takes the browser as it starts, and again once it is started anew', { timeout: 120000 }, async () => {
    const capture = recording({ includeProcessName: 'chromium' });
    const heardOnce = async (run) => {
      const browser = startBrowser(session.dir);
      try {
        await browserStream();
        // A second, a second after the browser was seen playing: the graph
        // is watched and the stream linked by tools of their own, which a
        // loaded machine may keep waiting.
        const samples = await capture.next();
        h.assertTone(samples, kBrowserTone, `run ${run}`, kKeptDb);
        h.assertAbsent(samples, kTones.native, `run ${run}`, kExcludedDb);
      } finally {
        await stopBrowser(browser);
      }
      await h.waitUntil(async () => !(await listCaptureTargets()).some((target) => target.name === 'Chromium'), 'the browser gone');
    };
    try {
      await h.sleep(500);
      await heardOnce(1);
      await heardOnce(2);
    } finally {
      capture.stream.destroy();
    }
  });
});
