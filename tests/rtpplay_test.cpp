// The player run as a user or confrec would run it, to receivers on loopback.
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "udp_helpers.h"

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// RTP every `step` ms from 0 to `last` ms, an RTCP report every 4th.
std::vector<DumpRecord> Records(uint32_t step, uint32_t last, uint32_t ssrc) {
  std::vector<DumpRecord> r;
  for (uint32_t t = 0, i = 0; t <= last; t += step, ++i) {
    std::string p = RtpPacket(uint16_t(i), ssrc, 100 + i);
    if (i % 4 == 3)
      r.push_back({0, t, RtcpReport(ssrc, i)});
    else
      r.push_back({uint16_t(p.size()), t, p});
  }
  return r;
}

struct Received {
  std::vector<std::string> rtp, rtcp;
};

// Receives on PORT and PORT + 1 until the player ends and the queues are empty.
Received Receive(int rtpFd, int rtcpFd) {
  Received r;
  r.rtp = ReceiveUpTo(rtpFd, 100000, 0.2);
  r.rtcp = ReceiveUpTo(rtcpFd, 100000, 0.05);
  return r;
}

void ExpectPlayed(const Received& got, const std::vector<DumpRecord>& records, uint32_t from) {
  std::vector<std::string> rtp, rtcp;
  for (const DumpRecord& r : records) {
    if (r.offset < from) continue;
    (r.plen == 0 ? rtcp : rtp).push_back(r.data);
  }
  EXPECT_TRUE(SameDatagrams(got.rtp, rtp)) << "RTP";
  EXPECT_TRUE(SameDatagrams(got.rtcp, rtcp)) << "RTCP";
}

struct Receivers {
  explicit Receivers(const std::string& host) : host(host), port(FreePortPair()) {
    rtp = BindUdp(host, port);
    rtcp = BindUdp(host, uint16_t(port + 1));
  }
  ~Receivers() {
    close(rtp);
    close(rtcp);
  }
  std::string Target(const std::string& ttl = "/1") const {
    return host + "/" + std::to_string(port) + ttl;
  }
  std::string host;
  uint16_t port;
  int rtp, rtcp;
};

TEST(RtpplayPlays, EveryRecordToItsPortNeverEarly) {
  for (std::string host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    TempDir dir;
    std::vector<DumpRecord> records = Records(25, 600, 1);
    records[2].plen = 1500;  // stored short of its length: sent as stored
    WriteDump(dir / "s.rtp", "0.0.0.0/0", records);
    Receivers rx(host);
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const double spawned = double(ts.tv_sec) + ts.tv_nsec / 1e9;
    Process play({RTPPLAY_BIN, "-f", dir / "s.rtp", "-o", "0", rx.Target()});
    ASSERT_TRUE(play.Wait(10));
    EXPECT_TRUE(play.ExitedWith(0)) << play.Err();
    // Everything is queued by now, stamped with its arrival.
    std::vector<Arrival> arrivals = ReceiveTimed(rx.rtp, 100000, 0.2);
    Received got;
    got.rtcp = ReceiveUpTo(rx.rtcp, 100000, 0.05);
    // The player may be late, never early: no record arrives before its
    // offset has passed since the player was started.
    std::vector<uint32_t> offsets;
    for (const DumpRecord& r : records)
      if (r.plen != 0) offsets.push_back(r.offset);
    for (size_t i = 0; i < arrivals.size() && i < offsets.size(); ++i)
      EXPECT_GE(arrivals[i].when - spawned, offsets[i] / 1000.0 - 0.001) << "datagram " << i;
    for (Arrival& a : arrivals) got.rtp.push_back(a.data);
    ExpectPlayed(got, records, 0);
  }
}

TEST(RtpplayPlays, OffsetSkipsEarlierRecordsAndStartsTheTimelineThere) {
  TempDir dir;
  std::vector<DumpRecord> records = Records(100, 3000, 2);
  WriteDump(dir / "s.rtp", "h/2", records);
  Receivers rx("127.0.0.1");
  const double start = Now();
  RunResult r = RunProgram({RTPPLAY_BIN, "-f", dir / "s.rtp", "-o", "2s", rx.Target()}, {}, 10);
  // 1 s of the recording remains to be played, not 3.
  EXPECT_LT(Now() - start, 2.5);
  EXPECT_GE(Now() - start, 1.0 - 0.01);
  EXPECT_TRUE(r.ExitedWith(0)) << r.err;
  ExpectPlayed(Receive(rx.rtp, rx.rtcp), records, 2000);
}

TEST(RtpplayPlays, OffsetIsReadAsConfrecReadsNumbers) {
  TempDir dir;
  std::vector<DumpRecord> records = Records(10, 100, 3);
  WriteDump(dir / "s.rtp", "h/2", records);
  Receivers rx("127.0.0.1");
  RunResult r = RunProgram({RTPPLAY_BIN, "-f", dir / "s.rtp", "-o", "abc", rx.Target()}, {}, 10);
  EXPECT_TRUE(r.ExitedWith(0)) << r.err;
  ExpectPlayed(Receive(rx.rtp, rx.rtcp), records, 0);
  r = RunProgram({RTPPLAY_BIN, "-f", dir / "s.rtp", "-o", "99999999999999", rx.Target()}, {}, 10);
  EXPECT_TRUE(r.ExitedWith(0)) << r.err;
  ExpectPlayed(Receive(rx.rtp, rx.rtcp), records, 0xFFFFFFFF);
}

TEST(RtpplayFiles, TruncatedFilePlaysItsCompleteRecordsEvenWithStderrClosed) {
  TempDir dir;
  std::vector<DumpRecord> records = Records(5, 100, 4);
  WriteDump(dir / "s.rtp", "h/2", records);
  std::string bytes = ReadFile(dir / "s.rtp");
  WriteFile(dir / "s.rtp", bytes.substr(0, bytes.size() - 5));
  records.pop_back();
  Receivers rx("127.0.0.1");
  ProcessOptions opt;
  opt.closeStderr = true;  // the warning about the cut must not go anywhere harmful
  RunResult r = RunProgram({RTPPLAY_BIN, "-f", dir / "s.rtp", rx.Target()}, opt, 10);
  EXPECT_TRUE(r.ExitedWith(0));
  ExpectPlayed(Receive(rx.rtp, rx.rtcp), records, 0);
  EXPECT_EQ(ReadFile(dir / "s.rtp"), bytes.substr(0, bytes.size() - 5));
}

TEST(RtpplayFiles, NonDumpFileSendsNothingAndIs65) {
  TempDir dir;
  Receivers rx("127.0.0.1");
  WriteFile(dir / "notes.txt", "SessionsRecorded = 1\nTimeRecorded0 = 1\n");
  WriteFile(dir / "bad.rtp", "#!rtpplay1.0 h/2\n" + std::string(16, '\0') + std::string(8, '\0'));
  RunResult r = RunProgram({RTPPLAY_BIN, "-f", dir / "notes.txt", rx.Target()}, {}, 10);
  EXPECT_TRUE(r.ExitedWith(65)) << r.err;
  EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  // A record claiming to be shorter than its own header.
  r = RunProgram({RTPPLAY_BIN, "-f", dir / "bad.rtp", rx.Target()}, {}, 10);
  EXPECT_TRUE(r.ExitedWith(65)) << r.err;
  Received got = Receive(rx.rtp, rx.rtcp);
  EXPECT_TRUE(got.rtp.empty());
  EXPECT_TRUE(got.rtcp.empty());
}

TEST(RtpplayStatus, UsageHostAndFileErrors) {
  TempDir dir;
  WriteDump(dir / "s.rtp", "h/2", Records(10, 10, 5));
  const std::string f = dir / "s.rtp";
  for (std::vector<std::string> args :
       {std::vector<std::string>{}, {"-f", f}, {"127.0.0.1/5004/1"}, {"-f", f, "127.0.0.1/5004/256"},
        {"-f", f, "127.0.0.1/5004/-1"}, {"-f", f, "127.0.0.1/65535/1"}, {"-f", f, "127.0.0.1/0/1"},
        {"-f", f, "127.0.0.1"}, {"-q", "-f", f, "127.0.0.1/5004/1"},
        {"-f", f, "127.0.0.1/5004/1", "127.0.0.1/5006/1"}}) {
    args.insert(args.begin(), RTPPLAY_BIN);
    RunResult r = RunProgram(args, {}, 10);
    EXPECT_TRUE(r.ExitedWith(64)) << args.size() << ": " << r.err;
  }
  RunResult r = RunProgram({RTPPLAY_BIN, "-f", dir / "missing.rtp", "127.0.0.1/5004/1"}, {}, 10);
  EXPECT_TRUE(r.ExitedWith(66)) << r.err;
  r = RunProgram({RTPPLAY_BIN, "-f", dir.Path(), "127.0.0.1/5004/1"}, {}, 10);
  EXPECT_TRUE(r.ExitedWith(66)) << r.err;
  r = RunProgram({RTPPLAY_BIN, "-f", f, "nosuch.invalid/5004/1"}, {}, 20);
  EXPECT_TRUE(r.ExitedWith(68)) << r.err;
  RunResult help = RunProgram({RTPPLAY_BIN, "-h"});
  EXPECT_TRUE(help.ExitedWith(0));
  for (const char* status : {" 64 ", " 65 ", " 66 ", " 68 ", " 71 ", " 74 "})
    EXPECT_NE(help.out.find(status), std::string::npos) << status;
}

}  // namespace
