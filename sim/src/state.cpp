// The simulator's shared state, its lock and clock, and the sleeps of its waits.
#include "state.h"

#include <sched.h>

#include <cstring>

#include "clock.h"

namespace pvgen_sim {

const char* const kKindNames[PVGEN_SIM_KINDS] = {"page_start", "band", "wait",
                                                 "stop",       "open", "close"};

std::atomic<int> g_open_count{0};

// Sleeps on the condition variable until woken or until `until` (kNever: no limit).
void sleep_until(State& s, uint64_t until) {
  ++s.sleepers;
  clock_sleep(&s.cv, &s.mu, until);
  --s.sleepers;
}

// Every change is made with State::mu held, and a sleeper is counted before its sleep lets
// go of it: a change that finds no sleeper has nobody to wake.
void changed(State& s) {
  s.generation.fetch_add(1, std::memory_order_release);
  clock_changed(&s.cv, s.sleepers != 0);
}

// Sleeps until a report falls due at `due`, or until something changes. A real engine
// raises its interrupt when the band is done and the driver wakes its waiter at once,
// whereas a timed sleep returns a timer interrupt and a wake-up later (10 to 20 us on a
// virtual machine, more than a short band lasts). So the last stretch before the due time
// is spent watching the clock, with the state unlocked; a change ends the watch early, as
// it would end the sleep.
void sleep_until_due(State& s, uint64_t due) {
  constexpr uint64_t kWatch = 30000;  // ns: most timer wake-ups on these machines are quicker
  if (clock_virtual()) {
    sleep_until(s, due);  // a virtual clock is exact: nothing to watch
    return;
  }
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

void copy_bytes(void* to, const void* from, size_t size) {
  std::memcpy(to, from, size);
}

}  // namespace pvgen_sim
