// The model on the worked examples of the alert rules: each scenario with
// a run the rules give (accepted) and one they forbid (reported).

#include "explorer/model/rules.h"

#include <gtest/gtest.h>

#include "explorer/model.h"
#include "explorer/model/alert_text.h"
#include "explorer/model/setting.h"

namespace fenra::explorer {
namespace {

constexpr int64_t kS = 1000, kMin = 60 * kS;

struct Alert {
  int64_t t;
  PairId pair;
  AlertKind kind;
  int64_t occurrence;
  int process = 0;
};

struct Example {
  const char* name;
  const char* scenario;  // after a common head: generation 0, no start-up delay
  std::vector<Alert> given;
  std::vector<Alert> forbidden;
};

std::vector<ObservedAlert> Observe(const runner::Scenario& scenario, const std::vector<Alert>& alerts) {
  model::Setting setting = model::ReadSetting(scenario);
  std::vector<ObservedAlert> out;
  for (const Alert& a : alerts) {
    bool simplex = a.kind == AlertKind::kSimplex;
    out.push_back({static_cast<uint64_t>(a.t), a.process, a.pair, a.kind,
                   model::AlertText(setting, a.pair == PairId::kCpu ? 0 : 1, simplex, a.occurrence, a.t, a.t)});
  }
  return out;
}

void PrintTo(const Example& example, std::ostream* os) { *os << example.name; }

class Rules : public testing::TestWithParam<Example> {};

TEST_P(Rules, GivenRunAgreesForbiddenRunDoesNot) {
  std::string text = std::string(
                         "clock 2026-12-03 10:00:00\n"
                         "registry HKLM\\SOFTWARE\\QOR\\Trelvane TrelvaneVersion sz 1.1\n"
                         "ini FENRA.ini MODE SIMPLEX_FILTER_TIME 0\n") +
                     GetParam().scenario;
  runner::Scenario scenario = runner::ParseScenario(text, GetParam().name);
  Prediction prediction = Predict(scenario);
  std::string description;
  for (const std::string& line : Describe(prediction)) description += "\n  " + line;
  for (const Disagreement& d : Compare(prediction, Observe(scenario, GetParam().given)))
    ADD_FAILURE() << d.what << description;
  EXPECT_FALSE(Compare(prediction, Observe(scenario, GetParam().forbidden)).empty()) << description;
}

// CPU modules 0 and 1, PCI modules 10 and 11, all DUPLEX.
#define PAIRS                                                    \
  "module DOD_CPUBoard 0 DUPLEX\nmodule DOD_CPUBoard 1 DUPLEX\n" \
  "module DOD_IOAdapter 10 DUPLEX\nmodule DOD_IOAdapter 11 DUPLEX\n"

#define CPU_1_MIN "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard SimplexShortThreshold dword 1\n"

const AlertKind kSimp = AlertKind::kSimplex, kDup = AlertKind::kDuplex;
const PairId kCpu = PairId::kCpu, kPci = PairId::kPci;

INSTANTIATE_TEST_SUITE_P(
    Examples, Rules,
    testing::Values(
        // A CPU module pulled at 0:10 (the CPU thread watches from 0:01): the
        // SIMPLEX alert after the 30-minute threshold, naming 0:10.
        Example{"pulled",
                PAIRS "0:00:00 start\n0:10:00 state DOD_CPUBoard 1 REMOVED\n0:10:00 state DOD_CPUBoard 0 SIMPLEX\n"
                      "1:00:00 end\n",
                {{40 * kMin + 200, kCpu, kSimp, 10 * kMin}},
                {{40 * kMin + 3 * kS, kCpu, kSimp, 10 * kMin}}},
        // A SimplexDate 10 minutes old, long threshold 120: the alert after 20 s.
        Example{"recent",
                PAIRS "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard SimplexDate sz 202612031000\n"
                      "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard SimplexLongThreshold dword 120\n"
                      "0:00:00 start\n0:10:00 state DOD_CPUBoard 0 SIMPLEX\n0:20:00 end\n",
                {{10 * kMin + 20100, kCpu, kSimp, 10 * kMin}},
                {{40 * kMin + 100, kCpu, kSimp, 10 * kMin}}},
        // A PCI flap of a minute: the DUPLEX timer waits until 5 s before
        // the SIMPLEX deadline and cancels it; no alert.
        Example{"pci flap",
                PAIRS "0:00:00 start\n0:10:00 state DOD_IOAdapter 10 SIMPLEX\n0:11:00 state DOD_IOAdapter 10 DUPLEX\n"
                      "0:30:00 end\n",
                {},
                {{15 * kMin + 100, kPci, kSimp, 10 * kMin}}},
        // Back 1.5 s before the deadline: the SIMPLEX alert, then the DUPLEX
        // one 5 s after the return.
        Example{"late return",
                PAIRS "0:00:00 start\n0:10:00 state DOD_CPUBoard 0 SIMPLEX\n0:39:58.600 state DOD_CPUBoard 0 DUPLEX\n"
                      "0:45:00 end\n",
                {{40 * kMin + 100, kCpu, kSimp, 10 * kMin}, {40 * kMin + 3700, kCpu, kDup, 40 * kMin - 1300}},
                {{40 * kMin + 100, kCpu, kSimp, 10 * kMin}}},
        // Three modules to two is announced as a loss, back to three as a
        // return.
        Example{"triplex",
                "module DOD_CPUBoard 0 TRIPLEX\nmodule DOD_CPUBoard 1 TRIPLEX\nmodule DOD_CPUBoard 2 TRIPLEX\n"
                "0:00:00 start\n0:10:00 state DOD_CPUBoard 2 REMOVED\n0:10:00 state DOD_CPUBoard 0 SIMPLEX\n"
                "0:50:00 state DOD_CPUBoard 2 TRIPLEX\n0:50:00 state DOD_CPUBoard 0 TRIPLEX\n1:00:00 end\n",
                {{40 * kMin + 200, kCpu, kSimp, 10 * kMin}, {50 * kMin + 1100, kCpu, kDup, 50 * kMin}},
                {{40 * kMin + 200, kCpu, kSimp, 10 * kMin}}},
        // A short threshold beyond 2^31 ms runs out once, with its real
        // occurrence time (and not again on the restart of a timer).
        Example{"beyond 2^31 ms",
                PAIRS "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\CpuBoard SimplexShortThreshold dword 40000\n"
                      "0:00:00 start\n0:10:00 state DOD_CPUBoard 0 SIMPLEX\n700:00:00 end\n",
                {{40010 * kMin + 100, kCpu, kSimp, 10 * kMin}},
                {{40010 * kMin + 100, kCpu, kSimp, 10 * kMin}, {40010 * kMin + 20100, kCpu, kSimp, 40010 * kMin}}},
        // An event whose text cannot be read changes no pair flag: module 1
        // syncing, an unreadable event, module 1 back: no alert.
        Example{"unreadable text",
                PAIRS "0:00:00 start\n0:05:00 state DOD_CPUBoard 1 SYNCING\n0:05:59 wmi-fault object-text\n"
                      "0:06:00 state DOD_CPUBoard 0 DUPLEX\n0:07:00 state DOD_CPUBoard 1 DUPLEX\n0:40:00 end\n",
                {},
                {{37 * kMin + 100, kCpu, kSimp, 7 * kMin}}},
        // The event log refusing when the alert is due: it is lost.
        Example{"log refuses",
                PAIRS "0:00:00 start\n0:10:00 state DOD_CPUBoard 0 SIMPLEX\n0:39:00 event-log refuse\n1:00:00 end\n",
                {},
                {{40 * kMin + 100, kCpu, kSimp, 10 * kMin}}},
        // A stop before the deadline: no alert; the restarted service's walk
        // finds the pair SIMPLEX, and the stored SimplexDate gives 20 s.
        Example{"restart",
                PAIRS "0:00:00 start\n0:10:00 state DOD_CPUBoard 0 SIMPLEX\n0:20:00 stop\n0:21:00 start\n"
                      "0:30:00 end\n",
                {{22 * kMin + 20 * kS, kCpu, kSimp, 22 * kMin, 1}},
                {{40 * kMin + 100, kCpu, kSimp, 10 * kMin}}},
        // The start-up walk (0:01) waits out a time-out and the thread
        // subscribes at 0:01:30; the return at 0:01:10 is seen by the
        // re-read then: a flap, no alert.
        Example{"slow walk, return",
                CPU_1_MIN "module DOD_CPUBoard 0 SIMPLEX\nmodule DOD_CPUBoard 1 REMOVED\n0:00:00 start\n"
                          "0:00:30 wmi-fault next-timeout\n0:01:10 state DOD_CPUBoard 1 DUPLEX\n"
                          "0:01:10 state DOD_CPUBoard 0 DUPLEX\n0:05:00 end\n",
                {},
                {{2 * kMin + 30 * kS + 200, kCpu, kSimp, kMin + 30 * kS}}},
        // The other way: a loss before the subscription is announced, its
        // timer counted from the subscription.
        Example{"slow walk, loss",
                CPU_1_MIN PAIRS "0:00:00 start\n0:00:30 wmi-fault next-timeout\n0:01:10 state DOD_CPUBoard 1 REMOVED\n"
                                "0:01:10 state DOD_CPUBoard 0 SIMPLEX\n0:08:00 end\n",
                {{2 * kMin + 30 * kS + 200, kCpu, kSimp, kMin + 30 * kS}},
                {}},
        // A walk that raises finds no states (CPU: SIMPLEX); the re-read
        // after the subscription finds both modules DUPLEX: no alert.
        Example{"walk raises",
                CPU_1_MIN PAIRS "0:00:00 start\n0:00:30 wmi-fault next-throws\n0:05:00 end\n",
                {},
                {{2 * kMin + 200, kCpu, kSimp, kMin}}},
        // The thread is busy with a loss when its wait raises: a return and
        // a loss again, queued behind it, are lost with the subscription and
        // collapse into the states read anew, as they were: the first
        // loss's timer runs on.
        Example{"wait raises",
                CPU_1_MIN PAIRS "0:00:00 start\n0:01:30 state DOD_CPUBoard 1 REMOVED\n0:01:30 state DOD_CPUBoard 0 SIMPLEX\n"
                                "0:01:30.050 state DOD_CPUBoard 1 DUPLEX\n0:01:30.050 state DOD_CPUBoard 0 DUPLEX\n"
                                "0:01:30.060 state DOD_CPUBoard 1 REMOVED\n0:01:30.060 state DOD_CPUBoard 0 SIMPLEX\n"
                                "0:01:30.150 wmi-fault next-throws\n0:05:00 end\n",
                {{2 * kMin + 30 * kS + 300, kCpu, kSimp, kMin + 30 * kS}},
                {{kMin + 51 * kS, kCpu, kSimp, kMin + 31 * kS}}},
        // A cancelled call stops the monitor: the loss is not announced.
        Example{"call cancelled",
                CPU_1_MIN PAIRS "0:00:00 start\n0:05:00 state DOD_CPUBoard 1 REMOVED\n0:05:00 state DOD_CPUBoard 0 SIMPLEX\n"
                                "0:05:30 wmi-fault next-cancelled\n0:10:00 end\n",
                {},
                {{6 * kMin + 200, kCpu, kSimp, 5 * kMin}}},
        // A PCI flap: the modules swap SIMPLEX and REMOVED, come back, one
        // says ONLINE, both DUPLEX again. Neither alert, whenever the
        // manager collects the cancelled SIMPLEX timer.
        Example{"pci flap with swap",
                "clock 2026-07-27 11:27:33\n"
                "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\PciBoard SimplexShortThreshold dword 1\n"
                "registry HKLM\\SOFTWARE\\QOR\\QVMAgent\\FT\\PciBoard SimplexLongThreshold dword 1\n" PAIRS
                "0:00:00 start\n0:05:03.469 state DOD_IOAdapter 11 SIMPLEX\n0:05:03.469 state DOD_IOAdapter 10 REMOVED\n"
                "0:05:05.538 state DOD_IOAdapter 11 REMOVED\n0:05:05.538 state DOD_IOAdapter 10 SIMPLEX\n"
                "0:05:08.673 state DOD_IOAdapter 11 DUPLEX\n0:05:10.664 state DOD_IOAdapter 10 DUPLEX\n"
                "0:05:55.038 state DOD_IOAdapter 11 ONLINE\n0:05:57.279 state DOD_IOAdapter 10 DUPLEX\n"
                "0:05:58.689 state DOD_IOAdapter 11 DUPLEX\n0:20:00 end\n",
                {},
                {{6 * kMin + 379, kPci, kDup, 5 * kMin + 59 * kS}, {7 * kMin + 479, kPci, kSimp, 6 * kMin}}},
        // A third CPU module joins two redundant ones (announced as DUPLEX)
        // and leaves; the first DUPLEX report after it finds both flags
        // set: the fall from three to two, announced as a loss.
        Example{"triplex to duplex",
                CPU_1_MIN "module DOD_CPUBoard 0 DUPLEX\nmodule DOD_CPUBoard 1 DUPLEX\nmodule DOD_CPUBoard 2 REMOVED\n"
                          "0:00:00 start\n0:05:00 state DOD_CPUBoard 2 TRIPLEX\n0:10:00 state DOD_CPUBoard 2 REMOVED\n"
                          "0:10:01 state DOD_CPUBoard 1 DUPLEX\n0:10:02 state DOD_CPUBoard 0 DUPLEX\n0:15:00 end\n",
                {{5 * kMin + 1100, kCpu, kDup, 5 * kMin}, {11 * kMin + 1200, kCpu, kSimp, 10 * kMin + kS}},
                {{5 * kMin + 1100, kCpu, kDup, 5 * kMin}}}),
    [](const testing::TestParamInfo<Example>& param) {
      std::string name = param.param.name;
      for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

// The age of the stored SIMPLEX start on the calendar: strictly less than
// the threshold (a signed number), month ends and leap days as they are; a
// stamp naming no real date is none.
TEST(RecentSimplex, FollowsTheDigitWiseSum) {
  struct Row {
    const char *previous, *present;
    uint32_t threshold;
    int result;
  } rows[] = {
      {"202401021530", "202401021630", 60, 0},          {"202401021531", "202401021630", 60, 1},
      {"202401011000", "202401031000", 120, 0},         {"202401311000", "202402010900", 1381, 1},
      {"202401311000", "202402010900", 1380, 0},        {"202402291000", "202403011000", 1441, 1},
      {"202402011200", "202401311000", 120, -1},        {"202402301000", "202403011000", 129600, 0},
      {"202401011000", "202401011000", 0x80000000u, 0},
  };
  for (const Row& row : rows)
    EXPECT_EQ(model::RecentSimplex(row.previous, row.present, row.threshold), row.result)
        << row.previous << " -> " << row.present << " within " << row.threshold;
}

// A record belongs to the process that wrote it, also when the next start
// came while it was still stopping (that start waits for its end).
TEST(ReadAlerts, TellsPairAndStartFromTheRecords) {
  runner::Scenario scenario = runner::ParseScenario("0:00:00 start\n0:01:00 stop\n0:01:02 start\n0:03:00 end\n", "r");
  auto event = [](uint64_t t, uint32_t id, const char* text) {
    runner::Observation o;
    o.t_ms = t, o.kind = runner::Observation::Kind::kEvent, o.source = "QVMFTMarvix", o.event_id = id;
    o.strings = {text};
    return o;
  };
  runner::Observation other = event(5, 0x40000001, "CPU");
  other.source = "QVMZUFT";
  std::vector<ObservedAlert> alerts =
      ReadAlerts(scenario, {other, event(64000, 0x80000802, "CPU Module changed"),
                            event(130000, 0x40000801, "PCIモジュールが冗長状態です。")});
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_EQ(alerts[0].pair, PairId::kCpu);
  EXPECT_EQ(alerts[0].kind, AlertKind::kSimplex);
  EXPECT_EQ(alerts[0].process, 0);
  EXPECT_EQ(alerts[1].pair, PairId::kPci);
  EXPECT_EQ(alerts[1].kind, AlertKind::kDuplex);
  EXPECT_EQ(alerts[1].process, 1);
}

}  // namespace
}  // namespace fenra::explorer
