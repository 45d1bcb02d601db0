#include "net.h"

#include <string>

#include <gtest/gtest.h>

using namespace rtptools;

TEST(Net, HostPortAndTtl) {
  std::string host;
  uint16_t port = 0;
  int ttl = -2;
  const std::pair<const char*, const char*> accepted[] = {
      {"224.2.0.1/5004", "224.2.0.1/5004/1"}, {"::1/5004/0", "::1/5004/0"}, {"[ff02::1]/6000", "[ff02::1]/6000/1"},
      {"/5004/16", "/5004/16"}, {"h/1/255", "h/1/255"}, {"h/65534", "h/65534/1"}};
  for (auto [arg, want] : accepted) {
    EXPECT_TRUE(ParseHostPortTtl(arg, &host, &port, &ttl)) << arg;
    EXPECT_EQ(host + "/" + std::to_string(port) + "/" + std::to_string(ttl), want);
  }
  for (const char* arg : {"h", "h/", "h/0", "h/65535", "h/99999999999999999999", "h/-1", "h/+5", "h/ 5", "h/5x",
                          "h/5004/256", "h/5004/-1", "h/5004/", "h//1"})
    EXPECT_FALSE(ParseHostPortTtl(arg, &host, &port, &ttl)) << arg;
}
