// Thread contracts the compiler checks: clang's thread-safety attributes, which say which lock guards a
// field and which locks a function needs, takes or must not hold. Under clang with -Wthread-safety
// (the clang build of scripts/test) a field read without its lock, or a call without the lock it
// requires, fails the build; under GCC the macros expand to nothing.
//
// The standard library's std::mutex carries no annotations, so state guarded by a lock is guarded by a
// Mutex, held through a MutexLock (for a scope) or a UniqueLock (when the scope gives it up and takes
// it again, or waits on a std::condition_variable). A condition variable's predicate runs with the
// lock held but in a lambda of its own, which says so: [this]() REQUIRES(m_mutex) { ... }.
#pragma once

#include <mutex>

#if defined(__clang__)
#define VESPRIL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VESPRIL_THREAD_ANNOTATION(x)
#endif

// On a class: its objects are locks. On a class of scoped guards: each holds a lock while it lives.
#define CAPABILITY(x) VESPRIL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VESPRIL_THREAD_ANNOTATION(scoped_lockable)

// On a field: read and written only with the lock held. PT_: the same for what a pointer points to.
#define GUARDED_BY(x) VESPRIL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VESPRIL_THREAD_ANNOTATION(pt_guarded_by(x))

// On a lock: the order in which locks are taken (checked with -Wthread-safety-beta only).
#define ACQUIRED_BEFORE(...) VESPRIL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VESPRIL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// On a function: the caller holds the locks (alone, or shared with other readers).
#define REQUIRES(...) VESPRIL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) VESPRIL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))

// On a function: it takes, or gives up, the locks (no argument: the object it is called on).
#define ACQUIRE(...) VESPRIL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) VESPRIL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) VESPRIL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) VESPRIL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VESPRIL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) VESPRIL_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))

// On a function: the caller must not hold the locks (the function takes them itself).
#define EXCLUDES(...) VESPRIL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

// On a function: it fails unless the lock is held, and the caller holds it afterwards.
#define ASSERT_CAPABILITY(x) VESPRIL_THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) VESPRIL_THREAD_ANNOTATION(assert_shared_capability(x))

// On a function: the lock it returns a reference to.
#define RETURN_CAPABILITY(x) VESPRIL_THREAD_ANNOTATION(lock_returned(x))

// On a function the analysis cannot follow; each use says why.
#define NO_THREAD_SAFETY_ANALYSIS VESPRIL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vespril {

// A std::mutex the analysis knows as a lock. Lockable, so the standard's generic locking works on it,
// though only MutexLock and UniqueLock tell the analysis that they hold it.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { m_mutex.lock(); }
  void unlock() RELEASE() { m_mutex.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

 private:
  friend class UniqueLock;
  std::mutex m_mutex;
};

// Holds a Mutex for its scope, as std::lock_guard does.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
  ~MutexLock() RELEASE() { m_mutex.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_mutex;
};

// Holds a Mutex from its construction, may give it up and take it again, and lets a
// std::condition_variable wait on it, as std::unique_lock does. Held or not, it releases at its end.
class SCOPED_CAPABILITY UniqueLock {
 public:
  explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
  ~UniqueLock() RELEASE() {}
  UniqueLock(const UniqueLock&) = delete;
  UniqueLock& operator=(const UniqueLock&) = delete;

  void lock() ACQUIRE() { m_lock.lock(); }
  void unlock() RELEASE() { m_lock.unlock(); }

  // For std::condition_variable's waits, which give the lock up while they wait and hold it again
  // when they return: to the analysis the lock is held throughout.
  std::unique_lock<std::mutex>& Native() { return m_lock; }

 private:
  std::unique_lock<std::mutex> m_lock;
};

}  // namespace vespril
