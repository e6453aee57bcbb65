// A failed driver wait (run with --faults 'wait#1:errno=EIO'): the channel fails for good.
// The bands of the page and a stop from another thread all return: the band whose report
// the failed wait took with -5, a band that can no longer run with -3.
#include <thread>

#include "scenario_support.h"

int main() {
  QUORL_CNV_PVGEN_BLK page = band_page(Quorl_cnv_pvgen_get_page_id(), 3);
  expect_one_of("prepare", Quorl_cnv_pvgen_prepare(&page), {0});
  expect_one_of("page start", Quorl_cnv_pvgen_page_start(&page, nullptr), {0});
  std::thread submitter([page]() mutable {
    expect_one_of("band 1", Quorl_cnv_pvgen_band_exe(&page, nullptr), {0, -3, -5});
    expect_one_of("band 2", Quorl_cnv_pvgen_band_exe(&page, nullptr), {0, -3, -5});
  });
  std::thread stopper([page]() mutable {
    expect_one_of("stop", Quorl_cnv_pvgen_stop(&page), {0, -5});
  });
  submitter.join();
  stopper.join();
  return 0;
}
