// receiver: takes the RTP datagrams of a trace (from tracegen) on
// 127.0.0.1/PORT, stamps each in the kernel (SO_TIMESTAMPNS), and prints
// how far each arrived from its schedule, anchored at the first arrival:
// p50, p99 and max of the error in ms, the drift (slope of a linear fit,
// ms per minute) and the error of the last datagram of the trace.
//   receiver -f TRACE [-w WAIT_S] PORT
// Gives up WAIT_S seconds (default 30) after the trace should have ended.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clock.h"
#include "dumpfile.h"
#include "net.h"

using namespace rtptools;

namespace {

void usage() {
  std::fprintf(stderr, "usage: receiver -f TRACE [-w WAIT_S] PORT\n");
  std::exit(64);
}


double Percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  std::string trace;
  double wait = 30;
  int opt;
  while ((opt = getopt(argc, argv, "f:w:")) != -1) {
    if (opt == 'f') trace = optarg;
    else if (opt == 'w') wait = std::atof(optarg);
    else usage();
  }
  if (trace.empty() || argc - optind != 1) usage();
  long port = std::atol(argv[optind]);

  // The schedule: record offsets (ms) of the trace's RTP datagrams by index.
  std::vector<double> sched;
  int in = open(trace.c_str(), O_RDONLY);
  DumpReader r(in);
  if (in < 0 || r.ReadHeader(nullptr, nullptr) != DumpReader::kOk) {
    std::fprintf(stderr, "receiver: %s: not a dump file\n", trace.c_str());
    return 1;
  }
  Record rec;
  while (r.Next(&rec) == DumpReader::kOk)
    if (rec.plen != 0) sched.push_back(double(rec.offset));
  close(in);
  if (sched.empty()) return 1;

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1, big = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(uint16_t(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    std::perror("receiver: bind");
    return 1;
  }

  std::vector<double> arrival(sched.size(), NAN);  // ns since the first arrival
  const int64_t deadline = NowNs() + int64_t((sched.back() / 1000 + wait) * 1e9);
  int64_t first = -1;
  size_t got = 0;
  uint8_t buf[65536];
  while (got < sched.size() && NowNs() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    alignas(cmsghdr) char control[kArrivalControlSize];
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, 0);
    if (n < 16) continue;
    int64_t t = ArrivalNs(msg);
    if (t < 0) t = NowNs(CLOCK_REALTIME);
    uint32_t i = Get32(buf + 12);
    if (i >= sched.size() || !std::isnan(arrival[i])) continue;
    if (first < 0) first = t - int64_t(sched[i] * 1e6);
    arrival[i] = double(t - first) / 1e6;
    ++got;
  }
  // Error of each arrival against its schedule, and a least-squares line
  // through the errors over time.
  std::vector<double> err;
  double sx = 0, sy = 0, sxx = 0, sxy = 0, last = NAN;
  for (size_t i = 0; i < sched.size(); ++i) {
    if (std::isnan(arrival[i])) continue;
    double e = arrival[i] - sched[i], x = sched[i] / 60000;
    err.push_back(e);
    sx += x, sy += e, sxx += x * x, sxy += x * e;
    if (i + 1 == sched.size()) last = e;
  }
  double n = double(err.size());
  double drift = n > 1 && sxx * n - sx * sx > 0 ? (n * sxy - sx * sy) / (n * sxx - sx * sx) : NAN;
  if (err.empty()) err.push_back(NAN);
  std::printf("got=%zu of=%zu p50=%.3f p99=%.3f max=%.3f drift=%.4f last=%.3f\n", got, sched.size(),
              Percentile(err, 0.5), Percentile(err, 0.99), *std::max_element(err.begin(), err.end()),
              drift, last);
  return 0;
}
