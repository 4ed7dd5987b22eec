#pragma once
// The threads and processes of the simulated kernel: who is calling (and
// the implicit attachment of outside threads on real time), the creation of
// threads (fibers or OS threads), and their ends: a thread that ends or is
// parked abandons its mutexes and signals its object; a process ends when
// its main thread returns or it is terminated, its other threads are parked
// at their next kernel call, and its state goes once all of them are.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

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
  ThreadRecord* Enter(Lock& lock) final FENRA_REQUIRES(mu);
  bool MustPark(const ThreadRecord* t) const final FENRA_REQUIRES(mu) {
    return t->parked || (t->process && t->process->ended) || (shutting_down && !t->outside);
  }

  // Creates a thread of `process` (none for the threads of outside threads
  // and of scheduled inputs). Real time: an OS thread; virtual time: a fiber.
  std::pair<Handle, ThreadRecord*> Spawn(std::function<uint32_t()> proc, const std::string& name,
                                         std::shared_ptr<ProcessRecord> process) FENRA_REQUIRES(mu);
  void StartTask(std::function<void()> task, const std::string& name) final FENRA_REQUIRES(mu);

  void AbandonMutexes(ThreadRecord* t) FENRA_REQUIRES(mu);
  void EndProcess(ProcessRecord& p, uint32_t exit_code) FENRA_REQUIRES(mu);
  // Virtual time: takes a thread that is blocked or ready out of the
  // simulation for good.
  void Park(ThreadRecord* t, uint32_t exit_code) FENRA_REQUIRES(mu);
  // The calling thread stops here for good.
  [[noreturn]] void ParkSelf(Lock& lock, ThreadRecord* self) final FENRA_REQUIRES(mu);

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

}  // namespace fenra::sim::kernel_parts
