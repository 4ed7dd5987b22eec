#include "platform/sim/sim_waitables.h"

#include <algorithm>
#include <typeinfo>

#include "platform/sim/last_error.h"

namespace fenra::sim::kernel_parts {

std::shared_ptr<Object> Waitables::NewObject(Object::Kind kind, const std::string& name) {
  return std::make_shared<Object>(kind, kernel_id, ++serial, name);
}

bool Waitables::IsSignaled(const Object& o, const ThreadRecord* thread) {
  switch (o.kind) {
    case Object::Kind::kEvent: return o.signaled;
    case Object::Kind::kMutex: return o.owner == nullptr || o.owner == thread;
    case Object::Kind::kThread:
    case Object::Kind::kProcess: return o.ended;
  }
  return false;
}

bool Waitables::Consume(Object& o, ThreadRecord* thread) {
  if (o.kind == Object::Kind::kEvent && !o.manual_reset) o.signaled = false;
  if (o.kind != Object::Kind::kMutex) return false;
  if (o.owner != thread) {
    o.owner = thread;
    thread->owned_mutexes.push_back(o.shared_from_this());
  }
  ++o.recursion;
  return std::exchange(o.abandoned, false);
}

std::optional<uint32_t> Waitables::TrySatisfy(std::span<Object* const> objects, bool wait_all, ThreadRecord* thread) {
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

void Waitables::Unregister(Waiter* w) {
  for (Object* o : w->objects()) {
    auto it = std::find(o->waiters.begin(), o->waiters.end(), w);
    if (it != o->waiters.end()) o->waiters.erase(it);
  }
  CancelDeadline(w);
}

void Waitables::Complete(Waiter* w, uint32_t result) {
  Unregister(w);
  w->done = true;
  w->result = result;
  if (result == win::kWaitTimeout)
    w->thread->timeout_epoch = epoch;
  else if (!w->quiescence)
    Progress();
  MakeReady(w->thread);
}

void Waitables::Propagate(Object* o) {
  for (size_t i = 0; i < o->waiters.size();) {
    Waiter* w = o->waiters[i];
    if (auto result = TrySatisfy(w->objects(), w->wait_all, w->thread))
      Complete(w, *result);
    else
      ++i;
  }
}

Object* Waitables::ObjectOf(const Handle& h) const {
  KernelObject* k = h.get();
  if (k == nullptr || typeid(*k) != typeid(Object)) return nullptr;
  auto* o = static_cast<Object*>(k);
  return o->kernel_id == kernel_id ? o : nullptr;
}

Object* Waitables::Find(const Handle& h, Object::Kind kind) const {
  Object* o = ObjectOf(h);
  if (o == nullptr || o->kind != kind) {
    sim::SetLastError(win::kErrorInvalidHandle);
    return nullptr;
  }
  return o;
}

bool Waitables::Collect(std::span<const Handle> handles, Waiter& w) const {
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
