#include "monitor/service_thread.h"

#include <gtest/gtest.h>

#include "diagnostics/event_ids.h"
#include "settings/persistent_state.h"
#include "support/service_process.h"

namespace fenra {
namespace {

using testing::ReadFile;
using testing::TestMachine;
using testing::WriteFile;

constexpr uint64_t kMinute = 60000;

class ServiceThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    monitor.hServiceEvent.store(kernel.CreateEvent(true, false));
    monitor.hShutdownEvent.store(kernel.CreateEvent(true, false));
  }

  Handle Start() {
    return kernel.CreateThread([this] { return ServiceThread(process.runtime); });
  }
  uint32_t Join(const Handle& thread) {
    kernel.WaitForSingleObject(thread, win::kInfinite);
    uint32_t code = 0;
    kernel.GetExitCodeThread(thread, &code);
    return code;
  }
  // Sends the stop request and returns the thread's exit code.
  uint32_t StopAndJoin(const Handle& thread) {
    kernel.SetEvent(monitor.hServiceEvent.load());
    return Join(thread);
  }
  std::filesystem::path Ini(const char* name) {
    return machine->HostPath(std::string("C:\\Windows\\system32\\") + name);
  }

  testing::ServiceProcess process;
  TestMachine& machine = process.machine;
  Kernel& kernel = process.kernel;
  MonitorState& monitor = process.monitor;
};

TEST_F(ServiceThreadTest, AFirstStartWritesTheDefaultsWaitsTwentyMinutesAndStartsTheMonitor) {
  Handle thread = Start();
  kernel.Sleep(20 * kMinute - 1);
  EXPECT_FALSE(process.Traced("[ServiceThread]timiout (20 min)"));
  kernel.Sleep(2);
  EXPECT_TRUE(process.Traced("[ServiceThread]timiout (20 min)"));
  EXPECT_EQ(ReadFile(Ini("FENRA.ini")), "[MODE]\r\nSIMPLEX_FILTER_TIME=1200\r\n");
  EXPECT_EQ(ReadFile(Ini("FENRATIMEOUT.ini")), "[MODE2]\r\nTIMEOUT_VALUE=30000\r\n");
  auto messages = machine.TraceMessages();
  EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 5),
            (std::vector<std::string>{"[ServiceThread]start thread", "[ServiceThread]Timeout_value 30000 ms",
                                      "[ServiceThread]waitPulseTime = 120 sec", "[ServiceThread]wait 20 min",
                                      "[ServiceThread]timiout (20 min)"}));

  // The baseline machine is of generation 0 (its driver file says 1.1).
  const MonitorConfig& config = monitor.config();
  EXPECT_EQ(config.dwPlatformGen, 0u);
  EXPECT_EQ(config.Timeout_value, 30000);
  EXPECT_EQ(config.waitPulseTime, 120);
  EXPECT_STREQ(config.szDeviceClassName[7], "SCSI Slot");
  EXPECT_STREQ(config.szIdsDetails, "[Details]");
  EXPECT_EQ(process.Value(kCpuBoardKey, "SimplexLongThreshold"),
            (testing::RegValue{win::kRegDword, {0x40, 0xFA, 0x01, 0}}));  // 129600, created
  EXPECT_EQ(config.dwCpuLongThreshold, 129600u);
  EXPECT_EQ(config.dwPciShortThreshold, 5u);
  EXPECT_TRUE(process.Traced("[CheckSerialNumber]SerialNumber inconsistancy // SerialNumberPci13"));
  EXPECT_EQ(machine->hardware().LoadedLibraries(), 1);

  // The timer manager at once, the WMI threads a minute apart.
  EXPECT_TRUE(process.Traced("[ManageTimerThread]start"));
  kernel.Sleep(kMinute - 2);
  EXPECT_FALSE(process.Traced("[WMIThread 0]start"));
  kernel.Sleep(2);
  EXPECT_TRUE(process.Traced("[WMIThread 0]start"));
  kernel.Sleep(2 * kMinute);
  EXPECT_TRUE(process.Traced("[WMIThread 2]start"));
  EXPECT_TRUE(process.Traced("[ServiceThread]PulseEvent = 0"));  // no hot-plug event in this test

  EXPECT_EQ(StopAndJoin(thread), 0u);
  EXPECT_EQ(monitor.stopflg.load(), 1);
  EXPECT_TRUE(process.Traced("[ServiceThread]End retrun 0"));
  EXPECT_TRUE(process.Traced("[ManageTimerThread]stopflg=TRUE retrun 0"));
  EXPECT_EQ(machine->hardware().LoadedLibraries(), 0);
  EXPECT_FALSE(monitor.hSyncEventMTT);
}

TEST_F(ServiceThreadTest, TheDelayIsTestedBetweenWholeMinutesOfWaiting) {
  WriteFile(Ini("FENRA.ini"), "[MODE]\r\nSIMPLEX_FILTER_TIME=90\r\n");
  Handle thread = Start();
  kernel.Sleep(2 * kMinute - 1);
  EXPECT_FALSE(process.Traced("[ServiceThread]timiout (1 min)"));
  kernel.Sleep(2);
  EXPECT_TRUE(process.Traced("[ServiceThread]timiout (1 min)"));
  EXPECT_TRUE(process.Traced("[ServiceThread]wait 1 min"));
  StopAndJoin(thread);
}

TEST_F(ServiceThreadTest, ZeroOrNonNumericDelayStartsAtOnce) {
  for (const char* value : {"0", "soon"}) {
    WriteFile(Ini("FENRA.ini"), std::string("[MODE]\r\nSIMPLEX_FILTER_TIME=") + value + "\r\n");
    std::filesystem::remove(machine.TracePath("fenratrace1.log"));
    kernel.ResetEvent(monitor.hServiceEvent.load());
    Handle thread = Start();
    kernel.Sleep(1);
    EXPECT_TRUE(process.Traced("[ServiceThread]timiout (0 min)")) << value;
    StopAndJoin(thread);
    EXPECT_EQ(ReadFile(Ini("FENRA.ini")), std::string("[MODE]\r\nSIMPLEX_FILTER_TIME=") + value + "\r\n");
  }
}

TEST_F(ServiceThreadTest, MinusOneCountsAsMissingAndNegativeValuesFallBack) {
  WriteFile(Ini("FENRA.ini"), "[MODE]\r\nSIMPLEX_FILTER_TIME=-1\r\n[OTHER]\r\nX=1\r\n");
  WriteFile(Ini("FENRATIMEOUT.ini"), "[MODE2]\r\nTIMEOUT_VALUE=-5\r\n");
  Handle thread = Start();
  kernel.Sleep(1);
  StopAndJoin(thread);
  EXPECT_EQ(ReadFile(Ini("FENRA.ini")), "[MODE]\r\nSIMPLEX_FILTER_TIME=1200\r\n");
  EXPECT_EQ(ReadFile(Ini("FENRATIMEOUT.ini")), "[MODE2]\r\nTIMEOUT_VALUE=-5\r\n");
  EXPECT_TRUE(process.Traced("[ServiceThread]Timeout_value 30000 ms"));
  EXPECT_TRUE(process.Traced("[ServiceThread]wait 20 min"));
}

TEST_F(ServiceThreadTest, ADelayThatOverflowsMillisecondsFallsBack) {
  WriteFile(Ini("FENRA.ini"), "[MODE]\r\nSIMPLEX_FILTER_TIME=3000000\r\n");
  Handle thread = Start();
  kernel.Sleep(1);
  EXPECT_TRUE(process.Traced("[ServiceThread]wait 20 min"));
  StopAndJoin(thread);
}

TEST_F(ServiceThreadTest, AStopDuringTheDelayEndsTheThreadAtOnce) {
  Handle thread = Start();
  kernel.Sleep(5 * kMinute + 30000);
  EXPECT_EQ(StopAndJoin(thread), 0u);
  EXPECT_EQ(kernel.TimeGetTime(), 5 * kMinute + 30000);
  auto messages = machine.TraceMessages();
  EXPECT_EQ(messages.back(), "[ServiceThread]ServiceEvent error// dwWake=0");
  EXPECT_EQ(messages.size(), 5u);
  EXPECT_EQ(monitor.stopflg.load(), 0);
}

TEST_F(ServiceThreadTest, PulseEventWaitCountIsReadAsFourBytes) {
  process.SetValue(kSettingsKey, "PulseEventWaitCount", win::kRegDword, {45, 0, 0, 0});
  Handle thread = Start();
  kernel.Sleep(1);
  StopAndJoin(thread);
  EXPECT_TRUE(process.Traced("[ServiceThread]waitPulseTime = 45 sec"));

  process.SetValue(kSettingsKey, "PulseEventWaitCount", win::kRegBinary, {45, 0, 0, 0, 0, 0, 0, 0});
  monitor.hServiceEvent.store(kernel.CreateEvent(true, false));
  thread = Start();
  kernel.Sleep(1);
  StopAndJoin(thread);
  EXPECT_TRUE(process.Traced("[ServiceThread]waitPulseTime = 120 sec"));
}

TEST_F(ServiceThreadTest, AMissingSettingsKeyIsReportedWithItsPath) {
  ASSERT_EQ(machine.platform().registry.DeleteKey(Hive::kLocalMachine, kSettingsKey), 0);
  EXPECT_EQ(Join(Start()), 1u);
  auto events = machine.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, EVID_API_FAILED);
  EXPECT_TRUE(events[0].strings[0].starts_with("Function : RegOpenKeyEx()\r\n ErrCode: 2\r\n Cont"))
      << events[0].strings[0];
  // "SOFTWARE\QOR\QVMAgent\FT" and its terminator: 25 bytes.
  EXPECT_EQ(events[0].data, "534f4654574152455c514f525c51564d4167656e745c465400");
}

TEST_F(ServiceThreadTest, AMissingOrOverlongInstalldirIsReported) {
  process.DeleteValue(kSettingsKey, "Installdir");
  EXPECT_EQ(Join(Start()), 0u);
  std::string too_long(300, 'd');
  process.SetValue(kSettingsKey, "Installdir", win::kRegSz, std::vector<uint8_t>(too_long.begin(), too_long.end() + 1));
  EXPECT_EQ(Join(Start()), 0u);

  auto events = machine.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(events[0].strings[0].starts_with("Function : RegQueryValueEx()\r\n ErrCode: 2\r\n"))
      << events[0].strings[0];
  EXPECT_EQ(events[0].data, "496e7374616c6c64697200");
  EXPECT_TRUE(events[1].strings[0].starts_with("Function : RegQueryValueEx()\r\n ErrCode: 234\r\n"))
      << events[1].strings[0];
  EXPECT_EQ(machine.TraceMessages(),
            (std::vector<std::string>{"[ServiceThread]start thread", "[ServiceThread]start thread"}));
}

}  // namespace
}  // namespace fenra
