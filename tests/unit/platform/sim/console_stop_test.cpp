// Ctrl-C and SIGTERM on the console of the simulated service.

#include "platform/sim/console_stop.h"

#include <gtest/gtest.h>

namespace fenra::sim {
namespace {

TEST(ConsoleStopTest, AStopIsHeldUntilTakenAndASecondCtrlCEndsTheProcess) {
  int offers = 0;
  bool ready = false;
  ConsoleStop stop([&] { return ++offers, ready; });
  EXPECT_FALSE(stop.OnSignal(SIGTERM));
  EXPECT_TRUE(stop.Held());
  ready = true;
  stop.Retry();
  stop.Retry();
  EXPECT_FALSE(stop.Held());
  EXPECT_EQ(offers, 2) << "offered until taken, then no more";
  EXPECT_FALSE(stop.OnSignal(SIGTERM));
  EXPECT_TRUE(stop.OnSignal(SIGINT));
}

}  // namespace
}  // namespace fenra::sim
