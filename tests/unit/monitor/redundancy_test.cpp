#include "monitor/redundancy.h"

#include <gtest/gtest.h>

#include "monitor/monitor_state.h"
#include "monitor/wmi_thread.h"
#include "support/service_process.h"

namespace fenra {
namespace {

using Lines = std::vector<std::string>;
using Flags = std::array<uint8_t, 2>;

// The rows every scenario's start traces (both pairs DUPLEX, a PCI module
// SIMPLEX, a CPU pair ABNORMAL) are pinned there; these are the others.
TEST(InitialClassificationTest, EachStatusCodeSetsItsRow) {
  struct Case {
    int group;
    int32_t code;
    Lines lines;
    int32_t group_state;
    int32_t expci_state;
    Flags pair;
    std::array<int, 2> raised;
  };
  constexpr int32_t S = STATE_SIMPLEX, D = STATE_DUPLEX;
  const Case cases[] = {
      {0, 13, {"  (CPU) --> SIMPLEX(CPU 0)"}, S, D, {0, 0}, {CHANGE_CPU_SIMPLEX, -1}},
      {0, 15, {"  (CPU) --> SIMPLEX(CPU 0)"}, S, D, {1, 0}, {CHANGE_CPU_SIMPLEX, -1}},
      {0, 2, {"  (CPU) --> TRIPLEX"}, STATE_TRIPLEX, D, {0, 0}, {-1, -1}},
      {1, 3, {"  (PCI) --> SIMPLEX", "  (ExPCI) --> SIMPLEX"}, S, S, {0, 0}, {CHANGE_PCI_SIMPLEX, CHANGE_EXPCI_SIMPLEX}},
      // A CPU row in the PCI thread leaves the PCI pair's flags alone.
      {1, 10, {"  (CPU) --> SIMPLEX DUPLEX"}, S, D, {0, 0}, {CHANGE_CPU_SIMPLEX, -1}},
  };
  for (const Case& c : cases) {
    PairState pair;
    InitialClassification result = ClassifyInitialStatus(c.group, c.code, &pair);
    Lines lines;
    for (const char* line : result.lines)
      if (line) lines.push_back(line);
    EXPECT_EQ(lines, c.lines) << c.group << "/" << c.code;
    EXPECT_EQ(pair.dwGroupState, c.group_state) << c.group << "/" << c.code;
    EXPECT_EQ(pair.dwExPciState, c.expci_state) << c.group << "/" << c.code;
    EXPECT_EQ(pair.flgModuleDuplex, c.pair) << c.group << "/" << c.code;
    EXPECT_EQ(result.raised, c.raised) << c.group << "/" << c.code;
  }
}

// The CPU pair's rules, a pair redundant only once both modules said DUPLEX
// and TRIPLEX to DUPLEX to SIMPLEX with three modules, are pinned by the
// triplex scenario.
TEST(StateEventTest, TheExPciPairHasItsOwnStateAndSharesThePairFlags) {
  PairState pair;
  ClassifyInitialStatus(kGroupPci, 0, &pair);
  StateEvent event = ApplyStateEvent(kGroupPci, STATE_SIMPLEX, 12, &pair);
  EXPECT_TRUE(event.bExPci);
  EXPECT_EQ(event.raised, CHANGE_EXPCI_SIMPLEX);
  EXPECT_EQ(pair.dwGroupState, STATE_DUPLEX);
  EXPECT_EQ(ApplyStateEvent(kGroupPci, STATE_DUPLEX, 13, &pair).raised, CHANGE_EXPCI_DUPLEX);

  EXPECT_EQ(ApplyStateEvent(kGroupPci, STATE_SIMPLEX, 10, &pair).raised, CHANGE_PCI_SIMPLEX);
  // Module 10 has not said DUPLEX again: a DUPLEX of module 12 counts as
  // SIMPLEX for the ExPCI pair, which is DUPLEX already.
  event = ApplyStateEvent(kGroupPci, STATE_DUPLEX, 12, &pair);
  EXPECT_EQ(event.pair_line, "[WMIThread 1](0,1)STATE_DUPLEX => STATE_SIMPLEX");
  EXPECT_EQ(event.raised, CHANGE_EXPCI_SIMPLEX);
}

TEST(StateEventTest, DiskEventsRaiseNothingButSimplexAndTriplexWakeTheManager) {
  PairState pair;
  for (int32_t state : {STATE_SIMPLEX, STATE_TRIPLEX}) {
    StateEvent event = ApplyStateEvent(kGroupDisk, state, 10, &pair);
    EXPECT_EQ(event.raised, -1);
    EXPECT_TRUE(event.bStateChanged);
    EXPECT_TRUE(event.pair_line.empty());
  }
  EXPECT_FALSE(ApplyStateEvent(kGroupDisk, STATE_DUPLEX, 10, &pair).bStateChanged);
  EXPECT_FALSE(ApplyStateEvent(kGroupPci, 0, 0, &pair).bStateChanged);  // a state that could not be read
}

}  // namespace
}  // namespace fenra
