#include "platform/sim/hardware_facts.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_version_info.h"
#include "unit/platform/sim/test_support.h"

namespace fenra::sim {
namespace {

using testing::FakeSystem;
using testing::ScratchDir;
using testing::WriteFile;

std::string LoadError(const std::filesystem::path& file, const std::string& text) {
  WriteFile(file, text);
  try {
    LoadHardwareFacts(file);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(HardwareFactsTest, OtherSectionsAndCommentsAreIgnoredAndLeftOutSectionsAreMissingParts) {
  ScratchDir dir;
  WriteFile(dir.path() / kHardwareFile,
            "// the machine\n{\"wmi\": {\"modules\": [1, 2]}, /* no library */ \"ipmi\": {\"answer\": \"00 01\"}}");
  HardwareFacts facts = LoadHardwareFacts(dir.path() / kHardwareFile);
  EXPECT_FALSE(facts.library.present);
  EXPECT_TRUE(facts.ipmi.present);
  EXPECT_EQ(facts.ipmi.answer, (std::vector<uint8_t>{0, 1}));
  EXPECT_FALSE(facts.driver.present);
  EXPECT_FALSE(LoadHardwareFacts(dir.path() / "none.json").library.present);
}

TEST(HardwareFactsTest, BadInputIsRefusedNamingTheFileAndTheMember) {
  ScratchDir dir;
  std::filesystem::path file = dir.path() / kHardwareFile;
  struct Case {
    const char* text;
    const char* member;
  };
  for (const Case& c : {
           Case{R"({"driver": {"serial_numbers": {"CpuBoard9": "00 00 00 00 00 00 00 01"}}})",
                "driver.serial_numbers.CpuBoard9"},
           Case{R"({"driver": {"serial_numbers": {"CpuBoard0": "00 01"}}})", "exactly 8 bytes"},
           Case{R"({"driver": {"file_version": "1.1.23"}})", "driver.file_version"},
           Case{R"({"driver": {"file_version": "1.1.23.70000"}})", "above 65535"},
           Case{R"({"driver": {"file_version": "4294967296.1.1.1"}})", "above 65535"},
           Case{R"({"executable": {"file_version": "1.1..1"}})", "executable.file_version"},
           Case{R"({"library": {"device_id": "0g"}})", "library.device_id"},
           Case{R"({"library": {"sdr_status": [{"status": "busy"}]}})", "library.sdr_status[0].status"},
           Case{R"({"library": {"sdr_status": [{"calls": 0}]}})", "library.sdr_status[0].calls"},
           Case{R"({"library": {"sdr_status": [{}, {"calls": 4294967296}]}})", "library.sdr_status[1].calls"},
           Case{R"({"library": {"present": "yes"}})", "library.present"},
           Case{R"({"ipmi": []})", "ipmi"},
           Case{R"({"library": )", ":1:13: syntax error while parsing value - unexpected end of input"},
       }) {
    std::string error = LoadError(file, c.text);
    EXPECT_NE(error.find(file.string()), std::string::npos) << error;
    EXPECT_NE(error.find(c.member), std::string::npos) << error;
  }
}

TEST(SimVersionInfoTest, FilesAreFoundWhateverTheFormOfTheirPath) {
  ScratchDir dir;
  MachinePaths paths(dir.path());
  FakeSystem system;
  HardwareFacts facts;
  facts.driver.present = true;
  facts.driver.version = VersionResourceFacts{FixedFileVersion{1, 0, 18, 2}, {}};
  SimVersionInfo version_info(paths, system, facts);

  for (const char* path : {"C:\\Windows\\system32\\drivers\\zerod.sys", "c:/WINDOWS/System32/Drivers/ZEROD.SYS",
                           "drivers\\zerod.sys", "C:\\Windows\\system32\\..\\system32\\drivers\\zerod.sys"}) {
    uint32_t size = version_info.GetFileVersionInfoSize(path);
    ASSERT_GT(size, 0u) << path;
    std::vector<uint8_t> data(size);
    ASSERT_TRUE(version_info.GetFileVersionInfo(path, size, data.data()));
    FixedFileVersion version;
    ASSERT_TRUE(version_info.QueryFixedFileVersion(data.data(), size, &version));
    EXPECT_EQ(version.build, 18) << path;
    // A resource cut short reads as none.
    EXPECT_FALSE(version_info.QueryFixedFileVersion(data.data(), size - 1, &version));
  }

  std::string exe = version_info.GetModuleFileName();
  std::vector<uint8_t> data(version_info.GetFileVersionInfoSize(exe));
  ASSERT_TRUE(version_info.GetFileVersionInfo(exe, static_cast<uint32_t>(data.size()), data.data()));
  std::string text;
  uint32_t size = static_cast<uint32_t>(data.size());
  EXPECT_TRUE(version_info.QueryVersionString(data.data(), size, "\\StringFileInfo\\041104B0\\FileVersion", &text));
  EXPECT_EQ(text, "8, 0, 0, 2");
  EXPECT_FALSE(version_info.QueryVersionString(data.data(), size, "\\StringFileInfo\\041104b0\\Comments", &text));
  EXPECT_FALSE(version_info.QueryVersionString(data.data(), size, "\\VarFileInfo\\Translation", &text));
}

}  // namespace
}  // namespace fenra::sim
