#pragma once
// A picture of a scenario run: one self-contained SVG drawing, on the
// scenario's time axis, of what the hardware did and what the service made
// of it, so that an administrator can see why an alert came or did not.
//
// Rows, top to bottom: the service's running time (from its start and stop
// records); each declared module's state (from the scenario); the faults the
// scenario gives the machine (WMI calls, the event log, the registry,
// folders); each pair's redundancy as the monitor sees it (read from its
// trace: the start-up status query of its WMI thread, every state event and
// the demotion of a DUPLEX whose partner has not reported DUPLEX); the
// SIMPLEX and the DUPLEX timer of each pair, each bar running from its start
// to its end with its limit marked; the pulses of the hot-plug event; and
// every event-log record, alerts drawn through all rows. Every mark carries
// its details as a <title>, which a browser shows on hover: a plain sentence
// first, the trace lines it was read from after it.
//
// Each state bar carries its state and its span in milliseconds
// (data-state, data-from, data-to), and a pair's row names its pair
// (data-pair), so that a check can read the picture back.

#include <string>
#include <string_view>
#include <vector>

#include "runner/observation.h"
#include "runner/scenario.h"

namespace fenra::runner {

// `observations` must hold the trace lines (RunScenario records them all).
std::string RenderTimeline(const Scenario& scenario, const std::vector<Observation>& observations);

// The width in pixels that `text` (UTF-8) takes at `font_size`, estimated
// on the wide side for the faces the picture names (a CJK character counts
// one em).
double EstimatedTextWidth(std::string_view text, double font_size);

// Where a picture's time axis ends: the last observation or directive, at
// least one second.
uint64_t TimelineEnd(const Scenario& scenario, const std::vector<Observation>& observations);

}  // namespace fenra::runner
