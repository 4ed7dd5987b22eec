// Registration and installation from the command line: FENRA.exe run with
// its command words as processes of a simulated machine, on virtual time.

#include <gtest/gtest.h>

#include "diagnostics/event_ids.h"
#include "runner/scenario.h"
#include "runner/scenario_machine.h"
#include "service/com_registration.h"
#include "service/entry.h"
#include "service/service_module.h"
#include "support/service_process.h"

namespace fenra {
namespace {

using testing::RegValue;
using testing::RunFenra;

constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\FENRA";
constexpr const char* kZuftSource = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\QVMZUFT";
constexpr const char* kMarvixSource = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\QVMFTMarvix";
constexpr Hive kHkcr = Hive::kClassesRoot;

using std::string_literals::operator""s;

RegValue Text(uint32_t type, const std::string& bytes) { return RegValue{type, {bytes.begin(), bytes.end()}}; }

class InstallationTest : public ::testing::Test {
 protected:
  explicit InstallationTest(testing::TestMachine::Prepare prepare = nullptr)
      : process(testing::VirtualTime(), std::move(prepare)) {}

  sim::SimMachine& machine() { return *process.machine; }
  int Run(const std::string& arguments) { return RunFenra(machine(), arguments); }
  bool Installed() {
    ScHandlePtr scm = machine().service_control().OpenSCManager(win::kScManagerConnect);
    return machine().service_control().OpenService(*scm, "FENRA", win::kServiceQueryConfig) != nullptr;
  }
  std::optional<std::string> AppIdValue(const std::string& name) {
    return machine().registry().GetString(kHkcr, AppIdKey(), name);
  }
  // Starts the installed service as the service control manager does.
  Handle StartService() {
    machine().SetServiceImage(testing::FenraImage);
    ScHandlePtr scm = machine().service_control().OpenSCManager(win::kScManagerConnect);
    ScHandlePtr service = machine().service_control().OpenService(*scm, "FENRA", win::kServiceStart);
    EXPECT_TRUE(service && machine().service_control().StartService(*service, {}));
    return machine().LastServiceProcess();
  }

  testing::ServiceProcess process;
  Kernel& kernel = process.kernel;
};

TEST_F(InstallationTest, CommandWordsEndTheCommandLineInAnyCaseAfterAHyphenOrASlash) {
  // Not a command word: the process runs, and without registration it ends
  // with the registry's error at once.
  EXPECT_EQ(Run("-Service -x"), static_cast<int>(win::kErrorFileNotFound));
  EXPECT_FALSE(Installed());
  EXPECT_TRUE(process.machine.EventIds().empty());

  EXPECT_EQ(Run("/service"), 0);
  EXPECT_TRUE(Installed());
  EXPECT_EQ(Run("-unregserver"), 0);
  EXPECT_FALSE(Installed());
  EXPECT_EQ(AppIdValue(""), std::nullopt);
  EXPECT_EQ(Run("-SERVICE"), 0);
  EXPECT_TRUE(Installed());

  // Hyphens and slashes inside the executable's own path give tokens that
  // match no word.
  EXPECT_EQ(RunFenra(machine(), "/RegServer", "C:\\my-tools/x64\\FENRA.exe"), 0);
  EXPECT_FALSE(Installed());
  EXPECT_EQ(AppIdValue(""), "FENRA");
  EXPECT_EQ(AppIdValue("LocalService"), std::nullopt);
}

// The values and their data on a 64-bit server are the settings page's
// (reference_pages_test); here the 32-bit server's paths.
TEST_F(InstallationTest, RegisteringAsAServiceAgainRemovesAndRecreatesIt) {
  ASSERT_EQ(Run("-Service"), 0);
  const RegValue image = Text(win::kRegExpandSz, "C:\\Windows\\system32\\FENRA.exe\0"s);
  const RegValue message_file = Text(win::kRegExpandSz, "C:\\Windows\\system32\\FENRAAPI.dll\0"s);
  EXPECT_EQ(process.Value(kServiceKey, "ImagePath"), image);
  EXPECT_EQ(process.Value(kZuftSource, "EventMessageFile"), message_file);
  std::string type_library = std::string("TypeLib\\") + kLibId + "\\1.0\\409\\win32";
  EXPECT_EQ(machine().registry().GetString(kHkcr, type_library, ""), "C:\\Windows\\system32\\FENRA.exe");

  process.SetText(kServiceKey, "ImagePath", "D:\\\0"s);
  process.SetText(kZuftSource, "EventMessageFile", "D:\\old.dll\0"s);
  ASSERT_EQ(Run("-Service"), 0);
  EXPECT_EQ(process.Value(kServiceKey, "ImagePath"), image);
  EXPECT_EQ(process.Value(kZuftSource, "EventMessageFile"), message_file);

  // The installation is kept in the machine's registry file.
  sim::SimMachine restarted(machine().directory());
  ScHandlePtr scm = restarted.service_control().OpenSCManager(win::kScManagerConnect);
  EXPECT_NE(restarted.service_control().OpenService(*scm, "FENRA", win::kServiceQueryConfig), nullptr);
}

TEST_F(InstallationTest, RegServerAfterServiceMakesTheNextStartAForegroundRun) {
  ASSERT_EQ(Run("-Service"), 0);
  ASSERT_EQ(Run("-RegServer"), 0);
  EXPECT_FALSE(Installed());
  EXPECT_EQ(AppIdValue(""), "FENRA");
  EXPECT_EQ(AppIdValue("LocalService"), std::nullopt);
  EXPECT_EQ(process.Value(kZuftSource, "TypesSupported"), std::nullopt);

  // Even a process the manager would serve runs in the foreground now.
  CServiceModule* module = nullptr;
  sim::ProcessOptions by_scm;
  by_scm.started_by_scm = true;
  Handle next = machine().StartProcess(by_scm, [&](sim::SimProcess& started) {
    module = &started.Make<CServiceModule>(started.platform());
    return static_cast<uint32_t>(ProcessEntry(*module, started.platform()));
  });
  kernel.Sleep(1000);
  EXPECT_FALSE(module->is_service());
  module->Handler(win::kServiceControlStop);
  ASSERT_EQ(kernel.WaitForSingleObject(next, win::kInfinite), win::kWaitObject0);
  EXPECT_TRUE(machine().service_manager().ReportedStates("FENRA").empty());
  EXPECT_EQ(process.machine.EventIds(), (std::vector<uint32_t>{EVID_SERVICE_STARTED, EVID_SERVICE_STOPPED}));
}

TEST_F(InstallationTest, EventSourceKeysOfNoInstallationAreLeftAsTheyStand) {
  const RegValue stale = Text(win::kRegSz, "D:\\stale\\FENRAAPI.dll\0"s);
  process.SetValue(kZuftSource, "EventMessageFile", stale.type, stale.data);
  ASSERT_EQ(Run("-RegServer"), 0);
  ASSERT_EQ(Run("-UnregServer"), 0);
  EXPECT_EQ(process.Value(kZuftSource, "EventMessageFile"), stale);
  RegKeyPtr key;
  EXPECT_EQ(machine().registry().OpenKey(kHkcr, std::string("TypeLib\\") + kLibId, win::kKeyRead, &key), 2);

  // Install leaves an existing source alone, even with a stale file.
  ASSERT_EQ(Run("-Service"), 0);
  EXPECT_EQ(process.Value(kZuftSource, "EventMessageFile"), stale);
  EXPECT_NE(process.Value(kMarvixSource, "EventMessageFile"), std::nullopt);
}

TEST_F(InstallationTest, AMissingAppIdKeyEndsTheProcessWithTheRegistryError) {
  ASSERT_EQ(Run("-Service"), 0);
  machine().registry().DeleteKey(kHkcr, AppIdKey());
  EXPECT_EQ(RunFenra(machine(), ""), static_cast<int>(win::kErrorFileNotFound));
  EXPECT_TRUE(process.machine.EventIds().empty());
  EXPECT_TRUE(machine().service_manager().ReportedStates("FENRA").empty());
}

TEST_F(InstallationTest, ManagerFailuresAreShownAndEndTheRegistrationWithTheirError) {
  machine().service_manager().FailOpenSCManager(win::kErrorAccessDenied);
  EXPECT_EQ(Run("-Service"), win::HresultFromWin32(win::kErrorAccessDenied));
  EXPECT_EQ(machine().system().MessageBoxes(),
            std::vector<std::string>{"FENRA: Could not open ServiceControlManager"});
  EXPECT_EQ(AppIdValue("LocalService"), "FENRA");
}

TEST_F(InstallationTest, InstallingWhileTheServiceRunsStopsItAndInstallsItAgain) {
  ASSERT_EQ(Run("-Service"), 0);
  Handle service_process = StartService();
  kernel.Sleep(60000);  // in its start-up delay
  ASSERT_EQ(kernel.WaitForSingleObject(service_process, 0), win::kWaitTimeout);

  // Whether each record found its source registered as it was written: the
  // event viewer takes a record's texts from its source's message file, and
  // Windows puts a record of an unknown source in the Application log.
  std::vector<bool> registered;
  machine().event_log().SetRecordObserver([&](const sim::EventLogRecord& record, bool) {
    RegKeyPtr key;
    registered.push_back(machine().registry().OpenKey(Hive::kLocalMachine, kZuftSource, win::kKeyRead, &key) == 0 &&
                         record.source == "QVMZUFT");
  });
  EXPECT_EQ(Run("-Service"), 0);
  machine().event_log().SetRecordObserver(nullptr);
  EXPECT_EQ(registered, std::vector<bool>{true}) << "the stop record, under its registered source";
  EXPECT_EQ(kernel.WaitForSingleObject(service_process, 0), win::kWaitObject0) << "asked to stop, and stopped";
  EXPECT_TRUE(Installed());
  EXPECT_EQ(AppIdValue("LocalService"), "FENRA");
  EXPECT_NE(process.Value(kZuftSource, "EventMessageFile"), std::nullopt);
  // The service's own records of its run are whole.
  EXPECT_EQ(process.machine.EventIds(), (std::vector<uint32_t>{EVID_SERVICE_STARTED, EVID_SERVICE_STOPPED}));
  EXPECT_TRUE(process.Traced("[ServiceMain]SERVICE_STOPPED"));
  EXPECT_EQ(machine().service_manager().ReportedStates("FENRA"),
            (std::vector<uint32_t>{win::kServiceStartPending, win::kServiceRunning, win::kServiceStopPending,
                                   win::kServiceStopped}));

  // A service whose process is ended is stopped for the manager.
  service_process = StartService();
  kernel.Sleep(1000);
  ASSERT_TRUE(machine().kernel().TerminateProcess(service_process, 1));
  kernel.Sleep(0);
  EXPECT_EQ(machine().service_manager().SendControl("FENRA", win::kServiceControlStop), win::kErrorServiceNotActive);

  // Uninstalled while it runs, it is asked to stop too, and goes.
  service_process = StartService();
  kernel.Sleep(1000);
  EXPECT_EQ(Run("-UnregServer"), 0);
  EXPECT_EQ(kernel.WaitForSingleObject(service_process, 0), win::kWaitObject0);
  EXPECT_FALSE(Installed());
}

// What an upgrade script meets: the old service already stopping (sc stop
// FENRA just before), marked for deletion by an earlier removal, or held
// open by the Services console. The installation waits for the old one to
// go and installs the new one, or says what keeps it and fails; it never
// ends with success and no service.
TEST_F(InstallationTest, AReinstallWaitsForAStoppingOrMarkedServiceToGo) {
  ASSERT_EQ(Run("-Service"), 0);
  ScHandlePtr scm = machine().service_control().OpenSCManager(win::kScManagerAllAccess);
  for (const bool marked_before : {false, true}) {
    SCOPED_TRACE(marked_before ? "marked for deletion before" : "stopping before");
    Handle service_process = StartService();
    kernel.Sleep(60000);
    if (marked_before) {
      // sc delete FENRA while it runs.
      ScHandlePtr service = machine().service_control().OpenService(*scm, "FENRA", win::kDelete);
      ASSERT_TRUE(service && machine().service_control().DeleteService(*service));
    } else {
      // The stop takes its 5-second grace time; a second stop is refused
      // with 1061 meanwhile.
      ASSERT_EQ(machine().service_manager().SendControl("FENRA", win::kServiceControlStop), 0u);
    }
    EXPECT_EQ(Run("-Service"), 0);
    ASSERT_EQ(kernel.WaitForSingleObject(service_process, 120000), win::kWaitObject0);
    kernel.Sleep(1000);
    EXPECT_TRUE(Installed()) << "the new service, not the old one that was going";
    EXPECT_NE(process.Value(kZuftSource, "EventMessageFile"), std::nullopt);
    EXPECT_NE(process.Value(kMarvixSource, "EventMessageFile"), std::nullopt);
    EXPECT_TRUE(machine().system().MessageBoxes().empty());
  }
}

TEST_F(InstallationTest, AServiceHeldOpenElsewhereIsNotReplacedByNothing) {
  ASSERT_EQ(Run("-Service"), 0);
  // The Services console has the service open.
  ScHandlePtr scm = machine().service_control().OpenSCManager(win::kScManagerConnect);
  ScHandlePtr console = machine().service_control().OpenService(*scm, "FENRA", win::kServiceQueryStatus);
  ASSERT_NE(console, nullptr);

  const uint32_t before = kernel.TimeGetTime();
  EXPECT_EQ(Run("-Service"), win::HresultFromWin32(win::kErrorServiceMarkedForDelete));
  EXPECT_GE(kernel.TimeGetTime() - before, CServiceModule::kRemovalWaitMs) << "it waited for the handle to go";
  ASSERT_EQ(machine().system().MessageBoxes().size(), 1u);
  EXPECT_NE(machine().system().MessageBoxes()[0].find("Close the Services console"), std::string::npos);
  EXPECT_TRUE(Installed()) << "the old service, marked for deletion";

  // Once the console is closed the old service goes, and the installation
  // run again installs the new one.
  console.reset();
  EXPECT_FALSE(Installed());
  EXPECT_EQ(Run("-Service"), 0);
  EXPECT_TRUE(Installed());
  EXPECT_NE(process.Value(kZuftSource, "EventMessageFile"), std::nullopt);
}

// The CPU pair's loss on a generation-0 server, announced after its 1-minute
// threshold; its alert composer's status walk then waits on WMI time-outs
// of a minute each, so a stop waits up to a minute for the composer.
constexpr const char* kBusyComposer = R"(clock 2026-12-03 10:00:00
registry HKLM\SOFTWARE\QOR\Trelvane TrelvaneVersion sz 1.1
registry HKLM\SOFTWARE\QOR\QVMAgent\FT\CpuBoard SimplexShortThreshold dword 1
ini FENRA.ini MODE SIMPLEX_FILTER_TIME 0
ini FENRATIMEOUT.ini MODE2 TIMEOUT_VALUE 60000
module DOD_CPUBoard 0 DUPLEX
module DOD_CPUBoard 1 DUPLEX
0:05:00 state DOD_CPUBoard 1 REMOVED
0:05:00 state DOD_CPUBoard 0 SIMPLEX
0:10:00 end
)";

class BusyComposerInstallationTest : public InstallationTest {
 protected:
  BusyComposerInstallationTest()
      : InstallationTest([](const std::filesystem::path& directory) {
          runner::PrepareMachineDirectory(runner::ParseScenario(kBusyComposer, "busy_composer"), directory);
        }) {}
};

TEST_F(BusyComposerInstallationTest, ReinstallingWhileAnAlertIsComposedWaitsForTheStopAndEndsInstalled) {
  const runner::Scenario scenario = runner::ParseScenario(kBusyComposer, "busy_composer");
  runner::ApplySetup(scenario, machine());
  ASSERT_EQ(Run("-Service"), 0);
  Handle service_process = StartService();
  kernel.Sleep(5 * 60000);
  for (const runner::TimedStep& step : scenario.steps) {
    if (const auto* change = std::get_if<runner::ChangeState>(&step.action)) {
      ASSERT_TRUE(machine().wmi().SetState(change->key, change->state));
    }
  }
  kernel.Sleep(30000);
  machine().wmi().ScriptFault(sim::WmiFault::kNextTimeout, 5);
  kernel.Sleep(33000);  // the timer has run out: the composer walks
  ASSERT_EQ(kernel.WaitForSingleObject(service_process, 0), win::kWaitTimeout);

  const uint32_t before = kernel.TimeGetTime();
  EXPECT_EQ(Run("-Service"), 0);
  EXPECT_GT(kernel.TimeGetTime() - before, 45000u) << "the reinstall waited for the stop";
  ASSERT_EQ(kernel.WaitForSingleObject(service_process, 120000), win::kWaitObject0);
  kernel.Sleep(1000);
  EXPECT_TRUE(Installed()) << "the new service, not the old one that was marked for deletion";
  EXPECT_EQ(machine().service_manager().ReportedStates("FENRA").back(), win::kServiceStopped);
  // The alert was written before the stop record.
  EXPECT_EQ(process.machine.EventIds(), (std::vector<uint32_t>{EVID_SERVICE_STARTED, EVID_SIMPLEX_ALERT,
                                                               EVID_SERVICE_STOPPED}));
}

}  // namespace
}  // namespace fenra
