#include "capture_out.h"

#include <errno.h>
#include <netinet/in.h>
#include <pcap/pcap.h>

#include <cstring>
#include <vector>

#include "dumpfile.h"

namespace rtptools {

namespace {

constexpr size_t kEthernet = 14, kIpv4 = 20, kIpv6 = 40, kUdp = 8;

// The Internet checksum's running sum over big-endian 16-bit words.
uint32_t Sum(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(p[i] << 8 | p[i + 1]);
  if (n % 2) sum += uint32_t(p[n - 1] << 8);
  return sum;
}

uint16_t Fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return uint16_t(~sum & 0xffff);
}

const uint8_t* Ip(const Address& a) {
  if (a.Family() == AF_INET) return reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(a.Sa())->sin_addr);
  return reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(a.Sa())->sin6_addr);
}

}  // namespace

CaptureWriter::~CaptureWriter() { Close(); }

bool CaptureWriter::Open(const std::string& path, std::string* error) {
  file_ = std::fopen(path.c_str(), "wbe");
  if (!file_) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  // Ethernet, the link type every reader of captures knows; the largest
  // datagram fits whole.
  pcap_ = pcap_open_dead(DLT_EN10MB, 65535 + int(kEthernet + kIpv6 + kUdp));
  dumper_ = pcap_ ? pcap_dump_fopen(pcap_, file_) : nullptr;
  if (!dumper_) {
    *error = path + ": " + (pcap_ ? pcap_geterr(pcap_) : "cannot start a capture");
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  return true;
}

void CaptureWriter::Write(const Address& from, const Address& to, int ttl, int64_t us, const uint8_t* data,
                          size_t size) {
  const bool v4 = to.Family() == AF_INET;
  const size_t ip = v4 ? kIpv4 : kIpv6, udpLength = kUdp + size;
  std::vector<uint8_t> f(kEthernet + ip + udpLength, 0);
  Put16(&f[12], v4 ? 0x0800 : 0x86dd);
  uint8_t* h = &f[kEthernet];
  uint8_t* udp = h + ip;
  const size_t addr = v4 ? 4 : 16;
  if (v4) {
    h[0] = 0x45;
    Put16(h + 2, uint16_t(ip + udpLength));
    Put16(h + 4, id_++);
    h[8] = uint8_t(ttl);
    h[9] = IPPROTO_UDP;
    std::memcpy(h + 12, Ip(from), addr);
    std::memcpy(h + 16, Ip(to), addr);
    Put16(h + 10, Fold(Sum(h, kIpv4)));
  } else {
    h[0] = 0x60;
    Put16(h + 4, uint16_t(udpLength));
    h[6] = IPPROTO_UDP;
    h[7] = uint8_t(ttl);
    std::memcpy(h + 8, Ip(from), addr);
    std::memcpy(h + 24, Ip(to), addr);
  }
  Put16(udp, from.Port());
  Put16(udp + 2, to.Port());
  Put16(udp + 4, uint16_t(udpLength));
  std::memcpy(udp + kUdp, data, size);
  // Over the pseudo-header (both addresses, protocol, length) and the datagram.
  uint32_t sum = Sum(Ip(from), addr, Sum(Ip(to), addr, IPPROTO_UDP + uint32_t(udpLength)));
  const uint16_t check = Fold(Sum(udp, udpLength, sum));
  Put16(udp + 6, check == 0 ? 0xffff : check);

  pcap_pkthdr ph{};
  ph.ts.tv_sec = time_t(us / 1000000);
  ph.ts.tv_usec = suseconds_t(us % 1000000);
  ph.caplen = ph.len = bpf_u_int32(f.size());
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &ph, f.data());
  if (!failed_ && std::ferror(file_)) failed_ = true, errno_ = errno;
}

bool CaptureWriter::Close() {
  if (!dumper_) return !failed_;
  if (std::fflush(file_) != 0 && !failed_) failed_ = true, errno_ = errno;
  pcap_dump_close(dumper_);  // closes file_ too
  pcap_close(pcap_);
  dumper_ = nullptr;
  pcap_ = nullptr;
  file_ = nullptr;
  if (failed_) errno = errno_ ? errno_ : EIO;
  return !failed_;
}

}  // namespace rtptools
