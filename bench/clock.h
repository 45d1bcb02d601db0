// Time in nanoseconds, and sleeping to an absolute time, for the bench tools.
#ifndef BENCH_CLOCK_H
#define BENCH_CLOCK_H

#include <errno.h>
#include <time.h>

#include <cstdint>

inline int64_t NowNs(clockid_t clock = CLOCK_MONOTONIC) {
  timespec ts;
  clock_gettime(clock, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Absolute, so that a late wake-up does not push back the ones after it.
inline void SleepUntilNs(int64_t t) {
  timespec ts{time_t(t / 1000000000), long(t % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

#endif
