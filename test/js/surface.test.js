'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('../bounded');

const { root, addonPath, useFake, collector, readReport, run, runNode, scratchDir, waitFor } = require('./helpers');
const capture = require(root);
const { version } = require('../../package.json');

const kFunctions = ['getNativeAudioCaptureInfo', 'startCapture', 'stopCapture'];
const kInfo = {
  ok: true,
  stub: false,
  platform: 'linux',
  version,
  backend: 'pw_record',
  wasapiProcessLoopbackOsSupported: false,
};

test("the native module exports its three functions and its private entries, the streams' openCapture and the Pulse check's _socketPeers; the package adds listCaptureTargets, captureStream and captureCall", () => {
  const native = require(addonPath);
  assert.deepEqual(Object.keys(native), [...kFunctions, 'openCapture', '_socketPeers']);
  assert.deepEqual(Object.keys(capture), [...kFunctions, 'listCaptureTargets', 'captureStream', 'captureCall']);
  for (const name of Object.keys(capture)) {
    assert.equal(typeof capture[name], 'function');
    assert.equal(capture[name].name, name);
  }
  assert.equal(capture.getNativeAudioCaptureInfo, native.getNativeAudioCaptureInfo);
});

// The shipped build, not the test build that the other tests load.
test('the shipped module exports its entry points alone and looks for the recorder on the system', async () => {
  const shipped = path.join(root, 'build', 'Release', 'orvel_capture_audio.node');
  const { stdout } = await run('nm', ['-D', '--defined-only', '-C', shipped]);
  const exported = stdout.split('\n').filter(Boolean).map((line) => line.replace(/^\w+ \w /, ''));
  assert.deepEqual(exported.sort(), [
    'napi_register_module_v1',
    'node_api_module_get_api_version_v1',
    'orvel_backend_start(char const*, char const*, unsigned int, void (*)(float const*, unsigned long, int, int, void*), void*)',
    'orvel_backend_stop()',
    'orvel_wasapi_process_loopback_os_supported()',
  ]);
  assert.ok(fs.readFileSync(shipped).includes('\0/usr/bin/pw-record\0'), 'the shipped module is a test build');
});

test('the capability report has fixed keys, order and values, with or without arguments and a capture', async () => {
  const check = (info) => {
    assert.deepEqual(Object.keys(info), Object.keys(kInfo));
    assert.deepEqual(info, kInfo);
  };
  check(capture.getNativeAudioCaptureInfo());
  check(capture.getNativeAudioCaptureInfo(1, 2, 3));
  const first = capture.getNativeAudioCaptureInfo();
  first.ok = false;
  check(capture.getNativeAudioCaptureInfo());

  const report = useFake();
  const { blocks, callback } = collector();
  assert.equal(capture.startCapture({}, callback), true);
  await readReport(report);
  await waitFor(() => blocks.length > 0, 'a block');
  check(capture.getNativeAudioCaptureInfo());
  capture.stopCapture();
  check(capture.getNativeAudioCaptureInfo());
});

test('loading the package without a built module says how to build it', async () => {
  const dir = scratchDir();
  for (const file of ['index.js', 'package.json', 'lib']) {
    fs.cpSync(path.join(root, file), path.join(dir, file), { recursive: true });
  }
  fs.symlinkSync(path.join(root, 'node_modules'), path.join(dir, 'node_modules'));
  const { code, stderr } = await runNode(`require(${JSON.stringify(dir)})`, { env: { ORVEL_CAPTURE_AUDIO_PREBUILD: '' } });
  assert.notEqual(code, 0);
  assert.match(stderr, /no native module for linux-\w+ .*Reinstall the package to build it from source/);
});
