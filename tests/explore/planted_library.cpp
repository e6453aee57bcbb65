// A stand-in preloaded between the program and the library (after the controlled platform)
// that breaks one promise of the library on purpose, chosen by PVGEN_PLANTED:
//   twice       every callback band is reported twice
//   lost        the first report is never delivered
//   after_stop  reports are held back and delivered in the next stop called after a stop
//               returned (from the program's side: after that stop returned)
//   outcome     a stop returns 7 (and writes it into `result`)
//   held        the first band also lists a band the library never serves (mode 2, another
//               page): the library is not at rest when the program ends
// It only forwards (dlsym(RTLD_NEXT)) and depends on nothing, so that preloading it into
// pvgen-explore as well does no harm.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "quorl_cnv_pvgen.h"

namespace {

using CallbackFn = int32_t (*)(QUORL_CNV_PVGEN_BLK*, QUORL_CNV_PVGEN_CALLBACK);
using BlockFn = int32_t (*)(QUORL_CNV_PVGEN_BLK*);

template <class F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

std::string planted() {
  const char* v = std::getenv("PVGEN_PLANTED");
  return v != nullptr ? v : "";
}

QUORL_CNV_PVGEN_CALLBACK g_user = nullptr;
bool g_dropped = false;
bool g_listed = false;
int g_stops_returned = 0;
std::vector<QUORL_CNV_PVGEN_RESULT_INFO> g_held;

void planted_report(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  const std::string mode = planted();
  if (mode == "twice") {
    g_user(info);
    g_user(info);
  } else if (mode == "lost" && !g_dropped) {
    g_dropped = true;
  } else if (mode == "after_stop") {
    g_held.push_back(*info);
  } else {
    g_user(info);
  }
}

// Lists a band of page 999999 in mode 2, which no channel ever takes.
void list_unserved(const QUORL_CNV_PVGEN_BLK& like) {
  using InstanceFn = void* (*)();
  using InsertFn = void* (*)(void*, int, QUORL_CNV_PVGEN_BLK&, void*);
  const auto instance = next<InstanceFn>("_ZN7norvane28quorl_cnv_pvgen_commonmethod8instanceEv");
  const auto insert = next<InsertFn>(
      "_ZN7norvane28quorl_cnv_pvgen_commonmethod15req_list_insertEiR19QUORL_CNV_PVGEN_BLKPNS_"
      "24quorl_cnv_pvgen_observerE");
  QUORL_CNV_PVGEN_BLK band = like;
  band.page_id = 999999;
  band.mode = 2;
  insert(instance(), QUORL_CNV_PVGEN_REQ_BAND_EXE, band, nullptr);
}

}  // namespace

extern "C" {

int32_t Quorl_cnv_pvgen_band_exe(QUORL_CNV_PVGEN_BLK* blk, QUORL_CNV_PVGEN_CALLBACK callback) {
  static const CallbackFn real = next<CallbackFn>("Quorl_cnv_pvgen_band_exe");
  if (planted() == "held" && !g_listed) {
    g_listed = true;
    list_unserved(*blk);
  }
  if (callback == nullptr) {
    return real(blk, nullptr);
  }
  g_user = callback;  // the programs this is used with have one callback
  return real(blk, planted_report);
}

int32_t Quorl_cnv_pvgen_stop(QUORL_CNV_PVGEN_BLK* blk) {
  static const BlockFn real = next<BlockFn>("Quorl_cnv_pvgen_stop");
  if (g_stops_returned != 0) {
    for (QUORL_CNV_PVGEN_RESULT_INFO& info : g_held) {
      g_user(&info);
    }
    g_held.clear();
  }
  const int32_t rc = real(blk);
  ++g_stops_returned;
  if (planted() == "outcome") {
    blk->result = 7;
    return 7;
  }
  return rc;
}

}  // extern "C"
