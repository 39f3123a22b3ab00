// Capture backend interface: plain functions that start and stop one
// process-wide capture and hand its samples to a plain callback. Nothing here
// knows about JavaScript; the binding turns it into JavaScript values.
#ifndef ORVEL_BACKEND_H_
#define ORVEL_BACKEND_H_

#include <cstdint>

#define ORVEL_EXPORT __attribute__((visibility("default")))

// The longest block interval a capture may ask for.
constexpr uint32_t kMaxBlockIntervalMs = 1000;

// Called on the reader thread with interleaved 32-bit float samples. `count`
// is in floats (all channels together), not frames. `samples` is valid only
// for the duration of the call. Must not throw, and must not call
// orvel_backend_start or orvel_backend_stop.
using PcmCallback = void (*)(const float* samples, uint64_t count,
                             int32_t sample_rate, int32_t channels, void* user);

// How a capture's stream ended by itself: no recorder could be run, or the
// recorder exited.
struct RecorderEnd {
  // errno of the failure when no recorder could be run, else 0.
  int spawn_error;
  // The recorder's exit status, or -1 when it did not exit normally.
  int exit_code;
  // The signal that ended the recorder, or 0.
  int signal;
  // The last bytes (at most 4 KiB) the recorder printed, stderr and stdout
  // together. Valid only for the duration of the call.
  const char* output;
  uint64_t output_size;
};

// Called at most once per capture, on the reader thread after the last
// block, when the stream ends by itself; never once a stop or start has
// begun ending the capture. Same contract as PcmCallback otherwise.
using EndCallback = void (*)(const RecorderEnd* end, void* user);

// Ends any running capture, then starts a new one that records
// `pipewire_target` (null or empty: the recorder's default) and calls `cb`
// with `user` for every block. A named target is recorded only while it
// exists: when it is missing or goes away, no further samples come, never
// another device's. With `capture_sink` the capture records a sink's output:
// the sink named by `pipewire_target`, or the default sink, followed when it
// changes. With a non-empty `unlinked_node_name` the recorder's node takes
// that name and nothing is linked to it by the session manager: the caller
// links what it wants recorded into its input ports (`pipewire_target` and
// `capture_sink` do not apply then); it keeps running in silence, with a
// latency of 100 ms. Returns false for a null callback or when the reader thread
// cannot be created; true says nothing about the recorder itself, whose
// failures end the stream and reach `end_cb` when one is given.
// With a `block_interval_ms` above 0 (at most kMaxBlockIntervalMs), the
// samples are read about once per interval, in blocks that hold what the
// interval gathered, instead of as the recorder writes them (every 10-20 ms):
// fewer callbacks, at the price of that much latency.
// `window_capture_source_id` and `exclude_process_id` serve other platforms
// and are ignored here.
ORVEL_EXPORT bool orvel_backend_start(const char* pipewire_target,
                                      const char* window_capture_source_id,
                                      uint32_t exclude_process_id,
                                      PcmCallback cb, void* user,
                                      bool capture_sink = false,
                                      EndCallback end_cb = nullptr,
                                      const char* unlinked_node_name = nullptr,
                                      uint32_t block_interval_ms = 0);

// Ends the capture: the recorder is terminated and reaped, the reader thread
// joined. Once it returns no callback runs. Safe to call with nothing running.
ORVEL_EXPORT void orvel_backend_stop();

// Whether per-process loopback capture is available: never on Linux.
ORVEL_EXPORT bool orvel_wasapi_process_loopback_os_supported();

#endif  // ORVEL_BACKEND_H_
