'use strict';

// The native module: node-gyp-build takes a local build (build/Release)
// first, then the prebuilt binary for this platform under prebuilds/.

const path = require('path');

const kPackageDir = path.join(__dirname, '..');

function loadAddon() {
  try {
    return require('node-gyp-build')(kPackageDir);
  } catch (error) {
    if (!String(error.message).startsWith('No native build was found')) throw error;
    throw new Error(
      `orvel-capture-audio: no native module for ${process.platform}-${process.arch} in ${kPackageDir}. ` +
        'Reinstall the package to build it from source; that needs cmake, make and a C++ compiler ' +
        '(Debian: apt-get install cmake make g++).',
      { cause: error },
    );
  }
}

module.exports = loadAddon();
