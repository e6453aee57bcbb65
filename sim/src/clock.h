// The engine's clock and blocking: the real monotonic clock and a condition variable, or a
// scheduler's when one is in force (pvgen_sim_clock.h).
#ifndef PVGEN_SIM_CLOCK_INTERNAL_H
#define PVGEN_SIM_CLOCK_INTERNAL_H

#include <pthread.h>
#include <time.h>

#include <cstdint>

#include "pvgen_sim_clock.h"

namespace pvgen_sim {

// The scheduler's entry point, looked up once at load time and read-only afterwards; null in
// a program that has none, where the functions below take the real clock and blocking
// straight away instead of asking for the hooks in force.
extern pvgen_sim_clock_hooks_fn g_clock_hooks __attribute__((visibility("hidden")));

inline uint64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The same as the functions below, asking the scheduler first.
uint64_t scheduled_now_ns();
void scheduled_changed();
void scheduled_call(int kind, unsigned long request);

// True while a scheduler keeps the engine's time (no real sleeps, no watching the clock).
bool clock_virtual();

inline uint64_t clock_now_ns() {
  return g_clock_hooks == nullptr ? monotonic_ns() : scheduled_now_ns();
}

// With `mu` held: sleeps on `cv` until woken or until `until` (UINT64_MAX: no limit).
void clock_sleep(pthread_cond_t* cv, pthread_mutex_t* mu, uint64_t until);

// Wakes every sleeper; `cv` is broadcast only when `cv_sleepers` says a thread may sleep on it.
inline void clock_changed(pthread_cond_t* cv, bool cv_sleepers) {
  if (g_clock_hooks != nullptr)
    scheduled_changed();
  if (cv_sleepers)
    pthread_cond_broadcast(cv);
}

// A device call is about to be served (no engine lock held).
inline void clock_call(int kind, unsigned long request) {
  if (g_clock_hooks != nullptr)
    scheduled_call(kind, request);
}

}  // namespace pvgen_sim

#endif
