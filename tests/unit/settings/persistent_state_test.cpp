#include "settings/persistent_state.h"

#include <gtest/gtest.h>

#include "support/service_process.h"

namespace fenra {
namespace {

using testing::RegValue;
using testing::ServiceProcess;
using testing::VirtualTimeAt;
using Traces = std::vector<std::string>;

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The first module of the table: CPU 0.
const SerialModule& kCpu0 = kSerialModules[0];
const std::vector<uint8_t> kSerialA{0x51, 0x43, 0x50, 0x55, 0x30, 0x00, 0x10, 0x01};
const std::vector<uint8_t> kSerialB{0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17};

class SerialNumberTest : public ::testing::Test {
 protected:
  SerialNumberTest() {
    process.SetValue(kCpu0.source_key, "SerialNumber", win::kRegBinary, kSerialA);
    process.NewTraces();
  }
  int Check() { return CheckSerialNumber(process.runtime, kCpu0.source_key, kCpu0.kept_key, kCpu0.value_name); }

  ServiceProcess process;
};

// A first start (no kept copy, no stamp) is pinned by the core_first_start
// scenario, as is a module whose published number is missing.
// A kept copy that is not the published number, or not eight binary bytes, is replaced and the stamp deleted.
TEST_F(SerialNumberTest, AnAgreeingCopyChangesNothingAndAnyOtherIsReplaced) {
  const std::string inconsistent = "[CheckSerialNumber]SerialNumber inconsistancy // SerialNumberCpu0";
  const std::string set = "[CheckSerialNumber]SetKey SerialNumberCpu0 = 51 43 50 55 30 00 10 01";
  const std::string deleted = "[CheckSerialNumber]Delete SimplexDate (SerialNumberCpu0)";
  struct Case {
    RegValue kept;
    Traces traces;
  };
  const std::string agreement = "[CheckSerialNumber]SerialNumber agreement // SerialNumberCpu0";
  const std::string unreadable = "[CheckSerialNumber]GetKeyVal SerialNumberCpu0 faild // ret = 13";
  for (const Case& c : {Case{{win::kRegBinary, kSerialA}, {agreement}},
                        Case{{win::kRegBinary, kSerialB}, {inconsistent, set, deleted}},
                        Case{{win::kRegSz, Bytes("QCPU0")}, {unreadable, inconsistent, set, deleted}}}) {
    process.SetValue(kCpuBoardKey, "SerialNumberCpu0", c.kept.type, c.kept.data);
    process.SetText(kCpuBoardKey, "SimplexDate", "202401021530");
    process.NewTraces();
    EXPECT_EQ(Check(), 1);
    EXPECT_EQ(process.NewTraces(), c.traces);
    EXPECT_EQ(process.Value(kCpuBoardKey, "SerialNumberCpu0"), (RegValue{win::kRegBinary, kSerialA}));
    EXPECT_EQ(process.Value(kCpuBoardKey, "SimplexDate").has_value(), c.traces.size() == 1);
  }
}

TEST_F(SerialNumberTest, AnAllZeroNumberLeavesEverythingAsItIs) {
  process.SetValue(kCpu0.source_key, "SerialNumber", win::kRegBinary, std::vector<uint8_t>(8, 0));
  process.SetValue(kCpuBoardKey, "SerialNumberCpu0", win::kRegBinary, kSerialB);
  process.SetText(kCpuBoardKey, "SimplexDate", "202401021530");
  process.NewTraces();
  EXPECT_EQ(Check(), 0);
  EXPECT_EQ(process.NewTraces(), (Traces{"[CheckSerialNumber]SerialNumber all zero // SerialNumberCpu0"}));
  EXPECT_EQ(process.Value(kCpuBoardKey, "SerialNumberCpu0"), (RegValue{win::kRegBinary, kSerialB}));
  EXPECT_TRUE(process.Value(kCpuBoardKey, "SimplexDate"));
}

TEST_F(SerialNumberTest, AnUnreadablePublishedNumberIsNotCompared) {
  struct Case {
    uint32_t type;
    std::vector<uint8_t> data;
    const char* trace;
  };
  for (const Case& c : {Case{win::kRegBinary, std::vector<uint8_t>(9, 1), "ret = 234"},
                        Case{win::kRegBinary, {1, 2, 3, 4}, "ret = 13"},
                        Case{win::kRegDword, {1, 2, 3, 4}, "ret = 13"}}) {
    process.SetValue(kCpu0.source_key, "SerialNumber", c.type, c.data);
    process.NewTraces();
    EXPECT_EQ(Check(), 0);
    EXPECT_EQ(process.NewTraces(),
              (Traces{std::string("[CheckSerialNumber]GetKeyVal SYSTEM\\CurrentControlSet\\Services\\zerod\\"
                                  "CpuBoard0 faild // ") +
                      c.trace}));
  }
}

// CheckLongThreshold on a machine whose clock shows `now`, with `stored`
// as the CPU group's SimplexDate (none when null) and `threshold` minutes.
struct LongThresholdRun {
  int result;
  Traces traces;
  std::optional<RegValue> stamp;
};
LongThresholdRun RunLongThreshold(LocalTime now, const char* stored, uint32_t threshold, int group = 0) {
  ServiceProcess process(VirtualTimeAt(now));
  if (stored) process.SetText(kPairs[static_cast<size_t>(group)].board_key, "SimplexDate", stored);
  MonitorConfig config;
  config.dwCpuLongThreshold = group == 0 ? threshold : 0;
  config.dwPciLongThreshold = group == 1 ? threshold : 0;
  config.dwExPciLongThreshold = group == 2 ? threshold : 0;
  process.monitor.PublishConfig(config);
  process.NewTraces();
  int result = CheckLongThreshold(process.runtime, group);
  return {result, process.NewTraces(), process.Value(kPairs[static_cast<size_t>(group)].board_key, "SimplexDate")};
}

LocalTime At(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute) {
  return {year, month, 0, day, hour, minute, 30, 0};
}

TEST(LongThresholdTest, ThePresentMinuteReplacesTheStampAsTwelveBytes) {
  LongThresholdRun run = RunLongThreshold(At(2024, 1, 5, 12, 0), "202401021530", 129600);
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.stamp, (RegValue{win::kRegSz, Bytes("202401051200")}));
  EXPECT_EQ(run.traces, (Traces{"[GetRegisterSZ]SetValue SimplexDate = 202401051200"}));

  run = RunLongThreshold(At(2024, 1, 5, 12, 0), nullptr, 129600);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.stamp, (RegValue{win::kRegSz, Bytes("202401051200")}));
}

// Stamps are real calendar date-times: months of 28 to 31 days, years of
// 365 or 366. The explorer's runs cross the ends of 31-day months and of
// the year, and try stamps just inside and outside the threshold, from
// 2026 only: the leap day and the 30-day month are here.
TEST(LongThresholdTest, MonthsOfEveryLengthCountTheRealMinutes) {
  const LocalTime march_first = At(2024, 3, 1, 12, 0);
  EXPECT_EQ(RunLongThreshold(At(2024, 5, 1, 0, 30), "202404302345", 60).result, 1);  // April has 30 days
  // 28 February to 1 March: two days in a leap year, one otherwise.
  EXPECT_EQ(RunLongThreshold(march_first, "202402281200", 2880).result, 0);
  EXPECT_EQ(RunLongThreshold(march_first, "202402281200", 2881).result, 1);
  EXPECT_EQ(RunLongThreshold(At(2023, 3, 1, 12, 0), "202302281200", 1441).result, 1);
  EXPECT_EQ(RunLongThreshold(At(2024, 3, 1, 0, 0), "202402292359", 2).result, 1);
  EXPECT_EQ(RunLongThreshold(march_first, "202403011200", 1).result, 1);  // the same minute
  // Each group has its own key and threshold.
  LongThresholdRun expci = RunLongThreshold(march_first, "202403011101", 60, 2);
  EXPECT_EQ(expci.result, 1);
  EXPECT_EQ(expci.stamp, (RegValue{win::kRegSz, Bytes("202403011200")}));
}

TEST(LongThresholdTest, AStampInTheFutureIsAnErrorAndReplaced) {
  LongThresholdRun run = RunLongThreshold(At(2024, 1, 5, 12, 0), "202401051201", 60);
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(run.traces, (Traces{"[GetRegisterSZ]SetValue SimplexDate = 202401051200",
                                "[CheckLongThreshold]SimplexDate Error (Futule?)"}));
  EXPECT_EQ(run.stamp, (RegValue{win::kRegSz, Bytes("202401051200")}));
}

TEST(LongThresholdTest, AStampThatIsNoDateCountsAsMissingAndIsReplaced) {
  for (const char* stored : {"2024010512", "2024010511000", "20240105110a", "202302291100", "202413011100",
                             "202401051160", "202401052400", ""}) {
    LongThresholdRun run = RunLongThreshold(At(2024, 1, 5, 12, 0), stored, 129600);
    EXPECT_EQ(run.result, 0) << stored;
    EXPECT_EQ(run.stamp, (RegValue{win::kRegSz, Bytes("202401051200")})) << stored;
  }
}

}  // namespace
}  // namespace fenra
