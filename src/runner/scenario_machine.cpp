#include "runner/scenario_machine.h"

#include <cerrno>
#include <fstream>
#include <map>
#include <stdexcept>

#include "platform/sim/hardware_facts.h"
#include "platform/sim/host_file.h"
#include "platform/sim/text.h"
#include "platform/sim/wmi_inventory.h"
#include "runner/service_host.h"

namespace fenra::runner {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

json ReadJson(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return json::object();
  try {
    return json::parse(in, nullptr, true, /*ignore_comments=*/true);
  } catch (const json::exception& e) {
    throw std::runtime_error(file.string() + ": " + e.what());
  }
}

void WriteJson(const fs::path& file, const json& document) {
  if (int code = sim::WriteFileAtomically(file, document.dump(2) + "\n", /*durable=*/false))
    throw std::runtime_error(sim::FileErrorText(file, code));
}

// The INI files of the scenario: per file (names compared as Windows
// does), its sections in the order first named, each with its keys.
struct IniFile {
  std::string name;
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> sections;
};

std::vector<IniFile> CollectIniFiles(const Scenario& scenario) {
  std::vector<IniFile> files;
  for (const IniEntry& ini : scenario.ini) {
    const IniEntry* entry = &ini;
    auto file = std::find_if(files.begin(), files.end(),
                             [&](const IniFile& f) { return sim::EqualsIgnoreCase(f.name, entry->file); });
    if (file == files.end()) file = files.insert(files.end(), IniFile{entry->file, {}});
    auto section = std::find_if(file->sections.begin(), file->sections.end(),
                                [&](const auto& s) { return sim::EqualsIgnoreCase(s.first, entry->section); });
    if (section == file->sections.end()) section = file->sections.insert(file->sections.end(), {entry->section, {}});
    section->second.emplace_back(entry->key, entry->value);
  }
  return files;
}

void ApplyRegistrySet(sim::SimMachine& machine, const RegistryStep& step, std::string* error) {
  Registry& registry = machine.registry();
  RegKeyPtr key;
  int32_t result = registry.CreateKey(step.hive, step.key, win::kKeyAllAccess, &key, nullptr);
  if (result == 0) {
    const char* name = step.value ? step.value->c_str() : nullptr;
    result = registry.SetValue(*key, name, step.type, step.data.data(), static_cast<uint32_t>(step.data.size()));
  }
  if (result != 0) *error = "the registry refused the value (error " + std::to_string(result) + ")";
}

void ApplyRegistryDelete(sim::SimMachine& machine, const RegistryStep& step, std::string* error) {
  Registry& registry = machine.registry();
  int32_t result = 0;
  if (!step.value && !step.default_value) {
    result = registry.DeleteKey(step.hive, step.key);
  } else {
    RegKeyPtr key;
    result = registry.OpenKey(step.hive, step.key, win::kKeyAllAccess, &key);
    if (result == 0) result = registry.DeleteValue(*key, step.value ? step.value->c_str() : nullptr);
  }
  // What is not there is deleted already.
  if (result == static_cast<int32_t>(win::kErrorFileNotFound)) return;
  if (result == static_cast<int32_t>(win::kErrorAccessDenied) && !step.value && !step.default_value)
    *error = "the key has subkeys: delete them first";
  else if (result != 0)
    *error = "the registry refused the deletion (error " + std::to_string(result) + ")";
}

}  // namespace

void PrepareMachineDirectory(const Scenario& scenario, const fs::path& directory) {
  if (fs::exists(directory) && !fs::is_directory(directory))
    throw std::runtime_error(sim::FileErrorText(directory, ENOTDIR) +
                             "; --machine names a machine directory, made when missing");
  bool fresh = !fs::exists(directory) || fs::is_empty(directory);
  fs::path hardware_file = directory / sim::kHardwareFile;
  json hardware;
  if (fresh) {
    sim::SimMachine::CreateBaseline(directory);
    hardware = BaselineHardware();
  } else if (std::string error; !sim::ReadHardwareDescription(hardware_file, &hardware, &error)) {
    throw std::runtime_error(error);
  }
  for (const HardwareEdit& edit : scenario.hardware) edit(hardware);
  hardware["wmi"] = WmiSection(scenario.modules);
  if (std::string error; !sim::WriteHardwareDescription(hardware_file, hardware, &error))
    throw std::runtime_error(error);

  fs::path system_file = directory / sim::SimMachine::kSystemFile;
  json system = ReadJson(system_file);
  system["ui_language"] = scenario.japanese ? "ja" : "en";
  WriteJson(system_file, system);
}

void ApplySetup(const Scenario& scenario, sim::SimMachine& machine) {
  RegisterService(machine);
  for (const RegistryStep& step : scenario.registry) {
    std::string error;
    if (step.remove)
      ApplyRegistryDelete(machine, step, &error);
    else
      ApplyRegistrySet(machine, step, &error);
    if (!error.empty()) throw ScenarioError(scenario.file, step.line, error);
  }
  // Each INI file is written once, with exactly the scenario's lines.
  for (const IniFile& file : CollectIniFiles(scenario)) {
    std::string text;
    for (const auto& [section, keys] : file.sections) {
      text += "[" + section + "]\r\n";
      for (const auto& [key, value] : keys) text += key + "=" + value + "\r\n";
    }
    std::string windows_path = machine.system().ExpandEnvironmentStrings("%SystemRoot%\\system32\\") + file.name;
    fs::path host = machine.HostPath(windows_path);
    if (host.empty()) throw std::runtime_error(windows_path + ": cannot be written");
    errno = 0;
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error(sim::FileErrorText(host, errno != 0 ? errno : EIO));
  }
}

}  // namespace fenra::runner
