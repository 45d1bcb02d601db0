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
#include "capture_in.h"
#include "clock.h"
#include "dumpfile.h"
#include "flusher.h"
#include "message.h"
#include "net.h"
#include "receiver.h"

using namespace rtptools;

namespace {

const char kUsage[] =
    "usage: rtpdump [-F dump] [-t MINUTES] [-r CAPTURE] -d FILE [SOURCE@]HOST[%INTERFACE]/PORT\n"
    "Records the RTP datagrams arriving at HOST on PORT and the RTCP on PORT + 1\n"
    "into FILE in the RTP dump format. HOST may be a name, an IPv4 or IPv6\n"
    "address, or a multicast group, which is joined; empty, it is every local\n"
    "address. SOURCE@GROUP joins GROUP for SOURCE's datagrams alone, and\n"
    "HOST%INTERFACE joins, or listens, on that interface only. Ends after\n"
    "MINUTES minutes (default: as long as the format allows) or on SIGINT,\n"
    "SIGTERM or SIGHUP, by that signal, with the file complete.\n"
    "With -r, the datagrams come from the pcap or pcapng file CAPTURE instead.\n"
    "Exit status:\n"
    "   0  done (also for a capture that is cut off: what it holds is kept)\n"
    "  64  bad usage, SOURCE not a unicast address or HOST not a group for it\n"
    "  65  CAPTURE is not a capture file\n"
    "  66  CAPTURE cannot be opened\n"
    "  68  unknown host or interface\n"
    "  71  a socket cannot be opened, bound or joined\n"
    "  73  FILE cannot be created\n"
    "  74  write error; what was written stays a valid file\n";

constexpr size_t kFlushBytes = 1 << 20;
constexpr int64_t kRetryNs = 10 * kNsPerMs;
// Past this much waiting on a stalled disk, receiving waits for it too.
constexpr size_t kMaxPending = 256 << 20;
// Stop short of the 32-bit millisecond offset overflowing.
constexpr int64_t kMaxOffsetMs = 0xFFFFFFFFLL - 10000;
// How long after its kernel timestamp a datagram is surely in its socket's
// queue: stamping and queueing happen in one pass of the network stack.
constexpr int64_t kSettleNs = 250000;
// The kernel stamps each datagram as it comes and keeps it, so between
// rounds the recorder sleeps while they gather: a round's system calls and
// wake-up are shared by every datagram since the last. The first wait after
// a quiet spell is short, each next one at most kGrowth times longer, and
// none longer than kMaxWaitNs, or than it takes a quarter of the receive
// buffer to fill at the rate just seen, or kRoundBytes to come: a round
// larger than the cache costs more in copying than it saves in wake-ups.
constexpr int64_t kFirstWaitNs = 2 * kNsPerMs;
constexpr int64_t kMaxWaitNs = 400 * kNsPerMs;
constexpr int64_t kGrowth = 4;
constexpr size_t kRoundBytes = 1 << 20;
// What the kernel charges a receive buffer per datagram beyond its bytes;
// on the high side.
constexpr size_t kDatagramOverhead = 1024;
// Records go to the writer once the oldest arrived this long ago (or a
// megabyte waits). A record is taken at most kMaxWaitNs + kSettleNs after
// it arrived, so either way it is in the file within half a second.
constexpr int64_t kFlushAgeNs = 200 * kNsPerMs;

volatile sig_atomic_t gSignal = 0;

void OnSignal(int sig) { gSignal = sig; }

struct Options {
  std::string file, target, host, capture;
  uint16_t port = 0;
  int64_t limitMs = kMaxOffsetMs;
};

// False when the run ends here, with *status.
bool ReadOptions(int argc, char** argv, Options* o, int* status) {
  std::string format = "dump";
  int opt;
  *status = EX_USAGE;
  while ((opt = getopt(argc, argv, ":F:t:d:r:h")) != -1) {
    switch (opt) {
      case 'F':
        format = optarg;
        break;
      case 't':
        if (!ParseMinutes(optarg, &o->limitMs))
          return Usage(kUsage, std::string("bad duration '") + optarg + "' (minutes, more than 0)"), false;
        o->limitMs = std::min(o->limitMs, kMaxOffsetMs);
        break;
      case 'd':
        o->file = optarg;
        break;
      case 'r':
        o->capture = optarg;
        break;
      default:
        return OtherOption(opt, argv, kUsage, status);
    }
  }
  if (format != "dump") return Usage(kUsage, "unknown format '" + format + "'"), false;
  if (o->file.empty()) return Usage(kUsage, "no file given (-d FILE)"), false;
  if (argc - optind != 1) return Usage(kUsage, "expected one HOST/PORT"), false;
  o->target = argv[optind];
  if (!ParseHostPort(o->target, &o->host, &o->port))
    return Usage(kUsage, "bad address '" + o->target + "' (HOST/PORT, PORT 1..65534)"), false;
  return true;
}

// The RTP and RTCP sockets, on the first of HOST's addresses where both
// can be bound. 0, or the exit status.
int OpenSockets(const Options& o, int fds[2], Address* bound) {
  std::vector<Address> candidates;
  Scope scope;
  std::string error;
  if (int status = ResolveHost(o.host, o.port, HostUse::kListen, &candidates, &scope, &error))
    return Fail(status, HostRefused(o.host, error), kUsage);
  for (const Address& a : candidates) {
    Address rtcp = a;
    rtcp.SetPort(uint16_t(o.port + 1));
    fds[0] = OpenReceiver(a, scope, &error);
    fds[1] = fds[0] < 0 ? -1 : OpenReceiver(rtcp, scope, &error);
    if (fds[1] >= 0) {
      *bound = a;
      return 0;
    }
    if (fds[0] >= 0) close(fds[0]);
  }
  return Fail(EX_OSERR, error);
}

// A write lock on the file while it records, which a reader that follows it
// (rtpinfo --follow) takes to mean that the recording goes on through a
// pause. Under confrec, which holds one already, it is refused: confrec's
// lock says the same.
void LockWhileRecording(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  fcntl(fd, F_SETLK, &lock);
}

// The stop signals stay blocked except while waiting, so none slips in
// between checking the flag and going to sleep. Returns the mask to wait with.
sigset_t CatchStopSignals() {
  sigset_t stops, waitMask;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
  sigprocmask(SIG_BLOCK, &stops, &waitMask);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    sigdelset(&waitMask, sig);
    sigaction(sig, &sa, nullptr);
  }
  // A file size limit then shows as a write error (EFBIG), not a kill.
  signal(SIGXFSZ, SIG_IGN);
  return waitMask;
}

// Ends by the signal that stopped the recording, so whoever started us sees why.
int EndBySignal(int sig) {
  signal(sig, SIG_DFL);
  raise(sig);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, sig);
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
  return 128 + sig;
}

// One recording into an open file: what arrives on the two sockets, in
// order, handed to the writing thread in batches.
class Recording {
 public:
  explicit Recording(int out)
      : out_(out), startReal_(NowNs(CLOCK_REALTIME)), startMono_(NowNs()), writer_(out), flusher_(&writer_) {}

  // The text line and header. False with errno set on failure.
  bool WriteHeader(const std::string& target, uint32_t source, uint16_t port) {
    FileHeader header;
    header.startSec = uint32_t(startReal_ / kNsPerSecond);
    header.startUsec = uint32_t(startReal_ % kNsPerSecond / 1000);
    header.source = source;
    header.port = port;
    return writer_.WriteHeader(target, header);
  }

  // Until a stop signal, a failed write, or `limitMs` after the start.
  void ReceiveUntil(const int fds[2], int64_t limitMs, const sigset_t& waitMask) {
    const int64_t end = startMono_ + limitMs * kNsPerMs;
    buffer_ = std::min(ReceiveBuffer(fds[0]), ReceiveBuffer(fds[1]));
    while (!gSignal && !overflow_ && !flusher_.Failed()) {
      const int64_t now = NowNs();
      if (now >= end) break;
      FlushIfDue(now);
      int64_t wake = more_ ? now : wait_ < 0 ? end : std::min(end, now + wait_);
      if (writer_.Pending() > 0) wake = std::min(wake, flushDue_);
      const timespec timeout = ToTimespec(std::max<int64_t>(wake - now, 0));
      // Quiet, the first datagram wakes the recorder; after it, the timer.
      pollfd pfd[3] = {{flusher_.FailureFd(), POLLIN, 0}, {fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
      if (ppoll(pfd, wait_ < 0 && !more_ ? 3 : 1, &timeout, &waitMask) < 0) continue;
      if (pfd[0].revents) break;
      ReceiveRound(fds);
    }
  }

  // What arrived before the end is recorded too, however the end came.
  void Drain(const int fds[2]) {
    if (overflow_ || flusher_.Failed()) return;
    const int64_t stop = NowNs(CLOCK_REALTIME);
    for (int i = 0; i < 2; ++i) {
      int64_t last = 0;
      while (receiver_.Receive(fds[i], i == 1, &last) == Receiver::kBatch && last <= stop) {
      }
    }
    Release(stop);
  }

  // Writes the rest, syncs and closes the file; 0 or the exit status.
  int Finish(const std::string& file) {
    int status = 0;
    if (!flusher_.Finish()) status = Fail(EX_IOERR, file + ": " + std::strerror(errno));
    if (fsync(out_) != 0 && errno != EINVAL && errno != EROFS && status == 0)
      status = Fail(EX_IOERR, file + ": " + std::strerror(errno));
    if (close(out_) != 0 && status == 0) status = Fail(EX_IOERR, file + ": " + std::strerror(errno));
    return status;
  }

 private:
  void FlushIfDue(int64_t now) {
    if (writer_.Pending() == 0 || (now < flushDue_ && writer_.Pending() < kFlushBytes)) return;
    flusher_.Kick(kMaxPending);
    // Still writing the last batch: look again shortly, not at once.
    if (writer_.Pending() > 0) flushDue_ = now + kRetryNs;
  }

  static size_t ReceiveBuffer(int fd) {
    int size = 0;
    socklen_t len = sizeof size;
    return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) == 0 && size > 0 ? size_t(size) : 0;
  }

  // Takes what waits on both sockets, records what is surely in order, and
  // sets how long to wait before the next round.
  void ReceiveRound(const int fds[2]) {
    // Anything stamped before the cut-off is queued by now; later datagrams
    // wait for the next round, and so does what came after a full batch.
    int64_t cut = NowNs(CLOCK_REALTIME) - kSettleNs;
    bool full = false, any = false;
    for (int i = 0; i < 2; ++i) {
      int64_t last = 0;
      size_t bytes = 0;
      const int n = receiver_.Receive(fds[i], i == 1, &last, &bytes);
      any = any || n > 0;
      cost_[i] += bytes + size_t(n) * kDatagramOverhead;
      if (n == Receiver::kBatch) {
        full = true;
        cut = std::min(cut, last - 1);
      }
    }
    Release(cut);
    more_ = full;  // then take the rest at once
    if (full) return;
    const int64_t now = NowNs();
    if (!any && !receiver_.Holding() && wait_ >= kMaxWaitNs) {
      wait_ = -1;  // quiet: until a datagram comes
    } else {
      int64_t wait = wait_ < 0 ? kFirstWaitNs : std::min(wait_ * kGrowth, kMaxWaitNs);
      const size_t cost = std::max(cost_[0], cost_[1]);
      const double perRound = double(std::min(buffer_ / 4, kRoundBytes));
      if (cost > 0 && wait_ >= 0)
        wait = std::min<int64_t>(wait, int64_t(perRound * double(now - roundStart_) / double(cost)));
      wait_ = std::max(wait, kSettleNs);  // a buffer too small for that loses anyway; no spinning
    }
    roundStart_ = now;
    cost_[0] = cost_[1] = 0;
  }

  void Release(int64_t cut) {
    receiver_.Release(cut, [this](int64_t arrival, bool rtcp, uint16_t length, const uint8_t* data, size_t size) {
      return Record(arrival, rtcp, length, data, size);
    });
  }

  bool Record(int64_t arrival, bool rtcp, uint16_t length, const uint8_t* data, size_t size) {
    // The wall clock may step; offsets must never go back.
    const int64_t ms = std::max((arrival - startReal_) / kNsPerMs, lastOffset_);
    if (ms > 0xFFFFFFFFLL) {
      overflow_ = true;
      return false;
    }
    if (writer_.Pending() == 0) {
      // Due by the oldest record's arrival; a step of the wall clock moves it
      // no later than if it had just arrived.
      const int64_t now = NowNs();
      flushDue_ = now + std::min(kFlushAgeNs, kFlushAgeNs - (NowNs(CLOCK_REALTIME) - arrival));
    }
    writer_.Add(rtcp ? 0 : length, uint32_t(ms), data, size);
    lastOffset_ = ms;
    return true;
  }

  const int out_;
  const int64_t startReal_, startMono_;
  DumpWriter writer_;
  Flusher flusher_;
  Receiver receiver_;
  int64_t lastOffset_ = 0, flushDue_ = 0;
  bool overflow_ = false;
  // The wait before the next round (-1: until a datagram comes), and what
  // the rate is measured on: when the last wait began, and what each
  // socket's buffer was charged since.
  int64_t wait_ = -1, roundStart_ = 0;
  size_t buffer_ = 0, cost_[2] = {0, 0};
  bool more_ = false;
};

bool SameHost(const std::vector<Address>& hosts, const Address& a) {
  for (const Address& h : hosts) {
    if (h.Family() != a.Family()) continue;
    Address port0 = a;
    port0.SetPort(h.Port());
    if (std::memcmp(h.Sa(), port0.Sa(), h.len) == 0) return true;
  }
  return false;
}

// Records from a capture file what a live recording would have received:
// the UDP datagrams to HOST (any, when empty) on PORT as RTP and on PORT + 1
// as RTCP, from its SOURCE alone when it names one, with offsets from the
// capture's times. 0 or the exit status.
int RecordCapture(const Options& o) {
  std::vector<Address> hosts;
  Scope scope;
  std::string error;
  if (int status = ResolveHost(o.host, o.port, HostUse::kCapture, &hosts, &scope, &error))
    return Fail(status, HostRefused(o.host, error), kUsage);
  const std::vector<Address> sources(scope.source.len ? 1 : 0, scope.source);
  CaptureReader in;
  if (int status = in.Open(o.capture, &error)) return Fail(status, error);
  const int out = open(o.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return Fail(EX_CANTCREAT, o.file + ": " + std::strerror(errno));
  DumpWriter writer(out);
  CapturedDatagram d;
  CaptureReader::Status st = CaptureReader::kEnd;
  int64_t first = -1, last = 0;
  long elsewhere = 0;
  bool ok = true;
  while (ok && (st = in.Next(&d, &error)) == CaptureReader::kOk) {
    const bool rtcp = d.to.Port() == o.port + 1;
    if ((!rtcp && d.to.Port() != o.port) || (!hosts.empty() && !SameHost(hosts, d.to)) ||
        (!sources.empty() && !SameHost(sources, d.from))) {
      ++elsewhere;
      continue;
    }
    if (first < 0) {
      first = d.ns;
      FileHeader header;
      header.startSec = uint32_t(first / kNsPerSecond);
      header.startUsec = uint32_t(first % kNsPerSecond / 1000);
      header.source = hosts.empty() ? 0 : hosts.front().Ipv4();
      header.port = o.port;
      ok = writer.WriteHeader(o.target, header);
    }
    // Offsets never go back, however the capture was ordered.
    const int64_t ms = std::max(last, (d.ns - first) / 1000000);
    if (ms > o.limitMs) break;
    last = ms;
    writer.Add(rtcp ? 0 : uint16_t(std::min<size_t>(d.size, 65535)), uint32_t(ms), d.data,
               std::min(d.size, kMaxRecordData));
    if (writer.Pending() >= kFlushBytes) ok = writer.Flush();
  }
  if (ok && first < 0) ok = writer.WriteHeader(o.target, FileHeader());
  if (ok) ok = writer.Flush();
  if (!ok || (fsync(out) != 0 && errno != EINVAL) || close(out) != 0)
    return Fail(EX_IOERR, o.file + ": " + std::strerror(errno));
  const long skipped = in.fragments + in.cut + in.other + elsewhere;
  if (skipped > 0)
    Say("skipped " + std::to_string(skipped) + " packet(s): " + std::to_string(in.fragments) + " IP fragment(s), " +
        std::to_string(in.cut) + " cut short by the capture, " + std::to_string(in.other) + " not UDP over IP, " +
        std::to_string(elsewhere) + " to other addresses or ports, or from other sources");
  if (st == CaptureReader::kCutOff) Say(o.capture + ": cut off (" + error + "); kept what came before");
  if (st == CaptureReader::kIoError) return Fail(EX_IOERR, o.capture + ": " + error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!StartTool("rtpdump")) return EX_OSERR;
  Options o;
  int status;
  if (!ReadOptions(argc, argv, &o, &status)) return status;
  if (!o.capture.empty()) return RecordCapture(o);
  int fds[2];
  Address bound;
  if ((status = OpenSockets(o, fds, &bound)) != 0) return status;
  const int out = open(o.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return Fail(EX_CANTCREAT, o.file + ": " + std::strerror(errno));
  LockWhileRecording(out);
  const sigset_t waitMask = CatchStopSignals();

  Recording recording(out);
  if (!recording.WriteHeader(o.target, bound.Ipv4(), o.port))
    return Fail(EX_IOERR, o.file + ": " + std::strerror(errno));
  recording.ReceiveUntil(fds, o.limitMs, waitMask);
  recording.Drain(fds);
  status = recording.Finish(o.file);
  close(fds[0]);
  close(fds[1]);
  return status == 0 && gSignal ? EndBySignal(gSignal) : status;
}
