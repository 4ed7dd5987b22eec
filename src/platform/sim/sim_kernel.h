#pragma once
// The simulated kernel: events, mutexes, threads and waits with Win32
// semantics, on real time or on virtual time.
//
// Virtual time is a discrete-event simulation run by real threads. The
// kernel counts the managed threads that are runnable; when none is, it
// moves the clock to the earliest pending deadline (ties broken by the order
// in which the waits began) and wakes that one waiter. A thread woken by
// another thread is counted runnable by the waker before the waker goes on,
// so time never jumps past work that is about to happen.
//
// Managed threads are the threads this kernel created, the thread that
// constructed the kernel, and any other thread from its first blocking call
// on (until it exits). A managed thread that blocks outside this kernel
// (a std::mutex held for long, a join, reading a pipe) stalls virtual time.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/kernel.h"

namespace fenra::sim {

struct KernelOptions {
  bool virtual_time = false;
  // The first reading of TimeGetTime(); the 49.7-day wrap lies 2^32 ms on.
  uint32_t start_tick = 0;
  // Local time at the start of a virtual-time run; real local time is used
  // on real time.
  LocalTime start_local_time{2026, 1, 1, 1, 0, 0, 0, 0};
};

class SimKernel final : public Kernel {
 public:
  explicit SimKernel(KernelOptions options = {});
  // Threads still blocked in this kernel stay parked for good; threads
  // still running park at their next blocking call. Destroy the kernel
  // after the threads that use other objects have ended.
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
  void Sleep(uint32_t milliseconds) override;
  Handle CreateThread(ThreadProc proc, const std::string& name = {}) override;
  bool GetExitCodeThread(const Handle& thread, uint32_t* exit_code) override;
  uint32_t GetLastError() override;
  void SetLastError(uint32_t error) override;

  bool virtual_time() const;
  // Milliseconds since the kernel was created (virtual or real).
  uint64_t ElapsedMs();
  // Blocks the calling thread until every other managed thread is blocked
  // without a deadline: the simulation has nothing left to do. Virtual time
  // only; returns false at once on real time.
  bool RunUntilQuiescent();
  // Called (under no lock) when virtual time stalls: every managed thread
  // waits without a deadline and nobody waits for quiescence. The default
  // prints the waiting threads and aborts, so that a test fails at once
  // instead of hanging.
  void SetStallHandler(std::function<void()> handler);
  // Fault injection: while set to a nonzero error, CreateThread (or the
  // creation of a named, or an unnamed, event) fails with it.
  void FailCreateThread(uint32_t error);
  void FailCreateNamedEvent(uint32_t error);
  void FailCreateUnnamedEvent(uint32_t error);
  // Number of PulseEvent calls on `event` so far (another process's view of
  // the hot-plug notifications).
  uint64_t PulseCount(const Handle& event);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace fenra::sim
