#pragma once
// Locking rules the compiler checks. Under clang with -Wthread-safety a
// member marked FENRA_GUARDED_BY(mutex_) may only be touched while mutex_
// is held, and a function marked FENRA_REQUIRES(mutex_) only be called so;
// other compilers see plain declarations.
//
// std::mutex carries no annotations in libstdc++, so the analysis cannot
// see it taken: shared state is guarded by `Mutex` and taken with
// `MutexLock` (or `UniqueMutexLock` where a condition variable waits);
// state many read and few change is guarded by `SharedMutex`, taken with
// `ReaderLock` to look and `WriterLock` to change.

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define FENRA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define FENRA_THREAD_ANNOTATION(x)
#endif

#define FENRA_CAPABILITY(name) FENRA_THREAD_ANNOTATION(capability(name))
#define FENRA_SCOPED_CAPABILITY FENRA_THREAD_ANNOTATION(scoped_lockable)
#define FENRA_GUARDED_BY(x) FENRA_THREAD_ANNOTATION(guarded_by(x))
#define FENRA_ACQUIRED_BEFORE(...) FENRA_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define FENRA_REQUIRES(...) FENRA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define FENRA_REQUIRES_SHARED(...) FENRA_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define FENRA_ACQUIRE(...) FENRA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define FENRA_RELEASE(...) FENRA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define FENRA_ACQUIRE_SHARED(...) FENRA_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define FENRA_RELEASE_SHARED(...) FENRA_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define FENRA_TRY_ACQUIRE(...) FENRA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define FENRA_EXCLUDES(...) FENRA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define FENRA_RETURN_CAPABILITY(x) FENRA_THREAD_ANNOTATION(lock_returned(x))
#define FENRA_NO_THREAD_SAFETY_ANALYSIS FENRA_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace fenra {

// A std::mutex the analysis can see.
class FENRA_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() FENRA_ACQUIRE() { mutex_.lock(); }
  void unlock() FENRA_RELEASE() { mutex_.unlock(); }
  bool try_lock() FENRA_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  // For std::condition_variable, which needs the std::mutex itself.
  std::mutex& native() FENRA_RETURN_CAPABILITY(this) { return mutex_; }

 private:
  std::mutex mutex_;
};

// A std::shared_mutex the analysis can see.
class FENRA_CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() FENRA_ACQUIRE() { mutex_.lock(); }
  void unlock() FENRA_RELEASE() { mutex_.unlock(); }
  void lock_shared() FENRA_ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void unlock_shared() FENRA_RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Says that a scoped lock takes over a mutex its caller has taken already
// (after a successful try_lock).
struct AdoptLock {};

// Holds a Mutex for its scope.
class FENRA_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) FENRA_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  MutexLock(Mutex& mutex, AdoptLock) FENRA_REQUIRES(mutex) : mutex_(mutex) {}
  ~MutexLock() FENRA_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Holds a SharedMutex exclusively for its scope.
class FENRA_SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) FENRA_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~WriterLock() FENRA_RELEASE() { mutex_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// Holds a SharedMutex shared for its scope.
class FENRA_SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) FENRA_ACQUIRE_SHARED(mutex) : mutex_(mutex) { mutex_.lock_shared(); }
  ~ReaderLock() FENRA_RELEASE() { mutex_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// Holds a Mutex for its scope and can let it go and take it again in
// between (around a switch, or in a condition variable's wait).
class FENRA_SCOPED_CAPABILITY UniqueMutexLock {
 public:
  explicit UniqueMutexLock(Mutex& mutex) FENRA_ACQUIRE(mutex) : lock_(mutex.native()) {}
  ~UniqueMutexLock() FENRA_RELEASE() = default;
  UniqueMutexLock(const UniqueMutexLock&) = delete;
  UniqueMutexLock& operator=(const UniqueMutexLock&) = delete;

  void lock() FENRA_ACQUIRE() { lock_.lock(); }
  void unlock() FENRA_RELEASE() { lock_.unlock(); }

  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace fenra
