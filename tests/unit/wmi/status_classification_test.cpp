#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "wmi/wmiservice.h"
#include "wmi/wmi_tables.h"

namespace fenra {
namespace {

using Instances = std::vector<std::pair<int32_t, int32_t>>;  // (module number, state)

constexpr int32_t S = STATE_SIMPLEX;
constexpr int32_t D = STATE_DUPLEX;
constexpr int32_t T = STATE_TRIPLEX;
constexpr int32_t R = STATE_REMOVED;

TEST(StatusClassification, EveryRuleInItsOrder) {
  struct Case {
    Instances instances;
    int32_t code;
  };
  const std::vector<Case> cases = {
      {{{0, S}, {1, S}, {2, T}}, 2},  // TRIPLEX wins over everything
      {{{10, S}, {12, S}, {0, D}, {2, T}}, 2},
      {{{0, S}, {1, S}}, 9},
      {{{0, S}, {1, D}}, 10},
      {{{0, S}, {1, R}}, 13},
      {{{0, D}, {1, S}}, 11},
      {{{1, S}}, 14},
      {{{2, S}, {0, D}, {1, D}}, 1},
      {{{0, D}, {1, D}}, 12},
      {{{0, D}}, 15},
      {{{1, D}}, 16},
      {{{12, S}, {10, S}}, 3},
      {{{13, S}, {11, S}}, 3},
      {{{13, S}}, 5},
      {{{12, S}, {10, D}, {11, D}}, 5},
      {{{10, S}, {11, S}}, 6},
      {{{10, S}}, 7},
      {{{11, S}}, 8},
      {{{10, D}, {11, D}, {12, D}, {13, D}}, 0},  // a healthy PCI group
      {{}, 0},
      {{{10, S}, {0, D}}, 15},  // CPU rules come before PCI rules
      // -1 (no name) and numbers beyond 13 set nothing; DUPLEX only counts for 0 and 1.
      {{{-1, S}, {14, S}, {3, S}, {2, D}, {10, D}}, 0},
      {{{-1, T}}, 0},
      {{{7, T}}, 2},
      {{{0, STATE_ONLINE}, {1, R}, {0, 0x20005}}, 0},
  };
  for (const Case& c : cases) {
    ModuleFlags flags;
    std::string what;
    for (auto [module, state] : c.instances) {
      NoteModuleState(flags, state, module);
      what += std::to_string(module) + ":" + std::to_string(state) + " ";
    }
    EXPECT_EQ(DecideStatus(flags), c.code) << what;
  }
}

}  // namespace
}  // namespace fenra
