#include "monitor/redundancy.h"

#include "monitor/monitor_state.h"
#include "support/fixed_text.h"

namespace fenra {
namespace {

// One row of the initial classification. A state of 0 and a raised index
// of -1 change nothing; the pair flags apply in the thread of `pair_group`
// only.
struct InitialRow {
  int32_t code;
  const char* lines[2];
  int32_t group_state;
  int32_t expci_state;
  int raised[2];
  int pair_group;
  uint8_t pair[2];
};

constexpr int kNone = -1;
constexpr InitialRow kInitialRows[] = {
    {1, {"  (CPU) --> SIMPLEX"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNone}, kNone, {}},
    {2, {"  (CPU) --> TRIPLEX"}, STATE_TRIPLEX, 0, {kNone, kNone}, kNone, {}},
    {3, {"  (PCI) --> SIMPLEX", "  (ExPCI) --> SIMPLEX"}, STATE_SIMPLEX, STATE_SIMPLEX,
     {CHANGE_PCI_SIMPLEX, CHANGE_EXPCI_SIMPLEX}, kNone, {}},
    {5, {"  (ExPCI) --> SIMPLEX"}, 0, STATE_SIMPLEX, {CHANGE_EXPCI_SIMPLEX, kNone}, kNone, {}},
    {6, {"  (PCI) --> SIMPLEX SIMPLEX"}, STATE_SIMPLEX, 0, {CHANGE_PCI_SIMPLEX, kNone}, kGroupPci, {0, 0}},
    {7, {"  (PCI) --> SIMPLEX DUPLEX"}, STATE_SIMPLEX, 0, {CHANGE_PCI_SIMPLEX, kNone}, kGroupPci, {0, 1}},
    {8, {"  (PCI) --> DUPLEX SIMPLEX"}, STATE_SIMPLEX, 0, {CHANGE_PCI_SIMPLEX, kNone}, kGroupPci, {1, 0}},
    {9, {"  (CPU) --> SIMPLEX SIMPLEX"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNone}, kGroupCpu, {0, 0}},
    {10, {"  (CPU) --> SIMPLEX DUPLEX"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNone}, kGroupCpu, {0, 1}},
    {11, {"  (CPU) --> DUPLEX SIMPLEX"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNone}, kGroupCpu, {1, 0}},
    {12, {"  (CPU) --> DUPLEX DUPLEX"}, 0, 0, {kNone, kNone}, kGroupCpu, {1, 1}},
    {13, {"  (CPU) --> SIMPLEX(CPU 0)"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNone}, kGroupCpu, {0, 0}},
    {14, {"  (CPU) --> SIMPLEX(CPU 1)"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNone}, kGroupCpu, {0, 0}},
    {15, {"  (CPU) --> SIMPLEX(CPU 0)"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNone}, kGroupCpu, {1, 0}},
    {16, {"  (CPU) --> SIMPLEX(CPU 1)"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNone}, kGroupCpu, {0, 1}},
};
// Any other code: the CPU group counts as having lost its redundancy, the
// PCI group as redundant.
constexpr InitialRow kOtherCpu{0, {"  (CPU) --> ABNORMAL"}, STATE_SIMPLEX, 0, {CHANGE_CPU_SIMPLEX, kNone},
                               kGroupCpu, {0, 0}};
constexpr InitialRow kOtherPci{0, {"  (PCI) --> DUPLEX DUPLEX"}, 0, 0, {kNone, kNone}, kGroupPci, {1, 1}};

const InitialRow& FindRow(int group, int32_t code) {
  for (const InitialRow& row : kInitialRows)
    if (row.code == code) return row;
  return group == kGroupCpu ? kOtherCpu : kOtherPci;
}

}  // namespace

InitialClassification ClassifyInitialStatus(int group, int32_t status_code, PairState* pair) {
  const InitialRow& row = FindRow(group, status_code);
  if (row.group_state != 0) pair->dwGroupState = row.group_state;
  if (row.expci_state != 0) pair->dwExPciState = row.expci_state;
  if (row.pair_group == group) pair->flgModuleDuplex = {row.pair[0], row.pair[1]};
  return {{row.lines[0], row.lines[1]}, {row.raised[0], row.raised[1]}};
}

StateEvent ApplyStateEvent(int group, int32_t state, int32_t module, PairState* pair) {
  StateEvent event;
  event.bExPci = module == 12 || module == 13;

  // A pair is redundant only when both halves have said DUPLEX: a module
  // that reports DUPLEX while its partner has not counts as SIMPLEX.
  if (group == kGroupCpu || group == kGroupPci) {
    int first_module = group == kGroupCpu ? 0 : 10;
    pair->flgModuleDuplex[module == first_module ? 0 : 1] = state == STATE_DUPLEX ? 1 : 0;
    if (state == STATE_DUPLEX) {
      if (pair->flgModuleDuplex[0] == 1 && pair->flgModuleDuplex[1] == 1) {
        event.pair_line = group == kGroupCpu ? "[WMIThread 0](CPU) --> DUPLEX DUPLEX"
                                             : "[WMIThread 1](PCI) --> DUPLEX DUPLEX";
      } else {
        state = STATE_SIMPLEX;
        event.pair_line = StringPrintf("[WMIThread %d](%d,%d)STATE_DUPLEX => STATE_SIMPLEX", group,
                                       pair->flgModuleDuplex[0], pair->flgModuleDuplex[1]);
      }
    }
  }
  event.state = state;

  int32_t& target = event.bExPci ? pair->dwExPciState : pair->dwGroupState;
  const int32_t previous = target;
  const int simplex_index =
      group == kGroupCpu ? CHANGE_CPU_SIMPLEX : (event.bExPci ? CHANGE_EXPCI_SIMPLEX : CHANGE_PCI_SIMPLEX);
  const bool pair_group = group == kGroupCpu || group == kGroupPci;
  auto raise = [&](int index, int32_t new_state) {
    event.raised = index;
    target = new_state;
  };

  if (state == STATE_SIMPLEX && (previous == STATE_DUPLEX || previous == STATE_TRIPLEX)) {
    if (pair_group) raise(simplex_index, STATE_SIMPLEX);
    event.bStateChanged = true;
  } else if (state == STATE_DUPLEX && previous == STATE_SIMPLEX) {
    if (pair_group) raise(simplex_index + kDuplexOffset, STATE_DUPLEX);
    event.bStateChanged = true;
  } else if (state == STATE_DUPLEX && previous == STATE_TRIPLEX) {
    // Three CPU modules falling to two: reported like a loss of redundancy.
    if (group == kGroupCpu) {
      raise(CHANGE_CPU_SIMPLEX, STATE_DUPLEX);
      event.bStateChanged = true;
    }
  } else if (state == STATE_TRIPLEX && (previous == STATE_SIMPLEX || previous == STATE_DUPLEX)) {
    // ... and rising to three like a return to it.
    if (group == kGroupCpu) raise(CHANGE_CPU_DUPLEX, STATE_TRIPLEX);
    event.bStateChanged = true;
  }
  return event;
}

}  // namespace fenra
