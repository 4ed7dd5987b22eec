#pragma once
// User-space execution contexts for the virtual-time kernel: each simulated
// thread runs on a stack of its own and gives the processor back to its host
// (the outside thread that drives the simulation) by an explicit switch.
//
// A fiber is only ever resumed on the OS thread that created it. The switch
// carries what the C++ runtime keeps per OS thread for exception handling,
// so a fiber suspended inside a catch block does not see another fiber's
// exceptions, and it tells AddressSanitizer and ThreadSanitizer about the
// change of stack.

#include <cstddef>
#include <functional>
#include <memory>

#if defined(__SANITIZE_THREAD__)
#define FENRA_FIBER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FENRA_FIBER_TSAN 1
#endif
#endif

namespace fenra::sim {

class Fiber {
 public:
  // Whether a mutex may stay locked across a switch, to be unlocked on the
  // other side: it may (the fibers of a host share its OS thread), except
  // under ThreadSanitizer, which sees each fiber as a thread of its own and
  // a mutex unlocked by another thread than the one that locked it as misuse.
#if FENRA_FIBER_TSAN
  static constexpr bool kLockFollowsSwitch = false;
#else
  static constexpr bool kLockFollowsSwitch = true;
#endif

  // The calling OS thread's own context, to switch back to.
  class Host;

  // A fiber that will run `body` when first resumed. `body` must not return
  // by throwing; when it returns the fiber is finished and its last switch
  // goes back to the host that resumed it.
  Fiber(std::function<void()> body, size_t stack_size);
  ~Fiber();
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Runs the fiber from `host` until a fiber of `host` (this one or one it
  // switched to) suspends or finishes.
  void Resume(Host& host);
  // Called on the fiber: gives the processor back to the host that resumed
  // it. Returns when the fiber is resumed again.
  void Suspend();
  // Called on the fiber: gives the processor straight to `next`, a fiber
  // that is not running (new or suspended) and may be resumed from this
  // fiber's host, which becomes its host. Returns when this fiber is resumed
  // again, by a host or by another fiber.
  void SwitchTo(Fiber& next);
  bool finished() const { return finished_; }

  // Keeps the stack of a fiber that will never run again alive and visible
  // to the leak checker, as the stacks of threads killed by their process's
  // end are: what they referenced is not reported as leaked.
  void Abandon();

  struct Context;

 private:
  static void Entry();
  void Resumed();

  std::function<void()> body_;
  std::unique_ptr<Context> context_;
  Host* host_ = nullptr;
  bool finished_ = false;
  bool abandoned_ = false;
};

class Fiber::Host {
 public:
  // The calling OS thread's context; it is used on that thread only.
  Host();
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

 private:
  friend class Fiber;
  std::unique_ptr<Context> context_;
};

}  // namespace fenra::sim
