#include "platform/sim/machine_paths.h"

#include <gtest/gtest.h>

#include "platform/win_values.h"
#include "unit/platform/sim/test_support.h"

namespace fenra::sim {
namespace {

class MachinePathsTest : public ::testing::Test {
 protected:
  // The host path below the root, or "error N".
  std::string Map(const std::string& windows_path, const std::string& current_dir = "C:\\Windows\\system32") {
    uint32_t error = 0;
    auto host = paths_.ToHost(windows_path, current_dir, &error);
    if (!host) return "error " + std::to_string(error);
    return host->lexically_relative(dir_.path()).generic_string();
  }

  testing::ScratchDir dir_;
  MachinePaths paths_{dir_.path()};
};

TEST_F(MachinePathsTest, DrivesBecomeDirectoriesAndEveryPathFormResolves) {
  EXPECT_EQ(Map("C:\\Windows\\system32\\FENRA.ini"), "drive_c/Windows/system32/FENRA.ini");
  EXPECT_EQ(Map("d:/Work/Temp/"), "drive_d/Work/Temp");
  EXPECT_EQ(Map("FENRA.ini"), "drive_c/Windows/system32/FENRA.ini");
  EXPECT_EQ(Map(".\\sub\\..\\x.ini"), "drive_c/Windows/system32/x.ini");
  EXPECT_EQ(Map("..\\win.ini"), "drive_c/Windows/win.ini");
  EXPECT_EQ(Map("\\Temp\\f"), "drive_c/Temp/f");
  EXPECT_EQ(Map("\\Temp\\f", "E:\\x"), "drive_e/Temp/f");
  // "X:name" is relative to the current directory only on that drive.
  EXPECT_EQ(Map("C:f"), "drive_c/Windows/system32/f");
  EXPECT_EQ(Map("D:f"), "drive_d/f");
  EXPECT_EQ(Map("\\\\?\\C:\\Temp\\f"), "drive_c/Temp/f");
}

TEST_F(MachinePathsTest, DotDotNeverLeavesTheDrive) {
  EXPECT_EQ(Map("C:\\..\\..\\etc\\passwd"), "drive_c/etc/passwd");
  EXPECT_EQ(Map("..\\..\\..\\..\\..\\x"), "drive_c/x");
  EXPECT_EQ(Map("C:\\a\\..\\..\\b"), "drive_c/b");
  EXPECT_EQ(Map("..\\..\\..", "C:\\Windows"), "drive_c");
}

TEST_F(MachinePathsTest, ExistingNamesAreFoundInAnyCase) {
  testing::WriteFile(dir_.path() / "drive_c/Windows/System32/fenra.ini", "");
  EXPECT_EQ(Map("C:\\WINDOWS\\system32\\FENRA.INI"), "drive_c/Windows/System32/fenra.ini");
  // Below the last existing directory the names keep the case given.
  EXPECT_EQ(Map("c:\\windows\\SYSTEM32\\New\\File.Txt"), "drive_c/Windows/System32/New/File.Txt");
  EXPECT_EQ(Map("FENRA.ini", "C:\\windows\\SYSTEM32"), "drive_c/Windows/System32/fenra.ini");
}

TEST_F(MachinePathsTest, WhatIsNoFileOfTheMachineIsRefused) {
  EXPECT_EQ(Map("\\\\.\\IPMIDEV"), "error 2");
  EXPECT_EQ(Map("\\\\server\\share\\f"), "error 3");
  EXPECT_EQ(Map(""), "error 3");
  EXPECT_EQ(Map("C:\\what?.ini"), "error 123");
  EXPECT_EQ(Map("C:\\a\\b:stream"), "error 123");
  EXPECT_EQ(Map("relative.ini", "not a full path"), "error 3");
  // The path is a C string: what follows a NUL is not part of it.
  EXPECT_EQ(Map(std::string("C:\\a\0\\..\\..\\b", 12)), "drive_c/a");
}

}  // namespace
}  // namespace fenra::sim
