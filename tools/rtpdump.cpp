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
#include <memory>
#include <string>
#include <vector>

#include "args.h"
#include "dumpfile.h"
#include "flusher.h"
#include "message.h"
#include "net.h"

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
constexpr int64_t kRetryNs = 10 * 1000000LL;
// Past this much waiting on a stalled disk, receiving waits for it too.
constexpr size_t kMaxPending = 256 << 20;
// Stop short of the 32-bit millisecond offset overflowing.
constexpr int64_t kMaxOffsetMs = 0xFFFFFFFFLL - 10000;
// How long after its kernel timestamp a datagram is surely in its socket's
// queue: stamping and queueing happen in one pass of the network stack.
constexpr int64_t kSettleNs = 250000;
// After a round that emptied the sockets, datagrams are left to gather this
// long, so that a busy stream costs a few system calls and one wake-up per
// many datagrams; the receive buffers hold fifty times as long.
constexpr int64_t kGatherNs = 2000000;

volatile sig_atomic_t gSignal = 0;

void OnSignal(int sig) { gSignal = sig; }

int64_t Now(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Receives from the two sockets in batches and puts what arrived in order.
// Datagrams are held until no earlier one can still turn up on the other
// socket; their bytes live in one buffer that is reused, so that a datagram
// costs no allocation.
class Receiver {
 public:
  static constexpr int kBatch = 64;

  Receiver() : slots_(new uint8_t[size_t(kBatch) * kSlot]) {
    for (int i = 0; i < kBatch; ++i) {
      iov_[i] = {slots_.get() + size_t(i) * kSlot, kSlot};
      msgs_[i].msg_hdr.msg_iov = &iov_[i];
      msgs_[i].msg_hdr.msg_iovlen = 1;
    }
  }

  // Takes up to kBatch datagrams waiting on fd. Returns how many; if that
  // is kBatch, more may wait, and *last is the arrival time of the last.
  int Receive(int fd, bool rtcp, int64_t* last) {
    for (int i = 0; i < kBatch; ++i) {
      msgs_[i].msg_hdr.msg_control = control_[i];
      msgs_[i].msg_hdr.msg_controllen = sizeof control_[i];
    }
    int n;
    do n = recvmmsg(fd, msgs_, kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return 0;  // nothing waiting, or an error the next datagram may not have
    int64_t fallback = -1;
    for (int i = 0; i < n; ++i) {
      msghdr& m = msgs_[i].msg_hdr;
      int64_t arrival = -1;
      for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec ts;
          std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
          arrival = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
        }
      }
      if (arrival < 0) arrival = fallback < 0 ? (fallback = Now(CLOCK_REALTIME)) : fallback;
      size_t length = msgs_[i].msg_len;
      size_t keep = std::min({length, kSlot, kMaxRecordData});
      held_.push_back({arrival, next_++, bytes_.size(), uint16_t(std::min<size_t>(length, 65535)),
                       uint16_t(keep), rtcp});
      bytes_.insert(bytes_.end(), slots_.get() + size_t(i) * kSlot,
                    slots_.get() + size_t(i) * kSlot + keep);
      *last = arrival;
    }
    return n;
  }

  // Hands the datagrams that arrived up to `cut` (all, if cut is -1) to
  // take(arrival, rtcp, length, data, size), oldest first, while it returns
  // true.
  template <typename Take>
  void Release(int64_t cut, Take take) {
    auto earlier = [](const Held& a, const Held& b) {
      return a.arrival != b.arrival ? a.arrival < b.arrival : a.seq < b.seq;
    };
    // Mostly in order already: only RTCP falls among the RTP.
    if (!std::is_sorted(held_.begin(), held_.end(), earlier)) std::sort(held_.begin(), held_.end(), earlier);
    size_t taken = 0;
    while (taken < held_.size() && (cut < 0 || held_[taken].arrival <= cut)) {
      const Held& h = held_[taken];
      if (!take(h.arrival, h.rtcp, h.length, bytes_.data() + h.at, h.size)) break;
      ++taken;
    }
    // The few held back move to the front, for the next round.
    spare_.clear();
    size_t kept = 0;
    for (size_t i = taken; i < held_.size(); ++i) {
      Held h = held_[i];
      spare_.insert(spare_.end(), bytes_.begin() + long(h.at), bytes_.begin() + long(h.at + h.size));
      h.at = spare_.size() - h.size;
      held_[kept++] = h;
    }
    held_.resize(kept);
    bytes_.swap(spare_);
  }

  bool Holding() const { return !held_.empty(); }

 private:
  // Room for the largest datagram; pages a datagram does not reach are never touched.
  static constexpr size_t kSlot = 65536;

  struct Held {
    int64_t arrival;
    uint64_t seq;  // keeps arrival order among equal timestamps
    size_t at;     // where its bytes start in bytes_
    uint16_t length, size;
    bool rtcp;
  };

  std::unique_ptr<uint8_t[]> slots_;
  iovec iov_[kBatch];
  mmsghdr msgs_[kBatch] = {};
  alignas(cmsghdr) char control_[kBatch][CMSG_SPACE(sizeof(timespec)) + 64];
  std::vector<Held> held_;
  std::vector<uint8_t> bytes_, spare_;
  uint64_t next_ = 0;
};

// Sleeps, unless one of the signals that end recording comes first.
void Pause(int64_t ns, const sigset_t* mask) {
  timespec t{time_t(ns / 1000000000), long(ns % 1000000000)};
  ppoll(nullptr, 0, &t, mask);
}

}  // namespace

int main(int argc, char** argv) {
  if (!StartTool("rtpdump")) return EX_OSERR;

  std::string format = "dump", file;
  int64_t limitMs = kMaxOffsetMs;
  int opt;
  while ((opt = getopt(argc, argv, ":F:t:d:h")) != -1) {
    switch (opt) {
      case 'F':
        format = optarg;
        break;
      case 't':
        if (!ParseMinutes(optarg, &limitMs))
          return Usage(kUsage, std::string("bad duration '") + optarg + "' (minutes, more than 0)");
        limitMs = std::min(limitMs, kMaxOffsetMs);
        break;
      case 'd':
        file = optarg;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        return Usage(kUsage, BadOption(opt, argv));
    }
  }
  if (format != "dump") return Usage(kUsage, "unknown format '" + format + "'");
  if (file.empty()) return Usage(kUsage, "no file given (-d FILE)");
  if (argc - optind != 1) return Usage(kUsage, "expected one HOST/PORT");
  const std::string target = argv[optind];
  std::string host;
  uint16_t port;
  if (!ParseHostPort(target, &host, &port))
    return Usage(kUsage, "bad address '" + target + "' (HOST/PORT, PORT 1..65534)");

  std::vector<Address> candidates;
  std::string error;
  if (!ResolveListen(host, port, &candidates, &error)) return Fail(EX_NOHOST, UnknownHost(host, error));

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
  const int64_t endMono = startMono + limitMs * 1000000;

  DumpWriter writer(out);
  FileHeader header;
  header.startSec = uint32_t(startReal / 1000000000);
  header.startUsec = uint32_t(startReal % 1000000000 / 1000);
  header.source = bound.Ipv4();
  header.port = port;
  if (!writer.WriteHeader(target, header))
    return Fail(EX_IOERR, file + ": " + std::strerror(errno));

  Flusher flusher(&writer);
  Receiver receiver;
  int64_t lastOffset = 0, flushDue = 0;
  int status = 0;
  bool overflow = false;
  auto record = [&](int64_t arrival, bool rtcp, uint16_t length, const uint8_t* data, size_t size) {
    int64_t ms = (arrival - startReal) / 1000000;
    // The wall clock may step; offsets must never go back.
    if (ms < lastOffset) ms = lastOffset;
    if (ms > 0xFFFFFFFFLL) {
      overflow = true;
      return false;
    }
    if (writer.Pending() == 0) flushDue = Now(CLOCK_MONOTONIC) + kFlushDelayNs;
    writer.Add(rtcp ? 0 : length, uint32_t(ms), data, size);
    lastOffset = ms;
    return true;
  };
  while (!gSignal && !overflow) {
    int64_t now = Now(CLOCK_MONOTONIC);
    if (now >= endMono) break;
    if (flusher.Failed()) break;
    if (writer.Pending() > 0 && (now >= flushDue || writer.Pending() >= kFlushBytes)) {
      flusher.Kick(kMaxPending);
      // Still writing the last batch: look again shortly, not at once.
      if (writer.Pending() > 0) flushDue = now + kRetryNs;
    }
    int64_t wake = endMono;
    if (writer.Pending() > 0) wake = std::min(wake, flushDue);
    if (receiver.Holding()) wake = std::min(wake, now + kSettleNs);
    int64_t wait = std::max<int64_t>(wake - now, 0);
    timespec timeout{time_t(wait / 1000000000), long(wait % 1000000000)};
    pollfd pfd[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {flusher.FailureFd(), POLLIN, 0}};
    if (ppoll(pfd, 3, &timeout, &waitMask) < 0) continue;
    if (pfd[2].revents) break;

    // Anything stamped before the cut-off is queued by now; later datagrams
    // wait for the next round, and so does what came after a full batch.
    int64_t cut = Now(CLOCK_REALTIME) - kSettleNs;
    bool full = false, any = false;
    for (int i = 0; i < 2; ++i) {
      int64_t last = 0;
      int n = receiver.Receive(fds[i], i == 1, &last);
      any = any || n > 0;
      if (n == Receiver::kBatch) {
        full = true;
        cut = std::min(cut, last - 1);
      }
    }
    receiver.Release(cut, record);
    if (any && !full) Pause(kGatherNs, &waitMask);
  }
  if (!overflow && !flusher.Failed()) {
    // What arrived before the end is recorded too, however the end came.
    const int64_t stop = Now(CLOCK_REALTIME);
    for (int i = 0; i < 2; ++i) {
      int64_t last = 0;
      while (receiver.Receive(fds[i], i == 1, &last) == Receiver::kBatch && last <= stop) {
      }
    }
    receiver.Release(stop, record);
  }

  if (!flusher.Finish()) status = Fail(EX_IOERR, file + ": " + std::strerror(errno));
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
