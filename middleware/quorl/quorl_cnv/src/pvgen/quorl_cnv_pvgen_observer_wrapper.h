// A reference-counted observer around a caller's C callback. The registry keeps one wrapper
// per distinct callback and shares it among every request that names that callback; each
// list entry pointing to a wrapper holds one reference.
//
// Threads: created and counted on caller threads and channel workers under the registry's
// obs_wrapper_mutex; notify_result runs on channel workers. `callback` and `page_id` are
// written before the wrapper is published in the registry's list and never change after.
// `ref_num` is guarded by `ref_mutex` (a leaf lock).
#pragma once

#include <cstdint>

#include "osw.h"
#include "quorl_cnv_pvgen_observer.h"
#include "thread_annotations.h"

namespace norvane {

class QUORL_CNV_PVGEN_API quorl_cnv_pvgen_observer_wrapper : public quorl_cnv_pvgen_observer {
 public:
  using callback_type = void (*)(QUORL_CNV_PVGEN_RESULT_INFO*);

  quorl_cnv_pvgen_observer_wrapper();
  explicit quorl_cnv_pvgen_observer_wrapper(unsigned long page_id);
  ~quorl_cnv_pvgen_observer_wrapper() override;

  // Calls the callback with the record's address; does nothing without a callback.
  void notify_result(QUORL_CNV_PVGEN_RESULT_INFO& result) override;

  int inc_ref_num();  // +1 under ref_mutex; returns the new count
  int dec_ref_num();  // -1 under ref_mutex unless already 0; returns the new count

  unsigned long get_page_id();
  void set_observer(callback_type cb);
  callback_type get_observer();

 private:
  unsigned long page_id;
  int32_t ref_num GUARDED_BY(ref_mutex) = 1;
  OSW_Mutex_Semaphore ref_mutex{1};
  callback_type callback = nullptr;
};

}  // namespace norvane
