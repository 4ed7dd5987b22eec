#pragma once
// The records of the simulated kernel (objects, waits, deadlines, threads,
// processes) and what its three parts share: the one lock, the options, the
// list of live threads and the count of what happened. The parts stand on
// one another, each a base of the next: the waitable objects
// (sim_waitables.h), the scheduler (sim_scheduler.h) and the processes
// (sim_processes.h); SimKernel::State is the last. Their functions are
// defined in the headers, inline: the kernel is one translation unit
// (sim_kernel.cpp), so that the wake-up path is compiled as a whole.
// Everything here is touched under the kernel's lock only, unless a
// comment says otherwise.

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/kernel.h"
#include "platform/sim/deadline_heap.h"
#include "platform/sim/fiber.h"
#include "platform/sim/sim_kernel.h"
#include "platform/sim/thread_locals.h"
#include "support/thread_annotations.h"

namespace fenra::sim::kernel_parts {

inline constexpr uint64_t kNever = UINT64_MAX;

struct Waiter;
struct ThreadRecord;
struct ProcessRecord;
class KernelCore;
class Processes;

// Prints `message` and aborts: the simulation is in a state no test may go on from.
[[noreturn]] void Fatal(const std::string& message);

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
  std::shared_ptr<KernelCore> keep;  // the kernel outlives its OS threads
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
  ThreadRecord* front() const { return head_; }
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

// The kernel threads of the calling OS thread: the fiber it runs now
// (virtual time), and its attachments to kernels as an outside or
// kernel-created thread. (constinit: no lazy initialisation on every use.)
extern thread_local constinit ThreadRecord* running_fiber;
extern thread_local constinit KernelCore* running_fiber_kernel;

struct OsThreadAttachments {
  struct Entry {
    Processes* kernel;
    ThreadRecord* record;
    std::unique_ptr<ThreadRecord> owned;  // implicit attachments (real time)
  };
  std::vector<Entry> entries;
  ~OsThreadAttachments();
};
extern thread_local OsThreadAttachments attachments;

// What the three parts share.
class KernelCore : public std::enable_shared_from_this<KernelCore> {
 public:
  using Lock = UniqueMutexLock;
  using SteadyClock = std::chrono::steady_clock;

  explicit KernelCore(const KernelOptions& o);

  // The kernel's one lock. On virtual time it goes with the processor (see
  // Scheduler::ToHost).
  Mutex mu;
  const KernelOptions options;
  const bool virtual_time;
  const uint64_t kernel_id;
  const std::chrono::local_time<std::chrono::milliseconds> start_local;
  const SteadyClock::time_point real_start;

  uint64_t serial FENRA_GUARDED_BY(mu) = 0;  // ids of objects, threads and processes
  std::vector<ThreadRecord*> threads FENRA_GUARDED_BY(mu);  // every live thread, for reports
  bool shutting_down FENRA_GUARDED_BY(mu) = false;
  // Counts what the kernel sees happen (virtual time: for idling).
  uint64_t epoch FENRA_GUARDED_BY(mu) = 0;
  // Process states to drop unlocked.
  std::vector<std::shared_ptr<void>> releases FENRA_GUARDED_BY(mu);

  void Progress() FENRA_REQUIRES(mu) { ++epoch; }

  // Drops the states of ended processes outside the lock: their destructors
  // may call the kernel.
  void DropReleases() FENRA_REQUIRES(mu);
};

}  // namespace fenra::sim::kernel_parts
