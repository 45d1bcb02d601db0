// tracegen: writes a synthetic RTP trace as a dump file and, optionally, as
// a pcap of the same datagrams sent to 127.0.0.1, for tcpreplay.
//
// Datagram i belongs to burst i / BURST, recorded at burst * INTERVAL µs.
// Its first payload word (bytes 12..15) is i, so that a receiver can match
// each arrival to its place in the schedule. With several BYTES (-l 172,1200)
// each datagram takes one of them at random, with a fixed seed.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dumpfile.h"

using namespace rtptools;

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: tracegen -n COUNT -l BYTES[,BYTES...] -i INTERVAL_US [-b BURST] [-P PORT]\n"
               "                -o FILE.rtp [-c FILE.pcap]\n");
  std::exit(64);
}

void PutLe32(std::vector<uint8_t>* b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->push_back(uint8_t(v >> (8 * i)));
}

// Ethernet (as lo carries it), IPv4 and UDP from and to 127.0.0.1.
std::vector<uint8_t> Frame(const uint8_t* data, size_t n, uint16_t port) {
  std::vector<uint8_t> f(14 + 20 + 8 + n, 0);
  f[12] = 0x08;  // IPv4
  uint8_t* ip = &f[14];
  ip[0] = 0x45;
  Put16(ip + 2, uint16_t(20 + 8 + n));
  ip[8] = 64;
  ip[9] = 17;
  Put32(ip + 12, 0x7f000001);
  Put32(ip + 16, 0x7f000001);
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += unsigned(ip[i] << 8 | ip[i + 1]);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  Put16(ip + 10, uint16_t(~sum & 0xffff));
  uint8_t* udp = ip + 20;
  Put16(udp, 40000);
  Put16(udp + 2, port);
  Put16(udp + 4, uint16_t(8 + n));  // checksum 0: none, as IPv4 allows
  std::memcpy(udp + 8, data, n);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  long count = 0, interval = 0, burst = 1, port = 5004;
  std::vector<long> sizes;
  std::string out, pcap;
  int opt;
  while ((opt = getopt(argc, argv, "n:l:i:b:P:o:c:")) != -1) {
    switch (opt) {
      case 'n': count = std::atol(optarg); break;
      case 'l': {
        char* p = optarg;
        do sizes.push_back(std::strtol(p, &p, 10));
        while (*p++ == ',');
        break;
      }
      case 'i': interval = std::atol(optarg); break;
      case 'b': burst = std::atol(optarg); break;
      case 'P': port = std::atol(optarg); break;
      case 'o': out = optarg; break;
      case 'c': pcap = optarg; break;
      default: usage();
    }
  }
  const long bytes = sizes.empty() ? 0 : *std::max_element(sizes.begin(), sizes.end());
  if (count <= 0 || sizes.empty() || *std::min_element(sizes.begin(), sizes.end()) < 16 || bytes > 65000 ||
      interval < 0 || burst <= 0 || out.empty())
    usage();

  int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  FILE* pc = pcap.empty() ? nullptr : std::fopen(pcap.c_str(), "wb");
  if (fd < 0 || (!pcap.empty() && !pc)) {
    std::perror("tracegen");
    return 1;
  }
  DumpWriter w(fd);
  FileHeader h;
  const uint32_t startSec = 1700000000;
  h.startSec = startSec;
  h.port = uint16_t(port);
  w.WriteHeader("127.0.0.1/" + std::to_string(port), h);
  if (pc) {
    std::vector<uint8_t> gh;
    // Version 2.4, microseconds, Ethernet frames.
    for (uint32_t v : {0xa1b2c3d4u, 0x00040002u, 0u, 0u, 65535u, 1u}) PutLe32(&gh, v);
    std::fwrite(gh.data(), 1, gh.size(), pc);
  }
  std::vector<uint8_t> pkt(size_t(bytes), 0xab);
  pkt[0] = 0x80;
  pkt[1] = 96;
  Put32(&pkt[8], 0x12345678);
  std::minstd_rand pick(7);
  for (long i = 0; i < count; ++i) {
    const size_t size = size_t(sizes[pick() % sizes.size()]);
    long us = i / burst * interval;
    Put16(&pkt[2], uint16_t(i));
    Put32(&pkt[4], uint32_t(us / 125));  // 8 kHz clock
    Put32(&pkt[12], uint32_t(i));
    w.Add(uint16_t(size), uint32_t(us / 1000), pkt.data(), size);
    if (w.Pending() >= (1 << 20) && !w.Flush()) {
      std::perror("tracegen");
      return 1;
    }
    if (pc) {
      std::vector<uint8_t> f = Frame(pkt.data(), size, uint16_t(port));
      std::vector<uint8_t> rh;
      for (uint32_t v : {uint32_t(startSec + us / 1000000), uint32_t(us % 1000000),
                         uint32_t(f.size()), uint32_t(f.size())})
        PutLe32(&rh, v);
      std::fwrite(rh.data(), 1, rh.size(), pc);
      std::fwrite(f.data(), 1, f.size(), pc);
    }
  }
  if (!w.Flush() || close(fd) != 0 || (pc && std::fclose(pc) != 0)) {
    std::perror("tracegen");
    return 1;
  }
  return 0;
}
