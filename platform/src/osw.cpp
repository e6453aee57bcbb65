// Locks and events on Linux futexes.
//
// Mutex protocol (the futex word `state`): 0 free, 1 held, 2 held and somebody may sleep
// on it. A free mutex is taken with one compare-and-swap; a holder that finds 2 when it
// gives the mutex back wakes one sleeper. The owner token is the address of a per-thread
// variable, so the uncontended request and release touch only the mutex itself.
//
// Event protocol: the cell's futex word counts the posts not yet taken and carries a
// "sleepers" bit. A post adds one and only enters the kernel when the bit is set; a waiter
// takes one post by compare-and-swap, or sets the bit and sleeps while no post is there,
// and tests again after every wake.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "futex.h"
#include "layout_checks.h"
#include "osw.h"
#include "platform_internal.h"

#if PLATFORM_TSAN
#include <sanitizer/tsan_interface.h>
#endif

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<uintptr_t>::is_always_lock_free);
static_assert(sizeof(OSW_Event_Semaphore) == sizeof(void*));

namespace {

using platform::detail::futex_wait;
using platform::detail::futex_wake;

// The calling thread's owner token: the address of a thread-local byte. Initial-exec keeps
// it a single load from the thread pointer instead of a call into the dynamic linker.
[[gnu::tls_model("initial-exec")]] thread_local char t_token;

inline uintptr_t self_token() {
  return reinterpret_cast<uintptr_t>(&t_token);
}

// The contended half of taking `state`: announce a sleeper (2), sleep until the holder
// hands over, then record the caller as the owner. Kept out of line, so that the
// uncontended request needs no stack frame.
[[gnu::noinline]] void lock_contended(std::atomic<uint32_t>& state, std::atomic<uintptr_t>& owner,
                                      uint32_t& depth, uint32_t seen) {
  if (seen != 2) {
    seen = state.exchange(2, std::memory_order_acquire);
  }
  while (seen != 0) {
    futex_wait(state, 2);
    seen = state.exchange(2, std::memory_order_acquire);
  }
  owner.store(self_token(), std::memory_order_relaxed);
  depth = 1;
}

// The re-entrant lock shared by OSW_Mutex_Semaphore and the process-wide thread guard.
// `depth` is touched only by the owner, after acquiring or before releasing `state`.
inline void lock_acquire(std::atomic<uint32_t>& state, std::atomic<uintptr_t>& owner,
                         uint32_t& depth, void* tsan_id, unsigned tsan_flags) {
  (void)tsan_id;
  (void)tsan_flags;
#if PLATFORM_TSAN
  __tsan_mutex_pre_lock(tsan_id, tsan_flags);
#endif
  const uintptr_t me = self_token();
  if (owner.load(std::memory_order_relaxed) == me) {
    ++depth;
  } else {
    uint32_t seen = 0;
    if (state.compare_exchange_strong(seen, 1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) [[likely]] {
      owner.store(me, std::memory_order_relaxed);
      depth = 1;
    } else {
      lock_contended(state, owner, depth, seen);
    }
  }
#if PLATFORM_TSAN
  __tsan_mutex_post_lock(tsan_id, tsan_flags, 0);
#endif
}

inline int lock_release(std::atomic<uint32_t>& state, std::atomic<uintptr_t>& owner,
                        uint32_t& depth, void* tsan_id) {
  (void)tsan_id;
  if (owner.load(std::memory_order_relaxed) != self_token()) {
    return -1;
  }
#if PLATFORM_TSAN
  __tsan_mutex_pre_unlock(tsan_id, 0);
#endif
  if (--depth == 0) {
    owner.store(0, std::memory_order_relaxed);
    if (state.exchange(0, std::memory_order_release) == 2) {
      futex_wake(state, 1);
    }
  }
#if PLATFORM_TSAN
  __tsan_mutex_post_unlock(tsan_id, 0);
#endif
  return 0;
}

// The lock behind OSW_Thread_Guard: constant-initialised, so it works before and during
// static initialisation, and never destroyed, so threads still running at exit can use it.
struct GlobalLock {
  std::atomic<uint32_t> state{0};
  std::atomic<uintptr_t> owner{0};
  uint32_t depth = 0;
};
constinit GlobalLock g_thread_guard_lock;

#if PLATFORM_TSAN
// No create annotation can run early enough for a constant-initialised lock: its creation
// flags travel with every lock operation instead.
constexpr unsigned kGlobalLockFlags = __tsan_mutex_linker_init | __tsan_mutex_write_reentrant;
constexpr unsigned kMutexFlags = __tsan_mutex_write_reentrant | __tsan_mutex_not_static;
#else
constexpr unsigned kGlobalLockFlags = 0;
#endif

}  // namespace

// ---- OSW_Mutex_Semaphore ----

OSW_Mutex_Semaphore::OSW_Mutex_Semaphore(int initial) : state_(0), owner_(0), depth_(0) {
  PVGEN_CHECK_MUTEX_LAYOUT();
  platform::detail::count_os_object(false);
#if PLATFORM_TSAN
  __tsan_mutex_create(this, kMutexFlags);
#endif
  if (initial == 0) {
    lock_acquire(state_, owner_, depth_, this, 0);
  }
}

OSW_Mutex_Semaphore::~OSW_Mutex_Semaphore() {
  // Destroying a held mutex is a caller's mistake; it is tolerated without touching the
  // holder. Under ThreadSanitizer the caller's own hold is dropped first, so that only a
  // mutex still held by another thread is reported.
#if PLATFORM_TSAN
  if (held_by_caller()) {
    __tsan_mutex_pre_unlock(this, __tsan_mutex_recursive_unlock);
    __tsan_mutex_post_unlock(this, 0);
  }
  __tsan_mutex_destroy(this, __tsan_mutex_not_static);
#endif
}

int OSW_Mutex_Semaphore::request(unsigned long /*timeout: always without limit*/) {
  lock_acquire(state_, owner_, depth_, this, 0);
  return 0;
}

int OSW_Mutex_Semaphore::release() {
  return lock_release(state_, owner_, depth_, this);
}

bool OSW_Mutex_Semaphore::held_by_caller() const {
  return owner_.load(std::memory_order_relaxed) == self_token();
}

// ---- OSW_Event_Semaphore ----

// `word` is the futex word: bit 0 says that a waiter may sleep on it, the bits above count
// the posts not yet taken. Keeping both in one word means that post() touches the cell
// only once, with a single read-modify-write: a waiter woken by that post may return and
// destroy the event at once, and post() must not read the cell afterwards (the wake-up
// itself only names the address).
// `waiters` counts the threads inside the slow path of wait(); the last one to leave
// clears the sleeper bit again, so that posts to an event nobody waits on stay out of the
// kernel.
struct OSW_Event_Semaphore::Cell {
  static constexpr uint32_t kSleepers = 1;
  static constexpr uint32_t kOne = 2;  // one post
  std::atomic<uint32_t> word;
  std::atomic<uint32_t> waiters;
};

OSW_Event_Semaphore::OSW_Event_Semaphore(int initial)
    : cell_(new Cell{{initial > 0 ? static_cast<uint32_t>(initial) * Cell::kOne : 0u}, {0}}) {
  platform::detail::count_os_object(true);
}

OSW_Event_Semaphore::~OSW_Event_Semaphore() {
  delete cell_;
}

int OSW_Event_Semaphore::post() {
  std::atomic<uint32_t>& word = cell_->word;
  if (word.fetch_add(Cell::kOne, std::memory_order_seq_cst) & Cell::kSleepers) {
    futex_wake(word, 1);
  }
  return 0;
}

namespace {
// Takes one post if there is one (acquire: the post happens before the return of wait).
inline bool take_post(std::atomic<uint32_t>& word, uint32_t& seen) {
  while (seen >= OSW_Event_Semaphore::Cell::kOne) {
    if (word.compare_exchange_weak(seen, seen - OSW_Event_Semaphore::Cell::kOne,
                                   std::memory_order_seq_cst, std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}
}  // namespace

int OSW_Event_Semaphore::wait(unsigned long /*timeout: always without limit*/) {
  Cell& cell = *cell_;
  uint32_t seen = cell.word.load(std::memory_order_relaxed);
  if (take_post(cell.word, seen)) {
    return 0;
  }
  cell.waiters.fetch_add(1, std::memory_order_seq_cst);
  seen = cell.word.load(std::memory_order_seq_cst);
  while (!take_post(cell.word, seen)) {
    // No post: make sure the sleeper bit is set, then sleep unless the word changed.
    if (!(seen & Cell::kSleepers) &&
        !cell.word.compare_exchange_weak(seen, seen | Cell::kSleepers, std::memory_order_seq_cst,
                                         std::memory_order_relaxed)) {
      continue;
    }
    futex_wait(cell.word, Cell::kSleepers);
    seen = cell.word.load(std::memory_order_seq_cst);
  }
  // Leave the slow path. The last waiter clears the sleeper bit; if another waiter arrived
  // between the guess and the count, the bit goes back and any posts that came in while it
  // was clear (and so woke nobody) wake that many sleepers now.
  const uint32_t guess = cell.waiters.load(std::memory_order_seq_cst);
  if (guess == 1) {
    cell.word.fetch_and(~Cell::kSleepers, std::memory_order_seq_cst);
  }
  const uint32_t before = cell.waiters.fetch_sub(1, std::memory_order_seq_cst);
  if (guess == 1 && before > 1) {
    const uint32_t posts =
        cell.word.fetch_or(Cell::kSleepers, std::memory_order_seq_cst) / Cell::kOne;
    if (posts != 0) {
      futex_wake(cell.word, posts < before - 1 ? posts : before - 1);
    }
  }
  return 0;
}

// ---- Guards ----

OSW_Thread_Guard::OSW_Thread_Guard() {
  lock_acquire(g_thread_guard_lock.state, g_thread_guard_lock.owner, g_thread_guard_lock.depth,
               &g_thread_guard_lock, kGlobalLockFlags);
}

OSW_Thread_Guard::~OSW_Thread_Guard() {
  lock_release(g_thread_guard_lock.state, g_thread_guard_lock.owner, g_thread_guard_lock.depth,
               &g_thread_guard_lock);
}

// ---- Priorities ----

extern "C" int emwOSWSetTaskPriority(pthread_t thread, int priority) {
  // The host keeps every thread at the default policy; the request is only recorded.
  platform::detail::record_priority(thread, priority);
  return 0;
}
