#pragma once
// FENRA.exe as the image of a simulated process.

#include <string>

#include "platform/platform.h"
#include "platform/sim/sim_machine.h"

namespace fenra::testing {

// A fresh service module and the process entry.
uint32_t FenraImage(Platform& platform);

// Runs FENRA.exe with `arguments` after the executable's path ("-Service")
// as a further process of the machine, to its end; its exit code.
int RunFenra(sim::SimMachine& machine, const std::string& arguments);

}  // namespace fenra::testing
