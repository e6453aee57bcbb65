/*
 * Schedules run by the program itself, in its own process: for a program that runs many
 * short schedules one after another (a fuzz target) and cannot afford a process for each.
 *
 * A program that defines the symbol pvgen_controlled_in_process (any value) and links the
 * controlled platform in place of the shipped one starts with no schedule: its threads run
 * freely. pvgen_controlled_begin makes the calling thread (thread 0, "main") the running
 * thread of a new schedule: from then on only one controlled thread runs at a time, threads
 * it creates are controlled too, and time is virtual. pvgen_controlled_end lets the other
 * controlled threads run until every one of them is blocked with no timer pending, then
 * hands the calling thread back to the program; those threads stay where they are until the
 * next schedule. So between two schedules only the calling thread runs, and a schedule that
 * starts on the same threads in the same state with the same seed runs the same way. The
 * first schedule pins the calling thread, and so every thread created after it, to the
 * processor it runs on.
 *
 * A failure of a schedule (every controlled thread blocked with no timer pending, the
 * limits below passed, more threads than the scheduler keeps) writes its report to
 * standard error, calls the failure hook and aborts the process.
 */
#ifndef PVGEN_CONTROLLED_H
#define PVGEN_CONTROLLED_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
  uint64_t points;     /* scheduling points of the schedule */
  uint64_t branching;  /* of them, points where two or more threads could run */
  uint64_t virtual_ns; /* virtual time the schedule took */
  uint64_t digest;     /* of its event trace: the same schedule gives the same digest */
} pvgen_controlled_summary;

/* Starts a schedule on the calling thread, which must not be controlled yet: every
 * branching step picks at random, from `seed`, among the threads that can run. A schedule
 * with more than `max_points` scheduling points fails (0: no limit). */
void pvgen_controlled_begin(uint64_t seed, uint64_t max_points);
/* Ends the schedule begun by the calling thread (see above); `summary` may be null. */
void pvgen_controlled_end(pvgen_controlled_summary* summary);
/* The virtual clock, in nanoseconds. */
uint64_t pvgen_controlled_now(void);
/* Fails the schedule if the virtual clock would pass `ns` from now before the next call;
 * `what` is named in the report. 0: no limit. */
void pvgen_controlled_watch(uint64_t ns, const char* what);
/* Called on a failure after the report, before the abort (with the platform's locks not
 * taken: it may read the library's state but must not wait). */
void pvgen_controlled_on_failure(void (*hook)(void));

#ifdef __cplusplus
}
#endif

#endif
