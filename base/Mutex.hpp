// Mutex and MutexLock: std::mutex with clang's thread-safety annotations, so that members
// marked GUARDED_BY are checked at compile time under clang. Thread-safe by nature;
// MutexLock must not outlive the Mutex it holds.
#pragma once

#include <condition_variable>
#include <mutex>

#include "base/ThreadAnnotations.hpp"

namespace base {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  // For condition variables, which need the underlying std::mutex.
  std::mutex& native() { return mu_; }

 private:
  std::mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Waits on `cv` with the lock held on entry and on return.
  void wait(std::condition_variable& cv) NO_THREAD_SAFETY_ANALYSIS {
    std::unique_lock<std::mutex> lk(mu_.native(), std::adopt_lock);
    cv.wait(lk);
    lk.release();
  }
  // The same until `deadline`; false when it passed first.
  template <class TimePoint>
  bool waitUntil(std::condition_variable& cv, const TimePoint& deadline) NO_THREAD_SAFETY_ANALYSIS {
    std::unique_lock<std::mutex> lk(mu_.native(), std::adopt_lock);
    bool timedOut = cv.wait_until(lk, deadline) == std::cv_status::timeout;
    lk.release();
    return !timedOut;
  }

 private:
  Mutex& mu_;
};

}  // namespace base
