#include "udp_helpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

using namespace rtptools;

namespace {

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void Sleep(double seconds) {
  timespec ts{time_t(seconds), long((seconds - time_t(seconds)) * 1e9)};
  nanosleep(&ts, nullptr);
}

// A numeric address with a port, of whichever family it is written in.
socklen_t MakeAddr(const std::string& host, uint16_t port, sockaddr_storage* ss) {
  std::memset(ss, 0, sizeof *ss);
  auto* in4 = reinterpret_cast<sockaddr_in*>(ss);
  if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(port);
    return sizeof *in4;
  }
  auto* in6 = reinterpret_cast<sockaddr_in6*>(ss);
  if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    return sizeof *in6;
  }
  ADD_FAILURE() << "not a numeric address: " << host;
  return 0;
}

void Put16(std::string* s, size_t at, uint32_t v) {
  (*s)[at] = char(v >> 8);
  (*s)[at + 1] = char(v);
}

void Put32(std::string* s, size_t at, uint32_t v) {
  Put16(s, at, v >> 16);
  Put16(s, at + 2, v);
}

}  // namespace

DumpContents ReadDump(const std::string& path) {
  DumpContents c;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    c.end = DumpReader::kIoError;
    return c;
  }
  DumpReader reader(fd);
  c.end = reader.ReadHeader(&c.text, &c.header);
  Record r;
  while (c.end == DumpReader::kOk && (c.end = reader.Next(&r)) == DumpReader::kOk)
    c.records.push_back({r.plen, r.offset, std::string(reinterpret_cast<const char*>(r.data), r.size)});
  close(fd);
  return c;
}

void WriteDump(const std::string& path, const std::string& text,
               const std::vector<DumpRecord>& records) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  DumpWriter w(fd);
  FileHeader h;
  h.startSec = 1700000000;
  h.port = 5004;
  ASSERT_TRUE(w.WriteHeader(text, h));
  for (const DumpRecord& r : records) w.Add(r.plen, r.offset, r.data.data(), r.data.size());
  ASSERT_TRUE(w.Flush());
  close(fd);
}

std::string RtpPacket(uint16_t seq, uint32_t ssrc, size_t size) {
  std::string p(size < 12 ? 12 : size, '\0');
  p[0] = char(0x80);
  p[1] = char(96);
  Put16(&p, 2, seq);
  Put32(&p, 4, uint32_t(seq) * 160);
  Put32(&p, 8, ssrc);
  for (size_t i = 12; i < p.size(); ++i) p[i] = char(seq * 7 + i);
  return p;
}

std::string RtcpReport(uint32_t ssrc, uint32_t n) {
  std::string p(28, '\0');
  p[0] = char(0x80);
  p[1] = char(200);
  Put16(&p, 2, 6);
  Put32(&p, 4, ssrc);
  Put32(&p, 20, n);
  return p;
}

uint16_t RtpSeq(const std::string& packet) {
  if (packet.size() < 4) return 0;
  return uint16_t(uint8_t(packet[2]) << 8 | uint8_t(packet[3]));
}

int BindUdp(const std::string& host, uint16_t port, bool reuse) {
  sockaddr_storage ss;
  socklen_t len = MakeAddr(host, port, &ss);
  int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  EXPECT_GE(fd, 0);
  int on = 1;
  if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  int big = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
  // Arrival times from the kernel, so that a busy test process cannot skew them.
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    ADD_FAILURE() << "bind " << host << "/" << port << ": " << std::strerror(errno);
    close(fd);
    return -1;
  }
  if (ss.ss_family == AF_INET && IN_MULTICAST(ntohl(reinterpret_cast<sockaddr_in*>(&ss)->sin_addr.s_addr))) {
    ip_mreqn m{};
    m.imr_multiaddr = reinterpret_cast<sockaddr_in*>(&ss)->sin_addr;
    EXPECT_EQ(setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m), 0) << std::strerror(errno);
  } else if (ss.ss_family == AF_INET6 &&
             IN6_IS_ADDR_MULTICAST(&reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr)) {
    ipv6_mreq m{};
    m.ipv6mr_multiaddr = reinterpret_cast<sockaddr_in6*>(&ss)->sin6_addr;
    EXPECT_EQ(setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &m, sizeof m), 0) << std::strerror(errno);
  }
  return fd;
}

int SenderSocket(const std::string& host) {
  int family = host.find(':') == std::string::npos ? AF_INET : AF_INET6;
  int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  EXPECT_GE(fd, 0);
  int on = 1;
  if (family == AF_INET)
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
  else
    setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &on, sizeof on);
  return fd;
}

void SendTo(int fd, const std::string& host, uint16_t port, const std::string& data) {
  sockaddr_storage ss;
  socklen_t len = MakeAddr(host, port, &ss);
  ssize_t n = sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&ss), len);
  EXPECT_EQ(n, ssize_t(data.size())) << host << "/" << port << ": " << std::strerror(errno);
}

bool ReceiveOne(int fd, Arrival* out) {
  static std::vector<char> buf(65536);
  iovec iov{buf.data(), buf.size()};
  alignas(cmsghdr) char control[256];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT);
  if (n < 0) return false;
  out->when = Now();
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec ts;
      std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
      out->when = double(ts.tv_sec) + ts.tv_nsec / 1e9;
    }
  out->data.assign(buf.data(), size_t(n));
  return true;
}

std::vector<Arrival> ReceiveTimed(int fd, size_t count, double seconds) {
  std::vector<Arrival> got;
  const double end = Now() + seconds;
  while (got.size() < count) {
    double left = end - Now();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    Arrival a;
    if (poll(&p, 1, int(left * 1000) + 1) > 0 && ReceiveOne(fd, &a)) got.push_back(std::move(a));
  }
  return got;
}

std::vector<std::string> ReceiveUpTo(int fd, size_t count, double seconds) {
  std::vector<std::string> got;
  for (Arrival& a : ReceiveTimed(fd, count, seconds)) got.push_back(std::move(a.data));
  return got;
}

std::vector<Sent> Stream(int count, uint32_t ssrc) {
  std::vector<Sent> s;
  for (int i = 0; i < count; ++i) {
    s.push_back({false, RtpPacket(uint16_t(i), ssrc, 12 + size_t(i * 37 % 1400))});
    if (i % 5 == 4) s.push_back({true, RtcpReport(ssrc, uint32_t(i))});
  }
  return s;
}

void SendStream(const std::string& host, uint16_t port, const std::vector<Sent>& stream) {
  int fd = SenderSocket(host);
  for (const Sent& p : stream) SendTo(fd, host, p.rtcp ? port + 1 : port, p.data);
  close(fd);
}

void ExpectRecorded(const DumpContents& c, const std::vector<Sent>& stream) {
  ASSERT_EQ(c.records.size(), stream.size());
  uint32_t last = 0;
  for (size_t i = 0; i < stream.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(c.records[i].data, stream[i].data);
    EXPECT_EQ(c.records[i].plen, stream[i].rtcp ? 0u : stream[i].data.size());
    EXPECT_GE(c.records[i].offset, last);
    last = c.records[i].offset;
  }
}

::testing::AssertionResult SameDatagrams(const std::vector<std::string>& got,
                                         const std::vector<std::string>& want) {
  for (size_t i = 0; i < got.size() && i < want.size(); ++i)
    if (got[i] != want[i])
      return ::testing::AssertionFailure() << "datagram " << i << " differs (" << got[i].size()
                                           << " bytes, sequence " << RtpSeq(got[i]) << ", expected "
                                           << want[i].size() << " bytes, sequence " << RtpSeq(want[i]) << ")";
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << got.size() << " datagrams, expected " << want.size();
  return ::testing::AssertionSuccess();
}

uint16_t FreePortPair() {
  // Seeded once: seeding per call would give the same port twice in a second.
  static std::mt19937 rng(unsigned(getpid()) ^ unsigned(time(nullptr)));
  for (int attempt = 0; attempt < 200; ++attempt) {
    uint16_t port = uint16_t(20000 + 2 * (rng() % 15000));
    bool free = true;
    std::vector<int> fds;
    for (uint16_t p : {port, uint16_t(port + 1)}) {
      int fd = socket(AF_INET6, SOCK_DGRAM, 0);
      int off = 0;
      setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
      sockaddr_in6 a{};
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(p);
      if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) free = false;
      fds.push_back(fd);
    }
    for (int fd : fds) close(fd);
    if (free) return port;
  }
  ADD_FAILURE() << "no free port pair";
  return 0;
}

bool WaitForFileSize(const std::string& path, long size, double seconds) {
  const double end = Now() + seconds;
  for (;;) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size >= size) return true;
    if (Now() >= end) return false;
    Sleep(0.01);
  }
}

ProcessOptions InDir(const TempDir& dir) {
  ProcessOptions opt;
  opt.cwd = dir.Path();
  opt.pathPrefix = TOOLS_BIN_DIR;
  return opt;
}
