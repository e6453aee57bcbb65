// norvane::quorl_cnv_pvgen_channel as its callers declare it. Written from the interface
// documentation, not from the library's own headers.
//
// Left open there, and chosen here:
// - the data members are left out: a channel is only built in storage large enough for
//   the library's object.
#pragma once

#include "norvane/framework.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_records.h"
#include "quorl_signal.h"

namespace norvane {

// Virtual table: the destructor, then process (both override ControllerThread's).
class quorl_cnv_pvgen_channel : public ControllerThread {
 public:
  quorl_cnv_pvgen_channel(quorl_signal* signal, int asic, int module, int channel);
  quorl_cnv_pvgen_channel();
  ~quorl_cnv_pvgen_channel() override;

  // Identity, state, page binding and plane-job queue.
  int get_asic();
  int get_module();
  int get_channel();
  int get_plane();
  unsigned long get_page_id();
  int get_ch_status();
  void set_ch_status(int status);
  int get_proc_num();
  void prepare(unsigned long page_id);
  void ch_signal();
  void stop_signal();
  void ch_wait();
  void stop_wait();

  // Driver commands.
  int page_start(unsigned long req_no, int plane, QUORL_CNV_PVGEN_BLK& blk);
  int band_exe(unsigned long req_no, int plane, QUORL_CNV_PVGEN_BLK& blk);
  int stop(QUORL_CNV_PVGEN_BLK& blk);

  // The worker.
  void process(void* arg) override;
  int wait(int plane, QUORL_CNV_PVGEN_RESULT_INFO& info);
  int report_page(int plane, QUORL_CNV_PVGEN_LIST_BLK* entry);
  int report_band(int plane, QUORL_CNV_PVGEN_LIST_BLK* entry);
};

}  // namespace norvane
