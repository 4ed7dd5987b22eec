// FENRA.exe's resources as Windows reads them (string tables, version,
// type library, registration script, manifest), and the Resources and
// VersionInfo ports on them.

#include <gtest/gtest.h>

#include "alerts/version_info.h"
#include "platform/win32/com_values.h"
#include "platform/win32/win32_system.h"
#include "platform/win32/win32_resources.h"
#include "platform/win32/win32_version_info.h"
#include "platform/win32/windows_api.h"
#include "resources/com_identity.h"
#include "service/com_registration.h"
#include "win32_test_support.h"

namespace fenra::win32 {
namespace {

using testing::BuildDirectory;
using testing::FixturePath;
using testing::WideFromUtf8;

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr LANGID kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN);

class FenraExeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(module_, nullptr) << exe_; }
  void TearDown() override { FreeLibrary(module_); }

  std::string Resource(const char* type, int id, LANGID language) {
    HRSRC found = FindResourceExA(module_, type, MAKEINTRESOURCEA(id), language);
    if (found == nullptr) return {};
    return std::string(static_cast<const char*>(LockResource(LoadResource(module_, found))),
                       SizeofResource(module_, found));
  }

  // String `id` of the table in `language`: a block of 16 counted strings.
  std::wstring TableString(uint32_t id, LANGID language) {
    HRSRC block = FindResourceExW(module_, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(id / 16 + 1), language);
    if (block == nullptr) return L"(no block)";
    auto* text = static_cast<const wchar_t*>(LockResource(LoadResource(module_, block)));
    for (uint32_t i = 0; i < id % 16; ++i) text += 1 + *text;
    return std::wstring(text + 1, *text);
  }

  const std::string exe_ = BuildDirectory() + "FENRA.exe";
  const HMODULE module_ = LoadLibraryExA(exe_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
};

TEST_F(FenraExeTest, StringTablesHoldTheTextsInEnglishAndJapanese) {
  struct Entry {
    uint32_t id;
    const char* english;
    const char* japanese;
  };
  const Entry entries[] = {
#define FENRA_STRING(id, symbol, english, japanese) {id, english, japanese},
#include "resources/string_table.inc"
#undef FENRA_STRING
  };
  for (const Entry& entry : entries) {
    EXPECT_EQ(TableString(entry.id, kEnglish), WideFromUtf8(entry.english)) << entry.id;
    EXPECT_EQ(TableString(entry.id, kJapanese), WideFromUtf8(entry.japanese)) << entry.id;
  }
}

TEST_F(FenraExeTest, RegistrationScriptManifestAndTypeLibrary) {
  const std::string script = Resource("REGISTRY", 100, kJapanese);
  const std::string app_id = kAppId;
  for (const std::string& part : {std::string("NoRemove AppID"), "'" + app_id + "' = s 'FENRA'",
                                  std::string("'FENRA.EXE'"), "val AppID = s '" + app_id + "'"})
    EXPECT_NE(script.find(part), std::string::npos) << part << " in " << script;
  EXPECT_NE(Resource(MAKEINTRESOURCEA(24), 1, 0).find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos);

  ITypeLib* raw = nullptr;
  ASSERT_EQ(LoadTypeLibEx(WideFromUtf8(exe_).c_str(), REGKIND_NONE, &raw), S_OK);
  ComPtr<ITypeLib> library(raw);
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
  wchar_t libid[40] = {};
  StringFromGUID2(attributes->guid, libid, 40);
  EXPECT_EQ(libid, WideFromUtf8(kLibId));
  EXPECT_EQ(attributes->wMajorVerNum * 100 + attributes->wMinorVerNum, 100);
  EXPECT_EQ(attributes->lcid, 0x0409u);
  library->ReleaseTLibAttr(attributes);
  Bstr name;
  Bstr help;
  ASSERT_EQ(library->GetDocumentation(-1, name.put(), help.put(), nullptr, nullptr), S_OK);
  EXPECT_EQ(WideFromBstr(name.get()), L"FENRALib");
  // The help string is stored in code page 932 ("FENRA 1.0 ﾀｲﾌﾟ ﾗｲﾌﾞﾗﾘ"
  // on a Japanese system); through this system's ANSI code page its bytes
  // come back as they went in.
  char bytes[64] = {};
  WideCharToMultiByte(CP_ACP, 0, help.get(), -1, bytes, sizeof(bytes), nullptr, nullptr);
  EXPECT_STREQ(bytes, "FENRA 1.0 \xC0\xB2\xCC\xDF \xD7\xB2\xCC\xDE\xD7\xD8");
}

// The version resource of `path` as GetFileVersionInfoA gives it.
std::vector<char> VersionResource(VersionInfo& info, const std::string& path) {
  std::vector<char> data(info.GetFileVersionInfoSize(path));
  EXPECT_FALSE(data.empty()) << path;
  EXPECT_TRUE(info.GetFileVersionInfo(path, static_cast<uint32_t>(data.size()), data.data()));
  return data;
}

std::vector<int> Fixed(VersionInfo& info, const std::vector<char>& data, size_t size) {
  FixedFileVersion v;
  if (!info.QueryFixedFileVersion(data.data(), static_cast<uint32_t>(size), &v)) return {};
  return {v.major, v.minor, v.build, v.revision};
}

TEST(Win32VersionInfoTest, FenraExeAndTheDriverFile) {
  Win32VersionInfo info;
  std::vector<char> exe = VersionResource(info, BuildDirectory() + "FENRA.exe");
  EXPECT_EQ(Fixed(info, exe, exe.size()), (std::vector<int>{8, 0, 0, 2}));
  std::string value;
  for (const char* table : {"040904b0", "041104b0"}) {
    for (auto [name, expected] : {std::pair{"FileVersion", "8, 0, 0, 2"}, std::pair{"InternalName", "FENRA"},
                                  std::pair{"OriginalFilename", "FENRA.EXE"}}) {
      std::string block = std::string("\\StringFileInfo\\") + table + "\\" + name;
      ASSERT_TRUE(info.QueryVersionString(exe.data(), static_cast<uint32_t>(exe.size()), block, &value)) << block;
      EXPECT_EQ(value, expected);
    }
  }

  std::vector<char> driver = VersionResource(info, FixturePath("zerod.sys"));
  EXPECT_EQ(Fixed(info, driver, driver.size()), (std::vector<int>{1, 1, 23, 9}));
  EXPECT_EQ(Fixed(info, driver, 8), std::vector<int>{});  // the answer lies beyond the caller's bytes
  EXPECT_FALSE(info.QueryVersionString(driver.data(), static_cast<uint32_t>(driver.size()),
                                       "\\StringFileInfo\\041104b0\\FileVersion", &value));

  EXPECT_EQ(info.GetFileVersionInfoSize(FixturePath("qvmsmsen\\qvmsmsen.dll")), 0u);
  // Wine reports ERROR_RESOURCE_DATA_NOT_FOUND (1812) instead.
  EXPECT_EQ(GetLastError(), testing::RunningOnWine() ? 1812u : win::kErrorResourceTypeNotFound);
  EXPECT_EQ(info.GetFileVersionInfoSize(FixturePath("missing.sys")), 0u);
  EXPECT_EQ(GetLastError(), win::kErrorFileNotFound);
  EXPECT_EQ(info.GetModuleFileName(), BuildDirectory() + "fenra_win32_tests.exe");
}

TEST(Win32VersionInfoTest, ASystem32PathIsReadThroughSysnativeUnderWow64Only) {
  const std::string windows = "C:\\Windows";
  struct Case {
    const char* path;
    bool wow64;
    const char* reached;
  };
  for (Case c : {Case{"C:\\Windows\\system32\\drivers\\zerod.sys", true, "C:\\Windows\\Sysnative\\drivers\\zerod.sys"},
                 Case{"c:\\WINDOWS\\System32\\x", true, "C:\\Windows\\Sysnative\\x"},
                 Case{"C:\\Windows\\system32\\drivers\\zerod.sys", false, "C:\\Windows\\system32\\drivers\\zerod.sys"},
                 Case{"C:\\Windows\\SysWOW64\\FENRA.exe", true, "C:\\Windows\\SysWOW64\\FENRA.exe"},
                 Case{"C:\\Windows\\system32", true, "C:\\Windows\\system32"},
                 Case{"D:\\Windows\\system32\\x", true, "D:\\Windows\\system32\\x"}})
    EXPECT_EQ(NativeSystemPath(c.path, windows, c.wow64), c.reached) << c.path;
}

// A server without the platform version in the registry reads it from the
// driver file in the 64-bit system32\drivers; a 32-bit service must not be
// redirected to SysWOW64\drivers, where it does not exist.
TEST(Win32VersionInfoTest, TheDriverFileIsReadFromThe64BitSystemFolder) {
  char windows[MAX_PATH] = {};
  GetSystemWindowsDirectoryA(windows, sizeof(windows));
  const std::string native = std::string(windows) + "\\system32\\drivers\\zerod.sys";
  const std::string redirected = std::string(windows) + "\\SysWOW64\\drivers\\zerod.sys";
  // Placed with redirection off, so that only the 64-bit folder has it.
  void* redirection = nullptr;
  const bool wow64 = RunningUnderWow64();
  if (wow64) {
    ASSERT_TRUE(Wow64DisableWow64FsRedirection(&redirection));
  }
  bool placed = CreateDirectoryA((std::string(windows) + "\\system32\\drivers").c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS;
  placed = placed && CopyFileA(FixturePath("zerod.sys").c_str(), native.c_str(), FALSE);
  if (wow64) {
    DeleteFileA(redirected.c_str());
    Wow64RevertWow64FsRedirection(redirection);
    EXPECT_EQ(GetFileAttributesA(native.c_str()), INVALID_FILE_ATTRIBUTES) << "redirected, the path finds nothing";
  }
  ASSERT_TRUE(placed) << native;

  testing::TracedMachine machine;
  EXPECT_EQ(CheckSWVersion(machine.runtime()), 1);
  EXPECT_EQ(machine.runtime().monitor.szSWVersion.get(), "1.1");

  if (wow64) Wow64DisableWow64FsRedirection(&redirection);
  DeleteFileA(native.c_str());
  if (wow64) Wow64RevertWow64FsRedirection(redirection);
}

// The keys under HKCR\TypeLib\{LIBID}\1.0\409 with their default values.
std::vector<std::pair<std::string, std::string>> TypeLibraryPlatforms() {
  std::vector<std::pair<std::string, std::string>> platforms;
  HKEY locale = nullptr;
  const std::string path = std::string("TypeLib\\") + kLibId + "\\1.0\\409";
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &locale) != ERROR_SUCCESS) return platforms;
  char name[64];
  for (DWORD i = 0; RegEnumKeyA(locale, i, name, sizeof(name)) == ERROR_SUCCESS; ++i) {
    char value[MAX_PATH + 1] = {};
    LONG size = sizeof(value);
    RegQueryValueA(locale, name, value, &size);
    // Wine's RegisterTypeLib writes the path with its "\\?\" prefix.
    std::string file = value;
    if (file.starts_with("\\\\?\\")) file.erase(0, 4);
    platforms.emplace_back(name, file);
  }
  RegCloseKey(locale);
  return platforms;
}

// The entries of the type library are those the system's own
// RegisterTypeLib writes for the library in this program (which carries
// FENRA.exe's resources): a win64 library in the 64-bit build, a win32 one
// in the 32-bit build.
TEST(Win32TypeLibraryTest, IsRegisteredUnderThePlatformTheSystemGivesIt) {
  testing::TracedMachine machine;
  const std::wstring path = WideFromUtf8(machine.platform().version_info.GetModuleFileName());
  ITypeLib* raw = nullptr;
  ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &raw), S_OK);
  ComPtr<ITypeLib> library(raw);
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
  const auto by_the_system = TypeLibraryPlatforms();
  EXPECT_EQ(UnRegisterTypeLib(attributes->guid, 1, 0, 0x409, attributes->syskind), S_OK);
  library->ReleaseTLibAttr(attributes);
  ASSERT_TRUE(TypeLibraryPlatforms().empty());

  EXPECT_EQ(RegisterTypeLibrary(machine.platform()), S_OK);
  EXPECT_EQ(TypeLibraryPlatforms(), by_the_system);
  UnregisterTypeLibrary(machine.platform());
  EXPECT_TRUE(TypeLibraryPlatforms().empty());
}

TEST(Win32ResourcesTest, LoadStringCopiesWhatFitsFromTheRunningModule) {
  // The test program carries FENRA.exe's resources; Wine's user interface
  // here is English.
  Win32Resources resources;
  char buffer[256];
  EXPECT_EQ(resources.LoadString(100, buffer, sizeof(buffer)), 5);
  EXPECT_STREQ(buffer, "FENRA");
  EXPECT_EQ(resources.LoadString(101, buffer, 4), 3);
  EXPECT_STREQ(buffer, "CPU");
  EXPECT_EQ(resources.LoadString(999, buffer, sizeof(buffer)), 0);
  EXPECT_EQ(resources.LoadString(101, nullptr, 10), 0);
}

}  // namespace
}  // namespace fenra::win32
