// Records turned into timed frames: the input, after a fixed file header, is
// the records of one file. Identification runs on them as they are; then
// every payload type is named (odd ones video, even ones audio), so that
// ordering, timing and framing run whatever identification found.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "frames.h"

using namespace rtptools;

namespace {

struct Discard : PacketSink {
  bool Push(int, const uint8_t*, size_t, int64_t) override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("frames", MFD_CLOEXEC);
  if (fd < 0) abort();
  static const uint8_t kHeader[] = "#!rtpplay1.0 x/5004\n\x65\x53\xf1\x00\0\0\0\0\0\0\0\0\x13\x8c\0\0";
  if (write(fd, kHeader, sizeof kHeader - 1) != ssize_t(sizeof kHeader - 1) ||
      (size && write(fd, data, size) != ssize_t(size)))
    abort();
  std::vector<Session> sessions(1);
  sessions[0].files.push_back({"/proc/self/fd/" + std::to_string(fd)});
  std::string error;
  std::vector<std::string> notes;
  if (ScanSession(&sessions[0], &error) == 0) {
    IdentifySources(&sessions, {}, &notes, &error);
    Overrides named;
    for (int pt = 0; pt < 128; ++pt)
      named[pt] = pt % 2 ? Format{Codec::kVp8, 90000, 1} : Format{Codec::kOpus, 48000, 2};
    if (IdentifySources(&sessions, named, &notes, &error)) {
      const std::vector<Track> tracks = AssignTracks(&sessions);
      std::vector<TrackStats> stats(tracks.size());
      Discard sink;
      FeedSession(sessions[0], {}, &sink, &stats, &error);
    }
  }
  close(fd);
  return 0;
}
