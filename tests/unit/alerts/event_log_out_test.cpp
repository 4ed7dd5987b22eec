#include "alerts/event_log_out.h"

#include <gtest/gtest.h>

#include "monitor/service_thread.h"
#include "support/service_process.h"
#include "wmi/wmi_tables.h"

namespace fenra {
namespace {

using testing::ServiceProcess;

// The whole alert, in English and Japanese, and its record are pinned by the
// scenario files (module_pulled, japanese, triplex for the CPU pair's DUPLEX
// alert), as are an alert cut at its limit (core_long_alert) and one
// without a WMI connection (core_composer_without_wmi). Behind the PCI
// modules of the test machine is a device of every class.
TEST(AlertComposerTest, APciAlertListsTheSixDeviceClassesBehindItsModules) {
  ServiceProcess process;
  process.monitor.hServiceEvent.store(process.kernel.CreateEvent(true, false));
  MonitorConfig config;
  config.dwPlatformGen = 0;
  ASSERT_TRUE(LoadAlertTexts(process.runtime, &config));
  process.monitor.PublishConfig(config);
  std::string expected = "PCI Module changed to SIMPLEX state.\n[Occurrence Time] 2026.12.03  22:53:04\n"
                         " (BMC FW:01.23  Zelm: 1.1)\n[Details]\n10 DUPLEX\n11 DUPLEX\n12 DUPLEX\n13 DUPLEX";
  for (const char* name : {"PCI Slot", "SCSI Adapter", "SCSI Bus", "Ethernet", "SCSI Enclosure", "SCSI Slot"})
    expected += std::string("\n ") + name + " :\n10/1 ONLINE\n11/1 ONLINE";
  for (int index : {CHANGE_PCI_SIMPLEX, CHANGE_EXPCI_SIMPLEX}) {
    EXPECT_EQ(EventLogOut(process.runtime, {index, " 2026.12.03  22:53:04\n"}), 1u);
    EXPECT_EQ(process.machine.Events().back().strings[0], expected) << index;
  }
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
}

TEST(AlertTextTest, TemplatesFillTheirFirstPlaceholderOnly) {
  EXPECT_EQ(FillTemplate("%s: 100%% %s %d", "X"), "X: 100% %s %d");
}

}  // namespace
}  // namespace fenra
