// The recorder as a child process, started and ended the way libuv runs
// children: defined descriptors, every pipe close-on-exec, signals reset,
// nothing but async-signal-safe calls between fork and exec, and a reap
// that never waits long.
#ifndef ORVEL_RECORDER_CHILD_H_
#define ORVEL_RECORDER_CHILD_H_

#include <signal.h>
#include <sys/types.h>

#include <string>

// The child's descriptors: stdin, stdout, stderr, and the samples.
constexpr int kChildSamplesFd = 3;
constexpr int kChildFds = kChildSamplesFd + 1;
constexpr int kMaxRecorderArgs = 24;

// Everything the child needs, made before fork so that the child only makes
// async-signal-safe calls. `argv` points into strings the caller keeps.
struct ExecPlan {
  const char* argv[kMaxRecorderArgs + 1];
  std::string search_path;
  sigset_t empty_mask;
};

// Fills in what make_exec_plan's caller did not: the PATH to search and
// the signal mask. `argv` must already be set and null-terminated.
void complete_exec_plan(ExecPlan* plan);

// The recorder's end of things, as the reader thread holds them.
struct RecorderPipes {
  int samples = -1;  // read end of the samples, blocking
  int output = -1;   // read end of stdout and stderr, non-blocking
};

// Makes the pipes and runs the recorder: the first executable candidate
// path, else the PATH search. Returns 0 with `*pid` and `pipes` set, or the
// errno of the step that failed (an exec failure included), with nothing
// left open or running.
int spawn_recorder(const ExecPlan& plan, pid_t* pid, RecorderPipes* pipes);

// Ends and reaps the child: with `wait_first`, first a grace for it to exit
// by itself; then SIGTERM (with SIGCONT, since a stopped process takes no
// SIGTERM), a short grace, and SIGKILL. Returns the wait status.
int reap_child(pid_t pid, bool wait_first);

#endif  // ORVEL_RECORDER_CHILD_H_
