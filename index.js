'use strict';

const { listCaptureTargets } = require('./lib/targets');
const capture = require('./lib/capture');
const { captureStream } = require('./lib/stream');

// node-gyp-build takes a local build (build/Release) first, then the
// prebuilt binary for this platform under prebuilds/.
function loadAddon() {
  try {
    return require('node-gyp-build')(__dirname);
  } catch (error) {
    if (!String(error.message).startsWith('No native build was found')) throw error;
    throw new Error(
      `orvel-capture-audio: no native module for ${process.platform}-${process.arch} in ${__dirname}. ` +
        'Reinstall the package to build it from source; that needs cmake, make and a C++ compiler ' +
        '(Debian: apt-get install cmake make g++).',
      { cause: error },
    );
  }
}

const addon = loadAddon();
capture.useNative(addon);

module.exports = {
  getNativeAudioCaptureInfo: addon.getNativeAudioCaptureInfo,
  startCapture: capture.startCapture,
  stopCapture: capture.stopCapture,
  listCaptureTargets,
  captureStream,
};
