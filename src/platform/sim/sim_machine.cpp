#include "platform/sim/sim_machine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "platform/sim/hardware_description.h"
#include "platform/sim/hardware_journal.h"
#include "platform/sim/text.h"
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

void SimMachine::CreateBaseline(const std::filesystem::path& directory, bool durable) {
  namespace fs = std::filesystem;
  for (const fs::path& folder :
       {directory, directory / "drive_c" / "Windows" / "system32", directory / "drive_c" / "QOR" / "QVMAlertMan" / "Temp"}) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) throw MachineNotMade(PrintableText(folder.string()) + ": cannot be made: " + ec.message());
  }
  if (!fs::exists(directory / kSystemFile)) {
    if (int code = WriteFileAtomically(directory / kSystemFile, BaselineSystem().dump(2) + "\n", durable))
      throw MachineNotMade(FileErrorText(directory / kSystemFile, code));
  }
  if (!fs::exists(directory / kHardwareFile)) {
    nlohmann::json hardware = BaselineHardwareFacts();
    hardware["wmi"] = BaselineWmiSection();
    if (std::string error; !WriteHardwareDescription(directory / kHardwareFile, hardware, &error))
      throw MachineNotMade(error);
  }
  if (fs::exists(directory / kRegistryFile)) return;

  SimRegistry registry(directory / kRegistryFile, RegistryOptions{durable, nullptr});
  constexpr Hive hklm = Hive::kLocalMachine;
  int32_t error = registry.Batch([&] {
    registry.SetString(hklm, "SOFTWARE\\QOR\\QVMAgent\\FT", "Installdir", "C:\\Program Files\\QOR\\QVMAgent\\");
    registry.SetString(hklm, "SOFTWARE\\QOR\\QVMAlertMan", "TempDir", kBaselineTraceDir);
    registry.SetDword(hklm, "SYSTEM\\CurrentControlSet\\Control\\Windows", "CSDVersion", 0x100);
  });
  if (error != 0) throw MachineNotMade((directory / kRegistryFile).string() + ": cannot be written");
  // No SOFTWARE\QOR\Trelvane: the platform software version comes from the
  // driver file (1.1.23.9 gives "1.1", generation 0), so a first run takes
  // the thresholds of generation 0, compares the serial numbers and reads
  // the firmware revision through the hardware library.
}

std::filesystem::path SimMachine::Prepare(std::filesystem::path directory, const MachineOptions& options) {
  namespace fs = std::filesystem;
  if (fs::exists(directory) && !fs::is_directory(directory))
    throw std::runtime_error(directory.string() + " is a file; a machine is a directory (it is created when missing)");
  if (!fs::exists(directory / kRegistryFile)) CreateBaseline(directory, !options.kernel.virtual_time);
  return directory;
}

SimMachine::SimMachine(std::filesystem::path directory, MachineOptions options)
    : directory_(Prepare(std::move(directory), options)),
      description_(LoadSystem(directory_ / kSystemFile)),
      hardware_description_(LoadMachineHardware(directory_ / kHardwareFile)),
      kernel_(options.kernel),
      system_(description_.facts, hardware_description_.facts.executable.path),
      resources_(description_.language),
      paths_(directory_),
      registry_(directory_ / kRegistryFile, RegistryOptions{!kernel_.virtual_time(), &write_notice_}),
      files_(paths_, system_),
      event_log_(directory_ / kEventLogFile, kernel_, &write_notice_),
      service_manager_(kernel_, registry_),
      service_control_(kernel_, service_manager_, options.started_by_scm),
      wmi_(kernel_, hardware_description_.inventory),
      hardware_(hardware_description_.facts.library, hardware_description_.facts.ipmi),
      version_info_(paths_, system_, hardware_description_.facts),
      platform_{kernel_, registry_, event_log_, files_,    service_control_, resources_,
                system_, com_,      wmi_,       hardware_, version_info_} {
  // On a machine whose files cannot be written the notice says so, and the
  // machine runs on what it has.
  registry_.Batch([&] { PublishSerialNumbers(registry_, hardware_description_.facts.driver); });
  if (!kernel_.virtual_time()) {
    auto journal = std::make_shared<HardwareJournalReader>(directory_);
    hardware_watcher_.emplace(directory_, std::vector<std::string>{kHardwareFile, kHardwareJournalFile},
                              [this, journal] { TakeHardwareChanges(*journal); });
  }
}

void SimMachine::TakeHardwareChanges(HardwareJournalReader& journal) {
  std::vector<HardwareChange> changes;
  SimWmiInventory inventory;
  std::string error;
  DescriptionRead read = journal.Read(&changes, &inventory, &error);
  // Each change of the journal is its own event, in the order written;
  // then whatever else the file says (a person's edit) by comparison.
  for (const HardwareChange& change : changes) {
    std::optional<int32_t> state = JournalState(change.state);
    if (!state || !wmi_.SetState(change.key, state))
      write_notice_.Say((directory_ / kHardwareJournalFile).string() + ": no instance \"" + change.key +
                        "\" or no state \"" + change.state + "\" (change ignored)");
  }
  if (read == DescriptionRead::kChanged)
    wmi_.UpdateInventory(std::move(inventory));
  else if (read == DescriptionRead::kRefused)
    write_notice_.Say(error + " (change ignored: the hardware stays as it was until the file is mended)");
}

std::string SimMachine::CheckWritable() const {
  std::filesystem::path event_log = directory_ / kEventLogFile;
  int fd = open(event_log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return FileErrorText(event_log, errno);
  close(fd);
  // The registry is replaced through a new file beside it, so it is the
  // directory that must take a new file; a name of this process's own, so
  // that a concurrent writer's temporary file is never touched.
  std::filesystem::path probe = directory_ / kRegistryFile;
  probe += ".probe-" + std::to_string(getpid());
  fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return FileErrorText(directory_ / kRegistryFile, errno);
  close(fd);
  unlink(probe.c_str());
  return {};
}

SimMachine::~SimMachine() {
  hardware_watcher_.reset();
  kernel_.Shutdown();
}

SimProcess::SimProcess(SimMachine& machine, const ProcessOptions& options)
    : system_(machine.system_,
              options.command_line.empty() ? machine.version_info_.GetModuleFileName() : options.command_line),
      service_control_(machine.kernel_, machine.service_manager_, options.started_by_scm, options.service_name),
      platform_{machine.kernel_,
                machine.registry_,
                machine.event_log_,
                machine.files_,
                service_control_,
                machine.resources_,
                system_,
                com_,
                machine.wmi_,
                machine.hardware_,
                machine.version_info_} {}

Handle SimMachine::StartProcess(const ProcessOptions& options, ProcessMain main) {
  auto process = std::make_shared<SimProcess>(*this, options);
  SimProcess* raw = process.get();
  return kernel_.CreateProcess(
      options.name, [raw, main = std::move(main)] { return main(*raw); }, std::move(process));
}

void SimMachine::SetServiceImage(ProcessMain image) {
  service_manager_.SetLauncher([this, image](const std::string& service_name, const std::string& command_line) {
    // The process is named after the image's file.
    std::string path = command_line.substr(0, command_line.find(' '));
    ProcessOptions options{path.substr(path.find_last_of("\\/") + 1), command_line, service_name, true};
    Handle process = StartProcess(options, image);
    if (process) {
      MutexLock lock(service_process_mutex_);
      last_service_process_ = process;
    }
    return process;
  });
}

Handle SimMachine::LastServiceProcess() {
  MutexLock lock(service_process_mutex_);
  return last_service_process_;
}

std::filesystem::path SimMachine::HostPath(const std::string& windows_path) {
  return paths_.ToHost(windows_path, system_.GetCurrentDirectory()).value_or(std::filesystem::path());
}

}  // namespace fenra::sim
