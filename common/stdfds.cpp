#include "stdfds.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace rtptools {

bool EnsureStdFds(bool* stderrClosed) {
  if (stderrClosed) *stderrClosed = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == 2 && stderrClosed) *stderrClosed = true;
    // open() returns the lowest free descriptor, which is this one.
    int n = open("/dev/null", O_RDWR);
    if (n < 0) return false;
    if (n != fd) {
      close(n);
      return false;
    }
  }
  return true;
}

}  // namespace rtptools
