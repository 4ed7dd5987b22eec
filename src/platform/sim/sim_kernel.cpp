#include "platform/sim/sim_kernel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sim/last_error.h"
#include "platform/sim/sim_processes.h"

namespace fenra::sim {
namespace kernel_parts {

thread_local constinit ThreadRecord* running_fiber = nullptr;
thread_local constinit KernelCore* running_fiber_kernel = nullptr;
thread_local OsThreadAttachments attachments;

[[noreturn]] void Fatal(const std::string& message) {
  fprintf(stderr, "simulated kernel: %s\n", message.c_str());
  fflush(stderr);
  std::abort();
}

}  // namespace kernel_parts

using namespace kernel_parts;

namespace {

std::atomic<uint64_t> next_kernel_id{1};
thread_local ThreadLocals os_thread_locals;

LocalTime ToLocalTime(std::chrono::local_time<std::chrono::milliseconds> t) {
  using namespace std::chrono;
  auto day = floor<days>(t);
  year_month_day ymd{day};
  hh_mm_ss hms{t - day};
  LocalTime out;
  out.year = static_cast<uint16_t>(static_cast<int>(ymd.year()));
  out.month = static_cast<uint16_t>(static_cast<unsigned>(ymd.month()));
  out.day = static_cast<uint16_t>(static_cast<unsigned>(ymd.day()));
  out.day_of_week = static_cast<uint16_t>(weekday{day}.c_encoding());
  out.hour = static_cast<uint16_t>(hms.hours().count());
  out.minute = static_cast<uint16_t>(hms.minutes().count());
  out.second = static_cast<uint16_t>(hms.seconds().count());
  out.milliseconds = static_cast<uint16_t>(hms.subseconds().count());
  return out;
}

std::chrono::local_time<std::chrono::milliseconds> FromLocalTime(const LocalTime& t) {
  using namespace std::chrono;
  local_days day{year{t.year} / month{t.month} / std::chrono::day{t.day}};
  return local_time<milliseconds>{day} + hours{t.hour} + minutes{t.minute} + seconds{t.second} +
         milliseconds{t.milliseconds};
}

LocalTime RealLocalTime() {
  using namespace std::chrono;
  auto now = system_clock::now();
  time_t seconds = system_clock::to_time_t(now);
  tm local{};
  localtime_r(&seconds, &local);
  LocalTime out;
  out.year = static_cast<uint16_t>(local.tm_year + 1900);
  out.month = static_cast<uint16_t>(local.tm_mon + 1);
  out.day = static_cast<uint16_t>(local.tm_mday);
  out.day_of_week = static_cast<uint16_t>(local.tm_wday);
  out.hour = static_cast<uint16_t>(local.tm_hour);
  out.minute = static_cast<uint16_t>(local.tm_min);
  out.second = static_cast<uint16_t>(local.tm_sec);
  out.milliseconds = static_cast<uint16_t>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  return out;
}

}  // namespace

namespace kernel_parts {

KernelCore::KernelCore(const KernelOptions& o)
    : options(o),
      virtual_time(o.virtual_time),
      kernel_id(next_kernel_id++),
      start_local(FromLocalTime(o.start_local_time)),
      real_start(SteadyClock::now()) {}

void KernelCore::DropReleases() {
  while (!releases.empty()) {
    auto dropped = std::exchange(releases, {});
    mu.unlock();
    dropped.clear();
    mu.lock();
  }
}

}  // namespace kernel_parts

struct SimKernel::State final : Processes {
  using Processes::Processes;
};

ThreadLocals& CurrentThreadLocals() { return running_fiber ? running_fiber->locals : os_thread_locals; }

SimKernel::SimKernel(KernelOptions options) : state_(std::make_shared<State>(options)) {}

SimKernel::~SimKernel() { Shutdown(); }

void SimKernel::Shutdown() {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  if (s.shutting_down) return;
  s.shutting_down = true;
  if (s.virtual_time) {
    for (ThreadRecord* t : std::vector<ThreadRecord*>(s.threads))
      if (t->fiber) s.Park(t, win::kErrorSuccess);
    s.DropInputs();
    s.pending_tasks = 0;
    s.DropReleases();
    return;
  }
  for (ThreadRecord* t : s.threads) t->wake.notify_one();
  // Threads running outside the kernel park at their next call.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::any_of(s.threads.begin(), s.threads.end(), [](ThreadRecord* t) { return !t->outside && !t->parked; })) {
    if (s.parked_changed.wait_until(lock.native(), deadline) == std::cv_status::timeout) break;
  }
}

SimKernel::Attachment::Attachment(std::unique_ptr<kernel_parts::ThreadRecord> record) : record_(std::move(record)) {}

SimKernel::Attachment::Attachment(Attachment&& other) noexcept = default;

SimKernel::Attachment::~Attachment() {
  if (!record_) return;
  ThreadRecord* record = record_.get();
  std::shared_ptr<KernelCore> keep = record->keep;
  auto& state = static_cast<State&>(*keep);
  MutexLock lock(state.mu);
  state.AbandonMutexes(record);
  std::erase(state.threads, record);
  std::erase_if(attachments.entries, [&](const auto& e) { return e.record == record; });
  if (state.host == record) {
    state.host = nullptr;
    state.host_context.reset();
  }
  record_.reset();
}

SimKernel::Attachment SimKernel::Attach(const std::string& name) {
  State& s = *state_;
  MutexLock lock(s.mu);
  for (auto& entry : attachments.entries)
    if (entry.kernel == &s) Fatal("thread '" + name + "' is attached twice");
  if (running_fiber != nullptr) Fatal("a simulated thread cannot attach as an outside thread");
  if (s.virtual_time && s.host != nullptr)
    Fatal("thread '" + name + "' cannot attach: the virtual-time kernel is driven by " + s.host->Label());
  auto record = s.NewRecord(name, nullptr);
  record->outside = true;
  record->keep = state_;
  s.threads.push_back(record.get());
  attachments.entries.push_back({&s, record.get(), nullptr});
  if (s.virtual_time) {
    s.host = record.get();
    s.host_context = std::make_unique<Fiber::Host>();
    s.host_os_thread = std::this_thread::get_id();
  }
  return Attachment(std::move(record));
}

uint32_t SimKernel::TimeGetTime() {
  UniqueMutexLock lock(state_->mu);
  state_->Enter(lock);
  state_->Progress();
  return state_->options.start_tick + static_cast<uint32_t>(state_->NowLocked());
}

LocalTime SimKernel::GetLocalTime() {
  if (!state_->virtual_time) return RealLocalTime();
  UniqueMutexLock lock(state_->mu);
  state_->Enter(lock);
  state_->Progress();
  return ToLocalTime(state_->start_local + std::chrono::milliseconds(state_->now));
}

Handle SimKernel::CreateEvent(bool manual_reset, bool initial_state, const std::string& name) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  s.Enter(lock);
  if (uint32_t error = name.empty() ? s.create_unnamed_event_error : s.create_named_event_error) {
    sim::SetLastError(error);
    return nullptr;
  }
  if (!name.empty()) {
    if (auto existing = s.named[name].lock()) {
      sim::SetLastError(win::kErrorAlreadyExists);
      return existing;
    }
  }
  auto event = s.NewObject(Object::Kind::kEvent, name);
  event->manual_reset = manual_reset;
  event->signaled = initial_state;
  if (!name.empty()) s.named[name] = event;
  sim::SetLastError(win::kErrorSuccess);
  return event;
}

bool SimKernel::SetEvent(const Handle& event) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  s.Enter(lock);
  Object* o = s.Find(event, Object::Kind::kEvent);
  if (o == nullptr) return false;
  if (!o->signaled) s.Progress();
  o->signaled = true;
  s.Propagate(o);
  return true;
}

bool SimKernel::ResetEvent(const Handle& event) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  s.Enter(lock);
  Object* o = s.Find(event, Object::Kind::kEvent);
  if (o == nullptr) return false;
  if (o->signaled) s.Progress();
  o->signaled = false;
  return true;
}

bool SimKernel::PulseEvent(const Handle& event) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  s.Enter(lock);
  Object* o = s.Find(event, Object::Kind::kEvent);
  if (o == nullptr) return false;
  ++o->pulses;
  if (s.pulse_observer && !o->name.empty()) s.pulse_observer(o->name, s.NowLocked());
  s.Progress();
  o->signaled = true;
  s.Propagate(o);
  // A pulse leaves the event non-signalled even when nobody waited, so a
  // signalled event is reset by it.
  o->signaled = false;
  return true;
}

Handle SimKernel::CreateMutex(bool initial_owner) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  auto mutex = s.NewObject(Object::Kind::kMutex);
  if (initial_owner) {
    if (self == nullptr) s.UnattachedBlock("own a mutex");
    State::Consume(*mutex, self);
  }
  return mutex;
}

bool SimKernel::ReleaseMutex(const Handle& mutex) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  Object* o = s.Find(mutex, Object::Kind::kMutex);
  if (o == nullptr) return false;
  if (self == nullptr || o->owner != self) {
    sim::SetLastError(win::kErrorNotOwner);
    return false;
  }
  if (--o->recursion == 0) {
    o->owner = nullptr;
    std::erase_if(self->owned_mutexes, [o](const auto& m) { return m.get() == o; });
    if (!o->waiters.empty()) s.Progress();
    s.Propagate(o);
  }
  return true;
}

uint32_t SimKernel::WaitForSingleObject(const Handle& object, uint32_t milliseconds) {
  return state_->Wait(std::span(&object, 1), false, milliseconds);
}

uint32_t SimKernel::WaitForMultipleObjects(std::span<const Handle> objects, bool wait_all, uint32_t milliseconds) {
  return state_->Wait(objects, wait_all, milliseconds);
}

void SimKernel::Sleep(uint32_t milliseconds) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  if (self == nullptr) {
    if (milliseconds == 0) return;
    s.UnattachedBlock("sleep");
  }
  if (milliseconds == 0) {
    // Let the threads that are ready run first.
    if (s.virtual_time && !s.ready.empty()) {
      s.MakeReady(self);
      s.SwitchAway(self);
    }
    return;
  }
  Waiter w(self);
  s.Block(lock, self, w, milliseconds);
}

Handle SimKernel::CreateThread(ThreadProc proc, const std::string& name) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  return s.Spawn(std::move(proc), name, self ? self->process : nullptr).first;
}

bool SimKernel::GetExitCodeThread(const Handle& thread, uint32_t* exit_code) {
  UniqueMutexLock lock(state_->mu);
  state_->Enter(lock);
  Object* o = state_->Find(thread, Object::Kind::kThread);
  if (o == nullptr) return false;
  *exit_code = o->exit_code;
  return true;
}

uint32_t SimKernel::GetLastError() { return sim::GetLastError(); }
void SimKernel::SetLastError(uint32_t error) { sim::SetLastError(error); }

Handle SimKernel::CreateProcess(const std::string& name, ThreadProc main, std::shared_ptr<void> state) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  s.Enter(lock);
  auto process = std::make_shared<ProcessRecord>();
  process->id = ++s.serial;
  process->name = name;
  process->object = s.NewObject(Object::Kind::kProcess, name);
  process->object->process = process;
  process->state = std::move(state);
  auto [thread, record] = s.Spawn(std::move(main), name + " main", process);
  if (!thread) {
    process->ended = true;
    return nullptr;
  }
  process->main = record;
  return process->object;
}

bool SimKernel::TerminateProcess(const Handle& process, uint32_t exit_code) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  Object* o = s.Find(process, Object::Kind::kProcess);
  if (o == nullptr) return false;
  std::shared_ptr<ProcessRecord> record = o->process.lock();
  if (record && !record->ended) s.EndProcess(*record, exit_code);
  if (!s.virtual_time || self == nullptr || !self->fiber) s.DropReleases();
  // A thread that terminates its own process goes with it.
  if (self != nullptr && record && self->process == record) s.ParkSelf(lock, self);
  return true;
}

bool SimKernel::GetExitCodeProcess(const Handle& process, uint32_t* exit_code) {
  UniqueMutexLock lock(state_->mu);
  state_->Enter(lock);
  Object* o = state_->Find(process, Object::Kind::kProcess);
  if (o == nullptr) return false;
  *exit_code = o->exit_code;
  return true;
}

bool SimKernel::CurrentProcessEnded() {
  MutexLock lock(state_->mu);
  ThreadRecord* self = state_->Self();
  return self != nullptr && self->process && self->process->ended;
}

void SimKernel::At(uint64_t at_ms, std::function<void()> fn, const std::string& name) {
  State& s = *state_;
  UniqueMutexLock lock(s.mu);
  s.Enter(lock);
  if (s.virtual_time) {
    s.Schedule(at_ms, std::move(fn), name);
    return;
  }
  lock.unlock();
  CreateThread(
      [this, at_ms, fn = std::move(fn)] {
        uint64_t elapsed = ElapsedMs();
        if (elapsed < at_ms) Sleep(static_cast<uint32_t>(std::min<uint64_t>(at_ms - elapsed, win::kInfinite - 1)));
        fn();
        return 0u;
      },
      name);
}

void SimKernel::RunUntil(uint64_t at_ms) {
  for (;;) {
    uint64_t elapsed = ElapsedMs();
    if (elapsed >= at_ms) return;
    Sleep(static_cast<uint32_t>(std::min<uint64_t>(at_ms - elapsed, win::kInfinite - 1)));
  }
}

bool SimKernel::RunUntilQuiescent(uint64_t limit_ms) {
  State& s = *state_;
  if (!s.virtual_time) return false;
  UniqueMutexLock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  if (self == nullptr) s.UnattachedBlock("run until quiescent");
  Waiter w(self);
  w.quiescence = true;
  if (limit_ms != UINT64_MAX) {
    // The limit is a deadline of the same wait: whichever comes first.
    self->waiting = &w;
    s.timers.Push(&w.timer, std::max(limit_ms, s.now));
    self->calls = 0;
    s.SwitchAway(self);
    self->waiting = nullptr;
    return w.result == win::kWaitObject0;
  }
  return s.Block(lock, self, w, win::kInfinite) == win::kWaitObject0;
}

void SimKernel::NoteActivity() {
  MutexLock lock(state_->mu);
  state_->Progress();
}

bool SimKernel::virtual_time() const { return state_->virtual_time; }

uint64_t SimKernel::ElapsedMs() {
  MutexLock lock(state_->mu);
  return state_->NowLocked();
}

void SimKernel::SetStallHandler(std::function<void(const std::string&)> handler) {
  MutexLock lock(state_->mu);
  state_->stall_handler = std::move(handler);
}

uint64_t SimKernel::WakeUps() {
  MutexLock lock(state_->mu);
  return state_->wake_ups;
}

std::string SimKernel::DescribeThreads() {
  MutexLock lock(state_->mu);
  return state_->Describe();
}

void SimKernel::FailCreateThread(uint32_t error) {
  MutexLock lock(state_->mu);
  state_->create_thread_error = error;
}

void SimKernel::FailThreadCreation(uint64_t nth, uint32_t error, const std::string& name) {
  MutexLock lock(state_->mu);
  state_->thread_creation_fault = {nth, name, error};
}

void SimKernel::FailCreateNamedEvent(uint32_t error) {
  MutexLock lock(state_->mu);
  state_->create_named_event_error = error;
}

void SimKernel::FailCreateUnnamedEvent(uint32_t error) {
  MutexLock lock(state_->mu);
  state_->create_unnamed_event_error = error;
}

void SimKernel::SetPulseObserver(PulseObserver observer) {
  MutexLock lock(state_->mu);
  state_->pulse_observer = std::move(observer);
}

uint64_t SimKernel::PulseCount(const Handle& event) {
  MutexLock lock(state_->mu);
  Object* o = state_->Find(event, Object::Kind::kEvent);
  return o ? o->pulses : 0;
}

}  // namespace fenra::sim
