#include "net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sysexits.h>
#include <unistd.h>

#include <climits>
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
  *host = arg.substr(0, slash);
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

bool Address::IsUnicast() const {
  if (Family() == AF_INET) return !IsMulticast() && Ipv4() != INADDR_ANY && Ipv4() != INADDR_BROADCAST;
  return Family() == AF_INET6 && !IsMulticast() &&
         !IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr);
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
  const std::string name = Unbracket(host);
  int rc = getaddrinfo(name.empty() ? nullptr : name.c_str(), service.c_str(), &hints, &res);
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

namespace {

// "[SOURCE@]ADDRESS[%INTERFACE]" into its parts; false when one given is
// empty. A '%' inside brackets stays with its address, a link-local scope
// that getaddrinfo reads.
bool SplitHost(const std::string& host, std::string* source, std::string* address, std::string* interface) {
  const size_t at = host.find('@'), start = at == std::string::npos ? 0 : at + 1;
  size_t percent = host.rfind('%');
  const size_t bracket = host.rfind(']');
  if (percent < start || (bracket != std::string::npos && percent < bracket)) percent = std::string::npos;
  *source = start == 0 ? "" : host.substr(0, at);
  *address = host.substr(start, percent == std::string::npos ? std::string::npos : percent - start);
  *interface = percent == std::string::npos ? "" : host.substr(percent + 1);
  return (start == 0 || (!source->empty() && !address->empty())) &&
         (percent == std::string::npos || !interface->empty());
}

// An interface by name or index; 0 when there is none such.
unsigned InterfaceIndex(const std::string& interface) {
  unsigned long index;
  char name[IF_NAMESIZE];
  if (ParseDecimal(interface, UINT_MAX, &index)) return if_indextoname(unsigned(index), name) ? unsigned(index) : 0;
  return if_nametoindex(interface.c_str());
}

// The source of a source-specific join: a unicast address of the group's
// family. 0 or the exit status.
int FindSource(const std::string& source, const std::string& group, const Address& first, Scope* scope,
               std::string* error) {
  if (!first.IsMulticast()) return *error = "names a source, but " + group + " is not a multicast group", EX_USAGE;
  std::vector<Address> found;
  if (!Resolve(source, 0, false, &found, error))
    return *error = "names a source that does not resolve: " + *error, EX_NOHOST;
  for (const Address& a : found) {
    if (a.Family() == first.Family() && a.IsUnicast()) {
      scope->source = a;
      return 0;
    }
  }
  *error = std::string("names a source that is not a unicast ") + (first.Family() == AF_INET ? "IPv4" : "IPv6") +
           " address: " + source;
  return EX_USAGE;
}

}  // namespace

int ResolveHost(const std::string& host, uint16_t port, HostUse use, std::vector<Address>* out, Scope* scope,
                std::string* error) {
  std::string source, address, interface;
  *scope = Scope();
  if (!SplitHost(host, &source, &address, &interface))
    return *error = "has an empty source, group or interface", EX_USAGE;
  if (!interface.empty() && use != HostUse::kCapture && (scope->ifindex = InterfaceIndex(interface)) == 0)
    return *error = "names an interface that does not exist: " + interface, EX_NOHOST;
  out->clear();
  bool known = use == HostUse::kListen ? ResolveListen(address, port, out, error)
               : use == HostUse::kSend ? Resolve(address.empty() ? "localhost" : address, port, false, out, error)
                                       : address.empty() || Resolve(address, port, false, out, error);
  if (!known) return *error = "does not resolve: " + *error, EX_NOHOST;
  // A link-local address means nothing without its interface.
  for (Address& a : *out) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&a.ss);
    if (a.Family() == AF_INET6 && scope->ifindex &&
        (IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr) || IN6_IS_ADDR_MC_LINKLOCAL(&in6->sin6_addr)))
      in6->sin6_scope_id = scope->ifindex;
  }
  return source.empty() ? 0 : FindSource(source, address, out->front(), scope, error);
}

std::string HostRefused(const std::string& host, const std::string& reason) {
  return "host '" + host + "' " + reason;
}

namespace {

// The socket then takes only what comes in on the interface, and sends
// only out of it.
bool BindToDevice(int fd, unsigned ifindex) {
  char name[IF_NAMESIZE];
  return if_indextoname(ifindex, name) &&
         setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, socklen_t(std::strlen(name))) == 0;
}

// Joins the multicast group `addr` on fd, on the scope's interface (else
// where routing or an IPv6 link-local scope leads), for the datagrams of
// its source alone when it names one, so that the kernel filters them and
// a router forwards a source-specific group at all. Then takes only this
// group's datagrams, not those of every group some socket on the machine
// joined. The failed step, or null.
const char* JoinGroup(int fd, const Address& addr, const Scope& scope) {
  const bool v4 = addr.Family() == AF_INET;
  const int level = v4 ? IPPROTO_IP : IPPROTO_IPV6;
  // The calls of RFC 3678 serve both families alike.
  const unsigned ifindex =
      scope.ifindex || v4 ? scope.ifindex : reinterpret_cast<const sockaddr_in6*>(&addr.ss)->sin6_scope_id;
  bool joined;
  if (scope.source.len) {
    group_source_req req{};
    req.gsr_interface = ifindex;
    std::memcpy(&req.gsr_group, &addr.ss, addr.len);
    std::memcpy(&req.gsr_source, &scope.source.ss, scope.source.len);
    joined = setsockopt(fd, level, MCAST_JOIN_SOURCE_GROUP, &req, sizeof req) == 0;
  } else {
    group_req req{};
    req.gr_interface = ifindex;
    std::memcpy(&req.gr_group, &addr.ss, addr.len);
    joined = setsockopt(fd, level, MCAST_JOIN_GROUP, &req, sizeof req) == 0;
  }
  if (!joined) return "joining the group";
  if (v4) return SetInt(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0) ? nullptr : "IP_MULTICAST_ALL";
#ifdef IPV6_MULTICAST_ALL
  SetInt(fd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, 0);
#endif
  return nullptr;
}

}  // namespace

int OpenReceiver(const Address& addr, const Scope& scope, std::string* error) {
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
  if (scope.ifindex) check(BindToDevice(fd, scope.ifindex), "SO_BINDTODEVICE");
  if (!failed) check(bind(fd, addr.Sa(), addr.len) == 0, "bind");
  if (!failed && multicast) failed = JoinGroup(fd, addr, scope);
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

namespace {

// Out of the scope's interface: for a group as a multicast route would
// send, to anything else by binding to the interface.
bool SendThrough(int fd, const Address& dest, unsigned ifindex) {
  if (!dest.IsMulticast()) return BindToDevice(fd, ifindex);
  if (dest.Family() == AF_INET6) return SetInt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, int(ifindex));
  ip_mreqn mreq{};
  mreq.imr_ifindex = int(ifindex);
  return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &mreq, sizeof mreq) == 0;
}

}  // namespace

int OpenSender(const Address& dest, const Scope& scope, int ttl, std::string* error) {
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
  const char* failed = ok ? nullptr : "setting the hop limit for ";
  if (!failed && scope.ifindex && !SendThrough(fd, dest, scope.ifindex)) failed = "choosing the interface for ";
  // The source of a source-specific group: its receivers take nothing else.
  if (!failed && scope.source.len && bind(fd, scope.source.Sa(), scope.source.len) != 0)
    failed = "sending from the source to ";
  if (failed) {
    *error = Errno(failed + dest.ToString());
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace rtptools
