// sender: offers RTP to 127.0.0.1/PORT (and RTCP to PORT + 1) in one of two
// ways:
//   sender -r RATE -s SECONDS [-l BYTES] [-R EVERY] [-j THREADS] [-g GSO] PORT
//     a paced stream, sent in sendmmsg batches on an absolute schedule;
//     every EVERY-th datagram is an RTCP report. Prints the rate reached.
//   sender -f TRACE PORT
//     the careful player: each record of a dump file sent at its offset
//     after the start, sleeping to absolute times with no timer slack.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "dumpfile.h"

using namespace rtptools;

namespace {

constexpr int kBatch = 64;
// Sleep only when this many datagrams are not yet due: waking per datagram
// would cost more than sending it.
constexpr long kWakeEvery = 16;

void usage() {
  std::fprintf(stderr,
               "usage: sender -r RATE -s SECONDS [-l BYTES] [-R EVERY] [-j THREADS] [-g GSO]\n"
               "              PORT\n"
               "       sender -f TRACE PORT\n");
  std::exit(64);
}

sockaddr_in Loopback(long port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

struct Counts {
  std::atomic<long> rtp{0}, rtcp{0};
};

// Sends `total` datagrams at `rate` per second from `start` (monotonic ns).
// With gso > 1, up to gso RTP datagrams in a row leave in one message that
// the kernel cuts apart (UDP_SEGMENT), so that sending costs less.
void Paced(long port, double rate, long total, long bytes, long every, int gso, int64_t start,
           Counts* c) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int seg = int(bytes);
  if (gso > 1 && setsockopt(fd, SOL_UDP, UDP_SEGMENT, &seg, sizeof seg) != 0) {
    std::perror("sender: UDP_SEGMENT");
    gso = 1;
  }
  sockaddr_in rtp = Loopback(port), rtcp = Loopback(port + 1);
  std::vector<std::vector<uint8_t>> bufs(kBatch, std::vector<uint8_t>(size_t(bytes), 0));
  std::vector<iovec> iov(kBatch);
  std::vector<mmsghdr> msgs(kBatch);
  std::vector<int> held(kBatch);  // datagrams in each message
  long sent = 0, rtcpSent = 0;
  while (sent < total) {
    long due = std::min(total, long(double(NowNs() - start) * rate / 1e9) + 1);
    if (due - sent < kWakeEvery && due < total) {
      SleepUntilNs(start + int64_t(double(sent + kWakeEvery) * 1e9 / rate));
      continue;
    }
    int n = int(std::min<long>(due - sent, kBatch)), m = 0;
    for (int i = 0; i < n; ++i) {
      long k = sent + i;
      uint8_t* p = bufs[size_t(i)].data();
      bool isRtcp = every > 0 && k % every == every - 1;
      p[0] = 0x80;
      p[1] = isRtcp ? 200 : 96;  // RTCP sender report, or RTP
      p[2] = uint8_t(k >> 8), p[3] = uint8_t(k);
      std::memcpy(p + 12, &k, 4);
      iov[size_t(i)] = {p, isRtcp ? 28 : size_t(bytes)};
      mmsghdr* last = m > 0 ? &msgs[size_t(m - 1)] : nullptr;
      if (!isRtcp && last && last->msg_hdr.msg_name == &rtp && held[size_t(m - 1)] < gso) {
        ++last->msg_hdr.msg_iovlen;
        ++held[size_t(m - 1)];
        continue;
      }
      msgs[size_t(m)] = {};
      msgs[size_t(m)].msg_hdr.msg_name = isRtcp ? &rtcp : &rtp;
      msgs[size_t(m)].msg_hdr.msg_namelen = sizeof rtp;
      msgs[size_t(m)].msg_hdr.msg_iov = &iov[size_t(i)];
      msgs[size_t(m)].msg_hdr.msg_iovlen = 1;
      held[size_t(m++)] = isRtcp ? gso : 1;  // nothing joins an RTCP report
    }
    int done = sendmmsg(fd, msgs.data(), unsigned(m), 0);
    if (done <= 0) {
      std::perror("sender: sendmmsg");
      break;
    }
    for (int i = 0; i < done; ++i) {
      if (msgs[size_t(i)].msg_hdr.msg_name == &rtcp) ++rtcpSent;
      sent += long(msgs[size_t(i)].msg_hdr.msg_iovlen);
    }
  }
  c->rtp += sent - rtcpSent;
  c->rtcp += rtcpSent;
  close(fd);
}

int Careful(const std::string& trace, long port) {
  int in = open(trace.c_str(), O_RDONLY);
  DumpReader r(in);
  if (in < 0 || r.ReadHeader(nullptr, nullptr) != DumpReader::kOk) {
    std::fprintf(stderr, "sender: %s: not a dump file\n", trace.c_str());
    return 1;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in rtp = Loopback(port), rtcp = Loopback(port + 1);
  const int64_t start = NowNs();
  Record rec;
  long sent = 0;
  while (r.Next(&rec) == DumpReader::kOk) {
    SleepUntilNs(start + int64_t(rec.offset) * 1000000);
    const sockaddr_in* to = rec.plen == 0 ? &rtcp : &rtp;
    if (sendto(fd, rec.data, rec.size, 0, reinterpret_cast<const sockaddr*>(to), sizeof *to) >= 0)
      ++sent;
  }
  std::printf("sent=%ld\n", sent);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double rate = 0, seconds = 0;
  long bytes = 172, every = 0, threads = 1, gso = 1;
  std::string trace;
  int opt;
  while ((opt = getopt(argc, argv, "r:s:l:R:j:g:f:")) != -1) {
    switch (opt) {
      case 'r': rate = std::atof(optarg); break;
      case 's': seconds = std::atof(optarg); break;
      case 'l': bytes = std::atol(optarg); break;
      case 'R': every = std::atol(optarg); break;
      case 'j': threads = std::atol(optarg); break;
      case 'g': gso = std::atol(optarg); break;
      case 'f': trace = optarg; break;
      default: usage();
    }
  }
  if (argc - optind != 1) usage();
  long port = std::atol(argv[optind]);
  if (port <= 0 || port > 65534) usage();
  // Timers fire when asked, not up to 50 µs later.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  if (!trace.empty()) return Careful(trace, port);
  if (rate <= 0 || seconds <= 0 || bytes < 28 || bytes > 65000 || threads < 1 || threads > 8 ||
      gso < 1 || gso > 64)
    usage();

  Counts c;
  const long total = long(rate * seconds);
  const int64_t start = NowNs() + 10000000;
  std::vector<std::thread> pool;
  for (long t = 0; t < threads; ++t)
    pool.emplace_back(Paced, port, rate / double(threads), total / threads, bytes, every, int(gso),
                      start, &c);
  for (std::thread& t : pool) t.join();
  double took = double(NowNs() - start) / 1e9;
  long all = c.rtp + c.rtcp;
  std::printf("rtp=%ld rtcp=%ld secs=%.3f rate=%.0f reached=%d\n", c.rtp.load(), c.rtcp.load(), took,
              double(all) / took, double(all) / took >= 0.99 * rate ? 1 : 0);
  return 0;
}
