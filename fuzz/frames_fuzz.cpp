// Records turned into timed frames: the input, after a fixed file header, is
// the records of one file. Identification runs on them as they are; then
// every payload type is named (odd ones video, even ones audio), so that
// ordering, timing and framing run whatever identification found.
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
  // Read from memory, not through a file: a file per input would cost more
  // than the code it drives.
  static const char kHeader[] = "#!rtpplay1.0 x/5004\n\x65\x53\xf1\x00\0\0\0\0\0\0\0\0\x13\x8c\0\0";
  const std::string file = std::string(kHeader, sizeof kHeader - 1) + std::string(reinterpret_cast<const char*>(data), size);
  static const Overrides named = [] {
    Overrides o;
    for (int pt = 0; pt < 128; ++pt) o[pt] = pt % 2 ? Format{Codec::kVp8, 90000, 1} : Format{Codec::kOpus, 48000, 2};
    return o;
  }();
  std::vector<Session> sessions(1);
  sessions[0].files.push_back({"frames"});
  sessions[0].files[0].contents = &file;
  std::string error;
  std::vector<std::string> notes;
  if (ScanSession(&sessions[0], &error) == 0) {
    IdentifySources(&sessions, {}, &notes, &error);
    if (IdentifySources(&sessions, named, &notes, &error)) {
      const std::vector<Track> tracks = AssignTracks(&sessions);
      std::vector<TrackStats> stats(tracks.size());
      Discard sink;
      FeedSession(sessions[0], {}, &sink, &stats, &error);
    }
  }
  return 0;
}
