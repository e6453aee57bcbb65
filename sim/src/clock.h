// The engine's clock and blocking: the real monotonic clock and a condition variable, or a
// scheduler's when one is in force (pvgen_sim_clock.h).
#ifndef PVGEN_SIM_CLOCK_INTERNAL_H
#define PVGEN_SIM_CLOCK_INTERNAL_H

#include <pthread.h>

#include <cstdint>

namespace pvgen_sim {

// True while a scheduler keeps the engine's time (no real sleeps, no watching the clock).
bool clock_virtual();
uint64_t clock_now_ns();
// With `mu` held: sleeps on `cv` until woken or until `until` (UINT64_MAX: no limit).
void clock_sleep(pthread_cond_t* cv, pthread_mutex_t* mu, uint64_t until);
// Wakes every sleeper; `cv` is broadcast only when `cv_sleepers` says a thread may sleep on it.
void clock_changed(pthread_cond_t* cv, bool cv_sleepers);
// A device call is about to be served (no engine lock held).
void clock_call(int kind, unsigned long request);

}  // namespace pvgen_sim

#endif
