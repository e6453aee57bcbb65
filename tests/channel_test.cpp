// The hardware channel against the simulated engine, with the test thread as dispatcher
// (commands under the list lock). Band pages as callers see them are the end-to-end suites'.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "norvane/framework.h"
#include "platform_capture.h"
#include "pvgen_sim.h"
#include "quorl_cnv_pvgen_channel.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_observer.h"
#include "support/pvgen_test_util.h"
#include "support/thread_probe.h"

namespace {

using Channel = norvane::quorl_cnv_pvgen_channel;
using Registry = norvane::quorl_cnv_pvgen_commonmethod;
using Blk = QUORL_CNV_PVGEN_BLK;
using Info = QUORL_CNV_PVGEN_RESULT_INFO;
using Cmd = pvgen_sim_cmd_blk;
using Lines = std::vector<std::string>;
using State = std::tuple<int, unsigned long, int>;  // ch_status, page_id, plane

// Stands in for the control (counts the worker's wake-ups of the dispatcher, one per job)
// and records what the observer receives.
class Recorder : public norvane::quorl_signal, public norvane::quorl_cnv_pvgen_observer {
 public:
  std::function<void(const Info&)> hook;  // runs first, on the notifying thread
  void ctrl_signal() override { note(nullptr); }
  void ctrl_wait() override {}
  void notify_result(Info& info) override {
    if (hook) {
      hook(info);
    }
    note(&info);
  }
  // Until `jobs` jobs are done and `reports` records received; false if that never happens.
  bool wait(size_t jobs, size_t reports) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::minutes(1),
                             [&] { return jobs_ >= jobs && reports_.size() >= reports; });
  }
  std::vector<Info> reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }

 private:
  void note(const Info* info) {
    std::lock_guard lock(mutex_);
    info != nullptr ? reports_.push_back(*info) : void(++jobs_);
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t jobs_ = 0;
  std::vector<Info> reports_;
};
// Never destroyed: a worker still alive when the process exits may use it.
Recorder& rec = *new Recorder;

template <typename T, typename F>
T edit(T value, F&& change) {
  change(value);
  return value;
}

// Every 32-bit word holds a value of its own, so that a word sent where it does not belong,
// or not sent where it does, shows in the command bytes.
Blk full_block(int32_t page_id, uint32_t mode, uint32_t job_id = 0x1234) {
  Blk b;
  for (uint32_t i = 0; i < sizeof b / 4; ++i) {
    const uint32_t word = 0x5A000100 + i;
    std::memcpy(reinterpret_cast<char*>(&b) + 4 * i, &word, 4);
  }
  b.job_id = job_id, b.page_id = page_id, b.mode = mode, b.type = 2, b.band_total = 1;
  return b;
}

template <typename T>
std::vector<uint32_t> words(const T& record) {
  std::vector<uint32_t> out(sizeof(T) / 4);
  std::memcpy(out.data(), &record, sizeof(T));
  return out;
}

// The words a page start sends in every mode, to channel 0/0/0.
Cmd page_start_words(const Blk& b) {
  Cmd c{};
  c.job_id = b.job_id, c.mode = b.mode, c.variant = b.variant, c.type = b.type;
  std::memcpy(c.dst, b.dst, sizeof c.dst);
  c.band_total = b.band_total, c.band_param1 = b.band_param1;
  std::memcpy(c.conv_table, b.conv_table, sizeof c.conv_table);
  return c;
}

// The record the worker hands on for the simulated engine's answer n, on `plane`.
Info reported(size_t n, int32_t page_id, int plane, int32_t count, int32_t num, int32_t result) {
  pvgen_sim_answer a;
  EXPECT_EQ(pvgen_sim_answer_get(n, &a), 0);
  Info r{};
  r.job_id = a.blk.job_id, r.page_id = page_id, r.band_count = count, r.band_num = num;
  std::memcpy(r.src, a.blk.src, sizeof r.src);
  std::memcpy(r.dst, a.blk.dst, sizeof r.dst);
  r.plane_result[plane] = a.blk.plane_result, r.result = result;
  return r;
}

State state(Channel* ch) {
  return {ch->get_ch_status(), ch->get_page_id(), ch->get_plane()};
}

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { pvgen_sim_reset(); }

  Channel* make(int module = 0, int channel = 0) {
    auto* ch = new Channel(&rec, 0, module, channel);
    reg = Registry::instance();
    return ch;
  }
  // As the dispatcher issues commands: with the list lock held.
  int dispatch(const std::function<int()>& f) {
    reg->req_list_lock();
    const int r = f();
    reg->req_list_unlock();
    return r;
  }
  bool listed(uint32_t req_no) {
    return reg->req_list_search(Registry::SEARCH_REQ_NO, req_no) != nullptr;
  }
  // Prepare for the block's page and start it.
  int start(Channel* ch, Blk& blk, int plane = 0, uint32_t req_no = 0) {
    return dispatch([&] {
      ch->prepare(static_cast<unsigned long>(blk.page_id));
      return ch->page_start(req_no, plane, blk);
    });
  }
  // A page-mode page, or a band on plane 0, listed as `req` with `rec` as observer.
  int page_mode(Channel* ch, Blk page, int plane) {
    auto* e = reg->req_list_insert(QUORL_CNV_PVGEN_REQ_PAGE_START, page, &rec);
    return start(ch, e->blk, plane, req = e->req_no);
  }
  int band(Channel* ch, Blk band) {
    return dispatch([&] {
      auto* e = reg->req_list_insert(QUORL_CNV_PVGEN_REQ_BAND_EXE, band, &rec);
      return ch->band_exe(req = e->req_no, 0, e->blk);
    });
  }
  int stop(Channel* ch) {
    Blk blk = full_block(0, 1);
    return dispatch([&] { return ch->stop(blk); });
  }

  pvgen_test::Capture capture;
  Registry* reg = nullptr;
  uint32_t req = 0;
};

// Each command in turn: the bytes the engine receives (it refuses every unit but 0/0/0), its
// outcome and the state it leaves.
TEST_F(ChannelTest, EachCommandSendsItsOwnWordsAndMovesTheState) {
  ASSERT_EQ(pvgen_sim_fault_script("stop#1:result=2"), 1);
  static Channel* const other = make(1, 2);  // keeps a job for good: never destroyed
  // Its worker must be asleep for want of a job before the job is queued: a worker that
  // starts late finds the job without any post, as it should, and takes it to the engine.
  const pid_t other_worker = pvgen_test::tid_named("quorl_pvgen_ch");
  ASSERT_NE(other_worker, 0);
  pvgen_test::settles(other_worker);
  auto* ch = make();
  Blk band_page = full_block(7, 1), one = full_block(7, 1, 0x77);
  Blk ring_page = full_block(8, 2), no_ring = full_block(9, 2);
  band_page.band_total = 3;
  no_ring.src_buf_num = 0;
  // Observers are called on the worker before their entry goes, with no lock held: another
  // thread takes every lock the worker might hold.
  std::atomic<int> unlisted{0};
  rec.hook = [&](const Info&) {
    unlisted += !listed(req);
    std::thread([&] { dispatch([&] { return ch->get_proc_num() + ch->get_ch_status(); }); }).join();
  };
  // Page mode: the ring words, and the ring element of the command's plane in element 0.
  const auto ring = [](const Blk& b, int plane) {
    return edit(page_start_words(b), [&](Cmd& c) {
      c.src_buf_num = b.src_buf_num, c.ring_param0 = b.ring_param0, c.ring_param1 = b.ring_param1;
      std::memcpy(&c.ring[0], &b.ring[plane], sizeof c.ring[0]);
    });
  };
  const struct {
    const char* what;
    Channel* ch;
    std::function<int()> run;
    int rc;
    uint32_t code;  // 0: no driver command
    Cmd sent;
    State after;
  } rows[] = {
      {"refused page-mode start", other, [&] { return page_mode(other, ring_page, 0); }, -5,
       PVGEN_SIM_IOC_PAGE_START,
       edit(ring(ring_page, 0), [](Cmd& c) { c.module = 1, c.channel = 2; }), State(1, 8, -1)},
      {"band page start", ch, [&] { return start(ch, band_page, 1); }, 0, PVGEN_SIM_IOC_PAGE_START,
       edit(page_start_words(band_page), [](Cmd& c) { c.ring_param1 = 1; }), State(2, 7, 1)},
      {"band", ch, [&] { return band(ch, one); }, 0, PVGEN_SIM_IOC_BAND_EXE,
       edit(Cmd{},
            [&](Cmd& c) {
              c.job_id = 0x77, c.mode = 1, c.type = 2, c.band_param0 = one.band_param0;
              std::memcpy(c.src, one.src, sizeof c.src), c.band_param1 = one.band_param1;
            }),
       State(2, 7, 1)},
      {"stop answered 2", ch, [&] { return rec.wait(1, 1), stop(ch); }, 0, PVGEN_SIM_IOC_STOP,
       Cmd{}, State(0, 0, -1)},
      {"stop of a prepared channel", ch,
       [&] { return dispatch([&] { return ch->prepare(5), 0; }), stop(ch); }, 0, 0, Cmd{},
       State(0, 0, -1)},
      {"page-mode start", ch, [&] { return pvgen_sim_gate_close(), page_mode(ch, ring_page, 2); },
       0, PVGEN_SIM_IOC_PAGE_START, ring(ring_page, 2), State(3, 8, 2)},
      {"page-mode start without a ring buffer", ch,
       [&] { return pvgen_sim_gate_release(1), rec.wait(2, 2), page_mode(ch, no_ring, 1); }, 0,
       PVGEN_SIM_IOC_PAGE_START, edit(ring(no_ring, 1), [](Cmd& c) { c.ring[0] = {}; }),
       State(3, 9, 1)},
  };
  size_t sent = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.run(), row.rc);
    ASSERT_EQ(pvgen_sim_command_count(), sent + (row.code != 0 ? 1 : 0));
    pvgen_sim_command got;
    if (row.code != 0 && pvgen_sim_command_get(sent++, &got) == 0) {
      EXPECT_EQ(got.code, row.code);
      EXPECT_EQ(words(got.blk), words(edit(row.sent, [&](Cmd& c) { c.result = got.blk.result; })));
      EXPECT_TRUE(pthread_equal(got.thread, pthread_self()));
    }
    EXPECT_EQ(state(row.ch), row.after);
  }
  EXPECT_EQ(other->get_proc_num(), 1);  // queued before the driver was asked
  other->ch_wait();                     // sees it, although nobody posted the work event
  EXPECT_EQ(ch->get_proc_num(), 1);     // a page-mode page is one job
  pvgen_sim_gate_release(1);
  ASSERT_TRUE(rec.wait(3, 3));
  EXPECT_EQ(state(ch), State(0, 0, -1));
  EXPECT_EQ(words(rec.reports()[0]), words(reported(0, 7, 0, 1, 1, 0)));
  EXPECT_EQ(unlisted, 0);
  EXPECT_EQ(reg->req_list_size(), 1u);   // the refused page-mode start's entry only
  EXPECT_TRUE(capture.lines().empty());  // refusals are neither traced nor notified
  rec.hook = nullptr;
  delete ch;
}

// A failing driver call is traced and notified; the channel stays in error for good and
// answers a stop with 0 without the driver. After a failed page start or stop it keeps its
// page; a failed band or wait is still reported, and ends the page.
TEST_F(ChannelTest, FailingDriverCallsLeaveTheChannelInErrorForGood) {
  Blk page = full_block(3, 1);
  page.band_total = 3;
  const auto then_stop = [&](Channel* ch) { return start(ch, page), stop(ch); };
  const auto then_band = [&](Channel* ch) { return start(ch, page), band(ch, page); };
  const struct {
    const char* fault;
    std::function<int(Channel*)> run;
    int rc;
    const char* line;
    int code;
    const char* function;
    State after;
  } rows[] = {
      {"open#1:errno=EACCES", [](Channel*) { return 0; }, 0,
       "quorl_cnv_pvgen_channel(0/0/0) driver open error.", 5, "quorl_cnv_pvgen_channel",
       State(-1, 0, -1)},
      {"start#1:errno=EIO", [&](Channel* ch) { return start(ch, page); }, -5,
       "page_start(0/0/0) ioctl error. result = 0", 7, "page_start", State(-1, 3, -1)},
      {"stop#1:errno=EIO", then_stop, -5, "stop(0/0/0) ioctl error. result = 0", 11, "stop",
       State(-1, 3, 0)},
      {"stop#1:errno=EIO,result=2", then_stop, 0, "stop(0/0/0) ioctl error. result = 2", 11, "stop",
       State(-1, 3, 0)},
      {"band#1:errno=EIO,result=9", then_band, -5, "band_exe(0/0/0) ioctl error. result = 9", 8,
       "band_exe", State(-1, 0, -1)},
      {"wait#1:errno=EIO,result=7", then_band, 0, "wait(0/0/0) ioctl error. result = 7", 10, "wait",
       State(-1, 0, -1)},
  };
  size_t reports = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    pvgen_sim_reset();
    platform::capture_begin();
    ASSERT_EQ(pvgen_sim_fault_script(row.fault), 1);
    auto* ch = make();
    EXPECT_EQ(row.run(ch), row.rc);
    if (row.code == 8 || row.code == 10) {
      ++reports;
      ASSERT_TRUE(rec.wait(reports, reports));
      const Info want = edit(reported(0, 3, 0, 1, 1, -5), [](Info& r) { r.job_id = 0x1234; });
      EXPECT_EQ(words(rec.reports().back()), words(want));
    }
    EXPECT_EQ(state(ch), row.after);
    EXPECT_EQ(capture.lines(), Lines{std::string("quorl_cnv_pvgen_channel::") + row.line + "\n"});
    EXPECT_EQ(capture.notify_codes(), std::vector<int>{row.code});
    EXPECT_EQ(platform::notifications().at(0).function, row.function);
    ch->set_ch_status(0);
    ch->set_ch_status(1);
    const size_t commands = pvgen_sim_command_count();
    EXPECT_EQ(stop(ch), 0);
    EXPECT_EQ(pvgen_sim_command_count(), commands);
    EXPECT_EQ(state(ch), row.after);
    ch->stop_wait();  // no waiting for the page a failed channel keeps
    delete ch;
    EXPECT_EQ(capture.notify_codes().back(), row.code == 5 ? 6 : row.code);  // close(-1) fails
  }
}

// A stopped page-mode page ends on the engine's final report (2), which no observer gets.
// The sum of reported bands ends a page only at equality; answers of 3 are asked again; an
// overlong report is traced, notified and fails only a completion of 0, ending the page.
TEST_F(ChannelTest, PageModeReports) {
  ASSERT_EQ(pvgen_sim_fault_script("wait#4:band_num=3,result=1; wait#5x3:again; wait#8:band_num=2"),
            4);
  auto* ch = make();
  pvgen_sim_gate_close();
  Blk page = full_block(12, 2, 0x4C);
  page.band_total = 5;
  ASSERT_EQ(page_mode(ch, page, 1), 0);
  pvgen_sim_gate_release(2);
  ASSERT_TRUE(rec.wait(0, 2));
  EXPECT_EQ(words(rec.reports()[0]), words(reported(0, 12, 1, 1, 1, 0)));
  EXPECT_EQ(words(rec.reports()[1]), words(reported(1, 12, 1, 2, 1, 0)));
  EXPECT_EQ(stop(ch), 0);
  EXPECT_EQ(state(ch), State(3, 12, 1));
  pvgen_sim_gate_open();
  ch->stop_wait();
  EXPECT_EQ(state(ch), State(0, 0, -1));
  ASSERT_TRUE(rec.wait(1, 2));
  EXPECT_FALSE(listed(req));

  page = full_block(13, 2, 0x4D);
  page.band_total = 2;
  ASSERT_EQ(page_mode(ch, page, 0), 0);
  ASSERT_TRUE(rec.wait(2, 4));
  const auto reports = rec.reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(words(reports[2]), words(reported(3, 13, 0, 3, 3, 1)));  // 3 passes 2
  EXPECT_EQ(words(reports[3]), words(reported(7, 13, 0, 5, 2, -5)));
  EXPECT_EQ(capture.lines(),
            (Lines{"quorl_cnv_pvgen_channel::wait(0/0/0) band_num overflow. = 3\n",
                   "quorl_cnv_pvgen_channel::wait(0/0/0) band_num overflow. = 2\n"}));
  EXPECT_EQ(capture.notify_codes(), (std::vector<int>{10, 10}));
  EXPECT_FALSE(listed(req));
  EXPECT_EQ(state(ch), State(0, 0, -1));
  delete ch;
}

TEST_F(ChannelTest, VanishedRequestEndsTheWorker) {
  auto* ch = make();
  Blk blk = full_block(0, 0);
  EXPECT_EQ(dispatch([&] { return ch->band_exe(4242, 0, blk); }), 0);  // no such entry
  ASSERT_EQ(norvane::Controller::instance()->join(*ch), 0);            // the worker returned
  EXPECT_EQ(std::make_pair(ch->get_ch_status(), ch->get_proc_num()), std::make_pair(-1, 1));
  EXPECT_EQ(capture.lines(), Lines{"quorl_cnv_pvgen_channel::process(0/0/0) req_list_search "
                                   "error. list_blk = NULL\n"});
  EXPECT_EQ(capture.notify_codes(), std::vector<int>{1});
  EXPECT_EQ(platform::notifications().at(0).function, "process");
  delete ch;
}

// The worker ends pages while this thread issues commands and another looks at the channel,
// both under the list lock (ThreadSanitizer reports lock-order inversions). No page still
// runs once its last job has left the queue: both happen in one hold of the lock.
TEST_F(ChannelTest, WorkerAndDispatcherKeepOneLockOrder) {
  auto* ch = make();
  rec.hook = [&](const Info&) { (void)ch->get_ch_status(); };
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread looker([&] {
    while (!done) {
      dispatch([&] {
        const int status = ch->get_ch_status();
        const QUORL_PAGE_INFO p = ch->page_info_snapshot();
        return torn += ch->get_proc_num() == 0 &&
                       (status == 3 || (status == 2 && p.band_done_num == p.band_total));
      });
    }
  });
  constexpr int kPages = 300;  // many page ends, each a chance for the looker
  constexpr int kBands = 2;
  size_t jobs = 0;
  for (int p = 1; p <= kPages; ++p) {
    Blk page = full_block(p, p % 3 == 0 ? 2 : 1);
    page.band_total = kBands;
    if (page.mode == 2) {
      ASSERT_EQ(page_mode(ch, page, 0), 0);
      ++jobs;
    } else {
      ASSERT_EQ(start(ch, page), 0);
      for (int b = 0; b < kBands; ++b, ++jobs) {
        band(ch, full_block(p, 1, static_cast<uint32_t>(p)));
        if (p % 3 == 1 && b == 0) {
          EXPECT_EQ(stop(ch), 0);  // unbinds the page; the rest runs without one
        }
      }
    }
    if (p % 3 != 1) {
      ch->stop_wait();  // until the worker ends the page
    }
    ASSERT_TRUE(rec.wait(jobs, 0));  // every job reported before the next page
  }
  done = true;
  looker.join();
  EXPECT_EQ(torn, 0);
  ASSERT_EQ(rec.reports().size(), static_cast<size_t>(kPages * kBands));
  for (const auto& r : rec.reports()) {
    EXPECT_EQ(r.result, 0);
  }
  EXPECT_EQ(reg->req_list_size(), 0u);
  EXPECT_EQ(state(ch), State(0, 0, -1));
  delete ch;
}

}  // namespace
