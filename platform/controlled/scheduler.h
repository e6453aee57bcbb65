// The controlled platform's scheduler: only one thread of the program runs at a time; at
// every scheduling point the running thread stops and the schedule picks who runs next
// among the threads able to run. Time is virtual: it moves on only when no thread can run,
// to the earliest deadline of a blocked thread.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Internal to the controlled platform: nothing of it is exported.
#pragma GCC visibility push(hidden)
namespace sched {

inline constexpr uint64_t kNever = UINT64_MAX;

// What a thread does at a scheduling point (its event in the trace, and what a report
// says it waits for).
enum class Ev : uint8_t {
  kMutexRequest = 1,
  kMutexRelease,
  kEventPost,
  kEventWait,
  kGuardRequest,
  kGuardRelease,
  kThreadCreate,
  kThreadStart,
  kThreadEnd,
  kJoin,
  kControllerJoin,
  kDeviceOpen,
  kDeviceIoctl,
  kDeviceClose,
  kDriverWait,
  kSleep,
  kScheduleEnd,  // pvgen_controlled_end: waits until the other threads are at rest
};

// Whether a blocked thread may go on. `obj` is what it waits on, `slot` its number.
using Ready = bool (*)(const void* obj, int slot);

// True when the calling thread runs under the scheduler.
bool controlled();
// The calling thread's number (0: the main thread), or -1.
int self();

// A scheduling point of the calling thread. Records the event (`id` names the object in the
// trace, `arg` is a detail), then lets the schedule choose who runs; the caller goes on
// once it is chosen and `ready(obj, self)` holds (null: always) or the virtual clock has
// reached `deadline`. Returns true when `ready` held. `where` is the caller's return
// address, for reports.
bool point(Ev ev, const void* id, uintptr_t arg, Ready ready, const void* obj, uint64_t deadline,
           const void* where);

// Threads. thread_new gives the number for a thread about to be created (-1: too many);
// the creator then creates it and calls thread_created (or thread_failed); the new thread
// calls thread_enter first, which waits for its turn, and thread_exit last.
int thread_new(const char* name);
void thread_created(int slot, pthread_t tid);
void thread_failed(int slot);
void thread_enter(int slot);
void thread_exit();
bool thread_ended(int slot);
// The number of the controlled thread `tid`, or -1.
int slot_of(pthread_t tid);
// The name reports give the thread in `slot` from now on, when it had none but its number
// (nothing for -1).
void thread_rename(int slot, const char* name);

uint64_t now();
// A number for the object at `p` in the order objects were first seen (for reports).
uint32_t object_number(const void* p);

// The thread holding the OSW mutex (or the thread guard's lock) at `mutex`, or -1 (osw.cpp).
int mutex_holder(const void* mutex);

// Creates a controlled thread (the creating thread's scheduling point included) and joins
// one with the C library's own pthread_join (interpose.cpp).
// `*slot` is set before the creating thread's scheduling point.
int start_thread(pthread_t* tid, const pthread_attr_t* attr, void* (*fn)(void*), void* arg,
                 const char* name, int* slot, const void* where);
int real_join(pthread_t tid, void** result);

// While the endless-wait report reads the library's state, locks are not taken.
bool frozen();
void set_frozen(bool on);

// True when no controlled thread but the calling one can run and none waits for a deadline:
// the others are blocked for good (scheduler.cpp).
bool others_at_rest();
// Fails the schedule: an invariant of the library's results does not hold. `text` is its
// line; the report adds the threads and the last events (scheduler.cpp).
[[noreturn]] void violation(const std::string& text);

// The blocked threads waiting on an OSW event that lies in [begin, begin + size).
std::vector<int> event_waiters_in(const void* begin, size_t size);

// The framework threads not joined yet whose name is `name`: their object and thread number
// (controller.cpp).
std::vector<std::pair<const void*, int>> framework_threads(const char* name);

// The library's channels as the endless-wait report shows them, read without locks while
// every thread is blocked for good (invariants.cpp); empty when the library has none.
std::string channel_states();

}  // namespace sched
#pragma GCC visibility pop
