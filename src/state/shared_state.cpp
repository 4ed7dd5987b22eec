#include "state/shared_state.h"

#include "diagnostics/trace_texts.h"

namespace fenra {

void SharedState::PublishConfig(const MonitorConfig& config) {
  MutexLock lock(publish_lock_);
  published_.push_back(config);
  config_.store(&published_.back(), std::memory_order_release);
}

bool StopRequested(const SharedState& shared, Trace& trace, const char* thread, int number) {
  if (shared.stopflg != 1) return false;
  TraceStopReturn(trace, thread, number);
  return true;
}

void TraceStopReturn(Trace& trace, const char* thread, int number) {
  if (number < 0)
    trace.TraceLogF("[%s]%s", thread, trace_text::kStopReturn);
  else
    trace.TraceLogF("[%s %d]%s", thread, number, trace_text::kStopReturn);
}

}  // namespace fenra
