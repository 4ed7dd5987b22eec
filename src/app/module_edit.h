#pragma once
// Module edits of a machine's hardware description (the "wmi" section of
// hardware.json), as `fenra-hw` makes them. A running service on real time
// sees the saved file within a second, as the hardware's state-change
// events.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace fenra::app {

enum class ModuleEdit {
  kPull,    // the module REMOVED, its partner SIMPLEX
  kInsert,  // the module and its partner DUPLEX
  kState,   // the module in the given state
};

// The other half of a module's pair: 0 and 1, 10 and 11, 12 and 13; empty
// for any other module.
std::string PartnerOf(const std::string& module);

// One state change of a module or device.
struct ModuleChange {
  std::string key;    // the provider's ObjectKey: "cpu/1", "DOD_SCSISlot/10/1"
  std::string state;  // the new state's name
  std::string text;   // "CPU module 1: DUPLEX -> REMOVED"
  bool operator==(const ModuleChange&) const = default;
};

// Applies the edit to `document` (a whole hardware description). `state` is
// a state name of any case (for kState). A pull or an insert also moves the
// devices the module holds: a pull makes them REMOVED, an insert makes the
// REMOVED ones ONLINE. Returns the changes in the order made, one per
// module or device whose state changed; throws std::invalid_argument for a
// module the description does not list (naming those it lists) or an
// unknown state (naming the states). A partner the description does not
// list is left out.
std::vector<ModuleChange> EditModule(nlohmann::json& document, ModuleEdit edit, const std::string& module,
                                     const std::string& state = {});

// One line per module: "CPU module 0: DUPLEX".
std::vector<std::string> ListModules(const nlohmann::json& document);

}  // namespace fenra::app
