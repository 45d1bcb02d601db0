#include "hpt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(Hpt, TakesSpecificationsApart) {
  // What the argument holds afterwards; port "-" and ttl "keep" when left unchanged.
  const struct { const char *spec; int result; const char *host, *port, *ttl; } cases[] = {
      {"224.2.0.1/400", 0, "224.2.0.1", "400", "keep"}, {"224.2.0.1/400/127", 0, "224.2.0.1", "400", "127"},
      {"224.2.0.1/401", -2, "224.2.0.1", "-", "keep"}, {"224.2.0.1", -1, "224.2.0.1", "-", "keep"},
      {"host/abc", 0, "host", "0", "keep"}, {"host/-4", 0, "host", "-4", "keep"},
      {"host/-3", -2, "host", "-", "keep"}, {"/400", 0, "", "400", "keep"},
      {"host/400/16/9", 0, "host", "400", "16"}, {"host/400/", 0, "host", "400", "0"},
      {"host/400/999", 0, "host", "400", "999"}, {"host/400/x", 0, "host", "400", "0"},
      {"host/0400", 0, "host", "400", "keep"}, {"host/400abc", 0, "host", "400", "keep"},
      {"host/ +8", 0, "host", "8", "keep"}, {"ff02::1/5004/4", 0, "ff02::1", "5004", "4"},
      {"h/400/1234567890", 0, "h", "400", "1234567890"}, {"h/400/99999999999999999999", 0, "h", "400", "2147483647"},
      {"h/99999999999", -2, "h", "-", "keep"},  // saturates at INT_MAX, which is odd
  };
  for (const auto& c : cases) {
    std::vector<char> arg(c.spec, c.spec + std::string(c.spec).size() + 1);
    std::string port = "-", ttl = "keep";
    EXPECT_EQ(hpt(arg.data(), port, &ttl), c.result) << c.spec;
    EXPECT_EQ(std::string(arg.data()) + " " + port + " " + ttl, std::string(c.host) + " " + c.port + " " + c.ttl) << c.spec;
  }
  char arg[] = "h/400/16";
  std::string port;
  EXPECT_EQ(hpt(arg, port, nullptr), 0);  // no TTL asked for
  EXPECT_EQ(port, "400");
}
