// rtpdump: records the RTP and RTCP datagrams sent to an address into an RTP
// dump file.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sysexits.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "dumpfile.h"
#include "net.h"
#include "stdfds.h"

using namespace rtptools;

namespace {

const char kUsage[] =
    "usage: rtpdump [-F dump] [-t MINUTES] -d FILE HOST/PORT\n"
    "Records the RTP datagrams arriving at HOST on PORT and the RTCP on PORT + 1\n"
    "into FILE in the RTP dump format. HOST may be a name, an IPv4 or IPv6\n"
    "address, or a multicast group, which is joined; empty, it is every local\n"
    "address. Ends after MINUTES minutes (default: as long as the format allows)\n"
    "or on SIGINT, SIGTERM or SIGHUP, by that signal, with the file complete.\n"
    "Exit status:\n"
    "   0  done\n"
    "  64  bad usage\n"
    "  68  unknown host\n"
    "  71  a socket cannot be opened, bound or joined\n"
    "  73  FILE cannot be created\n"
    "  74  write error; what was written stays a valid file\n";

// Records older than this are written out even when few.
constexpr int64_t kFlushDelayNs = 500 * 1000000LL;
constexpr size_t kFlushBytes = 1 << 20;
// Stop short of the 32-bit millisecond offset overflowing.
constexpr int64_t kMaxOffsetMs = 0xFFFFFFFFLL - 10000;
// Datagrams taken from one socket before looking at the other again.
constexpr int kBatch = 64;
// How long after its kernel timestamp a datagram is surely in its socket's queue.
constexpr int64_t kSettleNs = 1000000;

volatile sig_atomic_t gSignal = 0;

void OnSignal(int sig) { gSignal = sig; }

// A positive whole number; past a billion minutes it makes no difference.
bool ParseMinutes(const std::string& text, unsigned long* minutes) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  if (!ParseDecimal(text, 1000000000, minutes)) *minutes = 1000000000;
  return *minutes > 0;
}

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "rtpdump: %s\n", message.c_str());
  return status;
}

int Usage(const std::string& message) {
  if (!message.empty()) std::fprintf(stderr, "rtpdump: %s\n", message.c_str());
  std::fputs(kUsage, stderr);
  return EX_USAGE;
}

int64_t Now(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Datagram {
  int64_t arrival;  // realtime ns, from the kernel
  bool rtcp;
  uint16_t length;  // bytes received
  std::string data;  // bytes kept
};

// Reads what is waiting on one socket, at most kBatch datagrams. Returns
// true if it stopped at the batch limit, with more perhaps waiting.
bool Drain(int fd, bool rtcp, std::vector<uint8_t>* scratch, std::vector<Datagram>* out) {
  for (int i = 0; i < kBatch; ++i) {
    iovec iov{scratch->data(), scratch->size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) + 64];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;  // EAGAIN, or an error the next datagram may not have
    }
    int64_t arrival = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts;
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        arrival = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
      }
    }
    if (arrival < 0) arrival = Now(CLOCK_REALTIME);
    size_t keep = std::min({size_t(n), scratch->size(), kMaxRecordData});
    out->push_back({arrival, rtcp, uint16_t(std::min<ssize_t>(n, 65535)),
                    std::string(reinterpret_cast<char*>(scratch->data()), keep)});
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!EnsureStdFds()) return EX_OSERR;

  std::string format = "dump", file;
  unsigned long minutes = 0;  // 0: as long as the format allows
  int opt;
  while ((opt = getopt(argc, argv, "F:t:d:h")) != -1) {
    switch (opt) {
      case 'F':
        format = optarg;
        break;
      case 't':
        if (!ParseMinutes(optarg, &minutes))
          return Usage(std::string("bad duration '") + optarg + "' (whole minutes, at least 1)");
        break;
      case 'd':
        file = optarg;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        return Usage("");
    }
  }
  if (format != "dump") return Usage("unknown format '" + format + "'");
  if (file.empty()) return Usage("no file given (-d FILE)");
  if (argc - optind != 1) return Usage("expected one HOST/PORT");
  const std::string target = argv[optind];
  std::string host;
  uint16_t port;
  if (!ParseHostPort(target, &host, &port))
    return Usage("bad address '" + target + "' (HOST/PORT, PORT 1..65534)");

  std::vector<Address> candidates;
  std::string error;
  if (host.empty()) {
    // Every local address: dual-stack if IPv6 is there, else IPv4.
    for (const char* any : {"::", "0.0.0.0"}) {
      std::vector<Address> found;
      if (Resolve(any, port, true, &found, &error))
        candidates.insert(candidates.end(), found.begin(), found.end());
    }
    if (candidates.empty()) return Fail(EX_OSERR, error);
  } else if (!Resolve(host, port, true, &candidates, &error)) {
    return Fail(EX_NOHOST, error);
  }

  int fds[2] = {-1, -1};
  Address bound;
  for (const Address& a : candidates) {
    Address rtcp = a;
    rtcp.SetPort(uint16_t(port + 1));
    fds[0] = OpenReceiver(a, &error);
    if (fds[0] >= 0) fds[1] = OpenReceiver(rtcp, &error);
    if (fds[1] >= 0) {
      bound = a;
      break;
    }
    if (fds[0] >= 0) close(fds[0]);
    fds[0] = -1;
  }
  if (fds[1] < 0) return Fail(EX_OSERR, error);

  int out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return Fail(EX_CANTCREAT, file + ": " + std::strerror(errno));

  // The three signals stay blocked except while waiting, so none slips in
  // between checking the flag and going to sleep.
  sigset_t stops, waitMask;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  sigprocmask(SIG_BLOCK, &stops, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGHUP);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  // A file size limit then shows as a write error (EFBIG), not a kill.
  signal(SIGXFSZ, SIG_IGN);

  const int64_t startReal = Now(CLOCK_REALTIME);
  const int64_t startMono = Now(CLOCK_MONOTONIC);
  int64_t limitMs = kMaxOffsetMs;
  if (minutes > 0 && int64_t(minutes) * 60000 < limitMs) limitMs = int64_t(minutes) * 60000;
  const int64_t endMono = startMono + limitMs * 1000000;

  DumpWriter writer(out);
  FileHeader header;
  header.startSec = uint32_t(startReal / 1000000000);
  header.startUsec = uint32_t(startReal % 1000000000 / 1000);
  header.source = bound.Ipv4();
  header.port = port;
  if (!writer.WriteHeader(target, header))
    return Fail(EX_IOERR, file + ": " + std::strerror(errno));

  std::vector<uint8_t> scratch(65536);
  // Datagrams read but not yet recorded, oldest first: the two sockets are
  // read one after the other, and what one holds may have arrived before
  // what the other gave, so only those up to a cut-off are taken each round.
  std::vector<Datagram> staged;
  int64_t lastOffset = 0, flushDue = 0;
  int status = 0;
  bool overflow = false;
  auto record = [&](const Datagram& d) {
    int64_t ms = (d.arrival - startReal) / 1000000;
    // The wall clock may step; offsets must never go back.
    if (ms < lastOffset) ms = lastOffset;
    if (ms > 0xFFFFFFFFLL) {
      overflow = true;
      return;
    }
    if (writer.Pending() == 0) flushDue = Now(CLOCK_MONOTONIC) + kFlushDelayNs;
    writer.Add(d.rtcp ? 0 : d.length, uint32_t(ms), d.data.data(), d.data.size());
    lastOffset = ms;
  };
  while (!gSignal && !overflow) {
    int64_t now = Now(CLOCK_MONOTONIC);
    if (now >= endMono) break;
    if (writer.Pending() > 0 && (now >= flushDue || writer.Pending() >= kFlushBytes)) {
      if (!writer.Flush()) {
        status = Fail(EX_IOERR, file + ": " + std::strerror(errno));
        break;
      }
    }
    int64_t wake = endMono;
    if (writer.Pending() > 0) wake = std::min(wake, flushDue);
    if (!staged.empty()) wake = std::min(wake, now + kSettleNs);
    int64_t wait = std::max<int64_t>(wake - now, 0);
    timespec timeout{time_t(wait / 1000000000), long(wait % 1000000000)};
    pollfd pfd[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (ppoll(pfd, 2, &timeout, &waitMask) < 0) continue;

    // Anything stamped before the cut-off is queued by now; later datagrams
    // wait for the next round.
    int64_t cut = Now(CLOCK_REALTIME) - kSettleNs;
    size_t before = staged.size();
    for (int i = 0; i < 2; ++i) {
      size_t from = staged.size();
      if (Drain(fds[i], i == 1, &scratch, &staged) && staged.size() > from)
        cut = std::min(cut, staged.back().arrival - 1);
    }
    std::stable_sort(staged.begin() + long(before), staged.end(),
                     [](const Datagram& a, const Datagram& b) { return a.arrival < b.arrival; });
    std::inplace_merge(staged.begin(), staged.begin() + long(before), staged.end(),
                       [](const Datagram& a, const Datagram& b) { return a.arrival < b.arrival; });
    size_t taken = 0;
    while (taken < staged.size() && staged[taken].arrival <= cut && !overflow) record(staged[taken++]);
    staged.erase(staged.begin(), staged.begin() + long(taken));
  }
  for (size_t i = 0; i < staged.size() && !overflow && status == 0; ++i) record(staged[i]);

  if (status == 0 && !writer.Flush()) status = Fail(EX_IOERR, file + ": " + std::strerror(errno));
  if (fsync(out) != 0 && errno != EINVAL && errno != EROFS && status == 0)
    status = Fail(EX_IOERR, file + ": " + std::strerror(errno));
  if (close(out) != 0 && status == 0) status = Fail(EX_IOERR, file + ": " + std::strerror(errno));
  close(fds[0]);
  close(fds[1]);

  if (status == 0 && gSignal) {
    // End by the same signal, so whoever started us sees why.
    int sig = gSignal;
    signal(sig, SIG_DFL);
    raise(sig);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    return 128 + sig;
  }
  return status;
}
