// The picture of a run: each timer's bar says which rule gave its limit;
// labels keep clear of the alerts' lines. A recurrence's timers, each with
// its own lines, are checked on a real run by timeline_check.sh.

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
