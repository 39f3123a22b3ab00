'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { describe, test, afterEach } = require('../bounded');

const { root, useFake, readReport, collector, exists, childPids, countThreads, runNode, scratchDir, waitFor,
  trackDeliveries } = require('./helpers');
const { startCapture, stopCapture } = require(root);
const { openCapture } = require(`${root}/lib/native`);

const deliveriesEnded = trackDeliveries();

const kUsage = 'startCapture({ pipewireTargetId?: string, windowCaptureSourceId?: string }, callback) required';
const noop = () => {};

const handles = [];
afterEach(() => {
  stopCapture();
  for (const handle of handles.splice(0)) handle.close();
});

// Runs `calls` (a function body using `startCapture` and `stopCapture`) in a
// child node; returns what the backend spy saw asked of the backend, one
// line per start.
async function spyOnStarts(calls, env = {}) {
  const log = path.join(scratchDir(), 'starts');
  const { code, stderr } = await runNode(
    `const { startCapture, stopCapture } = require(process.env.ORVEL_MODULE);
     ${calls}
     stopCapture();`,
    { env: { ORVEL_SPY_LOG: log, ORVEL_FAKE_BYTES: '0', ...env } },
  );
  assert.equal(code, 0, stderr);
  return fs.existsSync(log) ? fs.readFileSync(log, 'utf8').trim().split('\n') : [];
}

describe('argument misuse', () => {
  const misuses = {
    'no arguments': [],
    'a callback alone': [noop],
    'null options': [null, noop],
    'undefined options': [undefined, noop],
    'a string as options': ['target', noop],
    'a number as options': [42, noop],
    'a number as callback': [{}, 5],
    'an object as callback': [{}, {}],
    'options without callback': [{}],
  };

  test('throws a TypeError with the usage and leaves a running capture alone', async () => {
    const report = useFake();
    const { blocks, callback } = collector();
    assert.equal(startCapture({}, callback), true);
    const { pid } = await readReport(report);
    for (const [name, args] of Object.entries(misuses)) {
      assert.throws(() => startCapture(...args), (error) => {
        assert.equal(error.constructor, TypeError, name);
        assert.equal(error.message, kUsage, name);
        assert.equal(error.code, undefined, name);
        return true;
      });
    }
    const before = blocks.length;
    await waitFor(() => blocks.length > before + 2, 'blocks after the misuse');
    assert.ok(exists(pid), 'the recorder was ended');
    assert.deepEqual(childPids(), [pid]);
  });

  test('arrays, functions and boxed primitives are options objects; extra arguments are ignored', async () => {
    for (const options of [[], function options() {}, new String('x'), Object.create(null)]) {
      assert.equal(startCapture(options, noop, 'extra', 1), true);
    }
  });
});

describe('options', () => {
  test('only a non-empty string target or node name and a true pipewireCaptureSink reach the recorder', async () => {
    const cases = [
      [{ pipewireTargetId: 'my sink; echo 1' }, ['--target', 'my sink; echo 1', '-P', '{ node.dont-reconnect = true node.dont-fallback = true }']],
      [{ pipewireCaptureSink: true }, ['-P', '{ stream.capture.sink = true }']],
      [{ pipewireCaptureSink: 'true' }, []],
      [{ pipewireTargetId: 42 }, []],
      [{ pipewireTargetId: '' }, []],
      [{ pipewireTargetId: null }, []],
      [{ pipewireTargetId: new String('boxed') }, []],
      [{ windowCaptureSourceId: 'window:7', win32ExcludePlaybackProcessId: 99 }, []],
      [{ pipewireUnlinkedNodeName: 'orvel-1' }, []],
    ];
    const unlinked = [
      [
        { unlinkedNodeName: 'orvel-1', target: '42', captureSink: true },
        ['--target', '0', '--latency', '100ms', '-P', '{ node.name = "orvel-1" node.always-process = true }'],
      ],
      [{ unlinkedNodeName: 7 }, []],
    ];
    for (const [options, target, open] of [...cases, ...unlinked.map((each) => [...each, true])]) {
      const report = useFake({ BYTES: 0 });
      if (open) handles.push(openCapture(options, noop, noop));
      else assert.equal(startCapture(options, noop), true);
      const { args } = await readReport(report);
      const output = args.pop();
      assert.deepEqual(args, ['pw-record', '--rate', '48000', '--channels', '2', '--format', 'f32', ...target]);
      assert.match(output, /\/samples\.raw$/);
    }
  });

  test('what the backend is asked for: strings, inherited keys, process ids', async () => {
    const starts = await spyOnStarts(`
      for (const options of [
        {},
        { pipewireTargetId: 'søk 🎧', windowCaptureSourceId: 'window:1' },
        Object.create({ pipewireTargetId: 'inherited' }),
        { windowCaptureSourceId: 3 },
        ...[0, -1, 4294967296, Infinity, NaN, 1.9, 0.5, 4294967295, '5', -0.5]
          .map((id) => ({ win32ExcludePlaybackProcessId: id })),
      ]) startCapture(options, () => {});
    `);
    const format = 'rate=48000 channels=2 interval=0';
    assert.deepEqual(starts, [
      'target=(null) window=(null) exclude=0',
      'target=søk 🎧 window=window:1 exclude=0',
      'target=inherited window=(null) exclude=0',
      'target=(null) window=(null) exclude=0',
      ...[0, 0, 0, 0, 0, 1, 0, 4294967295, 0, 0].map((id) => `target=(null) window=(null) exclude=${id}`),
    ].map((line) => `current ${line} ${format}`));
  });

  test('a target or node name with a NUL in it is refused, not cut short to name another', async () => {
    const report = useFake();
    assert.equal(startCapture({}, noop), true);
    const { pid } = await readReport(report);
    assert.equal(startCapture({ pipewireTargetId: 'name\0hidden' }, noop), false);
    assert.ok(!exists(pid), 'the capture before it was ended');
    assert.equal(openCapture({ unlinkedNodeName: 'name\0hidden' }, noop, noop), null);
    assert.deepEqual(childPids(), []);
  });

  test('a getter runs twice when its type matches, once when it does not, and options are not written', async () => {
    const reads = { pipewireTargetId: 0, windowCaptureSourceId: 0, win32ExcludePlaybackProcessId: 0 };
    const options = {
      get pipewireTargetId() { reads.pipewireTargetId++; return 'sink'; },
      get windowCaptureSourceId() { reads.windowCaptureSourceId++; return 7; },
      get win32ExcludePlaybackProcessId() { reads.win32ExcludePlaybackProcessId++; return 12; },
    };
    Object.preventExtensions(options);
    useFake({ BYTES: 0 });
    assert.equal(startCapture(options, noop), true);
    assert.deepEqual(reads, { pipewireTargetId: 2, windowCaptureSourceId: 1, win32ExcludePlaybackProcessId: 2 });
  });

  test('a getter that throws is thrown from startCapture and nothing is left running', async () => {
    const report = useFake();
    const first = collector();
    assert.equal(startCapture({}, first.callback), true);
    const { pid } = await readReport(report);

    const boom = new Error('boom');
    const second = collector();
    const options = { get pipewireTargetId() { throw boom; } };
    assert.throws(() => startCapture(options, second.callback), (error) => error === boom);
    await waitFor(() => !exists(pid), 'the first recorder to be reaped');
    const seen = first.blocks.length;
    await deliveriesEnded();
    assert.deepEqual(childPids(), []);
    assert.equal(first.blocks.length, seen);
    assert.equal(second.blocks.length, 0);
  });

  test('a getter that throws on its second read, the one for the value, is thrown from startCapture', () => {
    const boom = new Error('boom');
    for (const [key, value] of [['pipewireTargetId', 'sink'], ['win32ExcludePlaybackProcessId', 5], ['pipewireCaptureSink', true], ['onEnd', noop]]) {
      let reads = 0;
      const options = { get [key]() { if (reads++) throw boom; return value; } };
      assert.throws(() => startCapture(options, noop), (error) => error === boom, key);
    }
  });

  test('a getter that changes type between its two reads makes startCapture throw, nothing running', async () => {
    useFake();
    for (const [key, first, message] of [['pipewireTargetId', 'sink', 'A string was expected']]) {
      let reads = 0;
      const options = { get [key]() { return ++reads === 1 ? first : undefined; } };
      // A capture's reader thread would exist as soon as startCapture returned.
      const threads = countThreads();
      assert.throws(() => startCapture(options, noop), { name: 'TypeError', message }, key);
      assert.ok(countThreads() <= threads, `${key}: a reader thread was started`);
    }
  });
});

describe('native failures and blocks that must not be delivered', () => {
  test('a backend that cannot start makes startCapture return false, and the next start works', async () => {
    const starts = await spyOnStarts(
      `if (startCapture({}, () => {}) !== false) process.exit(10);
       process.env.ORVEL_SPY_REFUSE = '0';
       if (startCapture({}, () => {}) !== true) process.exit(11);`,
      { ORVEL_SPY_REFUSE: '1' },
    );
    assert.equal(starts.length, 2);
  });

  test('empty, channel-less, pointer-less and user-less blocks are dropped; late ones are not even read', async () => {
    // Blocks arrive in the order the spy hands them over, the valid one last.
    const { code, signal, stdout, stderr } = await runNode(
      `const { startCapture, stopCapture } = require(process.env.ORVEL_MODULE);
       startCapture({}, (pcm, sampleRate, channels) => {
         stopCapture();
         console.log(JSON.stringify([...new Float32Array(pcm.buffer, pcm.byteOffset, pcm.length / 4), channels]));
       });`,
      { env: { ORVEL_SPY_PROBE: '1', ORVEL_FAKE_BYTES: '0' } },
    );
    assert.deepEqual({ code, signal }, { code: 0, signal: null }, stderr);
    assert.deepEqual(JSON.parse(stdout), [0.25, -0.5, 2]);
  });
});
