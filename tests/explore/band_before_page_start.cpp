// A band queued before its page start: with the page prepared, one thread submits the
// page's only band (synchronous) while another starts the page. Whichever comes first, the
// band runs once the page has started and returns 0; the page then ends by itself, and a
// stop afterwards returns 0.
#include <thread>

#include "scenario_support.h"

int main() {
  QUORL_CNV_PVGEN_BLK page = band_page(Quorl_cnv_pvgen_get_page_id(), 1);
  expect_one_of("prepare", Quorl_cnv_pvgen_prepare(&page), {0});
  std::thread submitter(
      [page]() mutable { expect_one_of("band", Quorl_cnv_pvgen_band_exe(&page, nullptr), {0}); });
  std::thread starter([page]() mutable {
    expect_one_of("page start", Quorl_cnv_pvgen_page_start(&page, nullptr), {0});
  });
  submitter.join();
  starter.join();
  expect_one_of("stop", Quorl_cnv_pvgen_stop(&page), {0});
  return 0;
}
