#include "alerts/event_log_out.h"

#include <gtest/gtest.h>

#include "monitor/service_thread.h"
#include "support/service_process.h"
#include "wmi/wmi_tables.h"

namespace fenra {
namespace {

using testing::ServiceProcess;

constexpr const char* kOccurrence = " 2026.12.03  22:53:04\n";
constexpr const char* kPlatformKey = "SOFTWARE\\QOR\\Trelvane";

// A generation-0 machine with platform version 1.1 and firmware revision
// 03.15. The whole alert, in
// English and Japanese, and its record are pinned by the scenario files
// (module_pulled, japanese, triplex for the CPU pair's DUPLEX alert).
class AlertComposerTest : public ::testing::Test {
 protected:
  AlertComposerTest() {
    monitor.hServiceEvent.store(process.kernel.CreateEvent(true, false));
    process.SetText(kPlatformKey, "TrelvaneVersion", std::string("1.1", 4));
    sim::LibraryFacts library;
    library.present = true;
    library.device_id[3] = 0x03;
    library.device_id[4] = 0x15;
    machine->hardware().SetLibrary(library);
    MonitorConfig config;
    config.dwPlatformGen = 0;
    EXPECT_TRUE(LoadAlertTexts(process.runtime, &config));
    monitor.PublishConfig(config);
  }

  sim::EventLogRecord Compose(int index) {
    EXPECT_EQ(EventLogOut(process.runtime, {index, kOccurrence}), 1u);
    auto events = machine.Events();
    return events.empty() ? sim::EventLogRecord{} : events.back();
  }

  ServiceProcess process;
  testing::TestMachine& machine = process.machine;
  MonitorState& monitor = process.monitor;
};

TEST_F(AlertComposerTest, APciAlertListsTheSixDeviceClassesBehindItsModules) {
  std::string expected = "PCI Module changed to SIMPLEX state.\n[Occurrence Time] 2026.12.03  22:53:04\n"
                         " (BMC FW:03.15  Zelm: 1.1)\n[Details]\n10 DUPLEX\n11 DUPLEX\n12 DUPLEX\n13 DUPLEX";
  for (const char* name : {"PCI Slot", "SCSI Adapter", "SCSI Bus", "Ethernet", "SCSI Enclosure", "SCSI Slot"})
    expected += std::string("\n ") + name + " :\n10/1 ONLINE\n11/1 ONLINE";
  EXPECT_EQ(Compose(CHANGE_PCI_SIMPLEX).strings[0], expected);
  EXPECT_EQ(Compose(CHANGE_EXPCI_SIMPLEX).strings[0], expected);
}

TEST_F(AlertComposerTest, ALongAlertIsCutAtTheLimitAndWritten) {
  sim::SimWmiInventory inventory = machine->wmi().inventory();
  for (int i = 0; i < 200; ++i)
    inventory.instances.push_back({"DOD_SCSISlot/10/x" + std::to_string(i), {"DOD_SCSISlot"},
                                   "10/x" + std::to_string(i), STATE_ONLINE, "{10,DOD_SCSISlot}"});
  machine->wmi().UpdateInventory(inventory);
  std::string text = Compose(CHANGE_PCI_DUPLEX).strings[0];
  EXPECT_EQ(text.size(), kAlertTextLimit);
  EXPECT_TRUE(text.starts_with("PCI Module changed to DUPLEX state.\n")) << text;
}

TEST_F(AlertComposerTest, WithoutAWmiConnectionTheAlertKeepsHeadlineTimeVersionsAndCaption) {
  machine->wmi().ScriptFault(sim::WmiFault::kConnectServer, 20);
  EXPECT_EQ(Compose(CHANGE_PCI_SIMPLEX).strings[0],
            "PCI Module changed to SIMPLEX state.\n[Occurrence Time] 2026.12.03  22:53:04\n"
            " (BMC FW:03.15  Zelm: 1.1)\n[Details]");
  EXPECT_EQ(monitor.stopflg, 1);
}

TEST(AlertTextTest, TheCutFallsOnACharacterBoundary) {
  ServiceProcess process;
  System& system = process.machine.platform().system;
  std::string japanese;
  for (int i = 0; i < 700; ++i) japanese += "詳";  // three bytes each
  for (const auto& [prefix, kept] : {std::pair{"", 2046u}, std::pair{"a", 2047u}, std::pair{"ab", 2045u}}) {
    std::string text = prefix + japanese;
    CutAtCharacter(system, &text, kAlertTextLimit);
    EXPECT_EQ(text.size(), kept) << prefix;
  }
  std::string short_text = "[詳細]";
  CutAtCharacter(system, &short_text, kAlertTextLimit);
  EXPECT_EQ(short_text, "[詳細]");
}

TEST(AlertTextTest, TemplatesFillTheirFirstPlaceholderOnly) {
  EXPECT_EQ(FillTemplate("%s changed to SIMPLEX state.\n[Occurrence Time]", "CPU Module"),
            "CPU Module changed to SIMPLEX state.\n[Occurrence Time]");
  EXPECT_EQ(FillTemplate("%s: 100%% %s %d", "X"), "X: 100% %s %d");
}

}  // namespace
}  // namespace fenra
