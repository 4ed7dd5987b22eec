#pragma once
// What every explored run must show, whatever the thresholds: checks
// derived from the alert rules, each with the exceptions the rules make.
// They read the scenario (what the hardware did and when) and the run's
// observations (records, pulses, trace lines); they know nothing of the
// monitor's code.

#include <string>
#include <vector>

#include "runner/observation.h"
#include "runner/scenario.h"

namespace fenra::explorer {

// One broken rule: `check` names it (a stable word, used to recognise the
// same failure while shrinking), `what` says what happened, with times.
struct Violation {
  std::string check;
  std::string what;
};

// Names of the checks.
inline constexpr const char* kAfterStop = "record-after-stop";
inline constexpr const char* kStopLate = "stop-late";
inline constexpr const char* kNotStopped = "service-not-stopped";
inline constexpr const char* kSpuriousSimplex = "simplex-while-redundant";
inline constexpr const char* kOccurrence = "occurrence-time";
inline constexpr const char* kAlternation = "alternation";
inline constexpr const char* kSettled = "settled";
inline constexpr const char* kDetails = "details";
inline constexpr const char* kCrash = "crash";
inline constexpr const char* kDeterminism = "determinism";
inline constexpr const char* kModel = "model";
// Every check, in the order the summary lists them.
inline constexpr const char* kChecks[] = {kAfterStop, kStopLate,    kNotStopped, kCrash,   kSpuriousSimplex, kOccurrence,
                                          kAlternation, kSettled,  kDetails,    kDeterminism, kModel};

// How long after a stop control the stop record may come: the service's
// 5 s pause, the minute it grants a composer still at work, and a second
// of pace.
inline constexpr uint64_t kStopAllowanceMs = 5000 + 60000 + 1000;

// Every violation of the run; `failure` is the runner's own complaint (the
// service did not stop at `end`), empty when none.
std::vector<Violation> CheckInvariants(const runner::Scenario& scenario,
                                       const std::vector<runner::Observation>& observations,
                                       const std::string& failure);

}  // namespace fenra::explorer
