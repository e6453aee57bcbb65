// OS wrapper services on POSIX: the locks, events, guards and thread priority that the
// controller's OS wrapper library provides on the target.
//
// Thread-safety terms used in this project's headers:
//   thread-safe  - any thread may call it at any time, concurrently with other calls.
//   owner-only   - only the thread that holds the lock may call it.
//   single-use   - construction and destruction: no other thread may use the object then.
//
// Cost: the uncontended paths of request/release, post/wait (with a post pending) make no
// system call; a thread only enters the kernel to sleep or to wake a sleeper.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "thread_annotations.h"

// Every wait in the library passes this: wait without time limit.
inline constexpr unsigned long OSW_WAIT_FOREVER = 0xFFFFFFFFUL;

// Re-entrant mutex. A thread that holds it may request it again; each request is matched
// by one release. `initial` is 1 (created free); 0 would create it held by the creating
// thread and is not used by the library.
// For the thread-safety analysis it is a capability: request() takes it, release() gives
// it back. The analysis has no notion of re-entrancy (see README.md, "Threads and locks").
class CAPABILITY("mutex") OSW_Mutex_Semaphore {
 public:
  explicit OSW_Mutex_Semaphore(int initial = 1);  // single-use
  ~OSW_Mutex_Semaphore();                         // single-use: must be free
  OSW_Mutex_Semaphore(const OSW_Mutex_Semaphore&) = delete;
  OSW_Mutex_Semaphore& operator=(const OSW_Mutex_Semaphore&) = delete;

  // thread-safe. Waits until the mutex is free or held by the calling thread. Only the
  // no-limit timeout (OSW_WAIT_FOREVER) is supported; returns 0.
  int request(unsigned long timeout) ACQUIRE();
  // owner-only. Gives back one level; returns 0, or -1 when the caller does not hold it.
  int release() RELEASE();
  // thread-safe. True when the calling thread holds the mutex (diagnostics and asserts).
  bool held_by_caller() const;

 private:
  std::atomic<uint32_t> state_;   // 0 free, 1 held, 2 held with sleepers (futex word)
  std::atomic<uintptr_t> owner_;  // token of the holding thread, 0 when free
  uint32_t depth_;                // nesting level; touched by the owner only
};

// Counting event. post() wakes one waiter or, with none, is remembered so that the next
// wait() returns at once: posts are never lost. `initial` is the starting count (0).
// The object is one pointer wide (the request records embed it): the counter lives in a
// separately allocated cell.
class OSW_Event_Semaphore {
 public:
  explicit OSW_Event_Semaphore(int initial = 0);  // single-use
  ~OSW_Event_Semaphore();                         // single-use: no waiter may remain
  OSW_Event_Semaphore(const OSW_Event_Semaphore&) = delete;
  OSW_Event_Semaphore& operator=(const OSW_Event_Semaphore&) = delete;

  // thread-safe. Returns 0.
  int post();
  // thread-safe. Only the no-limit timeout is supported; returns 0 after taking one post.
  int wait(unsigned long timeout);

  struct Cell;

 private:
  Cell* cell_;
};

// Scoped hold of a mutex: requested (no limit) on construction, released on destruction,
// also during unwinding.
class SCOPED_CAPABILITY OSW_Guard {
 public:
  explicit OSW_Guard(OSW_Mutex_Semaphore& mutex) ACQUIRE(mutex)
      : mutex_(mutex), locked_(mutex.request(OSW_WAIT_FOREVER) == 0) {}
  ~OSW_Guard() RELEASE() {
    if (locked_) {
      mutex_.release();
    }
  }
  OSW_Guard(const OSW_Guard&) = delete;
  OSW_Guard& operator=(const OSW_Guard&) = delete;
  bool locked() const { return locked_; }

 private:
  OSW_Mutex_Semaphore& mutex_;
  bool locked_;
};

// Scoped hold of the one process-wide lock (re-entrant). Used around the lazy creation of
// singleton instance mutexes.
class OSW_Thread_Guard {
 public:
  OSW_Thread_Guard();
  ~OSW_Thread_Guard();
  OSW_Thread_Guard(const OSW_Thread_Guard&) = delete;
  OSW_Thread_Guard& operator=(const OSW_Thread_Guard&) = delete;
};

extern "C" {
// Sets the scheduling priority of `thread`. The host keeps the default policy and only
// records the request (see platform_capture.h); returns 0.
int emwOSWSetTaskPriority(pthread_t thread, int priority);
}
