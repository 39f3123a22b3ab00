#include "recorder_injection.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

void EmptyCandidateRoot() {
  fs::remove_all(ORVEL_TEST_RECORDER_ROOT);
  fs::create_directories(ORVEL_TEST_RECORDER_ROOT);
}

// Copies `file` to `path` with `mode`, making the folders it lacks.
void Put(const std::string& file, const std::string& path, mode_t mode) {
  fs::create_directories(fs::path(path).parent_path());
  fs::copy_file(file, path, fs::copy_options::overwrite_existing);
  Check(chmod(path.c_str(), mode) == 0, "chmod " + path);
}

}  // namespace

RecorderInjection::RecorderInjection() {
  EmptyCandidateRoot();
  char tmpl[] = "/tmp/orvel-test-XXXXXX";
  Check(mkdtemp(tmpl) != nullptr, "mkdtemp");
  dir_ = tmpl;
  if (const char* path = getenv("PATH")) {
    had_path_ = true;
    saved_path_ = path;
  }
}

RecorderInjection::~RecorderInjection() {
  if (had_path_) {
    setenv("PATH", saved_path_.c_str(), 1);
  } else {
    unsetenv("PATH");
  }
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
  EmptyCandidateRoot();
}

void RecorderInjection::Install(const std::string& path, const std::string& file) {
  Put(file, Candidate(path), 0755);
}

void RecorderInjection::Hide(const std::string& path) {
  const std::string blank = Scratch("not-executable");
  std::ofstream(blank).close();
  Put(blank, Candidate(path), 0644);
}

std::string RecorderInjection::InstallOnPath() {
  EmptyCandidateRoot();
  const std::string recorder = Scratch("bin/pw-record");
  Put(ORVEL_FAKE_RECORDER, recorder, 0755);
  setenv("PATH", Scratch("bin").c_str(), 1);
  return recorder;
}
