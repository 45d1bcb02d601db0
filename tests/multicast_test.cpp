// Multicast recording and playing, IPv4 and IPv6, inside a network namespace
// of the test's own.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "udp_helpers.h"

namespace {

struct Group {
  const char* group;
  const char* other;  // another group, same port: must not be recorded
};

void PrintTo(const Group& g, std::ostream* os) { *os << g.group; }

class Multicast : public ::testing::TestWithParam<Group> {
 protected:
  void SetUp() override {
    home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(home_, 0);
    if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "network namespaces not permitted";
    // IPv4 multicast loops back on lo. IPv6 does not, so its groups are
    // routed through a veth pair instead, which loops them back locally.
    for (std::string cmd :
         {"ip link set lo up", "ip link set lo multicast on", "ip route add 224.0.0.0/4 dev lo",
          "echo 0 >/proc/sys/net/ipv6/conf/default/accept_dad",
          "ip link add mc0 type veth peer name mc1", "ip link set mc1 multicast off up",
          "ip link set mc0 multicast on up"}) {
      // A sandbox may forbid any of these (no veth, read-only /proc/sys):
      // that is the machine's limit, not the tools' fault.
      RunResult r = RunProgram({"/bin/sh", "-c", "PATH=/usr/sbin:/sbin:$PATH; " + cmd}, {}, 10);
      if (!r.ExitedWith(0)) GTEST_SKIP() << "cannot set up the namespace: " << cmd << ": " << r.err;
    }
  }
  void TearDown() override {
    if (home_ >= 0) {
      EXPECT_EQ(setns(home_, CLONE_NEWNET), 0);
      close(home_);
    }
  }
  int home_ = -1;
};

TEST_P(Multicast, RecordsOnlyItsGroupWhileSharingThePort) {
  const Group g = GetParam();
  TempDir dir;
  const uint16_t port = 5004;  // the namespace is empty: any port is free
  const std::string target = std::string(g.group) + "/" + std::to_string(port);
  const std::string file = dir / "g.rtp";
  Process rec({RTPDUMP_BIN, "-F", "dump", "-t", "1", "-d", file, target});
  ASSERT_TRUE(WaitForFileSize(file, long(14 + target.size() + 16), 5)) << rec.Err();
  // Another program listening to the same group and port.
  int neighbour = BindUdp(g.group, port, true);
  int otherListener = BindUdp(g.other, port, true);
  ASSERT_GE(neighbour, 0);
  ASSERT_GE(otherListener, 0);

  int tx = SenderSocket(g.group);
  std::vector<std::string> mine, rtcp;
  for (int i = 0; i < 20; ++i) {
    mine.push_back(RtpPacket(uint16_t(i), 1, 200));
    SendTo(tx, g.group, port, mine.back());
    SendTo(tx, g.other, port, RtpPacket(uint16_t(1000 + i), 2, 200));
  }
  rtcp.push_back(RtcpReport(1, 20));
  SendTo(tx, g.group, port + 1, rtcp.back());
  close(tx);

  EXPECT_TRUE(SameDatagrams(ReceiveUpTo(neighbour, 20, 3), mine));
  EXPECT_EQ(ReceiveUpTo(otherListener, 20, 3).size(), 20u);  // the other group's traffic was there
  rec.Signal(SIGINT);
  ASSERT_TRUE(rec.Wait(5));
  EXPECT_EQ(rec.TermSignal(), SIGINT) << rec.Err();
  DumpContents c = ReadDump(file);
  EXPECT_EQ(c.end, rtptools::DumpReader::kEnd);
  std::vector<std::string> recorded;
  for (const DumpRecord& r : c.records) recorded.push_back(r.data);
  mine.push_back(rtcp[0]);
  EXPECT_TRUE(SameDatagrams(recorded, mine));
  ASSERT_EQ(c.records.size(), 21u);
  EXPECT_EQ(c.records[20].plen, 0);
  close(neighbour);
  close(otherListener);
}

TEST_P(Multicast, PlayerReachesListenersOnThisMachine) {
  const Group g = GetParam();
  TempDir dir;
  std::vector<DumpRecord> records;
  for (uint32_t i = 0; i < 10; ++i) records.push_back({200, i * 5, RtpPacket(uint16_t(i), 3, 200)});
  records.push_back({0, 50, RtcpReport(3, 10)});
  WriteDump(dir / "g.rtp", "x/5004", records);
  int rtp = BindUdp(g.group, 6000, true), rtcp = BindUdp(g.group, 6001, true);
  for (const char* ttl : {"0", "1", "255"}) {
    SCOPED_TRACE(ttl);
    RunResult r = RunProgram({RTPPLAY_BIN, "-f", dir / "g.rtp", std::string(g.group) + "/6000/" + ttl}, {}, 10);
    EXPECT_TRUE(r.ExitedWith(0)) << r.err;
    EXPECT_EQ(ReceiveUpTo(rtp, 10, 3).size(), 10u);
    EXPECT_TRUE(SameDatagrams(ReceiveUpTo(rtcp, 1, 3), {records.back().data}));
  }
  close(rtp);
  close(rtcp);
}

INSTANTIATE_TEST_SUITE_P(Ipv4AndIpv6, Multicast,
                         ::testing::Values(Group{"239.1.2.3", "239.1.2.4"},
                                           Group{"ff15::1:2", "ff15::1:3"}),
                         [](const ::testing::TestParamInfo<Group>& info) {
                           return std::string(info.index == 0 ? "Ipv4" : "Ipv6");
                         });

}  // namespace
