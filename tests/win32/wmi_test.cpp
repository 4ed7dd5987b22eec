// The Wmi and Com ports on WMI, against a class that Wine's WMI provides
// (Win32_Process). The hardware vendor's provider classes and their change
// events exist only on the fault-tolerant server itself; they are covered
// by the simulated provider.

#include <gtest/gtest.h>

#include "platform/win32/win32_machine.h"
#include "platform/win32/windows_api.h"
#include "win32_test_support.h"
#include "wmi/wmiservice.h"

namespace fenra::win32 {
namespace {

constexpr int32_t kQueryFlags = win::kWbemFlagReturnImmediately | win::kWbemFlagForwardOnly;

class Win32WmiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(com_.CoInitializeEx(win::kCoinitMultithreaded), 0);
    // Once per process; later calls are too late, which counts as done.
    int32_t security = com_.CoInitializeSecurity(win::kRpcCAuthnLevelPkt, win::kRpcCImpLevelImpersonate);
    ASSERT_TRUE(security == win::kSOk || security == win::kRpcETooLate) << std::hex << security;
    ASSERT_EQ(wmi_.CreateLocator(&locator_), 0);
    ASSERT_EQ(locator_->ConnectServer(L"ROOT\\cimv2", &services_), 0);
    ASSERT_EQ(wmi_.SetProxyBlanket(*services_, win::kRpcCAuthnWinnt, win::kRpcCAuthzNone, win::kRpcCAuthnLevelCall,
                                   win::kRpcCImpLevelImpersonate),
              0);
  }
  void TearDown() override {
    services_.reset();
    locator_.reset();
    com_.CoUninitialize();
  }

  // The one instance of this process.
  WbemClassObjectPtr ThisProcess(const std::wstring& select) {
    EnumWbemClassObjectPtr result;
    std::wstring query =
        L"SELECT " + select + L" FROM Win32_Process WHERE ProcessId = " + std::to_wstring(GetCurrentProcessId());
    EXPECT_EQ(services_->ExecQuery(L"WQL", query, kQueryFlags, &result), 0);
    if (!result) return nullptr;
    WbemClassObjectPtr object;
    uint32_t returned = 0;
    EXPECT_EQ(result->Next(win::kWbemInfinite, &object, &returned), 0);
    EXPECT_EQ(returned, 1u);
    WbemClassObjectPtr after;
    EXPECT_EQ(result->Next(win::kWbemInfinite, &after, &returned), win::kWbemSFalse);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(after, nullptr);
    return object;
  }

  Win32Com com_;
  Win32Wmi wmi_;
  WbemLocatorPtr locator_;
  WbemServicesPtr services_;
};

TEST_F(Win32WmiTest, AnInstanceQueryGivesItsObjectWithPropertiesAndText) {
  WbemClassObjectPtr process = ThisProcess(L"*");
  ASSERT_NE(process, nullptr);
  WmiValue value;
  ASSERT_EQ(process->Get(L"ProcessId", &value), 0);
  EXPECT_EQ(value, WmiValue(static_cast<int32_t>(GetCurrentProcessId())));  // CIM uint32 as VT_I4
  ASSERT_EQ(process->Get(L"Name", &value), 0);
  EXPECT_EQ(value, WmiValue(std::wstring(L"fenra_win32_tests.exe")));
  EXPECT_EQ(process->Get(L"NoSuchProperty", &value), win::kWbemENotFound);

  std::wstring text;
  ASSERT_EQ(process->GetObjectText(&text), 0);
  EXPECT_EQ(text.find(L"\ninstance of Win32_Process\n{\n"), 0u) << text;
  EXPECT_EQ(text.substr(text.size() - 3), L"\n};") << text;
  // Wine spells the property ProcessID.
  const wchar_t* name = testing::RunningOnWine() ? L"ProcessID" : L"ProcessId";
  EXPECT_NE(text.find(L"\t" + std::wstring(name) + L" = " + std::to_wstring(GetCurrentProcessId()) + L";\n"),
            std::wstring::npos)
      << text;
}

TEST_F(Win32WmiTest, AQueryOfAMissingClassFindsNothing) {
  EnumWbemClassObjectPtr result;
  int32_t hr = services_->ExecQuery(L"WQL", L"SELECT * FROM DOD_CPUBoard", kQueryFlags, &result);
  if (testing::RunningOnWine()) {
    // Wine answers a query of an unknown class with an empty result set.
    ASSERT_EQ(hr, 0);
    WbemClassObjectPtr object;
    uint32_t returned = 0;
    EXPECT_EQ(result->Next(win::kWbemInfinite, &object, &returned), win::kWbemSFalse);
  } else {
    EXPECT_EQ(hr, win::kWbemEInvalidClass);
    EXPECT_EQ(result, nullptr);
  }
}

TEST(WmiserviceOnWindowsTest, ConnectsAndQueriesThroughTheRealWmi) {
  testing::TracedMachine machine;
  {
    Wmiservice wmi(machine.runtime());
    ASSERT_TRUE(wmi.connected());
    EXPECT_EQ(wmi.serchbyWQL(L"select Name from Win32_Process"), 0);
  }
  EXPECT_EQ(machine.runtime().monitor.stopflg.load(), 0);
}

}  // namespace
}  // namespace fenra::win32
