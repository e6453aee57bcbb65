// No caller waits for ever: bands whose page no channel holds any more end, bands queued
// before their page start are served, stops return whatever the channel went through, and
// the library can be brought to rest while requests are in flight.
#include <cstdio>

#include "support/e2e_support.h"

namespace {

using namespace e2e;

// The line the dispatcher traces for a band that can never start, up to its request number.
std::string ended_line(int32_t page_id) {
  char text[96];
  std::snprintf(text, sizeof text,
                "quorl_cnv_pvgen_control::process(2/1) page_id error. page_id=0x%x has no channel.",
                static_cast<unsigned>(page_id));
  return text;
}
size_t lines_starting(const std::string& prefix) {
  size_t n = 0;
  for (const std::string& line : Capture::lines()) {
    n += line.rfind(prefix, 0) == 0 ? 1 : 0;
  }
  return n;
}

class Reliability : public E2e {};

// A page ends while bands of it still wait in the list: by its count, or at a band the
// engine reports as two (-5). The bands already on the engine are still reported; the
// waiting ones can never start and end with -3: a synchronous caller returns it, a callback
// gets it once, on the worker, with the band's job and page. Nothing is left behind.
TEST_F(Reliability, BandsOfAPageThatEndedEndWithMinusThree) {
  const struct {
    uint32_t band_total;
    const char* fault;
    int32_t first_outcome;
  } rows[] = {{1, nullptr, 0}, {10, "wait#1:band_num=2", -5}};
  size_t seen = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.band_total);
    pvgen_sim_reset();
    platform::capture_begin();
    page = start_page(row.band_total);
    if (row.fault != nullptr) {
      fault(row.fault);  // the worker's next wait, for band 1
    }
    pvgen_sim_gate_close();
    ASSERT_TRUE(band_async(page, 1) == 0 && band_async(page, 2) == 0);
    ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);  // the channel is full
    queued = sync_band(page, 3, 703);
    ASSERT_EQ(band_async(page, 4), 0);
    ASSERT_TRUE(list_reaches(4));
    pvgen_sim_gate_open();
    EXPECT_EQ(result_of(queued), -3);
    const Reports got = wait_reports(seen + 3);
    ASSERT_EQ(got.size(), seen + 3);
    std::vector<std::tuple<uint32_t, int32_t, int32_t>> records;
    for (size_t i = seen; i < got.size(); ++i) {
      const Info& r = got[i].first;
      EXPECT_EQ(r.page_id, page.page_id);
      EXPECT_FALSE(pthread_equal(got[i].second, pthread_self()));
      records.emplace_back(r.job_id, r.result, r.band_num);
    }
    EXPECT_EQ(records, (std::vector<std::tuple<uint32_t, int32_t, int32_t>>{
                           {1, row.first_outcome, 1}, {2, 0, 1}, {4, -3, 0}}));
    seen = got.size();
    EXPECT_EQ(sim_requests(PVGEN_SIM_BAND), 2u);
    EXPECT_EQ(lines_starting(ended_line(page.page_id)), 2u);
    EXPECT_TRUE(list_reaches(0));
    EXPECT_EQ(registry()->obs_wrapper_count() + registry()->event_semaphore_in_use(), 0u);
    expect_channel_free();
  }
}

// Bands accepted between prepare and page start wait for the page start, and are served
// right after it, without any later submission waking the dispatcher.
TEST_F(Reliability, BandsQueuedBeforeThePageStartAreServedAfterIt) {
  page = new_block(2);
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&page), 0);
  ASSERT_TRUE(band_async(page, 1) == 0 && band_async(page, 2) == 0);
  ASSERT_TRUE(list_reaches(2));
  EXPECT_EQ(sim_requests(PVGEN_SIM_BAND), 0u);
  ASSERT_EQ(Quorl_cnv_pvgen_page_start(&page, nullptr), 0);
  const Reports got = wait_reports(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(make_pair(got[0].first.band_count, got[1].first.band_count), make_pair(1, 2));
  expect_channel_free();
}

// A stop of a page that no channel holds returns at once, even while the channel still has
// jobs of another page that ended on a failed band (the engine holds their reports).
TEST_F(Reliability, StopDoesNotWaitForJobsOfAnotherPage) {
  page = start_page(10);
  fault("wait#1:result=4");  // the worker's next wait, for band 1
  pvgen_sim_gate_close();
  ASSERT_TRUE(band_async(page, 1) == 0 && band_async(page, 2) == 0);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);
  pvgen_sim_gate_release(1);  // band 1 fails and ends the page; band 2 stays on the channel
  ASSERT_TRUE(eventually([] {
    return norvane::quorl_cnv_pvgen_control::instance()->channels().front()->get_page_id() == 0;
  }));
  Blk other = new_block();
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&other), 0);
  Blk same = page;  // the page that ended: its stop waits for band 2, which it cancels
  auto stopping = async_call([&same] { return Quorl_cnv_pvgen_stop(&same); });
  ASSERT_TRUE(eventually([] { return marked_entries() == 1; }));
  EXPECT_FALSE(ready(stopping));
  pvgen_sim_gate_open();
  EXPECT_EQ(result_of(stopping), 0);
  EXPECT_EQ(wait_reports(1).size(), 1u);  // band 1 only
  EXPECT_TRUE(list_reaches(0));
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 0u);
}

// A driver wait that fails while its result word reads "not yet" (3) is not asked again: the
// failed call may have taken the band's report, and a second wait would wait for ever. The
// band fails (-5), the channel is in error for good, and its page can still be stopped.
TEST_F(Reliability, AFailedWaitIsNotAskedAgain) {
  page = start_page(10);
  fault("wait#1:errno=EIO,result=3");
  queued = sync_band(page, 1, 701);
  EXPECT_EQ(result_of(queued), -5);
  expect_channel_trace("wait", "ioctl error. result = 3", 10);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&page), 0);
  EXPECT_TRUE(list_reaches(0));
}

// A worker that lost track of a job (its entry vanished) ends, leaving the job queued and the
// channel in error for good. Stops of the page still return, its bands end with -3, and a
// prepare that would wait for the channel ends with -4.
TEST_F(Reliability, StopsReturnAfterTheWorkerHasEnded) {
  page = start_page(10);
  pvgen_sim_gate_close();
  ASSERT_TRUE(band_async(page, 1) == 0 && band_async(page, 2) == 0);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);
  // The worker waits for band 1's report; band 2's entry vanishes before it looks it up.
  uint32_t second = 0;
  registry()->req_list_lock();
  while (const QUORL_CNV_PVGEN_LIST_BLK* entry = registry()->req_list_for_each()) {
    second = entry->req_no;
  }
  registry()->req_list_unlock();
  registry()->req_list_erase(norvane::quorl_cnv_pvgen_commonmethod::ERASE_REQ_NO, second);
  pvgen_sim_gate_open();
  ASSERT_TRUE(eventually(
      [] { return norvane::Controller::instance()->running_threads("quorl_pvgen_ch") == 0; }));
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), -3);
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, record_cb), 0);  // nobody left to report it
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&page), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&page), 0);
  page.wait_for_channel = 1;
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&page), -4);
  EXPECT_TRUE(list_reaches(0));
  EXPECT_EQ(registry()->obs_wrapper_count(), 0u);
  EXPECT_EQ(wait_reports(0).size(), 1u);  // band 1 only
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 0u);
  norvane::quorl_cnv_pvgen_control::release();  // also reaps the worker that ended
}

// release() while requests are in flight: the jobs on the engine are reported, every caller
// still waiting returns (-3, or -4 for a prepare), callbacks of bands that never reached the
// engine are dropped, nothing leaks (the sanitizer build checks), and the next call starts
// a fresh library.
TEST_F(Reliability, ReleaseAfterTrafficEndsEveryWaiterAndStartsAfresh) {
  page = start_page(10);
  pvgen_sim_gate_close();
  ASSERT_TRUE(band_async(page, 1) == 0 && band_async(page, 2) == 0);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);
  queued = sync_band(page, 3, 703);
  ASSERT_EQ(band_async(page, 4), 0);
  Blk next = new_block();
  next.wait_for_channel = 1;
  auto preparing = async_call([&next] { return Quorl_cnv_pvgen_prepare(&next); });
  ASSERT_TRUE(list_reaches(5));
  auto releasing = async_call([] { return norvane::quorl_cnv_pvgen_control::release(), 0; });
  ASSERT_TRUE(eventually(
      [] { return norvane::Controller::instance()->running_threads("quorl_pvgen_ctrl") == 0; }));
  EXPECT_FALSE(ready(releasing) || ready(queued) || ready(preparing));
  pvgen_sim_gate_open();
  EXPECT_EQ(result_of(releasing), 0);
  EXPECT_EQ(make_pair(result_of(queued), result_of(preparing)), make_pair(-3, -4));
  std::vector<uint32_t> jobs;
  for (const auto& [r, thread] : wait_reports(2)) {
    jobs.push_back(r.job_id);
  }
  EXPECT_EQ(jobs, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(norvane::Controller::instance()->running_threads(), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_get_page_id(), 1);
  page = start_page(1);
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), 0);
  norvane::quorl_cnv_pvgen_control::release();
}

}  // namespace
