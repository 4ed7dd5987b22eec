#pragma once
// `fenra-sim explore`: seeded random whole-service runs, each checked
// against the invariants (and the model of the alert rules where it has an
// answer), failing runs shrunk to scenario files.

#include <cstdint>
#include <string>
#include <vector>

#include "explorer/generator.h"
#include "explorer/invariants.h"

namespace fenra::explorer {

// The check of a run's picture: its pair rows against the monitor's own
// trace lines, its labels apart (runner/timeline_check.h).
inline constexpr const char* kTimeline = "timeline";

// Runs one generated (or shrunk) scenario text in this process and checks
// it. `determinism`: run it twice and compare the two outputs byte for
// byte. A text that does not parse gives a violation "scenario".
std::vector<Violation> CheckScenarioText(const std::string& text, const std::string& name, bool determinism);

// The command; argv[0] is "explore". The process exit code.
int ExploreMain(int argc, char** argv);

}  // namespace fenra::explorer
