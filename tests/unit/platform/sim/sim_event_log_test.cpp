#include "platform/sim/sim_event_log.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/sim/last_error.h"
#include "platform/sim/sim_kernel.h"
#include "platform/win_values.h"
#include "unit/platform/sim/test_support.h"

namespace fenra::sim {
namespace {

using testing::ReadText;

class SimEventLogTest : public ::testing::Test {
 protected:
  std::filesystem::path file() const { return dir_.path() / "eventlog.jsonl"; }

  bool Report(const std::string& source, uint16_t type, uint32_t event_id, const std::vector<std::string>& strings,
              std::vector<uint8_t> data = {}) {
    EventSourcePtr handle = log_.RegisterEventSource(source);
    return handle && log_.ReportEvent(*handle, type, 0, event_id, strings, data);
  }

  testing::ScratchDir dir_;
  SimKernel kernel_{{.virtual_time = true, .start_local_time = {2026, 3, 6, 7, 9, 5, 7, 42}}};
  SimEventLog log_{file(), kernel_};
};

TEST_F(SimEventLogTest, ARecordIsOneJsonLineInTheDocumentedForm) {
  ASSERT_TRUE(Report("QVMZUFT", win::kEventlogInformationType, 0x40000001, {""}));
  kernel_.Sleep(1000);  // on virtual time
  ASSERT_TRUE(Report("QVMFTMarvix", win::kEventlogWarningType, 0x80000802, {"a \"quoted\"\r\ntext"},
                     {0x00, 0xAB, 0x10}));
  EXPECT_EQ(ReadText(file()),
            "{\"time\":\"2026-03-07T09:05:07.042\",\"source\":\"QVMZUFT\",\"event_id\":1073741825,"
            "\"type\":\"information\",\"category\":0,\"strings\":[\"\"],\"data\":\"\"}\n"
            "{\"time\":\"2026-03-07T09:05:08.042\",\"source\":\"QVMFTMarvix\",\"event_id\":2147485698,"
            "\"type\":\"warning\",\"category\":0,\"strings\":[\"a \\\"quoted\\\"\\r\\ntext\"],\"data\":\"00ab10\"}\n");

  std::vector<EventLogRecord> records = ReadEventLog(file());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].time, "2026-03-07T09:05:08.042");
  EXPECT_EQ(records[1].source, "QVMFTMarvix");
  EXPECT_EQ(records[1].event_id, 0x80000802u);
  EXPECT_EQ(records[1].type, "warning");
  EXPECT_EQ(records[1].strings, std::vector<std::string>{"a \"quoted\"\r\ntext"});
  EXPECT_EQ(records[1].data, "00ab10");
}

TEST_F(SimEventLogTest, EveryEventTypeHasAName) {
  const std::pair<uint16_t, const char*> types[] = {{1, "error"},         {2, "warning"},
                                                    {4, "information"},   {0, "success"},
                                                    {8, "audit success"}, {16, "audit failure"},
                                                    {3, "unknown(3)"}};
  for (const auto& [type, name] : types) ASSERT_TRUE(Report("S", type, 1, {}));
  std::vector<EventLogRecord> records = ReadEventLog(file());
  ASSERT_EQ(records.size(), std::size(types));
  for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].type, types[i].second);
}

TEST_F(SimEventLogTest, TextsAreUtf8AndBrokenBytesDoNotBreakTheRecord) {
  const std::string japanese = "CPU\xe3\x83\xa2\xe3\x82\xb8\xe3\x83\xa5\xe3\x83\xbc\xe3\x83\xab";
  ASSERT_TRUE(Report("QVMFTMarvix", 2, 1, {japanese, "bad \xff\xfe end"}));
  std::vector<EventLogRecord> records = ReadEventLog(file());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].strings[0], japanese);
  EXPECT_EQ(records[0].strings[1], "bad \xef\xbf\xbd\xef\xbf\xbd end");
}

TEST_F(SimEventLogTest, ConcurrentWritersNeverInterleave) {
  const std::string long_text(5000, 'x');
  SimEventLog second_process(file(), kernel_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    EventLog& log = t % 2 ? static_cast<EventLog&>(second_process) : log_;
    threads.emplace_back([&log, &long_text, t] {
      for (int i = 0; i < 50; ++i) {
        EventSourcePtr source = log.RegisterEventSource("S" + std::to_string(t));
        log.ReportEvent(*source, 4, 0, static_cast<uint32_t>(i), {long_text}, {});
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<EventLogRecord> records = ReadEventLog(file());
  EXPECT_EQ(records.size(), 200u);
  for (const EventLogRecord& record : records) EXPECT_EQ(record.strings, std::vector<std::string>{long_text});
}

TEST_F(SimEventLogTest, InjectedFaultsFailOrThrow) {
  log_.SetFaults({.register_error = win::kErrorAccessDenied});
  SetLastError(0);
  EXPECT_EQ(log_.RegisterEventSource("QVMZUFT"), nullptr);
  EXPECT_EQ(GetLastError(), win::kErrorAccessDenied);

  log_.SetFaults({.register_throws = true});
  EXPECT_THROW(log_.RegisterEventSource("QVMZUFT"), std::runtime_error);

  log_.SetFaults({});
  EventSourcePtr source = log_.RegisterEventSource("QVMZUFT");
  ASSERT_NE(source, nullptr);
  log_.SetFaults({.report_error = 1502});
  EXPECT_FALSE(log_.ReportEvent(*source, 1, 0, 1, {"x"}, {}));
  EXPECT_EQ(GetLastError(), 1502u);
  log_.SetFaults({.report_throws = -1});
  EXPECT_THROW(log_.ReportEvent(*source, 1, 0, 1, {"x"}, {}), std::runtime_error);
  EXPECT_TRUE(ReadEventLog(file()).empty());

  log_.SetFaults({});
  EXPECT_TRUE(log_.ReportEvent(*source, 1, 0, 1, {"x"}, {}));
  EXPECT_EQ(ReadEventLog(file()).size(), 1u);
}

TEST_F(SimEventLogTest, AnUnwritableLogFailsTheReport) {
  SimEventLog nowhere(dir_.path() / "missing" / "eventlog.jsonl", kernel_);
  EventSourcePtr source = nowhere.RegisterEventSource("QVMZUFT");
  ASSERT_NE(source, nullptr);
  SetLastError(0);
  EXPECT_FALSE(nowhere.ReportEvent(*source, 1, 0, 1, {"x"}, {}));
  EXPECT_NE(GetLastError(), 0u);
}

TEST_F(SimEventLogTest, TheReaderToleratesNoFileButNotABrokenOne) {
  EXPECT_TRUE(ReadEventLog(file()).empty());
  ASSERT_TRUE(Report("S", 1, 1, {"x"}));
  std::ofstream(file(), std::ios::app) << "{\"time\":\"2026\n";
  try {
    ReadEventLog(file());
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(file().string() + ":2: "), std::string::npos) << e.what();
  }
}

TEST_F(SimEventLogTest, SystemMessagesAreTheEnglishTextsWithCrLf) {
  EXPECT_EQ(log_.FormatSystemMessage(0), "The operation completed successfully.\r\n");
  EXPECT_EQ(log_.FormatSystemMessage(2), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(log_.FormatSystemMessage(5), "Access is denied.\r\n");
  EXPECT_EQ(log_.FormatSystemMessage(8), "Not enough memory resources are available to process this command.\r\n");
  EXPECT_EQ(log_.FormatSystemMessage(87), "The parameter is incorrect.\r\n");
  EXPECT_EQ(log_.FormatSystemMessage(1060), "The specified service does not exist as an installed service.\r\n");
  EXPECT_EQ(log_.FormatSystemMessage(1063), "The service process could not connect to the service controller.\r\n");
  EXPECT_EQ(log_.FormatSystemMessage(1073), "The specified service already exists.\r\n");
  // A Win32 error wrapped in an HRESULT has the same text.
  EXPECT_EQ(log_.FormatSystemMessage(0x80070005), "Access is denied.\r\n");
  // No text: unknown codes, and WMI's own codes, which are not in the table.
  EXPECT_EQ(log_.FormatSystemMessage(12345), std::nullopt);
  EXPECT_EQ(log_.FormatSystemMessage(0x80041032), std::nullopt);
  EXPECT_EQ(log_.FormatSystemMessage(0x80070000 + 12345), std::nullopt);
}

}  // namespace
}  // namespace fenra::sim
