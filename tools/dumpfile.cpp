#include "dumpfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace rtptools {
bool DumpWriter::WriteAll(const uint8_t* p, size_t n, size_t* written) {
  *written = 0;
  while (*written < n) {
    ssize_t r = write(fd_, p + *written, n - *written);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) {
      errno = ENOSPC;
      return false;
    }
    *written += size_t(r);
  }
  return true;
}

bool DumpWriter::WriteHeader(const std::string& text, const FileHeader& header) {
  std::string line = std::string(kDumpMagic) + " " + text;
  // The line must stay one line whatever the host text held.
  for (char& c : line)
    if (c == '\n') c = ' ';
  line += '\n';
  std::vector<uint8_t> out(line.begin(), line.end());
  uint8_t h[kFileHeaderSize] = {};
  Put32(h, header.startSec);
  Put32(h + 4, header.startUsec);
  Put32(h + 8, header.source);
  Put16(h + 12, header.port);
  out.insert(out.end(), h, h + sizeof h);
  size_t written;
  if (!WriteAll(out.data(), out.size(), &written)) {
    int saved = errno;
    if (written > 0 && ftruncate(fd_, 0) == 0) lseek(fd_, 0, SEEK_SET);
    errno = saved;
    return false;
  }
  committed_ = out.size();
  return true;
}

void DumpWriter::Add(uint16_t plen, uint32_t offset, const void* data, size_t size) {
  if (size > kMaxRecordData) size = kMaxRecordData;
  size_t at = buf_.size();
  buf_.resize(at + kRecordHeaderSize + size);
  uint8_t* p = buf_.data() + at;
  Put16(p, uint16_t(kRecordHeaderSize + size));
  Put16(p + 2, plen);
  Put32(p + 4, offset);
  if (size > 0) std::memcpy(p + kRecordHeaderSize, data, size);
}

bool DumpWriter::Write(std::vector<uint8_t>* records) {
  std::vector<uint8_t>& buf = *records;
  if (buf.empty()) return true;
  size_t written;
  if (WriteAll(buf.data(), buf.size(), &written)) {
    committed_ += buf.size();
    buf.clear();
    return true;
  }
  int saved = errno;
  // Keep the records that went out whole; cut the one that did not.
  size_t whole = 0;
  while (whole + kRecordHeaderSize <= written) {
    size_t len = Get16(buf.data() + whole);
    if (whole + len > written) break;
    whole += len;
  }
  committed_ += whole;
  if (whole < written && ftruncate(fd_, off_t(committed_)) == 0)
    lseek(fd_, off_t(committed_), SEEK_SET);
  buf.clear();
  errno = saved;
  return false;
}

DumpReader::DumpReader(int fd) : fd_(fd), buf_(256 * 1024) {}

bool DumpReader::Fill(size_t n) {
  if (end_ - pos_ >= n) return true;
  if (pos_ > 0) {
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  while (end_ < n && !eof_ && !error_) {
    ssize_t r = read(fd_, buf_.data() + end_, buf_.size() - end_);
    if (r < 0) {
      if (errno == EINTR) continue;
      error_ = true;
    } else if (r == 0) {
      eof_ = true;
    } else {
      end_ += size_t(r);
    }
  }
  return end_ - pos_ >= n;
}

DumpReader::Status DumpReader::ReadHeader(std::string* text, FileHeader* header) {
  const size_t magic = sizeof kDumpMagic - 1;
  Fill(kMaxTextLine + 1 + kFileHeaderSize);
  if (error_) return kIoError;
  const uint8_t* p = buf_.data() + pos_;
  size_t avail = end_ - pos_;
  if (avail <= magic || std::memcmp(p, kDumpMagic, magic) != 0) return kNotDump;
  if (p[magic] != ' ' && p[magic] != '\n') return kNotDump;
  const void* nl = std::memchr(p, '\n', avail < kMaxTextLine ? avail : kMaxTextLine);
  if (!nl) return kNotDump;
  size_t lineEnd = size_t(static_cast<const uint8_t*>(nl) - p);
  if (avail < lineEnd + 1 + kFileHeaderSize) return kNotDump;
  size_t textStart = p[magic] == ' ' ? magic + 1 : magic;
  if (text) text->assign(reinterpret_cast<const char*>(p) + textStart, lineEnd - textStart);
  const uint8_t* h = p + lineEnd + 1;
  if (header) {
    header->startSec = Get32(h);
    header->startUsec = Get32(h + 4);
    header->source = Get32(h + 8);
    header->port = Get16(h + 12);
  }
  pos_ += lineEnd + 1 + kFileHeaderSize;
  position_ = lineEnd + 1 + kFileHeaderSize;
  return kOk;
}

DumpReader::Status DumpReader::Next(Record* record) {
  if (!Fill(kRecordHeaderSize)) {
    if (error_) return kIoError;
    return pos_ == end_ ? kEnd : kTruncated;
  }
  const uint8_t* p = buf_.data() + pos_;
  size_t len = Get16(p);
  if (len < kRecordHeaderSize) return kBadRecord;
  if (!Fill(len)) return error_ ? kIoError : kTruncated;
  p = buf_.data() + pos_;
  record->plen = Get16(p + 2);
  record->offset = Get32(p + 4);
  record->data = p + kRecordHeaderSize;
  record->size = len - kRecordHeaderSize;
  pos_ += len;
  position_ += len;
  return kOk;
}

namespace {

// Where the walk through one mapped window of the file stopped.
enum class Walk { kDue, kMore, kBadRecord };

// Walks the record headers in [*at, end) of the file mapped at `base` (as
// if at offset 0) up to the first record due at `ms`. kMore when the window
// ends first, with *at on the record it cuts or at its end.
Walk WalkWindow(const uint8_t* base, size_t end, uint32_t ms, size_t* at, size_t* lastLength) {
  size_t warm = *at;
  while (*at < end) {
    if (*at >= warm) {
      // Each header's place depends on the one before, so the walk waits
      // on memory at every step. Where records are short, and steps many,
      // loading a piece ahead line by line lets those loads overlap, and
      // the walk then finds it in cache.
      const size_t to = std::min(end, warm + (64 << 10));
      if (*lastLength < 512) {
        unsigned sum = 0;
        for (size_t line = warm; line < to; line += 64) sum += base[line];
        __asm__ volatile("" : : "r"(sum));
      }
      warm = to;
    }
    if (end - *at < kRecordHeaderSize) return Walk::kMore;
    const size_t len = Get16(base + *at);
    if (len < kRecordHeaderSize) return Walk::kBadRecord;
    if (Get32(base + *at + 4) >= ms) return Walk::kDue;
    if (end - *at < len) return Walk::kMore;
    *at += len;
    *lastLength = len;
  }
  return Walk::kMore;
}

}  // namespace

DumpReader::Status DumpReader::SkipBefore(uint32_t ms) {
  if (ms == 0) return kOk;
  struct stat info;
  const off_t here = lseek(fd_, 0, SEEK_CUR);
  if (here < 0 || fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return kOk;
  const size_t size = size_t(info.st_size);
  // The bytes already buffered come first: the walk starts where they do.
  size_t at = size_t(here) - (end_ - pos_), lastLength = 0;
  // Mapped a window at a time, so that memory stays the same however large
  // the file; small at first, as the place sought is often near.
  size_t window = 1 << 20;
  for (bool mapped = false; at < size; mapped = true) {
    const size_t start = at & ~size_t(4095), length = std::min(window, size - start);
    window = std::min<size_t>(window * 2, 32 << 20);
    // Populated at once: faulting page by page costs more than the walk.
    void* map = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd_, off_t(start));
    if (map == MAP_FAILED) return mapped ? kIoError : kOk;  // a first failure is left to Next
    const Walk walk = WalkWindow(static_cast<const uint8_t*>(map) - start, start + length, ms, &at, &lastLength);
    munmap(map, length);
    if (walk == Walk::kBadRecord) return kBadRecord;
    if (walk == Walk::kDue) break;
    // A record cut by the window's end is read again in the next one; one
    // cut by the file's end is a truncated file.
    if (start + length == size && at < size) return kTruncated;
  }
  if (lseek(fd_, off_t(at), SEEK_SET) < 0) return kIoError;
  pos_ = end_ = 0;
  eof_ = false;
  position_ = at;
  return kOk;
}

int OpenDumpFile(const std::string& file) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd >= 0 && fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    errno = EISDIR;
    return -1;
  }
  return fd;
}

const char* StatusText(DumpReader::Status status) {
  switch (status) {
    case DumpReader::kOk: return "ok";
    case DumpReader::kEnd: return "end of file";
    case DumpReader::kTruncated: return "file ends inside a record";
    case DumpReader::kNotDump: return "not an RTP dump file";
    case DumpReader::kIoError: return "read error";
    case DumpReader::kBadRecord: return "record shorter than its header";
  }
  return "?";
}

}  // namespace rtptools
