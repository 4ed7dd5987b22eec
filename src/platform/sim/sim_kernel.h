#pragma once
// The simulated kernel: events, mutexes, threads, processes and waits with
// Win32 semantics, on real time or on virtual time.
//
// Real time: every thread is an OS thread and runs truly concurrently, as on
// Windows; time-outs use the steady clock.
//
// Virtual time: a deterministic discrete-event simulation. Each thread the
// kernel creates is a fiber; exactly one managed thread runs at a time and
// gives the processor up only when it blocks in this kernel. Ready threads
// run in a fixed order (first come, first served: threads released by one
// pulse run in the order they began to wait; equal deadlines in the order
// they were set). When no thread is ready the clock jumps to the earliest
// deadline. A run is therefore a function of its inputs alone.
//
// On virtual time the fibers run on an attached outside thread (the test's
// or the runner's main thread, see Attach): they run while it blocks in a
// kernel call (a wait, Sleep, RunUntil, RunUntilQuiescent) and stand still
// while it runs. Inputs enter as events on the virtual clock (At), never from
// another OS thread at some real-time moment.
//
// Processes: a process is a group of threads. When it ends (its main
// procedure returns, or it is terminated) each of its threads is parked at
// its next kernel call and never returns into the caller; the process's
// state is released once all of them are parked.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/kernel.h"

namespace fenra::sim {
namespace kernel_parts {
struct ThreadRecord;
}

struct KernelOptions {
  bool virtual_time = false;
  // The first reading of TimeGetTime(); the 49.7-day wrap lies 2^32 ms on.
  uint32_t start_tick = 0;
  // Local time at the start of a virtual-time run; real local time is used
  // on real time.
  LocalTime start_local_time{2026, 1, 4, 1, 0, 0, 0, 0};
  // Virtual time: kernel calls a thread may make in a row without ever
  // blocking (polling with zero time-outs) before it is reported as a
  // thread that freezes the clock.
  uint64_t poll_limit = 1'000'000;
  // Virtual time: the stack of each simulated thread (reserved, not
  // committed, until used).
  size_t stack_size = size_t{1} << 20;
};

class SimKernel final : public Kernel {
 public:
  explicit SimKernel(KernelOptions options = {});
  // Parks every thread for good (see Shutdown). Threads still blocked in this
  // kernel never return; on virtual time their stacks are not unwound, as
  // with threads killed at the end of a Windows process.
  ~SimKernel() override;

  uint32_t TimeGetTime() override;
  LocalTime GetLocalTime() override;
  Handle CreateEvent(bool manual_reset, bool initial_state, const std::string& name = {}) override;
  bool SetEvent(const Handle& event) override;
  bool ResetEvent(const Handle& event) override;
  bool PulseEvent(const Handle& event) override;
  Handle CreateMutex(bool initial_owner) override;
  bool ReleaseMutex(const Handle& mutex) override;
  uint32_t WaitForSingleObject(const Handle& object, uint32_t milliseconds) override;
  uint32_t WaitForMultipleObjects(std::span<const Handle> objects, bool wait_all,
                                  uint32_t milliseconds) override;
  // On virtual time Sleep(0) lets every thread that is ready run first.
  void Sleep(uint32_t milliseconds) override;
  // The new thread belongs to the calling thread's process.
  Handle CreateThread(ThreadProc proc, const std::string& name = {}) override;
  bool GetExitCodeThread(const Handle& thread, uint32_t* exit_code) override;
  uint32_t GetLastError() override;
  void SetLastError(uint32_t error) override;

  // Outside threads. On virtual time a thread the kernel did not create must
  // be attached before it blocks in the kernel (a block by an unattached
  // thread is reported and aborts), and only one outside thread may be
  // attached at a time: it is the one that drives the simulation. On real
  // time an outside thread is attached implicitly on its first call and
  // detached when it exits. Detaching (the end of the Attachment) abandons
  // the mutexes the thread still owns.
  class [[nodiscard]] Attachment {
   public:
    Attachment(Attachment&& other) noexcept;
    Attachment& operator=(Attachment&&) = delete;
    ~Attachment();

   private:
    friend class SimKernel;
    explicit Attachment(std::unique_ptr<kernel_parts::ThreadRecord> record);
    std::unique_ptr<kernel_parts::ThreadRecord> record_;  // the attached thread's
  };
  Attachment Attach(const std::string& name = "outside");

  // Starts a process whose main thread runs `main`. The process ends when
  // `main` returns (its exit code is main's result) or when it is
  // terminated; its other threads are then parked at their next kernel call.
  // `state` is kept until every thread of the process is parked or ended.
  // The handle is signalled when the process has ended.
  Handle CreateProcess(const std::string& name, ThreadProc main, std::shared_ptr<void> state = nullptr);
  bool TerminateProcess(const Handle& process, uint32_t exit_code);
  bool GetExitCodeProcess(const Handle& process, uint32_t* exit_code);
  // True when the calling thread's process has ended (real time: the thread
  // runs on until its next kernel call). Writers of machine-wide state check
  // it so that nothing a process writes lands after its end.
  bool CurrentProcessEnded();

  // Runs `fn` on a thread of its own (belonging to no process) when the
  // clock reaches `at_ms` (milliseconds since the kernel was created; a time
  // already past means now). Scheduled inputs at equal times run in the order
  // they were scheduled.
  void At(uint64_t at_ms, std::function<void()> fn, const std::string& name = "input");
  // The calling thread lets the simulation run until the clock reads `at_ms`.
  void RunUntil(uint64_t at_ms);
  // Virtual time: the calling thread lets the simulation run until it is
  // quiescent: nothing is ready, no input is scheduled, and every thread
  // either waits without a deadline or only idles (its last wait ended by
  // its time-out and it waited again without doing anything the kernel can
  // see: no event or mutex changed, no thread started or ended, no clock
  // read, no activity noted). Returns false at once on real time, and false
  // when the clock reaches `limit_ms` first.
  bool RunUntilQuiescent(uint64_t limit_ms = UINT64_MAX);
  // Tells the kernel that the calling thread did something observable
  // outside the kernel (wrote a file, a record, a registry value), so that
  // its wait is not taken for idling.
  void NoteActivity();

  // Ends every process and parks every thread at its next kernel call, so
  // that the machine-wide objects the threads use can be destroyed. On real
  // time it waits (up to a few seconds) for running threads to reach the
  // kernel.
  void Shutdown();

  bool virtual_time() const;
  // Milliseconds since the kernel was created (virtual or real).
  uint64_t ElapsedMs();
  // Called (under no lock) when virtual time has stalled: the driving thread
  // waits without a deadline (or for quiescence was not asked) and the
  // simulation is quiescent. `report` names every thread and what it waits
  // on. The default prints the report and aborts, so that a test fails at
  // once instead of hanging. A handler may rescue the run (for example set
  // an event); if nothing can run afterwards the kernel aborts.
  void SetStallHandler(std::function<void(const std::string& report)> handler);
  // Virtual time: how many times a simulated thread has been given the
  // processor (started, or woken from a wait) so far.
  uint64_t WakeUps();
  // Every thread and what it is doing, one line each.
  std::string DescribeThreads();
  // Fault injection: while set to a nonzero error, CreateThread (or the
  // creation of a named, or an unnamed, event) fails with it.
  void FailCreateThread(uint32_t error);
  // Fault injection: the `nth` thread creation from now on (counting only
  // threads named `name`, when one is given) fails with `error`; the others
  // go ahead. One such fault is pending at a time; setting another (or
  // `nth` 0) replaces it.
  void FailThreadCreation(uint64_t nth, uint32_t error, const std::string& name = {});
  void FailCreateNamedEvent(uint32_t error);
  void FailCreateUnnamedEvent(uint32_t error);
  // Number of PulseEvent calls on `event` so far (another process's view of
  // the hot-plug notifications).
  uint64_t PulseCount(const Handle& event);
  // Called for every PulseEvent on a named event, in the order they happen,
  // with the event's name and the clock (ElapsedMs). It runs under the
  // kernel's lock on the pulsing thread, so it must not call the kernel.
  using PulseObserver = std::function<void(const std::string& name, uint64_t at_ms)>;
  void SetPulseObserver(PulseObserver observer);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace fenra::sim
