// A lock and a wake-up for the reader's threads, which hand blocks to each other many times a
// search. On Windows the C++ library's condition variable (mingw-w64's, on top of semaphores)
// made each sleep and wake-up a round of kernel-object calls; under Wine, where those go to its
// server, a round trip between two threads took 167 us against 46 us with the system's own slim
// lock and condition variable. Elsewhere the C++ library's are what the system offers anyway.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <mutex>

// Takes std::lock_guard and std::unique_lock like std::mutex.
class WaitLock {
 public:
  WaitLock() = default;
  WaitLock(const WaitLock&) = delete;
  WaitLock& operator=(const WaitLock&) = delete;
  void lock() { AcquireSRWLockExclusive(&lock_); }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }
  SRWLOCK* native() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

class WakeUp {
 public:
  WakeUp() = default;
  WakeUp(const WakeUp&) = delete;
  WakeUp& operator=(const WakeUp&) = delete;
  // Sleeps, the lock let go meanwhile, until done() holds; held must hold its lock.
  template <class Done>
  void wait(std::unique_lock<WaitLock>& held, Done done) {
    while (!done()) SleepConditionVariableSRW(&wake_, held.mutex()->native(), INFINITE, 0);
  }
  void notify_all() { WakeAllConditionVariable(&wake_); }

 private:
  CONDITION_VARIABLE wake_ = CONDITION_VARIABLE_INIT;
};

#else
#include <condition_variable>
#include <mutex>

using WaitLock = std::mutex;
using WakeUp = std::condition_variable;
#endif
