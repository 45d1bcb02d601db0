// The interarrival jitter of one RTP source (RFC 3550 section 6.4.1), in
// milliseconds, as network analysers report it: for each packet, in arrival
// order, how much its transit time differs from the packet's before it,
// smoothed with a gain of 1/16; its largest value, and its mean over every
// packet after the first (the first has none), as Wireshark averages it.
#ifndef RTPTOOLS_JITTER_H
#define RTPTOOLS_JITTER_H

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace rtptools {

class Jitter {
 public:
  // One packet: its RTP timestamp and its arrival. Inline: it runs for
  // every packet of a file.
  void Add(uint32_t timestamp, uint32_t arrivalMs) {
    // The step is signed: a packet that arrives after a later one steps back.
    const int32_t step = int32_t(timestamp - prevTimestamp_);
    prevTimestamp_ = timestamp;
    if (rate_)
      Filter(step, arrivalMs);
    else
      pending_.emplace_back(step, arrivalMs);
  }
  // The clock rate the timestamps count at. Until it is set, the steps
  // between packets are kept (8 bytes a packet) and filtered when it comes:
  // a dynamic payload type's rate is known only from the whole stream.
  void SetRate(uint32_t rate);
  uint32_t Rate() const { return rate_; }
  // Keeps the largest jitter of each second of arrival, for Seconds().
  void KeepSeconds() { keepSeconds_ = true; }

  uint64_t Packets() const { return packets_; }
  double Last() const { return j_; }
  double Max() const { return max_; }
  double Mean() const { return packets_ > 1 ? sum_ / double(packets_ - 1) : 0; }
  const std::vector<float>& Seconds() const { return seconds_; }

 private:
  void Filter(int32_t timestampStep, uint32_t arrivalMs) {
    if (packets_++) {
      // D(i, j) = (Rj - Ri) - (Sj - Si), here in milliseconds.
      const double d = double(arrivalMs - prevMs_) - double(timestampStep) * msPerTick_;
      j_ += (std::fabs(d) - j_) / 16;
      sum_ += j_;
      if (j_ > max_) max_ = j_;
    }
    prevMs_ = arrivalMs;
    if (keepSeconds_) KeepSecond(arrivalMs);
  }
  void KeepSecond(uint32_t arrivalMs);

  uint32_t rate_ = 0;
  double msPerTick_ = 0;
  bool keepSeconds_ = false;
  uint64_t packets_ = 0;
  uint32_t prevTimestamp_ = 0, prevMs_ = 0;
  double j_ = 0, max_ = 0, sum_ = 0;
  std::vector<std::pair<int32_t, uint32_t>> pending_;  // timestamp step, arrival
  std::vector<float> seconds_;
};

}  // namespace rtptools

#endif
