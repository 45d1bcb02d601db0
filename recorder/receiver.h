// The recorder's receiving side: datagrams from its RTP and RTCP sockets,
// taken in batches and put back in arrival order.
#ifndef RTPTOOLS_RECEIVER_H
#define RTPTOOLS_RECEIVER_H

#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net.h"

namespace rtptools {

// Datagrams are held until no earlier one can still turn up on the other
// socket; their bytes live in one buffer that is reused, so that a datagram
// costs no allocation.
class Receiver {
 public:
  static constexpr int kBatch = 64;

  Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Takes up to kBatch datagrams waiting on fd, stamped with their kernel
  // receive time (CLOCK_REALTIME ns). Returns how many; if that is kBatch,
  // more may wait, and *last is the arrival time of the last. Adds their
  // lengths to *bytes, when given.
  int Receive(int fd, bool rtcp, int64_t* last, size_t* bytes = nullptr);

  // Hands the datagrams that arrived up to `cut` (all, if cut is -1) to
  // take(arrival, rtcp, length, data, size), oldest first, while it returns
  // true; the others stay held for the next call.
  template <typename Take>
  void Release(int64_t cut, Take take) {
    Sort();
    size_t taken = 0;
    while (taken < held_.size() && (cut < 0 || held_[taken].arrival <= cut)) {
      const Held& h = held_[taken];
      if (!take(h.arrival, h.rtcp, h.length, bytes_.data() + h.at, h.size)) break;
      ++taken;
    }
    Keep(taken);
  }

  bool Holding() const { return !held_.empty(); }

 private:
  // Room for the largest datagram; pages a datagram does not reach are never touched.
  static constexpr size_t kSlot = 65536;

  struct Held {
    int64_t arrival;
    uint64_t seq;  // keeps arrival order among equal timestamps
    size_t at;     // where its bytes start in bytes_
    uint16_t length, size;
    bool rtcp;
  };

  void Sort();
  // Moves the held datagrams from `taken` on to the front, for the next round.
  void Keep(size_t taken);

  std::unique_ptr<uint8_t[]> slots_;
  iovec iov_[kBatch];
  mmsghdr msgs_[kBatch] = {};
  alignas(cmsghdr) char control_[kBatch][kArrivalControlSize];
  std::vector<Held> held_;
  std::vector<uint8_t> bytes_, spare_;
  uint64_t next_ = 0;
};

}  // namespace rtptools

#endif
