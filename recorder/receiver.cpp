#include "receiver.h"

#include <errno.h>
#include <time.h>

#include "clock.h"
#include "dumpfile.h"

namespace rtptools {

Receiver::Receiver() : slots_(new uint8_t[size_t(kBatch) * kSlot]) {
  for (int i = 0; i < kBatch; ++i) {
    iov_[i] = {slots_.get() + size_t(i) * kSlot, kSlot};
    msgs_[i].msg_hdr.msg_iov = &iov_[i];
    msgs_[i].msg_hdr.msg_iovlen = 1;
  }
}

int Receiver::Receive(int fd, bool rtcp, int64_t* last, size_t* bytes) {
  for (int i = 0; i < kBatch; ++i) {
    msgs_[i].msg_hdr.msg_control = control_[i];
    msgs_[i].msg_hdr.msg_controllen = sizeof control_[i];
  }
  int n;
  do n = recvmmsg(fd, msgs_, kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
  while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;  // nothing waiting, or an error the next datagram may not have
  int64_t fallback = -1;
  for (int i = 0; i < n; ++i) {
    int64_t arrival = ArrivalNs(msgs_[i].msg_hdr);
    if (arrival < 0) arrival = fallback < 0 ? (fallback = NowNs(CLOCK_REALTIME)) : fallback;
    const size_t length = msgs_[i].msg_len;
    if (bytes) *bytes += length;
    const size_t keep = std::min({length, kSlot, kMaxRecordData});
    held_.push_back({arrival, next_++, bytes_.size(), uint16_t(std::min<size_t>(length, 65535)),
                     uint16_t(keep), rtcp});
    const uint8_t* data = slots_.get() + size_t(i) * kSlot;
    bytes_.insert(bytes_.end(), data, data + keep);
    *last = arrival;
  }
  return n;
}

void Receiver::Sort() {
  auto earlier = [](const Held& a, const Held& b) {
    return a.arrival != b.arrival ? a.arrival < b.arrival : a.seq < b.seq;
  };
  // Mostly in order already: only RTCP falls among the RTP.
  if (!std::is_sorted(held_.begin(), held_.end(), earlier)) std::sort(held_.begin(), held_.end(), earlier);
}

void Receiver::Keep(size_t taken) {
  spare_.clear();
  size_t kept = 0;
  for (size_t i = taken; i < held_.size(); ++i) {
    Held h = held_[i];
    spare_.insert(spare_.end(), bytes_.begin() + long(h.at), bytes_.begin() + long(h.at + h.size));
    h.at = spare_.size() - h.size;
    held_[kept++] = h;
  }
  held_.resize(kept);
  bytes_.swap(spare_);
}

}  // namespace rtptools
