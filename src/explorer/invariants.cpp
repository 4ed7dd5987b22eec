#include "explorer/invariants.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "diagnostics/trace_texts.h"
#include "runner/output.h"

namespace fenra::explorer {
namespace {

using runner::Observation;
using runner::Scenario;

// Event identifiers and state codes as the service's users know them.
constexpr uint32_t kStartedId = 0x40000001;
constexpr uint32_t kStoppedId = 0x40000002;
constexpr uint32_t kSimplexAlertId = 0x80000802;
constexpr uint32_t kDuplexAlertId = 0x40000801;
constexpr std::string_view kServiceSource = "QVMZUFT";
constexpr std::string_view kAlertSource = "QVMFTMarvix";
constexpr int32_t kSimplex = 0x80015;
constexpr int32_t kDuplex = 0x180016;
constexpr int32_t kTriplex = 0x180017;

// The time between a change the monitor accepts and the start of its
// timer: the manager's one-second pace, the WMI thread's 2-s wait for its
// answer, and a request that waits out a DUPLEX timer with under 2 s left.
constexpr uint64_t kHandOverMs = 5000;
// How far an occurrence time may lie after the change that caused it.
constexpr int64_t kOccurrenceSlackMs = 10000;

const char* StateName(std::optional<int32_t> state) {
  static const std::map<int32_t, const char*> kNames = {
      {0x10000, "EMPTY"},         {0x20001, "REMOVED"},          {0x200002, "SHOT"},
      {0x200003, "BROKEN"},       {0x20004, "DUMPING"},          {0x40005, "DIAGNOSTICS"},
      {0x20006, "DIAGNOSTICS_PASSED"}, {0x20007, "INITIALIZING"}, {0x20008, "SYNCING"},
      {0x20009, "FIRMWARE_UPDATE"}, {0x2000A, "OFFLINE"},         {0x2000B, "DEVICE_READY"},
      {0x2000C, "STOPPED"},       {0x20010, "FIRMWARE_UPDATE_COMPLETE"}, {0x80014, "ONLINE"},
      {0x80015, "SIMPLEX"},       {0x180016, "DUPLEX"},          {0x180017, "TRIPLEX"},
      {0x10018, "NOT_PRESENT"}};
  if (!state) return nullptr;
  auto found = kNames.find(*state);
  return found == kNames.end() ? "unknown" : found->second;
}

// The modules of the scenario and their states over time, as the hardware
// had them (not as the monitor saw them).
struct Module {
  std::string name;  // InstanceName
  bool cpu = false;
  std::vector<std::pair<uint64_t, std::optional<int32_t>>> states;  // from time 0, in order

  std::optional<int32_t> StateAt(uint64_t t) const {
    std::optional<int32_t> state;
    for (const auto& [at, s] : states)
      if (at <= t) state = s;
    return state;
  }
};

// A timer of the service as its trace shows it.
struct Announcement {
  int index = 0;         // 0-2 SIMPLEX of CPU, PCI, ExPCI; 3-5 DUPLEX
  uint64_t started = 0;  // the timer's start
  uint64_t limit_ms = 0;
  uint64_t ran_out = 0;  // the composer's start
  int monitor = 0;       // which start of the monitor
  bool matched = false;
};

struct Alert {
  const Observation* record = nullptr;
  bool simplex = false;
  bool cpu = false;
  std::optional<int64_t> occurrence_ms;  // scenario ms of the occurrence time (whole second)
  std::vector<std::pair<std::string, std::string>> details;  // module lines: instance, state word
  const Announcement* announcement = nullptr;
};

class Checker {
 public:
  Checker(const Scenario& scenario, const std::vector<Observation>& observations)
      : scenario_(scenario), observations_(observations) {}

  std::vector<Violation> Run(const std::string& failure);

 private:
  void Prepare();
  void ReadTrace();
  void ReadAlerts();
  void CheckProcesses();
  void CheckSimplexCauses();
  void CheckOccurrences();
  void CheckAlternation();
  void CheckDetails();
  void Report(const char* check, const std::string& what) { violations_.push_back({check, what}); }

  bool GroupShownLost(bool cpu, uint64_t from, uint64_t to) const;
  // Whether the event log refuses records at some moment of [from, to].
  bool Refusing(uint64_t from, uint64_t to) const {
    bool refusing = false;
    for (const auto& [at, refuse] : refusing_) {
      if (at > to) break;
      if (at <= from) refusing = refuse;
      else if (refuse) return true;
    }
    return refusing;
  }
  std::vector<const Module*> Group(bool cpu) const {
    std::vector<const Module*> group;
    for (const Module& m : modules_)
      if (m.cpu == cpu) group.push_back(&m);
    return group;
  }

  const Scenario& scenario_;
  const std::vector<Observation>& observations_;
  std::vector<Violation> violations_;
  std::vector<Module> modules_;
  std::map<std::string, size_t> module_by_key_;
  bool wmi_faults_ = false;     // events or answers of the provider may be hidden
  bool trace_faults_ = false;   // trace lines may be missing
  bool log_refusals_ = false;   // records may be missing
  std::vector<std::pair<uint64_t, bool>> refusing_;  // from when the event log refuses records (true) or takes them
  bool triplex_ = false;
  std::vector<uint64_t> group_moments_[2];  // [cpu?1:0]: changes the monitor could have acted on
  std::vector<uint64_t> status_queries_[2];  // WMI thread start-up walks
  std::vector<Announcement> announcements_;
  // SIMPLEX timers cancelled before they ran out: monitor, index, start, cancel.
  struct Cancelled {
    int monitor, index;
    uint64_t started, cancelled;
  };
  std::vector<Cancelled> cancelled_;
  std::vector<Alert> alerts_;
};

void Checker::Prepare() {
  for (const runner::ModuleEntry& entry : scenario_.modules) {
    if (!entry.is_module) continue;
    Module m;
    m.name = entry.name;
    m.cpu = entry.type == "cpu";
    m.states.emplace_back(0, entry.state);
    if (entry.state == kTriplex) triplex_ = true;
    module_by_key_[entry.type + "/" + entry.name] = modules_.size();
    modules_.push_back(std::move(m));
  }
  wmi_faults_ = !scenario_.wmi_faults.empty();
  auto note_machine_fault = [&](const runner::MachineFault& fault, uint64_t at) {
    if (const auto* log = std::get_if<runner::EventLogRefusal>(&fault)) {
      log_refusals_ |= log->error != 0;
      refusing_.emplace_back(at, log->error != 0);
    }
    if (std::holds_alternative<runner::FolderChange>(fault)) trace_faults_ = true;
  };
  for (const runner::MachineFault& fault : scenario_.machine_faults) note_machine_fault(fault, 0);
  for (const runner::TimedStep& step : scenario_.steps) {
    if (const auto* change = std::get_if<runner::ChangeState>(&step.action)) {
      auto found = module_by_key_.find(change->key);
      if (found == module_by_key_.end()) continue;
      Module& m = modules_[found->second];
      m.states.emplace_back(step.at_ms, change->state);
      if (change->state == kTriplex) triplex_ = true;
      group_moments_[m.cpu ? 1 : 0].push_back(step.at_ms);
    } else if (std::holds_alternative<runner::ScriptWmiFault>(step.action)) {
      wmi_faults_ = true;
      group_moments_[0].push_back(step.at_ms);
      group_moments_[1].push_back(step.at_ms);
    } else if (const auto* text = std::get_if<runner::DeliverEventText>(&step.action)) {
      bool cpu = text->target.find("CPU") != std::string::npos;
      group_moments_[cpu ? 1 : 0].push_back(step.at_ms);
    } else if (const auto* fault = std::get_if<runner::MachineFault>(&step.action)) {
      note_machine_fault(*fault, step.at_ms);
    } else if (std::holds_alternative<runner::StartService>(step.action)) {
      group_moments_[0].push_back(step.at_ms);
      group_moments_[1].push_back(step.at_ms);
    }
  }
}

// The trace's message without its stamp ("2026/12/03 22:50'00\"000 ").
std::string_view Message(const Observation& o) {
  std::string_view text = o.text;
  return text.size() > 24 ? text.substr(24) : std::string_view();
}

void Checker::ReadTrace() {
  int monitor = -1;
  std::map<int, std::pair<uint64_t, uint64_t>> started;  // index: start, limit
  for (const Observation& o : observations_) {
    if (o.kind != Observation::Kind::kTrace) continue;
    std::string_view message = Message(o);
    int index = 0, number = 0;
    if (message == trace_text::kManagerStart) {
      ++monitor;
      started.clear();
    } else if (sscanf(std::string(message).c_str(), trace_text::kWmiStatus, &index, &number) == 2) {
      if (index == 0 || index == 1) status_queries_[index == 0 ? 1 : 0].push_back(o.t_ms);
      group_moments_[index == 0 ? 1 : 0].push_back(o.t_ms);
    } else if (sscanf(std::string(message).c_str(), trace_text::kTimerStart, &index, &number) == 2) {
      started[index] = {o.t_ms, static_cast<uint64_t>(std::max(number, 0)) * 1000};
    } else if (sscanf(std::string(message).c_str(), trace_text::kTimerCancel, &index) == 1 &&
               message.ends_with(trace_text::FixedPart(trace_text::kTimerCancel, 1))) {
      auto found = started.find(index);
      if (found != started.end() && index < 3) cancelled_.push_back({monitor, index, found->second.first, o.t_ms});
    } else if (message.starts_with("[TimerThread ") && message.find("]Create EventLogOut") != std::string_view::npos &&
               sscanf(std::string(message).c_str(), "[TimerThread %d]", &index) == 1) {
      auto found = started.find(index);
      if (found == started.end()) continue;  // its start is not in the trace
      announcements_.push_back({index, found->second.first, found->second.second, o.t_ms, monitor});
    }
  }
}

// "[Occurrence Time] 2026.12.03  22:53:04" (any language): the scenario ms
// of that second.
// Seconds of a local date and time on one running count.
int64_t SecondsOf(int y, int mo, int d, int h, int mi, int s) {
  using namespace std::chrono;
  local_seconds at = local_days(year(y) / month(static_cast<unsigned>(mo)) / day(static_cast<unsigned>(d))) + hours(h) +
                     minutes(mi) + seconds(s);
  return at.time_since_epoch().count();
}

std::optional<int64_t> OccurrenceMs(const std::string& line, const LocalTime& clock) {
  size_t bracket = line.find(']');
  if (bracket == std::string::npos) return std::nullopt;
  int y, mo, d, h, mi, s;
  if (sscanf(line.c_str() + bracket + 1, " %d.%d.%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) return std::nullopt;
  int64_t at = SecondsOf(y, mo, d, h, mi, s);
  int64_t zero = SecondsOf(clock.year, clock.month, clock.day, clock.hour, clock.minute, clock.second);
  return (at - zero) * 1000 - clock.milliseconds;
}

void Checker::ReadAlerts() {
  for (const Observation& o : observations_) {
    if (o.kind != Observation::Kind::kEvent || o.source != kAlertSource) continue;
    if (o.event_id != kSimplexAlertId && o.event_id != kDuplexAlertId) continue;
    Alert alert;
    alert.record = &o;
    alert.simplex = o.event_id == kSimplexAlertId;
    std::string text = o.strings.empty() ? std::string() : o.strings[0];
    std::vector<std::string> lines;
    for (size_t from = 0;;) {
      size_t end = text.find('\n', from);
      lines.push_back(text.substr(from, end == std::string::npos ? std::string::npos : end - from));
      if (end == std::string::npos) break;
      from = end + 1;
    }
    alert.cpu = !lines.empty() && lines[0].find("CPU") != std::string::npos;
    if (lines.size() > 1) alert.occurrence_ms = OccurrenceMs(lines[1], scenario_.clock);
    // Module lines follow the details caption (line 4) up to the first
    // block heading (" PCI Slot :").
    for (size_t i = 4; i < lines.size() && !lines[i].starts_with(" "); ++i) {
      size_t blank = lines[i].find(' ');
      if (blank == std::string::npos) continue;
      alert.details.emplace_back(lines[i].substr(0, blank), lines[i].substr(blank + 1));
    }
    // The composer that wrote it: the earliest one of its kind and group
    // whose timer started in the second the text names.
    Announcement* best = nullptr;
    for (Announcement& a : announcements_) {
      bool simplex = a.index < 3;
      bool cpu = a.index % 3 == 0;
      if (a.matched || simplex != alert.simplex || cpu != alert.cpu || a.ran_out > o.t_ms) continue;
      bool same_second = alert.occurrence_ms && static_cast<int64_t>(a.started) >= *alert.occurrence_ms &&
                         static_cast<int64_t>(a.started) < *alert.occurrence_ms + 1000;
      if (same_second) {
        best = &a;
        break;
      }
      if (best == nullptr) best = &a;
    }
    if (best != nullptr) {
      best->matched = true;
      alert.announcement = best;
    }
    alerts_.push_back(std::move(alert));
  }
}

// Records of a process end with its stop record; only a new start brings
// more. A stop control is answered within the service's grace.
void Checker::CheckProcesses() {
  bool stopped = false;  // the current process has written its stop record
  bool queued = false;   // a start came after the current process began
  bool running = false;
  uint64_t began = 0;  // the current process's start
  std::vector<uint64_t> stop_requests;
  for (const Observation& o : observations_) {
    if (o.kind == Observation::Kind::kInput) {
      bool start = o.directive == "start";
      bool stop = o.directive == "stop" || o.directive == "end";
      if (start) {
        if (!running) {
          running = true;
          stopped = false;
          began = o.t_ms;
        } else {
          queued = true;
        }
      }
      // A process may have ended by itself while its stop record was
      // refused: then nothing is owed.
      if (stop && running && !stopped && !Refusing(began, o.t_ms + kStopAllowanceMs)) stop_requests.push_back(o.t_ms);
      continue;
    }
    if (o.kind != Observation::Kind::kEvent && o.kind != Observation::Kind::kPulse) continue;
    if (stopped) {
      bool new_process = queued && o.kind == Observation::Kind::kEvent && o.source == kServiceSource &&
                         o.event_id == kStartedId;
      if (new_process || (queued && log_refusals_)) {
        stopped = false;
        queued = false;
        began = o.t_ms;
      } else {
        Report(kAfterStop, (o.kind == Observation::Kind::kPulse ? std::string("a pulse") : "record " + o.source + " " + std::to_string(o.event_id)) +
                               " at " + runner::ScenarioTimeText(o.t_ms) + " after the process's stop record");
        continue;
      }
    }
    if (o.kind == Observation::Kind::kEvent && o.source == kServiceSource && o.event_id == kStoppedId) {
      stopped = true;
      for (uint64_t requested : stop_requests)
        if (o.t_ms > requested + kStopAllowanceMs)
          Report(kStopLate, "stop asked at " + runner::ScenarioTimeText(requested) + ", stop record at " + runner::ScenarioTimeText(o.t_ms));
      stop_requests.clear();
      if (!queued) running = false;
    }
  }
  for (uint64_t requested : stop_requests)
      Report(kStopLate, "stop asked at " + runner::ScenarioTimeText(requested) + ", no stop record");
}

// Whether the hardware gave the monitor of this group a reason to find the
// pair lost at some moment of [from, to]: a module saying SIMPLEX (or, for
// the CPU group, TRIPLEX, whose fall to two modules is announced as a
// loss), a module saying DUPLEX while another module of the group was not,
// or the start-up walk of the group's WMI thread finding a module not
// DUPLEX. The PCI and ExPCI pairs share their bookkeeping, so their group
// is all PCI modules.
bool Checker::GroupShownLost(bool cpu, uint64_t from, uint64_t to) const {
  std::vector<const Module*> group = Group(cpu);
  auto lossy = [&](std::optional<int32_t> state) { return state == kSimplex || (cpu && state == kTriplex); };
  auto others_duplex = [&](const Module* self, uint64_t t) {
    for (const Module* m : group)
      if (m != self && m->StateAt(t) != kDuplex) return false;
    return true;
  };
  for (const Module* m : group) {
    if (lossy(m->StateAt(from))) return true;
    for (const auto& [at, state] : m->states) {
      if (at <= from || at > to) continue;
      if (lossy(state)) return true;
      if (state == kDuplex && (!others_duplex(m, at) || !others_duplex(m, at == 0 ? 0 : at - 1))) return true;
    }
  }
  for (uint64_t query : status_queries_[cpu ? 1 : 0]) {
    if (query < from || query > to) continue;
    for (const Module* m : group)
      if (m->StateAt(query) != kDuplex) return true;
  }
  return false;
}

// No SIMPLEX alert for a pair that was redundant, as the hardware showed
// it, for the whole time its timer ran.
void Checker::CheckSimplexCauses() {
  if (wmi_faults_ || trace_faults_) return;  // hidden events, or a timer whose start is not in the trace
  for (const Announcement& a : announcements_) {
    if (a.index >= 3) continue;
    bool cpu = a.index == 0;
    uint64_t from = a.started > kHandOverMs ? a.started - kHandOverMs : 0;
    if (!GroupShownLost(cpu, from, a.ran_out))
      Report(kSpuriousSimplex, std::string(cpu ? "CPU" : a.index == 1 ? "PCI" : "ExPCI") +
                                   " SIMPLEX announced at " + runner::ScenarioTimeText(a.ran_out) + " (timer started " + runner::ScenarioTimeText(a.started) +
                                   ") although every module of the group said DUPLEX from " + runner::ScenarioTimeText(from));
  }
}

// An alert's occurrence time is the moment its change was seen: close
// after a change of the group's hardware, a fault, or the monitor's start.
void Checker::CheckOccurrences() {
  if (trace_faults_) return;  // the start-up walks are read from the trace
  for (const Alert& alert : alerts_) {
    if (!alert.occurrence_ms) continue;
    int64_t o = *alert.occurrence_ms;
    const std::vector<uint64_t>& moments = group_moments_[alert.cpu ? 1 : 0];
    bool near = std::any_of(moments.begin(), moments.end(), [&](uint64_t e) {
      auto at = static_cast<int64_t>(e);
      return at <= o + 1000 && o <= at + kOccurrenceSlackMs;
    });
    if (!near)
      Report(kOccurrence, std::string(alert.cpu ? "CPU" : "PCI") + (alert.simplex ? " SIMPLEX" : " DUPLEX") +
                              " alert written at " + runner::ScenarioTimeText(alert.record->t_ms) + " names occurrence " +
                              (o >= 0 ? runner::ScenarioTimeText(static_cast<uint64_t>(o)) : "before the run") +
                              ", when nothing of its group changed");
  }
}

// Within one start of the monitor, a pair's DUPLEX alert follows a SIMPLEX
// alert of that pair, with no other DUPLEX alert in between. A CPU group
// that rises to three modules is announced as DUPLEX without a loss.
void Checker::CheckAlternation() {
  if (trace_faults_) return;
  std::map<std::pair<int, int>, bool> simplex_pending;  // (monitor, pair)
  for (const Announcement& a : announcements_) {
    int pair = a.index % 3;
    auto key = std::make_pair(a.monitor, pair);
    if (a.index < 3) {
      simplex_pending[key] = true;
      continue;
    }
    if (pair == 0 && triplex_) continue;
    // A DUPLEX timer that started while the pair's SIMPLEX timer was being
    // cancelled (by the DUPLEX timer before it) finds it gone when it runs
    // out, and announces the return although the loss never was.
    bool after_cancel = std::any_of(cancelled_.begin(), cancelled_.end(), [&](const Cancelled& c) {
      return c.monitor == a.monitor && c.index == pair && c.started <= a.started && a.started <= c.cancelled;
    });
    if (!simplex_pending[key] && !after_cancel)
      Report(kDuplexWithoutSimplex, std::string(pair == 0 ? "CPU" : pair == 1 ? "PCI" : "ExPCI") +
                                        " DUPLEX announced at " + runner::ScenarioTimeText(a.ran_out) +
                                        " without a SIMPLEX announcement of the pair since the last DUPLEX one");
    simplex_pending[key] = false;
  }
}

// The details list every module of the group once, with a state it had
// while the alert was composed.
void Checker::CheckDetails() {
  if (wmi_faults_) return;
  for (const Alert& alert : alerts_) {
    if (alert.announcement == nullptr) continue;
    uint64_t from = alert.announcement->ran_out;
    uint64_t to = alert.record->t_ms;
    std::vector<const Module*> group = Group(alert.cpu);
    std::set<std::string> listed;
    std::string where = std::string(alert.cpu ? "CPU" : "PCI") + (alert.simplex ? " SIMPLEX" : " DUPLEX") +
                        " alert at " + runner::ScenarioTimeText(to) + ": ";
    for (const auto& [name, word] : alert.details) {
      auto m = std::find_if(group.begin(), group.end(), [&wanted = name](const Module* g) { return g->name == wanted; });
      if (m == group.end()) {
        Report(kDetails, where + "lists \"" + name + "\", no module of the group");
        continue;
      }
      if (!listed.insert(name).second) Report(kDetails, where + "lists module " + name + " twice");
      // The states the module had between the composer's start and the record.
      std::set<std::string> possible;
      if (const char* n = StateName((*m)->StateAt(from))) possible.insert(n);
      for (const auto& [at, state] : (*m)->states)
        if (at > from && at <= to)
          if (const char* n = StateName(state)) possible.insert(n);
      if (!possible.empty() && !possible.count(word))
        Report(kDetails, where + "module " + name + " shown " + word + ", but it was " + *possible.begin());
    }
    for (const Module* m : group)
      if (!listed.count(m->name)) Report(kDetails, where + "module " + m->name + " is not listed");
  }
}

std::vector<Violation> Checker::Run(const std::string& failure) {
  Prepare();
  ReadTrace();
  ReadAlerts();
  for (auto& moments : group_moments_) std::sort(moments.begin(), moments.end());
  if (!failure.empty()) Report(kNotStopped, failure);
  CheckProcesses();
  CheckSimplexCauses();
  CheckOccurrences();
  CheckAlternation();
  CheckDetails();
  return violations_;
}

}  // namespace

std::vector<Violation> CheckInvariants(const Scenario& scenario, const std::vector<Observation>& observations,
                                       const std::string& failure) {
  return Checker(scenario, observations).Run(failure);
}

}  // namespace fenra::explorer
