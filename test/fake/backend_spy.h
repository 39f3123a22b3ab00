// Included ahead of the addon's own sources in the test build (-include):
// the addon's calls into the backend go to the spy, which records what the
// addon asked, can refuse a start and can feed the addon's callback blocks
// that it must drop, before and after calling the real backend. The
// backend's own calls among its functions are left alone.
#ifndef ORVEL_TEST_BACKEND_SPY_H_
#define ORVEL_TEST_BACKEND_SPY_H_

#include "orvel_backend.h"

bool spy_backend_start_with(const CaptureOptions& options);
void spy_backend_stop();
Capture* spy_capture_open(const CaptureOptions& options);

#define orvel_backend_start_with spy_backend_start_with
#define orvel_backend_stop spy_backend_stop
#define orvel_capture_open spy_capture_open

#endif  // ORVEL_TEST_BACKEND_SPY_H_
