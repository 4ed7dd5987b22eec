// The service from the service control manager's start to its stop, on
// virtual time: what the scenario files cannot see (the reports to the
// manager, the trace mutex, the kernel refusing the service's objects, a
// foreground run).

#include <gtest/gtest.h>

#include "diagnostics/event_ids.h"
#include "monitor/monitor_start.h"
#include "service/entry.h"
#include "service/service_module.h"
#include "support/service_process.h"
#include "support/test_machine.h"

namespace fenra {
namespace {

using testing::TestMachine;
using testing::VirtualTime;

constexpr uint32_t kStop = win::kServiceControlStop;
constexpr uint32_t kStartPending = win::kServiceStartPending;
constexpr uint32_t kRunning = win::kServiceRunning;
constexpr uint32_t kStopPending = win::kServiceStopPending;
constexpr uint32_t kStopped = win::kServiceStopped;

class ServiceLifecycleTest : public ::testing::Test {
 protected:
  explicit ServiceLifecycleTest(bool started_by_scm = true, TestMachine::Prepare prepare = nullptr)
      : machine(VirtualTime(started_by_scm), std::move(prepare)) {
    EXPECT_EQ(testing::RunFenra(*machine, "-Service"), 0);
  }

  // The process's main thread: the entry, which becomes the dispatcher.
  Handle StartProcess() {
    return kernel.CreateThread([this] { return static_cast<uint32_t>(ProcessEntry(module, machine.platform())); });
  }
  void Join(const Handle& thread) { ASSERT_EQ(kernel.WaitForSingleObject(thread, win::kInfinite), win::kWaitObject0); }
  bool Traced(const std::string& message) {
    auto messages = machine.TraceMessages();
    return std::find(messages.begin(), messages.end(), message) != messages.end();
  }
  std::vector<uint32_t> States() { return machine->service_control().ReportedStates(); }

  TestMachine machine;
  Kernel& kernel = machine.platform().kernel;
  CServiceModule module{machine.platform()};
};

// The order of the trace lines and the records' times of a stop in the
// start-up delay are in tests/scenarios/stop_in_delay.scn.
TEST_F(ServiceLifecycleTest, EveryStateIsReportedAndOnlyTheStopControlStops) {
  Handle process = StartProcess();
  kernel.Sleep(1000);
  // Every line of the service is serialised by its trace mutex from the first.
  EXPECT_TRUE(module.trace().HasTraceMutex());
  // What the handler does not handle it answers so, except interrogate.
  EXPECT_EQ(machine->service_control().SendControl(win::kServiceControlInterrogate), 0u);
  EXPECT_EQ(machine->service_control().SendControl(200), win::kErrorCallNotImplemented);
  kernel.Sleep(1000);
  EXPECT_EQ(States(), (std::vector<uint32_t>{kStartPending, kRunning}));
  machine->service_control().SendControl(kStop);
  Join(process);
  EXPECT_FALSE(module.trace().HasTraceMutex());
  EXPECT_EQ(States(), (std::vector<uint32_t>{kStartPending, kRunning, kStopPending, kStopped}));
  EXPECT_EQ(module.status().current_state, kStopped);
  EXPECT_EQ(module.status().win32_exit_code, 0u);
  EXPECT_EQ(machine->com().Outstanding(), 0);
}

// A start that the kernel or the manager refuses: what is reported, the
// records ("ID HH:MM:SS.mmm first-text|data", the ID as the event viewer
// shows it) and what is never traced.
struct RefusedStart {
  const char* name;
  std::function<void(sim::SimMachine&)> refuse;
  std::vector<uint32_t> states;
  std::vector<std::string> records;
  std::vector<std::string> untraced;
};

void PrintTo(const RefusedStart& refused, std::ostream* out) { *out << refused.name; }

class RefusedStartTest : public ServiceLifecycleTest, public ::testing::WithParamInterface<RefusedStart> {};

TEST_P(RefusedStartTest, EndsWithItsRecords) {
  GetParam().refuse(*machine);
  EXPECT_EQ(ProcessEntry(module, machine.platform()), 0);
  EXPECT_EQ(States(), GetParam().states);
  std::vector<std::string> records;
  for (const auto& event : machine.Events())
    records.push_back(std::to_string(event.event_id & 0xFFFF) + " " + event.time.substr(11) + " " +
                      event.strings.at(0) + "|" + event.data);
  EXPECT_EQ(records, GetParam().records);
  for (const std::string& line : GetParam().untraced) EXPECT_FALSE(Traced(line)) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusedStartTest,
    ::testing::Values(
        // No service thread: Run does not wait, says that monitoring ended,
        // and the stop follows the grace time.
        RefusedStart{"NamedEvent",
                     [](sim::SimMachine& m) { m.kernel().FailCreateNamedEvent(win::kErrorAccessDenied); },
                     {kStartPending, kRunning, kStopped},
                     {"1 00:00:00.000 |", "1037 00:00:00.000 |", "2 00:00:05.000 |"},
                     {"[Run] Wait start", "[m_PulseEventDel]CloseHandle"}},
        RefusedStart{"UnnamedEvent",
                     [](sim::SimMachine& m) { m.kernel().FailCreateUnnamedEvent(win::kErrorNotEnoughMemory); },
                     {kStartPending, kStopped},
                     {"1035 00:00:00.000 Function : CreateEvent()\r\n ErrCode: 8\r\n Contents : Not enough memory "
                      "resources are available to process this command.\r\n|"},
                     {"[Run]SERVICE_RUNNING"}},
        // The record carries the service name without its terminator.
        RefusedStart{"HandlerRegistration",
                     [](sim::SimMachine& m) { m.service_control().FailHandlerRegistration(win::kErrorInvalidParameter); },
                     {},
                     {"1033 00:00:00.000 Function : RegisterServiceCtrlHandler()\r\n ErrCode: 87\r\n Contents : The "
                      "parameter is incorrect.\r\n|46454e5241"},
                     {"[ServiceMain]RegisterServiceCtrlHandler"}}),
    [](const ::testing::TestParamInfo<RefusedStart>& refused) { return std::string(refused.param.name); });

// The hot-plug event is shared with other processes: in the global name
// space from Windows 2000 on, in the local one on an older system (true).
class HotPlugEventTest : public ServiceLifecycleTest, public ::testing::WithParamInterface<bool> {
 protected:
  HotPlugEventTest()
      : ServiceLifecycleTest(true, !GetParam() ? TestMachine::Prepare() : [](const std::filesystem::path& directory) {
          testing::WriteFile(directory / sim::SimMachine::kSystemFile, R"({"os": {"major": 4, "minor": 0}})");
        }) {}
};

TEST_P(HotPlugEventTest, IsOpenedInTheSystemsNameSpaceAndClosedAtTheStop) {
  Handle other_process = kernel.CreateEvent(true, false, GetParam() ? kHotPlugEventName : kHotPlugEventGlobalName);
  Handle process = StartProcess();
  kernel.Sleep(1000);
  EXPECT_EQ(module.monitor().m_PulseEvent.load(), other_process);
  machine->service_control().SendControl(kStop);
  Join(process);
  EXPECT_FALSE(module.monitor().m_PulseEvent);
  auto messages = machine.TraceMessages();
  EXPECT_LT(std::find(messages.begin(), messages.end(), "[m_PulseEventDel]CloseHandle"),
            std::find(messages.begin(), messages.end(), "[ServiceMain]SERVICE_STOPPED"));
}

INSTANTIATE_TEST_SUITE_P(NewAndOldSystem, HotPlugEventTest, ::testing::Bool());

class ConsoleStartTest : public ServiceLifecycleTest {
 protected:
  ConsoleStartTest() : ServiceLifecycleTest(false) {}
};

// A foreground run ends by the last Unlock (the stop that Ctrl-C gives is
// the installation tests' foreground run); it reports nothing to the
// manager.
TEST_F(ConsoleStartTest, RunsInTheForegroundUntilUnlocked) {
  module.Lock();
  Handle process = StartProcess();
  kernel.Sleep(1000);
  EXPECT_FALSE(module.is_service());
  EXPECT_EQ(module.Unlock(), 0);
  Join(process);
  EXPECT_FALSE(module.trace().HasTraceMutex());
  EXPECT_TRUE(States().empty());
  EXPECT_TRUE(machine->service_control().RefusedReports().empty()) << "no report without a status handle";
  EXPECT_EQ(machine.EventIds(), (std::vector<uint32_t>{EVID_SERVICE_STARTED, EVID_SERVICE_STOPPED}));
  auto messages = machine.TraceMessages();
  EXPECT_EQ(messages.front(), "[Run]SERVICE_RUNNING");
  EXPECT_TRUE(Traced("[ServiceThread]ServiceEvent error// dwWake=0"));
  EXPECT_FALSE(Traced("[ServiceMain]SERVICE_STOPPED"));
}

TEST_F(ConsoleStartTest, AServiceThreadThatCannotBeCreatedIsTraced) {
  machine->kernel().FailCreateThread(win::kErrorNotEnoughMemory);
  EXPECT_EQ(ProcessEntry(module, machine.platform()), 0);
  EXPECT_TRUE(Traced("[StartThread]Create ServiceThread Error = 8"));
  EXPECT_EQ(machine.EventIds(),
            (std::vector<uint32_t>{EVID_SERVICE_STARTED, EVID_MONITOR_ENDED, EVID_SERVICE_STOPPED}));
}

}  // namespace
}  // namespace fenra
