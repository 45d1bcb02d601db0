// count: how many datagrams a recording holds, as "rtp=N rtcp=M".
//   count FILE PORT
// FILE is a dump file (RTCP is plen 0) or a pcap of Ethernet frames (as
// tcpdump writes on lo: UDP to PORT is RTP, to PORT + 1 RTCP).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dumpfile.h"

using namespace rtptools;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: count FILE PORT\n");
    return 64;
  }
  unsigned port = unsigned(std::atoi(argv[2]));
  long rtp = 0, rtcp = 0;
  FILE* f = std::fopen(argv[1], "rb");
  unsigned char h[24];
  if (!f || std::fread(h, 1, sizeof h, f) != sizeof h) {
    std::fprintf(stderr, "count: %s: cannot read\n", argv[1]);
    return 1;
  }
  if (std::memcmp(h, kDumpMagic, 4) == 0) {
    std::fclose(f);
    int fd = open(argv[1], O_RDONLY);
    DumpReader r(fd);
    r.ReadHeader(nullptr, nullptr);
    Record rec;
    while (r.Next(&rec) == DumpReader::kOk) ++(rec.plen == 0 ? rtcp : rtp);
  } else if (h[0] == 0xd4 && h[1] == 0xc3) {  // little-endian pcap, µs or ns
    unsigned char rh[16], pkt[65536 + 64];
    while (std::fread(rh, 1, 16, f) == 16) {
      unsigned len = unsigned(rh[8] | rh[9] << 8 | rh[10] << 16 | rh[11] << 24);
      if (len > sizeof pkt || std::fread(pkt, 1, len, f) != len) break;
      if (len < 14 + 20 + 8 || pkt[12] != 0x08 || pkt[13] != 0 || pkt[23] != 17) continue;
      const unsigned char* udp = pkt + 14 + (pkt[14] & 0x0f) * 4;
      unsigned dport = unsigned(udp[2] << 8 | udp[3]);
      if (dport == port) ++rtp;
      if (dport == port + 1) ++rtcp;
    }
    std::fclose(f);
  } else {
    std::fprintf(stderr, "count: %s: neither a dump file nor a pcap\n", argv[1]);
    return 1;
  }
  std::printf("rtp=%ld rtcp=%ld\n", rtp, rtcp);
  return 0;
}
