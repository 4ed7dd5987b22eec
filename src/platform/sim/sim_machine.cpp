#include "platform/sim/sim_machine.h"

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "platform/sim/hardware_description.h"
#include "platform/sim/wmi_inventory.h"

namespace fenra::sim {
namespace {

using nlohmann::json;

json BaselineSystem() {
  SystemFacts facts;
  return json{
      {"os",
       {{"major", facts.version.major},
        {"minor", facts.version.minor},
        {"build", facts.version.build},
        {"platform_id", facts.version.platform_id},
        {"csd_version", facts.version.csd_version}}},
      {"wow64", facts.wow64},
      {"system_root", facts.system_root},
      {"ui_language", "en"},
  };
}

SystemDescription LoadSystem(const std::filesystem::path& file) {
  SystemDescription description;
  std::ifstream in(file);
  if (!in) return description;  // a machine without the file runs on the defaults
  json j;
  try {
    j = json::parse(in, nullptr, true, /*ignore_comments=*/true);
    SystemFacts& facts = description.facts;
    if (j.contains("os")) {
      const json& os = j.at("os");
      facts.version.major = os.value("major", facts.version.major);
      facts.version.minor = os.value("minor", facts.version.minor);
      facts.version.build = os.value("build", facts.version.build);
      facts.version.platform_id = os.value("platform_id", facts.version.platform_id);
      facts.version.csd_version = os.value("csd_version", facts.version.csd_version);
    }
    facts.wow64 = j.value("wow64", facts.wow64);
    facts.system_root = j.value("system_root", facts.system_root);
    std::string language = j.value("ui_language", std::string("en"));
    if (language == "ja")
      description.language = UiLanguage::kJapanese;
    else if (language != "en")
      throw std::runtime_error("ui_language must be \"en\" or \"ja\", not \"" + language + "\"");
  } catch (const json::exception& e) {
    throw std::runtime_error(file.string() + ": " + e.what());
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(file.string() + ": " + e.what());
  }
  return description;
}

// hardware.json, read once: a machine made before the WMI provider existed
// gets its baseline "wmi" section first.
MachineHardware LoadMachineHardware(const std::filesystem::path& file) {
  std::string error;
  nlohmann::json document;
  if (!EnsureHardwareSection(file, "wmi", BaselineWmiSection(), &error, &document)) throw std::runtime_error(error);
  MachineHardware hardware{ParseHardwareFacts(document, file), {}};
  if (!ParseWmiSection(document["wmi"], &hardware.inventory, &error))
    throw std::runtime_error(file.string() + ": " + error);
  return hardware;
}

}  // namespace

std::filesystem::path SimMachine::DefaultDirectory() {
  if (const char* machine = getenv("FENRA_MACHINE"); machine && *machine) return machine;
  if (const char* home = getenv("HOME"); home && *home) return std::filesystem::path(home) / ".fenra" / "machine";
  return "fenra-machine";
}

void SimMachine::CreateBaseline(const std::filesystem::path& directory) {
  namespace fs = std::filesystem;
  fs::create_directories(directory);
  fs::create_directories(directory / "drive_c" / "Windows" / "system32");
  fs::create_directories(directory / "drive_c" / "QOR" / "QVMAlertMan" / "Temp");
  std::ofstream(directory / kSystemFile) << BaselineSystem().dump(2) << "\n";
  nlohmann::json hardware = BaselineHardwareFacts();
  hardware["wmi"] = BaselineWmiSection();
  if (std::string error; !WriteHardwareDescription(directory / kHardwareFile, hardware, &error))
    throw std::runtime_error(error);

  SimRegistry registry(directory / kRegistryFile);
  constexpr Hive hklm = Hive::kLocalMachine;
  int32_t error = registry.Batch([&] {
    registry.SetString(hklm, "SOFTWARE\\QOR\\QVMAgent\\FT", "Installdir", "C:\\Program Files\\QOR\\QVMAgent\\");
    registry.SetString(hklm, "SOFTWARE\\QOR\\QVMAlertMan", "TempDir", kBaselineTraceDir);
    registry.SetDword(hklm, "SYSTEM\\CurrentControlSet\\Control\\Windows", "CSDVersion", 0x100);
  });
  if (error != 0) throw std::runtime_error((directory / kRegistryFile).string() + ": cannot be written");
  // No SOFTWARE\QOR\Trelvane: the platform software version comes from the
  // driver file (1.1.23.9 gives "1.1", generation 0), so a first run takes
  // the thresholds of generation 0, compares the serial numbers and reads
  // the firmware revision through the hardware library.
}

std::filesystem::path SimMachine::Prepare(std::filesystem::path directory) {
  if (!std::filesystem::exists(directory)) CreateBaseline(directory);
  return directory;
}

SimMachine::SimMachine(std::filesystem::path directory, MachineOptions options)
    : directory_(Prepare(std::move(directory))),
      description_(LoadSystem(directory_ / kSystemFile)),
      hardware_description_(LoadMachineHardware(directory_ / kHardwareFile)),
      kernel_(options.kernel),
      system_(description_.facts,
              options.command_line.empty() ? hardware_description_.facts.executable.path : options.command_line),
      resources_(description_.language),
      paths_(directory_),
      registry_(directory_ / kRegistryFile),
      files_(paths_, system_),
      event_log_(directory_ / kEventLogFile, kernel_),
      service_manager_(kernel_, registry_),
      service_control_(kernel_, service_manager_, options.started_by_scm),
      wmi_(kernel_, hardware_description_.inventory),
      hardware_(hardware_description_.facts.library, hardware_description_.facts.ipmi),
      version_info_(paths_, system_, hardware_description_.facts),
      platform_{kernel_, registry_, event_log_, files_,    service_control_, resources_,
                system_, com_,      wmi_,       hardware_, version_info_} {
  if (registry_.Batch([&] { PublishSerialNumbers(registry_, hardware_description_.facts.driver); }) != 0)
    throw std::runtime_error((directory_ / kRegistryFile).string() + ": cannot be written");
  if (!kernel_.virtual_time()) wmi_.WatchFile(directory_ / kHardwareFile);
}

SimProcess::SimProcess(Platform& machine, SimServiceManager& manager, const ProcessOptions& options,
                       const std::string& service_name)
    : system_(machine.system, options.command_line),
      service_control_(machine.kernel, manager, options.started_by_scm, service_name),
      platform_{machine.kernel,    machine.registry,      machine.event_log, machine.files,
                service_control_,  machine.resources,     system_,           machine.com,
                machine.wmi,       machine.hardware,      machine.version_info} {}

std::unique_ptr<SimProcess> SimMachine::NewProcess(const ProcessOptions& options) {
  ProcessOptions with_command_line = options;
  if (with_command_line.command_line.empty()) with_command_line.command_line = version_info_.GetModuleFileName();
  return std::make_unique<SimProcess>(platform_, service_manager_, with_command_line);
}

void SimMachine::SetServiceImage(std::function<uint32_t(Platform&)> entry) {
  service_manager_.SetLauncher([this, entry](const std::string& service_name, const std::string& command_line) {
    auto process = std::make_shared<SimProcess>(platform_, service_manager_, ProcessOptions{true, command_line},
                                                service_name);
    Handle thread = kernel_.CreateThread(
        [process, entry] {
          uint32_t exit_code = entry(process->platform());
          process->service_control().ProcessEnded();
          return exit_code;
        },
        service_name + " process");
    if (thread) {
      std::lock_guard lock(service_process_mutex_);
      last_service_process_ = thread;
    }
    return thread;
  });
}

Handle SimMachine::LastServiceProcess() {
  std::lock_guard lock(service_process_mutex_);
  return last_service_process_;
}

std::filesystem::path SimMachine::HostPath(const std::string& windows_path) {
  return paths_.ToHost(windows_path, system_.GetCurrentDirectory()).value_or(std::filesystem::path());
}

}  // namespace fenra::sim
