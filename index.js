'use strict';

const native = require('./lib/native');
const { listCaptureTargets } = require('./lib/targets');
const { captureStream } = require('./lib/stream');
const { captureCall } = require('./lib/call');

module.exports = {
  getNativeAudioCaptureInfo: native.getNativeAudioCaptureInfo,
  startCapture: native.startCapture,
  stopCapture: native.stopCapture,
  listCaptureTargets,
  captureStream,
  captureCall,
};
