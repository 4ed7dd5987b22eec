#pragma once
// The scheduler of the simulated kernel: blocking calls and who runs next.
// On virtual time it keeps the ready queue and the deadlines, moves the
// clock, hands the processor between the driving outside thread (the host)
// and the fibers, finds quiescence and reports a stalled run; on real time a
// blocked thread waits on its own condition variable. Parking and thread
// creation are the processes' (the hooks at the end).

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/sim_waitables.h"

namespace fenra::sim::kernel_parts {

class Scheduler : public Waitables {
 public:
  using Waitables::Waitables;
  ~Scheduler() override { DropInputs(); }

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

  void MakeReady(ThreadRecord* t) final FENRA_REQUIRES(mu);
  void CancelDeadline(Waiter* w) final FENRA_REQUIRES(mu) { timers.Remove(&w->timer); }

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
      ToHost(self);  // the host already made this thread the running one
    else
      RunHost(self);
  }

  // The switches between the host and a fiber, made under the kernel's lock
  // and returning under it. The lock goes with the processor: the OS thread
  // keeps it across the switch, so a wake-up takes it once (in the kernel
  // call that blocks and returns). Under ThreadSanitizer, which sees each
  // fiber as a thread of its own, it is released and taken again instead.
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

  // Queues a scheduled input (virtual time).
  void Schedule(uint64_t at_ms, std::function<void()> fn, const std::string& name) FENRA_REQUIRES(mu);
  // Forgets every deadline; the scheduled inputs are deleted unrun.
  void DropInputs() FENRA_REQUIRES(mu);
  // Every thread and what it is doing, one line each.
  std::string Describe() FENRA_REQUIRES(mu);

  // What the processes provide. Enter: every kernel call of a managed thread
  // passes here; the caller's record, or nullptr for an unattached outside
  // thread on virtual time.
  virtual ThreadRecord* Enter(Lock& lock) FENRA_REQUIRES(mu) = 0;
  virtual bool MustPark(const ThreadRecord* t) const FENRA_REQUIRES(mu) = 0;
  [[noreturn]] virtual void ParkSelf(Lock& lock, ThreadRecord* self) FENRA_REQUIRES(mu) = 0;
  // Starts the thread of a scheduled input.
  virtual void StartTask(std::function<void()> task, const std::string& name) FENRA_REQUIRES(mu) = 0;

 private:
  void BlockReal(Lock& lock, ThreadRecord* self, Waiter& w, uint32_t milliseconds) FENRA_REQUIRES(mu);
  // The driving outside thread runs the simulation until its own turn comes.
  void RunHost(ThreadRecord* me) FENRA_REQUIRES(mu);
  void RunFiber(ThreadRecord* t) FENRA_REQUIRES(mu);
  // Nothing is ready: move the clock to the next deadline, or end a wait for
  // quiescence, or report a stall.
  void Advance(ThreadRecord* me) FENRA_REQUIRES(mu);
  // `mine` is the driving thread's own wait, whose limit does not count.
  bool Quiescent(const Waiter* mine) const FENRA_REQUIRES(mu);
  void Stall() FENRA_REQUIRES(mu);
};

}  // namespace fenra::sim::kernel_parts
