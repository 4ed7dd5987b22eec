#pragma once
// What a scenario says of the simulated hardware, apart from any machine:
// the baseline hardware facts and the provider's view of its instances.
// Part of the scenario reader, which the explorer's model of the alert
// rules links without the machine.

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "runner/scenario.h"

namespace fenra::runner {

// The hardware facts (sections library, ipmi, driver, executable) of the
// scenario baseline.
nlohmann::json BaselineHardware();

// The provider's ObjectKey of a declared instance.
std::string ObjectKey(const ModuleEntry& entry);

// The "wmi" section holding exactly the scenario's instances, in order.
nlohmann::json WmiSection(const std::vector<ModuleEntry>& modules);

}  // namespace fenra::runner
