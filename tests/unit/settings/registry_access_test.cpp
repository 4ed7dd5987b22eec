#include "settings/registry_access.h"

#include <gtest/gtest.h>

#include "settings/persistent_state.h"
#include "support/service_process.h"
#include "wmi/wmi_tables.h"

namespace fenra {
namespace {

using testing::RegValue;
using testing::ServiceProcess;
using Traces = std::vector<std::string>;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// A first start's creation of keys and values, and a stored value read as
// it is, are pinned by the traced scenarios (pci_flap, status_walk_timeout);
// the stamp handed back and replaced by the long-threshold tests.
class RegistryAccessTest : public ::testing::Test {
 protected:
  ServiceProcess process;
  Runtime& runtime = process.runtime;
};

// A value whose size can be asked but which does not read as a 4-byte
// DWORD gives the default and stays as it is.
TEST_F(RegistryAccessTest, ANumberThatDoesNotReadAsFourBytesGivesTheDefaultAndIsKept) {
  struct Case {
    uint32_t type;
    std::vector<uint8_t> data;
    const char* trace;
  };
  for (const Case& c : {Case{win::kRegDword, {1, 2, 3, 4, 5, 6, 7, 8}, "ret = 234"},
                        Case{win::kRegSz, Bytes(std::string("45", 3)), "ret = 13"},
                        Case{win::kRegBinary, {45, 0, 0, 0}, "ret = 13"}, Case{win::kRegDword, {45, 0}, "ret = 13"}}) {
    process.SetValue(kCpuBoardKey, "SimplexShortThreshold", c.type, c.data);
    process.NewTraces();
    uint32_t value = 0;
    EXPECT_EQ(GetRegisterDWORD(runtime, kCpuBoardKey, "SimplexShortThreshold", 30, &value), 0) << c.trace;
    EXPECT_EQ(value, 30u);
    EXPECT_EQ(process.NewTraces(),
              (Traces{std::string("[GetRegisterDWORD]GetKeyVal SimplexShortThreshold faild // ") + c.trace}));
    EXPECT_EQ(process.Value(kCpuBoardKey, "SimplexShortThreshold"), (RegValue{c.type, c.data}));
  }
}

TEST_F(RegistryAccessTest, AKeyThatCanBeNeitherOpenedNorCreatedGivesTheDefault) {
  uint32_t value = 7;
  EXPECT_EQ(GetRegisterDWORD(runtime, "\\bad", "X", 30, &value), 0);
  EXPECT_EQ(value, 30u);
  char previous[16] = {};
  EXPECT_EQ(GetRegisterSZ(runtime, "\\bad", "SimplexDate", "202401051200", previous, sizeof(previous)), 0);
  EXPECT_STREQ(previous, "202401051200");
  EXPECT_EQ(process.NewTraces(), (Traces{"[GetRegisterDWORD]OpenKey \\bad faild // ret = 161",
                                         "[GetRegisterDWORD]CreateKey \\bad faild // ret = 161",
                                         "[GetRegisterSZ]OpenKey \\bad faild // ret = 161",
                                         "[GetRegisterSZ]CreateKey \\bad faild // ret = 161"}));
}

TEST_F(RegistryAccessTest, AStoredStringIsCutToTheCallersBufferAndStillReplaced) {
  process.SetText(kCpuBoardKey, "SimplexDate", std::string(300, '7'));
  char previous[16] = {};
  // Too long for the 256-byte read buffer: a read failure, nothing written.
  EXPECT_EQ(GetRegisterSZ(runtime, kCpuBoardKey, "SimplexDate", "202401051200", previous, sizeof(previous)), 0);
  EXPECT_STREQ(previous, "202401051200");
  EXPECT_EQ(process.Value(kCpuBoardKey, "SimplexDate")->data.size(), 300u);

  process.SetText(kCpuBoardKey, "SimplexDate", std::string(256, '7'));
  EXPECT_EQ(GetRegisterSZ(runtime, kCpuBoardKey, "SimplexDate", "202401051200", previous, sizeof(previous)), 1);
  EXPECT_EQ(std::string(previous), std::string(15, '7'));
  EXPECT_EQ(process.Value(kCpuBoardKey, "SimplexDate"), (RegValue{win::kRegSz, Bytes("202401051200")}));
}

TEST_F(RegistryAccessTest, AStampOfAnotherTypeIsAReadFailureAndKept) {
  process.SetValue(kCpuBoardKey, "SimplexDate", win::kRegBinary, Bytes("202401021530"));
  process.NewTraces();
  char previous[16] = {};
  EXPECT_EQ(GetRegisterSZ(runtime, kCpuBoardKey, "SimplexDate", "202401051200", previous, sizeof(previous)), 0);
  EXPECT_STREQ(previous, "202401051200");
  EXPECT_EQ(process.NewTraces(), (Traces{"[GetRegisterSZ]GetKeyVal SimplexDate faild // ret = 13"}));
  EXPECT_EQ(process.Value(kCpuBoardKey, "SimplexDate"), (RegValue{win::kRegBinary, Bytes("202401021530")}));
}

// The settings page's table of defaults is held to ThresholdDefaultsFor for
// the characters it names (reference_pages_test); the others it puts in
// the row of `0`: a blank, an empty version and bytes of 0x80 and above,
// below '1' as signed characters.
TEST(ThresholdDefaultsTest, CharactersThePageDoesNotNameTakeTheRowOfZero) {
  auto minutes = [](char first) {
    std::vector<uint32_t> all;
    for (const PairThresholds& pair : ThresholdDefaultsFor(first))
      all.insert(all.end(), {pair.short_minutes, pair.long_minutes});
    return all;
  };
  for (char c : {' ', '\0', '\x80', '\xff'}) {
    EXPECT_EQ(minutes(c), minutes('0')) << static_cast<int>(c);
    const char version[] = {c, '\0'};
    EXPECT_EQ(PlatformGenFromVersion(version), 2u) << static_cast<int>(c);
  }
}

}  // namespace
}  // namespace fenra
