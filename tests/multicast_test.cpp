// Multicast recording and playing, IPv4 and IPv6, in the test's own network.
#include <net/if.h>
#include <signal.h>
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

// Two links to a peer's network, as a recording server with two interfaces
// sees them: r1-s1 (10.1.1.0/24, 2001:db8:1::/64), where A (.2, ::2) and B
// (.3, ::3) send, and r2-s2, where .2 sends. Groups are routed over the first
// link on both sides, so only an interface given sends or joins on the second.
class Links : public testing::Test {
 protected:
  void SetUp() override {
    if (!OwnNetwork()) GTEST_SKIP() << "no network of the test's own to link to another";
    const RunResult r = RunProgram({"/bin/sh", "-c", R"(set -e; PATH=/usr/sbin:/sbin:$PATH; ip netns add $0
      for i in 1 2; do ip link add r$i type veth peer name s$i netns $0; ip link set r$i multicast on up
        ip -n $0 link set s$i multicast on up; ip addr add 10.1.$i.1/24 dev r$i; ip -n $0 addr add 10.1.$i.2/24 dev s$i
        ip addr add 2001:db8:$i::1/64 dev r$i nodad; ip -n $0 addr add 2001:db8:$i::2/64 dev s$i nodad; done
      ip -n $0 addr add 10.1.1.3/24 dev s1; ip -n $0 addr add 2001:db8:1::3/64 dev s1 nodad
      ip route add 224.0.0.0/4 dev r1; ip -n $0 route add 224.0.0.0/4 dev s1)", peer});
    if (!r.ExitedWith(0)) GTEST_SKIP() << "cannot link to another network: " << r.err;
    WriteDump(dir / "w.rtp", "x/5004", wanted), WriteDump(dir / "u.rtp", "x/5004", Stream(10, 2));
  }
  void TearDown() override { RunProgram({"/bin/ip", "netns", "del", peer}); }
  Args InPeer(Args a) const { return a.insert(a.begin(), {"/bin/ip", "netns", "exec", peer}), a; }
  // The peer's players send B's stream to `other`, then A's to `from`.
  void Send(const std::string& other, const std::string& from) {
    for (auto [file, to] : {std::pair{"u.rtp", other}, {"w.rtp", from}})
      EXPECT_TRUE(RunProgram(InPeer({RTPPLAY_BIN, "-f", dir / file, to})).ExitedWith(0)) << to;
  }
  // Runs `recorder` in `dir` while `send` runs, until `file` holds the
  // header for `target` and A's stream; then it must hold that alone.
  RunResult RecordOnly(const Args& recorder, const std::string& file, const std::string& target,
                       const std::function<void()>& send) {
    Process rec(recorder, InDir(dir));
    EXPECT_TRUE(WaitForDump(dir / file, target)) << rec.Err();
    send();
    EXPECT_TRUE(WaitForDump(dir / file, target, wanted));
    rec.Signal(SIGTERM);
    const RunResult r = rec.Finish(10);
    ExpectRecorded(ReadDump(dir / file), wanted);
    return r;
  }
  const std::string peer = "confrec-links-" + std::to_string(getpid());
  const std::vector<DumpRecord> wanted = Stream(10, 1);
  TempDir dir;
};

// A recorder given an interface (a name, or an index) records only that
// link's datagrams, and one given A@GROUP only A's; its join on the wire is a
// source-specific report (IGMPv3, MLDv2), and `rtpdump -r` keeps A's alone
// from a capture of the wire, not looking for the interface. Players send
// out of the interface, to a group or to a unicast address, and from the
// source, given.
TEST_F(Links, RecorderTakesOnlyItsInterfaceOrSource) {
  const std::string r2 = std::to_string(if_nametoindex("r2")), a6 = "[2001:db8:1::2]@ff3e::1234%";
  const struct { std::string rec, from, other, report; } cases[] = {
      {"232.1.1.1%r1", "232.1.1.1%s1", "232.1.1.1%s2", ""}, {"232.1.1.1%" + r2, "232.1.1.1%s2", "232.1.1.1%s1", ""},
      {"ff3e::1234%r2", "ff3e::1234%s2", "ff3e::1234%s1", ""}, {"%r1", "10.1.1.1%s1", "10.1.2.1%s2", ""},
      {"10.1.1.2@232.1.1.1%r1", "10.1.1.2@232.1.1.1%s1", "10.1.1.3@232.1.1.1%s1",
       "igmp v3 report, 1 group record(s) [gaddr 232.1.1.1 allow { 10.1.1.2 }]"},
      {a6 + "r1", a6 + "s1", "[2001:db8:1::3]@ff3e::1234%s1",
       "listener report v2, 1 group record(s) [gaddr ff3e::1234 allow { 2001:db8:1::2 }]"},
      // A unicast destination reached through the interface given, not the one its route names.
      {"%r2", "10.1.1.1%s2", "10.1.1.1%s1", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rec);
    const std::string port = "/" + std::to_string(PortPair()), wire = dir / "wire";
    Process tcpdump({"/bin/sh", "-c", "exec tcpdump -i r1 -n -vv -l -U -w $0.pcap --print >$0.txt", wire});
    ASSERT_TRUE(WaitUntil([&] { return tcpdump.Err().find("listening on") != std::string::npos; }, 10));
    EXPECT_EQ(RecordOnly({RTPDUMP_BIN, "-d", "got.rtp", c.rec + port}, "got.rtp", c.rec + port,
                         [&] { Send(c.other + port, c.from + port); }).TermSignal(), SIGTERM);
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(wire + ".txt").find(c.report) != std::string::npos; }, 10));
    tcpdump.Signal(SIGINT);
    ASSERT_TRUE(tcpdump.Finish(10).ExitedWith(0));
    if (c.report.empty()) continue;
    EXPECT_TRUE(RunProgram({RTPDUMP_BIN, "-r", wire + ".pcap", "-d", dir / "got.rtp", c.from + port}).ExitedWith(0));
    ExpectRecorded(ReadDump(dir / "got.rtp"), wanted);
  }
}

// confrec records A alone through the first link, and plays the recording
// out of the second link only.
TEST_F(Links, ConfrecRecordsASourceOnOneLinkAndPlaysOnAnother) {
  const std::string port = "/" + std::to_string(PortPair()), spec = "10.1.1.2@232.1.1.1%r1" + port;
  const std::string back = "232.1.1.1%s2" + port;
  EXPECT_TRUE(Ended(RecordOnly({CONFREC_BIN, "-r", "-c", "m", "-a", spec}, "m.0.a.rtp", spec,
                               [&] { Send("10.1.1.3@232.1.1.1%s1" + port, "10.1.1.2@232.1.1.1%s1" + port); }),
                    0, "Child died with signal 15\n"));
  EXPECT_EQ(RecordOnly(InPeer({RTPDUMP_BIN, "-d", "back.rtp", back}), "back.rtp", back, [&] {
    EXPECT_TRUE(Ended(RunProgram({CONFREC_BIN, "-p", "-c", "m", "-a", "232.1.1.1%r2" + port}, InDir(dir)), 0, ""));
  }).TermSignal(), SIGTERM);
}
