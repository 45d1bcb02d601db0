#include "udp.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "clock.h"
#include "net.h"

using namespace rtptools;

namespace {

bool ownNetwork = false;

Address Numeric(const std::string& host, uint16_t port) {
  std::vector<Address> found;
  std::string error;
  if (!Resolve(host, port, true, &found, &error)) ADD_FAILURE() << host << ": " << error;
  return found.empty() ? Address() : found.front();
}

}  // namespace

bool OwnNetwork() { return ownNetwork; }

// The kernel switches receive stamps on a while after the first socket asks
// for them; until then a datagram is stamped when it is read, and datagrams
// read socket by socket look out of order. This socket stays open, so they
// stay on, and the wait ends when a datagram carries the time it came in.
static void KeepKernelStamps() {
  const uint16_t port = PortPair();
  const int fd = BindUdp("127.0.0.1", port);
  const bool on = WaitUntil([&] {
    SendTo(fd, "127.0.0.1", port, "");
    const double sent = double(NowNs(CLOCK_REALTIME)) / 1e9;
    std::vector<double> when;
    return !Receive(fd, 1, &when).empty() && when[0] > 0 && when[0] < sent;
  }, 10);
  if (!on) std::fprintf(stderr, "kernel receive times are taken late; ordering tests may fail\n");
}

void UseOwnNetwork() {
  if (unshare(CLONE_NEWNET) == 0) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    ownNetwork = ioctl(fd, SIOCGIFFLAGS, &lo) == 0 && ((lo.ifr_flags |= IFF_UP), ioctl(fd, SIOCSIFFLAGS, &lo) == 0);
    close(fd);
  }
  KeepKernelStamps();
}

uint16_t PortPair() {
  // In a network of our own every port is free. On a shared loopback (not
  // root) ports are spread by process, and a clash fails the test.
  static uint16_t next = uint16_t(ownNetwork ? 20000 : 20000 + getpid() % 10000 * 4);
  return next += 2;
}

int BindUdp(const std::string& host, uint16_t port) {
  std::string error;
  const int fd = OpenReceiver(Numeric(host, port), {}, &error);
  if (fd < 0) ADD_FAILURE() << error;
  return fd;
}

void SendTo(int fd, const std::string& host, uint16_t port, const std::string& data) {
  const Address to = Numeric(host, port);
  const ssize_t n = sendto(fd, data.data(), data.size(), 0, to.Sa(), to.len);
  EXPECT_EQ(n, ssize_t(data.size())) << host << "/" << port << ": " << std::strerror(errno);
}

std::vector<std::string> Receive(int fd, size_t count, std::vector<double>* when) {
  std::vector<std::string> got;
  std::vector<char> buf(65536);
  alignas(cmsghdr) char control[kArrivalControlSize];
  iovec iov{buf.data(), buf.size()};
  msghdr msg{nullptr, 0, &iov, 1, control, sizeof control, 0};
  WaitUntil([&] {
    for (ssize_t n; (n = recvmsg(fd, &msg, MSG_DONTWAIT)) >= 0; msg.msg_controllen = sizeof control) {
      got.emplace_back(buf.data(), size_t(n));
      if (when) when->push_back(double(ArrivalNs(msg)) / 1e9);
    }
    return got.size() >= count;
  }, 10);
  return got;
}

std::string RtpPacket(uint16_t seq, uint32_t ssrc, size_t size) {
  std::string p(std::max<size_t>(size, 12), '\0');
  auto* b = reinterpret_cast<uint8_t*>(&p[0]);
  b[0] = 0x80;
  b[1] = 96;
  Put16(b + 2, seq);
  Put32(b + 4, uint32_t(seq) * 160);
  Put32(b + 8, ssrc);
  for (size_t i = 12; i < p.size(); ++i) p[i] = char(seq * 7 + i);
  return p;
}

std::string RtcpReport(uint32_t ssrc, uint32_t n) {
  std::string p(28, '\0');
  auto* b = reinterpret_cast<uint8_t*>(&p[0]);
  b[0] = 0x80;
  b[1] = 200;
  Put16(b + 2, 6);
  Put32(b + 4, ssrc);
  Put32(b + 20, n);
  return p;
}

std::vector<DumpRecord> Stream(int count, uint32_t ssrc, uint32_t first, uint32_t step) {
  std::vector<DumpRecord> s;
  for (int i = 0; i < count; ++i) {
    const std::string p = RtpPacket(uint16_t(i), ssrc, 12 + size_t(i * 37 % 1400));
    s.push_back({uint16_t(p.size()), 0, p});
    if (i % 5 == 4) s.push_back({0, 0, RtcpReport(ssrc, uint32_t(i))});
  }
  for (DumpRecord& r : s) r.offset = first, first += step;
  return s;
}

void SendStream(const std::string& host, uint16_t port, const std::vector<DumpRecord>& stream) {
  const int fd = socket(host.find(':') == std::string::npos ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  for (const DumpRecord& r : stream) SendTo(fd, host, r.plen ? port : uint16_t(port + 1), r.data);
  close(fd);
}

DumpContents ReadDump(const std::string& path, uint32_t from) {
  DumpContents c;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return c;
  DumpReader reader(fd);
  c.end = reader.ReadHeader(&c.text, &c.header);
  if (c.end == DumpReader::kOk) c.end = reader.SkipBefore(from);
  Record r;
  while (c.end == DumpReader::kOk && (c.end = reader.Next(&r)) == DumpReader::kOk)
    c.records.push_back({r.plen, r.offset, std::string(reinterpret_cast<const char*>(r.data), r.size)});
  close(fd);
  return c;
}

void WriteDump(const std::string& path, const std::string& text, const std::vector<DumpRecord>& records, const FileHeader& h) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  DumpWriter w(fd);
  EXPECT_TRUE(w.WriteHeader(text, h)) << path;
  for (const DumpRecord& r : records) w.Add(r.plen, r.offset, r.data.data(), r.data.size());
  EXPECT_TRUE(w.Flush()) << path;
  close(fd);
}

void ExpectRecorded(const DumpContents& c, const std::vector<DumpRecord>& stream) {
  EXPECT_EQ(c.end, DumpReader::kEnd);
  ASSERT_EQ(c.records.size(), stream.size());
  for (size_t i = 0; i < stream.size(); ++i) {
    EXPECT_TRUE(c.records[i].data == stream[i].data && c.records[i].plen == stream[i].plen) << "record " << i;
    if (i > 0) { EXPECT_GE(c.records[i].offset, c.records[i - 1].offset) << "record " << i; }
  }
}

std::vector<std::string> Due(const std::vector<DumpRecord>& records, bool rtcp, uint32_t from) {
  std::vector<std::string> out;
  for (const DumpRecord& r : records)
    if ((r.plen == 0) == rtcp && r.offset >= from) out.push_back(r.data);
  return out;
}

bool WaitForDump(const std::string& file, const std::string& target, const std::vector<DumpRecord>& stream) {
  size_t n = sizeof kDumpMagic + target.size() + 1 + kFileHeaderSize;
  for (const DumpRecord& r : stream) n += kRecordHeaderSize + r.data.size();
  return WaitUntil([&] { return ReadFile(file).size() >= n; }, 10);
}

ProcessOptions InDir(const TempDir& dir) { return {dir.path, TOOLS_BIN_DIR, {}}; }
