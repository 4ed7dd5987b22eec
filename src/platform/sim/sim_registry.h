#pragma once
// The registry of the simulated machine: HKEY_LOCAL_MACHINE and
// HKEY_CLASSES_ROOT, kept in memory and in one .reg file that is rewritten
// atomically after every change.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/sim/reg_file.h"

namespace fenra::sim {

// Answers as the Win32 registry functions do, error codes included. One
// process's view: the file is read once, at construction, so changes made
// by another process after that are not seen (and are overwritten at this
// registry's next change). Thread-safe.
class SimRegistry : public Registry {
 public:
  // Loads `file`; a missing file is an empty registry, created at the first
  // change. Throws std::runtime_error naming the file (and the line) when it
  // cannot be read or parsed; such a file is never replaced.
  explicit SimRegistry(std::filesystem::path file);

  int32_t OpenKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key) override;
  int32_t CreateKey(Hive hive, const std::string& path, uint32_t sam, RegKeyPtr* key,
                    uint32_t* disposition) override;
  int32_t QueryValue(RegKey& key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override;
  int32_t SetValue(RegKey& key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) override;
  int32_t DeleteValue(RegKey& key, const char* name) override;
  int32_t DeleteKey(Hive hive, const std::string& path) override;

  // For tests and for setting up a machine: write a REG_SZ (with its
  // terminator) or a REG_DWORD, creating the key as needed; read one back
  // (nullopt when missing or of another type; a text ends at its first NUL).
  int32_t SetString(Hive hive, const std::string& path, const std::string& name, const std::string& text);
  int32_t SetDword(Hive hive, const std::string& path, const std::string& name, uint32_t value);
  std::optional<std::string> GetString(Hive hive, const std::string& path, const std::string& name);
  std::optional<uint32_t> GetDword(Hive hive, const std::string& path, const std::string& name);

  // Runs `changes` with the file written once, when they are done, instead
  // of after each change (setting up a machine). 0, or the write's Win32
  // error: then the registry goes back to what the file holds, and keys
  // still open from before point at the discarded contents.
  int32_t Batch(const std::function<void()>& changes);

 private:
  class Key;

  // The deepest existing key along `names` in *node; the number of names
  // that exist.
  size_t Walk(Hive hive, const std::vector<std::string>& names, std::shared_ptr<RegNode>* node);
  int32_t CheckKey(RegKey& key, uint32_t needed, Key** checked);
  // Writes the file; on failure the caller undoes its change, so that the
  // memory never holds what the disk does not. 0 or a Win32 error code.
  int32_t Save();

  // The file's contents, or an empty registry when there is no file.
  RegHives Load() const;

  std::mutex mutex_;
  std::filesystem::path file_;
  RegHives hives_;
  int batch_depth_ = 0;
  bool unsaved_ = false;
};

}  // namespace fenra::sim
