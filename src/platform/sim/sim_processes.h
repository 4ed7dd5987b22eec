#pragma once
// The threads and processes of the simulated kernel: who is calling (and
// the implicit attachment of outside threads on real time), the creation of
// threads (fibers or OS threads), and their ends: a thread that ends or is
// parked abandons its mutexes and signals its object; a process ends when
// its main thread returns or it is terminated, its other threads are parked
// at their next kernel call, and its state goes once all of them are.

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sim/last_error.h"
#include "platform/sim/sim_scheduler.h"

namespace fenra::sim::kernel_parts {

class Processes : public Scheduler {
 public:
  using Scheduler::Scheduler;

  // Fault injection: while nonzero, every thread creation fails with it.
  uint32_t create_thread_error FENRA_GUARDED_BY(mu) = 0;
  // One creation to fail: the `countdown`-th from when it was set, among
  // the threads named `name` (among all when empty).
  struct ThreadCreationFault {
    uint64_t countdown = 0;  // 0: none pending
    std::string name;
    uint32_t error = 0;
  } thread_creation_fault FENRA_GUARDED_BY(mu);

  // Real time.
  std::condition_variable parked_changed;
  int real_threads_running FENRA_GUARDED_BY(mu) = 0;  // kernel-created OS threads not parked or ended

  // The calling thread's record, or nullptr for an unattached outside thread
  // on virtual time. On real time an outside thread is attached here.
  ThreadRecord* Self() FENRA_REQUIRES(mu);
  std::unique_ptr<ThreadRecord> NewRecord(const std::string& name, std::shared_ptr<ProcessRecord> process)
      FENRA_REQUIRES(mu);
  // A thread whose process has ended is parked; on virtual time a thread
  // that never blocks is reported.
  ThreadRecord* Enter(Lock& lock) FENRA_REQUIRES(mu);
  bool MustPark(const ThreadRecord* t) const FENRA_REQUIRES(mu) {
    return t->parked || (t->process && t->process->ended) || (shutting_down && !t->outside);
  }

  // Creates a thread of `process` (none for the threads of outside threads
  // and of scheduled inputs). Real time: an OS thread; virtual time: a fiber.
  std::pair<Handle, ThreadRecord*> Spawn(std::function<uint32_t()> proc, const std::string& name,
                                         std::shared_ptr<ProcessRecord> process) FENRA_REQUIRES(mu);
  void StartTask(std::function<void()> task, const std::string& name) FENRA_REQUIRES(mu);

  void AbandonMutexes(ThreadRecord* t) FENRA_REQUIRES(mu);
  void EndProcess(ProcessRecord& p, uint32_t exit_code) FENRA_REQUIRES(mu);
  // Virtual time: takes a thread that is blocked or ready out of the
  // simulation for good.
  void Park(ThreadRecord* t, uint32_t exit_code) FENRA_REQUIRES(mu);
  // The calling thread stops here for good.
  [[noreturn]] void ParkSelf(Lock& lock, ThreadRecord* self) FENRA_REQUIRES(mu);

 private:
  // Creates a fiber thread and makes it ready.
  ThreadRecord* StartFiber(std::function<uint32_t()> proc, const std::string& name,
                           std::shared_ptr<ProcessRecord> process, std::shared_ptr<Object> object = nullptr)
      FENRA_REQUIRES(mu);
  // A fiber's whole life. It begins and ends with the kernel's lock handed
  // over by the switch (where the lock follows the processor), which the
  // analysis cannot follow.
  void FiberMain(ThreadRecord* t, std::function<uint32_t()>& proc) FENRA_NO_THREAD_SAFETY_ANALYSIS;
  // An OS thread's whole life (real time).
  void OsThreadMain(std::unique_ptr<ThreadRecord> record, std::function<uint32_t()>& proc) FENRA_EXCLUDES(mu);
  void SignalEnd(Object* o, uint32_t exit_code) FENRA_REQUIRES(mu);
  // Takes `t` out of its process's live threads; the process's state goes
  // once none is left.
  void LeaveProcess(ThreadRecord* t) FENRA_REQUIRES(mu);
  // The last thread of an ended process is gone: only now is the process
  // signalled, so that whatever a thread of it wrote on its way to its next
  // kernel call lands before the end, never after.
  void ProcessGone(ProcessRecord& p) FENRA_REQUIRES(mu);
  void ThreadEnded(ThreadRecord* t, uint32_t exit_code) FENRA_REQUIRES(mu);
};

// ---- Definitions (inline: the kernel is one translation unit, sim_kernel.cpp) ----

inline ThreadRecord* Processes::Self() {
  if (running_fiber_kernel == this) return running_fiber;
  if (running_fiber != nullptr) return nullptr;  // a fiber of another kernel
  for (auto& entry : attachments.entries)
    if (entry.kernel == this) return entry.record;
  if (virtual_time) return nullptr;
  auto record = NewRecord("outside thread", nullptr);
  record->outside = true;
  record->keep = shared_from_this();
  ThreadRecord* raw = record.get();
  threads.push_back(raw);
  attachments.entries.push_back({this, raw, std::move(record)});
  return raw;
}

inline std::unique_ptr<ThreadRecord> Processes::NewRecord(const std::string& name, std::shared_ptr<ProcessRecord> process) {
  auto record = std::make_unique<ThreadRecord>();
  record->id = ++serial;
  record->name = name.empty() ? "thread #" + std::to_string(record->id) : name;
  record->process = std::move(process);
  if (record->process) record->process->threads.push_back(record.get());
  return record;
}

inline ThreadRecord* Processes::Enter(Lock& lock) {
  ThreadRecord* self = running_fiber_kernel == this ? running_fiber : Self();
  if (self == nullptr) return nullptr;
  if (MustPark(self)) ParkSelf(lock, self);
  if (virtual_time && ++self->calls > options.poll_limit) {
    std::string report = "thread " + self->Label() + " made " + std::to_string(self->calls) +
                         " kernel calls without ever blocking at " + std::to_string(now) +
                         " ms: it polls and freezes the virtual clock\n" + Describe();
    mu.unlock();
    Fatal(report);
  }
  return self;
}

// ---- Creation ----

inline ThreadRecord* Processes::StartFiber(std::function<uint32_t()> proc, const std::string& name,
                                    std::shared_ptr<ProcessRecord> process, std::shared_ptr<Object> object) {
  auto record = NewRecord(name, std::move(process));
  ThreadRecord* t = record.get();
  t->object = std::move(object);
  t->fiber = std::make_unique<Fiber>([this, t, proc = std::move(proc)]() mutable { FiberMain(t, proc); },
                                     options.stack_size);
  threads.push_back(t);
  fibers.push_back(std::move(record));
  Progress();
  MakeReady(t);
  return t;
}

inline void Processes::FiberMain(ThreadRecord* t, std::function<uint32_t()>& proc) {
  // The first switch into the fiber handed the kernel's lock over.
  if constexpr (Fiber::kLockFollowsSwitch) mu.unlock();
  uint32_t exit_code = proc();
  proc = nullptr;  // what the procedure captured goes before anyone sees the end
  Lock lock(mu);
  ThreadEnded(t, exit_code);
  // The fiber's last switch (to the host) hands the lock over.
  if constexpr (Fiber::kLockFollowsSwitch) lock.native().release();
}

inline void Processes::StartTask(std::function<void()> task, const std::string& name) {
  StartFiber(
      [task = std::move(task)]() mutable {
        task();
        return 0u;
      },
      name, std::shared_ptr<ProcessRecord>());
}

inline std::pair<Handle, ThreadRecord*> Processes::Spawn(std::function<uint32_t()> proc, const std::string& name,
                                                  std::shared_ptr<ProcessRecord> process) {
  if (shutting_down || create_thread_error != 0) {
    sim::SetLastError(shutting_down ? win::kErrorNotEnoughMemory : create_thread_error);
    return {nullptr, nullptr};
  }
  if (ThreadCreationFault& fault = thread_creation_fault;
      fault.countdown != 0 && (fault.name.empty() || fault.name == name) && --fault.countdown == 0) {
    sim::SetLastError(fault.error);
    return {nullptr, nullptr};
  }
  auto thread_object = NewObject(Object::Kind::kThread, name);
  if (virtual_time) return {thread_object, StartFiber(std::move(proc), name, std::move(process), thread_object)};
  auto record = NewRecord(name, std::move(process));
  record->object = thread_object;
  record->keep = shared_from_this();
  ThreadRecord* t = record.get();
  threads.push_back(t);
  ++real_threads_running;
  try {
    std::thread([this, record = std::move(record), proc = std::move(proc)]() mutable {
      OsThreadMain(std::move(record), proc);
    }).detach();
  } catch (const std::system_error&) {
    std::erase(threads, t);
    --real_threads_running;
    if (t->process) std::erase(t->process->threads, t);
    sim::SetLastError(win::kErrorNotEnoughMemory);
    return {nullptr, nullptr};
  }
  return {thread_object, t};
}

inline void Processes::OsThreadMain(std::unique_ptr<ThreadRecord> record, std::function<uint32_t()>& proc) {
  ThreadRecord* self = record.get();
  attachments.entries.push_back({this, self, nullptr});
  {
    Lock lock(mu);
    if (MustPark(self)) ParkSelf(lock, self);
  }
  uint32_t exit_code = proc();
  proc = nullptr;  // what the procedure captured goes before anyone sees the end
  {
    Lock lock(mu);
    ThreadEnded(self, exit_code);
  }
  std::erase_if(attachments.entries, [self](const auto& e) { return e.record == self; });
  // `record` keeps the kernel's state alive until here.
}

// ---- Ends of threads and processes ----

inline void Processes::AbandonMutexes(ThreadRecord* t) {
  for (const std::shared_ptr<Object>& m : std::exchange(t->owned_mutexes, {})) {
    m->owner = nullptr;
    m->recursion = 0;
    m->abandoned = true;
    Propagate(m.get());
  }
}

inline void Processes::SignalEnd(Object* o, uint32_t exit_code) {
  if (o == nullptr || o->ended) return;
  o->ended = true;
  o->exit_code = exit_code;
  Propagate(o);
}

inline void Processes::LeaveProcess(ThreadRecord* t) {
  if (!t->process) return;
  ProcessRecord& p = *t->process;
  std::erase(p.threads, t);
  if (p.ended && p.threads.empty()) ProcessGone(p);
}

inline void Processes::ProcessGone(ProcessRecord& p) {
  SignalEnd(p.object.get(), p.exit_code);
  if (p.state) releases.push_back(std::move(p.state));
}

inline void Processes::ThreadEnded(ThreadRecord* t, uint32_t exit_code) {
  Progress();
  AbandonMutexes(t);
  SignalEnd(t->object.get(), exit_code);
  std::shared_ptr<ProcessRecord> process = t->process;
  LeaveProcess(t);
  if (process && process->main == t) EndProcess(*process, exit_code);
  if (!virtual_time) {
    // Real time: the states of processes are dropped here, unlocked.
    DropReleases();
    std::erase(threads, t);
    --real_threads_running;
    parked_changed.notify_all();
  }
}

inline void Processes::EndProcess(ProcessRecord& p, uint32_t exit_code) {
  if (p.ended) return;
  p.ended = true;
  p.exit_code = exit_code;
  p.main = nullptr;
  Progress();
  ThreadRecord* caller = Self();
  for (ThreadRecord* t : std::vector<ThreadRecord*>(p.threads)) {
    if (t == caller) continue;  // parks on its way out of this call
    if (virtual_time) {
      Park(t, exit_code);
    } else {
      // Running threads park at their next kernel call, blocked ones now;
      // a wait of theirs can no longer be satisfied.
      t->parked = true;
      if (t->waiting) Unregister(t->waiting);
      t->wake.notify_one();
    }
  }
  // On virtual time nothing else runs, and a caller of the process parks
  // on its way out of this call.
  if (virtual_time) SignalEnd(p.object.get(), exit_code);
  if (p.threads.empty()) ProcessGone(p);
}

inline void Processes::Park(ThreadRecord* t, uint32_t exit_code) {
  if (t->parked) return;
  t->parked = true;
  if (t->waiting) Unregister(t->waiting);
  if (t->ready) ready.Remove(t);
  AbandonMutexes(t);
  SignalEnd(t->object.get(), exit_code);
  LeaveProcess(t);
  std::erase(threads, t);
  auto it = std::find_if(fibers.begin(), fibers.end(), [t](const auto& f) { return f.get() == t; });
  if (it != fibers.end()) {
    (*it)->fiber->Abandon();
    parked_fibers.push_back(std::move(*it));
    fibers.erase(it);
  }
}

inline void Processes::ParkSelf(Lock& lock, ThreadRecord* self) {
  uint32_t code = self->process ? self->process->exit_code : 0;
  if (virtual_time) {
    Park(self, code);
    ToHost(self);
    Fatal("a parked thread was resumed");
  }
  self->parked = true;
  AbandonMutexes(self);
  SignalEnd(self->object.get(), code);
  LeaveProcess(self);
  DropReleases();  // before Shutdown can see this thread gone
  std::erase(threads, self);
  --real_threads_running;
  parked_changed.notify_all();
  for (;;) self->wake.wait(lock.native());
}

inline OsThreadAttachments::~OsThreadAttachments() {
  for (auto& entry : entries) {
    if (!entry.owned) continue;
    Processes* kernel = entry.kernel;
    std::shared_ptr<KernelCore> keep = entry.owned->keep;
    MutexLock lock(kernel->mu);
    kernel->AbandonMutexes(entry.owned.get());
    std::erase(kernel->threads, entry.owned.get());
    entry.owned.reset();
  }
}

// The scheduler's hooks (see Waitables::MakeReady).
inline ThreadRecord* Scheduler::Enter(Lock& lock) FENRA_NO_THREAD_SAFETY_ANALYSIS {
  return static_cast<Processes*>(this)->Enter(lock);
}
inline bool Scheduler::MustPark(const ThreadRecord* t) const FENRA_NO_THREAD_SAFETY_ANALYSIS {
  return static_cast<const Processes*>(this)->MustPark(t);
}
inline void Scheduler::ParkSelf(Lock& lock, ThreadRecord* self) FENRA_NO_THREAD_SAFETY_ANALYSIS {
  static_cast<Processes*>(this)->ParkSelf(lock, self);
}
inline void Scheduler::StartTask(std::function<void()> task, const std::string& name)
    FENRA_NO_THREAD_SAFETY_ANALYSIS {
  static_cast<Processes*>(this)->StartTask(std::move(task), name);
}

}  // namespace fenra::sim::kernel_parts
