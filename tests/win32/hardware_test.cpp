// The Hardware port on Windows with the stand-in hardware library, and the
// BMC firmware revision read through it.
//
// Wine has no IPMI driver: \\.\IPMIDEV does not exist there, so the driver
// path is seen failing to open; the bytes it would deliver are covered on
// the simulated machine.

#include <gtest/gtest.h>

#include <algorithm>

#include "alerts/version_info.h"
#include "platform/win32/win32_hardware.h"
#include "platform/win32/windows_api.h"
#include "win32_test_support.h"

namespace fenra::win32 {
namespace {

using testing::FixturePath;

// Makes "qvmsmsen" load from one fixture directory. The library is looked
// for by name, so a test must drop every reference before the next one
// switches.
class LibraryDirectory {
 public:
  explicit LibraryDirectory(const char* variant) { SetDllDirectoryA(FixturePath(variant).c_str()); }
  ~LibraryDirectory() { SetDllDirectoryA(nullptr); }
};

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(Win32HardwareTest, TheLibrarysEntriesAnswerAndKeepItLoaded) {
  Win32Hardware hardware;
  EXPECT_EQ(hardware.LoadLibrary(kHardwareLibraryName), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  LibraryDirectory directory("qvmsmsen");
  LibraryProc get_device_id;
  {
    LibraryPtr library = hardware.LoadLibrary(kHardwareLibraryName);
    ASSERT_NE(library, nullptr);
    LibraryProc get_status = library->GetProcAddress(kSdrRepositoryStatusEntry);
    ASSERT_TRUE(get_status);
    uint32_t status = kQvmSdrInit;
    EXPECT_NE(get_status(&status), 0);
    EXPECT_EQ(status, 1u);  // ready
    get_device_id = library->GetProcAddress(kDeviceIdEntry);
    ASSERT_TRUE(get_device_id);
    EXPECT_FALSE(library->GetProcAddress("QVMNoSuchEntry"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  }
  // The entry holds the library: still loaded, still callable.
  EXPECT_NE(GetModuleHandleA("qvmsmsen"), nullptr);
  uint8_t record[kDeviceIdRecordSize] = {};
  EXPECT_NE(get_device_id(record), 0);
  EXPECT_EQ(record[3], 0x81);
  EXPECT_EQ(record[4], 0x23);
  get_device_id = nullptr;
  EXPECT_EQ(GetModuleHandleA("qvmsmsen"), nullptr);
}

TEST(Win32HardwareTest, FirmwareRevisionFromTheLibraryMasksTheAvailableBit) {
  LibraryDirectory directory("qvmsmsen");
  testing::TracedMachine machine;
  char revision[256] = {};
  EXPECT_EQ(Frusys_Get_Bmc_Fw_Revision(machine.runtime(), revision, sizeof(revision)), 1);
  EXPECT_STREQ(revision, "01.23");
  ReleaseHardwareLibrary(machine.runtime().monitor);
}

TEST(Win32HardwareTest, ALibraryWithoutTheDeviceIdEntrySendsTheServiceToTheDriver) {
  LibraryDirectory directory("qvmsmsen-without-device-id");
  testing::TracedMachine machine;
  char revision[256] = {};
  EXPECT_EQ(Frusys_Get_Bmc_Fw_Revision(machine.runtime(), revision, sizeof(revision)), 0);
  EXPECT_STREQ(revision, "unknown");
  ReleaseHardwareLibrary(machine.runtime().monitor);
  std::vector<std::string> lines = machine.TraceLines();
  EXPECT_TRUE(Contains(lines, "[Frusys_Get_Bmc_Fw_Revision]IPMIFunction GetProcAddress Error = 127"));
  EXPECT_TRUE(Contains(lines, "[Frusys_Get_Bmc_Fw_Revision]API address load faild"));
  EXPECT_TRUE(Contains(lines, "[Frusys_Get_Bmc_Fw_Revision]IPMIDEV open error"));
}

}  // namespace
}  // namespace fenra::win32
