#include "jitter.h"

#include <algorithm>
#include <cmath>

namespace rtptools {

void Jitter::Add(uint32_t timestamp, uint32_t arrivalMs) {
  // The step is signed: a packet that arrives after a later one steps back.
  const int32_t step = packets_ || !pending_.empty() ? int32_t(timestamp - prevTimestamp_) : 0;
  prevTimestamp_ = timestamp;
  if (rate_)
    Filter(step, arrivalMs);
  else
    pending_.emplace_back(step, arrivalMs);
}

void Jitter::SetRate(uint32_t rate) {
  if (rate_ || !rate) return;
  rate_ = rate;
  for (const auto& [step, ms] : pending_) Filter(step, ms);
  pending_.clear();
  pending_.shrink_to_fit();
}

void Jitter::Filter(int32_t timestampStep, uint32_t arrivalMs) {
  if (packets_) {
    // D(i, j) = (Rj - Ri) - (Sj - Si), here in milliseconds.
    const double d = double(arrivalMs - prevMs_) - double(timestampStep) * 1000.0 / double(rate_);
    j_ += (std::fabs(d) - j_) / 16;
  }
  prevMs_ = arrivalMs;
  ++packets_;
  sum_ += j_;
  max_ = std::max(max_, j_);
  if (keepSeconds_) {
    const size_t second = arrivalMs / 1000;
    if (seconds_.size() <= second) seconds_.resize(second + 1, -1.0f);
    seconds_[second] = std::max(seconds_[second], float(j_));
  }
}

}  // namespace rtptools
