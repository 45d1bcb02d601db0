// The session file reader, over the input in memory. What it reads must
// write back, through the writer, to a file that reads the same through a
// descriptor.
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

struct Copy {
  uint16_t plen;
  uint32_t offset;
  std::string data;
};

// Everything after the header, up to the first record that is not whole.
DumpReader::Status ReadAll(DumpReader& reader, std::string* text, FileHeader* header, std::vector<Copy>* records) {
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
void SkipsAsItReads(DumpReader& reader, const std::vector<Copy>& records, DumpReader::Status end) {
  const uint32_t ms = records[records.size() / 2].offset;
  size_t first = 0;
  while (records[first].offset < ms) ++first;
  Record r;
  if (reader.ReadHeader(nullptr, nullptr) != DumpReader::kOk || reader.SkipBefore(ms) != DumpReader::kOk) abort();
  for (size_t i = first; i < records.size(); ++i)
    if (reader.Next(&r) != DumpReader::kOk || r.offset != records[i].offset || r.size != records[i].data.size()) abort();
  if (reader.Next(&r) != end) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text;
  FileHeader header;
  std::vector<Copy> records;
  DumpReader in(data, size);
  DumpReader::Status st = ReadAll(in, &text, &header, &records);
  if (st == DumpReader::kNotDump || st == DumpReader::kIoError) return 0;
  if (text.find('\n') != std::string::npos || text.size() > kMaxTextLine) abort();
  if (!records.empty()) {
    DumpReader skipping(data, size);
    SkipsAsItReads(skipping, records, st);
  }

  // One memory file for every input, emptied each time.
  static const int out = memfd_create("copy", MFD_CLOEXEC);
  if (out < 0 || ftruncate(out, 0) != 0 || lseek(out, 0, SEEK_SET) != 0) abort();
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
  DumpReader back(out);
  if (ReadAll(back, &text2, &header2, &again) != DumpReader::kEnd) abort();
  if (text2 != text) abort();
  if (header.startSec != header2.startSec || header.startUsec != header2.startUsec ||
      header.source != header2.source || header.port != header2.port)
    abort();
  if (again.size() != records.size()) abort();
  for (size_t i = 0; i < again.size(); ++i)
    if (again[i].plen != records[i].plen || again[i].offset != records[i].offset ||
        again[i].data != records[i].data)
      abort();
  if (!records.empty()) {
    lseek(out, 0, SEEK_SET);
    DumpReader skipping(out);
    SkipsAsItReads(skipping, records, DumpReader::kEnd);
  }
  return 0;
}
