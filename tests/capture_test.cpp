// Capture files in and out, with the tools that read and write them.
#include <signal.h>
#include <unistd.h>

#include <regex>

#include "capture_in.h"
#include "capture_out.h"
#include "udp.h"

// A stream with two datagrams lost, from offset 0.
static std::vector<DumpRecord> Lossy() {
  std::vector<DumpRecord> s = Stream(40, 7, 0, 20);
  s.erase(s.begin() + 12, s.begin() + 14);  // RTP 10 and 11
  s.push_back({65507, 1000, RtpPacket(40, 7, 65507)});
  return s;
}

// Written out by the player and read back by the recorder: the same records,
// offsets to the millisecond; tshark agrees with rtpinfo on what it holds.
TEST(Capture, PlayedIntoACaptureAndRecordedBackWhole) {
  TempDir dir;
  const std::vector<DumpRecord> sent = Lossy();
  const bool tshark = access("/usr/bin/tshark", X_OK) == 0;
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    WriteDump(dir / "s.rtp", std::string(host) + "/5004", sent);
    // An empty host is the file's own address.
    EXPECT_TRUE(Ended(RunProgram({RTPPLAY_BIN, "-w", dir / "s.pcap", "-f", dir / "s.rtp", "/5004/9"}), 0, ""));
    const std::string at = std::string(host) + "/5004";
    if (tshark) {  // every IP and UDP checksum good ("1"), each datagram from its port to itself
      const RunResult c = RunProgram({"/usr/bin/tshark", "-r", dir / "s.pcap", "-o", "udp.check_checksum:TRUE", "-o",
                                      "ip.check_checksum:TRUE", "-T", "fields", "-e", "ip.checksum.status", "-e",
                                      "udp.checksum.status", "-e", "udp.srcport", "-e", "udp.dstport"});
      EXPECT_TRUE(std::regex_match(c.out, std::regex(host[0] == ':' ? "(\t1\t(\\d+)\t\\2\n)+" : "(1\t1\t(\\d+)\t\\2\n)+")))
          << c.out;
    }
    EXPECT_TRUE(Ended(RunProgram({RTPDUMP_BIN, "-r", dir / "s.pcap", "-d", dir / "back.rtp", at}), 0, ""));
    const DumpContents back = ReadDump(dir / "back.rtp");
    ExpectRecorded(back, sent);
    for (size_t i = 0; i < back.records.size() && i < sent.size(); ++i)
      EXPECT_EQ(back.records[i].offset, sent[i].offset) << "record " << i;
    EXPECT_EQ(back.header.startSec, 1700000000u);
    // From offset 1 s on, and with another address nothing is kept.
    EXPECT_TRUE(RunProgram({RTPPLAY_BIN, "-w", dir / "late.pcap", "-f", dir / "s.rtp", "-o", "1", at}).ExitedWith(0));
    EXPECT_TRUE(RunProgram({RTPDUMP_BIN, "-r", dir / "late.pcap", "-d", dir / "late.rtp", at}).ExitedWith(0));
    EXPECT_EQ(ReadDump(dir / "late.rtp").records.size(), 1u);
    const RunResult other = RunProgram({RTPDUMP_BIN, "-r", dir / "s.pcap", "-d", dir / "none.rtp", "127.0.0.2/5004"});
    EXPECT_TRUE(other.ExitedWith(0) && other.err.find(std::to_string(sent.size()) + " to other") != std::string::npos);
    EXPECT_TRUE(ReadDump(dir / "none.rtp").records.empty());
  }
  if (!tshark) GTEST_SKIP() << "no tshark";
  WriteDump(dir / "s.rtp", "127.0.0.1/5004", sent);
  ASSERT_TRUE(RunProgram({RTPPLAY_BIN, "-w", dir / "s.pcap", "-f", dir / "s.rtp", "/5004"}).ExitedWith(0));
  const RunResult t = RunProgram({"/usr/bin/tshark", "-r", dir / "s.pcap", "-d", "udp.port==5004,rtp", "-q", "-z", "rtp,streams"});
  const RunResult info = RunProgram({RTPINFO_BIN, "--json", dir / "s.rtp"});
  std::smatch ts, is;
  ASSERT_TRUE(std::regex_search(t.out, ts, std::regex(R"(0x00000007\s+\S+\s+(\d+)\s+(\d+))"))) << t.out << t.err;
  ASSERT_TRUE(std::regex_search(info.out, is, std::regex(R"("packets": (\d+).*"lost": (\d+))"))) << info.out;
  EXPECT_EQ(ts[1], is[1]);
  EXPECT_EQ(ts[2], is[2]);
  EXPECT_EQ(is[2], "2");
}

// A conference captured by tcpdump (Ethernet on lo, Linux cooked v2 on
// "any", and as pcapng) becomes a session file that plays back byte for
// byte as it was sent.
TEST(Capture, TcpdumpCaptureRecordedAndPlayedAsSent) {
  if (!OwnNetwork() || access("/usr/bin/tcpdump", X_OK) != 0) GTEST_SKIP() << "needs root and tcpdump";
  const struct { const char* iface; size_t linkHeader; } cases[] = {{"lo", 14}, {"any", 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.iface);
    TempDir dir;
    const uint16_t port = PortPair();
    Process tcpdump({"/usr/bin/tcpdump", "-i", c.iface, "-n", "-U", "-Z", "root", "-w", dir / "c.pcap", "udp"});
    ASSERT_TRUE(WaitUntil([&] { return tcpdump.Err().find("listening on") != std::string::npos; }, 10));
    const std::vector<DumpRecord> sent = Stream(30, 9), other = Stream(3, 10);
    SendStream("127.0.0.1", port, sent);
    SendStream("127.0.0.1", uint16_t(port + 2), other);  // another session's, not kept
    // Until every frame is in the file: a file header, then a record header
    // and link, IPv4 and UDP headers before each datagram.
    size_t size = 24;
    for (const auto* s : {&sent, &other})
      for (const DumpRecord& d : *s) size += 16 + c.linkHeader + 20 + 8 + d.data.size();
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir / "c.pcap").size() >= size; }, 10));
    tcpdump.Signal(SIGINT);
    ASSERT_TRUE(tcpdump.Finish(10).ExitedWith(0));
    Args captures = {"c.pcap"};
    if (RunProgram({"/usr/bin/editcap", "-F", "pcapng", dir / "c.pcap", dir / "c.pcapng"}).ExitedWith(0))
      captures.push_back("c.pcapng");
    for (const std::string& capture : captures) {
      const std::string at = "127.0.0.1/" + std::to_string(port);
      const RunResult r = RunProgram({RTPDUMP_BIN, "-r", dir / capture, "-d", dir / "s.rtp", at});
      ASSERT_TRUE(r.ExitedWith(0)) << capture << r.err;
      const uint16_t out = PortPair();
      const int rtp = BindUdp("127.0.0.1", out), rtcp = BindUdp("127.0.0.1", uint16_t(out + 1));
      EXPECT_TRUE(RunProgram({RTPPLAY_BIN, "-f", dir / "s.rtp", "127.0.0.1/" + std::to_string(out)}).ExitedWith(0));
      EXPECT_TRUE(Received(rtp, Due(sent, false))) << capture;
      EXPECT_TRUE(Received(rtcp, Due(sent, true))) << capture;
      close(rtp), close(rtcp);
    }
  }
}

TEST(Capture, CapturesThatCannotBeRead) {
  TempDir dir;
  WriteDump(dir / "s.rtp", "127.0.0.1/5004", Lossy());
  ASSERT_TRUE(RunProgram({RTPPLAY_BIN, "-w", dir / "s.pcap", "-f", dir / "s.rtp", "/5004"}).ExitedWith(0));
  const std::string whole = ReadFile(dir / "s.pcap");
  WriteFile(dir / "cut.pcap", whole.substr(0, whole.size() - 100));
  const struct { std::string capture; int status; const char* says; size_t kept; } cases[] = {
      {"missing.pcap", 66, "No such file", 0}, {"s.rtp", 65, "not a capture file", 0},
      {"cut.pcap", 0, "cut off", Lossy().size() - 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capture);
    const RunResult r = RunProgram({RTPDUMP_BIN, "-r", dir / c.capture, "-d", dir / "out.rtp", "/5004"});
    EXPECT_TRUE(r.ExitedWith(c.status) && r.err.find(c.says) != std::string::npos) << r.err;
    EXPECT_EQ(ReadDump(dir / "out.rtp").records.size(), c.kept);
    unlink((dir / "out.rtp").c_str());
  }
  EXPECT_TRUE(RunProgram({RTPPLAY_BIN, "-w", "/nonexistent/x.pcap", "-f", dir / "s.rtp", "/5004"}).ExitedWith(73));
  EXPECT_TRUE(RunProgram({RTPPLAY_BIN, "-w", "/dev/full", "-f", dir / "s.rtp", "/5004"}).ExitedWith(74));
  // Closed again, a writer says the same; one never opened has nothing that failed.
  rtptools::CaptureWriter never, full;
  std::string error;
  EXPECT_TRUE(never.Close());
  ASSERT_TRUE(full.Open("/dev/full", &error));
  EXPECT_TRUE(!full.Close() && !full.Close());
}

// Frames the recorder takes apart itself, on Ethernet (with one and two
// VLAN tags), Linux cooked v1 and raw IP: IPv6 with an extension header
// kept; an IPv4 fragment, TCP and a datagram the capture cut short skipped
// and counted.
TEST(Capture, FramesOfEveryKind) {
  using namespace std::string_literals;
  auto le32 = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  auto be16 = [](uint16_t v) { return std::string{char(v >> 8), char(v)}; };
  const std::string payload = RtpPacket(1, 5, 20), udp = be16(4000) + be16(5004) + be16(28) + be16(0) + payload;
  auto ipv4 = [&](uint16_t fragment) {
    return "\x45\0"s + be16(48) + be16(1) + be16(fragment) + "\x40\x11"s + be16(0) + "\x7f\0\0\x01\x7f\0\0\x01"s + udp;
  };
  const std::string one = std::string(15, 0) + "\x01";  // ::1
  const std::string ipv6 = "\x60\0\0\0"s + be16(8 + 28) + "\0\x40"s + one + one + "\x11"s + std::string(7, 0) + udp;
  std::string tcp = ipv4(0);
  tcp[9] = 6;
  // Per link type (Ethernet, Linux cooked v1, raw IP), what comes before IPv4 and IPv6.
  const std::string mac(12, 0), cooked(14, 0);
  const struct { uint32_t link; std::string v4, v6; } links[] = {
      {1, mac + be16(0x0800), mac + be16(0x86dd)}, {113, cooked + be16(0x0800), cooked + be16(0x86dd)}, {101, "", ""}};
  for (const auto& l : links) {
    SCOPED_TRACE(l.link);
    std::vector<std::string> frames = {l.v4 + ipv4(0), l.v4 + ipv4(0x2000), l.v6 + ipv6, l.v4 + tcp, l.v4 + ipv4(0)};
    if (l.link == 1) {
      frames.push_back(mac + be16(0x8100) + be16(7) + be16(0x0800) + ipv4(0));
      frames.push_back(mac + be16(0x88a8) + be16(7) + be16(0x8100) + be16(8) + be16(0x0800) + ipv4(0));
    }
    std::string pcap = le32(0xa1b2c3d4) + le32(0x00040002) + le32(0) + le32(0) + le32(65535) + le32(l.link);
    for (size_t i = 0; i < frames.size(); ++i) {
      const size_t kept = i == 4 ? frames[i].size() - 5 : frames[i].size();  // the fifth cut by the snap length
      pcap += le32(1700000000) + le32(uint32_t(i) * 1000) + le32(uint32_t(kept)) + le32(uint32_t(frames[i].size())) +
              frames[i].substr(0, kept);
    }
    TempDir dir;
    WriteFile(dir / "f.pcap", pcap);
    const RunResult r = RunProgram({RTPDUMP_BIN, "-r", dir / "f.pcap", "-d", dir / "s.rtp", "/5004"});
    EXPECT_TRUE(Ended(r, 0, "rtpdump: skipped 3 packet(s): 1 IP fragment(s), 1 cut short by the capture, "
                            "1 not UDP over IP, 0 to other addresses or ports, or from other sources\n")) << r.err;
    const DumpContents got = ReadDump(dir / "s.rtp");
    ASSERT_EQ(got.records.size(), frames.size() - 3);
    for (const DumpRecord& d : got.records) EXPECT_EQ(d.data, payload);
    EXPECT_EQ(got.records[1].offset, 2u);
  }
}
