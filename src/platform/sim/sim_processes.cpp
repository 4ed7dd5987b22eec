#include "platform/sim/sim_processes.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/sim/last_error.h"

namespace fenra::sim::kernel_parts {

ThreadRecord* Processes::Self() {
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

std::unique_ptr<ThreadRecord> Processes::NewRecord(const std::string& name, std::shared_ptr<ProcessRecord> process) {
  auto record = std::make_unique<ThreadRecord>();
  record->id = ++serial;
  record->name = name.empty() ? "thread #" + std::to_string(record->id) : name;
  record->process = std::move(process);
  if (record->process) record->process->threads.push_back(record.get());
  return record;
}

ThreadRecord* Processes::Enter(Lock& lock) {
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

ThreadRecord* Processes::StartFiber(std::function<uint32_t()> proc, const std::string& name,
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

void Processes::FiberMain(ThreadRecord* t, std::function<uint32_t()>& proc) {
  // The first switch into the fiber handed the kernel's lock over.
  if constexpr (Fiber::kLockFollowsSwitch) mu.unlock();
  uint32_t exit_code = proc();
  proc = nullptr;  // what the procedure captured goes before anyone sees the end
  Lock lock(mu);
  ThreadEnded(t, exit_code);
  // The fiber's last switch (to the host) hands the lock over.
  if constexpr (Fiber::kLockFollowsSwitch) lock.native().release();
}

void Processes::StartTask(std::function<void()> task, const std::string& name) {
  StartFiber(
      [task = std::move(task)]() mutable {
        task();
        return 0u;
      },
      name, std::shared_ptr<ProcessRecord>());
}

std::pair<Handle, ThreadRecord*> Processes::Spawn(std::function<uint32_t()> proc, const std::string& name,
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

void Processes::OsThreadMain(std::unique_ptr<ThreadRecord> record, std::function<uint32_t()>& proc) {
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

void Processes::AbandonMutexes(ThreadRecord* t) {
  for (const std::shared_ptr<Object>& m : std::exchange(t->owned_mutexes, {})) {
    m->owner = nullptr;
    m->recursion = 0;
    m->abandoned = true;
    Propagate(m.get());
  }
}

void Processes::SignalEnd(Object* o, uint32_t exit_code) {
  if (o == nullptr || o->ended) return;
  o->ended = true;
  o->exit_code = exit_code;
  Propagate(o);
}

void Processes::LeaveProcess(ThreadRecord* t) {
  if (!t->process) return;
  ProcessRecord& p = *t->process;
  std::erase(p.threads, t);
  if (p.ended && p.threads.empty()) ProcessGone(p);
}

void Processes::ProcessGone(ProcessRecord& p) {
  SignalEnd(p.object.get(), p.exit_code);
  if (p.state) releases.push_back(std::move(p.state));
}

void Processes::ThreadEnded(ThreadRecord* t, uint32_t exit_code) {
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

void Processes::EndProcess(ProcessRecord& p, uint32_t exit_code) {
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

void Processes::Park(ThreadRecord* t, uint32_t exit_code) {
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

void Processes::ParkSelf(Lock& lock, ThreadRecord* self) {
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

OsThreadAttachments::~OsThreadAttachments() {
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

}  // namespace fenra::sim::kernel_parts
