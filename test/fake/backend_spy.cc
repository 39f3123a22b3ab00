// What the test build's addon calls instead of the backend (backend_spy.h
// puts it there): records what the addon asks of the backend (a line per
// start: "current" or "side", then the options), makes start fail on
// demand, and feeds the addon's sample callback blocks that it must not
// deliver.
//
//   ORVEL_SPY_LOG     file to append one line per start to
//   ORVEL_SPY_REFUSE  1: start fails as if the reader thread could not be
//                     created
//   ORVEL_SPY_PROBE   1: at start, hand the callback blocks that must be
//                     dropped (no samples, zero channels, null pointer) and
//                     one valid block of a frame; at stop, hand it one
//                     more block, after the capture was made inactive: its
//                     samples lie in memory that cannot be read, so a
//                     callback that so much as copies it crashes
#include "backend_spy.h"
// Here the names are the backend's own.
#undef orvel_backend_start_with
#undef orvel_backend_stop
#undef orvel_capture_open

#include <sys/mman.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr float kValidBlock[] = {0.25f, -0.5f};

std::atomic<BlockCallback> g_probe_cb{nullptr};
std::atomic<void*> g_probe_user{nullptr};

bool Enabled(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

const char* Text(const char* text) { return text != nullptr ? text : "(null)"; }

void Log(const char* kind, const CaptureOptions& options) {
  const char* path = getenv("ORVEL_SPY_LOG");
  if (path == nullptr) return;
  if (FILE* log = fopen(path, "a")) {
    fprintf(log, "%s target=%s window=%s exclude=%u rate=%d channels=%d interval=%u\n", kind,
            Text(options.pipewire_target), Text(options.window_capture_source_id),
            options.exclude_process_id, options.sample_rate, options.channels,
            options.block_interval_ms);
    fclose(log);
  }
}

void Probe(const CaptureOptions& options) {
  const BlockCallback cb = options.block_cb;
  void* user = options.user;
  constexpr SampleFormat kF32 = SampleFormat::kF32;
  cb(Block{kValidBlock, 0, 48000, 2, kF32, 0}, user);
  cb(Block{kValidBlock, 1, 48000, 0, kF32, 0}, user);
  cb(Block{kValidBlock, 1, 48000, -1, kF32, 0}, user);
  cb(Block{nullptr, 1, 48000, 2, kF32, 0}, user);
  cb(Block{kValidBlock, 1, 48000, 2, kF32, 0}, nullptr);
  cb(Block{kValidBlock, 1, 48000, 2, kF32, 0}, user);
}

}  // namespace

bool spy_backend_start_with(const CaptureOptions& options) {
  Log("current", options);
  if (Enabled("ORVEL_SPY_REFUSE")) {
    orvel_backend_stop();
    return false;
  }
  const bool probe = Enabled("ORVEL_SPY_PROBE") && options.block_cb != nullptr;
  if (probe) Probe(options);
  const bool started = orvel_backend_start_with(options);
  if (started && probe) {
    g_probe_user.store(options.user);
    g_probe_cb.store(options.block_cb);
  }
  return started;
}

Capture* spy_capture_open(const CaptureOptions& options) {
  Log("side", options);
  return Enabled("ORVEL_SPY_REFUSE") ? nullptr : orvel_capture_open(options);
}

void spy_backend_stop() {
  if (BlockCallback cb = g_probe_cb.exchange(nullptr)) {
    void* unreadable = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (unreadable == MAP_FAILED) abort();
    cb(Block{unreadable, 1, 48000, 2, SampleFormat::kF32, 0}, g_probe_user.exchange(nullptr));
    munmap(unreadable, 4096);
  }
  orvel_backend_stop();
}
