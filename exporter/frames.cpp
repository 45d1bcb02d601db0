#include "frames.h"

#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

#include "clock.h"
#include "rtp.h"

namespace rtptools {

namespace {

// Timestamps that run further than this ahead of the pace of arrival, or
// back, mean that the sender restarted its clock: a new segment, placed
// afresh. Timestamps behind arrival are a stall on the way (the datagrams
// come late, then in a burst), placed by their timestamps as before.
constexpr int64_t kJumpSeconds = 2;
// Packets held at most for reordering, per source, whatever their age.
constexpr size_t kMaxHeld = 1024;
// After the last arrival wanted, the walk goes on this long for frames that
// their senders placed earlier.
constexpr int64_t kTailMs = 5000;
// How long after the start a packet may arrive that its sender's clock
// places before the start: a sender's start-up delay.
constexpr int64_t kEarlyMs = 2000;

constexpr double kNone = std::numeric_limits<double>::infinity();

struct SenderReport {
  bool valid = false;
  double ntpMs = 0;
  int64_t ext = 0;  // its RTP time, extended as the source's packets are
};

// A sender's RTP clock against the recorder's, for one source. The first
// walk learns, per segment, the earliest arrival and the sender reports; the
// second maps each timestamp through the reports around it, joined by
// straight lines, so that a report that disagrees a little with the one
// before (a sender's first often does) moves frames smoothly, never back.
class SourceClock {
 public:
  explicit SourceClock(uint32_t rate) : rate_(rate) {}

  void Restart(bool learning) {
    learning_ = learning;
    segment_ = 0;
    started_ = false;
    pending_ = {};
  }

  int64_t Unwrap(uint32_t ts, int64_t arrivalMs) {
    if (!started_) {
      started_ = true;
      last_ = ts;
      lastArrival_ = arrivalMs;
      if (segments_.empty()) segments_.emplace_back();
      if (pending_.valid) Report(pending_.ntpMs, uint32_t(pending_.ext), arrivalMs);
      return last_;
    }
    const int64_t ext = last_ + int32_t(ts - uint32_t(last_));
    if (Jumps(ext, arrivalMs) && size_t(++segment_) >= segments_.size()) segments_.emplace_back();
    last_ = ext;
    lastArrival_ = arrivalMs;
    return ext;
  }

  void Report(double ntpMs, uint32_t rtp, int64_t arrivalMs) {
    if (!started_) {  // before the first packet: kept until it comes
      pending_ = {true, ntpMs, rtp};
      return;
    }
    const int64_t ext = last_ + int32_t(rtp - uint32_t(last_));
    if (Jumps(ext, arrivalMs) || !learning_) return;  // of another segment, or known
    std::vector<SenderReport>& r = segments_[size_t(segment_)].reports;
    if (r.empty() || (ext > r.back().ext && ntpMs > r.back().ntpMs)) r.push_back({true, ntpMs, ext});
  }

  // The segment that the last timestamp unwrapped belongs to.
  int segment() const { return segment_; }

  // The sender's wall clock at RTP time `ext` of `segment` (-1: the
  // current one), where reports tell it.
  bool SenderMs(int64_t ext, double* ms, int segment = -1) const {
    const std::vector<SenderReport>& r = segments_[size_t(segment < 0 ? segment_ : segment)].reports;
    if (r.empty()) return false;
    auto next = std::upper_bound(r.begin(), r.end(), ext, [](int64_t e, const SenderReport& s) { return e < s.ext; });
    const SenderReport& from = next == r.begin() ? *next : *(next - 1);
    double msPerTick = 1000.0 / rate_;
    if (next != r.begin() && next != r.end()) {
      const double slope = (next->ntpMs - from.ntpMs) / double(next->ext - from.ext);
      // Reports that disagree by more than this are not followed.
      if (std::fabs(slope / msPerTick - 1) < 0.05) msPerTick = slope;
    }
    *ms = from.ntpMs + double(ext - from.ext) * msPerTick;
    return true;
  }

  void LearnArrival(int64_t ext, int64_t arrivalMs) {
    double& anchor = segments_[size_t(segment_)].arrivalAnchor;
    anchor = std::min(anchor, double(arrivalMs) - double(ext) * 1000.0 / rate_);
  }
  // The earliest arrival that the pace of its timestamps allows.
  double ArrivalMs(int64_t ext, int segment = -1) const {
    return segments_[size_t(segment < 0 ? segment_ : segment)].arrivalAnchor + double(ext) * 1000.0 / rate_;
  }

 private:
  bool Jumps(int64_t ext, int64_t arrivalMs) const {
    const double step = double(ext - last_), limit = double(kJumpSeconds) * rate_;
    return step < -limit || step - double(arrivalMs - lastArrival_) * rate_ / 1000.0 > limit;
  }

  struct Segment {
    double arrivalAnchor = kNone;
    std::vector<SenderReport> reports;  // in order of RTP time and of wall clock
  };
  double rate_;
  std::vector<Segment> segments_;
  int segment_ = 0;
  bool started_ = false, learning_ = true;
  int64_t last_ = 0, lastArrival_ = 0;
  SenderReport pending_;
};

struct Packet {
  std::vector<uint8_t> data;
  int64_t arrivalMs = 0;
  int64_t ns = 0;
};

// How much later than placed a sender's frames go, shared by its sources.
using Lag = std::function<int64_t&()>;

// Puts one source's packets back in sequence and into frames; passes on
// the frames that arrived whole (video from a key frame on).
class SourceQueue {
 public:
  // With `lag`, its sender's pictures never come closer together than they
  // were sent (see Emit).
  SourceQueue(const Format& format, int track, TrackStats* stats, PacketSink* sink, int64_t startMs, int64_t limitNs,
              Lag lag = nullptr)
      : format_(format), video_(format.IsVideo()), track_(track), stats_(stats), sink_(sink), startMs_(startMs),
        limitNs_(limitNs), lag_(std::move(lag)) {}

  // False when the sink failed.
  bool Add(uint16_t seq, const uint8_t* data, size_t size, int64_t arrivalMs, int64_t ns) {
    int64_t ext = seq;
    if (!started_) {
      started_ = true;
      next_ = high_ = ext;
    } else {
      ext = high_ + int16_t(uint16_t(seq - uint16_t(high_)));
    }
    if (ext < next_ || held_.count(ext)) return true;  // too late, or a duplicate
    high_ = std::max(high_, ext);
    if (ext == next_ && held_.empty()) {  // in order, as nearly all are: no need to hold it
      next_ = ext + 1;
      return Release(Packet{std::vector<uint8_t>(data, data + size), arrivalMs, ns}, 0);
    }
    held_[ext] = Packet{std::vector<uint8_t>(data, data + size), arrivalMs, ns};
    while (!held_.empty()) {
      auto first = held_.begin();
      if (first->first != next_ && held_.size() <= kMaxHeld && first->second.arrivalMs + kReorderMs >= arrivalMs)
        break;
      if (!Release(std::move(first->second), first->first - next_)) return false;
      next_ = first->first + 1;
      held_.erase(first);
    }
    return true;
  }

  bool Flush() {
    for (auto& [ext, packet] : held_) {
      if (!Release(std::move(packet), ext - next_)) return false;
      next_ = ext + 1;
    }
    held_.clear();
    return Finish(!broken_) && EmitHeld(held1stTs_);
  }

 private:
  // The next packet in sequence, `missing` packets after the last.
  bool Release(Packet&& p, int64_t missing) {
    RtpPacket rtp;
    if (!ParseRtp(p.data.data(), p.data.size(), &rtp)) return true;
    if (missing > 0 && havePrev_) {
      const int32_t span = int32_t(rtp.timestamp - prevTs_);
      if (!video_) stats_->lost += uint64_t(missing);
      // Frames that vanished whole between the two.
      else if (step_ > 0 && span > 0) stats_->lost += uint64_t(std::max<int64_t>(0, std::llround(double(span) / step_) - 1));
    }
    havePrev_ = true;
    prevTs_ = rtp.timestamp;
    if (!frame_.empty() && rtp.timestamp != frameTs_) {
      if (!Finish(!broken_ && !(missing > 0 && !frameMarker_))) return false;
    }
    if (missing > 0 && video_) broken_ = true;
    frame_.push_back(std::move(p));
    frameTs_ = rtp.timestamp;
    frameMarker_ = rtp.marker;
    if (!video_ || rtp.marker) return Finish(!broken_);
    return true;
  }

  bool Finish(bool whole) {
    if (frame_.empty()) return true;
    RtpPacket first;
    ParseRtp(frame_[0].data.data(), frame_[0].data.size(), &first);
    const bool key = StartsKeyFrame(format_.codec, first.payload, first.payloadSize);
    bool ok = true;
    if (!video_ && !everEmitted_ && held1st_.empty()) {
      // An encoder's first packet may hold more than the step to the next
      // (Opus's look-ahead, where a sender clips it): it waits for the
      // next, and plays as long before it as it lasts.
      held1st_.swap(frame_);
      held1stTs_ = first.timestamp;
    } else if (whole && (key || !waitKey_)) {
      waitKey_ = false;
      ok = EmitHeld(first.timestamp) && Emit(frame_, first.timestamp);
    } else if (video_) {
      // Frames before the track's first key frame were never to be had.
      if (everEmitted_) ++stats_->lost;
      if (!whole) waitKey_ = true;
    }
    frame_.clear();
    broken_ = false;
    return ok;
  }

  bool EmitHeld(uint32_t nextTs) {
    if (held1st_.empty()) return true;
    RtpPacket p;
    ParseRtp(held1st_[0].data.data(), held1st_[0].data.size(), &p);
    const int64_t ticks = AudioTicks(format_, p.payload, p.payloadSize);
    const int32_t step = int32_t(nextTs - held1stTs_);
    if (!frame_.empty() && step > 0 && ticks > step)
      held1st_[0].ns = frame_[0].ns - ticks * 1000000000 / int64_t(format_.clockRate);
    std::vector<Packet> first;
    first.swap(held1st_);
    return Emit(first, held1stTs_);
  }

  bool Emit(const std::vector<Packet>& frame, uint32_t ts) {
    // What arrived before the start or is placed after the end. What
    // arrived after the start is the recording's own, whatever its sender's
    // clock says: the export starts early enough for it, and what is still
    // placed before (an encoder's first audio frame, longer than its step)
    // is put at the start.
    int64_t ns = frame[0].ns;
    if (frame[0].arrivalMs < startMs_ || ns > limitNs_) return true;
    ns = std::max<int64_t>(ns, 0);
    const int32_t ticks = everEmitted_ ? int32_t(ts - lastEmittedTs_) : 0;
    const int64_t frameNs = ticks > 0 ? ticks * kNsPerSecond / int64_t(format_.clockRate) : 0;
    const int64_t apartNs = std::max(std::min(frameNs, kNsPerSecond), kNsPerMs);
    if (lag_ && video_) {
      // Followed, where a sender's frames belong is learnt as they come,
      // and may move back (a report, or its other medium's packets, come
      // after the first frames were placed). Players time a copied picture
      // by ticks of its rate, where frames closer than they were sent fall
      // on one tick: the sender's frames all go later instead, its sound
      // with them, and come back only as far as a pause in the picture
      // allows.
      int64_t& lag = lag_();
      ns += lag;
      const int64_t earliest = stats_->lastNs < 0 ? ns : stats_->lastNs + apartNs;
      const int64_t back = ns < earliest ? ns - earliest : std::min(lag, ns - earliest);
      lag -= back;
      ns -= back;
    } else {
      if (lag_) ns += lag_();
      // A track's frames in order of time, whatever its senders' clocks
      // did: where a clock steps back, they go on a frame apart, and come
      // back to their place an eighth of a frame at a time.
      shiftNs_ = std::max<int64_t>(0, shiftNs_ - frameNs / 8);
      ns += shiftNs_;
      if (stats_->lastNs >= 0 && ns < stats_->lastNs + kNsPerMs) {
        shiftNs_ += stats_->lastNs + apartNs - ns;
        ns = stats_->lastNs + apartNs;
      }
    }
    if (everEmitted_ && video_) {
      const int32_t step = int32_t(ts - lastEmittedTs_);
      if (step > 0 && (step_ == 0 || step < step_)) step_ = step;
    }
    everEmitted_ = true;
    lastEmittedTs_ = ts;
    for (const Packet& p : frame)
      if (!sink_->Push(track_, p.data.data(), p.data.size(), ns)) return false;
    ++stats_->frames;
    if (stats_->firstNs < 0) stats_->firstNs = ns;
    stats_->lastNs = ns;
    return true;
  }

  const Format format_;
  const bool video_;
  const int track_;
  TrackStats* stats_;
  PacketSink* sink_;
  const int64_t startMs_;  // the export's start, on the recorder's clock
  const int64_t limitNs_;
  const Lag lag_;

  bool started_ = false;
  int64_t next_ = 0, high_ = 0;  // extended sequence numbers
  std::map<int64_t, Packet> held_;

  std::vector<Packet> frame_, held1st_;
  uint32_t frameTs_ = 0, held1stTs_ = 0;
  bool frameMarker_ = false, broken_ = false;
  bool waitKey_ = true, everEmitted_ = false;
  bool havePrev_ = false;
  uint32_t prevTs_ = 0, lastEmittedTs_ = 0;
  int32_t step_ = 0;  // the shortest step between frames seen
  int64_t shiftNs_ = 0;  // how much later than placed the frames go
};

struct Cursor {
  int fd = -1;
  std::unique_ptr<DumpReader> reader;
  Record record;
  bool has = false;
  DumpReader::Status status = DumpReader::kOk;
  int64_t startMs = 0;
  ~Cursor() {
    if (fd >= 0) close(fd);
  }
};

class Walker : public RtcpHandler {
 public:
  Walker(const Session& session) : session_(session) {
    for (size_t i = 0; i < session.sources.size(); ++i) {
      const Source& s = session.sources[i];
      clocks_.emplace_back(s.format.clockRate ? s.format.clockRate : 90000);
      if (s.track < 0) continue;
      byKey_[{s.file, s.ssrc, s.payloadType}] = i;
      bySsrc_.emplace(std::make_pair(s.file, s.ssrc), i);
    }
  }

  // Calls f(source, packet, extended timestamp, arrival) for each RTP packet
  // of a source with a track, in order of arrival across the files, until
  // an arrival after `untilMs`, the first damage or a stop.
  template <typename F>
  int Walk(bool learning, int64_t untilMs, const volatile std::sig_atomic_t* stop, std::string* error, F f) {
    for (SourceClock& c : clocks_) c.Restart(learning);
    std::vector<Cursor> cursors(session_.files.size());
    for (size_t i = 0; i < cursors.size(); ++i) {
      Cursor& c = cursors[i];
      c.reader = OpenInput(session_.files[i], &c.fd);
      if (!c.reader) return *error = session_.files[i].path + ": " + std::strerror(errno), EX_NOINPUT;
      std::string text;
      FileHeader header;
      if (c.reader->ReadHeader(&text, &header) != DumpReader::kOk)
        return *error = session_.files[i].path + ": cannot be read again", EX_IOERR;
      c.startMs = session_.files[i].startMs;
      if (!Advance(&c, error)) return EX_IOERR;
    }
    RtpPacket p;
    for (;;) {
      if (stop && *stop) return *error = "interrupted", EX_TEMPFAIL;
      Cursor* next = nullptr;
      for (Cursor& c : cursors)
        if (c.has && (!next || c.startMs + c.record.offset < next->startMs + next->record.offset)) next = &c;
      if (!next) return 0;
      file_ = size_t(next - cursors.data());
      const int64_t arrival = next->startMs + next->record.offset;
      if (arrival > untilMs) return 0;
      arrival_ = arrival;
      const Record& r = next->record;
      if (r.plen == 0) {
        ParseRtcp(r.data, r.size, this);
      } else if (ParseRtp(r.data, r.size, &p)) {
        auto it = byKey_.find({file_, p.ssrc, p.payloadType});
        if (it != byKey_.end()) f(it->second, p, r, clocks_[it->second].Unwrap(p.timestamp, arrival), arrival);
      }
      // Damage ends the walk: the export goes up to it, not past it.
      if (!Advance(next, error)) return EX_IOERR;
      if (next->status == DumpReader::kBadRecord) return 0;
    }
  }

  SourceClock& Clock(size_t source) { return clocks_[source]; }
  std::vector<SourceClock>* Clocks() { return &clocks_; }

  void OnSenderReport(uint32_t ssrc, uint64_t ntp, uint32_t rtp) override {
    auto range = bySsrc_.equal_range({file_, ssrc});
    for (auto it = range.first; it != range.second; ++it) clocks_[it->second].Report(NtpToUnixMs(ntp), rtp, arrival_);
  }
  void OnCname(uint32_t, const std::string&) override {}

 private:
  bool Advance(Cursor* c, std::string* error) {
    c->status = c->reader->Next(&c->record);
    c->has = c->status == DumpReader::kOk;
    if (c->status == DumpReader::kIoError) *error = std::strerror(errno);
    return c->status != DumpReader::kIoError;
  }

  const Session& session_;
  std::vector<SourceClock> clocks_;
  std::map<std::tuple<size_t, uint32_t, int>, size_t> byKey_;
  std::multimap<std::pair<size_t, uint32_t>, size_t> bySsrc_;
  size_t file_ = 0;
  int64_t arrival_ = 0;
};

// Where each packet goes on the recorder's clock. Senders are kept in sync
// by the sender reports of each CNAME (or SSRC, where none was given),
// shifted onto the recorder's clock by the least delay any of their packets
// had; without reports, by the pace of their timestamps.
class Placer {
 public:
  Placer(const Session& session, std::vector<SourceClock>* clocks) : session_(session), clocks_(*clocks) {}

  // One packet of source `i` that arrived at `arrival`: its sender's clock,
  // and its group's least delay.
  void Learn(size_t i, int64_t ext, int64_t arrival) {
    SourceClock& clock = clocks_[i];
    clock.LearnArrival(ext, arrival);
    double sent;
    if (clock.SenderMs(ext, &sent)) {
      auto [it, fresh] = delay_.try_emplace(Group(i), kNone);
      it->second = std::min(it->second, double(arrival) - sent);
    }
  }

  // The first walk: every packet learnt.
  int Learn(Walker* walker, int64_t untilMs, const volatile std::sig_atomic_t* stop, std::string* error) {
    return walker->Walk(true, untilMs, stop, error, [&](size_t i, const RtpPacket&, const Record&, int64_t ext, int64_t arrival) {
      Learn(i, ext, arrival);
    });
  }

  // Where RTP time `ext` of source `i` (of its clock's `segment`, -1: the
  // current) goes on the recorder's clock.
  double Place(size_t i, int64_t ext, int segment = -1) {
    const SourceClock& clock = clocks_[i];
    double at = clock.ArrivalMs(ext, segment), sent;
    auto d = delay_.find(Group(i));
    if (d != delay_.end() && clock.SenderMs(ext, &sent, segment)) at = sent + d->second;
    return at;
  }

  // How much later than placed the frames of source `i`'s sender go.
  int64_t& Lag(size_t i) { return lag_[Group(i)]; }

  // Where the export of a session from `origin` starts. A sender's first
  // packets, held up as it starts, are placed before the start though they
  // arrived after it: the export starts where the earliest of those is
  // placed, so that none is lost or squeezed.
  int Start(Walker* walker, int64_t origin, const volatile std::sig_atomic_t* stop, std::string* error, double* start) {
    *start = double(origin);
    return walker->Walk(false, origin + kEarlyMs, stop, error,
                        [&](size_t i, const RtpPacket&, const Record&, int64_t ext, int64_t arrival) {
                          if (arrival >= origin) *start = std::min(*start, Place(i, ext));
                        });
  }

 private:
  // Senders are grouped by CNAME, else by SSRC until one is known.
  const std::string& Group(size_t i) {
    if (i >= group_.size()) group_.resize(i + 1);
    std::string& g = group_[i];
    if (g.empty() || g[0] == 's') {
      const uint32_t ssrc = session_.sources[i].ssrc;
      if (auto c = session_.cnames.find(ssrc); c != session_.cnames.end())
        g = "cname " + c->second;
      else if (g.empty())
        g = "ssrc " + std::to_string(ssrc);
    }
    return g;
  }

  const Session& session_;
  std::vector<SourceClock>& clocks_;
  std::vector<std::string> group_;
  std::map<std::string, double> delay_;
  std::map<std::string, int64_t> lag_;
};

}  // namespace

int FeedSession(const Session& session, const FeedOptions& o, PacketSink* sink, std::vector<TrackStats>* stats,
                std::string* error) {
  const int64_t origin = session.OriginMs() + session.skipMs;
  const int64_t until = o.limitMs == INT64_MAX ? INT64_MAX : origin + (o.limitMs - o.baseMs) + kTailMs;
  Walker walker(session);
  Placer placer(session, walker.Clocks());
  double start;
  if (int status = placer.Learn(&walker, until, o.stop, error)) return status;
  if (int status = placer.Start(&walker, origin, o.stop, error, &start)) return status;
  if (o.leadMs) *o.leadMs = std::llround(double(origin) - start);

  const int64_t limitNs = o.limitMs == INT64_MAX ? INT64_MAX : o.limitMs * 1000000;
  std::vector<std::unique_ptr<SourceQueue>> queues;
  for (const Source& s : session.sources)
    queues.push_back(s.track < 0 ? nullptr
                                 : std::make_unique<SourceQueue>(s.format, s.track, &(*stats)[size_t(s.track)], sink, origin,
                                                               limitNs));
  bool sinkOk = true;
  uint64_t count = 0;
  int status = walker.Walk(false, until, o.stop, error, [&](size_t i, const RtpPacket& p, const Record& r, int64_t ext, int64_t arrival) {
    if (!sinkOk) return;
    const double ms = double(o.baseMs) + placer.Place(i, ext) - start;
    sinkOk = queues[i]->Add(p.seq, r.data, r.size, arrival, std::llround(ms * 1e6));
    if (o.progress && ++count % 1024 == 0) o.progress(o.baseMs + arrival - origin);
  });
  if (status) return status;
  for (auto& q : queues)
    if (sinkOk && q) sinkOk = q->Flush();
  if (!sinkOk) return *error = "", EX_SOFTWARE;
  return 0;
}

namespace {

// A source not identified after this many packets is left out.
constexpr size_t kMaxPending = 3000;
// Reports kept of a sender not seen yet: the last few, of so many senders.
constexpr size_t kEarlyReports = 2, kEarlySenders = 256;
// Records read from a file at one step: catching up on a long recording
// holds no more than this many at once.
constexpr int kRecordsAtOnce = 4096;

}  // namespace

struct LiveFeed::File {
  int fd = -1;
  std::unique_ptr<DumpReader> reader;
  bool started = false, damaged = false, recording = false, grew = false;
  bool more = false;  // stopped reading before the end
  int64_t lastMs = INT64_MIN;  // arrival of the last record read
  std::map<std::pair<uint32_t, int>, size_t> index;  // sources by SSRC and payload type
  ~File() {
    if (fd >= 0) close(fd);
  }
};

// A packet learnt, waiting to be fed.
struct LiveFeed::Held {
  size_t source;
  uint16_t seq;
  std::vector<uint8_t> data;
  int64_t arrival, ext;
  int segment;
};

// What arrived of a source before it was identified: its packets and
// sender reports, taken in order once it is.
struct Pending {
  bool report = false;
  uint64_t ntp = 0;
  uint32_t rtp = 0;
  std::vector<uint8_t> data;
  int64_t arrival = 0;
};

struct LiveFeed::State {
  std::vector<std::unique_ptr<File>> files;
  std::vector<SourceClock> clocks;  // per source, once identified
  std::vector<int> known;           // per source: 0 not yet, 1 identified, -1 left out
  std::vector<std::vector<Pending>> pending;
  std::map<std::pair<size_t, uint32_t>, std::vector<Pending>> early;  // reports by file and SSRC of no source yet
  std::vector<std::unique_ptr<SourceQueue>> queues;
  std::unique_ptr<Placer> placer;
  std::vector<std::deque<Held>> held;  // per file, in order of arrival
  size_t file = 0;  // of the record being read
  int64_t arrival = 0;
  int64_t recordedMs = INT64_MIN;  // the recorder's clock when last seen recording
};

LiveFeed::LiveFeed(std::vector<Session>* sessions, const Overrides& overrides, int64_t holdMs)
    : sessions_(*sessions), overrides_(overrides), holdMs_(holdMs) {}

LiveFeed::~LiveFeed() = default;

void LiveFeed::OnSenderReport(uint32_t ssrc, uint64_t ntp, uint32_t rtp) {
  State& st = *state_;
  const Session& session = sessions_[current_];
  bool seen = false;
  for (size_t i = 0; i < st.known.size(); ++i) {
    if (session.sources[i].file != st.file || session.sources[i].ssrc != ssrc) continue;
    seen = true;
    if (st.known[i] == 1) st.clocks[i].Report(NtpToUnixMs(ntp), rtp, st.arrival);
    if (st.known[i] == 0) st.pending[i].push_back({true, ntp, rtp, {}, st.arrival});
  }
  if (seen) return;
  // A sender may report before its first packet: the source it will be
  // learns from it.
  const std::pair<size_t, uint32_t> key(st.file, ssrc);
  if (st.early.size() >= kEarlySenders && !st.early.count(key)) return;
  std::vector<Pending>& early = st.early[key];
  if (early.size() == kEarlyReports) early.erase(early.begin());
  early.push_back({true, ntp, rtp, {}, st.arrival});
}

void LiveFeed::Take(size_t i, const Record& r, int64_t arrival) {
  State& st = *state_;
  RtpPacket p;
  if (!ParseRtp(r.data, r.size, &p)) return;
  const int64_t ext = st.clocks[i].Unwrap(p.timestamp, arrival);
  st.placer->Learn(i, ext, arrival);
  st.held[st.file].push_back({i, p.seq, std::vector<uint8_t>(r.data, r.data + r.size), arrival, ext, st.clocks[i].segment()});
}

void LiveFeed::Await(size_t i, const Record& r, int64_t arrival) {
  State& st = *state_;
  Source& s = sessions_[current_].sources[i];
  if (s.packets < kMinPackets || !IdentifySource(&s, overrides_)) {
    st.pending[i].push_back({false, 0, 0, std::vector<uint8_t>(r.data, r.data + r.size), arrival});
    if (st.pending[i].size() <= kMaxPending) return;
    st.known[i] = -1;
    st.pending[i].clear();
    notes.push_back(sessions_[current_].files[s.file].path + ": SSRC " + std::to_string(s.ssrc) + ", payload type " +
                    std::to_string(s.payloadType) + ": format not identified, left out; name it with -m");
    return;
  }
  // Identified: what came before it is taken in order; this packet next.
  st.known[i] = 1;
  st.clocks[i] = SourceClock(s.format.clockRate ? s.format.clockRate : 90000);
  for (const Pending& e : st.pending[i]) {
    st.arrival = e.arrival;
    if (e.report)
      st.clocks[i].Report(NtpToUnixMs(e.ntp), e.rtp, e.arrival);
    else
      Take(i, Record{uint16_t(e.data.size()), 0, e.data.data(), e.data.size()}, e.arrival);
  }
  st.pending[i].clear();
  st.arrival = arrival;
}

bool LiveFeed::ReadFile(size_t f, std::string* error) {
  Session& session = sessions_[current_];
  State& st = *state_;
  File& file = *st.files[f];
  InputFile& in = session.files[f];
  if (file.fd < 0 && (file.fd = OpenDumpFile(in.path)) < 0) return *error = in.path + ": " + std::strerror(errno), false;
  file.recording = BeingRecorded(file.fd);
  file.grew = false;
  if (!file.started) {
    // The recorder may not have written the whole header yet.
    lseek(file.fd, 0, SEEK_SET);
    file.reader = std::make_unique<DumpReader>(file.fd);
    std::string text;
    FileHeader header;
    if (file.reader->ReadHeader(&text, &header) != DumpReader::kOk) {
      if (file.recording) return true;
      return *error = in.path + ": " + StatusText(DumpReader::kNotDump), false;
    }
    file.started = file.grew = true;
    in.startMs = in.lastMs = int64_t(header.startSec) * 1000 + header.startUsec / 1000;
  }
  if (file.damaged) return true;
  file.reader->Resume();
  Record r;
  DumpReader::Status status = DumpReader::kOk;
  for (int count = 0;; ++count) {
    if ((file.more = count == kRecordsAtOnce) || (status = file.reader->Next(&r)) != DumpReader::kOk) break;
    file.grew = true;
    const int64_t arrival = file.lastMs = in.startMs + r.offset;
    latestMs_ = std::max(latestMs_, arrival);
    ScanRecord(&session, f, r, &file.index);
    const size_t n = session.sources.size(), before = st.known.size();
    st.clocks.resize(n, SourceClock(90000)), st.known.resize(n, 0), st.pending.resize(n), st.queues.resize(n);
    for (size_t i = before; i < n; ++i)
      if (auto e = st.early.find({f, session.sources[i].ssrc}); e != st.early.end()) st.pending[i] = e->second;
    st.file = f;
    st.arrival = arrival;
    if (r.plen == 0) {
      ParseRtcp(r.data, r.size, this);
      continue;
    }
    RtpPacket p;
    if (!ParseRtp(r.data, r.size, &p)) continue;
    const size_t i = file.index.at({p.ssrc, p.payloadType});
    if (st.known[i] == 0) Await(i, r, arrival);
    if (st.known[i] == 1) Take(i, r, arrival);
  }
  if (status == DumpReader::kBadRecord || status == DumpReader::kNotDump) {
    file.damaged = true;
    notes.push_back(in.path + ": damaged at byte " + std::to_string(file.reader->Position()) + "; followed up to there");
  }
  if (status == DumpReader::kIoError) return *error = in.path + ": " + std::strerror(errno), false;
  return true;
}

bool LiveFeed::Release(int64_t untilMs, PacketSink* sink) {
  Session& session = sessions_[current_];
  State& st = *state_;
  const int64_t origin = session.OriginMs() + session.skipMs;
  // In order of arrival across the files, as the pipeline wants them when
  // much is fed at once (catching up).
  for (;;) {
    std::deque<Held>* next = nullptr;
    for (std::deque<Held>& q : st.held)
      if (!q.empty() && q.front().arrival <= untilMs && (!next || q.front().arrival < next->front().arrival)) next = &q;
    if (!next) break;
    Held& h = next->front();
    Source& s = session.sources[h.source];
    if (!st.queues[h.source]) {
      s.track = cast_.Enlist(session, s);
      if (stats.size() < cast_.cast.inputs.size()) {
        stats.resize(cast_.cast.inputs.size());
        Spans();
        if (onCast) onCast(cast_.cast);
      }
      st.queues[h.source] =
          std::make_unique<SourceQueue>(s.format, s.track, &stats[size_t(s.track)], sink, origin, INT64_MAX,
                                        [placer = st.placer.get(), i = h.source]() -> int64_t& { return placer->Lag(i); });
    }
    const double ms = double(baseMs_) + st.placer->Place(h.source, h.ext, h.segment) - double(origin);
    if (!st.queues[h.source]->Add(h.seq, h.data.data(), h.data.size(), h.arrival, std::llround(ms * 1e6))) return false;
    next->pop_front();
  }
  if (untilMs != INT64_MAX && untilMs != INT64_MIN) positionMs_ = std::max(positionMs_, baseMs_ + untilMs - origin);
  return true;
}

void LiveFeed::Spans() {
  for (Participant& p : cast_.cast.people) p.audio.clear(), p.video.clear();
  int64_t base = 0;
  for (size_t n = 0; n <= current_ && n < sessions_.size(); ++n) {
    const Session& s = sessions_[n];
    for (const Source& src : s.sources)
      if (src.track >= 0) cast_.Learn(s, src);
    for (const Source& src : s.sources)
      if (src.track >= 0) cast_.AddSpans(src, base, base - s.OriginMs() - s.skipMs);
    base += s.LengthMs();
  }
  cast_.Join();
}

int LiveFeed::Step(PacketSink* sink, int64_t nowMs, bool last, bool* ended, bool* more, std::string* error) {
  *ended = *more = false;
  while (current_ < sessions_.size()) {
    Session& session = sessions_[current_];
    if (!state_) {
      state_ = std::make_unique<State>();
      for (size_t f = 0; f < session.files.size(); ++f) state_->files.push_back(std::make_unique<File>());
      state_->held.resize(session.files.size());
      state_->placer = std::make_unique<Placer>(session, &state_->clocks);
      latestMs_ = INT64_MIN;
    }
    bool started = true, going = false, recording = false;
    // While a file has more to read, nothing goes further than it was read.
    int64_t read = INT64_MAX;
    for (size_t f = 0; f < session.files.size(); ++f) {
      if (!ReadFile(f, error)) return EX_NOINPUT;
      const File& file = *state_->files[f];
      started = started && file.started;
      going = going || file.recording || file.grew;
      recording = recording || file.recording;
      if (file.more) *more = true, read = std::min(read, file.lastMs);
    }
    going = going && !last;
    if (!started && !last) return 0;
    // The recorder's clock goes on while it records, whoever sends; a file
    // that merely grew (caught up on after its recording) goes as far as
    // what was read.
    if (recording) state_->recordedMs = std::max(latestMs_, nowMs);
    const int64_t until = !going ? INT64_MAX : (recording ? state_->recordedMs : latestMs_) - holdMs_;
    if (!Release(std::min(until, read), sink)) return *error = "", EX_SOFTWARE;
    Spans();
    if (going || *more) return 0;
    for (auto& q : state_->queues)
      if (q && !q->Flush()) return *error = "", EX_SOFTWARE;
    // Seen being recorded, the session lasts until its recording ended,
    // which the picture has been showing, whoever sent last.
    if (state_->recordedMs != INT64_MIN)
      positionMs_ = std::max(positionMs_, baseMs_ + state_->recordedMs - session.OriginMs() - session.skipMs);
    baseMs_ += session.LengthMs();
    positionMs_ = std::max(positionMs_, baseMs_);
    state_.reset();
    current_ = last ? sessions_.size() : current_ + 1;
  }
  *ended = true;
  return 0;
}

}  // namespace rtptools
