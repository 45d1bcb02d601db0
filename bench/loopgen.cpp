// loopgen: makes a long recording out of a short real one by repeating its
// first LOOP_MS milliseconds for MINUTES minutes, as one continuous stream:
// sequence numbers, RTP timestamps, the RTP and NTP times of sender reports
// and the record offsets all go on from one repetition to the next.
//   loopgen -m MINUTES -l LOOP_MS -r RATE [-s SKIP] IN.rtp OUT.rtp
// IN holds one RTP sender (its first SSRC; others are left out) of clock
// RATE Hz, and its RTCP. A repetition is the packets whose timestamps lie
// within LOOP_MS of the first packet's (after SKIP packets of the sender,
// default 0), so that it ends on a whole frame;
// LOOP_MS * RATE must be a multiple of 1000 and of the frame's duration in
// ticks (a multiple of 100 ms suits 30 frames/s video and 20 ms audio). For
// video, IN must start with a key frame, so that every repetition does and
// the result decodes throughout. An Opus encoder's first packet is shorter
// than the rest (its timestamp step is not 20 ms): -s 1 leaves it out.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dumpfile.h"

using namespace rtptools;

namespace {

void usage() {
  std::fprintf(stderr, "usage: loopgen -m MINUTES -l LOOP_MS -r RATE [-s SKIP] IN.rtp OUT.rtp\n");
  std::exit(64);
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "loopgen: %s\n", what.c_str());
  std::exit(1);
}

struct Kept {
  uint16_t plen;
  uint32_t offset;
  std::vector<uint8_t> data;
};

// Shifts the sender reports of an RTCP compound packet by `ms` of wall
// clock and `ticks` of RTP clock.
void ShiftReports(uint8_t* p, size_t n, uint64_t ms, uint32_t ticks) {
  for (size_t at = 0; at + 4 <= n;) {
    const size_t len = (size_t(Get16(p + at + 2)) + 1) * 4;
    if (at + len > n) break;
    if (p[at + 1] == 200 && len >= 28) {  // SR: NTP time at 8, RTP time at 16
      uint8_t* ntp = p + at + 8;
      uint64_t t = uint64_t(Get32(ntp)) << 32 | Get32(ntp + 4);
      t += (ms << 32) / 1000;
      Put32(ntp, uint32_t(t >> 32));
      Put32(ntp + 4, uint32_t(t));
      Put32(p + at + 16, Get32(p + at + 16) + ticks);
    }
    at += len;
  }
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 0;
  long loopMs = 0, rate = 0, skip = 0;
  int opt;
  while ((opt = getopt(argc, argv, "m:l:r:s:")) != -1) {
    switch (opt) {
      case 'm': minutes = std::atof(optarg); break;
      case 'l': loopMs = std::atol(optarg); break;
      case 'r': rate = std::atol(optarg); break;
      case 's': skip = std::atol(optarg); break;
      default: usage();
    }
  }
  if (minutes <= 0 || loopMs <= 0 || rate <= 0 || skip < 0 || loopMs * rate % 1000 || argc - optind != 2) usage();
  const std::string in = argv[optind], out = argv[optind + 1];
  const uint32_t loopTicks = uint32_t(loopMs * rate / 1000);

  // The first LOOP_MS of IN: RTP of the first sender by timestamp, RTCP by
  // arrival.
  const int fd = OpenDumpFile(in);
  if (fd < 0) Die(in + ": cannot be opened");
  DumpReader reader(fd);
  std::string text;
  FileHeader header;
  if (reader.ReadHeader(&text, &header) != DumpReader::kOk) Die(in + ": not a dump file");
  std::vector<Kept> loop;
  bool started = false, whole = false;
  uint32_t ssrc = 0, ts0 = 0, first = 0;
  uint16_t seq0 = 0, seqEnd = 0;
  Record r;
  while (reader.Next(&r) == DumpReader::kOk) {
    if (r.plen != 0) {
      if (r.size < 12 || (!started && skip-- > 0)) continue;
      if (!started) {
        started = true;
        ssrc = Get32(r.data + 8), ts0 = Get32(r.data + 4), seq0 = Get16(r.data + 2), first = r.offset;
      }
      if (Get32(r.data + 8) != ssrc) continue;
      if (Get32(r.data + 4) - ts0 >= loopTicks) {
        whole = true;
        continue;
      }
      seqEnd = std::max<uint16_t>(seqEnd, uint16_t(Get16(r.data + 2) - seq0 + 1));
    } else if (!started || r.offset >= first + uint32_t(loopMs)) {
      continue;
    }
    loop.push_back({r.plen, r.offset, std::vector<uint8_t>(r.data, r.data + r.size)});
  }
  close(fd);
  if (!whole) Die(in + ": shorter than " + std::to_string(loopMs) + " ms");

  const int ofd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (ofd < 0) Die(out + ": cannot be created");
  DumpWriter w(ofd);
  if (!w.WriteHeader(text, header)) Die(out + ": write error");
  const uint64_t endMs = uint64_t(minutes * 60000);
  uint32_t last = 0;
  for (uint64_t k = 0; k * uint64_t(loopMs) < endMs; ++k) {
    const uint64_t shiftMs = k * uint64_t(loopMs);
    const uint32_t ticks = uint32_t(k * loopTicks);
    for (Kept& rec : loop) {
      const uint64_t at = rec.offset + shiftMs;
      if (at >= endMs) break;
      // A late packet of one repetition may come after the first of the next.
      last = std::max(last, uint32_t(at));
      std::vector<uint8_t> d = rec.data;
      if (rec.plen != 0) {
        Put16(&d[2], uint16_t(Get16(&d[2]) + k * seqEnd));
        Put32(&d[4], Get32(&d[4]) + ticks);
      } else {
        ShiftReports(d.data(), d.size(), shiftMs, ticks);
      }
      w.Add(rec.plen, last, d.data(), d.size());
      if (w.Pending() >= (1 << 20) && !w.Flush()) Die(out + ": write error");
    }
  }
  if (!w.Flush() || close(ofd) != 0) Die(out + ": write error");
  return 0;
}
