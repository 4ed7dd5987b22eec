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

// 1 when the running system is at least major.minor with service pack `sp`,
// else 0. The service pack is read from the registry only when asked for.
int IsOSVersionAtLeast(Runtime& runtime, uint32_t major, uint32_t minor, uint32_t sp);

}  // namespace fenra
