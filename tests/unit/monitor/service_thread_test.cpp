#include "monitor/service_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>

#include "support/service_process.h"

namespace fenra {
namespace {

using testing::ReadFile;
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
  // Sends the stop request and returns the thread's exit code.
  uint32_t StopAndJoin(const Handle& thread) {
    kernel.SetEvent(monitor.hServiceEvent.load());
    kernel.WaitForSingleObject(thread, win::kInfinite);
    uint32_t code = 0;
    kernel.GetExitCodeThread(thread, &code);
    return code;
  }
  std::filesystem::path Ini(const char* name) {
    return machine->HostPath(std::string("C:\\Windows\\system32\\") + name);
  }

  testing::ServiceProcess process;
  testing::TestMachine& machine = process.machine;
  Kernel& kernel = process.kernel;
  MonitorState& monitor = process.monitor;
};

// The start-up delay from FENRA.ini, tested between whole minutes of
// waiting, and the files the thread leaves. What a first start traces and
// starts is pinned by the core_first_start scenario, a stop in the delay by
// stop_during_startup, a missing settings key or Installdir by the
// core_settings_key_missing and core_installdir_* scenarios.
TEST_F(ServiceThreadTest, TheStartUpDelayAndTheIniFilesItLeaves) {
  const std::string defaults = "[MODE]\r\nSIMPLEX_FILTER_TIME=1200\r\n";
  const std::string timeout_defaults = "[MODE2]\r\nTIMEOUT_VALUE=30000\r\n";
  struct Case {
    std::optional<std::string> delay, timeout;  // the values in the files; none: no file
    int minutes;                                // the traced delay
    int timeout_ms;                             // the traced time-out of WMI calls
    uint64_t runs_out;                          // when the wait ends
    std::string delay_after, timeout_after;     // the files after the run
  };
  const auto delay_file = [](const std::string& value) { return "[MODE]\r\nSIMPLEX_FILTER_TIME=" + value + "\r\n"; };
  for (const Case& c : {
           Case{std::nullopt, std::nullopt, 20, 30000, 20 * kMinute, defaults, timeout_defaults},
           Case{"90", "1000", 1, 1000, 2 * kMinute, delay_file("90"), "[MODE2]\r\nTIMEOUT_VALUE=1000\r\n"},
           Case{"0", std::nullopt, 0, 30000, 0, delay_file("0"), timeout_defaults},
           Case{"soon", std::nullopt, 0, 30000, 0, delay_file("soon"), timeout_defaults},
           // -1 counts as missing; values that do not fit fall back.
           Case{"-1\r\n[OTHER]\r\nX=1", "-5", 20, 30000, 20 * kMinute, defaults, "[MODE2]\r\nTIMEOUT_VALUE=-5\r\n"},
           Case{"3000000", std::nullopt, 20, 30000, 20 * kMinute, delay_file("3000000"), timeout_defaults},
       }) {
    std::string what = c.delay.value_or("none");
    std::filesystem::remove(Ini("FENRA.ini"));
    std::filesystem::remove(Ini("FENRATIMEOUT.ini"));
    if (c.delay) WriteFile(Ini("FENRA.ini"), delay_file(*c.delay));
    if (c.timeout) WriteFile(Ini("FENRATIMEOUT.ini"), "[MODE2]\r\nTIMEOUT_VALUE=" + *c.timeout + "\r\n");
    kernel.ResetEvent(monitor.hServiceEvent.load());
    std::vector<std::string> seen;
    process.NewTraces();
    const std::string wait = "[ServiceThread]wait " + std::to_string(c.minutes) + " min";
    const std::string ran_out = "[ServiceThread]timiout (" + std::to_string(c.minutes) + " min)";
    const auto traced = [&](const std::string& line) { return std::ranges::find(seen, line) != seen.end(); };
    Handle thread = Start();
    if (c.runs_out > 0) {
      kernel.Sleep(c.runs_out - 1);
      seen = process.NewTraces();
      EXPECT_FALSE(traced(ran_out)) << what;
    }
    kernel.Sleep(2);
    std::ranges::copy(process.NewTraces(), std::back_inserter(seen));
    EXPECT_TRUE(traced(wait)) << what;
    EXPECT_TRUE(traced(ran_out)) << what;
    EXPECT_TRUE(traced("[ServiceThread]Timeout_value " + std::to_string(c.timeout_ms) + " ms")) << what;
    EXPECT_EQ(StopAndJoin(thread), 0u);
    EXPECT_EQ(ReadFile(Ini("FENRA.ini")), c.delay_after) << what;
    EXPECT_EQ(ReadFile(Ini("FENRATIMEOUT.ini")), c.timeout_after) << what;
    // The monitor let go of the hardware library and its timer manager's event.
    EXPECT_EQ(machine->hardware().LoadedLibraries(), 0) << what;
    EXPECT_FALSE(monitor.hSyncEventMTT) << what;
  }
}

// The hardware library is looked for in the vendor's installation folder
// too, the one Installdir names (expanded when it is REG_EXPAND_SZ).
TEST_F(ServiceThreadTest, TheHardwareLibraryIsFoundInTheFolderInstalldirNames) {
  WriteFile(Ini("FENRA.ini"), "[MODE]\r\nSIMPLEX_FILTER_TIME=0\r\n");
  sim::LibraryFacts library;
  library.present = true;
  library.folder = "C:\\Program Files\\QOR\\QVMAgent";
  machine->hardware().SetLibrary(library);
  struct Case {
    uint32_t type;
    std::string install_dir;
    bool found;
  };
  for (const Case& c : {Case{win::kRegSz, "C:\\Program Files\\QOR\\QVMAgent\\", true},
                        Case{win::kRegExpandSz, "%ProgramFiles%\\QOR\\QVMAgent", true},
                        Case{win::kRegSz, "C:\\Program Files\\Other\\", false}}) {
    process.SetValue("SOFTWARE\\QOR\\QVMAgent\\FT", "Installdir", c.type,
                     std::vector<uint8_t>(c.install_dir.c_str(), c.install_dir.c_str() + c.install_dir.size() + 1));
    kernel.ResetEvent(monitor.hServiceEvent.load());
    process.NewTraces();
    Handle thread = Start();
    kernel.Sleep(1000);
    std::vector<std::string> seen = process.NewTraces();
    EXPECT_EQ(machine->hardware().LoadedLibraries(), c.found ? 1 : 0) << c.install_dir;
    EXPECT_EQ(std::ranges::find(seen, "[ServiceThread]qvmsmsen.dll load Error = 126") == seen.end(), c.found)
        << c.install_dir;
    EXPECT_EQ(StopAndJoin(thread), 0u);
  }
}

// Each way out of the thread start (a thread that cannot be created, a stop
// request between the WMI threads) stops the timer manager and releases the
// library and the sync events before the thread returns, as the end of a
// normal run does. (A WMI thread blocked in its wait for a hardware event
// sees the stop only at that event, and is left.)
TEST_F(ServiceThreadTest, EveryExitFromTheThreadStartReleasesWhatWasMade) {
  WriteFile(Ini("FENRA.ini"), "[MODE]\r\nSIMPLEX_FILTER_TIME=0\r\n");
  struct Case {
    std::string fail;     // the thread whose creation fails; none: a stop request instead
    std::string traced;   // the line of that exit
  };
  for (const Case& c : {
           Case{"ManageTimerThread", "[ServiceThread]Create ManageTimerThread Error = 8"},
           Case{"WMIThread(0)", "[ServiceThread]Create WMIThread[0] Error = 8"},
           Case{"WMIThread(2)", "[ServiceThread]Create WMIThread[2] Error = 8"},
           Case{"", "[ServiceThread]ServiceEvent error// dwWake=0"},
       }) {
    kernel.ResetEvent(monitor.hServiceEvent.load());
    monitor.stopflg = 0;
    process.NewTraces();
    if (!c.fail.empty()) machine->kernel().FailThreadCreation(1, win::kErrorNotEnoughMemory, c.fail);
    Handle thread = Start();
    if (c.fail.empty()) {
      kernel.Sleep(kMinute + kMinute / 2);  // the timer manager and the first WMI thread run
      kernel.SetEvent(monitor.hServiceEvent.load());
    }
    ASSERT_EQ(kernel.WaitForSingleObject(thread, 10 * kMinute), win::kWaitObject0) << c.traced;
    std::vector<std::string> seen = process.NewTraces();
    EXPECT_NE(std::ranges::find(seen, c.traced), seen.end()) << c.traced;
    EXPECT_EQ(machine->hardware().LoadedLibraries(), 0) << c.traced;
    EXPECT_FALSE(monitor.hSyncEventCPU || monitor.hSyncEventPCI || monitor.hSyncEventMTT) << c.traced;
    std::string threads = machine->kernel().DescribeThreads();
    EXPECT_EQ(threads.find("ManageTimerThread"), std::string::npos) << c.traced << "\n" << threads;
  }
}

}  // namespace
}  // namespace fenra
