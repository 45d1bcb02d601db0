// Reads a dump file's records ahead of the player.
#ifndef RTPTOOLS_READAHEAD_H
#define RTPTOOLS_READAHEAD_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "dumpfile.h"

namespace rtptools {

// Reads in a thread of its own, a few batches ahead, so that a slow disk
// delays the reading and never a send, in memory that does not grow with
// the file.
class ReadAhead {
 public:
  // The records that `reader`, past the file header, has from offset
  // `fromMs` on.
  ReadAhead(DumpReader* reader, uint32_t fromMs);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next records in file order, valid until the next call; none at the
  // end, where Status() tells how the file ended (with errno set for
  // kIoError).
  const std::vector<Record>& Next();
  DumpReader::Status Status();

 private:
  struct Batch {
    std::vector<uint8_t> bytes;
    std::vector<Record> records;  // pointing into bytes
  };
  static constexpr int kBatches = 4;
  static constexpr size_t kBatchBytes = 256 << 10;

  void Run();
  DumpReader::Status Fill(Batch* batch);

  DumpReader* reader_;
  const uint32_t fromMs_;
  Batch batches_[kBatches];
  std::mutex mu_;
  std::condition_variable cv_;
  // Batches [head_, tail_) are filled; the thread fills tail_, the player
  // has head_ while taken_.
  uint64_t head_ = 0, tail_ = 0;
  bool taken_ = false, done_ = false, stop_ = false;
  DumpReader::Status status_ = DumpReader::kOk;
  int errno_ = 0;  // the reading thread's, for kIoError
  std::thread thread_;
};

}  // namespace rtptools

#endif
