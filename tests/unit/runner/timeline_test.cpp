// The picture of a run: each timer's bar carries its own trace lines and
// says which rule gave its limit; labels keep clear of the alerts' lines.

#include "runner/timeline.h"

#include <gtest/gtest.h>

#include <regex>

#include "diagnostics/event_ids.h"

namespace fenra::runner {
namespace {

Observation Trace(uint64_t t_ms, const std::string& text) {
  Observation o;
  o.t_ms = t_ms;
  o.kind = Observation::Kind::kTrace;
  o.text = "2026/12/03 08:00'00\"000 " + text;  // the stamp is not read
  return o;
}

Observation Alert(uint64_t t_ms) {
  Observation o;
  o.t_ms = t_ms;
  o.kind = Observation::Kind::kEvent;
  o.source = "QVMFTMarvix";
  o.event_id = EVID_SIMPLEX_ALERT;
  o.type = 2;
  o.strings = {"CPU Module changed to SIMPLEX state."};
  return o;
}

// Each timer bar's hover text, by the bar's start.
std::vector<std::string> TimerTitles(const std::string& svg) {
  std::vector<std::string> titles;
  std::regex timer(R"re(<rect class="timer"[^>]*><title>([^<]*)</title>)re");
  for (std::sregex_iterator it(svg.begin(), svg.end(), timer), end; it != end; ++it) titles.push_back((*it)[1]);
  return titles;
}

// A recurrence, as the service traces it: the first SIMPLEX timer (60 s)
// runs out and starts its composer; the next one, after the return and a
// second SIMPLEX within the long threshold, explains its 20 s with a line
// written just before its start line.
TEST(TimelineTest, EachTimerHoldsItsOwnLinesAndNamesTheRuleOfItsLimit) {
  Scenario scenario;
  scenario.file = "recurrence.scn";
  std::vector<Observation> run = {
      Trace(10000, "[TimerThread 0]start Limit time = 60 sec"),
      Trace(71000, "[TimerThread 0]time out  Limit time = 60 sec"),
      Trace(71000, "[TimerThread 0]Create EventLogOut => hLogOutThread[0]"),
      Alert(71200),
      Trace(200000, "[TimerThread 3]start Limit time = 1 sec"),
      Trace(201000, "[TimerThread 3]time out  Limit time = 1 sec"),
      Trace(300000, "[TimerThread 0][CPU] SIMP----->SIMP (129600 min)"),
      Trace(300000, "[TimerThread 0]start Limit time = 20 sec"),
      Trace(321000, "[TimerThread 0]time out  Limit time = 20 sec"),
      Alert(321100),
      Trace(900000, "[TimerThread 3]start Limit time = 1 sec"),
  };
  std::string svg = RenderTimeline(scenario, run);
  std::vector<std::string> titles = TimerTitles(svg);
  ASSERT_EQ(titles.size(), 4u);
  auto title_of = [&](const std::string& head) {
    for (const std::string& title : titles)
      if (title.starts_with(head)) return title;
    return std::string("(no timer ") + head + ")";
  };
  std::string first = title_of("CPU SIMPLEX timer (TimerThread 0) started at 0:00:10");
  std::string second = title_of("CPU SIMPLEX timer (TimerThread 0) started at 0:05:00");
  std::string duplex = title_of("CPU DUPLEX timer (TimerThread 3) started at 0:03:20");
  EXPECT_NE(first.find("limit 60 s; ran out"), std::string::npos) << first;
  EXPECT_EQ(first.find("SIMP-----&gt;SIMP"), std::string::npos) << "the next timer's line: " << first;
  EXPECT_NE(first.find("Create EventLogOut"), std::string::npos) << "a line after its end is still its own";
  EXPECT_NE(second.find("limit 20 s: within the long threshold; ran out"), std::string::npos) << second;
  EXPECT_NE(second.find("SIMP-----&gt;SIMP (129600 min)"), std::string::npos) << second;
  EXPECT_EQ(second.find("Limit time = 60"), std::string::npos) << second;
  EXPECT_NE(duplex.find("CPU DUPLEX timer (TimerThread 3)"), std::string::npos) << duplex;
  // The rule is on the bar itself.
  EXPECT_NE(svg.find(">20 s: within the long threshold</text>"), std::string::npos);
}

// A PCI DUPLEX timer cut short by its SIMPLEX partner says so; a CPU one
// whose partner is about to run out says why it waits 5 s.
TEST(TimelineTest, DuplexTimersNameTheirPartnerRule) {
  Scenario scenario;
  std::vector<Observation> run = {
      Trace(0, "[TimerThread 1]start Limit time = 300 sec"),
      Trace(60000, "[TimerThread 4]start Limit time = 235 sec"),
      Trace(295000, "[TimerThread 4]time out  Limit time = 235 sec"),
      Trace(295000, "[TimerThread 4][PCI] StopTimer(1)"),
      Trace(296000, "[TimerThread 1]stop  timer cancel"),
      Trace(400000, "[TimerThread 0]start Limit time = 1800 sec"),
      Trace(2198500, "[TimerThread 3]start Limit time = 5 sec"),
  };
  std::string svg = RenderTimeline(scenario, run);
  std::string titles;
  bool stop_told = false;
  for (const std::string& title : TimerTitles(svg)) {
    titles += title + "\n--\n";
    // The stop request is told on the timer it stopped.
    if (title.starts_with("PCI SIMPLEX timer"))
      stop_told = title.find("cancelled") != std::string::npos && title.find("StopTimer(1)") != std::string::npos;
  }
  EXPECT_NE(titles.find("limit 235 s: cut 5 s before its SIMPLEX partner; ran out"), std::string::npos) << titles;
  EXPECT_NE(titles.find("limit 5 s: its SIMPLEX timer ends within 2 s"), std::string::npos) << titles;
  EXPECT_NE(titles.find("limit 1800 s; still running"), std::string::npos) << titles;
  EXPECT_TRUE(stop_told) << titles;
}

// No bar label runs under an alert's line, and the shortest spell still
// shows.
TEST(TimelineTest, LabelsKeepClearOfAlertLinesAndShortSpellsShow) {
  Scenario scenario;
  std::vector<Observation> run = {Trace(0, "[TimerThread 0]start Limit time = 3600 sec")};
  for (uint64_t t = 600000; t < 3600000; t += 600000) run.push_back(Alert(t));
  run.push_back(Trace(3600000, "[TimerThread 0]time out  Limit time = 3600 sec"));
  run.push_back(Trace(7200000, "[TimerThread 1]start Limit time = 1 sec"));
  run.push_back(Trace(7200100, "[TimerThread 1]stop  timer cancel"));
  std::string svg = RenderTimeline(scenario, run);
  std::vector<double> lines;
  std::regex alert_line(R"re(<g class="alert"><title>[^<]*</title><line x1="([0-9.]+)")re");
  for (std::sregex_iterator it(svg.begin(), svg.end(), alert_line), end; it != end; ++it)
    lines.push_back(std::stod((*it)[1]));
  ASSERT_EQ(lines.size(), 5u);
  std::regex label(R"re(<text class="label" x="([0-9.]+)"[^>]*>([^<]*)</text>)re");
  int labels = 0;
  for (std::sregex_iterator it(svg.begin(), svg.end(), label), end; it != end; ++it, ++labels) {
    double from = std::stod((*it)[1]), to = from + 6.5 * static_cast<double>((*it)[2].length());
    for (double x : lines) EXPECT_FALSE(x > from - 1 && x < to + 1) << (*it)[2] << " at " << from << " crosses " << x;
  }
  EXPECT_GT(labels, 0);
  std::regex widths(R"re(<rect class="timer" x="[0-9.]+" y="[0-9]+" width="([0-9.]+)")re");
  for (std::sregex_iterator it(svg.begin(), svg.end(), widths), end; it != end; ++it)
    EXPECT_GE(std::stod((*it)[1]), 6.0);
}

}  // namespace
}  // namespace fenra::runner
