// The service from the service control manager's start to its stop, on
// virtual time.

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
  // Index of `message` in the trace, or -1.
  long Position(const std::string& message) {
    auto messages = machine.TraceMessages();
    auto found = std::find(messages.begin(), messages.end(), message);
    return found == messages.end() ? -1 : found - messages.begin();
  }

  TestMachine machine;
  Kernel& kernel = machine.platform().kernel;
  CServiceModule module{machine.platform()};
};

TEST_F(ServiceLifecycleTest, AStopDuringTheStartupDelayStopsFiveSecondsLater) {
  Handle process = StartProcess();
  kernel.Sleep(90000);
  // Every line of the service is serialised by its trace mutex from the first.
  EXPECT_TRUE(module.trace().HasTraceMutex());
  machine->service_control().SendControl(kStop);
  Join(process);
  EXPECT_FALSE(module.trace().HasTraceMutex());

  EXPECT_EQ(machine->service_control().ReportedStates(),
            (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning, win::kServiceStopPending,
                                   win::kServiceStopped}));
  long handler = Position("[Handler]SERVICE_CONTROL_STOP");
  long wait_end = Position("[Run] Wait end");
  long stopped = Position("[ServiceMain]SERVICE_STOPPED");
  EXPECT_GE(handler, 0);
  EXPECT_LT(handler, wait_end);
  EXPECT_LT(wait_end, stopped);
  // The monitor hears of the stop no later than Run ends its wait.
  long monitor_heard = Position("[ServiceThread]ServiceEvent error// dwWake=0");
  EXPECT_GE(monitor_heard, 0);
  EXPECT_LT(monitor_heard, wait_end);
  EXPECT_EQ(machine.TraceMessages().front(), "[ServiceMain]RegisterServiceCtrlHandler");

  auto events = machine.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].source, "QVMZUFT");
  EXPECT_EQ(events[0].event_id, EVID_SERVICE_STARTED);
  EXPECT_EQ(events[0].time, "2026-01-01T00:00:00.000");
  EXPECT_EQ(events[1].event_id, EVID_SERVICE_STOPPED);
  EXPECT_EQ(events[1].time, "2026-01-01T00:01:35.000");
  EXPECT_EQ(module.status().current_state, win::kServiceStopped);
  EXPECT_EQ(module.status().win32_exit_code, 0u);
  EXPECT_EQ(machine->com().Outstanding(), 0);
}

TEST_F(ServiceLifecycleTest, InterrogateAndOtherControlsChangeNothing) {
  Handle process = StartProcess();
  kernel.Sleep(1000);
  machine->service_control().SendControl(win::kServiceControlInterrogate);
  machine->service_control().SendControl(200);
  kernel.Sleep(1000);
  EXPECT_EQ(machine->service_control().ReportedStates(),
            (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning}));
  EXPECT_EQ(machine.EventIds(), std::vector<uint32_t>{EVID_SERVICE_STARTED});
  EXPECT_EQ(Position("[Handler]SERVICE_CONTROL_STOP"), -1);
  machine->service_control().SendControl(kStop);
  Join(process);
}

TEST_F(ServiceLifecycleTest, AFailingStartThreadStillGivesBothRecords) {
  machine->kernel().FailCreateNamedEvent(win::kErrorAccessDenied);
  Handle process = StartProcess();
  Join(process);
  EXPECT_EQ(machine.EventIds(), (std::vector<uint32_t>{EVID_SERVICE_STARTED, EVID_SERVICE_STOPPED}));
  auto events = machine.Events();
  EXPECT_EQ(events[1].time, "2026-01-01T00:00:05.000");
  EXPECT_EQ(machine->service_control().ReportedStates(),
            (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning, win::kServiceStopped}));
  EXPECT_EQ(Position("[Run] Wait start"), -1);
  EXPECT_EQ(Position("[m_PulseEventDel]CloseHandle"), -1);
}

TEST_F(ServiceLifecycleTest, EventsThatCannotBeCreatedStopTheServiceFromStartPending) {
  machine->kernel().FailCreateUnnamedEvent(win::kErrorNotEnoughMemory);
  Handle process = StartProcess();
  Join(process);
  EXPECT_EQ(machine->service_control().ReportedStates(),
            (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceStopped}));
  auto events = machine.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, EVID_API_FAILED);
  EXPECT_TRUE(events[0].strings[0].starts_with("Function : CreateEvent()\r\n ErrCode: 8\r\n")) << events[0].strings[0];
  EXPECT_EQ(Position("[Run]SERVICE_RUNNING"), -1);
}

TEST_F(ServiceLifecycleTest, AFailedHandlerRegistrationIsReportedWithTheServiceName) {
  machine->service_control().FailHandlerRegistration(win::kErrorInvalidParameter);
  Handle process = StartProcess();
  Join(process);
  auto events = machine.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event_id, EVID_CTRL_HANDLER_FAILED);
  EXPECT_EQ(events[0].data, "46454e5241");  // "FENRA", no terminator
  EXPECT_EQ(events[0].strings[0],
            "Function : RegisterServiceCtrlHandler()\r\n ErrCode: 87\r\n Contents : The parameter is incorrect.\r\n");
  EXPECT_TRUE(machine->service_control().ReportedStates().empty());
  EXPECT_TRUE(machine.TraceMessages().empty());
}

TEST_F(ServiceLifecycleTest, TheHotPlugEventLivesInTheGlobalNameSpaceUntilTheStop) {
  Handle other_process = kernel.CreateEvent(true, false, kHotPlugEventGlobalName);
  Handle process = StartProcess();
  kernel.Sleep(1000);
  EXPECT_EQ(module.monitor().m_PulseEvent.load(), other_process);
  machine->service_control().SendControl(kStop);
  Join(process);
  EXPECT_FALSE(module.monitor().m_PulseEvent);
  EXPECT_LT(Position("[m_PulseEventDel]CloseHandle"), Position("[ServiceMain]SERVICE_STOPPED"));
}

class ConsoleStartTest : public ServiceLifecycleTest {
 protected:
  ConsoleStartTest() : ServiceLifecycleTest(false) {}
};

TEST_F(ConsoleStartTest, RunsInTheForegroundWithoutStatusReports) {
  Handle process = StartProcess();
  kernel.Sleep(1000);
  EXPECT_FALSE(module.is_service());
  module.Handler(kStop);  // what Ctrl-C does on a console
  Join(process);
  EXPECT_TRUE(machine->service_control().ReportedStates().empty());
  EXPECT_EQ(machine.EventIds(), (std::vector<uint32_t>{EVID_SERVICE_STARTED, EVID_SERVICE_STOPPED}));
  EXPECT_EQ(machine.TraceMessages().front(), "[Run]SERVICE_RUNNING");
  EXPECT_EQ(Position("[ServiceMain]SERVICE_STOPPED"), -1);
  EXPECT_FALSE(module.trace().HasTraceMutex());
}

TEST_F(ConsoleStartTest, TheLastUnlockEndsAForegroundRun) {
  module.Lock();
  Handle process = StartProcess();
  kernel.Sleep(1000);
  EXPECT_EQ(module.Unlock(), 0);
  Join(process);
  EXPECT_EQ(machine.EventIds(), (std::vector<uint32_t>{EVID_SERVICE_STARTED, EVID_SERVICE_STOPPED}));
  EXPECT_GE(Position("[ServiceThread]ServiceEvent error// dwWake=0"), 0);
}

TEST_F(ConsoleStartTest, AServiceThreadThatCannotBeCreatedIsTraced) {
  machine->kernel().FailCreateThread(win::kErrorNotEnoughMemory);
  EXPECT_EQ(ProcessEntry(module, machine.platform()), 0);
  EXPECT_GE(Position("[StartThread]Create ServiceThread Error = 8"), 0);
  EXPECT_EQ(machine.EventIds(), (std::vector<uint32_t>{EVID_SERVICE_STARTED, EVID_SERVICE_STOPPED}));
}

class OldSystemTest : public ServiceLifecycleTest {
 protected:
  OldSystemTest()
      : ServiceLifecycleTest(true, [](const std::filesystem::path& directory) {
          testing::WriteFile(directory / sim::SimMachine::kSystemFile, R"({"os": {"major": 4, "minor": 0}})");
        }) {}
};

TEST_F(OldSystemTest, TheHotPlugEventUsesTheLocalNameSpace) {
  Handle process = StartProcess();
  kernel.Sleep(1000);
  kernel.CreateEvent(true, false, kHotPlugEventGlobalName);
  EXPECT_EQ(kernel.GetLastError(), win::kErrorSuccess);
  kernel.CreateEvent(true, false, kHotPlugEventName);
  EXPECT_EQ(kernel.GetLastError(), win::kErrorAlreadyExists);
  machine->service_control().SendControl(kStop);
  Join(process);
}

// Each start of the service is a process of its own on one machine: its
// module and monitor state are new, the machine's files carry over.
TEST(ServiceProcessTest, ARestartIsANewProcessWithFreshStateOnTheSameMachine) {
  TestMachine machine;
  ASSERT_EQ(testing::RunFenra(*machine, "-Service"), 0);
  Kernel& kernel = machine.platform().kernel;
  std::vector<sim::SimProcess*> processes;
  std::vector<CServiceModule*> modules;
  auto service = [&](sim::SimProcess& process) {
    processes.push_back(&process);
    modules.push_back(&process.Make<CServiceModule>(process.platform()));
    return static_cast<uint32_t>(ProcessEntry(*modules.back(), process.platform()));
  };
  sim::ProcessOptions by_scm;
  by_scm.started_by_scm = true;
  Handle first = machine->StartProcess(by_scm, service);
  kernel.Sleep(1000);
  processes[0]->service_control().SendControl(kStop);
  ASSERT_EQ(kernel.WaitForSingleObject(first, win::kInfinite), win::kWaitObject0);

  Handle second = machine->StartProcess(by_scm, service);
  kernel.Sleep(1000);
  ASSERT_EQ(modules.size(), 2u);
  EXPECT_EQ(modules[1]->status().current_state, win::kServiceRunning);
  EXPECT_EQ(processes[1]->service_control().ReportedStates(),
            (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning}));
  processes[1]->service_control().SendControl(kStop);
  ASSERT_EQ(kernel.WaitForSingleObject(second, win::kInfinite), win::kWaitObject0);
  EXPECT_EQ(machine.EventIds(), (std::vector<uint32_t>{EVID_SERVICE_STARTED, EVID_SERVICE_STOPPED, EVID_SERVICE_STARTED,
                                        EVID_SERVICE_STOPPED}));
}

}  // namespace
}  // namespace fenra
