#pragma once
// A picture of a scenario run: one self-contained SVG drawing, on the
// scenario's time axis, of what the hardware did and what the service made
// of it, so that an administrator can see why an alert came or did not.
//
// Rows, top to bottom: the service's running time (from its start and stop
// records); each declared module's state (from the scenario); each pair's
// redundancy as the monitor sees it (read from its trace: the initial
// classification, every state event and the demotion of a DUPLEX whose
// partner has not reported DUPLEX); the SIMPLEX and the DUPLEX timer of
// each pair, each bar running from its start to its end with its limit
// marked; the pulses of the hot-plug event; and every event-log record,
// alerts drawn through all rows. Every mark carries its details as a
// <title>, which a browser shows on hover.

#include <string>
#include <vector>

#include "runner/observation.h"
#include "runner/scenario.h"

namespace fenra::runner {

// `observations` must hold the trace lines (RunScenario records them all).
std::string RenderTimeline(const Scenario& scenario, const std::vector<Observation>& observations);

}  // namespace fenra::runner
