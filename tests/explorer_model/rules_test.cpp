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
                {{40 * kMin + 100, kCpu, kSimp, 10 * kMin}}}),
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
