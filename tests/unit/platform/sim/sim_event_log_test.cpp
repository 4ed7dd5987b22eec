#include "platform/sim/sim_event_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/sim/sim_kernel.h"
#include "platform/win_values.h"
#include "unit/platform/sim/test_support.h"

namespace fenra::sim {
namespace {

using testing::ReadFile;

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
  SimKernel::Attachment attachment_ = kernel_.Attach("test");
  SimEventLog log_{file(), kernel_};
};

// Texts are UTF-8; bytes that are no UTF-8 become U+FFFD and do not break the record.
TEST_F(SimEventLogTest, ARecordIsOneJsonLineInTheDocumentedForm) {
  ASSERT_TRUE(Report("QVMZUFT", win::kEventlogInformationType, 0x40000001, {""}));
  kernel_.Sleep(1000);  // on virtual time
  ASSERT_TRUE(Report("QVMFTMarvix", win::kEventlogWarningType, 0x80000802,
                     {"a \"quoted\"\r\ntext", "CPU\xe3\x83\xa2 bad \xff end"}, {0x00, 0xAB, 0x10}));
  EXPECT_EQ(ReadFile(file()),
            "{\"time\":\"2026-03-07T09:05:07.042\",\"source\":\"QVMZUFT\",\"event_id\":1073741825,"
            "\"type\":\"information\",\"category\":0,\"strings\":[\"\"],\"data\":\"\"}\n"
            "{\"time\":\"2026-03-07T09:05:08.042\",\"source\":\"QVMFTMarvix\",\"event_id\":2147485698,"
            "\"type\":\"warning\",\"category\":0,\"strings\":[\"a \\\"quoted\\\"\\r\\ntext\","
            "\"CPU\xe3\x83\xa2 bad \xef\xbf\xbd end\"],\"data\":\"00ab10\"}\n");
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

}  // namespace
}  // namespace fenra::sim
