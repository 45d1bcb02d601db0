#include "Conference.h"

#include "process.h"

class ConferenceTest : public ::testing::Test {
 protected:
  static bool Load(Conference& c) {
    std::fstream f;
    f >> c;
    return !f.fail();
  }
  TempDir dir;
  const std::string name = dir / "meeting";
};

TEST_F(ConferenceTest, DurationsRoundTripWhateverTheirText) {
  // Twelve sessions, so that two-digit indices are read too.
  const Args durations = {"60", "1000000", "12345678901", "60 min", "", "abc", "-5", " 7", "x=y", "9", "10", "11"};
  Conference writer(name);
  for (const auto& d : durations) ASSERT_TRUE(writer.SessionRecorded(d));
  Conference reader(name);
  ASSERT_TRUE(Load(reader));
  EXPECT_EQ(reader.TimesRecorded(), durations);
}

TEST_F(ConferenceTest, CorruptFilesAreRefusedAndLeftAlone) {
  for (const std::string text : {"", "SessionsRecorded = -1\n", "SessionsRecorded = two\n", "SessionsRecorded = \n",
                                 "SessionsRecorded = 3x\n", "SessionsRecorded = 99999999999\n",
                                 "SessionsRecorded = 2\nTimeRecorded0 = 60\n", "SessionsRecorded = 1\nno key here\n",
                                 "short\n"}) {
    SCOPED_TRACE(text);
    WriteFile(name + ".cf", text);
    Conference c(name);
    EXPECT_EQ(c.FileSessionToRecord(Audio), "");
    EXPECT_EQ(c.Error(), "Corrupt conference file " + name + ".cf");
    EXPECT_EQ(ReadFile(name + ".cf"), text);
    EXPECT_FALSE(std::filesystem::exists(name + ".0.a.rtp"));
  }
  Conference vanished(dir / "none");
  EXPECT_FALSE(Load(vanished));
}

// Sessions skipped and what is left of the offset, for durations in minutes;
// what is left goes on in whole seconds, rounded down.
TEST_F(ConferenceTest, StartPosition) {
  const struct { Args durations; std::string start, left; int first; } cases[] = {
      // The tie goes to the earlier session: 120 s into sessions of 2 and 5 minutes plays the first from its end.
      {{"2", "5"}, "150", "30", 1}, {{"2", "5"}, "120", "120", 0}, {{"2", "5"}, "121", "1", 1},
      {{"2", "5"}, "420", "300", 1}, {{"2", "5"}, "421", "421", 2}, {{"2", "5"}, "0", "0", 0},
      {{"2", "5"}, "abc", "abc", 0}, {{"2", "5"}, " 00", " 00", 0}, {{"2", "5"}, "90s", "90", 0},
      {{"10", "20"}, "700", "100", 1}, {{"abc", "2"}, "1", "1", 1}, {{"-5", "10"}, "10", "310", 1},
      {{"60 min", "1"}, "3601", "1", 1}, {{"99999999999", "1"}, "2147483647", "2147483647", 0},
      {{"-99999999999", "1"}, "5", "5", 2}, {{"1.5", "2"}, "90", "90", 0}, {{"1.5", "2"}, "91", "1", 1},
      {{"0.25", "0.25", "1"}, "31", "1", 2}, {{"0.01", "1"}, "1", "0", 1}, {{"1.5 min", "1"}, "100", "10", 1},
      {{"-1.5", "1"}, "10", "10", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.durations) + " " + c.start);
    Conference conf(name);
    for (const auto& d : c.durations) conf.SessionRecorded(d);
    for (size_t i = 0; i <= c.durations.size(); ++i) WriteFile(name + "." + std::to_string(i) + ".a.rtp", "");
    std::string text = c.start;
    ManageStartPosition(&conf, text);
    EXPECT_EQ(text, c.left);
    EXPECT_EQ(conf.FileSessionToPlay(Audio), name + "." + std::to_string(c.first) + ".a.rtp");
  }
}
