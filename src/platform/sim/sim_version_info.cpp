#include "platform/sim/sim_version_info.h"

#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform/sim/last_error.h"
#include "platform/win_values.h"

namespace fenra::sim {
namespace {

using nlohmann::json;

constexpr const char* kStringFileInfo = "\\StringFileInfo\\";

std::string Serialize(const VersionResourceFacts& resource) {
  json j = json::object();
  if (resource.fixed) {
    const FixedFileVersion& v = *resource.fixed;
    j["fixed"] = {v.major, v.minor, v.build, v.revision};
  }
  j["strings"] = json::object();
  for (const auto& [name, value] : resource.strings) j["strings"][name] = value;
  return j.dump();
}

// The resource of `data`; nullopt for bytes that are not one (cut short).
std::optional<json> Parse(const void* data, uint32_t size) {
  json j = json::parse(static_cast<const char*>(data), static_cast<const char*>(data) + size, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  return j;
}

}  // namespace

SimVersionInfo::SimVersionInfo(const MachinePaths& paths, System& system, const HardwareFacts& facts)
    : paths_(paths), system_(system), executable_path_(facts.executable.path) {
  if (facts.driver.present) SetFile(DriverPath(), facts.driver.version);
  SetFile(executable_path_, facts.executable.version);
}

std::string SimVersionInfo::DriverPath() {
  return system_.ExpandEnvironmentStrings("%SystemRoot%") + "\\system32\\drivers\\zerod.sys";
}

std::optional<std::string> SimVersionInfo::Key(const std::string& path) {
  uint32_t error = win::kErrorFileNotFound;
  std::optional<std::filesystem::path> host = paths_.ToHost(path, system_.GetCurrentDirectory(), &error);
  if (!host) {
    SetLastError(error);
    return std::nullopt;
  }
  return host->lexically_normal().string();
}

void SimVersionInfo::SetFile(const std::string& path, std::optional<VersionResourceFacts> resource) {
  std::optional<std::string> key = Key(path);
  if (!key) return;
  MutexLock lock(mutex_);
  files_[*key] = std::move(resource);
}

void SimVersionInfo::RemoveFile(const std::string& path) {
  std::optional<std::string> key = Key(path);
  if (!key) return;
  MutexLock lock(mutex_);
  files_.erase(*key);
}

bool SimVersionInfo::Resource(const std::string& path, std::string* bytes) {
  std::optional<std::string> key = Key(path);
  if (!key) return false;
  MutexLock lock(mutex_);
  auto it = files_.find(*key);
  if (it == files_.end()) {
    SetLastError(win::kErrorFileNotFound);
    return false;
  }
  if (!it->second) {
    SetLastError(win::kErrorResourceTypeNotFound);
    return false;
  }
  *bytes = Serialize(*it->second);
  return true;
}

std::string SimVersionInfo::GetModuleFileName() { return executable_path_; }

uint32_t SimVersionInfo::GetFileVersionInfoSize(const std::string& path) {
  std::string bytes;
  if (!Resource(path, &bytes)) return 0;
  return static_cast<uint32_t>(bytes.size());
}

bool SimVersionInfo::GetFileVersionInfo(const std::string& path, uint32_t size, void* data) {
  std::string bytes;
  if (!Resource(path, &bytes)) return false;
  memcpy(data, bytes.data(), std::min<size_t>(size, bytes.size()));
  return true;
}

bool SimVersionInfo::QueryFixedFileVersion(const void* data, uint32_t size, FixedFileVersion* version) {
  std::optional<json> resource = Parse(data, size);
  if (!resource || !resource->contains("fixed")) return false;
  const json& fixed = (*resource)["fixed"];
  *version = {fixed[0].get<uint16_t>(), fixed[1].get<uint16_t>(), fixed[2].get<uint16_t>(),
              fixed[3].get<uint16_t>()};
  return true;
}

bool SimVersionInfo::QueryVersionString(const void* data, uint32_t size, const std::string& block,
                                        std::string* value) {
  size_t prefix = strlen(kStringFileInfo);
  if (block.size() <= prefix || !EqualsIgnoreCase(block.substr(0, prefix), kStringFileInfo)) return false;
  std::optional<json> resource = Parse(data, size);
  if (!resource) return false;
  std::string name = block.substr(prefix);
  for (const auto& [key, text] : (*resource)["strings"].items()) {
    if (EqualsIgnoreCase(key, name)) {
      *value = text.get<std::string>();
      return true;
    }
  }
  return false;
}

}  // namespace fenra::sim
