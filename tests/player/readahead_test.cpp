#include "readahead.h"

#include <fcntl.h>
#include <unistd.h>

#include "udp.h"

using namespace rtptools;

// Many batches' worth of records, offsets out of order as a foreign writer
// may leave them, read from an offset on; whole, and cut inside the last.
TEST(ReadAhead, HandsOverEveryRecordDueInFileOrder) {
  TempDir dir;
  std::vector<DumpRecord> records;
  for (uint32_t i = 0; i < 4000; ++i) records.push_back({uint16_t(i), i * 7919 % 5000, std::string(100 + i % 900, char(i))});
  WriteDump(dir / "f.rtp", "h/2", records);
  const std::string whole = ReadFile(dir / "f.rtp");
  for (size_t cut : {size_t(0), size_t(3)}) {
    WriteFile(dir / "f.rtp", whole.substr(0, whole.size() - cut));
    const int fd = open((dir / "f.rtp").c_str(), O_RDONLY | O_CLOEXEC);
    DumpReader reader(fd);
    ASSERT_EQ(reader.ReadHeader(nullptr, nullptr), DumpReader::kOk);
    std::vector<DumpRecord> got, due;
    {
      ReadAhead ahead(&reader, 2500);
      for (const std::vector<Record>* batch = &ahead.Next(); !batch->empty(); batch = &ahead.Next())
        for (const Record& r : *batch) got.push_back({r.plen, r.offset, std::string(reinterpret_cast<const char*>(r.data), r.size)});
      EXPECT_EQ(ahead.Status(), cut ? DumpReader::kTruncated : DumpReader::kEnd);
    }
    close(fd);
    for (size_t i = 0; i + (cut ? 1 : 0) < records.size(); ++i)
      if (records[i].offset >= 2500) due.push_back(records[i]);
    EXPECT_EQ(got, due);
  }
  // Left early, with the reading thread blocked on a full queue.
  const int fd = open((dir / "f.rtp").c_str(), O_RDONLY | O_CLOEXEC);
  DumpReader reader(fd);
  ASSERT_EQ(reader.ReadHeader(nullptr, nullptr), DumpReader::kOk);
  { EXPECT_FALSE(ReadAhead(&reader, 0).Next().empty()); }
  close(fd);
}
