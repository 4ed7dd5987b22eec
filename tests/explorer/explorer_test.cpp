// The explorer's parts apart from the simulated machine: the generator's
// reproducibility and reach, each invariant on hand-made observations
// (the rule broken, and the exception the rules make), and the shrinker.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "explorer/generator.h"
#include "explorer/invariants.h"
#include "explorer/model/setting.h"
#include "explorer/shrink.h"
#include "runner/scenario.h"

namespace fenra::explorer {
namespace {

using runner::Observation;

// ---- Generator ----

TEST(ExplorerGeneratorTest, RunKOfSeedSIsTheSameTextEverywhereAndEveryRunParses) {
  for (uint64_t k = 0; k < 200; ++k) {
    GeneratedRun once = Generate(7, k);
    EXPECT_EQ(once.text, Generate(7, k).text) << "run " << k;
    EXPECT_NE(once.text, Generate(8, k).text) << "run " << k;
    EXPECT_NE(once.text, Generate(7, k + 1).text) << "run " << k;
    runner::Scenario scenario;
    ASSERT_NO_THROW(scenario = runner::ParseScenario(once.text, "run.scn")) << once.text;
    EXPECT_EQ(scenario.steps.back().text, "end");
    EXPECT_EQ(scenario.steps.back().at_ms, once.choices.duration_ms);
  }
}

// A slow start-up walk is what the rules' reading of the run makes of it:
// the walk takes the time-out and its pair changes before the subscription.
TEST(ExplorerGeneratorTest, ASlowWalkWaitsOutItsTimeOutWhileItsPairChanges) {
  int slow = 0, delayed = 0;
  for (uint64_t k = 0; k < 1000; ++k) {
    GeneratedRun run = Generate(3, k);
    if (!run.choices.slow_walk) continue;
    ++slow;
    model::Setting s = model::ReadSetting(runner::ParseScenario(run.text, "run.scn"));
    const model::Process& p = s.processes.front();
    for (int g = 0; g < 2; ++g) {
      const int64_t walk = p.start + s.delay_ms + 60000 * (g + 1), subscribed = walk + p.threads[g].walk_delay;
      delayed += subscribed > walk && std::any_of(s.events.begin(), s.events.end(), [&](const model::SeenEvent& e) {
                   return e.group == g && e.t > walk && e.t < subscribed;
                 });
    }
  }
  EXPECT_GT(slow, 40);
  EXPECT_GE(delayed * 5, slow * 4);
}

// The random source must give the same numbers on every platform: these
// are SplitMix64's published first outputs for seed 0.
TEST(ExplorerGeneratorTest, TheRandomSourceIsSplitMix64) {
  Random random(0);
  EXPECT_EQ(random.Next(), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(random.Next(), 0x6E789E6AA1B965F4ull);
  Random bounded(1);
  for (int i = 0; i < 1000; ++i) EXPECT_LT(bounded.Below(7), 7u);
}

TEST(ExplorerGeneratorTest, AThousandRunsReachEveryChoice) {
  ChoiceTally t;
  for (uint64_t k = 0; k < 1000; ++k) t.Add(Generate(1, k).choices);
  for (uint64_t g : t.generation) EXPECT_GT(g, 100u);
  for (uint64_t n : {t.restart, t.wmi_fault, t.machine_fault, t.triplex, t.beyond, t.tick_turn, t.japanese,
                     t.simplex_date, t.unknown_code, t.expci, t.incoherent, t.flap_gap, t.triplex_join, t.slow_walk,
                     t.exchange})
    EXPECT_GT(n, 5u);
  for (uint64_t n : t.version_side) EXPECT_GT(n, 5u);
}

// ---- Invariants ----

constexpr const char* kMachine =
    "clock 2026-12-03 10:00:00\n"
    "module DOD_CPUBoard 0 DUPLEX\n"
    "module DOD_CPUBoard 1 DUPLEX\n"
    "module DOD_IOAdapter 10 DUPLEX\n"
    "module DOD_IOAdapter 11 DUPLEX\n";

Observation Input(uint64_t t, const std::string& directive) {
  Observation o;
  o.t_ms = t;
  o.kind = Observation::Kind::kInput;
  o.directive = directive;
  return o;
}

Observation Record(uint64_t t, const std::string& source, uint32_t id, const std::string& text = "") {
  Observation o;
  o.t_ms = t;
  o.kind = Observation::Kind::kEvent;
  o.source = source;
  o.event_id = id;
  o.strings = {text};
  return o;
}

// A trace line with a stamp of the right width (its value is not read).
Observation Trace(uint64_t t, const std::string& message) {
  Observation o;
  o.t_ms = t;
  o.kind = Observation::Kind::kTrace;
  o.text = "2026/12/03 10:00'00\"000 " + message;
  return o;
}

std::vector<Observation> Announce(int index, uint64_t started, int limit_s, uint64_t ran_out) {
  return {Trace(0, "[ManageTimerThread]start"),
          Trace(started, "[TimerThread " + std::to_string(index) + "]start Limit time = " + std::to_string(limit_s) +
                             " sec"),
          Trace(ran_out, "[TimerThread " + std::to_string(index) + "]Create EventLogOut => hLogOutThread[0]")};
}

std::string CpuSimplexAlert(const std::string& occurrence, const std::string& details) {
  return "CPU Module changed to SIMPLEX state.\n[Occurrence Time] " + occurrence + "\n (Zelm: unknown)\n[Details]\n" + details;
}

struct InvariantCase {
  const char* name;
  std::string history;  // timed directives after kMachine
  std::function<std::vector<Observation>()> observations;
  std::set<std::string> expected;  // the checks that must fail, no others
};

void PrintTo(const InvariantCase& c, std::ostream* os) { *os << c.name; }

class InvariantTest : public ::testing::TestWithParam<InvariantCase> {};

TEST_P(InvariantTest, FindsExactlyTheBrokenRules) {
  const InvariantCase& c = GetParam();
  runner::Scenario scenario = runner::ParseScenario(std::string(kMachine) + c.history, "case.scn");
  std::set<std::string> found;
  for (const Violation& v : CheckInvariants(scenario, c.observations(), "")) found.insert(v.check);
  EXPECT_EQ(found, c.expected);
}

const uint32_t kStarted = 0x40000001, kStopped = 0x40000002, kSimplexId = 0x80000802;

INSTANTIATE_TEST_SUITE_P(
    Rules, InvariantTest,
    ::testing::Values(
        InvariantCase{"RecordAfterStop", "0:00:00 start\n0:10:00 stop\n1:00:00 end\n",
                      [] {
                        return std::vector<Observation>{
                            Input(0, "start"), Record(0, "QVMZUFT", kStarted), Input(600000, "stop"),
                            Record(605000, "QVMZUFT", kStopped), Record(606000, "QVMZUFT", 0xC000040D)};
                      },
                      {kAfterStop}},
        InvariantCase{"StopAfterTheGrace", "0:00:00 start\n1:00:00 end\n",
                      [] {
                        return std::vector<Observation>{Input(0, "start"), Record(0, "QVMZUFT", kStarted),
                                                        Input(3600000, "end"),
                                                        Record(3600000 + kStopAllowanceMs + 1, "QVMZUFT", kStopped)};
                      },
                      {kStopLate}},
        InvariantCase{"SimplexWhileBothModulesSayDuplex",
                      "0:00:00 start\n0:05:00 state DOD_CPUBoard 1 SYNCING\n0:07:00 state DOD_CPUBoard 1 DUPLEX\n"
                      "1:00:00 end\n",
                      [] {
                        // The timer starts with the DUPLEX report: it had no loss to time.
                        return Announce(0, 420000, 1800, 2220000);
                      },
                      {kSpuriousSimplex}},
        InvariantCase{"SimplexAfterASimplexReport",
                      "0:00:00 start\n0:07:00 state DOD_CPUBoard 1 REMOVED\n0:07:00 state DOD_CPUBoard 0 SIMPLEX\n"
                      "1:00:00 end\n",
                      [] { return Announce(0, 420000, 1800, 2220000); }, {}},
        InvariantCase{"DuplexReportWhileThePartnerIsNotIsALoss",
                      "0:00:00 start\n0:05:00 state DOD_CPUBoard 1 SYNCING\n0:07:00 state DOD_CPUBoard 0 DUPLEX\n"
                      "1:00:00 end\n",
                      [] { return Announce(0, 420000, 1800, 2220000); }, {}},
        InvariantCase{"DuplexWithoutSimplex", "0:00:00 start\n1:00:00 end\n",
                      [] {
                        std::vector<Observation> o = Announce(3, 60000, 1, 61000);
                        o.push_back(Trace(70000, "[TimerThread 0]start Limit time = 20 sec"));
                        o.push_back(Trace(90000, "[TimerThread 0]Create EventLogOut => hLogOutThread[0]"));
                        o.push_back(Trace(95000, "[TimerThread 3]start Limit time = 1 sec"));
                        o.push_back(Trace(96000, "[TimerThread 3]Create EventLogOut => hLogOutThread[1]"));
                        return o;
                      },
                      // The later pair of announcements is in order; the loss of 0:01:10
                      // is not backed by the hardware.
                      {kDuplexWithoutSimplex, kSpuriousSimplex}},
        InvariantCase{"DuplexTimerStartedWhileTheSimplexTimerWasBeingCancelled",
                      "0:00:00 start\n0:03:46 state DOD_IOAdapter 11 SIMPLEX\n"
                      "0:03:51 state DOD_IOAdapter 11 DUPLEX\n1:00:00 end\n",
                      [] {
                        return std::vector<Observation>{
                            Trace(0, "[ManageTimerThread]start"),
                            Trace(226000, "[TimerThread 1]start Limit time = 60 sec"),
                            Trace(282000, "[TimerThread 4]start Limit time = 1 sec"),
                            Trace(282500, "[TimerThread 1]stop  timer cancel"),
                            Trace(283000, "[TimerThread 4]Create EventLogOut => hLogOutThread[0]")};
                      },
                      {}},
        InvariantCase{"OccurrenceFarFromAnyChange",
                      "0:00:00 start\n0:10:00 state DOD_CPUBoard 1 REMOVED\n0:10:00 state DOD_CPUBoard 0 SIMPLEX\n"
                      "9:00:00 end\n",
                      [] {
                        std::vector<Observation> o = Announce(0, 30000000, 20, 30020000);
                        o.push_back(Record(30021000, "QVMFTMarvix", kSimplexId,
                                           CpuSimplexAlert("2026.12.03  18:20:00", "0 SIMPLEX\n1 REMOVED")));
                        return o;
                      },
                      {kOccurrence}},
        InvariantCase{"DetailsShowTheStatesOfTheComposition",
                      "0:00:00 start\n0:10:00 state DOD_CPUBoard 1 REMOVED\n0:10:00 state DOD_CPUBoard 0 SIMPLEX\n"
                      "1:00:00 end\n",
                      [] {
                        std::vector<Observation> o = Announce(0, 600000, 20, 620000);
                        o.push_back(Record(620500, "QVMFTMarvix", kSimplexId,
                                           CpuSimplexAlert("2026.12.03  10:10:00", "0 DUPLEX\n1 REMOVED\n7 DUPLEX")));
                        return o;
                      },
                      {kDetails}}),
    [](const ::testing::TestParamInfo<InvariantCase>& param) { return std::string(param.param.name); });

TEST(InvariantTest, TheRunnersComplaintIsAViolation) {
  runner::Scenario scenario = runner::ParseScenario(std::string(kMachine) + "0:00:00 start\n1:00:00 end\n", "s.scn");
  std::vector<Violation> violations = CheckInvariants(scenario, {}, "the service did not stop");
  ASSERT_FALSE(violations.empty());
  EXPECT_EQ(violations.front().check, kNotStopped);
}

// ---- Shrinking ----

TEST(ExplorerShrinkTest, KeepsOnlyWhatTheFailureNeedsAndClosesTheGaps) {
  std::string text = std::string(kMachine) +
                     "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard SimplexShortThreshold dword 40\n"
                     "0:00:00 start\n"
                     "0:03:00 state DOD_CPUBoard 0 SYNCING\n"
                     "0:05:00 state DOD_CPUBoard 1 BROKEN\n"
                     "0:06:00 wmi-fault object-text 3\n"
                     "0:09:00 state DOD_CPUBoard 1 DUPLEX\n"
                     "2:00:00 end\n";
  // "Fails" while module 1 is reported lost before a DUPLEX report, the
  // threshold is above 8 and the run ends after the DUPLEX report.
  auto fails = [](const std::string& candidate) {
    runner::Scenario s;
    try {
      s = runner::ParseScenario(candidate, "c.scn");
    } catch (const runner::ScenarioError&) {
      return false;
    }
    bool lost = false, back = false, threshold = false;
    for (const runner::RegistryStep& r : s.registry)
      threshold |= r.value == "SimplexShortThreshold" && r.data.size() == 4 && r.data[0] > 8;
    for (const runner::TimedStep& step : s.steps) {
      if (step.text.starts_with("state DOD_CPUBoard 1 ") && step.text != "state DOD_CPUBoard 1 DUPLEX") lost = true;
      if (lost && step.text == "state DOD_CPUBoard 1 DUPLEX") back = true;
    }
    return lost && back && threshold && s.steps.back().at_ms > 0;
  };
  ASSERT_TRUE(fails(text));
  ShrinkResult result = Shrink(text, fails, 1000);
  EXPECT_TRUE(fails(result.text));
  // Left: the module the state lines need, the threshold halved as far as
  // it still fails, the lost report and the return at time 0, and `end`
  // as early as the halving of its gap goes.
  runner::Scenario shrunk = runner::ParseScenario(result.text, "shrunk.scn");
  EXPECT_EQ(shrunk.modules.size(), 1u);
  ASSERT_EQ(shrunk.registry.size(), 1u);
  EXPECT_EQ(shrunk.registry[0].data[0], 10);
  ASSERT_EQ(shrunk.steps.size(), 3u);
  EXPECT_EQ(shrunk.steps[0].at_ms, 0u);
  EXPECT_EQ(shrunk.steps[1].text, "state DOD_CPUBoard 1 DUPLEX");
  EXPECT_EQ(shrunk.steps[1].at_ms, 0u);
  EXPECT_LT(shrunk.steps[2].at_ms, 2000u);
  EXPECT_LE(Shrink(text, fails, 5).tried, 5);
}

}  // namespace
}  // namespace fenra::explorer
