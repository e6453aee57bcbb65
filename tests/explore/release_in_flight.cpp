// release() with requests in flight: a page is prepared but not started, so its bands wait in
// the request list; main lists one with a callback, a submitter waits in a synchronous
// band, and a third thread, once both are listed (a host calls release() only when no new
// call starts), releases the library. The synchronous band returns -3, the callback band
// never reached the engine and is dropped unreported, release() returns, and a later call
// starts a fresh library, whose first page identifier is 1.
#include <unistd.h>

#include <atomic>
#include <thread>

#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"
#include "scenario_support.h"

namespace {

std::atomic<int> g_reports{0};

void on_band(QUORL_CNV_PVGEN_RESULT_INFO*) {
  g_reports.fetch_add(1);
}

}  // namespace

int main() {
  QUORL_CNV_PVGEN_BLK page = band_page(Quorl_cnv_pvgen_get_page_id(), 2);
  expect_one_of("prepare", Quorl_cnv_pvgen_prepare(&page), {0});
  expect_one_of("callback band", Quorl_cnv_pvgen_band_exe(&page, on_band), {0});
  std::thread submitter([page]() mutable {
    expect_one_of("synchronous band", Quorl_cnv_pvgen_band_exe(&page, nullptr), {-3});
  });
  std::thread releaser([] {
    auto* registry = norvane::quorl_cnv_pvgen_commonmethod::instance();
    while (registry->req_list_size() < 2) {
      usleep(100);
    }
    norvane::quorl_cnv_pvgen_control::release();
  });
  submitter.join();
  releaser.join();
  if (g_reports.load() != 0) {
    std::fprintf(stderr, "violation: a band that never ran was reported\n");
    return 1;
  }
  expect_one_of("the first page identifier after release()", Quorl_cnv_pvgen_get_page_id(), {1});
  return 0;
}
