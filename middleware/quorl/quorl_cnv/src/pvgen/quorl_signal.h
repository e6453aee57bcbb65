// The wake-up interface through which channels reach the control singleton: after each
// job a channel's worker calls ctrl_signal() so that the dispatcher looks at the request
// list again.
#pragma once

#include "quorl_cnv_pvgen.h"

namespace norvane {

class QUORL_CNV_PVGEN_API quorl_signal {
 public:
  virtual ~quorl_signal();
  // thread-safe: raise a wake-up; several before the next wait give one.
  virtual void ctrl_signal() = 0;
  // dispatcher thread only: sleep until a wake-up is pending, then consume it.
  virtual void ctrl_wait() = 0;
};

}  // namespace norvane
