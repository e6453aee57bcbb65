// The five C functions end to end against the simulated engine, and pvgen-run as a process.
#include <sys/wait.h>

#include <cstdio>
#include <map>

#include "support/e2e_support.h"

namespace {

using namespace e2e;

// A refused call returns -3 (also in result), traces each failing rule in order and notifies
// once; nothing reaches the engine, the list or a callback, and observer references are given
// back. Prepare keeps the caller's mode, and page starts are checked as band pages.
TEST_F(E2e, RefusalsTraceEveryFailingRuleInOrder) {
  const int32_t p = start_page(1).page_id;
  enum { kNone, kSrc, kDst };  // buffers whose ids are cleared
  const std::vector<std::tuple<int, int32_t, uint32_t, uint32_t, int, Lines>> cases = {
      {0, 0, 7, 7, kNone, {"(0/7) page_id error1. = 0", "(0/7) priority error. = 7"}},
      {0, 5, 0xFFFFFFFF, 1, kNone, {"(0/1) priority error. = -1"}},
      {0, INT32_MIN, 0, 1, kNone, {"(0/1) page_id error1. = -2147483648"}},
      {1, 0, 0, 2, kNone, {"(1/1) page_id error1. = 0", "(1/1) page_id error2. = 0"}},
      {1, 9, 0, 1, kNone, {"(1/1) page_id error2. = 9"}},
      {1, p, 0, 1, kDst, {"(1/1) dst buffer error. buffer id all 0."}},
      {2, 9, 0, 1, kSrc, {"(2/1) page_id error2. = 9", "(2/1) src buffer error. buffer id all 0."}},
      {2, p, 0, 1, kSrc, {"(2/1) src buffer error. buffer id all 0."}},
      {4, 0, 0, 1, kNone, {"(4/1) page_id error1. = 0"}},
      {4, -5, 0, 1, kNone, {"(4/1) page_id error1. = -5"}},
  };
  for (auto [request, page_id, priority, mode, strip, lines] : cases) {
    Blk blk = pvgen_test::make_block(page_id);
    blk.priority = priority, blk.mode = mode, blk.result = 55;
    std::memset(strip == kSrc ? blk.src : blk.dst, 0, strip == kNone ? 0 : sizeof blk.src);
    platform::capture_begin();
    EXPECT_EQ(after(submit(request, blk, record_cb), blk.result), make_pair(-3, -3));
    for (std::string& l : lines) {
      l = "quorl_cnv_pvgen_control::param_check" + l + "\n";
    }
    expect_trace(lines, 3, "quorl_cnv_pvgen_control.cpp", "param_check");
  }
  EXPECT_EQ(registry()->obs_wrapper_count() + registry()->req_list_size(), 0u);
  EXPECT_EQ(wait_reports(0).size(), 0u);
  EXPECT_EQ(pvgen_sim_command_count(), 1u);  // the page start
}

// Prepare runs with all masks at 1; page start and band run as a band page (mode 1, variant
// 1, type 2, no ring): page-mode fields, a band's device, priority and destination don't count.
TEST_F(E2e, FixedFieldsDecideWhatIsCheckedAndSent) {
  Blk blk = new_block(2), band = new_block();
  blk.job_id = 0x77, blk.asic = 2, blk.module = 0, blk.channel = 4, blk.type = 9;
  std::memset(blk.src, 0, sizeof blk.src);
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);
  blk.mode = 2, blk.src_buf_num = 2, blk.ring[0].id = 0, blk.ring_param0 = 0x1234;
  blk.variant = 7, blk.result = 99;
  EXPECT_EQ(after(Quorl_cnv_pvgen_page_start(&blk, record_cb), blk.result), make_pair(0, 0));
  EXPECT_EQ(registry()->obs_wrapper_count(), 0u);
  band.page_id = blk.page_id, band.job_id = 0x78, band.mode = 2, band.type = 9, band.asic = 0;
  band.priority = 9;
  std::memset(band.dst, 0, sizeof band.dst);
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&band, nullptr), 0);
  EXPECT_EQ(Capture::lines(), Lines{});
  ASSERT_EQ(pvgen_sim_command_count(), 2u);
  pvgen_sim_command ps, bs;
  ASSERT_EQ(pvgen_sim_command_get(0, &ps) + pvgen_sim_command_get(1, &bs), 0);
  EXPECT_EQ(std::vector<uint32_t>({ps.code, ps.blk.job_id, ps.blk.mode, ps.blk.variant, ps.blk.type,
                                   ps.blk.src_buf_num, ps.blk.ring_param0, ps.blk.band_total,
                                   bs.code, bs.blk.job_id, bs.blk.mode, bs.blk.type}),
            std::vector<uint32_t>({PVGEN_SIM_IOC_PAGE_START, 0x77, 1, 1, 2, 0, 0, 2,
                                   PVGEN_SIM_IOC_BAND_EXE, 0x78, 1, 2}));
  EXPECT_EQ(wait_reports(0).size(), 0u);  // a page start never calls its callback
}

// Each submission records a start and an end point on the calling thread. Prepare's code is
// (0x100 << type) | (0x10 << mode); a band ends with flag 0 when it has an observer.
TEST_F(E2e, SubmissionsRecordStartAndEndTracePoints) {
  using Points = std::vector<std::tuple<int, int, int>>;
  Blk a = new_block(), b = new_block(3), bad = new_block();
  a.type = 1, a.mode = 0, b.type = 3, b.mode = 2, bad.page_id = 0;
  const std::vector<std::tuple<int, Blk*, QUORL_CNV_PVGEN_CALLBACK, int, Points>> cases = {
      {0, &a, nullptr, 0, {{1, 0x211, 1}, {1, 0x212, 1}}},
      {4, &a, nullptr, 0, {{16, 1, 1}, {16, 2, 1}}},
      {0, &b, nullptr, 0, {{1, 0x841, 1}, {1, 0x842, 1}}},
      {1, &b, nullptr, 0, {{2, 0x421, 1}, {2, 0x422, 1}}},
      {2, &b, record_cb, 0, {{4, 0x421, 1}, {4, 0x422, 0}}},
      {2, &b, nullptr, 0, {{4, 0x421, 1}, {4, 0x422, 1}}},
      {2, &bad, record_cb, -3, {{4, 0x421, 1}, {4, 0x422, 0}}},
      {2, &bad, nullptr, -3, {{4, 0x421, 1}, {4, 0x422, 1}}},
  };
  for (const auto& [request, blk, cb, rc, expected] : cases) {
    platform::trace_points_clear();
    EXPECT_EQ(submit(request, *blk, cb), rc);
    Points here;
    for (const auto& p : platform::trace_points()) {
      if (pthread_equal(p.thread, pthread_self()) != 0) {
        here.emplace_back(p.category, p.code, p.flag);
      }
    }
    EXPECT_EQ(here, expected);
  }
}

// Driver commands and reports leave their trace points on the thread that makes them: the
// dispatcher brackets the band command, the worker its wait and the report to the callback.
TEST_F(E2e, DispatcherAndWorkerTracePoints) {
  using Points = std::vector<std::tuple<int, int, int>>;
  page = start_page(1);
  platform::trace_points_clear();
  ASSERT_EQ(band_async(page, 7), 0);
  const pthread_t worker = wait_reports(1)[0].second;
  std::map<int, Points> by_thread;  // 0 this test, 1 the dispatcher, 2 the worker
  for (const auto& p : platform::trace_points()) {
    const int who = pthread_equal(p.thread, pthread_self()) != 0 ? 0
                    : pthread_equal(p.thread, worker) != 0       ? 2
                                                                 : 1;
    by_thread[who].emplace_back(p.category, p.code, p.flag);
  }
  EXPECT_EQ(by_thread[1], (Points{{4, 0x424, 1}, {4, 0x428, 1}}));
  EXPECT_EQ(by_thread[2], (Points{{32, 4, 1}, {32, 8, 1}, {64, 0x602, 1}}));
}

// A page of six bands ends by count: bands 1 and 2 synchronous, 3 and 4 with a callback that
// submits band k + 2, keeping two bands on the engine. The record of band k carries the
// engine's report (per the simulator) and the page's count, on the worker that took it.
TEST_F(E2e, BandPageSynchronouslyAndWithCallbacks) {
  constexpr uint32_t kBands = 6;
  page = new_block(kBands);
  page.dst[2] = {0x6200, 1, 2};
  ASSERT_TRUE(Quorl_cnv_pvgen_prepare(&page) == 0 &&
              Quorl_cnv_pvgen_page_start(&page, nullptr) == 0);
  std::vector<int> hook_rc;  // written only by the worker, read after its last record
  recorder.hook = [&](const Info& info) {
    Blk b = band_of(page, info.band_count + 2);
    if (b.band_param0 <= kBands) {
      hook_rc.push_back(Quorl_cnv_pvgen_band_exe(&b, record_cb));
    }
  };
  pvgen_sim_gate_close();
  pvgen_sim_gate_release(2);  // the synchronous bands' reports
  for (uint32_t k = 1; k <= 4; ++k) {
    Blk b = band_of(page, k);
    b.result = 12345;
    // Only result comes back, and not at all for an accepted band with a callback.
    EXPECT_EQ(after(Quorl_cnv_pvgen_band_exe(&b, k <= 2 ? nullptr : record_cb), b.result),
              make_pair(0, k <= 2 ? 0 : 12345));
    EXPECT_EQ(b.src[0].word1, 100 * k);
  }
  for (uint32_t k = 3; k <= kBands; ++k) {
    ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, std::min(k + 1, kBands), kWaitMs), 0);
    EXPECT_EQ(sim_requests(PVGEN_SIM_BAND), std::min(k + 1, kBands));
    pvgen_sim_gate_release(1);
    const auto [r, thread] = wait_reports(k - 2)[k - 3];
    const Blk b = band_of(page, k);
    EXPECT_EQ(make_tuple(r.job_id, r.page_id, r.band_count, r.band_num, r.result),
              make_tuple(b.job_id, page.page_id, static_cast<int32_t>(k), 1, 0));
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(make_tuple(r.src[i].id, r.src[i].word1, r.src[i].word2, r.dst[i].id, r.dst[i].word1,
                           r.dst[i].word2, r.plane_result[i]),
                make_tuple(b.src[i].id, b.src[i].word1 + 1, k, page.dst[i].id,
                           page.dst[i].word1 + k, k, i == 0 ? (b.job_id << 16) | k : 0));
    }
    pvgen_sim_answer a;
    ASSERT_EQ(pvgen_sim_answer_get(k - 1, &a), 0);
    EXPECT_TRUE(pthread_equal(a.thread, thread) && !pthread_equal(pthread_self(), thread));
  }
  expect_channel_free();
  EXPECT_EQ(hook_rc, std::vector<int>(2, 0));
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&page, nullptr), -3);  // the page is gone
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 0u);
}

// While the channel is prepared or running a prepare is refused with -4, or with
// wait_for_channel waits for the page to end or be stopped. Such stops need no driver command.
TEST_F(E2e, BusyChannelRefusesOrHoldsAPrepare) {
  Blk first = new_block(), second = new_block(), third = new_block();
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&first), 0);
  EXPECT_EQ(after(Quorl_cnv_pvgen_prepare(&second), second.result), make_pair(-4, -4));
  ASSERT_EQ(Quorl_cnv_pvgen_page_start(&first, nullptr), 0);
  pvgen_sim_gate_close();
  ASSERT_EQ(band_async(first, 1), 0);
  ASSERT_EQ(pvgen_sim_wait_blocked(1, kWaitMs), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&second), -4);
  EXPECT_EQ(Capture::lines(), Lines{});
  second.wait_for_channel = third.wait_for_channel = 1;
  auto waiting = async_call([&second] { return Quorl_cnv_pvgen_prepare(&second); });
  ASSERT_TRUE(list_reaches(2));  // the band and the waiting prepare
  EXPECT_FALSE(ready(waiting));
  pvgen_sim_gate_open();  // the band ends its page
  EXPECT_EQ(result_of(waiting), 0);
  waiting = async_call([&third] { return Quorl_cnv_pvgen_prepare(&third); });
  ASSERT_TRUE(list_reaches(1));
  EXPECT_FALSE(ready(waiting));
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&first), 0);  // a page that ended
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&second), 0);
  EXPECT_EQ(result_of(waiting), 0);
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 0u);
}

// Waiting bands go to the engine by priority, then arrival. A stop answered 2 is done.
TEST_F(E2e, WaitingRequestsAreServedByPriorityThenArrival) {
  page = start_page(10);
  pvgen_sim_gate_close();
  ASSERT_TRUE(band_async(page, 1, 5) == 0 && band_async(page, 2, 5) == 0);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);  // the channel is full
  for (const auto& [priority, job] : std::vector<std::pair<uint32_t, uint32_t>>{
           {3, 3}, {1, 4}, {4, 5}, {0, 6}, {2, 7}, {1, 8}, {0, 9}}) {
    ASSERT_EQ(band_async(page, job, priority), 0);
  }
  pvgen_sim_gate_open();
  std::vector<uint32_t> reported;  // the engine reports in command order
  for (const auto& r : wait_reports(9)) {
    reported.push_back(r.first.job_id);
  }
  EXPECT_EQ(reported, (std::vector<uint32_t>{1, 2, 6, 9, 4, 8, 7, 3, 5}));
  fault("stop:result=2");
  EXPECT_EQ(after(Quorl_cnv_pvgen_stop(&page), page.result), make_pair(0, 0));
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 1u);
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), -3);  // the page is gone
  expect_channel_free();
}

// Threads run whole pages, with callbacks to the count or synchronously with an early stop.
TEST_F(E2e, ConcurrentPagesAccountForEveryBand) {
  constexpr int kThreads = 4, kPages = 4, kEach = kThreads * kPages / 2;
  constexpr uint32_t kBands = 6;
  std::atomic<int> failures{0};
  std::vector<std::future<void>> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(std::async(std::launch::async, [&failures, t] {
      for (int p = 0; p < kPages; ++p) {
        const bool callback = (p + t) % 2 == 1;
        Blk blk = new_block(callback ? kBands : kBands + 5);
        blk.wait_for_channel = 1;  // behind the callback page still running
        failures += Quorl_cnv_pvgen_prepare(&blk) != 0 || Quorl_cnv_pvgen_page_start(&blk, nullptr);
        for (blk.job_id = 1; blk.job_id <= kBands; ++blk.job_id) {
          failures += Quorl_cnv_pvgen_band_exe(&blk, callback ? record_cb : nullptr) != 0;
        }
        failures += !callback && Quorl_cnv_pvgen_stop(&blk) != 0;
      }
    }));
  }
  threads.clear();  // joins them
  EXPECT_EQ(failures.load(), 0);
  std::map<int32_t, std::vector<int32_t>> counts;
  for (const auto& [r, thread] : wait_reports(kEach * kBands)) {
    EXPECT_EQ(r.result, 0);
    counts[r.page_id].push_back(r.band_count);
  }
  EXPECT_EQ(counts.size(), static_cast<size_t>(kEach));
  for (const auto& [id, c] : counts) {
    EXPECT_EQ(c, (std::vector<int32_t>{1, 2, 3, 4, 5, 6})) << "page " << id;
  }
  EXPECT_TRUE(eventually([] { return registry()->req_list_size() == 0; }));
  EXPECT_EQ(registry()->obs_wrapper_count(), 0u);
}

// Two stops at once run one after the other. The stop goes to the engine only after both
// bands on it were reported; the page's other requests are cancelled without a record.
TEST_F(E2e, StopsWaitForTheEngineAndCancelTheRest) {
  ASSERT_NO_FATAL_FAILURE(load());
  auto first = async_call([p = page]() mutable { return Quorl_cnv_pvgen_stop(&p); });
  auto second = async_call([p = page]() mutable { return Quorl_cnv_pvgen_stop(&p); });
  ASSERT_TRUE(list_reaches(6));  // one stop's entry; the other waits its turn
  EXPECT_FALSE(ready(first) || ready(second) || sim_requests(PVGEN_SIM_STOP) != 0);
  pvgen_sim_gate_open();
  EXPECT_EQ(make_pair(result_of(first), result_of(second)), make_pair(0, 0));
  expect_cancelled();
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 1u);
  EXPECT_EQ(wait_reports(0).size(), 0u);
  expect_channel_free();
}

// A stop the engine refuses still ends the cancelled requests, but the page keeps the
// channel and takes bands, counted afresh, until a later stop succeeds.
TEST_F(E2e, RefusedStopEndsTheCancelledRequestsButKeepsThePage) {
  ASSERT_NO_FATAL_FAILURE(load());
  fault("stop#1:result=5");
  auto stopping = async_call([this] { return Quorl_cnv_pvgen_stop(&page); });
  ASSERT_TRUE(list_reaches(6));
  pvgen_sim_gate_open();
  EXPECT_EQ(after(result_of(stopping), page.result), make_pair(-5, -5));
  expect_cancelled();
  EXPECT_EQ(prepare_new(), -4);
  ASSERT_EQ(band_async(page, 6), 0);
  const Reports got = wait_reports(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(make_tuple(got[0].first.job_id, got[0].first.band_count, got[0].first.result),
            make_tuple(6u, 1, 0));
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&page), 0);
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 2u);
  expect_channel_free();
}

// A band whose driver call fails leaves the channel in error for good, keeping its page. The
// page's bands that had not reached the engine can never start and end with -3 (a callback
// band through the worker, after the jobs before it); a stop sends the channel nothing and
// returns once the jobs the channel holds are reported, cancelling them. A prepare that
// would wait for this channel for ever ends with -4.
TEST_F(E2e, APageHeldByAFailedChannelEndsItsBandsAndStops) {
  page = start_page(10);
  pvgen_sim_gate_close();
  flying = sync_band(page, 1, 701);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 1, kWaitMs), 0);
  fault("band#1:errno=EIO");
  ASSERT_EQ(band_async(page, 2), 0);
  ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);
  queued = sync_band(page, 3, 703);
  EXPECT_EQ(result_of(queued), -3);
  ASSERT_EQ(band_async(page, 4), 0);
  // Bands 1 and 2 on the engine, 4 ended behind them (its line is traced when it ends).
  ASSERT_TRUE(eventually([] { return Capture::lines().size() == 3; }));
  ASSERT_TRUE(list_reaches(3));
  auto stopping = async_call([this] { return Quorl_cnv_pvgen_stop(&page); });
  ASSERT_TRUE(eventually([] { return marked_entries() == 3; }));
  pvgen_sim_gate_open();
  EXPECT_EQ(make_pair(result_of(stopping), result_of(flying)), make_pair(0, 0));
  EXPECT_EQ(wait_reports(0).size(), 0u);  // the stop came first: nothing is reported
  EXPECT_EQ(registry()->req_list_size() + registry()->obs_wrapper_count(), 0u);
  EXPECT_EQ(sim_requests(PVGEN_SIM_STOP), 0u);
  const Lines lines = Capture::lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "quorl_cnv_pvgen_channel::band_exe(0/0/0) ioctl error. result = 0\n");
  char ended[96];
  std::snprintf(ended, sizeof ended,
                "quorl_cnv_pvgen_control::process(2/1) page_id error. page_id=0x%x has no channel.",
                static_cast<unsigned>(page.page_id));
  EXPECT_EQ(lines[1].rfind(ended, 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind(ended, 0), 0u) << lines[2];
  EXPECT_EQ(prepare_new(), -4);
  Blk waiting = new_block();
  waiting.wait_for_channel = 1;
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&waiting), -4);
}

// A refused page start leaves the page prepared; a failing one leaves the channel in error.
TEST_F(E2e, RefusedThenFailingPageStart) {
  page = new_block();
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&page), 0);
  fault("start#1:result=5");
  EXPECT_EQ(after(Quorl_cnv_pvgen_page_start(&page, nullptr), page.result), make_pair(-5, -5));
  EXPECT_TRUE(platform::notifications().empty());  // a refusal is not traced
  fault("start#1:errno=EIO");
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&page, nullptr), -5);
  expect_channel_trace("page_start", "ioctl error. result = 0", 7);
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&page, nullptr), -3);  // the page is not prepared
  EXPECT_EQ(prepare_new(), -4);
}

// Completion states reach caller and record; a band refused or reported as two fails with -5
// and ends its page; a failing wait also leaves the channel in error for good.
TEST_F(E2e, CompletionStatesAndDriverFailures) {
  page = start_page(5);
  fault("wait#1:result=1");
  EXPECT_EQ(after(Quorl_cnv_pvgen_band_exe(&page, nullptr), page.result), make_pair(1, 1));
  fault("wait#1:result=2");
  ASSERT_EQ(band_async(page, 2), 0);
  const Info r2 = wait_reports(1)[0].first;
  EXPECT_EQ(make_pair(r2.result, r2.band_count), make_pair(2, 2));
  fault("wait#1x2:again");
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&page, nullptr), 0);
  fault("band#1:result=5");
  ASSERT_EQ(band_async(page, 4), 0);
  const Info r = wait_reports(2)[1].first;
  EXPECT_EQ(make_tuple(r.job_id, r.result, r.band_count, r.band_num), make_tuple(4u, -5, 4, 1));
  EXPECT_EQ(Capture::lines(), Lines{});
  expect_channel_free();
  page = start_page(5);
  fault("wait#1:band_num=2");
  ASSERT_EQ(band_async(page, 7), 0);
  const Info r3 = wait_reports(3)[2].first;
  EXPECT_EQ(make_tuple(r3.result, r3.band_num, r3.band_count), make_tuple(-5, 1, 1));
  expect_channel_trace("wait", "band_num overflow. = 2", 10);
  expect_channel_free();
  page = start_page(5);
  fault("wait#1:errno=EIO,result=7");
  platform::capture_begin();
  EXPECT_EQ(after(Quorl_cnv_pvgen_band_exe(&page, nullptr), page.result), make_pair(-5, -5));
  expect_channel_trace("wait", "ioctl error. result = 7", 10);
  ASSERT_TRUE(eventually([] {  // the channel lets go of the page but stays in error
    return norvane::quorl_cnv_pvgen_control::instance()->channels().front()->get_page_id() == 0;
  }));
  EXPECT_EQ(prepare_new(), -4);
}

// A device that cannot be opened leaves a channel in error bound to the first page.
TEST_F(E2e, DeviceThatCannotBeOpened) {
  fault("open#1:errno=EACCES");
  page = new_block();
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&page), 0);
  expect_channel_trace("quorl_cnv_pvgen_channel", "driver open error.", 5);
  platform::capture_begin();
  EXPECT_EQ(after(Quorl_cnv_pvgen_page_start(&page, nullptr), page.result), make_pair(-3, -3));
  EXPECT_EQ(prepare_new(), -4);
  page = new_block();
  page.wait_for_channel = 1;  // the only channel has failed for good: no waiting for ever
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&page), -4);
  EXPECT_EQ(pvgen_sim_command_count(), 0u);
}

// pvgen-run's exit status and output. An emulated program cannot start another target
// program, so the emulator preloads the simulator; natively pvgen-run finds it itself.
std::pair<int, Lines> run(const std::string& args, const std::string& env = "") {
#ifdef PVGEN_RUN_EMULATOR
  std::string command = std::string(PVGEN_RUN_EMULATOR) + " -E LD_PRELOAD=" + PVGEN_SIM_LIB_PATH +
                        " -E PVGEN_RUN_SIMULATED=1" + (env.empty() ? "" : " -E " + env);
#else
  std::string command = "env -u LD_PRELOAD -u PVGEN_RUN_SIMULATED " + env;
#endif
  Lines lines;
  FILE* pipe = popen((command + " " + PVGEN_RUN_PATH + " " + args).c_str(), "r");
  char buf[512];
  while (pipe != nullptr && std::fgets(buf, sizeof buf, pipe) != nullptr) {
    lines.emplace_back(buf, std::strcspn(buf, "\n"));
  }
  const int raw = pipe != nullptr ? pclose(pipe) : -1;
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, lines};
}

TEST(E2eRun, SummaryAndExitStatus) {
  auto [status, out] =
      run("--pages 3 --bands 6 --mode sync --threads 2 --stop-after 2 --band-time 20us --quiet");
  EXPECT_EQ(status, 0);
  out.resize(3);
  EXPECT_EQ(out,
            (Lines{"pages: 3 (failed 0)", "bands: 6 (cancelled 12, not run 0)", "outcome 0: 6"}));
  std::tie(status, out) = run("--pages 2 --bands 5 --mode callback --quiet 2>/dev/null",
                              "PVGEN_SIM_FAULTS=band#3:result=5");
  EXPECT_EQ(status, 1);
  EXPECT_NE(std::find(out.begin(), out.end(), "outcome -5: 1"), out.end());
}

}  // namespace
