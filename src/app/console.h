#pragma once
// What `fenra` shows on its console: each event-log record as the event
// viewer shows it, and the settings that decide when an alert comes.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/sim_event_log.h"
#include "platform/sim/sim_resources.h"
#include "platform/system.h"

namespace fenra::app {

// The text of message `event_id` of the message file FENRAAPI.dll in the
// machine's language (English when the file has none in it) with the
// record's insertion strings filled in (%1 ..., %n a line break, %0 the
// end), as the event viewer of that machine shows a record. An ID without a
// text gives the viewer's note and the strings.
std::string MessageText(uint32_t event_id, const std::vector<std::string>& strings, sim::UiLanguage language);

// "2026-12-03 22:53:04  QVMFTMarvix  2050  warning" (local time, source,
// the ID's low 16 bits as the event viewer shows it, type), then the text's
// lines in `language` indented by four blanks. A record the event log could
// not store ends its head line in "  (not stored)".
std::string ConsoleRecord(const sim::EventLogRecord& record, sim::UiLanguage language, bool stored = true);

// The record's text lines, each indented by four blanks and ended by a line
// feed; a CR before a line feed is dropped.
std::string IndentedText(std::string_view text);

// `name` as a command that runs the program of that name beside the running
// one (its real path, quoted for a shell where needed), or `name` alone when
// there is no such file.
std::string SiblingProgram(const std::string& name);

// `text` as one word of a POSIX shell: as it is when it holds only safe
// characters, else in single quotes.
std::string ShellWord(const std::string& text);

// What FENRA.exe's command word in `command_line` did, said after it
// succeeded ("FENRA registered as a service ..."); null when the line holds
// no command word. The word is found as FENRA.exe finds it.
const char* InstallationDone(System& system, const std::string& command_line);

}  // namespace fenra::app
