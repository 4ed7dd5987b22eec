#pragma once
// The EventLog port on the Windows event log (RegisterEventSourceA,
// ReportEventA, DeregisterEventSource) and the system's message table
// (FormatMessageA).

#include "platform/event_log.h"

namespace fenra::win32 {

class Win32EventLog final : public EventLog {
 public:
  EventSourcePtr RegisterEventSource(const std::string& source) override;
  bool ReportEvent(EventSource& source, uint16_t type, uint16_t category, uint32_t event_id,
                   const std::vector<std::string>& strings, std::span<const uint8_t> data) override;
  // Texts with insertion places (%1) come back with the places as they
  // stand: without FORMAT_MESSAGE_IGNORE_INSERTS the system would read
  // arguments that nobody passed.
  std::optional<std::string> FormatSystemMessage(uint32_t error_code) override;
};

}  // namespace fenra::win32
