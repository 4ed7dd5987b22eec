#pragma once
// Runs a scenario: the real service on a simulated machine on virtual time,
// fed the scenario's inputs as events on the virtual clock.

#include <filesystem>
#include <string>
#include <vector>

#include "runner/observation.h"
#include "runner/scenario.h"

namespace fenra::runner {

struct RunOptions {
  // The machine directory: created as the scenario baseline when it does
  // not exist, reused (and kept) when it does. Empty: a fresh temporary
  // machine, removed after the run.
  std::filesystem::path machine;
  // When set, each observation goes to it as it happens (see
  // ObservationSink), and RunResult::observations stays empty.
  ObservationSink observe = nullptr;
};

struct RunResult {
  std::vector<Observation> observations;  // in the order they happened
  // Empty when the run ended as the scenario says; otherwise what went
  // wrong (the service did not stop in time at `end`).
  std::string failure;
  // How many times a simulated thread was given the processor: the run's
  // wake-ups, each at least a switch into the thread and back.
  uint64_t wake_ups = 0;
};

// How long `end` waits for a stop (virtual time) before it ends the
// service's process the hard way.
inline constexpr uint64_t kEndStopLimitMs = 10 * 60 * 1000;

// Throws ScenarioError when a setup directive cannot be applied, and
// std::runtime_error when the machine cannot be made or read.
RunResult RunScenario(const Scenario& scenario, const RunOptions& options = {});

}  // namespace fenra::runner
