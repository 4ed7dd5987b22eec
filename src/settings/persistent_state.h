#pragma once
// State of the module groups that outlives a restart: the kept copies of
// the modules' serial numbers, by which an exchanged module is recognised,
// and SimplexDate, the local minute at which a group's last SIMPLEX timer
// started. No lock is taken: every registry call is atomic by itself, and
// a deletion and a replacement of the same SimplexDate may meet in any
// order.

#include <array>
#include <cstdint>

#include "runtime.h"
#include "state/pairs.h"

namespace fenra {

inline constexpr const char* kSimplexDateValue = "SimplexDate";

// Compares the module's published serial number with its kept copy. When
// they differ (or no readable copy exists) the copy is replaced and the
// group's SimplexDate deleted. 1 when the comparison was made; 0 when the
// published number is unreadable, not 8 bytes of REG_BINARY, or all zero
// (nothing is changed then), or the kept key can be neither opened nor
// created.
int CheckSerialNumber(Runtime& runtime, const char* source_key_path, const char* kept_key_path,
                      const char* value_name);

// Called when group `group`'s SIMPLEX timer starts: stores the present local
// minute as the group's SimplexDate and compares it with the one stored
// before, as calendar date-times. 1 when the earlier start lies less than
// the group's long threshold (minutes, as read at start-up) back; 0 when it
// lies that far back or further, or there was no readable stamp of 12
// digits forming a valid date; -1 when it lies in the future (the clock was
// set back).
int CheckLongThreshold(Runtime& runtime, int group);

}  // namespace fenra
