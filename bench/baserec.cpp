// baserec: the plainest recorder, for comparison. One blocking recv per
// datagram (RTP on PORT in the main thread, RTCP on PORT + 1 in another),
// each written as a dump record through stdio's buffer. Ends on SIGINT.
//   baserec [-b RCVBUF] -d FILE PORT
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "clock.h"
#include "dumpfile.h"

using rtptools::NowNs;
using rtptools::Put16;
using rtptools::Put32;

namespace {

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

void usage() {
  std::fprintf(stderr, "usage: baserec [-b RCVBUF] -d FILE PORT\n");
  std::exit(64);
}

int Open(long port, int rcvbuf) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("baserec: bind");
    std::exit(71);
  }
  return fd;
}


// Receives on fd until it fails (interrupted, or shut down), writing records.
void Record(int fd, bool rtcp, int64_t start, FILE* out) {
  unsigned char buf[8 + 65536];
  for (;;) {
    ssize_t n = recv(fd, buf + 8, sizeof buf - 8, 0);
    if (n <= 0 || gStop) return;
    if (n > 65535 - 8) n = 65535 - 8;
    uint32_t ms = uint32_t((NowNs(CLOCK_REALTIME) - start) / 1000000);
    Put16(buf, uint16_t(n + 8));
    Put16(buf + 2, rtcp ? 0 : uint16_t(n));
    Put32(buf + 4, ms);
    fwrite(buf, 1, size_t(n) + 8, out);  // one locked call: whole records
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* file = nullptr;
  int rcvbuf = 0;
  int opt;
  while ((opt = getopt(argc, argv, "b:d:")) != -1) {
    if (opt == 'b') rcvbuf = std::atoi(optarg);
    else if (opt == 'd') file = optarg;
    else usage();
  }
  if (!file || argc - optind != 1) usage();
  long port = std::atol(argv[optind]);
  int rtp = Open(port, rcvbuf), rtcp = Open(port + 1, rcvbuf);
  FILE* out = std::fopen(file, "wb");
  if (!out) {
    std::perror(file);
    return 73;
  }
  int64_t start = NowNs(CLOCK_REALTIME);
  unsigned char h[16] = {};
  uint32_t sec = uint32_t(start / 1000000000), usec = uint32_t(start % 1000000000 / 1000);
  Put32(h, sec);
  Put32(h + 4, usec);
  h[8] = 127, h[11] = 1;
  Put16(h + 12, uint16_t(port));
  std::fprintf(out, "#!rtpplay1.0 127.0.0.1/%ld\n", port);
  fwrite(h, 1, sizeof h, out);

  // The signal goes to the main thread only, and interrupts its recv.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread other(Record, rtcp, true, start, out);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  Record(rtp, false, start, out);
  gStop = 1;
  shutdown(rtcp, SHUT_RD);  // wakes the other thread's recv
  other.join();
  return std::fclose(out) == 0 ? 0 : 74;
}
