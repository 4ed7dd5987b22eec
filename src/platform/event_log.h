#pragma once
// Event-log port: event sources, records, and the system's error texts.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fenra {

// A registered event source; destroying it deregisters it.
class EventSource {
 public:
  virtual ~EventSource() = default;
};
using EventSourcePtr = std::unique_ptr<EventSource>;

// Thread-safe.
class EventLog {
 public:
  virtual ~EventLog() = default;

  // RegisterEventSourceA on the local machine. Null on failure (last error
  // set).
  virtual EventSourcePtr RegisterEventSource(const std::string& source) = 0;
  // ReportEventA without a user SID.
  virtual bool ReportEvent(EventSource& source, uint16_t type, uint16_t category, uint32_t event_id,
                           const std::vector<std::string>& strings,
                           std::span<const uint8_t> data) = 0;
  // FormatMessageA from the system table in the user's default language:
  // the text with its trailing CR LF, or nothing for an unknown code.
  virtual std::optional<std::string> FormatSystemMessage(uint32_t error_code) = 0;
};

}  // namespace fenra
