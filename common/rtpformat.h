// Payload formats: what a payload type carries, from RFC 3551's static
// table, from an SDP-style name given by the user, or from the stream
// itself where the type is dynamic.
#ifndef RTPTOOLS_RTPFORMAT_H
#define RTPTOOLS_RTPFORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rtptools {

enum class Codec { kUnknown, kPcmu, kPcma, kG722, kL16, kOpus, kVp8, kVp9, kH264, kH265 };

struct Format {
  Codec codec = Codec::kUnknown;
  uint32_t clockRate = 0;
  int channels = 1;

  bool Known() const { return codec != Codec::kUnknown; }
  bool IsVideo() const;
  // The encoding name as an SDP rtpmap writes it ("PCMU", "VP8", "H264").
  const char* Name() const;
  // "VP8 video, 90000 Hz" or "OPUS audio, 48000 Hz, 2 channels".
  std::string Describe() const;
};

// The static payload types of RFC 3551 that we export; unknown otherwise.
Format StaticFormat(int payloadType);

// "PT=NAME[/RATE[/CHANNELS]]" as given with -m, NAME in any case. Rates
// that a format fixes (90000 for video, 48000 for Opus) may be left out.
// False with the reason in *error.
bool ParseFormatOverride(const std::string& text, int* payloadType, Format* format, std::string* error);

// Whether a payload starts a frame that decodes without the ones before
// (a key frame), as far as its first packet tells.
bool StartsKeyFrame(Codec codec, const uint8_t* payload, size_t size);

// How long an audio payload plays, in RTP clock ticks; 0 for video, or
// where the payload does not say.
int64_t AudioTicks(const Format& format, const uint8_t* payload, size_t size);

// Learns a dynamic payload type's format from its packets: the clock rate
// from RTP timestamps against arrival times, the codec from the payload's
// own structure. Feed it the packets of one SSRC in arrival order.
class FormatProbe {
 public:
  void Add(uint16_t seq, uint32_t timestamp, int64_t arrivalMs, const uint8_t* payload, size_t size);
  // Unknown when the packets fit no format well enough.
  Format Identify() const;
  // The clock rate the timestamps advance at, rounded to a usual one; 0
  // when the packets span too short a time.
  uint32_t ClockRate() const;

 private:
  uint64_t packets_ = 0;
  // Packets whose payload parses as each video format, and key frames seen.
  uint64_t h264_ = 0, h265_ = 0, vp8_ = 0, vp9_ = 0;
  bool h264Key_ = false, h265Key_ = false, vp8Key_ = false, vp9Key_ = false;
  // Consecutive packets whose timestamp step matches what Opus's TOC or
  // L16's size (1 or 2 channels) says, out of the pairs compared.
  uint64_t pairs_ = 0, opus_ = 0, l16mono_ = 0, l16stereo_ = 0;
  bool havePrev_ = false;
  uint16_t prevSeq_ = 0;
  uint32_t prevTs_ = 0;
  size_t prevSize_ = 0;
  int prevOpusSamples_ = -1;  // at 48 kHz
  // Samples of (arrival, extended timestamp), one a second at most.
  int64_t extTs_ = 0, lastSampleMs_ = 0;
  std::vector<std::pair<int64_t, int64_t>> samples_;
};

}  // namespace rtptools

#endif
