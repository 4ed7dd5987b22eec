#include "unit/platform/event_log_contract.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/win_values.h"

namespace fenra::testing {
namespace {

// Every shape of record the service writes: its two sources (and, as on
// Windows, a source never installed), the three types with their severity
// bits in the ID, one insertion string (empty, an alert's 2,047 characters
// in ANSI text beyond ASCII), raw data or none.
TEST_P(EventLogContractTest, TheRecordsOfTheServiceAreAccepted) {
  struct Record {
    const char* source;
    uint16_t type;
    uint32_t event_id;
    std::string text;
    std::vector<uint8_t> data;
  };
  std::string alert = "CPU \xe3\x83\xa2\xe3\x82\xb8\xe3\x83\xa5\r\n";
  alert.resize(2047, 'a');
  const Record records[] = {
      {"QVMZUFT", win::kEventlogInformationType, 0x40000001, "", {}},
      {"QVMZUFT", win::kEventlogErrorType, 0xC0000409, "Function : f\r\n ErrCode: 1063\r\n", {'F', 'E', 'N'}},
      {"QVMFTMarvix", win::kEventlogWarningType, 0x80000802, alert, {}},
      {"FenraContractUnknownSource", win::kEventlogErrorType, 0xC000040B, "", std::vector<uint8_t>(128, 0xAB)},
  };
  for (const Record& record : records) {
    EventSourcePtr source = log().RegisterEventSource(record.source);
    ASSERT_NE(source, nullptr) << record.source;
    EXPECT_TRUE(log().ReportEvent(*source, record.type, 0, record.event_id, {record.text}, record.data))
        << std::hex << record.event_id;
  }
}

// The texts the service's error records carry: each ends in CR LF, an
// HRESULT of the Win32 facility has the text of its code, and unknown codes
// and WMI's (whose texts are not the system's) have none, so the service
// writes "Unknown Error" for them.
TEST_P(EventLogContractTest, SystemErrorTexts) {
  const std::pair<uint32_t, const char*> texts[] = {
      {0, "The operation completed successfully.\r\n"},
      {2, "The system cannot find the file specified.\r\n"},
      {5, "Access is denied.\r\n"},
      {6, "The handle is invalid.\r\n"},
      {87, "The parameter is incorrect.\r\n"},
      {1060, "The specified service does not exist as an installed service.\r\n"},
      {1063, "The service process could not connect to the service controller.\r\n"},
      {1073, "The specified service already exists.\r\n"},
  };
  for (const auto& [code, text] : texts) {
    std::optional<std::string> found = log().FormatSystemMessage(code);
    ASSERT_TRUE(found.has_value()) << code;
    EXPECT_EQ(found->substr(found->size() - 2), "\r\n") << code;
    if (windows_texts()) {
      EXPECT_EQ(found, text) << code;
    }
  }
  EXPECT_EQ(log().FormatSystemMessage(0x80070005), log().FormatSystemMessage(5));
  // Older systems say "storage" for "memory resources".
  std::optional<std::string> memory = log().FormatSystemMessage(8);
  EXPECT_TRUE(!windows_texts() || memory == "Not enough memory resources are available to process this command.\r\n" ||
              memory == "Not enough storage is available to process this command.\r\n")
      << memory.value_or("(none)");
  EXPECT_EQ(log().FormatSystemMessage(99999), std::nullopt);
  EXPECT_EQ(log().FormatSystemMessage(0x80070000 + 12345), std::nullopt);
  EXPECT_EQ(log().FormatSystemMessage(0x80041032), std::nullopt);
}

}  // namespace
}  // namespace fenra::testing
