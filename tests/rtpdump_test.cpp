// The recorder run as a user or confrec would run it, on loopback.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "udp_helpers.h"

namespace {

size_t HeaderBytes(const std::string& target) {
  return std::string("#!rtpplay1.0 ").size() + target.size() + 1 + 16;
}

std::vector<std::string> Recorder(const std::string& file, const std::string& target,
                                  const std::string& minutes = "1") {
  return {RTPDUMP_BIN, "-F", "dump", "-t", minutes, "-d", file, target};
}

TEST(RtpdumpRecords, UnicastIpv4AndIpv6ByteForByte) {
  for (std::string host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    TempDir dir;
    const uint16_t port = FreePortPair();
    const std::string target = host + "/" + std::to_string(port), file = dir / "s.rtp";
    Process rec(Recorder(file, target));
    ASSERT_TRUE(WaitForFileSize(file, long(HeaderBytes(target)), 5)) << rec.Err();
    std::vector<Sent> stream = Stream(60, 0x1234);
    // The largest datagram loopback carries for both families, kept whole.
    stream.push_back({false, RtpPacket(60, 0x1234, 65507)});
    SendStream(host, port, stream);
    rec.Signal(SIGTERM);
    ASSERT_TRUE(rec.Wait(5));
    EXPECT_EQ(rec.TermSignal(), SIGTERM) << rec.Err();
    DumpContents c = ReadDump(file);
    EXPECT_EQ(c.end, rtptools::DumpReader::kEnd);
    EXPECT_EQ(c.text, target);
    EXPECT_EQ(c.header.port, port);
    EXPECT_EQ(c.header.source, host == "::1" ? 0u : 0x7f000001u);
    EXPECT_NEAR(double(c.header.startSec), double(time(nullptr)), 10);
    ExpectRecorded(c, stream);
  }
}

TEST(RtpdumpRecords, EmptyHostListensOnEveryAddress) {
  TempDir dir;
  const uint16_t port = FreePortPair();
  const std::string target = "/" + std::to_string(port), file = dir / "s.rtp";
  Process rec(Recorder(file, target));
  ASSERT_TRUE(WaitForFileSize(file, long(HeaderBytes(target)), 5)) << rec.Err();
  std::vector<Sent> v4 = Stream(5, 4), v6 = Stream(5, 6);
  SendStream("127.0.0.1", port, v4);
  SendStream("::1", port, v6);
  rec.Signal(SIGINT);
  ASSERT_TRUE(rec.Wait(5));
  v4.insert(v4.end(), v6.begin(), v6.end());
  ExpectRecorded(ReadDump(file), v4);
}

TEST(RtpdumpSignals, EachStopSignalWritesEverythingAndEndsByIt) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    TempDir dir;
    const uint16_t port = FreePortPair();
    const std::string target = "127.0.0.1/" + std::to_string(port), file = dir / "s.rtp";
    Process rec(Recorder(file, target, sig == SIGHUP ? "99999999999999999999" : "1000000"));
    ASSERT_TRUE(WaitForFileSize(file, long(HeaderBytes(target)), 5));
    std::vector<Sent> stream = Stream(20, uint32_t(sig));
    SendStream("127.0.0.1", port, stream);
    rec.Signal(sig);
    ASSERT_TRUE(rec.Wait(5));
    EXPECT_EQ(rec.TermSignal(), sig);
    ExpectRecorded(ReadDump(file), stream);
  }
}

TEST(RtpdumpSignals, RecordsReachTheFileWhileRunningSoKillLosesLittle) {
  TempDir dir;
  const uint16_t port = FreePortPair();
  const std::string target = "127.0.0.1/" + std::to_string(port), file = dir / "s.rtp";
  Process rec(Recorder(file, target));
  const long header = long(HeaderBytes(target));
  ASSERT_TRUE(WaitForFileSize(file, header, 5));
  std::vector<Sent> stream = Stream(30, 9);
  SendStream("127.0.0.1", port, stream);
  long total = header;
  for (const Sent& p : stream) total += long(8 + p.data.size());
  EXPECT_TRUE(WaitForFileSize(file, total, 3));
  rec.Signal(SIGKILL);
  ASSERT_TRUE(rec.Wait(5));
  DumpContents c = ReadDump(file);
  EXPECT_EQ(c.end, rtptools::DumpReader::kEnd);
  ExpectRecorded(c, stream);
}

TEST(RtpdumpDescriptors, ClosedStderrIsReopenedOnDevNull) {
  TempDir dir;
  const uint16_t port = FreePortPair();
  const std::string target = "127.0.0.1/" + std::to_string(port), file = dir / "s.rtp";
  ProcessOptions opt;
  opt.closeStderr = true;
  Process rec(Recorder(file, target), opt);
  ASSERT_TRUE(WaitForFileSize(file, long(HeaderBytes(target)), 5));
  char link[256] = {};
  std::string fd2 = "/proc/" + std::to_string(rec.Pid()) + "/fd/2";
  ASSERT_GT(readlink(fd2.c_str(), link, sizeof link - 1), 0);
  EXPECT_STREQ(link, "/dev/null");
  std::vector<Sent> stream = Stream(10, 2);
  SendStream("127.0.0.1", port, stream);
  rec.Signal(SIGTERM);
  ASSERT_TRUE(rec.Wait(5));
  DumpContents c = ReadDump(file);
  EXPECT_EQ(c.end, rtptools::DumpReader::kEnd);
  ExpectRecorded(c, stream);
}

TEST(RtpdumpStatus, UsageErrorsAre64) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-F", "rtp", "-t", "1", "-d", "x.rtp", "127.0.0.1/5004"},
      {"-F", "dump", "-t", "0", "-d", "x.rtp", "127.0.0.1/5004"},
      {"-F", "dump", "-t", "-1", "-d", "x.rtp", "127.0.0.1/5004"},
      {"-F", "dump", "-t", "1.5x", "-d", "x.rtp", "127.0.0.1/5004"},
      {"-F", "dump", "-t", "abc", "-d", "x.rtp", "127.0.0.1/5004"},
      {"-F", "dump", "-t", "1", "-d", "x.rtp", "127.0.0.1/0"},
      {"-F", "dump", "-t", "1", "-d", "x.rtp", "127.0.0.1/65535"},
      {"-F", "dump", "-t", "1", "-d", "x.rtp", "127.0.0.1"},
      {"-F", "dump", "-t", "1", "-d", "x.rtp"},
      {"-F", "dump", "-t", "1", "-d", "x.rtp", "127.0.0.1/5004", "127.0.0.1/5006"},
      {"-F", "dump", "-t", "1", "127.0.0.1/5004"},
      {"-x", "-d", "x.rtp", "127.0.0.1/5004"},
  };
  TempDir dir;
  ProcessOptions opt;
  opt.cwd = dir.Path();
  for (auto args : cases) {
    args.insert(args.begin(), RTPDUMP_BIN);
    RunResult r = RunProgram(args, opt, 10);
    EXPECT_TRUE(r.ExitedWith(64)) << args.size() << ": " << r.err;
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_FALSE(FileExists(dir / "x.rtp"));
  RunResult help = RunProgram({RTPDUMP_BIN, "-h"});
  EXPECT_TRUE(help.ExitedWith(0));
  for (const char* status : {" 64 ", " 68 ", " 71 ", " 73 ", " 74 "})
    EXPECT_NE(help.out.find(status), std::string::npos) << status;
}

TEST(RtpdumpStatus, HostSocketAndFileErrors) {
  TempDir dir;
  const uint16_t port = FreePortPair();
  RunResult r = RunProgram(Recorder(dir / "a.rtp", "nosuch.invalid/" + std::to_string(port)), {}, 20);
  EXPECT_TRUE(r.ExitedWith(68)) << r.err;
  EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;

  // RTCP port taken by a socket that does not share it.
  int busy = BindUdp("127.0.0.1", uint16_t(port + 1));
  r = RunProgram(Recorder(dir / "b.rtp", "127.0.0.1/" + std::to_string(port)), {}, 10);
  EXPECT_TRUE(r.ExitedWith(71)) << r.err;
  EXPECT_FALSE(FileExists(dir / "b.rtp"));
  close(busy);

  r = RunProgram(Recorder(dir / "no/such/dir/c.rtp", "127.0.0.1/" + std::to_string(port)), {}, 10);
  EXPECT_TRUE(r.ExitedWith(73)) << r.err;
}

TEST(RtpdumpStatus, DiskFullIs74WithAValidFile) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "small").c_str(), 0755), 0);
  const uint16_t port = FreePortPair();
  const std::string target = "127.0.0.1/" + std::to_string(port);
  // A 16 KiB file system, mounted only in a mount namespace of its own.
  const std::string script =
      "mount -t tmpfs -o size=16k tmpfs \"$1\" || exit 99\n"
      "\"$2\" -F dump -t 1 -d \"$1/s.rtp\" \"$3\"; s=$?\n"
      "cp \"$1/s.rtp\" \"$4\"; exit $s\n";
  Process shell({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", script,
                 "sh", dir / "small", RTPDUMP_BIN, target, dir / "copy.rtp"});
  const std::string inside = "/proc/" + std::to_string(shell.Pid()) + "/root" + dir / "small/s.rtp";
  if (!WaitForFileSize(inside, long(HeaderBytes(target)), 5)) {
    shell.Wait(5);
    if (shell.ExitedWith(99) || shell.ExitedWith(1)) GTEST_SKIP() << "no mount namespace: " << shell.Err();
    FAIL() << shell.Err();
  }
  std::vector<Sent> stream;
  for (int i = 0; i < 40; ++i) stream.push_back({false, RtpPacket(uint16_t(i), 7, 1000)});
  SendStream("127.0.0.1", port, stream);
  ASSERT_TRUE(shell.Wait(10));
  EXPECT_TRUE(shell.ExitedWith(74)) << shell.Status() << shell.Err();
  DumpContents c = ReadDump(dir / "copy.rtp");
  EXPECT_EQ(c.end, rtptools::DumpReader::kEnd);
  EXPECT_GT(c.records.size(), 0u);
  EXPECT_LT(c.records.size(), stream.size());
  for (size_t i = 0; i < c.records.size(); ++i) EXPECT_EQ(c.records[i].data, stream[i].data);
}

}  // namespace
