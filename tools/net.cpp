#include "net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "args.h"

namespace rtptools {
namespace {

std::string Unbracket(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool SetInt(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

}  // namespace

bool ParseHostPort(const std::string& arg, std::string* host, uint16_t* port) {
  size_t slash = arg.rfind('/');
  if (slash == std::string::npos) return false;
  if (!ParsePort(arg.substr(slash + 1), port)) return false;
  *host = Unbracket(arg.substr(0, slash));
  return true;
}

bool ParseHostPortTtl(const std::string& arg, std::string* host, uint16_t* port, int* ttl) {
  size_t last = arg.rfind('/');
  if (last == std::string::npos) return false;
  if (last > 0) {
    size_t prev = arg.rfind('/', last - 1);
    if (prev != std::string::npos) {
      return ParseTtl(arg.substr(last + 1), ttl) && ParseHostPort(arg.substr(0, last), host, port);
    }
  }
  *ttl = 1;
  return ParseHostPort(arg, host, port);
}

uint16_t Address::Port() const {
  if (Family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
  if (Family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
  return 0;
}

void Address::SetPort(uint16_t port) {
  if (Family() == AF_INET) reinterpret_cast<sockaddr_in*>(&ss)->sin_port = htons(port);
  if (Family() == AF_INET6) reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port = htons(port);
}

bool Address::IsMulticast() const {
  if (Family() == AF_INET) return IN_MULTICAST(Ipv4());
  if (Family() == AF_INET6)
    return IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr);
  return false;
}

uint32_t Address::Ipv4() const {
  if (Family() != AF_INET) return 0;
  return ntohl(reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr.s_addr);
}

std::string Address::ToString() const {
  char host[NI_MAXHOST] = "?";
  getnameinfo(Sa(), len, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
  std::string h = host;
  if (Family() == AF_INET6) h = "[" + h + "]";
  return h + "/" + std::to_string(Port());
}

bool Resolve(const std::string& host, uint16_t port, bool passive,
             std::vector<Address>* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  if (passive) hints.ai_flags |= AI_PASSIVE;
  addrinfo* res = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &res);
  if (rc != 0) {
    *error = gai_strerror(rc);
    return false;
  }
  out->clear();
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    Address a;
    std::memcpy(&a.ss, ai->ai_addr, ai->ai_addrlen);
    a.len = ai->ai_addrlen;
    out->push_back(a);
  }
  freeaddrinfo(res);
  if (out->empty()) {
    *error = "no IPv4 or IPv6 address";
    return false;
  }
  return true;
}

bool ResolveListen(const std::string& host, uint16_t port, std::vector<Address>* out,
                   std::string* error) {
  if (!host.empty()) return Resolve(host, port, true, out, error);
  out->clear();
  for (const char* any : {"::", "0.0.0.0"}) {
    std::vector<Address> found;
    if (Resolve(any, port, true, &found, error)) out->insert(out->end(), found.begin(), found.end());
  }
  return !out->empty();
}

bool ResolveDestination(const std::string& host, uint16_t port, Address* out, std::string* error) {
  std::vector<Address> found;
  if (!Resolve(host.empty() ? "localhost" : host, port, false, &found, error)) return false;
  *out = found.front();
  return true;
}

std::string UnknownHost(const std::string& host, const std::string& reason) {
  return "unknown host '" + host + "': " + reason;
}

namespace {

// Joins the multicast group `addr` on fd, and takes only its datagrams, not
// those of every group some socket on the machine joined. The failed step,
// or null.
const char* JoinGroup(int fd, const Address& addr) {
  if (addr.Family() == AF_INET) {
    ip_mreqn mreq{};
    mreq.imr_multiaddr = reinterpret_cast<const sockaddr_in*>(&addr.ss)->sin_addr;
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) return "joining the group";
    return SetInt(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0) ? nullptr : "IP_MULTICAST_ALL";
  }
  auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr.ss);
  ipv6_mreq mreq{};
  mreq.ipv6mr_multiaddr = in6->sin6_addr;
  mreq.ipv6mr_interface = in6->sin6_scope_id;
  if (setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &mreq, sizeof mreq) != 0) return "joining the group";
#ifdef IPV6_MULTICAST_ALL
  SetInt(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, 0);
#endif
  return nullptr;
}

}  // namespace

int OpenReceiver(const Address& addr, std::string* error) {
  int fd = socket(addr.Family(), SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    *error = Errno("socket");
    return -1;
  }
  const char* failed = nullptr;
  auto check = [&](bool ok, const char* what) {
    if (!failed && !ok) failed = what;
  };
  const bool multicast = addr.IsMulticast();
  if (multicast) {
    // Other programs on this machine may listen to the same group and port.
    check(SetInt(fd, SOL_SOCKET, SO_REUSEADDR, 1), "SO_REUSEADDR");
    check(SetInt(fd, SOL_SOCKET, SO_REUSEPORT, 1), "SO_REUSEPORT");
  }
  auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr.ss);
  if (addr.Family() == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&in6->sin6_addr))
    check(SetInt(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0), "IPV6_V6ONLY");
  // Room for a tenth of a second of 500,000 small datagrams/s while the
  // receiving thread is not scheduled; memory is taken only while they wait.
  SetInt(fd, SOL_SOCKET, SO_RCVBUF, 64 << 20);
  SetInt(fd, SOL_SOCKET, SO_RCVBUFFORCE, 64 << 20);
  check(SetInt(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1), "SO_TIMESTAMPNS");
  if (!failed) check(bind(fd, addr.Sa(), addr.len) == 0, "bind");
  if (!failed && multicast) failed = JoinGroup(fd, addr);
  if (failed) {
    *error = Errno(std::string(failed) + " " + addr.ToString());
    close(fd);
    return -1;
  }
  return fd;
}

int64_t ArrivalNs(const msghdr& msg) {
  int64_t arrival = -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(const_cast<msghdr*>(&msg), c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec ts;
      std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
      arrival = int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }
  }
  return arrival;
}

int OpenSender(const Address& dest, int ttl, std::string* error) {
  int fd = socket(dest.Family(), SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) {
    *error = Errno("socket");
    return -1;
  }
  bool ok;
  if (dest.Family() == AF_INET) {
    ok = SetInt(fd, IPPROTO_IP, IP_MULTICAST_TTL, ttl) &&
         SetInt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, 1);
    // IP_TTL refuses 0; a unicast TTL of 0 would never leave anyway.
    if (ok && ttl > 0) ok = SetInt(fd, IPPROTO_IP, IP_TTL, ttl);
  } else {
    ok = SetInt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, ttl) &&
         SetInt(fd, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 1);
    if (ok && ttl > 0) ok = SetInt(fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, ttl);
  }
  SetInt(fd, SOL_SOCKET, SO_SNDBUF, 1 << 20);
  if (!ok) {
    *error = Errno("setting the hop limit for " + dest.ToString());
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace rtptools
