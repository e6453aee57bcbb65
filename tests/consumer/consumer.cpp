// A C++ program built against the installed library through find_package: one page of
// callback bands through the C functions, and the exported classes' members called through
// the shared library (the wrapper's and the channel's accessors among them). Exits 0 only
// when each gave what the library documents.
#include <quorl_cnv_pvgen.h>
#include <quorl_cnv_pvgen_channel.h>
#include <quorl_cnv_pvgen_control.h>
#include <quorl_cnv_pvgen_observer_wrapper.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr int kBands = 4;
std::atomic<int> reported{0};
std::atomic<int> bad_reports{0};

void on_band(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  if (info->result != QUORL_CNV_PVGEN_OK || info->band_num != 1) {
    ++bad_reports;
  }
  ++reported;
}

int failures = 0;
template <typename T>
void check(const char* what, T got, T want) {
  std::printf("%s %s\n", what, got == want ? "ok" : "WRONG");
  failures += got == want ? 0 : 1;
}

}  // namespace

int main() {
  QUORL_CNV_PVGEN_BLK blk;
  std::memset(&blk, 0, sizeof blk);
  blk.page_id = Quorl_cnv_pvgen_get_page_id();
  blk.asic = blk.module = blk.channel = 1;
  blk.band_total = kBands;
  blk.src[0].id = 0x100;
  blk.dst[0].id = 0x200;
  check("prepare", Quorl_cnv_pvgen_prepare(&blk), QUORL_CNV_PVGEN_OK);
  check("page_start", Quorl_cnv_pvgen_page_start(&blk, nullptr), QUORL_CNV_PVGEN_OK);
  // The started page's channel: asic 0, module 0, channel 0, running a band page.
  norvane::quorl_cnv_pvgen_control* control = norvane::quorl_cnv_pvgen_control::instance();
  const std::list<norvane::quorl_cnv_pvgen_channel*> channels = control->channels();
  check("one channel", channels.size(), size_t{1});
  if (!channels.empty()) {
    norvane::quorl_cnv_pvgen_channel* ch = channels.front();
    check("channel identity", ch->get_asic() + ch->get_module() + ch->get_channel(), 0);
    check("channel page", ch->get_page_id(), static_cast<unsigned long>(blk.page_id));
    check("channel state", ch->get_ch_status(), 2);
  }
  for (int i = 0; i < kBands; ++i) {
    check("band_exe", Quorl_cnv_pvgen_band_exe(&blk, on_band), QUORL_CNV_PVGEN_OK);
  }
  // The page ends by itself after its last band; waiting for the reports ends with them.
  while (reported.load() < kBands) {
    std::this_thread::yield();
  }
  check("callbacks", bad_reports.load(), 0);

  // The classes' members resolve from this program.
  check("device_check", control->device_check(1, 1, 1), 1);
  norvane::quorl_cnv_pvgen_observer_wrapper wrapper(42);
  wrapper.set_observer(on_band);
  check("wrapper callback", wrapper.get_observer(), &on_band);
  check("wrapper page", wrapper.get_page_id(), 42ul);
  check("wrapper references", wrapper.inc_ref_num(), 2);

  check("stop", Quorl_cnv_pvgen_stop(&blk), QUORL_CNV_PVGEN_OK);
  norvane::quorl_cnv_pvgen_control::release();
  return failures == 0 ? 0 : 1;
}
