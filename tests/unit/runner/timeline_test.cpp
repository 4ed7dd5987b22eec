// The picture of a run: each timer's bar and hover text say which rule gave
// its limit and what ended it; labels keep clear of the alerts' lines and
// of each other; a pair's row follows its monitor's own lines only, and the
// check that holds a picture to its run finds a row or labels that do not.
// Real runs are drawn by timeline_check.sh, and every scenario's picture is
// checked by fenra_scenario_check.

#include "runner/timeline.h"

#include <gtest/gtest.h>

#include <regex>

#include "diagnostics/event_ids.h"
#include "runner/timeline_check.h"

namespace fenra::runner {
namespace {

Observation Trace(uint64_t t_ms, const std::string& text) {
  Observation o;
  o.t_ms = t_ms;
  o.kind = Observation::Kind::kTrace;
  o.text = "2026/12/03 08:00'00\"000 " + text;  // the stamp is not read
  return o;
}

Observation Alert(uint64_t t_ms, const std::string& text = "CPU Module changed to SIMPLEX state.") {
  Observation o;
  o.t_ms = t_ms;
  o.kind = Observation::Kind::kEvent;
  o.source = "QVMFTMarvix";
  o.event_id = EVID_SIMPLEX_ALERT;
  o.type = 2;
  o.strings = {text};
  return o;
}

std::vector<std::string> Matches(const std::string& svg, const std::string& pattern) {
  std::vector<std::string> found;
  std::regex re(pattern);
  for (std::sregex_iterator it(svg.begin(), svg.end(), re), end; it != end; ++it) found.push_back((*it)[1]);
  return found;
}

// A PCI DUPLEX timer cut short by its SIMPLEX partner says so, and the
// SIMPLEX timer it cancels that it was; a CPU one whose partner is about to
// run out says why it waits 5 s.
TEST(TimelineTest, TimersTellTheirRuleAndTheirEnd) {
  Scenario scenario;
  std::vector<Observation> run = {
      Trace(0, "[TimerThread 1]start Limit time = 300 sec"),
      Trace(60000, "[TimerThread 4]start Limit time = 235 sec"),
      Trace(295000, "[TimerThread 4]time out  Limit time = 235 sec"),
      Trace(295000, "[TimerThread 4][PCI] DUP->SIMP->DUP"),
      Trace(295000, "[TimerThread 4][PCI] StopTimer(1)"),
      Trace(296000, "[TimerThread 1]stop  timer cancel"),
      Trace(400000, "[TimerThread 0]start Limit time = 1800 sec"),
      Trace(2198500, "[TimerThread 3]start Limit time = 5 sec"),
  };
  std::string titles;
  for (const std::string& title :
       Matches(RenderTimeline(scenario, run), R"re(<rect class="timer"[^>]*><title>([^<]*)</title>)re"))
    titles += title + "\n--\n";
  EXPECT_NE(titles.find("Limit 235 s: it runs out 5 s before its SIMPLEX timer would"), std::string::npos) << titles;
  EXPECT_NE(titles.find("the loss it answered was never announced (DUP-&gt;SIMP-&gt;DUP)"), std::string::npos) << titles;
  EXPECT_NE(titles.find("Cancelled by the DUPLEX timer at 0:04:56.000"), std::string::npos) << titles;
  EXPECT_NE(titles.find("Limit 5 s: its SIMPLEX timer runs out within 2 s"), std::string::npos) << titles;
  // No version line: the unknown version's own defaults (30 min).
  EXPECT_NE(titles.find("short threshold of 30 min, the default for version unknown"), std::string::npos) << titles;
  EXPECT_NE(titles.find("Still running when the run ended"), std::string::npos) << titles;
}

// No bar label runs under an alert's line, the shortest spell still shows,
// and alert labels close together stand apart.
TEST(TimelineTest, LabelsKeepClearOfAlertLinesAndOfEachOther) {
  Scenario scenario;
  std::vector<Observation> run = {Trace(0, "[TimerThread 0]start Limit time = 3600 sec")};
  for (uint64_t t = 600000; t < 3600000; t += 600000) run.push_back(Alert(t));
  for (uint64_t t = 3601000; t < 3604000; t += 1000) run.push_back(Alert(t, "PCI Module changed to DUPLEX state."));
  run.push_back(Trace(3600000, "[TimerThread 0]time out  Limit time = 3600 sec"));
  run.push_back(Trace(7200000, "[TimerThread 1]start Limit time = 1 sec"));
  run.push_back(Trace(7200100, "[TimerThread 1]stop  timer cancel"));
  std::string svg = RenderTimeline(scenario, run);
  std::vector<double> lines;
  for (const std::string& x : Matches(svg, R"re(<g class="alert"><title>[^<]*</title><line x1="([0-9.]+)")re"))
    lines.push_back(std::stod(x));
  ASSERT_EQ(lines.size(), 8u);
  std::regex label(R"re(<text x="([0-9.]+)"[^>]*class="label"[^>]*>([^<]*)</text>)re");
  int labels = 0;
  for (std::sregex_iterator it(svg.begin(), svg.end(), label), end; it != end; ++it, ++labels) {
    double from = std::stod((*it)[1]), to = from + EstimatedTextWidth((*it)[2].str(), 11);
    for (double x : lines) EXPECT_FALSE(x > from - 1 && x < to + 1) << (*it)[2] << " at " << from << " crosses " << x;
  }
  EXPECT_GT(labels, 0);
  for (const std::string& width : Matches(svg, R"re(<rect class="timer" x="[0-9.]+" y="[0-9]+" width="([0-9.]+)")re"))
    EXPECT_GE(std::stod(width), 6.0);
  EXPECT_EQ(CheckTimeline(scenario, run, svg), std::vector<std::string>{});
}

// The status lines an alert's composer writes ("  (PCI) --> DUPLEX") are
// not the monitor's: the pair stays as its WMI thread's lines left it. The
// check reads the picture's rows back and finds a row, or labels, that
// disagree.
TEST(TimelineTest, PairRowsFollowTheMonitorsOwnLinesAndTheCheckSeesThem) {
  Scenario scenario;
  std::vector<Observation> run = {
      Trace(60000, "[WMIThread 1]start"),
      Trace(60000, "[WMIThread 1]GetStatus nRtn = 7"),
      Trace(60000, "  (PCI) --> SIMPLEX DUPLEX"),
      Trace(120000, "  (PCI 10) --> DUPLEX"),
      Trace(120000, "[WMIThread 1](PCI) --> DUPLEX DUPLEX"),
      Trace(420000, "  (PCI) --> DUPLEX"),
      Trace(420000, "  (PCI) --> SIMPLEX DUPLEX"),
      Alert(420000, "PCI Module changed to DUPLEX state."),
  };
  std::string svg = RenderTimeline(scenario, run);
  std::string row = svg.substr(svg.find("data-pair=\"PCI\""));
  row = row.substr(0, row.find("</g>"));
  EXPECT_EQ(Matches(row, R"re(data-state="(\w+" data-from="\d+)")re"),
            (std::vector<std::string>{R"(SIMPLEX" data-from="60000)", R"(DUPLEX" data-from="120000)"}));
  EXPECT_EQ(CheckTimeline(scenario, run, svg), std::vector<std::string>{});

  std::string wrong = std::regex_replace(svg, std::regex(R"re(data-state="DUPLEX" data-from="120000")re"),
                                         R"re(data-state="SIMPLEX" data-from="120000")re");
  std::vector<std::string> problems = CheckTimeline(scenario, run, wrong);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("PCI pair: the picture shows SIMPLEX from 0:02:00.000"), std::string::npos) << problems[0];

  std::string crowded = std::regex_replace(
      svg, std::regex("</svg>"),
      R"re(<text x="300" y="20" font-size="11">one</text><text x="310" y="22" font-size="11">two</text></svg>)re");
  problems = CheckTimeline(scenario, run, crowded);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("labels overlap: \"one\""), std::string::npos) << problems[0];
}

}  // namespace
}  // namespace fenra::runner
