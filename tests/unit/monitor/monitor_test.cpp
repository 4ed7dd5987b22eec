// The whole monitor on virtual time (scenario files pin the alerts, pulses
// and the end after failed subscriptions): ServiceThread with its WMI threads,
// timers, composers and pulses, against the simulated provider.

#include <gtest/gtest.h>

#include "monitor/monitor_start.h"
#include "monitor/service_thread.h"
#include "monitor/timer_threads.h"
#include "support/service_process.h"
#include "wmi/wmi_tables.h"

namespace fenra {
namespace {

using testing::WriteFile;

constexpr uint32_t kSecond = 1000;
constexpr uint32_t kMinute = 60 * kSecond;
// Without a start-up delay the third WMI thread starts three minutes in.
constexpr uint32_t kAllWatching = 3 * kMinute + 1;

sim::MachineOptions StartingAt(uint32_t start_tick) {
  sim::MachineOptions options = testing::VirtualTime();
  options.kernel.start_tick = start_tick;
  return options;
}

class MonitorTest : public ::testing::Test {
 protected:
  explicit MonitorTest(uint32_t start_tick = 0) : process(StartingAt(start_tick)) {
    WriteFile(machine->HostPath("C:\\Windows\\system32\\FENRA.ini"), "[MODE]\r\nSIMPLEX_FILTER_TIME=0\r\n");
    monitor.hServiceEvent.store(kernel.CreateEvent(true, false));
    monitor.hShutdownEvent.store(kernel.CreateEvent(true, false));
    monitor.m_PulseEvent.store(kernel.CreateEvent(true, false, kHotPlugEventGlobalName));
  }

  // Starts the monitor and waits until every group is watched.
  void StartMonitor() {
    thread = kernel.CreateThread([this] { return ServiceThread(process.runtime); }, "ServiceThread");
    kernel.Sleep(kAllWatching);
  }
  void Stop() {
    kernel.SetEvent(monitor.hServiceEvent.load());
    kernel.WaitForSingleObject(thread, win::kInfinite);
  }
  void SetState(const char* instance, int32_t state) { ASSERT_TRUE(machine->wmi().SetState(instance, state)); }
  std::vector<sim::EventLogRecord> Alerts() {
    std::vector<sim::EventLogRecord> alerts;
    for (const auto& record : machine.Events())
      if (record.source == "QVMFTMarvix") alerts.push_back(record);
    return alerts;
  }
  uint64_t Pulses() { return machine->kernel().PulseCount(monitor.m_PulseEvent.load()); }
  bool Ended(const Handle& worker) { return kernel.WaitForSingleObject(worker, 0) == win::kWaitObject0; }

  testing::ServiceProcess process;
  testing::TestMachine& machine = process.machine;
  Kernel& kernel = process.kernel;
  MonitorState& monitor = process.monitor;
  Handle thread;
};

// The PCI SIMPLEX timer starts just below the tick counter's 2^31 point and
// runs out beyond it; its DUPLEX timer starts a minute later, still below.
class MonitorAtTheTickTurnTest : public MonitorTest {
 protected:
  MonitorAtTheTickTurnTest() : MonitorTest(0x80000000u - 100000 - kAllWatching) {}
};

TEST_F(MonitorAtTheTickTurnTest, APciFlapIsFilteredAcrossTheTurnOfTheTickCounter) {
  StartMonitor();
  SetState("pci/10", STATE_SIMPLEX);
  kernel.Sleep(kMinute);
  SetState("pci/10", STATE_DUPLEX);
  kernel.Sleep(kSecond);
  EXPECT_TRUE(process.Traced("[TimerThread 4]start Limit time = 235 sec"));
  kernel.Sleep(235 * kSecond);
  EXPECT_TRUE(process.Traced("[TimerThread 4][PCI] DUP->SIMP->DUP"));
  EXPECT_TRUE(process.Traced("[TimerThread 4][PCI] StopTimer(1)"));
  kernel.Sleep(2 * kSecond);
  EXPECT_TRUE(process.Traced("[TimerThread 1]stop  timer cancel"));
  kernel.Sleep(10 * kMinute);
  EXPECT_TRUE(Alerts().empty());
  Stop();
}

TEST_F(MonitorTest, AStopEndsTimersPulseManagersAndPendingPulses) {
  StartMonitor();
  SetState("cpu/1", STATE_SIMPLEX);
  kernel.Sleep(10 * kSecond);
  Stop();
  EXPECT_TRUE(process.Traced("[TimerThread 0]stopflg=TRUE retrun 0"));
  EXPECT_TRUE(Ended(monitor.timers.Get(CHANGE_CPU_SIMPLEX).thread));
  for (auto& pulse_manager : monitor.hPulseManagerThread) EXPECT_TRUE(Ended(pulse_manager.load()));
  kernel.Sleep(5 * kMinute);
  EXPECT_EQ(Pulses(), 1u);
  EXPECT_FALSE(process.Traced("[PulseThread]PulseEvent"));
}

TEST_F(MonitorTest, ATimerThatFindsEveryComposerSlotTakenLosesItsAlert) {
  for (int slot = 0; slot < kLogOutSlots; ++slot) EXPECT_EQ(monitor.hLogOutThread.Claim(), slot);
  EXPECT_EQ(TimerThread(process.runtime, CHANGE_CPU_DUPLEX, kernel.TimeGetTime(), 0, " t\n"), 1u);
  EXPECT_EQ(process.NewTraces(), (std::vector<std::string>{"[TimerThread 3]time out  Limit time = 0 sec",
                                                          "[TimerThread 3]Create EventLogOut Faild"}));
  monitor.hLogOutThread.Free(5);
  EXPECT_EQ(TimerThread(process.runtime, CHANGE_CPU_DUPLEX, kernel.TimeGetTime(), 0, " t\n"), 1u);
  EXPECT_TRUE(process.Traced("[TimerThread 3]Create EventLogOut => hLogOutThread[5]"));
  kernel.WaitForSingleObject(monitor.hLogOutThread.Get(5), win::kInfinite);
}

}  // namespace
}  // namespace fenra
