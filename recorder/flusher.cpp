#include "flusher.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace rtptools {

Flusher::Flusher(DumpWriter* writer)
    : writer_(writer), event_(eventfd(0, EFD_CLOEXEC)), thread_(&Flusher::Run, this) {}

Flusher::~Flusher() {
  Finish();
  if (event_ >= 0) close(event_);
}

void Flusher::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return busy_ || stop_; });
    if (!busy_) return;
    lock.unlock();
    bool ok = failed_ || writer_->Write(&batch_);
    int saved = errno;
    batch_.clear();
    lock.lock();
    if (!ok && !failed_) {
      failed_ = true;
      errno_ = saved;
      uint64_t one = 1;
      if (event_ >= 0) eventfd_write(event_, one);
    }
    busy_ = false;
    cv_.notify_all();
  }
}

void Flusher::Kick(size_t maxPending) {
  std::unique_lock<std::mutex> lock(mu_);
  if (busy_ && writer_->Pending() > maxPending) cv_.wait(lock, [this] { return !busy_; });
  if (busy_ || writer_->Pending() == 0) return;
  writer_->TakeRecords(&batch_);
  busy_ = true;
  cv_.notify_all();
}

bool Flusher::Finish() {
  if (thread_.joinable()) {
    Kick(0);
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [this] { return !busy_; });
      stop_ = true;
      cv_.notify_all();
    }
    thread_.join();
  }
  std::lock_guard<std::mutex> lock(mu_);
  errno = errno_;
  return !failed_;
}

bool Flusher::Failed() {
  std::lock_guard<std::mutex> lock(mu_);
  return failed_;
}

}  // namespace rtptools
