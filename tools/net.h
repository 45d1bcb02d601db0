// Addresses as given on the command line, and the UDP sockets built on them.
#ifndef RTPTOOLS_NET_H
#define RTPTOOLS_NET_H

#include <sys/socket.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

namespace rtptools {

// "HOST/PORT", split at the last '/'. HOST may be empty or an IPv6 literal,
// optionally in brackets. PORT as ParsePort takes it.
bool ParseHostPort(const std::string& arg, std::string* host, uint16_t* port);
// "HOST/PORT/TTL" split at the last two '/'; "HOST/PORT" alone gives ttl 1.
// TTL as ParseTtl takes it.
bool ParseHostPortTtl(const std::string& arg, std::string* host, uint16_t* port, int* ttl);

struct Address {
  sockaddr_storage ss{};
  socklen_t len = 0;
  int Family() const { return ss.ss_family; }
  const sockaddr* Sa() const { return reinterpret_cast<const sockaddr*>(&ss); }
  uint16_t Port() const;
  void SetPort(uint16_t port);
  bool IsMulticast() const;
  // IPv4 address in host order, 0 for any other family.
  uint32_t Ipv4() const;
  std::string ToString() const;
};

// Resolves a numeric or named host for UDP. An empty host with passive set
// gives the wildcard addresses. Returns false with the reason in *error.
bool Resolve(const std::string& host, uint16_t port, bool passive,
             std::vector<Address>* out, std::string* error);
// The addresses to listen on for HOST, best first; every local address
// (dual-stack where IPv6 is there) when HOST is empty.
bool ResolveListen(const std::string& host, uint16_t port, std::vector<Address>* out,
                   std::string* error);
// The address to send to for HOST; this machine when HOST is empty.
bool ResolveDestination(const std::string& host, uint16_t port, Address* out, std::string* error);
// "unknown host 'HOST': REASON", the one wording of a failed resolution.
std::string UnknownHost(const std::string& host, const std::string& reason);

// A socket receiving on `addr`: for a multicast group, bound to the group
// and joined, shared with other listeners on the port; for the IPv6
// wildcard, dual-stack. Returns the descriptor or -1 with *error set.
int OpenReceiver(const Address& addr, std::string* error);

// The kernel's receive time (CLOCK_REALTIME ns) of a datagram taken with
// recvmsg from a socket with SO_TIMESTAMPNS on; -1 when it carries none.
int64_t ArrivalNs(const msghdr& msg);
// Room for the control message that carries it.
constexpr size_t kArrivalControlSize = CMSG_SPACE(sizeof(timespec)) + 64;

// A socket sending to `dest`'s family, hop limit `ttl` for unicast and
// multicast, multicast loopback on. Returns the descriptor or -1.
int OpenSender(const Address& dest, int ttl, std::string* error);

}  // namespace rtptools

#endif
