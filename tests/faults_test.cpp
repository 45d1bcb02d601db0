// The real recorder and player under faults: killed, out of disk, started
// with no standard descriptors; and confrec keeping its sessions through it.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "udp_helpers.h"

namespace {

std::string Dest(uint16_t port) { return "127.0.0.1/" + std::to_string(port); }

// Bytes of a dump file holding `stream` recorded from `target`.
long DumpSize(const std::string& target, const std::vector<Sent>& stream) {
  long n = long(sizeof rtptools::kDumpMagic + target.size() + 1 + rtptools::kFileHeaderSize);
  for (const Sent& s : stream) n += long(rtptools::kRecordHeaderSize + s.data.size());
  return n;
}
// The recorder writes its header in one write once its sockets are bound.
const long kHeaderOnly = 1;

// The processes `pid` started and has not reaped.
std::vector<pid_t> Children(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::vector<pid_t> pids;
  for (pid_t p; in >> p;) pids.push_back(p);
  return pids;
}

std::vector<Sent> Prefix(const std::vector<Sent>& s, size_t n) {
  return {s.begin(), s.begin() + long(std::min(n, s.size()))};
}

// What the player sends of `path`, received on a fresh port pair.
void ExpectPlays(const TempDir& dir, const std::string& path, const std::vector<std::string>& wrapper = {}) {
  const uint16_t port = FreePortPair();
  int rtp = BindUdp("127.0.0.1", port), rtcp = BindUdp("127.0.0.1", uint16_t(port + 1));
  std::vector<std::string> argv = wrapper;
  for (const std::string& a : {std::string(RTPPLAY_BIN), std::string("-f"), path, Dest(port)}) argv.push_back(a);
  RunResult r = RunProgram(argv, InDir(dir), 30);
  EXPECT_TRUE(r.ExitedWith(0)) << r.err;
  std::vector<std::string> wantRtp, wantRtcp;
  for (const DumpRecord& rec : ReadDump(dir / path).records) (rec.plen ? wantRtp : wantRtcp).push_back(rec.data);
  EXPECT_TRUE(SameDatagrams(ReceiveUpTo(rtp, wantRtp.size(), 5), wantRtp));
  EXPECT_TRUE(SameDatagrams(ReceiveUpTo(rtcp, wantRtcp.size(), 5), wantRtcp));
  close(rtp);
  close(rtcp);
}

TEST(Faults, RecorderKilledMidRecordingKeepsAPrefixThatPlaysAndStaysCounted) {
  TempDir dir;
  const uint16_t port = FreePortPair();
  Process confrec({CONFREC_BIN, "-r", "-c", "talk", "-a", Dest(port)}, InDir(dir));
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.a.rtp", kHeaderOnly, 5)) << confrec.Err();
  // The first part is written out within half a second; the second is
  // still buffered when the recorder dies, and may be lost, but only whole.
  std::vector<Sent> sent = Stream(60, 0xA);
  const std::vector<Sent> first = Prefix(sent, 40);
  SendStream("127.0.0.1", port, first);
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.a.rtp", DumpSize(Dest(port), first), 5));
  SendStream("127.0.0.1", port, {sent.begin() + 40, sent.end()});
  std::vector<pid_t> recorders = Children(confrec.Pid());
  ASSERT_EQ(recorders.size(), 1u);
  kill(recorders[0], SIGKILL);
  ASSERT_TRUE(confrec.Wait(10));
  EXPECT_TRUE(confrec.ExitedWith(0));
  EXPECT_EQ(confrec.Err(), "Child died with signal 9\n");
  EXPECT_EQ(ReadFile(dir / "talk.cf"), "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n");

  DumpContents c = ReadDump(dir / "talk.0.a.rtp");
  EXPECT_EQ(c.end, rtptools::DumpReader::kEnd);
  ASSERT_GE(c.records.size(), first.size());
  ExpectRecorded(c, Prefix(sent, c.records.size()));
  ExpectPlays(dir, "talk.0.a.rtp");

  // The next run records session 1 and leaves session 0 alone.
  const std::string kept = ReadFile(dir / "talk.0.a.rtp");
  Process next({CONFREC_BIN, "-r", "-c", "talk", "-a", Dest(port)}, InDir(dir));
  ASSERT_TRUE(WaitForFileSize(dir / "talk.1.a.rtp", kHeaderOnly, 5)) << next.Err();
  next.Signal(SIGTERM);
  ASSERT_TRUE(next.Wait(10));
  EXPECT_TRUE(next.ExitedWith(0));
  EXPECT_EQ(ReadFile(dir / "talk.cf"), "SessionsRecorded = 2\nTimeRecorded0 = 1000000\nTimeRecorded1 = 1000000\n");
  EXPECT_EQ(ReadFile(dir / "talk.0.a.rtp"), kept);
}

TEST(Faults, RecorderOnAFullDiskEndsWith74AndLeavesAValidFile) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "disk").c_str(), 0755), 0);
  SmallDisk disk(dir / "disk", "128k");
  if (!disk.Ok()) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
  // The session file lives on the small disk, the conference file does not.
  ASSERT_EQ(symlink("disk/talk.0.a.rtp", (dir / "talk.0.a.rtp").c_str()), 0);
  const uint16_t port = FreePortPair();
  Process confrec({CONFREC_BIN, "-r", "-c", "talk", "-a", Dest(port)}, InDir(dir));
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.a.rtp", kHeaderOnly, 5)) << confrec.Err();

  // About 800 kB in all, paced so that the recorder loses nothing.
  const std::vector<Sent> sent = Stream(1000, 0xD);
  size_t done = 0;
  for (; done < sent.size() && confrec.Running(); done += 20) {
    SendStream("127.0.0.1", port, Prefix({sent.begin() + long(done), sent.end()}, 20));
    usleep(10000);
  }
  ASSERT_TRUE(confrec.Wait(10));
  EXPECT_TRUE(confrec.ExitedWith(0));
  EXPECT_EQ(confrec.Err(), "Child exited with code 74\n");
  EXPECT_EQ(ReadFile(dir / "talk.cf"), "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n");

  DumpContents c = ReadDump(dir / "talk.0.a.rtp");
  EXPECT_EQ(c.end, rtptools::DumpReader::kEnd);
  EXPECT_GT(c.records.size(), 20u);
  EXPECT_LT(c.records.size(), done);
  ExpectRecorded(c, Prefix(sent, c.records.size()));
}

TEST(Faults, NoStandardDescriptorsAndNothingStrayInAnyFile) {
  TempDir dir;
  // The programs start with descriptors 0, 1 and 2 closed.
  const std::vector<std::string> closed = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), closed.begin(), closed.end());
    return args;
  };
  const uint16_t port = FreePortPair();
  Process confrec(run({CONFREC_BIN, "-r", "-c", "talk", "-a", Dest(port)}), InDir(dir));
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.a.rtp", kHeaderOnly, 5));
  const std::vector<Sent> sent = Stream(30, 0xC);
  SendStream("127.0.0.1", port, sent);
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.a.rtp", DumpSize(Dest(port), sent), 5));
  confrec.Signal(SIGTERM);
  ASSERT_TRUE(confrec.Wait(10));
  EXPECT_TRUE(confrec.ExitedWith(0));
  const std::string cf = "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n";
  EXPECT_EQ(ReadFile(dir / "talk.cf"), cf);
  DumpContents c = ReadDump(dir / "talk.0.a.rtp");
  EXPECT_EQ(c.end, rtptools::DumpReader::kEnd);
  ExpectRecorded(c, sent);
  const std::string recorded = ReadFile(dir / "talk.0.a.rtp");
  EXPECT_EQ(long(recorded.size()), DumpSize(Dest(port), sent));

  // Failures whose messages have nowhere to go.
  EXPECT_TRUE(RunProgram(run({CONFREC_BIN, "-r", "-c", "talk"}), InDir(dir)).ExitedWith(1));
  EXPECT_TRUE(RunProgram(run({CONFREC_BIN, "-p", "-c", "talk", "-a", "no.such.host.invalid/2"}), InDir(dir))
                  .ExitedWith(1));
  EXPECT_TRUE(RunProgram(run({RTPPLAY_BIN, "-f", "talk.cf", Dest(port)}), InDir(dir)).ExitedWith(65));
  EXPECT_TRUE(RunProgram(run({RTPDUMP_BIN, "-d", "talk.0.a.rtp", "no.such.host.invalid/2"}), InDir(dir))
                  .ExitedWith(68));
  ExpectPlays(dir, "talk.0.a.rtp", closed);

  // The recorder alone.
  Process rtpdump(run({RTPDUMP_BIN, "-d", "alone.rtp", Dest(port)}), InDir(dir));
  ASSERT_TRUE(WaitForFileSize(dir / "alone.rtp", kHeaderOnly, 5));
  SendStream("127.0.0.1", port, sent);
  ASSERT_TRUE(WaitForFileSize(dir / "alone.rtp", DumpSize(Dest(port), sent), 5));
  rtpdump.Signal(SIGINT);
  ASSERT_TRUE(rtpdump.Wait(10));
  EXPECT_EQ(rtpdump.TermSignal(), SIGINT);
  ExpectRecorded(ReadDump(dir / "alone.rtp"), sent);

  EXPECT_EQ(ReadFile(dir / "talk.cf"), cf);
  EXPECT_EQ(ReadFile(dir / "talk.0.a.rtp"), recorded);
  EXPECT_EQ(RunProgram({"/bin/ls", dir.Path()}).out, "alone.rtp\ntalk.0.a.rtp\ntalk.cf\n");
}

// Runs `argv` (standard error closed if asked) with /dev, in a mount
// namespace of its own, replaced by `dev`: /dev/null and the test's own
// log socket. Exit status 99 when the namespace cannot be made.
RunResult RunWithDev(const TempDir& dev, const TempDir& work, std::vector<std::string> argv, bool closeStderr) {
  const std::string script =
      "touch \"$1/null\" && mount --bind /dev/null \"$1/null\" && mount --bind \"$1\" /dev || exit 99\n"
      "shift; exec \"$@\"" + std::string(closeStderr ? " 2>&-" : "");
  argv.insert(argv.begin(), {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh",
                             dev.Path()});
  RunResult r = RunProgram(argv, InDir(work), 20);
  if (r.err.rfind("unshare", 0) == 0) r.status = 99 << 8;
  return r;
}

TEST(Faults, ToolsStartedWithoutStandardErrorTellTheSystemLog) {
  TempDir dev, work;
  int log = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string path = dev / "log";
  ASSERT_LT(path.size(), sizeof addr.sun_path);
  path.copy(addr.sun_path, path.size());
  ASSERT_EQ(bind(log, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  // confrec's recorder finds the RTCP port taken: confrec says only that it
  // failed, the log says why.
  const uint16_t port = FreePortPair();
  int busy = BindUdp("127.0.0.1", uint16_t(port + 1));
  RunResult r = RunWithDev(dev, work, {CONFREC_BIN, "-r", "-c", "talk", "-t", "1", "-a", Dest(port)}, false);
  if (r.ExitedWith(99)) GTEST_SKIP() << "no mount namespace here: " << r.err;
  EXPECT_TRUE(r.ExitedWith(0));
  EXPECT_EQ(r.err, "Child exited with code 71\n");
  std::vector<std::string> logged = ReceiveUpTo(log, 1, 10);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("<11>", 0), 0u) << logged[0];  // facility user, priority err
  EXPECT_NE(logged[0].find(" rtpdump["), std::string::npos) << logged[0];
  EXPECT_NE(logged[0].find("Address already in use"), std::string::npos) << logged[0];
  close(busy);

  // A tool whose standard error is open does not log; getopt's complaints
  // are logged like any other message.
  r = RunWithDev(dev, work, {RTPPLAY_BIN, "-f", "missing.rtp", Dest(port)}, false);
  EXPECT_TRUE(r.ExitedWith(66));
  r = RunWithDev(dev, work, {RTPINFO_BIN, "-x", "talk.0.a.rtp"}, true);
  EXPECT_TRUE(r.ExitedWith(64));
  // Both have ended: whatever they logged is queued, in order.
  logged = ReceiveUpTo(log, 1, 10);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_NE(logged[0].find(" rtpinfo["), std::string::npos) << logged[0];
  EXPECT_NE(logged[0].find("unknown option -x"), std::string::npos) << logged[0];
  Arrival more;
  EXPECT_FALSE(ReceiveOne(log, &more)) << more.data;
  close(log);
}

TEST(Faults, SecondRecordRunOfAConferenceLeavesTheFirstOneAlone) {
  TempDir dir;
  const uint16_t port = FreePortPair();
  Process first({CONFREC_BIN, "-r", "-c", "talk", "-a", Dest(port)}, InDir(dir));
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.a.rtp", kHeaderOnly, 5)) << first.Err();
  const std::vector<Sent> sent = Stream(40, 0xE);
  SendStream("127.0.0.1", port, Prefix(sent, 20));
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.a.rtp", DumpSize(Dest(port), Prefix(sent, 20)), 5));

  RunResult second = RunProgram({CONFREC_BIN, "-r", "-c", "talk", "-a", Dest(port)}, InDir(dir), 10);
  EXPECT_TRUE(second.ExitedWith(1));
  EXPECT_EQ(second.err, "Session file talk.0.a.rtp is being recorded by another run\n");

  SendStream("127.0.0.1", port, {sent.begin() + 20, sent.end()});
  ASSERT_TRUE(WaitForFileSize(dir / "talk.0.a.rtp", DumpSize(Dest(port), sent), 5));
  first.Signal(SIGTERM);
  ASSERT_TRUE(first.Wait(10));
  EXPECT_TRUE(first.ExitedWith(0));
  ExpectRecorded(ReadDump(dir / "talk.0.a.rtp"), sent);
  EXPECT_EQ(ReadFile(dir / "talk.cf"), "SessionsRecorded = 1\nTimeRecorded0 = 1000000\n");
}

}  // namespace
