#include "platform/sim/sim_kernel.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sim/last_error.h"

namespace fenra::sim {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct Waiter;
struct ThreadRecord;

struct Object : KernelObject {
  enum class Kind { kEvent, kMutex, kThread };
  Object(Kind k, std::weak_ptr<SimKernel::State> s) : kind(k), state(std::move(s)) {}

  const Kind kind;
  const std::weak_ptr<SimKernel::State> state;
  // Event.
  bool manual_reset = true;
  bool signaled = false;
  uint64_t pulses = 0;
  // Mutex.
  ThreadRecord* owner = nullptr;
  uint32_t recursion = 0;
  bool abandoned = false;
  // Thread.
  bool ended = false;
  uint32_t exit_code = win::kStillActive;
  // Waits blocked on this object, in the order they began.
  std::vector<Waiter*> waiters;
};

using TimerKey = std::pair<uint64_t, uint64_t>;  // (deadline ms, sequence)

struct Waiter {
  ThreadRecord* thread = nullptr;
  std::vector<Object*> objects;
  bool wait_all = false;
  bool quiescence = false;  // waits for the simulation to go idle
  bool done = false;
  uint32_t result = win::kWaitFailed;
  std::optional<std::multimap<TimerKey, Waiter*>::iterator> timer;
};

// One per managed thread.
struct ThreadRecord {
  std::shared_ptr<SimKernel::State> state;
  std::condition_variable wake;
  std::vector<Object*> owned_mutexes;
  Waiter* waiting = nullptr;
};

thread_local std::unique_ptr<ThreadRecord> current_thread;

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

}  // namespace

struct SimKernel::State : std::enable_shared_from_this<SimKernel::State> {
  explicit State(const KernelOptions& o)
      : virtual_time(o.virtual_time),
        start_tick(o.start_tick),
        start_local(FromLocalTime(o.start_local_time)),
        real_start(SteadyClock::now()) {}

  std::mutex mu;
  const bool virtual_time;
  const uint32_t start_tick;
  const std::chrono::local_time<std::chrono::milliseconds> start_local;
  const SteadyClock::time_point real_start;

  uint64_t now = 0;  // virtual milliseconds since the start
  int runnable = 0;  // managed threads not blocked in a wait
  uint64_t sequence = 0;
  std::multimap<TimerKey, Waiter*> timers;
  std::vector<Waiter*> quiescence_waiters;
  std::vector<ThreadRecord*> blocked;  // for the stall report
  std::map<std::string, std::weak_ptr<Object>> named;
  std::function<void()> stall_handler;
  bool shutting_down = false;
  uint32_t create_thread_error = 0;
  uint32_t create_named_event_error = 0;
  uint32_t create_unnamed_event_error = 0;

  uint64_t NowLocked() {
    if (virtual_time) return now;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - real_start).count());
  }

  // The calling thread's record, attaching the thread to this kernel.
  ThreadRecord* Self() {
    if (!current_thread || current_thread->state.get() != this) {
      current_thread = std::make_unique<ThreadRecord>();
      current_thread->state = shared_from_this();
      ++runnable;
    }
    return current_thread.get();
  }

  static bool IsSignaled(const Object& o, const ThreadRecord* thread) {
    switch (o.kind) {
      case Object::Kind::kEvent: return o.signaled;
      case Object::Kind::kMutex: return o.owner == nullptr || o.owner == thread;
      case Object::Kind::kThread: return o.ended;
    }
    return false;
  }

  // Takes a signalled object for `thread`; true when it was an abandoned
  // mutex.
  static bool Consume(Object& o, ThreadRecord* thread) {
    if (o.kind == Object::Kind::kEvent && !o.manual_reset) o.signaled = false;
    if (o.kind != Object::Kind::kMutex) return false;
    if (o.owner != thread) {
      o.owner = thread;
      thread->owned_mutexes.push_back(&o);
    }
    ++o.recursion;
    return std::exchange(o.abandoned, false);
  }

  // The wait result if the wait can be satisfied now (and then consumes),
  // else nothing.
  static std::optional<uint32_t> TrySatisfy(const std::vector<Object*>& objects, bool wait_all,
                                            ThreadRecord* thread) {
    if (objects.empty()) return std::nullopt;
    if (wait_all) {
      for (Object* o : objects)
        if (!IsSignaled(*o, thread)) return std::nullopt;
      bool abandoned = false;
      for (Object* o : objects) abandoned |= Consume(*o, thread);
      return abandoned ? win::kWaitAbandoned0 : win::kWaitObject0;
    }
    for (size_t i = 0; i < objects.size(); ++i) {
      if (IsSignaled(*objects[i], thread)) {
        bool abandoned = Consume(*objects[i], thread);
        return (abandoned ? win::kWaitAbandoned0 : win::kWaitObject0) + static_cast<uint32_t>(i);
      }
    }
    return std::nullopt;
  }

  // Ends a blocked wait with `result`; the woken thread counts as runnable
  // from here on.
  void Complete(Waiter* w, uint32_t result) {
    for (Object* o : w->objects) std::erase(o->waiters, w);
    if (w->timer) {
      timers.erase(*w->timer);
      w->timer.reset();
    }
    w->done = true;
    w->result = result;
    ++runnable;
    w->thread->wake.notify_one();
  }

  // Releases the waiters that `o` now satisfies, oldest first.
  void Propagate(Object* o) {
    std::vector<Waiter*> candidates = o->waiters;
    for (Waiter* w : candidates) {
      if (w->done) continue;
      if (auto result = TrySatisfy(w->objects, w->wait_all, w->thread)) Complete(w, *result);
    }
  }

  // Runs the virtual clock forward while nothing can run. Returns true when
  // the simulation stalled (nothing to run, nothing scheduled).
  bool Advance() {
    if (!virtual_time || shutting_down) return false;
    while (runnable == 0) {
      if (!timers.empty()) {
        auto first = timers.begin();
        now = std::max(now, first->first.first);
        Complete(first->second, win::kWaitTimeout);
        continue;
      }
      if (!quiescence_waiters.empty()) {
        for (Waiter* w : std::exchange(quiescence_waiters, {})) Complete(w, win::kWaitObject0);
        continue;
      }
      return true;
    }
    return false;
  }

  void ReportStall(std::unique_lock<std::mutex>& lock) {
    std::function<void()> handler = stall_handler;
    size_t waiting = blocked.size();
    lock.unlock();
    if (handler) {
      handler();
    } else {
      fprintf(stderr, "simulated kernel: virtual time stalled at %llu ms: %zu threads wait without a deadline\n",
              static_cast<unsigned long long>(now), waiting);
      std::abort();
    }
    lock.lock();
  }

  // Blocks the calling thread in `w` until it completes.
  uint32_t Block(std::unique_lock<std::mutex>& lock, ThreadRecord* self, Waiter& w, uint32_t milliseconds) {
    w.thread = self;
    for (Object* o : w.objects) o->waiters.push_back(&w);
    std::optional<SteadyClock::time_point> real_deadline;
    if (milliseconds != win::kInfinite) {
      if (virtual_time)
        w.timer = timers.emplace(TimerKey{now + milliseconds, sequence++}, &w);
      else
        real_deadline = SteadyClock::now() + std::chrono::milliseconds(milliseconds);
    }
    self->waiting = &w;
    blocked.push_back(self);
    --runnable;
    if (Advance()) ReportStall(lock);
    while (!w.done) {
      if (real_deadline) {
        if (self->wake.wait_until(lock, *real_deadline) == std::cv_status::timeout && !w.done)
          Complete(&w, win::kWaitTimeout);
      } else {
        self->wake.wait(lock);
      }
      // A kernel being destroyed parks its threads here for good.
      while (shutting_down) self->wake.wait(lock);
    }
    std::erase(blocked, self);
    self->waiting = nullptr;
    return w.result;
  }

  uint32_t Wait(std::span<const Handle> handles, bool wait_all, uint32_t milliseconds) {
    if (handles.empty() || handles.size() > win::kMaximumWaitObjects) {
      sim::SetLastError(win::kErrorInvalidParameter);
      return win::kWaitFailed;
    }
    std::vector<Object*> objects;
    for (const Handle& h : handles) {
      auto* o = dynamic_cast<Object*>(h.get());
      if (o == nullptr || o->state.lock().get() != this) {
        sim::SetLastError(win::kErrorInvalidHandle);
        return win::kWaitFailed;
      }
      objects.push_back(o);
    }
    std::unique_lock lock(mu);
    ThreadRecord* self = Self();
    if (auto result = TrySatisfy(objects, wait_all, self)) return *result;
    if (milliseconds == 0) return win::kWaitTimeout;
    Waiter w;
    w.objects = std::move(objects);
    w.wait_all = wait_all;
    return Block(lock, self, w, milliseconds);
  }

  // The object behind `h` if it is one of ours of kind `kind`.
  Object* Find(const Handle& h, Object::Kind kind) {
    auto* o = dynamic_cast<Object*>(h.get());
    if (o == nullptr || o->kind != kind || o->state.lock().get() != this) {
      sim::SetLastError(win::kErrorInvalidHandle);
      return nullptr;
    }
    return o;
  }

  void ThreadEnded(Object* thread_object, uint32_t exit_code) {
    std::unique_lock lock(mu);
    ThreadRecord* self = Self();
    thread_object->ended = true;
    thread_object->exit_code = exit_code;
    for (Object* m : std::exchange(self->owned_mutexes, {})) {
      m->owner = nullptr;
      m->recursion = 0;
      m->abandoned = true;
      Propagate(m);
    }
    Propagate(thread_object);
    --runnable;
    current_thread.reset();
    if (Advance()) ReportStall(lock);
  }
};

SimKernel::SimKernel(KernelOptions options) : state_(std::make_shared<State>(options)) {
  std::lock_guard lock(state_->mu);
  state_->Self();
}

SimKernel::~SimKernel() {
  std::lock_guard lock(state_->mu);
  state_->shutting_down = true;
  if (current_thread && current_thread->state == state_) {
    --state_->runnable;
    current_thread.reset();
  }
}

uint32_t SimKernel::TimeGetTime() {
  std::lock_guard lock(state_->mu);
  return state_->start_tick + static_cast<uint32_t>(state_->NowLocked());
}

LocalTime SimKernel::GetLocalTime() {
  if (!state_->virtual_time) {
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
  std::lock_guard lock(state_->mu);
  return ToLocalTime(state_->start_local + std::chrono::milliseconds(state_->now));
}

Handle SimKernel::CreateEvent(bool manual_reset, bool initial_state, const std::string& name) {
  std::lock_guard lock(state_->mu);
  if (uint32_t error = name.empty() ? state_->create_unnamed_event_error : state_->create_named_event_error) {
    sim::SetLastError(error);
    return nullptr;
  }
  if (!name.empty()) {
    if (auto existing = state_->named[name].lock()) {
      sim::SetLastError(win::kErrorAlreadyExists);
      return existing;
    }
  }
  auto event = std::make_shared<Object>(Object::Kind::kEvent, state_);
  event->manual_reset = manual_reset;
  event->signaled = initial_state;
  if (!name.empty()) state_->named[name] = event;
  sim::SetLastError(win::kErrorSuccess);
  return event;
}

bool SimKernel::SetEvent(const Handle& event) {
  std::unique_lock lock(state_->mu);
  Object* o = state_->Find(event, Object::Kind::kEvent);
  if (o == nullptr) return false;
  o->signaled = true;
  state_->Propagate(o);
  return true;
}

bool SimKernel::ResetEvent(const Handle& event) {
  std::lock_guard lock(state_->mu);
  Object* o = state_->Find(event, Object::Kind::kEvent);
  if (o == nullptr) return false;
  o->signaled = false;
  return true;
}

bool SimKernel::PulseEvent(const Handle& event) {
  std::lock_guard lock(state_->mu);
  Object* o = state_->Find(event, Object::Kind::kEvent);
  if (o == nullptr) return false;
  ++o->pulses;
  o->signaled = true;
  state_->Propagate(o);
  o->signaled = false;
  return true;
}

Handle SimKernel::CreateMutex(bool initial_owner) {
  std::lock_guard lock(state_->mu);
  auto mutex = std::make_shared<Object>(Object::Kind::kMutex, state_);
  if (initial_owner) State::Consume(*mutex, state_->Self());
  return mutex;
}

bool SimKernel::ReleaseMutex(const Handle& mutex) {
  std::lock_guard lock(state_->mu);
  Object* o = state_->Find(mutex, Object::Kind::kMutex);
  if (o == nullptr) return false;
  ThreadRecord* self = state_->Self();
  if (o->owner != self) {
    sim::SetLastError(win::kErrorNotOwner);
    return false;
  }
  if (--o->recursion == 0) {
    o->owner = nullptr;
    std::erase(self->owned_mutexes, o);
    state_->Propagate(o);
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
  std::unique_lock lock(state_->mu);
  ThreadRecord* self = state_->Self();
  if (milliseconds == 0) return;
  Waiter w;
  state_->Block(lock, self, w, milliseconds);
}

Handle SimKernel::CreateThread(ThreadProc proc, const std::string& /*name*/) {
  auto thread_object = std::make_shared<Object>(Object::Kind::kThread, state_);
  {
    std::lock_guard lock(state_->mu);
    if (state_->shutting_down || state_->create_thread_error != 0) {
      sim::SetLastError(state_->shutting_down ? win::kErrorNotEnoughMemory : state_->create_thread_error);
      return nullptr;
    }
    // Counted before it exists, so time cannot move before it first runs.
    ++state_->runnable;
  }
  std::shared_ptr<State> state = state_;
  try {
    std::thread([state, thread_object, proc = std::move(proc)]() mutable {
      {
        std::lock_guard lock(state->mu);
        current_thread = std::make_unique<ThreadRecord>();
        current_thread->state = state;
      }
      uint32_t exit_code = proc();
      proc = nullptr;  // what the procedure captured goes before anyone sees the end
      state->ThreadEnded(thread_object.get(), exit_code);
    }).detach();
  } catch (const std::system_error&) {
    std::lock_guard lock(state_->mu);
    --state_->runnable;
    sim::SetLastError(win::kErrorNotEnoughMemory);
    return nullptr;
  }
  return thread_object;
}

bool SimKernel::GetExitCodeThread(const Handle& thread, uint32_t* exit_code) {
  std::lock_guard lock(state_->mu);
  Object* o = state_->Find(thread, Object::Kind::kThread);
  if (o == nullptr) return false;
  *exit_code = o->exit_code;
  return true;
}

uint32_t SimKernel::GetLastError() { return sim::GetLastError(); }
void SimKernel::SetLastError(uint32_t error) { sim::SetLastError(error); }

bool SimKernel::virtual_time() const { return state_->virtual_time; }

uint64_t SimKernel::ElapsedMs() {
  std::lock_guard lock(state_->mu);
  return state_->NowLocked();
}

bool SimKernel::RunUntilQuiescent() {
  if (!state_->virtual_time) return false;
  std::unique_lock lock(state_->mu);
  ThreadRecord* self = state_->Self();
  Waiter w;
  w.quiescence = true;
  state_->quiescence_waiters.push_back(&w);
  state_->Block(lock, self, w, win::kInfinite);
  return true;
}

void SimKernel::SetStallHandler(std::function<void()> handler) {
  std::lock_guard lock(state_->mu);
  state_->stall_handler = std::move(handler);
}

void SimKernel::FailCreateThread(uint32_t error) {
  std::lock_guard lock(state_->mu);
  state_->create_thread_error = error;
}

void SimKernel::FailCreateNamedEvent(uint32_t error) {
  std::lock_guard lock(state_->mu);
  state_->create_named_event_error = error;
}

void SimKernel::FailCreateUnnamedEvent(uint32_t error) {
  std::lock_guard lock(state_->mu);
  state_->create_unnamed_event_error = error;
}

uint64_t SimKernel::PulseCount(const Handle& event) {
  std::lock_guard lock(state_->mu);
  Object* o = state_->Find(event, Object::Kind::kEvent);
  return o ? o->pulses : 0;
}

}  // namespace fenra::sim
