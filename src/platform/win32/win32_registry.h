#pragma once
// The Registry port on the Windows registry (RegOpenKeyExA and its kin).
// Result codes are the registry's own.

#include "platform/registry.h"

namespace fenra::win32 {

class Win32Registry final : public Registry {
 public:
  int32_t OpenKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key) override;
  int32_t CreateKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key, uint32_t* disposition) override;
  int32_t QueryValue(RegKey& key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override;
  int32_t SetValue(RegKey& key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) override;
  int32_t DeleteValue(RegKey& key, const char* name) override;
  int32_t DeleteKey(Hive hive, const std::string& path) override;
};

}  // namespace fenra::win32
