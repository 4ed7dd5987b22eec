#pragma once
// The event log of the simulated machine: one JSON object per line in one
// file, appended to by every process of the machine.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/event_log.h"
#include "platform/kernel.h"
#include "platform/sim/host_file.h"
#include "support/thread_annotations.h"

namespace fenra::sim {

// Failures a test can ask the event log for. A non-zero error makes the
// call fail with that last error; `throws` makes it raise
// std::runtime_error instead, as a fault inside the platform would.
// `report_throws` counts the reports that raise (-1: every one).
struct EventLogFaults {
  uint32_t register_error = 0;
  bool register_throws = false;
  uint32_t report_error = 0;
  int report_throws = 0;
};

// One record, as the file holds it.
struct EventLogRecord {
  std::string time;
  std::string source;
  uint32_t event_id = 0;
  std::string type;
  uint16_t category = 0;
  std::vector<std::string> strings;
  std::string data;
};

// A record line: {"time": "2026-03-07T09:05:07.042", "source": "QVMZUFT",
// "event_id": 1073741825, "type": "information", "category": 0,
// "strings": [""], "data": ""}. `time` is the kernel's local time; `type`
// is "error", "warning", "information", "success" (0), "audit success"
// (8), "audit failure" (16), or "unknown(N)"; `data` is lower-case hex.
// Texts are the machine's ANSI code page, UTF-8; bytes that are not valid
// UTF-8 are written as U+FFFD.
//
// Every source name is accepted, as Windows accepts an unknown one (it
// falls back to the Application log). Each record is appended with one
// write under a lock, so records of concurrent writers never interleave.
// Thread-safe.
class SimEventLog : public EventLog {
 public:
  // `notice` (may be null) is told when the file cannot be written.
  SimEventLog(std::filesystem::path file, Kernel& kernel, WriteFailureNotice* notice = nullptr);

  EventSourcePtr RegisterEventSource(const std::string& source) override;
  bool ReportEvent(EventSource& source, uint16_t type, uint16_t category, uint32_t event_id,
                   const std::vector<std::string>& strings, std::span<const uint8_t> data) override;
  std::optional<std::string> FormatSystemMessage(uint32_t error_code) override;

  void SetFaults(const EventLogFaults& faults);

  // Told of every record of this machine's processes once it is in the
  // file, in file order, on the writing thread and under the log's lock:
  // it must not write to the event log or wait on the kernel. Also told,
  // with `stored` false, of a record the file could not take, so that a
  // lost record is still seen. Null: none.
  using RecordObserver = std::function<void(const EventLogRecord&, bool stored)>;
  void SetRecordObserver(RecordObserver observer);

 private:
  std::filesystem::path file_;
  Kernel& kernel_;
  WriteFailureNotice* const notice_;
  Mutex mutex_;
  EventLogFaults faults_ FENRA_GUARDED_BY(mutex_);
  RecordObserver observer_ FENRA_GUARDED_BY(mutex_);
};

// Every record of an event-log file, oldest first; none when the file does
// not exist. Throws std::runtime_error naming the line of a malformed record.
std::vector<EventLogRecord> ReadEventLog(const std::filesystem::path& file);

}  // namespace fenra::sim
