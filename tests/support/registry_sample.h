#pragma once
// A registry with a value of every kind that regedit exports and imports
// back unchanged, written as the service writes values: the test of the
// file's format compares it with regedit's own export, and
// scripts/wine-regedit-roundtrip takes it through Wine's regedit.

#include "platform/sim/sim_registry.h"

namespace fenra::testing {

// Writes the sample below HKEY_LOCAL_MACHINE\SOFTWARE\FenraRegeditCheck and
// HKEY_CLASSES_ROOT\FenraRegeditCheck. 0 or the first Win32 error.
int32_t WriteRegistrySample(sim::SimRegistry& registry);

}  // namespace fenra::testing
