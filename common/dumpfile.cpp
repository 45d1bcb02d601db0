#include "dumpfile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

DumpReader::DumpReader(int fd) : fd_(fd) {}

DumpReader::DumpReader(const uint8_t* data, size_t size) : fd_(-1), data_(data), size_(size), end_(size), eof_(true) {}

bool DumpReader::Fill(size_t n) {
  if (end_ - pos_ >= n) return true;
  if (fd_ < 0) return false;  // over memory: what is there is all there is
  if (pos_ > 0) {
    std::memmove(buf_.get(), data_ + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  // The first read takes a block that holds any record, and a file that
  // goes on past it is read in larger ones. Neither is cleared: only what
  // read() filled is looked at, so a short file costs no more than its size.
  const size_t block = size_ == 0 ? kFirstBlock : kBlock;
  if (size_ < block && !eof_ && !error_) {
    std::unique_ptr<uint8_t[]> larger(new uint8_t[block]);
    if (end_) std::memcpy(larger.get(), buf_.get(), end_);
    buf_ = std::move(larger);
    data_ = buf_.get();
    size_ = block;
  }
  while (end_ < n && !eof_ && !error_) {
    ssize_t r = read(fd_, buf_.get() + end_, size_ - end_);
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
  const uint8_t* p = data_ + pos_;
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
  const uint8_t* p = data_ + pos_;
  size_t len = Get16(p);
  if (len < kRecordHeaderSize) return kBadRecord;
  if (!Fill(len)) return error_ ? kIoError : kTruncated;
  p = data_ + pos_;
  record->plen = Get16(p + 2);
  record->offset = Get32(p + 4);
  record->data = p + kRecordHeaderSize;
  record->size = len - kRecordHeaderSize;
  pos_ += len;
  position_ += len;
  return kOk;
}

DumpReader::Status DumpReader::SkipBefore(uint32_t ms) {
  if (ms == 0) return kOk;
  // Through the reader's own buffer, a block per read as cat reads: each
  // header's place depends on the one before, and in a block just copied
  // in that step finds it in cache, where in a mapping of the file it
  // would wait on memory at every record.
  while (Fill(kRecordHeaderSize)) {
    // The whole records in the buffer in a loop of locals, which no store
    // to the reader's members holds up.
    const uint8_t* const buf = data_;
    size_t at = pos_, len = 0;
    while (end_ - at >= kRecordHeaderSize) {
      len = Get16(buf + at);
      if (len < kRecordHeaderSize || Get32(buf + at + 4) >= ms || end_ - at < len) break;
      at += len;
    }
    position_ += at - pos_;
    pos_ = at;
    if (end_ - at < kRecordHeaderSize) continue;  // a header cut by the buffer's end
    if (len < kRecordHeaderSize) return kBadRecord;
    if (Get32(buf + at + 4) >= ms) return kOk;
    if (!Fill(len)) break;  // a record cut by the buffer's end, or by the file's
  }
  if (error_) return kIoError;
  if (pos_ != end_) return kTruncated;
  // At the end: a file still being written plays on from here.
  eof_ = false;
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

bool BeingRecorded(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
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
