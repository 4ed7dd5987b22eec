#include "platform/sim/sim_wmi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "monitor/monitor_state.h"
#include "platform/sim/hardware_description.h"
#include "platform/sim/mof_text.h"
#include "platform/sim/sim_kernel.h"
#include "platform/sim/wmi_inventory.h"
#include "support/wide_text.h"
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

KernelOptions Virtual() {
  KernelOptions options;
  options.virtual_time = true;
  return options;
}

class SimWmiTest : public ::testing::Test {
 protected:
  WbemServicesPtr Connect() {
    WbemLocatorPtr locator;
    EXPECT_EQ(wmi.CreateLocator(&locator), win::kSOk);
    WbemServicesPtr services;
    EXPECT_EQ(locator->ConnectServer(L"ROOT\\cimv2", &services), win::kSOk);
    return services;
  }
  static EnumWbemClassObjectPtr Subscribe(WbemServices& services, const char* table_entry) {
    bool isa = table_entry[0] == '\'';
    std::wstring query = std::wstring(isa ? kIsaQueryPrefix : kEventClassQueryPrefix) +
                         std::wstring(table_entry, table_entry + strlen(table_entry));
    EnumWbemClassObjectPtr events;
    EXPECT_EQ(services.ExecNotificationQuery(L"WQL", query,
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

  SimKernel kernel{Virtual()};
  SimWmi wmi{kernel, Baseline()};
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
  WbemServicesPtr services = Connect();
  for (int gen = 0; gen < kPlatformGenerations; ++gen) {
    for (int row = 0; row < kDeviceClassRows; ++row) {
      std::wstring query = std::wstring(kStatusQueryPrefix) + Widen(DeviceClassTable[row][gen]);
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
        // Left out of the select list.
        EXPECT_EQ(object->Get(L"DevicePathId", &name), win::kWbemENotFound);
      }
      EXPECT_EQ(returned, 0u);
      if (row == 0) {
        EXPECT_EQ(names, (std::vector<std::wstring>{L"0", L"1"}));
      } else if (row == 1) {
        EXPECT_EQ(names, (std::vector<std::wstring>{L"10", L"11", L"12", L"13"}));
      }
      EXPECT_FALSE(names.empty()) << DeviceClassTable[row][gen];
    }
  }
  EXPECT_EQ(kernel.ElapsedMs(), 0u);
}

TEST_F(SimWmiTest, RefusesWhatRealWmiRefuses) {
  WbemLocatorPtr locator;
  ASSERT_EQ(wmi.CreateLocator(&locator), win::kSOk);
  WbemServicesPtr services;
  EXPECT_EQ(locator->ConnectServer(L"ROOT\\default", &services), win::kWbemEInvalidNamespace);
  EXPECT_EQ(services, nullptr);
  services = Connect();
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

TEST_F(SimWmiTest, BothSubscriptionFormsCarryWhatTheParsersNeed) {
  WbemServicesPtr services = Connect();
  EnumWbemClassObjectPtr gen0 = Subscribe(*services, EventClassTable[kGroupCpu][0]);
  EnumWbemClassObjectPtr gen1 = Subscribe(*services, EventClassTable[kGroupCpu][1]);
  EnumWbemClassObjectPtr pci = Subscribe(*services, EventClassTable[kGroupPci][0]);
  ASSERT_EQ(wmi.subscriptions(), 3);

  ASSERT_TRUE(wmi.SetState("cpu/1", STATE_SIMPLEX));
  for (EnumWbemClassObject* events : {gen0.get(), gen1.get()}) {
    std::string text = NextText(*events);
    int32_t state = 0;
    char path[256] = {};
    char parent[256] = {};
    EXPECT_EQ(FindOperationalState(text.c_str(), &state), nullptr) << text;
    EXPECT_EQ(state, STATE_SIMPLEX);
    EXPECT_EQ(FindDevicePathID(text.c_str(), path), nullptr) << text;
    EXPECT_EQ(FindParentInstanceName(path, parent), nullptr) << path;
    EXPECT_STREQ(parent, "1");
  }
  std::string gen0_text = NextText(*Subscribe(*services, "DOD_CPUBoardStateChange"), 0);
  EXPECT_EQ(gen0_text, "hr " + std::to_string(win::kWbemSTimedout));  // a new subscription sees no past events

  // The CPU change did not reach the PCI subscription; a PCI change does.
  EXPECT_EQ(NextText(*pci), "hr " + std::to_string(win::kWbemSTimedout));
  ASSERT_TRUE(wmi.SetState("pci/12", STATE_REMOVED));
  std::string text = NextText(*pci);
  EXPECT_EQ(text,
            "\ninstance of DOD_IOAdapterStateChange\n{\n\tObjectKey = \"pci/12\";\n"
            "\tOperationalState = \ninstance of DOD_OperationalState\n{\n\tState = 131073;\n};\n;\n"
            "\tDevicePathId = \"{12,pci}\";\n\tStatus = 0;\n};\n");
  EXPECT_EQ(NextText(*gen0), "hr " + std::to_string(win::kWbemSTimedout));

  gen0.reset();
  EXPECT_EQ(wmi.subscriptions(), 2);
}

TEST_F(SimWmiTest, DiskSlotsOfEveryGeneration) {
  WbemServicesPtr services = Connect();
  EnumWbemClassObjectPtr scsi = Subscribe(*services, EventClassTable[kGroupDisk][1]);
  EnumWbemClassObjectPtr enclosure = Subscribe(*services, EventClassTable[kGroupDisk][2]);
  ASSERT_TRUE(wmi.SetState("DOD_SCSISlot/11/1", STATE_BROKEN));
  ASSERT_TRUE(wmi.SetState("VUR_EnclosureSlot/10/1", STATE_EMPTY));
  int32_t state = 0;
  EXPECT_EQ(FindOperationalState(NextText(*scsi).c_str(), &state), nullptr);
  EXPECT_EQ(state, STATE_BROKEN);
  std::string text = NextText(*enclosure);
  EXPECT_NE(text.find("instance of VUR_EnclosureSlot"), std::string::npos) << text;
  EXPECT_EQ(FindOperationalState(text.c_str(), &state), nullptr);
  EXPECT_EQ(state, STATE_EMPTY);
  EXPECT_FALSE(wmi.SetState("cpu/7", STATE_DUPLEX));
}

TEST_F(SimWmiTest, NextWaitsOnVirtualTimeUntilAnEventOrItsTimeOut) {
  WbemServicesPtr services = Connect();
  EnumWbemClassObjectPtr events = Subscribe(*services, "'VUR_IOBoard'");
  EXPECT_EQ(NextText(*events, 30000), "hr " + std::to_string(win::kWbemSTimedout));
  EXPECT_EQ(kernel.ElapsedMs(), 30000u);

  std::atomic<uint64_t> changed_at{0};
  Handle changer = kernel.CreateThread([&] {
    kernel.Sleep(10000);
    changed_at = kernel.ElapsedMs();
    wmi.SetState("pci/10", STATE_SIMPLEX);
    return 0u;
  });
  std::string text = NextText(*events, win::kWbemInfinite);
  EXPECT_NE(text.find("State = 524309;"), std::string::npos) << text;
  EXPECT_EQ(kernel.ElapsedMs(), 40000u);
  EXPECT_EQ(changed_at.load(), 40000u);
  kernel.WaitForSingleObject(changer, win::kInfinite);
}

TEST_F(SimWmiTest, NullNamesMissingStatesAndInjectedTexts) {
  SimWmiInventory inventory;
  std::string error;
  ASSERT_TRUE(ParseWmiSection(nlohmann::json::parse(R"({"modules": [
      {"name": null, "type": "cpu", "state": "TRIPLEX"},
      {"name": "1", "type": "cpu"}]})"),
                              &inventory, &error))
      << error;
  wmi.UpdateInventory(inventory);
  WbemServicesPtr services = Connect();
  EnumWbemClassObjectPtr result;
  ASSERT_EQ(services->ExecQuery(L"WQL", std::wstring(kStatusQueryPrefix) + L"DOD_CPUBoard", 0x10, &result),
            win::kSOk);
  WbemClassObjectPtr object;
  uint32_t returned = 0;
  ASSERT_EQ(result->Next(0, &object, &returned), win::kSOk);
  WmiValue value;
  ASSERT_EQ(object->Get(L"InstanceName", &value), win::kSOk);
  EXPECT_TRUE(std::holds_alternative<WmiNull>(value));
  EXPECT_EQ(StateOf(*object), STATE_TRIPLEX);
  ASSERT_EQ(result->Next(0, &object, &returned), win::kSOk);
  EXPECT_EQ(StateOf(*object), -2);  // OperationalState is null

  EnumWbemClassObjectPtr events = Subscribe(*services, "'VUR_CPUBoard'");
  ASSERT_TRUE(wmi.SetState("cpu/1", std::nullopt));
  int32_t state = 0;
  EXPECT_STREQ(FindOperationalState(NextText(*events).c_str(), &state),
               "[GetOperationalState]instance not found retrun -1");

  wmi.InjectEventText("VUR_CPUBoard", L"instance of X { State = 1; };");
  EXPECT_EQ(NextText(*events), "instance of X { State = 1; };");
}

TEST_F(SimWmiTest, AnEditOfTheHardwareFileBecomesAChangeEvent) {
  auto directory = std::filesystem::temp_directory_path() / ("fenra_wmi_" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  auto file = directory / kHardwareFile;
  std::string error;
  ASSERT_TRUE(EnsureHardwareSection(file, "wmi", BaselineWmiSection(), &error)) << error;
  SimWmiInventory inventory;
  ASSERT_TRUE(LoadWmiInventory(file, &inventory, &error)) << error;
  wmi.UpdateInventory(inventory);

  WbemServicesPtr services = Connect();
  EnumWbemClassObjectPtr events = Subscribe(*services, "'VUR_CPUBoard'");
  wmi.WatchFile(file, 1000);

  nlohmann::json document;
  ASSERT_TRUE(ReadHardwareDescription(file, &document, &error));
  document["wmi"]["modules"][0]["state"] = "SIMPLEX";
  document["wmi"]["modules"][1]["state"] = "DUPLEX";  // unchanged: no event
  ASSERT_TRUE(WriteHardwareDescription(file, document, &error));
  std::string text = NextText(*events, 5000);
  EXPECT_NE(text.find("InstanceName = \"0\";"), std::string::npos) << text;
  EXPECT_NE(text.find("State = 524309;"), std::string::npos) << text;
  EXPECT_EQ(kernel.ElapsedMs(), 1000u);  // the first poll saw it
  EXPECT_EQ(NextText(*events, 5000), "hr " + std::to_string(win::kWbemSTimedout));

  // A half-written edit is ignored and the inventory kept.
  std::ofstream(file) << "{ \"wmi\": { \"modules\": [ ";
  EXPECT_EQ(NextText(*events, 3000), "hr " + std::to_string(win::kWbemSTimedout));
  EXPECT_EQ(wmi.inventory().instances[0].state, STATE_SIMPLEX);
  wmi.StopWatching();
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace fenra::sim
