#pragma once
// The redundancy state machine of one WMI thread, free of threads and I/O:
// the group's initial classification from the status query, and for every
// change event the pair bookkeeping and the transition it gives.

#include <array>
#include <cstdint>
#include <string>

#include "wmi/wmi_tables.h"

namespace fenra {

// The locals of one WMI thread that outlive an event.
struct PairState {
  int32_t dwGroupState = STATE_DUPLEX;  // CPU pair (group 0), PCI pair 10/11 (group 1)
  int32_t dwExPciState = STATE_DUPLEX;  // the ExPCI pair 12/13 (group 1 only)
  // Whether the first (CPU 0, PCI 10) and the second (any other module)
  // module of the pair last reported DUPLEX.
  std::array<uint8_t, 2> flgModuleDuplex{};
};

// What the initial classification of a status code does beside changing
// the pair state: its trace lines and the timer indices it raises (-1 none).
struct InitialClassification {
  std::array<const char*, 2> lines{};
  std::array<int, 2> raised{-1, -1};
};
InitialClassification ClassifyInitialStatus(int group, int32_t status_code, PairState* pair);

// What one change event does.
struct StateEvent {
  int32_t state = 0;     // after the pair bookkeeping
  bool bExPci = false;   // the event concerns module 12 or 13
  std::string pair_line;  // the bookkeeping's trace line, or empty
  int raised = -1;        // the timer index raised; its group's acknowledgement
                          // event is reset before the flag goes up
  bool bStateChanged = false;  // the timer manager is to be woken
};
StateEvent ApplyStateEvent(int group, int32_t state, int32_t module, PairState* pair);

}  // namespace fenra
