#include "wmi/wmiservice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "diagnostics/event_ids.h"
#include "platform/sim/wmi_inventory.h"
#include "support/service_process.h"
#include "wmi/wmi_tables.h"

namespace fenra {
namespace {

using sim::WmiFault;
using Traces = std::vector<std::string>;

constexpr uint32_t kCoinitApartmentThreaded = 2;

class WmiserviceTest : public ::testing::Test {
 protected:
  // The trace lines that start with `prefix`.
  std::vector<std::string> Lines(const std::string& prefix) {
    std::vector<std::string> lines;
    for (const std::string& line : process.machine.TraceMessages())
      if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    return lines;
  }
  void UseInventory(const char* wmi_section) {
    sim::SimWmiInventory inventory;
    std::string error;
    ASSERT_TRUE(sim::ParseWmiSection(nlohmann::json::parse(wmi_section), &inventory, &error)) << error;
    wmi.UpdateInventory(inventory);
  }
  static std::wstring StatusQuery(int row, int gen) {
    std::string name = DeviceClassTable[row][gen];
    return kStatusQueryPrefix + std::wstring(name.begin(), name.end());
  }
  std::wstring Text() { return std::wstring(text.data()); }

  testing::ServiceProcess process;
  sim::SimWmi& wmi = process.machine->wmi();
  sim::SimCom& com = process.machine->com();
  MonitorState& monitor = process.monitor;
  Runtime& runtime = process.runtime;
  std::vector<wchar_t> text = std::vector<wchar_t>(kWmiTextSize, L'\0');
};

// The attempts and their trace, 30 s apart, and WMI coming up between them
// are pinned by the wmi_unreachable and wmi_lost scenarios.
TEST_F(WmiserviceTest, ComUseEndsOnceWhateverStepFails) {
  {
    Wmiservice first(runtime);
    // A second object meets the process security already set (RPC_E_TOO_LATE).
    Wmiservice second(runtime);
    EXPECT_TRUE(second.connected());
    EXPECT_EQ(com.Outstanding(), 2);
    ASSERT_EQ(second.getEvent(L"DOD_SCSISlotStateChange"), 0);
    EXPECT_EQ(wmi.subscriptions(), 1);
  }
  // Destruction releases a held subscription, and COM use.
  EXPECT_EQ(wmi.subscriptions(), 0);
  EXPECT_EQ(com.Outstanding(), 0);
  EXPECT_EQ(monitor.stopflg, 0);
  EXPECT_TRUE(Lines("[Wmiservice]").empty());

  com.CoInitializeEx(win::kCoinitMultithreaded);  // the thread's own use, which must survive
  for (WmiFault fault : {WmiFault::kCreateLocator, WmiFault::kConnectServer, WmiFault::kProxyBlanket}) {
    wmi.ScriptFault(fault, fault == WmiFault::kConnectServer ? 20 : 1);
    Wmiservice wms(runtime);
    EXPECT_FALSE(wms.connected());
    EXPECT_EQ(wms.serchbyWQL(StatusQuery(0, 2).c_str()), 1);
    EXPECT_EQ(wms.getEvent(L"'VUR_CPUBoard'"), 1);
    EXPECT_EQ(wms.getText(text), 1);
    EXPECT_EQ(wms.GetStatus(text), -1);
  }
  EXPECT_EQ(com.Outstanding(), 1);
  com.CoUninitialize();
  EXPECT_EQ(monitor.stopflg, 1);
  EXPECT_EQ(Lines("[Wmiservice]CoCreateInstance"),
            std::vector<std::string>{"[Wmiservice]CoCreateInstance FAIL!! : 80040154"});
  EXPECT_EQ(Lines("[Wmiservice]CoSetProxyBlanket"),
            std::vector<std::string>{"[Wmiservice]CoSetProxyBlanket FAIL!! : 80004005"});

  // A thread in another apartment: CoInitializeEx fails and began nothing.
  com.CoInitializeEx(kCoinitApartmentThreaded);
  { Wmiservice wms(runtime); }
  EXPECT_EQ(com.Outstanding(), 1);
  com.CoUninitialize();
  EXPECT_EQ(Lines("[Wmiservice]CoInitializeEx"),
            std::vector<std::string>{"[Wmiservice]CoInitializeEx FAIL!! : 80010106"});
}

TEST_F(WmiserviceTest, StatusOfOddInstancesAndOfAnEmptySet) {
  UseInventory(R"({"modules": [
      {"name": null, "type": "cpu", "state": "TRIPLEX"},
      {"name": "1", "type": "cpu", "state": 131077},
      {"name": "0", "type": "cpu"},
      {"name": "10", "type": "pci", "state": "SIMPLEX"},
      {"name": "12", "type": "pci", "state": "SIMPLEX"}]})");
  Wmiservice wms(runtime);
  wms.serchbyWQL(StatusQuery(0, 1).c_str());
  EXPECT_EQ(wms.GetStatus(text), 0);
  EXPECT_EQ(Text(), L"\nNoInstanceName TRIPLEX\n1 unknown\n0");
  EXPECT_EQ(Lines("[GetStatus]unknown"), std::vector<std::string>{"[GetStatus]unknown State = 131077"});

  text.assign(kWmiTextSize, L'\0');
  wms.serchbyWQL(StatusQuery(1, 2).c_str());
  EXPECT_EQ(wms.GetStatus(text), 3);
  EXPECT_EQ(Text(), L"\n10 SIMPLEX\n12 SIMPLEX");

  text.assign(kWmiTextSize, L'\0');
  wms.serchbyWQL(StatusQuery(7, 2).c_str());  // no instances of this class
  EXPECT_EQ(wms.GetStatus(text), 0);
  EXPECT_EQ(Text(), L"");
  EXPECT_EQ(monitor.stopflg, 0);
}

TEST_F(WmiserviceTest, FailuresOfNextInAStatusWalk) {
  Wmiservice wms(runtime);
  wms.serchbyWQL(StatusQuery(0, 2).c_str());
  wmi.ScriptFault(WmiFault::kNextThrows, 1);
  process.NewTraces();
  EXPECT_EQ(wms.GetStatus(text), -1);
  EXPECT_EQ(process.NewTraces(), Traces{"[GetStatus]catch error pEnumProcess->Next"});

  wms.serchbyWQL(StatusQuery(0, 2).c_str());
  wmi.ScriptFault(WmiFault::kNextCancelled, 1, win::kWbemEFailed);
  process.NewTraces();
  EXPECT_EQ(wms.GetStatus(text), 0);
  EXPECT_EQ(wms.GetStatus(text), -1);  // the result set was released
  EXPECT_EQ(process.NewTraces(),
            (Traces{"[GetStatus]roop r : 0",
                    "[GetStatus]pEnumProcess->Next(hRes uReturned : 80041001 0) -> Get State faild",
                    "[GetStatus]pEnumProcess == NULL retrun -1"}));
  EXPECT_EQ(monitor.stopflg, 0);

  // A cancelled call stops the monitor; a walk does not begin then.
  wms.serchbyWQL(StatusQuery(0, 2).c_str());
  wmi.ScriptFault(WmiFault::kNextCancelled, 1);
  process.NewTraces();
  EXPECT_EQ(wms.GetStatus(text), 0);
  EXPECT_EQ(monitor.stopflg, 1);
  ASSERT_EQ(process.machine.Events().size(), 1u);
  EXPECT_EQ(process.machine.Events()[0].event_id, EVID_WMI_UNAVAILABLE);
  EXPECT_EQ(process.NewTraces(), (Traces{"[GetStatus]roop r : 0",
                                         "[GetStatus]pEnumProcess->Next(hRes uReturned : 80041032 0)",
                                         "[GetStatus]stopflg=TRUE retrun 0"}));
  wms.serchbyWQL(StatusQuery(0, 2).c_str());
  process.NewTraces();
  EXPECT_EQ(wms.GetStatus(text), 0);
  EXPECT_EQ(process.NewTraces(), Traces{"[GetStatus]stopflg=TRUE retrun 0"});
}

TEST_F(WmiserviceTest, QueriesThatFailOrDoNotFitLeaveNoResultSet) {
  Wmiservice wms(runtime);
  EXPECT_EQ(wms.serchbyWQL(L"select OperationalState,InstanceName from DOD_Toaster"), 1);
  EXPECT_EQ(Lines("[serchbyWQL]"),
            std::vector<std::string>{"[serchbyWQL]pSvc->ExecQuery(hRes pEnumProcess : 80041010 0)"});

  ASSERT_EQ(wms.serchbyWQL(StatusQuery(0, 2).c_str()), 0);
  std::wstring long_query = StatusQuery(0, 2) + L" " + std::wstring(255, L' ');
  EXPECT_EQ(wms.serchbyWQL(long_query.c_str()), 1);
  EXPECT_EQ(wms.GetStatus(text), -1);
  EXPECT_EQ(Lines("[serchbyWQL]").back(), "[serchbyWQL]pSvc->ExecQuery(hRes pEnumProcess : 80041017 0)");

  std::wstring long_target = L"'" + std::wstring(200, L'X') + L"'";
  EXPECT_EQ(wms.getEvent(long_target.c_str()), 1);
  EXPECT_EQ(wmi.subscriptions(), 0);
}

// Both forms of the event query, the ISA form ('VUR_IOBoard') and the event
// class, are pinned by the core_generation_2 scenario and the generation-0
// ones.
TEST_F(WmiserviceTest, ASubscriptionEndsWithTheNextOrAFailedEventCall) {
  Wmiservice wms(runtime);
  ASSERT_EQ(wms.getEvent(L"'VUR_IOBoard'"), 0);
  ASSERT_EQ(wms.getEvent(L"DOD_IOAdapterStateChange"), 0);
  EXPECT_EQ(wmi.subscriptions(), 1);
  wmi.ScriptFault(WmiFault::kNextCancelled, 1, win::kWbemEFailed);
  EXPECT_EQ(wms.getText(text), -1);
  EXPECT_EQ(wmi.subscriptions(), 0);
  EXPECT_EQ(wms.getText(text), 1);
  // Without apostrophes a class name goes after the event-class prefix.
  EXPECT_EQ(wms.getEvent(L"VUR_IOBoard"), 1);
  EXPECT_EQ(Lines("[getEvent]").back(), "[getEvent]ExecNotificationQuery : 80041010");
}

TEST_F(WmiserviceTest, TextsNeverRunPastTheirBuffers) {
  Wmiservice wms(runtime);
  ASSERT_EQ(wms.getEvent(L"'VUR_CPUBoard'"), 0);
  wmi.InjectEventText("VUR_CPUBoard", std::wstring(12000, L'm'));
  ASSERT_EQ(wms.getText(text), 0);
  EXPECT_EQ(Text(), std::wstring(kWmiTextSize - 1, L'm'));

  // A status text cut off at the end of a small buffer.
  std::vector<wchar_t> area(24, L'#');
  area[0] = L'\0';
  ASSERT_EQ(wms.serchbyWQL(StatusQuery(1, 0).c_str()), 0);
  EXPECT_EQ(wms.GetStatus(std::span<wchar_t>(area.data(), 16)), 0);
  EXPECT_EQ(std::wstring(area.data()), L"\n10 DUPLEX\n11 D");
  EXPECT_TRUE(std::all_of(area.begin() + 16, area.end(), [](wchar_t c) { return c == L'#'; }));
}

}  // namespace
}  // namespace fenra
