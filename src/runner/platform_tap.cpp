#include "runner/platform_tap.h"

#include <string_view>

#include "platform/sim/text.h"

namespace fenra::runner {
namespace {

bool IsTraceFile(std::string_view path) {
  size_t slash = path.find_last_of("\\/");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return sim::EqualsIgnoreCase(name, "fenratrace1.log") || sim::EqualsIgnoreCase(name, "fenratrace2.log");
}

}  // namespace

class PlatformTap::Files final : public fenra::Files {
 public:
  Files(fenra::Files& inner, sim::SimKernel& kernel, Recorder& recorder)
      : inner_(inner), kernel_(kernel), recorder_(recorder) {}

  FilePtr CreateFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) override {
    FilePtr file = inner_.CreateFile(path, access, share, disposition);
    if (!file) return nullptr;
    return std::make_unique<Tapped>(std::move(file), IsTraceFile(path));
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
    uint32_t count = 0;
    bool ok = inner_.WriteFile(Inner(file), data, size, &count);
    if (written != nullptr) *written = count;
    if (ok && static_cast<Tapped&>(file).trace) Record(std::string_view(static_cast<const char*>(data), count));
    return ok;
  }

 private:
  struct Tapped final : File {
    Tapped(FilePtr f, bool is_trace) : inner(std::move(f)), trace(is_trace) {}
    FilePtr inner;
    const bool trace;
  };
  static File& Inner(File& file) { return *static_cast<Tapped&>(file).inner; }

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
};

class PlatformTap::EventLog final : public fenra::EventLog {
 public:
  EventLog(fenra::EventLog& inner, sim::SimKernel& kernel, Recorder& recorder)
      : inner_(inner), kernel_(kernel), recorder_(recorder) {}

  EventSourcePtr RegisterEventSource(const std::string& source) override {
    EventSourcePtr inner = inner_.RegisterEventSource(source);
    if (!inner) return nullptr;
    return std::make_unique<Source>(std::move(inner), source);
  }

  bool ReportEvent(EventSource& source, uint16_t type, uint16_t category, uint32_t event_id,
                   const std::vector<std::string>& strings, std::span<const uint8_t> data) override {
    auto& tapped = static_cast<Source&>(source);
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
};

PlatformTap::PlatformTap(Platform& process, sim::SimKernel& kernel, Recorder& recorder)
    : files_(std::make_unique<Files>(process.files, kernel, recorder)),
      event_log_(std::make_unique<EventLog>(process.event_log, kernel, recorder)),
      platform_{process.kernel,      process.registry, *event_log_, *files_,     process.service_control,
                process.resources,   process.system,   process.com, process.wmi, process.hardware,
                process.version_info} {}

PlatformTap::~PlatformTap() = default;

}  // namespace fenra::runner
