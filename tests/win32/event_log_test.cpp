// The system's error texts on Windows as the event-log writers compose them,
// and the message file FENRAAPI.dll. (The port's records are held to its
// contract in contract_suites_test.cpp.)

#include <gtest/gtest.h>

#include "diagnostics/event_ids.h"
#include "diagnostics/event_log_writer.h"
#include "platform/win32/win32_machine.h"
#include "platform/win32/windows_api.h"
#include "win32_test_support.h"

namespace fenra::win32 {
namespace {

// A text with an insertion place keeps it: there are no arguments to read
// ("%1 is not a valid Win32 application." for 193).
TEST(Win32EventLogTest, ASystemTextKeepsItsInsertionPlace) {
  Win32Machine machine;
  std::optional<std::string> text = machine.platform().event_log.FormatSystemMessage(193);
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("%1"), std::string::npos) << *text;
  EXPECT_EQ(ComposeErrorText(machine.platform(), 193, "CreateEvent()"),
            "Function : CreateEvent()\r\n ErrCode: 193\r\n Contents : " + *text);
}

// The text of `id` in FENRAAPI.dll for `language`, with "<insert>" for %1.
std::wstring MessageText(HMODULE module, uint32_t id, LANGID language) {
  DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(L"<insert>")};
  wchar_t* text = nullptr;
  DWORD length =
      FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                     module, id, language, reinterpret_cast<wchar_t*>(&text), 0, reinterpret_cast<va_list*>(inserts));
  std::wstring result = length > 0 ? std::wstring(text, length) : L"(none)";
  LocalFree(text);
  return result;
}

TEST(MessageFileTest, EveryEventIdHasItsTextInEnglishAndJapanese) {
  const std::string path = testing::BuildDirectory() + "FENRAAPI.dll";
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr) << path;
  const LANGID english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
  const LANGID japanese = MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN);
  for (uint32_t id :
       {EVID_SERVICE_STARTED, EVID_SERVICE_STOPPED, EVID_CTRL_HANDLER_FAILED, EVID_API_FAILED, EVID_WAIT_FAILED,
        EVID_MONITOR_ENDED, EVID_WMI_UNAVAILABLE, EVID_SIMPLEX_ALERT, EVID_DUPLEX_ALERT, EVID_EVENTLOG_ERROR}) {
    for (LANGID language : {english, japanese}) {
      std::wstring text = MessageText(module, id, language);
      // The record's one insertion string, and no line break after it.
      EXPECT_EQ(text.size() >= 8 ? text.substr(text.size() - 8) : text, L"<insert>") << std::hex << id;
    }
  }
  EXPECT_EQ(MessageText(module, EVID_SERVICE_STARTED, english), L"The FENRA service has started.\r\n<insert>");
  EXPECT_EQ(MessageText(module, EVID_SERVICE_STARTED, japanese),
            testing::WideFromUtf8("FENRA サービスを開始しました。\r\n<insert>"));
  // An alert is its own text.
  EXPECT_EQ(MessageText(module, EVID_SIMPLEX_ALERT, japanese), L"<insert>");
  FreeLibrary(module);
}

}  // namespace
}  // namespace fenra::win32
