#include "platform/win32/win32_registry.h"

#include "platform/win32/windows_api.h"

namespace fenra::win32 {
namespace {

class Win32RegKey final : public RegKey {
 public:
  explicit Win32RegKey(HKEY key) : key_(key) {}
  ~Win32RegKey() override { RegCloseKey(key_); }
  HKEY get() const { return key_; }

 private:
  const HKEY key_;
};

HKEY Root(Hive hive) { return hive == Hive::kClassesRoot ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE; }

// Every key the port hands out comes from here.
HKEY Native(RegKey& key) { return static_cast<Win32RegKey&>(key).get(); }

}  // namespace

int32_t Win32Registry::OpenKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key) {
  HKEY opened = nullptr;
  LSTATUS result = RegOpenKeyExA(Root(hive), path.c_str(), 0, sam, &opened);
  key->reset(result == ERROR_SUCCESS ? new Win32RegKey(opened) : nullptr);
  return result;
}

int32_t Win32Registry::CreateKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key,
                                 uint32_t* disposition) {
  HKEY created = nullptr;
  DWORD how = 0;
  LSTATUS result =
      RegCreateKeyExA(Root(hive), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, sam, nullptr, &created, &how);
  key->reset(result == ERROR_SUCCESS ? new Win32RegKey(created) : nullptr);
  if (result == ERROR_SUCCESS && disposition != nullptr) *disposition = how;
  return result;
}

int32_t Win32Registry::QueryValue(RegKey& key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) {
  DWORD value_type = 0;
  DWORD value_size = size != nullptr ? *size : 0;
  LSTATUS result = RegQueryValueExA(Native(key), name, nullptr, type != nullptr ? &value_type : nullptr, data,
                                    size != nullptr ? &value_size : nullptr);
  if (type != nullptr) *type = value_type;
  if (size != nullptr) *size = value_size;
  return result;
}

int32_t Win32Registry::SetValue(RegKey& key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) {
  return RegSetValueExA(Native(key), name, 0, type, data, size);
}

int32_t Win32Registry::DeleteValue(RegKey& key, const char* name) { return RegDeleteValueA(Native(key), name); }

int32_t Win32Registry::DeleteKey(Hive hive, const std::string& path) { return RegDeleteKeyA(Root(hive), path.c_str()); }

}  // namespace fenra::win32
