// Two stops of one page at the same time, while a band of it is submitted: the stops are
// carried out one after the other and both return 0; the band returns 0 or -3.
#include <thread>

#include "scenario_support.h"

int main() {
  QUORL_CNV_PVGEN_BLK page = band_page(Quorl_cnv_pvgen_get_page_id(), 2);
  expect_one_of("prepare", Quorl_cnv_pvgen_prepare(&page), {0});
  expect_one_of("page start", Quorl_cnv_pvgen_page_start(&page, nullptr), {0});
  std::thread submitter([page]() mutable {
    expect_one_of("band", Quorl_cnv_pvgen_band_exe(&page, nullptr), {0, -3});
  });
  std::thread first(
      [page]() mutable { expect_one_of("stop 1", Quorl_cnv_pvgen_stop(&page), {0}); });
  std::thread second(
      [page]() mutable { expect_one_of("stop 2", Quorl_cnv_pvgen_stop(&page), {0}); });
  submitter.join();
  first.join();
  second.join();
  return 0;
}
