'use strict';

const path = require('path');
const { listCaptureTargets } = require('./lib/targets');
const capture = require('./lib/capture');
const { captureStream } = require('./lib/stream');

const addonPath = path.join(__dirname, 'build', 'Release', 'orvel_capture_audio.node');

function loadAddon() {
  try {
    return require(addonPath);
  } catch (error) {
    if (error.code !== 'MODULE_NOT_FOUND') throw error;
    throw new Error(
      `orvel-capture-audio: the native module ${addonPath} is not built. ` +
        `Build it with \`npm install\` (or \`npm run build\`) in ${__dirname}; ` +
        'that needs cmake and a C++ compiler (Debian: apt-get install cmake g++).',
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
