#include "args.h"

#include <climits>

#include <gtest/gtest.h>

using namespace rtptools;

TEST(Args, IntegersAsAtoiReadsThem) {
  const std::pair<const char*, int> loose[] = {
      {"", 0}, {"abc", 0}, {"90s", 90}, {"  \t-17x", -17}, {"+5", 5}, {"- 5", 0}, {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN}, {"2147483648", INT_MAX}, {"-2147483649", INT_MIN}, {"000000000000000000000042", 42}};
  for (auto [text, value] : loose) EXPECT_EQ(TextToInt(text), value) << text;
}

// Leading minutes in milliseconds, and whether -t takes the text as it is.
TEST(Args, MinutesWithFractions) {
  const struct { const char* text; int64_t ms; bool duration; } cases[] = {
      {"90", 5400000, true}, {"1.5", 90000, true}, {"0.25", 15000, true}, {".5", 30000, true}, {"0.05", 3000, true},
      {"1000000", 60000000000, true}, {"0.9999999", 60000, true}, {"0.0000001", 1, true},  // rounded up: never shorter
      {"1.0000000001", 60001, true}, {"2.0000000000", 120000, true}, {"99999999999999999999", kMaxMinutes * 60000, true},
      {"0", 0, false}, {"0.0", 0, false}, {"60 min", 3600000, false}, {" 7", 420000, false}, {"+2", 120000, false},
      {"-1.5", -90000, false}, {"1.", 60000, false}, {"1.5.3", 90000, false}, {"1e3", 60000, false},
      {"abc", 0, false}, {".", 0, false}, {"", 0, false}, {"1\n2", 60000, false},
  };
  for (const auto& c : cases) {
    int64_t ms = -1;
    EXPECT_EQ(MinutesToMs(c.text), c.ms) << c.text;
    EXPECT_EQ(ParseMinutes(c.text, &ms), c.duration) << c.text;
    EXPECT_EQ(ms, c.duration ? c.ms : -1) << c.text;
  }
  const char* text = "1.5 min";
  const char* end = nullptr;
  MinutesToMs(text, &end);
  EXPECT_EQ(end, text + 3);
}
