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

// Applies the edit to `document` (a whole hardware description). `state` is
// a state name of any case (for kState). Returns one line per module whose
// state changed ("CPU module 1: DUPLEX -> REMOVED"); throws
// std::invalid_argument for an unknown module or state. A partner that the
// description does not list is left out.
std::vector<std::string> EditModule(nlohmann::json& document, ModuleEdit edit, const std::string& module,
                                    const std::string& state = {});

// One line per module: "CPU module 0: DUPLEX".
std::vector<std::string> ListModules(const nlohmann::json& document);

}  // namespace fenra::app
