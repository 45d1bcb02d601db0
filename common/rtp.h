// RTP and RTCP packets as stored in a dump file: the fields that placing
// and identifying media need (RFC 3550).
#ifndef RTPTOOLS_RTP_H
#define RTPTOOLS_RTP_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace rtptools {

struct RtpPacket {
  uint8_t payloadType = 0;
  bool marker = false;
  uint16_t seq = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  const uint8_t* payload = nullptr;  // after CSRCs, extension and before padding
  size_t payloadSize = 0;
};

// False when `data` is not an RTP version 2 packet whose header, extension
// and padding fit in `size`.
bool ParseRtp(const uint8_t* data, size_t size, RtpPacket* p);

// What a compound RTCP packet says about its senders.
class RtcpHandler {
 public:
  virtual ~RtcpHandler() = default;
  // A sender report: the sender's wall clock (NTP format) at RTP time `rtp`.
  virtual void OnSenderReport(uint32_t ssrc, uint64_t ntp, uint32_t rtp) = 0;
  virtual void OnCname(uint32_t ssrc, const std::string& cname) = 0;
  // SDES NAME: how the person calls themselves, for showing.
  virtual void OnName(uint32_t, const std::string&) {}
};
// Walks the packets of a compound RTCP datagram; stops at the first that
// does not fit.
void ParseRtcp(const uint8_t* data, size_t size, RtcpHandler* handler);

// NTP time (seconds since 1900 in 32.32 fixed point) in milliseconds since 1970.
double NtpToUnixMs(uint64_t ntp);

}  // namespace rtptools

#endif
