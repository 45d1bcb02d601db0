#include "rtp.h"

#include "dumpfile.h"

namespace rtptools {

bool ParseRtp(const uint8_t* data, size_t size, RtpPacket* p) {
  if (size < 12 || data[0] >> 6 != 2) return false;
  size_t head = 12 + 4 * size_t(data[0] & 0x0f);
  if (data[0] & 0x10) {  // header extension
    if (size < head + 4) return false;
    head += 4 + 4 * size_t(Get16(data + head + 2));
  }
  size_t padding = (data[0] & 0x20) && size > head ? data[size - 1] : 0;
  if (size < head + padding) return false;
  p->marker = data[1] & 0x80;
  p->payloadType = data[1] & 0x7f;
  p->seq = Get16(data + 2);
  p->timestamp = Get32(data + 4);
  p->ssrc = Get32(data + 8);
  p->payload = data + head;
  p->payloadSize = size - head - padding;
  return true;
}

namespace {

constexpr uint8_t kSenderReport = 200, kSourceDescription = 202;
constexpr uint8_t kCname = 1, kName = 2;

void ParseSdes(const uint8_t* p, const uint8_t* end, int chunks, RtcpHandler* handler) {
  for (int c = 0; c < chunks && end - p >= 4; ++c) {
    const uint32_t ssrc = Get32(p);
    p += 4;
    // Items up to a zero type, then padding to the next 32-bit boundary.
    const uint8_t* chunk = p - 4;
    while (p < end && *p != 0) {
      if (end - p < 2 || end - p < 2 + p[1]) return;
      const std::string text(reinterpret_cast<const char*>(p + 2), p[1]);
      if (p[0] == kCname) handler->OnCname(ssrc, text);
      if (p[0] == kName) handler->OnName(ssrc, text);
      p += 2 + p[1];
    }
    p += 4 - (p - chunk) % 4;
  }
}

}  // namespace

void ParseRtcp(const uint8_t* data, size_t size, RtcpHandler* handler) {
  const uint8_t* p = data;
  const uint8_t* const end = data + size;
  while (end - p >= 4 && p[0] >> 6 == 2) {
    const size_t bytes = 4 * (size_t(Get16(p + 2)) + 1);
    if (size_t(end - p) < bytes) return;
    const int count = p[0] & 0x1f;
    if (p[1] == kSenderReport && bytes >= 28)
      handler->OnSenderReport(Get32(p + 4), uint64_t(Get32(p + 8)) << 32 | Get32(p + 12), Get32(p + 16));
    else if (p[1] == kSourceDescription)
      ParseSdes(p + 4, p + bytes, count, handler);
    p += bytes;
  }
}

double NtpToUnixMs(uint64_t ntp) {
  constexpr double kNtpToUnixSeconds = 2208988800.0;
  return (double(ntp >> 32) - kNtpToUnixSeconds) * 1000.0 + double(ntp & 0xffffffff) * 1000.0 / 4294967296.0;
}

}  // namespace rtptools
