// Who takes a fault of the provider's Next, and what it does.
//
// A scripted fault waits for the next Next call of any thread: a WMI
// thread's start-up walk, its wait for the next event (which it enters
// again after each event, and which a raising or cancelled call also
// reaches while it waits), the re-read after a subscription, an alert
// composer's walks. What it does depends on the taker:
// - a time-out: a status walk waits it out (TIMEOUT_VALUE) and asks again,
//   answering the states of the moment of its query later; the wait for an
//   event asks again at once, so there it does nothing;
// - a raise: a walk has no states; the wait for an event ends, the thread
//   subscribes again at once (the events it had not read yet are lost) and
//   reads the group's states anew;
// - a cancelled call: the monitor stops.
// Where the taker is not certain, or an alert composer may be it, there is
// no prediction.

#include <algorithm>
#include <limits>

#include "explorer/model/setting.h"

namespace fenra::explorer::model {
namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
// A service that stopped itself has ended its process within this (its
// 5-s pause and the minute a composer at work is granted).
constexpr int64_t kStopping = 70000;
constexpr int kWalkTimeouts = 6;  // a walk whose Next times out this often in a row stops the monitor

struct Call {
  bool known = true;  // false: the thread waits out a walk's time-out, and the model cannot place it
  bool walk = false;  // its start-up walk, else its wait for an event
  int64_t lo = kNever, hi = kNever;  // hi kNever: perhaps never
  size_t process = 0;
  int group = 0;
};

class Takers {
 public:
  explicit Takers(Setting& s) : s_(s) {}

  // False: no prediction (the reason is recorded).
  bool Take(const NextFault& fault) {
    if (fault.t <= window_end_) return Fail("faults of Next that overlap");
    int64_t end = fault.t;
    bool ok = fault.kind == NextFault::kTimeout   ? Timeout(fault, &end)
              : fault.kind == NextFault::kThrows ? Throws(fault, &end)
                                                 : Cancelled(fault, &end);
    if (!ok) return false;
    window_end_ = end;
    s_.fault_windows.push_back({fault.t, end});
    return true;
  }

 private:
  bool Fail(const char* reason) {
    for (auto& reasons : s_.no_prediction) reasons.push_back(reason);
    return false;
  }

  int64_t Monitor(const Process& p) const { return p.start + s_.delay_ms; }
  int64_t End(const Process& p) const { return std::min(p.stop, p.monitor_end.value_or(kNever)); }
  int64_t Begins(const Process& p, int g) const { return Monitor(p) + kThreadGap * (g + 1); }
  int64_t Subscribed(const Process& p, int g) const {
    return Begins(p, g) + (g < 2 ? p.threads[g].walk_delay : 0);
  }

  // The thread's next call of Next at or after `t`; none when it makes no
  // more. `wakes`: the fault ends a wait for an event at once.
  std::optional<Call> NextCall(size_t k, int g, int64_t t, bool wakes) const {
    const Process& p = s_.processes[k];
    if (!s_.monitor_runs || Monitor(p) >= End(p) || Begins(p, g) >= End(p) || t >= End(p)) return std::nullopt;
    Call call;
    call.process = k;
    call.group = g;
    if (t < Begins(p, g)) {
      call.walk = g < 2;
      call.lo = call.hi = Begins(p, g);
      return call;
    }
    const int64_t subscribed = Subscribed(p, g);
    if (t < subscribed) {
      call.known = false;
      return call;
    }
    // Busy with the events delivered since its last subscription: 0.1 s
    // each, up to 2 s more when a request is not taken at once.
    int64_t from = subscribed;
    if (g < 2)
      for (const ThreadFaults::Resubscription& r : p.threads[g].resubscriptions)
        if (r.t <= t) from = std::max(from, r.t);
    int64_t free_lo = from, free_hi = from;
    if (g < 2) {  // the re-read's changes go the event path too
      for (const Instance& instance : s_.instances)
        if (g == 0 ? instance.cpu : instance.pci) free_hi += kReadEvent + kAckWait;
    }
    int64_t next_delivery = kNever;
    for (const SeenEvent& e : s_.events) {
      if (e.group != g || e.t < from || e.t >= End(p)) continue;
      if (e.t == t) {
        call.known = false;
        return call;
      }
      if (e.t > t) {
        next_delivery = std::min(next_delivery, e.t);
        continue;
      }
      free_lo = std::max(e.t, free_lo) + (e.pulses ? kReadEvent : 0);
      free_hi = std::max(e.t, free_hi) + (e.pulses ? kReadEvent : 0) + (e.readable ? kAckWait : 0);
    }
    if (t >= free_hi) {
      call.lo = call.hi = wakes ? t : next_delivery;
    } else if (t < free_lo) {
      call.lo = free_lo, call.hi = free_hi;
    } else {
      call.lo = t;
      call.hi = wakes ? free_hi : std::max(free_hi, next_delivery);
    }
    return call;
  }

  // Every thread's next call at or after `t`, but the threads of `skip`
  // (process, group); false when one cannot be placed.
  bool Calls(int64_t t, bool wakes, std::vector<Call>* calls, std::optional<std::pair<size_t, int>> skip = {},
             size_t first_process = 0) const {
    calls->clear();
    for (size_t k = first_process; k < s_.processes.size(); ++k)
      for (int g = 0; g < 3; ++g) {
        if (skip && skip->first == k && skip->second == g) continue;
        std::optional<Call> call = NextCall(k, g, t, wakes);
        if (!call) continue;
        if (!call->known) return false;
        if (call->lo != kNever) calls->push_back(*call);
      }
    return true;
  }

  // The calls that may come first.
  static std::vector<Call> First(const std::vector<Call>& calls) {
    int64_t first_hi = kNever;
    for (const Call& c : calls) first_hi = std::min(first_hi, c.hi);
    std::vector<Call> first;
    for (const Call& c : calls)
      if (c.lo <= first_hi) first.push_back(c);
    return first;
  }
  static bool AllWaits(const std::vector<Call>& calls) {
    return std::all_of(calls.begin(), calls.end(), [](const Call& c) { return !c.walk; });
  }
  static int64_t Latest(const std::vector<Call>& calls) {
    int64_t latest = 0;
    for (const Call& c : calls) latest = std::max(latest, c.hi);
    return latest;
  }
  static int64_t Earliest(const std::vector<Call>& calls) {
    int64_t earliest = kNever;
    for (const Call& c : calls) earliest = std::min(earliest, c.lo);
    return earliest;
  }
  // Whether the first call certainly comes at Earliest().
  static bool Certain(const std::vector<Call>& calls) {
    return std::any_of(calls.begin(), calls.end(), [&](const Call& c) { return c.hi == Earliest(calls); });
  }

  bool Timeout(const NextFault& fault, int64_t* end) {
    std::vector<Call> calls;
    if (!Calls(fault.t, false, &calls)) return Fail("a fault of Next while a walk waits out a time-out");
    std::vector<Call> first = First(calls);
    if (first.empty() || AllWaits(first)) {  // a wait for an event asks again at once
      *end = first.empty() ? kNever : Latest(first);
      return true;
    }
    if (first.size() > 1) return Fail("a fault of Next whose taker is not certain");
    // A walk takes it, waits, asks again: the next time-out is its own
    // unless another thread asks meanwhile.
    const Call walk = first[0];
    ThreadFaults& faults = s_.processes[walk.process].threads[walk.group];
    int64_t at = walk.lo;
    for (int left = fault.times;;) {
      --left;
      faults.walk_delay += s_.timeout_ms;
      *end = at;
      if (left == 0) return true;
      if (faults.walk_delay >= kWalkTimeouts * s_.timeout_ms) return Fail("a status walk that times out six times");
      // A walk whose process ends while it waits asks no more: what is left
      // waits for the next caller, of a later start perhaps.
      if (at + s_.timeout_ms >= End(s_.processes[walk.process])) {
        NextFault rest = fault;
        rest.t = End(s_.processes[walk.process]);
        rest.times = left;
        return Timeout(rest, end);
      }
      if (!Calls(at, false, &calls, std::pair{walk.process, walk.group}))
        return Fail("a fault of Next while two walks wait out time-outs");
      std::vector<Call> others = First(calls);
      const int64_t again = at + s_.timeout_ms;
      if (!others.empty() && Earliest(others) <= again) {
        if (!AllWaits(others) || Latest(others) >= again) return Fail("a fault of Next whose taker is not certain");
        *end = Latest(others);
        return true;
      }
      at = again;
    }
  }

  bool Throws(const NextFault& fault, int64_t* end) {
    std::vector<Call> calls;
    if (!Calls(fault.t, true, &calls)) return Fail("a fault of Next while a walk waits out a time-out");
    std::vector<Call> first = First(calls);
    *end = first.empty() ? kNever : Latest(first);  // none: a composer may take it
    if (first.empty()) return true;
    if (first.size() == 1 && first[0].walk) {
      // The walk has no states; what is left goes to the thread's re-read
      // and its wait for an event at the same moment, in turn.
      ThreadFaults& faults = s_.processes[first[0].process].threads[first[0].group];
      faults.walk_fails = true;
      faults.first_reread_fails = (fault.times - 1) % 2 == 1;
      return true;
    }
    if (!AllWaits(first)) return Fail("a fault of Next whose taker is not certain");
    for (const Call& c : first) {
      if (c.group == 2) continue;
      // The thread subscribes again, re-reads (taking a fault left), waits
      // (raising again on one more), and so on.
      int reread = first.size() == 1 ? ((fault.times - 1) % 2 == 0 ? 1 : 0) : fault.times == 1 ? 1 : -1;
      s_.processes[c.process].threads[c.group].resubscriptions.push_back({fault.t, first.size() > 1, reread});
    }
    return true;
  }

  bool Cancelled(const NextFault& fault, int64_t* end) {
    if (s_.firmware_wait_ms > 0) return Fail("a cancelled call of Next while composers wait for the firmware revision");
    std::vector<Call> calls;
    int64_t t = fault.t;
    size_t first_process = 0;
    *end = t;
    for (int left = fault.times; left > 0;) {
      if (!Calls(t, true, &calls, {}, first_process)) return Fail("a fault of Next while a walk waits out a time-out");
      std::vector<Call> first = First(calls);
      if (first.empty()) {
        *end = kNever;  // none: a composer may take it
        return true;
      }
      if (!Certain(first)) return Fail("a cancelled call of Next at a moment the model cannot place");
      const int64_t lo = Earliest(first);
      // Every thread waiting in Next then takes one (the fault wakes them);
      // otherwise the first caller alone.
      int waiting = 0;
      bool maybe_waiting = false;
      for (const Call& c : first) {
        waiting += lo == t && !c.walk && c.hi == lo;
        maybe_waiting |= lo == t && (c.walk || c.hi != lo);
      }
      if (maybe_waiting && left > waiting) return Fail("a cancelled call of Next whose takers are not certain");
      left -= std::max(1, std::min(left, waiting));
      // The monitor stops there; a thread still waiting for an event takes
      // one more when an event wakes it before the process ends, and what
      // is left waits for the next start.
      const size_t k = first[0].process;
      Process& process = s_.processes[k];
      process.monitor_end = lo;
      *end = t = lo;
      if (left > 0)
        for (const SeenEvent& e : s_.events)
          if (e.t > lo && e.t <= lo + kStopping && lo >= Subscribed(process, e.group))
            return Fail("a cancelled call of Next left for a thread an event may wake as the service stops");
      first_process = k + 1;
      if (first_process < s_.processes.size()) {
        Process& next = s_.processes[first_process];
        if (next.asked < lo + kStopping) return Fail("a start soon after the service stopped itself");
        next.start = next.asked;
      }
    }
    return true;
  }

  Setting& s_;
  int64_t window_end_ = std::numeric_limits<int64_t>::min();
};

}  // namespace

void TakeNextFaults(Setting& s, const std::vector<NextFault>& faults) {
  std::vector<NextFault> sorted = faults;
  std::stable_sort(sorted.begin(), sorted.end(), [](const NextFault& a, const NextFault& b) { return a.t < b.t; });
  Takers takers(s);
  for (const NextFault& fault : sorted)
    if (!takers.Take(fault)) return;
}

}  // namespace fenra::explorer::model
