#pragma once
// The alert rules as a function of what the monitor sees: per WMI thread
// (the CPU pair; the PCI and ExPCI pairs), from the events it reads, its
// start-up status walk and the service's starts and stops, to the alerts
// the timers must write. Where the service's one-second paces decide
// within a second or two, every outcome the rules allow is kept: one
// Outcome per way the timing may fall.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "explorer/model/setting.h"

namespace fenra::explorer::model {

// A stretch of scenario time, ms, both ends included.
struct Span {
  int64_t lo = 0, hi = 0;
  bool operator==(const Span&) const = default;
};

struct ExpectedAlert {
  int pair = 0;  // 0 CPU, 1 PCI, 2 ExPCI
  bool simplex = true;
  int process = 0;
  Span occurrence;   // when its timer started
  Span composing;    // when its composer starts: it reads the modules' states then
  Span written;      // when it is written, reading the devices' states just before
  int64_t stop = 0;  // when its service stops: a device walk after that lists nothing
  bool operator==(const ExpectedAlert&) const = default;
};

struct Outcome {
  std::vector<ExpectedAlert> alerts;  // in the order their timers ran out
  std::vector<Span> composers;        // when each composer walks, its record written or not
  bool operator==(const Outcome&) const = default;
};

// How often the WMI threads reached each row of their transition table:
// SIMPLEX after DUPLEX, SIMPLEX after TRIPLEX, DUPLEX after SIMPLEX,
// DUPLEX after TRIPLEX, TRIPLEX after SIMPLEX, TRIPLEX after DUPLEX.
using TableRows = std::array<uint64_t, 6>;

// The outcomes of the CPU thread (group 0) or of the PCI thread (group 1,
// both PCI pairs). Empty with `*why` set when there are too many. `rows`
// (may be null) counts the table's rows on one way the timing may fall.
std::vector<Outcome> ThreadOutcomes(const Setting& setting, int group, std::string* why, TableRows* rows = nullptr);

// The table's rows alone, one way the timing may fall, where there is no
// prediction.
void ReplayTable(const Setting& setting, int group, TableRows* rows);

// Whether a group's stored SIMPLEX start is recent: 1 when `previous` lies
// less than `threshold` minutes (taken as a signed number) before
// `present` on the calendar, 0 when not or when it names no real time, -1
// when it lies in the future.
int RecentSimplex(const std::string& previous, const std::string& present, uint32_t threshold);

// The SimplexDate stamp of a local time: YYYYMMDDhhmm.
std::string Stamp(const LocalTime& time);

}  // namespace fenra::explorer::model
