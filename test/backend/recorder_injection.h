// Puts the fake recorder where the backend looks for pw-record. The test
// build searches the candidate paths under a folder of its own
// (ORVEL_TEST_RECORDER_ROOT), which these tests fill as any user.
#ifndef ORVEL_TEST_RECORDER_INJECTION_H_
#define ORVEL_TEST_RECORDER_INJECTION_H_

#include <string>

// Where the backend under test looks for candidate `path`.
inline std::string Candidate(const std::string& path) { return ORVEL_TEST_RECORDER_ROOT + path; }

// Empties the candidate folder when made and when destroyed; restores PATH.
class RecorderInjection {
 public:
  RecorderInjection();
  ~RecorderInjection();
  RecorderInjection(const RecorderInjection&) = delete;
  RecorderInjection& operator=(const RecorderInjection&) = delete;

  // The fake, or `file`, answers at candidate `path`.
  void Install(const std::string& path, const std::string& file = ORVEL_FAKE_RECORDER);
  // Candidate `path` exists but is not executable.
  void Hide(const std::string& path);
  // PATH holds only a folder whose pw-record is the fake, and no candidate
  // exists; returns the fake's path.
  std::string InstallOnPath();
  // A file in this injection's scratch folder.
  std::string Scratch(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
  std::string saved_path_;
  bool had_path_ = false;
};

#endif  // ORVEL_TEST_RECORDER_INJECTION_H_
