// A page-less band listed through the class operations in front of a stop of a prepared
// page: the page holds the channel; one thread lists a band without page (mode 0) and wakes
// the dispatcher, another stops the page. The stop returns, and the page-less band then
// gets the freed channel, runs and is reported exactly once (main waits for that report on
// an event of the platform, so a band that never runs is an endless wait).
#include <atomic>
#include <thread>

#include "osw.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"
#include "scenario_support.h"

namespace {

OSW_Event_Semaphore g_reported;
std::atomic<int> g_reports{0};

void on_band(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  expect_one_of("the page-less band's report", info->result, {0, 1, 2});
  if (g_reports.fetch_add(1) != 0) {
    std::fprintf(stderr, "violation: the page-less band was reported twice\n");
    std::_Exit(1);
  }
  g_reported.post();
}

}  // namespace

int main() {
  QUORL_CNV_PVGEN_BLK page = band_page(Quorl_cnv_pvgen_get_page_id(), 2);
  expect_one_of("prepare", Quorl_cnv_pvgen_prepare(&page), {0});
  std::thread lister([] {
    QUORL_CNV_PVGEN_BLK band = band_page(0, 1);
    band.mode = 0;
    band.job_id = 0x200;
    auto* registry = norvane::quorl_cnv_pvgen_commonmethod::instance();
    auto* observer = registry->obs_wrapper_create(0, on_band);
    registry->req_list_insert(QUORL_CNV_PVGEN_REQ_BAND_EXE, band, observer);
    norvane::quorl_cnv_pvgen_control::instance()->ctrl_signal();
  });
  std::thread stopper(
      [page]() mutable { expect_one_of("stop", Quorl_cnv_pvgen_stop(&page), {0}); });
  lister.join();
  stopper.join();
  g_reported.wait(OSW_WAIT_FOREVER);
  return 0;
}
