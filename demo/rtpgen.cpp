// rtpgen: a synthetic RTP source, and a receiver that sums up what arrived;
// enough to demonstrate the recorder and the player.
#include <errno.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sysexits.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "clock.h"
#include "dumpfile.h"
#include "net.h"
#include "stdfds.h"

using namespace rtptools;

namespace {

const char kUsage[] =
    "usage: rtpgen send [-r RATE] [-n COUNT] [-t SECONDS] [-s SIZE] [-x SSRC] HOST/PORT[/TTL]\n"
    "       rtpgen recv [-t SECONDS] [-i IDLE] HOST/PORT\n"
    "send: RATE RTP packets a second (default 50) of SIZE bytes (default 200) to\n"
    "      PORT, an RTCP sender report to PORT + 1 every second, until COUNT\n"
    "      packets or SECONDS have gone (default 100 packets).\n"
    "recv: listens on PORT and PORT + 1 for SECONDS (default 10), or until IDLE\n"
    "      seconds pass without a datagram after the first, or SIGINT/SIGTERM,\n"
    "      then tells what arrived.\n";

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

int Usage() {
  std::fputs(kUsage, stderr);
  return EX_USAGE;
}


// A compound RTCP packet: sender report, then SDES with a CNAME.
std::vector<uint8_t> SenderReport(uint32_t ssrc, uint32_t rtpTs, uint32_t packets,
                                  uint32_t octets) {
  const std::string cname = "rtpgen@localhost";
  std::vector<uint8_t> p(28);
  p[0] = 0x80;
  p[1] = 200;
  Put16(&p[2], 6);
  Put32(&p[4], ssrc);
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  Put32(&p[8], uint32_t(now.tv_sec + 2208988800u));
  Put32(&p[12], uint32_t((uint64_t(now.tv_nsec) << 32) / 1000000000));
  Put32(&p[16], rtpTs);
  Put32(&p[20], packets);
  Put32(&p[24], octets);
  size_t chunk = 4 + 2 + cname.size() + 1;  // ssrc, item, end
  chunk = (chunk + 3) / 4 * 4;
  std::vector<uint8_t> s(4 + chunk, 0);
  s[0] = 0x81;
  s[1] = 202;
  Put16(&s[2], uint16_t(s.size() / 4 - 1));
  Put32(&s[4], ssrc);
  s[8] = 1;
  s[9] = uint8_t(cname.size());
  std::memcpy(&s[10], cname.data(), cname.size());
  p.insert(p.end(), s.begin(), s.end());
  return p;
}

int Send(int argc, char** argv) {
  unsigned long rate = 50, count = 100, seconds = 0, size = 200, ssrc = 0x5eed0001;
  int opt;
  while ((opt = getopt(argc, argv, "r:n:t:s:x:")) != -1) {
    bool ok = true;
    switch (opt) {
      case 'r': ok = ParseDecimal(optarg, 1000000, &rate) && rate > 0; break;
      case 'n': ok = ParseDecimal(optarg, 1UL << 31, &count); break;
      case 't': ok = ParseDecimal(optarg, 86400, &seconds); break;
      case 's': ok = ParseDecimal(optarg, 65000, &size) && size >= 12; break;
      case 'x': ok = ParseDecimal(optarg, 0xFFFFFFFF, &ssrc); break;
      default: ok = false;
    }
    if (!ok) return Usage();
  }
  std::string host, error;
  uint16_t port;
  int ttl;
  if (argc - optind != 1 || !ParseHostPortTtl(argv[optind], &host, &port, &ttl)) return Usage();
  if (seconds > 0) count = rate * seconds;
  std::vector<Address> found;
  if (!Resolve(host, port, false, &found, &error)) {
    std::fprintf(stderr, "rtpgen: %s\n", HostRefused(host, "does not resolve: " + error).c_str());
    return EX_NOHOST;
  }
  Address rtp = found.front(), rtcp = rtp;
  rtcp.SetPort(uint16_t(port + 1));
  int fd = OpenSender(rtp, {}, ttl, &error);
  if (fd < 0) {
    std::fprintf(stderr, "rtpgen: %s\n", error.c_str());
    return EX_OSERR;
  }
  std::vector<uint8_t> pkt(size);
  const uint32_t tsStep = 90000 / uint32_t(rate) ? 90000 / uint32_t(rate) : 1;
  const int64_t start = NowNs(), period = 1000000000 / int64_t(rate);
  int64_t nextReport = start;
  uint32_t octets = 0, ts = 0;
  uint16_t seq = 0;
  for (unsigned long i = 0; i < count && !gStop; ++i) {
    SleepUntilNs(start + int64_t(i) * period);
    seq = uint16_t(i);
    ts = uint32_t(i) * tsStep;
    pkt[0] = 0x80;
    pkt[1] = 96;
    Put16(&pkt[2], seq);
    Put32(&pkt[4], ts);
    Put32(&pkt[8], uint32_t(ssrc));
    for (size_t b = 12; b < pkt.size(); ++b) pkt[b] = uint8_t(i + b);
    sendto(fd, pkt.data(), pkt.size(), 0, rtp.Sa(), rtp.len);
    octets += uint32_t(pkt.size() - 12);
    if (NowNs() >= nextReport) {
      std::vector<uint8_t> sr = SenderReport(uint32_t(ssrc), ts, uint32_t(i + 1), octets);
      sendto(fd, sr.data(), sr.size(), 0, rtcp.Sa(), rtcp.len);
      nextReport += 1000000000;
    }
  }
  std::printf("sent %lu RTP packets to %s, sequence 0..%u\n", count, argv[optind],
              count ? unsigned(seq) : 0);
  close(fd);
  return 0;
}

int Recv(int argc, char** argv) {
  unsigned long seconds = 10, idle = 0;
  int opt;
  while ((opt = getopt(argc, argv, "t:i:")) != -1) {
    bool ok = true;
    switch (opt) {
      case 't': ok = ParseDecimal(optarg, 86400, &seconds); break;
      case 'i': ok = ParseDecimal(optarg, 86400, &idle); break;
      default: ok = false;
    }
    if (!ok) return Usage();
  }
  std::string host, error;
  uint16_t port;
  if (argc - optind != 1 || !ParseHostPort(argv[optind], &host, &port)) return Usage();
  std::vector<Address> found;
  if (!Resolve(host, port, true, &found, &error)) {
    std::fprintf(stderr, "rtpgen: %s\n", HostRefused(host, "does not resolve: " + error).c_str());
    return EX_NOHOST;
  }
  Address rtcpAddr = found.front();
  rtcpAddr.SetPort(uint16_t(port + 1));
  int fds[2] = {OpenReceiver(found.front(), {}, &error), -1};
  if (fds[0] >= 0) fds[1] = OpenReceiver(rtcpAddr, {}, &error);
  if (fds[1] < 0) {
    std::fprintf(stderr, "rtpgen: %s\n", error.c_str());
    return EX_OSERR;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  struct Source {
    uint32_t ssrc;
    long count;
    unsigned first, last;
  };
  std::vector<Source> sources;  // in order of first arrival
  long counts[2] = {0, 0};
  const int64_t end = NowNs() + int64_t(seconds) * 1000000000;
  int64_t lastArrival = 0;
  std::vector<uint8_t> buf(65536);
  while (!gStop) {
    int64_t now = NowNs();
    if (now >= end) break;
    if (idle > 0 && lastArrival > 0 && now - lastArrival >= int64_t(idle) * 1000000000) break;
    pollfd pfd[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (poll(pfd, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!pfd[i].revents) continue;
      ssize_t n = recv(fds[i], buf.data(), buf.size(), MSG_DONTWAIT);
      if (n < 0) continue;
      lastArrival = NowNs();
      ++counts[i];
      if (i == 0 && n >= 12) {
        uint32_t ssrc = Get32(&buf[8]);
        unsigned seq = Get16(&buf[2]);
        size_t k = 0;
        while (k < sources.size() && sources[k].ssrc != ssrc) ++k;
        if (k == sources.size()) sources.push_back({ssrc, 0, seq, seq});
        ++sources[k].count;
        sources[k].last = seq;
      }
    }
  }
  std::printf("%s: %ld RTP packets", argv[optind], counts[0]);
  for (const Source& src : sources)
    std::printf("%s SSRC %u: %ld, sequence %u..%u", &src == &sources[0] ? ":" : ";",
                unsigned(src.ssrc), src.count, src.first, src.last);
  std::printf("; port %u: %ld RTCP packets\n", unsigned(port) + 1, counts[1]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!EnsureStdFds()) return EX_OSERR;
  if (argc < 2) return Usage();
  std::string mode = argv[1];
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  if (mode == "send") {
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return Send(argc - 1, argv + 1);
  }
  if (mode == "recv") return Recv(argc - 1, argv + 1);
  return Usage();
}
