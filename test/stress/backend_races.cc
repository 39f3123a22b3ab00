// The backend's racy moments, many times over, for the sanitizer builds
// (scripts/sanitize): stop while the reader is still starting the recorder,
// stop while the recorder ends by itself and the reader tears down, stop
// while a callback runs, start over a running capture. Run with the fake
// recorder found on PATH (scripts/sanitize builds it as a test build).
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "../backend/process_state.h"
#include "orvel_backend.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRounds = 250;

std::atomic<bool> g_stopped{false};
std::atomic<int> g_late_callbacks{0};
std::atomic<long> g_calls{0};
std::atomic<int> g_callback_pause_us{0};
int g_failures = 0;

void Check(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  ++g_failures;
}

void Collect(const float*, uint64_t, int32_t, int32_t, void* user) {
  if (static_cast<std::atomic<bool>*>(user)->load()) ++g_late_callbacks;
  ++g_calls;
  if (const int pause = g_callback_pause_us.load()) std::this_thread::sleep_for(std::chrono::microseconds(pause));
}

// A thread just joined may still be listed for a moment.
bool TasksSettleAt(size_t tasks) {
  for (int i = 0; i < 200 && CountEntries("/proc/self/task") != tasks; ++i) std::this_thread::sleep_for(5ms);
  return CountEntries("/proc/self/task") == tasks;
}

void Start() {
  g_stopped = false;
  Check(orvel_backend_start(nullptr, nullptr, 0, Collect, &g_stopped), "start");
}

void Stop() {
  orvel_backend_stop();
  g_stopped = true;
}

// Waits for the capture's first block, or a while.
void AwaitCallback() {
  const long seen = g_calls.load();
  for (int i = 0; i < 2000 && g_calls.load() == seen; ++i) std::this_thread::sleep_for(1ms);
}

void Fake(const char* bytes, const char* after, const char* pause_us) {
  setenv("ORVEL_FAKE_BYTES", bytes, 1);
  setenv("ORVEL_FAKE_AFTER", after, 1);
  setenv("ORVEL_FAKE_PAUSE_US", pause_us, 1);
}

}  // namespace

int main() {
  std::mt19937 random(std::random_device{}());
  auto upTo = [&](int n) { return std::uniform_int_distribution<int>(0, n)(random); };

  Fake("-1", "wait", "200");
  Start();
  Stop();
  const size_t fds = CountEntries("/proc/self/fd");
  const size_t tasks = CountEntries("/proc/self/task");

  // Stop at once or soon: the reader may not have forked or published the
  // recorder yet.
  for (int i = 0; i < kRounds; ++i) {
    Start();
    if (i % 2) std::this_thread::sleep_for(std::chrono::microseconds(upTo(2000)));
    Stop();
  }
  // A recorder that writes one block and exits: its reader tears down on
  // its own, racing the stop.
  Fake("4096", "exit", "0");
  for (int i = 0; i < kRounds; ++i) {
    Start();
    AwaitCallback();
    std::this_thread::sleep_for(std::chrono::microseconds(upTo(3000)));
    Stop();
  }
  // Stop while callbacks run.
  Fake("-1", "wait", "100");
  for (int i = 0; i < kRounds; ++i) {
    g_callback_pause_us = upTo(500);
    Start();
    AwaitCallback();
    std::this_thread::sleep_for(std::chrono::microseconds(upTo(3000)));
    Stop();
  }
  g_callback_pause_us = 0;
  // Start over a running capture.
  for (int i = 0; i < kRounds; ++i) {
    Start();
    std::this_thread::sleep_for(std::chrono::microseconds(upTo(1000)));
  }
  Stop();
  std::this_thread::sleep_for(50ms);

  Check(g_late_callbacks == 0, std::to_string(g_late_callbacks) + " callbacks after stop returned");
  Check(g_calls > 0, "no callback at all");
  Check(CountEntries("/proc/self/fd") == fds, "descriptors left open");
  Check(TasksSettleAt(tasks), "threads left running");
  Check(NoChildren(), "recorders left unreaped");
  std::printf("backend races: %d rounds, %ld callbacks, %d failures\n", 4 * kRounds, g_calls.load(), g_failures);
  return g_failures == 0 ? 0 : 1;
}
