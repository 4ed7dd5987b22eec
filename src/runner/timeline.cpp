#include "runner/timeline.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string_view>

#include "diagnostics/event_ids.h"
#include "diagnostics/trace_texts.h"
#include "platform/sim/text.h"
#include "runner/output.h"
#include "runner/scenario_machine.h"
#include "state/pairs.h"
#include "wmi/wmi_tables.h"

namespace fenra::runner {
namespace {

constexpr int kWidth = 1400;
constexpr int kLabelWidth = 200;
constexpr int kPlotWidth = kWidth - kLabelWidth - 40;
constexpr int kTop = 70;  // first row
constexpr int kRowHeight = 26;
constexpr int kBarHeight = 16;
constexpr double kMinSpanWidth = 6;  // pixels, whatever the spell's length
constexpr double kCharWidth = 6.5;   // of an 11-pixel label, generously
constexpr double kLineMargin = 4;    // kept free on each side of an alert's line
constexpr double kMarkerGap = 12;    // between the centres of two records
// A trace line's stamp, "2026/12/03 14:00'00\"000 ", before its text.
constexpr size_t kStampLength = 24;

// A stretch of one row: a state, a timer, the service's run.
struct Span {
  uint64_t from = 0;
  uint64_t to = 0;
  std::string text;   // drawn inside when it fits
  std::string short_text;  // drawn instead when only it fits
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
  bool long_threshold = false;     // its limit is the 20 s of a recurrence
};

// A trace line that belongs to a timer: written by the timer's own thread
// (`index`), or naming it as the one to stop (`about`).
struct TimerLine {
  uint64_t t_ms = 0;
  int index = -1;
  std::string note;
  std::optional<std::string> outcome;  // the line ends the timer so
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
  row.spans.push_back(Span{t, t, text, text, StateColor(text), title, true, std::nullopt});
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
    for (const ModulePair& pair : kPairs)
      if (pairs_shown_.count(pair.label)) rows.push_back(pairs_[pair.label]);
    for (const ModulePair& pair : kPairs) {
      if (!pairs_shown_.count(pair.label)) continue;
      rows.push_back(TimerRow(pair.label, false));
      rows.push_back(TimerRow(pair.label, true));
    }
    int pulse_row = kTop + static_cast<int>(rows.size()) * kRowHeight;
    int event_row = pulse_row + kRowHeight;
    int bottom = event_row + 2 * kRowHeight;
    int height = bottom + 82;

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
    for (const Observation& o : observations_)
      if (o.kind == Observation::Kind::kEvent && o.source == "QVMFTMarvix") alert_xs_.push_back(X(o.t_ms));
    std::sort(alert_xs_.begin(), alert_xs_.end());
    Axis(kTop - 8, bottom);
    int y = kTop;
    for (const Row& row : rows) {
      DrawRow(row, y);
      y += kRowHeight;
    }
    Pulses(pulse_row);
    Events(event_row);
    Legend(height - 52);
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
        service_.spans.push_back(Span{o.t_ms, o.t_ms, "running", "running", "#78909c", "started at " + When(o.t_ms), true,
                                        std::nullopt});
      } else if (o.event_id == EVID_SERVICE_STOPPED && open) {
        service_.spans.back().to = o.t_ms;
        service_.spans.back().open = false;
        service_.spans.back().title += ", stopped at " + When(o.t_ms);
      }
    }
  }

  // The monitor's view of each pair and its timers, from the trace.
  void ReadMonitor() {
    for (const ModulePair& pair : kPairs) pairs_[pair.label].label = std::string(pair.label) + " pair, as the monitor sees it";
    std::vector<TimerLine> own;    // lines of the timer threads
    std::vector<TimerLine> about;  // lines that stop a timer
    std::map<int, std::string> awaiting_pair_line;  // WMI group -> the pair of a DUPLEX event
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
      for (const ModulePair& pair : kPairs)
        if (line == StringPrintf(trace_text::kWmiStart, pair.group)) view(pair.label, "DUPLEX");
      // The initial classification: "  (CPU) --> SIMPLEX DUPLEX" and so on.
      for (const ModulePair& pair : kPairs) {
        std::string prefix = std::string("  (") + pair.label + ") --> ";
        if (!line.starts_with(prefix)) continue;
        std::string_view rest = line.substr(prefix.size());
        view(pair.label, rest == "DUPLEX DUPLEX" ? "DUPLEX" : rest == "TRIPLEX" ? "TRIPLEX" : "SIMPLEX");
      }
      // A state event: "  (CPU 1) --> SIMPLEX"; a DUPLEX waits for the pair
      // line that says whether both halves are DUPLEX.
      for (int group : {kGroupCpu, kGroupPci}) {
        const char* format = group == kGroupCpu ? trace_text::kCpuModuleState : trace_text::kPciModuleState;
        std::string_view prefix = trace_text::FixedPart(format, 0);
        std::string_view arrow_text = trace_text::FixedPart(format, 1);
        int module = line.starts_with(prefix) ? NumberAfter(line, prefix) : -1;
        if (module < 0) continue;
        size_t arrow = line.find(arrow_text);
        if (arrow == std::string_view::npos) continue;
        std::string state(line.substr(arrow + arrow_text.size() + 1));  // the state text's blank
        std::string pair = PairOf(group == kGroupCpu ? "cpu" : "pci", module);
        if (state == "SIMPLEX" || (state == "TRIPLEX" && pair == "CPU")) view(pair, state);
        if (state == "DUPLEX") awaiting_pair_line[group] = pair;
      }
      for (int group : {kGroupCpu, kGroupPci}) {
        if (!awaiting_pair_line.count(group)) continue;
        if (line == StringPrintf(trace_text::kPairDuplex, group, GroupPair(group).label))
          view(awaiting_pair_line[group], "DUPLEX");
        else if (line.starts_with(StringPrintf("[WMIThread %d]", group)) &&
                 line.ends_with(trace_text::FixedPart(trace_text::kPairHalfDuplex, 3)))
          view(awaiting_pair_line[group], "SIMPLEX");
        else
          continue;
        awaiting_pair_line.erase(group);
      }

      // Timers: their starts now, the rest of their lines once every start
      // is known.
      std::string note = ScenarioTimeText(o.t_ms) + " " + line_text;
      // "... StopTimer(4)", of the manager or of a timer.
      int stop_target = NumberAfter(line, trace_text::FixedPart(trace_text::kManagerStopTimer, 1));
      if (stop_target >= 0) about.push_back({o.t_ms, stop_target, note, std::nullopt});
      for (int k = 0; k < kDuplexOffset; ++k)
        if (line == StringPrintf(trace_text::kFlapAbsorbed, kPairs[static_cast<size_t>(k)].label))
          about.push_back({o.t_ms, k + kDuplexOffset, note, std::nullopt});
      std::string_view timer_head = trace_text::FixedPart(trace_text::kTimerStart, 0);
      int index = NumberAfter(line, timer_head);
      if (index < 0 || index >= kTimerCount || !line.starts_with(timer_head)) continue;
      int limit = NumberAfter(line, trace_text::FixedPart(trace_text::kTimerStart, 1));
      if (limit >= 0) {
        timers_.push_back(Timer{index, o.t_ms, o.t_ms, false, limit, "still running at the end", {}, false});
        pairs_shown_[PairOfTimer(index).label] = true;
      }
      auto says = [&](const char* format) { return line.find(trace_text::FixedPart(format, 1)) != std::string_view::npos; };
      std::optional<std::string> outcome;
      if (says(trace_text::kTimerRunOut)) outcome = "ran out";
      if (says(trace_text::kTimerCancel)) outcome = "cancelled";
      if (line.find(std::string("]") + trace_text::kStopReturn) != std::string_view::npos)
        outcome = "ended with the service";
      if (says(trace_text::kTimerClockBack)) outcome = "ended: the clock went back";
      if (says(trace_text::kTimerWaitError)) outcome = "ended: a wait failed";
      own.push_back({o.t_ms, index, note, outcome});
    }
    // A timer's lines are those of its thread from its start on: the line
    // that explains its limit comes just before its start line, and lines
    // that follow its end (the composer's start) are still its own.
    for (const TimerLine& line : own) {
      Timer* timer = TimerAt(line.index, line.t_ms);
      if (timer == nullptr) continue;
      timer->notes.push_back(line.note);
      if (line.note.find(trace_text::FixedPart(trace_text::kTimerRecurrence, 2)) != std::string::npos)
        timer->long_threshold = true;
      if (line.outcome && !timer->ended) {
        timer->ended = true;
        timer->end = line.t_ms;
        timer->outcome = *line.outcome;
      }
    }
    // A cancel request goes to the timer of its index that runs then.
    for (const TimerLine& line : about)
      if (Timer* timer = TimerAt(line.index, line.t_ms)) timer->notes.push_back(line.note);
    for (Timer& timer : timers_)
      std::stable_sort(timer.notes.begin(), timer.notes.end(),
                       [](const std::string& a, const std::string& b) { return a.substr(0, 11) < b.substr(0, 11); });
  }

  // The timer of `index` started last at or before `t_ms`.
  Timer* TimerAt(int index, uint64_t t_ms) {
    Timer* found = nullptr;
    for (Timer& timer : timers_)
      if (timer.index == index && timer.start <= t_ms) found = &timer;
    return found;
  }

  // Why a timer has its limit, when a rule other than the plain setting
  // gave it: "20 s: within the long threshold".
  std::string LimitText(const Timer& timer) const {
    std::string seconds = std::to_string(timer.limit_s) + " s";
    if (timer.index < 3) return timer.long_threshold ? seconds + ": within the long threshold" : seconds;
    if (timer.limit_s == 5) return seconds + ": its SIMPLEX timer ends within 2 s";
    if (timer.index == 4 && timer.limit_s != 1 && timer.limit_s != 300) return seconds + ": cut 5 s before its SIMPLEX partner";
    return seconds;
  }

  Row TimerRow(const std::string& pair, bool duplex) {
    Row row;
    row.label = pair + (duplex ? " DUPLEX timer" : " SIMPLEX timer");
    for (const Timer& timer : timers_) {
      if (PairOfTimer(timer.index).label != pair || (timer.index >= kDuplexOffset) != duplex) continue;
      Span span;
      span.from = timer.start;
      span.to = timer.ended ? timer.end : end_;
      span.open = false;
      span.text = LimitText(timer);
      span.short_text = std::to_string(timer.limit_s) + " s";
      span.color = duplex ? "#66bb6a" : "#ffa726";
      span.title = row.label + " (TimerThread " + std::to_string(timer.index) + ") started at " + When(timer.start) +
                   ", limit " + LimitText(timer) + "; " + timer.outcome +
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
    for (size_t i = 0; i < row.spans.size(); ++i) {
      Span span = row.spans[i];
      if (span.open) span.to = end_;
      double next = i + 1 < row.spans.size() ? X(row.spans[i + 1].from) : kWidth - 10;
      const std::string& text = span.text;
      const std::optional<uint64_t>& limit = span.limit;
      // The shortest spell is still wide enough to see and to hover over.
      double x1 = X(span.from), x2 = std::max(X(span.to), x1 + kMinSpanWidth);
      std::string title = "<title>" + Escape(span.title) + "</title>";
      // A timer's limit: a dashed outline up to it and a mark at it.
      double xl = x2;
      if (limit) {
        xl = std::max(x2, X(std::min(*limit, end_)));
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
      // The label inside the bar, else (a timer's, which tells its rule)
      // beside it in the free stretch before the row's next bar.
      auto label = [&](double at, const std::string& label_text, const char* color) {
        out_ += Format("<text class=\"label\" x=\"%.1f\" y=\"%d\" fill=\"%s\" font-size=\"11\" "
                       "pointer-events=\"none\">%s</text>",
                       at, y + kBarHeight - 4, color, Escape(label_text).c_str());
      };
      if (std::optional<double> at = LabelPlace(x1, x2, text)) {
        label(*at, text, "white");
      } else if (std::optional<double> beside = limit ? LabelPlace(xl, next, text) : std::nullopt) {
        label(*beside, text, "#333");
      } else if (std::optional<double> short_at = LabelPlace(x1, x2, span.short_text)) {
        label(*short_at, span.short_text, "white");
      }
      out_ += "\n";
    }
    out_ += "</g>\n";
  }

  // Where a label of `text` starts inside the bar from x1 to x2 without
  // crossing an alert's line: the first stretch between the lines that
  // holds it; none when no stretch does.
  std::optional<double> LabelPlace(double x1, double x2, const std::string& text) const {
    if (text.empty()) return std::nullopt;
    double width = kCharWidth * static_cast<double>(text.size());
    double from = x1 + 3;
    for (double line : alert_xs_) {
      if (line < from - kLineMargin) continue;
      if (line > x2) break;
      if (line - kLineMargin - from >= width) return from;
      from = line + kLineMargin;
    }
    if (x2 - 3 - from >= width) return from;
    return std::nullopt;
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
    double last_marker = -1e9;
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
        // Records close together (a restart's stop and start) stand side
        // by side, each tied to its moment by a short line; a stop is hollow.
        double cx = std::max(x, last_marker + kMarkerGap);
        last_marker = cx;
        bool stop = o.event_id == EVID_SERVICE_STOPPED;
        if (cx > x)
          out_ += Format("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"%s\"/>", x, y + kBarHeight / 2,
                         cx, y + kBarHeight / 2, color.c_str());
        out_ += Format("<circle class=\"record\" cx=\"%.1f\" cy=\"%d\" r=\"5\" fill=\"%s\" stroke=\"%s\" "
                       "stroke-width=\"2\"><title>%s</title></circle>\n",
                       cx, y + kBarHeight / 2, stop ? "white" : color.c_str(), color.c_str(), title.c_str());
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

  // Two lines: the colours of states, then every other kind of mark.
  void Legend(int y) {
    static constexpr const char* kStates[] = {"DUPLEX", "TRIPLEX", "SIMPLEX", "REMOVED", "BROKEN", "other"};
    out_ += "<g class=\"legend\" font-size=\"11\">";
    int x = 10;
    for (const char* state : kStates) {
      out_ += Format("<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"%s\"/><text x=\"%d\" y=\"%d\">%s</text>",
                     x, y, StateColor(state).c_str(), x + 18, y + 10, state);
      x += 100;
    }
    out_ += Format("<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"#78909c\"/>"
                   "<text x=\"%d\" y=\"%d\">service running</text>",
                   x, y, x + 18, y + 10);
    int y2 = y + 22;
    x = 10;
    auto entry = [&](const std::string& mark, const char* text, int width) {
      out_ += mark + Format("<text x=\"%d\" y=\"%d\">%s</text>", x + 18, y2 + 10, text);
      x += width;
    };
    entry(Format("<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"#ffa726\"/>", x, y2), "SIMPLEX timer", 110);
    entry(Format("<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"#66bb6a\"/>", x, y2), "DUPLEX timer", 105);
    entry(Format("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#333\" stroke-width=\"2\"/>", x + 7, y2 - 2,
                 x + 7, y2 + 14),
          "timer limit", 90);
    entry(Format("<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"none\" stroke=\"#ffa726\" "
                 "stroke-dasharray=\"4 3\"/>",
                 x, y2),
          "limit a timer did not run", 180);
    entry(Format("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#6a1b9a\" stroke-width=\"2\"/>", x + 7,
                 y2, x + 7, y2 + 12),
          "hot-plug pulse", 110);
    entry(Format("<circle cx=\"%d\" cy=\"%d\" r=\"5\" fill=\"#1565c0\" stroke=\"#1565c0\" stroke-width=\"2\"/>",
                 x + 7, y2 + 6),
          "service start or record (red: error)", 240);
    entry(Format("<circle cx=\"%d\" cy=\"%d\" r=\"5\" fill=\"white\" stroke=\"#1565c0\" stroke-width=\"2\"/>",
                 x + 7, y2 + 6),
          "service stopped", 115);
    entry(Format("<path d=\"M %d %d l 7 8 l -7 8 l -7 -8 z\" fill=\"#ef6c00\"/>", x + 7, y2 - 2),
          "alert, its line through every row", 260);
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
  std::vector<double> alert_xs_;  // where the alerts' lines run, sorted
};

}  // namespace

std::string RenderTimeline(const Scenario& scenario, const std::vector<Observation>& observations) {
  return Picture(scenario, observations).Render();
}

}  // namespace fenra::runner
