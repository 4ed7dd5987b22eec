#include "runner/timeline.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string_view>

#include "diagnostics/event_ids.h"
#include "diagnostics/trace_texts.h"
#include "platform/sim/text.h"
#include "runner/output.h"
#include "runner/scenario_machine.h"
#include "settings/persistent_state.h"
#include "settings/registry_access.h"
#include "state/pairs.h"
#include "support/fixed_text.h"
#include "wmi/wmi_tables.h"

namespace fenra::runner {

double EstimatedTextWidth(std::string_view text, double font_size) {
  double ems = 0;
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      // A UTF-8 sequence: its length from the lead byte, its code point.
      size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
      uint32_t code = length == 4 ? c & 0x07u : length == 3 ? c & 0x0Fu : c & 0x1Fu;
      for (size_t k = 1; k < length && i + k < text.size(); ++k)
        code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
      ems += code >= 0x1100 ? 1.0 : 0.7;
      i += length;
      continue;
    }
    ++i;
    if (c == ' ') {
      ems += 0.32;
    } else if (std::string_view("iljtfr.,:;'|!()[]{}").find(static_cast<char>(c)) != std::string_view::npos) {
      ems += 0.42;
    } else if (c == 'm' || c == 'w' || c == 'M' || c == 'W') {
      ems += 1.0;
    } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      ems += 0.75;
    } else {
      ems += 0.62;
    }
  }
  return ems * font_size;
}

uint64_t TimelineEnd(const Scenario& scenario, const std::vector<Observation>& observations) {
  uint64_t end = 1000;
  for (const Observation& o : observations) end = std::max(end, o.t_ms);
  if (!scenario.steps.empty()) end = std::max(end, scenario.steps.back().at_ms);
  return end;
}

namespace {

constexpr int kWidth = 1400;
constexpr int kLabelWidth = 232;  // the rows' names, left of the plot
constexpr int kPlotRight = kWidth - 40;
constexpr int kPlotWidth = kPlotRight - kLabelWidth;
constexpr int kTop = 70;  // first row
constexpr int kRowHeight = 26;
constexpr int kBarHeight = 16;
constexpr int kNameSize = 12;        // a row's name
constexpr int kLabelSize = 11;       // labels in the plot and the legend
constexpr int kLaneHeight = 14;      // between two lines of alert labels
constexpr double kMinSpanWidth = 6;  // pixels, whatever the spell's length
constexpr double kMarkerGap = 14;    // between the centres of two marks of the event log
constexpr double kLabelGap = 4;      // kept free round a label
constexpr double kBesideReach = 60;  // a label beside its bar starts (or ends) this near it
// Latin faces first, then Japanese ones, so that a record's Japanese text
// never falls to boxes.
constexpr char kFontFamily[] =
    "Arial, 'Liberation Sans', 'DejaVu Sans', 'Noto Sans CJK JP', 'Noto Sans JP', 'Source Han Sans JP', "
    "'Hiragino Sans', 'Yu Gothic', Meiryo, sans-serif";
// A trace line's stamp, "2026/12/03 14:00'00\"000 ", before its text.
constexpr size_t kStampLength = 24;

constexpr char kTimerSimplexColor[] = "#ffa726";
constexpr char kTimerDuplexColor[] = "#66bb6a";
constexpr char kFaultColor[] = "#b71c1c";
constexpr char kFaultSpellColor[] = "#ef9a9a";
constexpr char kPulseColor[] = "#6a1b9a";
constexpr char kServiceColor[] = "#78909c";

enum class Shape { kBar, kPoint };

// A stretch of one row: a state, a timer, the service's run, a fault; or a
// point (a fault scripted at a moment).
struct Span {
  uint64_t from = 0;
  uint64_t to = 0;
  bool open = true;   // not closed by the run: it lasts to the end
  std::string state;  // a state row's state: its hover text begins with it
  // Its label, the first of these that fits (inside the bar, else beside
  // it): the whole text, then shorter ones.
  std::vector<std::string> labels;
  std::string color;
  std::string text_color = "white";
  std::string title;              // shown on hover; after "STATE from .. to ..: " for a state
  std::optional<uint64_t> limit;  // a timer's: when it would run out
  Shape shape = Shape::kBar;
};

struct Row {
  std::string label;
  std::string pair;  // a pair's row, as the monitor sees it
  std::vector<Span> spans;
};

enum class TimerEnd { kRunning, kRanOut, kCancelled, kStopped, kClockBack, kWaitFailed };
enum class Composer { kNone, kStarted, kNoSlot, kFailed };

struct Timer {
  int index = 0;
  uint64_t start = 0;
  uint64_t end = 0;
  int limit_s = 0;
  TimerEnd how = TimerEnd::kRunning;
  Composer composer = Composer::kNone;
  bool back_to_duplex = false;              // a DUPLEX timer that found its SIMPLEX timer running
  bool long_threshold = false;              // its limit is the 20 s of a recurrence
  int long_minutes = -1;                    // the long threshold that line names
  bool date_ahead = false;                  // the stored SimplexDate lay in the future
  std::optional<std::string> counted_from;  // the SimplexDate stored before it, as far as known
  std::string version = "unknown";          // the platform version its service found
  bool stopped_by_manager = false;          // the cancel request it obeyed
  bool stopped_by_duplex_timer = false;
  std::vector<std::pair<size_t, std::string>> notes;  // its trace lines, by their place in the trace
};

// A trace line that belongs to a timer: written by the timer's own thread
// (`index`), or naming it as the one to stop.
struct TimerLine {
  uint64_t t_ms = 0;
  size_t seq = 0;  // its place in the trace
  int index = -1;
  std::string note;
  std::optional<TimerEnd> ends = std::nullopt;  // the line ends the timer so
  std::optional<Composer> composer = std::nullopt;
  bool back_to_duplex = false;
  bool from_manager = false;  // a stop request of the timer manager (else of a DUPLEX timer)
  bool request = false;       // a stop request
};

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : sim::ToValidUtf8(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\r':
        break;
      default:
        out += c;
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

int NumberAfter(std::string_view text, std::string_view prefix) {
  size_t at = text.find(prefix);
  if (at == std::string_view::npos) return -1;
  int value = 0;
  bool any = false;
  for (size_t i = at + prefix.size(); i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, any = true)
    value = value * 10 + (text[i] - '0');
  return any ? value : -1;
}

// A SimplexDate stamp, "202612030810", as "2026-12-03 08:10".
std::string DateText(const std::string& stamp) {
  if (stamp.size() != 12) return stamp;
  return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + " " + stamp.substr(8, 2) + ":" +
         stamp.substr(10, 2);
}

bool SameKey(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// What a WMI fault does, for its hover text: "the next call to
// CoSetProxyBlanket fails".
std::string FaultSentence(const ScriptWmiFault& fault) {
  struct Words {
    const char* call;
    const char* one;   // what one call does
    const char* many;  // what several do
  };
  Words words{"?", "fails", "fail"};
  switch (fault.fault) {
    case sim::WmiFault::kCreateLocator:
      words.call = "CoCreateInstance (the WMI locator)";
      break;
    case sim::WmiFault::kConnectServer:
      words.call = "ConnectServer";
      break;
    case sim::WmiFault::kProxyBlanket:
      words.call = "CoSetProxyBlanket";
      break;
    case sim::WmiFault::kExecQuery:
      words.call = "ExecQuery (a status query)";
      break;
    case sim::WmiFault::kNotificationQuery:
      words.call = "ExecNotificationQuery (a subscription)";
      break;
    case sim::WmiFault::kNextTimeout:
      words = {"Next", "waits out its time-out", "wait out their time-out"};
      break;
    case sim::WmiFault::kNextCancelled:
      words = {"Next", "comes back cancelled (WBEM_E_CALL_CANCELLED)", "come back cancelled (WBEM_E_CALL_CANCELLED)"};
      break;
    case sim::WmiFault::kNextThrows:
      words = {"Next", "throws", "throw"};
      break;
    case sim::WmiFault::kGetObjectText:
      words.call = "GetObjectText (an event's text)";
      break;
  }
  // A result the scenario names replaces the fault's usual one.
  std::string result = fault.hr != 0 ? StringPrintf(" with 0x%08X", static_cast<uint32_t>(fault.hr)) : "";
  if (fault.hr != 0) words = {words.call, "fails", "fail"};
  if (fault.times > 1)
    return "the next " + std::to_string(fault.times) + " calls to " + words.call + " " + words.many + result +
           ", whichever threads make them";
  return std::string("the next call to ") + words.call + " " + words.one + result + ", whichever thread makes it";
}

// A free stretch on one line of the picture: where a label of `width` can
// stand between `lo` and `hi` without touching anything in `taken`, as far
// left (or, `rightmost`, as far right) as it can.
struct Interval {
  double from;
  double to;
};

std::optional<double> FreePlace(double lo, double hi, double width, bool rightmost,
                                const std::vector<Interval>& taken) {
  if (hi - lo < width) return std::nullopt;
  std::vector<double> candidates{rightmost ? hi - width : lo};
  for (const Interval& t : taken) candidates.push_back(rightmost ? t.from - kLabelGap - width : t.to + kLabelGap);
  std::sort(candidates.begin(), candidates.end());
  if (rightmost) std::reverse(candidates.begin(), candidates.end());
  for (double at : candidates) {
    if (at < lo || at + width > hi) continue;
    bool clear = std::none_of(taken.begin(), taken.end(), [&](const Interval& t) {
      return at < t.to + kLabelGap && at + width > t.from - kLabelGap;
    });
    if (clear) return at;
  }
  return std::nullopt;
}

class Picture {
 public:
  Picture(const Scenario& scenario, const std::vector<Observation>& observations)
      : scenario_(scenario), observations_(observations), end_(TimelineEnd(scenario, observations)) {
    for (const TimedStep& step : scenario_.steps) step_of_line_[step.line] = &step;
  }

  std::string Render() {
    ReadModules();
    ReadFaults();
    ReadService();
    ReadMonitor();
    std::vector<Row> rows{service_};
    for (const auto& [key, row] : modules_) rows.push_back(row);
    for (const Row& row : faults_)
      if (!row.spans.empty()) rows.push_back(row);
    for (const ModulePair& pair : kPairs)
      if (pairs_shown_.count(pair.label)) rows.push_back(pairs_[pair.label]);
    for (const ModulePair& pair : kPairs) {
      if (!pairs_shown_.count(pair.label)) continue;
      rows.push_back(TimerRow(pair.label, false));
      rows.push_back(TimerRow(pair.label, true));
    }
    int pulse_row = kTop + static_cast<int>(rows.size()) * kRowHeight;
    int event_row = pulse_row + kRowHeight;

    for (const Observation& o : observations_)
      if (o.kind == Observation::Kind::kEvent && o.source == "QVMFTMarvix") alert_xs_.push_back(X(o.t_ms));
    std::sort(alert_xs_.begin(), alert_xs_.end());
    std::string body;
    int y = kTop;
    for (const Row& row : rows) {
      body += DrawRow(row, y);
      y += kRowHeight;
    }
    body += Pulses(pulse_row);
    int lanes = 0;
    body += Events(event_row, &lanes);
    int bottom = event_row + kRowHeight + std::max(lanes, 1) * kLaneHeight;
    int legend_lines = 0;
    std::string legend = Legend(bottom + 30, &legend_lines);
    int height = bottom + 30 + legend_lines * 22 + 10;

    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += Format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
        "font-family=\"%s\" font-size=\"%d\">\n",
        kWidth, height, kWidth, height, kFontFamily, kNameSize);
    out += "<title>" + Escape("FENRA run of " + scenario_.file) + "</title>\n";
    out += Format("<rect width=\"%d\" height=\"%d\" fill=\"white\"/>\n", kWidth, height);
    out += Format("<text x=\"10\" y=\"22\" font-size=\"16\" font-weight=\"bold\">%s</text>\n",
                  Escape("FENRA: " + scenario_.file).c_str());
    out += Format("<text x=\"10\" y=\"42\" font-size=\"%d\" fill=\"#555\">%s</text>\n", kNameSize,
                  Escape("scenario time 0:00:00 is " + LocalTimeText(scenario_.clock, 0) +
                         " local time; hover over a mark for its details")
                      .c_str());
    out += Axis(kTop - 8, bottom);
    out += body + legend + "</svg>\n";
    return out;
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

  std::string When(uint64_t t) const { return ScenarioTimeText(t) + " (" + LocalTimeText(scenario_.clock, t) + ")"; }

  // When the scenario's directive of `line` took effect.
  std::optional<uint64_t> InputTime(int line) const {
    for (const Observation& o : observations_)
      if (o.kind == Observation::Kind::kInput && o.line == line) return o.t_ms;
    return std::nullopt;
  }

  // Ends the row's last span at `t` and opens a new one, unless the row is
  // in that state already.
  static void Switch(Row& row, uint64_t t, const std::string& state, const std::string& why) {
    if (!row.spans.empty() && row.spans.back().open) {
      if (row.spans.back().state == state) return;
      // A state of no length (a thread's start, then its status query) is
      // replaced, not drawn.
      if (row.spans.back().from == t) {
        row.spans.pop_back();
        if (!row.spans.empty() && row.spans.back().to == t && row.spans.back().state == state) {
          row.spans.back().open = true;
          return;
        }
      } else {
        row.spans.back().to = t;
        row.spans.back().open = false;
      }
    }
    Span span;
    span.from = span.to = t;
    span.state = state;
    span.labels = {state};
    span.color = StateColor(state);
    span.title = why;
    row.spans.push_back(span);
  }

  static void Close(Row& row, uint64_t t) {
    if (row.spans.empty() || !row.spans.back().open) return;
    row.spans.back().to = t;
    row.spans.back().open = false;
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
      Switch(row, 0, StateName(entry.state), "declared so (" + entry.instance_class + " " + entry.name + ")");
    }
    for (const Observation& o : observations_) {
      if (o.kind != Observation::Kind::kInput || !step_of_line_.count(o.line)) continue;
      const auto* change = std::get_if<ChangeState>(&step_of_line_[o.line]->action);
      if (change == nullptr || !row_of_key.count(change->key)) continue;
      Switch(modules_[row_of_key[change->key]], o.t_ms, StateName(change->state),
             "scenario line " + std::to_string(o.line) + ", " + o.directive);
    }
  }

  // The faults the scenario gives the machine: WMI calls that fail (a mark
  // where the fault is scripted; it hits the next such calls) and spells of
  // the event log, the registry or a folder refusing.
  void ReadFaults() {
    faults_.push_back(Row{"WMI faults", "", {}});
    faults_.push_back(Row{"event log faults", "", {}});
    faults_.push_back(Row{"registry faults", "", {}});
    std::map<std::string, size_t> folder_rows;
    auto wmi_fault = [&](uint64_t t, const ScriptWmiFault& fault, const std::string& where) {
      Span span;
      span.from = span.to = t;
      span.open = false;
      span.shape = Shape::kPoint;
      span.color = kFaultColor;
      span.text_color = kFaultColor;
      std::string word(WmiFaultWord(fault.fault));
      span.labels = {word + (fault.times > 1 ? " \u00d7" + std::to_string(fault.times) : ""), word};
      span.title = "WMI fault " + where + ": " + FaultSentence(fault) + ".";
      faults_[0].spans.push_back(span);
    };
    auto machine_fault = [&](uint64_t t, const MachineFault& fault, const std::string& where) {
      Row* row = nullptr;
      std::string state;
      std::string what;
      if (const auto* refusal = std::get_if<EventLogRefusal>(&fault)) {
        row = &faults_[1];
        if (refusal->error != 0) state = "refusing records (" + std::to_string(refusal->error) + ")";
        what = "the event log refuses every record of the service with error " + std::to_string(refusal->error);
      } else if (const auto* writes = std::get_if<RegistryRefusal>(&fault)) {
        row = &faults_[2];
        if (writes->error != 0) state = "refusing changes (" + std::to_string(writes->error) + ")";
        what = "the registry refuses every change the service makes with error " + std::to_string(writes->error);
      } else {
        const auto& folder = std::get<FolderChange>(fault);
        auto [it, added] = folder_rows.emplace(folder.path, faults_.size());
        if (added) faults_.push_back(Row{"folder " + folder.path, "", {}});
        row = &faults_[it->second];
        static constexpr const char* kStates[] = {"writable", "read-only", "full", "missing"};
        if (folder.state != FolderState::kWritable) state = kStates[static_cast<int>(folder.state)];
        what = folder.path + " is " + kStates[static_cast<int>(folder.state)];
      }
      Close(*row, t);
      if (state.empty()) return;
      Span span;
      span.from = span.to = t;
      span.labels = {state, state.substr(0, state.find(' '))};
      span.color = kFaultSpellColor;
      span.text_color = "#5d0000";
      span.title = "Machine fault " + where + ": " + what + ".";
      row->spans.push_back(span);
    };
    for (const ScriptWmiFault& fault : scenario_.wmi_faults) wmi_fault(0, fault, "scripted before the start");
    for (const MachineFault& fault : scenario_.machine_faults) machine_fault(0, fault, "from the start");
    for (const TimedStep& step : scenario_.steps) {
      uint64_t t = InputTime(step.line).value_or(step.at_ms);
      std::string where = "from " + When(t) + " (scenario line " + std::to_string(step.line) + ": " + step.text + ")";
      if (const auto* fault = std::get_if<ScriptWmiFault>(&step.action)) wmi_fault(t, *fault, where);
      if (const auto* fault = std::get_if<MachineFault>(&step.action)) machine_fault(t, *fault, where);
      if (const auto* text = std::get_if<DeliverEventText>(&step.action)) {
        Span span;
        span.from = span.to = t;
        span.open = false;
        span.shape = Shape::kPoint;
        span.color = span.text_color = kFaultColor;
        span.labels = {"event text"};
        span.title = "WMI fault " + where + ": the next event of " + text->target +
                     " carries the scenario's text instead of the provider's:\n" + text->text;
        faults_[0].spans.push_back(span);
      }
    }
    for (Row& row : faults_)
      for (Span& span : row.spans)
        if (span.open && span.shape == Shape::kBar) span.title += " Until the end of the run.";
  }

  // The service runs from its start record to its stop record.
  void ReadService() {
    service_.label = "service";
    for (const Observation& o : observations_) {
      if (o.kind != Observation::Kind::kEvent || o.source != "QVMZUFT") continue;
      bool open = !service_.spans.empty() && service_.spans.back().open;
      if (o.event_id == EVID_SERVICE_STARTED && !open) {
        Switch(service_, o.t_ms, "running", "from its start record to its stop record");
        service_.spans.back().color = kServiceColor;
      } else if (o.event_id == EVID_SERVICE_STOPPED && open) {
        Close(service_, o.t_ms);
      }
    }
  }

  // The monitor's view of each pair and its timers, from the trace.
  void ReadMonitor() {
    for (const ModulePair& pair : kPairs) {
      pairs_[pair.label].label = std::string(pair.label) + " pair, as the monitor sees it";
      pairs_[pair.label].pair = pair.label;
    }
    std::vector<TimerLine> own;    // lines of the timer threads
    std::vector<TimerLine> about;  // lines that stop a timer
    // A WMI thread's DUPLEX event, waiting for the pair line that says
    // whether both halves are DUPLEX: its pair and its line.
    std::map<int, std::pair<std::string, std::string>> awaiting_pair_line;
    // The SimplexDate each pair has stored, as far as the run shows it.
    std::array<std::optional<std::string>, kPairs.size()> simplex_date;
    for (size_t k = 0; k < kPairs.size(); ++k) simplex_date[k] = ScenarioSimplexDate(kPairs[k]);
    std::optional<std::pair<uint64_t, std::string>> date_stored;  // by the SIMPLEX timer that starts next
    std::optional<uint64_t> date_ahead;                           // its line
    std::string version = "unknown";
    bool reading_settings = false;  // from the monitor's start to its timer manager's
    const std::string date_head = StringPrintf(trace_text::kRegisterSzStored, kSimplexDateValue, "");
    // The lines looked for whole, written out once.
    std::map<std::string, size_t> date_deleted;  // -> the pair whose SimplexDate goes
    for (const SerialModule& module : kSerialModules)
      for (size_t k = 0; k < kPairs.size(); ++k)
        if (kPairs[k].board_key == module.kept_key)
          date_deleted[StringPrintf(trace_text::kSimplexDateDeleted, module.value_name)] = k;
    std::map<std::string, int> thread_start;                // -> its group
    std::map<std::string, std::pair<int, bool>> pair_line;  // -> its group, both halves DUPLEX
    for (int group : {kGroupCpu, kGroupPci}) {
      thread_start[StringPrintf(trace_text::kWmiStart, group)] = group;
      pair_line[StringPrintf(trace_text::kPairDuplex, group, GroupPair(group).label)] = {group, true};
      for (int a : {0, 1})
        for (int b : {0, 1}) pair_line[StringPrintf(trace_text::kPairHalfDuplex, group, a, b)] = {group, false};
    }
    for (size_t seq = 0; seq < observations_.size(); ++seq) {
      const Observation& o = observations_[seq];
      // A stopped service watches nothing.
      if (o.kind == Observation::Kind::kEvent && o.event_id == EVID_SERVICE_STOPPED)
        for (auto& [name, row] : pairs_) Close(row, o.t_ms);
      if (o.kind != Observation::Kind::kTrace || o.text.size() <= kStampLength) continue;
      std::string_view line = std::string_view(o.text).substr(kStampLength);
      std::string line_text(line);
      // A pair without modules is drawn when its monitor saw it lose
      // redundancy or a timer of its ran.
      auto view = [&](const std::string& pair, const std::string& state, const std::string& why) {
        Switch(pairs_[pair], o.t_ms, state, why + "\n\n" + ScenarioTimeText(o.t_ms) + " " + line_text);
        if (state != "DUPLEX") pairs_shown_[pair] = true;
      };

      if (line == trace_text::kServiceThreadStart) {
        version = "unknown";
        reading_settings = true;
      }
      if (line == trace_text::kManagerStart) reading_settings = false;
      if (reading_settings && line.starts_with(trace_text::FixedPart(trace_text::kPlatformVersionFound, 0)))
        version = std::string(line.substr(trace_text::FixedPart(trace_text::kPlatformVersionFound, 0).size()));
      if (line.starts_with(date_head)) date_stored = {o.t_ms, std::string(line.substr(date_head.size()))};
      if (line == trace_text::kSimplexDateFuture) date_ahead = o.t_ms;
      if (auto deleted = date_deleted.find(line_text); deleted != date_deleted.end())
        simplex_date[deleted->second] = "";

      // A WMI thread starts watching its pairs as DUPLEX.
      if (auto started = thread_start.find(line_text); started != thread_start.end())
        for (const ModulePair& pair : kPairs)
          if (pair.group == started->second)
            view(pair.label, "DUPLEX", "its WMI thread started; it starts from DUPLEX");
      // The start-up status query: its code decides, as the WMI thread reads
      // it ("[WMIThread 1]GetStatus nRtn = 7"). Only the thread's own line
      // counts: an alert's composer writes status lines of the same form.
      for (int group : {kGroupCpu, kGroupPci}) {
        std::string head = StringPrintf(trace_text::kWmiStatus, group, 0);
        head.pop_back();
        int code = 0;
        if (!line.starts_with(head) || !ParseInt(line.substr(head.size()), &code) ||
            line != StringPrintf(trace_text::kWmiStatus, group, code))
          continue;
        const StatusRow& row = InitialStatusRow(group, code);
        std::string found = "the start-up status query of its WMI thread gave code " + std::to_string(code);
        for (const char* status_line : row.lines)
          if (status_line != nullptr) found += std::string(", \"") + status_line + "\"";
        const ModulePair& group_pair = GroupPair(group);
        Row& watched = pairs_[group_pair.label];
        if (row.group_state != 0)
          view(group_pair.label, StateName(row.group_state), found);
        else if (watched.spans.empty() || !watched.spans.back().open)
          view(group_pair.label, "DUPLEX", found);  // the thread's start line was lost
        if (group == kGroupPci && row.expci_state != 0)
          view(kPairs[CHANGE_EXPCI_SIMPLEX].label, StateName(row.expci_state), found);
      }
      // A state event: "  (CPU 1) --> SIMPLEX"; a DUPLEX waits for the pair
      // line that says whether both halves are DUPLEX.
      for (int group : {kGroupCpu, kGroupPci}) {
        const char* format = group == kGroupCpu ? trace_text::kCpuModuleState : trace_text::kPciModuleState;
        std::string_view prefix = trace_text::FixedPart(format, 0);
        int module = line.starts_with(prefix) ? NumberAfter(line, prefix) : -1;
        if (module < 0) continue;
        std::string head = StringPrintf(format, module) + " ";
        if (!line.starts_with(head)) continue;
        std::string state(line.substr(head.size()));
        std::string pair = PairOf(group == kGroupCpu ? "cpu" : "pci", module);
        std::string who = (group == kGroupCpu ? "CPU module " : "PCI module ") + std::to_string(module);
        if (state == "SIMPLEX" || (state == "TRIPLEX" && pair == "CPU")) view(pair, state, who + " reported " + state);
        if (state == "DUPLEX") awaiting_pair_line[group] = {pair, ScenarioTimeText(o.t_ms) + " " + line_text};
      }
      if (auto said = pair_line.find(line_text); said != pair_line.end()) {
        auto waiting = awaiting_pair_line.find(said->second.first);
        if (waiting != awaiting_pair_line.end()) {
          const auto& [pair, event_line] = waiting->second;
          if (said->second.second)
            view(pair, "DUPLEX", "both halves of the pair have reported DUPLEX\n\n" + event_line);
          else
            view(pair, "SIMPLEX",
                 "a module reported DUPLEX, but its partner has not: the pair counts as SIMPLEX\n\n" + event_line);
          awaiting_pair_line.erase(waiting);
        }
      }

      // Timers: their starts now, the rest of their lines once every start
      // is known.
      std::string note = ScenarioTimeText(o.t_ms) + " " + line_text;
      // "... StopTimer(4)", of the manager or of a timer.
      int stop_target = NumberAfter(line, trace_text::FixedPart(trace_text::kManagerStopTimer, 1));
      if (stop_target >= 0) {
        TimerLine request{.t_ms = o.t_ms, .seq = seq, .index = stop_target, .note = note};
        request.request = true;
        request.from_manager = line.starts_with(trace_text::FixedPart(trace_text::kManagerStopTimer, 0));
        about.push_back(request);
      }
      for (int k = 0; k < kDuplexOffset; ++k)
        if (line == StringPrintf(trace_text::kFlapAbsorbed, kPairs[static_cast<size_t>(k)].label))
          about.push_back({.t_ms = o.t_ms, .seq = seq, .index = k + kDuplexOffset, .note = note});
      std::string_view timer_head = trace_text::FixedPart(trace_text::kTimerStart, 0);
      int index = NumberAfter(line, timer_head);
      if (index < 0 || index >= kTimerCount || !line.starts_with(timer_head)) continue;
      int limit = NumberAfter(line, trace_text::FixedPart(trace_text::kTimerStart, 1));
      if (limit >= 0 && line == StringPrintf(trace_text::kTimerStart, index, limit)) {
        Timer timer;
        timer.index = index;
        timer.start = timer.end = o.t_ms;
        timer.limit_s = limit;
        timer.version = version;
        if (index < kDuplexOffset) {
          auto k = static_cast<size_t>(index);
          timer.counted_from = simplex_date[k];
          timer.date_ahead = date_ahead == o.t_ms;
          if (date_stored && date_stored->first == o.t_ms) simplex_date[k] = date_stored->second;
          date_stored.reset();
        }
        timers_.push_back(timer);
        pairs_shown_[PairOfTimer(index).label] = true;
      }
      TimerLine mine{.t_ms = o.t_ms, .seq = seq, .index = index, .note = note};
      auto says = [&](const char* format, int n) {
        std::string_view part = trace_text::FixedPart(format, n);
        return line.find(part) != std::string_view::npos;
      };
      if (says(trace_text::kTimerRunOut, 1)) mine.ends = TimerEnd::kRanOut;
      if (says(trace_text::kTimerCancel, 1)) mine.ends = TimerEnd::kCancelled;
      if (line == StringPrintf("[TimerThread %d]%s", index, trace_text::kStopReturn)) mine.ends = TimerEnd::kStopped;
      if (says(trace_text::kTimerClockBack, 1)) mine.ends = TimerEnd::kClockBack;
      if (says(trace_text::kTimerWaitError, 1)) mine.ends = TimerEnd::kWaitFailed;
      if (line == StringPrintf(trace_text::kComposerNoSlot, index)) mine.composer = Composer::kNoSlot;
      if (says(trace_text::kComposerError, 1)) mine.composer = Composer::kFailed;
      if (says(trace_text::kComposerStarted, 1)) mine.composer = Composer::kStarted;
      if (index >= kDuplexOffset &&
          line == StringPrintf(trace_text::kTimerBackToDuplex, index, PairOfTimer(index).label))
        mine.back_to_duplex = true;
      own.push_back(mine);
    }
    // A timer's lines are those of its thread from its start on: the line
    // that explains its limit comes just before its start line, and lines
    // that follow its end (the composer's start) are still its own.
    for (const TimerLine& line : own) {
      Timer* timer = TimerAt(line.index, line.t_ms);
      if (timer == nullptr) continue;
      timer->notes.emplace_back(line.seq, line.note);
      std::string_view recurrence = trace_text::FixedPart(trace_text::kTimerRecurrence, 2);
      if (line.note.find(recurrence) != std::string::npos) {
        timer->long_threshold = true;
        timer->long_minutes = NumberAfter(line.note, recurrence);
      }
      if (line.ends && timer->how == TimerEnd::kRunning) {
        timer->how = *line.ends;
        timer->end = line.t_ms;
      }
      if (line.composer) timer->composer = *line.composer;
      timer->back_to_duplex = timer->back_to_duplex || line.back_to_duplex;
    }
    // A cancel request goes to the timer of its index that runs then (or
    // starts next: a request for a timer that has ended waits for the next).
    for (const TimerLine& line : about) {
      Timer* timer = TimerAt(line.index, line.t_ms);
      if (timer != nullptr && timer->how != TimerEnd::kRunning && timer->end < line.t_ms) timer = TimerAfter(line);
      if (timer == nullptr) continue;
      timer->notes.emplace_back(line.seq, line.note);
      if (line.request) {
        timer->stopped_by_manager = line.from_manager;
        timer->stopped_by_duplex_timer = !line.from_manager;
      }
    }
    for (Timer& timer : timers_)
      std::stable_sort(timer.notes.begin(), timer.notes.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
  }

  static bool ParseInt(std::string_view text, int* value) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 9) return false;
    int n = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      n = n * 10 + (c - '0');
    }
    *value = negative ? -n : n;
    return true;
  }

  // The SimplexDate the scenario stores for `pair` before the start, as far
  // as it says: "" when it deletes it, none when it says nothing.
  std::optional<std::string> ScenarioSimplexDate(const ModulePair& pair) const {
    std::optional<std::string> date;
    for (const RegistryStep& step : scenario_.registry) {
      if (step.hive != Hive::kLocalMachine || !SameKey(step.key, pair.board_key)) continue;
      if (step.remove && !step.value) date = "";
      if (!step.value || !SameKey(*step.value, kSimplexDateValue)) continue;
      if (step.remove) {
        date = "";
      } else {
        std::string text(step.data.begin(), step.data.end());
        date = text.substr(0, text.find('\0'));
      }
    }
    return date;
  }

  // The timer of `index` started last at or before `t_ms`.
  Timer* TimerAt(int index, uint64_t t_ms) {
    Timer* found = nullptr;
    for (Timer& timer : timers_)
      if (timer.index == index && timer.start <= t_ms) found = &timer;
    return found;
  }

  // The first timer of the line's index that starts after it.
  Timer* TimerAfter(const TimerLine& line) {
    for (Timer& timer : timers_)
      if (timer.index == line.index && timer.start > line.t_ms) return &timer;
    return nullptr;
  }

  // Why a timer has its limit, for its bar (short) and its hover text.
  // Why a timer has its limit: labels for its bar, longest first, and the
  // sentence of its hover text.
  struct LimitWords {
    std::vector<std::string> labels;
    std::string sentence;
  };

  LimitWords LimitTexts(const Timer& timer) const {
    std::string seconds = std::to_string(timer.limit_s) + " s";
    if (timer.index < kDuplexOffset) {
      const ModulePair& pair = PairOfTimer(timer.index);
      if (timer.long_threshold) {
        bool known = timer.counted_from && !timer.counted_from->empty();
        std::string date = known ? "SimplexDate " + DateText(*timer.counted_from) : "the stored SimplexDate";
        if (timer.date_ahead)
          return {{seconds + ": " + date + " lies ahead", seconds + ": SimplexDate ahead", seconds},
                  seconds + ", because " + date + " lies in the future: the pair counts as SIMPLEX again"};
        std::string minutes = timer.long_minutes >= 0 ? std::to_string(timer.long_minutes) + " min" : "its";
        return {{seconds + ": within the long threshold of " + date, seconds + ": " + date, seconds},
                seconds + ": the pair was SIMPLEX before, from " + date + ", within its long threshold (" + minutes +
                    "), so it is announced after 20 s"};
      }
      char first = timer.version.empty() ? '\0' : timer.version[0];
      uint32_t default_minutes = ThresholdDefaultsFor(first)[static_cast<size_t>(timer.index)].short_minutes;
      std::string minutes = timer.limit_s % 60 == 0 ? std::to_string(timer.limit_s / 60) + " min" : seconds;
      std::string why = "; the pair was not SIMPLEX within its long threshold before";
      if (timer.limit_s == static_cast<int>(default_minutes) * 60) {
        // A version above '5' has defaults of its own, whatever its generation.
        bool own_row = static_cast<signed char>(first) > '5';
        std::string generation = std::to_string(PlatformGenFromVersion(timer.version.c_str()));
        std::string whose = own_row ? "default for version " + timer.version : "generation-" + generation + " default";
        return {{seconds + ": short threshold, " + whose,
                 seconds + ": " + (own_row ? "default" : "gen-" + generation + " default"), seconds},
                seconds + ": the " + pair.label + " pair's short threshold of " + minutes + ", the " + whose +
                    " (platform version " + timer.version + ")" + why};
      }
      return {
          {seconds + ": short threshold (" + minutes + ")", seconds + ": short threshold", seconds},
          seconds + ": the " + pair.label + " pair's short threshold of " + minutes + ", set in the registry" + why};
    }
    if (timer.limit_s == 5)
      return {{seconds + ": its SIMPLEX timer ends within 2 s", seconds},
              seconds + ": its SIMPLEX timer runs out within 2 s, so both alerts are written, the SIMPLEX one first"};
    if (timer.index == CHANGE_PCI_DUPLEX && timer.limit_s == 300)
      return {{seconds + ": no SIMPLEX timer runs", seconds},
              seconds + ": the PCI pair waits 5 minutes before it announces DUPLEX (no SIMPLEX timer runs)"};
    if (timer.index == CHANGE_PCI_DUPLEX && timer.limit_s != 1)
      return {{seconds + ": cut 5 s before its SIMPLEX partner", seconds + ": cut short", seconds},
              seconds + ": it runs out 5 s before its SIMPLEX timer would, to cancel it if the pair stays DUPLEX"};
    return {{seconds}, seconds + " (its SIMPLEX timer, if any, has more than 2 s left)"};
  }

  static std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
  }

  std::string Outcome(const Timer& timer) const {
    bool simplex = timer.index < kDuplexOffset;
    std::string at = " at " + When(timer.end);
    switch (timer.how) {
      case TimerEnd::kRunning:
        return "still running when the run ended";
      case TimerEnd::kRanOut:
        if (timer.back_to_duplex)
          return "ran out" + at +
                 ": the loss it answered was never announced (DUP->SIMP->DUP), so it stops its SIMPLEX timer if "
                 "that still runs, and neither alert is written";
        if (timer.composer == Composer::kStarted)
          return "ran out" + at + ": it started the " + (simplex ? "SIMPLEX" : "DUPLEX") + " alert";
        if (timer.composer == Composer::kNoSlot)
          return "ran out" + at + ", but all eight composer slots were taken: the alert is lost";
        if (timer.composer == Composer::kFailed) return "ran out" + at + ", but its composer could not start: no alert";
        return "ran out" + at;
      case TimerEnd::kCancelled:
        if (simplex && timer.stopped_by_duplex_timer) return "cancelled by the DUPLEX timer" + at + ": no alert";
        if (!simplex && timer.stopped_by_manager)
          return "cancelled by the timer manager" + at +
                 ": the pair fell to SIMPLEX again with more than 2 s of this timer left (SIMP->DUP->SIMP), so no "
                 "DUPLEX alert and no new SIMPLEX timer; a SIMPLEX timer still running runs on";
        return "cancelled" + at + ": no alert";
      case TimerEnd::kStopped:
        return "ended with the service" + at + ": no alert";
      case TimerEnd::kClockBack:
        return "ended" + at + ": the tick counter went back, and the timer manager starts a fresh timer";
      case TimerEnd::kWaitFailed:
        return "ended" + at + ": its wait failed, no alert";
    }
    return "";
  }

  Row TimerRow(const std::string& pair, bool duplex) {
    Row row;
    row.label = pair + (duplex ? " DUPLEX timer" : " SIMPLEX timer");
    for (const Timer& timer : timers_) {
      if (PairOfTimer(timer.index).label != pair || (timer.index >= kDuplexOffset) != duplex) continue;
      LimitWords limit = LimitTexts(timer);
      Span span;
      span.from = timer.start;
      span.to = timer.how != TimerEnd::kRunning ? timer.end : end_;
      span.open = false;
      span.labels = limit.labels;
      span.color = duplex ? kTimerDuplexColor : kTimerSimplexColor;
      span.title = row.label + " (TimerThread " + std::to_string(timer.index) + "), started at " + When(timer.start) +
                   ".\nLimit " + limit.sentence + ".\n" + Capitalised(Outcome(timer)) + ".\n\nIts trace lines:";
      for (const auto& [t, note] : timer.notes) span.title += "\n" + note;
      span.limit = timer.start + static_cast<uint64_t>(timer.limit_s) * 1000;
      row.spans.push_back(span);
    }
    return row;
  }

  std::string Text(double x, int y, int size, const std::string& fill, const std::string& text,
                   const char* extra = "") const {
    return Format("<text x=\"%.1f\" y=\"%d\" font-size=\"%d\"%s%s%s>%s</text>", x, y, size,
                  fill.empty() ? "" : (" fill=\"" + fill + "\"").c_str(), *extra ? " " : "", extra,
                  Escape(text).c_str());
  }

  std::string Axis(int top, int bottom) const {
    static constexpr uint64_t kSteps[] = {1000,     2000,     5000,     10000,    15000,     30000,    60000,
                                          120000,   300000,   600000,   900000,   1800000,   3600000,  7200000,
                                          10800000, 21600000, 43200000, 86400000, 172800000, 604800000};
    uint64_t step = kSteps[std::size(kSteps) - 1];
    for (uint64_t candidate : kSteps) {
      if (end_ / candidate <= 12) {
        step = candidate;
        break;
      }
    }
    std::string out = "<g class=\"axis\" stroke=\"#e0e0e0\">\n";
    for (uint64_t t = 0; t <= end_; t += step) {
      double x = X(t);
      std::string label = ScenarioTimeText(t);
      label = label.substr(0, label.size() - 4);  // to the second
      out += Format("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>", x, top, x, bottom);
      out += Text(x, top - 4, kNameSize, "#555", label, "stroke=\"none\" text-anchor=\"middle\"") + "\n";
    }
    out += "</g>\n";
    return out;
  }

  // What a span takes on its row: its bar (a point's mark) and, for a
  // timer, the outline of the limit it did not run and the limit's line.
  struct Geometry {
    double x1 = 0;
    double x2 = 0;
    double xl = 0;  // where the limit (or the bar) ends
  };

  Geometry Place(const Span& span) const {
    Geometry g;
    if (span.shape == Shape::kPoint) {
      g.x1 = X(span.from) - 6;
      g.x2 = g.xl = X(span.from) + 6;
      return g;
    }
    uint64_t to = span.open ? end_ : span.to;
    g.x1 = X(span.from);
    g.x2 = std::max(X(to), g.x1 + kMinSpanWidth);
    g.xl = g.x2;
    if (span.limit) g.xl = std::max(g.x2, X(std::min(*span.limit, end_)) + 1);
    return g;
  }

  // `name` within `width` pixels: as it is, or with its middle cut out
  // ("folder C:\QOR\…\Temp"); the hover text of the row's marks names it whole.
  static std::string Fitted(const std::string& name, double width) {
    if (EstimatedTextWidth(name, kNameSize) <= width) return name;
    for (size_t cut = 1; cut < name.size(); ++cut) {
      size_t head = (name.size() - cut) / 2;
      // Whole UTF-8 characters only.
      while (head > 0 && (static_cast<unsigned char>(name[head]) & 0xC0) == 0x80) --head;
      size_t tail = head + cut;
      while (tail < name.size() && (static_cast<unsigned char>(name[tail]) & 0xC0) == 0x80) ++tail;
      std::string text = name.substr(0, head) + "\u2026" + name.substr(tail);
      if (EstimatedTextWidth(text, kNameSize) <= width) return text;
    }
    return "\u2026";
  }

  std::string DrawRow(const Row& row, int y) {
    std::string out =
        Format("<g class=\"row\"%s>", row.pair.empty() ? "" : (" data-pair=\"" + row.pair + "\"").c_str());
    out += Text(10, y + kBarHeight - 3, kNameSize, "", Fitted(row.label, kLabelWidth - 16)) + "\n";
    std::vector<Geometry> places;
    std::vector<Interval> taken;  // bars, limits, alert lines and labels of the row
    for (const Span& span : row.spans) {
      places.push_back(Place(span));
      taken.push_back({places.back().x1, places.back().xl});
    }
    for (double line : alert_xs_) taken.push_back({line, line});
    for (size_t i = 0; i < row.spans.size(); ++i) {
      const Span& span = row.spans[i];
      const Geometry& g = places[i];
      uint64_t to = span.open ? end_ : span.to;
      std::string title = span.title;
      if (!span.state.empty())
        title = span.state + " from " + When(span.from) + (span.open ? " to the end of the run" : " to " + When(to)) +
                ": " + span.title;
      title = "<title>" + Escape(title) + "</title>";
      if (span.shape == Shape::kPoint) {
        double x = X(span.from);
        out += Format("<path class=\"fault\" d=\"M %.1f %d l 6 12 l -12 0 z\" fill=\"%s\">%s</path>", x, y + 2,
                      span.color.c_str(), title.c_str());
      } else {
        if (span.limit) {
          // The part of its limit a timer did not run, dashed; the limit's
          // line where the limit falls, however narrow the bar is drawn.
          double xlimit = X(std::min(*span.limit, end_));
          if (*span.limit > to && xlimit > g.x2)
            out += Format(
                "<rect class=\"not-run\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"none\" "
                "stroke=\"%s\" stroke-dasharray=\"4 3\">%s</rect>",
                g.x2, y, xlimit - g.x2, kBarHeight, span.color.c_str(), title.c_str());
          if (*span.limit <= end_)
            out += Format(
                "<line class=\"limit\" x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#333\" "
                "stroke-width=\"2\">%s</line>",
                xlimit, y - 3, xlimit, y + kBarHeight + 3, title.c_str());
        }
        std::string data;
        if (!span.state.empty())
          data = Format(" data-state=\"%s\" data-from=\"%llu\" data-to=\"%llu\"", Escape(span.state).c_str(),
                        static_cast<unsigned long long>(span.from), static_cast<unsigned long long>(to));
        out += Format("<rect class=\"%s\" x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"%s>%s</rect>",
                      span.limit           ? "timer"
                      : span.state.empty() ? "spell"
                                           : "state",
                      g.x1, y, g.x2 - g.x1, kBarHeight, span.color.c_str(), data.c_str(), title.c_str());
      }
      std::optional<std::pair<double, size_t>> label = LabelPlace(span, g, taken);
      if (label) {
        const std::string& text = span.labels[label->second];
        double width = EstimatedTextWidth(text, kLabelSize);
        bool inside = span.shape == Shape::kBar && label->first >= g.x1 && label->first + width <= g.x2;
        out += Text(label->first, y + kBarHeight - 4, kLabelSize, inside ? span.text_color : "#333", text,
                    "class=\"label\" pointer-events=\"none\"");
        taken.push_back({label->first, label->first + width});
      }
      out += "\n";
    }
    out += "</g>\n";
    return out;
  }

  // Where a span's label starts, and which of its labels it is: the first
  // that fits inside the bar, else beside it, right or left, clear of every
  // bar, limit, alert line and label of the row.
  std::optional<std::pair<double, size_t>> LabelPlace(const Span& span, const Geometry& g,
                                                      const std::vector<Interval>& taken) const {
    for (size_t which = 0; which < span.labels.size(); ++which) {
      const std::string& text = span.labels[which];
      if (text.empty()) continue;
      double width = EstimatedTextWidth(text, kLabelSize);
      if (span.shape == Shape::kBar) {
        // Inside: everything but its own bar is in the way.
        std::vector<Interval> others;
        for (const Interval& t : taken)
          if (!(t.from == g.x1 && t.to == g.xl)) others.push_back(t);
        if (auto at = FreePlace(g.x1 + 3, g.x2 - 3, width, false, others)) return std::pair{*at, which};
      }
      // Beside: a timer's, which tells its rule, or a point's; a state's
      // would only repeat its colour.
      if (!span.limit && span.shape != Shape::kPoint) continue;
      if (auto at = FreePlace(g.xl, std::min<double>(g.xl + kBesideReach + width, kWidth - 10), width, false, taken))
        return std::pair{*at, which};
      if (auto at = FreePlace(std::max<double>(kLabelWidth, g.x1 - kBesideReach - width), g.x1, width, true, taken))
        return std::pair{*at, which};
    }
    return std::nullopt;
  }

  std::string Pulses(int y) const {
    std::string out =
        Format("<g class=\"pulses\">%s\n", Text(10, y + kBarHeight - 3, kNameSize, "", "hot-plug pulses").c_str());
    for (const Observation& o : observations_) {
      if (o.kind != Observation::Kind::kPulse) continue;
      out += Format(
          "<line class=\"pulse\" x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"%s\" "
          "stroke-width=\"2\"><title>%s</title></line>\n",
          X(o.t_ms), y, X(o.t_ms), y + kBarHeight, kPulseColor,
          Escape("A pulse of the hot-plug event at " + When(o.t_ms) + ".").c_str());
    }
    out += "</g>\n";
    return out;
  }

  // Every record in the event-log row, side by side where they come close
  // (a restart's stop and start, a record right after an alert), each tied
  // to its moment by a short line; each alert also as a line through every
  // row and its first line as a label, in as many lines below as it takes
  // to keep the labels apart.
  std::string Events(int y, int* lanes) const {
    std::string out =
        Format("<g class=\"events\">%s\n", Text(10, y + kBarHeight - 3, kNameSize, "", "event log").c_str());
    int cy = y + kBarHeight / 2;
    double last_marker = -1e9;
    std::vector<std::vector<Interval>> lane_labels;
    for (const Observation& o : observations_) {
      if (o.kind != Observation::Kind::kEvent) continue;
      std::string text;
      for (const std::string& s : o.strings) text += (text.empty() ? "" : "\n") + s;
      bool alert = o.source == "QVMFTMarvix";
      std::string what = alert                                ? (o.event_id == EVID_SIMPLEX_ALERT  ? "The SIMPLEX alert"
                                                                 : o.event_id == EVID_DUPLEX_ALERT ? "The DUPLEX alert"
                                                                                                   : "A record")
                         : o.event_id == EVID_SERVICE_STARTED ? "The service's start record"
                         : o.event_id == EVID_SERVICE_STOPPED ? "The service's stop record"
                                                              : "A record of the service";
      std::string title =
          Escape(what + ", written at " + When(o.t_ms) + ": " + o.source + " " + EventTypeName(o.type) + " event " +
                 std::to_string(o.event_id & 0xFFFF) + "." + (text.empty() ? "" : "\n\n" + text));
      std::string color = TypeColor(o.type);
      double x = X(o.t_ms);
      double cx = std::max(x, last_marker + kMarkerGap);
      last_marker = cx;
      if (cx > x)
        out +=
            Format("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"%s\"/>", x, cy, cx, cy, color.c_str());
      if (!alert) {
        bool stop = o.event_id == EVID_SERVICE_STOPPED;
        out += Format(
            "<circle class=\"record\" cx=\"%.1f\" cy=\"%d\" r=\"5\" fill=\"%s\" stroke=\"%s\" "
            "stroke-width=\"2\"><title>%s</title></circle>\n",
            cx, cy, stop ? "white" : color.c_str(), color.c_str(), title.c_str());
        continue;
      }
      std::string first_line = text.substr(0, text.find('\n'));
      out += Format("<g class=\"alert\"><title>%s</title>", title.c_str());
      out += Format("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"%s\" stroke-dasharray=\"6 3\"/>", x,
                    kTop - 8, x, y, color.c_str());
      out += Format("<path d=\"M %.1f %d l 7 8 l -7 8 l -7 -8 z\" fill=\"%s\"/>", cx, y, color.c_str());
      // Labels near the right edge end at their alert.
      double width = EstimatedTextWidth(first_line, kLabelSize);
      bool right = cx + 9 + width > kWidth - 10;
      double from = right ? cx - 9 - width : cx + 9;
      size_t lane = 0;
      while (lane < lane_labels.size() &&
             std::any_of(lane_labels[lane].begin(), lane_labels[lane].end(), [&](const Interval& t) {
               return from < t.to + kLabelGap && from + width > t.from - kLabelGap;
             }))
        ++lane;
      if (lane == lane_labels.size()) lane_labels.emplace_back();
      lane_labels[lane].push_back({from, from + width});
      out += Text(right ? cx - 9 : cx + 9, y + kRowHeight + 4 + static_cast<int>(lane) * kLaneHeight, kLabelSize, color,
                  first_line, right ? "class=\"alert-label\" text-anchor=\"end\"" : "class=\"alert-label\"");
      out += "</g>\n";
    }
    out += "</g>\n";
    *lanes = static_cast<int>(lane_labels.size());
    return out;
  }

  // The colours of states, then every other kind of mark, in lines as long
  // as the picture is wide.
  std::string Legend(int y, int* lines) const {
    std::string out = "<g class=\"legend\">";
    int x = 10;
    int line_y = y;
    *lines = 1;
    auto entry = [&](const std::function<std::string(int, int)>& mark, const std::string& text) {
      double width = 18 + EstimatedTextWidth(text, kLabelSize) + 14;
      if (x + width > kWidth - 10) {
        x = 10;
        line_y += 22;
        ++*lines;
      }
      out += mark(x, line_y) + Text(x + 18, line_y + 10, kLabelSize, "", text);
      x += static_cast<int>(width);
    };
    auto box = [](const std::string& fill, const std::string& extra = "") {
      return [fill, extra](int bx, int by) {
        return Format("<rect x=\"%d\" y=\"%d\" width=\"14\" height=\"12\" fill=\"%s\"%s/>", bx, by, fill.c_str(),
                      extra.c_str());
      };
    };
    for (const char* state : {"DUPLEX", "TRIPLEX", "SIMPLEX", "REMOVED", "BROKEN"})
      entry(box(StateColor(state)), state);
    entry(box(StateColor("other")), "other state");
    entry(box(kServiceColor), "service running");
    x = 10;
    line_y += 22;
    ++*lines;
    entry(box(kTimerSimplexColor), "SIMPLEX timer");
    entry(box(kTimerDuplexColor), "DUPLEX timer");
    entry(
        [](int bx, int by) {
          return Format("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#333\" stroke-width=\"2\"/>", bx + 7,
                        by - 2, bx + 7, by + 14);
        },
        "timer limit");
    entry(box("none", Format(" stroke=\"%s\" stroke-dasharray=\"4 3\"", kTimerSimplexColor)),
          "part of its limit a timer did not run");
    entry([](int bx,
             int by) { return Format("<path d=\"M %d %d l 6 12 l -12 0 z\" fill=\"%s\"/>", bx + 7, by, kFaultColor); },
          "WMI fault");
    entry(box(kFaultSpellColor), "event log, registry or folder refusing");
    entry(
        [](int bx, int by) {
          return Format("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"%s\" stroke-width=\"2\"/>", bx + 7, by,
                        bx + 7, by + 12, kPulseColor);
        },
        "hot-plug pulse");
    auto circle = [](const std::string& fill, const std::string& stroke) {
      return [fill, stroke](int bx, int by) {
        return Format("<circle cx=\"%d\" cy=\"%d\" r=\"5\" fill=\"%s\" stroke=\"%s\" stroke-width=\"2\"/>", bx + 7,
                      by + 6, fill.c_str(), stroke.c_str());
      };
    };
    entry(circle(TypeColor(win::kEventlogInformationType), TypeColor(win::kEventlogInformationType)),
          "service start or other information record");
    entry(circle(TypeColor(win::kEventlogErrorType), TypeColor(win::kEventlogErrorType)), "error record");
    entry(circle("white", TypeColor(win::kEventlogInformationType)), "service stopped");
    auto diamond = [](uint16_t type) {
      return [type](int bx, int by) {
        return Format("<path d=\"M %d %d l 7 8 l -7 8 l -7 -8 z\" fill=\"%s\"/>", bx + 7, by - 2,
                      TypeColor(type).c_str());
      };
    };
    entry(diamond(win::kEventlogWarningType), "SIMPLEX alert (warning), its line through every row");
    entry(diamond(win::kEventlogInformationType), "DUPLEX alert (information)");
    out += "</g>\n";
    return out;
  }

  const Scenario& scenario_;
  const std::vector<Observation>& observations_;
  const uint64_t end_;
  std::map<int, const TimedStep*> step_of_line_;
  Row service_;
  std::map<std::string, Row> modules_;  // by module number, then key
  std::vector<Row> faults_;             // WMI, event log, registry, then folders
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
