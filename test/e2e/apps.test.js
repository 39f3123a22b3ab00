'use strict';

// Capture by app with a real browser: Debian's Chromium, headless, plays a
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

const kBrowser = '/usr/lib/chromium/chromium';
const tone = (frequency) => ({ left: [frequency, 0.3], right: [frequency, 0.3] });
const kTones = { browser: tone(700), native: h.kTones.b, pulseApp: tone(2500), claimsMain: tone(3500), claimsAudio: tone(4500) };
const kPage = `data:text/html,${encodeURIComponent(`<script>
  const context = new AudioContext();
  const tone = new OscillatorNode(context, { frequency: 700 });
  tone.connect(new GainNode(context, { gain: 0.3 })).connect(context.destination);
  tone.start();
</script>`)}`;

// In a root without a browser, the host's / as seen through a process
// outside the root's mount namespace: the host's browser then plays to the
// root's Pulse server, whose release is what is under test.
function hostRoot() {
  const mine = fs.readlinkSync('/proc/self/ns/mnt');
  for (let pid = process.pid; pid > 1; pid = h.processInfo(pid)?.parent ?? 0) {
    if (fs.readlinkSync(`/proc/${pid}/ns/mnt`) !== mine) return `/proc/${pid}/root`;
  }
  return null;
}
const kHostRoot = fs.existsSync(kBrowser) ? null : hostRoot();
const kHaveBrowser = fs.existsSync((kHostRoot ?? '') + kBrowser);

// The browser playing the tone, in a process group of its own.
function startBrowser(dir) {
  const seen = (file) => (kHostRoot === null ? file : `/proc/${process.pid}/root${file}`);
  const args = [
    '--headless=new', '--autoplay-policy=no-user-gesture-required', '--disable-gpu', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync', '--disable-quic',
    '--disable-breakpad', `--user-data-dir=${seen(fs.mkdtempSync(path.join(dir, 'profile-')))}`,
    ...(process.getuid() === 0 ? ['--no-sandbox'] : []), kPage,
  ];
  const pulse = `unix:${seen(path.join(process.env.XDG_RUNTIME_DIR, 'pulse', 'native'))}`;
  const env = { ...process.env, PULSE_SERVER: pulse, DBUS_SESSION_BUS_ADDRESS: '' };
  const [command, commandArgs] = kHostRoot === null ? [kBrowser, args] : ['chroot', [kHostRoot, kBrowser, ...args]];
  return spawn(command, commandArgs, { env, detached: true, stdio: 'ignore' });
}

async function stopBrowser(browser) {
  if (browser.exitCode !== null || browser.signalCode !== null) return;
  const exited = once(browser, 'exit');
  process.kill(-browser.pid, 'SIGTERM');
  const timer = setTimeout(() => process.kill(-browser.pid, 'SIGKILL'), 5000);
  await exited;
  clearTimeout(timer);
}

const browserStream = () => h.waitForTarget('Chromium', (target) => target.state === 'running' && target.processId !== null);
const gone = (name) => h.waitUntil(async () => !(await listCaptureTargets()).some((target) => target.name === name), `${name} gone`);

// A capture with OPTIONS under way: next() resolves with the second of
// audio that follows a second from now (the filter links by tools of its
// own, which a loaded machine may keep waiting); warnings holds its warnings.
function recording(options) {
  const chunks = [];
  const warnings = [];
  let failure = null;
  const stream = captureStream(options)
    .on('data', (chunk) => chunks.push(chunk))
    .on('warning', (warning) => warnings.push([warning.code, warning.info.pids]))
    .on('error', (error) => (failure = error));
  const bytes = () => chunks.reduce((sum, chunk) => sum + chunk.length, 0);
  const kSecond = h.kRate * h.kChannels * 4;
  return {
    stream,
    warnings,
    async next() {
      const from = bytes() + kSecond;
      await h.waitUntil(() => {
        if (failure) throw failure;
        return bytes() >= from + kSecond;
      }, 'two seconds of audio');
      return h.toFloats(chunks).subarray(from / 4, (from + kSecond) / 4);
    },
  };
}

// Asserts the tones of PRESENT at their level, those of ABSENT 60 dB down.
function assertTones(samples, what, present, absent) {
  for (const key of present) h.assertTone(samples, kTones[key], `${what}: ${key}`, 0.5);
  for (const key of absent) h.assertAbsent(samples, kTones[key], `${what}: ${key}`, 60);
}

describe('capture by app, with a real browser', { skip: !kHaveBrowser && 'no chromium here' }, () => {
  const session = h.useSession({ players: ['b'] });
  const play = (key, options) => h.startClaimingPlayer(h.toneFile(path.join(session.dir, `${key}.wav`), kTones[key]), key, { pulse: true, ...options });

  test('by its pid, its name and the listed pid the browser is recorded alone, never with Pulse players that claim its pids', { timeout: 120000 }, async () => {
    const browser = startBrowser(session.dir);
    const players = [];
    try {
      const listed = await browserStream();
      const audio = listed.processId;
      assert.equal(h.processInfo(audio)?.parent, browser.pid, 'the listed pid is the browser\'s audio service');
      assert.equal(listed.processName, 'chromium');
      players.push(play('pulseApp'), play('claimsMain', { claim: browser.pid }));
      for (const key of ['pulseApp', 'claimsMain']) await h.waitForTarget(key);
      const others = ['native', 'pulseApp', 'claimsMain'];
      // [what, options, present, absent]
      const cases = [
        ['its pid', { includeProcessId: browser.pid }, ['browser'], others],
        ['its name', { includeProcessName: 'chromium' }, ['browser'], others],
        ['the listed pid', { includeProcessId: audio }, ['browser'], others],
        ['all but its pid', { excludeProcessId: browser.pid }, ['native', 'pulseApp'], ['browser', 'claimsMain']],
        ['all but its name', { excludeProcessName: ['nothing-such', 'chromium'] }, ['native', 'pulseApp'], ['browser', 'claimsMain']],
      ];
      for (const [what, options, present, absent] of cases) {
        const capture = recording(options);
        try {
          assertTones(await capture.next(), what, present, absent);
          assert.deepEqual(capture.warnings, [], what);
        } finally {
          capture.stream.destroy();
        }
      }
      const out = path.join(session.dir, 'app.wav');
      const recorded = await h.run(process.execPath, [path.join(h.root, 'bin', 'orvel-record.js'), '--app', 'chromium', '--seconds', '1.5', out]);
      assert.equal(recorded.code, 0, recorded.stderr);
      assertTones(h.readWholeWav(out, 'f32').samples.subarray(h.kRate * h.kChannels * 0.5), '--app chromium', ['browser'], others);

      // An impostor of the audio service joins a capture under way, then leaves.
      const capture = recording({ includeProcessId: browser.pid });
      try {
        assertTones(await capture.next(), 'before the impostor', ['browser'], others);
        const impostor = play('claimsAudio', { claim: audio });
        players.push(impostor);
        await h.waitForTarget('claimsAudio');
        assert.equal((await listCaptureTargets()).find((target) => target.name === 'Chromium').processCheck, 'over-claimed');
        assertTones(await capture.next(), 'with the impostor', [], ['browser', 'claimsAudio', ...others]);
        await h.stopPlayer(impostor);
        await gone('claimsAudio');
        assertTones(await capture.next(), 'after the impostor', ['browser'], others);
        assert.deepEqual(capture.warnings, [['ERR_PROCESS_OVERCLAIMED', [audio]]]);
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
    try {
      for (const run of [1, 2]) {
        const browser = startBrowser(session.dir);
        try {
          await browserStream();
          assertTones(await capture.next(), `run ${run}`, ['browser'], ['native']);
        } finally {
          await stopBrowser(browser);
        }
        await gone('Chromium');
      }
    } finally {
      capture.stream.destroy();
    }
  });
});
