'use strict';

// startCapture() against hostile arguments: random values, Proxies whose
// traps throw or lie, getters that throw, change type between the two reads
// or start captures themselves, huge strings, lone surrogates, NULs, symbol
// keys. Every call must return true or false or throw; a call that throws
// must leave nothing running and its callback must never be called; a call
// that returns true must give the recorder exactly the target asked for.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test, after } = require('node:test');

const { root, useFake, readReport, scratchDir, childPids, countFds, countThreads, waitFor, sleep,
  trackDeliveries } = require('../js/helpers');
const { seededRandom, seedFromEnv, settleTo } = require('./common');
const { startCapture, stopCapture } = require(root);

const deliveriesEnded = trackDeliveries();

const kUsage = 'startCapture({ pipewireTargetId?: string, windowCaptureSourceId?: string }, callback) required';
const kKeys = ['pipewireTargetId', 'windowCaptureSourceId', 'win32ExcludePlaybackProcessId', 'pipewireCaptureSink', 'onEnd'];
const kCases = Number(process.env.ORVEL_FUZZ_CASES || 3000);
// Longer arguments than this cannot be passed to exec at all.
const kMaxArgBytes = 131071;
// Errors that startCapture may throw besides what the case throws itself: a
// value read twice that changed type, and a Proxy breaking an invariant.
const kTypeChanged = /^(A (string|number|boolean)|An object) was expected$/;
const kProxyInvariant = /proxy/;

after(() => stopCapture());

// Builds one case's arguments. What is known of the case is kept beside
// them: `sentinels`, the values its getters and traps throw; `errors`, what
// the messages of other errors it may throw (TypeErrors) look like; `mayFail`,
// whether anything in it may make startCapture throw or return false;
// `target`, the target the recorder must be given ('' for none), when known.
function makeCase(random, callback, strayCallback) {
  const pick = (items) => items[Math.floor(random() * items.length)];
  const chance = (p) => random() < p;
  const sentinels = new Set();
  const errors = [];
  let mayFail = false;
  let targetKnown = true;

  function thrower() {
    const thrown = pick([() => new Error('from a getter'), () => ({ thrown: true }), () => 'thrown', () => 42,
      () => undefined, () => Symbol('thrown')])();
    sentinels.add(thrown);
    mayFail = true;
    return () => { throw thrown; };
  }

  function randomString() {
    const length = Math.floor(random() * 40);
    let s = '';
    for (let i = 0; i < length; i++) s += String.fromCharCode(Math.floor(random() * 0x10000));
    return s;
  }

  function string() {
    const s = pick([
      () => '', () => 'orvel-test-sink', () => 'søk 🎧 target', () => '--help', () => '-',
      () => '\uD800', () => 'a\uDC00b\uD800', () => '\uDFFF\uD800',
      () => 'name\0hidden', () => '\0',
      () => 'x'.repeat(kMaxArgBytes), () => 'é'.repeat(65536), () => 'y'.repeat(1 << 20),
      randomString, randomString,
    ])();
    // A NUL cannot be passed on; refusing such a string is fair.
    if (s.includes('\0')) mayFail = true;
    return s;
  }

  function value() {
    return pick([
      () => undefined, () => null, () => true, () => 0, () => -0, () => NaN, () => Infinity, () => -1,
      () => 4294967295, () => 4294967296, () => 1.5, () => 2 ** 53, () => 12345678901234567890n,
      () => Symbol('value'), () => () => 'a function', () => [string()], () => ({ toString: thrower() }),
      () => new String('boxed'), () => new Date(NaN), () => /re/, () => new Map(), () => new Uint8Array(4),
      string, string, string,
    ])();
  }

  // Defines `key` on `options`; returns the target it stands for, if known.
  function defineOption(options, key) {
    const kind = pick(['data', 'data', 'stable', 'throws', 'changes', 'varies', 'reenters']);
    if (kind === 'data' || kind === 'stable') {
      const v = value();
      if (kind === 'data') options[key] = v;
      else Object.defineProperty(options, key, { get: () => v, enumerable: true });
      return typeof v === 'string' ? v : '';
    }
    if (key === 'pipewireTargetId') targetKnown = false;
    let reads = 0;
    const getters = {
      throws: thrower,
      // A string first, then perhaps another type.
      changes: () => {
        mayFail = true;
        errors.push(kTypeChanged);
        const first = string();
        const later = value();
        return () => (reads++ === 0 ? first : later);
      },
      varies: () => {
        mayFail = true;
        errors.push(kTypeChanged);
        return () => value();
      },
      // Starts (and perhaps stops) a capture of its own while being read;
      // the call it is read for replaces that capture before it can deliver.
      // Its recorder may write the case's report first, so the target goes
      // unchecked.
      reenters: () => {
        targetKnown = false;
        const stop = chance(0.5);
        const s = string();
        return () => {
          startCapture({}, strayCallback);
          if (stop) stopCapture();
          return s;
        };
      },
    };
    Object.defineProperty(options, key, { get: getters[kind](), enumerable: true });
    return '';
  }

  function plainOptions() {
    const options = pick([() => ({}), () => Object.create(null), () => [], () => function options() {}])();
    let target = '';
    for (const key of kKeys) {
      if (!chance(0.6)) continue;
      const defined = defineOption(options, key);
      if (key === 'pipewireTargetId') target = defined;
    }
    if (chance(0.3)) options[Symbol(pick(kKeys))] = string();
    if (chance(0.2)) options[Symbol.for('pipewireTargetId')] = string();
    if (chance(0.2)) options.unrelated = value();
    if (chance(0.2)) Object.freeze(options);
    return { options, target };
  }

  // The options are the prototype of the object given.
  function inheritedOptions() {
    const { options, target } = plainOptions();
    return { options: Object.create(options), target };
  }

  function proxyOptions() {
    const { options } = plainOptions();
    targetKnown = false;
    const handler = {};
    if (chance(0.4)) {
      // A lie about a property that cannot change is a TypeError.
      mayFail = true;
      errors.push(kProxyInvariant);
      handler.has = pick([thrower, () => () => true, () => () => false])();
    }
    if (chance(0.4)) {
      mayFail = true;
      errors.push(kProxyInvariant, kTypeChanged);
      handler.get = pick([thrower, () => () => value()])();
    }
    if (chance(0.2)) handler.getOwnPropertyDescriptor = thrower();
    if (chance(0.2)) handler.ownKeys = thrower();
    if (chance(0.1)) handler.getPrototypeOf = thrower();
    if (chance(0.1)) {
      const { proxy, revoke } = Proxy.revocable(options, handler);
      revoke();
      mayFail = true;
      errors.push(kProxyInvariant);
      return { options: proxy };
    }
    return { options: new Proxy(options, handler) };
  }

  // Options may also be an arbitrary value, none of which has a target.
  const { options, target } = chance(0.1) ? { options: value(), target: '' }
    : pick([plainOptions, plainOptions, inheritedOptions, proxyOptions])();
  const args = pick([
    ...Array(6).fill(() => [options, callback]),
    () => [options, chance(0.5) ? callback : value()],
    () => [options, callback, value()],
    () => [options],
    () => [],
  ])();
  const misuse = args.length < 2 || args[0] === null ||
    (typeof args[0] !== 'object' && typeof args[0] !== 'function') || typeof args[1] !== 'function';
  return { args, misuse, sentinels, errors, mayFail, target: targetKnown ? target : undefined };
}

test(`startCapture survives ${kCases} hostile argument lists and leaves nothing running when it throws`,
  { timeout: 600_000 }, async () => {
    const seed = seedFromEnv('ORVEL_FUZZ_SEED');
    const random = seededRandom(seed);
    console.log(`fuzz: seed ${seed} (ORVEL_FUZZ_SEED=${seed} repeats this run), ${kCases} cases`);
    useFake({ PIECES: 4096, PAUSE_US: 500 });
    const reports = scratchDir();
    const stray = [];
    const counts = { true: 0, false: 0, threw: 0, misuse: 0, targetsChecked: 0 };
    // The thread pool and handles settle on first use.
    await fs.promises.stat(reports);
    assert.equal(startCapture({}, () => {}), true);
    stopCapture();
    await sleep(50);
    const threads = countThreads();
    const fds = countFds();

    for (let index = 0; index < kCases; index++) {
      const where = `case ${index} (seed ${seed})`;
      let outcome;
      const strayCallback = () => stray.push(index);
      const fuzzCase = makeCase(random, () => outcome === true || stray.push(index), strayCallback);
      stopCapture();
      const report = path.join(reports, String(index));
      const checkTarget = fuzzCase.target !== undefined && !fuzzCase.target.includes('\n') &&
        Buffer.byteLength(fuzzCase.target) <= kMaxArgBytes;
      if (checkTarget) process.env.ORVEL_FAKE_REPORT = report;
      else delete process.env.ORVEL_FAKE_REPORT;

      let thrown;
      try {
        outcome = startCapture(...fuzzCase.args);
      } catch (error) {
        outcome = 'threw';
        thrown = error;
      }

      assert.ok([true, false, 'threw'].includes(outcome), `${where}: returned ${String(outcome)}`);
      counts[outcome]++;
      if (fuzzCase.misuse) {
        counts.misuse++;
        assert.ok(thrown instanceof TypeError && thrown.message === kUsage,
          `${where}: misuse gave ${outcome} ${String(thrown)}`);
      } else if (outcome === 'threw') {
        assert.ok(fuzzCase.mayFail, `${where}: threw ${String(thrown)} without cause`);
        assert.ok(fuzzCase.sentinels.has(thrown) ||
          (thrown instanceof TypeError && fuzzCase.errors.some((error) => error.test(thrown.message))),
          `${where}: threw ${String(thrown)}, which nothing in the case explains`);
      } else {
        assert.ok(fuzzCase.mayFail || outcome === true, `${where}: returned false`);
      }

      if (outcome !== true) {
        // The reader thread is created within startCapture, so a capture
        // left running would show here already; a thread just joined may
        // still be listed for a moment.
        await waitFor(() => countThreads() === threads, `${where}: no reader thread after ${outcome}`, 1000);
        assert.deepEqual(childPids(), [], `${where}: a recorder is running after ${outcome}`);
      } else if (checkTarget) {
        const { args } = await readReport(report);
        const given = Buffer.from(fuzzCase.target).toString();
        // Properties (-P) follow the target; the backend's tests check them.
        const targetArgs = args[7] === '--target' ? args.slice(7, 9) : [];
        assert.deepEqual(targetArgs, given === '' ? [] : ['--target', given],
          `${where}: the recorder was given another target than ${JSON.stringify(fuzzCase.target.slice(0, 40))}`);
        counts.targetsChecked++;
      }
    }
    stopCapture();
    delete process.env.ORVEL_FAKE_REPORT;

    await deliveriesEnded();
    assert.deepEqual(stray, [], 'cases whose callbacks should never have been called');
    await settleTo({ fds, threads });
    assert.deepEqual(childPids(), []);
    console.log(`fuzz: ${JSON.stringify(counts)}`);
  });
