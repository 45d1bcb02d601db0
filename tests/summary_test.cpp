#include "summary.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "report.h"
#include "udp_helpers.h"

using namespace rtptools;

namespace {

TEST(StreamStats, WrapReorderDuplicatesAndLosses) {
  StreamStats s(7);
  uint32_t t = 0;
  // 65534 to 5 across the wrap, 1 after 2, 2 twice, 3 and 4 never.
  for (uint16_t seq : {65534, 65535, 0, 2, 1, 2, 5}) s.Add(seq, 96, t += 20);
  s.Add(6, 97, t += 300);
  EXPECT_EQ(s.FirstSeq(), 65534);
  EXPECT_EQ(s.LastSeq(), 6);
  EXPECT_EQ(s.packets, 8u);
  EXPECT_EQ(s.Expected(), 9u);
  EXPECT_EQ(s.Lost(), 2u);
  EXPECT_EQ(s.duplicates, 1u);
  EXPECT_EQ(s.maxGapMs, 300u);
  EXPECT_TRUE(s.payloadTypes[96] && s.payloadTypes[97]);
  EXPECT_EQ(s.payloadTypes.count(), 2u);

  // A packet from before the first, and many wraps: nothing is lost.
  StreamStats w(8);
  w.Add(10, 0, 0);
  w.Add(9, 0, 0);
  for (uint32_t i = 11; i < 11 + 3 * 65536; ++i) w.Add(uint16_t(i), 0, 0);
  EXPECT_EQ(w.Expected(), w.packets);
  EXPECT_EQ(w.Lost(), 0u);
  EXPECT_EQ(w.duplicates, 0u);
}

Summary SummaryOf(const std::string& path) {
  Summary s;
  int fd = open(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  Summarize(fd, &s);
  close(fd);
  return s;
}

TEST(Summarize, CountsWhatIsRtpAndStopsAtTheDamage) {
  TempDir dir;
  std::string bad = RtpPacket(3, 1, 20);
  bad[0] = 0x40;  // version 1
  WriteDump(dir / "f.rtp", "[::1]/5004",
            {{40, 0, RtpPacket(1, 0xA, 40)},
             {0, 5, RtcpReport(0xA, 1)},
             {40, 10, RtpPacket(2, 0xA, 30)},  // stored shorter than received
             {11, 20, std::string(11, '\x80')},
             {20, 30, bad},
             {40, 400, RtpPacket(1, 0xB, 40)}});
  Summary s = SummaryOf(dir / "f.rtp");
  EXPECT_EQ(s.end, DumpReader::kEnd);
  EXPECT_EQ(s.text, "[::1]/5004");
  EXPECT_EQ(s.header.port, 5004);
  EXPECT_EQ(s.rtp, 3u);
  EXPECT_EQ(s.rtpBytes, 110u);
  EXPECT_EQ(s.rtcp, 1u);
  EXPECT_EQ(s.nonRtp, 2u);
  EXPECT_EQ(s.nonRtpBytes, 31u);
  EXPECT_EQ(s.lastOffset, 400u);
  ASSERT_EQ(s.streams.size(), 2u);
  EXPECT_EQ(s.streams[0].ssrc, 0xAu);
  EXPECT_EQ(s.streams[0].Expected(), 2u);

  // Another writer's text line, no address, source 0; then a cut record and
  // a record whose length does not cover its own header.
  const std::string head = std::string("#!rtpplay1.0\n") + std::string(16, '\0');
  const std::string rec = std::string("\x00\x14\x00\x0c\x00\x00\x00\x07", 8) + RtpPacket(9, 2, 12);
  for (auto [tail, status] : {std::pair{std::string("\x00\x30\x00", 3), DumpReader::kTruncated},
                              std::pair{std::string("\x00\x04\x00\x00\x00\x00\x00\x00", 8),
                                        DumpReader::kBadRecord}}) {
    WriteFile(dir / "g.rtp", head + rec + tail);
    s = SummaryOf(dir / "g.rtp");
    EXPECT_EQ(s.end, status);
    EXPECT_EQ(s.damageAt, head.size() + rec.size());
    EXPECT_EQ(s.text, "");
    EXPECT_EQ(s.header.source, 0u);
    EXPECT_EQ(s.rtp, 1u);
    EXPECT_EQ(s.lastOffset, 7u);
  }
  WriteFile(dir / "h.rtp", "#!rtpplay1.0 x\n");
  EXPECT_EQ(SummaryOf(dir / "h.rtp").end, DumpReader::kNotDump);
}

TEST(Report, JsonStringsAreEscapedAndValidUtf8) {
  EXPECT_EQ(JsonQuote("a\"b\\c\n\x01\x7f"), "\"a\\\"b\\\\c\\n\\u0001\\u007f\"");
  EXPECT_EQ(JsonQuote("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  // A stray byte, a cut sequence, an overlong form and a surrogate.
  EXPECT_EQ(JsonQuote("\xff|\xc3|\xc0\xaf|\xed\xa0\x80"),
            "\"\\ufffd|\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd\"");
  EXPECT_EQ(FormatDuration(3723004), "1:02:03.004");

  // A source that used every payload type keeps its whole table line.
  Summary sum;
  sum.end = DumpReader::kEnd;
  for (int pt = 0; pt < 128; ++pt) {
    std::string p = RtpPacket(uint16_t(pt), 5, 12);
    p[1] = char(pt);
    sum.Add(Record{uint16_t(p.size()), uint32_t(pt), reinterpret_cast<const uint8_t*>(p.data()), p.size()});
  }
  EXPECT_NE(TableReport("f", sum).find(",126,127 "), std::string::npos) << TableReport("f", sum);
}

}  // namespace
