#include "platform/sim/sim_kernel.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/sim/deadline_heap.h"
#include "platform/sim/fiber.h"
#include "platform/sim/last_error.h"
#include "platform/sim/thread_locals.h"

namespace fenra::sim {
namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr uint64_t kNever = UINT64_MAX;

std::atomic<uint64_t> next_kernel_id{1};

struct Waiter;
struct ThreadRecord;
struct ProcessRecord;

struct Object final : KernelObject, std::enable_shared_from_this<Object> {
  enum class Kind { kEvent, kMutex, kThread, kProcess };
  Object(Kind k, uint64_t kernel, uint64_t serial, std::string n)
      : kind(k), kernel_id(kernel), id(serial), name(std::move(n)) {}

  const Kind kind;
  const uint64_t kernel_id;
  const uint64_t id;
  const std::string name;
  // Event.
  bool manual_reset = true;
  bool signaled = false;
  uint64_t pulses = 0;
  // Mutex.
  ThreadRecord* owner = nullptr;
  uint32_t recursion = 0;
  bool abandoned = false;
  // Thread or process.
  bool ended = false;
  uint32_t exit_code = win::kStillActive;
  std::weak_ptr<ProcessRecord> process;  // a process object's record
  // Waits blocked on this object, in the order they began.
  std::vector<Waiter*> waiters;

  std::string Label() const {
    static const char* const kinds[] = {"event", "mutex", "thread", "process"};
    std::string label = kinds[static_cast<int>(kind)];
    if (!name.empty()) return label + " '" + name + "'";
    return label + " #" + std::to_string(id);
  }
};

struct ScheduledInput;

// A wait's time-out, or a scheduled input (exactly one of the two).
struct Timer : Deadline {
  Waiter* waiter = nullptr;
  ScheduledInput* input = nullptr;  // owned by the kernel while queued
};

struct ScheduledInput {
  Timer timer;
  std::function<void()> task;
  std::string name;
};

// One blocking call. It lives on the waiting thread's stack and allocates
// nothing for a wait on one object.
struct Waiter {
  explicit Waiter(ThreadRecord* t = nullptr) : thread(t) { timer.waiter = this; }
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  std::span<Object* const> objects() const { return {slots.data(), count}; }

  ThreadRecord* thread;
  std::array<Object*, win::kMaximumWaitObjects> slots;  // the first `count` are set
  size_t count = 0;
  // A blocked wait keeps its objects alive: a handle may be closed (the
  // caller's variable reassigned) while a thread still waits on it.
  Handle reference;                   // a wait on one object
  std::vector<Handle> more_references;  // the others of a wait on several
  bool wait_all = false;
  bool quiescence = false;  // waits for the simulation to go idle
  bool done = false;
  uint32_t result = win::kWaitFailed;
  Timer timer;  // queued while the wait has a deadline
};

struct ProcessRecord {
  uint64_t id = 0;
  std::string name;
  std::shared_ptr<Object> object;
  std::shared_ptr<void> state;
  std::vector<ThreadRecord*> threads;  // neither ended nor parked
  ThreadRecord* main = nullptr;        // while it runs
  bool ended = false;
  uint32_t exit_code = 0;
};

struct ThreadRecord {
  uint64_t id = 0;
  std::string name;
  std::shared_ptr<ProcessRecord> process;
  std::shared_ptr<Object> object;  // empty for an outside thread
  Waiter* waiting = nullptr;
  // Kept alive while owned: the last handle may be closed by then.
  std::vector<std::shared_ptr<Object>> owned_mutexes;
  bool outside = false;  // attached, not created by the kernel
  ThreadLocals locals;   // a fiber's; OS threads use their own
  bool parked = false;
  // Real time.
  std::condition_variable wake;
  std::shared_ptr<SimKernel::State> keep;  // the kernel outlives its OS threads
  // Virtual time.
  std::unique_ptr<Fiber> fiber;  // empty for an outside thread
  bool ready = false;
  ThreadRecord* next_ready = nullptr;  // behind it in the ready queue
  uint64_t calls = 0;               // kernel calls since it last blocked
  uint64_t timeout_epoch = kNever;  // epoch when its last wait timed out
  uint64_t idle_epoch = kNever;     // epoch at which it was last seen idling

  std::string Label() const {
    std::string label = "'" + name + "'";
    if (process) label += " of process '" + process->name + "' #" + std::to_string(process->id);
    return label;
  }
};

// The threads ready to run on virtual time, first come first served. A
// thread is linked through its own record: queueing allocates nothing.
class ReadyQueue {
 public:
  bool empty() const { return head_ == nullptr; }
  void Push(ThreadRecord* t) {
    t->ready = true;
    t->next_ready = nullptr;
    (tail_ ? tail_->next_ready : head_) = t;
    tail_ = t;
  }
  ThreadRecord* Pop() {
    ThreadRecord* t = head_;
    head_ = t->next_ready;
    if (head_ == nullptr) tail_ = nullptr;
    t->ready = false;
    t->next_ready = nullptr;
    return t;
  }
  void Remove(ThreadRecord* t) {
    ThreadRecord* before = nullptr;
    for (ThreadRecord* at = head_; at != nullptr; before = at, at = at->next_ready) {
      if (at != t) continue;
      (before ? before->next_ready : head_) = t->next_ready;
      if (tail_ == t) tail_ = before;
      t->ready = false;
      t->next_ready = nullptr;
      return;
    }
  }

 private:
  ThreadRecord* head_ = nullptr;
  ThreadRecord* tail_ = nullptr;
};

// The kernel threads of the calling OS thread: the fiber it runs now (virtual
// time), and its attachments to kernels as an outside or kernel-created
// thread.
thread_local ThreadRecord* running_fiber = nullptr;
thread_local SimKernel::State* running_fiber_kernel = nullptr;

struct OsThreadAttachments {
  struct Entry {
    SimKernel::State* kernel;
    ThreadRecord* record;
    std::unique_ptr<ThreadRecord> owned;  // implicit attachments (real time)
  };
  std::vector<Entry> entries;
  ~OsThreadAttachments();
};
thread_local OsThreadAttachments attachments;
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

[[noreturn]] void Fatal(const std::string& message) {
  fprintf(stderr, "simulated kernel: %s\n", message.c_str());
  fflush(stderr);
  std::abort();
}

}  // namespace

struct SimKernel::State : std::enable_shared_from_this<SimKernel::State> {
  using Lock = std::unique_lock<std::mutex>;

  explicit State(const KernelOptions& o)
      : options(o),
        virtual_time(o.virtual_time),
        kernel_id(next_kernel_id++),
        start_local(FromLocalTime(o.start_local_time)),
        real_start(SteadyClock::now()) {}

  ~State() { DropInputs(); }

  std::mutex mu;
  const KernelOptions options;
  const bool virtual_time;
  const uint64_t kernel_id;
  const std::chrono::local_time<std::chrono::milliseconds> start_local;
  const SteadyClock::time_point real_start;

  uint64_t serial = 0;  // ids of objects, threads and processes
  DeadlineHeap<Timer> timers;
  std::vector<ThreadRecord*> threads;  // every live thread, for reports
  std::map<std::string, std::weak_ptr<Object>> named;
  std::function<void(const std::string&)> stall_handler;
  SimKernel::PulseObserver pulse_observer;
  bool shutting_down = false;
  uint32_t create_thread_error = 0;
  // One creation to fail: the `countdown`-th from when it was set, among
  // the threads named `name` (among all when empty).
  struct ThreadCreationFault {
    uint64_t countdown = 0;  // 0: none pending
    std::string name;
    uint32_t error = 0;
  } thread_creation_fault;
  uint32_t create_named_event_error = 0;
  uint32_t create_unnamed_event_error = 0;

  // Virtual time.
  uint64_t now = 0;  // milliseconds since the start
  ReadyQueue ready;
  ThreadRecord* host = nullptr;  // the attached outside thread
  std::unique_ptr<Fiber::Host> host_context;
  std::thread::id host_os_thread;
  size_t pending_tasks = 0;
  uint64_t epoch = 0;  // counts what the kernel sees happen, for idling
  uint64_t wake_ups = 0;  // fibers resumed
  std::vector<std::unique_ptr<ThreadRecord>> fibers;  // records of live fibers
  std::vector<std::unique_ptr<ThreadRecord>> parked_fibers;
  std::vector<std::shared_ptr<void>> releases;  // process states to drop unlocked

  // Real time.
  std::condition_variable parked_changed;
  int real_threads_running = 0;  // kernel-created OS threads not parked or ended

  uint64_t NowLocked() const {
    if (virtual_time) return now;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - real_start).count());
  }

  // ---- Threads and their identity ----

  // The calling thread's record, or nullptr for an unattached outside thread
  // on virtual time. On real time an outside thread is attached here.
  ThreadRecord* Self() {
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

  std::unique_ptr<ThreadRecord> NewRecord(const std::string& name, std::shared_ptr<ProcessRecord> process) {
    auto record = std::make_unique<ThreadRecord>();
    record->id = ++serial;
    record->name = name.empty() ? "thread #" + std::to_string(record->id) : name;
    record->process = std::move(process);
    if (record->process) record->process->threads.push_back(record.get());
    return record;
  }

  // Every kernel call of a managed thread passes here. A thread whose
  // process has ended is parked; on virtual time a thread that never blocks
  // is reported.
  ThreadRecord* Enter(Lock& lock) {
    ThreadRecord* self = running_fiber_kernel == this ? running_fiber : Self();
    if (self == nullptr) return nullptr;
    if (MustPark(self)) ParkSelf(lock, self);
    if (virtual_time && ++self->calls > options.poll_limit) {
      std::string report = "thread " + self->Label() + " made " + std::to_string(self->calls) +
                           " kernel calls without ever blocking at " + std::to_string(now) +
                           " ms: it polls and freezes the virtual clock\n" + Describe();
      lock.unlock();
      Fatal(report);
    }
    return self;
  }

  void Progress() { ++epoch; }

  // Forgets every deadline; the scheduled inputs are deleted unrun.
  void DropInputs() {
    std::vector<ScheduledInput*> inputs;
    for (const Timer* timer : timers.entries())
      if (timer->input != nullptr) inputs.push_back(timer->input);
    timers.Clear();
    for (ScheduledInput* input : inputs) delete input;
  }

  // ---- Objects and waits ----

  std::shared_ptr<Object> NewObject(Object::Kind kind, const std::string& name = {}) {
    return std::make_shared<Object>(kind, kernel_id, ++serial, name);
  }

  static bool IsSignaled(const Object& o, const ThreadRecord* thread) {
    switch (o.kind) {
      case Object::Kind::kEvent: return o.signaled;
      case Object::Kind::kMutex: return o.owner == nullptr || o.owner == thread;
      case Object::Kind::kThread:
      case Object::Kind::kProcess: return o.ended;
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
      thread->owned_mutexes.push_back(o.shared_from_this());
    }
    ++o.recursion;
    return std::exchange(o.abandoned, false);
  }

  // The wait result if the wait can be satisfied now (and then consumes),
  // else nothing.
  static std::optional<uint32_t> TrySatisfy(std::span<Object* const> objects, bool wait_all,
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

  // Takes a wait off its objects and its deadline; a wait taken off already
  // (completed, then parked) stays off.
  void Unregister(Waiter* w) {
    for (Object* o : w->objects()) {
      auto it = std::find(o->waiters.begin(), o->waiters.end(), w);
      if (it != o->waiters.end()) o->waiters.erase(it);
    }
    timers.Remove(&w->timer);
  }

  void MakeReady(ThreadRecord* t) {
    if (virtual_time) {
      if (!t->ready) ready.Push(t);
    } else {
      t->wake.notify_one();
    }
  }

  // Ends a blocked wait with `result`; the woken thread is ready from here on.
  void Complete(Waiter* w, uint32_t result) {
    Unregister(w);
    w->done = true;
    w->result = result;
    if (result == win::kWaitTimeout)
      w->thread->timeout_epoch = epoch;
    else if (!w->quiescence)
      Progress();
    MakeReady(w->thread);
  }

  // Releases the waiters that `o` now satisfies, oldest first. A released
  // waiter leaves o->waiters (Complete unregisters it), and nothing joins it
  // meanwhile.
  void Propagate(Object* o) {
    for (size_t i = 0; i < o->waiters.size();) {
      Waiter* w = o->waiters[i];
      if (auto result = TrySatisfy(w->objects(), w->wait_all, w->thread))
        Complete(w, *result);
      else
        ++i;
    }
  }

  // This kernel's object behind `h`, or nullptr (an empty handle, another
  // kernel's or another port's object).
  Object* ObjectOf(const Handle& h) const {
    KernelObject* k = h.get();
    if (k == nullptr || typeid(*k) != typeid(Object)) return nullptr;
    auto* o = static_cast<Object*>(k);
    return o->kernel_id == kernel_id ? o : nullptr;
  }

  Object* Find(const Handle& h, Object::Kind kind) {
    Object* o = ObjectOf(h);
    if (o == nullptr || o->kind != kind) {
      sim::SetLastError(win::kErrorInvalidHandle);
      return nullptr;
    }
    return o;
  }

  uint32_t Wait(std::span<const Handle> handles, bool wait_all, uint32_t milliseconds) {
    if (handles.empty() || handles.size() > win::kMaximumWaitObjects) {
      sim::SetLastError(win::kErrorInvalidParameter);
      return win::kWaitFailed;
    }
    Waiter w;
    for (Object*& slot : std::span(w.slots.data(), handles.size())) {
      Object* o = ObjectOf(handles[w.count]);
      if (o == nullptr) {
        sim::SetLastError(win::kErrorInvalidHandle);
        return win::kWaitFailed;
      }
      // The same object twice is refused, as Windows refuses it.
      if (std::find(w.slots.data(), &slot, o) != &slot) {
        sim::SetLastError(win::kErrorInvalidParameter);
        return win::kWaitFailed;
      }
      slot = o;
      ++w.count;
    }
    const std::span<Object* const> objects = w.objects();
    Lock lock(mu);
    ThreadRecord* self = Enter(lock);
    if (self == nullptr) {
      // Virtual time, not attached: only a wait that need not block can be
      // answered.
      ThreadRecord stranger;
      if (auto result = TrySatisfy(objects, wait_all, &stranger)) {
        if (!stranger.owned_mutexes.empty()) UnattachedBlock(lock, "take a mutex");
        return *result;
      }
      if (milliseconds == 0) return win::kWaitTimeout;
      UnattachedBlock(lock, "wait");
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

  [[noreturn]] void UnattachedBlock(Lock& lock, const char* what) {
    std::string report = std::string("a thread that is not attached tried to ") + what +
                         " on virtual time; attach it with SimKernel::Attach() first\n" + Describe();
    lock.unlock();
    Fatal(report);
  }

  // Blocks the calling thread in `w` until it completes.
  [[gnu::always_inline]] uint32_t Block(Lock& lock, ThreadRecord* self, Waiter& w, uint32_t milliseconds) {
    for (Object* o : w.objects()) o->waiters.push_back(&w);
    self->waiting = &w;
    if (virtual_time) {
      if (milliseconds != win::kInfinite) timers.Push(&w.timer, now + milliseconds);
      // A wait that follows a time-out with nothing seen in between idles.
      self->idle_epoch = self->timeout_epoch == epoch ? epoch : kNever;
      self->timeout_epoch = kNever;
      self->calls = 0;
      SwitchAway(lock, self);
    } else {
      BlockReal(lock, self, w, milliseconds);
    }
    self->waiting = nullptr;
    return w.result;
  }

  // ---- Real time ----

  void BlockReal(Lock& lock, ThreadRecord* self, Waiter& w, uint32_t milliseconds) {
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
      if (deadline)
        self->wake.wait_until(lock, *deadline);
      else
        self->wake.wait(lock);
    }
  }

  bool MustPark(const ThreadRecord* t) const {
    return t->parked || (t->process && t->process->ended) || (shutting_down && !t->outside);
  }

  // ---- Virtual time: the run token ----

  // The calling thread gives up the processor until it is ready again and its
  // turn has come.
  [[gnu::always_inline]] void SwitchAway(Lock& lock, ThreadRecord* self) {
    if (self->fiber)
      ToHost(self);  // the host already made this thread the running one
    else
      RunHost(lock, self);
  }

  // The switches between the host and a fiber, made under the kernel's lock
  // and returning under it. The lock goes with the processor: the OS thread
  // keeps it across the switch, so a wake-up takes it once (in the kernel
  // call that blocks and returns). Under ThreadSanitizer, which sees each
  // fiber as a thread of its own, it is released and taken again instead.
  [[gnu::always_inline]] void ToHost(ThreadRecord* self) {
    if constexpr (!Fiber::kLockFollowsSwitch) mu.unlock();
    self->fiber->Suspend();
    if constexpr (!Fiber::kLockFollowsSwitch) mu.lock();
  }
  [[gnu::always_inline]] void ToFiber(ThreadRecord* t) {
    if constexpr (!Fiber::kLockFollowsSwitch) mu.unlock();
    t->fiber->Resume(*host_context);
    if constexpr (!Fiber::kLockFollowsSwitch) mu.lock();
  }

  // The driving outside thread runs the simulation until its own turn comes.
  void RunHost(Lock& lock, ThreadRecord* me) {
    if (std::this_thread::get_id() != host_os_thread) Fatal("a virtual-time kernel is driven from another OS thread");
    for (;;) {
      if (ready.empty()) {
        Advance(lock, me);
        continue;
      }
      ThreadRecord* next = ready.Pop();
      if (next == me) return;
      RunFiber(lock, next);
    }
  }

  [[gnu::always_inline]] void RunFiber(Lock& lock, ThreadRecord* t) {
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
    if (!releases.empty()) DropReleases(lock);
  }

  // Drops the states of ended processes outside the lock: their destructors
  // may call the kernel.
  void DropReleases(Lock& lock) {
    while (!releases.empty()) {
      auto dropped = std::exchange(releases, {});
      lock.unlock();
      dropped.clear();
      lock.lock();
    }
  }

  // Nothing is ready: move the clock to the next deadline, or end a wait for
  // quiescence, or report a stall.
  void Advance(Lock& lock, ThreadRecord* me) {
    Waiter* mine = me->waiting;
    const bool my_wait_is_endless = mine == nullptr || mine->quiescence || !mine->timer.queued();
    if (my_wait_is_endless && Quiescent(mine)) {
      if (mine != nullptr && mine->quiescence && !mine->done) {
        Complete(mine, win::kWaitObject0);
        return;
      }
      Stall(lock);
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

  // `mine` is the driving thread's own wait, whose limit does not count.
  bool Quiescent(const Waiter* mine) const {
    if (pending_tasks != 0) return false;
    for (const Timer* timer : timers.entries())
      if (timer->waiter != nullptr && timer->waiter != mine && timer->waiter->thread->idle_epoch != epoch) return false;
    return true;
  }

  void Stall(Lock& lock) {
    std::string report = "virtual time stalled at " + std::to_string(now) +
                         " ms: nothing is ready, nothing is scheduled, and every thread waits without a "
                         "deadline or only idles\n" +
                         Describe();
    auto handler = stall_handler;
    uint64_t before = epoch;
    if (!handler) {
      lock.unlock();
      Fatal(report);
    }
    lock.unlock();
    handler(report);
    lock.lock();
    if (ready.empty() && epoch == before) {
      lock.unlock();
      Fatal(report + "(the stall handler did not rescue the run)");
    }
  }

  // Creates a fiber thread and makes it ready.
  ThreadRecord* StartFiber(std::function<uint32_t()> proc, const std::string& name,
                           std::shared_ptr<ProcessRecord> process, std::shared_ptr<Object> object = nullptr) {
    auto record = NewRecord(name, std::move(process));
    ThreadRecord* t = record.get();
    t->object = std::move(object);
    t->fiber = std::make_unique<Fiber>(
        [this, t, proc = std::move(proc)]() mutable {
          // The first switch into the fiber handed the kernel's lock over.
          if constexpr (Fiber::kLockFollowsSwitch) mu.unlock();
          uint32_t exit_code = proc();
          proc = nullptr;  // what the procedure captured goes before anyone sees the end
          Lock lock(mu);
          ThreadEnded(lock, t, exit_code);
          // The fiber's last switch (to the host) hands the lock over.
          if constexpr (Fiber::kLockFollowsSwitch) lock.release();
        },
        options.stack_size);
    threads.push_back(t);
    fibers.push_back(std::move(record));
    Progress();
    MakeReady(t);
    return t;
  }

  // The thread of a scheduled input.
  ThreadRecord* StartTask(std::function<void()> task, const std::string& name) {
    return StartFiber(
        [task = std::move(task)]() mutable {
          task();
          return 0u;
        },
        name, std::shared_ptr<ProcessRecord>());
  }

  // Creates a thread of `process` (none for the threads of outside threads
  // and of scheduled inputs). Real time: an OS thread; virtual time: a fiber.
  std::pair<Handle, ThreadRecord*> Spawn(std::function<uint32_t()> proc, const std::string& name,
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
          ThreadEnded(lock, self, exit_code);
        }
        std::erase_if(attachments.entries, [self](const auto& e) { return e.record == self; });
        // `record` keeps the kernel's state alive until here.
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

  // ---- Ends of threads and processes ----

  void AbandonMutexes(ThreadRecord* t) {
    for (const std::shared_ptr<Object>& m : std::exchange(t->owned_mutexes, {})) {
      m->owner = nullptr;
      m->recursion = 0;
      m->abandoned = true;
      Propagate(m.get());
    }
  }

  void SignalEnd(Object* o, uint32_t exit_code) {
    if (o == nullptr || o->ended) return;
    o->ended = true;
    o->exit_code = exit_code;
    Propagate(o);
  }

  // Takes `t` out of its process's live threads; the process's state goes
  // once none is left.
  void LeaveProcess(ThreadRecord* t) {
    if (!t->process) return;
    ProcessRecord& p = *t->process;
    std::erase(p.threads, t);
    if (p.ended && p.threads.empty()) ProcessGone(p);
  }

  // The last thread of an ended process is gone: only now is the process
  // signalled, so that whatever a thread of it wrote on its way to its next
  // kernel call lands before the end, never after.
  void ProcessGone(ProcessRecord& p) {
    SignalEnd(p.object.get(), p.exit_code);
    if (p.state) releases.push_back(std::move(p.state));
  }

  void ThreadEnded(Lock& lock, ThreadRecord* t, uint32_t exit_code) {
    Progress();
    AbandonMutexes(t);
    SignalEnd(t->object.get(), exit_code);
    std::shared_ptr<ProcessRecord> process = t->process;
    LeaveProcess(t);
    if (process && process->main == t) EndProcess(*process, exit_code);
    if (!virtual_time) {
      // Real time: the states of processes are dropped here, unlocked.
      DropReleases(lock);
      std::erase(threads, t);
      --real_threads_running;
      parked_changed.notify_all();
    }
  }

  void EndProcess(ProcessRecord& p, uint32_t exit_code) {
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

  // Virtual time: takes a thread that is blocked or ready out of the
  // simulation for good.
  void Park(ThreadRecord* t, uint32_t exit_code) {
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

  // The calling thread stops here for good.
  [[noreturn]] void ParkSelf(Lock& lock, ThreadRecord* self) {
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
    DropReleases(lock);  // before Shutdown can see this thread gone
    std::erase(threads, self);
    --real_threads_running;
    parked_changed.notify_all();
    for (;;) self->wake.wait(lock);
  }

  std::string Describe() {
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
};

OsThreadAttachments::~OsThreadAttachments() {
  for (auto& entry : entries) {
    if (!entry.owned) continue;
    SimKernel::State* state = entry.kernel;
    std::shared_ptr<SimKernel::State> keep = entry.owned->keep;
    std::lock_guard lock(state->mu);
    state->AbandonMutexes(entry.owned.get());
    std::erase(state->threads, entry.owned.get());
    entry.owned.reset();
  }
}

ThreadLocals& CurrentThreadLocals() { return running_fiber ? running_fiber->locals : os_thread_locals; }

SimKernel::SimKernel(KernelOptions options) : state_(std::make_shared<State>(options)) {}

SimKernel::~SimKernel() { Shutdown(); }

void SimKernel::Shutdown() {
  State& s = *state_;
  std::unique_lock lock(s.mu);
  if (s.shutting_down) return;
  s.shutting_down = true;
  if (s.virtual_time) {
    for (ThreadRecord* t : std::vector<ThreadRecord*>(s.threads))
      if (t->fiber) s.Park(t, win::kErrorSuccess);
    s.DropInputs();
    s.pending_tasks = 0;
    s.DropReleases(lock);
    return;
  }
  for (ThreadRecord* t : s.threads) t->wake.notify_one();
  // Threads running outside the kernel park at their next call.
  s.parked_changed.wait_for(lock, std::chrono::seconds(5), [&] {
    return std::none_of(s.threads.begin(), s.threads.end(),
                        [&](ThreadRecord* t) { return !t->outside && !t->parked; });
  });
}

SimKernel::Attachment::Attachment(Attachment&& other) noexcept : record_(std::exchange(other.record_, nullptr)) {}

SimKernel::Attachment::~Attachment() {
  auto* record = static_cast<ThreadRecord*>(record_);
  if (record == nullptr) return;
  std::shared_ptr<State> state = record->keep;
  std::unique_lock lock(state->mu);
  state->AbandonMutexes(record);
  std::erase(state->threads, record);
  std::erase_if(attachments.entries, [&](const auto& e) { return e.record == record; });
  if (state->host == record) {
    state->host = nullptr;
    state->host_context.reset();
  }
  delete record;
}

SimKernel::Attachment SimKernel::Attach(const std::string& name) {
  State& s = *state_;
  std::lock_guard lock(s.mu);
  for (auto& entry : attachments.entries)
    if (entry.kernel == &s) Fatal("thread '" + name + "' is attached twice");
  if (running_fiber != nullptr) Fatal("a simulated thread cannot attach as an outside thread");
  if (s.virtual_time && s.host != nullptr)
    Fatal("thread '" + name + "' cannot attach: the virtual-time kernel is driven by " + s.host->Label());
  auto record = s.NewRecord(name, nullptr);
  record->outside = true;
  record->keep = state_;
  ThreadRecord* raw = record.release();
  s.threads.push_back(raw);
  attachments.entries.push_back({&s, raw, nullptr});
  if (s.virtual_time) {
    s.host = raw;
    s.host_context = std::make_unique<Fiber::Host>();
    s.host_os_thread = std::this_thread::get_id();
  }
  return Attachment(raw);
}

uint32_t SimKernel::TimeGetTime() {
  std::unique_lock lock(state_->mu);
  state_->Enter(lock);
  state_->Progress();
  return state_->options.start_tick + static_cast<uint32_t>(state_->NowLocked());
}

LocalTime SimKernel::GetLocalTime() {
  if (!state_->virtual_time) return RealLocalTime();
  std::unique_lock lock(state_->mu);
  state_->Enter(lock);
  state_->Progress();
  return ToLocalTime(state_->start_local + std::chrono::milliseconds(state_->now));
}

Handle SimKernel::CreateEvent(bool manual_reset, bool initial_state, const std::string& name) {
  State& s = *state_;
  std::unique_lock lock(s.mu);
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
  std::unique_lock lock(s.mu);
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
  std::unique_lock lock(s.mu);
  s.Enter(lock);
  Object* o = s.Find(event, Object::Kind::kEvent);
  if (o == nullptr) return false;
  if (o->signaled) s.Progress();
  o->signaled = false;
  return true;
}

bool SimKernel::PulseEvent(const Handle& event) {
  State& s = *state_;
  std::unique_lock lock(s.mu);
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
  std::unique_lock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  auto mutex = s.NewObject(Object::Kind::kMutex);
  if (initial_owner) {
    if (self == nullptr) s.UnattachedBlock(lock, "own a mutex");
    State::Consume(*mutex, self);
  }
  return mutex;
}

bool SimKernel::ReleaseMutex(const Handle& mutex) {
  State& s = *state_;
  std::unique_lock lock(s.mu);
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
  std::unique_lock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  if (self == nullptr) {
    if (milliseconds == 0) return;
    s.UnattachedBlock(lock, "sleep");
  }
  if (milliseconds == 0) {
    // Let the threads that are ready run first.
    if (s.virtual_time && !s.ready.empty()) {
      s.MakeReady(self);
      s.SwitchAway(lock, self);
    }
    return;
  }
  Waiter w(self);
  s.Block(lock, self, w, milliseconds);
}

Handle SimKernel::CreateThread(ThreadProc proc, const std::string& name) {
  State& s = *state_;
  std::unique_lock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  return s.Spawn(std::move(proc), name, self ? self->process : nullptr).first;
}

bool SimKernel::GetExitCodeThread(const Handle& thread, uint32_t* exit_code) {
  std::unique_lock lock(state_->mu);
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
  std::unique_lock lock(s.mu);
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
  std::unique_lock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  Object* o = s.Find(process, Object::Kind::kProcess);
  if (o == nullptr) return false;
  std::shared_ptr<ProcessRecord> record = o->process.lock();
  if (record && !record->ended) s.EndProcess(*record, exit_code);
  if (!s.virtual_time || self == nullptr || !self->fiber) s.DropReleases(lock);
  // A thread that terminates its own process goes with it.
  if (self != nullptr && record && self->process == record) s.ParkSelf(lock, self);
  return true;
}

bool SimKernel::GetExitCodeProcess(const Handle& process, uint32_t* exit_code) {
  std::unique_lock lock(state_->mu);
  state_->Enter(lock);
  Object* o = state_->Find(process, Object::Kind::kProcess);
  if (o == nullptr) return false;
  *exit_code = o->exit_code;
  return true;
}

bool SimKernel::CurrentProcessEnded() {
  std::lock_guard lock(state_->mu);
  ThreadRecord* self = state_->Self();
  return self != nullptr && self->process && self->process->ended;
}

void SimKernel::At(uint64_t at_ms, std::function<void()> fn, const std::string& name) {
  State& s = *state_;
  std::unique_lock lock(s.mu);
  s.Enter(lock);
  if (s.virtual_time) {
    auto* input = new ScheduledInput{{}, std::move(fn), name};
    input->timer.input = input;
    s.timers.Push(&input->timer, std::max(at_ms, s.now));
    ++s.pending_tasks;
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
  std::unique_lock lock(s.mu);
  ThreadRecord* self = s.Enter(lock);
  if (self == nullptr) s.UnattachedBlock(lock, "run until quiescent");
  Waiter w(self);
  w.quiescence = true;
  if (limit_ms != UINT64_MAX) {
    // The limit is a deadline of the same wait: whichever comes first.
    self->waiting = &w;
    s.timers.Push(&w.timer, std::max(limit_ms, s.now));
    self->calls = 0;
    s.SwitchAway(lock, self);
    self->waiting = nullptr;
    return w.result == win::kWaitObject0;
  }
  return s.Block(lock, self, w, win::kInfinite) == win::kWaitObject0;
}

void SimKernel::NoteActivity() {
  std::lock_guard lock(state_->mu);
  state_->Progress();
}

bool SimKernel::virtual_time() const { return state_->virtual_time; }

uint64_t SimKernel::ElapsedMs() {
  std::lock_guard lock(state_->mu);
  return state_->NowLocked();
}

void SimKernel::SetStallHandler(std::function<void(const std::string&)> handler) {
  std::lock_guard lock(state_->mu);
  state_->stall_handler = std::move(handler);
}

uint64_t SimKernel::WakeUps() {
  std::lock_guard lock(state_->mu);
  return state_->wake_ups;
}

std::string SimKernel::DescribeThreads() {
  std::lock_guard lock(state_->mu);
  return state_->Describe();
}

void SimKernel::FailCreateThread(uint32_t error) {
  std::lock_guard lock(state_->mu);
  state_->create_thread_error = error;
}

void SimKernel::FailThreadCreation(uint64_t nth, uint32_t error, const std::string& name) {
  std::lock_guard lock(state_->mu);
  state_->thread_creation_fault = {nth, name, error};
}

void SimKernel::FailCreateNamedEvent(uint32_t error) {
  std::lock_guard lock(state_->mu);
  state_->create_named_event_error = error;
}

void SimKernel::FailCreateUnnamedEvent(uint32_t error) {
  std::lock_guard lock(state_->mu);
  state_->create_unnamed_event_error = error;
}

void SimKernel::SetPulseObserver(PulseObserver observer) {
  std::lock_guard lock(state_->mu);
  state_->pulse_observer = std::move(observer);
}

uint64_t SimKernel::PulseCount(const Handle& event) {
  std::lock_guard lock(state_->mu);
  Object* o = state_->Find(event, Object::Kind::kEvent);
  return o ? o->pulses : 0;
}

}  // namespace fenra::sim
