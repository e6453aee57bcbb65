// norvane::quorl_cnv_pvgen_observer_wrapper as its callers declare it. Written from the
// interface documentation, not from the library's own headers.
//
// Left open there, and chosen here:
// - the result of get_observer(): the type of the wrapper's `callback` member, which it
//   returns (a result type is not part of the symbol name).
// - the data members are left out: the wrapper is only reached through the library's own
//   objects, or built in storage large enough for the library's object.
#pragma once

#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_observer.h"

namespace norvane {

// Virtual table: the destructor, then notify_result (both override the observer's).
class quorl_cnv_pvgen_observer_wrapper : public quorl_cnv_pvgen_observer {
 public:
  quorl_cnv_pvgen_observer_wrapper();
  quorl_cnv_pvgen_observer_wrapper(unsigned long page_id);
  ~quorl_cnv_pvgen_observer_wrapper() override;

  void notify_result(QUORL_CNV_PVGEN_RESULT_INFO& result) override;
  int inc_ref_num();
  int dec_ref_num();
  unsigned long get_page_id();
  void set_observer(void (*callback)(QUORL_CNV_PVGEN_RESULT_INFO*));
  void (*get_observer())(QUORL_CNV_PVGEN_RESULT_INFO*);
};

}  // namespace norvane
