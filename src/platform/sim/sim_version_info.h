#pragma once
// Version resources of the simulated machine's files: the platform
// driver's zerod.sys and the executable itself, as their facts say. No
// other file has one.

#include <map>
#include <optional>
#include <string>

#include "platform/sim/hardware_facts.h"
#include "platform/sim/machine_paths.h"
#include "platform/system.h"
#include "platform/version_info.h"
#include "support/thread_annotations.h"

namespace fenra::sim {

// The resource bytes are the sim's own (a JSON text); only this class's
// queries read them. Paths are matched as Windows matches them, whatever
// their case or form. Thread-safe.
class SimVersionInfo final : public VersionInfo {
 public:
  // The driver file lies at %SystemRoot%\system32\drivers\zerod.sys of
  // `system`; relative paths are resolved against its current directory.
  SimVersionInfo(const MachinePaths& paths, System& system, const HardwareFacts& facts);

  std::string GetModuleFileName() override;
  uint32_t GetFileVersionInfoSize(const std::string& path) override;
  bool GetFileVersionInfo(const std::string& path, uint32_t size, void* data) override;
  bool QueryFixedFileVersion(const void* data, uint32_t size, FixedFileVersion* version) override;
  bool QueryVersionString(const void* data, uint32_t size, const std::string& block, std::string* value) override;

  // For tests: makes `path` a file with `resource` (nullopt: a file without
  // a version resource), or no file at all.
  void SetFile(const std::string& path, std::optional<VersionResourceFacts> resource);
  void RemoveFile(const std::string& path);
  // Windows path of the platform driver's file.
  std::string DriverPath();

 private:
  // The key of a Windows path: its host path; nullopt (last error set)
  // for what is no file of the machine.
  std::optional<std::string> Key(const std::string& path);
  // The resource bytes of `path`; false, with the last error, when it has none.
  bool Resource(const std::string& path, std::string* bytes);

  const MachinePaths& paths_;
  System& system_;
  std::string executable_path_;
  Mutex mutex_;
  std::map<std::string, std::optional<VersionResourceFacts>, LessIgnoreCase> files_ FENRA_GUARDED_BY(mutex_);
};

}  // namespace fenra::sim
