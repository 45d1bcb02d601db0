#include "dumpfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <thread>

#include "udp.h"

using namespace rtptools;

const std::string kHeader16(16, '\0');

TEST(DumpFile, WritesEveryFieldBigEndianAndReadsItBack) {
  TempDir dir;
  const FileHeader h{0x60000001, 123456, 0x7f000001, 5004};
  WriteDump(dir / "f.rtp", "127.0.0.1/5004", {{0x0102, 0x0a0b0c0d, "\x80\x60"}, {0, 0xffffffff, std::string("\x81\xc8\x00", 3)}}, h);
  EXPECT_EQ(ReadFile(dir / "f.rtp"), "#!rtpplay1.0 127.0.0.1/5004\n" +
                                         std::string("\x60\x00\x00\x01\x00\x01\xe2\x40\x7f\x00\x00\x01\x13\x8c\x00\x00", 16) +
                                         std::string("\x00\x0a\x01\x02\x0a\x0b\x0c\x0d\x80\x60", 10) +
                                         std::string("\x00\x0b\x00\x00\xff\xff\xff\xff\x81\xc8\x00", 11));
  const FileHeader back = ReadDump(dir / "f.rtp").header;
  EXPECT_EQ(std::vector<uint32_t>({back.startSec, back.startUsec, back.source, back.port}),
            std::vector<uint32_t>({h.startSec, h.startUsec, h.source, h.port}));
  // The largest record, one cut to fit, and a text line kept to one line.
  WriteDump(dir / "g.rtp", "evil\nhost/2", {{65535, 1, std::string(kMaxRecordData, 'z')}, {7, 2, std::string(70000, 'x')}});
  DumpContents c = ReadDump(dir / "g.rtp");
  EXPECT_EQ(c.end, DumpReader::kEnd);
  EXPECT_EQ(c.text, "evil host/2");
  ASSERT_EQ(c.records.size(), 2u);
  EXPECT_EQ(c.records[0], (DumpRecord{65535, 1, std::string(kMaxRecordData, 'z')}));
  EXPECT_EQ(c.records[1], (DumpRecord{7, 2, std::string(kMaxRecordData, 'x')}));
  // A failed write says why, and drops what it could not write.
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  DumpWriter failing(full);
  failing.Add(1, 1, "x", 1);
  EXPECT_TRUE(!failing.Flush() && errno == ENOSPC && failing.Pending() == 0);
  close(full);
}

// Files from other writers, damaged files and files that are no dump at all.
TEST(DumpFile, ReadsWhatIsWholeAndSaysWhereItEnds) {
  TempDir dir;
  const std::string line = "#!rtpplay1.0 h/2\n", record("\x00\x0c\x05\xdc\x00\x00\x00\x07" "abcd", 12);
  const struct { std::string bytes; DumpReader::Status end; size_t records; const char* text; } cases[] = {
      {"#!rtpplay1.0 0.0.0.0/0\n" + kHeader16 + record, DumpReader::kEnd, 1, "0.0.0.0/0"},
      {"#!rtpplay1.0 \n" + kHeader16 + record + record, DumpReader::kEnd, 2, ""},
      {"#!rtpplay1.0\n" + kHeader16, DumpReader::kEnd, 0, ""},
      {line + kHeader16 + record + record.substr(0, 1), DumpReader::kTruncated, 1, "h/2"},
      {line + kHeader16 + record + record.substr(0, 9), DumpReader::kTruncated, 1, "h/2"},
      {line + kHeader16 + record + record.substr(0, 11), DumpReader::kTruncated, 1, "h/2"},
      {line + kHeader16 + std::string("\x00\x07\x00\x00\x00\x00\x00\x00", 8), DumpReader::kBadRecord, 0, "h/2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 24));
    WriteFile(dir / "f.rtp", c.bytes);
    DumpContents got = ReadDump(dir / "f.rtp");
    EXPECT_EQ(got.end, c.end);
    EXPECT_EQ(got.records.size(), c.records);
    EXPECT_EQ(got.text, c.text);
    if (c.records) { EXPECT_EQ(got.records[0], (DumpRecord{1500, 7, "abcd"})); }
  }
  for (const std::string& bytes : {std::string(), "hello world\n" + kHeader16, "#!rtpplay1.1 h/2\n" + kHeader16,
                                   "#!rtpplay1.0x h/2\n" + kHeader16, "#!rtpplay1.0 h/2" + kHeader16, line + kHeader16.substr(0, 15),
                                   "#!rtpplay1.0 " + std::string(kMaxTextLine, 'a') + "\n" + kHeader16}) {
    WriteFile(dir / "f.rtp", bytes);
    EXPECT_EQ(ReadDump(dir / "f.rtp").end, DumpReader::kNotDump) << bytes.substr(0, 24);
  }
}

// A file several times the reader's buffer, offsets 0, 10, 10, 20, ...
TEST(DumpFile, SkipBeforeStopsAtTheFirstRecordDue) {
  TempDir dir;
  const std::string path = dir / "f.rtp";
  std::vector<DumpRecord> in;
  for (uint32_t i = 0; i < 60; ++i) in.push_back({uint16_t(i), (i + 1) / 2 * 10, std::string(i * 997 % 30000, char('a' + i % 26))});
  WriteDump(path, "h/2", in);
  auto due = [&](uint32_t ms) {
    size_t first = 0;
    while (first < in.size() && in[first].offset < ms) ++first;
    return std::vector<DumpRecord>(in.begin() + long(first), in.end());
  };
  for (uint32_t ms : {0u, 1u, 10u, 11u, 150u, 300u, 301u, 4000000000u}) {
    const DumpContents c = ReadDump(path, ms);
    EXPECT_EQ(c.end, DumpReader::kEnd) << ms;
    EXPECT_EQ(c.records, due(ms)) << ms;
  }
  const std::string whole = ReadFile(path);
  // Past the end of a file still being written, what comes later is read.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC), out = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  DumpReader reader(fd);
  Record r;
  EXPECT_TRUE(reader.ReadHeader(nullptr, nullptr) == DumpReader::kOk && reader.SkipBefore(400) == DumpReader::kOk);
  EXPECT_EQ(write(out, "\x00\x09\x00\x01\x00\x00\x01\x90z", 9), 9);
  EXPECT_TRUE(reader.Next(&r) == DumpReader::kOk && r.offset == 400 && r.size == 1);
  close(fd), close(out);
  // A pipe is skipped the same way.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::thread feed([&] {
    EXPECT_EQ(write(p[1], whole.data(), whole.size()), ssize_t(whole.size()));
    close(p[1]);
  });
  EXPECT_EQ(ReadDump("/dev/fd/" + std::to_string(p[0]), 150).records, due(150));
  feed.join();
  close(p[0]);
  // Damage among the skipped records is reported as reading would.
  WriteFile(path, whole.substr(0, whole.size() - 5));
  EXPECT_EQ(ReadDump(path, 4000000000u).end, DumpReader::kTruncated);
  std::string bad = whole;
  bad[std::string("#!rtpplay1.0 h/2\n").size() + 16 + 1] = 4;
  WriteFile(path, bad);
  EXPECT_EQ(ReadDump(path, 100).end, DumpReader::kBadRecord);
}
