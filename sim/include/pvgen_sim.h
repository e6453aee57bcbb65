/*
 * Simulated PVGEN engine behind /dev/mfp_pvgen: control interface.
 *
 * libpvgen_sim.so stands in for the kernel driver. It interposes open (also open64,
 * __open_2, __open64_2, openat, openat64), ioctl (also __ioctl_time64) and close: an open of
 * PVGEN_SIM_DEVICE returns a simulated descriptor, requests on such descriptors are served
 * by the engine model below, and every other call goes on to the C library untouched.
 * Two ways to use it:
 *   - link the test program against it (target pvgen_sim); the program then also drives the
 *     functions of this header (faults, gate, statistics, logs);
 *   - preload it into any program (tools/pvgen-sim does that) and configure it through the
 *     environment variables listed at the end.
 * All functions may be called from any thread at any time.
 *
 * ENGINE MODEL (one engine per open descriptor)
 *
 * Requests (third ioctl argument: the block's address):
 *   PVGEN_SIM_IOC_PAGE_START, _BAND_EXE, _STOP  carry a pvgen_sim_cmd_blk (2276 bytes);
 *   PVGEN_SIM_IOC_WAIT                          carries a pvgen_sim_wait_blk (104 bytes).
 * A command returns at once with its `result` written (0 success). A wait blocks until the
 * descriptor's oldest undelivered report is due and the gate lets it through, then writes
 * the report into the out words (job_id, band_num, src, dst, plane_result, result) and
 * returns 0. Reports of one descriptor are delivered strictly in the order their work was
 * commanded, one report per wait.
 *
 * Page start: remembers the page (job_id, mode, dst[3], ring[3], band_total) and sets the
 *   descriptor's band sequence number n back to 0.
 *   mode 2 (page mode): the engine runs the page's bands itself and produces band_total
 *     reports, report k (1..band_total) describing page band k. With band_total 0 the page
 *     runs until it is stopped.
 *   any other mode: no report.
 * Band execute: n = n + 1; produces exactly one report. Every band command on a simulated
 *   descriptor with a non-null block gets its report, even when it is refused or its ioctl
 *   is made to fail; a band that is not run gets a failure report (see below).
 * Stop: forgets the page. If a page-mode page of the descriptor is still running (not all
 *   its band reports were delivered), its undelivered band reports are dropped and one
 *   final report is queued instead (job_id of the page, band_num 0, result 2, all other out
 *   words 0). Reports of band commands are never dropped by a stop.
 *
 * Report of band command n (B = the band command, P = the page start before it on the same
 * descriptor; P's words are 0 when no page was started since open or since the last stop):
 *   job_id       = B.job_id
 *   band_num     = 1
 *   src[i]       = { B.src[i].id, B.src[i].word1 + 1, n }          (i = 0..2)
 *   dst[i]       = { P.dst[i].id, P.dst[i].word1 + n, n }
 *   plane_result = (B.job_id << 16) | (n & 0xFFFF)
 *   result       = 0
 * Report k of a page-mode page P:
 *   job_id       = P.job_id
 *   band_num     = 1
 *   src[i]       = { P.ring[i].id, P.ring[i].word1 + k, k }
 *   dst[i]       = { P.dst[i].id, P.dst[i].word1 + k, k }
 *   plane_result = (P.job_id << 16) | (k & 0xFFFF)
 *   result       = 0
 * Failure report of a band that was not run: job_id = B.job_id, band_num 0,
 *   result PVGEN_SIM_RESULT_BAND_FAILED, other out words 0 (n is still counted).
 * Word arithmetic is modulo 2^32.
 *
 * Unit check: a command or wait whose asic, module or channel word is not 0 is answered with
 *   result PVGEN_SIM_RESULT_BAD_UNIT and does nothing else (a wait returns at once without
 *   taking a report; a band still gets its failure report).
 * Bad input: an unknown request code on a simulated descriptor fails with -1/ENOTTY, a null
 *   block with -1/EFAULT. A closed descriptor is no longer simulated: requests on it go to
 *   the C library, which answers -1/EBADF. Closing a descriptor while threads wait on it
 *   wakes them with -1/EBADF.
 *
 * Timing: each band (band command or page-mode band) keeps the descriptor's engine busy for
 * the band time (default 0). Bands run back to back in command order:
 *   completion = max(command time, previous completion of the descriptor) + band time,
 * where the command time of page-mode band k is the page start's time (band k completes k
 * band times after the page's first band started). A report is due at its completion
 * (failure reports of bands not run: at max(command time, previous completion)); the wait
 * returns at CLOCK_MONOTONIC time >= the due time. Busy time adds one band time per band;
 * idle time adds, for each band command or page-mode page start after the descriptor's
 * first band since reset, the gap between the previous completion and the command when the
 * command came later. For one
 * descriptor: busy_ns + idle_ns == last_completion_ns - first_band_ns, so the utilisation is
 * busy_ns / (last_completion_ns - first_band_ns). A stop that cancels page-mode bands gives
 * back the busy time of the bands not yet completed at the stop.
 *
 * Gate: when closed, a wait delivers a report only against a credit (one credit per report,
 * granted by pvgen_sim_gate_release); open (the default) lets every due report through.
 * Answers that take no report (result 3 by fault, bad unit) are not held by the gate.
 *
 * FAULTS
 * A rule hits the calls of one kind that start after the rule was added, counted 1, 2, ...
 * process-wide (all descriptors): the calls first .. first+count-1 (count 0: every call from
 * first on). Several rules may hit the same call; RESULT and BAND_NUM rules then all apply
 * in the order added, AGAIN beats ERRNO, ERRNO beats the rest.
 *   PVGEN_SIM_ACT_ERRNO    the call returns -1 with errno `err` (open: no descriptor). For
 *                          ioctls the block's result word is set to `value` (0: left 0).
 *   PVGEN_SIM_ACT_RESULT   commands: the call returns 0 with result `value` (stop 2 or 5, a
 *                          refused band or page start); waits: the delivered report's
 *                          result is replaced by `value` (completion states 1 and 2).
 *   PVGEN_SIM_ACT_AGAIN    waits: the call returns 0 at once with result 3 and takes no
 *                          report (no other out word is written).
 *   PVGEN_SIM_ACT_BAND_NUM waits: the delivered report's band_num is replaced by `value`.
 * A command hit by ERRNO or RESULT is carried out only when the result it answers means
 * success (a stop answered 2); otherwise it does nothing, except that a band still gets its
 * failure report. A wait hit by ERRNO blocks like a normal wait, takes the report it would
 * have delivered, drops it, and fails (out words untouched except result).
 *
 * Fault scripts (pvgen_sim_fault_script, PVGEN_SIM_FAULTS): rules separated by ';'
 *   KIND[#FIRST[xCOUNT|+]]:ACTION[,ACTION...]
 *   KIND    open | start | band | wait | stop
 *   #FIRST  the FIRST-th call; xCOUNT: COUNT calls from there; '+': every call from there;
 *           no '#': every call
 *   ACTION  errno=NAME|NUMBER (with result=N: the result word of the failing ioctl)
 *           result=N | again | band_num=N
 *   e.g. "wait#1x2:again; band#3:result=4; stop:result=2; open#1:errno=EACCES;
 *         wait#2:errno=EIO,result=7; wait#4:band_num=2"
 * Blanks around tokens are ignored. errno names: EPERM ENOENT EINTR EIO ENXIO EBADF EAGAIN
 * ENOMEM EACCES EFAULT EBUSY ENODEV EINVAL EMFILE ENOTTY ETIMEDOUT ECANCELED.
 *
 * ENVIRONMENT (read once at load time; a malformed value is reported on stderr, a fault
 * script with the rule and the part of it that is wrong, and the process exits with
 * status 2)
 *   PVGEN_SIM_BAND_TIME  engine time per band: a number with unit ns, us, ms or s
 *                        (no unit: microseconds)
 *   PVGEN_SIM_FAULTS     fault script (see above)
 *   PVGEN_SIM_GATE       start with the gate closed and this many credits
 *   PVGEN_SIM_STATS      at exit write the statistics to this file ("-" or "stderr": stderr)
 *   PVGEN_SIM_TRACE      write one line per request to this file ("-" or "stderr": stderr)
 *   PVGEN_SIM_LOG_LIMIT  entries kept in each log (default 4096)
 *   PVGEN_SIM_REPLAY     answer the device from this recording (docs/recording.md) instead
 *                        of the engine model; the first call that differs from it is
 *                        reported on stderr and ends the process with status
 *                        PVGEN_SIM_REPLAY_DIVERGED. Band time, faults and gate do not apply.
 *   PVGEN_SIM_REPLAY_PATIENCE  seconds a replayed wait waits for the commands recorded
 *                        before its answer (default 10) before it reports a divergence
 */
#ifndef PVGEN_SIM_H
#define PVGEN_SIM_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define PVGEN_SIM_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define PVGEN_SIM_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define PVGEN_SIM_DEVICE "/dev/mfp_pvgen"

/* Request codes (_IOWR, type 0xdf). */
#define PVGEN_SIM_IOC_PAGE_START 0xC8E4DF00u
#define PVGEN_SIM_IOC_BAND_EXE 0xC8E4DF01u
#define PVGEN_SIM_IOC_WAIT 0xC068DF02u
#define PVGEN_SIM_IOC_STOP 0xC8E4DF03u

/* Exit status of a replay that found the program's calls differ from the recording. */
#define PVGEN_SIM_REPLAY_DIVERGED 97

/* Result words the simulator answers with by itself. */
#define PVGEN_SIM_RESULT_STOPPED 2     /* final report of a stopped page-mode page */
#define PVGEN_SIM_RESULT_AGAIN 3       /* wait: nothing final yet (fault AGAIN only) */
#define PVGEN_SIM_RESULT_BAND_FAILED 4 /* report of a band that was not run */
#define PVGEN_SIM_RESULT_BAD_UNIT 6    /* asic, module or channel word not 0 */

/* Request kinds: statistics, faults and waits are kept per kind. The ioctl kinds equal the
 * request number (low byte of the code). */
enum {
  PVGEN_SIM_PAGE_START = 0,
  PVGEN_SIM_BAND = 1,
  PVGEN_SIM_WAIT = 2,
  PVGEN_SIM_STOP = 3,
  PVGEN_SIM_OPEN = 4,
  PVGEN_SIM_CLOSE = 5,
  PVGEN_SIM_KINDS = 6
};

/* Buffer descriptor (12 bytes). */
typedef struct pvgen_sim_buf {
  uint32_t id;
  uint32_t word1;
  uint32_t word2;
} pvgen_sim_buf;

/* Command block of page start, band execute and stop (2276 bytes). */
typedef struct pvgen_sim_cmd_blk {
  uint32_t job_id;
  uint32_t asic;
  uint32_t module;
  uint32_t channel;
  uint32_t mode;
  uint32_t variant;
  uint32_t type;
  pvgen_sim_buf src[3];
  pvgen_sim_buf dst[3];
  uint32_t band_total;
  uint32_t src_buf_num;
  pvgen_sim_buf ring[3];
  uint32_t ring_param0;
  uint32_t ring_param1;
  uint32_t band_param0;
  uint32_t band_param1;
  uint8_t conv_table[2112];
  int32_t result; /* answer */
} pvgen_sim_cmd_blk;

/* Wait block (104 bytes). */
typedef struct pvgen_sim_wait_blk {
  uint32_t job_id;       /* out */
  uint32_t asic;         /* in */
  uint32_t module;       /* in */
  uint32_t channel;      /* in */
  uint32_t reserved;     /* neither read nor written */
  int32_t band_num;      /* out */
  pvgen_sim_buf src[3];  /* out */
  pvgen_sim_buf dst[3];  /* out */
  uint32_t plane_result; /* out */
  int32_t result;        /* out */
} pvgen_sim_wait_blk;

PVGEN_SIM_STATIC_ASSERT(sizeof(pvgen_sim_buf) == 12, "buf size");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, job_id) == 0, "cmd job_id");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, asic) == 4, "cmd asic");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, module) == 8, "cmd module");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, channel) == 12, "cmd channel");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, mode) == 16, "cmd mode");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, variant) == 20, "cmd variant");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, type) == 24, "cmd type");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, src) == 28, "cmd src");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, dst) == 64, "cmd dst");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, band_total) == 100, "cmd band_total");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, src_buf_num) == 104, "cmd src_buf_num");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, ring) == 108, "cmd ring");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, ring_param0) == 144, "cmd ring_param0");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, ring_param1) == 148, "cmd ring_param1");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, band_param0) == 152, "cmd band_param0");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, band_param1) == 156, "cmd band_param1");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, conv_table) == 160, "cmd conv_table");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_cmd_blk, result) == 2272, "cmd result");
PVGEN_SIM_STATIC_ASSERT(sizeof(pvgen_sim_cmd_blk) == 2276, "cmd size");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_wait_blk, job_id) == 0, "wait job_id");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_wait_blk, asic) == 4, "wait asic");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_wait_blk, module) == 8, "wait module");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_wait_blk, channel) == 12, "wait channel");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_wait_blk, reserved) == 16, "wait reserved");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_wait_blk, band_num) == 20, "wait band_num");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_wait_blk, src) == 24, "wait src");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_wait_blk, dst) == 60, "wait dst");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_wait_blk, plane_result) == 96, "wait plane_result");
PVGEN_SIM_STATIC_ASSERT(offsetof(pvgen_sim_wait_blk, result) == 100, "wait result");
PVGEN_SIM_STATIC_ASSERT(sizeof(pvgen_sim_wait_blk) == 104, "wait size");

/* ---- configuration ---------------------------------------------------------------- */

/* Back to the built-in defaults: band time 0, no fault rules, gate open, log limit 4096;
 * statistics, logs and fault call counters cleared. Open descriptors stay open and keep
 * their page and undelivered reports (timing statistics are exact only when reset is
 * called while no band is in flight). */
void pvgen_sim_reset(void);

/* Engine time per band for bands commanded from now on. */
void pvgen_sim_set_band_time_ns(uint64_t ns);
uint64_t pvgen_sim_band_time_ns(void);

/* Entries kept in each log (the oldest are dropped first); at least 1. */
void pvgen_sim_set_log_limit(size_t entries);

/* CLOCK_MONOTONIC now, in nanoseconds: the time base of every time in this header. */
uint64_t pvgen_sim_now_ns(void);

/* 1 when fd is an open simulated descriptor, else 0. */
int pvgen_sim_is_device(int fd);

/* ---- faults ----------------------------------------------------------------------- */

enum {
  PVGEN_SIM_ACT_ERRNO = 1,
  PVGEN_SIM_ACT_RESULT = 2,
  PVGEN_SIM_ACT_AGAIN = 3,
  PVGEN_SIM_ACT_BAND_NUM = 4
};

typedef struct pvgen_sim_fault {
  int kind;       /* PVGEN_SIM_OPEN, _PAGE_START, _BAND, _WAIT or _STOP */
  int action;     /* PVGEN_SIM_ACT_* */
  uint32_t first; /* first call hit, 1-based (0 is taken as 1) */
  uint32_t count; /* calls hit from `first` on; 0: all later calls */
  int err;        /* ACT_ERRNO: the errno */
  int32_t value;  /* ACT_ERRNO: result word written; ACT_RESULT: result; ACT_BAND_NUM: band_num */
} pvgen_sim_fault;

/* Adds one rule. Returns 0, or -1 when kind or action is invalid (nothing added). */
int pvgen_sim_fault_add(const pvgen_sim_fault* fault);

/* Adds the rules of a script. Returns the number of rules added, or -1 when the script is
 * malformed (nothing added); pvgen_sim_fault_script_error then names the rule and the part
 * of it that is wrong. */
int pvgen_sim_fault_script(const char* script);

/* Why this thread's last pvgen_sim_fault_script call refused its script, e.g.
 * "rule 'band#0:again': bad call number '0'"; "" when it did not. */
const char* pvgen_sim_fault_script_error(void);

/* Removes every rule (call counters restart for rules added later anyway). */
void pvgen_sim_fault_clear(void);

/* ---- gate ------------------------------------------------------------------------- */

void pvgen_sim_gate_close(void);         /* hold reports from now on (credits set to 0) */
void pvgen_sim_gate_release(uint32_t n); /* let n more reports through a closed gate */
void pvgen_sim_gate_open(void);          /* let everything through */

/* ---- statistics ------------------------------------------------------------------- */

typedef struct pvgen_sim_stats {
  uint64_t requests[PVGEN_SIM_KINDS]; /* calls per kind on simulated descriptors, null
                                         blocks not counted; opens of the device, including
                                         failed ones */
  uint64_t failed[PVGEN_SIM_KINDS];   /* of which answered -1, or a command answered with a
                                         result other than 0 (stop: 0 or 2) */
  uint64_t bad_requests;              /* unknown request codes and null blocks */
  uint64_t reports;                   /* reports taken by waits (also final and failure
                                         reports, and reports dropped by a failing wait) */
  uint64_t again;                     /* waits answered with result 3 */
  uint64_t faults;                    /* calls hit by at least one fault rule */
  uint64_t bands_run;                 /* bands the engines ran (band commands and
                                         page-mode bands) */
  uint64_t busy_ns;                   /* engine time of those bands */
  uint64_t idle_ns;                   /* engine time spent waiting for band commands */
  uint64_t first_band_ns;             /* command time of the first band run; 0: none */
  uint64_t last_completion_ns;        /* completion of the last band run; 0: none */
  uint32_t open_descriptors;          /* simulated descriptors open now */
  uint32_t blocked_waiters;           /* threads in a wait with nothing to take now */
  uint32_t pending_reports;           /* reports queued and not yet taken, all descriptors
                                         (a page still running counts its remaining bands;
                                         one that runs until stopped counts 1) */
} pvgen_sim_stats;

void pvgen_sim_get_stats(pvgen_sim_stats* out);

/* Writes the statistics as "name=value" lines to the file (NULL, "-" or "stderr": stderr).
 * Returns 0 or -1. */
int pvgen_sim_stats_dump(const char* path);

/* ---- logs ------------------------------------------------------------------------- */

/* Every page start, band execute and stop call on a simulated descriptor (a call with a
 * null block is rejected before anything else and counts only in bad_requests). */
typedef struct pvgen_sim_command {
  uint32_t code; /* request code */
  int fd;
  pthread_t thread;      /* the calling thread */
  uint64_t time_ns;      /* when it was received */
  int ret;               /* what the ioctl returned */
  int err;               /* errno set with ret -1, else 0 */
  int32_t result;        /* result word answered */
  pvgen_sim_cmd_blk blk; /* the block as received */
} pvgen_sim_command;

/* Every answered wait call with a block on a simulated descriptor. */
typedef struct pvgen_sim_answer {
  int fd;
  pthread_t thread;       /* the waiting thread */
  uint64_t due_ns;        /* due time of the report taken; 0 when none was taken */
  uint64_t time_ns;       /* when the wait returned */
  int ret;                /* what the ioctl returned */
  int err;                /* errno set with ret -1, else 0 */
  int took_report;        /* 1 when a report was taken (delivered or dropped) */
  pvgen_sim_wait_blk blk; /* the block as returned to the caller */
} pvgen_sim_answer;

/* Calls logged since reset (also those no longer kept). */
size_t pvgen_sim_command_count(void);
size_t pvgen_sim_answer_count(void);

/* Copies entry `index` (0-based since reset). Returns 0, or -1 when the entry was never
 * logged or has been dropped (log limit). */
int pvgen_sim_command_get(size_t index, pvgen_sim_command* out);
int pvgen_sim_answer_get(size_t index, pvgen_sim_answer* out);

/* ---- waiting for the simulator (instead of sleeping in tests) ------------------------- */

/* Returns 0 once `requests[kind]` of the statistics reaches n, -1 after timeout_ms. */
int pvgen_sim_wait_requests(int kind, uint64_t n, uint32_t timeout_ms);

/* Returns 0 once the statistics' `reports` reaches n, -1 after timeout_ms. */
int pvgen_sim_wait_reports(uint64_t n, uint32_t timeout_ms);

/* Returns 0 once at least n threads are blocked in a wait with nothing to take (no report,
 * report not yet due, or gate closed), -1 after timeout_ms. */
int pvgen_sim_wait_blocked(uint32_t n, uint32_t timeout_ms);

#ifdef __cplusplus
}
#endif

#endif /* PVGEN_SIM_H */
