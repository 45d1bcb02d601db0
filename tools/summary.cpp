#include "summary.h"

namespace rtptools {

StreamStats::StreamStats(uint32_t ssrc) : ssrc(ssrc), seen_(65536 / 64) {}

void StreamStats::Add(uint16_t seq, uint8_t payloadType, uint32_t offsetMs) {
  payloadTypes.set(payloadType & 0x7f);
  int64_t ext = seq;
  if (packets == 0) {
    low_ = high_ = ext;
  } else {
    ext = high_ + int16_t(uint16_t(seq - uint16_t(high_)));
    if (offsetMs > lastOffset_ && offsetMs - lastOffset_ > maxGapMs) maxGapMs = offsetMs - lastOffset_;
    // Numbers that the window moves past are forgotten.
    for (int64_t n = high_ + 1; n <= ext; ++n) seen_[size_t(n & 0xffff) / 64] &= ~(uint64_t(1) << (n & 63));
    if (ext > high_) high_ = ext;
    if (ext < low_) low_ = ext;
  }
  uint64_t& word = seen_[size_t(ext & 0xffff) / 64];
  const uint64_t bit = uint64_t(1) << (ext & 63);
  if (word & bit) ++duplicates;
  word |= bit;
  ++packets;
  lastOffset_ = offsetMs;
}

void Summary::Add(const Record& r) {
  lastOffset = r.offset;
  if (r.plen == 0) {
    ++rtcp;
    rtcpBytes += r.size;
    return;
  }
  // Too short for the fixed header, or not version 2: not RTP as we know it.
  if (r.size < 12 || r.data[0] >> 6 != 2) {
    ++nonRtp;
    nonRtpBytes += r.size;
    return;
  }
  ++rtp;
  rtpBytes += r.size;
  const uint32_t ssrc = Get32(r.data + 8);
  auto it = index_.find(ssrc);
  if (it == index_.end()) {
    if (streams.size() >= kMaxStreams) {
      ++untracked;
      return;
    }
    it = index_.emplace(ssrc, streams.size()).first;
    streams.emplace_back(ssrc);
  }
  streams[it->second].bytes += r.size;
  streams[it->second].Add(Get16(r.data + 2), r.data[1], r.offset);
}

DumpReader::Status Summarize(int fd, Summary* s) {
  DumpReader reader(fd);
  s->end = reader.ReadHeader(&s->text, &s->header);
  if (s->end != DumpReader::kOk) return s->end;
  s->headerBytes = reader.Position();
  Record r;
  while ((s->end = reader.Next(&r)) == DumpReader::kOk) s->Add(r);
  s->damageAt = reader.Position();
  return s->end;
}

}  // namespace rtptools
