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
constexpr const char* kEnd = "1:00:00 end\n";
constexpr uint64_t kEndMs = 3600000;

const uint32_t kStarted = 0x40000001, kStopped = 0x40000002;

// A history: the pairs DUPLEX (the ExPCI pair too), the service started at
// 0, the timed lines and `end` at 1:00:00.
std::string Duplex(const std::string& timed) { return std::string(kDuplex) + "0:00:00 start\n" + timed + kEnd; }
std::string WithExPci(const std::string& timed) {
  return std::string(kDuplex) + kExPci + "0:00:00 start\n" + timed + kEnd;
}
// The CPU pair's loss (module 1 gone, 0 SIMPLEX) and its return at `at`.
std::string CpuLoss(const std::string& at) {
  return at + " state DOD_CPUBoard 1 REMOVED\n" + at + " state DOD_CPUBoard 0 SIMPLEX\n";
}
std::string CpuReturn(const std::string& at) {
  return at + " state DOD_CPUBoard 1 DUPLEX\n" + at + " state DOD_CPUBoard 0 DUPLEX\n";
}
const std::string kCpuLoss = CpuLoss("0:05:00");
// The trace folder in `state` from `from` to `to`; the event log refusing.
std::string TraceFolder(const std::string& state, const std::string& from, const std::string& to) {
  const std::string folder = " folder C:\\QOR\\QVMAlertMan\\Temp ";
  return from + folder + state + "\n" + to + folder + "writable\n";
}
std::string LogRefuses(const std::string& from, const std::string& to) {
  return from + " event-log refuse\n" + to + " event-log accept\n";
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

  static Run Watching() { return Run().Start(0).Walk(0, 60000).Walk(1, 120000); }
  static Run Standard() { return Watching().End(kEndMs); }
  // A scenario input, and a record of the service's own source.
  Run& In(uint64_t t, const std::string& directive) {
    Observation input;
    input.t_ms = t;
    input.directive = directive;
    o.push_back(input);
    return *this;
  }
  Run& Logged(uint64_t t, uint32_t id) {
    o.push_back(Record(t, "QVMZUFT", id));
    return *this;
  }
  Run& Start(uint64_t t) { return In(t, "start").Logged(t, kStarted).Line(t, "[ManageTimerThread]start"); }
  // The service stops by itself at `t` (no stop control), and `end` comes.
  Run& Stopped(uint64_t t) { return Logged(t, kStopped).In(kEndMs, "end"); }
  Run& End(uint64_t t) { return In(t, "end").Logged(t + 5000, kStopped); }
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

// The run without the trace lines from `from` to before `to`, which a
// folder fault dropped.
Run WithoutTrace(Run run, uint64_t from, uint64_t to) {
  std::erase_if(run.o, [&](const Observation& o) {
    return o.kind == Observation::Kind::kTrace && o.t_ms >= from && o.t_ms < to;
  });
  return run;
}

const std::string kCpuLost = "0 SIMPLEX\n1 REMOVED", kCpuBack = "0 DUPLEX\n1 DUPLEX";
const std::string kPciBack = "10 DUPLEX\n11 DUPLEX", kExPciLost = "10 DUPLEX\n11 DUPLEX\n12 SIMPLEX\n13 REMOVED";

struct InvariantCase {
  const char* name;
  std::string history;  // module lines and timed directives after kMachine
  Run run;
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
  for (const Violation& v : CheckInvariants(scenario, c.run.Done(), "")) {
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
const std::string kSlowWalk = "module DOD_CPUBoard 0 SIMPLEX\nmodule DOD_CPUBoard 1 REMOVED\n"
                              "0:00:30 wmi-fault next-timeout 1\n" +
                              CpuReturn("0:01:10") + "0:00:00 start\n0:05:00 end\n";
Run SlowWalk() { return Run().Start(0).Walk(0, 60000, 90000); }

// The TRIPLEX episode: module 2 joins at 0:05:00 (a rise, announced as
// DUPLEX), module 1 repeats DUPLEX at 0:08:00 (a fall: both halves DUPLEX
// after TRIPLEX, announced like a loss), then a real loss.
const std::string kRiseAndFall =
    "module DOD_CPUBoard 0 DUPLEX\nmodule DOD_CPUBoard 1 DUPLEX\nmodule DOD_CPUBoard 2 REMOVED\n0:00:00 start\n"
    "0:05:00 state DOD_CPUBoard 2 TRIPLEX\n0:08:00 state DOD_CPUBoard 1 DUPLEX\n";
const std::string kTriplex = kRiseAndFall + CpuLoss("0:12:00") + kEnd;
const std::string kLossDuringTheFall = kRiseAndFall + CpuLoss("0:08:30") + kEnd;
// The loss at 0:08:30 while the fall's timer runs (to 0:09:00.100, as its
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

// The CPU pair lost at 0:05:00 and back at 0:06:10, also while the trace
// folder is read-only (from 0:04:55 to 0:06:40); the return's alert, and
// the loss's written at 0:06:30.100.
const std::string kCpuFlap = kCpuLoss + CpuReturn("0:06:10");
const std::string kCpuFlapUntraced = kCpuFlap + TraceFolder("read-only", "0:04:55", "0:06:40");
Run LossAndReturn(uint64_t simplex_started, uint64_t simplex_ran_out, const std::string& details) {
  return Run::Standard().Alert(0, simplex_started, simplex_ran_out, 390100, details).Alert(3, 370100, 371100, kCpuBack);
}

// An ExPCI loss at 0:05:00 and its return at 0:10:00, the return's timer
// of index `index`.
const std::string kExPciEpisode = WithExPci(
    "0:05:00 state DOD_IOAdapter 13 REMOVED\n0:05:00 state DOD_IOAdapter 12 SIMPLEX\n"
    "0:10:00 state DOD_IOAdapter 13 DUPLEX\n0:10:00 state DOD_IOAdapter 12 DUPLEX\n");
Run ExPciEpisode(int index) {
  return Run::Standard()
      .Alert(2, 300100, 360100, kExPciLost)
      .Alert(index, 600100, 605100, "10 DUPLEX\n11 DUPLEX\n12 DUPLEX\n13 DUPLEX");
}

// A CPU loss at 0:05:00, its return at 0:10:00 (whose record may be
// missing) and a new loss at 0:10:30, announced after 20 s.
const std::string kTwoLosses = kCpuLoss + CpuReturn("0:10:00") + CpuLoss("0:10:30");
Run TwoLosses() {
  return Run::Standard()
      .Alert(0, 300100, 360100, kCpuLost)
      .Alert(3, 600100, 601100, 0, kCpuBack)
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
    "0:02:20 state DOD_IOAdapter 13 REMOVED\n0:02:20 state DOD_IOAdapter 12 SIMPLEX\n"
    "0:05:00 state DOD_IOAdapter 13 DUPLEX\n0:05:00 state DOD_IOAdapter 12 DUPLEX\n";
Run ExPciDuringTheWalk(uint64_t answered) {
  return Run().Start(0).Walk(0, 60000).Walk(1, 120000, answered).End(kEndMs).Alert(2, 180100, 240100, kExPciLost);
}

// A restart at 0:10:00 while the event log refuses records: the old
// process's late lines come after the start, the new one's monitor starts
// at 0:10:05; a CPU loss at 0:20:00 is left unannounced.
Run RestartUnrecorded() {
  return Run::Watching().In(600000, "stop").In(600000, "start")
      .Line(601000, "[ManageTimerThread]stopflg=TRUE retrun 0")
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
  return Run::Watching().Line(at, "[WMIThread 0]stopflg=TRUE retrun 0").Logged(at, 0x80000202).Stopped(at + 5000);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, InvariantTest,
    ::testing::Values(
        // ---- The service's processes ----
        InvariantCase{"RecordAfterStop", Duplex("0:10:00 stop\n"),
                      Run().Start(0).In(600000, "stop").Logged(605000, kStopped).Logged(606000, 0xC000040D),
                      {kAfterStop}},
        InvariantCase{"StopAfterTheGrace", Duplex(""),
                      Run().Start(0).In(kEndMs, "end").Logged(kEndMs + kStopAllowanceMs + 1, kStopped), {kStopLate}},

        // ---- simplex-while-redundant: a SIMPLEX timer needs a loss heard just before ----
        InvariantCase{"SimplexWithoutALoss",
                      Duplex("0:05:00 state DOD_CPUBoard 1 SYNCING\n0:07:00 state DOD_CPUBoard 1 DUPLEX\n"),
                      Run::Standard().Alert(0, 420100, 480100, kCpuBack), {kSpuriousSimplex, kSettled}},
        InvariantCase{"ADuplexReportWhileThePartnerIsNotIsALoss",
                      Duplex("0:05:00 state DOD_CPUBoard 1 SYNCING\n0:07:00 state DOD_CPUBoard 0 DUPLEX\n"),
                      Run::Standard().Alert(0, 420100, 480100, "0 DUPLEX\n1 SYNCING"), {}},
        InvariantCase{"AWalkAFaultMaySpoilCountsAsALoss", Duplex("0:00:30 wmi-fault query\n"),
                      Run::Standard().Alert(0, 60100, 120100, kCpuBack), {}},
        InvariantCase{"AFaultAfterTheWalkCannotSpoilIt", Duplex("0:01:30 wmi-fault query\n"),
                      Run::Standard().Alert(0, 60100, 120100, kCpuBack), {kSpuriousSimplex, kSettled}},
        InvariantCase{"AnUnreadableTextMayReadAsALoss", Duplex("0:05:00 event-text DOD_CPUBoardStateChange garbage\n"),
                      Run::Standard().Alert(0, 300100, 360100, kCpuBack), {}},
        InvariantCase{"AnUnreadableTextOfTheOtherGroup",
                      Duplex("0:05:00 event-text DOD_IOAdapterStateChange garbage\n"),
                      Run::Standard().Alert(0, 300100, 360100, kCpuBack), {kSpuriousSimplex, kSettled, kOccurrence}},
        // The PCI thread's second half is every module but 10: an ExPCI loss
        // turns module 10's DUPLEX report into a PCI loss, announced and left
        // standing by the rules.
        InvariantCase{"AnExPciReportMovesThePciPairsHalf",
                      WithExPci("0:05:00 state DOD_IOAdapter 13 REMOVED\n0:05:00 state DOD_IOAdapter 12 SIMPLEX\n"
                                "0:06:00 state DOD_IOAdapter 10 DUPLEX\n"),
                      Run::Standard().Alert(2, 300100, 360100, kExPciLost).Alert(1, 360100, 420100, kExPciLost), {}},
        InvariantCase{"AnExPciLossIsNoPciLoss",
                      WithExPci("0:05:00 state DOD_IOAdapter 13 REMOVED\n0:05:00 state DOD_IOAdapter 12 SIMPLEX\n"),
                      Run::Standard().Alert(2, 300100, 360100, kExPciLost).Alert(1, 300100, 360100, kExPciLost),
                      {kSpuriousSimplex, kSettled}},
        // A change while the subscription is gone is heard at the next one
        // (its timer and occurrence count from there).
        InvariantCase{"ALossInASubscriptionGap", Duplex(kCpuLoss), LossInAGap(true), {}},
        InvariantCase{"ALossHeardWhenItCame", Duplex(kCpuLoss), LossInAGap(false), {kSpuriousSimplex, kOccurrence}},
        InvariantCase{"AReadingHeldUpAnswersAtItsRecheck", Duplex(kCpuLoss), LossInAGap(true, 350000), {}},
        InvariantCase{"AReadingThatAnsweredAtOnce", Duplex(kCpuLoss),
                      WithoutTrace(LossInAGap(true, 350000), 350000, 350001), {kSpuriousSimplex, kOccurrence}},
        // A walk held up may have read any states from its start to its
        // answer ...
        InvariantCase{"AWalkHeldUpReadsALaterLoss", WithExPci(kExPciDuringTheWalk), ExPciDuringTheWalk(180000), {}},
        // ... also where the trace lost the walk: it waits for the failed
        // connection pending when its thread starts.
        InvariantCase{"AWalkTheTraceLostHeldUp",
                      WithExPci(std::string(kExPciDuringTheWalk) + "0:01:30 wmi-fault connect\n" +
                                TraceFolder("read-only", "0:01:50", "0:02:40")),
                      WithoutTrace(Run().Start(0).Walk(0, 60000).End(kEndMs).Alert(2, 150100, 210100, kExPciLost),
                                   110000, 160000),
                      {}},
        InvariantCase{"AWalkOverBeforeTheLoss", WithExPci(kExPciDuringTheWalk), ExPciDuringTheWalk(130000),
                      {kSpuriousSimplex, kSettled, kOccurrence}},
        // A timer whose start line the trace may have dropped is not judged.
        InvariantCase{"ATimerStartTheTraceLost", Duplex(kCpuLoss + TraceFolder("read-only", "0:04:59", "0:05:10")),
                      WithoutTrace(Run::Standard().Alert(0, 300100, 360100, kCpuLost), 300100, 300101), {}},

        // ---- occurrence-time ----
        InvariantCase{"OccurrenceFarFromAnyChange", Duplex(kCpuLoss), FarOccurrence(), {kOccurrence}},
        InvariantCase{"OccurrenceWhereTheTraceMayMissAWalk",
                      Duplex(kCpuLoss + TraceFolder("read-only", "0:09:55", "0:10:30")), FarOccurrence(), {}},
        InvariantCase{"OccurrenceAfterTheTraceCameBack",
                      Duplex(kCpuLoss + TraceFolder("read-only", "0:09:00", "0:09:50")), FarOccurrence(),
                      {kOccurrence}},

        // ---- alternation ----
        InvariantCase{"TheFlapOfTheIssueAsItWasAnnounced", Duplex(kPciFlap),
                      Run::Standard().Alert(4, 359379, 360379, kPciBack).Alert(1, 360479, 420479, kPciBack),
                      {kAlternation, kSettled}},
        InvariantCase{"TheFlapOfTheIssueUnannounced", Duplex(kPciFlap), Run::Standard(), {}},
        InvariantCase{"ASimplexAfterASimplex", Duplex(kTwoLosses), TwoLosses(), {kAlternation}},
        InvariantCase{"ARefusedRecordMayBeMissing", Duplex(kTwoLosses + LogRefuses("0:10:00", "0:10:05")),
                      TwoLosses(), {}},
        InvariantCase{"ARecordAfterTheRefusal", Duplex(kTwoLosses + LogRefuses("0:09:50", "0:10:00.500")),
                      TwoLosses(), {kAlternation}},
        InvariantCase{"TheRiseAndFallOfTriplex", kTriplex, Triplex(480100), {}},
        InvariantCase{"ASimplexLaterThanTheFall", kTriplex, Triplex(510100),
                      {kAlternation, kSpuriousSimplex, kOccurrence}},
        // A loss while the fall's SIMPLEX timer runs waits for it, then gets
        // its own timer (and its occurrence).
        InvariantCase{"ALossWaitsForThePairsTimer", kLossDuringTheFall, LossDuringTheFall(true), {}},
        InvariantCase{"ALossThatWaitedForNothing", kLossDuringTheFall, LossDuringTheFall(false),
                      {kSpuriousSimplex, kOccurrence}},
        InvariantCase{"ADuplexLaterThanTheRise",
                      "module DOD_CPUBoard 0 DUPLEX\nmodule DOD_CPUBoard 1 DUPLEX\nmodule DOD_CPUBoard 2 REMOVED\n"
                      "0:00:00 start\n0:05:00 state DOD_CPUBoard 2 TRIPLEX\n" + std::string(kEnd),
                      Run::Standard().Alert(3, 330100, 331100, "0 DUPLEX\n1 DUPLEX\n2 TRIPLEX"),
                      {kAlternation, kOccurrence}},
        // A composer held up by a slow walk writes after a later one: alerts
        // go in the order of their timers ...
        InvariantCase{"AlertsInTheOrderTheirTimersRanOut", Duplex(kCpuFlap), LossAndReturn(300100, 360100, kCpuLost),
                      {}},
        InvariantCase{"ADuplexTimerBeforeItsSimplex", Duplex(kCpuFlap), LossAndReturn(370200, 372100, kCpuBack),
                      {kAlternation, kSettled, kSpuriousSimplex}},
        // ... and without the timers in the trace, their occurrence times.
        InvariantCase{"AlertsInTheOrderOfTheirOccurrence", Duplex(kCpuFlapUntraced),
                      WithoutTrace(LossAndReturn(300100, 360100, kCpuLost), 295000, 400000), {}},
        InvariantCase{"ASimplexOccurringAfterTheDuplex", Duplex(kCpuFlapUntraced),
                      WithoutTrace(LossAndReturn(371000, 372100, kCpuLost), 295000, 400000), {kAlternation, kSettled}},
        // The PCI pairs' texts are alike: the composer's timer names the pair;
        // without it in the trace, an alert may be either pair's.
        InvariantCase{"TheTimerNamesThePair", kExPciEpisode, ExPciEpisode(5), {}},
        InvariantCase{"AReturnOfTheOtherPair", kExPciEpisode, ExPciEpisode(4), {kAlternation, kSettled}},
        InvariantCase{"AnAlertWhoseTimerTheTraceMissed", kExPciEpisode + TraceFolder("full", "0:09:59", "0:10:06"),
                      WithoutTrace(ExPciEpisode(4), 599000, 606001), {}},
        // The PCI and ExPCI pairs lost at 0:05:00, their timers started in the
        // same second; the ExPCI composer's record refused, the PCI
        // composer's written at 0:06:00.300.
        InvariantCase{"ARecordOfTheLaterComposer",
                      WithExPci("0:05:00 state DOD_IOAdapter 11 REMOVED\n0:05:00 state DOD_IOAdapter 10 SIMPLEX\n"
                                "0:05:00 state DOD_IOAdapter 12 REMOVED\n0:05:00 state DOD_IOAdapter 13 SIMPLEX\n" +
                                LogRefuses("0:05:59.900", "0:06:00.150")),
                      Run::Standard().Alert(2, 300100, 360100, 0, "").Alert(
                          1, 300200, 360200, 360300, "10 SIMPLEX\n11 REMOVED\n12 REMOVED\n13 SIMPLEX"),
                      {}},

        // ---- settled ----
        InvariantCase{"TheSlowWalkOfTheIssueAsItWasAnnounced", kSlowWalk,
                      SlowWalk().Alert(0, 90100, 150100, kCpuBack).End(300000), {kSettled}},
        InvariantCase{"TheSlowWalkOfTheIssueUnannounced", kSlowWalk, SlowWalk().End(300000), {}},
        InvariantCase{"ALossLeftUnannounced", Duplex(kCpuLoss), Run::Standard(), {kSettled}},
        InvariantCase{"AnAlertAtTheMomentOfItsChange",
                      "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard SimplexShortThreshold dword 0\n" +
                          Duplex(kCpuLoss),
                      Run::Standard().Alert(0, 300000, 300000, 300000, kCpuLost), {}},
        // A process whose start record the log refused begins with its
        // monitor's start, after the old process's last lines.
        InvariantCase{"ALossAfterAnUnrecordedRestart",
                      Duplex("0:09:59 event-log refuse\n0:10:00 stop\n0:10:00 start\n0:10:30 event-log accept\n" +
                             CpuLoss("0:20:00")),
                      RestartUnrecorded(), {kSettled}},
        InvariantCase{"ACalmShorterThanTheTimers", Duplex(kCpuLoss + CpuReturn("0:06:20")), Run::Standard(), {}},
        InvariantCase{"ACalmJustLongerThanTheTimers", Duplex(kCpuLoss + CpuReturn("0:06:23")), Run::Standard(),
                      {kSettled}},
        // The rules hear a loss only from a SIMPLEX report (or a DUPLEX one
        // while the other half is not DUPLEX) ...
        InvariantCase{"AModuleGoneWithoutASimplexReport", Duplex("0:05:00 state DOD_IOAdapter 10 REMOVED\n"),
                      Run::Standard(), {}},
        // ... but the hardware's word is always taken.
        InvariantCase{"AModuleGoneWithoutASimplexReportAnnounced", Duplex("0:05:00 state DOD_IOAdapter 10 REMOVED\n"),
                      Run::Standard().Alert(1, 300100, 360100, "10 REMOVED\n11 DUPLEX"), {kSpuriousSimplex}},
        InvariantCase{"AModuleGoneAndItsPartnerSimplex",
                      Duplex("0:05:00 state DOD_IOAdapter 10 REMOVED\n0:05:00 state DOD_IOAdapter 11 SIMPLEX\n"),
                      Run::Standard(), {kSettled}},
        InvariantCase{"ALossWhoseTextsAFaultDropped", Duplex("0:04:59 wmi-fault object-text\n" + kCpuLoss),
                      Run::Standard(), {}},
        InvariantCase{"ALossAfterTheDroppedText",
                      Duplex("0:04:59 wmi-fault object-text\n0:04:59.500 state DOD_CPUBoard 1 SYNCING\n" + kCpuLoss),
                      Run::Standard(), {kSettled}},
        InvariantCase{"ARefusedSimplexRecord", Duplex(kCpuLoss + LogRefuses("0:05:50", "0:06:10")),
                      Run::Standard().Alert(0, 300100, 360100, 0, ""), {}},
        InvariantCase{"ASimplexRecordAfterTheRefusal", Duplex(kCpuLoss + LogRefuses("0:05:00", "0:05:30")),
                      Run::Standard().Alert(0, 300100, 360100, 0, ""), {kSettled}},
        // A timer that finds no free composer slot drops its alert: the loss
        // stands unannounced, and its return is not announced either.
        InvariantCase{"ATimerWithoutAComposer", Duplex(kCpuLoss + CpuReturn("0:10:00")),
                      Run::Standard()
                          .Line(300100, "[TimerThread 0]start Limit time = 60 sec")
                          .Line(360100, "[TimerThread 0]Create EventLogOut Faild"),
                      {}},
        InvariantCase{"ATimerWithAComposerButNoRecord", Duplex(kCpuLoss + CpuReturn("0:10:00")),
                      Run::Standard().Alert(0, 300100, 360100, 0, ""), {kSettled}},
        // Once WMI is gone the monitor has ended: nothing is owed after it.
        InvariantCase{"TheMonitorEndsBeforeTheLossSettles", Duplex(kCpuLoss + "0:05:30 wmi-fault next-cancelled\n"),
                      MonitorEnds(330000), {}},
        InvariantCase{"TheMonitorEndsAfterTheLossSettled", Duplex(kCpuLoss + "0:07:00 wmi-fault next-cancelled\n"),
                      MonitorEnds(420000), {kSettled}},
        // A process that stops by itself while the trace folder faults may
        // have ended its watch unseen (a failed connection).
        InvariantCase{"TheMonitorMayEndUnseen", Duplex(kCpuLoss + TraceFolder("read-only", "0:04:00", "0:06:30")),
                      Run::Watching().Stopped(420000), {}},
        InvariantCase{"TheMonitorWorkedAfterTheTraceCameBack",
                      Duplex(kCpuLoss + TraceFolder("read-only", "0:04:00", "0:04:30")),
                      Run::Watching().Line(300000, "[WMIThread 0]wms.getEvent res2 = 0").Stopped(420000), {kSettled}},
        InvariantCase{"TheMonitorEndsAfterTheTraceCameBack",
                      Duplex(kCpuLoss + TraceFolder("read-only", "0:06:40", "0:06:50")),
                      Run::Watching().Stopped(420000), {kSettled}},

        // ---- details ----
        InvariantCase{"DetailsShowTheStatesOfTheComposition", Duplex(kCpuLoss),
                      Run::Standard().Alert(0, 300100, 360100, "0 DUPLEX\n1 REMOVED\n7 DUPLEX"), {kDetails}},
        InvariantCase{"AFaultMayCutTheComposersWalkShort", Duplex(kCpuLoss + "0:05:30 wmi-fault query\n"),
                      Run::Standard().Alert(0, 300100, 360100, ""), {}},
        InvariantCase{"AComposerAfterTheStopFlag", Duplex(kCpuLoss),
                      MonitorEnds(362000).Alert(0, 300100, 360100, 365000, ""), {}},
        InvariantCase{"AComposerBeforeTheStopFlag", Duplex(kCpuLoss),
                      MonitorEnds(380000).Alert(0, 300100, 360100, 370000, ""), {kDetails}},
        InvariantCase{"AFaultThatOnlyDelaysTheWalk", Duplex(kCpuLoss + "0:05:30 wmi-fault next-timeout\n"),
                      Run::Standard().Alert(0, 300100, 360100, ""), {kDetails}}),
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
