// Multicast recording and playing, IPv4 and IPv6, in the test's own network.
#include <unistd.h>

#include "udp.h"

// The player sends to the group with the smallest TTL and the largest; the
// recorder and another program listening on the same group and port each get
// everything, and nothing sent to another group on that port is recorded.
TEST(Multicast, PlayerReachesTheGroupWhateverTheTtlAndTheRecorderTakesOnlyIt) {
  if (!OwnNetwork()) GTEST_SKIP() << "no network of the test's own to route multicast in";
  // IPv4 multicast loops back on lo. IPv6 does not, so its groups are routed
  // through a veth pair instead, which loops them back locally.
  for (std::string cmd : {"ip link set lo multicast on", "ip route add 224.0.0.0/4 dev lo",
                          "echo 0 >/proc/sys/net/ipv6/conf/default/accept_dad",
                          "ip link add mc0 type veth peer name mc1", "ip link set mc1 multicast off up",
                          "ip link set mc0 multicast on up"}) {
    // A machine that forbids any of these (not our own network, no veth,
    // read-only /proc/sys) is a limit of the machine, not a fault.
    RunResult r = RunProgram({"/bin/sh", "-c", "PATH=/usr/sbin:/sbin:$PATH; " + cmd});
    if (!r.ExitedWith(0)) GTEST_SKIP() << "cannot set up the network: " << cmd << ": " << r.err;
  }
  const std::vector<DumpRecord> records = Stream(10, 3, 0, 5);
  for (auto [group, other] : {std::pair{"239.1.2.3", "239.1.2.4"}, {"ff15::1:2", "ff15::1:3"}}) {
    SCOPED_TRACE(group);
    TempDir dir;
    const uint16_t port = PortPair();
    const std::string target = std::string(group) + "/" + std::to_string(port), file = dir / "got.rtp";
    WriteDump(dir / "g.rtp", "x/5004", records);
    Process rec({RTPDUMP_BIN, "-t", "1", "-d", file, target});
    ASSERT_TRUE(WaitForDump(file, target)) << rec.Err();
    const int neighbour = BindUdp(group, port), otherListener = BindUdp(other, port);
    std::vector<DumpRecord> played;
    for (const char* ttl : {"0", "255"}) {
      EXPECT_TRUE(RunProgram({RTPPLAY_BIN, "-f", dir / "g.rtp", target + "/" + ttl}).ExitedWith(0)) << ttl;
      EXPECT_TRUE(Received(neighbour, Due(records, false))) << ttl;
      played.insert(played.end(), records.begin(), records.end());
    }
    SendStream(other, port, Stream(20, 2));
    EXPECT_EQ(Receive(otherListener, 20).size(), 20u);  // the other group's traffic was there
    rec.Signal(SIGINT);
    EXPECT_EQ(rec.Finish(10).TermSignal(), SIGINT) << rec.Err();
    ExpectRecorded(ReadDump(file), played);
    close(neighbour), close(otherListener);
  }
}
