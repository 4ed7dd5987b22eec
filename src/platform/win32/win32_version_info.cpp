#include "platform/win32/win32_version_info.h"

#include "platform/win32/win32_system.h"
#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// The path as this process reaches the file it names.
std::string Reachable(const std::string& path) {
  if (!RunningUnderWow64()) return path;
  char windows[MAX_PATH + 1] = {};
  UINT length = GetSystemWindowsDirectoryA(windows, sizeof(windows));
  if (length == 0 || length >= sizeof(windows)) return path;
  return NativeSystemPath(path, std::string(windows, length), true);
}

// VerQueryValueA for `block`; false unless the answer lies within the
// resource's `size` bytes.
bool Query(const void* data, uint32_t size, const char* block, const char** answer, UINT* length) {
  void* found = nullptr;
  if (data == nullptr || !VerQueryValueA(data, block, &found, length) || found == nullptr) return false;
  auto* begin = static_cast<const char*>(data);
  auto* at = static_cast<const char*>(found);
  if (at < begin || at > begin + size || *length > static_cast<size_t>(begin + size - at)) return false;
  *answer = at;
  return true;
}

}  // namespace

std::string Win32VersionInfo::GetModuleFileName() {
  std::string path(MAX_PATH + 1, '\0');
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    // A full buffer means the path was cut: try again with more room.
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::string NativeSystemPath(const std::string& path, const std::string& windows_directory, bool wow64) {
  const std::string system32 = windows_directory + "\\system32\\";
  if (!wow64 || path.size() < system32.size() ||
      !EqualIgnoringCase(std::string_view(path).substr(0, system32.size()), system32))
    return path;
  return windows_directory + "\\Sysnative\\" + path.substr(system32.size());
}

uint32_t Win32VersionInfo::GetFileVersionInfoSize(const std::string& path) {
  DWORD unused = 0;
  return GetFileVersionInfoSizeA(Reachable(path).c_str(), &unused);
}

bool Win32VersionInfo::GetFileVersionInfo(const std::string& path, uint32_t size, void* data) {
  return GetFileVersionInfoA(Reachable(path).c_str(), 0, size, data) != FALSE;
}

bool Win32VersionInfo::QueryFixedFileVersion(const void* data, uint32_t size, FixedFileVersion* version) {
  const char* answer = nullptr;
  UINT length = 0;
  if (!Query(data, size, "\\", &answer, &length) || length < sizeof(VS_FIXEDFILEINFO)) return false;
  VS_FIXEDFILEINFO fixed;
  memcpy(&fixed, answer, sizeof(fixed));
  if (fixed.dwSignature != VS_FFI_SIGNATURE) return false;
  *version = FixedFileVersion{HIWORD(fixed.dwFileVersionMS), LOWORD(fixed.dwFileVersionMS),
                              HIWORD(fixed.dwFileVersionLS), LOWORD(fixed.dwFileVersionLS)};
  return true;
}

bool Win32VersionInfo::QueryVersionString(const void* data, uint32_t size, const std::string& block,
                                          std::string* value) {
  const char* answer = nullptr;
  UINT length = 0;
  if (!Query(data, size, block.c_str(), &answer, &length)) return false;
  // The length counts characters, the terminator included.
  value->assign(answer, strnlen(answer, length));
  return true;
}

}  // namespace fenra::win32
