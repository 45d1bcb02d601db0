#include "net.h"

#include <string>

#include <gtest/gtest.h>

using namespace rtptools;

namespace {

TEST(Net, HostPortAndTtl) {
  const struct {
    const char* arg;
    bool ok;
    const char* host;
    uint16_t port;
    int ttl;
  } cases[] = {
      {"224.2.0.1/5004", true, "224.2.0.1", 5004, 1}, {"::1/5004/0", true, "::1", 5004, 0},
      {"[ff02::1]/6000", true, "ff02::1", 6000, 1},   {"/5004/16", true, "", 5004, 16},
      {"h/1/255", true, "h", 1, 255},                 {"h/65534", true, "h", 65534, 1},
      {"h", false, "", 0, 1},                         {"h/", false, "", 0, 1},
      {"h/0", false, "", 0, 1},                       {"h/65535", false, "", 0, 1},
      {"h/99999999999999999999", false, "", 0, 1},   {"h/-1", false, "", 0, 1},
      {"h/+5", false, "", 0, 1},                      {"h/ 5", false, "", 0, 1},
      {"h/5x", false, "", 0, 1},                      {"h/5004/256", false, "", 0, -1},
      {"h/5004/-1", false, "", 0, -1},                {"h/5004/", false, "", 0, -1},
      {"h//1", false, "", 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arg);
    std::string host;
    uint16_t port = 0;
    int ttl = -2;
    EXPECT_EQ(ParseHostPortTtl(c.arg, &host, &port, &ttl), c.ok);
    const std::string got = host + "/" + std::to_string(port) + "/" + std::to_string(ttl);
    if (c.ok) { EXPECT_EQ(got, std::string(c.host) + "/" + std::to_string(c.port) + "/" + std::to_string(c.ttl)); }
  }
}

}  // namespace
