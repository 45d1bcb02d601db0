// Each test runs in a process of its own (ctest), in a network of its own.
#include <gtest/gtest.h>

#include "udp.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  UseOwnNetwork();
  return RUN_ALL_TESTS();
}
