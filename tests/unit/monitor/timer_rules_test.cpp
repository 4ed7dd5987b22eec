#include <gtest/gtest.h>

#include "monitor/monitor_state.h"
#include "monitor/timer_threads.h"

namespace fenra {
namespace {

// The limits of the DUPLEX timers are pinned by the pci_flap,
// core_pci_flap_tick_turn and tick_wrap_2_32 scenarios and checked by the
// explorer's model on every run; the flap rule's one-millisecond edge is
// here. Start ticks just below the points where a signed comparison of two
// tick values goes wrong (2^31) and where the counter wraps (2^32).
constexpr uint32_t kStarts[] = {0, 0x80000000u - 100000, 0xFFFFFFFFu - 100000};

TEST(TimerTableTest, AFlapIsAbsorbedOnlyWhileTheDuplexTimerHasMoreThanTheMarginToRun) {
  for (uint32_t s : kStarts) {
    TimerTable timers;
    timers.RaiseChange(CHANGE_PCI_SIMPLEX);
    timers.RaiseChange(CHANGE_PCI_DUPLEX);
    ASSERT_TRUE(timers.TakeStartRequest(CHANGE_PCI_DUPLEX, " t\n"));
    timers.BeginStart(CHANGE_PCI_DUPLEX, s + 200000);
    timers.Started(CHANGE_PCI_DUPLEX, std::make_shared<KernelObject>());

    EXPECT_FALSE(timers.AbsorbFlap(CHANGE_PCI_SIMPLEX, s + 198000, 2000)) << s;
    EXPECT_TRUE(timers.AbsorbFlap(CHANGE_PCI_SIMPLEX, s + 197999, 2000)) << s;
    EXPECT_FALSE(timers.Get(CHANGE_PCI_SIMPLEX).change);
    EXPECT_TRUE(timers.TakeStop(CHANGE_PCI_DUPLEX));
  }
}

TEST(TimerTableTest, ACancelForATimerThatEndedDoesNotLinger) {
  TimerTable timers;
  timers.RaiseChange(CHANGE_CPU_SIMPLEX);
  ASSERT_TRUE(timers.TakeStartRequest(CHANGE_CPU_SIMPLEX, " t\n"));
  timers.BeginStart(CHANGE_CPU_SIMPLEX, 1000);
  timers.Started(CHANGE_CPU_SIMPLEX, std::make_shared<KernelObject>());
  timers.Ended(CHANGE_CPU_SIMPLEX);
  EXPECT_FALSE(timers.StopIfRunning(CHANGE_CPU_SIMPLEX));
  timers.Collected(CHANGE_CPU_SIMPLEX);

  timers.RaiseChange(CHANGE_CPU_SIMPLEX);
  ASSERT_TRUE(timers.TakeStartRequest(CHANGE_CPU_SIMPLEX, " t\n"));
  timers.BeginStart(CHANGE_CPU_SIMPLEX, 2000);
  EXPECT_FALSE(timers.TakeStop(CHANGE_CPU_SIMPLEX));
}

}  // namespace
}  // namespace fenra
