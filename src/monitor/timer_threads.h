#pragma once
// The SIMPLEX and DUPLEX timers: the manager turns change requests into
// timers, and a timer that runs out uncancelled starts the alert composer.

#include <cstdint>

#include "monitor/monitor_state.h"
#include "runtime.h"

namespace fenra {

// Thread procedure; returns 0 when it ends (stopflg, a failed wait, or a
// timer that cannot be created).
uint32_t ManageTimerThread(Runtime& runtime);

// One timer of index n, started by the manager at `start_tick` with the
// limit it worked out, for `request`. Exit code 1 after it ran out, was
// cancelled or met an error; 0 after stopflg or a composer that could not be
// created.
uint32_t TimerThread(Runtime& runtime, int n, uint32_t start_tick, int32_t limit_ms,
                     const char* occurrence_time, const ChangeRequest& request = {});

// The limit of DUPLEX timer n (3 to 5) started at `start_tick`, from the
// state of its SIMPLEX partner n - 3: whether it runs and when it runs out.
int32_t DuplexTimerLimit(int n, uint32_t start_tick, bool partner_running, uint32_t partner_limit);

// The SIMPLEX limit of a short threshold in minutes, at most the longest
// wait the tick counter can measure.
int32_t ShortThresholdLimit(uint32_t minutes);

}  // namespace fenra
