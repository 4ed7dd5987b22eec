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

// The machine of every case: thresholds of one minute, so that the CPU
// pair settles in 82 s (its minute, the hand-over, the pace, a composer)
// and the PCI pair in 322 s (its 5-minute return).
constexpr const char* kMachine =
    "clock 2026-12-03 10:00:00\n"
    "ini FENRA.ini MODE SIMPLEX_FILTER_TIME 0\n"
    "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard SimplexShortThreshold dword 1\n"
    "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\PciBoard SimplexShortThreshold dword 1\n"
    "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\ExPciBoard SimplexShortThreshold dword 1\n";
constexpr const char* kDuplex =
    "module DOD_CPUBoard 0 DUPLEX\nmodule DOD_CPUBoard 1 DUPLEX\n"
    "module DOD_IOAdapter 10 DUPLEX\nmodule DOD_IOAdapter 11 DUPLEX\n";
constexpr const char* kExPci = "module DOD_IOAdapter 12 DUPLEX\nmodule DOD_IOAdapter 13 DUPLEX\n";
constexpr const char* kCpuLoss = "0:05:00 state DOD_CPUBoard 1 REMOVED\n0:05:00 state DOD_CPUBoard 0 SIMPLEX\n";
constexpr const char* kEnd = "1:00:00 end\n";
constexpr uint64_t kEndMs = 3600000;

const uint32_t kStarted = 0x40000001, kStopped = 0x40000002;

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

// A run's observations as the runner records them. By default: started
// at 0, the CPU thread walks and subscribes at 0:01:00, the PCI thread at
// 0:02:00, `end` at 1:00:00.
struct Run {
  std::vector<Observation> o;

  static Run Standard() { return Run().Start(0).Walk(0, 60000).Walk(1, 120000).End(kEndMs); }
  Run& Start(uint64_t t) {
    o.push_back(Input(t, "start"));
    o.push_back(Record(t, "QVMZUFT", kStarted));
    return Line(t, "[ManageTimerThread]start");
  }
  // The service stops by itself at `t` (no stop control), and `end` comes.
  Run& Stopped(uint64_t t) {
    o.push_back(Record(t, "QVMZUFT", kStopped));
    o.push_back(Input(kEndMs, "end"));
    return *this;
  }
  Run& End(uint64_t t) {
    o.push_back(Input(t, "end"));
    o.push_back(Record(t + 5000, "QVMZUFT", kStopped));
    return *this;
  }
  // A trace line (the stamp's value is not read).
  Run& Line(uint64_t t, const std::string& message) {
    Observation line;
    line.t_ms = t;
    line.kind = Observation::Kind::kTrace;
    line.text = "2026/12/03 10:00'00\"000 " + message;
    o.push_back(line);
    return *this;
  }
  // The group's thread starts, walks (its answer at `answered`) and
  // subscribes.
  Run& Walk(int group, uint64_t t, uint64_t answered = 0) {
    std::string thread = "[WMIThread " + std::to_string(group) + "]";
    answered = std::max(answered, t);
    return Line(t, thread + "start")
        .Line(answered, thread + "GetStatus nRtn = 0")
        .Line(answered, thread + "wms.getEvent res1 = 0");
  }
  // Timer `index` starts at `started`, starts its composer at `ran_out`,
  // which writes the record at `written` (0: none), listing `details`.
  Run& Alert(int index, uint64_t started, uint64_t ran_out, uint64_t written, const std::string& details) {
    std::string timer = "[TimerThread " + std::to_string(index) + "]";
    Line(started, timer + "start Limit time = " + std::to_string((ran_out - started) / 1000) + " sec");
    Line(ran_out, timer + "Create EventLogOut => hLogOutThread[0]");
    if (written == 0) return *this;
    char occurrence[32];
    unsigned long long s = started / 1000;
    snprintf(occurrence, sizeof occurrence, "2026.12.03  %02llu:%02llu:%02llu", 10 + s / 3600, s / 60 % 60, s % 60);
    std::string text = std::string(index % 3 == 0 ? "CPU" : "PCI") + " Module changed to " +
                       (index < 3 ? "SIMPLEX" : "DUPLEX") + " state.\n[Occurrence Time] " + occurrence +
                       "\n (Zelm: unknown)\n[Details]\n" + details;
    o.push_back(Record(written, "QVMFTMarvix", index < 3 ? 0x80000802 : 0x40000801, text));
    return *this;
  }
  // An alert whose record comes 0.1 s after its composer starts.
  Run& Alert(int index, uint64_t started, uint64_t ran_out, const std::string& details) {
    return Alert(index, started, ran_out, ran_out + 100, details);
  }
  std::vector<Observation> Done() const {
    std::vector<Observation> sorted = o;
    std::stable_sort(sorted.begin(), sorted.end(), [](const Observation& a, const Observation& b) { return a.t_ms < b.t_ms; });
    return sorted;
  }
};

const std::string kCpuLost = "0 SIMPLEX\n1 REMOVED", kCpuBack = "0 DUPLEX\n1 DUPLEX";
const std::string kPciBack = "10 DUPLEX\n11 DUPLEX";

struct InvariantCase {
  const char* name;
  std::string history;  // module lines and timed directives after kMachine
  std::function<Run()> run;
  std::set<std::string> expected;  // the checks that must fail, no others
};

void PrintTo(const InvariantCase& c, std::ostream* os) { *os << c.name; }

class InvariantTest : public ::testing::TestWithParam<InvariantCase> {};

// The history with its timed lines in time order (setup lines first), so
// that a case can add a directive to a shared history.
std::string InTimeOrder(const std::string& history) {
  std::vector<std::string> setup;
  std::vector<std::pair<uint64_t, std::string>> timed;
  for (size_t from = 0; from < history.size();) {
    size_t end = history.find('\n', from);
    std::string line = history.substr(from, end - from);
    from = end + 1;
    unsigned h = 0, m = 0;
    double sec = 0;
    if (sscanf(line.c_str(), "%u:%u:%lf", &h, &m, &sec) == 3)
      timed.emplace_back((h * 3600 + m * 60) * 1000 + static_cast<uint64_t>(sec * 1000 + 0.5), line);
    else
      setup.push_back(line);
  }
  std::stable_sort(timed.begin(), timed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string text;
  for (const std::string& line : setup) text += line + "\n";
  for (const auto& [at, line] : timed) text += line + "\n";
  return text;
}

TEST_P(InvariantTest, FindsExactlyTheBrokenRules) {
  const InvariantCase& c = GetParam();
  runner::Scenario scenario = runner::ParseScenario(std::string(kMachine) + InTimeOrder(c.history), "case.scn");
  std::set<std::string> found;
  std::string all;
  for (const Violation& v : CheckInvariants(scenario, c.run().Done(), "")) {
    found.insert(v.check);
    all += v.check + ": " + v.what + "\n";
  }
  EXPECT_EQ(found, c.expected) << all;
}

// The flap of the first example (the PCI pair, one start, no
// fault), and the second's loss and return while the walk waits out a
// time-out.
constexpr const char* kPciFlap =
    "0:05:03.469 state DOD_IOAdapter 11 SIMPLEX\n0:05:03.469 state DOD_IOAdapter 10 REMOVED\n"
    "0:05:05.538 state DOD_IOAdapter 11 REMOVED\n0:05:05.538 state DOD_IOAdapter 10 SIMPLEX\n"
    "0:05:08.673 state DOD_IOAdapter 11 DUPLEX\n0:05:10.664 state DOD_IOAdapter 10 DUPLEX\n"
    "0:05:55.038 state DOD_IOAdapter 11 ONLINE\n0:05:57.279 state DOD_IOAdapter 10 DUPLEX\n"
    "0:05:58.689 state DOD_IOAdapter 11 DUPLEX\n";
constexpr const char* kSlowWalk =
    "module DOD_CPUBoard 0 SIMPLEX\nmodule DOD_CPUBoard 1 REMOVED\n0:00:30 wmi-fault next-timeout 1\n"
    "0:01:10 state DOD_CPUBoard 1 DUPLEX\n0:01:10 state DOD_CPUBoard 0 DUPLEX\n";
Run SlowWalk() { return Run().Start(0).Walk(0, 60000, 90000); }

// The TRIPLEX episode: module 2 joins at 0:05:00 (a rise, announced as
// DUPLEX), module 1 repeats DUPLEX at 0:08:00 (a fall: both halves DUPLEX
// after TRIPLEX, announced like a loss), a real loss at 0:12:00.
constexpr const char* kTriplexMachine =
    "module DOD_CPUBoard 0 DUPLEX\nmodule DOD_CPUBoard 1 DUPLEX\nmodule DOD_CPUBoard 2 REMOVED\n0:00:00 start\n";
constexpr const char* kRiseAndFall = "0:05:00 state DOD_CPUBoard 2 TRIPLEX\n0:08:00 state DOD_CPUBoard 1 DUPLEX\n";
const std::string kTriplex = std::string(kTriplexMachine) + kRiseAndFall +
                             "0:12:00 state DOD_CPUBoard 1 REMOVED\n0:12:00 state DOD_CPUBoard 0 SIMPLEX\n";
// A loss at 0:08:30 while the fall's timer runs (to 0:09:00.100, as its
// run-out line shows, or without one): announced from 0:09:00.200.
Run LossDuringTheFall(bool run_out_line) {
  Run run = Run::Standard()
                .Alert(3, 300100, 301100, "0 DUPLEX\n1 DUPLEX\n2 TRIPLEX")
                .Alert(0, 480100, 540100, "0 SIMPLEX\n1 REMOVED\n2 TRIPLEX")
                .Alert(0, 540200, 560200, "0 SIMPLEX\n1 REMOVED\n2 TRIPLEX");
  if (run_out_line) run.Line(540100, "[TimerThread 0]time out  Limit time = 60 sec");
  return run;
}
Run Triplex(uint64_t fall_timer) {
  return Run::Standard()
      .Alert(3, 300100, 301100, "0 DUPLEX\n1 DUPLEX\n2 TRIPLEX")
      .Alert(0, fall_timer, fall_timer + 60000, "0 DUPLEX\n1 DUPLEX\n2 TRIPLEX")
      .Alert(0, 720100, 740100, "0 SIMPLEX\n1 REMOVED\n2 TRIPLEX");
}

// A CPU return at 0:06:10, while the trace folder is read-only (from
// 0:04:55 to 0:06:40).
constexpr const char* kReturnAndFolderFault =
    "0:06:10 state DOD_CPUBoard 1 DUPLEX\n0:06:10 state DOD_CPUBoard 0 DUPLEX\n"
    "0:04:55 folder C:\\QOR\\QVMAlertMan\\Temp read-only\n0:06:40 folder C:\\QOR\\QVMAlertMan\\Temp writable\n";
// The run without the trace lines its folder fault dropped.
Run WithoutTrace(Run run) {
  std::erase_if(run.o, [](const Observation& o) {
    return o.kind == Observation::Kind::kTrace && o.t_ms >= 295000 && o.t_ms < 400000;
  });
  return run;
}

// An ExPCI loss at 0:05:00 and its return at 0:10:00, the return's timer
// of index `index`.
constexpr const char* kExPciEpisode =
    "0:05:00 state DOD_IOAdapter 13 REMOVED\n0:05:00 state DOD_IOAdapter 12 SIMPLEX\n"
    "0:10:00 state DOD_IOAdapter 13 DUPLEX\n0:10:00 state DOD_IOAdapter 12 DUPLEX\n";
Run ExPciEpisode(int index) {
  return Run::Standard()
      .Alert(2, 300100, 360100, "10 DUPLEX\n11 DUPLEX\n12 SIMPLEX\n13 REMOVED")
      .Alert(index, 600100, 605100, "10 DUPLEX\n11 DUPLEX\n12 DUPLEX\n13 DUPLEX");
}

// A CPU loss at 0:05:00, its return at 0:10:00 (whose record may be
// missing) and a new loss at 0:10:30, announced after 20 s.
constexpr const char* kTwoLosses =
    "0:05:00 state DOD_CPUBoard 1 REMOVED\n0:05:00 state DOD_CPUBoard 0 SIMPLEX\n"
    "0:10:00 state DOD_CPUBoard 1 DUPLEX\n0:10:00 state DOD_CPUBoard 0 DUPLEX\n"
    "0:10:30 state DOD_CPUBoard 1 REMOVED\n0:10:30 state DOD_CPUBoard 0 SIMPLEX\n";
Run TwoLosses(uint64_t returned) {
  return Run::Standard()
      .Alert(0, 300100, 360100, kCpuLost)
      .Alert(3, 600100, 601100, returned, kCpuBack)
      .Alert(0, 630100, 650100, kCpuLost);
}

// A CPU loss at 0:05:00 while the thread's subscription is gone (from
// 0:04:50 to 0:05:20, or not at all), announced from `heard`: the new
// subscription's reading answers at once, or at its recheck line.
Run LossInAGap(bool gap, uint64_t heard = 320000) {
  Run run = Run::Standard();
  if (gap)
    run.Line(290000, "[WMIThread 0]wms.getText res2 = -1")
        .Line(290000, "[WMIThread 0]wms.getEvent res1 = 1")
        .Line(320000, "[WMIThread 0]wms.getEvent res1 = 0");
  if (heard > 320000) run.Line(heard, "[WMIThread 0]Recheck GetStatus nRtn = 13");
  return run.Alert(0, heard + 100, heard + 60100, kCpuLost);
}

// The PCI thread starts at 0:02:00 and answers its walk at `answered` (a
// failed connection holds it); the ExPCI pair is lost at 0:02:20 and back
// at 0:05:00. A walk that read the loss leaves both halves' flags down (its
// code only raises the ExPCI request), so the return stays a SIMPLEX.
constexpr const char* kExPciDuringTheWalk =
    "0:00:00 start\n0:02:20 state DOD_IOAdapter 13 REMOVED\n0:02:20 state DOD_IOAdapter 12 SIMPLEX\n"
    "0:05:00 state DOD_IOAdapter 13 DUPLEX\n0:05:00 state DOD_IOAdapter 12 DUPLEX\n";
Run ExPciDuringTheWalk(uint64_t answered) {
  return Run().Start(0).Walk(0, 60000).Walk(1, 120000, answered).End(kEndMs)
      .Alert(2, 180100, 240100, "10 DUPLEX\n11 DUPLEX\n12 SIMPLEX\n13 REMOVED");
}

// The PCI and ExPCI pairs lost at 0:05:00, their timers started in the same
// second; the ExPCI composer's record refused (from 0:05:59.900 to
// 0:06:00.150), the PCI composer's written at 0:06:00.300.
Run TwoComposersOneRecord() {
  const std::string details = "10 SIMPLEX\n11 REMOVED\n12 REMOVED\n13 SIMPLEX";
  return Run::Standard().Alert(2, 300100, 360100, 0, "").Alert(1, 300200, 360200, 360300, details);
}

// A restart at 0:10:00 while the event log refuses records: the old
// process's late lines come after the start, the new one's monitor starts
// at 0:10:05; a CPU loss at 0:20:00 is left unannounced.
Run RestartUnrecorded() {
  Run run = Run().Start(0).Walk(0, 60000).Walk(1, 120000);
  run.o.push_back(Input(600000, "stop"));
  run.o.push_back(Input(600000, "start"));
  return run.Line(601000, "[ManageTimerThread]stopflg=TRUE retrun 0")
      .Line(605000, "[ManageTimerThread]start")
      .Walk(0, 665000)
      .Walk(1, 725000)
      .End(kEndMs);
}

// A CPU loss at 0:05:00 and a record at 0:06:00 naming 10:10:05 as its
// occurrence, when nothing changed.
Run FarOccurrence() {
  Run run = Run::Standard().Alert(0, 300100, 360100, 0, "");
  run.o.push_back(Record(360200, "QVMFTMarvix", 0x80000802,
                         "CPU Module changed to SIMPLEX state.\n[Occurrence Time] 2026.12.03  10:10:05\n"
                         " (Zelm: unknown)\n[Details]\n" + kCpuLost));
  return run;
}

// The monitor ends by itself at `at`: WMI is gone.
Run MonitorEnds(uint64_t at) {
  Run run = Run().Start(0).Walk(0, 60000).Walk(1, 120000).Line(at, "[WMIThread 0]stopflg=TRUE retrun 0");
  run.o.push_back(Record(at, "QVMZUFT", 0x80000202));
  run.o.push_back(Record(at + 5000, "QVMZUFT", kStopped));
  run.o.push_back(Input(kEndMs, "end"));
  return run;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, InvariantTest,
    ::testing::Values(
        // ---- The service's processes ----
        InvariantCase{"RecordAfterStop", std::string(kDuplex) + "0:00:00 start\n0:10:00 stop\n" + kEnd,
                      [] {
                        Run run = Run().Start(0);
                        run.o.push_back(Input(600000, "stop"));
                        run.o.push_back(Record(605000, "QVMZUFT", kStopped));
                        run.o.push_back(Record(606000, "QVMZUFT", 0xC000040D));
                        return run;
                      },
                      {kAfterStop}},
        InvariantCase{"StopAfterTheGrace", std::string(kDuplex) + "0:00:00 start\n" + kEnd,
                      [] {
                        Run run = Run().Start(0);
                        run.o.push_back(Input(kEndMs, "end"));
                        run.o.push_back(Record(kEndMs + kStopAllowanceMs + 1, "QVMZUFT", kStopped));
                        return run;
                      },
                      {kStopLate}},

        // ---- simplex-while-redundant: a SIMPLEX timer needs a loss heard just before ----
        InvariantCase{"SimplexWithoutALoss",
                      std::string(kDuplex) + "0:00:00 start\n0:05:00 state DOD_CPUBoard 1 SYNCING\n"
                                             "0:07:00 state DOD_CPUBoard 1 DUPLEX\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 420100, 480100, kCpuBack); },
                      {kSpuriousSimplex, kSettled}},
        InvariantCase{"ADuplexReportWhileThePartnerIsNotIsALoss",
                      std::string(kDuplex) + "0:00:00 start\n0:05:00 state DOD_CPUBoard 1 SYNCING\n"
                                             "0:07:00 state DOD_CPUBoard 0 DUPLEX\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 420100, 480100, "0 DUPLEX\n1 SYNCING"); }, {}},
        InvariantCase{"AWalkAFaultMaySpoilCountsAsALoss",
                      std::string(kDuplex) + "0:00:00 start\n0:00:30 wmi-fault query\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 60100, 120100, kCpuBack); }, {}},
        InvariantCase{"AFaultAfterTheWalkCannotSpoilIt",
                      std::string(kDuplex) + "0:00:00 start\n0:01:30 wmi-fault query\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 60100, 120100, kCpuBack); }, {kSpuriousSimplex, kSettled}},
        InvariantCase{"AnUnreadableTextMayReadAsALoss",
                      std::string(kDuplex) + "0:00:00 start\n0:05:00 event-text DOD_CPUBoardStateChange garbage\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 300100, 360100, kCpuBack); }, {}},
        InvariantCase{"AnUnreadableTextOfTheOtherGroup",
                      std::string(kDuplex) + "0:00:00 start\n0:05:00 event-text DOD_IOAdapterStateChange garbage\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 300100, 360100, kCpuBack); },
                      {kSpuriousSimplex, kSettled, kOccurrence}},
        // The PCI thread's second half is every module but 10: an ExPCI loss
        // turns module 10's DUPLEX report into a PCI loss, announced and left
        // standing by the rules.
        InvariantCase{"AnExPciReportMovesThePciPairsHalf",
                      std::string(kDuplex) + kExPci +
                          "0:00:00 start\n0:05:00 state DOD_IOAdapter 13 REMOVED\n0:05:00 state DOD_IOAdapter 12 SIMPLEX\n"
                          "0:06:00 state DOD_IOAdapter 10 DUPLEX\n" + kEnd,
                      [] {
                        const std::string details = "10 DUPLEX\n11 DUPLEX\n12 SIMPLEX\n13 REMOVED";
                        return Run::Standard().Alert(2, 300100, 360100, details).Alert(1, 360100, 420100, details);
                      },
                      {}},
        InvariantCase{"AnExPciLossIsNoPciLoss",
                      std::string(kDuplex) + kExPci +
                          "0:00:00 start\n0:05:00 state DOD_IOAdapter 13 REMOVED\n0:05:00 state DOD_IOAdapter 12 SIMPLEX\n" + kEnd,
                      [] {
                        const std::string details = "10 DUPLEX\n11 DUPLEX\n12 SIMPLEX\n13 REMOVED";
                        return Run::Standard().Alert(2, 300100, 360100, details).Alert(1, 300100, 360100, details);
                      },
                      {kSpuriousSimplex, kSettled}},
        // A change while the subscription is gone is heard at the next one
        // (its timer and occurrence count from there).
        InvariantCase{"ALossInASubscriptionGap", std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kEnd,
                      [] { return LossInAGap(true); }, {}},
        InvariantCase{"ALossHeardWhenItCame", std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kEnd,
                      [] { return LossInAGap(false); }, {kSpuriousSimplex, kOccurrence}},
        InvariantCase{"AReadingHeldUpAnswersAtItsRecheck", std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kEnd,
                      [] { return LossInAGap(true, 350000); }, {}},
        InvariantCase{"AReadingThatAnsweredAtOnce", std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kEnd,
                      [] {
                        Run run = LossInAGap(true, 350000);
                        std::erase_if(run.o, [](const Observation& o) { return o.text.find("Recheck") != std::string::npos; });
                        return run;
                      },
                      {kSpuriousSimplex, kOccurrence}},
        // A walk held up may have read any states from its start to its
        // answer.
        InvariantCase{"AWalkHeldUpReadsALaterLoss", std::string(kDuplex) + kExPci + kExPciDuringTheWalk + kEnd,
                      [] { return ExPciDuringTheWalk(180000); }, {}},
        // ... also where the trace lost the walk: it waits for the failed
        // connection pending when its thread starts.
        InvariantCase{"AWalkTheTraceLostHeldUp",
                      std::string(kDuplex) + kExPci + kExPciDuringTheWalk +
                          "0:01:30 wmi-fault connect\n0:01:50 folder C:\\QOR\\QVMAlertMan\\Temp read-only\n"
                          "0:02:40 folder C:\\QOR\\QVMAlertMan\\Temp writable\n" + kEnd,
                      [] {
                        Run run = Run().Start(0).Walk(0, 60000).End(kEndMs).Alert(
                            2, 150100, 210100, "10 DUPLEX\n11 DUPLEX\n12 SIMPLEX\n13 REMOVED");
                        std::erase_if(run.o, [](const Observation& o) {
                          return o.kind == Observation::Kind::kTrace && o.t_ms >= 110000 && o.t_ms < 160000;
                        });
                        return run;
                      },
                      {}},
        InvariantCase{"AWalkOverBeforeTheLoss", std::string(kDuplex) + kExPci + kExPciDuringTheWalk + kEnd,
                      [] { return ExPciDuringTheWalk(130000); }, {kSpuriousSimplex, kSettled, kOccurrence}},

        // A timer whose start line the trace may have dropped is not judged.
        InvariantCase{"ATimerStartTheTraceLost",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss +
                          "0:04:59 folder C:\\QOR\\QVMAlertMan\\Temp read-only\n0:05:10 folder C:\\QOR\\QVMAlertMan\\Temp writable\n" + kEnd,
                      [] {
                        Run run = Run::Standard().Alert(0, 300100, 360100, kCpuLost);
                        std::erase_if(run.o, [](const Observation& o) { return o.kind == Observation::Kind::kTrace && o.t_ms == 300100; });
                        return run;
                      },
                      {}},

        // ---- occurrence-time ----
        InvariantCase{"OccurrenceFarFromAnyChange", std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kEnd,
                      [] { return FarOccurrence(); }, {kOccurrence}},
        InvariantCase{"OccurrenceWhereTheTraceMayMissAWalk",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss +
                          "0:09:55 folder C:\\QOR\\QVMAlertMan\\Temp read-only\n0:10:30 folder C:\\QOR\\QVMAlertMan\\Temp writable\n" + kEnd,
                      [] { return FarOccurrence(); }, {}},
        InvariantCase{"OccurrenceAfterTheTraceCameBack",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss +
                          "0:09:00 folder C:\\QOR\\QVMAlertMan\\Temp read-only\n0:09:50 folder C:\\QOR\\QVMAlertMan\\Temp writable\n" + kEnd,
                      [] { return FarOccurrence(); }, {kOccurrence}},

        // ---- alternation ----
        InvariantCase{"TheFlapOfTheIssueAsItWasAnnounced", std::string(kDuplex) + "0:00:00 start\n" + kPciFlap + kEnd,
                      [] { return Run::Standard().Alert(4, 359379, 360379, kPciBack).Alert(1, 360479, 420479, kPciBack); },
                      {kAlternation, kSettled}},
        InvariantCase{"TheFlapOfTheIssueUnannounced", std::string(kDuplex) + "0:00:00 start\n" + kPciFlap + kEnd,
                      [] { return Run::Standard(); }, {}},
        InvariantCase{"ASimplexAfterASimplex", std::string(kDuplex) + "0:00:00 start\n" + kTwoLosses + kEnd,
                      [] { return TwoLosses(0); }, {kAlternation}},
        InvariantCase{"ARefusedRecordMayBeMissing",
                      std::string(kDuplex) + "0:00:00 start\n" + kTwoLosses +
                          "0:10:00 event-log refuse\n0:10:05 event-log accept\n" + kEnd,
                      [] { return TwoLosses(0); }, {}},
        InvariantCase{"ARecordAfterTheRefusal",
                      std::string(kDuplex) + "0:00:00 start\n" + kTwoLosses +
                          "0:09:50 event-log refuse\n0:10:00.500 event-log accept\n" + kEnd,
                      [] { return TwoLosses(0); }, {kAlternation}},
        InvariantCase{"TheRiseAndFallOfTriplex", kTriplex + kEnd,
                      [] { return Triplex(480100); }, {}},
        InvariantCase{"ASimplexLaterThanTheFall", kTriplex + kEnd,
                      [] { return Triplex(510100); }, {kAlternation, kSpuriousSimplex, kOccurrence}},
        // A loss while the fall's SIMPLEX timer runs waits for it, then gets
        // its own timer (and its occurrence).
        InvariantCase{"ALossWaitsForThePairsTimer",
                      std::string(kTriplexMachine) + kRiseAndFall + "0:08:30 state DOD_CPUBoard 1 REMOVED\n"
                                                    "0:08:30 state DOD_CPUBoard 0 SIMPLEX\n" + kEnd,
                      [] { return LossDuringTheFall(true); }, {}},
        InvariantCase{"ALossThatWaitedForNothing",
                      std::string(kTriplexMachine) + kRiseAndFall + "0:08:30 state DOD_CPUBoard 1 REMOVED\n"
                                                    "0:08:30 state DOD_CPUBoard 0 SIMPLEX\n" + kEnd,
                      [] { return LossDuringTheFall(false); }, {kSpuriousSimplex, kOccurrence}},
        InvariantCase{"ADuplexLaterThanTheRise",
                      "module DOD_CPUBoard 0 DUPLEX\nmodule DOD_CPUBoard 1 DUPLEX\nmodule DOD_CPUBoard 2 REMOVED\n"
                      "0:00:00 start\n0:05:00 state DOD_CPUBoard 2 TRIPLEX\n" + std::string(kEnd),
                      [] { return Run::Standard().Alert(3, 330100, 331100, "0 DUPLEX\n1 DUPLEX\n2 TRIPLEX"); },
                      {kAlternation, kOccurrence}},
        // A composer held up by a slow walk writes after a later one: alerts
        // go in the order of their timers.
        InvariantCase{"AlertsInTheOrderTheirTimersRanOut",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + "0:06:10 state DOD_CPUBoard 1 DUPLEX\n0:06:10 state DOD_CPUBoard 0 DUPLEX\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 300100, 360100, 390100, kCpuLost).Alert(3, 370100, 371100, kCpuBack); },
                      {}},
        InvariantCase{"ADuplexTimerBeforeItsSimplex",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + "0:06:10 state DOD_CPUBoard 1 DUPLEX\n0:06:10 state DOD_CPUBoard 0 DUPLEX\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 370200, 372100, 390100, kCpuBack).Alert(3, 370100, 371100, kCpuBack); },
                      {kAlternation, kSettled, kSpuriousSimplex}},
        // Without the timers in the trace, their occurrence times give the
        // order.
        InvariantCase{"AlertsInTheOrderOfTheirOccurrence",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kReturnAndFolderFault + kEnd,
                      [] { return WithoutTrace(Run::Standard().Alert(0, 300100, 360100, 390100, kCpuLost).Alert(3, 370100, 371100, kCpuBack)); },
                      {}},
        InvariantCase{"ASimplexOccurringAfterTheDuplex",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kReturnAndFolderFault + kEnd,
                      [] { return WithoutTrace(Run::Standard().Alert(0, 371000, 372100, 390100, kCpuLost).Alert(3, 370100, 371100, kCpuBack)); },
                      {kAlternation, kSettled}},
        // The PCI pairs' texts are alike: the composer's timer names the pair;
        // without it in the trace, an alert may be either pair's.
        InvariantCase{"TheTimerNamesThePair", std::string(kDuplex) + kExPci + "0:00:00 start\n" + kExPciEpisode + kEnd,
                      [] { return ExPciEpisode(5); }, {}},
        InvariantCase{"AReturnOfTheOtherPair", std::string(kDuplex) + kExPci + "0:00:00 start\n" + kExPciEpisode + kEnd,
                      [] { return ExPciEpisode(4); }, {kAlternation, kSettled}},
        InvariantCase{"AnAlertWhoseTimerTheTraceMissed",
                      std::string(kDuplex) + kExPci + "0:00:00 start\n" + kExPciEpisode +
                          "0:09:59 folder C:\\QOR\\QVMAlertMan\\Temp full\n0:10:06 folder C:\\QOR\\QVMAlertMan\\Temp writable\n" + kEnd,
                      [] {
                        Run run = ExPciEpisode(4);
                        std::erase_if(run.o, [](const Observation& o) { return o.kind == Observation::Kind::kTrace && o.t_ms >= 599000 && o.t_ms <= 606000; });
                        return run;
                      },
                      {}},

        InvariantCase{"ARecordOfTheLaterComposer",
                      std::string(kDuplex) + kExPci +
                          "0:00:00 start\n0:05:00 state DOD_IOAdapter 11 REMOVED\n0:05:00 state DOD_IOAdapter 10 SIMPLEX\n"
                          "0:05:00 state DOD_IOAdapter 12 REMOVED\n0:05:00 state DOD_IOAdapter 13 SIMPLEX\n"
                          "0:05:59.900 event-log refuse\n0:06:00.150 event-log accept\n" + kEnd,
                      [] { return TwoComposersOneRecord(); }, {}},

        // ---- settled ----
        InvariantCase{"TheSlowWalkOfTheIssueAsItWasAnnounced", std::string(kSlowWalk) + "0:00:00 start\n0:05:00 end\n",
                      [] { return SlowWalk().Alert(0, 90100, 150100, kCpuBack).End(300000); },
                      {kSettled}},
        InvariantCase{"TheSlowWalkOfTheIssueUnannounced", std::string(kSlowWalk) + "0:00:00 start\n0:05:00 end\n",
                      [] { return SlowWalk().End(300000); }, {}},
        InvariantCase{"ALossLeftUnannounced", std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kEnd,
                      [] { return Run::Standard(); }, {kSettled}},
        InvariantCase{"AnAlertAtTheMomentOfItsChange",
                      std::string(kDuplex) + "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard SimplexShortThreshold dword 0\n"
                                             "0:00:00 start\n" + kCpuLoss + kEnd,
                      [] { return Run::Standard().Alert(0, 300000, 300000, 300000, kCpuLost); }, {}},
        // A process whose start record the log refused begins with its
        // monitor's start, after the old process's last lines.
        InvariantCase{"ALossAfterAnUnrecordedRestart",
                      std::string(kDuplex) + "0:00:00 start\n0:09:59 event-log refuse\n0:10:00 stop\n0:10:00 start\n"
                                             "0:10:30 event-log accept\n0:20:00 state DOD_CPUBoard 1 REMOVED\n"
                                             "0:20:00 state DOD_CPUBoard 0 SIMPLEX\n" + kEnd,
                      [] { return RestartUnrecorded(); }, {kSettled}},
        InvariantCase{"ACalmShorterThanTheTimers",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + "0:06:20 state DOD_CPUBoard 1 DUPLEX\n0:06:20 state DOD_CPUBoard 0 DUPLEX\n" + kEnd,
                      [] { return Run::Standard(); }, {}},
        InvariantCase{"ACalmJustLongerThanTheTimers",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + "0:06:23 state DOD_CPUBoard 1 DUPLEX\n0:06:23 state DOD_CPUBoard 0 DUPLEX\n" + kEnd,
                      [] { return Run::Standard(); }, {kSettled}},
        // The rules hear a loss only from a SIMPLEX report (or a DUPLEX one
        // while the other half is not DUPLEX).
        InvariantCase{"AModuleGoneWithoutASimplexReport",
                      std::string(kDuplex) + "0:00:00 start\n0:05:00 state DOD_IOAdapter 10 REMOVED\n" + kEnd,
                      [] { return Run::Standard(); }, {}},
        // ... but the hardware's word is always taken.
        InvariantCase{"AModuleGoneWithoutASimplexReportAnnounced",
                      std::string(kDuplex) + "0:00:00 start\n0:05:00 state DOD_IOAdapter 10 REMOVED\n" + kEnd,
                      [] { return Run::Standard().Alert(1, 300100, 360100, "10 REMOVED\n11 DUPLEX"); },
                      {kSpuriousSimplex}},
        InvariantCase{"AModuleGoneAndItsPartnerSimplex",
                      std::string(kDuplex) + "0:00:00 start\n0:05:00 state DOD_IOAdapter 10 REMOVED\n0:05:00 state DOD_IOAdapter 11 SIMPLEX\n" + kEnd,
                      [] { return Run::Standard(); }, {kSettled}},
        InvariantCase{"ALossWhoseTextsAFaultDropped",
                      std::string(kDuplex) + "0:00:00 start\n0:04:59 wmi-fault object-text\n" + kCpuLoss + kEnd,
                      [] { return Run::Standard(); }, {}},
        InvariantCase{"ALossAfterTheDroppedText",
                      std::string(kDuplex) + "0:00:00 start\n0:04:59 wmi-fault object-text\n0:04:59.500 state DOD_CPUBoard 1 SYNCING\n" + kCpuLoss + kEnd,
                      [] { return Run::Standard(); }, {kSettled}},
        InvariantCase{"ARefusedSimplexRecord",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + "0:05:50 event-log refuse\n0:06:10 event-log accept\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 300100, 360100, 0, ""); }, {}},
        InvariantCase{"ASimplexRecordAfterTheRefusal",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + "0:05:00 event-log refuse\n0:05:30 event-log accept\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 300100, 360100, 0, ""); }, {kSettled}},
        // A timer that finds no free composer slot drops its alert: the loss
        // stands unannounced, and its return is not announced either.
        InvariantCase{"ATimerWithoutAComposer",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss +
                          "0:10:00 state DOD_CPUBoard 1 DUPLEX\n0:10:00 state DOD_CPUBoard 0 DUPLEX\n" + kEnd,
                      [] { return Run::Standard().Line(300100, "[TimerThread 0]start Limit time = 60 sec").Line(360100, "[TimerThread 0]Create EventLogOut Faild"); },
                      {}},
        InvariantCase{"ATimerWithAComposerButNoRecord",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss +
                          "0:10:00 state DOD_CPUBoard 1 DUPLEX\n0:10:00 state DOD_CPUBoard 0 DUPLEX\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 300100, 360100, 0, ""); },
                      {kSettled}},
        // Once WMI is gone the monitor has ended: nothing is owed after it.
        InvariantCase{"TheMonitorEndsBeforeTheLossSettles",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + "0:05:30 wmi-fault next-cancelled\n" + kEnd,
                      [] { return MonitorEnds(330000); }, {}},
        // A process that stops by itself while the trace folder faults may
        // have ended its watch unseen (a failed connection).
        InvariantCase{"TheMonitorMayEndUnseen",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss +
                          "0:04:00 folder C:\\QOR\\QVMAlertMan\\Temp read-only\n0:06:30 folder C:\\QOR\\QVMAlertMan\\Temp writable\n" + kEnd,
                      [] { return Run().Start(0).Walk(0, 60000).Walk(1, 120000).Stopped(420000); }, {}},
        InvariantCase{"TheMonitorWorkedAfterTheTraceCameBack",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss +
                          "0:04:00 folder C:\\QOR\\QVMAlertMan\\Temp read-only\n0:04:30 folder C:\\QOR\\QVMAlertMan\\Temp writable\n" + kEnd,
                      [] {
                        return Run().Start(0).Walk(0, 60000).Walk(1, 120000)
                            .Line(300000, "[WMIThread 0]wms.getEvent res2 = 0")
                            .Stopped(420000);
                      },
                      {kSettled}},
        InvariantCase{"TheMonitorEndsAfterTheTraceCameBack",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss +
                          "0:06:40 folder C:\\QOR\\QVMAlertMan\\Temp read-only\n0:06:50 folder C:\\QOR\\QVMAlertMan\\Temp writable\n" + kEnd,
                      [] { return Run().Start(0).Walk(0, 60000).Walk(1, 120000).Stopped(420000); }, {kSettled}},
        InvariantCase{"TheMonitorEndsAfterTheLossSettled",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + "0:07:00 wmi-fault next-cancelled\n" + kEnd,
                      [] { return MonitorEnds(420000); }, {kSettled}},

        // ---- details ----
        InvariantCase{"DetailsShowTheStatesOfTheComposition", std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kEnd,
                      [] { return Run::Standard().Alert(0, 300100, 360100, "0 DUPLEX\n1 REMOVED\n7 DUPLEX"); },
                      {kDetails}},
        InvariantCase{"AFaultMayCutTheComposersWalkShort",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + "0:05:30 wmi-fault query\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 300100, 360100, ""); }, {}},
        InvariantCase{"AComposerAfterTheStopFlag", std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kEnd,
                      [] { return MonitorEnds(362000).Alert(0, 300100, 360100, 365000, ""); }, {}},
        InvariantCase{"AComposerBeforeTheStopFlag", std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + kEnd,
                      [] { return MonitorEnds(380000).Alert(0, 300100, 360100, 370000, ""); }, {kDetails}},
        InvariantCase{"AFaultThatOnlyDelaysTheWalk",
                      std::string(kDuplex) + "0:00:00 start\n" + kCpuLoss + "0:05:30 wmi-fault next-timeout\n" + kEnd,
                      [] { return Run::Standard().Alert(0, 300100, 360100, ""); }, {kDetails}}),
    [](const ::testing::TestParamInfo<InvariantCase>& param) { return std::string(param.param.name); });

TEST(InvariantTest, TheRunnersComplaintIsAViolation) {
  runner::Scenario scenario = runner::ParseScenario(std::string(kMachine) + "0:00:00 start\n1:00:00 end\n", "s.scn");
  std::vector<Violation> violations = CheckInvariants(scenario, {}, "the service did not stop");
  ASSERT_FALSE(violations.empty());
  EXPECT_EQ(violations.front().check, kNotStopped);
}

// ---- Shrinking ----

TEST(ExplorerShrinkTest, KeepsOnlyWhatTheFailureNeedsAndClosesTheGaps) {
  std::string text = std::string("clock 2026-12-03 10:00:00\n") + kDuplex +
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
