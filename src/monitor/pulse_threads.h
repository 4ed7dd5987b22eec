#pragma once
// The delayed pulses of the named hot-plug event: a WMI thread requests one
// per readable event; its group's manager starts a PulseThread, which
// pulses waitPulseTime seconds later. Managers and pending pulses end when
// the monitor ends.

#include <cstdint>

#include "runtime.h"

namespace fenra {

// Called by WMI thread `group` after each event. Requests a pulse when the
// event's state can be read and the hot-plug event exists, then sleeps the
// manager's polling period.
void RequestPulse(Runtime& runtime, const char* event_text, int group);
// The same for a change whose state was read otherwise.
void RequestPulse(Runtime& runtime, int group);

// Thread procedures. The manager polls its group's request every 100 ms and
// keeps up to 15 pulses pending.
uint32_t ManagePulseThread(Runtime& runtime, int group);
uint32_t PulseThread(Runtime& runtime);

inline constexpr int kPulseSlots = 15;

}  // namespace fenra
