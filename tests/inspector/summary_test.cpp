#include "summary.h"

#include <fcntl.h>
#include <unistd.h>

#include "report.h"
#include "udp.h"

using namespace rtptools;

TEST(Summary, SequenceNumbersAcrossWrapReorderDuplicatesAndLosses) {
  StreamStats s(7);
  uint32_t t = 0;
  // 65534 to 5 across the wrap, 1 after 2, 2 twice, 3 and 4 never.
  for (uint16_t seq : {65534, 65535, 0, 2, 1, 2, 5}) s.Add(seq, 96, t += 20);
  s.Add(6, 97, t += 300);
  EXPECT_EQ(std::vector<uint64_t>({s.FirstSeq(), s.LastSeq(), s.packets, s.Expected(), s.Lost(), s.duplicates, s.maxGapMs}),
            std::vector<uint64_t>({65534, 6, 8, 9, 2, 1, 300}));
  EXPECT_TRUE(s.payloadTypes[96] && s.payloadTypes[97] && s.payloadTypes.count() == 2);
  // A packet from before the first, and many wraps: nothing is lost.
  StreamStats w(8);
  w.Add(10, 0, 0);
  w.Add(9, 0, 0);
  for (uint32_t i = 11; i < 11 + 3 * 65536; ++i) w.Add(uint16_t(i), 0, 0);
  EXPECT_EQ(w.Expected(), w.packets);
  EXPECT_EQ(w.Lost() + w.duplicates, 0u);
}

static Summary SummaryOf(const std::string& path) {
  Summary s;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  Summarize(fd, &s);
  close(fd);
  return s;
}

TEST(Summary, CountsWhatIsRtpAndStopsAtTheDamage) {
  TempDir dir;
  std::string v1 = RtpPacket(3, 1, 20);
  v1[0] = 0x40;  // version 1
  WriteDump(dir / "f.rtp", "[::1]/5004",
            {{40, 0, RtpPacket(1, 0xA, 40)}, {0, 5, RtcpReport(0xA, 1)}, {40, 10, RtpPacket(2, 0xA, 30)},
             {11, 20, std::string(11, '\x80')}, {20, 30, v1}, {40, 400, RtpPacket(1, 0xB, 40)}});
  Summary s = SummaryOf(dir / "f.rtp");
  EXPECT_EQ(s.end, DumpReader::kEnd);
  EXPECT_EQ(s.text, "[::1]/5004");
  EXPECT_EQ(std::vector<uint64_t>({s.header.port, s.rtp, s.rtpBytes, s.rtcp, s.rtcpBytes, s.nonRtp, s.nonRtpBytes, s.lastOffset}),
            std::vector<uint64_t>({5004, 3, 110, 1, 28, 2, 31, 400}));
  ASSERT_EQ(s.streams.size(), 2u);
  EXPECT_EQ(s.streams[0].ssrc, 0xAu);
  EXPECT_EQ(s.streams[0].Expected(), 2u);
  // Summed up to the damage, which is named by its byte.
  const std::string head = std::string("#!rtpplay1.0\n") + std::string(16, '\0');
  const std::string rec = std::string("\x00\x14\x00\x0c\x00\x00\x00\x07", 8) + RtpPacket(9, 2, 12);
  WriteFile(dir / "g.rtp", head + rec + std::string("\x00\x04\x00\x00\x00\x00\x00\x00", 8));
  s = SummaryOf(dir / "g.rtp");
  EXPECT_EQ(s.end, DumpReader::kBadRecord);
  EXPECT_EQ(s.damageAt, head.size() + rec.size());
  EXPECT_EQ(s.rtp, 1u);
  EXPECT_EQ(s.lastOffset, 7u);
  // The first 1024 sources are broken down, the packets of the rest counted.
  Summary many;
  for (uint32_t ssrc = 0; ssrc <= 1024; ++ssrc) {
    const std::string p = RtpPacket(1, ssrc, 12);
    many.Add(Record{12, 0, reinterpret_cast<const uint8_t*>(p.data()), p.size()});
  }
  EXPECT_TRUE(many.streams.size() == 1024 && many.untracked == 1);
}

TEST(Summary, ReportsQuoteJsonAndKeepWholeLines) {
  EXPECT_EQ(JsonQuote("a\"b\\c\n\x01\x7f"), "\"a\\\"b\\\\c\\n\\u0001\\u007f\"");
  // The first three-byte form, the last before the surrogates, the last of all.
  EXPECT_EQ(JsonQuote("caf\xc3\xa9 \xd0\x80\xe0\xa0\x80\xed\x9f\xbf\xf4\x8f\xbf\xbf"),
            "\"caf\xc3\xa9 \xd0\x80\xe0\xa0\x80\xed\x9f\xbf\xf4\x8f\xbf\xbf\"");
  // A stray byte, a cut sequence, overlong forms of two and three bytes, a
  // surrogate and a value past U+10FFFF.
  EXPECT_EQ(JsonQuote("\xff|\xc3|\xc0\xaf|\xe0\x80\xaf|\xed\xa0\x80|\xf4\x90\x80\x80"),
            "\"\\ufffd|\\ufffd|\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd|\\ufffd\\ufffd\\ufffd\\ufffd\"");
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
  // A read error before the header names the error alone; one after it is damage.
  Summary unread, cut;
  unread.end = cut.end = DumpReader::kIoError;
  cut.headerBytes = 30;
  EXPECT_EQ(TableReport("f", unread) + JsonReport("f", unread), "f\n  read error\n{\"file\": \"f\", \"error\": \"read error\"}");
  EXPECT_NE(TableReport("f", cut).find("damaged    at byte 0: read error"), std::string::npos);
  EXPECT_NE(JsonReport("f", cut).find("\"damage\": {\"at\": 0, \"reason\": \"read error\"}"), std::string::npos);
}
