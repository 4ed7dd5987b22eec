// What the Linux front ends add around the service: the console's view of
// event-log records, fenra-hw's module edits, the first-look settings.

#include <gtest/gtest.h>

#include "app/console.h"
#include "app/first_look.h"
#include "app/module_edit.h"
#include "diagnostics/event_ids.h"
#include "support/test_machine.h"

namespace fenra::app {
namespace {

constexpr sim::UiLanguage kEnglish = sim::UiLanguage::kEnglish;
constexpr sim::UiLanguage kJapanese = sim::UiLanguage::kJapanese;

TEST(ConsoleTest, ShowsARecordAsTheEventViewerDoes) {
  sim::EventLogRecord started{"2026-12-03T22:50:00.042", "QVMZUFT", EVID_SERVICE_STARTED, "information", 0, {""}, ""};
  EXPECT_EQ(ConsoleRecord(started, kEnglish),
            "2026-12-03 22:50:00  QVMZUFT  1  information\n"
            "    The FENRA service has started.\n");
  sim::EventLogRecord alert{"2026-12-03T23:23:04.200", "QVMFTMarvix", EVID_SIMPLEX_ALERT, "warning", 0,
                            {"CPU Module changed to SIMPLEX state.\r\n\r\n0 SIMPLEX"}, ""};
  EXPECT_EQ(ConsoleRecord(alert, kEnglish),
            "2026-12-03 23:23:04  QVMFTMarvix  2050  warning\n"
            "    CPU Module changed to SIMPLEX state.\n"
            "    \n"
            "    0 SIMPLEX\n");
  EXPECT_EQ(MessageText(EVID_API_FAILED, {"RegOpenKeyEx() 2"}, kEnglish),
            "A system call of the FENRA service failed.\nRegOpenKeyEx() 2");
  EXPECT_EQ(MessageText(0x40000123, {"x"}, kEnglish), "The description for Event ID 291 cannot be found.\nx");
}

// On a Japanese machine the event viewer shows the message file's Japanese
// texts: the start, the stop and the health records as well as the alerts.
TEST(ConsoleTest, AJapaneseMachineShowsTheJapaneseTexts) {
  sim::EventLogRecord stopped{"2026-12-03T22:50:00.042", "QVMZUFT", EVID_SERVICE_STOPPED, "information", 0, {""}, ""};
  EXPECT_EQ(ConsoleRecord(stopped, kJapanese),
            "2026-12-03 22:50:00  QVMZUFT  2  information\n"
            "    FENRA サービスを停止しました。\n");
  EXPECT_EQ(MessageText(EVID_SERVICE_STARTED, {""}, kJapanese), "FENRA サービスを開始しました。\n");
  for (uint32_t id : {EVID_SERVICE_STARTED, EVID_SERVICE_STOPPED, EVID_API_FAILED, EVID_WAIT_FAILED,
                      EVID_MONITOR_ENDED, EVID_WMI_UNAVAILABLE, EVID_EVENTLOG_ERROR, EVID_CTRL_HANDLER_FAILED}) {
    std::string text = MessageText(id, {"x"}, kJapanese);
    EXPECT_NE(text, MessageText(id, {"x"}, kEnglish)) << id;
    EXPECT_TRUE(text.ends_with("\nx")) << text;
  }
  EXPECT_EQ(MessageText(EVID_SIMPLEX_ALERT, {"CPU モジュール"}, kJapanese), "CPU モジュール");
}

TEST(ConsoleTest, HintsCanBeRunAsPrintedAndCommandWordsAreSaidWhenDone) {
  EXPECT_EQ(ShellWord("/home/a/build-ci/fenra-hw"), "/home/a/build-ci/fenra-hw");
  EXPECT_EQ(ShellWord("/tmp/my machine"), "'/tmp/my machine'");
  EXPECT_EQ(ShellWord("it's"), "'it'\\''s'");
  EXPECT_EQ(ShellWord(""), "''");
  // The test binary has no fenra-hw beside it: the bare name.
  EXPECT_EQ(SiblingProgram("no-such-program"), "no-such-program");

  testing::TestMachine machine;
  System& system = machine->platform().system;
  auto done = [&](const std::string& line) {
    const char* text = InstallationDone(system, line);
    return std::string(text ? text : "(none)");
  };
  EXPECT_TRUE(done("C:\\Windows\\system32\\FENRA.exe -Service").starts_with("FENRA registered as a service"));
  EXPECT_TRUE(done("FENRA.exe /regserver").starts_with("FENRA registered as a plain process"));
  EXPECT_TRUE(done("FENRA.exe -UnregServer").starts_with("FENRA's registration removed"));
  // As FENRA.exe reads its line: a word counts only when it ends the line.
  EXPECT_EQ(done("FENRA.exe -Service -x"), "(none)");
  EXPECT_EQ(done(""), "(none)");
}

TEST(ModuleEditTest, PullAndInsertMoveTheModuleItsPartnerAndItsDevices) {
  nlohmann::json hardware = {{"library", {{"present", true}}},
                             {"wmi",
                              {{"modules",
                                {{{"name", "0"}, {"type", "cpu"}, {"state", "DUPLEX"}},
                                 {{"name", "1"}, {"type", "cpu"}, {"state", "DUPLEX"}},
                                 {{"name", "10"}, {"type", "pci"}, {"state", "DUPLEX"}},
                                 {{"name", "11"}, {"type", "pci"}, {"state", "DUPLEX"}}}},
                               {"devices",
                                {{{"class", "DOD_SCSISlot"}, {"name", "11/1"}, {"module", "11"}, {"state", "ONLINE"}},
                                 {{"class", "DOD_Ethernet"}, {"name", "11/2"}, {"module", "11"}, {"state", "BROKEN"}},
                                 {{"class", "DOD_SCSISlot"}, {"name", "10/1"}, {"module", "10"}, {"state", "ONLINE"}}}}}}};
  auto texts = [](const std::vector<ModuleChange>& changes) {
    std::vector<std::string> lines;
    for (const ModuleChange& change : changes) lines.push_back(change.key + " " + change.state + " | " + change.text);
    return lines;
  };
  EXPECT_EQ(texts(EditModule(hardware, ModuleEdit::kPull, "1")),
            (std::vector<std::string>{"cpu/1 REMOVED | CPU module 1: DUPLEX -> REMOVED",
                                      "cpu/0 SIMPLEX | CPU module 0: DUPLEX -> SIMPLEX"}));
  // The pulled module's devices leave with it, whatever their state; the
  // partner's stay.
  EXPECT_EQ(texts(EditModule(hardware, ModuleEdit::kPull, "11")),
            (std::vector<std::string>{"pci/11 REMOVED | PCI module 11: DUPLEX -> REMOVED",
                                      "pci/10 SIMPLEX | PCI module 10: DUPLEX -> SIMPLEX",
                                      "DOD_SCSISlot/11/1 REMOVED | DOD_SCSISlot 11/1: ONLINE -> REMOVED",
                                      "DOD_Ethernet/11/2 REMOVED | DOD_Ethernet 11/2: BROKEN -> REMOVED"}));
  EXPECT_EQ(texts(EditModule(hardware, ModuleEdit::kInsert, "11")),
            (std::vector<std::string>{"pci/11 DUPLEX | PCI module 11: REMOVED -> DUPLEX",
                                      "pci/10 DUPLEX | PCI module 10: SIMPLEX -> DUPLEX",
                                      "DOD_SCSISlot/11/1 ONLINE | DOD_SCSISlot 11/1: REMOVED -> ONLINE",
                                      "DOD_Ethernet/11/2 ONLINE | DOD_Ethernet 11/2: REMOVED -> ONLINE"}));
  // `state` moves the module alone.
  EXPECT_EQ(texts(EditModule(hardware, ModuleEdit::kState, "11", "removed")),
            (std::vector<std::string>{"pci/11 REMOVED | PCI module 11: DUPLEX -> REMOVED"}));
  EXPECT_TRUE(EditModule(hardware, ModuleEdit::kState, "11", "REMOVED").empty());
  EXPECT_EQ(hardware["library"]["present"], true) << "other sections stay";
  EXPECT_EQ(ListModules(hardware)[3], "PCI module 11: REMOVED");
}

TEST(FirstLookTest, SetsNoDelayAndOneMinuteThresholdsAndTakesThemBack) {
  testing::TestMachine machine;
  // The baseline's driver (1.1.23.9) makes a generation-0 machine.
  const std::string generation_0 = "SIMPLEX after CPU 30 min (default), PCI 5 min (default), ExPCI 5 min (default)";
  EXPECT_EQ(AlertSettings(*machine), "start-up delay default; " + generation_0);
  SetUpFirstLook(*machine);
  EXPECT_EQ(AlertSettings(*machine), "start-up delay 0 s; SIMPLEX after CPU 1 min, PCI 1 min, ExPCI 1 min");
  PutProductionDefaults(*machine);
  EXPECT_EQ(AlertSettings(*machine), "start-up delay 1200 s; " + generation_0);
  // The registry's platform version decides over the driver: 4.x is
  // generation 2, with 30 minutes for every pair.
  machine->registry().SetString(Hive::kLocalMachine, "SOFTWARE\\QOR\\Trelvane", "TrelvaneVersion", "4.0");
  EXPECT_EQ(AlertSettings(*machine),
            "start-up delay 1200 s; SIMPLEX after CPU 30 min (default), PCI 30 min (default), ExPCI 30 min (default)");
  EXPECT_EQ(TraceFolder(*machine), machine->directory() / "drive_c/QOR/QVMAlertMan/Temp");
}

}  // namespace
}  // namespace fenra::app
