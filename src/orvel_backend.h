// Capture backend interface: plain functions that start and stop captures
// and hand their samples to a plain callback. Nothing here knows about
// JavaScript; the binding turns it into JavaScript values.
#ifndef ORVEL_BACKEND_H_
#define ORVEL_BACKEND_H_

#include <cstdint>

#define ORVEL_EXPORT __attribute__((visibility("default")))

// What a capture delivers unless asked for another format.
constexpr int32_t kCaptureRate = 48000;
constexpr int32_t kCaptureChannels = 2;
// The formats a capture may ask for; anything else gets the default.
constexpr int32_t kMinCaptureRate = 8000;
constexpr int32_t kMaxCaptureRate = 192000;
constexpr int32_t kMaxCaptureChannels = 2;
// The recorder's resampler qualities; below the least: its own default.
constexpr int32_t kMinResampleQuality = 0;
constexpr int32_t kMaxResampleQuality = 15;
// The longest block interval a capture may ask for.
constexpr uint32_t kMaxBlockIntervalMs = 1000;

// Called on the reader thread with interleaved 32-bit float samples, in
// whole frames. `count` is in floats (all channels together), not frames. `samples` is valid only
// for the duration of the call. Must not throw, and must not start or stop
// a capture.
using PcmCallback = void (*)(const float* samples, uint64_t count,
                             int32_t sample_rate, int32_t channels, void* user);

// The samples' format in the blocks a BlockCallback gets.
enum class SampleFormat : int32_t {
  kF32 = 0,  // 32-bit float, as the recorder writes them
  kS16 = 1,  // 16-bit signed integer, rounded to nearest and clipped to full scale
};

// A block as the reader hands it over, in whole frames, with what the
// reader knows of its timing. `data` is valid only for the duration of the
// call.
struct Block {
  const void* data;
  uint64_t frames;
  int32_t sample_rate;
  // Of the frames in `data`: 1 when the capture mixes to mono.
  int32_t channels;
  SampleFormat sample_format;
  // When the block ends with a read made right after the reader found the
  // pipe empty: the frames of that read, which is the recorder's last write
  // (it writes once per graph cycle) unless the reader was late. Else 0.
  uint64_t last_write_frames;
};

// Called like PcmCallback, with the block's timing beside its samples.
using BlockCallback = void (*)(const Block& block, void* user);

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
// block, when the stream ends by itself; never once a stop has begun ending
// the capture. Same contract as PcmCallback otherwise.
using EndCallback = void (*)(const RecorderEnd* end, void* user);

// Everything a capture can be asked for. As constructed, it records the
// recorder's default (the default source) as 48000 Hz stereo, every block as
// it comes; options with neither `pcm_cb` nor `block_cb` are refused.
struct CaptureOptions {
  // What to record: an object serial or node name; null or empty: the
  // default. A named target is recorded only while it exists: when it is
  // missing or goes away, no further samples come, never another device's.
  const char* pipewire_target = nullptr;
  // Serve other platforms; ignored here.
  const char* window_capture_source_id = nullptr;
  uint32_t exclude_process_id = 0;
  // Record a sink's output: the sink named by `pipewire_target`, or the
  // default sink, followed when it changes.
  bool capture_sink = false;
  // Non-empty: the recorder's node takes this name and the session manager
  // links nothing to it; the caller links what it wants recorded into its
  // input ports (`pipewire_target` and `capture_sink` do not apply). It
  // keeps running in silence, with a latency of 100 ms.
  const char* unlinked_node_name = nullptr;
  // The format the recorder converts to: kMinCaptureRate to kMaxCaptureRate
  // frames per second, 1 (PipeWire's own mix) or 2 channels.
  int32_t sample_rate = kCaptureRate;
  int32_t channels = kCaptureChannels;
  // kMinResampleQuality to kMaxResampleQuality: the quality of the
  // recorder's resampler (`--quality`); anything else leaves the recorder's
  // default.
  int32_t resample_quality = -1;
  // Above 0 (at most kMaxBlockIntervalMs): the samples are read about once
  // per interval, in blocks that hold what the interval gathered, instead of
  // as the recorder writes them (every 10-20 ms): fewer callbacks, at the
  // price of that much latency.
  uint32_t block_interval_ms = 0;
  // With a block interval: a block that gathered in a pause waits for the
  // recorder's next write, so that its read time bounds when its last
  // samples were captured. Without: it is handed over when the pause ends,
  // a thread wake-up less per interval, for captures that keep no times.
  bool fresh_blocks = true;
  // How block_cb gets the samples (pcm_cb always gets the recorder's
  // floats): in this format and, with 2 channels, as one channel that is
  // the mean of left and right when `mix_to_mono` is set (PipeWire's own
  // mix to mono is not that mean on every release).
  SampleFormat sample_format = SampleFormat::kF32;
  bool mix_to_mono = false;
  PcmCallback pcm_cb = nullptr;
  // Set: called for each block instead of pcm_cb, which may then be null.
  BlockCallback block_cb = nullptr;
  EndCallback end_cb = nullptr;
  void* user = nullptr;
};

// Ends any running process-wide capture, then starts a new one that records
// `pipewire_target` (null or empty: the recorder's default) and calls `cb`
// with `user` for every block of 48000 Hz stereo samples. Returns false for
// a null callback or when the reader thread cannot be created; true says
// nothing about the recorder itself, whose failures end the stream.
// `window_capture_source_id` and `exclude_process_id` serve other platforms
// and are ignored here. Same as orvel_backend_start_with with these options.
ORVEL_EXPORT bool orvel_backend_start(const char* pipewire_target,
                                      const char* window_capture_source_id,
                                      uint32_t exclude_process_id,
                                      PcmCallback cb, void* user);

// orvel_backend_start with every option: ends any running process-wide
// capture, then starts one as `options` ask.
bool orvel_backend_start_with(const CaptureOptions& options);

// Ends the process-wide capture: the recorder is terminated and reaped, the
// reader thread joined. Once it returns no callback of it runs. Safe to call
// with nothing running.
ORVEL_EXPORT void orvel_backend_stop();

// Whether per-process loopback capture is available: never on Linux.
ORVEL_EXPORT bool orvel_wasapi_process_loopback_os_supported();

// A capture of its own, beside the process-wide one and any others: its own
// recorder and reader thread. Returns null without a callback or when the
// reader thread cannot be created.
struct Capture;
Capture* orvel_capture_open(const CaptureOptions& options);

// Ends a capture that orvel_capture_open made, as orvel_backend_stop ends
// the process-wide one, and frees it. Null is ignored.
void orvel_capture_close(Capture* capture);

#endif  // ORVEL_BACKEND_H_
