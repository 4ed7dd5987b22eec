#pragma once
// Registry port: the handful of Reg* calls the system makes, with their
// Win32 result codes (ERROR_FILE_NOT_FOUND for a missing key or value,
// ERROR_MORE_DATA with the required size for a short buffer).

#include <cstdint>
#include <memory>
#include <string>

#include "platform/win_values.h"

namespace fenra {

enum class Hive { kLocalMachine, kClassesRoot };

// An open key; destroying it closes it (RegCloseKey).
class RegKey {
 public:
  virtual ~RegKey() = default;
};
using RegKeyPtr = std::unique_ptr<RegKey>;

// Results are Win32 error codes (0 = success). A null value name is the
// key's default value. Thread-safe.
class Registry {
 public:
  virtual ~Registry() = default;

  // RegOpenKeyExA. `sam` is the access mask; a key opened without
  // KEY_SET_VALUE refuses writes with ERROR_ACCESS_DENIED.
  virtual int32_t OpenKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key) = 0;
  // RegCreateKeyExA: opens the key or creates it with its missing parents.
  // `disposition` (may be null) gets kRegCreatedNewKey or
  // kRegOpenedExistingKey.
  virtual int32_t CreateKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key,
                            uint32_t* disposition) = 0;
  // RegQueryValueExA. With `data` null only the size is reported. With a
  // buffer too small: ERROR_MORE_DATA and the required size in *size.
  virtual int32_t QueryValue(RegKey& key, const char* name, uint32_t* type, uint8_t* data,
                             uint32_t* size) = 0;
  // RegSetValueExA, with its quirk: for a string type whose size leaves out
  // the terminator, the terminator is stored too when the byte after the
  // data is a NUL (so data[size] is read); otherwise exactly the bytes
  // given are stored, and a query reports that length.
  virtual int32_t SetValue(RegKey& key, const char* name, uint32_t type, const uint8_t* data,
                           uint32_t size) = 0;
  virtual int32_t DeleteValue(RegKey& key, const char* name) = 0;
  // RegDeleteKeyA: deletes a key that has no subkeys.
  virtual int32_t DeleteKey(Hive hive, const std::string& path) = 0;
};

}  // namespace fenra
