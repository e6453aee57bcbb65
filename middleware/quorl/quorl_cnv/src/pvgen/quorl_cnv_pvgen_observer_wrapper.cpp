#include "quorl_cnv_pvgen_observer_wrapper.h"

namespace norvane {

quorl_cnv_pvgen_observer_wrapper::quorl_cnv_pvgen_observer_wrapper() : page_id(0) {}

quorl_cnv_pvgen_observer_wrapper::quorl_cnv_pvgen_observer_wrapper(unsigned long page_id)
    : page_id(page_id) {}

quorl_cnv_pvgen_observer_wrapper::~quorl_cnv_pvgen_observer_wrapper() = default;

void quorl_cnv_pvgen_observer_wrapper::notify_result(QUORL_CNV_PVGEN_RESULT_INFO& result) {
  if (callback != nullptr) {
    callback(&result);
  }
}

int quorl_cnv_pvgen_observer_wrapper::inc_ref_num() {
  OSW_Guard guard(ref_mutex);
  ++ref_num;
  return ref_num;
}

int quorl_cnv_pvgen_observer_wrapper::dec_ref_num() {
  OSW_Guard guard(ref_mutex);
  if (ref_num == 0) {
    return 0;
  }
  --ref_num;
  return ref_num;
}

unsigned long quorl_cnv_pvgen_observer_wrapper::get_page_id() {
  return page_id;
}

void quorl_cnv_pvgen_observer_wrapper::set_observer(callback_type cb) {
  callback = cb;
}

quorl_cnv_pvgen_observer_wrapper::callback_type quorl_cnv_pvgen_observer_wrapper::get_observer() {
  return callback;
}

}  // namespace norvane
