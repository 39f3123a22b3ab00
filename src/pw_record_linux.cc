// Linux capture backend: runs PipeWire's `pw-record` with the sample format
// fixed on its command line and reads the raw float samples from a pipe on a
// reader thread.
#include "orvel_backend.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <utility>

namespace {

constexpr const char* kCandidates[] = {
    "/usr/bin/pw-record",
    "/bin/pw-record",
    "/usr/local/bin/pw-record",
    nullptr,
};
constexpr const char* kRecorderName = "pw-record";
// glibc's execvp searches this when PATH is unset.
constexpr const char* kDefaultPath = "/bin:/usr/bin";
constexpr int32_t kSampleRate = 48000;
constexpr int32_t kChannels = 2;
constexpr size_t kBufferFloats = 8192;
constexpr size_t kBufferBytes = kBufferFloats * sizeof(float);
// How long a recorder gets to exit after SIGTERM before it is killed.
constexpr auto kTermGrace = std::chrono::seconds(2);
constexpr auto kMaxReapPause = std::chrono::milliseconds(20);
// About 2.7 s of audio: room for the recorder to go on writing while the
// reader thread waits for the CPU, instead of the default 64 KiB (170 ms).
constexpr int kPipeBytes = 1 << 20;

// Sequentially consistent: a stop either sees the pid and descriptor the
// reader published, or the reader sees the cleared flag after publishing.
std::atomic<bool> g_running{false};
std::atomic<pid_t> g_child_pid{-1};
std::atomic<int> g_read_fd{-1};
PcmCallback g_cb = nullptr;
void* g_user = nullptr;
std::thread g_thread;

const char* resolve_pw_record_executable() {
  for (const char* const* path = kCandidates; *path != nullptr; ++path) {
    if (access(*path, X_OK) == 0) return *path;
  }
  return nullptr;
}

// Everything the child needs, made before fork so that the child only makes
// async-signal-safe calls.
struct ExecPlan {
  const char* argv[11];
  std::string search_path;
  struct sigaction default_sigpipe;
};

void make_exec_plan(const std::string& target, ExecPlan* plan) {
  size_t i = 0;
  plan->argv[i++] = kRecorderName;
  plan->argv[i++] = "--rate";
  plan->argv[i++] = "48000";
  plan->argv[i++] = "--channels";
  plan->argv[i++] = "2";
  plan->argv[i++] = "--format";
  plan->argv[i++] = "f32";
  if (!target.empty()) {
    plan->argv[i++] = "--target";
    plan->argv[i++] = target.c_str();
  }
  plan->argv[i++] = "-";
  plan->argv[i] = nullptr;
  const char* path = getenv("PATH");
  plan->search_path = path != nullptr ? path : kDefaultPath;
  std::memset(&plan->default_sigpipe, 0, sizeof(plan->default_sigpipe));
  plan->default_sigpipe.sa_handler = SIG_DFL;
}

// A PATH search by hand, because execvp may allocate and the child of a
// threaded process must not.
void exec_from_search_path(const ExecPlan& plan) {
  char file[4096];
  const size_t name_len = std::strlen(kRecorderName);
  for (const char* dir = plan.search_path.c_str();;) {
    const char* end = std::strchr(dir, ':');
    const size_t len = end != nullptr ? size_t(end - dir) : std::strlen(dir);
    // An empty entry means the working directory.
    const char* prefix = len == 0 ? "." : dir;
    const size_t prefix_len = len == 0 ? 1 : len;
    if (prefix_len + 1 + name_len < sizeof(file)) {
      std::memcpy(file, prefix, prefix_len);
      file[prefix_len] = '/';
      std::memcpy(file + prefix_len + 1, kRecorderName, name_len + 1);
      execv(file, const_cast<char* const*>(plan.argv));
    }
    if (end == nullptr) return;
    dir = end + 1;
  }
}

[[noreturn]] void run_child(int read_fd, int write_fd, const ExecPlan& plan) {
  close(read_fd);
  if (write_fd == STDOUT_FILENO) {
    fcntl(STDOUT_FILENO, F_SETFD, 0);  // keep it across exec
  } else {
    dup2(write_fd, STDOUT_FILENO);
    close(write_fd);
  }
  // A Node host ignores SIGPIPE and exec keeps that; the recorder must die
  // of SIGPIPE when its reader is gone, or it would record forever.
  sigaction(SIGPIPE, &plan.default_sigpipe, nullptr);
  const char* path = resolve_pw_record_executable();
  if (path != nullptr) {
    execv(path, const_cast<char* const*>(plan.argv));
  }
  exec_from_search_path(plan);
  _exit(127);
}

// SIGTERM, a bounded wait, then SIGKILL: a recorder that ignores SIGTERM
// must not hang the thread that stops it.
void terminate_and_reap(pid_t pid) {
  kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kTermGrace;
  auto pause = std::chrono::milliseconds(1);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, kMaxReapPause);
  }
}

// Whoever takes the pid out of g_child_pid signals and reaps it, so that
// stop and the reader's teardown never both act on it.
void end_child() {
  const pid_t pid = g_child_pid.exchange(-1);
  if (pid > 0) terminate_and_reap(pid);
}

void read_loop() {
  std::unique_ptr<float[]> buffer(new (std::nothrow) float[kBufferFloats]());
  if (!buffer) return;
  char* const bytes = reinterpret_cast<char*>(buffer.get());
  // Bytes of a sample split across reads wait at the front of the buffer,
  // so the callback always sees the stream on sample boundaries.
  size_t held = 0;
  while (g_running.load()) {
    const ssize_t n = read(g_read_fd.load(), bytes + held, kBufferBytes - held);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    const size_t total = held + size_t(n);
    const size_t whole = total - total % sizeof(float);
    held = total - whole;
    if (whole > 0) {
      if (PcmCallback cb = g_cb) {
        cb(buffer.get(), whole / sizeof(float), kSampleRate, kChannels, g_user);
      }
      std::memmove(bytes, bytes + whole, held);
    }
  }
}

void reader_thread(const std::string& target) {
  ExecPlan plan;
  make_exec_plan(target, &plan);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  fcntl(fds[0], F_SETPIPE_SZ, kPipeBytes);  // best effort: the default works too
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  if (pid == 0) run_child(fds[0], fds[1], plan);
  close(fds[1]);
  g_child_pid.store(pid);
  g_read_fd.store(fds[0]);

  read_loop();

  end_child();
  // The read end is closed only here, never by stop, so the reader cannot
  // read a descriptor number that was closed and reused under it.
  const int fd = g_read_fd.exchange(-1);
  if (fd >= 0) close(fd);
}

}  // namespace

bool orvel_backend_start(const char* pipewire_target,
                         const char* /*window_capture_source_id*/,
                         uint32_t /*exclude_process_id*/, PcmCallback cb,
                         void* user) {
  orvel_backend_stop();
  if (cb == nullptr) return false;
  g_user = user;
  g_cb = cb;
  g_running.store(true);
  try {
    std::string target = pipewire_target != nullptr ? pipewire_target : "";
    g_thread = std::thread(reader_thread, std::move(target));
  } catch (...) {
    g_running.store(false);
    g_cb = nullptr;
    g_user = nullptr;
    return false;
  }
  return true;
}

void orvel_backend_stop() {
  g_running.store(false);
  end_child();
  if (g_thread.joinable()) g_thread.join();
  g_cb = nullptr;
  g_user = nullptr;
}

bool orvel_wasapi_process_loopback_os_supported() { return false; }
