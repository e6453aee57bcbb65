// A page ended by a failed band with later bands queued (run with --faults 'band#1:result=4':
// the engine refuses the first band command it gets): that band ends with -5, the page ends
// early and the bands after it end with -3, unless the stop from the other thread took them
// first (a band a stop ends before it reached the engine returns the caller's `result`, 0
// here; the first band to reach the engine may then be a later one). Every call returns,
// and the callback band is reported at most once.
#include <atomic>
#include <thread>

#include "scenario_support.h"

namespace {

std::atomic<int> g_reports{0};

void on_band(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  expect_one_of("the callback band's report", info->result, {0, -3, -5});
  g_reports.fetch_add(1);
}

}  // namespace

int main() {
  QUORL_CNV_PVGEN_BLK page = band_page(Quorl_cnv_pvgen_get_page_id(), 3);
  expect_one_of("prepare", Quorl_cnv_pvgen_prepare(&page), {0});
  expect_one_of("page start", Quorl_cnv_pvgen_page_start(&page, nullptr), {0});
  std::thread submitter([page]() mutable {
    expect_one_of("band 1", Quorl_cnv_pvgen_band_exe(&page, nullptr), {-5, -3, 0});
    expect_one_of("band 2", Quorl_cnv_pvgen_band_exe(&page, on_band), {0, -3});
    expect_one_of("band 3", Quorl_cnv_pvgen_band_exe(&page, nullptr), {-5, -3, 0});
  });
  std::thread stopper([page]() mutable {
    expect_one_of("stop", Quorl_cnv_pvgen_stop(&page), {0, -5});
  });
  submitter.join();
  stopper.join();
  if (g_reports.load() > 1) {
    std::fprintf(stderr, "violation: the callback band was reported %d times\n", g_reports.load());
    return 1;
  }
  return 0;
}
