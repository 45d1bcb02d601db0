// Addresses as given on the command line, and the UDP sockets built on them.
#ifndef RTPTOOLS_NET_H
#define RTPTOOLS_NET_H

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

namespace rtptools {

// "HOST/PORT", split at the last '/'. HOST may be empty or an IPv6 literal,
// optionally in brackets. PORT must be 1..65534 (PORT + 1 carries RTCP).
bool ParseHostPort(const std::string& arg, std::string* host, uint16_t* port);
// "HOST/PORT/TTL" split at the last two '/'; "HOST/PORT" alone gives ttl 1.
// TTL must be 0..255.
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
// gives the wildcard addresses. Returns false with a message in *error.
bool Resolve(const std::string& host, uint16_t port, bool passive,
             std::vector<Address>* out, std::string* error);

// A socket receiving on `addr`: for a multicast group, bound to the group
// and joined, shared with other listeners on the port; for the IPv6
// wildcard, dual-stack. Returns the descriptor or -1 with *error set.
int OpenReceiver(const Address& addr, std::string* error);

// A socket sending to `dest`'s family, hop limit `ttl` for unicast and
// multicast, multicast loopback on. Returns the descriptor or -1.
int OpenSender(const Address& dest, int ttl, std::string* error);

}  // namespace rtptools

#endif
