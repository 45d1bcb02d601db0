#include "jitter.h"

#include <algorithm>

namespace rtptools {

void Jitter::SetRate(uint32_t rate) {
  if (rate_ || !rate) return;
  rate_ = rate;
  msPerTick_ = 1000.0 / rate;
  if (!pending_.empty()) pending_[0].first = 0;  // the first packet has no step
  for (const auto& [step, ms] : pending_) Filter(step, ms);
  pending_.clear();
  pending_.shrink_to_fit();
}

void Jitter::KeepSecond(uint32_t arrivalMs) {
  const size_t second = arrivalMs / 1000;
  if (seconds_.size() <= second) seconds_.resize(second + 1, -1.0f);
  seconds_[second] = std::max(seconds_[second], float(j_));
}

}  // namespace rtptools
