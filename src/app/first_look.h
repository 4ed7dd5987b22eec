#pragma once
// The settings of a machine made for a first look at the service, and the
// way back to the production defaults.

#include <string>

#include "platform/sim/sim_machine.h"

namespace fenra::app {

// No start-up delay (FENRA.ini SIMPLEX_FILTER_TIME=0) and SIMPLEX after one
// minute for every pair (SimplexShortThreshold = 1 under CpuBoard, PciBoard
// and ExPciBoard), so that a pulled module is announced within about two
// minutes. The long thresholds keep their defaults.
void SetUpFirstLook(sim::SimMachine& machine);

// Takes those settings back: FENRA.ini gets the service's own default (a
// 20-minute delay) and the three short thresholds are deleted, so the
// service writes the defaults of the platform generation at its next start.
void PutProductionDefaults(sim::SimMachine& machine);

// "start-up delay 0 s; SIMPLEX after CPU 1 min, PCI 1 min, ExPCI 1 min".
// A threshold not set yet shows the default the service will write for the
// machine's platform generation ("CPU 30 min (default)"); a delay not set
// yet shows "default".
std::string AlertSettings(sim::SimMachine& machine);

// The host folder of the trace files (the registry's TempDir), or empty
// when the service traces nothing.
std::filesystem::path TraceFolder(sim::SimMachine& machine);

}  // namespace fenra::app
