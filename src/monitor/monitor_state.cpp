#include "monitor/monitor_state.h"

#include "runtime.h"

#include <utility>

namespace fenra {

void TimerTable::Reset() {
  std::array<TimerSlot, kTimerCount> old;
  MutexLock lock(mutex_);
  old = std::exchange(slots_, {});
}

TimerSlot TimerTable::Get(int n) const {
  MutexLock lock(mutex_);
  return slots_[static_cast<size_t>(n)];
}

void TimerTable::RaiseChange(int n) {
  MutexLock lock(mutex_);
  slots_[static_cast<size_t>(n)].change = true;
}

bool TimerTable::TakeStop(int n) {
  MutexLock lock(mutex_);
  return std::exchange(slots_[static_cast<size_t>(n)].stop, false);
}

bool TimerTable::StopIfRunning(int n) {
  MutexLock lock(mutex_);
  TimerSlot& slot = slots_[static_cast<size_t>(n)];
  if (!slot.running) return false;
  slot.stop = true;
  return true;
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
  if (simplex && partner.thread) return std::nullopt;
  TimerStart start;
  CopyText(start.szOccurrenceTime, slot.szOccurrenceTime);
  start.partner_running = partner.running;
  start.partner_limit = partner.dwLimitTime;
  return start;
}

void TimerTable::BeginStart(int n, uint32_t limit_time) {
  MutexLock lock(mutex_);
  TimerSlot& slot = slots_[static_cast<size_t>(n)];
  slot.running = true;
  slot.stop = false;
  slot.dwLimitTime = limit_time;
}

void TimerTable::Started(int n, Handle thread) {
  MutexLock lock(mutex_);
  TimerSlot& slot = slots_[static_cast<size_t>(n)];
  slot.thread = std::move(thread);
  slot.change = false;
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
