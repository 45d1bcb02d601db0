// rtpinfo's stream analysis beside the tools people check recordings with:
// Wireshark's figures, a player given its SDP, and a browser given its page.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "udp.h"

namespace {

// The G.711 packet (PT 0 or 8) of 20 ms at 8000 Hz that is number `n` of
// its source.
std::string G711(uint8_t pt, uint16_t n, uint16_t firstSeq, uint32_t ssrc) {
  std::string p = RtpPacket(uint16_t(firstSeq + n), ssrc, 12 + 160);
  p[1] = char(pt);
  rtptools::Put32(reinterpret_cast<uint8_t*>(&p[4]), n * 160u);
  return p;
}

// Two sources whose arrivals are whole milliseconds, so that the file's
// offsets are exact: one late by 0 to 6 ms in a pattern, with two losses
// and two packets swapped; one that steps 30 ms later halfway, its
// sequence numbers wrapping.
std::vector<DumpRecord> Jittery() {
  std::vector<DumpRecord> r;
  for (uint16_t i = 0; i < 400; ++i) {
    const uint32_t late = i == 151 ? 2999 : i * 20 + i * 7 % 5 + (i % 11 == 3 ? 6 : 0);  // 151 before 150
    if (i != 50 && i != 51) r.push_back({172, late, G711(0, i, 0, 0x51)});
    r.push_back({172, uint32_t(i * 20 + 3 + (i >= 200 ? 30 : 0)), G711(8, i, 65400, 0x52)});
  }
  std::stable_sort(r.begin(), r.end(), [](const DumpRecord& a, const DumpRecord& b) { return a.offset < b.offset; });
  return r;
}

double Field(const std::string& json, const std::string& name, size_t from) {
  const size_t at = json.find("\"" + name + "\": ", from);
  return at == std::string::npos ? -1 : std::atof(json.c_str() + at + name.size() + 4);
}

}  // namespace

// tshark's RTP stream analysis of the same recording played into a capture:
// the same packets, losses, largest and mean delta, largest and mean jitter.
TEST(Analysis, FiguresAgreeWithWireshark) {
  if (access("/usr/bin/tshark", X_OK) != 0) GTEST_SKIP() << "no tshark";
  TempDir dir;
  WriteDump(dir / "j.rtp", "127.0.0.1/5004", Jittery());
  ASSERT_TRUE(RunProgram({RTPPLAY_BIN, "-w", dir / "j.pcap", "-f", dir / "j.rtp", "/5004"}).ExitedWith(0));
  const RunResult t = RunProgram({"/usr/bin/tshark", "-r", dir / "j.pcap", "-d", "udp.port==5004,rtp", "-q", "-z", "rtp,streams"});
  const RunResult info = RunProgram({RTPINFO_BIN, "--json", dir / "j.rtp"});
  ASSERT_TRUE(info.ExitedWith(0)) << info.err;
  for (const char* ssrc : {"0x00000051", "0x00000052"}) {
    SCOPED_TRACE(ssrc);
    // Pkts, Lost, then min, mean and max delta, min, mean and max jitter.
    std::smatch m;
    const std::string num = R"(\s+([-\d.]+))";
    ASSERT_TRUE(std::regex_search(t.out, m, std::regex(std::string(ssrc) + R"(\s+\S+\s+(\d+)\s+(-?\d+) \(.*?\))" + num + num + num + num + num + num)))
        << t.out << t.err;
    const size_t at = info.out.find("\"ssrc\": " + std::to_string(std::stoul(ssrc, nullptr, 16)));
    ASSERT_NE(at, std::string::npos) << info.out;
    EXPECT_EQ(Field(info.out, "packets", at), std::stod(m[1]));
    EXPECT_EQ(Field(info.out, "lost", at), std::stod(m[2]));
    const struct { const char* name; int group; } figures[] = {
        {"mean_gap_ms", 4}, {"max_gap_ms", 5}, {"mean_jitter_ms", 7}, {"max_jitter_ms", 8}};
    for (const auto& f : figures) EXPECT_NEAR(Field(info.out, f.name, at), std::stod(m[size_t(f.group)]), 0.01) << f.name;
    EXPECT_GT(Field(info.out, "max_jitter_ms", at), 0.5);
  }
  EXPECT_EQ(Field(info.out, "sequence_errors", 0), 4) << t.out;  // after the gap; the swap costs three
}

// Session 0 of conference m: 100 PCMU packets written as recorded.
void RecordPcmu(const TempDir& dir) {
  std::vector<DumpRecord> audio;
  for (uint16_t i = 0; i < 100; ++i) {
    audio.push_back({172, i * 20u, G711(0, i, 0, 0x61)});
    if (i % 25 == 0) audio.push_back({0, i * 20u, RtcpReport(0x61, i)});
  }
  WriteDump(dir / "m.0.a.rtp", "x/5004", audio);
}

// Session 0 of conference m: 2 s of H.264 (PT 96, key frames in FU-A
// fragments) that ffmpeg sent and rtpdump recorded.
void RecordH264(const TempDir& dir) {
  const uint16_t port = PortPair();
  const std::string at = "127.0.0.1/" + std::to_string(port);
  Process rec({RTPDUMP_BIN, "-d", dir / "m.0.v.rtp", at});
  ASSERT_TRUE(WaitForDump(dir / "m.0.v.rtp", at)) << rec.Err();
  const RunResult sent = RunProgram(
      {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
       "testsrc=size=320x240:rate=25:duration=2", "-c:v", "libx264", "-preset", "ultrafast", "-bf", "0", "-g", "25",
       "-f", "rtp", "rtp://127.0.0.1:" + std::to_string(port) + "?pkt_size=1200"}, {}, 30);
  ASSERT_TRUE(sent.ExitedWith(0)) << sent.err;
  rec.Signal(SIGINT);
  ASSERT_EQ(rec.Finish(10).TermSignal(), SIGINT) << rec.Err();
}

struct SdpCase {
  const char* name;
  void (*record)(const TempDir&);
  const char* flag;   // -a or -v
  const char* lines;  // what the description must hold for ffmpeg to take it
  const char* frames;  // ffmpeg's option to end after `count`
  const char* count;
  const char* codec;  // as ffprobe names it
};

// ffmpeg, given only the SDP, receives what confrec -p plays to a multicast
// group: audio with a static payload type, H.264 with its packetization mode.
TEST(Analysis, SdpLetsFfmpegReceiveThePlayback) {
  SKIP_IF_INSTRUMENTED();
  if (!OwnNetwork() || access("/usr/bin/ffmpeg", X_OK) != 0) GTEST_SKIP() << "needs a network of its own and ffmpeg";
  for (std::string cmd : {"ip link set lo multicast on", "ip route add 224.0.0.0/4 dev lo"})
    ASSERT_TRUE(RunProgram({"/bin/sh", "-c", "PATH=/usr/sbin:/sbin:$PATH; " + cmd}).ExitedWith(0)) << cmd;
  const SdpCase cases[] = {
      {"PCMU", RecordPcmu, "-a", "m=audio PORT RTP/AVP 0\r\nc=IN IP4 239.7.7.7/1\r\n", "-frames:a", "100", "pcm_mulaw"},
      // 40 of the 50 frames: the last ones end only where a next one starts.
      {"H264", RecordH264, "-v", "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1\r\n", "-frames:v", "40",
       "h264"},
  };
  for (const SdpCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir / "m.cf", "SessionsRecorded = 1\nTimeRecorded0 = 3\n");
    c.record(dir);
    if (HasFatalFailure()) return;
    const uint16_t port = PortPair();
    const std::string target = "239.7.7.7/" + std::to_string(port);
    const RunResult sdp = RunProgram({RTPINFO_BIN, "--sdp", "-c", "m", c.flag, target}, InDir(dir));
    ASSERT_TRUE(sdp.ExitedWith(0)) << sdp.err;
    EXPECT_NE(sdp.out.find(std::regex_replace(c.lines, std::regex("PORT"), std::to_string(port))), std::string::npos)
        << sdp.out;
    WriteFile(dir / "m.sdp", sdp.out);
    // It ends by itself only once every packet has come.
    Process ffmpeg({"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-protocol_whitelist", "file,udp,rtp", "-i",
                    dir / "m.sdp", "-c", "copy", c.frames, c.count, dir / "got.nut"});
    char bound[8];
    std::snprintf(bound, sizeof bound, ":%04X ", port);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile("/proc/net/udp").find(bound) != std::string::npos; }, 20))
        << ffmpeg.Err();
    EXPECT_TRUE(RunProgram({CONFREC_BIN, "-p", "-c", "m", c.flag, target}, InDir(dir)).ExitedWith(0));
    EXPECT_TRUE(ffmpeg.Finish(20).ExitedWith(0)) << ffmpeg.Err();
    const RunResult probe = RunProgram({"/usr/bin/ffprobe", "-v", "error", "-count_packets", "-show_entries",
                                        "stream=codec_name,nb_read_packets", "-of", "csv=p=0", dir / "got.nut"});
    EXPECT_EQ(probe.out, std::string(c.codec) + "," + c.count + "\n") << probe.err;
  }
}

// Headless Chromium draws the page of a conference of two sessions, one
// with a loss and a silence of 6 s, and its DOM holds the figures.
TEST(Analysis, PageRendersInABrowserWithTheFigures) {
  SKIP_IF_INSTRUMENTED();
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "no chromium";
  TempDir dir;
  std::vector<DumpRecord> first = Jittery(), second;
  for (uint16_t i = 0; i < 100; ++i) second.push_back({172, i * 20u + (i >= 50 ? 6000 : 0), G711(0, i, 0, 0x71)});
  WriteFile(dir / "m.cf", "SessionsRecorded = 2\nTimeRecorded0 = 1\nTimeRecorded1 = 1\n");
  WriteDump(dir / "m.0.a.rtp", "x/5004", first);
  WriteDump(dir / "m.1.a.rtp", "x/5004", second, {1700000100, 0, 0, 5004});
  ASSERT_TRUE(Ended(RunProgram({RTPINFO_BIN, "--html", "m.html", "-c", "m"}, InDir(dir)), 0, ""));
  const std::string page = ReadFile(dir / "m.html");
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("http:"), page.find("http://www.w3.org/2000/svg"));  // the SVG namespace alone
  for (const std::string& how : {"--screenshot=" + dir.path + "/m.png", std::string("--dump-dom")}) {
    TempDir profile;
    const RunResult r = RunProgram({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                    "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                    "--disable-sync", "--user-data-dir=" + profile.path, "--window-size=1200,600", how,
                                    "file://" + dir.path + "/m.html"}, {}, 60);
    ASSERT_TRUE(r.ExitedWith(0)) << how << r.err;
    if (how == "--dump-dom") {
      for (const char* figure : {"<td>0x00000051</td><td>PCMU</td><td>398</td><td>2</td><td>0</td><td>4</td>",
                                 "<td>0x00000071</td>", "<title>silent 6.0 s</title>", "<title>2 lost</title>",
                                 "<title>session 1</title>"})
        EXPECT_NE(r.out.find(figure), std::string::npos) << figure;
    }
  }
  EXPECT_EQ(ReadFile(dir / "m.png").substr(0, 4), "\x89PNG");
}
