// Time in nanoseconds, and sleeping to an absolute time.
#ifndef RTPTOOLS_CLOCK_H
#define RTPTOOLS_CLOCK_H

#include <errno.h>
#include <time.h>

#include <cstdint>

namespace rtptools {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;

inline int64_t NowNs(clockid_t clock = CLOCK_MONOTONIC) {
  timespec ts;
  clock_gettime(clock, &ts);
  return int64_t(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

inline timespec ToTimespec(int64_t ns) { return {time_t(ns / kNsPerSecond), long(ns % kNsPerSecond)}; }

// Absolute, so that a late wake-up does not push back the ones after it.
inline void SleepUntilNs(int64_t ns) {
  const timespec ts = ToTimespec(ns);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace rtptools

#endif
