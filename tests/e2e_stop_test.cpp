// Stopping pages through the C function: pages nobody holds, prepared and running pages,
// pages with bands queued and on the engine, stops the engine answers 2 or refuses, two
// stops of one page, and pages held by a channel in the error state.
#include <cstring>

#include "e2e_support.h"

namespace {

using namespace e2e;

size_t stop_commands() {
  size_t n = 0;
  for (const auto& c : sim_commands()) {
    n += c.code == PVGEN_SIM_IOC_STOP ? 1 : 0;
  }
  return n;
}

// The channel takes a new page without waiting.
void expect_channel_free() {
  ASSERT_TRUE(channel_free());
  auto next = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&next), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&next), 0);
}

TEST(E2eStop, PagesWithoutARunningPageNeedNoDriverCommand) {
  pvgen_sim_reset();
  auto unknown = make_block(77);
  unknown.result = 9;
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&unknown), 0);
  EXPECT_EQ(unknown.result, 0);

  auto prepared = make_block(Quorl_cnv_pvgen_get_page_id());
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&prepared), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&prepared), 0);
  EXPECT_EQ(pvgen_sim_command_count(), 0u);
  expect_channel_free();
  EXPECT_EQ(pvgen_sim_command_count(), 0u);
}

TEST(E2eStop, RunningPageIsStoppedOnTheEngine) {
  pvgen_sim_reset();
  QUORL_CNV_PVGEN_BLK page;
  start_page(page, 4);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&page), 0);
  const auto cmds = sim_commands();
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[1].code, PVGEN_SIM_IOC_STOP);
  // A stop carries the channel's numbers (0, 0, 0) and nothing else.
  pvgen_sim_cmd_blk zero;
  std::memset(&zero, 0, sizeof zero);
  EXPECT_EQ(std::memcmp(&cmds[1].blk, &zero, sizeof zero), 0);
  // The page is gone.
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), -3);
  expect_channel_free();
}

TEST(E2eStop, StopAnsweredTwoCountsAsDone) {
  pvgen_sim_reset();
  QUORL_CNV_PVGEN_BLK page;
  start_page(page, 4);
  add_fault("stop:result=2");
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&page), 0);
  EXPECT_EQ(page.result, 0);
  expect_channel_free();
}

// Bands on the engine (one synchronous, one with a callback) and bands still in the list
// (two with a callback, one synchronous) when the stop comes.
struct StoppedPage {
  QUORL_CNV_PVGEN_BLK page;
  int32_t flying_result = 0;
  int32_t queued_result = 0;
  std::future<int> flying;
  std::future<int> queued;

  void load() {
    start_page(page, 10);
    pvgen_sim_gate_close();
    flying = async_sync_band(page, 1, 701, &flying_result);
    ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 1, kWaitMs), 0);
    ASSERT_EQ(band_async(page, 2), 0);
    ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);
    ASSERT_EQ(band_async(page, 3), 0);
    ASSERT_EQ(band_async(page, 4), 0);
    queued = async_sync_band(page, 5, 702, &queued_result);
    ASSERT_TRUE(list_reaches(5));
  }
  // Both synchronous submitters come back with the result their list entries held: the
  // band command's answer for the one on the engine, the caller's own value for the other.
  void expect_cancelled() {
    EXPECT_EQ(result_of(flying), 0);
    EXPECT_EQ(flying_result, 0);
    EXPECT_EQ(result_of(queued), 702);
    EXPECT_EQ(queued_result, 702);
  }
};

TEST(E2eStop, StopWaitsForTheEngineAndCancelsEverythingElse) {
  pvgen_sim_reset();
  StoppedPage p;
  ASSERT_NO_FATAL_FAILURE(p.load());
  auto stopping = async_call([&p] { return Quorl_cnv_pvgen_stop(&p.page); });
  ASSERT_TRUE(list_reaches(6));
  EXPECT_FALSE(ready(stopping));
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 0u);  // not while bands are on the engine
  pvgen_sim_gate_open();
  EXPECT_EQ(result_of(stopping), 0);
  p.expect_cancelled();

  // The stop went to the engine only after both bands on it had been reported.
  const auto cmds = sim_commands();
  ASSERT_EQ(cmds.size(), 4u);
  EXPECT_EQ(cmds[3].code, PVGEN_SIM_IOC_STOP);
  ASSERT_EQ(pvgen_sim_answer_count(), 2u);
  pvgen_sim_answer last;
  ASSERT_EQ(pvgen_sim_answer_get(1, &last), 0);
  EXPECT_GE(cmds[3].time_ns, last.time_ns);
  // Nothing of the stopped page was reported; nothing of it is left.
  EXPECT_EQ(Reports::get().count(), 0u);
  EXPECT_EQ(list_size(), 0u);
  EXPECT_EQ(registry()->obs_wrapper_count(), 0u);
  expect_channel_free();
}

TEST(E2eStop, TwoStopsOfOnePageRunOneAfterTheOther) {
  pvgen_sim_reset();
  StoppedPage p;
  ASSERT_NO_FATAL_FAILURE(p.load());
  auto first = async_call([&p] { return Quorl_cnv_pvgen_stop(&p.page); });
  auto second = async_call([&p] { return Quorl_cnv_pvgen_stop(&p.page); });
  ASSERT_TRUE(list_reaches(6));  // one stop's entry; the other waits its turn
  pvgen_sim_gate_open();
  EXPECT_EQ(result_of(first), 0);
  EXPECT_EQ(result_of(second), 0);
  p.expect_cancelled();
  EXPECT_EQ(stop_commands(), 1u);
  EXPECT_EQ(list_size(), 0u);

  // Each cancelled submitter was woken once: the pooled semaphores hold no stray count, so
  // a synchronous band of the next page waits for its report.
  QUORL_CNV_PVGEN_BLK next;
  start_page(next, 2);
  pvgen_sim_gate_close();
  int32_t r1 = 0, r2 = 0;
  auto b1 = async_sync_band(next, 0x21, 5, &r1);
  auto b2 = async_sync_band(next, 0x22, 5, &r2);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 4, kWaitMs), 0);
  ASSERT_EQ(pvgen_sim_wait_blocked(1, kWaitMs), 0);
  EXPECT_FALSE(ready(b1));
  EXPECT_FALSE(ready(b2));
  pvgen_sim_gate_open();
  EXPECT_EQ(result_of(b1), 0);
  EXPECT_EQ(result_of(b2), 0);
}

TEST(E2eStop, RefusedStopEndsTheCancelledRequestsButKeepsThePage) {
  pvgen_sim_reset();
  StoppedPage p;
  ASSERT_NO_FATAL_FAILURE(p.load());
  add_fault("stop#1:result=5");
  auto stopping = async_call([&p] { return Quorl_cnv_pvgen_stop(&p.page); });
  ASSERT_TRUE(list_reaches(6));
  pvgen_sim_gate_open();
  EXPECT_EQ(result_of(stopping), -5);
  EXPECT_EQ(p.page.result, -5);
  p.expect_cancelled();
  EXPECT_EQ(Reports::get().count(), 0u);
  EXPECT_EQ(list_size(), 0u);

  // The page still holds the channel and takes bands; the cancelled ones never counted.
  auto other = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&other), -4);
  ASSERT_EQ(band_async(p.page, 6), 0);
  ASSERT_TRUE(Reports::get().wait_count(1));
  const auto r = Reports::get().all()[0].info;
  EXPECT_EQ(r.job_id, 6u);
  EXPECT_EQ(r.band_count, 1);
  EXPECT_EQ(r.result, 0);
  // A later stop succeeds and frees the channel.
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&p.page), 0);
  EXPECT_EQ(stop_commands(), 2u);
  expect_channel_free();
}

TEST(E2eStop, StopReturnsWhenTheChannelFailsUnderIt) {
  pvgen_sim_reset();
  Capture capture;
  QUORL_CNV_PVGEN_BLK page;
  start_page(page, 10);
  pvgen_sim_gate_close();
  ASSERT_EQ(band_async(page, 1), 0);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 1, kWaitMs), 0);
  add_fault("band#1:errno=EIO");
  ASSERT_EQ(band_async(page, 2), 0);  // its driver call fails: the channel is in error
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);
  ASSERT_EQ(band_async(page, 3), 0);  // no channel for it any more: stays in the list
  auto stopping = async_call([&page] { return Quorl_cnv_pvgen_stop(&page); });
  ASSERT_TRUE(eventually([&page] { return stop_marked(page.page_id) == 3; }));
  pvgen_sim_gate_open();
  EXPECT_EQ(result_of(stopping), 0);
  EXPECT_EQ(stop_commands(), 0u);  // a failed channel gets no commands
  EXPECT_EQ(Reports::get().count(), 0u);
  EXPECT_EQ(list_size(), 0u);
  expect_trace({"quorl_cnv_pvgen_channel::band_exe(0/0/0) ioctl error. result = 0\n"}, 8,
               "quorl_cnv_pvgen_channel.cpp", "band_exe");
  auto other = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&other), -4);  // the channel stays unusable
}

}  // namespace
