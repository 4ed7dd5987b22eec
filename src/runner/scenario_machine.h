#pragma once
// The machine a scenario runs on. A new machine directory starts as the
// scenario baseline: the simulated machine's baseline (Installdir, TempDir
// naming the trace folder, the event sources) without platform version
// (the driver file carries no version), without serial numbers, without
// INI files, thresholds, PulseEventWaitCount or SimplexDate, and without
// WMI instances; the service is registered to run as a service. The
// scenario's setup directives are then applied, to a new directory or to a
// reused one alike.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "runner/scenario.h"
#include "runner/scenario_hardware.h"

namespace fenra::runner {

// Before the machine is loaded: creates the baseline in `directory` when it
// does not exist (or is empty), then writes the language into system.json
// and the instances and hardware edits into hardware.json. Throws
// std::runtime_error when a file cannot be read or written.
void PrepareMachineDirectory(const Scenario& scenario, const std::filesystem::path& directory);

// On the loaded machine, before the clock starts: registers the service and
// applies the registry and INI directives in file order. Throws
// ScenarioError naming the directive's line when one cannot be applied.
void ApplySetup(const Scenario& scenario, sim::SimMachine& machine);

}  // namespace fenra::runner
