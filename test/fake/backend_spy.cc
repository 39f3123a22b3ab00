// Preloaded into node by the binding's tests: stands between the addon and
// the backend to record what the addon asks of the backend (a line per
// start: "current" or "side", then the options), to make start fail on
// demand, and to feed the addon's sample callback blocks that it must not
// deliver.
//
//   ORVEL_SPY_ADDON   path of the loaded addon, whose backend the spy calls
//   ORVEL_SPY_LOG     file to append one line per start to
//   ORVEL_SPY_REFUSE  1: start fails as if the reader thread could not be
//                     created
//   ORVEL_SPY_PROBE   1: at start, hand the callback blocks that must be
//                     dropped (no samples, zero channels, null pointer) and
//                     one valid block of a frame; at stop, hand it one
//                     more block, after the capture was made inactive: its
//                     samples lie in memory that cannot be read, so a
//                     callback that so much as copies it crashes
#include <dlfcn.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orvel_backend.h"

namespace {

using StartFn = bool (*)(const CaptureOptions&);
using OpenFn = Capture* (*)(const CaptureOptions&);
using StopFn = void (*)();

constexpr float kValidBlock[] = {0.25f, -0.5f};

std::atomic<BlockCallback> g_probe_cb{nullptr};
std::atomic<void*> g_probe_user{nullptr};

// The addon is loaded with local symbols, out of RTLD_NEXT's reach; its own
// handle finds its backend.
template <typename Fn>
Fn Real(const char* mangled) {
  void* addon = dlopen(getenv("ORVEL_SPY_ADDON"), RTLD_LAZY | RTLD_NOLOAD);
  if (addon == nullptr) abort();
  Fn real = reinterpret_cast<Fn>(dlsym(addon, mangled));
  dlclose(addon);
  return real;
}

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

bool orvel_backend_start_with(const CaptureOptions& options) {
  const StartFn real = Real<StartFn>("_Z24orvel_backend_start_withRK14CaptureOptions");
  Log("current", options);
  if (Enabled("ORVEL_SPY_REFUSE")) {
    orvel_backend_stop();
    return false;
  }
  const bool probe = Enabled("ORVEL_SPY_PROBE") && options.block_cb != nullptr;
  if (probe) Probe(options);
  const bool started = real(options);
  if (started && probe) {
    g_probe_user.store(options.user);
    g_probe_cb.store(options.block_cb);
  }
  return started;
}

Capture* orvel_capture_open(const CaptureOptions& options) {
  const OpenFn real = Real<OpenFn>("_Z18orvel_capture_openRK14CaptureOptions");
  Log("side", options);
  return Enabled("ORVEL_SPY_REFUSE") ? nullptr : real(options);
}

void orvel_backend_stop() {
  const StopFn real = Real<StopFn>("_Z18orvel_backend_stopv");
  if (BlockCallback cb = g_probe_cb.exchange(nullptr)) {
    void* unreadable = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (unreadable == MAP_FAILED) abort();
    cb(Block{unreadable, 1, 48000, 2, SampleFormat::kF32, 0}, g_probe_user.exchange(nullptr));
    munmap(unreadable, 4096);
  }
  real();
}
