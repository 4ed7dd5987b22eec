#include "platform/sim/sim_wmi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "monitor/monitor_state.h"
#include "platform/sim/file_watcher.h"
#include "platform/sim/hardware_description.h"
#include "platform/sim/mof_text.h"
#include "platform/sim/sim_kernel.h"
#include "platform/sim/text.h"
#include "platform/sim/wmi_inventory.h"
#include "unit/platform/sim/test_support.h"
#include "wmi/instance_text.h"
#include "wmi/wmi_tables.h"

namespace fenra::sim {
namespace {

SimWmiInventory Baseline() {
  SimWmiInventory inventory;
  std::string error;
  EXPECT_TRUE(ParseWmiSection(BaselineWmiSection(), &inventory, &error)) << error;
  return inventory;
}

const std::string kTimedOut = "hr " + std::to_string(win::kWbemSTimedout);

class SimWmiTest : public ::testing::Test {
 protected:
  SimWmiTest() {
    WbemLocatorPtr locator;
    EXPECT_EQ(wmi.CreateLocator(&locator), win::kSOk);
    EXPECT_EQ(locator->ConnectServer(L"ROOT\\cimv2", &services), win::kSOk);
  }
  EnumWbemClassObjectPtr Subscribe(const char* table_entry) {
    bool isa = table_entry[0] == '\'';
    std::wstring query = (isa ? kIsaQueryPrefix : kEventClassQueryPrefix) + Utf8ToWide(table_entry);
    EnumWbemClassObjectPtr events;
    EXPECT_EQ(services->ExecNotificationQuery(L"WQL", query,
                                              win::kWbemFlagReturnImmediately | win::kWbemFlagForwardOnly, &events),
              win::kSOk);
    return events;
  }
  static std::string NextText(EnumWbemClassObject& events, int32_t timeout_ms = 0) {
    WbemClassObjectPtr object;
    uint32_t returned = 0;
    int32_t hr = events.Next(timeout_ms, &object, &returned);
    if (hr != win::kSOk || returned != 1) return "hr " + std::to_string(hr);
    std::wstring text;
    EXPECT_EQ(object->GetObjectText(&text), win::kSOk);
    return std::string(text.begin(), text.end());
  }
  static int32_t StateIn(const std::string& text) {
    int32_t state = -1;
    EXPECT_EQ(FindOperationalState(text.c_str(), &state), nullptr) << text;
    return state;
  }

  SimKernel kernel{{.virtual_time = true}};
  SimKernel::Attachment attachment = kernel.Attach("test");
  SimWmi wmi{kernel, Baseline()};
  WbemServicesPtr services;
};

int32_t StateOf(WbemClassObject& object) {
  WmiValue value;
  if (object.Get(L"OperationalState", &value) != win::kSOk) return -1;
  auto* embedded = std::get_if<WbemClassObjectPtr>(&value);
  if (!embedded || !*embedded) return -2;
  WmiValue state;
  EXPECT_EQ((*embedded)->Get(L"State", &state), win::kSOk);
  return std::get<int32_t>(state);
}

TEST_F(SimWmiTest, InstanceQueriesAnswerEveryClassOfEveryGeneration) {
  for (int gen = 0; gen < kPlatformGenerations; ++gen) {
    for (int row = 0; row < kDeviceClassRows; ++row) {
      std::wstring query = std::wstring(kStatusQueryPrefix) + Utf8ToWide(DeviceClassTable[row][gen]);
      EnumWbemClassObjectPtr result;
      ASSERT_EQ(services->ExecQuery(L"WQL", query, win::kWbemFlagReturnImmediately, &result), win::kSOk);
      std::vector<std::wstring> names;
      WbemClassObjectPtr object;
      uint32_t returned = 0;
      while (result->Next(30000, &object, &returned) == win::kSOk) {
        ASSERT_EQ(returned, 1u);
        WmiValue name;
        ASSERT_EQ(object->Get(L"InstanceName", &name), win::kSOk);
        names.push_back(std::get<std::wstring>(name));
        EXPECT_EQ(StateOf(*object), row < 2 ? STATE_DUPLEX : STATE_ONLINE);
        EXPECT_EQ(object->Get(L"DevicePathId", &name), win::kWbemENotFound);  // left out of the select list
      }
      EXPECT_EQ(returned, 0u);
      const std::vector<std::wstring> modules[2] = {{L"0", L"1"}, {L"10", L"11", L"12", L"13"}};
      if (row < 2) {
        EXPECT_EQ(names, modules[row]);
      }
      EXPECT_FALSE(names.empty()) << DeviceClassTable[row][gen];
    }
  }
  EXPECT_EQ(kernel.ElapsedMs(), 0u);
}

TEST_F(SimWmiTest, RefusesWhatRealWmiRefuses) {
  WbemLocatorPtr locator;
  ASSERT_EQ(wmi.CreateLocator(&locator), win::kSOk);
  WbemServicesPtr other;
  EXPECT_EQ(locator->ConnectServer(L"ROOT\\default", &other), win::kWbemEInvalidNamespace);
  EXPECT_EQ(other, nullptr);
  EnumWbemClassObjectPtr result;
  EXPECT_EQ(services->ExecQuery(L"WQL", L"select OperationalState from DOD_Nothing", 0x10, &result),
            win::kWbemEInvalidClass);
  EXPECT_EQ(services->ExecQuery(L"WQL", L"select Colour from DOD_CPUBoard", 0x10, &result), win::kWbemEInvalidQuery);
  EXPECT_EQ(services->ExecQuery(L"SQL", L"select * from DOD_CPUBoard", 0x10, &result), win::kWbemEInvalidQueryType);
  // A notification query needs RETURN_IMMEDIATELY | FORWARD_ONLY.
  EXPECT_EQ(services->ExecNotificationQuery(L"WQL", L"select * from DOD_CPUBoardStateChange", 0x10, &result),
            win::kWbemEInvalidParameter);
  EXPECT_EQ(services->ExecNotificationQuery(L"WQL", L"select * from DOD_CPUBoard", 0x30, &result),
            win::kWbemEInvalidClass);
  EXPECT_EQ(services->ExecNotificationQuery(L"WQL", std::wstring(kIsaQueryPrefix) + L"'VUR_Toaster'", 0x30, &result),
            win::kWbemEInvalidClass);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(wmi.subscriptions(), 0);
}

// A change reaches the subscriptions of its group only, from their next
// call on, with the text the service's parsers read; a device without a
// state gives a text without one.
TEST_F(SimWmiTest, AChangeReachesTheSubscriptionsOfItsGroupOnly) {
  EnumWbemClassObjectPtr cpu = Subscribe(EventClassTable[kGroupCpu][0]);
  EnumWbemClassObjectPtr pci = Subscribe(EventClassTable[kGroupPci][0]);
  EnumWbemClassObjectPtr enclosure = Subscribe(EventClassTable[kGroupDisk][2]);
  ASSERT_EQ(wmi.subscriptions(), 3);

  ASSERT_TRUE(wmi.SetState("cpu/1", STATE_SIMPLEX));
  EXPECT_EQ(StateIn(NextText(*cpu)), STATE_SIMPLEX);
  EXPECT_EQ(NextText(*Subscribe("DOD_CPUBoardStateChange")), kTimedOut);  // a new subscription sees no past events
  EXPECT_EQ(NextText(*pci), kTimedOut);
  ASSERT_TRUE(wmi.SetState("pci/12", STATE_REMOVED));
  EXPECT_EQ(NextText(*pci),
            "\ninstance of DOD_IOAdapterStateChange\n{\n\tObjectKey = \"pci/12\";\n"
            "\tOperationalState = \ninstance of DOD_OperationalState\n{\n\tState = 131073;\n};\n;\n"
            "\tDevicePathId = \"{12,pci}\";\n\tStatus = 0;\n};\n");
  EXPECT_EQ(NextText(*cpu), kTimedOut);
  EXPECT_FALSE(wmi.SetState("cpu/7", STATE_DUPLEX));

  ASSERT_TRUE(wmi.SetState("VUR_EnclosureSlot/10/1", std::nullopt));
  std::string text = NextText(*enclosure);
  EXPECT_NE(text.find("instance of VUR_EnclosureSlot"), std::string::npos) << text;
  int32_t state = 0;
  EXPECT_STREQ(FindOperationalState(text.c_str(), &state), "[GetOperationalState]instance not found retrun -1");

  cpu.reset();
  EXPECT_EQ(wmi.subscriptions(), 2);
}

// The service waits for events without a time-out (every scenario wakes
// it so); a time-out is waited on virtual time.
TEST_F(SimWmiTest, NextWaitsItsTimeOutOnVirtualTime) {
  EXPECT_EQ(NextText(*Subscribe("'VUR_IOBoard'"), 30000), kTimedOut);
  EXPECT_EQ(kernel.ElapsedMs(), 30000u);
}

// Real time: the file system's notification wakes the watcher for a write,
// an append and a rename into place, each made right after the last call.
TEST(FileWatcherTest, TellsEachChangeOfAWatchedFile) {
  testing::ScratchDir dir;
  std::mutex mutex;
  std::condition_variable told;
  int calls = 0;
  auto calls_after = [&](const std::function<void()>& change) {
    std::unique_lock lock(mutex);
    int before = calls;
    lock.unlock();
    change();
    lock.lock();
    // Generous: the notification comes within milliseconds.
    told.wait_for(lock, std::chrono::seconds(10), [&] { return calls > before; });
    return calls - before;
  };
  FileWatcher watcher(dir.path(), {kHardwareFile, "hardware.changes"}, [&] {
    std::lock_guard lock(mutex);
    ++calls;
    told.notify_all();
  });
  EXPECT_GE(calls_after([&] { testing::WriteFile(dir.path() / kHardwareFile, "{}"); }), 1);
  EXPECT_GE(calls_after([&] { std::ofstream(dir.path() / "hardware.changes", std::ios::app) << "{}\n"; }), 1);
  EXPECT_GE(calls_after([&] {
              testing::WriteFile(dir.path() / "new", "{ \"wmi\": {} }");
              std::filesystem::rename(dir.path() / "new", dir.path() / kHardwareFile);
            }),
            1);
}

}  // namespace
}  // namespace fenra::sim
