#include "explorer/invariants.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "diagnostics/trace_texts.h"
#include "explorer/pair_book.h"
#include "runner/output.h"

namespace fenra::explorer {
namespace {

using runner::Observation;
using runner::Scenario;
using runner::ScenarioTimeText;
using sim::WmiFault;

// Event identifiers and state codes as the service's users know them.
constexpr uint32_t kStartedId = 0x40000001;
constexpr uint32_t kStoppedId = 0x40000002;
constexpr uint32_t kMonitorEndedId = 0xC000040D;
constexpr uint32_t kWmiUnavailableId = 0x80000202;
constexpr uint32_t kSimplexAlertId = 0x80000802;
constexpr uint32_t kDuplexAlertId = 0x40000801;
constexpr std::string_view kServiceSource = "QVMZUFT";
constexpr std::string_view kAlertSource = "QVMFTMarvix";
constexpr int32_t kSimplex = 0x80015;
constexpr int32_t kDuplex = 0x180016;
constexpr int32_t kTriplex = 0x180017;

const char* const kPairNames[3] = {"CPU", "PCI", "ExPCI"};
// The modules of each pair, by InstanceName.
const char* const kPairModules[3][2] = {{"0", "1"}, {"10", "11"}, {"12", "13"}};

// From a request to the start of its timer at most: the WMI thread's
// reading of the events queued before it, the manager's one-second pace
// and the thread's 2-s wait for its answer, and a SIMPLEX request waiting
// out a DUPLEX timer's last 2 s and its collection.
constexpr uint64_t kRequestToTimerMs = 10000;
// How far an occurrence time may lie after the change that caused it.
constexpr int64_t kOccurrenceSlackMs = 10000;
// Events a WMI thread may have had queued, unread, when its subscription
// ended: a few seconds of its 2-s waits for the manager.
constexpr uint64_t kReadLagMs = 3000;
// What settling takes beyond the pair's longest timer: the request's way
// to its timer, the timer's pace and collection, a composer's own time.
constexpr uint64_t kSettleMarginMs = kRequestToTimerMs + 2000 + 10000;
// A failed connection or a Next that waits out its time-out holds a
// composer (or a walk) this long.
constexpr uint64_t kFaultWaitMs = 30000;

const char* StateName(std::optional<int32_t> state) {
  static const std::map<int32_t, const char*> kNames = {
      {0x10000, "EMPTY"},         {0x20001, "REMOVED"},          {0x200002, "SHOT"},
      {0x200003, "BROKEN"},       {0x20004, "DUMPING"},          {0x40005, "DIAGNOSTICS"},
      {0x20006, "DIAGNOSTICS_PASSED"}, {0x20007, "INITIALIZING"}, {0x20008, "SYNCING"},
      {0x20009, "FIRMWARE_UPDATE"}, {0x2000A, "OFFLINE"},         {0x2000B, "DEVICE_READY"},
      {0x2000C, "STOPPED"},       {0x20010, "FIRMWARE_UPDATE_COMPLETE"}, {0x80014, "ONLINE"},
      {kSimplex, "SIMPLEX"},      {kDuplex, "DUPLEX"},           {kTriplex, "TRIPLEX"},
      {0x10018, "NOT_PRESENT"}};
  if (!state) return nullptr;
  auto found = kNames.find(*state);
  return found == kNames.end() ? "unknown" : found->second;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

// The modules of the scenario and their states over time, as the hardware
// had them (not as the monitor saw them).
struct Module {
  std::string name;  // InstanceName
  int number = 0;    // its leading digits
  int group = 0;     // 0 CPU, 1 PCI
  std::vector<std::pair<uint64_t, std::optional<int32_t>>> states;  // from time 0, in order

  std::optional<int32_t> StateAt(uint64_t t) const {
    std::optional<int32_t> state;
    for (const auto& [at, s] : states)
      if (at <= t) state = s;
    return state;
  }
};

// What a group's WMI thread may hear: a module's change, or an event text.
struct Heard {
  uint64_t at = 0;
  int group = 0;
  const Module* module = nullptr;  // null: an event text
  std::optional<int32_t> state;
  bool may_be_lost = false;  // a fault may have kept the thread from reading it
};

// A timer of the service as its trace shows it.
struct Announcement {
  int index = 0;         // 0-2 SIMPLEX of CPU, PCI, ExPCI; 3-5 DUPLEX
  uint64_t started = 0;  // the timer's start
  uint64_t ran_out = 0;  // the composer's start
  bool composed = true;  // false: the timer could not start its composer
  int process = 0;
  bool matched = false;
  bool start_seen = true;  // false: its start line may be missing (then `started` is `ran_out`)
};

struct Alert {
  const Observation* record = nullptr;
  int process = 0;
  bool simplex = false;
  int group = 0;                         // 0 CPU, 1 PCI
  std::vector<int> pairs;                // the pairs it may belong to
  std::optional<int64_t> occurrence_ms;  // scenario ms of the occurrence time (whole second)
  std::vector<std::pair<std::string, std::string>> details;  // module lines: instance, state word
  const Announcement* announcement = nullptr;
};

// One start of the service, as its records and trace show it.
struct Process {
  uint64_t start = 0;
  // Until when it watches: a stop asked, or the monitor ending by itself;
  // `watch_end` as early as the run allows, `ended` as its records and
  // trace show it.
  uint64_t watch_end = UINT64_MAX;
  uint64_t ended = UINT64_MAX;
  bool asked_to_stop = false;
  uint64_t last_alive = 0;  // its monitor's last sign of work in the trace
  std::optional<uint64_t> monitor;  // its timer manager's start
  struct Thread {
    std::optional<uint64_t> query;   // the start-up walk's query
    std::optional<uint64_t> walked;  // its answer
    std::vector<std::pair<uint64_t, bool>> subscribed;  // from when subscribed (true) or not
    std::vector<uint64_t> rechecks;  // a new subscription's reading found changes
  } threads[2];
};

// The last announcement of a pair, within one process: none, SIMPLEX, the
// SIMPLEX of a fall from TRIPLEX, DUPLEX, or one the rules dropped (its
// timer found no composer slot): the pair's state and its announcements
// part there until its next SIMPLEX alert.
enum Last : uint8_t { kNone, kLastSimplex, kLastFall, kLastDuplex, kLastDropped };
using Lasts = std::array<uint8_t, 3>;

// An alert of a pair, or one whose record is missing.
struct Element {
  uint64_t at = 0;  // its timer's start
  std::vector<int> pairs;
  bool simplex = false;
  bool dropped = false;    // its timer could not start its composer: no alert
  bool any = false;        // records of any kind and pair may be missing here
  bool rise = false;       // CPU DUPLEX: its timer was started by a rise to TRIPLEX
  bool fall = false;       // CPU SIMPLEX: its timer was started by a fall from TRIPLEX
  const Alert* alert = nullptr;
};

// When a group's modules have been still long enough for every timer to
// have run: the pairs' owed last announcements.
struct Calm {
  uint64_t from = 0, to = 0;
  std::vector<int> pairs;
  bool owe_simplex[3] = {}, owe_none[3] = {};
};

class Checker {
 public:
  Checker(const Scenario& scenario, const std::vector<Observation>& observations)
      : scenario_(scenario), observations_(observations) {}

  std::vector<Violation> Run(const std::string& failure);

 private:
  void Prepare();
  void ReadProcesses();
  void EndsUnseen();
  void ReadTrace();
  void ReadAlerts();
  void MarkLostReports();
  void Replay();
  void CheckProcesses();
  void CheckSimplexCauses();
  void CheckOccurrences();
  void CheckDetails();
  void CheckAnnouncements();
  void Report(const char* check, const std::string& what) { violations_.push_back({check, what}); }

  // The process of an observation: it follows the order of the records (a
  // process's stop record may share its millisecond with the next start).
  int ProcessOf(const Observation& o) const { return process_of_[static_cast<size_t>(&o - observations_.data())]; }
  int ProcessAt(uint64_t t) const {
    int p = -1;
    for (size_t i = 0; i < processes_.size() && processes_[i].start <= t; ++i) p = static_cast<int>(i);
    return p;
  }
  // Whether the event log refuses records at some moment of [from, to].
  bool Refusing(uint64_t from, uint64_t to) const { return During(refusing_, from, to); }
  // Whether the trace may be missing lines of [from, to].
  bool TraceFaulted(uint64_t from, uint64_t to) const { return During(trace_faults_, from, to); }
  static bool During(const std::vector<std::pair<uint64_t, bool>>& changes, uint64_t from, uint64_t to) {
    bool on = false;
    for (const auto& [at, now] : changes) {
      if (at > to) break;
      if (at <= from) on = now;
      else if (now) return true;
    }
    return on;
  }
  // Whether the thread of `group` is subscribed at `t` (by the trace; a
  // thread whose lines are missing counts as subscribed after its walk).
  bool Subscribed(const Process& p, int group, uint64_t t) const {
    const auto& changes = p.threads[group].subscribed;
    return changes.empty() || During(changes, t, t);
  }
  // Whether the group's thread reads `r` as it comes: after its walk,
  // subscribed, before its process stops watching.
  bool Listening(const Heard& r) const {
    int p = ProcessAt(r.at);
    if (p < 0) return false;
    const Process& process = processes_[static_cast<size_t>(p)];
    const Process::Thread& thread = process.threads[r.group];
    return thread.walked && r.at > *thread.walked && r.at < process.watch_end && Subscribed(process, r.group, r.at);
  }
  bool FaultLeft(uint64_t at, int times, uint64_t from) const;
  // Whether a fault of one of `kinds`, scripted by `to`, may meet the
  // status walk that begins at `from` and lasts until `to`: each walk over
  // before it (a thread's, a composer's) takes one of its calls.
  bool FaultMayHitWalk(std::initializer_list<WmiFault> kinds, uint64_t from, uint64_t to) const;
  // Whether a fault may spoil the status walk from `from` (its thread's
  // start, or a new subscription) to its answer at `to` (a failed
  // connection may hold its query until then): a failing query or a Next
  // that throws. Which of a walk's calls a fault took is not known (a walk
  // that failed its query made no Next call), so a new subscription's
  // reading right after a failed walk may fail as well.
  bool WalkMayFail(uint64_t from, uint64_t to) const {
    return FaultMayHitWalk({WmiFault::kExecQuery, WmiFault::kNextThrows}, from, to);
  }
  // How long faults make a composer (or walk) wait that works from `from`
  // to `to`: a failed connection or a Next that waits out its time-out,
  // scripted by `to` and not yet taken by the walks before.
  uint64_t FaultWaits(uint64_t from, uint64_t to) const;
  uint64_t ShortThresholdMs(int pair) const;
  ModuleStates GroupStates(int group, uint64_t t) const;
  std::vector<Calm> Calms(int p, int group) const;
  void Classify(Element& e, int p, uint64_t timer_start) const;
  std::vector<const Module*> Group(int group) const {
    std::vector<const Module*> modules;
    for (const Module& m : modules_)
      if (m.group == group) modules.push_back(&m);
    return modules;
  }
  const Module* Named(const std::string& name) const {
    for (const Module& m : modules_)
      if (m.name == name) return &m;
    return nullptr;
  }
  bool HasPair(int pair) const { return Named(kPairModules[pair][0]) && Named(kPairModules[pair][1]); }
  // Whether both modules of the pair say DUPLEX (the CPU pair's: or
  // TRIPLEX) at `t`.
  bool Redundant(int pair, uint64_t t) const {
    for (const char* name : kPairModules[pair]) {
      std::optional<int32_t> state = Named(name)->StateAt(t);
      if (state != kDuplex && !(pair == 0 && state == kTriplex)) return false;
    }
    return true;
  }

  const Scenario& scenario_;
  const std::vector<Observation>& observations_;
  std::vector<Violation> violations_;
  std::vector<Module> modules_;
  std::map<std::string, size_t> module_by_key_;
  std::vector<Heard> reports_;  // in time order
  std::vector<std::pair<uint64_t, const runner::ScriptWmiFault*>> wmi_faults_;
  std::vector<std::pair<uint64_t, bool>> refusing_;     // from when the event log refuses records (true) or takes them
  std::vector<std::pair<uint64_t, bool>> trace_faults_;  // from when trace lines may be dropped
  bool log_refusals_ = false;
  std::vector<uint64_t> group_moments_[2];  // changes the monitor could have acted on
  std::vector<Process> processes_;
  std::vector<int> process_of_;  // per observation; -1 before the first start
  // Status walks, each from its start (a thread's, a composer's) until it
  // was over for sure (its answer, the composer's record): a composer that
  // a failed connection holds walks later.
  std::vector<std::pair<uint64_t, uint64_t>> walks_;
  std::vector<Announcement> announcements_;
  // Every timer the trace shows: its index, start and end (run out or
  // cancelled).
  struct Timer {
    int index;
    uint64_t start;
    std::optional<uint64_t> end;
  };
  std::vector<Timer> timers_;
  std::vector<Alert> alerts_;
  // Per process and group: what the rules make of what the thread heard.
  std::map<std::pair<int, int>, PairBook> books_;
  // ... and, after each moment, which last announcements they owe per pair.
  std::map<std::pair<int, int>, std::vector<std::pair<uint64_t, Calm>>> owed_;
};

// The trace's message without its stamp ("2026/12/03 22:50'00\"000 ").
std::string_view Message(const Observation& o) {
  std::string_view text = o.text;
  return text.size() > 24 ? text.substr(24) : std::string_view();
}

void Checker::Prepare() {
  for (const runner::ModuleEntry& entry : scenario_.modules) {
    if (!entry.is_module) continue;
    Module m;
    m.name = entry.name;
    m.number = std::atoi(entry.name.c_str());
    m.group = entry.type == "cpu" ? 0 : 1;
    m.states.emplace_back(0, entry.state);
    module_by_key_[entry.type + "/" + entry.name] = modules_.size();
    modules_.push_back(std::move(m));
  }
  auto note_machine_fault = [&](const runner::MachineFault& fault, uint64_t at) {
    if (const auto* log = std::get_if<runner::EventLogRefusal>(&fault)) {
      log_refusals_ |= log->error != 0;
      refusing_.emplace_back(at, log->error != 0);
    }
    if (const auto* folder = std::get_if<runner::FolderChange>(&fault))
      trace_faults_.emplace_back(at, folder->state != runner::FolderState::kWritable);
  };
  for (const runner::MachineFault& fault : scenario_.machine_faults) note_machine_fault(fault, 0);
  for (const runner::ScriptWmiFault& fault : scenario_.wmi_faults) wmi_faults_.emplace_back(0, &fault);
  for (const runner::TimedStep& step : scenario_.steps) {
    if (const auto* change = std::get_if<runner::ChangeState>(&step.action)) {
      auto found = module_by_key_.find(change->key);
      if (found == module_by_key_.end()) continue;
      Module& m = modules_[found->second];
      m.states.emplace_back(step.at_ms, change->state);
      reports_.push_back({step.at_ms, m.group, &m, change->state});  // modules_ is complete: its addresses hold
      group_moments_[m.group].push_back(step.at_ms);
    } else if (const auto* fault = std::get_if<runner::ScriptWmiFault>(&step.action)) {
      wmi_faults_.emplace_back(step.at_ms, fault);
      group_moments_[0].push_back(step.at_ms);
      group_moments_[1].push_back(step.at_ms);
    } else if (const auto* text = std::get_if<runner::DeliverEventText>(&step.action)) {
      bool cpu = text->target.find("CPU") != std::string::npos;
      bool pci = text->target.find("IO") != std::string::npos || text->target.find("PCI") != std::string::npos;
      if (cpu || pci) reports_.push_back({step.at_ms, cpu ? 0 : 1, nullptr, std::nullopt});
      group_moments_[cpu ? 0 : 1].push_back(step.at_ms);
    } else if (const auto* machine = std::get_if<runner::MachineFault>(&step.action)) {
      note_machine_fault(*machine, step.at_ms);
    } else if (std::holds_alternative<runner::StartService>(step.action)) {
      group_moments_[0].push_back(step.at_ms);
      group_moments_[1].push_back(step.at_ms);
    }
  }
}

// A process begins with its start record (or, when the event log refused
// it, with its monitor's start in the trace, or its start directive) and
// watches until a stop is asked or its monitor ends by itself (WMI gone, a
// thread ended, the stop flag raised).
void Checker::ReadProcesses() {
  std::vector<size_t> records, directives;
  for (size_t k = 0; k < observations_.size(); ++k) {
    const Observation& o = observations_[k];
    if (o.kind == Observation::Kind::kEvent && o.source == kServiceSource && o.event_id == kStartedId)
      records.push_back(k);
    if (o.kind == Observation::Kind::kInput && o.directive == "start") directives.push_back(k);
  }
  std::vector<size_t> starts = records;
  for (size_t i = 0; i < directives.size(); ++i) {
    size_t next = i + 1 < directives.size() ? directives[i + 1] : observations_.size();
    if (std::any_of(records.begin(), records.end(), [&](size_t r) { return r > directives[i] && r < next; })) continue;
    // The process before may still be stopping: its lines come first.
    size_t start = directives[i];
    for (size_t k = directives[i]; k < next; ++k)
      if (observations_[k].kind == Observation::Kind::kTrace && Message(observations_[k]) == trace_text::kManagerStart) {
        start = k;
        break;
      }
    starts.push_back(start);
  }
  std::sort(starts.begin(), starts.end());
  process_of_.assign(observations_.size(), -1);
  for (size_t i = 0; i < starts.size(); ++i) {
    Process process;
    process.start = observations_[starts[i]].t_ms;
    processes_.push_back(process);
    for (size_t k = starts[i]; k < observations_.size(); ++k) process_of_[k] = static_cast<int>(i);
  }
  for (const Observation& o : observations_) {
    int p = ProcessOf(o);
    if (p < 0) continue;
    bool ends_watch = false;
    if (o.kind == Observation::Kind::kInput)
      ends_watch = o.directive == "stop" || o.directive == "end";
    else if (o.kind == Observation::Kind::kEvent && o.source == kServiceSource)
      ends_watch = o.event_id == kStoppedId || o.event_id == kMonitorEndedId || o.event_id == kWmiUnavailableId;
    else if (o.kind == Observation::Kind::kTrace)
      ends_watch = o.text.find(trace_text::kStopReturn) != std::string::npos ||
                   o.text.find(trace_text::kServiceStop) != std::string::npos;
    if (o.kind == Observation::Kind::kInput && ends_watch && processes_[p].watch_end == UINT64_MAX)
      processes_[p].asked_to_stop = true;
    if (ends_watch) processes_[p].ended = processes_[p].watch_end = std::min(processes_[p].watch_end, o.t_ms);
  }
}

// A process that stops by itself may have ended its watch unseen: a failed
// connection raises the stop flag without a record, and the trace folder
// may have dropped the lines. Then it ended at the start of the last such
// fault after which its monitor showed no sign of work.
void Checker::EndsUnseen() {
  for (Process& p : processes_) {
    if (p.asked_to_stop || p.watch_end == UINT64_MAX) continue;
    for (size_t i = 0; i < trace_faults_.size(); ++i) {
      uint64_t from = trace_faults_[i].first;
      uint64_t until = i + 1 < trace_faults_.size() ? trace_faults_[i + 1].first : UINT64_MAX;
      if (trace_faults_[i].second && from < p.watch_end && until > p.start && p.last_alive < until)
        p.watch_end = std::max(p.start, from);
    }
  }
}

void Checker::ReadTrace() {
  std::map<int, uint64_t> started;  // index: start
  int current = -1;
  for (const Observation& o : observations_) {
    if (o.kind != Observation::Kind::kTrace) continue;
    int p = ProcessOf(o);
    if (p < 0) continue;
    if (p != current) {
      current = p;
      started.clear();
    }
    const std::string message(Message(o));
    int index = 0, number = 0;
    auto scan = [&](const char* format, int* a, int* b) { return sscanf(message.c_str(), format, a, b) == 2; };
    // Signs of its monitor at work: a walk's answer, a subscription, an
    // event read, a timer started (each noted in its branch below).
    uint64_t& last_alive = processes_[p].last_alive;
    if (message == trace_text::kManagerStart && !processes_[p].monitor) processes_[p].monitor = o.t_ms;
    if (sscanf(message.c_str(), trace_text::kWmiStart, &index) == 1 &&
        message.ends_with(trace_text::FixedPart(trace_text::kWmiStart, 1))) {
      // The thread's walk queries the states as soon as it is connected.
      if (index != 0 && index != 1) continue;
      processes_[p].threads[index].query = o.t_ms;
    } else if (scan(trace_text::kWmiStatus, &index, &number)) {
      last_alive = o.t_ms;
      if (index != 0 && index != 1) continue;
      Process::Thread& thread = processes_[p].threads[index];
      if (!thread.query) thread.query = o.t_ms;
      thread.walked = o.t_ms;
      walks_.emplace_back(*thread.query, o.t_ms);
      group_moments_[index].push_back(o.t_ms);
    } else if (scan(trace_text::kWmiSubscribed, &index, &number)) {
      last_alive = o.t_ms;
      if (index != 0 && index != 1) continue;
      processes_[p].threads[index].subscribed.emplace_back(o.t_ms, number == 0);
      // A new subscription's reading of the states is not counted among
      // the walks: a fault a walk may take is then still owed to a later one.
      if (number == 0) group_moments_[index].push_back(o.t_ms);
    } else if (scan(trace_text::kWmiRecheck, &index, &number)) {
      if (index != 0 && index != 1) continue;
      processes_[p].threads[index].rechecks.push_back(o.t_ms);
      group_moments_[index].push_back(o.t_ms);
    } else if (scan(trace_text::kWmiFirstEvent, &index, &number) || scan(trace_text::kWmiNextEvent, &index, &number)) {
      last_alive = o.t_ms;
      if ((index == 0 || index == 1) && number != 0) processes_[p].threads[index].subscribed.emplace_back(o.t_ms, false);
    } else if (scan(trace_text::kTimerStart, &index, &number)) {
      last_alive = o.t_ms;
      started[index] = o.t_ms;
      if (index >= 0 && index <= 5) timers_.push_back({index, o.t_ms, std::nullopt});
    } else if (scan(trace_text::kTimerRunOut, &index, &number) ||
               (sscanf(message.c_str(), trace_text::kTimerCancel, &index) == 1 &&
                message.ends_with(trace_text::FixedPart(trace_text::kTimerCancel, 1)))) {
      // A request that waited for this timer gets its own timer now.
      for (auto timer = timers_.rbegin(); timer != timers_.rend(); ++timer)
        if (timer->index == index) {
          if (!timer->end) timer->end = o.t_ms;
          break;
        }
      if (index >= 0 && index <= 5) group_moments_[index % 3 == 0 ? 0 : 1].push_back(o.t_ms);
    } else if (scan(trace_text::kComposerStarted, &index, &number) ||
               (sscanf(message.c_str(), trace_text::kComposerNoSlot, &index) == 1 &&
                message.ends_with(trace_text::FixedPart(trace_text::kComposerNoSlot, 1))) ||
               scan(trace_text::kComposerError, &index, &number)) {
      if (index < 0 || index > 5) continue;
      // Its timer's start line, unless the trace may have dropped a later
      // one: then only that it started by now is known.
      auto found = started.find(index);
      bool seen = found != started.end() && !TraceFaulted(found->second, o.t_ms);
      bool composed = message.find("=>") != std::string::npos;
      announcements_.push_back({index, seen ? found->second : o.t_ms, o.t_ms, composed, p, false, seen});
    }
  }
  // A walk whose lines the trace may have dropped: the thread starts a
  // minute after the timer manager (the PCI thread a minute later), which
  // starts when the start-up delay has been waited out in whole minutes;
  // it may wait for failed connections and Next time-outs, and subscribes.
  uint64_t delay = 1200000;
  for (const runner::IniEntry& e : scenario_.ini)
    if (EqualsNoCase(e.file, "FENRA.ini") && EqualsNoCase(e.key, "SIMPLEX_FILTER_TIME"))
      delay = static_cast<uint64_t>(std::max(std::atoll(e.value.c_str()), 0LL)) * 1000;
  for (Process& p : processes_)
    for (uint64_t group = 0; group < 2; ++group) {
      Process::Thread& thread = p.threads[group];
      uint64_t at = p.monitor.value_or(p.start + (delay + 59999) / 60000 * 60000) + 60000 * (group + 1);
      if (thread.walked || at >= p.watch_end || !TraceFaulted(at, at)) continue;
      thread.query = at;
      thread.walked = at + FaultWaits(at, at);
      if (thread.subscribed.empty()) thread.subscribed.emplace_back(*thread.walked, true);
      walks_.emplace_back(at, *thread.walked);
      group_moments_[group].push_back(*thread.walked);
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

// The alert records; each is given the composer that wrote it. The texts
// of the PCI and ExPCI pairs differ only in their occurrence time, so the
// composer's timer (its index in the trace) names the pair; an alert whose
// composer is not in the trace may belong to either.
void Checker::ReadAlerts() {
  for (const Observation& o : observations_) {
    if (o.kind != Observation::Kind::kEvent || o.source != kAlertSource) continue;
    if (o.event_id != kSimplexAlertId && o.event_id != kDuplexAlertId) continue;
    Alert alert;
    alert.record = &o;
    alert.process = std::max(ProcessOf(o), 0);
    alert.simplex = o.event_id == kSimplexAlertId;
    std::string text = o.strings.empty() ? std::string() : o.strings[0];
    std::vector<std::string> lines;
    for (size_t from = 0;;) {
      size_t end = text.find('\n', from);
      lines.push_back(text.substr(from, end == std::string::npos ? std::string::npos : end - from));
      if (end == std::string::npos) break;
      from = end + 1;
    }
    alert.group = !lines.empty() && lines[0].find("CPU") != std::string::npos ? 0 : 1;
    if (lines.size() > 1) alert.occurrence_ms = OccurrenceMs(lines[1], scenario_.clock);
    // Module lines follow the details caption (line 4) up to the first
    // block heading (" PCI Slot :").
    for (size_t i = 4; i < lines.size() && !lines[i].starts_with(" "); ++i) {
      size_t blank = lines[i].find(' ');
      if (blank == std::string::npos) continue;
      alert.details.emplace_back(lines[i].substr(0, blank), lines[i].substr(blank + 1));
    }
    // The composer that wrote it: of its kind and group, whose timer
    // started in the second the text names, the last one started before it
    // (a composer writes at once unless WMI holds it up; an earlier one
    // left without its record had it refused).
    std::vector<Announcement*> fitting, any;
    for (Announcement& a : announcements_) {
      if (a.matched || !a.composed || (a.index < 3) != alert.simplex || (a.index % 3 != 0) != (alert.group == 1) ||
          a.ran_out > o.t_ms || a.process != alert.process)
        continue;
      any.push_back(&a);
      if (alert.occurrence_ms && static_cast<int64_t>(a.started) >= *alert.occurrence_ms &&
          static_cast<int64_t>(a.started) < *alert.occurrence_ms + 1000)
        fitting.push_back(&a);
    }
    const std::vector<Announcement*>& candidates = fitting.empty() ? any : fitting;
    std::set<int> pairs;
    if (!candidates.empty()) {
      candidates.back()->matched = true;
      alert.announcement = candidates.back();
      walks_.emplace_back(alert.announcement->ran_out, o.t_ms);
      for (const Announcement* a : candidates) pairs.insert(a->index % 3);
    } else {
      for (int pair = alert.group; pair <= alert.group * 2; ++pair)
        if (HasPair(pair)) pairs.insert(pair);
    }
    alert.pairs.assign(pairs.begin(), pairs.end());
    alerts_.push_back(std::move(alert));
  }
}

// Whether the walks begun after a fault and over before `from` may have
// left some of its calls.
bool Checker::FaultLeft(uint64_t at, int times, uint64_t from) const {
  auto taken = std::count_if(walks_.begin(), walks_.end(), [&](const auto& w) { return w.first >= at && w.second < from; });
  return taken < times;
}

bool Checker::FaultMayHitWalk(std::initializer_list<WmiFault> kinds, uint64_t from, uint64_t to) const {
  for (const auto& [at, fault] : wmi_faults_)
    if (at <= to && std::find(kinds.begin(), kinds.end(), fault->fault) != kinds.end() && FaultLeft(at, fault->times, from))
      return true;
  return false;
}

uint64_t Checker::FaultWaits(uint64_t from, uint64_t to) const {
  uint64_t waits = 0;
  for (const auto& [at, fault] : wmi_faults_)
    if (at <= to && (fault->fault == WmiFault::kConnectServer || fault->fault == WmiFault::kNextTimeout) &&
        FaultLeft(at, fault->times, from))
      waits += kFaultWaitMs * static_cast<uint64_t>(std::max(fault->times, 0));
  return waits;
}

// The pair's short threshold: the scenario's registry value, or the
// default for the platform version (5 minutes for the PCI pairs on a
// version beginning with 1, 2 or 3, 30 minutes otherwise).
uint64_t Checker::ShortThresholdMs(int pair) const {
  static const char* const kBoards[3] = {"\\CpuBoard", "\\PciBoard", "\\ExPciBoard"};
  std::optional<uint64_t> minutes;
  char version = 'u';
  for (const runner::RegistryStep& r : scenario_.registry) {
    if (r.remove || !r.value) continue;
    std::string_view key = r.key;
    if (EqualsNoCase(key, "SOFTWARE\\QOR\\Trelvane") && EqualsNoCase(*r.value, "TrelvaneVersion") && !r.data.empty())
      version = static_cast<char>(r.data[0]);
    std::string_view board = kBoards[pair];
    if (key.size() >= board.size() && EqualsNoCase(key.substr(key.size() - board.size()), board) &&
        EqualsNoCase(*r.value, "SimplexShortThreshold") && r.data.size() == 4)
      minutes = r.data[0] | r.data[1] << 8 | r.data[2] << 16 | static_cast<uint64_t>(r.data[3]) << 24;
  }
  if (!minutes) minutes = pair != 0 && version >= '1' && version <= '3' ? 5 : 30;
  return *minutes * 60000;
}

ModuleStates Checker::GroupStates(int group, uint64_t t) const {
  ModuleStates states;
  for (const Module* m : Group(group))
    if (std::optional<int32_t> state = m->StateAt(t)) states[m->number] = *state;
  return states;
}

// A fault of GetObjectText drops the text of the next events read, by
// whichever thread; the reports a thread had queued when its subscription
// ended are read again only as the new subscription's reading finds them.
void Checker::MarkLostReports() {
  for (const auto& [at, fault] : wmi_faults_) {
    if (fault->fault != WmiFault::kGetObjectText) continue;
    int left = fault->times;
    uint64_t last = 0;
    for (Heard& r : reports_) {
      if (r.at < at || (left <= 0 && r.at > last)) continue;
      if (!Listening(r)) continue;
      r.may_be_lost = true;
      if (left-- > 0) last = r.at;
    }
  }
  for (Heard& r : reports_) {
    int p = ProcessAt(r.at);
    if (p < 0) continue;
    for (const auto& [at, on] : processes_[p].threads[r.group].subscribed)
      if (!on && at >= r.at && at <= r.at + kReadLagMs) r.may_be_lost = true;
  }
}

// Each process and group: the walk, what the thread heard while
// subscribed, and each new subscription's reading, through the rules'
// bookkeeping; after each step, what the pairs are owed.
void Checker::Replay() {
  for (size_t p = 0; p < processes_.size(); ++p) {
    const Process& process = processes_[p];
    for (int group = 0; group < 2; ++group) {
      const Process::Thread& thread = process.threads[group];
      if (!thread.walked) continue;
      PairBook& book = books_.emplace(std::make_pair(static_cast<int>(p), group), PairBook(group)).first->second;
      auto& owed = owed_[{static_cast<int>(p), group}];
      auto note = [&](uint64_t at) {
        Calm c;
        for (int pair = 0; pair < 3; ++pair) {
          c.owe_simplex[pair] = book.MayOweSimplex(pair);
          c.owe_none[pair] = book.MayOweNoSimplex(pair);
        }
        owed.emplace_back(at, c);
      };
      // A walk reads the states once connected and answers once read: a
      // failed connection or a Next that times out holds it, so it may
      // have read any states from its start to its answer.
      auto readings = [&](uint64_t from, uint64_t to) {
        std::vector<ModuleStates> states = {GroupStates(group, from)};
        for (const Heard& r : reports_)
          if (r.group == group && r.module && r.at > from && r.at <= to) states.push_back(GroupStates(group, r.at));
        return states;
      };
      book.Walk(*thread.walked, readings(*thread.query, *thread.walked), WalkMayFail(*thread.query, *thread.walked));
      note(*thread.walked);
      // Each new subscription's reading (its answer at the thread's recheck
      // line, or at once), then what the thread hears, in order; events
      // that come while the reading is under way are read after it.
      struct Step {
        uint64_t at;
        uint64_t from;  // a reading: from when it may have read
        const Heard* heard;
      };
      std::vector<Step> steps;
      for (size_t i = 0; i < thread.subscribed.size(); ++i) {
        auto [at, on] = thread.subscribed[i];
        if (!on || at < *thread.walked || at >= process.ended) continue;
        uint64_t until = i + 1 < thread.subscribed.size() ? thread.subscribed[i + 1].first : UINT64_MAX;
        auto recheck = std::lower_bound(thread.rechecks.begin(), thread.rechecks.end(), at);
        steps.push_back({recheck != thread.rechecks.end() && *recheck < until ? *recheck : at, at, nullptr});
      }
      for (const Heard& r : reports_) {
        if (r.group != group || r.at <= *thread.query || r.at >= process.ended) continue;
        if (!Subscribed(process, group, r.at)) continue;  // the next reading finds it, or not
        uint64_t seen = r.at;
        for (const Step& reading : steps)
          if (!reading.heard && r.at > reading.from && r.at <= reading.at) seen = reading.at;
        steps.push_back({seen, 0, &r});
      }
      std::stable_sort(steps.begin(), steps.end(), [](const Step& a, const Step& b) {
        return a.at < b.at || (a.at == b.at && !a.heard && b.heard);
      });
      for (const Step& step : steps) {
        if (!step.heard)
          book.Reread(step.at, readings(step.from, step.at), WalkMayFail(step.from, step.at));
        else if (step.heard->module)
          book.Event(step.at, step.heard->module->number, step.heard->state, step.heard->may_be_lost);
        else
          book.UnreadableEvent(step.at);
        note(step.at);
      }
    }
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
                               " at " + ScenarioTimeText(o.t_ms) + " after the process's stop record");
        continue;
      }
    }
    if (o.kind == Observation::Kind::kEvent && o.source == kServiceSource && o.event_id == kStoppedId) {
      stopped = true;
      for (uint64_t requested : stop_requests)
        if (o.t_ms > requested + kStopAllowanceMs)
          Report(kStopLate, "stop asked at " + ScenarioTimeText(requested) + ", stop record at " + ScenarioTimeText(o.t_ms));
      stop_requests.clear();
      if (!queued) running = false;
    }
  }
  for (uint64_t requested : stop_requests)
      Report(kStopLate, "stop asked at " + ScenarioTimeText(requested) + ", no stop record");
}

// No SIMPLEX timer of a pair without a SIMPLEX request of that pair just
// before it: the rules raise one only for what the group's thread heard
// (its walk, a module's report, an event text it may have read as a loss,
// a new subscription's reading).
void Checker::CheckSimplexCauses() {
  for (const Announcement& a : announcements_) {
    if (a.index >= 3 || !a.start_seen) continue;  // its start is not in the trace
    int p = a.process;
    int group = a.index == 0 ? 0 : 1;
    auto book = books_.find({p, group});
    if (book == books_.end()) continue;  // its walk is not in the trace
    // A request raised while the pair's SIMPLEX timer (or its DUPLEX timer,
    // in its last 2 s) runs waits for it to end.
    uint64_t from = a.started > kRequestToTimerMs ? a.started - kRequestToTimerMs : 0;
    for (const Timer& t : timers_)
      if ((t.index == a.index || t.index == a.index + 3) && t.end && *t.end <= a.started && *t.end + 3000 >= a.started)
        from = std::min(from, t.start > kRequestToTimerMs ? t.start - kRequestToTimerMs : 0);
    bool requested = std::any_of(book->second.requests().begin(), book->second.requests().end(),
                                                         [&](const PairRequest& r) {
                                                           return r.pair == a.index && r.simplex && r.at >= from &&
                                                                  r.at <= a.started + 1000;
                                                         });
    if (!requested)
      Report(kSpuriousSimplex, std::string(kPairNames[a.index]) + " SIMPLEX announced at " + ScenarioTimeText(a.ran_out) +
                                   " (timer started " + ScenarioTimeText(a.started) +
                                   ") although nothing the group's thread heard since " + ScenarioTimeText(from) +
                                   " is a loss of the pair");
  }
}

// An alert's occurrence time is the moment its change was seen: close
// after a change of the group's hardware, a fault, the monitor's start, a
// walk or a new subscription's reading; or, for a request that waited for
// a timer of its pair, that timer's end.
void Checker::CheckOccurrences() {
  for (const Alert& alert : alerts_) {
    if (!alert.occurrence_ms) continue;
    int64_t o = *alert.occurrence_ms;
    // A walk or a subscription whose trace line may be missing.
    if (o >= 0 && TraceFaulted(o > kOccurrenceSlackMs ? static_cast<uint64_t>(o - kOccurrenceSlackMs) : 0,
                               static_cast<uint64_t>(o + 1000)))
      continue;
    const std::vector<uint64_t>& moments = group_moments_[alert.group];
    bool near = std::any_of(moments.begin(), moments.end(), [&](uint64_t e) {
      auto at = static_cast<int64_t>(e);
      return at <= o + 1000 && o <= at + kOccurrenceSlackMs;
    });
    if (!near)
      Report(kOccurrence, std::string(alert.group == 0 ? "CPU" : "PCI") + (alert.simplex ? " SIMPLEX" : " DUPLEX") +
                              " alert written at " + ScenarioTimeText(alert.record->t_ms) + " names occurrence " +
                              (o >= 0 ? ScenarioTimeText(static_cast<uint64_t>(o)) : "before the run") +
                              ", when nothing of its group changed");
  }
}

// The details list every module of the group once, with a state it had
// while the alert was composed. A composer whose connection or walk a
// fault ended lists fewer modules (none, or those read before it).
void Checker::CheckDetails() {
  for (const Alert& alert : alerts_) {
    if (alert.announcement == nullptr) continue;
    uint64_t from = alert.announcement->ran_out;
    uint64_t to = alert.record->t_ms;
    // A fault still waiting for a walk may end the composer's connection
    // or walk; so does the stop flag (the monitor ending) before it.
    bool cut_short = FaultMayHitWalk({WmiFault::kExecQuery, WmiFault::kNextThrows, WmiFault::kNextCancelled,
                                      WmiFault::kCreateLocator, WmiFault::kProxyBlanket},
                                     from, to) ||
                     processes_[static_cast<size_t>(alert.process)].watch_end <= to;
    std::vector<const Module*> group = Group(alert.group);
    std::set<std::string> listed;
    std::string where = std::string(alert.group == 0 ? "CPU" : "PCI") + (alert.simplex ? " SIMPLEX" : " DUPLEX") +
                        " alert at " + ScenarioTimeText(to) + ": ";
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
    if (cut_short) continue;
    for (const Module* m : group)
      if (!listed.count(m->name)) Report(kDetails, where + "module " + m->name + " is not listed");
  }
}

// The stretches in which the group's modules stood still for longer than
// the pair's longest timer and its margins, within the process's watch:
// what each pair is owed at their end.
std::vector<Calm> Checker::Calms(int p, int group) const {
  const Process& process = processes_[static_cast<size_t>(p)];
  std::vector<Calm> calms;
  auto owed = owed_.find({p, group});
  if (owed == owed_.end()) return calms;
  std::vector<uint64_t> moments;
  for (const auto& [at, calm] : owed->second) moments.push_back(at);
  for (const Heard& r : reports_)
    if (r.group == group && r.at > moments.front() && r.at < process.watch_end) moments.push_back(r.at);
  uint64_t end = std::min(process.watch_end, scenario_.steps.back().at_ms);
  std::sort(moments.begin(), moments.end());
  moments.erase(std::lower_bound(moments.begin(), moments.end(), end), moments.end());
  moments.push_back(end);
  for (size_t i = 0; i + 1 < moments.size(); ++i) {
    Calm calm;
    calm.from = moments[i];
    calm.to = moments[i + 1];
    // What the rules owe after everything the thread heard up to its start.
    Calm rules;
    for (const auto& [at, c] : owed->second)
      if (at <= calm.from) rules = c;
    for (int pair = group; pair <= group * 2; ++pair) {
      if (!HasPair(pair)) continue;
      uint64_t longest = std::max({ShortThresholdMs(pair), uint64_t{20000}, pair == 1 ? uint64_t{300000} : 5000});
      uint64_t settle = longest + kSettleMarginMs + FaultWaits(calm.from, calm.to);
      if (calm.to - calm.from <= settle) continue;
      bool redundant = Redundant(pair, calm.from);
      calm.pairs.push_back(pair);
      calm.owe_simplex[pair] = !redundant || rules.owe_simplex[pair];
      calm.owe_none[pair] = redundant || rules.owe_none[pair];
    }
    if (!calm.pairs.empty()) calms.push_back(calm);
  }
  return calms;
}

// Whether a CPU alert's timer was started by a rise to TRIPLEX (DUPLEX)
// or by a fall from it (SIMPLEX).
void Checker::Classify(Element& e, int p, uint64_t timer_start) const {
  if (e.pairs != std::vector<int>{0}) return;
  auto book = books_.find({p, 0});
  if (book == books_.end()) return;
  for (const PairRequest& r : book->second.requests())
    if (r.pair == 0 && r.triplex && r.simplex == e.simplex && r.at <= timer_start + 1000 &&
        r.at + kRequestToTimerMs >= timer_start)
      (e.simplex ? e.fall : e.rise) = true;
}

std::string AlertWords(const Element& e) {
  std::string pair = e.pairs.size() == 1 ? kPairNames[e.pairs[0]] : "PCI or ExPCI";
  return pair + (e.simplex ? " SIMPLEX" : " DUPLEX") + " alert " +
         (e.alert ? "written at " + ScenarioTimeText(e.alert->record->t_ms) : "begun at " + ScenarioTimeText(e.at));
}

// Within one process, a pair's alerts alternate SIMPLEX, DUPLEX, SIMPLEX
// ...; when its group has stood still long enough, its last alert agrees
// with its modules. Alerts that may be missing, and alerts that may
// belong to either PCI pair, are followed in every reading.
void Checker::CheckAnnouncements() {
  for (size_t p = 0; p < processes_.size(); ++p) {
    for (int group = 0; group < 2; ++group) {
      std::vector<Element> elements;
      for (const Alert& alert : alerts_) {
        if (alert.process != static_cast<int>(p) || alert.group != group) continue;
        // In the order their timers started (a pair's timers run one after
        // the other, so this is the order they ran out in): a composer that
        // a slow walk or connection holds up writes its record after a later
        // one's. Without its timer in the trace, the occurrence time names
        // the second it started in (taken at its end: not before a change
        // of that second).
        uint64_t start = alert.announcement && alert.announcement->start_seen ? alert.announcement->started
                         : alert.occurrence_ms
                             ? static_cast<uint64_t>(std::clamp<int64_t>(*alert.occurrence_ms + 999, 0, alert.record->t_ms))
                             : alert.record->t_ms;
        Element e{start, alert.pairs, alert.simplex};
        e.alert = &alert;
        Classify(e, static_cast<int>(p), start);
        elements.push_back(e);
      }
      // A record the event log refused (an alert announced, its record
      // missing), or a composer the timer could not start (no free slot:
      // the rules drop that alert).
      for (const Announcement& a : announcements_) {
        if (a.matched || a.process != static_cast<int>(p) || (a.index % 3 == 0) != (group == 0)) continue;
        if (a.composed && !Refusing(a.ran_out, a.ran_out + kSettleMarginMs + FaultWaits(a.ran_out, a.ran_out + kSettleMarginMs)))
          continue;
        Element e{a.started, {a.index % 3}, a.index < 3, !a.composed};
        Classify(e, static_cast<int>(p), a.started);
        elements.push_back(e);
      }
      // Refusals whose composers the trace may not show.
      for (size_t i = 0; i < refusing_.size(); ++i) {
        if (!refusing_[i].second) continue;
        uint64_t until = i + 1 < refusing_.size() ? refusing_[i + 1].first : UINT64_MAX;
        if (ProcessAt(refusing_[i].first) == static_cast<int>(p) && TraceFaulted(refusing_[i].first, until)) {
          Element e;
          e.at = refusing_[i].first;
          e.any = true;
          for (int pair = group; pair <= group * 2; ++pair)
            if (HasPair(pair)) e.pairs.push_back(pair);
          elements.push_back(e);
        }
      }
      std::stable_sort(elements.begin(), elements.end(), [](const Element& a, const Element& b) { return a.at < b.at; });
      std::vector<Calm> calms = Calms(static_cast<int>(p), group);

      std::set<Lasts> states = {Lasts{}};
      std::map<int, std::string> last_words;  // per pair, its last certain alert
      std::set<int> reported;                 // pairs found unsettled since their last alert
      auto settle = [&](const Calm& calm) {
        auto fits = [&](const Lasts& s, int pair) {
          uint8_t last = s[static_cast<size_t>(pair)];
          return last == kLastFall || last == kLastDropped ||
                 (last == kLastSimplex ? calm.owe_simplex[pair] : calm.owe_none[pair]);
        };
        std::set<Lasts> kept;
        for (const Lasts& s : states)
          if (std::all_of(calm.pairs.begin(), calm.pairs.end(), [&](int pair) { return fits(s, pair); })) kept.insert(s);
        if (!kept.empty()) {
          states = std::move(kept);
          return;
        }
        // The pair no reading fits; or, where each fits alone, the first (an
        // alert may be either PCI pair's, not both).
        auto alone = [&](int pair) {
          return std::any_of(states.begin(), states.end(), [&](const Lasts& s) { return fits(s, pair); });
        };
        auto unfit = std::find_if_not(calm.pairs.begin(), calm.pairs.end(), alone);
        for (int pair : {unfit == calm.pairs.end() ? calm.pairs.front() : *unfit}) {
          if (!reported.insert(pair).second) break;
          std::string modules;
          for (const char* name : kPairModules[pair])
            modules += std::string(modules.empty() ? "" : " and ") + name + " " + StateName(Named(name)->StateAt(calm.from));
          Report(kSettled, std::string(kPairNames[pair]) + ": modules " + modules + " from " + ScenarioTimeText(calm.from) +
                               " to " + ScenarioTimeText(calm.to) + ", but the pair's last alert " +
                               (last_words.count(pair) ? "is the " + last_words[pair] : "since the start is none") +
                               (calm.owe_simplex[pair] ? "" : " (no SIMPLEX owed)"));
          break;
        }
      };
      size_t next_calm = 0;
      for (const Element& e : elements) {
        for (; next_calm < calms.size() && calms[next_calm].to <= e.at; ++next_calm) settle(calms[next_calm]);
        std::set<Lasts> next;
        for (const Lasts& s : states) {
          if (e.dropped) {
            Lasts n = s;
            n[static_cast<size_t>(e.pairs.front())] = kLastDropped;
            next.insert(n);
            continue;
          }
          if (e.any) {
            // Each pair: as it was, or any alert.
            std::vector<Lasts> grown = {s};
            for (int pair : e.pairs) {
              std::vector<Lasts> more;
              for (const Lasts& g : grown)
                for (uint8_t last : {g[static_cast<size_t>(pair)], uint8_t{kLastSimplex}, uint8_t{kLastDuplex}}) {
                  Lasts n = g;
                  n[static_cast<size_t>(pair)] = last;
                  more.push_back(n);
                }
              grown = std::move(more);
            }
            next.insert(grown.begin(), grown.end());
            continue;
          }
          for (int pair : e.pairs) {
            uint8_t last = s[static_cast<size_t>(pair)];
            bool allowed = e.simplex ? last != kLastSimplex : last == kLastSimplex || last == kLastFall || e.rise;
            if (!allowed) continue;
            Lasts n = s;
            n[static_cast<size_t>(pair)] = e.simplex ? (e.fall ? kLastFall : kLastSimplex) : kLastDuplex;
            next.insert(n);
          }
        }
        if (next.empty()) {
          auto before = last_words.find(e.pairs.front());
          Report(kAlternation, AlertWords(e) + (before == last_words.end()
                                                    ? " without a SIMPLEX alert of the pair since the process started"
                                                    : " after the pair's " + before->second + ", with no " +
                                                          (e.simplex ? "DUPLEX" : "SIMPLEX") + " alert between"));
          for (const Lasts& s : states)
            for (int candidate : e.pairs) {
              Lasts n = s;
              n[static_cast<size_t>(candidate)] = e.simplex ? kLastSimplex : kLastDuplex;
              next.insert(n);
            }
        }
        states = std::move(next);
        for (int pair : e.pairs) reported.erase(pair);
        if (e.pairs.size() == 1 && !e.dropped && !e.any) last_words[e.pairs[0]] = AlertWords(e);
      }
      for (; next_calm < calms.size(); ++next_calm) settle(calms[next_calm]);
    }
  }
}

std::vector<Violation> Checker::Run(const std::string& failure) {
  Prepare();
  ReadProcesses();
  ReadTrace();
  EndsUnseen();
  ReadAlerts();
  MarkLostReports();
  Replay();
  for (auto& moments : group_moments_) std::sort(moments.begin(), moments.end());
  if (!failure.empty()) Report(kNotStopped, failure);
  CheckProcesses();
  CheckSimplexCauses();
  CheckOccurrences();
  CheckAnnouncements();
  CheckDetails();
  return violations_;
}

}  // namespace

std::vector<Violation> CheckInvariants(const Scenario& scenario, const std::vector<Observation>& observations,
                                       const std::string& failure) {
  return Checker(scenario, observations).Run(failure);
}

}  // namespace fenra::explorer
