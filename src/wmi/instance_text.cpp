#include "wmi/instance_text.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "support/wide_text.h"

namespace fenra {
namespace {

constexpr char kPathSizeError[] = "[GetDevicePathID]size error retrun -1";
constexpr char kParentSizeError[] = "[GetParentInstanceName]size error retrun -1";

constexpr std::string_view kStateMarker = "instance of DOD_OperationalState";
constexpr std::string_view kStateToken = "State = ";
constexpr std::string_view kDevicePathToken = "DevicePathId = ";

std::string_view View(const char* text) { return text ? std::string_view(text) : std::string_view(); }

// Copies `value` and a terminator into `out`, or refuses it when it does not
// fit.
bool CopyValue(std::string_view value, std::span<char> out) {
  if (out.empty() || value.size() > out.size() - 1) return false;
  std::copy(value.begin(), value.end(), out.begin());
  out[value.size()] = '\0';
  return true;
}

}  // namespace

const char* FindOperationalState(const char* text, int32_t* state) {
  std::string_view all = View(text);
  size_t marker = all.find(kStateMarker);
  if (marker == std::string_view::npos) return "[GetOperationalState]instance not found retrun -1";
  size_t p = marker + kStateMarker.size();
  if (p >= all.size()) return "[GetOperationalState]size error retrun -1";
  size_t token = all.find(kStateToken, p);
  if (token == std::string_view::npos) return "[GetOperationalState]state not found retrun -1";
  size_t start = token + kStateToken.size();
  size_t end = all.find(';', start);
  if (end == std::string_view::npos) return "[GetOperationalState]';' not found retrun -1";
  std::string_view value = all.substr(start, std::min(end - start, kStateValueSize - 1));
  ReadDecimal(value, state);
  return nullptr;
}

const char* FindDevicePathID(const char* text, std::span<char> out) {
  std::string_view all = View(text);
  size_t token = all.find(kDevicePathToken);
  if (token == std::string_view::npos) return "[GetDevicePathID]DevicePathID not found retrun -1";
  size_t p = token + kDevicePathToken.size();
  if (p >= all.size()) return kPathSizeError;
  size_t end = all.find(';', p);
  if (end == std::string_view::npos) return "[GetDevicePathID]';' not found retrun -1";
  if (!CopyValue(all.substr(p, end - p), out)) return kPathSizeError;
  return nullptr;
}

const char* FindParentInstanceName(const char* path, std::span<char> out) {
  std::string_view all = View(path);
  size_t brace = all.find('{');
  if (brace == std::string_view::npos) return "[GetParentInstanceName]'{' not found retrun -1";
  size_t p = brace + 1;
  if (p >= all.size()) return kParentSizeError;
  size_t end = all.find(',', p);
  if (end == std::string_view::npos) return "[GetParentInstanceName]',' not found retrun -1";
  if (!CopyValue(all.substr(p, end - p), out)) return kParentSizeError;
  return nullptr;
}

namespace {
int Report(Trace& trace, const char* failure) {
  if (failure == nullptr) return 0;
  trace.TraceLog(failure);
  return -1;
}
}  // namespace

int GetOperationalState(Trace& trace, int32_t* state, const char* text) {
  return Report(trace, FindOperationalState(text, state));
}

int GetDevicePathID(Trace& trace, std::span<char> out, const char* text) {
  return Report(trace, FindDevicePathID(text, out));
}

int GetParentInstanceName(Trace& trace, std::span<char> out, const char* path) {
  return Report(trace, FindParentInstanceName(path, out));
}

}  // namespace fenra
