#pragma once
// The scheduler of the simulated kernel: blocking calls and who runs next.
// On virtual time it keeps the ready queue and the deadlines, moves the
// clock, hands the processor between the driving outside thread (the host)
// and the fibers and from fiber to fiber, finds quiescence and reports a
// stalled run; on real time a blocked thread waits on its own condition
// variable. Parking and thread creation are the processes' (the hooks at
// the end).

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/last_error.h"
#include "platform/sim/sim_waitables.h"

namespace fenra::sim::kernel_parts {

class Scheduler : public Waitables {
 public:
  using Waitables::Waitables;
  ~Scheduler() { DropInputs(); }

  // Virtual time.
  uint64_t now FENRA_GUARDED_BY(mu) = 0;  // milliseconds since the start
  ReadyQueue ready FENRA_GUARDED_BY(mu);
  DeadlineHeap<Timer> timers FENRA_GUARDED_BY(mu);
  size_t pending_tasks FENRA_GUARDED_BY(mu) = 0;  // scheduled inputs not yet started
  uint64_t wake_ups FENRA_GUARDED_BY(mu) = 0;     // fibers resumed
  ThreadRecord* host FENRA_GUARDED_BY(mu) = nullptr;  // the attached outside thread
  std::unique_ptr<Fiber::Host> host_context FENRA_GUARDED_BY(mu);
  std::thread::id host_os_thread FENRA_GUARDED_BY(mu);
  std::vector<std::unique_ptr<ThreadRecord>> fibers FENRA_GUARDED_BY(mu);  // records of live fibers
  std::vector<std::unique_ptr<ThreadRecord>> parked_fibers FENRA_GUARDED_BY(mu);
  std::function<void(const std::string&)> stall_handler FENRA_GUARDED_BY(mu);

  uint64_t NowLocked() const FENRA_REQUIRES(mu);

  void MakeReady(ThreadRecord* t) FENRA_REQUIRES(mu);
  void CancelDeadline(Waiter* w) FENRA_REQUIRES(mu) { timers.Remove(&w->timer); }

  // WaitForSingleObject and WaitForMultipleObjects.
  uint32_t Wait(std::span<const Handle> handles, bool wait_all, uint32_t milliseconds) FENRA_EXCLUDES(mu);
  [[noreturn]] void UnattachedBlock(const char* what) FENRA_REQUIRES(mu);

  // Blocks the calling thread in `w` until it completes.
  [[gnu::always_inline]] uint32_t Block(Lock& lock, ThreadRecord* self, Waiter& w, uint32_t milliseconds)
      FENRA_REQUIRES(mu) {
    for (Object* o : w.objects()) o->waiters.push_back(&w);
    self->waiting = &w;
    if (virtual_time) {
      if (milliseconds != win::kInfinite) timers.Push(&w.timer, now + milliseconds);
      // A wait that follows a time-out with nothing seen in between idles.
      self->idle_epoch = self->timeout_epoch == epoch ? epoch : kNever;
      self->timeout_epoch = kNever;
      self->calls = 0;
      SwitchAway(self);
    } else {
      BlockReal(lock, self, w, milliseconds);
    }
    self->waiting = nullptr;
    return w.result;
  }

  // Virtual time: the calling thread gives up the processor until it is
  // ready again and its turn has come.
  [[gnu::always_inline]] void SwitchAway(ThreadRecord* self) FENRA_REQUIRES(mu) {
    if (self->fiber)
      HandOver(self);  // the host already made this thread the running one
    else
      RunHost(self);
  }

  // The switches between the host and a fiber or between two fibers, made
  // under the kernel's lock and returning under it. The lock goes with the
  // processor: the OS thread keeps it across the switch, so a wake-up takes
  // it once (in the kernel call that blocks and returns). Under
  // ThreadSanitizer, which sees each fiber as a thread of its own, it is
  // released and taken again instead.
  [[gnu::always_inline]] void ToHost(ThreadRecord* self) FENRA_REQUIRES(mu) {
    if constexpr (!Fiber::kLockFollowsSwitch) mu.unlock();
    self->fiber->Suspend();
    if constexpr (!Fiber::kLockFollowsSwitch) mu.lock();
  }
  [[gnu::always_inline]] void ToFiber(ThreadRecord* t) FENRA_REQUIRES(mu) {
    if constexpr (!Fiber::kLockFollowsSwitch) mu.unlock();
    t->fiber->Resume(*host_context);
    if constexpr (!Fiber::kLockFollowsSwitch) mu.lock();
  }
  [[gnu::always_inline]] void FiberToFiber(ThreadRecord* self, ThreadRecord* next) FENRA_REQUIRES(mu) {
    if constexpr (!Fiber::kLockFollowsSwitch) mu.unlock();
    self->fiber->SwitchTo(*next->fiber);
    if constexpr (!Fiber::kLockFollowsSwitch) mu.lock();
  }

  // Queues a scheduled input (virtual time).
  void Schedule(uint64_t at_ms, std::function<void()> fn, const std::string& name) FENRA_REQUIRES(mu);
  // Forgets every deadline; the scheduled inputs are deleted unrun.
  void DropInputs() FENRA_REQUIRES(mu);
  // Every thread and what it is doing, one line each.
  std::string Describe() FENRA_REQUIRES(mu);

  // Hooks into the processes (defined in sim_processes.h). Enter: every
  // kernel call of a managed thread passes here; the caller's record, or
  // nullptr for an unattached outside thread on virtual time.
  ThreadRecord* Enter(Lock& lock) FENRA_REQUIRES(mu);
  bool MustPark(const ThreadRecord* t) const FENRA_REQUIRES(mu);
  [[noreturn]] void ParkSelf(Lock& lock, ThreadRecord* self) FENRA_REQUIRES(mu);
  // Starts the thread of a scheduled input.
  void StartTask(std::function<void()> task, const std::string& name) FENRA_REQUIRES(mu);

 private:
  void BlockReal(Lock& lock, ThreadRecord* self, Waiter& w, uint32_t milliseconds) FENRA_REQUIRES(mu);
  // The driving outside thread runs the simulation until its own turn comes.
  void RunHost(ThreadRecord* me) FENRA_REQUIRES(mu);
  void RunFiber(ThreadRecord* t) FENRA_REQUIRES(mu);
  // A blocking fiber makes the host's choice itself and hands the processor
  // straight to the thread chosen, unless that is the host.
  void HandOver(ThreadRecord* self) FENRA_REQUIRES(mu);
  // Nothing is ready: move the clock to the next deadline, or end a wait for
  // quiescence, or report a stall.
  void Advance(ThreadRecord* me) FENRA_REQUIRES(mu);
  // Whether Advance would end `me`'s wait for quiescence or report a stall
  // rather than move the clock.
  bool AtRest(const ThreadRecord* me) const FENRA_REQUIRES(mu);
  void NextDeadline() FENRA_REQUIRES(mu);
  // `mine` is the driving thread's own wait, whose limit does not count.
  bool Quiescent(const Waiter* mine) const FENRA_REQUIRES(mu);
  void Stall() FENRA_REQUIRES(mu);
};

// ---- Definitions (inline: the kernel is one translation unit, sim_kernel.cpp) ----

inline uint64_t Scheduler::NowLocked() const {
  if (virtual_time) return now;
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - real_start).count());
}

inline void Scheduler::MakeReady(ThreadRecord* t) {
  if (virtual_time) {
    if (!t->ready) ready.Push(t);
  } else {
    t->wake.notify_one();
  }
}

inline uint32_t Scheduler::Wait(std::span<const Handle> handles, bool wait_all, uint32_t milliseconds) {
  Waiter w;
  if (!Collect(handles, w)) return win::kWaitFailed;
  const std::span<Object* const> objects = w.objects();
  Lock lock(mu);
  ThreadRecord* self = Enter(lock);
  if (self == nullptr) {
    // Virtual time, not attached: only a wait that need not block can be
    // answered.
    ThreadRecord stranger;
    if (auto result = TrySatisfy(objects, wait_all, &stranger)) {
      if (!stranger.owned_mutexes.empty()) UnattachedBlock("take a mutex");
      return *result;
    }
    if (milliseconds == 0) return win::kWaitTimeout;
    UnattachedBlock("wait");
  }
  if (auto result = TrySatisfy(objects, wait_all, self)) {
    Progress();
    return *result;
  }
  if (milliseconds == 0) return win::kWaitTimeout;
  w.thread = self;
  w.reference = handles[0];
  if (handles.size() > 1) w.more_references.assign(handles.begin() + 1, handles.end());
  w.wait_all = wait_all;
  return Block(lock, self, w, milliseconds);
}

inline void Scheduler::UnattachedBlock(const char* what) {
  std::string report = std::string("a thread that is not attached tried to ") + what +
                       " on virtual time; attach it with SimKernel::Attach() first\n" + Describe();
  mu.unlock();
  Fatal(report);
}

// ---- Real time ----

inline void Scheduler::BlockReal(Lock& lock, ThreadRecord* self, Waiter& w, uint32_t milliseconds) {
  std::optional<SteadyClock::time_point> deadline;
  if (milliseconds != win::kInfinite) deadline = SteadyClock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    // A thread whose process ended never returns, even when its wait was
    // satisfied meanwhile.
    if (MustPark(self)) {
      Unregister(&w);
      self->waiting = nullptr;
      ParkSelf(lock, self);
    }
    if (w.done) return;
    if (deadline && SteadyClock::now() >= *deadline) {
      Complete(&w, win::kWaitTimeout);
      return;
    }
    // The condition variable lets the lock go and takes it again.
    if (deadline)
      self->wake.wait_until(lock.native(), *deadline);
    else
      self->wake.wait(lock.native());
  }
}

// ---- Virtual time: the run token ----

inline void Scheduler::RunHost(ThreadRecord* me) {
  if (std::this_thread::get_id() != host_os_thread) Fatal("a virtual-time kernel is driven from another OS thread");
  for (;;) {
    if (ready.empty()) {
      Advance(me);
      continue;
    }
    ThreadRecord* next = ready.Pop();
    if (next == me) return;
    RunFiber(next);
  }
}

inline void Scheduler::RunFiber(ThreadRecord* t) {
  running_fiber = t;
  running_fiber_kernel = this;
  ++wake_ups;
  ToFiber(t);
  // The processor comes back from the fiber that ran last: `t`, or one that
  // `t` (or a fiber after it) handed it to.
  ThreadRecord* back = running_fiber;
  running_fiber = nullptr;
  running_fiber_kernel = nullptr;
  if (back->fiber->finished()) {
    std::erase(threads, back);
    std::erase_if(fibers, [back](const auto& f) { return f.get() == back; });
  }
  if (!releases.empty()) DropReleases();
}

// The same choices in the same order as the host's loop above would make
// once this fiber were back, so a run does not depend on who makes them.
// The host makes them itself when it is the one chosen, and when what comes
// first needs its stack: the states of ended processes are dropped there
// (unlocked: their destructors may call the kernel), a finished fiber's
// stack is freed there (a finished fiber never gets here), and its own wait
// for quiescence ends or a stall is reported there.
inline void Scheduler::HandOver(ThreadRecord* self) {
  while (releases.empty()) {
    if (ready.empty()) {
      if (AtRest(host)) break;
      NextDeadline();
      continue;
    }
    if (ready.front() == host) break;
    ThreadRecord* next = ready.Pop();
    ++wake_ups;
    if (next == self) return;
    running_fiber = next;
    FiberToFiber(self, next);
    return;
  }
  ToHost(self);
}

inline bool Scheduler::AtRest(const ThreadRecord* me) const {
  const Waiter* mine = me->waiting;
  const bool my_wait_is_endless = mine == nullptr || mine->quiescence || !mine->timer.queued();
  return my_wait_is_endless && Quiescent(mine);
}

inline void Scheduler::Advance(ThreadRecord* me) {
  if (AtRest(me)) {
    Waiter* mine = me->waiting;
    if (mine != nullptr && mine->quiescence && !mine->done) {
      Complete(mine, win::kWaitObject0);
      return;
    }
    Stall();
    return;
  }
  NextDeadline();
}

inline void Scheduler::NextDeadline() {
  Timer* first = timers.Top();
  now = std::max(now, first->at);
  if (first->waiter != nullptr) {
    Complete(first->waiter, win::kWaitTimeout);
    return;
  }
  timers.Remove(first);
  std::unique_ptr<ScheduledInput> input(first->input);
  --pending_tasks;
  Progress();
  StartTask(std::move(input->task), input->name);
}

inline bool Scheduler::Quiescent(const Waiter* mine) const {
  if (pending_tasks != 0) return false;
  for (const Timer* timer : timers.entries())
    if (timer->waiter != nullptr && timer->waiter != mine && timer->waiter->thread->idle_epoch != epoch) return false;
  return true;
}

inline void Scheduler::Stall() {
  std::string report = "virtual time stalled at " + std::to_string(now) +
                       " ms: nothing is ready, nothing is scheduled, and every thread waits without a "
                       "deadline or only idles\n" +
                       Describe();
  auto handler = stall_handler;
  uint64_t before = epoch;
  if (!handler) {
    mu.unlock();
    Fatal(report);
  }
  mu.unlock();
  handler(report);
  mu.lock();
  if (ready.empty() && epoch == before) {
    mu.unlock();
    Fatal(report + "(the stall handler did not rescue the run)");
  }
}

inline void Scheduler::Schedule(uint64_t at_ms, std::function<void()> fn, const std::string& name) {
  auto input = std::make_unique<ScheduledInput>(ScheduledInput{{}, std::move(fn), name});
  input->timer.input = input.get();
  timers.Push(&input.release()->timer, std::max(at_ms, now));
  ++pending_tasks;
}

inline void Scheduler::DropInputs() {
  std::vector<std::unique_ptr<ScheduledInput>> inputs;
  for (const Timer* timer : timers.entries())
    if (timer->input != nullptr) inputs.emplace_back(timer->input);
  timers.Clear();
}

inline std::string Scheduler::Describe() {
  std::string out;
  for (ThreadRecord* t : threads) {
    out += "  " + t->Label();
    if (t->ready) {
      out += ": ready";
    } else if (t->waiting == nullptr) {
      out += (virtual_time && t != running_fiber) ? ": attached, not in the kernel" : ": running";
    } else {
      Waiter* w = t->waiting;
      if (w->quiescence) {
        out += ": waits for quiescence";
      } else if (w->count == 0) {
        out += ": sleeps";
      } else {
        out += w->wait_all ? ": waits for all of " : ": waits on ";
        for (size_t i = 0; i < w->count; ++i) out += (i ? ", " : "") + w->slots[i]->Label();
      }
      if (w->timer.queued()) {
        out += " until " + std::to_string(w->timer.at) + " ms";
        if (virtual_time && t->idle_epoch == epoch) out += " (idling)";
      }
    }
    out += "\n";
  }
  return out;
}

// The waitable objects' hooks. A part reaches the one above it through
// such forwarders, not virtual calls: the kernel is only ever the whole
// SimKernel::State, and the wake-up path stays free of indirect calls.
inline void Waitables::MakeReady(ThreadRecord* t) FENRA_NO_THREAD_SAFETY_ANALYSIS {
  static_cast<Scheduler*>(this)->MakeReady(t);
}
inline void Waitables::CancelDeadline(Waiter* w) FENRA_NO_THREAD_SAFETY_ANALYSIS {
  static_cast<Scheduler*>(this)->CancelDeadline(w);
}

}  // namespace fenra::sim::kernel_parts
