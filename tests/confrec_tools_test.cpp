// confrec driving the real recorder and player, found on PATH, on loopback.
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "udp_helpers.h"

namespace {

TEST(ConfrecWithTools, RecordingStoppedByTheInterruptKeyKeepsEveryDatagram) {
  TempDir dir;
  const uint16_t audio = FreePortPair();
  uint16_t video = FreePortPair();
  while (video == audio) video = FreePortPair();
  ProcessOptions opt = InDir(dir);
  opt.newProcessGroup = true;
  Process confrec({CONFREC_BIN, "-r", "-c", "talk", "-a", "127.0.0.1/" + std::to_string(audio),
                   "-v", "127.0.0.1/" + std::to_string(video)},
                  opt);
  // Each recorder has bound its ports once its file holds a header.
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.a.rtp", 40, 5)) << confrec.Err();
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.v.rtp", 40, 5)) << confrec.Err();

  const std::vector<Sent> a = Stream(50, 0xA), v = Stream(50, 0xB);
  SendStream("127.0.0.1", audio, a);
  SendStream("127.0.0.1", video, v);
  confrec.SignalGroup(SIGINT);
  ASSERT_TRUE(confrec.Wait(10));
  EXPECT_TRUE(confrec.ExitedWith(0)) << confrec.Err();
  EXPECT_EQ(confrec.Err(), "Child died with signal 2\nChild died with signal 2\n");
  EXPECT_EQ(ReadFile(dir / "talk.cf").rfind("SessionsRecorded = 1\n", 0), 0u) << ReadFile(dir / "talk.cf");

  for (auto [file, sent] : {std::pair{"talk.0.a.rtp", &a}, std::pair{"talk.0.v.rtp", &v}}) {
    SCOPED_TRACE(file);
    DumpContents c = ReadDump(dir / file);
    EXPECT_EQ(c.end, rtptools::DumpReader::kEnd);
    ExpectRecorded(c, *sent);
  }
}

TEST(ConfrecWithTools, DecimalDurationEndsTheRecordingByItself) {
  TempDir dir;
  const uint16_t port = FreePortPair();
  timespec begin, end;
  clock_gettime(CLOCK_MONOTONIC, &begin);
  Process confrec({CONFREC_BIN, "-r", "-c", "talk", "-t", "0.05", "-a", "127.0.0.1/" + std::to_string(port)},
                  InDir(dir));
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.a.rtp", 40, 5)) << confrec.Err();
  const std::vector<Sent> sent = Stream(20, 0xA);
  SendStream("127.0.0.1", port, sent);
  ASSERT_TRUE(confrec.Wait(20));
  clock_gettime(CLOCK_MONOTONIC, &end);
  EXPECT_TRUE(confrec.ExitedWith(0));
  EXPECT_EQ(confrec.Err(), "");
  // 0.05 minutes is 3 s, not 0 and not a minute.
  EXPECT_GE(double(end.tv_sec - begin.tv_sec) + (end.tv_nsec - begin.tv_nsec) / 1e9, 3.0);
  EXPECT_EQ(ReadFile(dir / "talk.cf"), "SessionsRecorded = 1\nTimeRecorded0 = 0.05\n");
  ExpectRecorded(ReadDump(dir / "talk.0.a.rtp"), sent);
}

// A conference of two one-minute sessions, each with audio and video records
// from 0 to 1500 ms, payloads telling session, medium and sequence apart.
struct Conference {
  explicit Conference(const TempDir& dir) {
    WriteFile(dir / "talk.cf", "SessionsRecorded = 2\nTimeRecorded0 = 1\nTimeRecorded1 = 1\n");
    for (int s = 0; s < 2; ++s) {
      for (char m : {'a', 'v'}) {
        std::vector<DumpRecord> records;
        const uint32_t ssrc = uint32_t(s * 16 + (m == 'a' ? 0xA : 0xB));
        for (uint32_t t = 0, i = 0; t <= 1500; t += 100, ++i) {
          std::string p = RtpPacket(uint16_t(i), ssrc, 100);
          records.push_back({uint16_t(p.size()), t, p});
          if (i % 5 == 4) records.push_back({0, t, RtcpReport(ssrc, i)});
        }
        sessions[s][m == 'a' ? 0 : 1] = records;
        WriteDump(dir / ("talk." + std::to_string(s) + "." + m + ".rtp"), "127.0.0.1/5004", records);
      }
    }
  }
  std::vector<DumpRecord> sessions[2][2];  // [session][audio, video]
};

// Everything arriving on the sockets, with the kernel's arrival times, until
// `quiet` seconds pass with nothing, at most `limit` seconds.
std::vector<std::vector<Arrival>> Collect(const std::vector<int>& fds, double quiet, double limit) {
  std::vector<std::vector<Arrival>> got(fds.size());
  auto now = [] {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
  };
  const double end = now() + limit;
  double last = now();
  std::vector<pollfd> pfds;
  for (int fd : fds) pfds.push_back({fd, POLLIN, 0});
  while (now() < end && now() - last < quiet) {
    if (poll(pfds.data(), pfds.size(), 50) <= 0) continue;
    last = now();
    Arrival a;
    for (size_t i = 0; i < fds.size(); ++i)
      if (pfds[i].revents && ReceiveOne(fds[i], &a)) got[i].push_back(std::move(a));
  }
  return got;
}

std::vector<std::string> Expected(const std::vector<DumpRecord>& records, bool rtcp, uint32_t from) {
  std::vector<std::string> out;
  for (const DumpRecord& r : records)
    if ((r.plen == 0) == rtcp && r.offset >= from) out.push_back(r.data);
  return out;
}

std::vector<std::string> Data(const std::vector<Arrival>& arrivals) {
  std::vector<std::string> out;
  for (const Arrival& a : arrivals) out.push_back(a.data);
  return out;
}

class ConfrecPlays : public ::testing::Test {
 protected:
  void SetUp() override {
    audio = FreePortPair();
    do video = FreePortPair(); while (video == audio);
    for (uint16_t p : {audio, uint16_t(audio + 1), video, uint16_t(video + 1)}) {
      fds.push_back(BindUdp("127.0.0.1", p));
    }
  }
  void TearDown() override {
    for (int fd : fds) close(fd);
  }
  RunResult Play(const TempDir& dir, const std::string& offset) {
    std::vector<std::string> args = {CONFREC_BIN, "-p", "-c", "talk", "-a", "127.0.0.1/" + std::to_string(audio),
                                     "-v", "127.0.0.1/" + std::to_string(video)};
    if (!offset.empty()) args.insert(args.end(), {"-o", offset});
    Process p(args, InDir(dir));
    arrivals = Collect(fds, 1.0, 10);
    p.Wait(10);
    RunResult r;
    r.status = p.Status();
    r.err = p.Err();
    return r;
  }
  uint16_t audio = 0, video = 0;
  std::vector<int> fds;  // audio RTP, audio RTCP, video RTP, video RTCP
  std::vector<std::vector<Arrival>> arrivals;
};

TEST_F(ConfrecPlays, SessionsInTurnBothMediaTogether) {
  TempDir dir;
  Conference conf(dir);
  Play(dir, "");
  for (int port = 0; port < 4; ++port) {
    SCOPED_TRACE(port);
    const int medium = port / 2;
    const bool rtcp = port % 2;
    std::vector<std::string> want = Expected(conf.sessions[0][medium], rtcp, 0);
    std::vector<std::string> second = Expected(conf.sessions[1][medium], rtcp, 0);
    want.insert(want.end(), second.begin(), second.end());
    EXPECT_TRUE(SameDatagrams(Data(arrivals[size_t(port)]), want));
  }
  ASSERT_EQ(arrivals[0].size(), 32u);
  ASSERT_EQ(arrivals[2].size(), 32u);
  // Session 2 starts after session 1 ended, on both media...
  for (int m : {0, 2}) EXPECT_GT(arrivals[size_t(m)][16].when, std::max(arrivals[0][15].when, arrivals[2][15].when));
  // ...and within a session, audio and video are played side by side.
  for (int s : {0, 16}) {
    EXPECT_LT(arrivals[2][size_t(s)].when, arrivals[0][size_t(s) + 15].when);
    EXPECT_LT(arrivals[0][size_t(s)].when, arrivals[2][size_t(s) + 15].when);
  }
}

TEST_F(ConfrecPlays, OffsetAcrossSessionsPlaysExactlyWhatFollowsIt) {
  TempDir dir;
  Conference conf(dir);
  // Session 1 is a minute long: 61 s is 1 s into session 2.
  Play(dir, "61");
  for (int port = 0; port < 4; ++port) {
    SCOPED_TRACE(port);
    EXPECT_TRUE(SameDatagrams(Data(arrivals[size_t(port)]), Expected(conf.sessions[1][port / 2], port % 2, 1000)));
  }
}

}  // namespace
