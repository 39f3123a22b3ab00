// Starts pw-record as a child process and ends it, the way libuv runs its
// children (src/unix/process.c).
#include "recorder_child.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <thread>

namespace {

// A test build looks for the recorder under a folder of its own, which its
// tests fill without root; the shipped binary searches the system's paths.
#ifndef ORVEL_TEST_RECORDER_ROOT
#define ORVEL_TEST_RECORDER_ROOT ""
#endif
constexpr const char* kCandidates[] = {
    ORVEL_TEST_RECORDER_ROOT "/usr/bin/pw-record",
    ORVEL_TEST_RECORDER_ROOT "/bin/pw-record",
    ORVEL_TEST_RECORDER_ROOT "/usr/local/bin/pw-record",
    nullptr,
};
constexpr const char* kRecorderName = "pw-record";
// glibc's execvp searches this when PATH is unset.
constexpr const char* kDefaultPath = "/bin:/usr/bin";
// About 2.7 s of audio at 48 kHz stereo: room for the recorder to go on
// writing while the reader thread waits for the CPU, instead of the default
// 64 KiB (170 ms).
constexpr int kPipeBytes = 1 << 20;
// How long a recorder that closed its output gets to exit by itself.
constexpr auto kExitGrace = std::chrono::seconds(2);
// How long a recorder gets to exit after SIGTERM before it is killed: it
// exits within milliseconds, and a stop must not hold the JavaScript thread.
constexpr auto kTermGrace = std::chrono::milliseconds(50);
constexpr auto kMaxReapPause = std::chrono::milliseconds(5);
// Signals below this are the standard ones; glibc uses the real-time ones
// itself, so they are left alone, as libuv leaves them.
constexpr int kStandardSignals = 32;

const char* resolve_pw_record_executable() {
  for (const char* const* path = kCandidates; *path != nullptr; ++path) {
    if (access(*path, X_OK) == 0) return *path;
  }
  return nullptr;
}

// Keeps an exec error unless a more telling one is already kept: "not
// there" is the least telling, since every absent PATH entry gives it.
void keep_exec_error(int error, int* kept) {
  if (error != ENOENT && error != ENOTDIR) *kept = error;
}

// A PATH search by hand, because execvp may allocate and the child of a
// threaded process must not.
void exec_from_search_path(const ExecPlan& plan, int* error) {
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
      keep_exec_error(errno, error);
    }
    if (end == nullptr) return;
    dir = end + 1;
  }
}

// Puts `fds[i]` on descriptor i whatever numbers the sources have: a host
// with its standard descriptors closed may have handed out 0-2 to them.
// Sources in the target range move above it first, so that no dup2
// overwrites a source still needed.
void install_child_fds(int fds[kChildFds]) {
  for (int i = 0; i < kChildFds; ++i) {
    if (fds[i] < kChildFds && fds[i] != i) {
      fds[i] = fcntl(fds[i], F_DUPFD_CLOEXEC, kChildFds);
    }
  }
  for (int i = 0; i < kChildFds; ++i) {
    if (fds[i] == i) {
      fcntl(i, F_SETFD, 0);  // keep it across exec
    } else {
      dup2(fds[i], i);
    }
  }
}

// Exec keeps ignored signals and the mask: a host that ignores SIGPIPE
// (Node does) would make a recorder that records forever once its reader is
// gone, and one that ignores SIGTERM could not be stopped.
void reset_signals(const ExecPlan& plan) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (int signal = 1; signal < kStandardSignals; ++signal) {
    if (signal == SIGKILL || signal == SIGSTOP) continue;
    sigaction(signal, &default_action, nullptr);
  }
  sigprocmask(SIG_SETMASK, &plan.empty_mask, nullptr);
}

// Every descriptor the parent made is close-on-exec, so only those on 0-3
// reach the recorder. An exec failure goes back through `status_fd`, whose
// close on a successful exec tells the parent that it worked.
[[noreturn]] void run_child(int fds[kChildFds], int status_fd, const ExecPlan& plan) {
  install_child_fds(fds);
  reset_signals(plan);
  int error = ENOENT;
  if (const char* path = resolve_pw_record_executable()) {
    execv(path, const_cast<char* const*>(plan.argv));
    keep_exec_error(errno, &error);
  }
  exec_from_search_path(plan, &error);
  ssize_t ignored = write(status_fd, &error, sizeof(error));
  (void)ignored;
  _exit(127);
}

void close_all(std::initializer_list<int> fds) {
  for (const int fd : fds) {
    if (fd >= 0) close(fd);
  }
}

// Polls for the child's exit until `deadline`; true once it is reaped.
bool reap_by(pid_t pid, std::chrono::steady_clock::time_point deadline, int* status) {
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    const pid_t reaped = waitpid(pid, status, WNOHANG);
    if (reaped == pid || (reaped < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min<std::chrono::microseconds>(pause * 2, kMaxReapPause);
  }
}

}  // namespace

void complete_exec_plan(ExecPlan* plan) {
  const char* path = getenv("PATH");
  plan->search_path = path != nullptr ? path : kDefaultPath;
  sigemptyset(&plan->empty_mask);
}

int spawn_recorder(const ExecPlan& plan, pid_t* pid, RecorderPipes* pipes) {
  // pipe2 leaves the array as it was when it fails.
  int samples[2] = {-1, -1};
  int output[2] = {-1, -1};
  int status[2] = {-1, -1};
  const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0 || pipe2(samples, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0 ||
      pipe2(status, O_CLOEXEC) != 0) {
    const int error = errno;
    close_all({null_fd, samples[0], samples[1], output[0], output[1], status[0], status[1]});
    return error;
  }
  fcntl(samples[0], F_SETPIPE_SZ, kPipeBytes);  // best effort: the default works too
  fcntl(output[0], F_SETFL, O_NONBLOCK);
  int child_fds[kChildFds] = {null_fd, output[1], output[1], samples[1]};
  const pid_t child = fork();
  if (child == 0) run_child(child_fds, status[1], plan);
  const int fork_error = errno;
  close_all({null_fd, samples[1], output[1], status[1]});
  if (child < 0) {
    close_all({samples[0], output[0], status[0]});
    return fork_error;
  }
  int exec_error = 0;
  ssize_t n;
  do {
    n = read(status[0], &exec_error, sizeof(exec_error));
  } while (n < 0 && errno == EINTR);
  close(status[0]);
  if (n == ssize_t(sizeof(exec_error))) {
    // The child is already on its way out through _exit.
    reap_child(child, true);
    close_all({samples[0], output[0]});
    return exec_error;
  }
  *pid = child;
  pipes->samples = samples[0];
  pipes->output = output[0];
  return 0;
}

int reap_child(pid_t pid, bool wait_first) {
  int status = 0;
  if (wait_first && reap_by(pid, std::chrono::steady_clock::now() + kExitGrace, &status)) {
    return status;
  }
  kill(pid, SIGTERM);
  kill(pid, SIGCONT);
  if (reap_by(pid, std::chrono::steady_clock::now() + kTermGrace, &status)) return status;
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}
