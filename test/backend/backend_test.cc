// The backend against fake recorders put where it looks for pw-record.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <iterator>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "orvel_backend.h"
#include "process_state.h"
#include "recorder_injection.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kFixedArgs = {
    "pw-record", "--rate", "48000", "--channels", "2", "--format", "f32"};

constexpr const char* kFakeVariables[] = {
    "ORVEL_FAKE_REPORT", "ORVEL_FAKE_FILL",  "ORVEL_FAKE_PIECES",      "ORVEL_FAKE_PAUSE_US",
    "ORVEL_FAKE_BYTES",  "ORVEL_FAKE_AFTER", "ORVEL_FAKE_IGNORE_TERM", "ORVEL_FAKE_SAY",
    "ORVEL_FAKE_EXIT_CODE", "ORVEL_FAKE_STOP",
};

// Collects what the backend hands to its callback.
struct Sink {
  std::mutex mu;
  std::condition_variable cv;
  std::string bytes;
  size_t calls = 0;
  bool formats_ok = true;
  // The format the blocks must come in.
  int32_t rate = 48000;
  int32_t channels = 2;
  pthread_t reader{};
  // Where each block ended in the stream, and when it was handed over.
  std::vector<std::pair<size_t, Clock::time_point>> handed;
  // Each block's last_write_frames, when it came through a BlockCallback.
  std::vector<uint64_t> last_writes;
  // What the end callback reported, and how often.
  size_t ends = 0;
  RecorderEnd end{};
  std::string end_output;
  size_t calls_before_end = 0;

  // The backend may still be calling into a sink that goes out of scope.
  ~Sink() { orvel_backend_stop(); }

  static void Collect(const float* samples, uint64_t count, int32_t rate, int32_t channels,
                      void* user) {
    auto* sink = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> lock(sink->mu);
    sink->bytes.append(reinterpret_cast<const char*>(samples), count * sizeof(float));
    sink->handed.emplace_back(sink->bytes.size(), Clock::now());
    sink->formats_ok = sink->formats_ok && rate == sink->rate && channels == sink->channels && count > 0 &&
                        count % uint64_t(channels) == 0;
    sink->reader = pthread_self();
    ++sink->calls;
    sink->cv.notify_all();
  }

  static void CollectBlock(const Block& block, void* user) {
    Collect(static_cast<const float*>(block.data), block.frames * uint64_t(block.channels),
            block.sample_rate, block.channels, user);
    auto* sink = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> lock(sink->mu);
    sink->last_writes.push_back(block.last_write_frames);
  }

  static void End(const RecorderEnd* end, void* user) {
    auto* sink = static_cast<Sink*>(user);
    std::lock_guard<std::mutex> lock(sink->mu);
    ++sink->ends;
    sink->end = *end;
    sink->end_output.assign(end->output != nullptr ? end->output : "", end->output_size);
    sink->calls_before_end = sink->calls;
    sink->cv.notify_all();
  }

  bool WaitForEnd(std::chrono::milliseconds timeout = 5000ms) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, timeout, [&] { return ends > 0; });
  }

  size_t Ends() {
    std::lock_guard<std::mutex> lock(mu);
    return ends;
  }

  bool WaitForBytes(size_t n, std::chrono::milliseconds timeout = 5000ms) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, timeout, [&] { return bytes.size() >= n; });
  }

  size_t Calls() { std::lock_guard<std::mutex> lock(mu); return calls; }
  std::string Bytes() { std::lock_guard<std::mutex> lock(mu); return bytes; }
  pthread_t Reader() { std::lock_guard<std::mutex> lock(mu); return reader; }
  bool FormatsOk() { std::lock_guard<std::mutex> lock(mu); return formats_ok; }
};

// Options that deliver into `sink`, its end report included.
CaptureOptions Into(Sink* sink, const char* target = nullptr) {
  CaptureOptions options;
  options.pipewire_target = target;
  options.pcm_cb = Sink::Collect;
  options.end_cb = Sink::End;
  options.user = sink;
  return options;
}

std::string Pattern(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = char(i % 251);
  return out;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5000ms) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Gone and reaped: a zombie would still answer kill(pid, 0).
bool Reaped(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

// This process's threads, once a thread started and joined here has left
// the list (a joined thread may stay listed for a moment). Starting it also
// starts any thread that a sanitizer adds along with the first.
size_t SettledThreadCount() {
  pid_t tid = 0;
  std::thread([&] { tid = gettid(); }).join();
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  WaitUntil([&] { return access(task.c_str(), F_OK) != 0; });
  return CountEntries("/proc/self/task");
}

struct Report {
  std::string exe;
  pid_t pid = -1;
  // Masks of the signals it ignores and blocks, as /proc shows them.
  std::string ignored;
  std::string blocked;
  long pipe_bytes = 0;
  // What descriptors 0-3 of the recorder were.
  std::vector<std::string> stdio;
  // The arguments before the output path, and the path.
  std::vector<std::string> args;
  std::string output;
};

Report ReadReport(const std::string& path) {
  Report report;
  if (!WaitUntil([&] { return access(path.c_str(), F_OK) == 0; })) return report;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const std::string key = line.substr(0, line.find('='));
    const std::string value = line.substr(key.size() + 1);
    if (key == "exe") report.exe = value;
    if (key == "pid") report.pid = std::stoi(value);
    if (key == "ignored") report.ignored = value;
    if (key == "blocked") report.blocked = value;
    if (key == "pipe_bytes") report.pipe_bytes = std::stol(value);
    if (key == "arg") report.args.push_back(value);
    if (key == "fd") report.stdio.push_back(value);
  }
  if (!report.args.empty()) {
    report.output = report.args.back();
    report.args.pop_back();
  }
  return report;
}

std::vector<std::string> ExpectedArgs(const std::string& target,
                                      const std::string& properties = "",
                                      std::vector<std::string> args = kFixedArgs) {
  if (!target.empty()) {
    args.push_back("--target");
    args.push_back(target);
  }
  if (!properties.empty()) {
    args.push_back("-P");
    args.push_back(properties);
  }
  return args;
}

class BackendTest : public testing::Test {
 protected:
  void TearDown() override {
    orvel_backend_stop();
    for (const char* name : kFakeVariables) unsetenv(name);
  }
};

class FakeRecorderTest : public BackendTest {
 protected:
  void SetUp() override {
    inj_ = std::make_unique<RecorderInjection>();
    report_ = inj_->Scratch("report");
    setenv("ORVEL_FAKE_REPORT", report_.c_str(), 1);
  }
  void TearDown() override {
    BackendTest::TearDown();
    inj_.reset();
  }

  // Starts a capture into `sink` and waits for the fake's report.
  Report StartAndReport(Sink* sink, const char* target = nullptr, bool capture_sink = false) {
    unlink(report_.c_str());
    CaptureOptions options = Into(sink, target);
    options.capture_sink = capture_sink;
    EXPECT_TRUE(orvel_backend_start_with(options));
    return ReadReport(report_);
  }

  std::unique_ptr<RecorderInjection> inj_;
  std::string report_;
};

TEST_F(BackendTest, StopWithNothingRunningReturnsAtOnce) {
  const auto begin = Clock::now();
  orvel_backend_stop();
  orvel_backend_stop();
  EXPECT_LT(Clock::now() - begin, 50ms);
}

TEST_F(BackendTest, PerProcessLoopbackIsNeverSupported) {
  EXPECT_FALSE(orvel_wasapi_process_loopback_os_supported());
}

TEST_F(BackendTest, NullCallbackIsRefused) {
  EXPECT_FALSE(orvel_backend_start(nullptr, nullptr, 0, nullptr, nullptr));
  EXPECT_TRUE(NoChildren());
}

TEST_F(FakeRecorderTest, ArgumentVectorWithoutTarget) {
  inj_->Install("/usr/bin/pw-record");
  Sink sink;
  for (const char* target : {static_cast<const char*>(nullptr), ""}) {
    const Report report = StartAndReport(&sink, target);
    EXPECT_EQ(report.exe, Candidate("/usr/bin/pw-record"));
    EXPECT_EQ(report.args, ExpectedArgs(""));
    orvel_backend_stop();
  }
}

// A named target must never fall back to the default source; the sink's
// output follows the default sink when none is named.
TEST_F(FakeRecorderTest, StreamPropertiesFollowTargetAndSinkCapture) {
  inj_->Install("/usr/bin/pw-record");
  Sink sink;
  EXPECT_EQ(StartAndReport(&sink, nullptr, true).args,
            ExpectedArgs("", "{ stream.capture.sink = true }"));
  EXPECT_EQ(StartAndReport(&sink, "42", true).args,
            ExpectedArgs("42", "{ stream.capture.sink = true node.dont-reconnect = true node.dont-fallback = true }"));
}

// An unlinked recorder takes its node name whatever the target and sink
// options say; the name stays one quoted string, quotes and all.
TEST_F(FakeRecorderTest, UnlinkedRecorderIsNamedAndKeepsProcessing) {
  inj_->Install("/usr/bin/pw-record");
  Sink sink;
  CaptureOptions options = Into(&sink, "42");
  options.capture_sink = true;
  options.unlinked_node_name = "orvel \"x\" \\";
  ASSERT_TRUE(orvel_backend_start_with(options));
  std::vector<std::string> expected = kFixedArgs;
  expected.insert(expected.end(),
                  {"--target", "0", "--latency", "100ms", "-P",
                   "{ node.name = \"orvel \\\"x\\\" \\\\\" node.always-process = true }"});
  EXPECT_EQ(ReadReport(report_).args, expected);
}

// The recorder converts to the format asked for, and the blocks say so; a
// format it cannot be asked for gets the default. A resampler quality is
// passed only when asked for.
TEST_F(FakeRecorderTest, FormatIsAskedOfTheRecorder) {
  inj_->Install("/usr/bin/pw-record");
  struct Case {
    int32_t rate, channels, quality;
    std::vector<std::string> args;
  };
  const std::vector<Case> cases = {
      {16000, 1, -1, {"pw-record", "--rate", "16000", "--channels", "1", "--format", "f32"}},
      {192000, 2, 0, {"pw-record", "--rate", "192000", "--channels", "2", "--format", "f32", "--quality", "0"}},
      {8000, 1, 15, {"pw-record", "--rate", "8000", "--channels", "1", "--format", "f32", "--quality", "15"}},
      {7999, 3, 16, kFixedArgs},
      {0, 0, -2, kFixedArgs}};
  for (const auto& [rate, channels, quality, args] : cases) {
    Sink sink;
    sink.rate = std::stoi(args[2]);
    sink.channels = std::stoi(args[4]);
    CaptureOptions options = Into(&sink);
    options.sample_rate = rate;
    options.channels = channels;
    options.resample_quality = quality;
    unlink(report_.c_str());
    ASSERT_TRUE(orvel_backend_start_with(options));
    EXPECT_EQ(ReadReport(report_).args, args);
    ASSERT_TRUE(sink.WaitForBytes(4096));
    EXPECT_TRUE(sink.FormatsOk()) << rate << " Hz, " << channels << " channels";
    orvel_backend_stop();
  }
}

// Captures of their own neither end nor are ended by each other or by the
// process-wide capture.
TEST_F(FakeRecorderTest, CapturesRunBesideEachOtherAndEndApart) {
  inj_->Install("/usr/bin/pw-record");
  Sink current, first, second;
  StartAndReport(&current);
  Capture* one = orvel_capture_open(Into(&first));
  Capture* two = orvel_capture_open(Into(&second));
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  auto grows = [](Sink& sink) { return sink.WaitForBytes(sink.Bytes().size() + 8192); };
  EXPECT_TRUE(grows(current) && grows(first) && grows(second));
  orvel_capture_close(one);
  const size_t closed_at = first.Bytes().size();
  EXPECT_TRUE(grows(current) && grows(second));
  orvel_backend_stop();
  EXPECT_TRUE(grows(second));
  orvel_capture_close(two);
  EXPECT_EQ(first.Bytes().size(), closed_at);
  EXPECT_EQ(first.Bytes(), Pattern(closed_at));
  EXPECT_EQ(0u, current.Ends() + first.Ends() + second.Ends());
  EXPECT_TRUE(NoChildren());
  EXPECT_EQ(orvel_capture_open(CaptureOptions{}), nullptr) << "a capture without a callback";
}

TEST_F(FakeRecorderTest, TargetWithSpacesIsOneArgument) {
  inj_->Install("/usr/bin/pw-record");
  Sink sink;
  const Report report = StartAndReport(&sink, "my sink; echo 1");
  EXPECT_EQ(report.args, ExpectedArgs("my sink; echo 1", "{ node.dont-reconnect = true node.dont-fallback = true }"));
  // The window source and excluded process serve other platforms only.
  orvel_backend_stop();
  unlink(report_.c_str());
  ASSERT_TRUE(orvel_backend_start("t", "window:42", 1234, Sink::Collect, &sink));
  EXPECT_EQ(ReadReport(report_).args, ExpectedArgs("t", "{ node.dont-reconnect = true node.dont-fallback = true }"));
}

TEST_F(FakeRecorderTest, UsrBinComesFirst) {
  inj_->Install("/usr/bin/pw-record");
  inj_->Install("/usr/local/bin/pw-record");
  Sink sink;
  EXPECT_EQ(StartAndReport(&sink).exe, Candidate("/usr/bin/pw-record"));
}

TEST_F(FakeRecorderTest, BinComesBeforeUsrLocalBin) {
  inj_->Hide("/usr/bin/pw-record");
  inj_->Install("/bin/pw-record");
  inj_->Install("/usr/local/bin/pw-record");
  Sink sink;
  unlink(report_.c_str());
  ASSERT_TRUE(orvel_backend_start(nullptr, nullptr, 0, Sink::Collect, &sink));
  const Report report = ReadReport(report_);
  EXPECT_EQ(report.exe, Candidate("/bin/pw-record"));
  EXPECT_EQ(report.args, ExpectedArgs(""));
}

TEST_F(FakeRecorderTest, UsrLocalBinWhenTheOthersAreNotExecutable) {
  inj_->Hide("/usr/bin/pw-record");
  inj_->Hide("/bin/pw-record");
  inj_->Install("/usr/local/bin/pw-record");
  Sink sink;
  const Report report = StartAndReport(&sink);
  EXPECT_EQ(report.exe, Candidate("/usr/local/bin/pw-record"));
  EXPECT_EQ(report.args, ExpectedArgs(""));
}

TEST_F(FakeRecorderTest, PathSearchWhenNoCandidateIsExecutable) {
  const std::string on_path = inj_->InstallOnPath();
  Sink sink;
  const Report report = StartAndReport(&sink, "sink");
  EXPECT_EQ(report.exe, on_path);
  EXPECT_EQ(report.args, ExpectedArgs("sink", "{ node.dont-reconnect = true node.dont-fallback = true }"));
}

TEST_F(FakeRecorderTest, PathSearchWhenTheChosenCandidateFailsToExec) {
  const std::string on_path = inj_->InstallOnPath();
  const std::string garbage = inj_->Scratch("garbage");
  std::ofstream(garbage) << "neither an ELF file nor a script\n";
  chmod(garbage.c_str(), 0755);
  inj_->Install("/usr/bin/pw-record", garbage);
  Sink sink;
  EXPECT_EQ(StartAndReport(&sink).exe, on_path);
}

// The working directory holds a pw-record, which only a PATH entry for it
// may find.
TEST_F(FakeRecorderTest, NoRecorderEndsTheStreamWithTheExecError) {
  const std::string in_cwd = inj_->InstallOnPath();
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(std::filesystem::path(in_cwd).parent_path().c_str()), 0);
  const std::string bin = inj_->Scratch("no-exec-bin");
  mkdir(bin.c_str(), 0755);
  setenv("PATH", inj_->Scratch("").c_str(), 1);  // a folder without pw-record
  for (const int expected : {ENOENT, EACCES}) {
    Sink sink;
    ASSERT_TRUE(orvel_backend_start_with(Into(&sink)));
    ASSERT_TRUE(sink.WaitForEnd());
    EXPECT_EQ(sink.end.spawn_error, expected);
    EXPECT_TRUE(NoChildren()) << "the failed child was not reaped";
    EXPECT_EQ(sink.Calls(), 0u);
    orvel_backend_stop();
    // Next: a pw-record on PATH that cannot be executed.
    std::ofstream(bin + "/pw-record") << "not executable\n";
    setenv("PATH", bin.c_str(), 1);
  }
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(access(report_.c_str(), F_OK), -1) << "a recorder ran from the working directory";
}

// Text the recorder prints, on stdout as well as stderr, never reaches the
// samples; the end report carries its last 4 KiB.
TEST_F(FakeRecorderTest, RecorderThatExitsReportsItsStatusAndOutput) {
  inj_->Install("/usr/bin/pw-record");
  std::string said;
  for (int line = 0; said.size() < 3000; ++line) said += "message " + std::to_string(line) + "\n";
  setenv("ORVEL_FAKE_SAY", said.c_str(), 1);
  setenv("ORVEL_FAKE_BYTES", "10000", 1);
  setenv("ORVEL_FAKE_AFTER", "exit", 1);
  setenv("ORVEL_FAKE_EXIT_CODE", "3", 1);
  Sink sink;
  StartAndReport(&sink);
  ASSERT_TRUE(sink.WaitForEnd());
  EXPECT_EQ(sink.Bytes(), Pattern(10000));
  EXPECT_EQ(sink.calls_before_end, sink.Calls()) << "a block came after the end";
  EXPECT_EQ(sink.end.spawn_error, 0);
  EXPECT_EQ(sink.end.exit_code, 3);
  EXPECT_EQ(sink.end.signal, 0);
  const std::string printed = said + said;
  EXPECT_EQ(sink.end_output, printed.substr(printed.size() - 4096));
}

// Whatever the host's descriptors 0-2 are (here closed), the recorder gets
// /dev/null for input, one pipe for its text and another for the samples.
TEST_F(FakeRecorderTest, RecorderStdioIsDefinedWhenTheHostsIsClosed) {
  inj_->Install("/usr/bin/pw-record");
  const pid_t pid = fork();
  if (pid == 0) {
    for (int fd = 0; fd < 3; ++fd) close(fd);
    Sink sink;
    const bool started = orvel_backend_start(nullptr, nullptr, 0, Sink::Collect, &sink);
    const Report report = ReadReport(report_);
    orvel_backend_stop();
    const bool ok = started && report.stdio.size() == 4 && report.stdio[0] == "/dev/null" &&
                    report.stdio[1].rfind("pipe:", 0) == 0 && report.stdio[1] == report.stdio[2] &&
                    report.stdio[3].rfind("pipe:", 0) == 0 && report.stdio[3] != report.stdio[1];
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadReport(report_).stdio.size();
}

TEST_F(FakeRecorderTest, OddPiecesArriveWholeOnFrameBoundaries) {
  inj_->Install("/usr/bin/pw-record");
  setenv("ORVEL_FAKE_PIECES", "3,5,6,7", 1);
  setenv("ORVEL_FAKE_PAUSE_US", "2000", 1);
  setenv("ORVEL_FAKE_BYTES", "2104", 1);
  Sink sink;
  StartAndReport(&sink);
  ASSERT_TRUE(sink.WaitForBytes(2104));
  std::this_thread::sleep_for(50ms);
  // Every block is whole frames, so matching the stream byte for byte means
  // every block began on a frame boundary.
  EXPECT_EQ(sink.Bytes(), Pattern(2104));
  EXPECT_GT(sink.Calls(), 100u) << "the pieces were not read separately";
  EXPECT_TRUE(sink.FormatsOk());
  EXPECT_FALSE(pthread_equal(sink.Reader(), pthread_self()));
}

TEST_F(FakeRecorderTest, BlockIntervalGathersTheWritesOfEachInterval) {
  inj_->Install("/usr/bin/pw-record");
  setenv("ORVEL_FAKE_PIECES", "4093", 1);  // splits samples too
  setenv("ORVEL_FAKE_PAUSE_US", "10000", 1);
  setenv("ORVEL_FAKE_BYTES", "200000", 1);
  setenv("ORVEL_FAKE_AFTER", "exit", 1);
  Sink sink;
  CaptureOptions options = Into(&sink);
  options.block_interval_ms = 100;
  ASSERT_TRUE(orvel_backend_start_with(options));
  ASSERT_TRUE(sink.WaitForEnd());
  EXPECT_EQ(sink.Bytes(), Pattern(200000));
  // About half a second of writes, 49 of them: a read every 100 ms.
  EXPECT_LE(sink.Calls(), 9u);
}

// Blocks with their timing into SINK, read every 100 ms.
CaptureOptions PausingBlocks(Sink* sink) {
  CaptureOptions options = Into(sink);
  options.pcm_cb = nullptr;
  options.block_cb = Sink::CollectBlock;
  options.block_interval_ms = 100;
  return options;
}

uint64_t MedianLastWrite(const Sink& sink) {
  std::vector<uint64_t> last_writes = sink.last_writes;
  std::sort(last_writes.begin(), last_writes.end());
  return last_writes[last_writes.size() / 2];
}

// After a pause, a block is handed over right after the recorder's next
// write, not with what merely waited in the pipe: its read time then tells
// when its last samples were written, and it says how long that write was.
TEST_F(FakeRecorderTest, BlocksAfterAPauseEndWithAFreshWrite) {
  inj_->Install("/usr/bin/pw-record");
  setenv("ORVEL_FAKE_FILL", "clock", 1);  // each piece starts with its write time
  setenv("ORVEL_FAKE_PIECES", "4096", 1);
  setenv("ORVEL_FAKE_PAUSE_US", "30000", 1);
  Sink sink;
  ASSERT_TRUE(orvel_backend_start_with(PausingBlocks(&sink)));
  ASSERT_TRUE(WaitUntil([&] { return sink.Calls() > 12; }, 10000ms));
  orvel_backend_stop();
  EXPECT_EQ(MedianLastWrite(sink), 4096 / sizeof(float) / 2) << "the median block's last write";
  const std::string bytes = sink.Bytes();
  std::vector<double> ages_ms;
  for (const auto& [end, at] : sink.handed) {
    uint64_t written_ns = 0;
    std::memcpy(&written_ns, bytes.data() + (end - 1) / 4096 * 4096, sizeof(written_ns));
    const auto written = Clock::time_point(std::chrono::nanoseconds(written_ns));
    ages_ms.push_back(std::chrono::duration<double, std::milli>(at - written).count());
  }
  std::sort(ages_ms.begin(), ages_ms.end());
  EXPECT_LT(ages_ms[ages_ms.size() / 2], 5.0) << "the median block's last write was that old when handed over";
}

// A capture that keeps no times is handed what gathered as the pause ends,
// without waiting for the next write, so no block ends with a known write.
TEST_F(FakeRecorderTest, BlocksWithoutTimesComeAsThePauseEnds) {
  inj_->Install("/usr/bin/pw-record");
  setenv("ORVEL_FAKE_PIECES", "4096", 1);
  setenv("ORVEL_FAKE_PAUSE_US", "30000", 1);
  Sink sink;
  CaptureOptions options = PausingBlocks(&sink);
  options.fresh_blocks = false;
  ASSERT_TRUE(orvel_backend_start_with(options));
  ASSERT_TRUE(WaitUntil([&] { return sink.Calls() > 6; }, 10000ms));
  orvel_backend_stop();
  EXPECT_EQ(MedianLastWrite(sink), 0u) << "the median block's last write";
}

TEST_F(FakeRecorderTest, APausingReaderWakesForAStopOrTheRecordersEnd) {
  inj_->Install("/usr/bin/pw-record");
  setenv("ORVEL_FAKE_PIECES", "4000", 1);
  setenv("ORVEL_FAKE_PAUSE_US", "50000", 1);
  setenv("ORVEL_FAKE_BYTES", "8000", 1);
  setenv("ORVEL_FAKE_AFTER", "exit", 1);
  Sink sink;
  const auto begin = Clock::now();
  CaptureOptions options = Into(&sink);
  options.block_interval_ms = kMaxBlockIntervalMs;
  ASSERT_TRUE(orvel_backend_start_with(options));
  ASSERT_TRUE(sink.WaitForEnd());
  EXPECT_LT(Clock::now() - begin, 500ms) << "the end waited for the pause";
  EXPECT_EQ(sink.Bytes(), Pattern(8000));

  unsetenv("ORVEL_FAKE_AFTER");
  Sink paused;
  options.user = &paused;
  ASSERT_TRUE(orvel_backend_start_with(options));
  ASSERT_TRUE(paused.WaitForBytes(4000));
  const auto stop_begin = Clock::now();
  orvel_backend_stop();
  EXPECT_LT(Clock::now() - stop_begin, 500ms) << "the stop waited for the pause";
  EXPECT_TRUE(NoChildren());
}

TEST_F(FakeRecorderTest, InterruptedReadsAreRetried) {
  struct sigaction no_restart{};
  no_restart.sa_handler = [](int) {};
  struct sigaction saved{};
  sigaction(SIGUSR1, &no_restart, &saved);
  inj_->Install("/usr/bin/pw-record");
  setenv("ORVEL_FAKE_PIECES", "8", 1);
  setenv("ORVEL_FAKE_PAUSE_US", "10000", 1);
  setenv("ORVEL_FAKE_BYTES", "400", 1);
  Sink sink;
  StartAndReport(&sink);
  ASSERT_TRUE(sink.WaitForBytes(8));
  const auto deadline = Clock::now() + 5s;
  while (sink.Bytes().size() < 400 && Clock::now() < deadline) {
    pthread_kill(sink.Reader(), SIGUSR1);
    std::this_thread::sleep_for(1ms);
  }
  orvel_backend_stop();
  sigaction(SIGUSR1, &saved, nullptr);
  EXPECT_EQ(sink.Bytes(), Pattern(400));
}

TEST_F(FakeRecorderTest, RecorderThatExitsEndsTheStreamAfterItsBytes) {
  inj_->Install("/usr/bin/pw-record");
  setenv("ORVEL_FAKE_BYTES", "10000", 1);
  setenv("ORVEL_FAKE_AFTER", "exit", 1);
  Sink sink;
  const Report report = StartAndReport(&sink);
  ASSERT_TRUE(sink.WaitForBytes(10000));
  EXPECT_TRUE(WaitUntil([&] { return Reaped(report.pid); }));
  const size_t calls = sink.Calls();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sink.Calls(), calls);
  EXPECT_EQ(sink.Bytes(), Pattern(10000));
  // Ended: stop only joins the finished thread.
  const auto begin = Clock::now();
  orvel_backend_stop();
  EXPECT_LT(Clock::now() - begin, 100ms);
  EXPECT_TRUE(NoChildren());
}

TEST_F(FakeRecorderTest, RecorderKilledFromOutsideEndsTheStream) {
  inj_->Install("/usr/bin/pw-record");
  Sink sink;
  const Report report = StartAndReport(&sink);
  ASSERT_TRUE(sink.WaitForBytes(20000));
  kill(report.pid, SIGKILL);
  ASSERT_TRUE(sink.WaitForEnd());
  EXPECT_EQ(sink.end.signal, SIGKILL);
  EXPECT_EQ(sink.end.exit_code, -1);
  EXPECT_TRUE(Reaped(report.pid));
  const std::string got = sink.Bytes();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sink.Bytes(), got) << "a callback came after the stream ended";
  EXPECT_EQ(got, Pattern(got.size()));
  orvel_backend_stop();
  EXPECT_TRUE(NoChildren());
}

TEST_F(FakeRecorderTest, RecorderIgnoringSigtermIsKilled) {
  inj_->Install("/usr/bin/pw-record");
  setenv("ORVEL_FAKE_IGNORE_TERM", "1", 1);
  for (const char* bytes : {"-1", "0"}) {  // one keeps writing, one is silent
    setenv("ORVEL_FAKE_BYTES", bytes, 1);
    Sink sink;
    const Report report = StartAndReport(&sink);
    ASSERT_GT(report.pid, 0);
    const auto begin = Clock::now();
    orvel_backend_stop();
    EXPECT_LT(Clock::now() - begin, 3s);
    EXPECT_TRUE(Reaped(report.pid));
    EXPECT_TRUE(NoChildren());
    EXPECT_EQ(sink.Ends(), 0u) << "a stopped capture reported an end";
  }
}

// A stopped process takes SIGTERM only once it runs again: the stop wakes
// it, rather than killing it after a grace.
TEST_F(FakeRecorderTest, AStoppedRecorderIsEndedAtOnce) {
  inj_->Install("/usr/bin/pw-record");
  setenv("ORVEL_FAKE_STOP", "1", 1);
  Sink sink;
  const Report report = StartAndReport(&sink);
  ASSERT_TRUE(WaitUntil([&] {
    std::ifstream stat("/proc/" + std::to_string(report.pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    return text.find(") T ") != std::string::npos;
  }));
  const auto begin = Clock::now();
  orvel_backend_stop();
  EXPECT_LT(Clock::now() - begin, 100ms);
  EXPECT_TRUE(Reaped(report.pid));
  EXPECT_EQ(access((report_ + ".term").c_str(), F_OK), 0) << "it was killed, not terminated";
}

TEST_F(FakeRecorderTest, SecondStartEndsTheFirstCapture) {
  inj_->Install("/usr/bin/pw-record");
  Sink first, second;
  const Report a = StartAndReport(&first);
  ASSERT_TRUE(first.WaitForBytes(4096));
  const Report b = StartAndReport(&second);
  EXPECT_TRUE(Reaped(a.pid));
  const size_t first_calls = first.Calls();
  ASSERT_TRUE(second.WaitForBytes(4096));
  EXPECT_EQ(first.Calls(), first_calls);
  EXPECT_NE(a.pid, b.pid);
}

TEST_F(FakeRecorderTest, NullCallbackWhileRunningStopsAndReturnsFalse) {
  inj_->Install("/usr/bin/pw-record");
  Sink sink;
  const Report report = StartAndReport(&sink);
  ASSERT_TRUE(sink.WaitForBytes(4096));
  EXPECT_FALSE(orvel_backend_start(nullptr, nullptr, 0, nullptr, &sink));
  EXPECT_TRUE(Reaped(report.pid));
  const size_t calls = sink.Calls();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sink.Calls(), calls);
  EXPECT_TRUE(NoChildren());
}

// A host may ignore or block signals (Node ignores SIGPIPE); exec would pass
// that on, and a recorder that ignores SIGPIPE records forever once its
// reader is gone.
TEST_F(FakeRecorderTest, RecorderGetsEverySignalAtItsDefault) {
  inj_->Install("/usr/bin/pw-record");
  struct sigaction ignore{};
  ignore.sa_handler = SIG_IGN;
  std::vector<std::pair<int, struct sigaction>> saved;
  for (const int signal : {SIGPIPE, SIGINT, SIGHUP, SIGTERM, SIGUSR2}) {
    saved.emplace_back(signal, (struct sigaction){});
    sigaction(signal, &ignore, &saved.back().second);
  }
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGCHLD);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);
  Sink sink;
  const Report report = StartAndReport(&sink);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  for (const auto& [signal, action] : saved) sigaction(signal, &action, nullptr);
  EXPECT_EQ(report.ignored, "0000000000000000");
  EXPECT_EQ(report.blocked, "0000000000000000");
}

TEST_F(FakeRecorderTest, PipeHoldsSecondsOfAudio) {
  inj_->Install("/usr/bin/pw-record");
  Sink sink;
  EXPECT_GE(StartAndReport(&sink).pipe_bytes, 1 << 20);
}

TEST_F(FakeRecorderTest, OtherChildrenDoNotHoldThePipe) {
  inj_->Install("/usr/bin/pw-record");
  Sink sink;
  const Report report = StartAndReport(&sink);
  std::error_code error;
  const std::string pipe =
      std::filesystem::read_symlink("/proc/" + std::to_string(report.pid) + "/fd/1", error).string();
  ASSERT_EQ(pipe.rfind("pipe:", 0), 0u) << pipe;
  // A child of the host that keeps every descriptor not marked close-on-exec.
  const pid_t other = fork();
  if (other == 0) {
    execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  const bool execed = WaitUntil([&] {
    return std::filesystem::read_symlink("/proc/" + std::to_string(other) + "/exe").filename() == "sleep";
  });
  EXPECT_TRUE(execed);
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(other) + "/fd", error)) {
    EXPECT_NE(std::filesystem::read_symlink(fd.path(), error), pipe) << "the other child holds the pipe";
  }
  kill(other, SIGKILL);
  waitpid(other, nullptr, 0);
}

TEST_F(FakeRecorderTest, CyclesLeaveNothingBehind) {
  inj_->Install("/usr/bin/pw-record");
  unsetenv("ORVEL_FAKE_REPORT");
  const std::string tmp = inj_->Scratch("tmp");
  mkdir(tmp.c_str(), 0700);
  setenv("TMPDIR", tmp.c_str(), 1);
  Sink sink;
  const size_t tasks = SettledThreadCount();
  // Warm up once: the first thread creation allocates per-process state.
  ASSERT_TRUE(orvel_backend_start(nullptr, nullptr, 0, Sink::Collect, &sink));
  orvel_backend_stop();
  const size_t fds = CountEntries("/proc/self/fd");
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(orvel_backend_start(nullptr, nullptr, 0, Sink::Collect, &sink));
    if (i % 2 == 0) sink.WaitForBytes(sink.Bytes().size() + 4, 1000ms);
    orvel_backend_stop();
  }
  unsetenv("TMPDIR");
  EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
  EXPECT_EQ(CountEntries(tmp.c_str()), 0u) << "a samples link was left behind";
  // A joined thread may stay listed for a moment after its joiner wakes.
  EXPECT_TRUE(WaitUntil([&] { return CountEntries("/proc/self/task") == tasks; }));
  EXPECT_TRUE(NoChildren());
}

}  // namespace
