#include "readahead.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "udp_helpers.h"

using namespace rtptools;

namespace {

// Many batches' worth of records, offsets out of order as a foreign writer
// may leave them, read from an offset on.
TEST(ReadAhead, HandsOverEveryRecordDueInFileOrder) {
  TempDir dir;
  std::vector<DumpRecord> records;
  for (uint32_t i = 0; i < 4000; ++i)
    records.push_back({uint16_t(i), i * 7919 % 5000, std::string(100 + i % 900, char(i))});
  WriteDump(dir / "f.rtp", "h/2", records);
  const std::string whole = ReadFile(dir / "f.rtp");
  for (size_t cut : {whole.size(), whole.size() - 3}) {
    SCOPED_TRACE(cut);
    WriteFile(dir / "f.rtp", whole.substr(0, cut));
    int fd = open((dir / "f.rtp").c_str(), O_RDONLY | O_CLOEXEC);
    DumpReader reader(fd);
    ASSERT_EQ(reader.ReadHeader(nullptr, nullptr), DumpReader::kOk);
    std::vector<DumpRecord> got;
    {
      ReadAhead ahead(&reader, 2500);
      for (const std::vector<Record>* batch = &ahead.Next(); !batch->empty(); batch = &ahead.Next())
        for (const Record& r : *batch)
          got.push_back({r.plen, r.offset, std::string(reinterpret_cast<const char*>(r.data), r.size)});
      EXPECT_EQ(ahead.Status(), cut == whole.size() ? DumpReader::kEnd : DumpReader::kTruncated);
    }
    close(fd);
    std::vector<DumpRecord> due;
    for (size_t i = 0; i + (cut == whole.size() ? 0 : 1) < records.size(); ++i)
      if (records[i].offset >= 2500) due.push_back(records[i]);
    EXPECT_EQ(got, due);
  }
}

TEST(ReadAhead, StopsEarlyWithoutHanging) {
  TempDir dir;
  WriteDump(dir / "f.rtp", "h/2", std::vector<DumpRecord>(20000, {1, 1, std::string(500, 'x')}));
  int fd = open((dir / "f.rtp").c_str(), O_RDONLY | O_CLOEXEC);
  DumpReader reader(fd);
  ASSERT_EQ(reader.ReadHeader(nullptr, nullptr), DumpReader::kOk);
  {
    ReadAhead ahead(&reader, 0);
    EXPECT_FALSE(ahead.Next().empty());
  }  // the reading thread is blocked on a full queue here
  close(fd);
}

}  // namespace
