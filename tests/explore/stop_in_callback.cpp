// A misuse the library's header warns about: a callback that stops its own page. The stop
// waits for the worker thread, which is busy running the callback, so it never returns;
// pvgen-explore reports the endless wait with every thread's blocking point and the
// library's request list.
#include "osw.h"
#include "scenario_support.h"

namespace {

QUORL_CNV_PVGEN_BLK g_page;
OSW_Event_Semaphore g_done;

void on_band(QUORL_CNV_PVGEN_RESULT_INFO*) {
  QUORL_CNV_PVGEN_BLK page = g_page;
  Quorl_cnv_pvgen_stop(&page);
  g_done.post();
}

}  // namespace

int main() {
  g_page = band_page(Quorl_cnv_pvgen_get_page_id(), 2);
  expect_one_of("prepare", Quorl_cnv_pvgen_prepare(&g_page), {0});
  expect_one_of("page start", Quorl_cnv_pvgen_page_start(&g_page, nullptr), {0});
  expect_one_of("band", Quorl_cnv_pvgen_band_exe(&g_page, on_band), {0});
  g_done.wait(OSW_WAIT_FOREVER);
  return 0;
}
