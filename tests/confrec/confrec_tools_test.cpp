// confrec driving the real recorder and player, found on PATH, on loopback;
// rtpinfo on what they recorded; and the tools under faults: killed, locked
// out, started without standard descriptors.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "clock.h"
#include "udp.h"

static std::string Dest(uint16_t port) { return "127.0.0.1/" + std::to_string(port); }

TEST(Faults, RecorderKilledKeepsWholeRecordsThatPlayAndItsSessionCounts) {
  TempDir dir;
  const uint16_t port = PortPair();
  Process confrec({CONFREC_BIN, "-r", "-c", "talk", "-a", Dest(port)}, InDir(dir));
  ASSERT_TRUE(WaitForDump(dir / "talk.0.a.rtp", Dest(port))) << confrec.Err();
  // The first part is written out within half a second; the rest may still
  // be buffered when the recorder dies, and may be lost, but only whole.
  const std::vector<DumpRecord> sent = Stream(60, 0xA), first(sent.begin(), sent.begin() + 40);
  SendStream("127.0.0.1", port, first);
  ASSERT_TRUE(WaitForDump(dir / "talk.0.a.rtp", Dest(port), first));
  SendStream("127.0.0.1", port, {sent.begin() + 40, sent.end()});
  const std::string self = std::to_string(confrec.Pid());
  const int recorder = std::atoi(ReadFile("/proc/" + self + "/task/" + self + "/children").c_str());
  ASSERT_GT(recorder, 0);
  kill(recorder, SIGKILL);
  EXPECT_TRUE(Ended(confrec.Finish(10), 0, "Child died with signal 9\n"));
  const DumpContents c = ReadDump(dir / "talk.0.a.rtp");
  ASSERT_GE(c.records.size(), first.size());
  ExpectRecorded(c, {sent.begin(), sent.begin() + long(c.records.size())});

  // It plays, and the next run records session 1, leaving session 0 alone,
  // while a second run at the same time is refused before it empties anything.
  const uint16_t out = PortPair();
  const int rtp = BindUdp("127.0.0.1", out), rtcp = BindUdp("127.0.0.1", uint16_t(out + 1));
  EXPECT_TRUE(RunProgram({CONFREC_BIN, "-p", "-c", "talk", "-a", Dest(out)}, InDir(dir)).ExitedWith(0));
  EXPECT_TRUE(Received(rtp, Due(c.records, false)));
  EXPECT_TRUE(Received(rtcp, Due(c.records, true)));
  close(rtp), close(rtcp);
  const std::string kept = ReadFile(dir / "talk.0.a.rtp");
  Process next({CONFREC_BIN, "-r", "-c", "talk", "-a", Dest(port)}, InDir(dir));
  ASSERT_TRUE(WaitForDump(dir / "talk.1.a.rtp", Dest(port))) << next.Err();
  EXPECT_TRUE(Ended(RunProgram({CONFREC_BIN, "-r", "-c", "talk", "-a", Dest(PortPair())}, InDir(dir)), 1,
                    "Session file talk.1.a.rtp is being recorded by another run\n"));
  next.Signal(SIGTERM);
  EXPECT_TRUE(Ended(next.Finish(10), 0, "Child died with signal 15\n"));
  EXPECT_EQ(ReadFile(dir / "talk.cf"), "SessionsRecorded = 2\nTimeRecorded0 = 1000000\nTimeRecorded1 = 1000000\n");
  EXPECT_EQ(ReadFile(dir / "talk.0.a.rtp"), kept);
  EXPECT_EQ(ReadDump(dir / "talk.1.a.rtp").end, rtptools::DumpReader::kEnd);
}

// A recording that ends by itself, after a decimal number of minutes (0.05
// is 3 s, not 0 and not a minute), with nothing stray in any file; a failure
// whose message has nowhere to go; and what rtpinfo makes of the recording.
TEST(ConfrecWithTools, DecimalDurationWithoutStandardDescriptorsAndRtpinfoShowsIt) {
  TempDir dir;
  auto closed = [](Args args) {
    args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"});
    return args;
  };
  const uint16_t port = PortPair();
  const int64_t begin = rtptools::NowNs();
  Process confrec(closed({CONFREC_BIN, "-r", "-c", "talk", "-t", "0.05", "-a", Dest(port)}), InDir(dir));
  ASSERT_TRUE(WaitForDump(dir / "talk.0.a.rtp", Dest(port)));
  // Followed while it records, a JSON line a second, ending when it ends.
  Process follow({RTPINFO_BIN, "--follow", "--json", "-c", "talk"}, InDir(dir));
  const std::vector<DumpRecord> sent = Stream(50, 0xC);
  SendStream("127.0.0.1", port, sent);
  EXPECT_TRUE(confrec.Finish(20).ExitedWith(0));
  const RunResult followed = follow.Finish(10);
  const std::vector<std::string> lines = Lines(followed.out);
  EXPECT_TRUE(Ended(followed, 0, "") && lines.size() >= 3) << followed.out;
  EXPECT_NE(lines.back().find("\"rtp_packets\": 50, \"rtcp_packets\": 10, \"damaged\": false, \"streams\": "
                              "[{\"ssrc\": 12, \"packets\": 50,"), std::string::npos) << lines.back();
  EXPECT_GE(rtptools::NowNs() - begin, 3 * rtptools::kNsPerSecond);
  EXPECT_EQ(ReadFile(dir / "talk.cf"), "SessionsRecorded = 1\nTimeRecorded0 = 0.05\n");
  ExpectRecorded(ReadDump(dir / "talk.0.a.rtp"), sent);
  EXPECT_TRUE(RunProgram(closed({RTPPLAY_BIN, "-f", "talk.cf", Dest(port)}), InDir(dir)).ExitedWith(65));
  EXPECT_EQ(Listing(dir.path), "talk.0.a.rtp\ntalk.cf\n");

  RunResult info = RunProgram({RTPINFO_BIN, "--json", "-c", "talk"}, InDir(dir));
  EXPECT_TRUE(Ended(info, 0, ""));
  EXPECT_NE(info.out.find("\"planned_s\": 3,"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"rtp_packets\": 50, \"rtcp_packets\": 10,"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"other_bytes\": 0, \"damage\": null,"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"expected\": 50, \"lost\": 0, \"duplicates\": 0"), std::string::npos) << info.out;
  info = RunProgram({RTPINFO_BIN, "-c", "talk"}, InDir(dir));
  EXPECT_NE(info.out.find("), 1 session\n  session  planned min  audio                  video\n  0        0.05         0:00:00."),
            std::string::npos) << info.out;
  EXPECT_EQ(info.out.find("damaged"), std::string::npos) << info.out;
  info = RunProgram({RTPINFO_BIN, "talk.0.a.rtp", "talk.cf", "none.rtp"}, InDir(dir));
  EXPECT_TRUE(info.ExitedWith(65)) << info.err;  // the first failure's status
  EXPECT_NE(info.out.find("50 RTP, 10 RTCP"), std::string::npos) << info.out;
  EXPECT_EQ(Lines(info.err).size(), 2u) << info.err;
}

// Runs `argv` (standard error closed if asked) with /dev, in a mount
// namespace of its own, replaced by `dev`: /dev/null and the test's log
// socket. Exit status 99 where the namespace cannot be made.
static RunResult RunWithDev(const TempDir& dev, const TempDir& work, Args argv, bool closeStderr) {
  const std::string script =
      "touch \"$1/null\" && mount --bind /dev/null \"$1/null\" && mount --bind \"$1\" /dev || exit 99\n"
      "shift; exec \"$@\"" + std::string(closeStderr ? " 2>&-" : "");
  argv.insert(argv.begin(), {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh", dev.path});
  RunResult r = RunProgram(argv, InDir(work));
  if (r.err.rfind("unshare", 0) == 0) r.status = 99 << 8;
  return r;
}

TEST(Faults, ToolsStartedWithoutStandardErrorTellTheSystemLog) {
  TempDir dev, work;
  const int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  (dev / "log").copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(log, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  // confrec's recorder finds the RTCP port taken: confrec says only that it
  // failed, the log says why.
  const uint16_t port = PortPair();
  const int busy = BindUdp("127.0.0.1", uint16_t(port + 1));
  RunResult r = RunWithDev(dev, work, {CONFREC_BIN, "-r", "-c", "talk", "-t", "1", "-a", Dest(port)}, false);
  if (r.ExitedWith(99)) GTEST_SKIP() << "no mount namespace here: " << r.err;
  EXPECT_TRUE(Ended(r, 0, "Child exited with code 71\n"));
  close(busy);
  // A tool whose standard error is open does not log; getopt's complaints
  // are logged like any other message. All have ended, so all is queued.
  EXPECT_TRUE(RunWithDev(dev, work, {RTPPLAY_BIN, "-f", "missing.rtp", Dest(port)}, false).ExitedWith(66));
  EXPECT_TRUE(RunWithDev(dev, work, {RTPINFO_BIN, "-x", "talk.0.a.rtp"}, true).ExitedWith(64));
  const std::vector<std::string> logged = Receive(log, 2);
  ASSERT_EQ(logged.size(), 2u);
  // Facility user, priority err; the tool, and why.
  EXPECT_TRUE(logged[0].rfind("<11>", 0) == 0 && logged[0].find(" rtpdump[") != std::string::npos &&
              logged[0].find("Address already in use") != std::string::npos) << logged[0];
  EXPECT_TRUE(logged[1].find(" rtpinfo[") != std::string::npos && logged[1].find("unknown option -x") != std::string::npos)
      << logged[1];
  close(log);
}
