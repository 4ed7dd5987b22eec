#include "app/first_look.h"

#include "monitor/service_thread.h"
#include "settings/persistent_state.h"
#include "settings/registry_access.h"

namespace fenra::app {
namespace {

constexpr Hive kHklm = Hive::kLocalMachine;

// The INI file in the service's current directory, as Windows paths go.
std::string IniPath(sim::SimMachine& machine) {
  System& system = machine.platform().system;
  std::string directory =
      system.ExpandEnvironmentStrings(system.IsWow64Process() ? "%SystemRoot%\\SysWOW64" : "%SystemRoot%\\system32");
  return directory + "\\" + kSimplexFilterTimeSetting.file;
}

void WriteIni(sim::SimMachine& machine, const std::string& text) {
  Files& files = machine.platform().files;
  FilePtr file = files.CreateFile(IniPath(machine), win::kGenericWrite, 0, win::kCreateAlways);
  uint32_t written = 0;
  if (!file || !files.WriteFile(*file, text.data(), static_cast<uint32_t>(text.size()), &written))
    throw std::runtime_error("cannot write " + IniPath(machine));
}

}  // namespace

void SetUpFirstLook(sim::SimMachine& machine) {
  WriteIni(machine, std::string("[MODE]\r\n") + kSimplexFilterTimeSetting.key + "=0\r\n");
  for (const auto& pair : kPairs)
    if (machine.registry().SetDword(kHklm, pair.board_key, kShortThresholdValue, 1) != 0)
      throw std::runtime_error(std::string("cannot write HKLM\\") + pair.board_key);
}

void PutProductionDefaults(sim::SimMachine& machine) {
  WriteIni(machine, kSimplexFilterTimeSetting.default_text);
  Registry& registry = machine.registry();
  for (const auto& pair : kPairs) {
    RegKeyPtr key;
    if (registry.OpenKey(kHklm, pair.board_key, win::kKeySetValue, &key) == 0) registry.DeleteValue(*key, kShortThresholdValue);
  }
}

namespace {

// The first character of the platform software version the service will
// read: the registry's TrelvaneVersion, else the platform driver's file
// version (1.x reads as "1.x"), else "unknown".
char PlatformVersionFirst(sim::SimMachine& machine) {
  std::optional<std::string> version =
      machine.registry().GetString(kHklm, "SOFTWARE\\QOR\\Trelvane", "TrelvaneVersion");
  if (version) return version->empty() ? '\0' : (*version)[0];
  VersionInfo& info = machine.platform().version_info;
  std::string path = machine.platform().system.ExpandEnvironmentStrings("%SystemRoot%\\system32\\drivers\\zerod.sys");
  std::vector<uint8_t> data(info.GetFileVersionInfoSize(path));
  FixedFileVersion fixed;
  if (!data.empty() && info.GetFileVersionInfo(path, static_cast<uint32_t>(data.size()), data.data()) &&
      info.QueryFixedFileVersion(data.data(), static_cast<uint32_t>(data.size()), &fixed) && fixed.major == 1)
    return '1';
  return 'u';
}

}  // namespace

std::string AlertSettings(sim::SimMachine& machine) {
  auto delay = static_cast<int32_t>(machine.platform().files.GetPrivateProfileInt(
      kSimplexFilterTimeSetting.section, kSimplexFilterTimeSetting.key, -1, IniPath(machine)));
  std::string text = "start-up delay " + (delay < 0 ? std::string("default") : std::to_string(delay) + " s") +
                     "; SIMPLEX after";
  ThresholdDefaults defaults = ThresholdDefaultsFor(PlatformVersionFirst(machine));
  for (size_t i = 0; i < kPairs.size(); ++i) {
    std::optional<uint32_t> minutes = machine.registry().GetDword(kHklm, kPairs[i].board_key, kShortThresholdValue);
    text += std::string(i == 0 ? " " : ", ") + kPairs[i].label + " " +
            std::to_string(minutes.value_or(defaults[i].short_minutes)) +
            " min" + (minutes ? "" : " (default)");
  }
  return text;
}

std::filesystem::path TraceFolder(sim::SimMachine& machine) {
  std::optional<std::string> folder = machine.registry().GetString(kHklm, "SOFTWARE\\QOR\\QVMAlertMan", "TempDir");
  return folder && !folder->empty() ? machine.HostPath(*folder) : std::filesystem::path();
}

}  // namespace fenra::app
