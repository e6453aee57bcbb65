/*
 * PVGEN image engine control library: public interface.
 *
 * A caller drives one page like this:
 *   1. page_id = Quorl_cnv_pvgen_get_page_id(); put it into the block's page_id.
 *   2. Quorl_cnv_pvgen_prepare(&blk)            binds the engine's channel to the page.
 *   3. Quorl_cnv_pvgen_page_start(&blk, NULL)   starts the page on the engine.
 *   4. Quorl_cnv_pvgen_band_exe(&blk, cb)       once per band, band_total times.
 *   5. Quorl_cnv_pvgen_stop(&blk)               ends the page and frees the channel.
 *
 * Every function except Quorl_cnv_pvgen_get_page_id takes one caller-owned request block.
 * The library copies the block at the start of the call and never reads it again; the only
 * word it writes back is `result`, at the end of the call, with the value it returns
 * (except for an accepted band with a callback, see Quorl_cnv_pvgen_band_exe). The block
 * may be reused as soon as the call returns. A null block pointer is not allowed.
 *
 * Outcomes: 0 success; -3 parameter error or page not prepared; -4 no channel free for a
 * prepare; -5 driver or device failure; 1 and 2 completion states passed through from the
 * engine. Refusals and failures are also written to the trace (emwGENTrcPrintf) and most
 * are notified (utl_lib_svccall_notify).
 *
 * Threads: every function may be called from any thread, for different pages at the same
 * time. Callbacks run on the library's channel worker thread ("quorl_pvgen_ch"), never on
 * the submitting thread, with no library lock held.
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

/* Returns a new page identifier: 1, 2, ... 2147483646, then 1 again. Never blocks for
 * long (one short lock). The first call of the process starts the library; if memory runs
 * out on the way it returns 0, which is never an identifier, and the next call tries again. */
QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_get_page_id(void);

/* Binds the engine's channel to blk->page_id. Blocks until the dispatcher has served the
 * request. Returns 0, -3 (page_id below 1 or priority above 5), or -4 when the channel is
 * busy with another page and blk->wait_for_channel is 0; with wait_for_channel set, the
 * call instead blocks until the channel is free, and returns -4 when it never can be (the
 * channel has failed for good). A stop of the page before the prepare ran ends it with the
 * `result` value the block held when the call was made. */
QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_prepare(QUORL_CNV_PVGEN_BLK* blk);

/* Starts the prepared page (always as a band page: mode 1, variant 1, type 2). Blocks until
 * the engine has taken the page start. The callback is not used. Returns 0, -3 (page not
 * prepared, no destination buffer, page_id below 1) or -5 (the engine refused or failed;
 * after a failed call the channel stays unusable for the life of the process). */
QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_page_start(QUORL_CNV_PVGEN_BLK* blk,
                                                       QUORL_CNV_PVGEN_CALLBACK callback);

/* Executes one band of a started page.
 * Without a callback: blocks until the band is finished and returns its outcome (0, 1, 2,
 * -5), or -3 when refused (page not prepared, no source buffer, page_id below 1) or when
 * its page ended before the band could start (all its bands done, a band failed, the page
 * was stopped, or its channel failed for good). A band whose page is stopped before it ran
 * returns the `result` value the block held when the call was made.
 * With a callback: returns 0 as soon as the band is queued and leaves the block's `result`
 * as it was; -3 (and result -3) when refused. The band's completion is delivered later to
 * the callback on the channel worker thread, exactly once unless a stop of its page takes
 * it first; a band whose page ended before it could start is delivered with result -3 and
 * band_num 0. While the channel holds two bands the next ones wait in the library's queue;
 * bands accepted before the page start wait for it. A callback may call every function of this header
 * except a blocking one for the same channel (prepare, page_start, stop and a band without
 * callback would wait for the very thread they run on); Quorl_cnv_pvgen_get_page_id and
 * Quorl_cnv_pvgen_band_exe with a callback are fine. Bands erased by a stop are never
 * reported. */
QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_band_exe(QUORL_CNV_PVGEN_BLK* blk,
                                                     QUORL_CNV_PVGEN_CALLBACK callback);

/* Stops the page blk->page_id. Unfinished requests of the page are cancelled (blocked
 * callers return, queued callback bands are dropped), the engine is told to stop once it
 * holds no more queued bands, and the call returns when the channel is free (or has failed
 * for good). Stops of the process run one after the other. Returns 0 (also for a page
 * nobody holds), -3 (page_id below 1) or -5 (the engine refused the stop; see
 * docs/decisions.md for what then remains).
 *
 * Every function that takes a block returns -5 (and writes it into `result`) when memory
 * runs out inside the call; nothing of the call stays in the library then. */
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
