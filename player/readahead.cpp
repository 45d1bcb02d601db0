#include "readahead.h"

#include <errno.h>

namespace rtptools {

ReadAhead::ReadAhead(DumpReader* reader, uint32_t fromMs)
    : reader_(reader), fromMs_(fromMs), thread_(&ReadAhead::Run, this) {}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

DumpReader::Status ReadAhead::Fill(Batch* batch) {
  batch->bytes.clear();
  batch->records.clear();
  // Room for one record past the mark, so the bytes never move.
  batch->bytes.reserve(kBatchBytes + 65536);
  Record r;
  while (batch->bytes.size() < kBatchBytes) {
    DumpReader::Status st = reader_->Next(&r);
    if (st != DumpReader::kOk) return st;
    if (r.offset < fromMs_) continue;
    uint8_t* at = batch->bytes.data() + batch->bytes.size();
    batch->bytes.insert(batch->bytes.end(), r.data, r.data + r.size);
    r.data = at;
    batch->records.push_back(r);
  }
  return DumpReader::kOk;
}

void ReadAhead::Run() {
  for (;;) {
    Batch* batch;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return stop_ || tail_ - head_ < kBatches; });
      if (stop_) return;
      batch = &batches_[tail_ % kBatches];
    }
    // The player never looks at a batch past tail_, so this one is ours.
    DumpReader::Status st = Fill(batch);
    int saved = errno;
    std::lock_guard<std::mutex> lock(mu_);
    ++tail_;
    if (st != DumpReader::kOk) {
      done_ = true;
      status_ = st;
      errno_ = saved;
    }
    cv_.notify_all();
    if (done_) return;
  }
}

const std::vector<Record>& ReadAhead::Next() {
  static const std::vector<Record> kNone;
  std::unique_lock<std::mutex> lock(mu_);
  if (taken_) {
    ++head_;
    taken_ = false;
    cv_.notify_all();
  }
  // The first batch waits for the queue to fill, so that the reading is
  // done with, not competing with, the first sends.
  if (head_ == 0) cv_.wait(lock, [this] { return tail_ == kBatches || done_; });
  for (;;) {
    cv_.wait(lock, [this] { return head_ < tail_ || done_; });
    if (head_ == tail_) return kNone;
    // A batch may be empty when every record in it was skipped.
    if (!batches_[head_ % kBatches].records.empty()) break;
    ++head_;
    cv_.notify_all();
  }
  taken_ = true;
  return batches_[head_ % kBatches].records;
}

DumpReader::Status ReadAhead::Status() {
  std::lock_guard<std::mutex> lock(mu_);
  errno = errno_;
  return status_;
}

}  // namespace rtptools
