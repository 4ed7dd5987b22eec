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

std::string SystemDirectory() {
  char directory[MAX_PATH] = {};
  GetSystemDirectoryA(directory, sizeof(directory));
  return std::string(directory) + "\\";
}

// One fixture variant of "qvmsmsen.dll" copied into `directory` (the system
// directory unless said otherwise: system32, which file-system redirection
// makes SysWOW64 for the 32-bit tests under WoW64) and removed again. The library is looked for by name, so a test
// must drop every reference before the next one switches.
class LibraryDirectory {
 public:
  explicit LibraryDirectory(const char* variant, std::string directory = SystemDirectory())
      : path_(directory + "qvmsmsen.dll") {
    EXPECT_TRUE(CopyFileA(FixturePath(std::string(variant) + "\\qvmsmsen.dll").c_str(), path_.c_str(), FALSE))
        << path_;
  }
  // A library still mapped cannot be deleted, and would be what the next
  // test's copy fails on.
  ~LibraryDirectory() { EXPECT_TRUE(DeleteFileA(path_.c_str())) << path_ << ": " << GetLastError(); }

 private:
  const std::string path_;
};

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(Win32HardwareTest, TheLibrarysEntriesAnswerAndKeepItLoaded) {
  Win32Hardware hardware;
  EXPECT_EQ(hardware.LoadLibrary(kHardwareLibraryName, ""), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  LibraryDirectory directory("qvmsmsen");
  LibraryProc get_device_id;
  {
    LibraryPtr library = hardware.LoadLibrary(kHardwareLibraryName, "");
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

// A library of that name in the current directory or in a folder on PATH
// would run as SYSTEM in the service: only the system directory and the
// program's own directory are searched.
TEST(Win32HardwareTest, APlantedLibraryOutsideTheSystemAndProgramDirectoriesIsNotLoaded) {
  testing::ScratchDirectory planted;
  LibraryDirectory library("qvmsmsen", planted.path());
  char old_directory[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof(old_directory), old_directory);
  std::string old_path(32767, '\0');
  old_path.resize(GetEnvironmentVariableA("PATH", old_path.data(), static_cast<DWORD>(old_path.size())));
  ASSERT_TRUE(SetCurrentDirectoryA(planted.path().c_str()));
  SetEnvironmentVariableA("PATH", (planted.path() + ";" + old_path).c_str());
  // The default search order would find it in both places.
  HMODULE found = LoadLibraryA("qvmsmsen");
  EXPECT_NE(found, nullptr) << "the plant is where a default search looks";
  if (found != nullptr) FreeLibrary(found);

  Win32Hardware hardware;
  EXPECT_EQ(hardware.LoadLibrary(kHardwareLibraryName, ""), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  {
    LibraryDirectory installed("qvmsmsen");
    EXPECT_NE(hardware.LoadLibrary(kHardwareLibraryName, ""), nullptr) << "the one in the system directory";
  }
  SetEnvironmentVariableA("PATH", old_path.c_str());
  SetCurrentDirectoryA(old_directory);
}

// The vendor's installation folder (Installdir) is searched after the
// system's and the program's, for the library and for the libraries it
// needs; it is not left in the process's search. What the loader says of
// a file it found there is kept: 193 for one that is no library of this
// kind, not 126.
TEST(Win32HardwareTest, TheVendorsFolderIsSearchedForTheLibraryAndItsDependencies) {
  Win32Hardware hardware;
  testing::ScratchDirectory vendor;
  for (const char* file : {"qvmsmsen.dll", "qvmdep.dll"})
    ASSERT_TRUE(CopyFileA(FixturePath(std::string("qvmsmsen-with-dependency\\") + file).c_str(),
                          (vendor.path() + file).c_str(), FALSE));
  EXPECT_EQ(hardware.LoadLibrary(kHardwareLibraryName, ""), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  {
    LibraryPtr library = hardware.LoadLibrary(kHardwareLibraryName, vendor.path());
    ASSERT_NE(library, nullptr) << GetLastError();
    LibraryProc get_device_id = library->GetProcAddress(kDeviceIdEntry);
    ASSERT_TRUE(get_device_id);
    uint8_t record[kDeviceIdRecordSize] = {};
    EXPECT_NE(get_device_id(record), 0);
    EXPECT_EQ(record[4], 0x23) << "answered through the library beside it";
  }
  EXPECT_EQ(LoadLibraryExA("qvmdep", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS), nullptr);
  // Without its final backslash too.
  std::string folder = vendor.path();
  folder.pop_back();
  EXPECT_NE(hardware.LoadLibrary(kHardwareLibraryName, folder), nullptr) << GetLastError();

  testing::ScratchDirectory broken;
  HANDLE file = CreateFileA((broken.path() + "qvmsmsen.dll").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, "not a library", 13, &written, nullptr);
  CloseHandle(file);
  EXPECT_EQ(hardware.LoadLibrary(kHardwareLibraryName, broken.path()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
}

// The entries are assumed to be BOOL WINAPI (void*): __stdcall on 32-bit
// x86 (the stand-in of the other tests). The stand-in built as __cdecl
// leaves the stack 4 bytes off there, which the call detects and refuses;
// on x64 there is one convention and it answers like the other.
TEST(Win32HardwareTest, AnEntryOfAnotherCallingConventionIsDetected) {
  Win32Hardware hardware;
  LibraryDirectory directory("qvmsmsen-cdecl");
  LibraryPtr library = hardware.LoadLibrary(kHardwareLibraryName, "");
  ASSERT_NE(library, nullptr);
  LibraryProc get_status = library->GetProcAddress(kSdrRepositoryStatusEntry);
  ASSERT_TRUE(get_status);
  uint32_t status = kQvmSdrInit;
  int32_t moved = 0;
  int32_t answer = CallLibraryEntry(
      reinterpret_cast<LibraryEntry>(GetProcAddress(GetModuleHandleA("qvmsmsen"), kSdrRepositoryStatusEntry)),
      &status, &moved);
  EXPECT_NE(answer, 0);
  EXPECT_EQ(status, 1u);
#if defined(__i386__)
  EXPECT_EQ(moved, -4) << "a __cdecl entry leaves its argument on the stack";
  status = kQvmSdrInit;
  SetLastError(0);
  EXPECT_EQ(get_status(&status), 0) << "its answer is not trusted";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
#else
  EXPECT_EQ(moved, 0);
  EXPECT_NE(get_status(&status), 0);
#endif
}

}  // namespace
}  // namespace fenra::win32
