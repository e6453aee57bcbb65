// Helpers for the end-to-end tests: they drive the library through its five C functions
// against the simulated engine and observe it through the simulator's logs, the platform's
// capture and the callbacks. The library's own objects are read only to learn when a
// request has reached the request list or the channel has become free.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pvgen_sim.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_channel.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"
#include "support/pvgen_test_util.h"

namespace e2e {

using pvgen_test::Capture;
using pvgen_test::make_block;

// Upper bound for every wait on something that must happen; reaching it fails the test
// instead of hanging it.
constexpr uint32_t kWaitMs = 30000;
constexpr auto kWait = std::chrono::milliseconds(kWaitMs);

// ---------------------------------------------------------------- callbacks

struct Report {
  QUORL_CNV_PVGEN_RESULT_INFO info;
  pthread_t thread;
  std::string thread_name;
};

// Every record delivered to record_cb, in delivery order. `hook` (set before the first band
// and left alone afterwards) runs on the delivering thread after the record was kept.
class Reports {
 public:
  // Never destroyed: the worker may still be inside add() when the test's process exits.
  static Reports& get() {
    static Reports* reports = new Reports;
    return *reports;
  }
  void add(const QUORL_CNV_PVGEN_RESULT_INFO& info) {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      all_.push_back({info, pthread_self(), name});
    }
    changed_.notify_all();
    if (hook) {
      hook(info);
    }
  }
  // True once `n` records of page `page_id` (0: of any page) have arrived.
  bool wait_count(size_t n, int32_t page_id = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return count_locked(page_id) >= n; });
  }
  size_t count(int32_t page_id = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_locked(page_id);
  }
  std::vector<Report> all() {
    std::lock_guard<std::mutex> lock(mutex_);
    return all_;
  }
  std::function<void(const QUORL_CNV_PVGEN_RESULT_INFO&)> hook;

 private:
  size_t count_locked(int32_t page_id) const {
    size_t n = 0;
    for (const Report& r : all_) {
      n += (page_id == 0 || r.info.page_id == page_id) ? 1 : 0;
    }
    return n;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Report> all_;
};

inline void record_cb(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  Reports::get().add(*info);
}

// ---------------------------------------------------------------- library state

inline norvane::quorl_cnv_pvgen_commonmethod* registry() {
  return norvane::quorl_cnv_pvgen_commonmethod::instance();
}
inline size_t list_size() {
  return registry()->req_list_size();
}
inline norvane::quorl_cnv_pvgen_channel* the_channel() {
  auto channels = norvane::quorl_cnv_pvgen_control::instance()->channels();
  return channels.empty() ? nullptr : channels.front();
}

// Waits for a condition that other threads bring about (a request reaching the list, a
// page ending on the worker), re-testing it until it holds; false if it never does.
inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::yield();
  }
  return true;
}
inline bool list_reaches(size_t n) {
  return eventually([n] { return list_size() == n; });
}
// Entries of `page` that a stop has marked as cancelled.
inline size_t stop_marked(int32_t page) {
  size_t n = 0;
  registry()->req_list_lock();
  while (const QUORL_CNV_PVGEN_LIST_BLK* e = registry()->req_list_for_each()) {
    n += (e->page_id == page && e->list_stat == QUORL_LIST_STOP) ? 1 : 0;
  }
  registry()->req_list_unlock();
  return n;
}

// The channel has let go of its page and is free for a new prepare.
inline bool channel_free() {
  return eventually([] {
    auto* ch = the_channel();
    return ch != nullptr && ch->get_ch_status() == 0 && ch->get_page_id() == 0 &&
           ch->get_proc_num() == 0;
  });
}

// ---------------------------------------------------------------- requests

// A new page identifier in a valid block, prepared and started. Returns the page id.
inline int32_t start_page(QUORL_CNV_PVGEN_BLK& blk, uint32_t band_total, uint32_t job_id = 0x100) {
  const int32_t page = Quorl_cnv_pvgen_get_page_id();
  blk = make_block(page, job_id, band_total);
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&blk, nullptr), 0);
  return page;
}

// A blocking call made on a thread of its own.
inline std::future<int> async_call(std::function<int()> call) {
  return std::async(std::launch::async, std::move(call));
}
inline bool ready(std::future<int>& f) {
  return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}
inline int result_of(std::future<int>& f) {
  EXPECT_EQ(f.wait_for(kWait), std::future_status::ready);
  return f.get();
}

// A synchronous band whose block carries `preset` in result, on a thread of its own.
inline std::future<int> async_sync_band(const QUORL_CNV_PVGEN_BLK& page_blk, uint32_t job_id,
                                        int32_t preset, int32_t* result_out) {
  return async_call([page_blk, job_id, preset, result_out] {
    QUORL_CNV_PVGEN_BLK blk = page_blk;
    blk.job_id = job_id;
    blk.result = preset;
    const int rc = Quorl_cnv_pvgen_band_exe(&blk, nullptr);
    *result_out = blk.result;
    return rc;
  });
}

inline int band_async(const QUORL_CNV_PVGEN_BLK& page_blk, uint32_t job_id, uint32_t priority = 0) {
  QUORL_CNV_PVGEN_BLK blk = page_blk;
  blk.job_id = job_id;
  blk.priority = priority;
  return Quorl_cnv_pvgen_band_exe(&blk, record_cb);
}

// ---------------------------------------------------------------- simulator

inline pvgen_sim_stats sim_stats() {
  pvgen_sim_stats s;
  pvgen_sim_get_stats(&s);
  return s;
}
inline std::vector<pvgen_sim_command> sim_commands() {
  std::vector<pvgen_sim_command> out(pvgen_sim_command_count());
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(pvgen_sim_command_get(i, &out[i]), 0);
  }
  return out;
}
inline std::vector<uint32_t> band_job_ids() {
  std::vector<uint32_t> out;
  for (const auto& c : sim_commands()) {
    if (c.code == PVGEN_SIM_IOC_BAND_EXE) {
      out.push_back(c.blk.job_id);
    }
  }
  return out;
}
inline uint64_t sim_requests(int kind) {
  return sim_stats().requests[kind];
}
inline void add_fault(const char* script) {
  ASSERT_GT(pvgen_sim_fault_script(script), 0) << script;
}

// ---------------------------------------------------------------- trace

// The trace lines of the capture, then one notification as given.
inline void expect_trace(const std::vector<std::string>& lines, int notify_code, const char* file,
                         const char* function) {
  EXPECT_EQ(Capture::lines(), lines);
  const auto notes = platform::notifications();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].kind, 0xF23C);
  EXPECT_EQ(notes[0].code, notify_code);
  EXPECT_EQ(notes[0].file, file);
  EXPECT_EQ(notes[0].function, function);
}
inline void expect_refusal(const std::vector<std::string>& lines) {
  expect_trace(lines, 3, "quorl_cnv_pvgen_control.cpp", "param_check");
}
inline std::string param_line(const std::string& text) {
  return "quorl_cnv_pvgen_control::param_check" + text + "\n";
}

}  // namespace e2e
