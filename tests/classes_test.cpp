// Requests listed through the exported class operations, as only direct users of the classes
// can make them: page-less bands (mode 0), page-mode bands (mode 2), bands of a page-mode
// page or pending on another plane, and prepares whose masks never match. Each keeps its
// own treatment: it waits as listed (nobody inside the library waits on it; whoever listed
// it can erase it), or runs and is reported. The endings the library decides for requests
// of the C functions (-3 for a band whose page no channel holds, -4 for a waiting prepare
// that no channel can serve) never reach them, and no stop waits for ever because of them.
#include <cstdio>

#include "support/e2e_support.h"

namespace {

using namespace e2e;
using Entry = QUORL_CNV_PVGEN_LIST_BLK;
using Registry = norvane::quorl_cnv_pvgen_commonmethod;
using Channel = norvane::quorl_cnv_pvgen_channel;

norvane::quorl_cnv_pvgen_control* control() {
  return norvane::quorl_cnv_pvgen_control::instance();
}

// Lists `blk` as a request of kind `request` (with a callback: reported to record_cb) and
// wakes the dispatcher, as a direct user of the classes does. `planes` overrides the
// pending planes in the same hold of the list lock.
Entry* list(int request, Blk blk, bool callback, const int32_t* planes = nullptr) {
  control();  // the dispatcher runs
  norvane::quorl_cnv_pvgen_observer* obs =
      callback ? registry()->obs_wrapper_create(static_cast<unsigned long>(blk.page_id), record_cb)
               : nullptr;
  registry()->req_list_lock();
  Entry* entry = registry()->req_list_insert(request, blk, obs);
  if (planes != nullptr) {
    std::copy(planes, planes + 3, entry->plane_stat);
  }
  registry()->req_list_unlock();
  control()->ctrl_signal();
  return entry;
}

// A page-less band: mode 0, masks as given, one source and one destination buffer.
Blk pageless(uint32_t asic, uint32_t job_id) {
  Blk b = pvgen_test::make_block(0x55, job_id);
  b.mode = 0, b.asic = asic, b.module = 1, b.channel = 1;
  return b;
}

// Returns once the dispatcher has made a whole pass over everything listed before: a stop
// of a page nobody holds is answered by the dispatcher, after the entries ahead of it.
void pass_done() {
  Blk nobody = pvgen_test::make_block(0x7000);
  nobody.priority = 5;
  ASSERT_EQ(Quorl_cnv_pvgen_stop(&nobody), 0);
}

int channel_status() {
  const auto channels = control()->channels();
  return channels.empty() ? -2 : channels.front()->get_ch_status();
}

// Still listed and untouched by any pass: waiting, no plane handed out, result untouched.
void expect_waiting(const Entry* entry, int32_t result = 0) {
  registry()->req_list_lock();
  EXPECT_EQ(
      registry()->req_list_search(Registry::SEARCH_ADDRESS, reinterpret_cast<unsigned long>(entry)),
      entry);
  EXPECT_EQ(entry->list_stat, 0);
  EXPECT_EQ(entry->blk.result, result);
  registry()->req_list_unlock();
}

void erase(Entry* entry) {
  registry()->req_list_erase(Registry::ERASE_ADDRESS, reinterpret_cast<unsigned long>(entry));
}

class Classes : public E2e {};

// A page-less band whose masks never match stays queued, untraced and unreported, before
// and after the one channel exists; no channel is made for it. Its lister erases it.
TEST_F(Classes, PagelessBandWhoseMasksNeverMatchWaits) {
  Entry* async = list(2, pageless(2, 0x21), true);
  Entry* sync = list(2, pageless(4, 0x22), false);
  pass_done();
  EXPECT_TRUE(control()->channels().empty());
  page = start_page(1);                                    // now the channel exists, running a page
  ASSERT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), 0);  // and then idle again
  pass_done();
  expect_waiting(async);
  expect_waiting(sync);
  EXPECT_EQ(sim_requests(PVGEN_SIM_BAND), 1u);
  EXPECT_EQ(Capture::lines(), Lines{});
  EXPECT_EQ(wait_reports(0).size(), 0u);
  erase(async);
  erase(sync);
  EXPECT_EQ(registry()->req_list_size() + registry()->obs_wrapper_count() +
                registry()->event_semaphore_in_use(),
            0u);
}

// A page-less band with bit 0 in its masks makes the one channel when there is none, runs
// on it and is reported on the worker: one band, band_count 1, its block's job and page.
// A synchronous one is posted and keeps its entry for its lister.
TEST_F(Classes, PagelessBandMakesTheChannelAndIsReported) {
  list(2, pageless(3, 0x31), true);
  const Reports got = wait_reports(1);
  ASSERT_EQ(got.size(), 1u);
  const Info& r = got[0].first;
  EXPECT_EQ(std::make_tuple(r.job_id, r.page_id, r.band_count, r.band_num, r.result),
            std::make_tuple(0x31u, 0x55, 1u, 1, 0));
  EXPECT_FALSE(pthread_equal(got[0].second, pthread_self()));
  ASSERT_EQ(pvgen_sim_command_count(), 1u);
  pvgen_sim_command band;
  ASSERT_EQ(pvgen_sim_command_get(0, &band), 0);
  EXPECT_EQ(std::make_tuple(band.code, band.blk.job_id, band.blk.mode),
            std::make_tuple(static_cast<uint32_t>(PVGEN_SIM_IOC_BAND_EXE), 0x31u, 0u));

  Entry* sync = list(2, pageless(1, 0x32), false);
  ASSERT_EQ(sync->event->event.wait(kWaitMs), 0);
  EXPECT_EQ(std::make_tuple(sync->list_stat, sync->blk.result), std::make_tuple(2, 0));
  erase(sync);
  EXPECT_TRUE(list_reaches(0));
  EXPECT_EQ(channel_status(), Channel::STATUS_IDLE);
  EXPECT_EQ(Capture::lines(), Lines{});
}

// A page-less band waits while the channel is prepared or runs a page, and gets it once
// the channel is idle; at most two jobs are queued on the idle channel at once.
TEST_F(Classes, PagelessBandWaitsForTheIdleChannel) {
  Blk prepared = new_block();
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&prepared), 0);
  list(2, pageless(1, 0x41), true);
  pass_done();
  EXPECT_EQ(sim_requests(PVGEN_SIM_BAND), 0u);
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&prepared, nullptr), 0);
  pass_done();
  EXPECT_EQ(sim_requests(PVGEN_SIM_BAND), 0u);  // running a page: not idle
  pvgen_sim_gate_close();
  ASSERT_EQ(Quorl_cnv_pvgen_band_exe(&prepared, record_cb), 0);  // the page's last band
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 1, kWaitMs), 0);
  list(2, pageless(1, 0x42), true);
  list(2, pageless(1, 0x43), true);
  pvgen_sim_gate_release(1);  // the page ends; the channel is idle
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 3, kWaitMs), 0);
  pass_done();
  EXPECT_EQ(sim_requests(PVGEN_SIM_BAND), 3u);  // two queued at most
  pvgen_sim_gate_open();
  const Reports got = wait_reports(4);
  ASSERT_EQ(got.size(), 4u);
  std::vector<uint32_t> jobs;
  for (const auto& [info, thread] : got) {
    jobs.push_back(info.job_id);
  }
  EXPECT_EQ(jobs, (std::vector<uint32_t>{0x100, 0x41, 0x42, 0x43}));
  EXPECT_TRUE(list_reaches(0));
  EXPECT_EQ(Capture::lines(), Lines{});
}

// A stop of a prepared page that stands behind a waiting page-less band frees the channel
// inside the pass, the walk restarts at the head and the band gets the channel in that
// same pass; the stop returns, and does not wait for the band's report.
TEST_F(Classes, StopBehindAPagelessBandReturnsAndTheBandRuns) {
  Blk prepared = new_block();
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&prepared), 0);
  pvgen_sim_gate_close();
  list(2, pageless(1, 0x51), true);
  pass_done();
  prepared.priority = 5;
  auto stop = async_call([&prepared] { return Quorl_cnv_pvgen_stop(&prepared); });
  EXPECT_EQ(result_of(stop), 0);
  EXPECT_EQ(sim_requests(PVGEN_SIM_BAND), 1u);
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 0u);  // a prepared channel is freed without one
  EXPECT_EQ(wait_reports(0).size(), 0u);        // the report is still held
  pvgen_sim_gate_open();
  ASSERT_EQ(wait_reports(1).size(), 1u);
  EXPECT_TRUE(list_reaches(0));
  EXPECT_EQ(Capture::lines(), Lines{});
}

// Bands that channel selection never answers, or whose page a channel holds in a way the
// C functions never make, wait as listed: a mode 2 band (alone and behind another band of
// its page), a band of a page running in page mode, a band pending on plane 1 of a page
// running on plane 0. None is traced, reported or ended.
TEST_F(Classes, BandsOfOtherModesAndPlanesWait) {
  page = start_page(3);  // running on plane 0
  Blk band = page;
  band.mode = 2;
  Entry* alone = list(2, band, true);
  pvgen_sim_gate_close();
  ASSERT_EQ(Quorl_cnv_pvgen_band_exe(&page, record_cb), 0);
  ASSERT_EQ(Quorl_cnv_pvgen_band_exe(&page, record_cb), 0);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);  // the channel is full
  band.mode = 1;
  Entry* first = list(2, band, true);  // waits for room on the channel
  band.mode = 2;
  Entry* behind = list(2, band, true);
  const int32_t plane1[3] = {2, 0, 2};
  band.mode = 1;
  Entry* other_plane = list(2, band, true, plane1);
  pass_done();
  for (Entry* e : {alone, first, behind, other_plane}) {
    expect_waiting(e);
  }
  EXPECT_EQ(Capture::lines(), Lines{});
  // The page ends with `first`, its third band. A band pending on plane 1 of a page no
  // channel holds any more is a band of a page like any other and ends (-3, reported); the
  // mode 2 bands still wait.
  pvgen_sim_gate_open();
  const Reports got = wait_reports(4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(std::make_tuple(got[2].first.result, got[3].first.result, got[3].first.band_num),
            std::make_tuple(0, -3, 0));
  EXPECT_TRUE(list_reaches(2));
  for (Entry* e : {alone, behind}) {
    expect_waiting(e);
  }
  ASSERT_EQ(Capture::lines().size(), 1u);
  char ended[96];
  std::snprintf(ended, sizeof ended,
                "quorl_cnv_pvgen_control::process(2/1) page_id error. page_id=0x%x",
                static_cast<unsigned>(page.page_id));
  EXPECT_EQ(Capture::lines()[0].rfind(ended, 0), 0u);
  erase(alone);
  erase(behind);

  // Page mode: a page start listed with mode 2 and a ring of none runs until stopped.
  Blk pm = new_block(0);
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&pm), 0);
  pm.mode = 2, pm.src_buf_num = 0;
  Entry* start = list(1, pm, true);
  ASSERT_EQ(start->event->event.wait(kWaitMs), 0);
  ASSERT_EQ(start->blk.result, 0);
  EXPECT_EQ(channel_status(), Channel::STATUS_PAGE_MODE);
  Blk pm_band = pm;
  pm_band.mode = 1;
  Entry* waiting = list(2, pm_band, true);
  Entry* waiting_plane1 = list(2, pm_band, true, plane1);
  pass_done();
  expect_waiting(waiting);
  expect_waiting(waiting_plane1);
  EXPECT_EQ(Capture::lines().size(), 1u);  // nothing new
  pm.priority = 5;
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&pm), 0);  // the stop's clean-up takes them
  EXPECT_TRUE(list_reaches(0));
  EXPECT_EQ(channel_status(), Channel::STATUS_IDLE);
}

// A waiting prepare whose masks lack bit 0 never gets a channel and is never answered:
// none exists, none is made for it, and the one that exists later never matches. A
// waiting prepare that may get channel 0/0/0 still ends (-4) once that channel has failed
// for good.
TEST_F(Classes, WaitingPrepareWhoseMasksNeverMatchWaits) {
  Blk never = pvgen_test::make_block(0x61);
  never.asic = 2, never.wait_for_channel = 1, never.result = 77;
  Entry* entry = list(0, never, false);
  pass_done();
  EXPECT_TRUE(control()->channels().empty());
  page = start_page(1);
  fault("band#1:errno=EIO");  // the channel fails for good
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), -5);
  ASSERT_EQ(channel_status(), Channel::STATUS_ERROR);
  platform::capture_begin();  // from here on
  Blk served = pvgen_test::make_block(0x62);
  served.wait_for_channel = 1;
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&served), -4);
  pass_done();
  expect_waiting(entry, 77);
  const Lines lines = Capture::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("quorl_cnv_pvgen_control::process(0/1) no usable channel. "
                           "page_id=0x62",
                           0),
            0u);
  erase(entry);
  EXPECT_TRUE(list_reaches(0));
}

// A successful stop of a running page asks for one more pass: a prepare that waits for a
// channel, listed before the stop, gets the freed channel without any further call.
TEST_F(Classes, WaitingPrepareGetsTheChannelAStopFreed) {
  page = start_page(2);
  Blk next = new_block();
  next.wait_for_channel = 1;
  auto waiting = async_call([&next] { return Quorl_cnv_pvgen_prepare(&next); });
  ASSERT_TRUE(list_reaches(1));
  pass_done();
  EXPECT_FALSE(ready(waiting));
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&page), 0);
  EXPECT_EQ(result_of(waiting), 0);
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 1u);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&next), 0);
}

}  // namespace
