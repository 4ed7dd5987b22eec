#pragma once
// The waitable objects of the simulated kernel: events, mutexes, and the
// thread and process objects as far as a wait sees them; whether a wait can
// be satisfied, what it takes, and the release of blocked waits in the order
// they began. Waking a released thread is the scheduler's (MakeReady).

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <typeinfo>

#include "platform/sim/last_error.h"
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

  // Hooks into the scheduler (defined in sim_scheduler.h): a thread queued
  // to run (virtual time) or woken (real time); a wait's deadline taken off.
  void MakeReady(ThreadRecord* t) FENRA_REQUIRES(mu);
  void CancelDeadline(Waiter* w) FENRA_REQUIRES(mu);
};

// ---- Definitions (inline: the kernel is one translation unit, sim_kernel.cpp) ----

inline std::shared_ptr<Object> Waitables::NewObject(Object::Kind kind, const std::string& name) {
  return std::make_shared<Object>(kind, kernel_id, ++serial, name);
}

inline bool Waitables::IsSignaled(const Object& o, const ThreadRecord* thread) {
  switch (o.kind) {
    case Object::Kind::kEvent: return o.signaled;
    case Object::Kind::kMutex: return o.owner == nullptr || o.owner == thread;
    case Object::Kind::kThread:
    case Object::Kind::kProcess: return o.ended;
  }
  return false;
}

inline bool Waitables::Consume(Object& o, ThreadRecord* thread) {
  if (o.kind == Object::Kind::kEvent && !o.manual_reset) o.signaled = false;
  if (o.kind != Object::Kind::kMutex) return false;
  if (o.owner != thread) {
    o.owner = thread;
    thread->owned_mutexes.push_back(o.shared_from_this());
  }
  ++o.recursion;
  return std::exchange(o.abandoned, false);
}

inline std::optional<uint32_t> Waitables::TrySatisfy(std::span<Object* const> objects, bool wait_all, ThreadRecord* thread) {
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

inline void Waitables::Unregister(Waiter* w) {
  for (Object* o : w->objects()) {
    auto it = std::find(o->waiters.begin(), o->waiters.end(), w);
    if (it != o->waiters.end()) o->waiters.erase(it);
  }
  CancelDeadline(w);
}

inline void Waitables::Complete(Waiter* w, uint32_t result) {
  Unregister(w);
  w->done = true;
  w->result = result;
  if (result == win::kWaitTimeout)
    w->thread->timeout_epoch = epoch;
  else if (!w->quiescence)
    Progress();
  MakeReady(w->thread);
}

inline void Waitables::Propagate(Object* o) {
  for (size_t i = 0; i < o->waiters.size();) {
    Waiter* w = o->waiters[i];
    if (auto result = TrySatisfy(w->objects(), w->wait_all, w->thread))
      Complete(w, *result);
    else
      ++i;
  }
}

inline Object* Waitables::ObjectOf(const Handle& h) const {
  KernelObject* k = h.get();
  if (k == nullptr || typeid(*k) != typeid(Object)) return nullptr;
  auto* o = static_cast<Object*>(k);
  return o->kernel_id == kernel_id ? o : nullptr;
}

inline Object* Waitables::Find(const Handle& h, Object::Kind kind) const {
  Object* o = ObjectOf(h);
  if (o == nullptr || o->kind != kind) {
    sim::SetLastError(win::kErrorInvalidHandle);
    return nullptr;
  }
  return o;
}

inline bool Waitables::Collect(std::span<const Handle> handles, Waiter& w) const {
  if (handles.empty() || handles.size() > win::kMaximumWaitObjects) {
    sim::SetLastError(win::kErrorInvalidParameter);
    return false;
  }
  for (Object*& slot : std::span(w.slots.data(), handles.size())) {
    Object* o = ObjectOf(handles[w.count]);
    if (o == nullptr) {
      sim::SetLastError(win::kErrorInvalidHandle);
      return false;
    }
    // The same object twice is refused, as Windows refuses it.
    if (std::find(w.slots.data(), &slot, o) != &slot) {
      sim::SetLastError(win::kErrorInvalidParameter);
      return false;
    }
    slot = o;
    ++w.count;
  }
  return true;
}

}  // namespace fenra::sim::kernel_parts
