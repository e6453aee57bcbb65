// The interface through which completions of asynchronous work reach their requester.
#pragma once

#include "quorl_cnv_pvgen.h"

namespace norvane {

class QUORL_CNV_PVGEN_API quorl_cnv_pvgen_observer {
 public:
  virtual ~quorl_cnv_pvgen_observer();
  // Called on a channel worker thread with no library lock held. `result` lives on that
  // thread's stack and is valid only during the call.
  virtual void notify_result(QUORL_CNV_PVGEN_RESULT_INFO& result) = 0;
};

}  // namespace norvane
