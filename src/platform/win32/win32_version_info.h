#pragma once
// The VersionInfo port on the version API (GetFileVersionInfoA,
// VerQueryValueA) and GetModuleFileNameA.

#include "platform/version_info.h"

namespace fenra::win32 {

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

}  // namespace fenra::win32
