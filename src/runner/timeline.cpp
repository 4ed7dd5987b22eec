#include "runner/timeline.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string_view>

#include "diagnostics/event_ids.h"
#include "platform/sim/text.h"
#include "runner/output.h"
#include "runner/scenario_machine.h"
#include "wmi/wmi_tables.h"

namespace fenra::runner {
namespace {

constexpr int kWidth = 1400;
constexpr int kLabelWidth = 200;
constexpr int kPlotWidth = kWidth - kLabelWidth - 40;
constexpr int kTop = 70;  // first row
constexpr int kRowHeight = 26;
constexpr int kBarHeight = 16;
constexpr const char* kPairs[] = {"CPU", "PCI", "ExPCI"};
// A trace line's stamp, "2026/12/03 14:00'00\"000 ", before its text.
constexpr size_t kStampLength = 24;

// A stretch of one row: a state, a timer, the service's run.
struct Span {
  uint64_t from = 0;
  uint64_t to = 0;
  std::string text;   // drawn inside when it fits
  std::string color;
  std::string title;  // shown on hover
  bool open = true;   // not closed by the run: it lasts to the end
  std::optional<uint64_t> limit;  // a timer's: when it would run out
};

struct Row {
  std::string label;
  std::vector<Span> spans;
};

struct Timer {
  int index = 0;
  uint64_t start = 0;
  uint64_t end = 0;
  bool ended = false;
  int limit_s = 0;
  std::string outcome = "still running at the end";
  std::vector<std::string> notes;  // its trace lines
};

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : sim::ToValidUtf8(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\r': break;
      default: out += c;
    }
  }
  return out;
}

std::string StateColor(std::string_view state) {
  if (state == "DUPLEX") return "#43a047";
  if (state == "TRIPLEX") return "#1b5e20";
  if (state == "SIMPLEX") return "#fb8c00";
  if (state == "REMOVED" || state == "EMPTY" || state == "NOT_PRESENT") return "#9e9e9e";
  if (state == "BROKEN" || state == "SHOT") return "#e53935";
  return "#90a4ae";
}

std::string TypeColor(uint16_t type) {
  return type == win::kEventlogErrorType ? "#c62828" : type == win::kEventlogWarningType ? "#ef6c00" : "#1565c0";
}

std::string StateName(const std::optional<int32_t>& state) {
  if (!state) return "(none)";
  const StateEntry* entry = FindState(*state);
  return entry ? std::string(entry->name()) : std::to_string(*state);
}

// "CPU" for the CPU modules, "PCI" for 10 and 11, "ExPCI" for 12 and 13.
std::string PairOf(const std::string& type, int module) {
  if (type == "cpu") return "CPU";
  return module == 12 || module == 13 ? "ExPCI" : "PCI";
}

// Ends the row's last span at `t` and opens a new one.
void Switch(Row& row, uint64_t t, const std::string& text, const std::string& title) {
  if (!row.spans.empty() && row.spans.back().open) {
    if (row.spans.back().text == text) return;
    row.spans.back().to = t;
    row.spans.back().open = false;
  }
  row.spans.push_back(Span{t, t, text, StateColor(text), title, true, std::nullopt});
}

int NumberAfter(std::string_view text, std::string_view prefix) {
  size_t at = text.find(prefix);
  if (at == std::string_view::npos) return -1;
  int value = 0;
  bool any = false;
  for (size_t i = at + prefix.size(); i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, any = true)
    value = value * 10 + (text[i] - '0');
  return any ? value : -1;
}

class Picture {
 public:
  Picture(const Scenario& scenario, const std::vector<Observation>& observations)
      : scenario_(scenario), observations_(observations) {
    for (const Observation& o : observations) end_ = std::max(end_, o.t_ms);
    if (!scenario.steps.empty()) end_ = std::max(end_, scenario.steps.back().at_ms);
    end_ = std::max<uint64_t>(end_, 1000);
  }

  std::string Render() {
    ReadModules();
    ReadService();
    ReadMonitor();
    std::vector<Row> rows{service_};
    for (const auto& [key, row] : modules_) rows.push_back(row);
    for (const char* pair : kPairs)
      if (pairs_shown_.count(pair)) rows.push_back(pairs_[pair]);
    for (const char* pair : kPairs) {
      if (!pairs_shown_.count(pair)) continue;
      rows.push_back(TimerRow(pair, false));
      rows.push_back(TimerRow(pair, true));
    }
    int pulse_row = kTop + static_cast<int>(rows.size()) * kRowHeight;
    int event_row = pulse_row + kRowHeight;
    int bottom = event_row + 2 * kRowHeight;
    int height = bottom + 60;

    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out_ += Format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                   "font-family=\"sans-serif\" font-size=\"12\">\n",
                   kWidth, height, kWidth, height);
    out_ += "<title>" + Escape("FENRA run of " + scenario_.file) + "</title>\n";
    out_ += Format("<rect width=\"%d\" height=\"%d\" fill=\"white\"/>\n", kWidth, height);
    out_ += Format("<text x=\"10\" y=\"22\" font-size=\"16\" font-weight=\"bold\">%s</text>\n",
                   Escape("FENRA: " + scenario_.file).c_str());
    out_ += Format("<text x=\"10\" y=\"42\" fill=\"#555\">%s</text>\n",
                   Escape("scenario time 0:00:00 is " + LocalTimeText(scenario_.clock, 0) +
                          " local time; hover over a mark for its details")
                       .c_str());
    Axis(kTop - 8, bottom);
    int y = kTop;
    for (const Row& row : rows) {
      DrawRow(row, y);
      y += kRowHeight;
    }
    Pulses(pulse_row);
    Events(event_row);
    Legend(height - 30);
    out_ += "</svg>\n";
    return out_;
  }

 private:
  template <typename... Args>
  static std::string Format(const char* format, Args... args) {
    int size = snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<size_t>(size) + 1, '\0');
    snprintf(text.data(), text.size(), format, args...);
    text.pop_back();
    return text;
  }

  double X(uint64_t t) const { return kLabelWidth + static_cast<double>(t) * kPlotWidth / static_cast<double>(end_); }

  std::string When(uint64_t t) const {
    return ScenarioTimeText(t) + " (" + LocalTimeText(scenario_.clock, t) + ")";
  }

  // Module rows from the scenario: the declared state, then each `state`
  // directive as it took effect.
  void ReadModules() {
    std::map<std::string, std::string> row_of_key;
    for (const ModuleEntry& entry : scenario_.modules) {
      if (!entry.is_module) continue;
      int number = std::atoi(entry.name.c_str());
      std::string pair = PairOf(entry.type, number);
      pairs_shown_[pair] = true;
      std::string key = ObjectKey(entry);
      std::string row_key = Format("%04d", number) + key;
      row_of_key[key] = row_key;
      Row& row = modules_[row_key];
      row.label = (entry.type == "cpu" ? "CPU module " : "PCI module ") + entry.name;
      Switch(row, 0, StateName(entry.state), entry.instance_class + " " + entry.name + " declared " + StateName(entry.state));
    }
    std::map<int, const TimedStep*> step_of_line;
    for (const TimedStep& step : scenario_.steps) step_of_line[step.line] = &step;
    for (const Observation& o : observations_) {
      if (o.kind != Observation::Kind::kInput || !step_of_line.count(o.line)) continue;
      const auto* change = std::get_if<ChangeState>(&step_of_line[o.line]->action);
      if (change == nullptr || !row_of_key.count(change->key)) continue;
      Switch(modules_[row_of_key[change->key]], o.t_ms, StateName(change->state),
             o.directive + " at " + When(o.t_ms) + " (line " + std::to_string(o.line) + ")");
    }
  }

  // The service runs from its start record to its stop record.
  void ReadService() {
    service_.label = "service";
    for (const Observation& o : observations_) {
      if (o.kind != Observation::Kind::kEvent || o.source != "QVMZUFT") continue;
      bool open = !service_.spans.empty() && service_.spans.back().open;
      if (o.event_id == EVID_SERVICE_STARTED && !open) {
        service_.spans.push_back(Span{o.t_ms, o.t_ms, "running", "#78909c", "started at " + When(o.t_ms), true, std::nullopt});
      } else if (o.event_id == EVID_SERVICE_STOPPED && open) {
        service_.spans.back().to = o.t_ms;
        service_.spans.back().open = false;
        service_.spans.back().title += ", stopped at " + When(o.t_ms);
      }
    }
  }

  // The monitor's view of each pair and its timers, from the trace.
  void ReadMonitor() {
    for (const char* pair : kPairs) pairs_[pair].label = std::string(pair) + " pair, as the monitor sees it";
    std::map<int, std::vector<std::string>> pending_notes;  // timer lines before its start line
    std::map<int, size_t> running;                         // timer index -> timers_ entry
    std::map<int, std::string> awaiting_pair_line;         // WMI group -> the pair of a DUPLEX event
    for (const Observation& o : observations_) {
      // A stopped service watches nothing.
      if (o.kind == Observation::Kind::kEvent && o.event_id == EVID_SERVICE_STOPPED) {
        for (auto& [name, row] : pairs_) {
          if (row.spans.empty() || !row.spans.back().open) continue;
          row.spans.back().to = o.t_ms;
          row.spans.back().open = false;
        }
      }
      if (o.kind != Observation::Kind::kTrace || o.text.size() <= kStampLength) continue;
      std::string_view line = std::string_view(o.text).substr(kStampLength);
      std::string line_text(line);
      // Pairs without modules are drawn only when a timer of theirs ran.
      auto view = [&](const std::string& pair, const std::string& state) {
        Switch(pairs_[pair], o.t_ms, state, state + " from " + When(o.t_ms) + ": " + line_text);
      };

      // A WMI thread starts watching its pairs as DUPLEX.
      if (line == "[WMIThread 0]start") view("CPU", "DUPLEX");
      if (line == "[WMIThread 1]start") {
        view("PCI", "DUPLEX");
        view("ExPCI", "DUPLEX");
      }
      // The initial classification: "  (CPU) --> SIMPLEX DUPLEX" and so on.
      for (const char* pair : kPairs) {
        std::string prefix = std::string("  (") + pair + ") --> ";
        if (!line.starts_with(prefix)) continue;
        std::string_view rest = line.substr(prefix.size());
        view(pair, rest == "DUPLEX DUPLEX" ? "DUPLEX" : rest == "TRIPLEX" ? "TRIPLEX" : "SIMPLEX");
      }
      // A state event: "  (CPU 1) --> SIMPLEX"; a DUPLEX waits for the pair
      // line that says whether both halves are DUPLEX.
      for (const char* group : {"CPU", "PCI"}) {
        std::string prefix = std::string("  (") + group + " ";
        int module = line.starts_with(prefix) ? NumberAfter(line, prefix) : -1;
        if (module < 0) continue;
        size_t arrow = line.find(") --> ");
        if (arrow == std::string_view::npos) continue;
        std::string state(line.substr(arrow + 6));
        std::string pair = PairOf(group == std::string_view("CPU") ? "cpu" : "pci", module);
        if (state == "SIMPLEX" || (state == "TRIPLEX" && pair == "CPU")) view(pair, state);
        if (state == "DUPLEX") awaiting_pair_line[group == std::string_view("CPU") ? 0 : 1] = pair;
      }
      for (int group : {0, 1}) {
        std::string head = "[WMIThread " + std::to_string(group) + "]";
        if (!line.starts_with(head) || !awaiting_pair_line.count(group)) continue;
        std::string_view rest = line.substr(head.size());
        if (rest.ends_with("--> DUPLEX DUPLEX")) view(awaiting_pair_line[group], "DUPLEX");
        else if (rest.ends_with("STATE_DUPLEX => STATE_SIMPLEX")) view(awaiting_pair_line[group], "SIMPLEX");
        else continue;
        awaiting_pair_line.erase(group);
      }

      // Timers.
      int index = NumberAfter(line, "[TimerThread ");
      int stop_target = NumberAfter(line, "StopTimer(");
      if (stop_target >= 0 && running.count(stop_target)) {
        timers_[running[stop_target]].notes.push_back(ScenarioTimeText(o.t_ms) + " " + line_text);
      }
      if (line.starts_with("[ManageTimerThread]") && line.find("SIMP->DUP->SIMP") != std::string_view::npos) {
        for (int k = 3; k <= 5; ++k)
          if (running.count(k) && line.find(std::string("[") + kPairs[k - 3] + "]") != std::string_view::npos)
            timers_[running[k]].notes.push_back(ScenarioTimeText(o.t_ms) + " " + line_text);
      }
      if (index < 0 || index > 5 || !line.starts_with("[TimerThread ")) continue;
      std::string note = ScenarioTimeText(o.t_ms) + " " + line_text;
      int limit = NumberAfter(line, "]start Limit time = ");
      if (limit >= 0) {
        Timer timer{index, o.t_ms, o.t_ms, false, limit, "still running at the end", std::move(pending_notes[index])};
        pending_notes.erase(index);
        timer.notes.push_back(note);
        running[index] = timers_.size();
        timers_.push_back(std::move(timer));
        pairs_shown_[kPairs[index % 3]] = true;
        continue;
      }
      if (!running.count(index)) {
        pending_notes[index].push_back(note);
        continue;
      }
      Timer& timer = timers_[running[index]];
      timer.notes.push_back(note);
      std::optional<std::string> outcome;
      if (line.find("]time out ") != std::string_view::npos) outcome = "ran out";
      if (line.find("]stop  timer cancel") != std::string_view::npos) outcome = "cancelled";
      if (line.find("]stopflg=TRUE") != std::string_view::npos) outcome = "ended with the service";
      if (line.find("]start_time error") != std::string_view::npos) outcome = "ended: the clock went back";
      if (line.find("]WaitForSingleObject Error") != std::string_view::npos) outcome = "ended: a wait failed";
      if (outcome && !timer.ended) {
        timer.ended = true;
        timer.end = o.t_ms;
        timer.outcome = *outcome;
      }
      // The lines that follow the end (the composer's start, the cancel of
      // the partner) still belong to it, until the next start.
    }
  }

  Row TimerRow(const std::string& pair, bool duplex) {
    Row row;
    row.label = pair + (duplex ? " DUPLEX timer" : " SIMPLEX timer");
    for (const Timer& timer : timers_) {
      if (kPairs[timer.index % 3] != pair || (timer.index >= 3) != duplex) continue;
      Span span;
      span.from = timer.start;
      span.to = timer.ended ? timer.end : end_;
      span.open = false;
      span.text = std::to_string(timer.limit_s) + " s";
      span.color = duplex ? "#66bb6a" : "#ffa726";
      span.title = row.label + " (TimerThread " + std::to_string(timer.index) + ") started at " + When(timer.start) +
                   ", limit " + std::to_string(timer.limit_s) + " s; " + timer.outcome +
                   (timer.ended ? " at " + When(timer.end) : std::string()) + "\n";
      for (const std::string& note : timer.notes) span.title += "\n" + note;
      span.limit = timer.start + static_cast<uint64_t>(timer.limit_s) * 1000;
      row.spans.push_back(span);
    }
    return row;
  }

  void Axis(int top, int bottom) {
    static constexpr uint64_t kSteps[] = {1000,    2000,    5000,     10000,    15000,    30000,    60000,
                                          120000,  300000,  600000,   900000,   1800000,  3600000,  7200000,
                                          10800000, 21600000, 43200000, 86400000, 172800000, 604800000};
    uint64_t step = kSteps[std::size(kSteps) - 1];
    for (uint64_t candidate : kSteps) {
      if (end_ / candidate <= 12) {
        step = candidate;
        break;
      }
    }
    out_ += "<g class=\"axis\" stroke=\"#e0e0e0\">\n";
    for (uint64_t t = 0; t <= end_; t += step) {
      double x = X(t);
      std::string label = ScenarioTimeText(t);
      label = label.substr(0, label.size() - 4);  // to the second
      out_ += Format("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>", x, top, x, bottom);
      out_ += Format("<text x=\"%.1f\" y=\"%d\" fill=\"#555\" stroke=\"none\" text-anchor=\"middle\">%s</text>\n", x,
                     top - 4, label.c_str());
    }
    out_ += "</g>\n";
  }

  void DrawRow(const Row& row, int y) {
    out_ += Format("<g class=\"row\"><text x=\"10\" y=\"%d\">%s</text>\n", y + kBarHeight - 3,
                   Escape(row.label).c_str());
    for (Span span : row.spans) {
      if (span.open) span.to = end_;
      const std::string& text = span.text;
      const std::optional<uint64_t>& limit = span.limit;
      double x1 = X(span.from), x2 = std::max(X(span.to), x1 + 1.5);
      std::string title = "<title>" + Escape(span.title) + "</title>";
      // A timer's limit: a dashed outline up to it and a mark at it.
      if (limit) {
        double xl = X(std::min(*limit, end_));
        if (xl > x2)
          out_ += Format("<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"none\" stroke=\"%s\" "
                         "stroke-dasharray=\"4 3\">%s</rect>",
                         x1, y, xl - x1, kBarHeight, span.color.c_str(), title.c_str());
        if (*limit <= end_)
          out_ += Format("<line class=\"limit\" x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#333\" "
                         "stroke-width=\"2\">%s</line>",
                         xl, y - 3, xl, y + kBarHeight + 3, title.c_str());
      }
      out_ += Format("<rect class=\"%s\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\">%s</rect>",
                     limit ? "timer" : "state", x1, y, x2 - x1, kBarHeight, span.color.c_str(), title.c_str());
      if (x2 - x1 > 7.0 * static_cast<double>(text.size()) + 6)
        out_ += Format("<text x=\"%.1f\" y=\"%d\" fill=\"white\" font-size=\"11\" pointer-events=\"none\">%s</text>",
                       x1 + 3, y + kBarHeight - 4, Escape(text).c_str());
      out_ += "\n";
    }
    out_ += "</g>\n";
  }

  void Pulses(int y) {
    out_ += Format("<g class=\"pulses\"><text x=\"10\" y=\"%d\">hot-plug pulses</text>\n", y + kBarHeight - 3);
    for (const Observation& o : observations_) {
      if (o.kind != Observation::Kind::kPulse) continue;
      out_ += Format("<line class=\"pulse\" x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#6a1b9a\" "
                     "stroke-width=\"2\"><title>pulse at %s</title></line>\n",
                     X(o.t_ms), y, X(o.t_ms), y + kBarHeight, Escape(When(o.t_ms)).c_str());
    }
    out_ += "</g>\n";
  }

  // Every record in the event-log row; each alert also as a line through
  // every row and its first line as a label.
  void Events(int y) {
    out_ += Format("<g class=\"events\"><text x=\"10\" y=\"%d\">event log</text>\n", y + kBarHeight - 3);
    int alert_count = 0;
    for (const Observation& o : observations_) {
      if (o.kind != Observation::Kind::kEvent) continue;
      std::string text;
      for (const std::string& s : o.strings) text += (text.empty() ? "" : "\n") + s;
      std::string title = Escape(o.source + " " + EventTypeName(o.type) + " event " +
                                 std::to_string(o.event_id & 0xFFFF) + " written at " + When(o.t_ms) +
                                 (text.empty() ? "" : "\n\n" + text));
      std::string color = TypeColor(o.type);
      double x = X(o.t_ms);
      bool alert = o.source == "QVMFTMarvix";
      if (!alert) {
        out_ += Format("<circle class=\"record\" cx=\"%.1f\" cy=\"%d\" r=\"5\" fill=\"%s\"><title>%s</title></circle>\n",
                       x, y + kBarHeight / 2, color.c_str(), title.c_str());
        continue;
      }
      std::string first_line = text.substr(0, text.find('\n'));
      out_ += Format("<g class=\"alert\"><title>%s</title>", title.c_str());
      out_ += Format("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"%s\" stroke-dasharray=\"6 3\"/>", x,
                     kTop - 8, x, y, color.c_str());
      out_ += Format("<path d=\"M %.1f %d l 7 8 l -7 8 l -7 -8 z\" fill=\"%s\"/>", x, y, color.c_str());
      // Labels near the right edge end at their alert.
      bool right = x > kWidth - 260;
      out_ += Format("<text x=\"%.1f\" y=\"%d\" fill=\"%s\" font-size=\"11\" text-anchor=\"%s\">%s</text></g>\n",
                     right ? x - 9 : x + 9, y + kRowHeight + 4 + (alert_count % 2) * 14, color.c_str(),
                     right ? "end" : "start", Escape(first_line).c_str());
      ++alert_count;
    }
    out_ += "</g>\n";
  }

  void Legend(int y) {
    static constexpr const char* kStates[] = {"DUPLEX", "TRIPLEX", "SIMPLEX", "REMOVED", "BROKEN", "other"};
    out_ += "<g class=\"legend\" font-size=\"11\">";
    int x = 10;
    for (const char* state : kStates) {
      out_ += Format("<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"%s\"/><text x=\"%d\" y=\"%d\">%s</text>",
                     x, y, StateColor(state).c_str(), x + 18, y + 10, state);
      x += 100;
    }
    out_ += Format("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#333\" stroke-width=\"2\"/>"
                   "<text x=\"%d\" y=\"%d\">timer limit (dashed: the part a timer did not run)</text>",
                   x + 7, y - 2, x + 7, y + 14, x + 18, y + 10);
    out_ += "</g>\n";
  }

  const Scenario& scenario_;
  const std::vector<Observation>& observations_;
  uint64_t end_ = 0;
  std::string out_;
  Row service_;
  std::map<std::string, Row> modules_;  // by module number, then key
  std::map<std::string, Row> pairs_;
  std::map<std::string, bool> pairs_shown_;
  std::vector<Timer> timers_;
};

}  // namespace

std::string RenderTimeline(const Scenario& scenario, const std::vector<Observation>& observations) {
  return Picture(scenario, observations).Render();
}

}  // namespace fenra::runner
