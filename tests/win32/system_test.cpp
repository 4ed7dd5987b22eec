// The ServiceControl port on Windows.

#include <gtest/gtest.h>

#include "platform/win32/win32_service_control.h"
#include "platform/win32/windows_api.h"
#include "platform/win_values.h"

namespace fenra::win32 {
namespace {

TEST(Win32ServiceControlTest, AProcessTheManagerDidNotStartIsRefused) {
  Win32ServiceControl control;
  bool ran = false;
  EXPECT_FALSE(control.StartServiceCtrlDispatcher("FENRA", [&](uint32_t, char**) { ran = true; }));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(win::kErrorFailedServiceControllerConnect));
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace fenra::win32
