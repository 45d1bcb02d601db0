#include "frames.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "udp.h"

using namespace rtptools;

namespace {

constexpr uint32_t kStartSec = 1700000000;

std::string Rtp(uint8_t pt, uint16_t seq, uint32_t ts, uint32_t ssrc, const std::string& payload, bool marker = true) {
  uint8_t h[12] = {0x80, uint8_t(pt | (marker ? 0x80 : 0))};
  Put16(h + 2, seq);
  Put32(h + 4, ts);
  Put32(h + 8, ssrc);
  return std::string(reinterpret_cast<char*>(h), 12) + payload;
}

// A sender report for wall clock `ms` after the start, and the sender's CNAME.
std::string Report(uint32_t ssrc, int64_t ms, uint32_t rtp, const std::string& cname) {
  uint8_t sr[28] = {0x80, 200, 0, 6};
  const uint64_t ntp = (uint64_t(kStartSec) + 2208988800u + uint64_t(ms / 1000)) << 32 | uint64_t(ms % 1000) * 4294967;
  Put32(sr + 4, ssrc);
  Put32(sr + 8, uint32_t(ntp >> 32));
  Put32(sr + 12, uint32_t(ntp));
  Put32(sr + 16, rtp);
  std::string sdes = std::string("\x81\xca\x00\x00", 4) + std::string(4, '\0') + "\x01" + char(cname.size()) + cname;
  sdes.append(4 - sdes.size() % 4, '\0');
  Put16(reinterpret_cast<uint8_t*>(&sdes[2]), uint16_t(sdes.size() / 4 - 1));
  Put32(reinterpret_cast<uint8_t*>(&sdes[4]), ssrc);
  return std::string(reinterpret_cast<char*>(sr), 28) + sdes;
}

struct Pushed {
  int track;
  uint16_t seq;
  int64_t ns;
};
struct Recorder : PacketSink {
  std::vector<Pushed> pushed;
  bool Push(int track, const uint8_t* rtp, size_t, int64_t ns) override {
    pushed.push_back({track, Get16(rtp + 2), ns});
    return true;
  }
};

// The files as one session, identified, given tracks and fed.
struct Exported {
  Session session;
  std::vector<Track> tracks;
  std::vector<TrackStats> stats;
  Recorder sink;
};
void Export(const TempDir& dir, const std::vector<std::vector<DumpRecord>>& files, Exported* e, int64_t skipMs = 0) {
  std::vector<Session> sessions(1);
  for (size_t i = 0; i < files.size(); ++i) {
    WriteDump(dir / std::to_string(i), "x/5004", files[i], {kStartSec, 0, 0, 5004});
    sessions[0].files.push_back({dir / std::to_string(i)});
  }
  std::string error;
  std::vector<std::string> notes;
  ASSERT_EQ(ScanSession(&sessions[0], &error), 0) << error;
  ASSERT_TRUE(IdentifySources(&sessions, {}, &notes, &error)) << error;
  e->tracks = AssignTracks(&sessions);
  e->session = sessions[0];
  e->session.skipMs = skipMs;
  e->stats.resize(e->tracks.size());
  ASSERT_EQ(FeedSession(e->session, {}, &e->sink, &e->stats, &error), 0) << error;
}

// PCMU, 20 ms a packet, sent from `fromMs` on; arrival `delayMs` later.
std::vector<DumpRecord> Audio(uint32_t ssrc, int count, int fromMs = 0, int delayMs = 0) {
  std::vector<DumpRecord> r;
  for (int i = 0; i < count; ++i) {
    const std::string p = Rtp(0, uint16_t(i), uint32_t(1000 + (fromMs + i * 20) * 8), ssrc, std::string(160, 'a'));
    r.push_back({uint16_t(p.size()), uint32_t(fromMs + i * 20 + delayMs), p});
  }
  return r;
}

const std::string kKey("\x10\x00\x00\x00\x9d\x01\x2a\x40\x01\xf0\x00", 11), kInter("\x10\x01\x00\x00\x00", 5);

// VP8 at 25 frames a second, two packets a frame, a key frame every tenth.
std::vector<DumpRecord> Video(uint32_t ssrc, int frames, int delayMs = 0) {
  std::vector<DumpRecord> r;
  for (int f = 0; f < frames; ++f)
    for (int k = 0; k < 2; ++k) {
      const std::string p = Rtp(96, uint16_t(2 * f + k), uint32_t(5000 + f * 3600), ssrc,
                                k ? std::string("\x00\xaa\xbb", 3) : f % 10 ? kInter : kKey, k == 1);
      r.push_back({uint16_t(p.size()), uint32_t(f * 40 + delayMs), p});
    }
  return r;
}

// Sender reports at 0.5 s and every second after, telling the true times.
void AddReports(std::vector<DumpRecord>* r, uint32_t ssrc, uint32_t base, int rate, int delayMs, int until) {
  for (int ms = 500; ms < until; ms += 1000) {
    DumpRecord d{0, uint32_t(ms + delayMs), Report(ssrc, ms, uint32_t(base + int64_t(ms) * rate / 1000), "alice")};
    r->insert(std::upper_bound(r->begin(), r->end(), d, [](auto& a, auto& b) { return a.offset < b.offset; }), d);
  }
}

}  // namespace

TEST(Frames, PacketsArePutBackInOrderAndLossesLeaveAGap) {
  TempDir dir;
  std::vector<DumpRecord> a = Audio(1, 100, 0, 100);
  std::swap(a[10].data, a[11].data);  // arrived the other way round
  a.insert(a.begin() + 31, {a[29].plen, a[30].offset, a[29].data});  // a duplicate
  a.erase(a.begin() + 20);            // lost
  for (size_t i = 49; i < a.size(); ++i) a[i].offset += 3000;  // held up on the way
  Put32(reinterpret_cast<uint8_t*>(&a[0].data[4]), 1000 + 52);  // stamped late, as a clipped look-ahead is
  Exported e;
  Export(dir, {a}, &e);
  ASSERT_EQ(e.sink.pushed.size(), 99u);
  for (size_t i = 1; i < e.sink.pushed.size(); ++i) {
    EXPECT_LT(e.sink.pushed[i - 1].seq, e.sink.pushed[i].seq) << i;
    EXPECT_LT(e.sink.pushed[i - 1].ns, e.sink.pushed[i].ns) << i;
  }
  EXPECT_EQ(e.stats[0].frames, 99u);
  EXPECT_EQ(e.stats[0].lost, 1u);
  // Placed by the pace of its timestamps, not by when each arrived.
  EXPECT_EQ(e.sink.pushed[20].ns - e.sink.pushed[19].ns, 40000000);
  EXPECT_EQ(e.sink.pushed[48].ns - e.sink.pushed[47].ns, 20000000);  // across the hold-up
  EXPECT_EQ(e.sink.pushed[1].ns - e.sink.pushed[0].ns, 20000000);    // the first plays whole before the next
}

// A sender's first packet held up as it starts, 15 ms behind the pace of the
// others: placed before the recording's start, yet recorded after it, so
// kept: the export starts with it, the others as far after it as they
// were sent. From a later start, what arrived before it is left out.
TEST(Frames, WhatArrivedAfterTheStartIsKeptWhereverItsClockPutsIt) {
  const struct { int64_t skipMs, frames, firstSeq, firstNs; } cases[] = {{0, 50, 0, 0}, {500, 24, 26, 5000000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.skipMs);
    TempDir dir;
    std::vector<DumpRecord> a = Audio(1, 50);
    for (size_t i = 1; i < a.size(); ++i) a[i].offset -= 15;
    a[0].offset = 2;
    Exported e;
    Export(dir, {a}, &e, c.skipMs);
    ASSERT_EQ(e.stats[0].frames, uint64_t(c.frames));
    EXPECT_EQ(e.sink.pushed[0].seq, c.firstSeq);
    EXPECT_EQ(e.sink.pushed[0].ns, c.firstNs);
    EXPECT_EQ(e.sink.pushed[1].ns - e.sink.pushed[0].ns, 20000000);  // moved, not squeezed
  }
}

TEST(Frames, SenderReportsKeepMediaInSyncWhenOneArrivesLate) {
  for (bool reports : {true, false}) {
    TempDir dir;
    std::vector<DumpRecord> a = Audio(1, 150), v = Video(2, 75, 300);  // video 300 ms behind
    if (reports) {
      AddReports(&a, 1, 1000, 8000, 0, 3000);
      AddReports(&v, 2, 5000, 90000, 300, 3000);
    }
    Exported e;
    Export(dir, {a, v}, &e);
    ASSERT_EQ(e.tracks.size(), 2u);
    // Sent at 2 s: audio packet 100, video frame 50 (its first packet, 100).
    std::map<int, int64_t> at;
    for (const Pushed& p : e.sink.pushed)
      if (p.seq == 100) at[p.track] = p.ns;
    const double skewMs = double(at[1] - at[0]) / 1e6;
    EXPECT_NEAR(skewMs, reports ? 0 : 300, 2) << (reports ? "with" : "without") << " sender reports";
  }
}

// A frame cut short, or frames lost whole (counted from the shortest step
// between frames), then the frames up to the next key frame: all lost.
TEST(Frames, VideoAfterALossWaitsForAKeyFrame) {
  const struct { const char* name; int from, count; } cases[] = {{"the end of frame 12", 2 * 12 + 1, 1},
                                                                 {"frames 12 and 13", 2 * 12, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<DumpRecord> v = Video(2, 30);
    v.erase(v.begin() + c.from, v.begin() + c.from + c.count);
    Exported e;
    Export(dir, {v}, &e);
    EXPECT_EQ(e.stats[0].frames, 22u);  // 0..11 and 20..29
    EXPECT_EQ(e.stats[0].lost, 8u);
    EXPECT_EQ(e.sink.pushed[2 * 12].seq, 2 * 20);
  }
}

TEST(Frames, ARestartedSenderKeepsItsTrackAndSendersAtOnceHaveTheirOwn) {
  TempDir dir;
  std::vector<DumpRecord> a = Audio(1, 50), b = Audio(2, 50, 2000), c = Audio(3, 50, 500);
  a.insert(a.end(), b.begin(), b.end());
  c.insert(c.begin(), {0, 400, Report(3, 400, 1000, "bob")});
  std::vector<DumpRecord> all;
  std::merge(a.begin(), a.end(), c.begin(), c.end(), std::back_inserter(all),
             [](auto& x, auto& y) { return x.offset < y.offset; });
  Exported e;
  Export(dir, {all}, &e);
  ASSERT_EQ(e.tracks.size(), 2u);
  EXPECT_EQ(e.tracks[1].name, "bob");
  EXPECT_EQ(e.stats[0].frames, 100u);
  EXPECT_EQ(e.stats[1].frames, 50u);
}
