// Linux capture backend: runs PipeWire's `pw-record` with the sample format
// fixed on its command line, reads the raw float samples from a pipe on a
// reader thread, converts them there into the format the capture hands
// over, and keeps the end of what the recorder prints so that a
// stream that ends by itself can say why. Each capture has its own
// recorder and thread; one of them may be the process-wide capture of
// orvel_backend_start.
#include "orvel_backend.h"

#include <poll.h>
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

#include "recorder_child.h"
#include "sample_convert.h"

namespace {

constexpr size_t kBufferFloats = 8192;
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
constexpr size_t kOutputChunk = 1024;
static_assert(kOutputChunk <= kOutputTail, "a read must fit in the tail");

// What a capture records and how, with its strings owned.
struct CaptureRequest {
  std::string target;
  bool capture_sink;
  // Non-empty: start unlinked under this node name; target and capture_sink
  // do not apply.
  std::string unlinked_node_name;
  int32_t sample_rate;
  int32_t channels;
  // -1: the recorder's default.
  int32_t resample_quality;
  uint32_t block_interval_ms;
  bool fresh_blocks;
  // What the frames are handed over as: the recorder's, or converted.
  FrameFormat delivered;
};

}  // namespace

// One capture: its request, its callbacks, its recorder and reader thread.
// `running` is true from the start until a stop; the pid is taken out by
// whichever of stop and the reader's own teardown comes first, so that the
// child is signalled and reaped once. Sequentially consistent: a stop
// either sees the pid the reader published, or the reader sees the cleared
// flag after publishing.
struct Capture {
  CaptureRequest request;
  PcmCallback pcm_cb;
  BlockCallback block_cb;
  EndCallback end_cb;
  void* user;
  std::atomic<bool> running{true};
  std::atomic<pid_t> child_pid{-1};
  std::thread thread;
};

namespace {

// The process-wide capture of orvel_backend_start, or null.
Capture* g_current = nullptr;

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

// The recorder's command line, with the strings it points into.
struct RecorderCommand {
  std::string rate;
  std::string channels;
  std::string quality;
  std::string properties;
  ExecPlan plan;
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
    return "{ node.name = " + quoted(request.unlinked_node_name) + " node.always-process = true }";
  }
  std::string properties;
  if (request.capture_sink) properties += std::string(" ") + kCaptureSink;
  if (!request.target.empty()) properties += std::string(" ") + kNamedTargetOnly;
  return properties.empty() ? properties : "{" + properties + " }";
}

void make_command(const CaptureRequest& request, const SamplesLink& link, RecorderCommand* command) {
  command->rate = std::to_string(request.sample_rate);
  command->channels = std::to_string(request.channels);
  command->properties = stream_properties(request);
  const char** argv = command->plan.argv;
  size_t i = 0;
  argv[i++] = "pw-record";
  argv[i++] = "--rate";
  argv[i++] = command->rate.c_str();
  argv[i++] = "--channels";
  argv[i++] = command->channels.c_str();
  argv[i++] = "--format";
  argv[i++] = "f32";
  if (request.resample_quality >= 0) {
    command->quality = std::to_string(request.resample_quality);
    argv[i++] = "--quality";
    argv[i++] = command->quality.c_str();
  }
  if (!request.unlinked_node_name.empty()) {
    argv[i++] = "--target";
    argv[i++] = kUnlinkedTarget;
    argv[i++] = "--latency";
    argv[i++] = kUnlinkedLatency;
  } else if (!request.target.empty()) {
    argv[i++] = "--target";
    argv[i++] = request.target.c_str();
  }
  if (!command->properties.empty()) {
    argv[i++] = "-P";
    argv[i++] = command->properties.c_str();
  }
  argv[i++] = link.path.c_str();
  argv[i] = nullptr;
  complete_exec_plan(&command->plan);
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

void report_end(Capture* capture, const RecorderEnd& end) {
  if (!capture->running.load()) return;
  if (capture->end_cb != nullptr) capture->end_cb(&end, capture->user);
}

void report_spawn_failure(Capture* capture, int error) {
  report_end(capture, RecorderEnd{error, -1, 0, nullptr, 0});
}

// Twice an interval's audio, so that one read takes all that gathered.
size_t buffer_floats(const CaptureRequest& request) {
  const size_t interval_floats =
      size_t(request.block_interval_ms) * size_t(request.sample_rate) / 1000 * size_t(request.channels);
  return std::max(kBufferFloats, 2 * interval_floats);
}

bool converts(const CaptureRequest& request) {
  return request.delivered.channels != request.channels || request.delivered.sample_format != SampleFormat::kF32;
}

// Hands the whole frames among the first FILLED bytes of IN to the callback,
// LAST_WRITE bytes of them the recorder's last write (or 0), converted into
// OUT where the capture asks for another format; returns how many bytes of
// a split frame are left, now at IN's front.
size_t deliver(Capture* capture, char* in, char* out, size_t filled, size_t last_write = 0) {
  const CaptureRequest& request = capture->request;
  const size_t in_frame = size_t(request.channels) * sizeof(float);
  const size_t frames = filled / in_frame;
  const size_t whole = frames * in_frame;
  if (frames > 0) {
    const float* samples = reinterpret_cast<const float*>(in);
    if (capture->block_cb != nullptr) {
      const bool convert = converts(request);
      if (convert) convert_frames(samples, frames, request.channels, request.delivered, out);
      const Block block{convert ? out : in, frames, request.sample_rate, request.delivered.channels,
                        request.delivered.sample_format, last_write / in_frame};
      capture->block_cb(block, capture->user);
    } else {
      capture->pcm_cb(samples, frames * size_t(request.channels), request.sample_rate, request.channels,
                      capture->user);
    }
    std::memmove(in, in + whole, filled - whole);
  }
  return filled - whole;
}

// Reads samples until the recorder's output ends or a stop begins, keeping
// what it prints on the side. The link is removed at the first samples: the
// recorder has opened it by then. With a block interval, a read that
// emptied the pipe is followed by a pause of that interval, so the samples
// gather in the pipe and the callback comes once per interval instead of
// once per write. After a pause the block waits for the recorder's next
// write before it is handed over, unless the capture keeps no times: so
// every block ends with samples written a moment before it is read, and its
// read time bounds when they were captured (the stream's timestamps are
// built on that).
void read_loop(Capture* capture, const RecorderPipes& pipes, OutputTail* tail, SamplesLink* link) {
  using Clock = std::chrono::steady_clock;
  const size_t floats = buffer_floats(capture->request);
  const size_t capacity = floats * sizeof(float);
  std::unique_ptr<float[]> buffer(new (std::nothrow) float[floats]());
  // A converted block is never larger than the frames it comes from.
  std::unique_ptr<char[]> converted(converts(capture->request) ? new (std::nothrow) char[capacity] : nullptr);
  if (!buffer || (converts(capture->request) && !converted)) return;
  char* const bytes = reinterpret_cast<char*>(buffer.get());
  char* const out = converted.get();
  pollfd fds[2] = {{pipes.samples, POLLIN, 0}, {pipes.output, POLLIN, 0}};
  const auto interval = std::chrono::milliseconds(capture->request.block_interval_ms);
  auto next_read = Clock::now();
  bool paused = false;
  // While a block that gathered in a pause waits for the next write, how
  // long it waits: a recorder that has stopped writing gets its samples
  // handed over anyway.
  constexpr auto kNever = Clock::time_point::max();
  auto fresh_by = kNever;
  // Bytes read but not yet handed over: a frame split across reads, and
  // after a pause what gathered in it. They wait at the front of the buffer,
  // so the callback always sees the stream on frame boundaries.
  size_t filled = 0;
  // Whether the last read emptied the pipe (or none was made yet) with no
  // pause since: then the next read takes what the recorder wrote since,
  // its last write.
  bool found_empty = true;
  while (capture->running.load()) {
    // While pausing, only the recorder's text or the end of its samples
    // wakes the thread.
    const auto now = Clock::now();
    const bool pausing = now < next_read;
    const auto until = pausing ? next_read : fresh_by;
    fds[0].events = pausing ? 0 : POLLIN;
    const int timeout_ms =
        until == kNever
            ? -1
            : int(std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
    if (poll(fds, 2, timeout_ms) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    // A negative descriptor is skipped by poll: the output has ended.
    if (fds[1].revents != 0 && !read_output(pipes.output, tail)) fds[1].fd = -1;
    // The samples' end (POLLHUP: the recorder exited or was stopped) is
    // reported even unasked, and ends the pause.
    if (pausing && fds[0].revents != 0) next_read = now;
    paused = paused || pausing;
    found_empty = found_empty && !pausing;
    if (!pausing && fds[0].revents == 0 && Clock::now() >= fresh_by) {
      fresh_by = kNever;
      next_read = Clock::now() + interval;
      filled = deliver(capture, bytes, out, filled);
      continue;
    }
    if (pausing || fds[0].revents == 0) continue;
    const ssize_t n = read(pipes.samples, bytes + filled, capacity - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      deliver(capture, bytes, out, filled);
      return;
    }
    remove_samples_link(link);
    const bool emptied = size_t(n) < capacity - filled;
    const size_t last_write = found_empty ? size_t(n) : 0;
    found_empty = emptied;
    filled += size_t(n);
    if (emptied && paused) {
      paused = false;
      if (capture->request.fresh_blocks) {
        fresh_by = Clock::now() + interval;
        continue;
      }
    }
    fresh_by = kNever;
    if (emptied) next_read = now + interval;
    filled = deliver(capture, bytes, out, filled, last_write);
  }
}

void reader_thread(Capture* capture) {
  SamplesLink link;
  if (const int error = make_samples_link(&link)) {
    report_spawn_failure(capture, error);
    return;
  }
  RecorderCommand command;
  make_command(capture->request, link, &command);
  pid_t pid = -1;
  RecorderPipes pipes;
  if (const int error = spawn_recorder(command.plan, &pid, &pipes)) {
    remove_samples_link(&link);
    report_spawn_failure(capture, error);
    return;
  }
  capture->child_pid.store(pid);
  OutputTail tail;
  read_loop(capture, pipes, &tail, &link);

  // A recorder that a stop took is the stop's; only one that ended by
  // itself is reaped and reported here.
  pid = capture->child_pid.exchange(-1);
  const int status = pid > 0 ? reap_child(pid, capture->running.load()) : 0;
  read_output(pipes.output, &tail);  // what it printed as it went
  remove_samples_link(&link);
  // The pipes are closed only here, never by stop, so the reader cannot
  // read a descriptor number that was closed and reused under it.
  close(pipes.samples);
  close(pipes.output);
  if (pid > 0) {
    report_end(capture, RecorderEnd{0, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                                    WIFSIGNALED(status) ? WTERMSIG(status) : 0, tail.bytes,
                                    tail.size});
  }
}

CaptureRequest make_request(const CaptureOptions& options) {
  const bool known_rate =
      options.sample_rate >= kMinCaptureRate && options.sample_rate <= kMaxCaptureRate;
  const bool known_channels = options.channels >= 1 && options.channels <= kMaxCaptureChannels;
  const bool known_quality = options.resample_quality >= kMinResampleQuality &&
                             options.resample_quality <= kMaxResampleQuality;
  const int32_t channels = known_channels ? options.channels : kCaptureChannels;
  // A PcmCallback takes the recorder's floats as they are.
  const bool blocks = options.block_cb != nullptr;
  const FrameFormat delivered{blocks && options.mix_to_mono ? 1 : channels,
                              blocks && options.sample_format == SampleFormat::kS16 ? SampleFormat::kS16
                                                                                     : SampleFormat::kF32};
  return CaptureRequest{
      options.pipewire_target != nullptr ? options.pipewire_target : "",
      options.capture_sink,
      options.unlinked_node_name != nullptr ? options.unlinked_node_name : "",
      known_rate ? options.sample_rate : kCaptureRate,
      channels,
      known_quality ? options.resample_quality : -1,
      std::min(options.block_interval_ms, kMaxBlockIntervalMs),
      options.fresh_blocks,
      delivered,
  };
}

// The exported functions call these, not each other, so that a caller that
// interposes one of them sees only its own calls.
Capture* open_capture(const CaptureOptions& options) {
  if (options.pcm_cb == nullptr && options.block_cb == nullptr) return nullptr;
  try {
    auto capture = std::make_unique<Capture>();
    capture->request = make_request(options);
    capture->pcm_cb = options.pcm_cb;
    capture->block_cb = options.block_cb;
    capture->end_cb = options.end_cb;
    capture->user = options.user;
    capture->thread = std::thread(reader_thread, capture.get());
    return capture.release();
  } catch (...) {
    return nullptr;
  }
}

void close_capture(Capture* capture) {
  if (capture == nullptr) return;
  capture->running.store(false);
  const pid_t pid = capture->child_pid.exchange(-1);
  if (pid > 0) reap_child(pid, false);
  if (capture->thread.joinable()) capture->thread.join();
  delete capture;
}

void stop_current() {
  close_capture(g_current);
  g_current = nullptr;
}

bool start_current(const CaptureOptions& options) {
  stop_current();
  g_current = open_capture(options);
  return g_current != nullptr;
}

}  // namespace

Capture* orvel_capture_open(const CaptureOptions& options) { return open_capture(options); }

void orvel_capture_close(Capture* capture) { close_capture(capture); }

bool orvel_backend_start(const char* pipewire_target, const char* window_capture_source_id,
                         uint32_t exclude_process_id, PcmCallback cb, void* user) {
  CaptureOptions options;
  options.pipewire_target = pipewire_target;
  options.window_capture_source_id = window_capture_source_id;
  options.exclude_process_id = exclude_process_id;
  options.pcm_cb = cb;
  options.user = user;
  return start_current(options);
}

bool orvel_backend_start_with(const CaptureOptions& options) { return start_current(options); }

void orvel_backend_stop() { stop_current(); }

bool orvel_wasapi_process_loopback_os_supported() { return false; }
