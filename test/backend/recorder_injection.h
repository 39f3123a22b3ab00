// Puts the fake recorder where the backend looks for pw-record: over a
// candidate path in this test process's private mount namespace, or on PATH.
#ifndef ORVEL_TEST_RECORDER_INJECTION_H_
#define ORVEL_TEST_RECORDER_INJECTION_H_

#include <string>
#include <vector>

// Called from main() while the process still has one thread.
void EnterPrivateMountNamespace();

// Empty when fakes can be injected, else why not.
const std::string& InjectionUnavailableReason();

// Skips a test that needs injection, with the reason; under CI it fails.
#define REQUIRE_INJECTION()                                         \
  do {                                                              \
    if (!InjectionUnavailableReason().empty()) {                    \
      if (getenv("CI") != nullptr) FAIL() << InjectionUnavailableReason(); \
      GTEST_SKIP() << InjectionUnavailableReason();                 \
    }                                                               \
  } while (0)

class RecorderInjection {
 public:
  RecorderInjection();
  ~RecorderInjection();
  RecorderInjection(const RecorderInjection&) = delete;
  RecorderInjection& operator=(const RecorderInjection&) = delete;

  // The fake, or `file`, answers at `path` (a candidate path).
  void Install(const std::string& path, const std::string& file = ORVEL_FAKE_RECORDER);
  // `path` exists but is not executable.
  void Hide(const std::string& path);
  void HideAllCandidates();
  // PATH holds only a folder whose pw-record is the fake; returns its path.
  std::string InstallOnPath();
  // A file in this injection's scratch folder.
  std::string Scratch(const std::string& name) const { return dir_ + "/" + name; }

 private:
  void BindOver(const std::string& source, const std::string& target);
  std::string dir_;
  std::vector<std::string> mounts_;
  std::string saved_path_;
  bool had_path_ = false;
};

#endif  // ORVEL_TEST_RECORDER_INJECTION_H_
