#pragma once
// The waitable objects of the simulated kernel: events, mutexes, and the
// thread and process objects as far as a wait sees them; whether a wait can
// be satisfied, what it takes, and the release of blocked waits in the order
// they began. Waking a released thread is the scheduler's (MakeReady).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/sim/sim_kernel_records.h"

namespace fenra::sim::kernel_parts {

class Waitables : public KernelCore {
 public:
  using KernelCore::KernelCore;

  std::map<std::string, std::weak_ptr<Object>> named FENRA_GUARDED_BY(mu);
  SimKernel::PulseObserver pulse_observer FENRA_GUARDED_BY(mu);
  uint32_t create_named_event_error FENRA_GUARDED_BY(mu) = 0;
  uint32_t create_unnamed_event_error FENRA_GUARDED_BY(mu) = 0;

  std::shared_ptr<Object> NewObject(Object::Kind kind, const std::string& name = {}) FENRA_REQUIRES(mu);

  static bool IsSignaled(const Object& o, const ThreadRecord* thread);
  // Takes a signalled object for `thread`; true when it was an abandoned
  // mutex.
  static bool Consume(Object& o, ThreadRecord* thread);
  // The wait result if the wait can be satisfied now (and then consumes),
  // else nothing.
  static std::optional<uint32_t> TrySatisfy(std::span<Object* const> objects, bool wait_all, ThreadRecord* thread);

  // Takes a wait off its objects and its deadline; a wait taken off already
  // (completed, then parked) stays off.
  void Unregister(Waiter* w) FENRA_REQUIRES(mu);
  // Ends a blocked wait with `result`; the woken thread is ready from here on.
  void Complete(Waiter* w, uint32_t result) FENRA_REQUIRES(mu);
  // Releases the waiters that `o` now satisfies, oldest first. A released
  // waiter leaves o->waiters (Complete unregisters it), and nothing joins it
  // meanwhile.
  void Propagate(Object* o) FENRA_REQUIRES(mu);

  // This kernel's object behind `h`, or nullptr (an empty handle, another
  // kernel's or another port's object). Needs no lock: what it reads never
  // changes.
  Object* ObjectOf(const Handle& h) const;
  // The same, of one kind; otherwise the last error is an invalid handle.
  Object* Find(const Handle& h, Object::Kind kind) const;
  // Fills `w`'s objects from `handles`; the last error when they cannot be
  // waited on (too many or too few, foreign, or the same object twice).
  bool Collect(std::span<const Handle> handles, Waiter& w) const;

  // A thread queued to run (virtual time) or woken (real time).
  virtual void MakeReady(ThreadRecord* t) FENRA_REQUIRES(mu) = 0;
  // The deadlines of waits, which Unregister takes off.
  virtual void CancelDeadline(Waiter* w) FENRA_REQUIRES(mu) = 0;
};

}  // namespace fenra::sim::kernel_parts
