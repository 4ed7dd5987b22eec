#include "platform/sim/sim_event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "platform/sim/host_file.h"
#include "platform/sim/last_error.h"
#include "platform/win_values.h"

namespace fenra::sim {
namespace {

class SimEventSource : public EventSource {
 public:
  explicit SimEventSource(std::string source_name) : name(std::move(source_name)) {}
  const std::string name;
};

std::string TypeName(uint16_t type) {
  switch (type) {
    case 0: return "success";
    case win::kEventlogErrorType: return "error";
    case win::kEventlogWarningType: return "warning";
    case win::kEventlogInformationType: return "information";
    case 8: return "audit success";
    case 16: return "audit failure";
    default: return "unknown(" + std::to_string(type) + ")";
  }
}

std::string IsoTime(const LocalTime& t) {
  char text[64];
  snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03u", t.year, t.month, t.day, t.hour, t.minute,
           t.second, t.milliseconds);
  return text;
}

std::string Hex(std::span<const uint8_t> data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(data.size() * 2);
  for (uint8_t byte : data) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

// Appends `line` with one write to the end of the file. 0 or an errno.
int AppendLine(const std::filesystem::path& file, const std::string& line) {
  int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = WriteAll(fd, line);
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

// The English system texts (FormatMessage from the system table).
const char* Win32Text(uint32_t code) {
  switch (code) {
    case 0: return "The operation completed successfully.";
    case 1: return "Incorrect function.";
    case 2: return "The system cannot find the file specified.";
    case 3: return "The system cannot find the path specified.";
    case 4: return "The system cannot open the file.";
    case 5: return "Access is denied.";
    case 6: return "The handle is invalid.";
    case 8: return "Not enough memory resources are available to process this command.";
    case 11: return "An attempt was made to load a program with an incorrect format.";
    case 13: return "The data is invalid.";
    case 14: return "Not enough memory resources are available to complete this operation.";
    case 32: return "The process cannot access the file because it is being used by another process.";
    case 80: return "The file exists.";
    case 87: return "The parameter is incorrect.";
    case 112: return "There is not enough space on the disk.";
    case 122: return "The data area passed to a system call is too small.";
    case 123: return "The filename, directory name, or volume label syntax is incorrect.";
    case 126: return "The specified module could not be found.";
    case 127: return "The specified procedure could not be found.";
    case 131: return "An attempt was made to move the file pointer before the beginning of the file.";
    case 161: return "The specified path is invalid.";
    case 183: return "Cannot create a file when that file already exists.";
    case 206: return "The filename or extension is too long.";
    case 234: return "More data is available.";
    case 258: return "The wait operation timed out.";
    case 259: return "No more data is available.";
    case 288: return "Attempt to release mutex not owned by caller.";
    case 998: return "Invalid access to memory location.";
    case 1018: return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case 1053: return "The service did not respond to the start or control request in a timely fashion.";
    case 1056: return "An instance of the service is already running.";
    case 1060: return "The specified service does not exist as an installed service.";
    case 1061: return "The service cannot accept control messages at this time.";
    case 1062: return "The service has not been started.";
    case 1063: return "The service process could not connect to the service controller.";
    case 1072: return "The specified service has been marked for deletion.";
    case 1073: return "The specified service already exists.";
    case 1117: return "The request could not be performed because of an I/O device error.";
    case 1460: return "This operation returned because the timeout period expired.";
    case 1502: return "The event log file is full.";
    case 1722: return "The RPC server is unavailable.";
    case 1812: return "The specified image file did not contain a resource section.";
    case 1813: return "The specified resource type cannot be found in the image file.";
    case 1814: return "The specified resource name cannot be found in the image file.";
    case 1815: return "The specified resource language ID cannot be found in the image file.";
    default: return nullptr;
  }
}

// HRESULTs of the system table. Those of WMI are not in it: their texts
// live in a WMI module, so the system has none for them.
const char* HresultText(uint32_t code) {
  switch (code) {
    case 0x80004001: return "Not implemented";
    case 0x80004005: return "Unspecified error";
    case 0x80010106: return "Cannot change thread mode after it is set.";
    case 0x80010119:
      return "Security must be initialized before any interfaces are marshalled or unmarshalled. "
             "It cannot be changed once initialized.";
    case 0x800401F0: return "CoInitialize has not been called.";
    default: return nullptr;
  }
}

}  // namespace

SimEventLog::SimEventLog(std::filesystem::path file, Kernel& kernel, WriteFailureNotice* notice)
    : file_(std::move(file)), kernel_(kernel), notice_(notice) {}

void SimEventLog::SetFaults(const EventLogFaults& faults) {
  MutexLock lock(mutex_);
  faults_ = faults;
}

EventSourcePtr SimEventLog::RegisterEventSource(const std::string& source) {
  EventLogFaults faults;
  {
    MutexLock lock(mutex_);
    faults = faults_;
  }
  if (faults.register_throws) throw std::runtime_error("injected fault in RegisterEventSource");
  if (faults.register_error != 0) {
    SetLastError(faults.register_error);
    return nullptr;
  }
  return std::make_unique<SimEventSource>(source);
}

bool SimEventLog::ReportEvent(EventSource& source, uint16_t type, uint16_t category, uint32_t event_id,
                              const std::vector<std::string>& strings, std::span<const uint8_t> data) {
  auto* sim_source = dynamic_cast<SimEventSource*>(&source);
  if (sim_source == nullptr) {
    SetLastError(win::kErrorInvalidHandle);
    return false;
  }
  EventLogRecord record{IsoTime(kernel_.GetLocalTime()), sim_source->name, event_id, TypeName(type), category,
                        strings, Hex(data)};
  nlohmann::ordered_json json;
  json["time"] = record.time;
  json["source"] = record.source;
  json["event_id"] = event_id;
  json["type"] = record.type;
  json["category"] = category;
  json["strings"] = strings;
  json["data"] = record.data;
  std::string line = json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";

  MutexLock lock(mutex_);
  if (faults_.report_throws != 0) {
    if (faults_.report_throws > 0) --faults_.report_throws;
    throw std::runtime_error("injected fault in ReportEvent");
  }
  if (faults_.report_error != 0) {
    SetLastError(faults_.report_error);
    return false;
  }
  if (int error = AppendLine(file_, line)) {
    if (notice_) notice_->Failed(file_, error);
    if (observer_) observer_(record, false);
    SetLastError(Win32ErrorFromErrno(error));
    return false;
  }
  if (notice_) notice_->Succeeded();
  if (observer_) observer_(record, true);
  return true;
}

void SimEventLog::SetRecordObserver(RecordObserver observer) {
  MutexLock lock(mutex_);
  observer_ = std::move(observer);
}

std::optional<std::string> SimEventLog::FormatSystemMessage(uint32_t error_code) {
  const char* text = Win32Text(error_code);
  // An HRESULT of the Win32 facility has the text of its Win32 code.
  if (text == nullptr && (error_code & 0xFFFF0000) == 0x80070000) text = Win32Text(error_code & 0xFFFF);
  if (text == nullptr) text = HresultText(error_code);
  if (text == nullptr) return std::nullopt;
  return std::string(text) + "\r\n";
}

std::vector<EventLogRecord> ReadEventLog(const std::filesystem::path& file) {
  std::string content;
  int error = ReadHostFile(file, &content);
  if (error == ENOENT) return {};
  if (error != 0) throw std::runtime_error(file.string() + ": cannot be read: " + std::strerror(error));

  std::vector<EventLogRecord> records;
  std::string_view rest = content;
  for (int line_number = 1; !rest.empty(); ++line_number) {
    size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.empty()) continue;
    try {
      auto json = nlohmann::json::parse(line);
      EventLogRecord record;
      record.time = json.at("time").get<std::string>();
      record.source = json.at("source").get<std::string>();
      record.event_id = json.at("event_id").get<uint32_t>();
      record.type = json.at("type").get<std::string>();
      record.category = json.at("category").get<uint16_t>();
      record.strings = json.at("strings").get<std::vector<std::string>>();
      record.data = json.at("data").get<std::string>();
      records.push_back(std::move(record));
    } catch (const nlohmann::json::exception& e) {
      throw std::runtime_error(file.string() + ":" + std::to_string(line_number) + ": " + e.what());
    }
  }
  return records;
}

}  // namespace fenra::sim
