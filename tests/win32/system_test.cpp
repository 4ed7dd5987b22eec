// The ServiceControl and System ports on Windows.

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/win32_service_control.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/windows_api.h"
#include "platform/win_values.h"
#include "win32_test_support.h"

namespace fenra::win32 {
namespace {

TEST(Win32ServiceControlTest, AProcessTheManagerDidNotStartIsRefused) {
  Win32ServiceControl control;
  bool ran = false;
  EXPECT_FALSE(control.StartServiceCtrlDispatcher("FENRA", [&](uint32_t, char**) { ran = true; }));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(win::kErrorFailedServiceControllerConnect));
  EXPECT_FALSE(ran);
}

// The service's DependOnService as the manager stored it (REG_MULTI_SZ),
// however long.
std::string StoredDependencies(const char* service) {
  const std::string key_name = std::string("SYSTEM\\CurrentControlSet\\Services\\") + service;
  HKEY key = nullptr;
  DWORD type = 0;
  DWORD size = 0;
  std::string data;
  LONG read = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key_name.c_str(), 0, KEY_QUERY_VALUE, &key);
  if (read == 0) read = RegQueryValueExA(key, "DependOnService", nullptr, &type, nullptr, &size);
  if (read == 0) {
    data.resize(size);
    read = RegQueryValueExA(key, "DependOnService", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    data.resize(size);
  }
  if (key != nullptr) RegCloseKey(key);
  EXPECT_EQ(read, 0);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  return data;
}

// The dependency list goes to the manager with every name and both NULs,
// and Windows stores exactly that: a list read past its end keeps the
// service from starting. Wine 8's CreateServiceA converts the list as one
// string, so only the first name and its NUL reach the manager, which
// reads on past them for the second NUL: a 64-bit process usually finds it
// at once in the heap block's slack, a 32-bit one stores whatever process
// memory follows. Under Wine the stored list is held to its first name.
TEST(Win32ServiceControlTest, TheDependencyListIsStoredWithItsEndAndNothingBeyond) {
  const std::string list("RPCSS\0EventLog\0\0", 16);
  EXPECT_EQ(DependencyList({"RPCSS", "EventLog"}), list);
  EXPECT_EQ(DependencyList({"RPCSS"}), std::string("RPCSS\0\0", 7));

  Win32ServiceControl control;
  ScHandlePtr manager = control.OpenSCManager(SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  ServiceConfig config;
  config.service_type = SERVICE_WIN32_OWN_PROCESS;
  config.start_type = SERVICE_DEMAND_START;
  config.error_control = SERVICE_ERROR_NORMAL;
  config.binary_path_name = "C:\\fenra-dependency-test.exe";
  config.dependencies = {"RPCSS", "EventLog"};
  ScHandlePtr service = control.CreateService(*manager, "FenraDependencyTest", SERVICE_ALL_ACCESS, config);
  ASSERT_NE(service, nullptr) << GetLastError();
  const std::string stored = StoredDependencies("FenraDependencyTest");
  control.DeleteService(*service);
  if (!testing::RunningOnWine()) {
    EXPECT_EQ(stored, list);
    return;
  }
  EXPECT_EQ(stored.substr(0, 6), std::string("RPCSS\0", 6));
  EXPECT_EQ(stored.find("EventLog"), std::string::npos)
      << "Wine's CreateServiceA now passes the whole list: hold it to the exact bytes here and in "
         "scripts/wine-service-check, and take it off the README's Wine differences";
}

// An installer running as SYSTEM in session 0 has no visible window
// station: a failure box there would wait for a click that never comes, so
// the text goes to standard error and the call returns at once.
TEST(Win32SystemTest, WithoutAVisibleWindowStationTheMessageGoesToStandardError) {
  HWINSTA interactive = GetProcessWindowStation();
  HWINSTA hidden = CreateWindowStationA("FenraTestHidden", 0, WINSTA_ALL_ACCESS, nullptr);
  ASSERT_NE(hidden, nullptr);
  ASSERT_TRUE(SetProcessWindowStation(hidden));
  const bool visible = VisibleWindowStation();

  char file[MAX_PATH] = {};
  char folder[MAX_PATH] = {};
  GetTempPathA(sizeof(folder), folder);
  GetTempFileNameA(folder, "fnr", 0, file);
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE captured = CreateFileA(file, GENERIC_WRITE | GENERIC_READ, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE old_error = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_ERROR_HANDLE, captured);
  Win32System().MessageBox("Could not create the service", "FENRA");
  SetStdHandle(STD_ERROR_HANDLE, old_error);
  SetProcessWindowStation(interactive);
  CloseWindowStation(hidden);

  char text[128] = {};
  DWORD read = 0;
  SetFilePointer(captured, 0, nullptr, FILE_BEGIN);
  ReadFile(captured, text, sizeof(text) - 1, &read, nullptr);
  CloseHandle(captured);
  DeleteFileA(file);
  EXPECT_FALSE(visible);
  EXPECT_EQ(std::string(text, read), "FENRA: Could not create the service\r\n");
}

// Session 0 of Windows Vista and later is the services' session: its
// WinSta0 calls itself visible (as Wine's does), but no one sees a box
// there, and an installer started as SYSTEM in it (PsExec -s -i 0, a
// deployment agent) would wait for ever. The text goes to the console.
TEST(Win32SystemTest, InSessionZeroNoBoxWaitsAndTheTextGoesToTheConsole) {
  testing::ProgramRun run =
      testing::RunProgram("\"" + testing::FixturePath("separate_process.exe") + "\" box-in-session-0", 30000);
  ASSERT_TRUE(run.ended) << "the box waited for a click";
  ASSERT_EQ(run.exit_code, 0u) << "the program could not take session 0";
  EXPECT_EQ(run.output, "1\r\n") << "its window station calls itself visible";
  EXPECT_EQ(run.error, "FENRA: Could not create the service\r\n");
}

// A character the ANSI code page lacks becomes '?', not a look-alike that
// the best-fit tables give ("\uFF21" would read "A", "\u2215" "/").
TEST(Win32SystemTest, TextWithoutItsCharacterInTheCodePageGetsAQuestionMark) {
  Win32System system;
  if (GetACP() != 1252) GTEST_SKIP() << "the characters are chosen for code page 1252, this is " << GetACP();
  EXPECT_EQ(system.ToAnsi(L"\uFF21\u2215\u00E9"), "??\xE9");
}

// With UTF-8 as the ANSI code page (code page 65001), an alert is cut
// between whole UTF-8 characters, as CharNextA would not, and a WMI text
// keeps every character.
TEST(Win32SystemTest, UnderUtf8AnAlertIsCutBetweenWholeCharacters) {
  testing::ProgramRun run =
      testing::RunProgram("\"" + testing::FixturePath("separate_process.exe") + "\" utf8", 30000);
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.output, "65001\r\n6162\r\nefbca1e38182\r\n");
}

}  // namespace
}  // namespace fenra::win32
