// Ctrl-C and SIGTERM on the console of the simulated service.

#include "platform/sim/console_stop.h"

#include <gtest/gtest.h>

namespace fenra::sim {
namespace {

TEST(ConsoleStopTest, AStopTheServiceCannotTakeYetIsHeldUntilItIsTaken) {
  int offers = 0;
  bool ready = false;
  ConsoleStop stop([&] {
    ++offers;
    return ready;
  });
  EXPECT_FALSE(stop.Held());
  EXPECT_FALSE(stop.OnSignal(SIGTERM));
  EXPECT_TRUE(stop.Held());
  stop.Retry();
  EXPECT_EQ(offers, 2);
  ready = true;
  stop.Retry();
  EXPECT_FALSE(stop.Held());
  stop.Retry();
  EXPECT_EQ(offers, 3) << "taken once, offered no more";
}

TEST(ConsoleStopTest, ACtrlCAfterTheFirstSignalEndsTheProcess) {
  ConsoleStop stop([] { return false; });
  EXPECT_FALSE(stop.OnSignal(SIGINT));
  EXPECT_FALSE(stop.OnSignal(SIGTERM));
  EXPECT_TRUE(stop.OnSignal(SIGINT));
}

}  // namespace
}  // namespace fenra::sim
