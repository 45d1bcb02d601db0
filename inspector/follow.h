// Following recordings while they grow: what each holds so far, looked at
// again every second, with the rate of each source over the last seconds.
#ifndef RTPTOOLS_FOLLOW_H
#define RTPTOOLS_FOLLOW_H

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "dumpfile.h"
#include "summary.h"

namespace rtptools {

// A source silent for longer than this is flagged.
constexpr int64_t kSilentNs = 5000000000;

class Follower {
 public:
  explicit Follower(std::string path);
  ~Follower();
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

  // Reads what was added since the last look. False once the recording has
  // ended: no record run holds the file's lock, and nothing was added.
  bool Look(int64_t nowNs);

  struct Rate {
    double packets = 0, kbits = 0;  // per second
  };
  Rate RateOf(size_t stream) const;
  // Since the stream's last datagram, by the recording's clock.
  int64_t IdleNs(size_t stream, int64_t nowNs) const;

  const std::string path;
  Summary summary;
  bool started = false;  // the header has been read

 private:
  struct Sample {
    int64_t ns;
    std::vector<std::pair<uint64_t, uint64_t>> counts;  // per stream: packets, bytes
  };
  int fd_ = -1;
  std::unique_ptr<DumpReader> reader_;
  uint64_t lastSize_ = 0;
  std::deque<Sample> samples_;  // the last few looks
};

// The view of every file: a table for a terminal, one line for a pipe, one
// JSON object for --json.
std::string FollowTable(const std::vector<std::unique_ptr<Follower>>& files, int64_t nowNs);
std::string FollowLine(const std::vector<std::unique_ptr<Follower>>& files, int64_t nowNs);
std::string FollowJson(const std::vector<std::unique_ptr<Follower>>& files, int64_t nowNs);

}  // namespace rtptools

#endif
