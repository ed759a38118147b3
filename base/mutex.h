#pragma once

// The one mutex type of the project, with the annotations that let clang
// check every lock rule written in the headers. Not recursive.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "base/thread_annotations.h"

namespace tally {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(Mutex const&) = delete;
  Mutex& operator=(Mutex const&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  // Tells the analysis what a caller's contract already guarantees.
  void AssertHeld() ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~MutexLock() RELEASE() { mutex_->Unlock(); }
  MutexLock(MutexLock const&) = delete;
  MutexLock& operator=(MutexLock const&) = delete;

 private:
  Mutex* const mutex_;
};

// A condition variable bound to one Mutex, which the caller holds around
// every wait.
class CondVar {
 public:
  explicit CondVar(Mutex* mutex) : mutex_(mutex) {}
  CondVar(CondVar const&) = delete;
  CondVar& operator=(CondVar const&) = delete;

  void Wait() REQUIRES(mutex_) {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    condition_.wait(lock);
    lock.release();
  }
  // False when `timeout` passed without a signal (spurious wake-ups return true).
  template <typename Rep, typename Period>
  bool WaitFor(std::chrono::duration<Rep, Period> timeout) REQUIRES(mutex_) {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    bool const signalled = condition_.wait_for(lock, timeout) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  template <typename Clock, typename Duration>
  bool WaitUntil(std::chrono::time_point<Clock, Duration> deadline) REQUIRES(mutex_) {
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    bool const signalled = condition_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  void Signal() { condition_.notify_one(); }
  void SignalAll() { condition_.notify_all(); }

 private:
  Mutex* const mutex_;
  std::condition_variable condition_;
};

}  // namespace tally
