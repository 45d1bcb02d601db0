// Capture files (pcap and pcapng) read through libpcap: the datagrams of a
// session that tcpdump, Wireshark or GStreamer captured.
#ifndef RTPTOOLS_CAPTURE_IN_H
#define RTPTOOLS_CAPTURE_IN_H

#include <cstdint>
#include <string>

#include "net.h"

typedef struct pcap pcap_t;

namespace rtptools {

// A UDP datagram found in a capture.
struct CapturedDatagram {
  int64_t ns;  // when it was captured, after the epoch
  Address from, to;
  const uint8_t* data;
  size_t size;
};

// Reads the UDP datagrams of a capture file, skipping and counting what
// carries none: frames of other kinds, IP fragments, datagrams the capture
// cut short.
class CaptureReader {
 public:
  enum Status { kOk, kEnd, kCutOff, kIoError };
  CaptureReader() = default;
  ~CaptureReader();
  CaptureReader(const CaptureReader&) = delete;
  CaptureReader& operator=(const CaptureReader&) = delete;

  // 0, EX_NOINPUT (cannot open) or EX_DATAERR (not a capture file or of a
  // link type not read here), with *error set.
  int Open(const std::string& path, std::string* error);
  // The next UDP datagram, or why there is none; *error says why for kCutOff
  // and kIoError.
  Status Next(CapturedDatagram* d, std::string* error);

  long fragments = 0, other = 0, cut = 0;

 private:
  bool Parse(const uint8_t* p, size_t caplen, size_t len, CapturedDatagram* d);

  pcap_t* pcap_ = nullptr;
  int link_ = 0;
};

}  // namespace rtptools

#endif
