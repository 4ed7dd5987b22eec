#include "diagnostics/event_log_writer.h"

#include <cstdio>
#include <string>
#include <vector>

#include "diagnostics/event_ids.h"
#include "support/fixed_text.h"

namespace fenra {
namespace {

const char* SourceName(int16_t source) { return source == EVSRC_ZUFT ? kSourceZuft : kSourceFtMarvix; }

// Opens the source, writes one record, closes the source.
bool Report(Platform& platform, int16_t source, uint32_t event_id, uint16_t type, const std::string& text,
            std::span<const uint8_t> data) {
  EventSourcePtr handle = platform.event_log.RegisterEventSource(SourceName(source));
  if (!handle) return false;
  return platform.event_log.ReportEvent(*handle, type, 0, event_id, {text}, data);
}

int WriteErrorRecord(Platform& platform, int16_t source, uint32_t event_id, uint16_t type, uint32_t error_code,
                     const char* function, std::span<const uint8_t> data) {
  std::string text = ComposeErrorText(platform, error_code, function);
  return Report(platform, source, event_id, type, text, data) ? 0 : -1;
}

}  // namespace

std::string ComposeErrorText(Platform& platform, uint32_t error_code, const char* function) {
  // The code is printed as a signed number: 0x80070005 reads -2147024891.
  int code = static_cast<int32_t>(error_code);
  std::string text = function ? StringPrintf("Function : %s\r\n ErrCode: %d\r\n Contents : ", function, code)
                              : StringPrintf("ErrCode: %d\r\n Contents : ", code);
  std::optional<std::string> system_text = platform.event_log.FormatSystemMessage(error_code);
  // szInfo, the last part of the unknown-error form, is always empty.
  const char* szInfo = "";
  text += system_text ? *system_text : std::string("Unknown Error\r\n") + szInfo;
  if (text.size() > kErrorTextSize - 1) text.resize(kErrorTextSize - 1);
  return text;
}

int16_t WriteEventLog(Platform& platform, int16_t source, uint32_t event_id, const char* text, uint16_t type,
                      const char* file, int /*line*/) {
  if (file == nullptr) return -1;
  try {
    return Report(platform, source, event_id, type, text ? text : "", {}) ? 0 : -1;
  } catch (...) {
    return -1;
  }
}

int WriteEventLogError(Platform& platform, int16_t source, uint32_t event_id, uint16_t type, uint32_t error_code,
                       const char* function, const char* /*file*/, int /*line*/) {
  try {
    return WriteErrorRecord(platform, source, event_id, type, error_code, function, {});
  } catch (...) {
    // A failure to report a failure is itself recorded, so it is not lost.
    WriteEventLog(platform, EVSRC_FTMARVIX, EVID_EVENTLOG_ERROR, "EventLog-ERROR ID=1",
                  win::kEventlogErrorType, "StdAfx", __LINE__);
    return -1;
  }
}

int WriteEventLogErrorData(Platform& platform, int16_t source, uint32_t event_id, uint16_t type,
                           uint32_t error_code, const char* function, const void* data, uint32_t data_size,
                           const char* /*file*/, int /*line*/) {
  // Guarded like the other writers: a fault here must not end the thread.
  try {
    auto bytes = std::span(static_cast<const uint8_t*>(data), data ? data_size : 0);
    return WriteErrorRecord(platform, source, event_id, type, error_code, function, bytes);
  } catch (...) {
    return -1;
  }
}

}  // namespace fenra
