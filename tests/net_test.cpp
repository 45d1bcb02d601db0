#include "net.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace rtptools;

namespace {

TEST(HostPort, SplitsAtTheLastSlash) {
  struct Case {
    const char* arg;
    const char* host;
    uint16_t port;
  } cases[] = {{"224.2.0.1/5004", "224.2.0.1", 5004},
               {"::1/5004", "::1", 5004},
               {"[ff02::1]/6000", "ff02::1", 6000},
               {"/5004", "", 5004},
               {"host.example/1", "host.example", 1},
               {"h/65534", "h", 65534}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    std::string host;
    uint16_t port = 0;
    ASSERT_TRUE(ParseHostPort(c.arg, &host, &port));
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
  }
}

TEST(HostPort, RejectsBadPorts) {
  for (const char* arg : {"h", "h/", "h/0", "h/65535", "h/99999999999999999999", "h/-1",
                          "h/+5", "h/ 5", "h/5x", "h/0x10"}) {
    SCOPED_TRACE(arg);
    std::string host;
    uint16_t port;
    EXPECT_FALSE(ParseHostPort(arg, &host, &port));
  }
}

TEST(HostPort, TtlIsTheLastField) {
  std::string host;
  uint16_t port;
  int ttl;
  ASSERT_TRUE(ParseHostPortTtl("::1/5004/0", &host, &port, &ttl));
  EXPECT_EQ(host, "::1");
  EXPECT_EQ(port, 5004);
  EXPECT_EQ(ttl, 0);
  ASSERT_TRUE(ParseHostPortTtl("224.2.0.1/5006/255", &host, &port, &ttl));
  EXPECT_EQ(host, "224.2.0.1");
  EXPECT_EQ(ttl, 255);
  ASSERT_TRUE(ParseHostPortTtl("127.0.0.1/5004", &host, &port, &ttl));
  EXPECT_EQ(ttl, 1);
  ASSERT_TRUE(ParseHostPortTtl("/5004/16", &host, &port, &ttl));
  EXPECT_EQ(host, "");
  for (const char* arg : {"h/5004/256", "h/5004/-1", "h/5004/", "h/0/1", "h/65535/1", "h//1"}) {
    SCOPED_TRACE(arg);
    EXPECT_FALSE(ParseHostPortTtl(arg, &host, &port, &ttl));
  }
}

TEST(Resolve, LiteralsAndMulticast) {
  std::vector<Address> out;
  std::string error;
  ASSERT_TRUE(Resolve("224.2.3.4", 5004, true, &out, &error)) << error;
  EXPECT_TRUE(out[0].IsMulticast());
  EXPECT_EQ(out[0].Ipv4(), 0xE0020304u);
  EXPECT_EQ(out[0].Port(), 5004);
  EXPECT_EQ(out[0].ToString(), "224.2.3.4/5004");
  ASSERT_TRUE(Resolve("239.255.255.255", 1, true, &out, &error));
  EXPECT_TRUE(out[0].IsMulticast());
  ASSERT_TRUE(Resolve("223.255.255.255", 1, true, &out, &error));
  EXPECT_FALSE(out[0].IsMulticast());
  ASSERT_TRUE(Resolve("ff0e::1", 7, true, &out, &error));
  EXPECT_TRUE(out[0].IsMulticast());
  EXPECT_EQ(out[0].Ipv4(), 0u);
  out[0].SetPort(8);
  EXPECT_EQ(out[0].ToString(), "[ff0e::1]/8");
  ASSERT_TRUE(Resolve("::1", 7, true, &out, &error));
  EXPECT_FALSE(out[0].IsMulticast());
}

TEST(Resolve, ReservedNameIsUnknown) {
  std::vector<Address> out;
  std::string error;
  EXPECT_FALSE(Resolve("nosuch.invalid", 5004, false, &out, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
