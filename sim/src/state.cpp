// The simulator's shared state, its lock and clock, and the sleeps of its waits.
#include "state.h"

#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

namespace pvgen_sim {

const char* const kKindNames[PVGEN_SIM_KINDS] = {"page_start", "band", "wait",
                                                 "stop",       "open", "close"};

std::atomic<int> g_open_count{0};

State& state() {
  static State* const s = new State();
  return *s;
}

uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Sleeps on the condition variable until woken or until `until` (kNever: no limit).
void sleep_until(State& s, uint64_t until) {
  if (until == kNever) {
    pthread_cond_wait(&s.cv, &s.mu);
    return;
  }
  // A real engine raises its interrupt when the band is done; the kernel's default timer
  // slack (50 us) would deliver simulated completions late and skew the timing model.
  thread_local bool precise = false;
  if (!precise) {
    precise = true;
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(until / 1000000000u);
  ts.tv_nsec = static_cast<long>(until % 1000000000u);
  pthread_cond_timedwait(&s.cv, &s.mu, &ts);
}

void changed(State& s) {
  s.generation.fetch_add(1, std::memory_order_release);
  pthread_cond_broadcast(&s.cv);
}

// Sleeps until a report falls due at `due`, or until something changes. A real engine
// raises its interrupt when the band is done and the driver wakes its waiter at once,
// whereas a timed sleep returns a timer interrupt and a wake-up later (10 to 20 us on a
// virtual machine, more than a short band lasts). So the last stretch before the due time
// is spent watching the clock, with the state unlocked; a change ends the watch early, as
// it would end the sleep.
void sleep_until_due(State& s, uint64_t due) {
  constexpr uint64_t kWatch = 30000;  // ns: most timer wake-ups on these machines are quicker
  const uint64_t now = now_ns();
  if (due > now + kWatch) {
    sleep_until(s, due - kWatch);
    return;
  }
  const uint64_t seen = s.generation.load(std::memory_order_acquire);
  pthread_mutex_unlock(&s.mu);
  while (now_ns() < due && s.generation.load(std::memory_order_acquire) == seen) {
    sched_yield();  // a thread of the program that wants this processor gets it
  }
  pthread_mutex_lock(&s.mu);
}

uint64_t mul_sat(uint64_t a, uint64_t b) {
  if (a != 0 && b > kNever / a)
    return kNever;
  return a * b;
}

uint64_t add_sat(uint64_t a, uint64_t b) {
  return b > kNever - a ? kNever : a + b;
}

}  // namespace pvgen_sim
