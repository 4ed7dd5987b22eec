#include "explorer/model/rules.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace fenra::explorer::model {
namespace {

constexpr int64_t kPace = 1000;      // timers and the timer manager look once a second
constexpr int64_t kCompose = 500;    // a composer's own time, querying and writing
// A limit this long cannot be met by a signed 32-bit elapsed time polled
// once a second; such a timer runs out once, anywhere from about 24.8 days
// to its real limit.
constexpr int64_t kNoRoom = int64_t{INT32_MAX} - kPace;
constexpr int64_t kLongest = 2147478000;
constexpr size_t kMostPaths = 16384;

Span operator+(Span s, int64_t d) { return {s.lo + d, s.hi + d}; }
Span Widen(Span s, int64_t d) { return {s.lo, s.hi + d}; }
Span Later(Span a, Span b) { return {std::max(a.lo, b.lo), std::max(a.hi, b.hi)}; }
Span At(int64_t t) { return {t, t}; }

// One way the timing may fall, replayed from the start: each comparison the
// spans leave open is a fork, taken first one way and then the other.
class Forks {
 public:
  bool Before(Span a, Span b) {
    if (a.hi < b.lo) return true;
    if (a.lo > b.hi) return false;
    return Choose();
  }
  bool Choose() {
    if (at_ == script_.size()) script_.push_back(false);
    return script_[at_++];
  }
  bool NextPath() {
    script_.resize(at_);
    while (!script_.empty() && script_.back()) script_.pop_back();
    if (script_.empty()) return false;
    script_.back() = true;
    at_ = 0;
    return true;
  }

 private:
  std::vector<bool> script_;
  size_t at_ = 0;
};

// Whether a refusal is in effect at `t`.
bool Refusing(Forks& forks, const std::vector<Switch>& switches, Span t) {
  bool before = false, any_on = false, any_off = false;
  for (const Switch& s : switches) {
    if (s.t < t.lo) before = s.refusing;
    if (s.t >= t.lo && s.t <= t.hi) (s.refusing ? any_on : any_off) = true;
  }
  if (!any_on && !any_off) return before;
  if ((before || any_on) && (!before || any_off)) return forks.Choose();
  return before;
}

int64_t Paced(int64_t limit) { return limit <= 0 ? 0 : (limit + kPace - 1) / kPace * kPace; }

struct Timer {
  bool on = false;      // exists: running, or ended and not yet collected by the manager
  bool ended = false;   // ran out, or will stop at its next look
  bool cancel = false;  // ended by a cancel request
  Span start, deadline, expiry, end;
  // A DUPLEX timer: the last raise of the request it serves (its number in
  // the pair's sequence of requests), and whether the pair had a SIMPLEX
  // not yet answered then.
  uint64_t raised = 0;
  bool unanswered = false;
  Span Collected() const { return Widen(end, kPace); }
};

// One pair's SIMPLEX and DUPLEX timers, fed with the requests its WMI
// thread raises, as the timer manager and the timers handle them.
//
// A DUPLEX timer that runs out: (a) while its SIMPLEX timer still runs
// (not being cancelled) it cancels it, no alert; (b) after the pair's last
// SIMPLEX timer ran out and was announced, with no DUPLEX timer run out
// since, it announces the return; (c) when its request was raised while
// the pair had a SIMPLEX not yet answered (a SIMPLEX timer running, or a
// SIMPLEX request waiting), no alert, and a SIMPLEX request still waiting
// that was raised before its request goes with it; (d) otherwise (a rise
// to three CPU modules) it announces DUPLEX. Every run-out closes the
// pair's SIMPLEX episode. A cancel is only given to a running timer.
class Pair {
 public:
  Pair(const Setting& setting, int pair, Forks& forks, Outcome& out)
      : s_(setting), pair_(pair), forks_(forks), out_(out), date_(setting.simplex_date[pair]) {
    for (const SerialTimeline& module : setting.serials)
      if (module.pair == pair) serials_.push_back(&module), kept_.push_back(module.kept);
  }

  // The monitor starts: it compares the serial numbers.
  void Begin(int process, Span t, Span stop) {
    process_ = process;
    stop_ = stop;
    CheckSerials(t);
  }

  // Generation 0: a module whose published serial number differs from the
  // kept copy was exchanged: the copy is replaced and the pair's stored
  // SIMPLEX start dropped (neither when the registry refuses).
  void CheckSerials(Span t) {
    auto differs = [&](size_t i, int64_t at) {
      std::optional<Serial> published = PublishedAt(*serials_[i], at);
      return published && *published != Serial{} && published != kept_[i];
    };
    bool any = false;
    for (size_t i = 0; i < serials_.size(); ++i) any |= differs(i, t.lo) || differs(i, t.hi);
    if (!any) return;
    Advance(t);  // a timer that starts meanwhile reads the stored start first
    for (size_t i = 0; i < serials_.size(); ++i) {
      std::optional<Serial> now = PublishedAt(*serials_[i], t.lo), later = PublishedAt(*serials_[i], t.hi);
      if (now != later && forks_.Choose()) now = later;
      if (!now || *now == Serial{} || kept_[i] == now || Refusing(forks_, s_.registry_writes, t)) continue;
      kept_[i] = now;
      date_.reset();
    }
  }

  // A request raised at `t`; true when the manager takes it at once. A
  // request handed over wakes the manager, which then takes every request
  // that may start; one raised without (the start-up walk's) waits for the
  // manager's next look, within a second.
  bool Request(bool simplex, Span t, bool handed_over = true) {
    Advance(t);
    // Raised as the service stops: the manager may end before taking it.
    if (t.hi >= stop_.lo && forks_.Choose()) return true;
    const uint64_t raised = ++requests_;
    if (!simplex) {
      const bool unanswered = (simp_.on && !simp_.ended) || pending_simp_;
      // A request raised again while it waits keeps what it answered.
      pending_dup_unanswered_ = (pending_dup_ && pending_dup_unanswered_) || unanswered;
      pending_dup_ = true, pending_dup_raised_ = raised;
    } else {
      pending_simp_ = true, pending_simp_raised_ = raised;
    }
    if (!handed_over) {
      look_ = t;
      return true;
    }
    look_.reset();
    ManagerCycle(t);
    return !(simplex ? pending_simp_ : pending_dup_);
  }

  // All that happens before `t`: timers running out, the manager
  // collecting them and starting what waited.
  void Advance(Span t) {
    for (;;) {
      int next = -1;
      Span when{};
      auto consider = [&](int which, bool live, Span at) {
        if (live && (next < 0 || forks_.Before(at, when))) next = which, when = at;
      };
      consider(0, simp_.on && !simp_.ended, simp_.expiry);
      consider(1, dup_.on && !dup_.ended, dup_.expiry);
      consider(2, simp_.on && simp_.ended, simp_.Collected());
      consider(3, dup_.on && dup_.ended, dup_.Collected());
      consider(4, look_.has_value(), look_.value_or(Span{}));
      if (next < 0 || !forks_.Before(when, t)) return;
      if (next == 0) SimplexRunsOut();
      if (next == 1) DuplexRunsOut();
      if (next == 4) {
        look_.reset();
        ManagerCycle(when);
      }
      if (next == 2 || next == 3) {
        (next == 2 ? simp_ : dup_).on = false;
        ManagerCycle(when);
      }
    }
  }

  // The service stops at `t`: running timers end without an alert.
  void Stop(Span t) {
    Advance(t);
    simp_ = dup_ = Timer{};
    pending_simp_ = pending_dup_ = announced_ = false;
    look_.reset();
  }

 private:
  static std::optional<Serial> PublishedAt(const SerialTimeline& module, int64_t t) {
    std::optional<Serial> serial;
    for (const auto& [at, published] : module.published)
      if (at <= t) serial = published;
    return serial;
  }

  // A SIMPLEX while the DUPLEX timer exists with more than 2 s to its
  // deadline cancels that timer (if it still runs) and starts nothing: the
  // SIMPLEX timer that runs, if any, goes on.
  bool SimpDupSimp(Span t) {
    if (!dup_.on || !forks_.Before(t, dup_.deadline + -2000)) return false;
    if (!dup_.ended) {
      dup_.ended = dup_.cancel = true;
      dup_.end = Widen(t, kPace);
    }
    return true;
  }

  // An older SIMPLEX request waits for its own timer's end, which is a
  // second away (it ran out or was cancelled): the DUPLEX request lets it
  // start first.
  bool WaitsForSimplex(uint64_t duplex_raised) const {
    return pending_simp_ && pending_simp_raised_ < duplex_raised && simp_.on && simp_.ended;
  }

  void ManagerCycle(Span t) {
    if (pending_simp_ && SimpDupSimp(t)) pending_simp_ = false;
    // In the order they were raised; a SIMPLEX request also waits for its
    // DUPLEX timer to end.
    const bool simplex_older = pending_simp_ && (!pending_dup_ || pending_simp_raised_ < pending_dup_raised_);
    if (simplex_older && !dup_.on && !simp_.on) pending_simp_ = false, StartSimplex(t);
    if (pending_dup_ && !dup_.on && !WaitsForSimplex(pending_dup_raised_)) {
      pending_dup_ = false;
      StartDuplex(t, pending_dup_raised_, pending_dup_unanswered_);
      // A SIMPLEX request still waiting meets the new timer at the next cycle.
      if (pending_simp_ && SimpDupSimp(Widen(t, kPace))) pending_simp_ = false;
    }
  }

  void StartSimplex(Span t) {
    std::string low = Stamp(LocalAt(s_.clock, t.lo)), high = Stamp(LocalAt(s_.clock, t.hi));
    std::string present = low == high || !forks_.Choose() ? low : high;
    int recent = date_ ? RecentSimplex(*date_, present, s_.long_min[pair_]) : 0;
    if (!Refusing(forks_, s_.registry_writes, t)) date_ = present;
    int64_t limit = recent != 0 ? 20000 : int64_t{s_.short_min[pair_]} * 60000;
    simp_ = Timer{true, false, false, t, t + limit, t + Paced(limit), {}};
    if (limit > kNoRoom) {
      simp_.deadline = simp_.expiry = {t.lo + kLongest, t.hi + limit};
      simp_.expiry.hi += kPace;
    }
  }

  void StartDuplex(Span t, uint64_t raised, bool unanswered) {
    Span deadline;
    if (pair_ == 1 && !simp_.on) {
      deadline = t + 300000;
    } else if (pair_ == 1 && forks_.Before(t, simp_.deadline + -10000)) {
      deadline = simp_.deadline + -5000;  // runs out 5 s before the SIMPLEX timer would
    } else {
      bool simplex_ends_soon = simp_.on && forks_.Before(simp_.deadline + -2000, t);
      deadline = t + (simplex_ends_soon ? 5000 : 1000);
    }
    // A limit of its own is met on the second; one taken from the SIMPLEX
    // timer's deadline up to a pace later.
    const bool own = deadline.lo - t.lo == deadline.hi - t.hi && (deadline.lo - t.lo) % kPace == 0;
    dup_ = Timer{true, false, false, t, deadline, own ? deadline : Widen(deadline, kPace - 1), {}};
    dup_.raised = raised;
    dup_.unanswered = unanswered;
  }

  void SimplexRunsOut() {
    simp_.ended = true;
    simp_.end = simp_.expiry;
    announced_ = true;
    Alert(true, simp_);
  }

  void DuplexRunsOut() {
    dup_.ended = true;
    dup_.end = dup_.expiry;
    // A loss whose timer still runs ended before it: no alert of its own.
    const bool cancels = simp_.on && !simp_.ended;
    if (cancels) {
      simp_.ended = simp_.cancel = true;
      simp_.end = {dup_.expiry.lo, std::min(dup_.expiry.hi + kPace, simp_.expiry.hi)};
    }
    // A loss raised before this return and still waiting ended with it.
    if (pending_simp_ && pending_simp_raised_ < dup_.raised) pending_simp_ = false;
    // The return from an announced loss; or a return that answers no loss
    // at all (a rise to three CPU modules).
    if (announced_ || (!cancels && !dup_.unanswered)) Alert(false, dup_);
    announced_ = false;
  }

  void Alert(bool simplex, const Timer& timer) {
    Span written = Widen(timer.expiry + s_.firmware_wait_ms, kCompose);
    // A composer waiting for the firmware revision gives up at the stop.
    if (s_.firmware_wait_ms > 0 && forks_.Before(stop_, written)) written = Widen(stop_, kCompose);
    out_.composers.push_back({timer.expiry.lo, written.hi});
    if (Refusing(forks_, s_.event_log, written)) return;
    out_.alerts.push_back({pair_, simplex, process_, timer.start, timer.expiry, written, stop_.lo});
  }

  const Setting& s_;
  const int pair_;
  Forks& forks_;
  Outcome& out_;
  int process_ = 0;
  Span stop_;
  std::optional<std::string> date_;
  std::vector<const SerialTimeline*> serials_;
  std::vector<std::optional<Serial>> kept_;
  Timer simp_, dup_;
  uint64_t requests_ = 0;
  bool pending_simp_ = false, pending_dup_ = false;
  uint64_t pending_simp_raised_ = 0, pending_dup_raised_ = 0;  // the last raise of each waiting request
  bool pending_dup_unanswered_ = false;
  std::optional<Span> look_;  // the manager's next look, for a request raised without a hand-over
  bool announced_ = false;  // the last SIMPLEX timer was announced, and no DUPLEX timer has run out since
};

// The classification of the start-up status walk over one module class.
int StatusCode(const std::vector<std::pair<int, int32_t>>& modules) {
  bool simplex[14] = {}, d0 = false, d1 = false, triplex = false;
  for (auto [number, state] : modules) {
    triplex |= state == kTriplex;
    d0 |= state == kDuplex && number == 0;
    d1 |= state == kDuplex && number == 1;
    if (state == kSimplex && number >= 0 && number <= 13) simplex[number] = true;
  }
  const bool s0 = simplex[0], s1 = simplex[1], s10 = simplex[10], s11 = simplex[11], sx = simplex[12] || simplex[13];
  if (triplex) return 2;
  if (s0) return s1 ? 9 : d1 ? 10 : 13;
  if (s1) return d0 ? 11 : 14;
  if (simplex[2]) return 1;
  if (d0) return d1 ? 12 : 15;
  if (d1) return 16;
  if (sx) return s10 || s11 ? 3 : 5;
  if (s10) return s11 ? 6 : 7;
  return s11 ? 8 : 0;
}

// What the start-up walk's code makes of a thread's view: the group's pair
// (and the ExPCI pair) SIMPLEX with its timer asked for, the group
// TRIPLEX, the pair flags (-1: as they are). The last row of each thread
// stands for every other code.
struct WalkRow {
  int code;
  bool simplex, expci_simplex, triplex;
  int first, second;
};
constexpr WalkRow kCpuWalk[] = {
    {1, true, false, false, -1, -1}, {2, false, false, true, -1, -1}, {9, true, false, false, 0, 0},
    {10, true, false, false, 0, 1},  {11, true, false, false, 1, 0},  {12, false, false, false, 1, 1},
    {13, true, false, false, 0, 0},  {14, true, false, false, 0, 0},  {15, true, false, false, 1, 0},
    {16, true, false, false, 0, 1},  {-1, true, false, false, 0, 0}};
constexpr WalkRow kPciWalk[] = {{2, false, false, true, -1, -1}, {3, true, true, false, -1, -1},
                                {5, false, true, false, -1, -1}, {6, true, false, false, 0, 0},
                                {7, true, false, false, 0, 1},   {8, true, false, false, 1, 0},
                                {-1, false, false, false, 1, 1}};

// What one WMI thread keeps while it runs.
struct ThreadView {
  int32_t group_state = kDuplex, expci_state = kDuplex;
  bool duplex[2] = {false, false};  // the pair's first and second module last said DUPLEX
  std::map<int, int32_t> known;     // each module's state as the thread last read it
};

class Thread {
 public:
  Thread(const Setting& setting, int group, Forks& forks, Outcome& out, TableRows* rows)
      : s_(setting), group_(group), forks_(forks), rows_(rows) {
    for (int p = group == 0 ? 0 : 1; p <= (group == 0 ? 0 : 2); ++p) pairs_.emplace_back(setting, p, forks, out);
  }

  void Run() {
    for (size_t k = 0; k < s_.processes.size(); ++k) {
      const Process& process = s_.processes[k];
      const Span stop = At(std::min(process.stop, process.monitor_end.value_or(process.stop)));
      const int64_t monitor = process.start + s_.delay_ms;
      if (!s_.monitor_runs || !forks_.Before(At(monitor), stop)) continue;
      for (Pair& pair : pairs_) pair.Begin(static_cast<int>(k), At(monitor), stop);
      const int64_t begins = monitor + kThreadGap * (group_ + 1);
      if (forks_.Before(At(begins), stop)) Watch(process.threads[group_], begins, stop);
      for (Pair& pair : pairs_) pair.Stop(stop);
    }
  }

 private:
  Pair& PairOf(int pair) { return pairs_[group_ == 0 ? 0 : pair - 1]; }

  // The start-up walk answers the states of the moment of its query; the
  // thread subscribes when it has its answer (later when the walk's Next
  // waits out time-outs) and then reads the group's states again, feeding
  // what changed meanwhile through the event path. A change before the
  // subscription is seen there, the ones of one module collapsed into its
  // last state. So is a change while the thread subscribes again after a
  // fault of its wait for an event.
  void Watch(const ThreadFaults& faults, int64_t begins, Span stop) {
    const int64_t subscribed = begins + faults.walk_delay;
    // Changes at the very moment of the query may be read by the walk or
    // come as events.
    const bool ties = std::any_of(s_.events.begin(), s_.events.end(),
                                  [&](const SeenEvent& e) { return e.group == group_ && e.t == begins; });
    const bool walk_sees_ties = ties && forks_.Choose();
    const int64_t walk_states = begins - (walk_sees_ties ? 0 : 1);
    view_ = ThreadView{};
    if (!forks_.Before(At(subscribed), stop)) return;
    Walk(walk_states, subscribed, faults.walk_fails);
    Span busy = At(subscribed);
    if (!faults.first_reread_fails) busy = Reread(busy, subscribed == begins ? walk_states : subscribed - 1);
    // A fault of its wait for an event: the thread takes it when it next
    // asks, subscribes again (the events not yet read are lost) and reads
    // the states anew.
    size_t next = 0;
    int64_t lost_until = INT64_MIN;
    auto resubscribe = [&] {
      const ThreadFaults::Resubscription& r = faults.resubscriptions[next++];
      if (r.maybe && forks_.Choose()) return;  // another thread took it
      const Span when = Later(At(r.t), busy);
      int64_t at = when.lo;  // the moment within `when`: the changes before it are lost, and read
      for (const SeenEvent& e : s_.events)
        if (e.group == group_ && e.t > when.lo && e.t <= when.hi) {
          if (!forks_.Choose()) break;
          at = e.t;
        }
      lost_until = at;
      busy = {at, std::max(at, when.hi)};
      if (r.reread == 1 || (r.reread < 0 && forks_.Choose())) busy = Reread(busy, at);
    };
    auto fault_before = [&](Span t) {
      return next < faults.resubscriptions.size() && forks_.Before(At(faults.resubscriptions[next].t), stop) &&
             forks_.Before(At(faults.resubscriptions[next].t), t);
    };
    for (const SeenEvent& event : s_.events) {
      if (event.group != group_ || event.t < subscribed) continue;
      if (event.t == begins && walk_sees_ties) continue;
      while (fault_before(Later(At(event.t), busy))) resubscribe();
      if (event.t <= lost_until) continue;
      Span starts = Later(At(event.t), busy);
      if (!forks_.Before(starts, stop)) break;
      busy = starts + (event.pulses ? kReadEvent : 0);
      if (!Read(event, {starts.lo, busy.hi})) busy = Widen(busy, kAckWait);
    }
    while (fault_before(stop)) resubscribe();
  }

  // The status walk at the thread's start and the flags it raises; a walk
  // that raises answers no states (the row of every other code).
  void Walk(int64_t states_at, int64_t at, bool fails) {
    std::vector<std::pair<int, int32_t>> modules = States(states_at);
    const int code = fails ? -1 : StatusCode(modules);
    const WalkRow* row = group_ == 0 ? kCpuWalk : kPciWalk;
    while (row->code != code && row->code != -1) ++row;
    if (row->triplex) view_.group_state = kTriplex;
    if (row->first >= 0) view_.duplex[0] = row->first == 1, view_.duplex[1] = row->second == 1;
    if (!fails)
      for (auto [number, state] : modules) view_.known[number] = state;
    // No pulse: the manager takes these at its next look.
    const Span raised = Widen(At(at), kPace);
    if (row->simplex) view_.group_state = kSimplex, PairOf(group_ == 0 ? 0 : 1).Request(true, raised, false);
    if (row->expci_simplex) view_.expci_state = kSimplex, PairOf(2).Request(true, raised, false);
  }

  // The group's modules with a state at `t`, by module number.
  std::vector<std::pair<int, int32_t>> States(int64_t t) const {
    std::vector<std::pair<int, int32_t>> modules;
    for (const Instance& instance : s_.instances)
      if (group_ == 0 ? instance.cpu : instance.pci)
        if (auto state = instance.StateAt(t)) modules.push_back({std::atoi(instance.name.c_str()), *state});
    return modules;
  }

  // After a subscription: each module whose state differs from the one
  // the thread last read (or that it never read), in ascending number,
  // through the event path. The thread is busy until it has fed them.
  Span Reread(Span at, int64_t states_at) {
    std::vector<std::pair<int, int32_t>> modules = States(states_at);
    std::stable_sort(modules.begin(), modules.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    Span busy = at;
    for (auto [number, state] : modules) {
      auto known = view_.known.find(number);
      if (known != view_.known.end() && known->second == state) continue;
      busy = Widen(busy, kReadEvent);
      if (!Read({at.lo, group_, true, number, state, false}, busy)) busy = Widen(busy, kAckWait);
    }
    return busy;
  }

  // One event; false when it raised a request the manager did not take at
  // once (the thread then waits up to 2 s).
  bool Read(const SeenEvent& event, Span raised) {
    if (!event.readable) return true;  // no state: no flag, no transition
    view_.known[event.module] = event.state;
    const bool expci = event.module == 12 || event.module == 13;
    int32_t state = event.state;
    bool& flag = view_.duplex[event.module == (group_ == 0 ? 0 : 10) ? 0 : 1];
    flag = state == kDuplex;
    if (state == kDuplex && !(view_.duplex[0] && view_.duplex[1])) state = kSimplex;
    int32_t& target = expci ? view_.expci_state : view_.group_state;
    const int pair = group_ == 0 ? 0 : expci ? 2 : 1;
    if (s_.generation == 0 && (state == kSimplex || state == kRemoved || state == kDuplex || state == kTriplex))
      PairOf(pair).CheckSerials(raised);
    const int32_t previous = target;
    bool simplex;
    int row;
    if (state == kSimplex && (previous == kDuplex || previous == kTriplex)) {
      simplex = true, target = kSimplex, row = previous == kDuplex ? 0 : 1;
    } else if (state == kDuplex && previous == kSimplex) {
      simplex = false, target = kDuplex, row = 2;
    } else if (group_ == 0 && state == kDuplex && previous == kTriplex) {
      simplex = true, target = kDuplex, row = 3;  // three modules to two: announced as a loss
    } else if (group_ == 0 && state == kTriplex && (previous == kSimplex || previous == kDuplex)) {
      simplex = false, target = kTriplex, row = previous == kSimplex ? 4 : 5;
    } else {
      return true;
    }
    if (rows_ != nullptr) ++(*rows_)[static_cast<size_t>(row)];
    return PairOf(pair).Request(simplex, raised);
  }

  const Setting& s_;
  const int group_;
  Forks& forks_;
  TableRows* rows_;
  std::vector<Pair> pairs_;
  ThreadView view_;
};

}  // namespace

std::string Stamp(const LocalTime& time) {
  char text[32];
  std::snprintf(text, sizeof text, "%4d%02d%02d%02d%02d", time.year, time.month, time.day, time.hour, time.minute);
  return text;
}

// Minutes of a YYYYMMDDhhmm stamp on the calendar; none when it names no
// real date and time.
static std::optional<int64_t> Minutes(const std::string& stamp) {
  if (stamp.size() != 12 || stamp.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  auto number = [&](size_t at, size_t n) { return std::stoi(stamp.substr(at, n)); };
  std::chrono::year_month_day date{std::chrono::year(number(0, 4)), std::chrono::month(number(4, 2)),
                                   std::chrono::day(number(6, 2))};
  if (!date.ok() || number(8, 2) > 23 || number(10, 2) > 59) return std::nullopt;
  return std::chrono::sys_days(date).time_since_epoch().count() * int64_t{1440} + number(8, 2) * 60 + number(10, 2);
}

int RecentSimplex(const std::string& previous, const std::string& present, uint32_t threshold) {
  std::optional<int64_t> then = Minutes(previous), now = Minutes(present);
  if (!then || !now) return 0;
  if (*now < *then) return -1;
  return *now - *then < static_cast<int32_t>(threshold) ? 1 : 0;
}

std::vector<Outcome> ThreadOutcomes(const Setting& setting, int group, std::string* why, TableRows* rows) {
  std::vector<Outcome> outcomes;
  Forks forks;
  size_t paths = 0;
  do {
    if (++paths > kMostPaths) {
      *why = "more than " + std::to_string(kMostPaths) + " ways the timing may fall";
      return {};
    }
    Outcome out;
    Thread(setting, group, forks, out, paths == 1 ? rows : nullptr).Run();
    if (std::find(outcomes.begin(), outcomes.end(), out) == outcomes.end()) outcomes.push_back(std::move(out));
  } while (forks.NextPath());
  return outcomes;
}

void ReplayTable(const Setting& setting, int group, TableRows* rows) {
  Forks forks;
  Outcome out;
  Thread(setting, group, forks, out, rows).Run();
}

}  // namespace fenra::explorer::model
