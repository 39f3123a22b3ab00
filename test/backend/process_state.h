// What this test process holds: entries of a /proc folder (descriptors,
// threads) and children. Shared by the backend suite and the race runs.
#ifndef ORVEL_TEST_PROCESS_STATE_H_
#define ORVEL_TEST_PROCESS_STATE_H_

#include <dirent.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstddef>

inline size_t CountEntries(const char* dir) {
  size_t n = 0;
  DIR* d = opendir(dir);
  while (dirent* entry = readdir(d)) n += entry->d_name[0] != '.';
  closedir(d);
  return n;
}

// No child of this process exists, running or zombie.
inline bool NoChildren() {
  siginfo_t info{};
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD;
}

#endif  // ORVEL_TEST_PROCESS_STATE_H_
