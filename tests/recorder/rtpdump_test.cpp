// The recorder run as a user or confrec would run it, on loopback.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "udp.h"

// Each family, and every local address; the duration, or each stop signal,
// ends the recording with everything written, and the recorder with status 0,
// or by that signal.
TEST(Rtpdump, RecordsEveryDatagramByteForByteUntilStopped) {
  const struct { std::string host; Args senders; int sig; std::string minutes; } cases[] = {
      {"127.0.0.1", {"127.0.0.1"}, 0, "0.05"}, {"::1", {"::1"}, SIGINT, "0.5"},
      {"", {"127.0.0.1", "::1"}, SIGHUP, "99999999999999999999"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    TempDir dir;
    const uint16_t port = PortPair();
    const std::string target = c.host + "/" + std::to_string(port), file = dir / "s.rtp";
    Process rec({RTPDUMP_BIN, "-F", "dump", "-t", c.minutes, "-d", file, target});
    ASSERT_TRUE(WaitForDump(file, target)) << rec.Err();
    // Stopped in its wait before they are sent, so that they still wait when the signal comes.
    const std::string proc = "/proc/" + std::to_string(rec.Pid());
    if (c.sig) {
      ASSERT_TRUE(WaitUntil([&] { return ReadFile(proc + "/syscall").rfind(std::to_string(SYS_ppoll) + " ", 0) == 0; }, 5));
      rec.Signal(SIGSTOP);
      ASSERT_TRUE(WaitUntil([&] { return ReadFile(proc + "/stat").find(") T ") != std::string::npos; }, 5));
    }
    std::vector<DumpRecord> all;
    for (const std::string& from : c.senders) {
      std::vector<DumpRecord> stream = Stream(30, port);
      // The largest datagram loopback carries, kept whole.
      stream.push_back({65507, 0, RtpPacket(30, port, 65507)});
      SendStream(from, port, stream);
      all.insert(all.end(), stream.begin(), stream.end());
    }
    if (c.sig) rec.Signal(c.sig), rec.Signal(SIGCONT);
    const RunResult r = rec.Finish(10);
    EXPECT_TRUE(c.sig ? r.TermSignal() == c.sig : r.ExitedWith(0)) << r.err;
    DumpContents got = ReadDump(file);
    ExpectRecorded(got, all);
    EXPECT_EQ(got.text, target);
    EXPECT_EQ(got.header.port, port);
    EXPECT_EQ(got.header.source, c.host == "127.0.0.1" ? 0x7f000001u : 0u);
    EXPECT_NEAR(double(got.header.startSec), double(time(nullptr)), 10);
  }
}

TEST(Rtpdump, ExitStatuses) {
  TempDir dir;
  const uint16_t port = PortPair();
  const std::string at = "127.0.0.1/" + std::to_string(port);
  const int busy = BindUdp("127.0.0.1", uint16_t(port + 1));  // RTCP port, not shared
  // Each kind of value is checked by the reader the tools share; one bad
  // one of each kind here.
  const std::vector<std::pair<Args, int>> cases = {
      {{}, 64}, {{"-F", "rtp", "-d", "x.rtp", at}, 64}, {{"-t", "1.5x", "-d", "x.rtp", at}, 64}, {{"-t"}, 64},
      {{"-d", "x.rtp", "127.0.0.1/0"}, 64}, {{"-d", "x.rtp"}, 64}, {{"-d", "x.rtp", at, at}, 64}, {{at}, 64},
      {{"-x", "-d", "x.rtp", at}, 64}, {{"-d", "x.rtp", "nosuch.invalid/" + std::to_string(port)}, 68},
      {{"-d", "x.rtp", "232.1.1.1%nosuch0/2"}, 68}, {{"-r", "x.rtp", "-d", "x.rtp", "232.1.1.2@232.1.1.1/2"}, 64},
      {{"-d", "x.rtp", "::1@232.1.1.1/2"}, 64}, {{"-d", "x.rtp", "@232.1.1.1/2"}, 64}, {{"-d", "x.rtp", "x.invalid@ff3e::1/2"}, 68},
      {{"-d", "x.rtp", at}, 71}, {{"-d", "no/such/dir/x.rtp", "127.0.0.1/" + std::to_string(PortPair())}, 73},
      {{"-d", "/dev/full", "127.0.0.1/" + std::to_string(PortPair())}, 74},
  };
  for (auto [args, status] : cases) {
    args.insert(args.begin(), RTPDUMP_BIN);
    RunResult r = RunProgram(args, InDir(dir));
    EXPECT_TRUE(r.ExitedWith(status)) << testing::PrintToString(args) << r.err;
    EXPECT_EQ(r.err.rfind("rtpdump: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("\nusage: rtpdump [-F dump]") != std::string::npos, status == 64) << r.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "x.rtp"));
  close(busy);
  EXPECT_TRUE(RunProgram({RTPDUMP_BIN, "-h"}).ExitedWith(0));

  // A file that may not grow past 8 KiB: status 74, and whole records.
  const std::string script = "trap '' XFSZ; ulimit -f 16; exec \"$0\" -t 1 -d s.rtp " + at;
  Process shell({"/bin/sh", "-c", script, RTPDUMP_BIN}, InDir(dir));
  ASSERT_TRUE(WaitForDump(dir / "s.rtp", at)) << shell.Err();
  std::vector<DumpRecord> stream;
  for (int i = 0; i < 40; ++i) stream.push_back({1000, 0, RtpPacket(uint16_t(i), 7, 1000)});
  SendStream("127.0.0.1", port, stream);
  EXPECT_TRUE(shell.Finish(20).ExitedWith(74)) << shell.Err();
  DumpContents c = ReadDump(dir / "s.rtp");
  ASSERT_GT(c.records.size(), 0u);
  ASSERT_LT(c.records.size(), stream.size());
  ExpectRecorded(c, {stream.begin(), stream.begin() + long(c.records.size())});
}
