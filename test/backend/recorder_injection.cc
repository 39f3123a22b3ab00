#include "recorder_injection.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

constexpr const char* kCandidatePaths[] = {"/usr/bin/pw-record", "/bin/pw-record",
                                           "/usr/local/bin/pw-record"};
constexpr const char* kLocalBin = "/usr/local/bin";

std::string g_unavailable = "injection was never set up";

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

void Touch(const std::string& path, mode_t mode) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, mode);
  Check(fd >= 0, "create " + path);
  close(fd);
  Check(chmod(path.c_str(), mode) == 0, "chmod " + path);
}

}  // namespace

void EnterPrivateMountNamespace() {
  if (geteuid() != 0) {
    g_unavailable = "fake recorders are bind-mounted over pw-record's paths, which needs root";
    return;
  }
  if (unshare(CLONE_NEWNS) != 0 ||
      mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    g_unavailable = std::string("no private mount namespace: ") + std::strerror(errno);
    return;
  }
  g_unavailable.clear();
}

const std::string& InjectionUnavailableReason() { return g_unavailable; }

RecorderInjection::RecorderInjection() {
  char tmpl[] = "/tmp/orvel-test-XXXXXX";
  Check(mkdtemp(tmpl) != nullptr, "mkdtemp");
  dir_ = tmpl;
  if (const char* path = getenv("PATH")) {
    had_path_ = true;
    saved_path_ = path;
  }
}

RecorderInjection::~RecorderInjection() {
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
    umount2(it->c_str(), MNT_DETACH);
  }
  if (had_path_) {
    setenv("PATH", saved_path_.c_str(), 1);
  } else {
    unsetenv("PATH");
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void RecorderInjection::BindOver(const std::string& source, const std::string& target) {
  Check(mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0,
        "bind " + source + " over " + target);
  mounts_.push_back(target);
}

void RecorderInjection::Install(const std::string& path, const std::string& file) {
  if (access(path.c_str(), F_OK) != 0) {
    // Only /usr/local/bin may lack the file; a private tmpfs gives it one.
    Check(path.rfind(kLocalBin, 0) == 0, "no file to mount over at " + path);
    Check(mount("tmpfs", kLocalBin, "tmpfs", 0, "mode=755") == 0, "tmpfs on /usr/local/bin");
    mounts_.push_back(kLocalBin);
    Touch(path, 0755);
  }
  BindOver(file, path);
}

void RecorderInjection::Hide(const std::string& path) {
  if (access(path.c_str(), F_OK) != 0) return;
  const std::string blank = Scratch("not-executable");
  Touch(blank, 0644);
  BindOver(blank, path);
}

void RecorderInjection::HideAllCandidates() {
  for (const char* path : kCandidatePaths) Hide(path);
}

std::string RecorderInjection::InstallOnPath() {
  HideAllCandidates();
  const std::string bin = Scratch("bin");
  Check(mkdir(bin.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + bin);
  const std::string recorder = bin + "/pw-record";
  std::filesystem::copy_file(ORVEL_FAKE_RECORDER, recorder,
                             std::filesystem::copy_options::overwrite_existing);
  Check(chmod(recorder.c_str(), 0755) == 0, "chmod " + recorder);
  setenv("PATH", bin.c_str(), 1);
  return recorder;
}
