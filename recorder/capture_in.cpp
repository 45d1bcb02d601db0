#include "capture_in.h"

#include <errno.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sysexits.h>

#include <cstring>

#include "dumpfile.h"

namespace rtptools {

namespace {

constexpr int kLinuxSll2 = 276;  // not named by every libpcap's headers

void SetIp(Address* a, int family, const uint8_t* ip, uint16_t port) {
  *a = Address();
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&a->ss);
    in->sin_family = AF_INET;
    std::memcpy(&in->sin_addr, ip, 4);
    a->len = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&a->ss);
    in6->sin6_family = AF_INET6;
    std::memcpy(&in6->sin6_addr, ip, 16);
    a->len = sizeof *in6;
  }
  a->SetPort(port);
}

}  // namespace

CaptureReader::~CaptureReader() {
  if (pcap_) pcap_close(pcap_);
}

int CaptureReader::Open(const std::string& path, std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rbe");
  if (!f) {
    *error = path + ": " + std::strerror(errno);
    return EX_NOINPUT;
  }
  char why[PCAP_ERRBUF_SIZE] = "";
  pcap_ = pcap_fopen_offline_with_tstamp_precision(f, PCAP_TSTAMP_PRECISION_NANO, why);
  if (!pcap_) {
    std::fclose(f);
    *error = path + ": not a capture file (" + why + ")";
    return EX_DATAERR;
  }
  link_ = pcap_datalink(pcap_);
  if (link_ != DLT_EN10MB && link_ != DLT_LINUX_SLL && link_ != kLinuxSll2 && link_ != DLT_RAW &&
      link_ != DLT_IPV4 && link_ != DLT_IPV6) {
    const char* name = pcap_datalink_val_to_name(link_);
    *error = path + ": link type " + (name ? name : std::to_string(link_)) + " is not read here";
    return EX_DATAERR;
  }
  return 0;
}

CaptureReader::Status CaptureReader::Next(CapturedDatagram* d, std::string* error) {
  for (;;) {
    pcap_pkthdr* h;
    const u_char* p;
    const int got = pcap_next_ex(pcap_, &h, &p);
    if (got == PCAP_ERROR_BREAK) return kEnd;
    if (got < 0) {
      *error = pcap_geterr(pcap_);
      return std::strstr(error->c_str(), "truncated") ? kCutOff : kIoError;
    }
    if (got == 0) continue;
    if (Parse(p, h->caplen, h->len, d)) {
      d->ns = int64_t(h->ts.tv_sec) * 1000000000 + h->ts.tv_usec;  // nanoseconds, as opened
      return kOk;
    }
  }
}

// Finds the IP packet in the frame, then its UDP datagram.
bool CaptureReader::Parse(const uint8_t* p, size_t caplen, size_t len, CapturedDatagram* d) {
  size_t at = 0;
  int type = 0;  // ethertype, or 0 for "IP, version in its first byte"
  if (link_ == DLT_EN10MB) {
    at = 12;
    while (at + 2 <= caplen && (Get16(p + at) == 0x8100 || Get16(p + at) == 0x88a8)) at += 4;  // VLAN tags
    if (at + 2 > caplen) return ++other, false;
    type = Get16(p + at);
    at += 2;
  } else if (link_ == DLT_LINUX_SLL || link_ == kLinuxSll2) {
    const size_t field = link_ == DLT_LINUX_SLL ? 14 : 0;
    at = link_ == DLT_LINUX_SLL ? 16 : 20;
    if (at > caplen) return ++other, false;
    type = Get16(p + field);
  }
  if (at >= caplen) return ++other, false;
  const int version = p[at] >> 4;
  if ((type != 0 && type != 0x0800 && type != 0x86dd) || (version != 4 && version != 6) ||
      (type == 0x0800 && version != 4) || (type == 0x86dd && version != 6))
    return ++other, false;
  const uint8_t* ip = p + at;
  const size_t have = caplen - at;
  int proto;
  size_t udpAt;
  if (version == 4) {
    const size_t ihl = size_t(ip[0] & 0x0f) * 4;
    if (have < 20 || ihl < 20 || have < ihl) return ++other, false;
    if (Get16(ip + 6) & 0x3fff) return ++fragments, false;  // more fragments, or not the first
    proto = ip[9];
    udpAt = ihl;
    SetIp(&d->from, AF_INET, ip + 12, 0);
    SetIp(&d->to, AF_INET, ip + 16, 0);
  } else {
    if (have < 40) return ++other, false;
    proto = ip[6];
    udpAt = 40;
    // Hop-by-hop, routing and destination options come before the datagram.
    while ((proto == 0 || proto == 43 || proto == 60) && udpAt + 8 <= have) {
      proto = ip[udpAt];
      udpAt += (size_t(ip[udpAt + 1]) + 1) * 8;
    }
    if (proto == 44) return ++fragments, false;
    SetIp(&d->from, AF_INET6, ip + 8, 0);
    SetIp(&d->to, AF_INET6, ip + 24, 0);
  }
  if (proto != IPPROTO_UDP || udpAt + 8 > have) return ++other, false;
  const uint8_t* udp = ip + udpAt;
  const size_t udpLength = Get16(udp + 4);
  if (udpLength < 8) return ++other, false;
  // The frame as sent held the whole datagram; the capture kept less of it.
  if (udpAt + udpLength > have) return (at + udpAt + udpLength <= len ? ++cut : ++other), false;
  d->from.SetPort(Get16(udp));
  d->to.SetPort(Get16(udp + 2));
  d->data = udp + 8;
  d->size = udpLength - 8;
  return true;
}

}  // namespace rtptools
