#include "hpt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  const char* spec;
  int result;
  const char* host;  // what the argument holds afterwards
  const char* port;  // "-" when left unchanged
  const char* ttl;
};

TEST(Hpt, TakesSpecificationsApart) {
  const Case cases[] = {
      {"224.2.0.1/400", 0, "224.2.0.1", "400", "keep"},
      {"224.2.0.1/400/127", 0, "224.2.0.1", "400", "127"},
      {"224.2.0.1/401", -2, "224.2.0.1", "-", "keep"},
      {"224.2.0.1", -1, "224.2.0.1", "-", "keep"},
      {"host/abc", 0, "host", "0", "keep"},
      {"host/-4", 0, "host", "-4", "keep"},
      {"host/-3", -2, "host", "-", "keep"},
      {"/400", 0, "", "400", "keep"},
      {"host/400/16/9", 0, "host", "400", "16"},
      {"host/400/", 0, "host", "400", "0"},
      {"host/400/999", 0, "host", "400", "999"},
      {"host/400/x", 0, "host", "400", "0"},
      {"host/0400", 0, "host", "400", "keep"},
      {"host/400abc", 0, "host", "400", "keep"},
      {"host/ +8", 0, "host", "8", "keep"},
      {"ff02::1/5004/4", 0, "ff02::1", "5004", "4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    std::vector<char> arg(c.spec, c.spec + std::string(c.spec).size() + 1);
    std::string port = "-", ttl = "keep";
    EXPECT_EQ(hpt(arg.data(), port, &ttl), c.result);
    EXPECT_STREQ(arg.data(), c.host);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(ttl, c.ttl);
  }
}

TEST(Hpt, LeavesTtlAloneWhenNoneIsAskedFor) {
  char arg[] = "h/400/16";
  std::string port;
  EXPECT_EQ(hpt(arg, port, nullptr), 0);
  EXPECT_EQ(port, "400");
}

TEST(Hpt, LongNumbersArePassedOnWholeOrSaturate) {
  char ttl10[] = "h/400/1234567890";
  std::string port, ttl;
  EXPECT_EQ(hpt(ttl10, port, &ttl), 0);
  EXPECT_EQ(ttl, "1234567890");

  char big[] = "h/400/99999999999999999999";
  EXPECT_EQ(hpt(big, port, &ttl), 0);
  EXPECT_EQ(ttl, "2147483647");

  char bigPort[] = "h/-99999999999999999999";
  EXPECT_EQ(hpt(bigPort, port, &ttl), 0);
  EXPECT_EQ(port, "-2147483648");

  // INT_MAX is odd, so a port beyond the range is refused as odd.
  char oddBig[] = "h/99999999999";
  EXPECT_EQ(hpt(oddBig, port, &ttl), -2);
}

}  // namespace
