// Capture files written through libpcap: a session's datagrams as the IP
// and UDP packets that carried them, for the tools that read captures
// (tcpdump, Wireshark, GStreamer).
#ifndef RTPTOOLS_CAPTURE_OUT_H
#define RTPTOOLS_CAPTURE_OUT_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "net.h"

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

namespace rtptools {

// Writes datagrams as Ethernet frames of IPv4 or IPv6 and UDP, with every
// length and checksum filled in.
class CaptureWriter {
 public:
  CaptureWriter() = default;
  ~CaptureWriter();
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  // False with *error set when the file cannot be created.
  bool Open(const std::string& path, std::string* error);
  // A datagram from `from` to `to` (same family) with hop limit `ttl`, at
  // `us` microseconds after the epoch.
  void Write(const Address& from, const Address& to, int ttl, int64_t us, const uint8_t* data, size_t size);
  // Flushes and closes; false with errno set when anything failed to write.
  bool Close();

 private:
  pcap_t* pcap_ = nullptr;
  pcap_dumper_t* dumper_ = nullptr;
  FILE* file_ = nullptr;
  uint16_t id_ = 0;
  bool failed_ = false;
  int errno_ = 0;
};

}  // namespace rtptools

#endif
