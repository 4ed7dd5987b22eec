// FENRA.exe's resources as Windows reads them: the string tables, the
// version, the type library, the registration script and the manifest;
// and the Resources and VersionInfo ports on them.

#include "platform/win32/windows_api.h"

#include <gtest/gtest.h>

#include "platform/win32/com_values.h"
#include "platform/win32/win32_resources.h"
#include "platform/win32/win32_version_info.h"
#include "resources/com_identity.h"
#include "win32_test_support.h"

namespace fenra::win32 {
namespace {

using testing::BuildDirectory;
using testing::FixturePath;
using testing::WideFromUtf8;

struct StringEntry {
  uint32_t id;
  const char* english;
  const char* japanese;
};

constexpr StringEntry kStrings[] = {
#define FENRA_STRING(id, symbol, english, japanese) {id, english, japanese},
#include "resources/string_table.inc"
#undef FENRA_STRING
};

class FenraExeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExA(exe_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << exe_;
  }
  void TearDown() override { FreeLibrary(module_); }

  std::string Resource(const char* type, int id, LANGID language) {
    HRSRC found = FindResourceExA(module_, type, MAKEINTRESOURCEA(id), language);
    if (found == nullptr) return {};
    auto* bytes = static_cast<const char*>(LockResource(LoadResource(module_, found)));
    return std::string(bytes, SizeofResource(module_, found));
  }

  // String `id` of the table in `language`: its block holds 16 counted
  // UTF-16 strings.
  std::wstring TableString(uint32_t id, LANGID language) {
    HRSRC block = FindResourceExW(module_, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(id / 16 + 1), language);
    if (block == nullptr) return L"(no block)";
    auto* text = static_cast<const wchar_t*>(LockResource(LoadResource(module_, block)));
    for (uint32_t i = 0; i < id % 16; ++i) text += 1 + *text;
    return std::wstring(text + 1, *text);
  }

  const std::string exe_ = BuildDirectory() + "FENRA.exe";
  HMODULE module_ = nullptr;
};

TEST_F(FenraExeTest, StringTablesHoldTheTextsInEnglishAndJapanese) {
  for (const StringEntry& entry : kStrings) {
    EXPECT_EQ(TableString(entry.id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)), WideFromUtf8(entry.english))
        << entry.id;
    EXPECT_EQ(TableString(entry.id, MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN)), WideFromUtf8(entry.japanese))
        << entry.id;
  }
  EXPECT_EQ(TableString(110, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
            L"%s changed to SIMPLEX state.\n[Occurrence Time]");
}

TEST_F(FenraExeTest, RegistrationScriptAndManifest) {
  std::string script = Resource("REGISTRY", 100, MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN));
  std::string app_id = kAppId;
  EXPECT_NE(script.find("NoRemove AppID"), std::string::npos) << script;
  EXPECT_NE(script.find("'" + app_id + "' = s 'FENRA'"), std::string::npos) << script;
  EXPECT_NE(script.find("'FENRA.EXE'"), std::string::npos) << script;
  EXPECT_NE(script.find("val AppID = s '" + app_id + "'"), std::string::npos) << script;

  std::string manifest = Resource(MAKEINTRESOURCEA(24), 1, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
  EXPECT_NE(manifest.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos) << manifest;
}

TEST_F(FenraExeTest, TypeLibraryFenraLib) {
  ITypeLib* raw = nullptr;
  ASSERT_EQ(LoadTypeLibEx(WideFromUtf8(exe_).c_str(), REGKIND_NONE, &raw), S_OK);
  ComPtr<ITypeLib> library(raw);
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
  wchar_t libid[40] = {};
  StringFromGUID2(attributes->guid, libid, 40);
  EXPECT_EQ(std::wstring(libid), WideFromUtf8(kLibId));
  EXPECT_EQ(attributes->wMajorVerNum, 1);
  EXPECT_EQ(attributes->wMinorVerNum, 0);
  EXPECT_EQ(attributes->lcid, 0x0409u);
  library->ReleaseTLibAttr(attributes);
  EXPECT_EQ(library->GetTypeInfoCount(), 0u);

  Bstr name;
  Bstr help;
  ASSERT_EQ(library->GetDocumentation(-1, name.put(), help.put(), nullptr, nullptr), S_OK);
  EXPECT_EQ(WideFromBstr(name.get()), L"FENRALib");
  // The help string's bytes are code page 932 ("FENRA 1.0 ﾀｲﾌﾟ ﾗｲﾌﾞﾗﾘ" on
  // a Japanese system); read back through this system's ANSI code page they
  // come out as they went in.
  std::wstring wide = WideFromBstr(help.get());
  std::string bytes(wide.size() * 2, '\0');
  bytes.resize(static_cast<size_t>(WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                                       bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                                       nullptr)));
  EXPECT_EQ(bytes, "FENRA 1.0 \xC0\xB2\xCC\xDF \xD7\xB2\xCC\xDE\xD7\xD8");
}

TEST_F(FenraExeTest, VersionResourceThroughTheVersionInfoPort) {
  Win32VersionInfo info;
  uint32_t size = info.GetFileVersionInfoSize(exe_);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(info.GetFileVersionInfo(exe_, size, data.data()));
  FixedFileVersion fixed;
  ASSERT_TRUE(info.QueryFixedFileVersion(data.data(), size, &fixed));
  EXPECT_EQ((std::vector<int>{fixed.major, fixed.minor, fixed.build, fixed.revision}),
            (std::vector<int>{8, 0, 0, 2}));
  for (const char* table : {"040904b0", "041104b0"}) {
    std::string block = std::string("\\StringFileInfo\\") + table + "\\";
    std::string value;
    ASSERT_TRUE(info.QueryVersionString(data.data(), size, block + "FileVersion", &value)) << table;
    EXPECT_EQ(value, "8, 0, 0, 2");
    ASSERT_TRUE(info.QueryVersionString(data.data(), size, block + "InternalName", &value));
    EXPECT_EQ(value, "FENRA");
    ASSERT_TRUE(info.QueryVersionString(data.data(), size, block + "OriginalFilename", &value));
    EXPECT_EQ(value, "FENRA.EXE");
  }
  std::string value;
  EXPECT_FALSE(info.QueryVersionString(data.data(), size, "\\StringFileInfo\\040704b0\\FileVersion", &value));
}

TEST(Win32VersionInfoTest, DriverFileWithoutStringsAndFilesWithoutAVersion) {
  Win32VersionInfo info;
  const std::string driver = FixturePath("zerod.sys");
  uint32_t size = info.GetFileVersionInfoSize(driver);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(info.GetFileVersionInfo(driver, size, data.data()));
  FixedFileVersion fixed;
  ASSERT_TRUE(info.QueryFixedFileVersion(data.data(), size, &fixed));
  EXPECT_EQ((std::vector<int>{fixed.major, fixed.minor, fixed.build, fixed.revision}),
            (std::vector<int>{1, 1, 23, 9}));
  std::string value;
  EXPECT_FALSE(info.QueryVersionString(data.data(), size, "\\StringFileInfo\\041104b0\\FileVersion", &value));
  // The answer must lie within the bytes the caller says it has.
  EXPECT_FALSE(info.QueryFixedFileVersion(data.data(), 8, &fixed));

  EXPECT_EQ(info.GetFileVersionInfoSize(FixturePath("qvmsmsen\\qvmsmsen.dll")), 0u);
  // Wine reports ERROR_RESOURCE_DATA_NOT_FOUND (1812) instead.
  EXPECT_EQ(GetLastError(), testing::RunningOnWine() ? 1812u : win::kErrorResourceTypeNotFound);
  EXPECT_EQ(info.GetFileVersionInfoSize(FixturePath("missing.sys")), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(win::kErrorFileNotFound));

  std::string self = info.GetModuleFileName();
  EXPECT_EQ(self, BuildDirectory() + "fenra_win32_tests.exe");
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
