// Linux capture backend: runs PipeWire's `pw-record` with the sample format
// fixed on its command line, reads the raw float samples from a pipe on a
// reader thread, and keeps the end of what the recorder prints so that a
// stream that ends by itself can say why.
#include "orvel_backend.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
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
// How long a recorder gets to exit after SIGTERM, or after closing its
// output by itself, before it is killed.
constexpr auto kExitGrace = std::chrono::seconds(2);
constexpr auto kMaxReapPause = std::chrono::milliseconds(20);
// About 2.7 s of audio: room for the recorder to go on writing while the
// reader thread waits for the CPU, instead of the default 64 KiB (170 ms).
constexpr int kPipeBytes = 1 << 20;
// The child's descriptors: stdin, stdout, stderr, and the samples.
constexpr int kSamplesFd = 3;
constexpr int kChildFds = kSamplesFd + 1;
// pw-record picks its file format by the output's name, and writes bare
// samples only to a name ending in "raw"; "-" (stdout) would mix its
// messages into the samples on some versions and a header on others. So the
// samples go to descriptor 3 through a link of such a name to this path,
// which each process resolves to its own descriptor.
constexpr const char* kSamplesFdPath = "/dev/fd/3";
constexpr const char* kSamplesLinkName = "/samples.raw";
// A named target is never replaced by another node: WirePlumber 0.4 heeds
// node.dont-reconnect, 0.5 applies it only to a stream it has linked once
// and needs node.dont-fallback for a target that is missing from the start.
constexpr const char* kNamedTargetOnly = "node.dont-reconnect = true node.dont-fallback = true";
constexpr const char* kCaptureSink = "stream.capture.sink = true";
// An unlinked recorder is linked by its caller, stream by stream. It keeps
// processing while nothing plays, so that silence keeps the timeline, and
// asks for a latency long enough that its joining or leaving the graph does
// not shrink the quantum under the user's players (20 ms clicked in the
// speakers).
constexpr const char* kUnlinkedTarget = "0";
constexpr const char* kUnlinkedLatency = "100ms";
constexpr size_t kOutputTail = 4096;

// Sequentially consistent: a stop either sees the pid the reader published,
// or the reader sees the cleared flag after publishing.
std::atomic<bool> g_running{false};
std::atomic<pid_t> g_child_pid{-1};
PcmCallback g_cb = nullptr;
EndCallback g_end_cb = nullptr;
void* g_user = nullptr;
std::thread g_thread;

struct CaptureRequest {
  std::string target;
  bool capture_sink;
  // Non-empty: start unlinked under this node name; target and capture_sink
  // do not apply.
  std::string unlinked_node_name;
  uint32_t block_interval_ms;
};

// The last bytes the recorder printed.
struct OutputTail {
  char bytes[kOutputTail];
  size_t size = 0;
};

// A private folder holding the link that names the samples' descriptor.
struct SamplesLink {
  std::string dir;
  std::string path;
};

const char* resolve_pw_record_executable() {
  for (const char* const* path = kCandidates; *path != nullptr; ++path) {
    if (access(*path, X_OK) == 0) return *path;
  }
  return nullptr;
}

// Everything the child needs, made before fork so that the child only makes
// async-signal-safe calls.
struct ExecPlan {
  const char* argv[16];
  std::string properties;
  std::string search_path;
  struct sigaction default_sigpipe;
  sigset_t empty_mask;
};

// The name as a quoted string of PipeWire's JSON dialect.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Without a target the recorder takes the session's default. A named target
// is never replaced: when it is missing or goes away, the session manager
// removes the recorder's node instead of linking it to the default source.
std::string stream_properties(const CaptureRequest& request) {
  if (!request.unlinked_node_name.empty()) {
    return "{ node.name = " + quoted(request.unlinked_node_name) +
           " node.always-process = true }";
  }
  std::string properties;
  if (request.capture_sink) properties += std::string(" ") + kCaptureSink;
  if (!request.target.empty()) properties += std::string(" ") + kNamedTargetOnly;
  return properties.empty() ? properties : "{" + properties + " }";
}

void make_exec_plan(const CaptureRequest& request, const SamplesLink& link,
                    ExecPlan* plan) {
  size_t i = 0;
  plan->argv[i++] = kRecorderName;
  plan->argv[i++] = "--rate";
  plan->argv[i++] = "48000";
  plan->argv[i++] = "--channels";
  plan->argv[i++] = "2";
  plan->argv[i++] = "--format";
  plan->argv[i++] = "f32";
  if (!request.unlinked_node_name.empty()) {
    plan->argv[i++] = "--target";
    plan->argv[i++] = kUnlinkedTarget;
    plan->argv[i++] = "--latency";
    plan->argv[i++] = kUnlinkedLatency;
  } else if (!request.target.empty()) {
    plan->argv[i++] = "--target";
    plan->argv[i++] = request.target.c_str();
  }
  plan->properties = stream_properties(request);
  if (!plan->properties.empty()) {
    plan->argv[i++] = "-P";
    plan->argv[i++] = plan->properties.c_str();
  }
  plan->argv[i++] = link.path.c_str();
  plan->argv[i] = nullptr;
  const char* path = getenv("PATH");
  plan->search_path = path != nullptr ? path : kDefaultPath;
  std::memset(&plan->default_sigpipe, 0, sizeof(plan->default_sigpipe));
  plan->default_sigpipe.sa_handler = SIG_DFL;
  sigemptyset(&plan->empty_mask);
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

// Every descriptor the parent made is close-on-exec, so only those on 0-3
// reach the recorder. An exec failure goes back through `status_fd`, whose
// close on a successful exec tells the parent that it worked.
[[noreturn]] void run_child(int fds[kChildFds], int status_fd,
                            const ExecPlan& plan) {
  install_child_fds(fds);
  // A Node host ignores SIGPIPE and exec keeps that; the recorder must die
  // of SIGPIPE when its reader is gone, or it would record forever.
  sigaction(SIGPIPE, &plan.default_sigpipe, nullptr);
  sigprocmask(SIG_SETMASK, &plan.empty_mask, nullptr);
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

// Polls for the child's exit until `deadline`; true once it is reaped.
bool reap_by(pid_t pid, std::chrono::steady_clock::time_point deadline,
             int* status) {
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    const pid_t reaped = waitpid(pid, status, WNOHANG);
    if (reaped == pid || (reaped < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, kMaxReapPause);
  }
}

// A bounded wait for the child to exit by itself, then SIGTERM and another,
// then SIGKILL: a recorder that ignores SIGTERM must not hang the thread
// that stops it. Returns the wait status.
int reap_child(pid_t pid, bool wait_first) {
  int status = 0;
  if (wait_first && reap_by(pid, std::chrono::steady_clock::now() + kExitGrace,
                            &status)) {
    return status;
  }
  kill(pid, SIGTERM);
  if (reap_by(pid, std::chrono::steady_clock::now() + kExitGrace, &status)) {
    return status;
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Whoever takes the pid out of g_child_pid signals and reaps it, so that
// stop and the reader's teardown never both act on it.
void end_child() {
  const pid_t pid = g_child_pid.exchange(-1);
  if (pid > 0) reap_child(pid, false);
}

int make_samples_link(SamplesLink* link) {
  const char* tmp = getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  dir += "/orvel-capture-audio.XXXXXX";
  if (mkdtemp(&dir[0]) == nullptr) return errno;
  std::string path = dir + kSamplesLinkName;
  if (symlink(kSamplesFdPath, path.c_str()) != 0) {
    const int error = errno;
    rmdir(dir.c_str());
    return error;
  }
  link->dir = std::move(dir);
  link->path = std::move(path);
  return 0;
}

void remove_samples_link(SamplesLink* link) {
  if (link->dir.empty()) return;
  unlink(link->path.c_str());
  rmdir(link->dir.c_str());
  link->dir.clear();
}

constexpr size_t kOutputChunk = 1024;
static_assert(kOutputChunk <= kOutputTail, "a read must fit in the tail");

void keep_tail(OutputTail* tail, const char* data, size_t size) {
  const size_t keep = std::min(tail->size, kOutputTail - size);
  std::memmove(tail->bytes, tail->bytes + tail->size - keep, keep);
  std::memcpy(tail->bytes + keep, data, size);
  tail->size = keep + size;
}

// Reads what the non-blocking `fd` holds into the tail; false once the
// recorder's output has ended.
bool read_output(int fd, OutputTail* tail) {
  char chunk[kOutputChunk];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n > 0) {
      keep_tail(tail, chunk, size_t(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 && errno == EAGAIN;
    }
  }
}

void report_end(const RecorderEnd& end) {
  if (!g_running.load()) return;
  if (EndCallback end_cb = g_end_cb) end_cb(&end, g_user);
}

void report_spawn_failure(int error) {
  report_end(RecorderEnd{error, -1, 0, nullptr, 0});
}

// The recorder's pipes, as the reader thread holds them.
struct RecorderPipes {
  int samples = -1;
  int output = -1;
};

// Twice an interval's audio, so that one read takes all that gathered.
size_t buffer_floats(uint32_t block_interval_ms) {
  const size_t interval_floats =
      size_t(block_interval_ms) * kSampleRate / 1000 * kChannels;
  return std::max(kBufferFloats, 2 * interval_floats);
}

// Reads samples until the recorder's output ends or a stop begins, keeping
// what it prints on the side. The link is removed at the first samples: the
// recorder has opened it by then. With a block interval, a read that
// emptied the pipe is followed by a pause of that interval, so the samples
// gather in the pipe and the callback comes once per interval instead of
// once per write.
void read_loop(const RecorderPipes& pipes, OutputTail* tail, SamplesLink* link,
               uint32_t block_interval_ms) {
  const size_t floats = buffer_floats(block_interval_ms);
  const size_t capacity = floats * sizeof(float);
  std::unique_ptr<float[]> buffer(new (std::nothrow) float[floats]());
  if (!buffer) return;
  char* const bytes = reinterpret_cast<char*>(buffer.get());
  pollfd fds[2] = {{pipes.samples, POLLIN, 0}, {pipes.output, POLLIN, 0}};
  const auto interval = std::chrono::milliseconds(block_interval_ms);
  auto next_read = std::chrono::steady_clock::now();
  // Bytes of a sample split across reads wait at the front of the buffer,
  // so the callback always sees the stream on sample boundaries.
  size_t held = 0;
  while (g_running.load()) {
    // While pausing, only the recorder's text or the end of its samples
    // wakes the thread.
    const auto now = std::chrono::steady_clock::now();
    const bool pausing = now < next_read;
    fds[0].events = pausing ? 0 : POLLIN;
    const int timeout_ms =
        pausing ? int(std::chrono::ceil<std::chrono::milliseconds>(next_read - now).count())
                : -1;
    if (poll(fds, 2, timeout_ms) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    // A negative descriptor is skipped by poll: the output has ended.
    if (fds[1].revents != 0 && !read_output(pipes.output, tail)) fds[1].fd = -1;
    // The samples' end (POLLHUP: the recorder exited or was stopped) is
    // reported even unasked, and ends the pause.
    if (pausing && fds[0].revents != 0) next_read = now;
    if (pausing || fds[0].revents == 0) continue;
    const ssize_t n = read(pipes.samples, bytes + held, capacity - held);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    remove_samples_link(link);
    if (size_t(n) < capacity - held) next_read = now + interval;
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

void close_all(std::initializer_list<int> fds) {
  for (const int fd : fds) {
    if (fd >= 0) close(fd);
  }
}

// Makes the pipes and forks the recorder; returns 0, or the errno of the
// step that failed, with nothing left open or running.
int spawn_recorder(const ExecPlan& plan, RecorderPipes* pipes) {
  // pipe2 leaves the array as it was when it fails.
  int samples[2] = {-1, -1};
  int output[2] = {-1, -1};
  int status[2] = {-1, -1};
  const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null_fd < 0 || pipe2(samples, O_CLOEXEC) != 0 ||
      pipe2(output, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0) {
    const int error = errno;
    close_all({null_fd, samples[0], samples[1], output[0], output[1],
               status[0], status[1]});
    return error;
  }
  fcntl(samples[0], F_SETPIPE_SZ, kPipeBytes);  // best effort: the default works too
  fcntl(output[0], F_SETFL, O_NONBLOCK);
  int child_fds[kChildFds] = {null_fd, output[1], output[1], samples[1]};
  const pid_t pid = fork();
  if (pid == 0) run_child(child_fds, status[1], plan);
  const int fork_error = errno;
  close_all({null_fd, samples[1], output[1], status[1]});
  if (pid < 0) {
    close_all({samples[0], output[0], status[0]});
    return fork_error;
  }
  g_child_pid.store(pid);
  int exec_error = 0;
  ssize_t n;
  do {
    n = read(status[0], &exec_error, sizeof(exec_error));
  } while (n < 0 && errno == EINTR);
  close(status[0]);
  if (n == ssize_t(sizeof(exec_error))) {
    // The child is already on its way out through _exit.
    const pid_t failed = g_child_pid.exchange(-1);
    if (failed > 0) reap_child(failed, true);
    close_all({samples[0], output[0]});
    return exec_error;
  }
  pipes->samples = samples[0];
  pipes->output = output[0];
  return 0;
}

void reader_thread(const CaptureRequest& request) {
  SamplesLink link;
  if (const int error = make_samples_link(&link)) {
    report_spawn_failure(error);
    return;
  }
  ExecPlan plan;
  make_exec_plan(request, link, &plan);
  RecorderPipes pipes;
  if (const int error = spawn_recorder(plan, &pipes)) {
    remove_samples_link(&link);
    report_spawn_failure(error);
    return;
  }
  OutputTail tail;
  read_loop(pipes, &tail, &link, request.block_interval_ms);

  const pid_t pid = g_child_pid.exchange(-1);
  const int status = pid > 0 ? reap_child(pid, g_running.load()) : 0;
  read_output(pipes.output, &tail);  // what it printed as it went
  remove_samples_link(&link);
  // The pipes are closed only here, never by stop, so the reader cannot
  // read a descriptor number that was closed and reused under it.
  close_all({pipes.samples, pipes.output});
  // A recorder that stop took is stop's; only one that ended by itself is
  // reported.
  if (pid > 0) {
    report_end(RecorderEnd{0, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                           WIFSIGNALED(status) ? WTERMSIG(status) : 0,
                           tail.bytes, tail.size});
  }
}

}  // namespace

bool orvel_backend_start(const char* pipewire_target,
                         const char* /*window_capture_source_id*/,
                         uint32_t /*exclude_process_id*/, PcmCallback cb,
                         void* user, bool capture_sink, EndCallback end_cb,
                         const char* unlinked_node_name,
                         uint32_t block_interval_ms) {
  orvel_backend_stop();
  if (cb == nullptr) return false;
  g_user = user;
  g_cb = cb;
  g_end_cb = end_cb;
  g_running.store(true);
  try {
    CaptureRequest request{
        pipewire_target != nullptr ? pipewire_target : "", capture_sink,
        unlinked_node_name != nullptr ? unlinked_node_name : "",
        std::min(block_interval_ms, kMaxBlockIntervalMs)};
    g_thread = std::thread(reader_thread, std::move(request));
  } catch (...) {
    g_running.store(false);
    g_cb = nullptr;
    g_end_cb = nullptr;
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
  g_end_cb = nullptr;
  g_user = nullptr;
}

bool orvel_wasapi_process_loopback_os_supported() { return false; }
