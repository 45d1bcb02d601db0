#include "jitter.h"

#include <gtest/gtest.h>

using namespace rtptools;

// Hand-computed: J += (|D| - J) / 16, D in ms at 8000 Hz (8 units a ms).
TEST(Jitter, FollowsRfc3550ForSmallStreams) {
  struct Packet { uint32_t timestamp, ms; };
  const struct {
    const char* name;
    std::vector<Packet> packets;
    double last, max, mean;
  } cases[] = {
      {"steady", {{0, 0}, {160, 20}, {320, 40}, {480, 60}}, 0, 0, 0},
      // From the fourth packet on, every one 10 ms later: D = 10 once.
      {"step", {{0, 0}, {160, 20}, {320, 40}, {480, 70}, {640, 90}, {800, 110}},
       0.625 * 15 / 16 * 15 / 16, 0.625, (0.625 + 0.625 * 15 / 16 + 0.625 * 15 / 16 * 15 / 16) / 5},
      // The second and third swapped: D = 0, then 1 + 20, then 19 - 40.
      {"reordered", {{0, 0}, {320, 40}, {160, 41}, {480, 60}}, 1.3125 + (21 - 1.3125) / 16,
       1.3125 + (21 - 1.3125) / 16, (1.3125 + 1.3125 + (21 - 1.3125) / 16) / 3},
      // Timestamps wrap past 2^32 and lead by 2 ms each packet: D = -2.
      {"wrap", {{4294967136u, 0}, {0, 18}, {160, 36}}, 0.125 + (2 - 0.125) / 16, 0.125 + (2 - 0.125) / 16,
       (0.125 + 0.125 + (2 - 0.125) / 16) / 2},
  };
  for (const auto& c : cases)
    for (bool rateLate : {false, true}) {
      Jitter j;
      if (!rateLate) j.SetRate(8000);
      for (const Packet& p : c.packets) j.Add(p.timestamp, p.ms);
      if (rateLate) j.SetRate(8000);
      EXPECT_EQ(j.Packets(), c.packets.size()) << c.name;
      EXPECT_NEAR(j.Last(), c.last, 1e-9) << c.name << (rateLate ? ", rate given late" : "");
      EXPECT_NEAR(j.Max(), c.max, 1e-9) << c.name << (rateLate ? ", rate given late" : "");
      EXPECT_NEAR(j.Mean(), c.mean, 1e-9) << c.name << (rateLate ? ", rate given late" : "");
    }
}
