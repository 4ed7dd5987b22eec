#pragma once
// The redundancy monitor's state: what the layers below it share
// (SharedState: stop flag and events, hand-over events, configuration),
// and its own timer table and thread handle slots.
//
// Each hand-over flag has one consumer, which only ever writes 0, while its
// producers only write 1. A flag travels together with the data that goes
// with it (a timer's expiry, its occurrence time, a composer's slot): both
// sit in one record behind one lock, so that nobody reads a raised flag with
// stale data. These locks are never held across a kernel call.

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "state/pairs.h"
#include "state/shared_state.h"
#include "support/fixed_text.h"
#include "support/shared_handle.h"
#include "support/thread_annotations.h"

namespace fenra {

inline constexpr int kLogOutSlots = 8;
inline constexpr size_t kOccurrenceTimeSize = 256;

// What a change request carries to the timer it starts: its place among
// all requests, and, for a DUPLEX request, whether the pair had a SIMPLEX
// never announced when it was raised (a SIMPLEX timer running and not being
// cancelled, one that ran out without its alert, or a SIMPLEX request
// waiting).
struct ChangeRequest {
  uint64_t order = 0;
  bool answers_simplex = false;
};

// What a DUPLEX timer that runs out does: whether it cancels the pair's
// SIMPLEX timer, which still runs (a loss shorter than its timer), and
// whether it writes the DUPLEX alert.
struct DuplexRunOut {
  bool cancels_simplex = false;
  bool announces = false;
};

// One timer index: its change request, its cancel request, and the timer
// itself while it exists.
struct TimerSlot {
  bool change = false;   // flgChangeStatus: (re)start the timer
  ChangeRequest request;  // of the waiting change request
  bool stop = false;     // flgStopTimer: cancel the running timer
  bool running = false;  // started and not yet ended
  bool ran_out = false;  // it has run out and starts no more than its alert
  uint32_t dwLimitTime = 0;  // expiry tick of the running timer
  char szOccurrenceTime[kOccurrenceTimeSize] = {};
  Handle thread;  // hTimerThread: until the manager has collected it

  // Still counting down: neither cancelled nor run out.
  bool RunsOn() const { return running && !stop && !ran_out; }
};

// What the manager needs to start timer n: the occurrence time of the
// request, and the state of the partner timer (n + 3 or n - 3).
struct TimerStart {
  char szOccurrenceTime[kOccurrenceTimeSize] = {};
  ChangeRequest request;
  bool partner_running = false;
  uint32_t partner_limit = 0;
};

// Milliseconds from `now` until `deadline` on the wrapping tick counter:
// negative once the deadline has passed. Right across the wrap for
// distances below 2^31 ms (24.9 days).
inline int32_t TicksUntil(uint32_t deadline, uint32_t now) { return static_cast<int32_t>(deadline - now); }

// The six timer slots behind one lock. The manager is the only one that
// starts and collects timers; WMI threads raise change requests; timers
// cancel their partners and report their own end.
class TimerTable {
 public:
  // All slots empty (the manager's start).
  void Reset();
  TimerSlot Get(int n) const;

  void RaiseChange(int n);
  // A timer gives its request back (a clock error): the request keeps what
  // it carried, so that the timer that replaces it decides alike.
  void RaiseChangeAgain(int n, const ChangeRequest& request);
  // The timer's cancel request: true (and cleared) when it was raised.
  bool TakeStop(int n);

  // SIMPLEX timer k has run out: true when its alert is to be written (the
  // pair's SIMPLEX counts as announced from now on), false when a cancel
  // came first (taken).
  bool RunOutSimplex(int k);
  // The alert of SIMPLEX timer k could not be started.
  void SimplexNotAnnounced(int k);
  // DUPLEX timer n, started for `request`, has run out: it cancels a
  // SIMPLEX timer of its pair that still runs (and drops a SIMPLEX request
  // still waiting from before its own), and announces the return
  // from an announced SIMPLEX, or a return that answers no SIMPLEX at all
  // (a CPU pair rising to three modules). Whatever it decides closes the
  // pair's SIMPLEX episode.
  DuplexRunOut RunOutDuplex(int n, const ChangeRequest& request);
  // SIMP->DUP->SIMP: a SIMPLEX request for pair k while its DUPLEX timer
  // exists with more than `margin_ms` to run cancels that timer and is
  // itself absorbed. True when it was.
  bool AbsorbFlap(int k, uint32_t now, int32_t margin_ms);

  // The manager's start of timer n, in three steps. Take: when a change
  // request waits and no timer exists, record the occurrence time; then,
  // unless the request must wait, hand back what the start needs: a pair's
  // requests start in the order they were raised, but a DUPLEX request does
  // not wait behind a SIMPLEX timer that runs on.
  std::optional<TimerStart> TakeStartRequest(int n, const char* occurrence_time);
  // Whether any timer has a change request and no timer: only then has the
  // manager an occurrence time to read (it is idle nearly every second).
  bool AnyStartRequest() const;
  // Begin: the timer counts as running with its expiry from now on, before
  // its thread exists, so that it can never end unseen.
  void BeginStart(int n, uint32_t limit_time);
  // Then Started (the request is consumed) or StartFailed.
  void Started(int n, Handle thread);
  void StartFailed(int n);
  // The timer's own end.
  void Ended(int n);
  // The manager has closed the timer's handle.
  void Collected(int n);

 private:
  // Where the last SIMPLEX timer of a pair left it, until a DUPLEX timer of
  // the pair runs out.
  enum class SimplexOutcome : uint8_t { kNone, kAnnounced, kUnannounced };

  bool SimplexUnanswered(int k) const FENRA_REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::array<TimerSlot, kTimerCount> slots_ FENRA_GUARDED_BY(mutex_);
  std::array<SimplexOutcome, kDuplexOffset> outcome_ FENRA_GUARDED_BY(mutex_){};
  uint64_t requests_ FENRA_GUARDED_BY(mutex_) = 0;
};

// Handle slots whose free entries are claimed atomically: two claimants
// never get the same slot.
template <size_t N>
class ThreadSlots {
 public:
  // The first free slot, now reserved, or -1 when all are taken.
  int Claim() {
    MutexLock lock(mutex_);
    for (size_t i = 0; i < N; ++i) {
      if (claimed_[i]) continue;
      claimed_[i] = true;
      return static_cast<int>(i);
    }
    return -1;
  }
  void Fill(int slot, Handle thread) {
    MutexLock lock(mutex_);
    handles_[static_cast<size_t>(slot)] = std::move(thread);
  }
  // Frees a slot (reserved or filled).
  void Free(int slot) {
    Handle old;  // dropped after the lock is let go
    MutexLock lock(mutex_);
    old = std::exchange(handles_[static_cast<size_t>(slot)], nullptr);
    claimed_[static_cast<size_t>(slot)] = false;
  }
  Handle Get(int slot) const {
    MutexLock lock(mutex_);
    return handles_[static_cast<size_t>(slot)];
  }
  void Clear() {
    std::array<Handle, N> old;
    MutexLock lock(mutex_);
    old = std::exchange(handles_, {});
    claimed_ = {};
  }
  static constexpr int size() { return static_cast<int>(N); }

 private:
  mutable Mutex mutex_;
  std::array<Handle, N> handles_ FENRA_GUARDED_BY(mutex_);
  std::array<bool, N> claimed_ FENRA_GUARDED_BY(mutex_){};
};

// The whole state: what the layers below the monitor share (SharedState)
// and the monitor's own bookkeeping of its threads.
struct MonitorState : SharedState {
  // Threads (empty = none).
  std::array<SharedHandle, kGroupCount> hWMIThread;
  std::array<SharedHandle, kGroupCount> hPulseManagerThread;
  ThreadSlots<kLogOutSlots> hLogOutThread;

  // Hand-over between threads.
  TimerTable timers;
  std::array<std::atomic<uint32_t>, kGroupCount> flgPulseRequest{};
};

}  // namespace fenra
