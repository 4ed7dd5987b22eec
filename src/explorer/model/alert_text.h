#pragma once
// The text of an alert record: headline, occurrence time, version line and
// the details with the states the provider reports when it is composed.

#include <cstdint>
#include <optional>
#include <string>

#include "explorer/model/setting.h"

namespace fenra::explorer::model {

// The whole text, before any cut to the record's 2047 characters, with the
// modules' states at `modules_ms` and the devices' (of a PCI alert) at
// `devices_ms`; none listed without it.
std::string AlertText(const Setting& setting, int pair, bool simplex, int64_t occurrence_ms, int64_t modules_ms,
                      std::optional<int64_t> devices_ms);

// The occurrence time as the alert writes it (" 2026.12.03  22:53:04").
std::string OccurrenceText(const Setting& setting, int64_t t);

}  // namespace fenra::explorer::model
