// The player run as a user or confrec would run it, to receivers on loopback.
#include <unistd.h>

#include "clock.h"
#include "udp.h"

namespace {

// A receiver on PORT and one on PORT + 1.
struct Receivers {
  explicit Receivers(const std::string& host) : host(host), port(PortPair()) {
    rtp = BindUdp(host, port);
    rtcp = BindUdp(host, uint16_t(port + 1));
  }
  ~Receivers() { close(rtp), close(rtcp); }
  std::string Target() const { return host + "/" + std::to_string(port) + "/1"; }
  // What the player sent from `from` ms on, and nothing else.
  void ExpectPlayed(const std::vector<DumpRecord>& records, uint32_t from) {
    EXPECT_TRUE(Received(rtp, Due(records, false, from))) << "RTP";
    EXPECT_TRUE(Received(rtcp, Due(records, true, from))) << "RTCP";
  }
  std::string host;
  uint16_t port;
  int rtp, rtcp;
};

// Each record goes to its port, once its offset has passed: late is possible,
// early never. The offset is read as confrec reads numbers; the schedule
// starts there, so records a minute in play at once.
TEST(Rtpplay, SendsEveryRecordDueToItsPortNeverEarly) {
  TempDir dir;
  std::vector<DumpRecord> early = Stream(20, 1, 0, 25), late = Stream(5, 2, 60000, 100), both = early;
  early[2].plen = 1500;  // stored short of its length: sent as stored
  both.insert(both.end(), late.begin(), late.end());
  WriteDump(dir / "early.rtp", "0.0.0.0/0", early);
  WriteDump(dir / "both.rtp", "h/2", both);
  const struct { const char *host, *file, *offset; const std::vector<DumpRecord>& records; uint32_t from; } cases[] = {
      {"127.0.0.1", "early.rtp", "0", early, 0}, {"::1", "early.rtp", "0", early, 0},
      {"127.0.0.1", "both.rtp", "59s", both, 59000}, {"127.0.0.1", "both.rtp", "99999999999999", both, 0xFFFFFFFF},
      {"127.0.0.1", "early.rtp", "abc", early, 0}, {"127.0.0.1", "early.rtp", "-5", early, 0},
      {"127.0.0.1", "early.rtp", "0.4", early, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " -o " + c.offset);
    Receivers rx(c.host);
    const double spawned = double(rtptools::NowNs(CLOCK_REALTIME)) / 1e9;
    EXPECT_TRUE(Ended(RunProgram({RTPPLAY_BIN, "-f", dir / c.file, "-o", c.offset, rx.Target()}), 0, ""));
    std::vector<double> when;
    const std::vector<std::string> got = Receive(rx.rtp, Due(c.records, false, c.from).size(), &when);
    std::vector<uint32_t> offsets;
    for (const DumpRecord& d : c.records)
      if (d.plen && d.offset >= c.from) offsets.push_back(d.offset - c.from);
    for (size_t i = 0; i < when.size() && i < offsets.size(); ++i)
      EXPECT_GE(when[i] - spawned, offsets[i] / 1000.0 - 0.001) << "datagram " << i;
    EXPECT_EQ(got.size(), offsets.size());
    EXPECT_TRUE(got == Due(c.records, false, c.from));
    EXPECT_TRUE(Received(rx.rtcp, Due(c.records, true, c.from)));
  }
}

TEST(Rtpplay, DamagedFilesAndExitStatuses) {
  TempDir dir;
  Receivers rx("127.0.0.1");
  // A file cut inside its last record plays the records before it, even
  // with nowhere to say so.
  std::vector<DumpRecord> records = Stream(16, 1, 0, 5);
  WriteDump(dir / "s.rtp", "h/2", records);
  const std::string bytes = ReadFile(dir / "s.rtp");
  WriteFile(dir / "cut.rtp", bytes.substr(0, bytes.size() - 5));
  EXPECT_TRUE(RunProgram({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&-", RTPPLAY_BIN, "-f", dir / "cut.rtp", rx.Target()}).ExitedWith(0));
  records.pop_back();
  rx.ExpectPlayed(records, 0);
  EXPECT_EQ(ReadFile(dir / "cut.rtp"), bytes.substr(0, bytes.size() - 5));

  WriteFile(dir / "notes.txt", "SessionsRecorded = 1\nTimeRecorded0 = 1\n");
  WriteFile(dir / "bad.rtp", "#!rtpplay1.0 h/2\n" + std::string(16, '\0') + std::string(8, '\0'));
  const std::string f = dir / "s.rtp", at = rx.Target();
  // Addresses are checked by the reader the tools share; one bad one here.
  const std::vector<std::pair<Args, int>> cases = {
      {{}, 64}, {{"-f", f}, 64}, {{at}, 64}, {{"-f", f, "127.0.0.1/0/1"}, 64}, {{"-q", "-f", f, at}, 64},
      {{"-f", f, at, at}, 64}, {{"-o"}, 64}, {{"-f", dir / "notes.txt", at}, 65}, {{"-f", dir / "bad.rtp", at}, 65},
      {{"-f", dir / "missing.rtp", at}, 66}, {{"-f", dir.path, at}, 66}, {{"-f", f, "nosuch.invalid/5004/1"}, 68},
      {{"-f", f, "232.1.1.1%nosuch0/5004"}, 68}, {{"-f", f, "198.51.100.7@192.0.2.1/5004"}, 64},
  };
  for (auto [args, status] : cases) {
    args.insert(args.begin(), RTPPLAY_BIN);
    RunResult r = RunProgram(args);
    EXPECT_TRUE(r.ExitedWith(status)) << testing::PrintToString(args) << r.err;
    EXPECT_EQ(r.err.rfind("rtpplay: ", 0), 0u) << r.err;
  }
  rx.ExpectPlayed({}, 0);
  EXPECT_TRUE(RunProgram({RTPPLAY_BIN, "-h"}).ExitedWith(0));
}

}  // namespace
