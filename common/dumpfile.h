// The RTP dump file: a text line, a 16-byte header, then one record per
// datagram. Every binary field is big-endian.
#ifndef RTPTOOLS_DUMPFILE_H
#define RTPTOOLS_DUMPFILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rtptools {

constexpr char kDumpMagic[] = "#!rtpplay1.0";
constexpr size_t kFileHeaderSize = 16;
constexpr size_t kRecordHeaderSize = 8;
// The record length field is 16 bits and counts its own 8-byte header.
constexpr size_t kMaxRecordData = 65535 - kRecordHeaderSize;
// Longer first lines are not taken for a dump file's text line.
constexpr size_t kMaxTextLine = 4096;

// Big-endian fields, as the format and RTP store them.
inline uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline void Put32(uint8_t* p, uint32_t v) {
  Put16(p, uint16_t(v >> 16));
  Put16(p + 2, uint16_t(v));
}

struct FileHeader {
  uint32_t startSec = 0;
  uint32_t startUsec = 0;
  uint32_t source = 0;  // IPv4 address in host order, 0 if none
  uint16_t port = 0;
};

struct Record {
  uint16_t plen = 0;     // 0 marks RTCP
  uint32_t offset = 0;   // ms since the start of the recording
  const uint8_t* data = nullptr;
  size_t size = 0;       // bytes stored, at most kMaxRecordData
};

// Appends records to a buffer and writes them out in whole records only, so
// that a failed write (disk full) leaves a file that still reads cleanly.
class DumpWriter {
 public:
  explicit DumpWriter(int fd) : fd_(fd) {}
  DumpWriter(const DumpWriter&) = delete;
  DumpWriter& operator=(const DumpWriter&) = delete;

  // Writes the text line ("#!rtpplay1.0 " + text + "\n") and the header.
  // Returns false with errno set on failure.
  bool WriteHeader(const std::string& text, const FileHeader& header);
  // Buffers one record; data beyond kMaxRecordData is cut off.
  void Add(uint16_t plen, uint32_t offset, const void* data, size_t size);
  size_t Pending() const { return buf_.size(); }
  // Writes what is buffered. On failure returns false with errno set, having
  // cut the file back to the last whole record; the buffer is then dropped.
  bool Flush() { return Write(&buf_); }

  // For writing from another thread: TakeRecords swaps what is buffered
  // into an empty *records, and Write writes such a buffer as Flush does,
  // leaving it empty. Neither touches what the other one uses.
  void TakeRecords(std::vector<uint8_t>* records) { records->swap(buf_); }
  bool Write(std::vector<uint8_t>* records);

 private:
  bool WriteAll(const uint8_t* p, size_t n, size_t* written);

  int fd_;
  uint64_t committed_ = 0;  // file size up to the last whole record
  std::vector<uint8_t> buf_;
};

// Reads a dump file sequentially through a fixed buffer, whatever its size.
class DumpReader {
 public:
  enum Status { kOk, kEnd, kTruncated, kNotDump, kIoError, kBadRecord };

  explicit DumpReader(int fd);
  // Reads the `size` bytes at `data`, which outlive the reader, as a file
  // that holds them.
  DumpReader(const uint8_t* data, size_t size);
  DumpReader(const DumpReader&) = delete;
  DumpReader& operator=(const DumpReader&) = delete;

  // text receives what follows the magic on the first line.
  Status ReadHeader(std::string* text, FileHeader* header);
  // kOk with *record pointing into the reader's buffer (valid until the next
  // call), kEnd at a clean end, kTruncated if the file ends inside a record.
  Status Next(Record* record);
  // Bytes of the file taken so far: where the next record starts, or where
  // reading found the file damaged.
  uint64_t Position() const { return position_; }
  // Moves past the leading records before offset `ms`, walking their
  // headers through the reader's buffer without taking their data. kOk when
  // positioned, also at the end of the file, from where Next reads on what
  // is written later; otherwise how the file ended, as Next would say. Call
  // after ReadHeader.
  Status SkipBefore(uint32_t ms);
  // After kEnd or kTruncated, reads on from there: for a file still being
  // written, whose last record may be only partly there yet.
  void Resume() { eof_ = false; }

 private:
  // Makes at least n bytes available at pos_; false at end of file or error.
  bool Fill(size_t n);

  static constexpr size_t kFirstBlock = 64 * 1024, kBlock = 256 * 1024;
  int fd_;
  std::unique_ptr<uint8_t[]> buf_;
  const uint8_t* data_ = nullptr;  // buf_, or the memory read
  size_t size_ = 0, pos_ = 0, end_ = 0;
  uint64_t position_ = 0;
  bool eof_ = false, error_ = false;
};

const char* StatusText(DumpReader::Status status);

// Opens `file` for a DumpReader; a directory fails with EISDIR. -1 with
// errno set on failure.
int OpenDumpFile(const std::string& file);
// Whether a recorder is writing the file open at `fd`: it holds the file's
// lock while it records.
bool BeingRecorded(int fd);

}  // namespace rtptools

#endif
