// Capture files (pcap, and pcapng to read), through libpcap: a session's
// datagrams as the IP and UDP packets that carried them, for the tools that
// read captures (tcpdump, Wireshark, GStreamer) and from them.
#ifndef RTPTOOLS_CAPTURE_H
#define RTPTOOLS_CAPTURE_H

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
