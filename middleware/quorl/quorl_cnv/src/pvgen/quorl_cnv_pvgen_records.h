// Records that live inside the library: the request-list entry and the pooled completion
// semaphore. Callers never see them; their layouts are fixed all the same, because
// diagnostics on the target read them by offset.
#pragma once

#include <cstddef>
#include <cstdint>

#include "osw.h"
#include "quorl_cnv_pvgen.h"

namespace norvane {
class quorl_cnv_pvgen_observer;
}

// A pooled completion semaphore: 8 bytes where pointers are 4 bytes.
// in_use is guarded by the registry's list mutex.
struct QUORL_EVENT_SEMAPHORE {
  uint32_t in_use;            // non-zero while a list entry owns the record: 1, or 2
                              // once a stop has woken the entry's submitter
  OSW_Event_Semaphore event;  // created with count 0; posted once per completion
};

// List states.
enum : int32_t {
  QUORL_LIST_WAITING = 0,
  QUORL_LIST_RUNNING = 1,
  QUORL_LIST_DONE = 2,
  QUORL_LIST_STOP = 3,
};
// Plane states.
enum : int32_t {
  QUORL_PLANE_PENDING = 0,
  QUORL_PLANE_RUNNING = 1,
  QUORL_PLANE_DONE = 2,
};

// A request while it is queued and running: 2340 bytes where pointers are 4 bytes.
// The header words and the block copy are guarded by the registry's list mutex, except that
// a synchronous submitter reads its entry's block after its completion semaphore was
// posted (the post hands the entry over to it).
struct QUORL_CNV_PVGEN_LIST_BLK {
  uint32_t req_no;                              // 0
  int32_t page_id;                              // 4
  int32_t list_stat;                            // 8
  int32_t plane_stat[3];                        // 12
  int32_t request;                              // 24
  int32_t priority;                             // 28
  norvane::quorl_cnv_pvgen_observer* observer;  // 32
  QUORL_EVENT_SEMAPHORE* event;                 // 36 (4-byte pointers)
  QUORL_CNV_PVGEN_BLK blk;                      // 40 (4-byte pointers)
};

static_assert(offsetof(QUORL_EVENT_SEMAPHORE, in_use) == 0);
static_assert(offsetof(QUORL_EVENT_SEMAPHORE, event) == sizeof(void*));
static_assert(sizeof(QUORL_EVENT_SEMAPHORE) == 2 * sizeof(void*));
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, req_no) == 0);
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, page_id) == 4);
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, list_stat) == 8);
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, plane_stat) == 12);
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, request) == 24);
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, priority) == 28);
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, observer) == 32);
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, event) == 32 + sizeof(void*));
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, blk) == 32 + 2 * sizeof(void*));
static_assert(sizeof(QUORL_CNV_PVGEN_LIST_BLK) ==
              32 + 2 * sizeof(void*) + 2300 + (sizeof(void*) == 8 ? 4 : 0));
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
// The target's layout: 4-byte pointers.
static_assert(sizeof(QUORL_EVENT_SEMAPHORE) == 8);
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, event) == 36);
static_assert(offsetof(QUORL_CNV_PVGEN_LIST_BLK, blk) == 40);
static_assert(sizeof(QUORL_CNV_PVGEN_LIST_BLK) == 2340);
#else
// 64-bit hosts: pointers are 8 bytes, so the records grow (the entry also gains 4 bytes of
// tail padding to keep its 8-byte alignment).
static_assert(sizeof(QUORL_EVENT_SEMAPHORE) == 16);
static_assert(sizeof(QUORL_CNV_PVGEN_LIST_BLK) == 2352);
#endif
