#include "Conference.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "process.h"

namespace {

class ConferenceTest : public ::testing::Test {
 protected:
  std::string Name(const std::string& n = "meeting") const { return dir / n; }
  // Loads `c` from its file as the drivers do, through the stream operator.
  static bool Load(Conference& c) {
    std::fstream f;
    f >> c;
    return !f.fail();
  }
  TempDir dir;
};

TEST_F(ConferenceTest, FreshConferenceCreatesItsFileAndAnEmptySessionFile) {
  Conference c(Name());
  EXPECT_FALSE(c.ExistConference());
  mode_t old = umask(0);
  std::string audio = c.FileSessionToRecord(Audio);
  umask(old);
  EXPECT_EQ(audio, Name() + ".0.a.rtp");
  EXPECT_EQ(ReadFile(Name() + ".cf"), "SessionsRecorded = 0\n");
  EXPECT_TRUE(c.ExistConference());
  struct stat st;
  ASSERT_EQ(stat(audio.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
  ASSERT_EQ(stat((Name() + ".cf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0664u);
}

TEST_F(ConferenceTest, NameKeepsItsDirectoryAndMayBeEmpty) {
  EXPECT_EQ(Conference("talks/mon").FileName(), "talks/mon.cf");
  EXPECT_EQ(Conference("").FileName(), ".cf");
}

TEST_F(ConferenceTest, SessionFilesTakeTheRecordedCountAsIndex) {
  WriteFile(Name() + ".cf", "SessionsRecorded = 3\nTimeRecorded0 = 1\nTimeRecorded1 = 2\n"
                            "TimeRecorded2 = 3\n");
  WriteFile(Name() + ".3.v.rtp", "left from an interrupted session");
  Conference c(Name());
  EXPECT_EQ(c.FileSessionToRecord(Video), Name() + ".3.v.rtp");
  EXPECT_EQ(ReadFile(Name() + ".3.v.rtp"), "");
  EXPECT_EQ(c.FileSessionToRecord(Audio), Name() + ".3.a.rtp");
}

TEST_F(ConferenceTest, SavedFileHasTheExactLayoutAndReadsBack) {
  WriteFile(Name() + ".cf", "SessionsRecorded = 2\nTimeRecorded0 = 60\nTimeRecorded1 = 1000000\n");
  Conference c(Name());
  ASSERT_FALSE(c.FileSessionToRecord(Audio).empty());
  ASSERT_TRUE(c.SessionRecorded("45"));
  EXPECT_EQ(ReadFile(Name() + ".cf"),
            "SessionsRecorded = 3\nTimeRecorded0 = 60\nTimeRecorded1 = 1000000\n"
            "TimeRecorded2 = 45\n");
}

TEST_F(ConferenceTest, DurationsRoundTripWhateverTheirText) {
  // Twelve sessions, so that two-digit indices are read too.
  const std::vector<std::string> durations = {
      "60", "1000000", "12345678901", "60 min", "", "abc", "-5", " 7", "x=y", "9", "10", "11"};
  Conference writer(Name());
  for (const auto& d : durations) ASSERT_TRUE(writer.SessionRecorded(d));
  std::string saved = ReadFile(Name() + ".cf");
  EXPECT_NE(saved.find("\nTimeRecorded11 = 11\n"), std::string::npos);

  Conference reader(Name());
  ASSERT_TRUE(Load(reader));
  EXPECT_EQ(reader.NumSessionsRecorded(), 12);
  ASSERT_TRUE(reader.SessionRecorded("last"));
  saved.replace(0, saved.find('\n'), "SessionsRecorded = 13");
  EXPECT_EQ(ReadFile(Name() + ".cf"), saved + "TimeRecorded12 = last\n");
}

TEST_F(ConferenceTest, CorruptFilesAreRefusedAndLeftAlone) {
  const std::vector<std::string> corrupt = {
      "",
      "SessionsRecorded = -1\n",
      "SessionsRecorded = two\n",
      "SessionsRecorded = \n",
      "SessionsRecorded = 3x\n",
      "SessionsRecorded = 99999999999\n",
      "SessionsRecorded = 2\nTimeRecorded0 = 60\n",
      "SessionsRecorded = 1\nno key here\n",
      "short\n",
  };
  for (const auto& text : corrupt) {
    SCOPED_TRACE(text);
    WriteFile(Name() + ".cf", text);
    Conference c(Name());
    EXPECT_EQ(c.FileSessionToRecord(Audio), "");
    EXPECT_EQ(c.Error(), "Corrupt conference file " + Name() + ".cf");
    EXPECT_EQ(ReadFile(Name() + ".cf"), text);
    EXPECT_FALSE(FileExists(Name() + ".0.a.rtp"));
  }
}

TEST_F(ConferenceTest, AVanishedFileDoesNotLoad) {
  Conference c(Name());
  EXPECT_FALSE(Load(c));
}

TEST_F(ConferenceTest, FailedSaveKeepsTheOldFileAndSaysWhy) {
  // A directory in the conference file's place cannot be replaced.
  ASSERT_EQ(mkdir((Name() + ".cf").c_str(), 0755), 0);
  WriteFile(Name() + ".cf/keep", "x");
  Conference c(Name());
  EXPECT_FALSE(c.SessionRecorded("5"));
  EXPECT_EQ(c.Error().rfind("Cannot write conference file " + Name() + ".cf: ", 0), 0u) << c.Error();
  EXPECT_EQ(ReadFile(Name() + ".cf/keep"), "x");
  EXPECT_EQ(RunProgram({"/bin/sh", "-c", "ls " + dir.Path() + " | grep -c tmp"}).out, "0\n");

  Conference lost(dir / "missing/x");
  EXPECT_EQ(lost.FileSessionToRecord(Audio), "");
  EXPECT_EQ(lost.Error(),
            "Cannot write conference file " + (dir / "missing/x.cf") + ": No such file or directory");
}

TEST_F(ConferenceTest, SessionFileThatCannotBeCreatedIsNamed) {
  ASSERT_EQ(mkdir((Name() + ".0.a.rtp").c_str(), 0755), 0);
  Conference c(Name());
  EXPECT_EQ(c.FileSessionToRecord(Audio), "");
  EXPECT_EQ(c.Error(), "Cannot create session file " + Name() + ".0.a.rtp: Is a directory");
}

TEST_F(ConferenceTest, FilesToPlayMustExist) {
  Conference c(Name());
  WriteFile(Name() + ".0.a.rtp", "");
  EXPECT_EQ(c.FileSessionToPlay(Audio), "");  // no conference file yet
  WriteFile(Name() + ".cf", "SessionsRecorded = 1\nTimeRecorded0 = 1\n");
  EXPECT_EQ(c.FileSessionToPlay(Audio), Name() + ".0.a.rtp");
  EXPECT_EQ(c.FileSessionToPlay(Video), "");
}

// Applies `start` to a conference of the given durations; returns the new
// start text and the index of the first session left to play.
std::pair<std::string, int> Position(const TempDir& dir, const std::vector<std::string>& durations,
                                     const std::string& start) {
  std::string name = dir / ("pos" + std::to_string(durations.size()));
  Conference c(name);
  for (const auto& d : durations) c.SessionRecorded(d);
  for (size_t i = 0; i <= durations.size(); ++i) WriteFile(name + "." + std::to_string(i) + ".a.rtp", "");
  std::string text = start;
  ManageStartPosition(&c, text);
  std::string file = c.FileSessionToPlay(Audio);
  return {text, std::stoi(file.substr(name.size() + 1))};
}

TEST_F(ConferenceTest, StartPositionSkipsWholeSessionsOnly) {
  using P = std::pair<std::string, int>;
  const std::vector<std::string> twoAndFive = {"2", "5"};
  EXPECT_EQ(Position(dir, twoAndFive, "150"), P("30", 1));
  EXPECT_EQ(Position(dir, twoAndFive, "120"), P("120", 0));  // the tie goes to the session
  EXPECT_EQ(Position(dir, twoAndFive, "121"), P("1", 1));
  EXPECT_EQ(Position(dir, twoAndFive, "420"), P("300", 1));
  EXPECT_EQ(Position(dir, twoAndFive, "421"), P("421", 2));
  EXPECT_EQ(Position(dir, twoAndFive, "0"), P("0", 0));
  EXPECT_EQ(Position(dir, twoAndFive, "abc"), P("abc", 0));
  EXPECT_EQ(Position(dir, twoAndFive, " 00"), P(" 00", 0));
  EXPECT_EQ(Position(dir, twoAndFive, "90s"), P("90", 0));
  EXPECT_EQ(Position(dir, {"10", "20"}, "700"), P("100", 1));
}

TEST_F(ConferenceTest, StartPositionWithOddDurations) {
  using P = std::pair<std::string, int>;
  EXPECT_EQ(Position(dir, {"abc", "2"}, "1"), P("1", 1));
  EXPECT_EQ(Position(dir, {"-5", "10"}, "10"), P("310", 1));
  EXPECT_EQ(Position(dir, {"60 min", "1"}, "3601"), P("1", 1));
  // Beyond 32 bits: a huge session holds any offset, and sums saturate.
  EXPECT_EQ(Position(dir, {"99999999999", "1"}, "2147483647"), P("2147483647", 0));
  EXPECT_EQ(Position(dir, {"-99999999999", "1"}, "5"), P("5", 2));
}

// Durations count to the millisecond; what is left of the offset goes to the
// player in whole seconds, rounded down.
TEST_F(ConferenceTest, StartPositionWithFractionsOfAMinute) {
  using P = std::pair<std::string, int>;
  EXPECT_EQ(Position(dir, {"1.5", "2"}, "90"), P("90", 0));
  EXPECT_EQ(Position(dir, {"1.5", "2"}, "91"), P("1", 1));
  EXPECT_EQ(Position(dir, {"0.25", "0.25", "1"}, "31"), P("1", 2));
  EXPECT_EQ(Position(dir, {"0.01", "1"}, "1"), P("0", 1));
  EXPECT_EQ(Position(dir, {"1.5 min", "1"}, "100"), P("10", 1));
  EXPECT_EQ(Position(dir, {"-1.5", "1"}, "10"), P("10", 2));
}

// The only test that asks ExistSessionToPlay: its first successful call loads
// the file once per process.
TEST_F(ConferenceTest, ExistSessionToPlayLoadsOnceAndAppliesTheOffset) {
  Conference c(Name());
  std::string start = "150";
  WriteFile(Name() + ".cf", "SessionsRecorded = 2\nTimeRecorded0 = 2\n");
  EXPECT_LT(c.ExistSessionToPlay(start), 0);
  EXPECT_EQ(c.Error(), "Corrupt conference file " + Name() + ".cf");

  WriteFile(Name() + ".cf", "SessionsRecorded = 2\nTimeRecorded0 = 2\nTimeRecorded1 = 5\n");
  EXPECT_EQ(c.ExistSessionToPlay(start), 1);
  EXPECT_EQ(start, "30");
  c.SessionPlayed();
  WriteFile(Name() + ".cf", "SessionsRecorded = 9\n");  // no longer read
  EXPECT_EQ(c.ExistSessionToPlay(start), 0);
}

TEST_F(ConferenceTest, TenThousandSessionsLoadSkipAndSaveInLinearTime) {
  const int32_t n = 10000;
  std::string cf = "SessionsRecorded = " + std::to_string(n) + "\n";
  for (int32_t i = 0; i < n; ++i) cf += "TimeRecorded" + std::to_string(i) + " = " + std::to_string(i % 7 + 1) + "\n";
  WriteFile(Name() + ".cf", cf);
  // Minutes 1..7 repeat, 28 minutes per 7 sessions: 9999 of them end before
  // the last one, which starts 30 s before the offset.
  int64_t before = 0;
  for (int32_t i = 0; i + 1 < n; ++i) before += (i % 7 + 1) * 60;
  std::string start = std::to_string(before + 30);

  timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  Conference c(Name());
  ASSERT_TRUE(Load(c));
  ManageStartPosition(&c, start);
  ASSERT_TRUE(c.SessionRecorded("9"));
  clock_gettime(CLOCK_MONOTONIC, &t1);
  std::printf("10000 sessions loaded, skipped and saved in %.1f ms\n",
              (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6);

  EXPECT_EQ(start, "30");
  EXPECT_EQ(ReadFile(Name() + ".cf"), cf.replace(0, cf.find('\n'), "SessionsRecorded = 10001") + "TimeRecorded10000 = 9\n");
  Conference again(Name());
  ASSERT_TRUE(Load(again));
  EXPECT_EQ(again.NumSessionsRecorded(), n + 1);
}

}  // namespace

