// The session file reader of the player, fed through a memory file. What
// it reads must write back, through the writer, to a file that reads the same.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dumpfile.h"

using namespace rtptools;

namespace {

int MemFile(const void* data, size_t size) {
  int fd = memfd_create("dump", MFD_CLOEXEC);
  if (fd < 0) abort();
  const char* p = static_cast<const char*>(data);
  for (size_t done = 0; done < size;) {
    ssize_t n = write(fd, p + done, size - done);
    if (n <= 0) abort();
    done += size_t(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

struct Copy {
  uint16_t plen;
  uint32_t offset;
  std::string data;
};

// Everything after the header, up to the first record that is not whole.
DumpReader::Status ReadAll(int fd, std::string* text, FileHeader* header, std::vector<Copy>* records) {
  DumpReader reader(fd);
  DumpReader::Status st = reader.ReadHeader(text, header);
  if (st != DumpReader::kOk) return st;
  Record r;
  while ((st = reader.Next(&r)) == DumpReader::kOk) {
    if (r.size > kMaxRecordData) abort();
    records->push_back({r.plen, r.offset, std::string(reinterpret_cast<const char*>(r.data), r.size)});
  }
  if (StatusText(st)[0] == '?') abort();
  return st;
}

// Skipping to the offset of a record read whole, then reading, gives the
// records from the first one due then, and the same end.
void SkipsAsItReads(const uint8_t* data, size_t size, const std::vector<Copy>& records, DumpReader::Status end) {
  const uint32_t ms = records[records.size() / 2].offset;
  size_t first = 0;
  while (records[first].offset < ms) ++first;
  const int fd = MemFile(data, size);
  DumpReader reader(fd);
  Record r;
  if (reader.ReadHeader(nullptr, nullptr) != DumpReader::kOk || reader.SkipBefore(ms) != DumpReader::kOk) abort();
  for (size_t i = first; i < records.size(); ++i)
    if (reader.Next(&r) != DumpReader::kOk || r.offset != records[i].offset || r.size != records[i].data.size()) abort();
  if (reader.Next(&r) != end) abort();
  close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = MemFile(data, size);
  std::string text;
  FileHeader header;
  std::vector<Copy> records;
  DumpReader::Status st = ReadAll(fd, &text, &header, &records);
  close(fd);
  if (st == DumpReader::kNotDump || st == DumpReader::kIoError) return 0;
  if (text.find('\n') != std::string::npos || text.size() > kMaxTextLine) abort();
  if (!records.empty()) SkipsAsItReads(data, size, records, st);

  int out = memfd_create("copy", MFD_CLOEXEC);
  if (out < 0) abort();
  {
    DumpWriter writer(out);
    if (!writer.WriteHeader(text, header)) abort();
    for (const Copy& c : records) writer.Add(c.plen, c.offset, c.data.data(), c.data.size());
    if (!writer.Flush()) abort();
  }
  lseek(out, 0, SEEK_SET);
  std::string text2;
  FileHeader header2;
  std::vector<Copy> again;
  if (ReadAll(out, &text2, &header2, &again) != DumpReader::kEnd) abort();
  close(out);
  if (text2 != text) abort();
  if (header.startSec != header2.startSec || header.startUsec != header2.startUsec ||
      header.source != header2.source || header.port != header2.port)
    abort();
  if (again.size() != records.size()) abort();
  for (size_t i = 0; i < again.size(); ++i)
    if (again[i].plen != records[i].plen || again[i].offset != records[i].offset ||
        again[i].data != records[i].data)
      abort();
  return 0;
}
