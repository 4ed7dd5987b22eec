#include "diagnostics/event_log_writer.h"

#include <gtest/gtest.h>

#include "diagnostics/event_ids.h"
#include "support/test_machine.h"

namespace fenra {
namespace {

using testing::TestMachine;

class EventLogWriterTest : public ::testing::Test {
 protected:
  TestMachine machine;
  Platform& platform = machine.platform();
};

// A plain record's source, ID, type, text and empty data are pinned by every
// scenario (the service's start record, the alerts).
TEST_F(EventLogWriterTest, OnlySelectorOneWritesUnderZuftAndNoRecordHasACategory) {
  for (int16_t selector : {0, 1, 2, 3, -1})
    WriteEventLog(platform, selector, EVID_SERVICE_STARTED, "x", win::kEventlogInformationType, "FENRA", 1);
  std::vector<std::string> sources;
  for (const auto& event : machine.Events()) {
    sources.push_back(event.source);
    EXPECT_EQ(event.category, 0);
  }
  EXPECT_EQ(sources, (std::vector<std::string>{"QVMFTMarvix", "QVMZUFT", "QVMFTMarvix", "QVMFTMarvix",
                                               "QVMFTMarvix"}));
}

// A known code with its function is pinned by the scenarios' error records.
TEST_F(EventLogWriterTest, ErrorTextsHaveTheHeadAndTheSystemTextCutAt1023Characters) {
  EXPECT_EQ(ComposeErrorText(platform, 5, nullptr), "ErrCode: 5\r\n Contents : Access is denied.\r\n");
  // Unknown codes end in "Unknown Error" and print signed.
  EXPECT_EQ(ComposeErrorText(platform, 0x80041032, "Next()"),
            "Function : Next()\r\n ErrCode: -2147217358\r\n Contents : Unknown Error\r\n");
  EXPECT_EQ(ComposeErrorText(platform, 99999, nullptr), "ErrCode: 99999\r\n Contents : Unknown Error\r\n");
  std::string function(2000, 'f');
  std::string text = ComposeErrorText(platform, 8, function.c_str());
  EXPECT_EQ(text.size(), 1023u);
  EXPECT_EQ(text.substr(0, 11), "Function : ");
  EXPECT_EQ(ComposeErrorText(platform, 99999, function.c_str()).size(), 1023u);
}

// A system whose text for every error is 2000 characters long.
class LongSystemTexts : public EventLog {
 public:
  EventSourcePtr RegisterEventSource(const std::string&) override { return nullptr; }
  bool ReportEvent(EventSource&, uint16_t, uint16_t, uint32_t, const std::vector<std::string>&,
                   std::span<const uint8_t>) override {
    return false;
  }
  std::optional<std::string> FormatSystemMessage(uint32_t) override { return std::string(1998, 's') + "\r\n"; }
};

TEST_F(EventLogWriterTest, ALongSystemTextIsCutBehindTheHeadAt1023Characters) {
  LongSystemTexts texts;
  Platform ports{platform.kernel, platform.registry, texts, platform.files, platform.service_control,
                 platform.resources, platform.system, platform.com, platform.wmi, platform.hardware,
                 platform.version_info};
  // The head stays whole; the system text fills the rest, without its line break.
  for (const char* function : {"CreateEvent()", static_cast<const char*>(nullptr)}) {
    std::string head = function ? std::string("Function : ") + function + "\r\n ErrCode: 8\r\n Contents : "
                                : "ErrCode: 8\r\n Contents : ";
    EXPECT_EQ(ComposeErrorText(ports, 8, function), head + std::string(1023 - head.size(), 's'));
  }
}

TEST_F(EventLogWriterTest, FailuresToWriteReturnMinusOne) {
  // The plain writer refuses a null source file name; the error writer does not need one.
  EXPECT_EQ(WriteEventLog(platform, EVSRC_ZUFT, EVID_SERVICE_STARTED, "x", win::kEventlogInformationType, nullptr, 1),
            -1);
  EXPECT_EQ(WriteEventLogError(platform, EVSRC_ZUFT, EVID_API_FAILED, win::kEventlogErrorType, 8, "f", nullptr, 1), 0);
  ASSERT_EQ(machine.Events().size(), 1u);

  machine->event_log().SetFaults({.register_error = win::kErrorAccessDenied});
  EXPECT_EQ(WriteEventLog(platform, EVSRC_ZUFT, EVID_SERVICE_STARTED, "x", win::kEventlogInformationType, "FENRA", 1),
            -1);
  EXPECT_EQ(WriteEventLogError(platform, EVSRC_ZUFT, EVID_API_FAILED, win::kEventlogErrorType, 8, "f", "FENRA", 1),
            -1);
  machine->event_log().SetFaults({.report_error = win::kErrorInvalidParameter});
  EXPECT_EQ(WriteEventLogErrorData(platform, EVSRC_ZUFT, EVID_API_FAILED, win::kEventlogErrorType, 8, "f", "d", 1,
                                   "FENRA", 1),
            -1);
  machine->event_log().SetFaults({});
  EXPECT_EQ(machine.Events().size(), 1u);
}

TEST_F(EventLogWriterTest, AFaultInsideTheErrorWriterLeavesTheFallbackRecord) {
  machine->event_log().SetFaults({.report_throws = 1});
  EXPECT_EQ(WriteEventLogError(platform, EVSRC_ZUFT, EVID_API_FAILED, win::kEventlogErrorType, 8, "CreateEvent()",
                               "FENRA", 1),
            -1);
  auto events = machine.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "QVMFTMarvix");
  EXPECT_EQ(events[0].event_id, 0xC0000006u);
  EXPECT_EQ(events[0].type, "error");
  EXPECT_EQ(events[0].strings, std::vector<std::string>{"EventLog-ERROR ID=1"});
}

}  // namespace
}  // namespace fenra
