#include "platform/win32/win32_event_log.h"

#include <memory>

#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

class Win32EventSource final : public EventSource {
 public:
  explicit Win32EventSource(HANDLE handle) : handle_(handle) {}
  ~Win32EventSource() override { DeregisterEventSource(handle_); }
  HANDLE get() const { return handle_; }

 private:
  const HANDLE handle_;
};

struct LocalFreer {
  void operator()(char* text) const { LocalFree(text); }
};

}  // namespace

EventSourcePtr Win32EventLog::RegisterEventSource(const std::string& source) {
  HANDLE handle = RegisterEventSourceA(nullptr, source.c_str());
  if (handle == nullptr) return nullptr;
  return std::make_unique<Win32EventSource>(handle);
}

bool Win32EventLog::ReportEvent(EventSource& source, uint16_t type, uint16_t category, uint32_t event_id,
                                const std::vector<std::string>& strings, std::span<const uint8_t> data) {
  std::vector<const char*> texts;
  texts.reserve(strings.size());
  for (const std::string& text : strings) texts.push_back(text.c_str());
  // ReportEventA does not write the raw data through its pointer.
  void* raw = data.empty() ? nullptr : const_cast<uint8_t*>(data.data());
  return ReportEventA(static_cast<Win32EventSource&>(source).get(), type, category, event_id, nullptr,
                      static_cast<WORD>(texts.size()), static_cast<DWORD>(data.size()),
                      texts.empty() ? nullptr : texts.data(), raw) != FALSE;
}

std::optional<std::string> Win32EventLog::FormatSystemMessage(uint32_t error_code) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error_code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0, nullptr);
  std::unique_ptr<char, LocalFreer> owned(text);
  if (length == 0 || text == nullptr) return std::nullopt;
  return std::string(text, length);
}

}  // namespace fenra::win32
