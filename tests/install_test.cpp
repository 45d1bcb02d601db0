// The installed tree: what `cmake --install` puts where, and confrec run from
// it against the installed recorder, player and inspector.
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "udp_helpers.h"

namespace {

TEST(Installed, RecordsPlaysAndInspectsFromItsOwnPrefix) {
  TempDir root, work;
  RunResult install = RunProgram({CMAKE_BIN, "--install", BUILD_DIR, "--prefix", "/opt/cr"},
                                 {"", "", {"DESTDIR=" + root.Path()}}, 60);
  ASSERT_TRUE(install.ExitedWith(0)) << install.err;
  const std::string bin = root / "opt/cr/bin";
  for (const char* tool : {"confrec", "rtpdump", "rtpplay", "rtpinfo"}) {
    EXPECT_EQ(access((bin + "/" + tool).c_str(), X_OK), 0) << tool;
    EXPECT_TRUE(FileExists(root / "opt/cr/share/man/man1/" + tool + ".1")) << tool;
  }
  EXPECT_FALSE(FileExists(bin + "/rtpgen"));

  ProcessOptions opt;
  opt.cwd = work.Path();
  opt.pathPrefix = bin;
  const uint16_t port = FreePortPair();
  const std::string address = "127.0.0.1/" + std::to_string(port);
  {
    ProcessOptions group = opt;
    group.newProcessGroup = true;
    Process rec({bin + "/confrec", "-r", "-c", "talk", "-a", address}, group);
    ASSERT_TRUE(WaitForFileSize(work / "talk.0.a.rtp", 40, 5)) << rec.Err();
    SendStream("127.0.0.1", port, Stream(20, 0xA));
    rec.SignalGroup(SIGINT);
    ASSERT_TRUE(rec.Wait(10));
    EXPECT_TRUE(rec.ExitedWith(0)) << rec.Err();
  }
  RunResult info = RunProgram({bin + "/rtpinfo", "--json", "-c", "talk"}, opt);
  EXPECT_TRUE(info.ExitedWith(0)) << info.err;
  EXPECT_NE(info.out.find("\"rtp_packets\": 20, \"rtcp_packets\": 4,"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"expected\": 20, \"lost\": 0, \"duplicates\": 0"), std::string::npos) << info.out;

  int rtp = BindUdp("127.0.0.1", port), rtcp = BindUdp("127.0.0.1", uint16_t(port + 1));
  RunResult play = RunProgram({bin + "/confrec", "-p", "-c", "talk", "-a", address}, opt);
  EXPECT_TRUE(play.ExitedWith(0)) << play.err;
  std::vector<std::string> want, wantRtcp;
  for (const Sent& s : Stream(20, 0xA)) (s.rtcp ? wantRtcp : want).push_back(s.data);
  EXPECT_TRUE(SameDatagrams(ReceiveUpTo(rtp, want.size(), 5), want));
  EXPECT_TRUE(SameDatagrams(ReceiveUpTo(rtcp, wantRtcp.size(), 5), wantRtcp));
  close(rtp);
  close(rtcp);
}

}  // namespace
