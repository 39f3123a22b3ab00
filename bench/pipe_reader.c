// The pipe's own limit: runs a recorder with its stdout on a pipe, as the
// module does, and only reads 32 KiB blocks and discards them.
//
//   pipe_reader WARMUP_MS WINDOW_MS RECORDER [ARG...]
//
// Prints {"bytes":N,"seconds":S}: what was read in a window that opens
// WARMUP_MS after the first byte and lasts WINDOW_MS.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now_seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: pipe_reader WARMUP_MS WINDOW_MS RECORDER [ARG...]\n");
    return 2;
  }
  const double warmup = atof(argv[1]) / 1000;
  const double window = atof(argv[2]) / 1000;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    perror("pipe2");
    return 1;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 1;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    execv(argv[3], argv + 3);
    _exit(127);
  }
  close(fds[1]);

  static char block[32768];
  long long total = 0, start_bytes = 0;
  double opens = 0, start = 0, end = 0;
  for (;;) {
    const ssize_t n = read(fds[0], block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += n;
    const double now = now_seconds();
    if (opens == 0) opens = now + warmup;
    if (start == 0 && now >= opens) {
      start = now;
      start_bytes = total;
    } else if (start > 0 && now >= start + window) {
      end = now;
      break;
    }
  }
  close(fds[0]);
  kill(pid, SIGTERM);
  waitpid(pid, NULL, 0);
  if (end == 0) {
    fprintf(stderr, "pipe_reader: the recorder ended before the window closed\n");
    return 1;
  }
  printf("{\"bytes\":%lld,\"seconds\":%.6f}\n", total - start_bytes, end - start);
  return 0;
}
