// The whole monitor on virtual time: ServiceThread with its WMI threads,
// timers, composers and pulses, against the simulated provider.

#include <gtest/gtest.h>

#include "diagnostics/event_ids.h"
#include "monitor/monitor_start.h"
#include "monitor/service_thread.h"
#include "monitor/timer_threads.h"
#include "settings/persistent_state.h"
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

TEST_F(MonitorTest, ASimplexThatLastsIsAnnouncedAfterTheShortThresholdWithItsOccurrenceTime) {
  process.SetValue(kCpuBoardKey, "SimplexShortThreshold", win::kRegDword, {2, 0, 0, 0});
  StartMonitor();
  EXPECT_TRUE(process.Traced("  (CPU) --> DUPLEX DUPLEX"));
  SetState("cpu/1", STATE_SIMPLEX);  // 00:03:00
  kernel.Sleep(2 * kMinute - kSecond);
  EXPECT_TRUE(Alerts().empty());
  kernel.Sleep(2 * kSecond);
  auto alerts = Alerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].event_id, EVID_SIMPLEX_ALERT);
  EXPECT_EQ(alerts[0].strings[0],
            "CPU Module changed to SIMPLEX state.\n[Occurrence Time] 2026.01.01  00:03:00\n"
            " (BMC FW:01.23  Zelm: 1.1)\n[Details]\n0 DUPLEX\n1 SIMPLEX");
  EXPECT_TRUE(process.Traced("[TimerThread 0]start Limit time = 120 sec"));
  EXPECT_TRUE(process.Traced("[TimerThread 0]Create EventLogOut => hLogOutThread[0]"));
  EXPECT_TRUE(process.Value(kCpuBoardKey, "SimplexDate"));

  // Back to DUPLEX: announced a second later.
  SetState("cpu/1", STATE_DUPLEX);
  kernel.Sleep(3 * kSecond);
  alerts = Alerts();
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_EQ(alerts[1].event_id, EVID_DUPLEX_ALERT);
  EXPECT_TRUE(alerts[1].strings[0].starts_with("CPU Module changed to DUPLEX state.\n[Occurrence Time] "
                                               "2026.01.01  00:05:01\n"))
      << alerts[1].strings[0];
  Stop();
}

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

TEST_F(MonitorTest, EachReadableEventGivesOneDelayedPulseAndAtMostFifteenWait) {
  StartMonitor();
  EXPECT_EQ(Pulses(), 1u);  // ServiceThread's own
  for (int i = 0; i < 16; ++i) {
    SetState("DOD_SCSISlot/10/1", STATE_ONLINE);
    kernel.Sleep(kSecond);
  }
  kernel.Sleep(120 * kSecond - 16 * kSecond - kSecond);
  EXPECT_EQ(Pulses(), 1u);
  kernel.Sleep(kSecond + 200);
  EXPECT_EQ(Pulses(), 2u);
  kernel.Sleep(20 * kSecond);
  EXPECT_EQ(Pulses(), 16u);
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

TEST_F(MonitorTest, AWmiThreadThatGivesUpEndsTheMonitor) {
  machine->wmi().ScriptFault(sim::WmiFault::kNotificationQuery, 100);
  StartMonitor();
  // The CPU thread subscribes from minute 1 on, 30 s apart: its 20th
  // failure comes 9.5 minutes later.
  kernel.Sleep(kMinute + 19 * 30 * kSecond - kAllWatching - 1);
  EXPECT_TRUE(machine.Events().empty());
  kernel.Sleep(2);
  std::vector<uint32_t> ids;
  for (const auto& record : machine.Events()) ids.push_back(record.event_id);
  EXPECT_EQ(ids, (std::vector<uint32_t>{EVID_WMI_UNAVAILABLE, EVID_MONITOR_ENDED}));
  EXPECT_EQ(kernel.WaitForSingleObject(monitor.hShutdownEvent.load(), 0), win::kWaitObject0);
  EXPECT_EQ(kernel.WaitForSingleObject(thread, 5 * kSecond), win::kWaitObject0);
  kernel.Sleep(5 * kMinute);
  EXPECT_EQ(machine.Events().size(), 2u);
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
