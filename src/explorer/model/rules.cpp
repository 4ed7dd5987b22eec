#include "explorer/model/rules.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace fenra::explorer::model {
namespace {

constexpr int64_t kPace = 1000;      // timers and the timer manager look once a second
constexpr int64_t kCompose = 500;    // a composer's own time, querying and writing
constexpr int64_t kReadEvent = 100;  // a thread's pause after an event whose state it read
constexpr int64_t kAckWait = 2000;   // how long a thread waits for its request to be taken
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
  Span Collected() const { return Widen(end, kPace); }
};

// One pair's SIMPLEX and DUPLEX timers, fed with the requests its WMI
// thread raises, as the timer manager and the timers handle them.
class Pair {
 public:
  Pair(const Setting& setting, int pair, Forks& forks, Outcome& out)
      : s_(setting),
        pair_(pair),
        forks_(forks),
        out_(out),
        date_(setting.simplex_date[pair]),
        exchanged_(setting.serial_mismatch[pair]) {}

  // The monitor starts: at generation 0 an exchanged module drops the
  // stored SimplexDate.
  void Begin(int process, Span t, Span stop) {
    process_ = process;
    stop_ = stop;
    CheckSerials(t);
  }
  void CheckSerials(Span t) {
    if (exchanged_ && !Refusing(forks_, s_.registry_writes, t)) date_.reset(), exchanged_ = false;
  }

  // A request raised at `t`; true when the manager takes it at once.
  bool Request(bool simplex, Span t) {
    Advance(t);
    // Raised as the service stops: the manager may end before taking it.
    if (t.hi >= stop_.lo && forks_.Choose()) return true;
    if (!simplex) {
      if (dup_.on) return pending_dup_ = true, false;
      StartDuplex(t);
      return true;
    }
    if (SimpDupSimp(t)) return true;
    if (dup_.on || simp_.on) return pending_simp_ = true, false;
    StartSimplex(t);
    return true;
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
      if (next < 0 || !forks_.Before(when, t)) return;
      if (next == 0) SimplexRunsOut();
      if (next == 1) DuplexRunsOut();
      if (next >= 2) {
        (next == 2 ? simp_ : dup_).on = false;
        ManagerCycle(when);
      }
    }
  }

  // The service stops at `t`: running timers end without an alert.
  void Stop(Span t) {
    Advance(t);
    simp_ = dup_ = Timer{};
    pending_simp_ = pending_dup_ = stale_simp_ = stale_dup_ = false;
  }

 private:
  // A SIMPLEX while the DUPLEX timer still has more than 2 s to run
  // cancels that timer and starts nothing: the running SIMPLEX timer, if
  // any, goes on.
  bool SimpDupSimp(Span t) {
    if (!dup_.on || !forks_.Before(t, dup_.deadline + -2000)) return false;
    if (!dup_.ended) {
      dup_.ended = dup_.cancel = true;
      dup_.end = Widen(t, kPace);
    } else if (!dup_.cancel || !forks_.Before(t, dup_.end)) {
      stale_dup_ = true;  // the timer has gone: the request waits for the next one
    }
    return true;
  }

  void ManagerCycle(Span t) {
    if (pending_simp_ && SimpDupSimp(t)) pending_simp_ = false;
    if (pending_simp_ && !dup_.on && !simp_.on) pending_simp_ = false, StartSimplex(t);
    if (pending_dup_ && !dup_.on) pending_dup_ = false, StartDuplex(t);
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
    if (stale_simp_) {  // a cancel left from an earlier timer stops it at its first look
      stale_simp_ = false;
      simp_.ended = simp_.cancel = true;
      simp_.end = t;
    }
  }

  void StartDuplex(Span t) {
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
    if (stale_dup_) {
      stale_dup_ = false;
      dup_.ended = dup_.cancel = true;
      dup_.end = t;
    }
  }

  void SimplexRunsOut() {
    simp_.ended = true;
    simp_.end = simp_.expiry;
    Alert(true, simp_);
  }

  // The DUPLEX timer runs out: while the SIMPLEX timer exists it cancels
  // it (a flap: no alert at all), else it announces the return.
  void DuplexRunsOut() {
    dup_.ended = true;
    dup_.end = dup_.expiry;
    if (!simp_.on) return Alert(false, dup_);
    if (!simp_.ended) {
      simp_.ended = simp_.cancel = true;
      simp_.end = {dup_.expiry.lo, std::min(dup_.expiry.hi + kPace, simp_.expiry.hi)};
    } else if (!simp_.cancel) {
      stale_simp_ = true;
    }
  }

  void Alert(bool simplex, const Timer& timer) {
    Span written = Widen(timer.expiry + s_.firmware_wait_ms, kCompose);
    // A composer waiting for the firmware revision gives up at the stop.
    if (s_.firmware_wait_ms > 0 && forks_.Before(stop_, written)) written = Widen(stop_, kCompose);
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
  bool exchanged_;
  Timer simp_, dup_;
  bool pending_simp_ = false, pending_dup_ = false;
  bool stale_simp_ = false, stale_dup_ = false;  // cancel requests left set after their timer ended
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
};

class Thread {
 public:
  Thread(const Setting& setting, int group, Forks& forks, Outcome& out) : s_(setting), group_(group), forks_(forks) {
    for (int p = group == 0 ? 0 : 1; p <= (group == 0 ? 0 : 2); ++p) pairs_.emplace_back(setting, p, forks, out);
  }

  void Run() {
    for (size_t k = 0; k < s_.processes.size(); ++k) {
      const Process& process = s_.processes[k];
      const Span stop = At(process.stop);
      const int64_t monitor = process.start + s_.delay_ms;
      if (!s_.monitor_runs || !forks_.Before(At(monitor), stop)) continue;
      for (Pair& pair : pairs_) pair.Begin(static_cast<int>(k), At(monitor), stop);
      const int64_t begins = monitor + 60000 * (group_ + 1);
      if (forks_.Before(At(begins), stop)) Watch(begins, stop);
      for (Pair& pair : pairs_) pair.Stop(stop);
    }
  }

 private:
  Pair& PairOf(int pair) { return pairs_[group_ == 0 ? 0 : pair - 1]; }

  void Watch(int64_t begins, Span stop) {
    // Changes at the very minute the thread starts may be read by its
    // status walk or come as events.
    const bool ties = std::any_of(s_.events.begin(), s_.events.end(),
                                  [&](const SeenEvent& e) { return e.group == group_ && e.t == begins; });
    const bool walk_sees_ties = ties && forks_.Choose();
    view_ = ThreadView{};
    Walk(begins - (walk_sees_ties ? 0 : 1), begins);
    Span busy = At(begins);
    for (const SeenEvent& event : s_.events) {
      if (event.group != group_ || event.t < begins || (event.t == begins && walk_sees_ties)) continue;
      Span starts = Later(At(event.t), busy);
      if (!forks_.Before(starts, stop)) break;
      busy = starts + (event.pulses ? kReadEvent : 0);
      if (!Read(event, {starts.lo, busy.hi})) busy = Widen(busy, kAckWait);
    }
  }

  // The status walk at the thread's start and the flags it raises.
  void Walk(int64_t states_at, int64_t at) {
    std::vector<std::pair<int, int32_t>> modules;
    for (const Instance& instance : s_.instances)
      if (group_ == 0 ? instance.cpu : instance.pci)
        if (auto state = instance.StateAt(states_at)) modules.push_back({std::atoi(instance.name.c_str()), *state});
    const int code = StatusCode(modules);
    const WalkRow* row = group_ == 0 ? kCpuWalk : kPciWalk;
    while (row->code != code && row->code != -1) ++row;
    if (row->triplex) view_.group_state = kTriplex;
    if (row->first >= 0) view_.duplex[0] = row->first == 1, view_.duplex[1] = row->second == 1;
    // No pulse: the manager takes these at its next look.
    const Span raised = Widen(At(at), kPace);
    if (row->simplex) view_.group_state = kSimplex, PairOf(group_ == 0 ? 0 : 1).Request(true, raised);
    if (row->expci_simplex) view_.expci_state = kSimplex, PairOf(2).Request(true, raised);
  }

  // One event; false when it raised a request the manager did not take at
  // once (the thread then waits up to 2 s).
  bool Read(const SeenEvent& event, Span raised) {
    if (!event.readable) return true;  // no state: no flag, no transition
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
    if (state == kSimplex && (previous == kDuplex || previous == kTriplex)) {
      simplex = true, target = kSimplex;
    } else if (state == kDuplex && previous == kSimplex) {
      simplex = false, target = kDuplex;
    } else if (group_ == 0 && state == kDuplex && previous == kTriplex) {
      simplex = true, target = kDuplex;  // three modules to two: announced as a loss
    } else if (group_ == 0 && state == kTriplex && (previous == kSimplex || previous == kDuplex)) {
      simplex = false, target = kTriplex;
    } else {
      return true;
    }
    return PairOf(pair).Request(simplex, raised);
  }

  const Setting& s_;
  const int group_;
  Forks& forks_;
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

std::vector<Outcome> ThreadOutcomes(const Setting& setting, int group, std::string* why) {
  std::vector<Outcome> outcomes;
  Forks forks;
  size_t paths = 0;
  do {
    if (++paths > kMostPaths) {
      *why = "more than " + std::to_string(kMostPaths) + " ways the timing may fall";
      return {};
    }
    Outcome out;
    Thread(setting, group, forks, out).Run();
    if (std::find(outcomes.begin(), outcomes.end(), out) == outcomes.end()) outcomes.push_back(std::move(out));
  } while (forks.NextPath());
  return outcomes;
}

}  // namespace fenra::explorer::model
