// A stop from another thread while the bands of its page are being submitted: one thread
// submits three bands (the first and last synchronous, the middle one with a callback), a
// second thread stops the page. Every call returns, with an allowed outcome; the callback
// band is reported at most once, and when it was submitted before the stop was called, not
// after the stop has returned (a band submitted later may still end with -3).
#include <atomic>
#include <thread>

#include "scenario_support.h"

namespace {

std::atomic<int> g_reports{0};
std::atomic<bool> g_stop_called{false};
std::atomic<bool> g_stop_returned{false};
std::atomic<bool> g_reported_after_stop{false};

void on_band(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  if (g_stop_returned.load()) {
    g_reported_after_stop.store(true);
  }
  expect_one_of("the callback band's report", info->result, {0, 1, 2, -3, -5});
  g_reports.fetch_add(1);
}

}  // namespace

int main() {
  QUORL_CNV_PVGEN_BLK page = band_page(Quorl_cnv_pvgen_get_page_id(), 3);
  expect_one_of("prepare", Quorl_cnv_pvgen_prepare(&page), {0});
  expect_one_of("page start", Quorl_cnv_pvgen_page_start(&page, nullptr), {0});
  bool submitted_before_stop = false;
  std::thread submitter([page, &submitted_before_stop]() mutable {
    expect_one_of("band 1", Quorl_cnv_pvgen_band_exe(&page, nullptr), {0, -3});
    expect_one_of("band 2", Quorl_cnv_pvgen_band_exe(&page, on_band), {0, -3});
    submitted_before_stop = !g_stop_called.load();
    expect_one_of("band 3", Quorl_cnv_pvgen_band_exe(&page, nullptr), {0, -3});
  });
  std::thread stopper([page]() mutable {
    g_stop_called.store(true);
    expect_one_of("stop", Quorl_cnv_pvgen_stop(&page), {0});
    g_stop_returned.store(true);
  });
  submitter.join();
  stopper.join();
  if (g_reports.load() > 1) {
    std::fprintf(stderr, "violation: the callback band was reported %d times\n", g_reports.load());
    return 1;
  }
  if (submitted_before_stop && g_reported_after_stop.load()) {
    std::fprintf(stderr, "violation: the callback band was reported after the stop returned\n");
    return 1;
  }
  return 0;
}
