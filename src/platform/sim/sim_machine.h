#pragma once
// A whole simulated Windows machine kept in a directory: registry, event
// log, system directory, trace folder, the facts of the system and its
// hardware (hardware.json). A
// directory without a registry file is set up as a baseline machine.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/file_watcher.h"
#include "platform/sim/hardware_journal.h"
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
#include "support/thread_annotations.h"

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
  // For the machine's own platform(): as if the service control manager had
  // started the process; otherwise it is a console start and the dispatcher
  // connection is refused. Processes started with StartProcess say it in
  // their ProcessOptions.
  bool started_by_scm = false;
};

struct ProcessOptions {
  std::string name = "FENRA.exe";
  // Its command line; empty: the executable's path alone.
  std::string command_line;
  // The service the service control manager started the process for
  // (StartService); its dispatcher connects for that service.
  std::string service_name;
  bool started_by_scm = false;
};

// One process on a machine: its own view of the ports (its command line,
// service control connection and COM runtime are its own; the rest is the
// machine's) and the objects it owns, which live until every thread of the
// process is parked.
class SimProcess {
 public:
  SimProcess(class SimMachine& machine, const ProcessOptions& options);
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  Platform& platform() { return platform_; }
  SimServiceControl& service_control() { return service_control_; }
  SimCom& com() { return com_; }

  // Constructs an object owned by the process (a service module, say): it is
  // destroyed with the process's state, never under a thread of it.
  template <typename T, typename... Args>
  T& Make(Args&&... args) {
    auto object = std::make_shared<T>(std::forward<Args>(args)...);
    T& ref = *object;
    owned_.push_back(std::move(object));
    return ref;
  }

 private:
  SimProcessSystem system_;
  SimServiceControl service_control_;
  SimCom com_;
  Platform platform_;
  std::vector<std::shared_ptr<void>> owned_;
};

// The machine directory, or a file of a new machine, cannot be made (a
// folder that may not be written, a path through a file, a full disk):
// "PATH: cannot be made: reason" or "FILE: reason".
class MachineNotMade : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SimMachine {
 public:
  // Throws std::runtime_error when `directory` is a file, or holds a
  // registry, system description or hardware description that cannot be
  // read, or cannot be set up as a baseline machine. A machine
  // without the hardware's "wmi" section gets the baseline one. The platform
  // driver publishes its serial numbers into the registry at construction,
  // as it would when the machine starts.
  SimMachine(std::filesystem::path directory, MachineOptions options = {});
  // Parks every thread still running on the machine before its parts go.
  ~SimMachine();
  SimMachine(const SimMachine&) = delete;
  SimMachine& operator=(const SimMachine&) = delete;

  // FENRA_MACHINE, else $HOME/.fenra/machine, else ./fenra-machine.
  static std::filesystem::path DefaultDirectory();
  // Sets `directory` up as the baseline machine: creates it and the
  // machine's files it lacks, the whole baseline registry when it has no
  // registry file; never changes a file that exists. `durable` as for the
  // registry. Throws MachineNotMade when a folder or file cannot be made.
  static void CreateBaseline(const std::filesystem::path& directory, bool durable = true);

  Platform& platform() { return platform_; }
  const std::filesystem::path& directory() const { return directory_; }
  // The user-interface language of system.json.
  UiLanguage language() const { return description_.language; }
  // Whether the event log and the registry can take a write, tried without
  // changing either (the event log is opened for appending, the registry's
  // temporary file is made and removed): empty, or "FILE: reason" of the
  // first that cannot.
  std::string CheckWritable() const;
  // Writes to the event log or the registry that failed so far.
  uint64_t write_failures() const { return write_notice_.failures(); }
  // Starts a process on this machine whose main thread runs `main`. The
  // handle is signalled when the process has ended (main returned, or it was
  // terminated through the kernel); its threads are then parked and its
  // state released.
  using ProcessMain = std::function<uint32_t(SimProcess& process)>;
  Handle StartProcess(const ProcessOptions& options, ProcessMain main);

  // The host path of a Windows path of this machine.
  std::filesystem::path HostPath(const std::string& windows_path);
  std::filesystem::path event_log_path() const { return directory_ / kEventLogFile; }

  SimKernel& kernel() { return kernel_; }
  SimRegistry& registry() { return registry_; }
  SimEventLog& event_log() { return event_log_; }
  SimFiles& files() { return files_; }
  SimSystem& system() { return system_; }
  // The connection of the machine's own platform().
  SimServiceControl& service_control() { return service_control_; }
  SimServiceManager& service_manager() { return service_manager_; }
  // What runs in the process of an installed service that StartService
  // starts, whatever its ImagePath.
  void SetServiceImage(ProcessMain image);
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
  // Refuses a file; sets up a directory without a registry file.
  static std::filesystem::path Prepare(std::filesystem::path directory, const MachineOptions& options);
  // Turns what the journal and hardware.json say since the last look into
  // the provider's change events.
  void TakeHardwareChanges(HardwareJournalReader& journal);

  friend class SimProcess;
  const std::filesystem::path directory_;
  const SystemDescription description_;
  const MachineHardware hardware_description_;
  SimKernel kernel_;
  SimSystem system_;
  SimResources resources_;
  MachinePaths paths_;
  // Says once on standard error that the registry or the event log cannot
  // be written.
  WriteFailureNotice write_notice_;
  SimRegistry registry_;
  SimFiles files_;
  SimEventLog event_log_;
  SimServiceManager service_manager_;
  SimServiceControl service_control_;
  SimCom com_;
  SimWmi wmi_;
  SimHardware hardware_;
  SimVersionInfo version_info_;
  Platform platform_;
  Mutex service_process_mutex_;
  Handle last_service_process_ FENRA_GUARDED_BY(service_process_mutex_);
  // On real time hardware.json and its change journal are watched, so that
  // every change of a module's state becomes a change event. Ends before the
  // provider it feeds.
  std::optional<FileWatcher> hardware_watcher_;
};

}  // namespace fenra::sim
