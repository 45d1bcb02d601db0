// Addresses as given on the command line, and the UDP sockets built on them.
#ifndef RTPTOOLS_NET_H
#define RTPTOOLS_NET_H

#include <sys/socket.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

namespace rtptools {

// "HOST/PORT", split at the last '/'; HOST as ResolveHost reads it, PORT as
// ParsePort does.
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
  // Neither multicast nor broadcast nor the wildcard: one machine's address.
  bool IsUnicast() const;
  // IPv4 address in host order, 0 for any other family.
  uint32_t Ipv4() const;
  std::string ToString() const;
};

// Resolves a numeric or named host for UDP, an IPv6 literal optionally in
// brackets. An empty host with passive set gives the wildcard addresses.
// Returns false with the reason in *error.
bool Resolve(const std::string& host, uint16_t port, bool passive,
             std::vector<Address>* out, std::string* error);
// The addresses to listen on for HOST, best first; every local address
// (dual-stack where IPv6 is there) when HOST is empty.
bool ResolveListen(const std::string& host, uint16_t port, std::vector<Address>* out,
                   std::string* error);
// The address to send to for HOST; this machine when HOST is empty.
bool ResolveDestination(const std::string& host, uint16_t port, Address* out, std::string* error);

// What HOST asks of a socket beyond its address: the one source whose
// datagrams to take from a group, and the interface to use.
struct Scope {
  Address source;        // len 0: every source
  unsigned ifindex = 0;  // 0: where routing leads
};
// What a HOST is for: listening (empty: every local address), sending
// (empty: this machine), or picking datagrams out of a capture (empty: any
// address; INTERFACE is not looked up, as the capture may come from
// another machine).
enum class HostUse { kListen, kSend, kCapture };
// Reads HOST, "[SOURCE@]ADDRESS[%INTERFACE]", the one form of every tool:
// SOURCE makes a source-specific join of the group ADDRESS; INTERFACE is a
// name or an index. 0, or EX_USAGE (an empty part; a SOURCE that is not a
// unicast address of the group's family, or given for an address that is
// no group) or EX_NOHOST (a name that does not resolve, an interface that
// does not exist), with *error worded to follow the HOST text.
int ResolveHost(const std::string& host, uint16_t port, HostUse use, std::vector<Address>* out, Scope* scope,
                std::string* error);
// "host 'HOST' REASON", the tools' wording of a refused HOST.
std::string HostRefused(const std::string& host, const std::string& reason);

// A socket receiving on `addr`: for a multicast group, bound to the group
// and joined, on the scope's interface and for its source, shared with
// other listeners on the port; for the IPv6 wildcard, dual-stack; with an
// interface, bound to it. Returns the descriptor or -1 with *error set.
int OpenReceiver(const Address& addr, const Scope& scope, std::string* error);

// The kernel's receive time (CLOCK_REALTIME ns) of a datagram taken with
// recvmsg from a socket with SO_TIMESTAMPNS on; -1 when it carries none.
int64_t ArrivalNs(const msghdr& msg);
// Room for the control message that carries it.
constexpr size_t kArrivalControlSize = CMSG_SPACE(sizeof(timespec)) + 64;

// A socket sending to `dest`'s family, hop limit `ttl` for unicast and
// multicast, multicast loopback on, out of the scope's interface and from
// its source. Returns the descriptor or -1.
int OpenSender(const Address& dest, const Scope& scope, int ttl, std::string* error);

}  // namespace rtptools

#endif
