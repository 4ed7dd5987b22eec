#include "monitor/timer_threads.h"

#include <algorithm>
#include <limits>
#include <string>

#include "alerts/event_log_out.h"
#include "diagnostics/trace_texts.h"
#include "monitor/monitor_state.h"
#include "settings/persistent_state.h"

namespace fenra {
namespace {

constexpr uint32_t kManagerPaceMs = 1000;
constexpr uint32_t kTimerPaceMs = 1000;
// A SIMPLEX that comes back within the long threshold is announced early.
constexpr int32_t kRecurrenceLimitMs = 20000;
// The SIMP->DUP->SIMP filter acts only on a DUPLEX timer with more than
// this left to run.
constexpr int32_t kFlapMarginMs = 2000;

const char* PairLabel(int n) { return PairOfTimer(n).label; }

// The manager has taken the request of index n: it says so and answers the
// WMI thread that may be waiting.
void Acknowledge(Runtime& runtime, int n) {
  const ModulePair& pair = PairOfTimer(n);
  if (n < kDuplexOffset)
    runtime.trace.TraceLogF(trace_text::kAcknowledgeSimplex, pair.simplex_name, pair.acknowledgement_name);
  else
    runtime.trace.TraceLog(trace_text::kAcknowledgeDuplex);
  if (Handle event = (runtime.monitor.*pair.acknowledgement).load()) runtime.platform.kernel.SetEvent(event);
}

// The limit of timer n starting now, with its trace lines. A SIMPLEX
// timer also records the present minute as its group's SimplexDate.
int32_t TimerLimit(Runtime& runtime, int n, uint32_t start_tick, const TimerStart& start) {
  const MonitorConfig& config = runtime.monitor.config();
  int32_t limit = 0;
  if (n < kDuplexOffset) {
    // 1: an earlier SIMPLEX lies within the long threshold; -1: its stamp
    // lies in the future. Either way the alert comes early.
    if (CheckLongThreshold(runtime, n) != 0) {
      runtime.trace.TraceLogF(trace_text::kTimerRecurrence, n, PairLabel(n),
                              static_cast<int>(config.*PairOfTimer(n).long_threshold));
      limit = kRecurrenceLimitMs;
    } else {
      limit = ShortThresholdLimit(config.*PairOfTimer(n).short_threshold);
    }
  } else {
    limit = DuplexTimerLimit(n, start_tick, start.partner_running, start.partner_limit);
  }
  runtime.trace.TraceLogF(trace_text::kTimerStart, n, limit / 1000);
  return limit;
}

// Whether `thread` has ended; a failed query is traced with `error_line`
// (the slot, the error) and counts as running, to be tried again.
bool HasEnded(Runtime& runtime, const Handle& thread, const char* error_line, int slot) {
  Kernel& kernel = runtime.platform.kernel;
  uint32_t code = 0;
  if (!kernel.GetExitCodeThread(thread, &code)) {
    runtime.trace.TraceLogF(error_line, slot, static_cast<int>(kernel.GetLastError()));
    return false;
  }
  return code != win::kStillActive;
}

// Closes the handles of composers and timers that have ended.
void CollectThreads(Runtime& runtime) {
  MonitorState& monitor = runtime.monitor;
  for (int slot = 0; slot < monitor.hLogOutThread.size(); ++slot) {
    Handle thread = monitor.hLogOutThread.Get(slot);
    if (!thread || !HasEnded(runtime, thread, "[ManageTimerThread]GetExitCodeThread(Log %d) Error = %d", slot))
      continue;
    monitor.hLogOutThread.Free(slot);
    runtime.trace.TraceLogF("[ManageTimerThread]CloseHandle hLogOutThread[%d]", slot);
  }
  for (int n = 0; n < kTimerCount; ++n) {
    Handle thread = monitor.timers.Get(n).thread;
    if (thread && HasEnded(runtime, thread, "[ManageTimerThread]GetExitCodeThread(Timer %d) Error = %d", n))
      monitor.timers.Collected(n);
  }
}

// SIMP->DUP->SIMP: a pair that falls back to SIMPLEX while its DUPLEX timer
// still runs keeps the SIMPLEX timer it had and loses the DUPLEX one.
void AbsorbFlaps(Runtime& runtime, uint32_t now) {
  for (int k = 0; k < kDuplexOffset; ++k) {
    if (!runtime.monitor.timers.AbsorbFlap(k, now, kFlapMarginMs)) continue;
    runtime.trace.TraceLogF(trace_text::kFlapAbsorbed, PairLabel(k));
    runtime.trace.TraceLogF(trace_text::kManagerStopTimer, PairLabel(k), k + kDuplexOffset);
    Acknowledge(runtime, k);
  }
}

// Starts the timers whose requests wait. False when a timer could not be
// created: the manager ends.
bool StartTimers(Runtime& runtime) {
  Kernel& kernel = runtime.platform.kernel;
  MonitorState& monitor = runtime.monitor;
  if (!monitor.timers.AnyStartRequest()) return true;
  LocalTime now = kernel.GetLocalTime();
  char occurrence[kOccurrenceTimeSize];
  FormatText(occurrence, " %d.%02d.%02d  %02d:%02d:%02d\n", now.year, now.month, now.day, now.hour, now.minute,
             now.second);
  for (int n = 0; n < kTimerCount; ++n) {
    std::optional<TimerStart> start = monitor.timers.TakeStartRequest(n, occurrence);
    if (!start) continue;
    uint32_t start_tick = kernel.TimeGetTime();
    int32_t limit = TimerLimit(runtime, n, start_tick, *start);
    monitor.timers.BeginStart(n, start_tick + static_cast<uint32_t>(limit));
    std::string occurrence_time = start->szOccurrenceTime;
    Handle thread = kernel.CreateThread(
        [&runtime, n, start_tick, limit, occurrence_time, request = start->request] {
          return TimerThread(runtime, n, start_tick, limit, occurrence_time.c_str(), request);
        },
        "TimerThread(" + std::to_string(n) + ")");
    if (!thread) {
      uint32_t error = kernel.GetLastError();
      monitor.timers.StartFailed(n);
      runtime.trace.TraceLogF("[ManageTimerThread]Create TimerThread(%d) Error = %d", n, static_cast<int>(error));
      return false;
    }
    monitor.timers.Started(n, thread);
    Acknowledge(runtime, n);
  }
  return true;
}

// Starts the composer of alert n in a free slot. The timer's exit code.
uint32_t StartComposer(Runtime& runtime, int n, const char* occurrence_time) {
  Kernel& kernel = runtime.platform.kernel;
  MonitorState& monitor = runtime.monitor;
  int slot = monitor.hLogOutThread.Claim();
  if (slot < 0) {
    runtime.trace.TraceLogF(trace_text::kComposerNoSlot, n);
    if (n < kDuplexOffset) monitor.timers.SimplexNotAnnounced(n);
    return 1;
  }
  AlertRequest request{n, occurrence_time};
  Handle thread = kernel.CreateThread([&runtime, request] { return EventLogOut(runtime, request); },
                                      "EventLogOut(" + std::to_string(n) + ")");
  if (!thread) {
    uint32_t error = kernel.GetLastError();
    monitor.hLogOutThread.Free(slot);
    runtime.trace.TraceLogF(trace_text::kComposerError, n, static_cast<int>(error));
    if (n < kDuplexOffset) monitor.timers.SimplexNotAnnounced(n);
    return 0;
  }
  monitor.hLogOutThread.Fill(slot, thread);
  runtime.trace.TraceLogF(trace_text::kComposerStarted, n, slot);
  return 1;
}

// Timer n has run out. The timer's exit code.
uint32_t RunOut(Runtime& runtime, int n, const char* occurrence_time, const ChangeRequest& request) {
  if (n >= kDuplexOffset &&
      runtime.monitor.timers.RunOutDuplex(n, request) != DuplexRunOut::kAnnounce) {
    // The pair returned to DUPLEX before its SIMPLEX was announced: neither
    // change is.
    int k = n - kDuplexOffset;
    runtime.trace.TraceLogF(trace_text::kTimerBackToDuplex, n, PairLabel(n));
    runtime.trace.TraceLogF(trace_text::kTimerStopTimer, n, PairLabel(n), k);
    return 1;
  }
  return StartComposer(runtime, n, occurrence_time);
}

}  // namespace

int32_t ShortThresholdLimit(uint32_t minutes) {
  int64_t limit = int64_t{minutes} * 60000;
  return static_cast<int32_t>(std::min<int64_t>(limit, std::numeric_limits<int32_t>::max()));
}

int32_t DuplexTimerLimit(int n, uint32_t start_tick, bool partner_running, uint32_t partner_limit) {
  int32_t left = TicksUntil(partner_limit, start_tick);
  if (n == CHANGE_PCI_DUPLEX) {
    // The PCI pair's return is announced only after 5 minutes; while its
    // SIMPLEX timer has more than 10 s to go, the DUPLEX timer runs out 5 s
    // before it and cancels it.
    if (!partner_running) return 300000;
    if (left > 10000) return left - 5000;
  }
  // A SIMPLEX timer about to run out is given the time to write its alert
  // first.
  return partner_running && left < 2000 ? 5000 : 1000;
}

uint32_t ManageTimerThread(Runtime& runtime) {
  Kernel& kernel = runtime.platform.kernel;
  MonitorState& monitor = runtime.monitor;
  runtime.trace.TraceLog(trace_text::kManagerStart);
  monitor.hLogOutThread.Clear();
  monitor.timers.Reset();
  for (;;) {
    // Woken by a WMI thread's pulse; a time-out is the normal pace.
    if (kernel.WaitForSingleObject(monitor.hSyncEventMTT.load(), kManagerPaceMs) == win::kWaitFailed) {
      runtime.trace.TraceLogF("[ManageTimerThread]WaitForSingleObject Error = %d",
                              static_cast<int>(kernel.GetLastError()));
      return 0;
    }
    if (StopRequested(monitor, runtime.trace, "ManageTimerThread")) return 0;
    CollectThreads(runtime);
    AbsorbFlaps(runtime, kernel.TimeGetTime());
    if (!StartTimers(runtime)) return 0;
  }
}

uint32_t TimerThread(Runtime& runtime, int n, uint32_t start_tick, int32_t limit_ms, const char* occurrence_time,
                     const ChangeRequest& request) {
  Kernel& kernel = runtime.platform.kernel;
  MonitorState& monitor = runtime.monitor;
  auto end = [&](uint32_t code) {
    monitor.timers.Ended(n);
    return code;
  };
  // The elapsed time is summed from the steps between two readings, each a
  // signed 32-bit difference (right across the counter's turn), so that a
  // limit near 2^31 ms is reached although the difference to the start
  // itself would pass 2^31 and turn negative. A step backwards is a clock
  // error.
  uint32_t last_tick = start_tick;
  int64_t elapsed = 0;
  for (;;) {
    if (StopRequested(monitor, runtime.trace, "TimerThread", n)) return end(0);
    if (monitor.timers.TakeStop(n)) {
      runtime.trace.TraceLogF(trace_text::kTimerCancel, n);
      return end(1);
    }
    uint32_t now = kernel.TimeGetTime();
    auto step = static_cast<int32_t>(now - last_tick);
    last_tick = now;
    if (step < 0) {
      runtime.trace.TraceLogF(trace_text::kTimerClockBack, n);
      monitor.timers.RaiseChangeAgain(n, request);
      return end(1);
    }
    elapsed += step;
    if (elapsed >= limit_ms) {
      // A cancel that comes while it runs out is still obeyed.
      if (n < kDuplexOffset && !monitor.timers.RunOutSimplex(n)) {
        runtime.trace.TraceLogF(trace_text::kTimerCancel, n);
        return end(1);
      }
      runtime.trace.TraceLogF(trace_text::kTimerRunOut, n, limit_ms / 1000);
      return end(RunOut(runtime, n, occurrence_time, request));
    }
    // The one-second pace, cut short when the service is asked to stop.
    uint32_t dwWake = kernel.WaitForSingleObject(monitor.hServiceEvent.load(), kTimerPaceMs);
    if (dwWake == win::kWaitFailed) {
      runtime.trace.TraceLogF(trace_text::kTimerWaitError, n, static_cast<int>(kernel.GetLastError()));
      return end(1);
    }
    // The stop request: the service thread raises stopflg at the same
    // moment; waiting on the signalled event again would only spin.
    if (dwWake != win::kWaitTimeout) {
      TraceStopReturn(runtime.trace, "TimerThread", n);
      return end(0);
    }
  }
}

}  // namespace fenra
