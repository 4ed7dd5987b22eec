#include "monitor/monitor_state.h"

#include "runtime.h"

#include <utility>

namespace fenra {

void TimerTable::Reset() {
  std::array<TimerSlot, kTimerCount> old;
  MutexLock lock(mutex_);
  old = std::exchange(slots_, {});
  outcome_ = {};
  requests_ = 0;
}

TimerSlot TimerTable::Get(int n) const {
  MutexLock lock(mutex_);
  return slots_[static_cast<size_t>(n)];
}

bool TimerTable::SimplexUnanswered(int k) const {
  const TimerSlot& simplex = slots_[static_cast<size_t>(k)];
  // An announced SIMPLEX is answered by the DUPLEX timer that runs out
  // next, whichever request started it; a SIMPLEX timer being cancelled
  // belongs to the DUPLEX timer that cancels it.
  return (simplex.running && !simplex.stop) || simplex.change ||
         outcome_[static_cast<size_t>(k)] == SimplexOutcome::kUnannounced;
}

void TimerTable::RaiseChange(int n) {
  MutexLock lock(mutex_);
  TimerSlot& slot = slots_[static_cast<size_t>(n)];
  slot.change = true;
  slot.request.order = ++requests_;
  if (n >= kDuplexOffset) slot.request.answers_simplex |= SimplexUnanswered(n - kDuplexOffset);
}

void TimerTable::RaiseChangeAgain(int n, const ChangeRequest& request) {
  MutexLock lock(mutex_);
  TimerSlot& slot = slots_[static_cast<size_t>(n)];
  slot.change = true;
  slot.request.order = request.order;
  slot.request.answers_simplex |= request.answers_simplex;
}

bool TimerTable::TakeStop(int n) {
  MutexLock lock(mutex_);
  return std::exchange(slots_[static_cast<size_t>(n)].stop, false);
}

bool TimerTable::RunOutSimplex(int k) {
  MutexLock lock(mutex_);
  TimerSlot& slot = slots_[static_cast<size_t>(k)];
  if (std::exchange(slot.stop, false)) return false;
  slot.ran_out = true;
  // From here on a DUPLEX timer of the pair that runs out announces the
  // return, even while this timer is still starting its composer.
  outcome_[static_cast<size_t>(k)] = SimplexOutcome::kAnnounced;
  return true;
}

void TimerTable::SimplexNotAnnounced(int k) {
  MutexLock lock(mutex_);
  outcome_[static_cast<size_t>(k)] = SimplexOutcome::kUnannounced;
}

DuplexRunOut TimerTable::RunOutDuplex(int n, const ChangeRequest& request) {
  MutexLock lock(mutex_);
  const int k = n - kDuplexOffset;
  TimerSlot& simplex = slots_[static_cast<size_t>(k)];
  const SimplexOutcome outcome = std::exchange(outcome_[static_cast<size_t>(k)], SimplexOutcome::kNone);
  DuplexRunOut run_out;
  if (simplex.RunsOn()) {
    simplex.stop = true;
    run_out.cancels_simplex = true;
  }
  // A loss raised before this return and still waiting ended with it.
  if (simplex.change && simplex.request.order < request.order) simplex.change = false;
  if (outcome == SimplexOutcome::kAnnounced) {
    // Announced, or being announced by a SIMPLEX timer that has just run
    // out: the return is announced (a newer loss it cancels was a flap).
    run_out.announces = true;
  } else if (!run_out.cancels_simplex) {
    // The SIMPLEX this request answers ended unannounced: a flap shorter
    // than its timer, which neither alert may report. No SIMPLEX to answer:
    // a CPU pair rising to three modules.
    run_out.announces = !request.answers_simplex;
  }
  return run_out;
}

bool TimerTable::AbsorbFlap(int k, uint32_t now, int32_t margin_ms) {
  MutexLock lock(mutex_);
  TimerSlot& simplex = slots_[static_cast<size_t>(k)];
  TimerSlot& duplex = slots_[static_cast<size_t>(k + kDuplexOffset)];
  if (!duplex.thread || !simplex.change || TicksUntil(duplex.dwLimitTime, now) <= margin_ms) return false;
  // A cancel for a timer that has ended already would linger and cancel
  // the next one of its index.
  if (duplex.running) duplex.stop = true;
  simplex.change = false;
  return true;
}

bool TimerTable::AnyStartRequest() const {
  MutexLock lock(mutex_);
  for (const TimerSlot& slot : slots_) {
    if (slot.change && !slot.thread && !slot.running) return true;
  }
  return false;
}

std::optional<TimerStart> TimerTable::TakeStartRequest(int n, const char* occurrence_time) {
  MutexLock lock(mutex_);
  TimerSlot& slot = slots_[static_cast<size_t>(n)];
  if (!slot.change || slot.thread || slot.running) return std::nullopt;
  CopyText(slot.szOccurrenceTime, occurrence_time);
  bool simplex = n < kDuplexOffset;
  const TimerSlot& partner = slots_[static_cast<size_t>(simplex ? n + kDuplexOffset : n - kDuplexOffset)];
  // A SIMPLEX request waits for its pair's DUPLEX timer to end, and for an
  // older DUPLEX request: that return came before this loss.
  const bool partner_older = partner.change && partner.request.order < slot.request.order;
  if (simplex && (partner.thread || partner_older)) return std::nullopt;
  // A DUPLEX request lets an older SIMPLEX request start first when all that
  // one waits for is its own timer's end, a second away (cancelled, or run
  // out), so that which goes first does not hang on when a handle is
  // collected. Behind a SIMPLEX timer that runs on it does not wait: its
  // timer cancels that one, and the older request with it.
  if (!simplex && partner_older && partner.thread && !partner.RunsOn()) return std::nullopt;
  TimerStart start;
  CopyText(start.szOccurrenceTime, slot.szOccurrenceTime);
  start.request = slot.request;
  start.partner_running = partner.running;
  start.partner_limit = partner.dwLimitTime;
  return start;
}

void TimerTable::BeginStart(int n, uint32_t limit_time) {
  MutexLock lock(mutex_);
  TimerSlot& slot = slots_[static_cast<size_t>(n)];
  slot.running = true;
  slot.stop = false;
  slot.ran_out = false;
  slot.dwLimitTime = limit_time;
}

void TimerTable::Started(int n, Handle thread) {
  MutexLock lock(mutex_);
  TimerSlot& slot = slots_[static_cast<size_t>(n)];
  slot.thread = std::move(thread);
  slot.change = false;
  slot.request = {};
}

void TimerTable::StartFailed(int n) { Ended(n); }

void TimerTable::Ended(int n) {
  MutexLock lock(mutex_);
  slots_[static_cast<size_t>(n)].running = false;
}

void TimerTable::Collected(int n) {
  Handle old;
  MutexLock lock(mutex_);
  old = std::exchange(slots_[static_cast<size_t>(n)].thread, nullptr);
}

Runtime::Runtime(Platform& platform_ports, Trace& trace_log, MonitorState& monitor_state)
    : platform(platform_ports), trace(trace_log), monitor(monitor_state), shared(monitor_state) {}

}  // namespace fenra
