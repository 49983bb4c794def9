// Entry point of the test programs that need the simulated USB adapters: they run under the
// umockdev preload, which they start themselves.
#include <gtest/gtest.h>

#include "chassis_sim/usb_testbed.h"

int main(int argc, char** argv) {
  chassis_sim::ensurePreload(argv);
  testing::InitGoogleTest(&argc, argv);
  // The simulator runs threads; a death test must not fork a copy of them mid-lock, so its
  // child starts the program afresh instead.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
