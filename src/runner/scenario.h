#pragma once
// A scenario: the machine a run starts from and the inputs it receives on
// the virtual clock. Read from a UTF-8 text file, one directive per line;
// the directives are listed in docs/scenarios.md.

#include <array>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/sim/sim_wmi.h"

namespace fenra::runner {

// A bad scenario: "FILE:LINE: message".
// "FILE:LINE: message", or "FILE: message" for the whole file (line 0);
// bytes of the file name or message that are not printable are escaped.
class ScenarioError : public std::runtime_error {
 public:
  ScenarioError(const std::string& file, int line, const std::string& message);
};

// ---- Setup: applied to the machine before the clock starts ----

// A registry value written, or a value or key deleted.
struct RegistryStep {
  int line = 0;
  bool remove = false;
  Hive hive = Hive::kLocalMachine;
  std::string key;
  std::optional<std::string> value;  // none: the default value, or (remove) the key itself
  bool default_value = false;        // remove: "@", the key's default value
  uint32_t type = 0;
  std::vector<uint8_t> data;  // strings with their terminator
};

struct IniEntry {
  int line = 0;
  std::string file;  // a name in the system directory
  std::string section;
  std::string key;
  std::string value;
};

// One instance of the simulated WMI provider.
struct ModuleEntry {
  std::string instance_class;  // canonical class name
  std::string name;            // InstanceName
  std::optional<int32_t> state;
  std::string parent;  // a device's module
  bool is_module = false;
  std::string type;  // "cpu" or "pci" for a module
};

// An edit of the hardware description (hardware.json) before the machine
// loads it.
using HardwareEdit = std::function<void(nlohmann::json& document)>;

// ---- Timed inputs ----

struct StartService {};
struct StopService {};
struct EndRun {};
struct ChangeState {
  std::string key;  // the provider's ObjectKey
  std::optional<int32_t> state;
};
struct ScriptWmiFault {
  sim::WmiFault fault = sim::WmiFault::kConnectServer;
  int times = 1;
  int32_t hr = 0;
};
// A module exchanged while the machine runs: from now on the driver
// publishes `bytes` as its serial number.
struct PublishSerial {
  std::string module;  // CpuBoard0-2, IoBoard10-13
  std::array<uint8_t, 8> bytes{};
};
struct DeliverEventText {
  std::string target;  // event class, or the class of the ISA form
  std::string text;    // UTF-8
};

// The machine's event log, registry and folders as the service finds them
// from the moment the directive takes effect (docs/scenarios.md).
struct EventLogRefusal {
  uint32_t error = 0;  // 0: records are accepted
};
struct RegistryRefusal {
  uint32_t error = 0;  // 0: changes are accepted
};
enum class FolderState { kWritable, kReadOnly, kFull, kMissing };
struct FolderChange {
  std::string path;  // a Windows folder, as written
  FolderState state = FolderState::kWritable;
};
using MachineFault = std::variant<EventLogRefusal, RegistryRefusal, FolderChange>;

struct TimedStep {
  uint64_t at_ms = 0;
  int line = 0;
  std::string text;  // the directive as written, without time and comment
  std::variant<StartService, StopService, EndRun, ChangeState, ScriptWmiFault, DeliverEventText, MachineFault,
               PublishSerial>
      action;
};

struct Scenario {
  std::string file;
  LocalTime clock{2026, 1, 4, 1, 0, 0, 0, 0};  // local time at scenario time 0
  bool japanese = false;
  uint32_t start_tick = 0;
  std::vector<ModuleEntry> modules;  // in declaration order
  std::vector<HardwareEdit> hardware;
  std::vector<RegistryStep> registry;      // in file order
  std::vector<IniEntry> ini;               // in file order
  std::vector<ScriptWmiFault> wmi_faults;  // scripted before the clock starts
  std::vector<MachineFault> machine_faults;  // in effect when the clock starts
  std::vector<TimedStep> steps;            // in time order, ending with EndRun
};

// Where a directive stands: before the clock starts (the hardware facts
// are setup directives too), at a time, or either.
enum class DirectiveKind { kSetup, kHardware, kSetupOrTimed, kTimed };
// A directive as the reader knows it: its usage line (name and arguments,
// without the time, as docs/scenarios.md shows it) and where it stands.
struct DirectiveSyntax {
  std::string_view usage;
  DirectiveKind kind = DirectiveKind::kSetup;
};
// Every directive, in the reader's order (setup, setup or timed, hardware,
// timed).
std::vector<DirectiveSyntax> ScenarioDirectives();

// The word of `wmi-fault` that scripts `fault` ("proxy-blanket").
std::string_view WmiFaultWord(sim::WmiFault fault);

// Throws ScenarioError for every bad line (unknown directive, bad argument,
// time going backwards, unknown class, instance or state, bad registry type
// or data, a setup directive after a timed one, a missing or early `end`).
// `file` names the scenario in messages.
Scenario ParseScenario(const std::string& text, const std::string& file);
// Reads and parses a file; a file that cannot be read is a ScenarioError
// without a line, with the system's reason.
Scenario LoadScenario(const std::string& path);

}  // namespace fenra::runner
