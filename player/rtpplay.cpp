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
#include "capture_out.h"
#include "clock.h"
#include "dumpfile.h"
#include "message.h"
#include "net.h"
#include "readahead.h"

using namespace rtptools;

namespace {

const char kUsage[] =
    "usage: rtpplay [-w CAPTURE] -f FILE [-o SECONDS] [SOURCE@]HOST[%INTERFACE]/PORT[/TTL]\n"
    "Sends the RTP records of the dump FILE to HOST on PORT and the RTCP records\n"
    "to PORT + 1, each as long after the start as it was recorded after SECONDS\n"
    "into the recording; earlier records are skipped. TTL (0..255, default 1) is\n"
    "the hop limit for multicast and unicast. They go out of INTERFACE, and from\n"
    "SOURCE, an address of this machine, for receivers that joined for it. With\n"
    "-w, the datagrams go to the pcap file CAPTURE instead, at once, stamped with\n"
    "the times they were recorded at; an empty HOST is then the address in FILE's\n"
    "first line.\n"
    "Exit status:\n"
    "   0  done (a file ending inside a record plays up to there)\n"
    "  64  bad usage, SOURCE not a unicast address or HOST not a group for it\n"
    "  65  FILE is not an RTP dump file\n"
    "  66  FILE cannot be opened\n"
    "  68  unknown host or interface\n"
    "  71  the socket cannot be opened, or bound to SOURCE or INTERFACE\n"
    "  73  CAPTURE cannot be created\n"
    "  74  FILE cannot be read, or CAPTURE written\n";

// A send that fails (no buffer space) is tried again this often before the
// datagram is given up.
constexpr int kSendTries = 20;
constexpr long kSendPauseNs = 1000000;

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

struct Options {
  std::string file, capture, host;
  int seconds = 0, ttl = 1;
  uint16_t port = 0;
};

// False when the run ends here, with *status.
bool ReadOptions(int argc, char** argv, Options* o, int* status) {
  *status = EX_USAGE;
  int opt;
  while ((opt = getopt(argc, argv, ":f:o:w:h")) != -1) {
    switch (opt) {
      case 'f':
        o->file = optarg;
        break;
      case 'o':
        o->seconds = TextToInt(optarg);
        break;
      case 'w':
        o->capture = optarg;
        break;
      default:
        return OtherOption(opt, argv, kUsage, status);
    }
  }
  if (o->file.empty()) return Usage(kUsage, "no file given (-f FILE)"), false;
  if (argc - optind != 1) return Usage(kUsage, "expected one HOST/PORT/TTL"), false;
  if (!ParseHostPortTtl(argv[optind], &o->host, &o->port, &o->ttl))
    return Usage(kUsage, std::string("bad address '") + argv[optind] + "' (HOST/PORT/TTL, PORT 1..65534, TTL 0..255)"),
           false;
  return true;
}

// Sends every record from `fromMs` on, each at its offset after the start
// (less fromMs); returns how the file ended, and in *failed how many
// datagrams were given up.
DumpReader::Status Play(DumpReader* reader, uint32_t fromMs, int sock, const Address& rtp, const Address& rtcp,
                        long* failed, int* lastErrno) {
  ReadAhead ahead(reader, fromMs);
  const std::vector<Record>* records = &ahead.Next();
  // The schedule is counted from the first records in hand, not from
  // however long finding them took.
  const int64_t start = NowNs();
  // Wake-ups as exact as the kernel allows, not up to 50 us late.
  prctl(PR_SET_TIMERSLACK, 1UL);
  for (; !records->empty(); records = &ahead.Next()) {
    const Record* r = records->data();
    for (size_t i = 0, n = records->size(); i < n;) {
      size_t j = i + 1;
      while (j < n && r[j].offset == r[i].offset && j - i < kBurst) ++j;
      // Against the start, not the previous send, so that lateness never adds up.
      SleepUntilNs(start + (int64_t(r[i].offset) - fromMs) * kNsPerMs);
      *failed += SendBurst(sock, rtp, rtcp, r + i, j - i, lastErrno);
      i = j;
    }
  }
  return ahead.Status();
}

// Writes every record from `fromMs` on to a capture file, as Play would
// send it from this machine (or from `source`), stamped with the
// recording's start plus its offset. 0 or the exit status.
int WriteCapture(DumpReader* reader, uint32_t fromMs, const FileHeader& header, const Address& rtp,
                 const Address& rtcp, const Address& source, int ttl, const std::string& path,
                 DumpReader::Status* st) {
  CaptureWriter out;
  std::string error;
  if (!out.Open(path, &error)) return Fail(EX_CANTCREAT, error);
  // From SOURCE or the family's loopback address, each port to itself, as RTP peers send.
  Address from = source;
  if (!from.len) ResolveDestination(rtp.Family() == AF_INET ? "127.0.0.1" : "::1", 0, &from, &error);
  const int64_t startUs = int64_t(header.startSec) * 1000000 + header.startUsec;
  Record r;
  while ((*st = reader->Next(&r)) == DumpReader::kOk) {
    if (r.offset < fromMs) continue;
    const Address& to = r.plen == 0 ? rtcp : rtp;
    from.SetPort(to.Port());
    out.Write(from, to, ttl, startUs + int64_t(r.offset) * 1000, r.data, r.size);
  }
  if (!out.Close()) return Fail(EX_IOERR, path + ": " + std::strerror(errno));
  return 0;
}

// The exit status for how the file ended, with what was not sent.
int Report(const std::string& file, DumpReader::Status st, long failed, int lastErrno) {
  if (failed > 0) Say(std::to_string(failed) + " datagram(s) not sent: " + std::strerror(lastErrno));
  if (st == DumpReader::kTruncated) Say(file + ": " + StatusText(st) + "; played up to there");
  if (st == DumpReader::kIoError) return Fail(EX_IOERR, file + ": " + std::strerror(errno));
  if (st == DumpReader::kBadRecord) return Fail(EX_DATAERR, file + ": " + StatusText(st));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!StartTool("rtpplay")) return EX_OSERR;
  Options o;
  int status;
  if (!ReadOptions(argc, argv, &o, &status)) return status;

  int in = OpenDumpFile(o.file);
  if (in < 0) return Fail(EX_NOINPUT, o.file + ": " + std::strerror(errno));
  DumpReader reader(in);
  std::string text;
  FileHeader header;
  DumpReader::Status st = reader.ReadHeader(&text, &header);
  if (st == DumpReader::kIoError) return Fail(EX_IOERR, o.file + ": " + std::strerror(errno));
  if (st != DumpReader::kOk) return Fail(EX_DATAERR, o.file + ": " + StatusText(st));

  std::string host = o.host, error;
  uint16_t filePort;
  if (!o.capture.empty() && host.empty() && !ParseHostPort(text, &host, &filePort))
    return Fail(EX_DATAERR, o.file + ": no address in its first line to write to");
  std::vector<Address> found;
  Scope scope;
  if (int status = ResolveHost(host, o.port, HostUse::kSend, &found, &scope, &error))
    return Fail(status, HostRefused(host, error), kUsage);
  const Address rtp = found.front();
  Address rtcp = rtp;
  rtcp.SetPort(uint16_t(o.port + 1));

  // A negative offset plays from the start, as 0 does.
  const uint32_t fromMs = uint32_t(std::clamp<int64_t>(int64_t(o.seconds) * 1000, 0, UINT32_MAX));
  long failed = 0;
  int lastErrno = 0;
  st = reader.SkipBefore(fromMs);
  if (!o.capture.empty()) {
    if (st == DumpReader::kOk && (status = WriteCapture(&reader, fromMs, header, rtp, rtcp, scope.source, o.ttl, o.capture, &st)))
      return status;
  } else {
    const int sock = OpenSender(rtp, scope, o.ttl, &error);
    if (sock < 0) return Fail(EX_OSERR, error);
    if (st == DumpReader::kOk) st = Play(&reader, fromMs, sock, rtp, rtcp, &failed, &lastErrno);
    close(sock);
  }
  close(in);
  return Report(o.file, st, failed, lastErrno);
}
