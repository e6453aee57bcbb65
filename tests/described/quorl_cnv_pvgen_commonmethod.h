// norvane::quorl_cnv_pvgen_commonmethod (the registry) as its callers declare it. Written
// from the interface documentation, not from the library's own headers.
//
// Left open there, and chosen here:
// - the constructor: the default one, which builds the base class with its default
//   constructor.
// - the data members are left out; the registry is only reached through instance().
#pragma once

#include "norvane/framework.h"
#include "osw.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_observer.h"
#include "quorl_cnv_pvgen_observer_wrapper.h"
#include "quorl_cnv_pvgen_records.h"

namespace norvane {

// Virtual table: the destructor, then log_print (both override quorl_commonmethod's).
class quorl_cnv_pvgen_commonmethod : public quorl_commonmethod {
 public:
  static quorl_cnv_pvgen_commonmethod* instance();
  static void release();

  quorl_cnv_pvgen_commonmethod();
  ~quorl_cnv_pvgen_commonmethod() override;
  void init();
  void param_print(int request, QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* observer);

  // Request list and completion semaphores.
  QUORL_CNV_PVGEN_LIST_BLK* req_list_insert(int request, QUORL_CNV_PVGEN_BLK& blk,
                                            quorl_cnv_pvgen_observer* observer);
  QUORL_CNV_PVGEN_LIST_BLK* req_list_search(int mode, unsigned long value);
  void req_list_lock();
  QUORL_CNV_PVGEN_LIST_BLK* req_list_for_each();
  void req_list_unlock();
  void req_list_erase(int mode, unsigned long value);
  void req_list_clear();
  QUORL_EVENT_SEMAPHORE* get_event_semaphore();

  // Observer wrappers.
  quorl_cnv_pvgen_observer_wrapper* obs_wrapper_create(
      unsigned long page_id, void (*callback)(QUORL_CNV_PVGEN_RESULT_INFO*));
  void obs_wrapper_delete(void* wrapper);

  // Diagnostics.
  void log_print() override;
  void list_print();

  static quorl_cnv_pvgen_commonmethod* s_instance_;
  static OSW_Mutex_Semaphore* s_inst_msem_;
};

}  // namespace norvane
