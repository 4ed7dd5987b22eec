// The System and ServiceControl ports on Windows.

#include "platform/win32/windows_api.h"

#include <gtest/gtest.h>

#include "platform/win32/win32_service_control.h"
#include "platform/win32/win32_system.h"
#include "platform/win_values.h"

namespace fenra::win32 {
namespace {

TEST(Win32SystemTest, EnvironmentDirectoriesAndVersion) {
  Win32System system;
  char system_directory[MAX_PATH] = {};
  GetSystemDirectoryA(system_directory, MAX_PATH);
  EXPECT_EQ(system.ExpandEnvironmentStrings("%SystemRoot%\\system32"), system_directory);
  EXPECT_EQ(system.ExpandEnvironmentStrings("%FENRA_NO_SUCH_VARIABLE%\\x"), "%FENRA_NO_SUCH_VARIABLE%\\x");

  const std::string before = system.GetCurrentDirectory();
  ASSERT_TRUE(system.SetCurrentDirectory(system_directory));
  EXPECT_EQ(system.GetCurrentDirectory(), system_directory);
  EXPECT_FALSE(system.SetCurrentDirectory("C:\\no\\such\\directory"));
  ASSERT_TRUE(system.SetCurrentDirectory(before));

  // A 64-bit process is never a WOW64 process.
  EXPECT_FALSE(system.IsWow64Process());
  OsVersion version;
  ASSERT_TRUE(system.GetVersion(&version));
  EXPECT_EQ(version.platform_id, win::kVerPlatformWin32Nt);
  EXPECT_GE(version.major, 5u);
}

TEST(Win32ServiceControlTest, AProcessTheManagerDidNotStartIsRefused) {
  Win32ServiceControl control;
  bool ran = false;
  EXPECT_FALSE(control.StartServiceCtrlDispatcher("FENRA", [&](uint32_t, char**) { ran = true; }));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(win::kErrorFailedServiceControllerConnect));
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace fenra::win32
