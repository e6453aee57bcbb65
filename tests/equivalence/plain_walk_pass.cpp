// The dispatcher pass as the plain walk over the whole request list: every entry, in list
// order, gets the pass's per-entry work, and nothing found about one entry is carried to
// the next. A nested req_list_lock (a stop of a prepared channel) rewinds the walk to the
// head, as the cursor of the list says.
//
// The equivalence test links the library once with its own pass and once with this one,
// runs the same call sequences against both, and compares everything callers, the driver
// and the trace see.
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"

namespace norvane {

void quorl_cnv_pvgen_control::dispatch_pass() {
  while (QUORL_CNV_PVGEN_LIST_BLK* entry = registry->req_list_for_each()) {
    (void)dispatch_entry(entry, nullptr);
  }
}

}  // namespace norvane
