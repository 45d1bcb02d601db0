#include "summary.h"

#include <algorithm>

#include "rtp.h"

namespace rtptools {

StreamStats::StreamStats(uint32_t ssrc) : ssrc(ssrc), seen_(65536 / 64) {}

void StreamStats::Add(uint16_t seq, uint8_t payloadType, uint32_t offsetMs, uint32_t timestamp,
                      const uint8_t* payload, size_t size) {
  payloadType &= 0x7f;
  payloadTypes.set(payloadType);
  int64_t ext = seq;
  if (packets == 0) {
    low_ = high_ = ext;
    firstOffset_ = offsetMs;
    mainType_ = payloadType;
    format = StaticFormat(payloadType);
    jitter.SetRate(format.clockRate);
  } else {
    ext = high_ + int16_t(uint16_t(seq - uint16_t(high_)));
    if (offsetMs > lastOffset_ && offsetMs - lastOffset_ > maxGapMs) maxGapMs = offsetMs - lastOffset_;
    if (seq != uint16_t(prevSeq_ + 1)) ++sequenceErrors;
    if (keepTimeline_) Mark(ext, offsetMs);
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
  prevSeq_ = seq;
  if (keepTimeline_) {
    if (packetsPerSecond.size() <= offsetMs / 1000) packetsPerSecond.resize(offsetMs / 1000 + 1);
    ++packetsPerSecond[offsetMs / 1000];
  }
  if (payloadType != mainType_) return;
  jitter.Add(timestamp, offsetMs);
  if (!Probing()) return;
  probe_.Add(seq, timestamp, offsetMs, payload, size);
  if (offsetMs - firstOffset_ >= kProbeMs && !settled_) {
    settled_ = true;
    format = probe_.Identify();
    // The jitter needs only the clock rate, which the timestamps tell even
    // where the payloads do not: then the probing stops here too.
    const uint32_t rate = format.Known() ? format.clockRate : probe_.ClockRate();
    jitter.SetRate(rate);
    rateOnly_ = !format.Known() && rate != 0;
  }
}

void StreamStats::Mark(int64_t ext, uint32_t offsetMs) {
  if (ext > high_ + 1) {
    if (lostPerSecond.size() <= offsetMs / 1000) lostPerSecond.resize(offsetMs / 1000 + 1);
    lostPerSecond[offsetMs / 1000] += uint32_t(std::min<int64_t>(ext - high_ - 1, UINT32_MAX));
  }
  if (offsetMs - lastOffset_ >= kSilenceMs) silences.emplace_back(lastOffset_, offsetMs - lastOffset_);
}

void StreamStats::KeepTimeline() {
  keepTimeline_ = true;
  jitter.KeepSeconds();
}

void StreamStats::Finish() {
  if (!format.Known()) format = probe_.Identify();
  jitter.SetRate(format.Known() ? format.clockRate : probe_.ClockRate());
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
    if (keepTimeline) streams.back().KeepTimeline();
  }
  StreamStats& st = streams[it->second];
  st.bytes += r.size;
  // Only a payload type without a static format needs the payload found.
  const bool probing = st.packets ? st.Probing() : !StaticFormat(r.data[1] & 0x7f).Known();
  RtpPacket p;
  if (probing && ParseRtp(r.data, r.size, &p))
    st.Add(p.seq, p.payloadType, r.offset, p.timestamp, p.payload, p.payloadSize);
  else
    st.Add(Get16(r.data + 2), r.data[1], r.offset, Get32(r.data + 4));
}

void Summary::Finish() {
  for (StreamStats& st : streams) st.Finish();
}

DumpReader::Status Summarize(int fd, Summary* s) {
  DumpReader reader(fd);
  s->end = reader.ReadHeader(&s->text, &s->header);
  if (s->end != DumpReader::kOk) return s->end;
  s->headerBytes = reader.Position();
  Record r;
  while ((s->end = reader.Next(&r)) == DumpReader::kOk) s->Add(r);
  s->damageAt = reader.Position();
  s->Finish();
  return s->end;
}

}  // namespace rtptools
