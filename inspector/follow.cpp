#include "follow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "report.h"

namespace rtptools {

namespace {

// Rates are over this many of the last looks.
constexpr size_t kSamples = 6;

std::string Fixed(double v, int decimals = 1) {
  char b[32];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string Hex(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", unsigned(v));
  return b;
}

}  // namespace

Follower::Follower(std::string p) : path(std::move(p)) {}

Follower::~Follower() {
  if (fd_ >= 0) close(fd_);
}

bool Follower::Look(int64_t nowNs) {
  if (fd_ < 0 && (fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) return false;
  struct stat st;
  const uint64_t size = fstat(fd_, &st) == 0 ? uint64_t(st.st_size) : lastSize_;
  const bool grew = size != lastSize_;
  lastSize_ = size;
  if (!started) {
    // The recorder may not have written the whole header yet: read it from
    // the start at each look until it is there.
    lseek(fd_, 0, SEEK_SET);
    reader_.reset(new DumpReader(fd_));
    started = reader_->ReadHeader(&summary.text, &summary.header) == DumpReader::kOk;
    if (started) summary.end = DumpReader::kEnd;
  }
  if (started && summary.end == DumpReader::kEnd) {
    reader_->Resume();
    Record r;
    DumpReader::Status s;
    while ((s = reader_->Next(&r)) == DumpReader::kOk) summary.Add(r);
    // A record still being written is not damage: the rest comes later.
    summary.end = s == DumpReader::kTruncated ? DumpReader::kEnd : s;
    summary.damageAt = reader_->Position();
  }
  Sample now{nowNs, {}};
  for (const StreamStats& s : summary.streams) now.counts.emplace_back(s.packets, s.bytes);
  samples_.push_back(std::move(now));
  if (samples_.size() > kSamples) samples_.pop_front();
  return grew || BeingRecorded(fd_);
}

Follower::Rate Follower::RateOf(size_t stream) const {
  Rate r;
  if (samples_.size() < 2) return r;
  const Sample &a = samples_.front(), &b = samples_.back();
  const double seconds = double(b.ns - a.ns) / 1e9;
  if (seconds <= 0 || stream >= b.counts.size()) return r;
  const auto then = stream < a.counts.size() ? a.counts[stream] : std::make_pair<uint64_t, uint64_t>(0, 0);
  r.packets = double(b.counts[stream].first - then.first) / seconds;
  r.kbits = double(b.counts[stream].second - then.second) * 8 / 1000 / seconds;
  return r;
}

int64_t Follower::IdleNs(size_t stream, int64_t nowNs) const {
  const int64_t last = (int64_t(summary.header.startSec) * 1000000 + summary.header.startUsec) * 1000 +
                       int64_t(summary.streams[stream].LastOffset()) * 1000000;
  return nowNs - last;
}

std::string FollowTable(const std::vector<std::unique_ptr<Follower>>& files, int64_t nowNs) {
  std::string out = "\033[H\033[J";  // from the top of a cleared screen
  for (const auto& f : files) {
    const Summary& s = f->summary;
    out += f->path + "  ";
    if (!f->started) {
      out += "waiting for the recording to start\n\n";
      continue;
    }
    out += s.text + "  since " + FormatStart(s.header) + "  " + FormatDuration(s.lastOffset) + "  " +
           std::to_string(s.rtp) + " RTP, " + std::to_string(s.rtcp) + " RTCP\n";
    if (s.end != DumpReader::kEnd) out += "  damaged at byte " + std::to_string(s.damageAt) + "\n";
    out += "  SSRC          packets    pkt/s   kbit/s     lost    last\n";
    for (size_t i = 0; i < s.streams.size(); ++i) {
      const Follower::Rate r = f->RateOf(i);
      const int64_t idle = f->IdleNs(i, nowNs);
      char line[160];
      std::snprintf(line, sizeof line, "  %-10s %10llu %8.1f %8.1f %8llu %6.1f s%s\n", Hex(s.streams[i].ssrc).c_str(),
                    static_cast<unsigned long long>(s.streams[i].packets), r.packets, r.kbits,
                    static_cast<unsigned long long>(s.streams[i].Lost()), double(idle) / 1e9,
                    idle > kSilentNs ? "  SILENT" : "");
      out += line;
    }
    out += "\n";
  }
  return out;
}

std::string FollowLine(const std::vector<std::unique_ptr<Follower>>& files, int64_t nowNs) {
  std::string out;
  for (const auto& f : files) {
    out += (out.empty() ? "" : "; ") + f->path + ":";
    if (!f->started) out += " waiting";
    for (size_t i = 0; i < f->summary.streams.size(); ++i) {
      const StreamStats& st = f->summary.streams[i];
      const Follower::Rate r = f->RateOf(i);
      const int64_t idle = f->IdleNs(i, nowNs);
      out += " " + Hex(st.ssrc) + " " + std::to_string(st.packets) + " packets " + Fixed(r.packets) + "/s " +
             Fixed(r.kbits) + " kbit/s lost " + std::to_string(st.Lost()) + " last " + Fixed(double(idle) / 1e9) +
             " s" + (idle > kSilentNs ? " SILENT" : "");
    }
  }
  return out + "\n";
}

std::string FollowJson(const std::vector<std::unique_ptr<Follower>>& files, int64_t nowNs) {
  std::string out = "{\"time\": " + Fixed(double(nowNs) / 1e9, 3) + ", \"files\": [";
  for (size_t k = 0; k < files.size(); ++k) {
    const Follower& f = *files[k];
    const Summary& s = f.summary;
    out += std::string(k ? ", " : "") + "{\"file\": " + JsonQuote(f.path) + ", \"started\": " +
           (f.started ? "true" : "false") + ", \"rtp_packets\": " + std::to_string(s.rtp) +
           ", \"rtcp_packets\": " + std::to_string(s.rtcp) + ", \"damaged\": " +
           (s.end == DumpReader::kEnd ? "false" : "true") + ", \"streams\": [";
    for (size_t i = 0; i < s.streams.size(); ++i) {
      const StreamStats& st = s.streams[i];
      const Follower::Rate r = f.RateOf(i);
      const int64_t idle = f.IdleNs(i, nowNs);
      out += std::string(i ? ", " : "") + "{\"ssrc\": " + std::to_string(st.ssrc) + ", \"packets\": " +
             std::to_string(st.packets) + ", \"packets_per_s\": " + Fixed(r.packets) + ", \"kbit_per_s\": " +
             Fixed(r.kbits) + ", \"lost\": " + std::to_string(st.Lost()) + ", \"idle_s\": " +
             Fixed(double(idle) / 1e9) + ", \"silent\": " + (idle > kSilentNs ? "true" : "false") + "}";
    }
    out += "]}";
  }
  return out + "]}\n";
}

}  // namespace rtptools
