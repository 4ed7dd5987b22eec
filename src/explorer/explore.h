#pragma once
// `fenra-sim explore`: seeded random whole-service runs, each checked
// against the invariants (and the model of the alert rules where it has an
// answer), failing runs shrunk to scenario files.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "explorer/generator.h"
#include "explorer/invariants.h"

namespace fenra::explorer {

// What the model of the alert rules made of a run: which pairs the run
// has and which it predicted, and how often the run's events reached each
// row of the WMI threads' transition table.
struct ModelReach {
  bool present[3] = {}, predicted[3] = {};  // CPU, PCI, ExPCI
  std::array<uint64_t, 6> table_rows{};
};

// The check of a run's picture: its pair rows against the monitor's own
// trace lines, its labels apart (runner/timeline_check.h).
inline constexpr const char* kTimeline = "timeline";

// Runs one generated (or shrunk) scenario text in this process and checks
// it. `determinism`: run it twice and compare the two outputs byte for
// byte. A text that does not parse gives a violation "scenario". `reach`
// (may be null) receives what the model made of it.
std::vector<Violation> CheckScenarioText(const std::string& text, const std::string& name, bool determinism,
                                         ModelReach* reach = nullptr);

// The command; argv[0] is "explore". The process exit code.
int ExploreMain(int argc, char** argv);

}  // namespace fenra::explorer
