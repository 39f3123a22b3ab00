'use strict';

// The native module records one capture per process, and a start ends the
// current capture without a word to whoever held it. The package's
// startCapture and stopCapture pass through here, so that a capture
// stream learns when its capture was taken from it.

let g_native = null;
// What to call when the current capture is ended by someone else; set
// while a capture stream holds the capture.
let g_onTaken = null;

function useNative(native) {
  g_native = native;
}

function endHolder(how) {
  const onTaken = g_onTaken;
  g_onTaken = null;
  if (onTaken) onTaken(how);
}

// Misuse is refused before the current capture is touched; any other
// exception (an options getter that threw) comes after it was ended.
function isMisuse(error) {
  return error instanceof TypeError && error.message.startsWith('startCapture(');
}

function startCapture(...args) {
  let started;
  try {
    started = g_native.startCapture(...args);
  } catch (error) {
    if (!isMisuse(error)) endHolder('started');
    throw error;
  }
  endHolder('started');
  return started;
}

function stopCapture() {
  g_native.stopCapture();
  endHolder('stopped');
}

// Starts a capture for a stream. ON_TAKEN(how) is called once if a later
// start ('started') or stop ('stopped') ends it; releaseCapture(ON_TAKEN)
// ends it quietly.
function holdCapture(options, callback, onTaken) {
  const started = startCapture(options, callback);
  if (started) g_onTaken = onTaken;
  return started;
}

function releaseCapture(onTaken) {
  if (g_onTaken !== onTaken) return;
  g_onTaken = null;
  g_native.stopCapture();
}

module.exports = { useNative, startCapture, stopCapture, holdCapture, releaseCapture };
