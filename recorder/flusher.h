// Writes a DumpWriter's buffered records from a thread of its own.
#ifndef RTPTOOLS_FLUSHER_H
#define RTPTOOLS_FLUSHER_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "dumpfile.h"

namespace rtptools {

// A disk that stalls then holds up this thread and not the caller, which
// goes on receiving into the writer's buffer meanwhile.
class Flusher {
 public:
  explicit Flusher(DumpWriter* writer);
  ~Flusher();
  Flusher(const Flusher&) = delete;
  Flusher& operator=(const Flusher&) = delete;

  // Hands what the writer has buffered to the thread. If the thread is still
  // writing the last batch, the records wait for the next call, unless they
  // exceed `maxPending` bytes: then this waits for the thread.
  void Kick(size_t maxPending);
  // Writes everything and stops the thread. False with errno set if any
  // write failed; the file then ends at the last whole record written.
  bool Finish();
  // True once a write has failed; nothing more is written after that.
  bool Failed();
  // Becomes readable when a write fails, to wake a caller waiting in poll.
  int FailureFd() const { return event_; }

 private:
  void Run();

  DumpWriter* writer_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<uint8_t> batch_;  // owned by the thread while busy_
  bool busy_ = false, stop_ = false, failed_ = false;
  int errno_ = 0;
  int event_;
  std::thread thread_;
};

}  // namespace rtptools

#endif
