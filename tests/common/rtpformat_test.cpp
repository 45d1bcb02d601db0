#include "rtpformat.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace rtptools;

namespace {

using Payload = std::function<std::string(int i)>;

const std::string kVp8Key("\x10\x00\x00\x00\x9d\x01\x2a\x40\x01\xf0\x00", 11);
const std::string kVp9Key("\x8c\x05\x82\x49\x83\x42\x00", 7);
const std::string kH264Params("\x18\x00\x03\x67\x42\x00\x00\x02\x68\xce", 10);
const std::string kH265Params("\x60\x01\x00\x03\x40\x01\x0c\x00\x03\x42\x01\x01\x00\x03\x44\x01\xc0", 17);

// Packets `step` timestamp units and `ms` apart; every 30th is payload(0).
Format Probe(Payload payload, uint32_t step, int ms) {
  FormatProbe probe;
  for (int i = 0; i < 200; ++i) {
    const std::string p = payload(i % 30);
    probe.Add(uint16_t(65500 + i), uint32_t(4294960000u + unsigned(i) * step), 1000 + i * ms,
              reinterpret_cast<const uint8_t*>(p.data()), p.size());
  }
  return probe.Identify();
}

}  // namespace

TEST(RtpFormat, DynamicTypesAreIdentifiedFromTheirStream) {
  struct Case {
    const char* name;
    Payload payload;
    uint32_t step;
    int ms;
    Codec codec;
    uint32_t rate;
    int channels;
  } cases[] = {
      {"vp8", [](int i) { return i ? std::string("\x10\x00\x01\x02\x03\x04", 6) : kVp8Key; }, 3000, 33, Codec::kVp8, 90000, 1},
      {"vp9", [](int i) { return i ? std::string("\xcc\x05\x86\x11\x22", 5) : kVp9Key; }, 3000, 33, Codec::kVp9, 90000, 1},
      {"h264", [](int i) { return i ? std::string("\x41\x9a\x02\x03", 4) : kH264Params; }, 3000, 33, Codec::kH264, 90000, 1},
      // The start of a key frame's fragments in one that holds no more than its header.
      {"h264 fragments", [](int i) { return i ? std::string("\x41\x9a\x02\x03", 4) : std::string("\x7c\x85", 2); }, 3000,
       33, Codec::kH264, 90000, 1},
      {"h265", [](int i) { return i ? std::string("\x02\x01\xd0\x03", 4) : kH265Params; }, 3000, 33, Codec::kH265, 90000, 1},
      {"opus 20 ms", [](int) { return std::string("\x78\x01\x02\x03", 4); }, 960, 20, Codec::kOpus, 48000, 2},
      {"opus 60 ms", [](int) { return std::string("\x18\xaa\xbb", 3); }, 2880, 60, Codec::kOpus, 48000, 2},
      {"l16 stereo", [](int) { return std::string(1280, '\x01'); }, 320, 20, Codec::kL16, 16000, 2},
      {"l16 mono", [](int) { return std::string(882, '\x01'); }, 441, 10, Codec::kL16, 44100, 1},
      // Bytes that fit no format: a sample per byte says nothing of PCMU or PCMA.
      {"8-bit audio", [](int) { return std::string(160, '\x55'); }, 160, 20, Codec::kUnknown, 0, 1},
      {"video without a key frame", [](int) { return std::string("\x10\x00\x01\x02\x03\x04", 6); }, 3000, 33,
       Codec::kUnknown, 0, 1},
  };
  for (const Case& c : cases) {
    const Format f = Probe(c.payload, c.step, c.ms);
    EXPECT_EQ(f.codec, c.codec) << c.name;
    EXPECT_EQ(f.clockRate, c.rate) << c.name;
    if (f.codec == Codec::kL16) {
      EXPECT_EQ(f.channels, c.channels) << c.name;
    }
  }
}

TEST(RtpFormat, StaticTypesAndNamesGivenByTheUser) {
  EXPECT_EQ(StaticFormat(0).codec, Codec::kPcmu);
  EXPECT_EQ(StaticFormat(8).codec, Codec::kPcma);
  EXPECT_EQ(StaticFormat(9).codec, Codec::kG722);
  EXPECT_EQ(StaticFormat(11).channels, 1);
  EXPECT_FALSE(StaticFormat(96).Known());
  struct Case {
    const char* text;
    bool ok;
    int pt;
    Codec codec;
    uint32_t rate;
    int channels;
  } cases[] = {
      {"96=H264", true, 96, Codec::kH264, 90000, 1},   {"111=OPUS/48000/2", true, 111, Codec::kOpus, 48000, 2},
      {"97=l16/16000/1", true, 97, Codec::kL16, 16000, 1}, {"100=PCMU", true, 100, Codec::kPcmu, 8000, 1},
      {"97=L16", false, 0, {}, 0, 0},                  {"128=VP8", false, 0, {}, 0, 0},
      {"96=MPV", false, 0, {}, 0, 0},                  {"96", false, 0, {}, 0, 0},
      {"96=VP8/0", false, 0, {}, 0, 0},
  };
  for (const Case& c : cases) {
    int pt = -1;
    Format f;
    std::string error;
    ASSERT_EQ(ParseFormatOverride(c.text, &pt, &f, &error), c.ok) << c.text << ": " << error;
    if (!c.ok) continue;
    EXPECT_EQ(pt, c.pt) << c.text;
    EXPECT_EQ(f.codec, c.codec) << c.text;
    EXPECT_EQ(f.clockRate, c.rate) << c.text;
    EXPECT_EQ(f.channels, c.channels) << c.text;
  }
}

TEST(RtpFormat, KeyFramesAreToldFromTheFirstPacket) {
  auto key = [](Codec c, const std::string& p) {
    return StartsKeyFrame(c, reinterpret_cast<const uint8_t*>(p.data()), p.size());
  };
  EXPECT_TRUE(key(Codec::kVp8, kVp8Key));
  EXPECT_FALSE(key(Codec::kVp8, std::string("\x10\x01\x00\x00\x9d\x01\x2a", 7)));  // an inter frame
  EXPECT_TRUE(key(Codec::kVp9, kVp9Key));
  EXPECT_FALSE(key(Codec::kVp9, std::string("\xcc\x05\x86\x49\x83\x42", 6)));
  EXPECT_TRUE(key(Codec::kH264, kH264Params));
  EXPECT_TRUE(key(Codec::kH264, std::string("\x7c\x85\x00", 3)));   // FU-A starting an IDR slice
  EXPECT_FALSE(key(Codec::kH264, std::string("\x7c\x05\x00", 3)));  // its continuation
  EXPECT_TRUE(key(Codec::kH265, kH265Params));
  EXPECT_FALSE(key(Codec::kH265, std::string("\x02\x01\xd0", 3)));
}
