/*
 * The simulated engine's time and blocking, as a scheduler may take them over.
 *
 * By default the engine reads CLOCK_MONOTONIC and its driver waits sleep on a condition
 * variable. A program whose threads run under a scheduler of its own (the controlled
 * platform used by pvgen-explore) exports the function below; the engine then asks it,
 * on every use, for the hooks in force and, when it gets some, reads the scheduler's
 * virtual clock, blocks through it and makes every call on the device one of its
 * scheduling points. A null answer means the real clock and blocking.
 */
#ifndef PVGEN_SIM_CLOCK_H
#define PVGEN_SIM_CLOCK_H

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What a device call is about to do, for the scheduler's event trace. */
enum { PVGEN_SIM_CALL_OPEN = 1, PVGEN_SIM_CALL_IOCTL = 2, PVGEN_SIM_CALL_CLOSE = 3 };

typedef struct {
  /* The engine's time in nanoseconds. */
  uint64_t (*now_ns)(void);
  /* Called with `mu` held: gives it back, blocks until the engine's state changes (see
   * changed) or the clock reaches `until` (UINT64_MAX: no limit), and takes it again. */
  void (*sleep)(pthread_mutex_t* mu, uint64_t until);
  /* The engine's state changed: every thread blocked in sleep tests its condition again. */
  void (*changed)(void);
  /* A device call of kind PVGEN_SIM_CALL_* (for ioctl, `request`) is about to be served;
   * called with no engine lock held. */
  void (*call)(int kind, unsigned long request);
} pvgen_sim_clock_hooks;

/* Exported by a scheduler; the engine looks it up by name once, at load time. */
typedef const pvgen_sim_clock_hooks* (*pvgen_sim_clock_hooks_fn)(void);
#define PVGEN_SIM_CLOCK_HOOKS_SYMBOL "pvgen_sim_clock_hooks_in_force"

#ifdef __cplusplus
}
#endif

#endif
