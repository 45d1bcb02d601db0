// rtpplay: sends the datagrams of an RTP dump file to an address on the
// schedule they were recorded with.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/prctl.h>
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
#include "message.h"
#include "net.h"
#include "readahead.h"

using namespace rtptools;

namespace {

const char kUsage[] =
    "usage: rtpplay -f FILE [-o SECONDS] HOST/PORT[/TTL]\n"
    "Sends the RTP records of the dump FILE to HOST on PORT and the RTCP records\n"
    "to PORT + 1, each as long after the start as it was recorded after SECONDS\n"
    "into the recording; earlier records are skipped. TTL (0..255, default 1) is\n"
    "the hop limit for multicast and unicast.\n"
    "Exit status:\n"
    "   0  done (a file ending inside a record plays up to there)\n"
    "  64  bad usage\n"
    "  65  FILE is not an RTP dump file\n"
    "  66  FILE cannot be opened\n"
    "  68  unknown host\n"
    "  71  the socket cannot be opened\n"
    "  74  FILE cannot be read\n";

// A send that fails (no buffer space) is tried again this often before the
// datagram is given up.
constexpr int kSendTries = 20;
constexpr long kSendPauseNs = 1000000;

void SleepUntil(const timespec& when) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
  }
}

timespec AddNs(timespec t, int64_t ns) {
  int64_t total = int64_t(t.tv_nsec) + ns % 1000000000;
  t.tv_sec += time_t(ns / 1000000000 + total / 1000000000);
  total %= 1000000000;
  if (total < 0) {
    total += 1000000000;
    t.tv_sec -= 1;
  }
  t.tv_nsec = long(total);
  return t;
}

// Records due in the same millisecond go out in one call, up to this many.
constexpr size_t kBurst = 64;

// Sends n records, RTP to `rtp` and RTCP to `rtcp`. Returns how many were
// given up after kSendTries failed tries.
long SendBurst(int fd, const Address& rtp, const Address& rtcp, const Record* r, size_t n,
               int* lastErrno) {
  mmsghdr msgs[kBurst] = {};
  iovec iov[kBurst];
  for (size_t i = 0; i < n; ++i) {
    const Address& to = r[i].plen == 0 ? rtcp : rtp;
    iov[i] = {const_cast<uint8_t*>(r[i].data), r[i].size};
    msgs[i].msg_hdr.msg_name = const_cast<sockaddr*>(to.Sa());
    msgs[i].msg_hdr.msg_namelen = to.len;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  long failed = 0;
  int tries = 0;
  for (size_t sent = 0; sent < n;) {
    int k = sendmmsg(fd, msgs + sent, unsigned(n - sent), 0);
    if (k > 0) {
      sent += size_t(k);
      tries = 0;
      continue;
    }
    *lastErrno = errno;
    if (errno == EINTR) continue;
    if (++tries < kSendTries) {
      timespec pause{0, kSendPauseNs};
      nanosleep(&pause, nullptr);
      continue;
    }
    ++failed;  // give this one up
    ++sent;
    tries = 0;
  }
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  if (!StartTool("rtpplay")) return EX_OSERR;

  std::string file;
  int seconds = 0;
  int opt;
  while ((opt = getopt(argc, argv, ":f:o:h")) != -1) {
    switch (opt) {
      case 'f':
        file = optarg;
        break;
      case 'o':
        seconds = TextToInt(optarg);
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        return Usage(kUsage, BadOption(opt, argv));
    }
  }
  if (file.empty()) return Usage(kUsage, "no file given (-f FILE)");
  if (argc - optind != 1) return Usage(kUsage, "expected one HOST/PORT/TTL");
  std::string host;
  uint16_t port;
  int ttl;
  if (!ParseHostPortTtl(argv[optind], &host, &port, &ttl))
    return Usage(kUsage, std::string("bad address '") + argv[optind] +
                 "' (HOST/PORT/TTL, PORT 1..65534, TTL 0..255)");

  int in = OpenDumpFile(file);
  if (in < 0) return Fail(EX_NOINPUT, file + ": " + std::strerror(errno));
  DumpReader reader(in);
  DumpReader::Status st = reader.ReadHeader(nullptr, nullptr);
  if (st == DumpReader::kIoError) return Fail(EX_IOERR, file + ": " + std::strerror(errno));
  if (st != DumpReader::kOk) return Fail(EX_DATAERR, file + ": " + StatusText(st));

  Address rtp;
  std::string error;
  if (!ResolveDestination(host, port, &rtp, &error)) return Fail(EX_NOHOST, UnknownHost(host, error));
  Address rtcp = rtp;
  rtcp.SetPort(uint16_t(port + 1));
  int sock = OpenSender(rtp, ttl, &error);
  if (sock < 0) return Fail(EX_OSERR, error);

  const int64_t skipMs = int64_t(seconds) * 1000;
  const uint32_t fromMs = uint32_t(std::min<int64_t>(skipMs, UINT32_MAX));
  st = reader.SkipBefore(fromMs);
  long failed = 0;
  int lastErrno = 0;
  if (st == DumpReader::kOk) {
    ReadAhead ahead(&reader, fromMs);
    const std::vector<Record>* records = &ahead.Next();
    // The schedule is counted from the first records in hand, not from
    // however long finding them took.
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    // Wake-ups as exact as the kernel allows, not up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL);
    for (; !records->empty(); records = &ahead.Next()) {
      const Record* r = records->data();
      for (size_t i = 0, n = records->size(); i < n;) {
        size_t j = i + 1;
        while (j < n && r[j].offset == r[i].offset && j - i < kBurst) ++j;
        // Against the start, not the previous send, so that lateness never adds up.
        SleepUntil(AddNs(start, (int64_t(r[i].offset) - skipMs) * 1000000));
        failed += SendBurst(sock, rtp, rtcp, r + i, j - i, &lastErrno);
        i = j;
      }
    }
    st = ahead.Status();
  }
  close(sock);
  close(in);
  if (failed > 0)
    Fail(0, std::to_string(failed) + " datagram(s) not sent: " + std::strerror(lastErrno));
  if (st == DumpReader::kTruncated) Fail(0, file + ": " + StatusText(st) + "; played up to there");
  if (st == DumpReader::kIoError) return Fail(EX_IOERR, file + ": " + std::strerror(errno));
  if (st == DumpReader::kBadRecord) return Fail(EX_DATAERR, file + ": " + StatusText(st));
  return 0;
}
