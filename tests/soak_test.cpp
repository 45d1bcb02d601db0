// The real recorder under a steady conference load for a minute: every
// datagram recorded, resident memory flat. CONFREC_SOAK_SECONDS makes the
// run longer (by hand; ctest allows two minutes); CONFREC_SKIP_SOAK skips it.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "udp_helpers.h"

namespace {

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

timespec Tick(const timespec& start, long ms) {
  timespec t = start;
  t.tv_sec += ms / 1000;
  t.tv_nsec += ms % 1000 * 1000000;
  if (t.tv_nsec >= 1000000000) {
    t.tv_nsec -= 1000000000;
    ++t.tv_sec;
  }
  return t;
}

TEST(Soak, RecorderKeepsEveryDatagramOfAConferenceWithFlatMemory) {
  if (std::getenv("CONFREC_SKIP_SOAK")) GTEST_SKIP() << "CONFREC_SKIP_SOAK is set";
  const char* env = std::getenv("CONFREC_SOAK_SECONDS");
  const long seconds = env ? std::max(10L, std::atol(env)) : 60;
  TempDir dir;
  const uint16_t audio = FreePortPair();
  uint16_t video = FreePortPair();
  while (video == audio) video = FreePortPair();
  Process a({RTPDUMP_BIN, "-d", dir / "a.rtp", "127.0.0.1/" + std::to_string(audio)});
  Process v({RTPDUMP_BIN, "-d", dir / "v.rtp", "127.0.0.1/" + std::to_string(video)});
  ASSERT_TRUE(WaitForFileSize(dir / "a.rtp", 40, 5) && WaitForFileSize(dir / "v.rtp", 40, 5));

  // Every 10 ms: audio at 50 packets/s of 172 bytes, video at 30 frames/s
  // of 5 packets of 1200 bytes; a sender report on each RTCP port each second.
  const int fd = SenderSocket("127.0.0.1");
  std::vector<Sent> sentA, sentV;
  std::vector<long> rssA, rssV;  // once a second
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long tick = 0; tick < seconds * 100; ++tick) {
    const timespec at = Tick(start, tick * 10);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
    auto send = [&](std::vector<Sent>& to, uint16_t port, Sent s) {
      SendTo(fd, "127.0.0.1", s.rtcp ? uint16_t(port + 1) : port, s.data);
      to.push_back(std::move(s));
    };
    if (tick % 2 == 0) send(sentA, audio, {false, RtpPacket(uint16_t(sentA.size()), 0xA, 172)});
    for (long n = (tick + 1) * 150 / 100 - tick * 150 / 100; n > 0; --n)
      send(sentV, video, {false, RtpPacket(uint16_t(sentV.size()), 0xB, 1200)});
    if (tick % 100 == 50) {
      send(sentA, audio, {true, RtcpReport(0xA, uint32_t(tick))});
      send(sentV, video, {true, RtcpReport(0xB, uint32_t(tick))});
    }
    if (tick % 100 == 99) {
      rssA.push_back(RssKb(a.Pid()));
      rssV.push_back(RssKb(v.Pid()));
    }
  }
  close(fd);
  usleep(100000);
  a.Signal(SIGINT);
  v.Signal(SIGINT);
  ASSERT_TRUE(a.Wait(10) && v.Wait(10));
  EXPECT_EQ(a.TermSignal(), SIGINT) << a.Err();
  EXPECT_EQ(v.TermSignal(), SIGINT) << v.Err();

  ExpectRecorded(ReadDump(dir / "a.rtp"), sentA);
  ExpectRecorded(ReadDump(dir / "v.rtp"), sentV);
  // After the first seconds, no growth beyond what the writer may hold when
  // a flush comes late on a busy machine (up to 1 MiB).
  const size_t settled = 5;
  const long toleranceKb = 1280;
  for (auto [name, rss] : {std::pair{"audio", &rssA}, std::pair{"video", &rssV}}) {
    ASSERT_GT(rss->size(), settled);
    const long base = (*rss)[settled - 1];
    const long peak = *std::max_element(rss->begin() + settled, rss->end());
    std::printf("%s recorder: %zu datagrams, VmRSS %ld kB after %zu s, at most %ld kB later; every 10 s:",
                name, (name[0] == 'a' ? sentA : sentV).size(), base, settled, peak);
    for (size_t i = 9; i < rss->size(); i += 10) std::printf(" %ld", (*rss)[i]);
    std::printf("\n");
    EXPECT_LE(peak, base + toleranceKb) << name;
  }
}

}  // namespace
