// runstat: runs a command and reports what it cost, as
// "wall=S user=S sys=S maxrss=KB status=N" on standard error (or into
// FILE with -o). SIGINT and SIGTERM are passed on to the command.
//   runstat [-o FILE] COMMAND [ARG...]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "clock.h"

using rtptools::NowNs;

namespace {

volatile pid_t gChild = -1;
void Forward(int sig) {
  if (gChild > 0) kill(gChild, sig);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  FILE* out = stderr;
  if (argc > 3 && std::strcmp(argv[1], "-o") == 0) {
    out = std::fopen(argv[2], "w");
    first = 3;
  }
  if (!out || argc <= first) {
    std::fprintf(stderr, "usage: runstat [-o FILE] COMMAND [ARG...]\n");
    return 64;
  }
  struct sigaction sa {};
  sa.sa_handler = Forward;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  int64_t start = NowNs();
  pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[first], argv + first);
    std::perror(argv[first]);
    _exit(127);
  }
  gChild = pid;
  int status = 0;
  rusage ru{};
  while (wait4(pid, &status, 0, &ru) < 0) {
  }
  double wall = double(NowNs() - start) / 1e9;
  std::fprintf(out, "wall=%.4f user=%.3f sys=%.3f maxrss=%ld status=%d\n", wall,
               double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) / 1e6,
               double(ru.ru_stime.tv_sec) + double(ru.ru_stime.tv_usec) / 1e6, ru.ru_maxrss,
               WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
