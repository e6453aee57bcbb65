// norvane::quorl_cnv_pvgen_observer as its callers declare it. Written from the interface
// documentation, not from the library's own headers.
#pragma once

#include "quorl_cnv_pvgen.h"

namespace norvane {

// Abstract, no base class, no data. Virtual table: the destructor, then notify_result.
class quorl_cnv_pvgen_observer {
 public:
  virtual ~quorl_cnv_pvgen_observer();
  virtual void notify_result(QUORL_CNV_PVGEN_RESULT_INFO& result) = 0;
};

}  // namespace norvane
