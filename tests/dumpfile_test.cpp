#include "dumpfile.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "udp_helpers.h"

using namespace rtptools;

namespace {

// A dump file in a directory that goes away with the test, open for writing.
class DumpFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
  }
  void TearDown() override { close(fd); }
  TempDir dir;
  const std::string path = dir / "f.rtp";
  int fd = -1;
};

const std::string kHeader16("\x60\x00\x00\x01\x00\x01\xe2\x40\x7f\x00\x00\x01\x13\x8c\x00\x00", 16);

TEST_F(DumpFileTest, RoundTripKeepsEveryField) {
  DumpWriter w(fd);
  FileHeader h;
  h.startSec = 1700000000;
  h.startUsec = 999999;
  h.source = 0xE0010203;
  h.port = 65534;
  ASSERT_TRUE(w.WriteHeader("224.1.2.3/65534", h));
  std::vector<DumpRecord> in = {{12, 0, std::string(12, 'a')},
                         {0, 5, "rtcp-bytes"},
                         {0, 5, ""},
                         {40000, 4294967295u, std::string(40000, '\xff')},
                         {65527, 4294967295u, std::string(kMaxRecordData, 'z')}};
  for (const DumpRecord& r : in) w.Add(r.plen, r.offset, r.data.data(), r.data.size());
  ASSERT_TRUE(w.Flush());
  EXPECT_EQ(w.Pending(), 0u);

  DumpContents c = ReadDump(path);
  EXPECT_EQ(c.end, DumpReader::kEnd);
  EXPECT_EQ(c.text, "224.1.2.3/65534");
  EXPECT_EQ(c.header.startSec, h.startSec);
  EXPECT_EQ(c.header.startUsec, h.startUsec);
  EXPECT_EQ(c.header.source, h.source);
  EXPECT_EQ(c.header.port, h.port);
  EXPECT_EQ(c.records, in);
}

TEST_F(DumpFileTest, LayoutIsBigEndianByteForByte) {
  DumpWriter w(fd);
  FileHeader h;
  h.startSec = 0x60000001;
  h.startUsec = 123456;  // 0x0001e240
  h.source = 0x7f000001;
  h.port = 5004;  // 0x138c
  ASSERT_TRUE(w.WriteHeader("127.0.0.1/5004", h));
  w.Add(0x0102, 0x0a0b0c0d, "\x80\x60", 2);
  w.Add(0, 0x0a0b0c0e, "\x81\xc8\x00", 3);
  ASSERT_TRUE(w.Flush());
  std::string expected = "#!rtpplay1.0 127.0.0.1/5004\n" + kHeader16 +
                         std::string("\x00\x0a\x01\x02\x0a\x0b\x0c\x0d\x80\x60", 10) +
                         std::string("\x00\x0b\x00\x00\x0a\x0b\x0c\x0e\x81\xc8\x00", 11);
  EXPECT_EQ(ReadFile(path), expected);
}

TEST_F(DumpFileTest, WriterCutsOversizedDataAndNewlinesInText) {
  DumpWriter w(fd);
  ASSERT_TRUE(w.WriteHeader("evil\nhost/2", FileHeader()));
  std::string big(70000, 'x');
  w.Add(65535, 1, big.data(), big.size());
  ASSERT_TRUE(w.Flush());
  DumpContents c = ReadDump(path);
  EXPECT_EQ(c.end, DumpReader::kEnd);
  EXPECT_EQ(c.text, "evil host/2");
  ASSERT_EQ(c.records.size(), 1u);
  EXPECT_EQ(c.records[0].data.size(), kMaxRecordData);
  EXPECT_EQ(c.records[0].plen, 65535);
}

TEST_F(DumpFileTest, ForeignFilesAreRead) {
  // Text other writers put there, and a record storing less than plen.
  for (std::string line : {"#!rtpplay1.0 0.0.0.0/0\n", "#!rtpplay1.0 2001:db8::1/5004\n",
                           "#!rtpplay1.0 \n", "#!rtpplay1.0\n"}) {
    SCOPED_TRACE(line);
    WriteFile(path, line + std::string(16, '\0') + std::string("\x00\x0c\x05\xdc\x00\x00\x00\x07" "abcd", 12));
    DumpContents c = ReadDump(path);
    EXPECT_EQ(c.end, DumpReader::kEnd);
    EXPECT_EQ("#!rtpplay1.0 " + c.text + "\n", line.size() == 13 ? "#!rtpplay1.0 \n" : line);
    ASSERT_EQ(c.records.size(), 1u);
    EXPECT_EQ(c.records[0], (DumpRecord{1500, 7, "abcd"}));
  }
}

TEST_F(DumpFileTest, PartialTrailingRecordEndsAfterCompleteOnes) {
  DumpWriter w(fd);
  ASSERT_TRUE(w.WriteHeader("h/2", FileHeader()));
  w.Add(3, 10, "one", 3);
  w.Add(5, 20, "three", 5);
  ASSERT_TRUE(w.Flush());
  const std::string whole = ReadFile(path);
  const size_t lastStart = whole.size() - 13;
  // Cut anywhere inside the last record: its header or its data.
  for (size_t cut = lastStart + 1; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    WriteFile(path, whole.substr(0, cut));
    DumpContents c = ReadDump(path);
    EXPECT_EQ(c.end, DumpReader::kTruncated);
    EXPECT_EQ(c.records, (std::vector<DumpRecord>{{3, 10, "one"}}));
  }
  WriteFile(path, whole.substr(0, lastStart));
  DumpContents c = ReadDump(path);
  EXPECT_EQ(c.end, DumpReader::kEnd);
  EXPECT_EQ(c.records.size(), 1u);
}

TEST_F(DumpFileTest, NonDumpFilesAreRejected) {
  const std::string header(16, '\0');
  for (std::string bytes : {std::string(), std::string("hello world\n") + header,
                            "#!rtpplay1.1 h/2\n" + header, "#!rtpplay1.0x h/2\n" + header,
                            "#!rtpplay1.0 h/2" + header,  // no newline anywhere
                            "#!rtpplay1.0 h/2\n" + header.substr(0, 15),
                            "#!rtpplay1.0 " + std::string(kMaxTextLine, 'a') + "\n" + header}) {
    SCOPED_TRACE(bytes.substr(0, 20));
    WriteFile(path, bytes);
    DumpContents c = ReadDump(path);
    EXPECT_EQ(c.end, DumpReader::kNotDump);
  }
}

TEST_F(DumpFileTest, RecordShorterThanItsHeaderIsAnError) {
  WriteFile(path, "#!rtpplay1.0 h/2\n" + std::string(16, '\0') + std::string("\x00\x04\x00\x00\x00\x00\x00\x00", 8));
  DumpContents c = ReadDump(path);
  EXPECT_EQ(c.end, DumpReader::kBadRecord);
}

TEST_F(DumpFileTest, ReaderStreamsFilesLargerThanItsBuffer) {
  DumpWriter w(fd);
  ASSERT_TRUE(w.WriteHeader("h/2", FileHeader()));
  const std::string big(60000, 'q');
  for (uint32_t i = 0; i < 40; ++i) w.Add(uint16_t(i % 2 ? 0 : 60000), i, big.data(), big.size() - i);
  ASSERT_TRUE(w.Flush());
  DumpContents c = ReadDump(path);
  EXPECT_EQ(c.end, DumpReader::kEnd);
  ASSERT_EQ(c.records.size(), 40u);
  for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(c.records[i].data.size(), big.size() - i);
}

TEST_F(DumpFileTest, SkipBeforeStopsAtTheFirstRecordDue) {
  DumpWriter w(fd);
  ASSERT_TRUE(w.WriteHeader("h/2", FileHeader()));
  // Offsets 0, 10, 10, 20, ... with sizes that straddle the reader's buffer.
  std::vector<DumpRecord> in;
  for (uint32_t i = 0; i < 60; ++i) {
    in.push_back({uint16_t(i), (i + 1) / 2 * 10, std::string(i * 997 % 30000, char('a' + i % 26))});
    w.Add(in.back().plen, in.back().offset, in.back().data.data(), in.back().data.size());
  }
  ASSERT_TRUE(w.Flush());
  auto readFrom = [&](int in, uint32_t ms, DumpReader::Status* skip) {
    DumpReader r(in);
    std::vector<DumpRecord> out;
    EXPECT_EQ(r.ReadHeader(nullptr, nullptr), DumpReader::kOk);
    *skip = r.SkipBefore(ms);
    Record rec;
    while (*skip == DumpReader::kOk && r.Next(&rec) == DumpReader::kOk)
      out.push_back({rec.plen, rec.offset, std::string(reinterpret_cast<const char*>(rec.data), rec.size)});
    close(in);
    return out;
  };
  auto openFile = [&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); };
  for (uint32_t ms : {0u, 1u, 10u, 11u, 150u, 300u, 301u, 4000000000u}) {
    SCOPED_TRACE(ms);
    size_t first = 0;
    while (first < in.size() && in[first].offset < ms) ++first;
    DumpReader::Status st;
    EXPECT_EQ(readFrom(openFile(), ms, &st), std::vector<DumpRecord>(in.begin() + long(first), in.end()));
    EXPECT_EQ(st, DumpReader::kOk);
  }
  // A pipe cannot be mapped: nothing is skipped, the caller's filter must do.
  const std::string whole = ReadFile(path);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::thread feed([&] {
    EXPECT_EQ(write(p[1], whole.data(), whole.size()), ssize_t(whole.size()));
    close(p[1]);
  });
  DumpReader::Status st;
  EXPECT_EQ(readFrom(p[0], 150, &st), in);
  feed.join();
  // Damage among the skipped records is reported as reading would.
  WriteFile(path, whole.substr(0, whole.size() - 5));
  readFrom(openFile(), 4000000000u, &st);
  EXPECT_EQ(st, DumpReader::kTruncated);
  std::string bad = whole;
  const size_t firstRecord = std::string("#!rtpplay1.0 h/2\n").size() + 16;
  bad[firstRecord] = 0;
  bad[firstRecord + 1] = 4;
  WriteFile(path, bad);
  readFrom(openFile(), 100, &st);
  EXPECT_EQ(st, DumpReader::kBadRecord);
}

TEST(DumpFileWriteErrors, FullDeviceReportsNoSpace) {
  int fd = open("/dev/full", O_WRONLY);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  DumpWriter w(fd);
  EXPECT_FALSE(w.WriteHeader("h/2", FileHeader()));
  EXPECT_EQ(errno, ENOSPC);
  w.Add(1, 1, "x", 1);
  EXPECT_FALSE(w.Flush());
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(w.Pending(), 0u);
  close(fd);
}

TEST_F(DumpFileTest, ShortWriteLeavesOnlyWholeRecords) {
  const std::string line = "#!rtpplay1.0 h/2\n";
  const size_t headerBytes = line.size() + 16;
  // The file size limit stops the write in the middle of the third record.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{headerBytes + 2 * 108 + 50, headerBytes + 2 * 108 + 50};
    setrlimit(RLIMIT_FSIZE, &lim);
    DumpWriter w(fd);
    if (!w.WriteHeader("h/2", FileHeader())) _exit(2);
    std::string data(100, 'd');
    for (int i = 0; i < 5; ++i) w.Add(100, uint32_t(i), data.data(), data.size());
    _exit(w.Flush() ? 0 : errno == EFBIG ? 1 : 3);
  }
  int status;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(ReadFile(path).size(), headerBytes + 2 * 108);
  DumpContents c = ReadDump(path);
  EXPECT_EQ(c.end, DumpReader::kEnd);
  EXPECT_EQ(c.records.size(), 2u);
}

}  // namespace
