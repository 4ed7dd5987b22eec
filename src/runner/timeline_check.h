#pragma once
// Holds a run's picture (RenderTimeline) to the run it draws: each pair's
// row, read back from the SVG, must show the pair as the monitor's own
// trace lines say the monitor saw it, spell for spell; and no two texts of
// the picture may overlap. Its reading of the trace is its own, from the
// monitor's rules (its WMI threads' lines), not the picture's.

#include <string>
#include <vector>

#include "runner/observation.h"
#include "runner/scenario.h"

namespace fenra::runner {

// Every disagreement, as a sentence with times; empty when the picture holds.
std::vector<std::string> CheckTimeline(const Scenario& scenario, const std::vector<Observation>& observations,
                                       const std::string& svg);

}  // namespace fenra::runner
