#pragma once
// A handle slot that several threads read and write: the kernel object it
// names stays alive for every thread that loaded it, even after another
// thread cleared ("closed") the slot.

#include <utility>

#include "platform/kernel.h"
#include "support/thread_annotations.h"

namespace fenra {

class SharedHandle {
 public:
  SharedHandle() = default;
  SharedHandle(const SharedHandle&) = delete;
  SharedHandle& operator=(const SharedHandle&) = delete;

  Handle load() const {
    MutexLock lock(mutex_);
    return handle_;
  }
  void store(Handle handle) {
    Handle old;
    {
      MutexLock lock(mutex_);
      old = std::exchange(handle_, std::move(handle));
    }
  }
  // Empties the slot and hands back what it held.
  Handle take() {
    MutexLock lock(mutex_);
    return std::exchange(handle_, nullptr);
  }
  explicit operator bool() const { return load() != nullptr; }

 private:
  mutable Mutex mutex_;
  Handle handle_ FENRA_GUARDED_BY(mutex_);
};

}  // namespace fenra
