#pragma once
// The VersionInfo port on the version API (GetFileVersionInfoA,
// VerQueryValueA) and GetModuleFileNameA.

#include <string>

#include "platform/version_info.h"

namespace fenra::win32 {

// A path into the 64-bit system directory names the system's own file, and
// is read there also by a 32-bit process on 64-bit Windows, which the file
// system would otherwise redirect to SysWOW64 (where the platform driver's
// file does not exist): such a path is read through the Sysnative alias.
class Win32VersionInfo final : public VersionInfo {
 public:
  std::string GetModuleFileName() override;
  uint32_t GetFileVersionInfoSize(const std::string& path) override;
  bool GetFileVersionInfo(const std::string& path, uint32_t size, void* data) override;
  // Both queries refuse an answer that would lie outside the `size` bytes
  // of `data`.
  bool QueryFixedFileVersion(const void* data, uint32_t size, FixedFileVersion* version) override;
  bool QueryVersionString(const void* data, uint32_t size, const std::string& block, std::string* value) override;
};

// `path` as a 32-bit process under WoW64 (`wow64`) reaches the file it
// names: "<windows>\system32\..." becomes "<windows>\Sysnative\...",
// compared without regard to case; any other path, and every path without
// WoW64, is returned as it is. `windows_directory` has no trailing
// backslash.
std::string NativeSystemPath(const std::string& path, const std::string& windows_directory, bool wow64);

}  // namespace fenra::win32
