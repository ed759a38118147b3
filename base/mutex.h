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

// Holds a Mutex for its scope. Unlock lets go early, around a call that must
// not run under it (a sink, a callback); Lock takes it back.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_->Unlock();
  }
  MutexLock(MutexLock const&) = delete;
  MutexLock& operator=(MutexLock const&) = delete;

  void Unlock() RELEASE() {
    held_ = false;
    mutex_->Unlock();
  }
  void Lock() ACQUIRE() {
    mutex_->Lock();
    held_ = true;
  }

 private:
  Mutex* const mutex_;
  bool held_ = true;
};

// A condition variable. Every wait names the Mutex it is waiting under, which
// the caller holds, so the analysis can check the wait like any other use;
// a bound member mutex would be a different expression to it.
class CondVar {
 public:
  CondVar() = default;
  CondVar(CondVar const&) = delete;
  CondVar& operator=(CondVar const&) = delete;

  void Wait(Mutex* mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mutex_, std::adopt_lock);
    condition_.wait(lock);
    lock.release();
  }
  // False when `timeout` passed without a signal (spurious wake-ups return true).
  template <typename Rep, typename Period>
  bool WaitFor(Mutex* mutex, std::chrono::duration<Rep, Period> timeout) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mutex_, std::adopt_lock);
    bool const signalled = condition_.wait_for(lock, timeout) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  template <typename Clock, typename Duration>
  bool WaitUntil(Mutex* mutex, std::chrono::time_point<Clock, Duration> deadline)
      REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex->mutex_, std::adopt_lock);
    bool const signalled = condition_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  void Signal() { condition_.notify_one(); }
  void SignalAll() { condition_.notify_all(); }

 private:
  std::condition_variable condition_;
};

}  // namespace tally
