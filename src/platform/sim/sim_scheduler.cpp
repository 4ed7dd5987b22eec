#include "platform/sim/sim_scheduler.h"

#include <algorithm>
#include <optional>

#include "platform/sim/last_error.h"

namespace fenra::sim::kernel_parts {

uint64_t Scheduler::NowLocked() const {
  if (virtual_time) return now;
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - real_start).count());
}

void Scheduler::MakeReady(ThreadRecord* t) {
  if (virtual_time) {
    if (!t->ready) ready.Push(t);
  } else {
    t->wake.notify_one();
  }
}

uint32_t Scheduler::Wait(std::span<const Handle> handles, bool wait_all, uint32_t milliseconds) {
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

void Scheduler::UnattachedBlock(const char* what) {
  std::string report = std::string("a thread that is not attached tried to ") + what +
                       " on virtual time; attach it with SimKernel::Attach() first\n" + Describe();
  mu.unlock();
  Fatal(report);
}

// ---- Real time ----

void Scheduler::BlockReal(Lock& lock, ThreadRecord* self, Waiter& w, uint32_t milliseconds) {
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

void Scheduler::RunHost(ThreadRecord* me) {
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

void Scheduler::RunFiber(ThreadRecord* t) {
  running_fiber = t;
  running_fiber_kernel = this;
  ++wake_ups;
  ToFiber(t);
  running_fiber = nullptr;
  running_fiber_kernel = nullptr;
  if (t->fiber->finished()) {
    std::erase(threads, t);
    std::erase_if(fibers, [t](const auto& f) { return f.get() == t; });
  }
  if (!releases.empty()) DropReleases();
}

void Scheduler::Advance(ThreadRecord* me) {
  Waiter* mine = me->waiting;
  const bool my_wait_is_endless = mine == nullptr || mine->quiescence || !mine->timer.queued();
  if (my_wait_is_endless && Quiescent(mine)) {
    if (mine != nullptr && mine->quiescence && !mine->done) {
      Complete(mine, win::kWaitObject0);
      return;
    }
    Stall();
    return;
  }
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

bool Scheduler::Quiescent(const Waiter* mine) const {
  if (pending_tasks != 0) return false;
  for (const Timer* timer : timers.entries())
    if (timer->waiter != nullptr && timer->waiter != mine && timer->waiter->thread->idle_epoch != epoch) return false;
  return true;
}

void Scheduler::Stall() {
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

void Scheduler::Schedule(uint64_t at_ms, std::function<void()> fn, const std::string& name) {
  auto input = std::make_unique<ScheduledInput>(ScheduledInput{{}, std::move(fn), name});
  input->timer.input = input.get();
  timers.Push(&input.release()->timer, std::max(at_ms, now));
  ++pending_tasks;
}

void Scheduler::DropInputs() {
  std::vector<std::unique_ptr<ScheduledInput>> inputs;
  for (const Timer* timer : timers.entries())
    if (timer->input != nullptr) inputs.emplace_back(timer->input);
  timers.Clear();
}

std::string Scheduler::Describe() {
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

}  // namespace fenra::sim::kernel_parts
