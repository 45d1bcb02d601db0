// The capture reader of the recorder, fed through a memory file: whatever
// the bytes, every datagram it returns lies within what was captured.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "capture_in.h"

using namespace rtptools;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("capture", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != ssize_t(size)) abort();
  {
    CaptureReader in;
    std::string error;
    if (in.Open("/proc/self/fd/" + std::to_string(fd), &error) == 0) {
      CapturedDatagram d;
      while (in.Next(&d, &error) == CaptureReader::kOk) {
        if (d.size > size) abort();
        volatile uint8_t sink = 0;
        for (size_t i = 0; i < d.size; ++i) sink = sink ^ d.data[i];  // every byte readable
      }
    }
  }
  close(fd);
  return 0;
}
