#include "summary.h"

#include <unistd.h>

#include <cstring>

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

namespace {

uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

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
  streams[it->second].Add(uint16_t(r.data[2] << 8 | r.data[3]), r.data[1], r.offset);
}

DumpReader::Status Summarize(int fd, Summary* s) {
  DumpReader reader(fd);
  s->end = reader.ReadHeader(&s->text, &s->header);
  if (s->end != DumpReader::kOk) return s->end;
  // The reader does not say how long the text line was; look when we can.
  char line[kMaxTextLine + 1];
  ssize_t n = pread(fd, line, sizeof line, 0);
  const void* nl = n > 0 ? std::memchr(line, '\n', size_t(n)) : nullptr;
  size_t lineBytes = nl ? size_t(static_cast<const char*>(nl) - line) + 1
                        : sizeof kDumpMagic + (s->text.empty() ? 0 : s->text.size() + 1);
  s->headerBytes = lineBytes + kFileHeaderSize;

  uint64_t at = s->headerBytes;
  Record r;
  while ((s->end = reader.Next(&r)) == DumpReader::kOk) {
    s->Add(r);
    at += kRecordHeaderSize + r.size;
  }
  s->damageAt = at;
  return s->end;
}

}  // namespace rtptools
