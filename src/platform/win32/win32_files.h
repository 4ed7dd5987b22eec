#pragma once
// The Files port on Windows files (CreateFileA and its kin) and INI files
// (GetPrivateProfileIntA).

#include "platform/files.h"

namespace fenra::win32 {

class Win32Files final : public Files {
 public:
  FilePtr CreateFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) override;
  FilePtr CreateTrustedFile(const std::string& path, uint32_t access, uint32_t share, uint32_t disposition) override;
  bool GetFileSize(File& file, uint64_t* size) override;
  bool SetFilePointer(File& file, int64_t distance, uint32_t method, uint64_t* position) override;
  bool WriteFile(File& file, const void* data, uint32_t size, uint32_t* written) override;
  bool ReadFile(File& file, void* data, uint32_t size, uint32_t* read) override;
  uint32_t GetPrivateProfileInt(const std::string& section, const std::string& key, int32_t default_value,
                                const std::string& path) override;
};

}  // namespace fenra::win32
