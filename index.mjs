// The ES module entry: the CommonJS module's exports under their own names,
// and the whole of them as the default export.
import capture from './index.js';

export const { getNativeAudioCaptureInfo, startCapture, stopCapture, listCaptureTargets, captureStream, captureCall } =
  capture;
export default capture;
