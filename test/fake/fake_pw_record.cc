// A stand-in for pw-record that the tests put where the backend looks for
// the real one. It reports how it was started and writes a stream shaped by
// environment variables (the backend's child keeps the host's environment):
//
//   ORVEL_FAKE_REPORT       file to write the report to (exe, args, the
//                           signals it ignores and blocks, the size of the
//                           pipe it writes samples to)
//   ORVEL_FAKE_FILL         pattern (byte i is i % 251), zero, or clock (the
//                           CLOCK_MONOTONIC time in ns as 8 bytes)
//   ORVEL_FAKE_PIECES       comma-separated sizes of the writes, cycled
//                           (default 4096)
//   ORVEL_FAKE_PAUSE_US     pause after each write (default 1000)
//   ORVEL_FAKE_BYTES        total bytes to write (default: no end)
//   ORVEL_FAKE_AFTER        exit or wait once the bytes are written (default
//                           wait, until a signal ends the process)
//   ORVEL_FAKE_IGNORE_TERM  1: ignore SIGTERM
//   ORVEL_FAKE_STOP         1: stop itself (SIGSTOP) once the report is written,
//                           and on SIGTERM create the report's path + ".term"
//                           before it exits
//   ORVEL_FAKE_SAY          text printed to stdout, then to stderr, at start
//   ORVEL_FAKE_EXIT_CODE    status of the exit that ORVEL_FAKE_AFTER asks for
//
// Samples go where the last argument names, as pw-record writes them: a
// path, or "-" for stdout.
#include <fcntl.h>
#include <signal.h>
#include <sys/auxv.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* Env(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

// A mask of signals as the kernel reports it: "SigIgn" (ignored) or
// "SigBlk" (blocked), in hexadecimal.
std::string SignalMask(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return line.substr(field.size() + 2);
  }
  return "unknown";
}

int g_samples_fd = STDOUT_FILENO;
std::string g_term_marker;

void MarkTermAndExit(int) {
  close(open(g_term_marker.c_str(), O_WRONLY | O_CREAT, 0644));
  _exit(0);
}

void WriteReport(const char* path, int argc, char** argv) {
  std::ostringstream out;
  out << "exe=" << reinterpret_cast<const char*>(getauxval(AT_EXECFN)) << "\n";
  out << "pid=" << getpid() << "\n";
  out << "ignored=" << SignalMask("SigIgn") << "\n";
  out << "blocked=" << SignalMask("SigBlk") << "\n";
  out << "pipe_bytes=" << fcntl(g_samples_fd, F_GETPIPE_SZ) << "\n";
  for (int fd = 0; fd <= 3; ++fd) {
    char target[256] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), target, sizeof(target) - 1) < 0) std::strcpy(target, "closed");
    out << "fd=" << target << "\n";
  }
  for (int i = 0; i < argc; ++i) out << "arg=" << argv[i] << "\n";
  const std::string tmp = std::string(path) + ".tmp";
  std::ofstream(tmp) << out.str();
  rename(tmp.c_str(), path);  // readers never see half a report
}

std::vector<size_t> Pieces(const char* spec) {
  std::vector<size_t> pieces;
  std::stringstream in(spec);
  std::string item;
  while (std::getline(in, item, ',')) pieces.push_back(std::stoul(item));
  return pieces;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

uint64_t MonotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  if (std::strcmp(Env("ORVEL_FAKE_IGNORE_TERM", "0"), "1") == 0) {
    signal(SIGTERM, SIG_IGN);
  }
  if (argc > 1 && std::strcmp(argv[argc - 1], "-") != 0) {
    g_samples_fd = open(argv[argc - 1], O_WRONLY | O_CLOEXEC);
    if (g_samples_fd < 0) return 2;
  }
  if (const char* say = getenv("ORVEL_FAKE_SAY")) {
    if (!WriteAll(STDOUT_FILENO, say, std::strlen(say)) ||
        !WriteAll(STDERR_FILENO, say, std::strlen(say))) {
      return 1;
    }
  }
  if (const char* report = getenv("ORVEL_FAKE_REPORT")) {
    WriteReport(report, argc, argv);
  }
  if (std::strcmp(Env("ORVEL_FAKE_STOP", "0"), "1") == 0) {
    g_term_marker = std::string(Env("ORVEL_FAKE_REPORT", "/dev/null")) + ".term";
    signal(SIGTERM, MarkTermAndExit);
    raise(SIGSTOP);
  }
  const bool pattern = std::strcmp(Env("ORVEL_FAKE_FILL", "pattern"), "pattern") == 0;
  const bool clock = std::strcmp(Env("ORVEL_FAKE_FILL", "pattern"), "clock") == 0;
  const std::vector<size_t> pieces = Pieces(Env("ORVEL_FAKE_PIECES", "4096"));
  const useconds_t pause_us = useconds_t(std::stoul(Env("ORVEL_FAKE_PAUSE_US", "1000")));
  const long long total = std::stoll(Env("ORVEL_FAKE_BYTES", "-1"));

  std::vector<char> block;
  long long written = 0;
  for (size_t turn = 0; total < 0 || written < total; ++turn) {
    size_t size = pieces[turn % pieces.size()];
    if (total >= 0) size = size_t(std::min<long long>(size, total - written));
    block.resize(size);  // new bytes are zero; only the pattern and clock fills write
    if (pattern) {
      for (size_t i = 0; i < size; ++i) block[i] = char((written + i) % 251);
    }
    if (clock && size >= sizeof(uint64_t)) {
      const uint64_t now = MonotonicNs();
      std::memcpy(block.data(), &now, sizeof(now));
    }
    if (!WriteAll(g_samples_fd, block.data(), size)) return 1;
    written += size;
    if (pause_us > 0) usleep(pause_us);
  }
  if (std::strcmp(Env("ORVEL_FAKE_AFTER", "wait"), "exit") == 0) {
    return std::atoi(Env("ORVEL_FAKE_EXIT_CODE", "0"));
  }
  for (;;) pause();
}
