#pragma once
// An independent model of the alert rules: from a scenario's inputs it
// predicts every alert record the service must write. It is written from
// the rules, not from the monitor: it shares no function, table or shape
// with src/monitor, src/alerts or src/settings, so that it can disagree
// with them.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runner/observation.h"
#include "runner/scenario.h"

namespace fenra::explorer {

enum class PairId { kCpu = 0, kPci = 1, kExPci = 2 };
enum class AlertKind { kSimplex, kDuplex };

// An alert record (source QVMFTMarvix) as the service wrote it, read back
// from a run's observations.
struct ObservedAlert {
  uint64_t t_ms = 0;  // when it was written, virtual ms since scenario time 0
  int process = 0;    // which start of the service wrote it (0: the first)
  // kCpu or kPci: the texts of the two PCI pairs differ only in their
  // occurrence time, so an alert of the ExPCI pair reads back as kPci and
  // Compare matches it against either.
  PairId pair = PairId::kCpu;
  AlertKind kind = AlertKind::kSimplex;
  std::string text;  // the whole record text
};

// The alert records of a run, in the order written; other records skipped.
std::vector<ObservedAlert> ReadAlerts(const runner::Scenario& scenario,
                                      const std::vector<runner::Observation>& observations);

// What one pair must show. Where the outcome depends on timing within the
// service's paces, the prediction allows each outcome the rules allow.
struct PairPrediction {
  bool present = true;    // the run has the pair's modules (the ExPCI pair: modules 12 or 13)
  bool predicted = true;  // false: no prediction for this pair; only invariants apply
  std::string reason;     // why there is none
  // Whatever form the model needs internally (expected alerts with their
  // windows, texts, alternatives); read through Compare and Describe only.
  std::vector<std::string> notes;
};

// The rows of the WMI threads' transition table, in the order of
// Prediction::table_rows.
inline constexpr const char* kTableRows[6] = {"SIMPLEX after DUPLEX",  "SIMPLEX after TRIPLEX",
                                              "DUPLEX after SIMPLEX",  "DUPLEX after TRIPLEX",
                                              "TRIPLEX after SIMPLEX", "TRIPLEX after DUPLEX"};

struct Prediction {
  PairPrediction pairs[3];
  // How often the scenario's events reach each row of the transition table
  // (the model's own replay, with or without a prediction).
  std::array<uint64_t, 6> table_rows{};
  // Internal state of the model's answer; opaque to callers.
  std::shared_ptr<const void> detail;
};

Prediction Predict(const runner::Scenario& scenario);

// One way the run disagrees with the prediction, in words fit for a
// comment line of a shrunk scenario ("CPU: expected a SIMPLEX alert written
// between 0:30:05 and 0:30:07, occurrence 22:53:04; none was written").
struct Disagreement {
  PairId pair = PairId::kCpu;
  std::string what;
};

std::vector<Disagreement> Compare(const Prediction& prediction, const std::vector<ObservedAlert>& alerts);

// The prediction in words, one line each, for a shrunk scenario's header.
std::vector<std::string> Describe(const Prediction& prediction);

}  // namespace fenra::explorer
