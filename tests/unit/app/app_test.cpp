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

TEST(ConsoleTest, ShowsARecordAsTheEventViewerDoes) {
  sim::EventLogRecord started{"2026-12-03T22:50:00.042", "QVMZUFT", EVID_SERVICE_STARTED, "information", 0, {""}, ""};
  EXPECT_EQ(ConsoleRecord(started),
            "2026-12-03 22:50:00  QVMZUFT  1  information\n"
            "    The FENRA service has started.\n");
  sim::EventLogRecord alert{"2026-12-03T23:23:04.200", "QVMFTMarvix", EVID_SIMPLEX_ALERT, "warning", 0,
                            {"CPU Module changed to SIMPLEX state.\r\n\r\n0 SIMPLEX"}, ""};
  EXPECT_EQ(ConsoleRecord(alert),
            "2026-12-03 23:23:04  QVMFTMarvix  2050  warning\n"
            "    CPU Module changed to SIMPLEX state.\n"
            "    \n"
            "    0 SIMPLEX\n");
  EXPECT_EQ(MessageText(EVID_API_FAILED, {"RegOpenKeyEx() 2"}),
            "A system call of the FENRA service failed.\nRegOpenKeyEx() 2");
  EXPECT_EQ(MessageText(0x40000123, {"x"}), "The description for Event ID 291 cannot be found.\nx");
}

TEST(ModuleEditTest, PullAndInsertChangeTheModuleAndItsPartner) {
  nlohmann::json hardware = {{"library", {{"present", true}}},
                             {"wmi",
                              {{"modules",
                                {{{"name", "0"}, {"type", "cpu"}, {"state", "DUPLEX"}},
                                 {{"name", "1"}, {"type", "cpu"}, {"state", "DUPLEX"}},
                                 {{"name", "10"}, {"type", "pci"}, {"state", "DUPLEX"}}}}}}};
  EXPECT_EQ(EditModule(hardware, ModuleEdit::kPull, "1"),
            (std::vector<std::string>{"CPU module 1: DUPLEX -> REMOVED", "CPU module 0: DUPLEX -> SIMPLEX"}));
  EXPECT_EQ(EditModule(hardware, ModuleEdit::kInsert, "1"),
            (std::vector<std::string>{"CPU module 1: REMOVED -> DUPLEX", "CPU module 0: SIMPLEX -> DUPLEX"}));
  // A partner the description does not list (11) is left out.
  EXPECT_EQ(EditModule(hardware, ModuleEdit::kState, "10", "broken"),
            (std::vector<std::string>{"PCI module 10: DUPLEX -> BROKEN"}));
  EXPECT_TRUE(EditModule(hardware, ModuleEdit::kState, "10", "BROKEN").empty());
  EXPECT_EQ(hardware["library"]["present"], true) << "other sections stay";
  EXPECT_THROW(EditModule(hardware, ModuleEdit::kPull, "2"), std::invalid_argument);
  EXPECT_THROW(EditModule(hardware, ModuleEdit::kState, "0", "HALF"), std::invalid_argument);
  EXPECT_EQ(ListModules(hardware)[2], "PCI module 10: BROKEN");
}

TEST(FirstLookTest, SetsNoDelayAndOneMinuteThresholdsAndTakesThemBack) {
  testing::TestMachine machine;
  EXPECT_EQ(AlertSettings(*machine), "start-up delay default; SIMPLEX after CPU default, PCI default, ExPCI default");
  SetUpFirstLook(*machine);
  EXPECT_EQ(AlertSettings(*machine), "start-up delay 0 s; SIMPLEX after CPU 1 min, PCI 1 min, ExPCI 1 min");
  PutProductionDefaults(*machine);
  EXPECT_EQ(AlertSettings(*machine), "start-up delay 1200 s; SIMPLEX after CPU default, PCI default, ExPCI default");
  EXPECT_EQ(TraceFolder(*machine), machine->directory() / "drive_c/QOR/QVMAlertMan/Temp");
}

}  // namespace
}  // namespace fenra::app
