// The C library's thread creation, join and sleeps, taken over for the program's threads:
// a thread created by a controlled thread is controlled too, a join waits at a scheduling
// point, and a sleep waits for the virtual clock. Calls from threads the scheduler does not
// run go to the C library unchanged.
//
// A sanitizer's runtime (AddressSanitizer) takes over pthread_create too, in front of this
// one: its own finds this one as the next definition and hands it a start routine of its
// own, which registers the new thread with the runtime before it calls the program's. That
// runtime does not wait for the new thread to start, so the new thread may wait for its
// turn before that start routine runs. The framework's threads are created through the
// first definition in the process as well, so that the runtime knows them (their stacks,
// for its leak check).
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#include "scheduler.h"

namespace {

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
using JoinFn = int (*)(pthread_t, void**);
using NanosleepFn = int (*)(const timespec*, timespec*);
using ClockNanosleepFn = int (*)(clockid_t, int, const timespec*, timespec*);
using UsleepFn = int (*)(useconds_t);
using SleepFn = unsigned (*)(unsigned);
using SetnameFn = int (*)(pthread_t, const char*);

template <class F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Next {
  CreateFn create = next<CreateFn>("pthread_create");
  // The first definition in the process: a sanitizer's, or the one below.
  CreateFn first_create = reinterpret_cast<CreateFn>(dlsym(RTLD_DEFAULT, "pthread_create"));
  JoinFn join = next<JoinFn>("pthread_join");
  NanosleepFn nanosleep = next<NanosleepFn>("nanosleep");
  ClockNanosleepFn clock_nanosleep = next<ClockNanosleepFn>("clock_nanosleep");
  UsleepFn usleep = next<UsleepFn>("usleep");
  SleepFn sleep = next<SleepFn>("sleep");
  SetnameFn setname = next<SetnameFn>("pthread_setname_np");
};

const Next& next_fn() {
  static const Next fns;
  return fns;
}

struct Start {
  int slot;
  void* (*fn)(void*);
  void* arg;
};

// Ends the thread's part in the schedule however it leaves (also by pthread_exit).
struct Leave {
  ~Leave() { sched::thread_exit(); }
};

void* trampoline(void* p) {
  const Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  sched::thread_enter(start.slot);
  Leave leave;
  return start.fn(start.arg);
}

// The number start_thread took for the thread it is creating through the first definition
// of pthread_create, for the definition below to use.
thread_local int t_pending_slot = -1;

// Creates the thread `slot` with the C library, started through the trampoline.
int create_controlled(int slot, pthread_t* tid, const pthread_attr_t* attr, void* (*fn)(void*),
                      void* arg) {
  auto* start = new Start{slot, fn, arg};
  const int rc = next_fn().create(tid, attr, trampoline, start);
  if (rc != 0) {
    delete start;
  }
  return rc;
}

bool never(const void*, int) {
  return false;
}

bool joined_ready(const void* obj, int) {
  return sched::thread_ended(static_cast<int>(reinterpret_cast<intptr_t>(obj)));
}

void sleep_ns(uint64_t ns, const void* where) {
  const uint64_t deadline = sched::now() + ns;
  sched::point(sched::Ev::kSleep, nullptr, ns, never, nullptr, deadline, where);
}

uint64_t to_ns(const timespec& t) {
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

bool valid(const timespec* t) {
  return t != nullptr && t->tv_sec >= 0 && t->tv_nsec >= 0 && t->tv_nsec < 1000000000;
}

}  // namespace

namespace sched {

int start_thread(pthread_t* tid, const pthread_attr_t* attr, void* (*fn)(void*), void* arg,
                 const char* name, int* slot, const void* where) {
  if (!controlled()) {
    return next_fn().create(tid, attr, fn, arg);
  }
  const int n = thread_new(name);
  int rc = 0;
  if (name != nullptr && next_fn().first_create != nullptr &&
      next_fn().first_create != next_fn().create) {
    // The framework's thread: through the first definition, which comes back below.
    t_pending_slot = n;
    rc = next_fn().first_create(tid, attr, fn, arg);
    t_pending_slot = -1;
  } else {
    rc = create_controlled(n, tid, attr, fn, arg);
  }
  if (rc != 0) {
    thread_failed(n);
    return rc;
  }
  thread_created(n, *tid);
  if (slot != nullptr) {
    *slot = n;
  }
  point(Ev::kThreadCreate, nullptr, static_cast<uintptr_t>(n), nullptr, nullptr, kNever, where);
  return 0;
}

int real_join(pthread_t tid, void** result) {
  return next_fn().join(tid, result);
}

}  // namespace sched

extern "C" {

__attribute__((visibility("default"))) int pthread_create(pthread_t* tid,
                                                          const pthread_attr_t* attr,
                                                          void* (*fn)(void*), void* arg) noexcept {
  if (t_pending_slot >= 0) {
    // Called back for start_thread's thread, maybe through a sanitizer's pthread_create.
    const int slot = t_pending_slot;
    t_pending_slot = -1;
    return create_controlled(slot, tid, attr, fn, arg);
  }
  return sched::start_thread(tid, attr, fn, arg, nullptr, nullptr, __builtin_return_address(0));
}

__attribute__((visibility("default"))) int pthread_join(pthread_t tid, void** result) {
  if (sched::controlled()) {
    const int slot = sched::slot_of(tid);
    if (slot >= 0 && slot != sched::self()) {
      while (!sched::point(sched::Ev::kJoin, nullptr, static_cast<uintptr_t>(slot), joined_ready,
                           reinterpret_cast<const void*>(static_cast<intptr_t>(slot)),
                           sched::kNever, __builtin_return_address(0))) {
      }
    }
  }
  return next_fn().join(tid, result);
}

// A name the program gives its thread is the one the reports use.
__attribute__((visibility("default"))) int pthread_setname_np(pthread_t tid,
                                                              const char* name) noexcept {
  if (sched::controlled()) {
    sched::thread_rename(sched::slot_of(tid), name);
  }
  return next_fn().setname(tid, name);
}

__attribute__((visibility("default"))) int nanosleep(const timespec* req, timespec* rem) {
  if (!sched::controlled()) {
    return next_fn().nanosleep(req, rem);
  }
  if (!valid(req)) {
    errno = EINVAL;
    return -1;
  }
  sleep_ns(to_ns(*req), __builtin_return_address(0));
  if (rem != nullptr) {
    *rem = timespec{0, 0};
  }
  return 0;
}

__attribute__((visibility("default"))) int clock_nanosleep(clockid_t clock, int flags,
                                                           const timespec* req, timespec* rem) {
  if (!sched::controlled()) {
    return next_fn().clock_nanosleep(clock, flags, req, rem);
  }
  if (!valid(req)) {
    return EINVAL;
  }
  uint64_t ns = to_ns(*req);
  if ((flags & TIMER_ABSTIME) != 0) {
    // An absolute time on a real clock: sleep for what is left of it now.
    timespec now{};
    clock_gettime(clock, &now);
    ns = ns > to_ns(now) ? ns - to_ns(now) : 0;
  }
  sleep_ns(ns, __builtin_return_address(0));
  if (rem != nullptr && (flags & TIMER_ABSTIME) == 0) {
    *rem = timespec{0, 0};
  }
  return 0;
}

__attribute__((visibility("default"))) int usleep(useconds_t us) {
  if (!sched::controlled()) {
    return next_fn().usleep(us);
  }
  sleep_ns(uint64_t{us} * 1000u, __builtin_return_address(0));
  return 0;
}

__attribute__((visibility("default"))) unsigned sleep(unsigned seconds) {
  if (!sched::controlled()) {
    return next_fn().sleep(seconds);
  }
  sleep_ns(uint64_t{seconds} * 1000000000u, __builtin_return_address(0));
  return 0;
}

}  // extern "C"
