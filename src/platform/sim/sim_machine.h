#pragma once
// A whole simulated Windows machine kept in a directory: registry, event
// log, system directory, trace folder, the facts of the system and its
// hardware (hardware.json). A
// directory that does not exist yet is created as a baseline machine.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "platform/sim/hardware_description.h"
#include "platform/sim/hardware_facts.h"
#include "platform/sim/machine_paths.h"
#include "platform/sim/sim_com.h"
#include "platform/sim/sim_event_log.h"
#include "platform/sim/sim_files.h"
#include "platform/sim/sim_hardware.h"
#include "platform/sim/sim_kernel.h"
#include "platform/sim/sim_registry.h"
#include "platform/sim/sim_resources.h"
#include "platform/sim/sim_service_control.h"
#include "platform/sim/sim_service_manager.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_version_info.h"
#include "platform/sim/sim_wmi.h"

namespace fenra::sim {

// The facts of system.json.
struct SystemDescription {
  SystemFacts facts;
  UiLanguage language = UiLanguage::kEnglish;
};

// What hardware.json describes.
struct MachineHardware {
  HardwareFacts facts;
  SimWmiInventory inventory;
};

struct MachineOptions {
  KernelOptions kernel;
  // As if the service control manager had started the process; otherwise
  // it is a console start and the dispatcher connection is refused.
  bool started_by_scm = false;
  // The command line of the machine's first process; empty: the
  // executable's path alone.
  std::string command_line;
};

// How a process of the machine is started.
struct ProcessOptions {
  bool started_by_scm = false;
  std::string command_line;
};

// A process's own view of the machine: its command line and its connection
// to the service control manager; every other port is the machine's.
class SimProcess {
 public:
  SimProcess(Platform& machine, SimServiceManager& manager, const ProcessOptions& options,
             const std::string& service_name = {});
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  Platform& platform() { return platform_; }
  SimServiceControl& service_control() { return service_control_; }

 private:
  SimProcessSystem system_;
  SimServiceControl service_control_;
  Platform platform_;
};

class SimMachine {
 public:
  // Throws std::runtime_error when the directory holds a registry, system
  // description or hardware description that cannot be read. A machine
  // without the hardware's "wmi" section gets the baseline one. The platform
  // driver publishes its serial numbers into the registry at construction,
  // as it would when the machine starts.
  SimMachine(std::filesystem::path directory, MachineOptions options = {});
  SimMachine(const SimMachine&) = delete;
  SimMachine& operator=(const SimMachine&) = delete;

  // FENRA_MACHINE, else $HOME/.fenra/machine, else ./fenra-machine.
  static std::filesystem::path DefaultDirectory();
  // Writes the baseline machine into `directory` (which must not exist).
  static void CreateBaseline(const std::filesystem::path& directory);

  Platform& platform() { return platform_; }
  const std::filesystem::path& directory() const { return directory_; }
  // The host path of a Windows path of this machine.
  std::filesystem::path HostPath(const std::string& windows_path);
  std::filesystem::path event_log_path() const { return directory_ / kEventLogFile; }

  SimKernel& kernel() { return kernel_; }
  SimRegistry& registry() { return registry_; }
  SimEventLog& event_log() { return event_log_; }
  SimFiles& files() { return files_; }
  SimSystem& system() { return system_; }
  // The connection of the machine's first process (platform()).
  SimServiceControl& service_control() { return service_control_; }
  SimServiceManager& service_manager() { return service_manager_; }
  // A further process's view of this machine.
  std::unique_ptr<SimProcess> NewProcess(const ProcessOptions& options);
  // What runs in the process of an installed service that StartService
  // starts, whatever its ImagePath: `entry` with the process's platform;
  // its result is the process's exit code.
  void SetServiceImage(std::function<uint32_t(Platform&)> entry);
  // The process StartService started last (signalled when it ends), or
  // null.
  Handle LastServiceProcess();
  SimCom& com() { return com_; }
  SimWmi& wmi() { return wmi_; }
  std::filesystem::path hardware_path() const { return directory_ / kHardwareFile; }
  SimHardware& hardware() { return hardware_; }
  SimVersionInfo& version_info() { return version_info_; }

  static constexpr const char* kRegistryFile = "registry.reg";
  static constexpr const char* kEventLogFile = "eventlog.jsonl";
  static constexpr const char* kSystemFile = "system.json";
  // TempDir of the baseline machine.
  static constexpr const char* kBaselineTraceDir = "C:\\QOR\\QVMAlertMan\\Temp\\";

 private:
  // Creates the baseline machine when `directory` does not exist.
  static std::filesystem::path Prepare(std::filesystem::path directory);

  const std::filesystem::path directory_;
  const SystemDescription description_;
  const MachineHardware hardware_description_;
  SimKernel kernel_;
  SimSystem system_;
  SimResources resources_;
  MachinePaths paths_;
  SimRegistry registry_;
  SimFiles files_;
  SimEventLog event_log_;
  SimServiceManager service_manager_;
  SimServiceControl service_control_;
  SimCom com_;
  // On real time it watches hardware.json, so that an edit of a module's
  // state becomes a change event.
  SimWmi wmi_;
  SimHardware hardware_;
  SimVersionInfo version_info_;
  Platform platform_;
  std::mutex service_process_mutex_;
  Handle last_service_process_;
};

}  // namespace fenra::sim
