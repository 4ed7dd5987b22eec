#include "runner/platform_tap.h"

#include <algorithm>
#include <string_view>

#include "platform/sim/text.h"

namespace fenra::runner {
namespace {

// ERROR_DISK_FULL: a write to a folder that is full.
constexpr uint32_t kDiskFull = 112;

bool IsTraceFile(std::string_view path) {
  size_t slash = path.find_last_of("\\/");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return sim::EqualsIgnoreCase(name, "fenratrace1.log") || sim::EqualsIgnoreCase(name, "fenratrace2.log");
}

// A Windows path in one spelling: upper-case ASCII, backslashes.
std::string Canonical(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return path;
}

}  // namespace

void PortFaults::Set(const MachineFault& fault) {
  MutexLock lock(mutex_);
  if (const auto* log = std::get_if<EventLogRefusal>(&fault)) event_log_error_ = log->error;
  if (const auto* registry = std::get_if<RegistryRefusal>(&fault)) registry_error_ = registry->error;
  if (const auto* folder = std::get_if<FolderChange>(&fault)) {
    std::string path = Canonical(folder->path);
    if (!path.ends_with('\\')) path += '\\';
    FolderState state = folder->state == FolderState::kMissing ? FolderState::kWritable : folder->state;
    folders_[path] = state;
  }
}

uint32_t PortFaults::EventLogError() const {
  MutexLock lock(mutex_);
  return event_log_error_;
}

uint32_t PortFaults::RegistryError() const {
  MutexLock lock(mutex_);
  return registry_error_;
}

// The state of the innermost folder named in a directive that holds `path`.
FolderState PortFaults::StateOf(const std::string& path) const {
  std::string file = Canonical(path);
  MutexLock lock(mutex_);
  size_t longest = 0;
  FolderState state = FolderState::kWritable;
  for (const auto& [folder, folder_state] : folders_) {
    if (folder.size() > longest && file.starts_with(folder)) {
      longest = folder.size();
      state = folder_state;
    }
  }
  return state;
}

uint32_t PortFaults::OpenForWritingError(const std::string& path) const {
  return StateOf(path) == FolderState::kReadOnly ? win::kErrorAccessDenied : 0;
}

uint32_t PortFaults::WriteError(const std::string& path) const {
  return StateOf(path) == FolderState::kFull ? kDiskFull : 0;
}

class PlatformTap::Files final : public fenra::Files {
 public:
  Files(fenra::Files& inner, sim::SimKernel& kernel, Recorder& recorder, const PortFaults& faults)
      : inner_(inner), kernel_(kernel), recorder_(recorder), faults_(faults) {}

  FilePtr CreateFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) override {
    return Open(path, access, share, disposition, false);
  }
  FilePtr CreateTrustedFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) override {
    return Open(path, access, share, disposition, true);
  }
  bool GetFileSize(File& file, uint64_t* size) override { return inner_.GetFileSize(Inner(file), size); }
  bool SetFilePointer(File& file, int64_t distance, uint32_t method, uint64_t* position) override {
    return inner_.SetFilePointer(Inner(file), distance, method, position);
  }
  bool ReadFile(File& file, void* data, uint32_t size, uint32_t* read) override {
    return inner_.ReadFile(Inner(file), data, size, read);
  }
  uint32_t GetPrivateProfileInt(const std::string& section, const std::string& key, int32_t default_value,
                                const std::string& path) override {
    return inner_.GetPrivateProfileInt(section, key, default_value, path);
  }

  bool WriteFile(File& file, const void* data, uint32_t size, uint32_t* written) override {
    if (uint32_t error = faults_.WriteError(static_cast<Tapped&>(file).path)) {
      if (written != nullptr) *written = 0;
      kernel_.SetLastError(error);
      return false;
    }
    uint32_t count = 0;
    bool ok = inner_.WriteFile(Inner(file), data, size, &count);
    if (written != nullptr) *written = count;
    if (ok && static_cast<Tapped&>(file).trace) Record(std::string_view(static_cast<const char*>(data), count));
    return ok;
  }

 private:
  struct Tapped final : File {
    Tapped(FilePtr f, std::string p, bool is_trace) : inner(std::move(f)), path(std::move(p)), trace(is_trace) {}
    FilePtr inner;
    const std::string path;
    const bool trace;
  };
  static File& Inner(File& file) { return *static_cast<Tapped&>(file).inner; }

  FilePtr Open(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition, bool trusted) {
    if (uint32_t error = (access & win::kGenericWrite) != 0 ? faults_.OpenForWritingError(path) : 0) {
      kernel_.SetLastError(error);
      return nullptr;
    }
    FilePtr file = trusted ? inner_.CreateTrustedFile(path, access, share, disposition)
                           : inner_.CreateFile(path, access, share, disposition);
    if (!file) return nullptr;
    return std::make_unique<Tapped>(std::move(file), path, IsTraceFile(path));
  }

  // One write is one line with its CR LF; lines within a write are split.
  void Record(std::string_view bytes) {
    uint64_t now = kernel_.ElapsedMs();
    while (!bytes.empty()) {
      size_t end = bytes.find("\r\n");
      Observation line;
      line.t_ms = now;
      line.kind = Observation::Kind::kTrace;
      line.text = std::string(bytes.substr(0, end));
      recorder_.Add(std::move(line));
      bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 2);
    }
  }

  fenra::Files& inner_;
  sim::SimKernel& kernel_;
  Recorder& recorder_;
  const PortFaults& faults_;
};

class PlatformTap::EventLog final : public fenra::EventLog {
 public:
  EventLog(fenra::EventLog& inner, sim::SimKernel& kernel, Recorder& recorder, const PortFaults& faults)
      : inner_(inner), kernel_(kernel), recorder_(recorder), faults_(faults) {}

  EventSourcePtr RegisterEventSource(const std::string& source) override {
    EventSourcePtr inner = inner_.RegisterEventSource(source);
    if (!inner) return nullptr;
    return std::make_unique<Source>(std::move(inner), source);
  }

  bool ReportEvent(EventSource& source, uint16_t type, uint16_t category, uint32_t event_id,
                   const std::vector<std::string>& strings, std::span<const uint8_t> data) override {
    auto& tapped = static_cast<Source&>(source);
    if (uint32_t error = faults_.EventLogError()) {
      kernel_.SetLastError(error);
      return false;
    }
    if (!inner_.ReportEvent(*tapped.inner, type, category, event_id, strings, data)) return false;
    Observation record;
    record.t_ms = kernel_.ElapsedMs();
    record.kind = Observation::Kind::kEvent;
    record.source = tapped.name;
    record.event_id = event_id;
    record.type = type;
    record.strings = strings;
    record.data.assign(data.begin(), data.end());
    recorder_.Add(std::move(record));
    return true;
  }

  std::optional<std::string> FormatSystemMessage(uint32_t error_code) override {
    return inner_.FormatSystemMessage(error_code);
  }

 private:
  struct Source final : EventSource {
    Source(EventSourcePtr s, std::string n) : inner(std::move(s)), name(std::move(n)) {}
    EventSourcePtr inner;
    const std::string name;
  };

  fenra::EventLog& inner_;
  sim::SimKernel& kernel_;
  Recorder& recorder_;
  const PortFaults& faults_;
};

// Reads pass; a refused change fails with the scenario's error. Creating a
// key that exists is an open and passes.
class PlatformTap::Registry final : public fenra::Registry {
 public:
  Registry(fenra::Registry& inner, const PortFaults& faults) : inner_(inner), faults_(faults) {}

  int32_t OpenKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key) override {
    return inner_.OpenKey(hive, path, sam, key);
  }
  int32_t CreateKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key,
                    uint32_t* disposition) override {
    if (uint32_t error = faults_.RegistryError()) {
      int32_t result = inner_.OpenKey(hive, path, sam, key);
      if (result == 0 && disposition != nullptr) *disposition = win::kRegOpenedExistingKey;
      return result == 0 ? 0 : static_cast<int32_t>(error);
    }
    return inner_.CreateKey(hive, path, sam, key, disposition);
  }
  int32_t QueryValue(RegKey& key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override {
    return inner_.QueryValue(key, name, type, data, size);
  }
  int32_t SetValue(RegKey& key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) override {
    if (uint32_t error = faults_.RegistryError()) return static_cast<int32_t>(error);
    return inner_.SetValue(key, name, type, data, size);
  }
  int32_t DeleteValue(RegKey& key, const char* name) override {
    if (uint32_t error = faults_.RegistryError()) return static_cast<int32_t>(error);
    return inner_.DeleteValue(key, name);
  }
  int32_t DeleteKey(Hive hive, const std::string& path) override {
    if (uint32_t error = faults_.RegistryError()) return static_cast<int32_t>(error);
    return inner_.DeleteKey(hive, path);
  }

 private:
  fenra::Registry& inner_;
  const PortFaults& faults_;
};

PlatformTap::PlatformTap(Platform& process, sim::SimKernel& kernel, Recorder& recorder, const PortFaults& faults)
    : files_(std::make_unique<Files>(process.files, kernel, recorder, faults)),
      event_log_(std::make_unique<EventLog>(process.event_log, kernel, recorder, faults)),
      registry_(std::make_unique<Registry>(process.registry, faults)),
      platform_{process.kernel,    *registry_,     *event_log_, *files_,     process.service_control,
                process.resources, process.system, process.com, process.wmi, process.hardware,
                process.version_info} {}

PlatformTap::~PlatformTap() = default;

}  // namespace fenra::runner
