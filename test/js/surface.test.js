'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { test } = require('node:test');

const { root, useFake, collector, readReport, runNode, scratchDir, waitFor } = require('./helpers');
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

test('the native module exports exactly its three functions; the package adds listCaptureTargets and captureStream', () => {
  const native = require(path.join(root, 'build', 'Release', 'orvel_capture_audio.node'));
  assert.deepEqual(Object.keys(native), kFunctions);
  assert.deepEqual(Object.keys(capture), [...kFunctions, 'listCaptureTargets', 'captureStream']);
  for (const name of Object.keys(capture)) {
    assert.equal(typeof capture[name], 'function');
    assert.equal(capture[name].name, name);
  }
  assert.equal(capture.getNativeAudioCaptureInfo, native.getNativeAudioCaptureInfo);
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
  const { code, stderr } = await runNode(`require(${JSON.stringify(dir)})`);
  assert.notEqual(code, 0);
  assert.match(stderr, /no native module for linux-\w+ .*Reinstall the package to build it from source/);
});
