// Whole band pages through the C functions: synchronous and callback bands, what the
// callback receives, the busy channel, waiting prepares, priority order and several
// submitting threads at once.
#include <atomic>
#include <map>
#include <set>

#include "e2e_support.h"

namespace {

using namespace e2e;

// The band block of band k (1-based): its own job id and source words on all three planes.
QUORL_CNV_PVGEN_BLK band_block(const QUORL_CNV_PVGEN_BLK& page, uint32_t k) {
  QUORL_CNV_PVGEN_BLK b = page;
  b.job_id = 0x10 + k;
  b.src[0] = {0x5000 + k, 100 * k, 0};
  b.src[1] = {0x5100, 7, 9};
  b.src[2] = {0, 0, 0};
  b.band_param0 = k;
  return b;
}

TEST(E2ePage, SynchronousBandsRunThePageToItsEnd) {
  pvgen_sim_reset();
  QUORL_CNV_PVGEN_BLK page;
  const int32_t id = start_page(page, 3);
  for (uint32_t k = 1; k <= 3; ++k) {
    auto b = band_block(page, k);
    b.result = 42;
    EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&b, nullptr), 0);
    EXPECT_EQ(b.result, 0);
    // Only result comes back into the caller's block.
    EXPECT_EQ(b.src[0].word1, 100 * k);
    EXPECT_EQ(b.plane_result[0], 0u);
  }
  EXPECT_EQ(band_job_ids(), (std::vector<uint32_t>{0x11, 0x12, 0x13}));
  // Ended by count: the page is gone and the channel takes a new page without waiting.
  ASSERT_TRUE(channel_free());
  auto again = page;
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&again, nullptr), -3);
  auto next = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&next), 0);
  EXPECT_NE(next.page_id, id);
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 0u);
}

TEST(E2ePage, CallbackReceivesEachBandOnTheWorker) {
  pvgen_sim_reset();
  constexpr uint32_t kBands = 4;
  QUORL_CNV_PVGEN_BLK page = make_block(Quorl_cnv_pvgen_get_page_id(), 0x100, kBands);
  page.dst[0] = {0x6000, 30, 40};
  page.dst[2] = {0x6200, 1, 2};
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&page), 0);
  ASSERT_EQ(Quorl_cnv_pvgen_page_start(&page, nullptr), 0);
  std::vector<QUORL_CNV_PVGEN_BLK> bands;
  for (uint32_t k = 1; k <= kBands; ++k) {
    bands.push_back(band_block(page, k));
    bands.back().result = 12345;
    EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&bands.back(), record_cb), 0);
    EXPECT_EQ(bands.back().result, 12345);  // an accepted band with a callback leaves it
  }
  ASSERT_TRUE(Reports::get().wait_count(kBands));
  const auto reports = Reports::get().all();
  ASSERT_EQ(reports.size(), kBands);
  for (uint32_t k = 1; k <= kBands; ++k) {
    SCOPED_TRACE(k);
    const auto& r = reports[k - 1].info;
    const auto& b = bands[k - 1];
    EXPECT_EQ(r.job_id, b.job_id);
    EXPECT_EQ(r.page_id, page.page_id);
    EXPECT_EQ(r.band_count, static_cast<int32_t>(k));
    EXPECT_EQ(r.band_num, 1);
    for (int i = 0; i < 3; ++i) {
      // The engine's report of band command k: its source moved on by one, the page's
      // destination by k.
      EXPECT_EQ(r.src[i].id, b.src[i].id);
      EXPECT_EQ(r.src[i].word1, b.src[i].word1 + 1);
      EXPECT_EQ(r.src[i].word2, k);
      EXPECT_EQ(r.dst[i].id, page.dst[i].id);
      EXPECT_EQ(r.dst[i].word1, page.dst[i].word1 + k);
      EXPECT_EQ(r.dst[i].word2, k);
    }
    EXPECT_EQ(r.plane_result[0], (b.job_id << 16) | k);
    EXPECT_EQ(r.plane_result[1], 0u);
    EXPECT_EQ(r.plane_result[2], 0u);
    EXPECT_EQ(r.result, 0);
    // Delivered by the channel worker, the thread that took the report from the engine.
    EXPECT_EQ(pthread_equal(reports[k - 1].thread, pthread_self()), 0);
    EXPECT_EQ(reports[k - 1].thread_name, "quorl_pvgen_ch");
    pvgen_sim_answer a;
    ASSERT_EQ(pvgen_sim_answer_get(k - 1, &a), 0);
    EXPECT_NE(pthread_equal(a.thread, reports[k - 1].thread), 0);
  }
  ASSERT_TRUE(channel_free());
  auto next = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&next), 0);
}

TEST(E2ePage, CallbackSubmitsTheNextBandWhileTwoAreInFlight) {
  pvgen_sim_reset();
  constexpr uint32_t kBands = 6;
  QUORL_CNV_PVGEN_BLK page;
  start_page(page, kBands);
  std::vector<int> hook_rc;  // written only by the worker, read after it is done
  Reports::get().hook = [&](const QUORL_CNV_PVGEN_RESULT_INFO& info) {
    const uint32_t next = info.job_id - 0x10 + 2;
    if (next <= kBands) {
      auto b = band_block(page, next);
      hook_rc.push_back(Quorl_cnv_pvgen_band_exe(&b, record_cb));
    }
  };
  pvgen_sim_gate_close();
  for (uint32_t k = 1; k <= 2; ++k) {
    auto b = band_block(page, k);
    ASSERT_EQ(Quorl_cnv_pvgen_band_exe(&b, record_cb), 0);
  }
  for (uint32_t k = 1; k <= kBands; ++k) {
    // Before report k is let through, bands k and k+1 are both on the engine.
    ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, std::min(k + 1, kBands), kWaitMs), 0);
    const auto s = sim_stats();
    EXPECT_EQ(s.requests[PVGEN_SIM_BAND], std::min(k + 1, kBands));
    EXPECT_EQ(s.reports, k - 1);
    pvgen_sim_gate_release(1);
    ASSERT_TRUE(Reports::get().wait_count(k));
  }
  ASSERT_TRUE(channel_free());
  const auto reports = Reports::get().all();
  ASSERT_EQ(reports.size(), kBands);
  for (uint32_t k = 1; k <= kBands; ++k) {
    EXPECT_EQ(reports[k - 1].info.job_id, 0x10 + k);
    EXPECT_EQ(reports[k - 1].info.band_count, static_cast<int32_t>(k));
  }
  EXPECT_EQ(hook_rc, std::vector<int>(kBands - 2, 0));
}

TEST(E2ePage, BusyChannelRefusesAPrepareAtOnce) {
  pvgen_sim_reset();
  Capture capture;
  QUORL_CNV_PVGEN_BLK page = make_block(Quorl_cnv_pvgen_get_page_id(), 0x100, 5);
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&page), 0);
  auto other = make_block(Quorl_cnv_pvgen_get_page_id());
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&other), -4);  // prepared for another page
  EXPECT_EQ(other.result, -4);

  ASSERT_EQ(Quorl_cnv_pvgen_page_start(&page, nullptr), 0);
  pvgen_sim_gate_close();
  ASSERT_EQ(band_async(page, 1), 0);
  ASSERT_EQ(pvgen_sim_wait_blocked(1, kWaitMs), 0);
  other.result = 0;
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&other), -4);  // running with a band in flight
  EXPECT_EQ(other.result, -4);
  EXPECT_EQ(Capture::lines(), std::vector<std::string>{});
  pvgen_sim_gate_open();
  ASSERT_TRUE(Reports::get().wait_count(1));
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&page), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&other), 0);
}

TEST(E2ePage, WaitingPrepareGetsTheChannelOnceItIsFree) {
  pvgen_sim_reset();
  // Freed by a stop of the prepared page.
  auto first = make_block(Quorl_cnv_pvgen_get_page_id());
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&first), 0);
  auto second = make_block(Quorl_cnv_pvgen_get_page_id(), 0x200, 1);
  second.wait_for_channel = 1;
  auto waiting = async_call([&second] { return Quorl_cnv_pvgen_prepare(&second); });
  ASSERT_TRUE(list_reaches(1));
  EXPECT_FALSE(ready(waiting));
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&first), 0);
  EXPECT_EQ(result_of(waiting), 0);
  EXPECT_EQ(second.result, 0);

  // Freed by the page ending with its last band.
  ASSERT_EQ(Quorl_cnv_pvgen_page_start(&second, nullptr), 0);
  auto third = make_block(Quorl_cnv_pvgen_get_page_id());
  third.wait_for_channel = 1;
  waiting = async_call([&third] { return Quorl_cnv_pvgen_prepare(&third); });
  ASSERT_TRUE(list_reaches(1));
  EXPECT_FALSE(ready(waiting));
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&second, nullptr), 0);
  EXPECT_EQ(result_of(waiting), 0);
  EXPECT_EQ(the_channel()->get_page_id(), static_cast<unsigned long>(third.page_id));
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 0u);
}

TEST(E2ePage, WaitingRequestsAreServedByPriorityThenArrival) {
  pvgen_sim_reset();
  QUORL_CNV_PVGEN_BLK page;
  start_page(page, 9);
  // Two bands occupy the channel; the rest wait in the list.
  pvgen_sim_gate_close();
  ASSERT_EQ(band_async(page, 1, 5), 0);
  ASSERT_EQ(band_async(page, 2, 5), 0);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);
  const std::vector<std::pair<uint32_t, uint32_t>> queued = {
      {3, 3}, {1, 4}, {4, 5}, {0, 6}, {2, 7}, {1, 8}, {0, 9}};  // (priority, job)
  for (const auto& [priority, job] : queued) {
    ASSERT_EQ(band_async(page, job, priority), 0);
  }
  EXPECT_EQ(sim_requests(PVGEN_SIM_BAND), 2u);
  pvgen_sim_gate_open();
  ASSERT_TRUE(Reports::get().wait_count(9));
  const std::vector<uint32_t> order = {1, 2, 6, 9, 4, 8, 7, 3, 5};
  EXPECT_EQ(band_job_ids(), order);
  std::vector<uint32_t> reported;
  for (const auto& r : Reports::get().all()) {
    reported.push_back(r.info.job_id);
  }
  EXPECT_EQ(reported, order);
}

// Several threads each run whole pages: odd pages with callback bands that end the page by
// count, even pages with synchronous bands and a stop before the page's band total.
TEST(E2ePage, ConcurrentPagesAccountForEveryBand) {
  pvgen_sim_reset();
  constexpr int kThreads = 4;
  constexpr int kPages = 4;  // per thread
  constexpr uint32_t kBands = 6;
  std::atomic<int> failures{0};
  std::mutex sync_mutex;
  std::map<int32_t, std::vector<int>> sync_results;

  auto run = [&](int t) {
    for (int p = 0; p < kPages; ++p) {
      const bool callback = (p + t) % 2 == 1;
      auto blk = make_block(Quorl_cnv_pvgen_get_page_id(), 0, callback ? kBands : kBands + 5);
      blk.wait_for_channel = 1;
      if (Quorl_cnv_pvgen_prepare(&blk) != 0 || Quorl_cnv_pvgen_page_start(&blk, nullptr) != 0) {
        ++failures;
        continue;
      }
      for (uint32_t k = 1; k <= kBands; ++k) {
        blk.job_id = k;
        if (callback) {
          failures += Quorl_cnv_pvgen_band_exe(&blk, record_cb) != 0;
        } else {
          const int rc = Quorl_cnv_pvgen_band_exe(&blk, nullptr);
          std::lock_guard<std::mutex> lock(sync_mutex);
          sync_results[blk.page_id].push_back(rc);
        }
      }
      if (callback) {
        failures += !Reports::get().wait_count(kBands, blk.page_id);
      } else {
        failures += Quorl_cnv_pvgen_stop(&blk) != 0;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(run, t);
  }
  for (auto& th : threads) {
    th.join();
  }
  EXPECT_EQ(failures.load(), 0);

  constexpr int kEach = kThreads * kPages / 2;
  std::map<int32_t, std::vector<int32_t>> counts;
  for (const auto& r : Reports::get().all()) {
    EXPECT_EQ(r.info.result, 0);
    counts[r.info.page_id].push_back(r.info.band_count);
  }
  EXPECT_EQ(counts.size(), static_cast<size_t>(kEach));
  for (const auto& [page, c] : counts) {
    EXPECT_EQ(c, (std::vector<int32_t>{1, 2, 3, 4, 5, 6})) << "page " << page;
  }
  EXPECT_EQ(sync_results.size(), static_cast<size_t>(kEach));
  for (const auto& [page, rcs] : sync_results) {
    EXPECT_EQ(rcs, std::vector<int>(kBands, 0)) << "page " << page;
  }
  const auto s = sim_stats();
  EXPECT_EQ(s.requests[PVGEN_SIM_PAGE_START], static_cast<uint64_t>(2 * kEach));
  EXPECT_EQ(s.requests[PVGEN_SIM_BAND], 2 * kEach * kBands);
  EXPECT_EQ(s.bands_run, 2 * kEach * kBands);
  EXPECT_EQ(s.reports, 2 * kEach * kBands);
  EXPECT_EQ(s.requests[PVGEN_SIM_STOP], static_cast<uint64_t>(kEach));
  EXPECT_EQ(s.failed[PVGEN_SIM_BAND] + s.failed[PVGEN_SIM_WAIT], 0u);
  EXPECT_EQ(list_size(), 0u);
  EXPECT_EQ(registry()->obs_wrapper_count(), 0u);
}

}  // namespace
