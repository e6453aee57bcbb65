// The exported C functions that submit requests. Each fetches the singletons in a fixed
// order and hands the caller's block to the matching submission; a callback becomes a
// shared observer wrapper first. No exception crosses this boundary: should one escape
// (memory exhausted), the call reports a device failure.
#include <new>

#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"

using norvane::quorl_cnv_pvgen_commonmethod;
using norvane::quorl_cnv_pvgen_control;

namespace {
template <typename Call>
int32_t guarded(QUORL_CNV_PVGEN_BLK* blk, Call call) {
  try {
    return call();
  } catch (...) {
    blk->result = QUORL_CNV_PVGEN_ERR_DEVICE;
    return QUORL_CNV_PVGEN_ERR_DEVICE;
  }
}
}  // namespace

extern "C" {

QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_prepare(QUORL_CNV_PVGEN_BLK* blk) {
  return guarded(blk, [&] { return quorl_cnv_pvgen_control::instance()->prepare(*blk); });
}

QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_page_start(QUORL_CNV_PVGEN_BLK* blk,
                                                       QUORL_CNV_PVGEN_CALLBACK callback) {
  return guarded(blk, [&] {
    if (blk->mode == 2) {
      // Page mode reports progress to the callback: wrap it before the control is fetched.
      norvane::quorl_cnv_pvgen_observer* obs =
          quorl_cnv_pvgen_commonmethod::instance()->obs_wrapper_create(
              static_cast<unsigned long>(static_cast<uint32_t>(blk->page_id)), callback);
      return quorl_cnv_pvgen_control::instance()->page_start(*blk, obs);
    }
    return quorl_cnv_pvgen_control::instance()->page_start(*blk, nullptr);
  });
}

QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_band_exe(QUORL_CNV_PVGEN_BLK* blk,
                                                     QUORL_CNV_PVGEN_CALLBACK callback) {
  return guarded(blk, [&] {
    norvane::quorl_cnv_pvgen_observer* obs =
        quorl_cnv_pvgen_commonmethod::instance()->obs_wrapper_create(
            static_cast<unsigned long>(static_cast<uint32_t>(blk->page_id)), callback);
    return quorl_cnv_pvgen_control::instance()->band_exe(*blk, obs);
  });
}

QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_stop(QUORL_CNV_PVGEN_BLK* blk) {
  return guarded(blk, [&] { return quorl_cnv_pvgen_control::instance()->stop(*blk); });
}

}  // extern "C"
