// One page of two callback bands, left to end by itself; with `stop-now` it is stopped right
// after the bands were accepted, with `stop-late` once they had time to be reported (twice:
// the second stop returns 0 at once). The
// program sleeps (on the virtual clock) so that the library reports what it has and comes to
// rest before main returns. Run clean under
// pvgen-explore; with tests/explore/planted_library.cpp preloaded, the library's results
// break their contract and pvgen-explore's checks fail the schedule.
#include <unistd.h>

#include <cstring>

#include "scenario_support.h"

namespace {

void on_band(QUORL_CNV_PVGEN_RESULT_INFO*) {}

}  // namespace

int main(int argc, char** argv) {
  const bool stop_now = argc > 1 && std::strcmp(argv[1], "stop-now") == 0;
  const bool stop_late = argc > 1 && std::strcmp(argv[1], "stop-late") == 0;
  QUORL_CNV_PVGEN_BLK page = band_page(Quorl_cnv_pvgen_get_page_id(), 2);
  expect_one_of("prepare", Quorl_cnv_pvgen_prepare(&page), {0});
  expect_one_of("page start", Quorl_cnv_pvgen_page_start(&page, nullptr), {0});
  page.job_id = 1;
  expect_one_of("band 1", Quorl_cnv_pvgen_band_exe(&page, on_band), {0});
  page.job_id = 2;
  expect_one_of("band 2", Quorl_cnv_pvgen_band_exe(&page, on_band), {0});
  if (stop_now) {
    Quorl_cnv_pvgen_stop(&page);
  }
  usleep(1000000);
  if (stop_late) {
    expect_one_of("stop", Quorl_cnv_pvgen_stop(&page), {0});
    expect_one_of("second stop", Quorl_cnv_pvgen_stop(&page), {0});
  }
  return 0;
}
