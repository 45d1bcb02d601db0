#include "follow.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "clock.h"
#include "udp.h"

using namespace rtptools;

// A record still being written is not damage: it counts once it is whole.
// With no lock held, a file that stopped growing has ended.
TEST(Follower, ReadsWhatWasAddedAndWaitsForAPartRecord) {
  TempDir dir;
  const std::string file = dir / "s.rtp";
  const std::vector<DumpRecord> records = Stream(8, 3, 0, 20);  // 8 RTP, 1 RTCP
  WriteDump(file, "127.0.0.1/5004", {records.begin(), records.begin() + 5});
  WriteDump(dir / "all.rtp", "127.0.0.1/5004", records);
  const std::string all = ReadFile(dir / "all.rtp"), part = ReadFile(file);
  std::vector<std::unique_ptr<Follower>> files;
  files.emplace_back(new Follower(file));
  Follower& f = *files[0];
  EXPECT_FALSE(Follower(dir / "missing.rtp").Look(0));
  const size_t cut = part.size() + 10;  // into the sixth record
  int64_t now = NowNs(CLOCK_REALTIME);
  for (size_t upTo : {cut, all.size()}) {
    WriteFile(file, all.substr(0, upTo));
    EXPECT_TRUE(f.Look(now += kNsPerSecond));
    EXPECT_TRUE(f.started);
    EXPECT_EQ(f.summary.end, DumpReader::kEnd);
  }
  EXPECT_EQ(f.summary.rtp, 8u);
  EXPECT_EQ(f.summary.rtcp, 1u);
  ASSERT_EQ(f.summary.streams.size(), 1u);
  EXPECT_EQ(f.summary.streams[0].bytes, f.summary.rtpBytes);
  EXPECT_EQ(f.RateOf(0).packets, 3.0);  // RTP 5, 6 and 7 in the second second
  EXPECT_FALSE(f.Look(NowNs(CLOCK_REALTIME)));
  // The last datagram came at the start (2023) plus its offset.
  const int64_t last = 1700000000 * kNsPerSecond + int64_t(records.back().offset) * 1000000;
  EXPECT_NE(FollowJson(files, last + kNsPerSecond).find("\"idle_s\": 1.0, \"silent\": false"), std::string::npos);
  EXPECT_NE(FollowJson(files, last + kSilentNs + 1).find("\"silent\": true"), std::string::npos);
}

// A recording that pauses goes on as long as its recorder holds it: the
// lock, not the file's growth, says so.
TEST(Follower, ARecordingThatPausesGoesOnWhileItsRecorderRuns) {
  TempDir dir;
  const std::string file = dir / "s.rtp", target = "127.0.0.1/" + std::to_string(PortPair());
  Process rec({RTPDUMP_BIN, "-d", file, target});
  ASSERT_TRUE(WaitForDump(file, target)) << rec.Err();
  Follower f(file);
  int64_t now = NowNs(CLOCK_REALTIME);
  EXPECT_TRUE(f.Look(now));
  EXPECT_TRUE(f.started);
  EXPECT_TRUE(f.Look(now += 2 * kNsPerSecond));  // nothing came
  rec.Signal(SIGTERM);
  EXPECT_EQ(rec.Finish(10).TermSignal(), SIGTERM);
  EXPECT_FALSE(f.Look(now += kNsPerSecond));
}
