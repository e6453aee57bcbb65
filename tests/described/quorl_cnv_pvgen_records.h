// The library's internal records as a caller of the classes sees them: the request-list
// entry that the registry hands out, and the pooled completion semaphore it points to.
// Written from the interface documentation, not from the library's own headers.
//
// Left open there, and chosen here:
// - the scope of both records: global, like the request block of the C header. Their
//   names appear in the symbol names of the registry's and the channel's members
//   (req_list_insert, report_band, get_event_semaphore ...), so a record declared in a
//   namespace would name other symbols.
#pragma once

#include <stdint.h>

#include "osw.h"
#include "quorl_cnv_pvgen.h"

namespace norvane {
class quorl_cnv_pvgen_observer;
}

// A pooled completion semaphore.
struct QUORL_EVENT_SEMAPHORE {
  uint32_t in_use;            // 1 while a list entry owns it
  OSW_Event_Semaphore event;  // created with count 0
};

// One request while it is queued and running.
struct QUORL_CNV_PVGEN_LIST_BLK {
  uint32_t req_no;
  int32_t page_id;
  int32_t list_stat;      // 0 waiting, 1 running, 2 done, 3 stop requested
  int32_t plane_stat[3];  // 0 pending, 1 running, 2 done
  int32_t request;        // 0 prepare, 1 page start, 2 band execution, 4 stop
  int32_t priority;
  norvane::quorl_cnv_pvgen_observer* observer;
  QUORL_EVENT_SEMAPHORE* event;
  QUORL_CNV_PVGEN_BLK blk;
};
