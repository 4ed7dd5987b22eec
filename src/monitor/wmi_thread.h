#pragma once
// The per-group WMI threads: each watches one group's change events and
// hands the redundancy transitions of its pairs to the timer manager.

#include <cstdint>

#include "runtime.h"

namespace fenra {

// Thread procedure of group 0 (CPU modules), 1 (PCI modules) or 2 (disk
// slots). Returns 0 on every path; it ends when the monitor stops, when its
// pulse manager cannot be started, or after 20 failed subscriptions in a
// row.
uint32_t WMIThread(Runtime& runtime, int group);

// Traces one event's status line: the group label with the module number,
// then the state's text ("  (PCI 12) --> DUPLEX"). Always 1.
int CheckState(Trace& trace, int32_t state, int group, int32_t module);

}  // namespace fenra
