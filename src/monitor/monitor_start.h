#pragma once
// What the service needs to start the monitor: the operating-system version
// test and the name of the hot-plug event shared with another process.

#include <cstdint>

#include "runtime.h"

namespace fenra {

// The hot-plug event, in the machine-wide name space from Windows 2000 on.
inline constexpr const char* kHotPlugEventGlobalName = "Global\\QVM_TUNE_IPMI_HOT_PLUG";
inline constexpr const char* kHotPlugEventName = "QVM_TUNE_IPMI_HOT_PLUG";

// What the service gives the monitor to end after a stop: Run pauses this
// long before it closes the hot-plug event and reports the stop.
inline constexpr uint32_t kStopGraceTimeMs = 5000;

// An alert whose timer has run out may still be in its composer's status
// walk when the stop comes: the walk ends at its next Next call, which may
// take the WMI time-out. The end of the monitor waits that much longer for
// composers (at most a minute), so that the alert is written rather than
// lost with the process.
inline constexpr int32_t kMostComposerGraceMs = 60000;
inline uint32_t ComposerGraceMs(int32_t timeout_value) {
  return static_cast<uint32_t>(timeout_value < 0                      ? 0
                               : timeout_value > kMostComposerGraceMs ? kMostComposerGraceMs
                                                                      : timeout_value);
}

// The longest a stop may take from the stop control to the stopped report:
// the grace time and, for an alert still being composed, the composer
// grace time on top.
inline constexpr uint32_t kLongestStopMs = kStopGraceTimeMs + kMostComposerGraceMs;

// 1 when the running system is at least major.minor with service pack `sp`,
// else 0. The service pack is read from the registry only when asked for.
int IsOSVersionAtLeast(Runtime& runtime, uint32_t major, uint32_t minor, uint32_t sp);

}  // namespace fenra
