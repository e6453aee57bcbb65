/*
 * PVGEN image engine control library: public interface (C99 and C++).
 *
 * A caller drives one page like this:
 *   1. page_id = Quorl_cnv_pvgen_get_page_id(); put it into the block's page_id.
 *   2. Quorl_cnv_pvgen_prepare(&blk)            binds the engine's channel to the page.
 *   3. Quorl_cnv_pvgen_page_start(&blk, NULL)   starts the page on the engine.
 *   4. Quorl_cnv_pvgen_band_exe(&blk, cb)       once per band, band_total times.
 *   5. Quorl_cnv_pvgen_stop(&blk)               ends the page and frees the channel.
 * The page also ends by itself once band_total bands have completed; a stop after that
 * returns 0 at once.
 *
 * THE REQUEST BLOCK. Every function except Quorl_cnv_pvgen_get_page_id takes one
 * caller-owned request block. The library copies the block at the start of the call and never
 * reads it again; the only word it writes back is `result`, at the end of the call, with the
 * value it returns (except for an accepted band with a callback, see Quorl_cnv_pvgen_band_exe).
 * The block may be reused or freed as soon as the call returns, also while bands queued with
 * it are still running. A null block pointer is not allowed.
 *
 * OUTCOMES (return value, also written into `result`):
 *    0  success (QUORL_CNV_PVGEN_OK)
 *    1, 2  completion states the engine reported for a band, passed through unchanged
 *   -3  refused: a parameter is out of range, the page is not prepared or not started, or
 *       the request could never run (its page ended or was stopped first, its channel failed
 *       for good, or the library is being released) (QUORL_CNV_PVGEN_ERR_PARAM)
 *   -4  prepare only: no channel is free, or none can become free (QUORL_CNV_PVGEN_ERR_NO_CHANNEL)
 *   -5  the driver or device failed, the engine refused a command, or memory ran out inside
 *       the call; nothing of the call stays in the library (QUORL_CNV_PVGEN_ERR_DEVICE)
 * Refusals and failures are also written to the trace (emwGENTrcPrintf) and most are
 * notified (utl_lib_svccall_notify). What a caller sees in the corners: docs/decisions.md of
 * the package's documentation (installed in share/doc/quorl_cnv_pvgen/).
 *
 * THREADS. The words used below mean:
 *   thread-safe     may be called from any number of threads at the same time, for the same
 *                   or different pages, without a lock of the caller's;
 *   callback-safe   may also be called from inside a callback (on the library's worker
 *                   thread) without waiting for that thread;
 *   blocking        waits, without a time limit, for the event named; it never returns
 *                   when called from a callback for the engine's channel (the one channel
 *                   the library drives), because it would wait for the thread it runs on.
 * Every function is thread-safe. Only Quorl_cnv_pvgen_get_page_id and
 * Quorl_cnv_pvgen_band_exe with a callback are callback-safe. No function is
 * async-signal-safe: never call one from a signal handler.
 *
 * CALLBACKS run on the library's channel worker thread "quorl_pvgen_ch", never on the
 * submitting thread, one at a time and in the order the bands reached the engine, with no
 * library lock held. A callback must return (every later report waits for it) and must not
 * throw. It may call Quorl_cnv_pvgen_get_page_id and Quorl_cnv_pvgen_band_exe with a
 * callback; it must not call Quorl_cnv_pvgen_prepare, Quorl_cnv_pvgen_page_start,
 * Quorl_cnv_pvgen_band_exe without a callback or Quorl_cnv_pvgen_stop, not even to stop its
 * own page: those block until the worker has done something, and the worker is busy running
 * the callback. To stop a page from a callback, hand the stop to a thread of your own. The
 * record a callback gets is valid only during the call.
 *
 * All records are plain 32-bit words in the machine's byte order, naturally aligned, with
 * no gaps.
 */
#ifndef QUORL_CNV_PVGEN_H
#define QUORL_CNV_PVGEN_H

#include <stdint.h>

#if defined(__GNUC__)
#define QUORL_CNV_PVGEN_API __attribute__((visibility("default")))
#else
#define QUORL_CNV_PVGEN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Request kinds. */
#define QUORL_CNV_PVGEN_REQ_PREPARE 0
#define QUORL_CNV_PVGEN_REQ_PAGE_START 1
#define QUORL_CNV_PVGEN_REQ_BAND_EXE 2
#define QUORL_CNV_PVGEN_REQ_STOP 4

/* Outcomes. */
#define QUORL_CNV_PVGEN_OK 0
#define QUORL_CNV_PVGEN_ERR_PARAM (-3)
#define QUORL_CNV_PVGEN_ERR_NO_CHANNEL (-4)
#define QUORL_CNV_PVGEN_ERR_DEVICE (-5)

/* Buffer descriptor (12 bytes), one per plane. */
typedef struct {
  uint32_t id;    /* buffer identifier; 0 means no buffer */
  uint32_t word1; /* passed to the engine; reported back after each band */
  uint32_t word2; /* as word1 */
} QUORL_CNV_PVGEN_BUF;

/* The request block (2300 bytes), owned by the caller. */
typedef struct {
  uint32_t job_id;             /*    0 caller's tag, returned in every result record */
  int32_t page_id;             /*    4 from Quorl_cnv_pvgen_get_page_id; 1 and above */
  uint32_t asic;               /*    8 mask of asic numbers; bit 0 must be set */
  uint32_t module;             /*   12 mask of module numbers; bit 0 must be set */
  uint32_t channel;            /*   16 mask of channel numbers; bit 0 must be set */
  uint32_t priority;           /*   20 0..5, lower is served first */
  uint32_t mode;               /*   24 0 band without page, 1 band page, 2 page mode */
  uint32_t variant;            /*   28 passed to the engine on page start */
  uint32_t type;               /*   32 0..3 */
  QUORL_CNV_PVGEN_BUF src[3];  /*  36 source buffers, one per plane */
  QUORL_CNV_PVGEN_BUF dst[3];  /*  72 destination buffers, one per plane */
  uint32_t band_total;         /*  108 band completions that make up the page */
  uint32_t src_buf_num;        /*  112 ring buffers in page mode: 0 or 1 */
  QUORL_CNV_PVGEN_BUF ring[3]; /* 116 ring buffers, one per plane (page mode) */
  uint32_t ring_param0;        /*  152 */
  uint32_t ring_param1;        /*  156 */
  uint32_t band_param0;        /*  160 passed with each band */
  uint32_t band_param1;        /*  164 passed on page start and with each band */
  uint32_t wait_for_channel;   /*  168 prepare: 0 fails with -4 when no channel is free,
                                        non-zero waits until one is */
  uint8_t conv_table[2112];    /*  172 conversion parameters for the engine */
  uint32_t plane_result[3];    /* 2284 per-plane value reported with a band */
  int32_t result;              /* 2296 outcome of the last call made with this block */
} QUORL_CNV_PVGEN_BLK;

/* The result record (104 bytes) handed to a callback. It lives on the worker thread's
 * stack and is valid only during the callback; copy what you need. */
typedef struct {
  uint32_t job_id;            /*   0 the band's job_id */
  int32_t page_id;            /*   4 the band's page_id */
  int32_t band_count;         /*   8 bands of the page completed so far */
  int32_t band_num;           /*  12 bands this report completes (1 for a band) */
  QUORL_CNV_PVGEN_BUF src[3]; /* 16 source descriptors as the engine left them */
  QUORL_CNV_PVGEN_BUF dst[3]; /* 52 destination descriptors as the engine left them */
  uint32_t plane_result[3];   /*  88 the band's plane element: the engine's value */
  int32_t result;             /* 100 0, 1 or 2 from the engine, -5 failure */
} QUORL_CNV_PVGEN_RESULT_INFO;

typedef void (*QUORL_CNV_PVGEN_CALLBACK)(QUORL_CNV_PVGEN_RESULT_INFO*);

/* Returns a new page identifier: 1, 2, ... 2147483646, then 1 again; nothing records which
 * identifiers are in use. Thread-safe and callback-safe; blocks only on one short lock.
 * The first call of the process starts the library (its threads); if memory runs out on
 * the way it returns 0, which is never an identifier, and the next call tries again. */
QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_get_page_id(void);

/* Binds the engine's channel to blk->page_id. Thread-safe; blocking: until the library's
 * dispatcher thread has served the request, and with blk->wait_for_channel set also until
 * the channel is free. Outcomes:
 *    0  the channel now holds the page (prepared)
 *   -3  page_id below 1 or priority above 5
 *   -4  wait_for_channel 0: the channel holds another page; wait_for_channel set: the channel
 *       can never become free (it failed for good)
 *   -5  memory ran out
 * A stop of the page before the prepare ran ends it with the `result` value the block held
 * when the call was made. */
QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_prepare(QUORL_CNV_PVGEN_BLK* blk);

/* Starts the prepared page (always as a band page: mode 1, variant 1, type 2). Thread-safe;
 * blocking: until the engine has taken the page start. The callback is not used and never
 * called. Outcomes:
 *    0  the page runs; its bands may be executed
 *   -3  page not prepared (no channel holds page_id), no destination buffer, page_id below 1
 *   -5  the engine refused the page start, the driver call failed (the channel then stays
 *       unusable for the life of the process), or memory ran out
 * A stop of the page before the page start ran ends it with the `result` value the block
 * held when the call was made. */
QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_page_start(QUORL_CNV_PVGEN_BLK* blk,
                                                       QUORL_CNV_PVGEN_CALLBACK callback);

/* Executes one band of a prepared or started page. Thread-safe. While the channel holds two
 * bands the next ones wait in the library's queue; bands accepted before the page start
 * wait for it.
 *
 * Without a callback (NULL): blocking, until the band is finished. Outcomes:
 *    0, 1, 2  the band ran; the engine's completion state
 *   -3  refused (page not prepared, no source buffer, page_id below 1), or the band's page
 *       ended before the band could start (all its bands done, a band failed, the page was
 *       stopped, or its channel failed for good)
 *   -5  the engine failed the band, the driver call failed, or memory ran out
 * A band whose page is stopped before it ran returns the `result` value the block held when
 * the call was made.
 *
 * With a callback: callback-safe and not blocking: returns as soon as the band is queued.
 *    0  queued; the block's `result` is left as it was
 *   -3  refused as above (also written into `result`); the callback is never called for it
 *   -5  memory ran out; the callback is never called for it
 * The band's completion is delivered later, exactly once, to the callback on the worker
 * thread (see CALLBACKS above), with the record's result 0, 1 or 2 (the engine's state) or -5
 * (failure); a band whose page ended before it could start is delivered with result -3 and
 * band_num 0. A stop of the page takes the bands it finds not yet reported: those are never
 * delivered, and none of the page's bands is delivered after the stop has returned. */
QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_band_exe(QUORL_CNV_PVGEN_BLK* blk,
                                                     QUORL_CNV_PVGEN_CALLBACK callback);

/* Stops the page blk->page_id. Thread-safe; blocking: until the engine has taken the stop and
 * the channel is free (or has failed for good); stops of the process run one after the
 * other, so it also waits for a stop that another thread is carrying out. Never from a
 * callback, not even for the callback's own page. Unfinished requests of the page are
 * cancelled: blocked callers return (a band or prepare that had not run yet with the
 * `result` value its block held), queued callback bands are dropped unreported; the engine
 * is told to stop once it holds no more bands of the page. Outcomes:
 *    0  the page is stopped and its channel free; also for a page nobody holds (already
 *       ended or stopped)
 *   -3  page_id below 1
 *   -5  the engine refused the stop (the page keeps its channel and may be stopped again;
 *       see docs/decisions.md), the driver call failed, or memory ran out */
QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_stop(QUORL_CNV_PVGEN_BLK* blk);

#ifdef __cplusplus
} /* extern "C" */

/* Layout checks (C++ only: the C side sees the same structs). */
#include <cstddef>
static_assert(sizeof(QUORL_CNV_PVGEN_BUF) == 12);
static_assert(sizeof(QUORL_CNV_PVGEN_BLK) == 2300);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, job_id) == 0);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, page_id) == 4);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, asic) == 8);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, module) == 12);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, channel) == 16);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, priority) == 20);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, mode) == 24);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, variant) == 28);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, type) == 32);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, src) == 36);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, dst) == 72);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, band_total) == 108);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, src_buf_num) == 112);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, ring) == 116);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, ring_param0) == 152);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, ring_param1) == 156);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, band_param0) == 160);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, band_param1) == 164);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, wait_for_channel) == 168);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, conv_table) == 172);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, plane_result) == 2284);
static_assert(offsetof(QUORL_CNV_PVGEN_BLK, result) == 2296);

static_assert(sizeof(QUORL_CNV_PVGEN_RESULT_INFO) == 104);
static_assert(offsetof(QUORL_CNV_PVGEN_RESULT_INFO, job_id) == 0);
static_assert(offsetof(QUORL_CNV_PVGEN_RESULT_INFO, page_id) == 4);
static_assert(offsetof(QUORL_CNV_PVGEN_RESULT_INFO, band_count) == 8);
static_assert(offsetof(QUORL_CNV_PVGEN_RESULT_INFO, band_num) == 12);
static_assert(offsetof(QUORL_CNV_PVGEN_RESULT_INFO, src) == 16);
static_assert(offsetof(QUORL_CNV_PVGEN_RESULT_INFO, dst) == 52);
static_assert(offsetof(QUORL_CNV_PVGEN_RESULT_INFO, plane_result) == 88);
static_assert(offsetof(QUORL_CNV_PVGEN_RESULT_INFO, result) == 100);
#endif

#endif /* QUORL_CNV_PVGEN_H */
