#pragma once
// What `fenra` shows on its console: each event-log record as the event
// viewer shows it, and the settings that decide when an alert comes.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/sim_event_log.h"

namespace fenra::app {

// The English text of message `event_id` of the message file FENRAAPI.dll
// with the record's insertion strings filled in (%1 ..., %n a line break,
// %0 the end), as the event viewer shows a record. An ID without a text
// gives the viewer's note and the strings.
std::string MessageText(uint32_t event_id, const std::vector<std::string>& strings);

// "2026-12-03 22:53:04  QVMFTMarvix  2050  warning" (local time, source,
// the ID's low 16 bits as the event viewer shows it, type), then the text's
// lines indented by four blanks.
std::string ConsoleRecord(const sim::EventLogRecord& record);

}  // namespace fenra::app
