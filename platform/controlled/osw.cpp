// The OS wrapper's locks and events under the scheduler. Only one thread runs at a time, so
// the words are plain bookkeeping; every request, release, post and wait is a scheduling
// point, and a thread that cannot go on (mutex held by another thread, no post pending)
// stays blocked until a schedule picks it once it can.
//
// The objects keep the shipped layout: the mutex's lock word says held (1) or free (0), its
// owner word holds the owning thread's number plus one, its third word the nesting level;
// the event's cell counts the posts not yet taken.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "layout_checks.h"
#include "osw.h"
#include "platform_internal.h"
#include "scheduler.h"

namespace {

uintptr_t token(int slot) {
  return static_cast<uintptr_t>(slot) + 1;
}

// The calling thread's token. A thread the scheduler does not know (only the main thread
// before the schedule starts, when nothing else runs) gets token 1, as the main thread.
uintptr_t my_token() {
  const int slot = sched::self();
  return token(slot < 0 ? 0 : slot);
}

[[noreturn]] void outside(const char* what) {
  std::fprintf(stderr,
               "pvgen controlled platform: %s on a thread the scheduler does not run; only "
               "threads created through pthread_create or the framework may use the OS "
               "wrapper\n",
               what);
  std::abort();
}

// The re-entrant lock shared by the mutex and the thread guard: the three words of the
// shipped layout.
struct Words {
  std::atomic<uint32_t>& state;
  std::atomic<uintptr_t>& owner;
  uint32_t& depth;
};

bool lock_ready(const std::atomic<uintptr_t>& owner, int slot) {
  const uintptr_t holder = owner.load(std::memory_order_relaxed);
  return holder == 0 || holder == token(slot);
}

void take(Words w) {
  const uintptr_t me = my_token();
  if (w.owner.load(std::memory_order_relaxed) == me) {
    ++w.depth;
    return;
  }
  if (w.owner.load(std::memory_order_relaxed) != 0) {
    outside("a held lock requested");
  }
  w.state.store(1, std::memory_order_relaxed);
  w.owner.store(me, std::memory_order_relaxed);
  w.depth = 1;
}

bool give(Words w) {
  if (w.owner.load(std::memory_order_relaxed) != my_token()) {
    return false;
  }
  if (--w.depth == 0) {
    w.owner.store(0, std::memory_order_relaxed);
    w.state.store(0, std::memory_order_relaxed);
  }
  return true;
}

struct GlobalLock {
  std::atomic<uint32_t> state{0};
  std::atomic<uintptr_t> owner{0};
  uint32_t depth = 0;
};
constinit GlobalLock g_thread_guard_lock;

bool guard_ready(const void* obj, int slot) {
  return lock_ready(static_cast<const GlobalLock*>(obj)->owner, slot);
}

}  // namespace

namespace sched {

int mutex_holder(const void* mutex) {
  if (mutex == nullptr) {
    return -1;
  }
  // The owner word is the second word of both layouts (checked below and in the mutex's
  // constructor).
  uintptr_t holder = 0;
  std::memcpy(&holder, static_cast<const char*>(mutex) + sizeof(uintptr_t), sizeof holder);
  return holder == 0 ? -1 : static_cast<int>(holder - 1);
}

}  // namespace sched

static_assert(offsetof(GlobalLock, owner) == sizeof(uintptr_t));

// ---- OSW_Mutex_Semaphore ----

OSW_Mutex_Semaphore::OSW_Mutex_Semaphore(int initial) : state_(0), owner_(0), depth_(0) {
  PVGEN_CHECK_MUTEX_LAYOUT();
  platform::detail::count_os_object(false);
  if (initial == 0) {
    take(Words{state_, owner_, depth_});
  }
}

OSW_Mutex_Semaphore::~OSW_Mutex_Semaphore() = default;

int OSW_Mutex_Semaphore::request(unsigned long /*timeout: always without limit*/) {
  if (sched::frozen()) {
    return 0;
  }
  if (sched::controlled()) {
    const sched::Ready ready = [](const void* obj, int slot) {
      return lock_ready(static_cast<const OSW_Mutex_Semaphore*>(obj)->owner_, slot);
    };
    while (!sched::point(sched::Ev::kMutexRequest, this, 0, ready, this, sched::kNever,
                         __builtin_return_address(0))) {
    }
  }
  take(Words{state_, owner_, depth_});
  return 0;
}

int OSW_Mutex_Semaphore::release() {
  if (sched::frozen()) {
    return 0;
  }
  if (!give(Words{state_, owner_, depth_})) {
    return -1;
  }
  if (sched::controlled()) {
    sched::point(sched::Ev::kMutexRelease, this, 0, nullptr, nullptr, sched::kNever,
                 __builtin_return_address(0));
  }
  return 0;
}

bool OSW_Mutex_Semaphore::held_by_caller() const {
  return owner_.load(std::memory_order_relaxed) == my_token();
}

// ---- OSW_Event_Semaphore ----

struct OSW_Event_Semaphore::Cell {
  uint32_t posts;
};

OSW_Event_Semaphore::OSW_Event_Semaphore(int initial)
    : cell_(new Cell{initial > 0 ? static_cast<uint32_t>(initial) : 0u}) {
  platform::detail::count_os_object(true);
}

OSW_Event_Semaphore::~OSW_Event_Semaphore() {
  delete cell_;
}

int OSW_Event_Semaphore::post() {
  ++cell_->posts;
  if (sched::controlled()) {
    sched::point(sched::Ev::kEventPost, this, 0, nullptr, nullptr, sched::kNever,
                 __builtin_return_address(0));
  }
  return 0;
}

int OSW_Event_Semaphore::wait(unsigned long /*timeout: always without limit*/) {
  if (!sched::controlled()) {
    if (cell_->posts == 0) {
      outside("a wait for an event without a post");
    }
  } else {
    const sched::Ready ready = [](const void* obj, int) {
      return static_cast<const Cell*>(obj)->posts > 0;
    };
    while (!sched::point(sched::Ev::kEventWait, this, 0, ready, cell_, sched::kNever,
                         __builtin_return_address(0))) {
    }
  }
  --cell_->posts;
  return 0;
}

// ---- Guards ----

OSW_Thread_Guard::OSW_Thread_Guard() {
  if (sched::controlled()) {
    while (!sched::point(sched::Ev::kGuardRequest, &g_thread_guard_lock, 0, guard_ready,
                         &g_thread_guard_lock, sched::kNever, __builtin_return_address(0))) {
    }
  }
  take(Words{g_thread_guard_lock.state, g_thread_guard_lock.owner, g_thread_guard_lock.depth});
}

OSW_Thread_Guard::~OSW_Thread_Guard() {
  if (give(
          Words{g_thread_guard_lock.state, g_thread_guard_lock.owner, g_thread_guard_lock.depth}) &&
      sched::controlled()) {
    sched::point(sched::Ev::kGuardRelease, &g_thread_guard_lock, 0, nullptr, nullptr, sched::kNever,
                 __builtin_return_address(0));
  }
}

// ---- Priorities ----

extern "C" int emwOSWSetTaskPriority(pthread_t thread, int priority) {
  platform::detail::record_priority(thread, priority);
  return 0;
}
