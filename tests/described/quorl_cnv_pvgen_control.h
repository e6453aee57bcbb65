// norvane::quorl_cnv_pvgen_control as its callers declare it. Written from the interface
// documentation, not from the library's own headers.
//
// Left open there, and chosen here (result types are not part of these symbol names):
// - init() and release() give no result: void.
// - get_page_id() returns "a 32-bit integer": int, signed like the C function's result.
// - device_check() "returns 1 or 0": int.
// - no constructor is named; none is declared (the control is only reached through
//   instance()). The data members are left out for the same reason.
#pragma once

#include "norvane/framework.h"
#include "osw.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_observer.h"
#include "quorl_signal.h"

namespace norvane {

class quorl_cnv_pvgen_channel;

// First base ControllerThread, second base quorl_signal. Virtual table: the destructor,
// process, ctrl_wait, ctrl_signal; the last two also fill quorl_signal's slots.
class quorl_cnv_pvgen_control : public ControllerThread, public quorl_signal {
 public:
  static quorl_cnv_pvgen_control* instance();
  static void release();

  ~quorl_cnv_pvgen_control() override;
  void process(void* arg) override;
  void ctrl_wait() override;
  void ctrl_signal() override;

  void init();
  int get_page_id();
  int device_check(unsigned long asic, unsigned long module, unsigned long channel);

  // Validation and submission.
  int param_check(int request, QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* obs);
  int prepare(QUORL_CNV_PVGEN_BLK& blk);
  int page_start(QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* obs);
  int band_exe(QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* obs);
  int stop(QUORL_CNV_PVGEN_BLK& blk);

  // Channel selection and creation.
  quorl_cnv_pvgen_channel* channel_create(unsigned long asic, unsigned long module,
                                          unsigned long channel);
  quorl_cnv_pvgen_channel* get_channel(int plane, int request, QUORL_CNV_PVGEN_BLK& blk);

  static quorl_cnv_pvgen_control* s_instance_;
  static OSW_Mutex_Semaphore* s_inst_msem_;
};

}  // namespace norvane
