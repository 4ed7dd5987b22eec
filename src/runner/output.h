#pragma once
// The two renderings of a run: JSON lines for tools, and a readable text
// for a person. Both list the same observations in the same order; trace
// lines only when asked for.

#include <cstdio>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/sim/sim_resources.h"
#include "runner/observation.h"

namespace fenra::runner {

struct OutputOptions {
  bool trace = false;
  LocalTime clock;  // local time at scenario time 0, for the readable times
  // The machine's language, in which the readable text shows the records'
  // texts (the scenario's `language`).
  sim::UiLanguage language = sim::UiLanguage::kEnglish;
};

// One JSON object per line:
//   {"t_ms": 0, "kind": "input", "scenario_line": 7, "directive": "start"}
//   {"t_ms": N, "kind": "event", "source": S, "event_id": N, "type": T, "strings": [...], "data": HEX}
//   {"t_ms": N, "kind": "pulse"}
//   {"t_ms": N, "kind": "trace", "line": L}
std::string RenderJson(const std::vector<Observation>& observations, const OutputOptions& options);

// Per observation the scenario time and the local time, then what happened;
// a record's texts follow on indented lines.
std::string RenderText(const std::vector<Observation>& observations, const OutputOptions& options);

// One observation as RenderJson or RenderText shows it; empty for a trace
// line when trace lines are not asked for.
std::string RenderJsonEntry(const Observation& observation, const OutputOptions& options);
std::string RenderTextEntry(const Observation& observation, const OutputOptions& options);

// A sink for RunOptions::observe that writes each observation to `out` as
// it comes, as JSON or as text: the same bytes as the rendering of the
// whole run, without keeping it.
ObservationSink Printer(FILE* out, bool json, const OutputOptions& options);

// "H:MM:SS.mmm" of scenario time.
std::string ScenarioTimeText(uint64_t t_ms);
// "YYYY-MM-DD HH:MM:SS": the local time `t_ms` after `clock`.
std::string LocalTimeText(const LocalTime& clock, uint64_t t_ms);

// "error", "warning", "information" (and the event log's names of the rarer
// types).
std::string EventTypeName(uint16_t type);

}  // namespace fenra::runner
