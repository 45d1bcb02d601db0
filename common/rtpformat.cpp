#include "rtpformat.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "args.h"
#include "dumpfile.h"

namespace rtptools {

namespace {

struct CodecInfo {
  Codec codec;
  const char* name;
  bool video;
  uint32_t fixedRate;  // 0 where the rate is the sender's choice
};
const CodecInfo kKnown[] = {
    {Codec::kPcmu, "PCMU", false, 8000}, {Codec::kPcma, "PCMA", false, 8000},
    {Codec::kG722, "G722", false, 8000}, {Codec::kL16, "L16", false, 0},
    {Codec::kOpus, "OPUS", false, 48000}, {Codec::kVp8, "VP8", true, 90000},
    {Codec::kVp9, "VP9", true, 90000},   {Codec::kH264, "H264", true, 90000},
    {Codec::kH265, "H265", true, 90000},
};

const CodecInfo* Find(Codec codec) {
  for (const CodecInfo& k : kKnown)
    if (k.codec == codec) return &k;
  return nullptr;
}

// Where the payload of a VP8 frame starts after its descriptor (RFC 7741);
// 0 when the descriptor does not fit or breaks its reserved bits.
size_t Vp8Header(const uint8_t* p, size_t size) {
  if (size < 1 || (p[0] & 0x48)) return 0;
  size_t i = 1;
  if (p[0] & 0x80) {
    if (size < 2 || (p[1] & 0x0f)) return 0;
    const uint8_t x = p[1];
    i = 2;
    if (x & 0x80) i += size > i && (p[i] & 0x80) ? 2 : 1;
    if (x & 0x40) ++i;
    if (x & 0x30) ++i;
  }
  return i < size ? i : 0;
}

// The same for VP9 (RFC 9628), scalability structure included.
size_t Vp9Header(const uint8_t* p, size_t size) {
  if (size < 1) return 0;
  const uint8_t b = p[0];
  size_t i = 1;
  auto need = [&](size_t n) { return i + n <= size; };
  if (b & 0x80) {  // picture id, 7 or 15 bits
    if (!need(1)) return 0;
    i += p[i] & 0x80 ? 2 : 1;
  }
  if (b & 0x20) i += (b & 0x10) ? 1 : 2;  // layer indices, TL0PICIDX when not flexible
  if ((b & 0x10) && (b & 0x40)) {          // reference differences
    for (int n = 0; n < 3; ++n) {
      if (!need(1)) return 0;
      if (!(p[i++] & 0x01)) break;
    }
  }
  if (b & 0x02) {  // scalability structure
    if (!need(1)) return 0;
    const uint8_t ss = p[i++];
    if (ss & 0x10) i += 4 * size_t((ss >> 5) + 1);
    if (ss & 0x08) {
      if (!need(1)) return 0;
      for (int g = p[i++]; g > 0; --g) {
        if (!need(1)) return 0;
        i += 1 + ((p[i] >> 2) & 3);
      }
    }
  }
  return i < size ? i : 0;
}

bool Vp9KeyFrame(const uint8_t* p, size_t size) {
  const size_t i = Vp9Header(p, size);
  if (!i || !(p[0] & 0x08) || (p[0] & 0x40) || size < i + 5) return false;
  // The frame's uncompressed header, bit by bit: profile 3 has one more bit
  // before the frame type, so the sync code may not start on a byte.
  size_t k = 0;
  auto bit = [&] { const size_t at = k++; return (p[i + at / 8] >> (7 - at % 8)) & 1; };
  if (bit() != 1 || bit() != 0) return false;  // frame marker
  const int profile = bit() | bit() << 1;
  if (profile == 3) bit();
  if (bit()) return false;  // shows an earlier frame again
  if (bit()) return false;  // not a key frame
  bit(), bit();             // show_frame, error_resilient_mode
  uint32_t sync = 0;
  for (int b = 0; b < 24; ++b) sync = sync << 1 | uint32_t(bit());
  return sync == 0x498342;
}

bool Vp8KeyFrame(const uint8_t* p, size_t size) {
  const size_t i = Vp8Header(p, size);
  return i && (p[0] & 0x17) == 0x10 && size >= i + 6 && !(p[i] & 1) && p[i + 3] == 0x9d &&
         p[i + 4] == 0x01 && p[i + 5] == 0x2a;
}

bool H264Key(int type) { return type == 5 || type == 7; }
bool H265Key(int type) { return (type >= 16 && type <= 21) || (type >= 32 && type <= 34); }

// Calls f(type) for each NAL unit that an aggregation packet holds after
// `skip` header bytes; false when the sizes do not fill it exactly.
template <typename F>
bool EachAggregated(const uint8_t* p, size_t size, size_t skip, F f) {
  size_t i = skip;
  int units = 0;
  while (i + 2 < size) {
    const size_t n = Get16(p + i);
    if (n == 0 || i + 2 + n > size) return false;
    f(p + i + 2);
    i += 2 + n;
    ++units;
  }
  return i == size && units > 0;
}

bool H264Valid(const uint8_t* p, size_t size, bool* key) {
  if (size < 1 || (p[0] & 0x80)) return false;
  const int type = p[0] & 0x1f;
  if (type >= 1 && type <= 23) return *key = H264Key(type), true;
  if (type == 24) return EachAggregated(p, size, 1, [&](const uint8_t* n) { *key |= H264Key(n[0] & 0x1f); });
  if (type == 28) {
    if (size < 2 || (p[1] & 0x20) || (p[1] & 0xc0) == 0xc0) return false;
    const int inner = p[1] & 0x1f;
    *key = (p[1] & 0x80) && H264Key(inner);
    return inner >= 1 && inner <= 23;
  }
  return false;
}

bool H265Header(const uint8_t* p) { return !(p[0] & 0x80) && ((p[0] & 1) << 5 | p[1] >> 3) == 0 && (p[1] & 7); }

bool H265Valid(const uint8_t* p, size_t size, bool* key) {
  if (size < 2 || !H265Header(p)) return false;
  const int type = (p[0] >> 1) & 0x3f;
  if (type <= 40) return *key = H265Key(type), true;
  if (type == 48)
    return EachAggregated(p, size, 2, [&](const uint8_t* n) { *key |= H265Key((n[0] >> 1) & 0x3f); });
  if (type == 49) {
    if (size < 3 || (p[2] & 0xc0) == 0xc0) return false;
    const int inner = p[2] & 0x3f;
    *key = (p[2] & 0x80) && H265Key(inner);
    return inner <= 40;
  }
  return false;
}

// Samples at 48 kHz that an Opus packet holds, from its TOC byte (RFC 6716
// section 3.1); -1 when it cannot be Opus.
int OpusSamples(const uint8_t* p, size_t size) {
  if (size < 1) return -1;
  const int config = p[0] >> 3;
  static const int kSilk[] = {480, 960, 1920, 2880}, kHybrid[] = {480, 960}, kCelt[] = {120, 240, 480, 960};
  const int per = config < 12 ? kSilk[config % 4] : config < 16 ? kHybrid[config % 2] : kCelt[config % 4];
  int frames = 1;
  if ((p[0] & 3) == 1 || (p[0] & 3) == 2) frames = 2;
  if ((p[0] & 3) == 3) {
    if (size < 2 || (p[1] & 0x3f) == 0) return -1;
    frames = p[1] & 0x3f;
  }
  const int samples = per * frames;
  return samples <= 5760 ? samples : -1;  // 120 ms at most
}

bool Most(uint64_t part, uint64_t whole) { return whole > 0 && part * 10 >= whole * 9; }
bool Nearly(uint64_t part, uint64_t whole) { return whole > 0 && part * 200 >= whole * 199; }

}  // namespace

bool Format::IsVideo() const {
  const CodecInfo* k = Find(codec);
  return k && k->video;
}

const char* Format::Name() const {
  const CodecInfo* k = Find(codec);
  return k ? k->name : "unknown";
}

std::string Format::Describe() const {
  std::string s = std::string(Name()) + (IsVideo() ? " video, " : " audio, ") + std::to_string(clockRate) + " Hz";
  if (codec == Codec::kL16) s += channels == 1 ? ", 1 channel" : ", " + std::to_string(channels) + " channels";
  return s;
}

Format StaticFormat(int payloadType) {
  switch (payloadType) {
    case 0: return {Codec::kPcmu, 8000, 1};
    case 8: return {Codec::kPcma, 8000, 1};
    case 9: return {Codec::kG722, 8000, 1};
    case 10: return {Codec::kL16, 44100, 2};
    case 11: return {Codec::kL16, 44100, 1};
    default: return {};
  }
}

bool ParseFormatOverride(const std::string& text, int* payloadType, Format* format, std::string* error) {
  const size_t eq = text.find('=');
  unsigned long pt;
  if (eq == std::string::npos || !ParseDecimal(text.substr(0, eq), 127, &pt)) {
    *error = "-m " + text + ": expected PT=FORMAT with PT 0..127";
    return false;
  }
  std::string name = text.substr(eq + 1), rate, channels;
  if (size_t slash = name.find('/'); slash != std::string::npos) {
    rate = name.substr(slash + 1);
    name.erase(slash);
    if (size_t s2 = rate.find('/'); s2 != std::string::npos) {
      channels = rate.substr(s2 + 1);
      rate.erase(s2);
    }
  }
  for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
  const CodecInfo* known = nullptr;
  for (const CodecInfo& k : kKnown)
    if (name == k.name) known = &k;
  if (!known) {
    *error = "-m " + text + ": unknown format " + name + " (PCMU, PCMA, G722, L16, OPUS, VP8, VP9, H264, H265)";
    return false;
  }
  Format f{known->codec, known->fixedRate, known->codec == Codec::kOpus ? 2 : 1};
  unsigned long r = 0, c = 0;
  if (!rate.empty() && (!ParseDecimal(rate, 1000000, &r) || r == 0)) {
    *error = "-m " + text + ": bad clock rate " + rate;
    return false;
  }
  if (!channels.empty() && (!ParseDecimal(channels, 8, &c) || c == 0)) {
    *error = "-m " + text + ": bad channel count " + channels;
    return false;
  }
  if (r) f.clockRate = uint32_t(r);
  if (c && known->codec == Codec::kL16) f.channels = int(c);
  if (f.clockRate == 0) {
    *error = "-m " + text + ": " + name + " needs its clock rate, as in " + name + "/44100/2";
    return false;
  }
  *payloadType = int(pt);
  *format = f;
  return true;
}

bool StartsKeyFrame(Codec codec, const uint8_t* p, size_t size) {
  bool key = false;
  switch (codec) {
    case Codec::kVp8: return Vp8KeyFrame(p, size);
    case Codec::kVp9: return Vp9KeyFrame(p, size);
    case Codec::kH264: return H264Valid(p, size, &key) && key;
    case Codec::kH265: return H265Valid(p, size, &key) && key;
    default: return true;  // every audio packet decodes alone
  }
}

int64_t AudioTicks(const Format& f, const uint8_t* p, size_t size) {
  switch (f.codec) {
    case Codec::kPcmu:
    case Codec::kPcma:
    case Codec::kG722: return int64_t(size);  // a byte a tick, at 8000 Hz
    case Codec::kL16: return int64_t(size) / (2 * f.channels);
    case Codec::kOpus: return std::max(0, OpusSamples(p, size));
    default: return 0;
  }
}

void FormatProbe::Add(uint16_t seq, uint32_t ts, int64_t arrivalMs, const uint8_t* p, size_t size) {
  ++packets_;
  bool key = false;
  if (H264Valid(p, size, &key)) ++h264_, h264Key_ |= key;
  key = false;
  if (H265Valid(p, size, &key)) ++h265_, h265Key_ |= key;
  if (Vp8Header(p, size)) ++vp8_, vp8Key_ |= Vp8KeyFrame(p, size);
  if (size_t i = Vp9Header(p, size); i && (!(p[0] & 0x08) || p[i] >> 6 == 2)) ++vp9_, vp9Key_ |= Vp9KeyFrame(p, size);

  if (havePrev_ && seq == uint16_t(prevSeq_ + 1)) {
    const uint32_t step = ts - prevTs_;
    ++pairs_;
    if (prevOpusSamples_ > 0 && step == uint32_t(prevOpusSamples_)) ++opus_;
    if (uint64_t(step) * 2 == prevSize_) ++l16mono_;
    if (uint64_t(step) * 4 == prevSize_) ++l16stereo_;
  }
  extTs_ = havePrev_ ? extTs_ + int32_t(ts - prevTs_) : ts;
  if (samples_.empty() || arrivalMs - lastSampleMs_ >= 1000) {
    samples_.emplace_back(arrivalMs, extTs_);
    lastSampleMs_ = arrivalMs;
  }
  havePrev_ = true;
  prevSeq_ = seq;
  prevTs_ = ts;
  prevSize_ = size;
  prevOpusSamples_ = OpusSamples(p, size);
}

uint32_t FormatProbe::ClockRate() const {
  // The median of the rates between samples a second or more apart, so
  // that a jump in the timestamps or a burst of late arrivals counts once.
  std::vector<double> rates;
  for (size_t i = 1; i < samples_.size(); ++i) {
    const int64_t ms = samples_[i].first - samples_[i - 1].first;
    rates.push_back(double(samples_[i].second - samples_[i - 1].second) * 1000.0 / double(ms));
  }
  if (rates.empty()) return 0;
  std::nth_element(rates.begin(), rates.begin() + long(rates.size() / 2), rates.end());
  const double rate = rates[rates.size() / 2];
  static const uint32_t kUsual[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 90000};
  for (uint32_t usual : kUsual)
    if (rate > usual * 0.95 && rate < usual * 1.05) return usual;
  return 0;
}

Format FormatProbe::Identify() const {
  if (Nearly(h265_, packets_) && h265Key_) return {Codec::kH265, 90000, 1};
  if (h264_ == packets_ && h264Key_) return {Codec::kH264, 90000, 1};
  if (Nearly(vp9_, packets_) && vp9Key_) return {Codec::kVp9, 90000, 1};
  if (Nearly(vp8_, packets_) && vp8Key_) return {Codec::kVp8, 90000, 1};
  if (pairs_ < 10) return {};
  if (Most(opus_, pairs_)) return {Codec::kOpus, 48000, 2};
  const uint32_t rate = ClockRate();
  if (rate && Most(l16stereo_, pairs_)) return {Codec::kL16, rate, 2};
  if (rate && Most(l16mono_, pairs_)) return {Codec::kL16, rate, 1};
  return {};
}

}  // namespace rtptools
