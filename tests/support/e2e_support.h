// Helpers of the end-to-end suites: the library's five C functions against the simulated
// engine, with a recorder of callback records, waits bounded in time, and a fixture that
// starts every test on a reset engine with the trace captured.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "pvgen_sim.h"
#include "pvgen_test_util.h"
#include "quorl_cnv_pvgen_channel.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"

namespace e2e {

using Blk = QUORL_CNV_PVGEN_BLK;
using Info = QUORL_CNV_PVGEN_RESULT_INFO;
using Lines = std::vector<std::string>;
using Reports = std::vector<std::pair<Info, pthread_t>>;
using std::make_pair, std::make_tuple, pvgen_test::Capture;
constexpr uint32_t kWaitMs = 30000;  // bound of every wait for what must happen

// Re-tests a condition that other threads bring about; false if it never holds.
inline bool eventually(const std::function<bool()>& holds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!holds() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  return holds();
}

// Records delivered to record_cb with the delivering thread; `hook`, set before the first
// band, runs after each. Never destroyed: a worker may be in record_cb when the process exits.
struct Recorder {
  std::mutex mutex;
  Reports all;
  std::function<void(const Info&)> hook;
};
inline Recorder& recorder = *new Recorder;
inline void record_cb(Info* info) {
  {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.all.emplace_back(*info, pthread_self());
  }
  if (recorder.hook) {
    recorder.hook(*info);
  }
}
inline Reports wait_reports(size_t n) {
  Reports all;
  EXPECT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    all = recorder.all;
    return all.size() >= n;
  }));
  return all;
}

inline norvane::quorl_cnv_pvgen_commonmethod* registry() {
  return norvane::quorl_cnv_pvgen_commonmethod::instance();
}
// Entries a stop has marked (list_stat 3), counted under the list lock.
inline size_t marked_entries() {
  size_t n = 0;
  registry()->req_list_lock();
  while (const QUORL_CNV_PVGEN_LIST_BLK* entry = registry()->req_list_for_each()) {
    n += entry->list_stat == 3 ? 1 : 0;
  }
  registry()->req_list_unlock();
  return n;
}
inline bool list_reaches(size_t n) {
  return eventually([n] { return registry()->req_list_size() == n; });
}

inline Blk new_block(uint32_t bands = 1) {
  return pvgen_test::make_block(Quorl_cnv_pvgen_get_page_id(), 0x100, bands);
}
inline int prepare_new() {
  Blk blk = new_block();
  return Quorl_cnv_pvgen_prepare(&blk);
}
inline Blk start_page(uint32_t bands) {
  Blk blk = new_block(bands);
  EXPECT_TRUE(Quorl_cnv_pvgen_prepare(&blk) == 0 && Quorl_cnv_pvgen_page_start(&blk, nullptr) == 0);
  return blk;
}
// The channel lets go of its page: a prepare for a new page is then served.
inline void expect_channel_free() {
  EXPECT_TRUE(eventually([] {
    Blk next = new_block();
    return Quorl_cnv_pvgen_prepare(&next) == 0 && Quorl_cnv_pvgen_stop(&next) == 0;
  }));
}
// Submits as request 0 (prepare), 1 (page start), 2 (band) or 4 (stop).
inline int submit(int request, Blk& b, QUORL_CNV_PVGEN_CALLBACK cb) {
  return request == 0   ? Quorl_cnv_pvgen_prepare(&b)
         : request == 1 ? Quorl_cnv_pvgen_page_start(&b, cb)
         : request == 2 ? Quorl_cnv_pvgen_band_exe(&b, cb)
                        : Quorl_cnv_pvgen_stop(&b);
}
inline Blk band_of(Blk b, uint32_t k) {
  b.job_id = 0x10 + k, b.band_param0 = k, b.src[0] = {0x5000 + k, 100 * k, 0};
  b.src[1] = {0x5100, 7, 9};
  return b;
}
inline int band_async(Blk b, uint32_t job, uint32_t priority = 0) {
  b.job_id = job, b.priority = priority;
  return Quorl_cnv_pvgen_band_exe(&b, record_cb);
}
// A call's outcome with a value read after the call, such as the block's result word.
template <typename T>
std::pair<int, T> after(int rc, const T& value) {
  return {rc, value};
}

inline std::future<int> async_call(std::function<int()> call) {
  return std::async(std::launch::async, std::move(call));
}
inline bool ready(std::future<int>& f) {
  return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}
inline int result_of(std::future<int>& f) {
  EXPECT_EQ(f.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
  return f.get();
}
// A synchronous band whose block carries `preset` in result, on a thread of its own.
inline std::future<int> sync_band(Blk b, uint32_t job, int32_t preset) {
  b.job_id = job, b.result = preset;
  return async_call([b]() mutable { return Quorl_cnv_pvgen_band_exe(&b, nullptr); });
}

inline uint64_t sim_requests(int kind) {
  pvgen_sim_stats s;
  pvgen_sim_get_stats(&s);
  return s.requests[kind];
}
inline void fault(const char* script) {
  ASSERT_GT(pvgen_sim_fault_script(script), 0) << script;
}

// The captured trace lines, then exactly one notification as given.
inline void expect_trace(const Lines& lines, int code, const std::string& file,
                         const std::string& fn) {
  EXPECT_EQ(Capture::lines(), lines);
  const auto notes = platform::notifications();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(std::tie(notes[0].kind, notes[0].code, notes[0].file, notes[0].function),
            make_tuple(0xF23C, code, file, fn));
}
inline void expect_channel_trace(const std::string& fn, const std::string& text, int code) {
  expect_trace({"quorl_cnv_pvgen_channel::" + fn + "(0/0/0) " + text + "\n"}, code,
               "quorl_cnv_pvgen_channel.cpp", fn);
}
// Every test starts on a reset engine with the trace captured.
class E2e : public ::testing::Test {
 protected:
  E2e() { pvgen_sim_reset(); }
  // A page of 10 bands: on the engine a synchronous band and one with a callback; queued two
  // with a callback and a synchronous one carrying 702 in result.
  void load() {
    page = start_page(10);
    pvgen_sim_gate_close();
    flying = sync_band(page, 1, 701);
    ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 1, kWaitMs), 0);
    ASSERT_EQ(band_async(page, 2), 0);
    ASSERT_EQ(pvgen_sim_wait_requests(PVGEN_SIM_BAND, 2, kWaitMs), 0);
    ASSERT_TRUE(band_async(page, 3) == 0 && band_async(page, 4) == 0);
    queued = sync_band(page, 5, 702);
    ASSERT_TRUE(list_reaches(5));
  }
  // After a stop, the synchronous submitters return what their entries held; nothing is left.
  void expect_cancelled() {
    EXPECT_EQ(make_pair(result_of(flying), result_of(queued)), make_pair(0, 702));
    EXPECT_EQ(registry()->req_list_size() + registry()->obs_wrapper_count(), 0u);
  }
  Capture capture;
  Blk page;
  std::future<int> flying, queued;
};

}  // namespace e2e
