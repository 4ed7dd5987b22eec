#include "monitor/redundancy.h"

#include "diagnostics/trace_texts.h"
#include "monitor/monitor_state.h"
#include "support/fixed_text.h"

namespace fenra {

InitialClassification ClassifyInitialStatus(int group, int32_t status_code, PairState* pair) {
  const StatusRow& row = InitialStatusRow(group, status_code);
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
        event.pair_line = StringPrintf(trace_text::kPairDuplex, group, GroupPair(group).label);
      } else {
        state = STATE_SIMPLEX;
        event.pair_line = StringPrintf(trace_text::kPairHalfDuplex, group,
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
