// The monitor's timers against its composer slots. The whole monitor on
// virtual time is pinned by the scenario files: a PCI flap across the turn
// of the tick counter (core_pci_flap_tick_turn), a stop that ends running
// timers (wmi_lost, stop_during_startup) and pending pulses (stop_mid_wait).

#include <gtest/gtest.h>

#include "monitor/timer_threads.h"
#include "support/service_process.h"

namespace fenra {
namespace {

TEST(MonitorTest, ATimerThatFindsEveryComposerSlotTakenLosesItsAlert) {
  testing::ServiceProcess process;
  MonitorState& monitor = process.monitor;
  monitor.hServiceEvent.store(process.kernel.CreateEvent(true, false));
  for (int slot = 0; slot < kLogOutSlots; ++slot) EXPECT_EQ(monitor.hLogOutThread.Claim(), slot);
  EXPECT_EQ(TimerThread(process.runtime, CHANGE_CPU_DUPLEX, process.kernel.TimeGetTime(), 0, " t\n"), 1u);
  EXPECT_EQ(process.NewTraces(), (std::vector<std::string>{"[TimerThread 3]time out  Limit time = 0 sec",
                                                          "[TimerThread 3]Create EventLogOut Faild"}));
  monitor.hLogOutThread.Free(5);
  EXPECT_EQ(TimerThread(process.runtime, CHANGE_CPU_DUPLEX, process.kernel.TimeGetTime(), 0, " t\n"), 1u);
  EXPECT_TRUE(process.Traced("[TimerThread 3]Create EventLogOut => hLogOutThread[5]"));
  process.kernel.WaitForSingleObject(monitor.hLogOutThread.Get(5), win::kInfinite);
}

}  // namespace
}  // namespace fenra
