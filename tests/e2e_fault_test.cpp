// Engine and driver failures as a caller sees them: refused and failing page starts and
// bands, failing waits, over-long reports, completion states, and a device that cannot be
// opened.
#include <cstdio>

#include "e2e_support.h"

namespace {

using namespace e2e;

const char kChannelFile[] = "quorl_cnv_pvgen_channel.cpp";

std::string not_prepared(int32_t page) {
  char text[128];
  std::snprintf(text, sizeof text,
                "quorl_cnv_pvgen_control::process() page_id error. page_id=0x%x is not "
                "prepared.\n",
                static_cast<unsigned>(page));
  return text;
}

TEST(E2eFault, RefusedPageStartLeavesThePagePrepared) {
  pvgen_sim_reset();
  Capture capture;
  auto blk = make_block(Quorl_cnv_pvgen_get_page_id(), 0x100, 1);
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);
  add_fault("start#1:result=5");
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&blk, nullptr), -5);
  EXPECT_EQ(blk.result, -5);
  EXPECT_EQ(Capture::lines(), std::vector<std::string>{});  // a refusal is not traced
  EXPECT_EQ(platform::notifications().size(), 0u);
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&blk, nullptr), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&blk, nullptr), 0);
}

TEST(E2eFault, FailingPageStartLeavesTheChannelUnusable) {
  pvgen_sim_reset();
  Capture capture;
  auto blk = make_block(Quorl_cnv_pvgen_get_page_id(), 0x100, 1);
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);
  add_fault("start#1:errno=EIO");
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&blk, nullptr), -5);
  EXPECT_EQ(blk.result, -5);
  expect_trace({"quorl_cnv_pvgen_channel::page_start(0/0/0) ioctl error. result = 0\n"}, 7,
               kChannelFile, "page_start");

  // The failed channel keeps the page but serves it no more.
  platform::capture_begin();
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&blk, nullptr), -3);
  EXPECT_EQ(Capture::lines(), std::vector<std::string>{not_prepared(blk.page_id)});
  auto other = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&other), -4);
  // Its stop returns (without a driver command) and the channel keeps the page.
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&blk), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&blk), 0);
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 0u);
  EXPECT_EQ(the_channel()->get_page_id(), static_cast<unsigned long>(blk.page_id));
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&blk, nullptr), -3);
}

TEST(E2eFault, RefusedBandFailsAndEndsThePage) {
  pvgen_sim_reset();
  QUORL_CNV_PVGEN_BLK page;
  start_page(page, 5);
  add_fault("band#1:result=5");
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), -5);
  EXPECT_EQ(page.result, -5);
  ASSERT_TRUE(channel_free());

  start_page(page, 5);
  add_fault("band#2:result=9");
  ASSERT_EQ(band_async(page, 1), 0);
  ASSERT_EQ(band_async(page, 2), 0);
  ASSERT_TRUE(Reports::get().wait_count(2));
  const auto reports = Reports::get().all();
  EXPECT_EQ(reports[0].info.result, 0);
  EXPECT_EQ(reports[1].info.result, -5);
  EXPECT_EQ(reports[1].info.job_id, 2u);
  EXPECT_EQ(reports[1].info.band_count, 2);
  EXPECT_EQ(reports[1].info.band_num, 1);
  ASSERT_TRUE(channel_free());  // a failed band ends its page; the channel is fine
  auto next = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&next), 0);
}

// The failed band ends the page while the next band is still on the engine; a stop then
// finds no channel holding the page but must not clear that band's entry under the worker.
TEST(E2eFault, StopAfterAFailedBandWaitsForTheBandBehindIt) {
  pvgen_sim_reset();
  Capture capture;
  QUORL_CNV_PVGEN_BLK page;
  start_page(page, 10);
  pvgen_sim_gate_close();
  add_fault("band#1:result=5");
  ASSERT_EQ(band_async(page, 1), 0);
  ASSERT_EQ(band_async(page, 2), 0);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);
  pvgen_sim_gate_release(1);
  ASSERT_TRUE(Reports::get().wait_count(1));
  EXPECT_EQ(Reports::get().all()[0].info.result, -5);
  ASSERT_EQ(pvgen_sim_wait_blocked(1, kWaitMs), 0);  // the worker waits for band 2
  auto stopping = async_call([&page] { return Quorl_cnv_pvgen_stop(&page); });
  ASSERT_TRUE(list_reaches(2));
  EXPECT_FALSE(ready(stopping));
  pvgen_sim_gate_open();
  EXPECT_EQ(result_of(stopping), 0);
  EXPECT_EQ(list_size(), 0u);
  EXPECT_EQ(Reports::get().count(), 1u);  // band 2 was cancelled by the stop
  EXPECT_EQ(Capture::lines(), std::vector<std::string>{});
  // The channel and its worker are fine.
  ASSERT_TRUE(channel_free());
  start_page(page, 1);
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), 0);
}

TEST(E2eFault, FailingWaitIsReportedAndTheChannelStaysInError) {
  pvgen_sim_reset();
  Capture capture;
  QUORL_CNV_PVGEN_BLK page;
  start_page(page, 5);
  add_fault("wait#1:errno=EIO,result=7");
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), -5);
  EXPECT_EQ(page.result, -5);
  expect_trace({"quorl_cnv_pvgen_channel::wait(0/0/0) ioctl error. result = 7\n"}, 10, kChannelFile,
               "wait");
  ASSERT_TRUE(eventually([] { return the_channel()->get_page_id() == 0; }));
  auto next = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&next), -4);
}

TEST(E2eFault, CompletionStatesPassThroughAndOverlongReportsFail) {
  pvgen_sim_reset();
  Capture capture;
  QUORL_CNV_PVGEN_BLK page;
  start_page(page, 3);
  add_fault("wait#1:result=1");
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), 1);
  EXPECT_EQ(page.result, 1);
  add_fault("wait#1:result=2");
  ASSERT_EQ(band_async(page, 2), 0);
  ASSERT_TRUE(Reports::get().wait_count(1));
  EXPECT_EQ(Reports::get().all()[0].info.result, 2);
  EXPECT_EQ(Reports::get().all()[0].info.band_count, 2);
  // "Nothing final yet" answers are asked again; the band then completes the page.
  add_fault("wait#1x2:again");
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), 0);
  EXPECT_EQ(sim_stats().again, 2u);
  EXPECT_EQ(Capture::lines(), std::vector<std::string>{});
  ASSERT_TRUE(channel_free());

  start_page(page, 3);
  add_fault("wait#1:band_num=2");
  ASSERT_EQ(band_async(page, 7), 0);
  ASSERT_TRUE(Reports::get().wait_count(2));
  const auto r = Reports::get().all()[1].info;
  EXPECT_EQ(r.result, -5);
  EXPECT_EQ(r.band_num, 1);
  EXPECT_EQ(r.band_count, 1);
  expect_trace({"quorl_cnv_pvgen_channel::wait(0/0/0) band_num overflow. = 2\n"}, 10, kChannelFile,
               "wait");
  ASSERT_TRUE(channel_free());  // the failed report ended the page
}

TEST(E2eFault, DeviceThatCannotBeOpened) {
  pvgen_sim_reset();
  Capture capture;
  add_fault("open#1:errno=EACCES");
  auto blk = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);  // the failed channel is still bound
  expect_trace({"quorl_cnv_pvgen_channel::quorl_cnv_pvgen_channel(0/0/0) driver open error.\n"}, 5,
               kChannelFile, "quorl_cnv_pvgen_channel");
  platform::capture_begin();
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&blk, nullptr), -3);
  EXPECT_EQ(blk.result, -3);
  EXPECT_EQ(Capture::lines(), std::vector<std::string>{not_prepared(blk.page_id)});
  auto other = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&other), -4);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&blk), 0);
  EXPECT_EQ(pvgen_sim_command_count(), 0u);
}

}  // namespace
