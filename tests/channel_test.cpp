// The hardware channel class driven directly, as the dispatcher drives it, against the
// simulated engine: the command blocks it sends, its states, its page-information record,
// what its worker reports for band pages and page-mode pages, failures of every driver
// request, and its lock order against a busy dispatcher.
//
// The test thread plays the dispatcher: it creates list entries with the registry and calls
// prepare, page_start, band_exe and stop while it holds the registry's list lock. Nothing
// sleeps: tests wait on the simulator, on the counting signal or on the recording observer.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <type_traits>
#include <vector>

#include "norvane/framework.h"
#include "platform_capture.h"
#include "pvgen_sim.h"
#include "quorl_cnv_pvgen_channel.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_observer.h"
#include "support/pvgen_test_util.h"

namespace {

using norvane::quorl_cnv_pvgen_channel;
using Registry = norvane::quorl_cnv_pvgen_commonmethod;
using Blk = QUORL_CNV_PVGEN_BLK;
using Entry = QUORL_CNV_PVGEN_LIST_BLK;
using Info = QUORL_CNV_PVGEN_RESULT_INFO;
using Lines = std::vector<std::string>;
using Codes = std::vector<int>;
using Points = std::vector<std::pair<unsigned short, int>>;
// ch_status, page_id and plane.
using State = std::tuple<int, unsigned long, int>;

constexpr int kBand = QUORL_CNV_PVGEN_REQ_BAND_EXE;
constexpr int kPageStart = QUORL_CNV_PVGEN_REQ_PAGE_START;

// Only a guard against hangs: no result depends on it.
constexpr uint32_t kGuardMs = 60000;
constexpr auto kGuard = std::chrono::milliseconds(kGuardMs);

// What other threads hand to a test, in order; the test waits for a number of items.
template <typename T>
class Collected {
 public:
  void add(T item) {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    changed_.notify_all();
  }
  bool wait_for(size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kGuard, [&] { return items_.size() >= n; });
  }
  std::vector<T> items() {
    std::lock_guard lock(mutex_);
    return items_;
  }
  size_t size() { return items().size(); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<T> items_;
};

// Stands in for the control: counts the worker's wake-ups of the dispatcher (one per job).
class CountingSignal : public norvane::quorl_signal, public Collected<int> {
 public:
  void ctrl_signal() override { add(0); }
  void ctrl_wait() override {}
};

// Never destroyed: a worker still alive when the process exits may use it.
CountingSignal& counting_signal() {
  static auto* const signal = new CountingSignal;
  return *signal;
}

// Channels left with a job for good are kept here instead of being destroyed.
void keep_alive(quorl_cnv_pvgen_channel* ch) {
  static auto* const kept = new std::vector<quorl_cnv_pvgen_channel*>;
  kept->push_back(ch);
}

struct Report {
  Info info;
  pthread_t thread;
};

class RecordingObserver : public norvane::quorl_cnv_pvgen_observer, public Collected<Report> {
 public:
  std::function<void(const Info&)> hook;  // runs first, on the notifying thread
  void notify_result(Info& info) override {
    if (hook) {
      hook(info);
    }
    add(Report{info, pthread_self()});
  }
};

// Every word holds a value of its own, so that a word sent where it does not belong, or
// not sent where it does, shows in the command bytes.
Blk full_block(int32_t page_id, uint32_t mode, uint32_t job_id = 0x1234) {
  Blk b{.job_id = job_id,
        .page_id = page_id,
        .asic = 7,
        .module = 3,
        .channel = 5,
        .priority = 2,
        .mode = mode,
        .variant = 9,
        .type = 2,
        .src = {{0x100, 0x110, 0x120}, {0x101, 0x111, 0x121}, {0x102, 0x112, 0x122}},
        .dst = {{0x200, 0x210, 0x220}, {0x201, 0x211, 0x221}, {0x202, 0x212, 0x222}},
        .band_total = 3,
        .src_buf_num = 1,
        .ring = {{0x300, 0x310, 0x320}, {0x301, 0x311, 0x321}, {0x302, 0x312, 0x322}},
        .ring_param0 = 0xA0,
        .ring_param1 = 0xA1,
        .band_param0 = 0xB0,
        .band_param1 = 0xB1,
        .wait_for_channel = 1,
        .conv_table = {},
        .plane_result = {0xC0, 0xC1, 0xC2},
        .result = 0x55};
  for (size_t i = 0; i < sizeof b.conv_table; ++i) {
    b.conv_table[i] = static_cast<uint8_t>(i * 7 + 3);
  }
  return b;
}

// A record as its 32-bit words: compared whole, printed word by word on a mismatch.
template <typename T>
std::vector<uint32_t> words(const T& record) {
  static_assert(sizeof(T) % 4 == 0);
  std::vector<uint32_t> out(sizeof(T) / 4);
  std::memcpy(out.data(), &record, sizeof(T));
  return out;
}

pvgen_sim_cmd_blk unit_only(uint32_t asic, uint32_t module, uint32_t channel) {
  pvgen_sim_cmd_blk c;
  std::memset(&c, 0, sizeof c);
  c.asic = asic;
  c.module = module;
  c.channel = channel;
  return c;
}

// The page-start words every mode sends, to channel 0/0/0.
pvgen_sim_cmd_blk page_start_words(const Blk& b) {
  pvgen_sim_cmd_blk c = unit_only(0, 0, 0);
  c.job_id = b.job_id;
  c.mode = b.mode;
  c.variant = b.variant;
  c.type = b.type;
  std::memcpy(c.dst, b.dst, sizeof c.dst);
  c.band_total = b.band_total;
  c.band_param1 = b.band_param1;
  std::memcpy(c.conv_table, b.conv_table, sizeof c.conv_table);
  return c;
}

std::vector<pvgen_sim_command> sim_commands() {
  std::vector<pvgen_sim_command> out(pvgen_sim_command_count());
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(pvgen_sim_command_get(i, &out[i]), 0);
  }
  return out;
}

pvgen_sim_answer sim_answer(size_t index) {
  pvgen_sim_answer a;
  EXPECT_EQ(pvgen_sim_answer_get(index, &a), 0);
  return a;
}

// Every byte before the answer word, naming the first that differs.
void expect_command(const pvgen_sim_command& got, uint32_t code, const pvgen_sim_cmd_blk& want) {
  EXPECT_EQ(got.code, code);
  const auto* g = reinterpret_cast<const uint8_t*>(&got.blk);
  const auto* w = reinterpret_cast<const uint8_t*>(&want);
  const size_t n = offsetof(pvgen_sim_cmd_blk, result);
  const size_t at = static_cast<size_t>(std::mismatch(g, g + n, w).first - g);
  EXPECT_EQ(at, n) << "request 0x" << std::hex << code << std::dec << ": byte " << at;
}

// The record after a successful page start of `b` on channel 0/0/0.
QUORL_PAGE_INFO started_page(const Blk& b) {
  QUORL_PAGE_INFO p{};
  p.mode = b.mode;
  p.variant = b.variant;
  p.type = b.type;
  p.ring_param0 = b.ring_param0;
  p.ring_param1 = b.ring_param1;
  p.band_total = b.band_total;
  return p;
}

// The simulated engine's report of band command n, with P the page start before it (a zero
// block when none), as a band report of the channel hands it on.
Info band_report(const Blk& band, const Blk& page, uint32_t n, int plane, int32_t band_count) {
  Info r{};
  r.job_id = band.job_id;
  r.page_id = band.page_id;
  r.band_count = band_count;
  r.band_num = 1;
  for (int i = 0; i < 3; ++i) {
    r.src[i] = {band.src[i].id, band.src[i].word1 + 1, n};
    r.dst[i] = {page.dst[i].id, page.dst[i].word1 + n, n};
  }
  r.plane_result[plane] = (band.job_id << 16) | n;
  return r;
}

// Report k of a page-mode page started from `page` on `plane`: the engine got only the ring
// element of that plane, in its element 0.
Info page_report(const Blk& page, uint32_t k, int plane, int32_t band_count) {
  Info r{};
  r.job_id = page.job_id;
  r.page_id = page.page_id;
  r.band_count = band_count;
  r.band_num = 1;
  for (int i = 0; i < 3; ++i) {
    r.src[i] = {0, k, k};
    r.dst[i] = {page.dst[i].id, page.dst[i].word1 + k, k};
  }
  r.src[0] = {page.ring[plane].id, page.ring[plane].word1 + k, k};
  r.plane_result[plane] = (page.job_id << 16) | k;
  return r;
}

Points trace_points(unsigned short category) {
  Points out;
  for (const auto& p : platform::trace_points()) {
    if (p.category == category) {
      out.emplace_back(p.code, p.flag);
    }
  }
  return out;
}

State state(quorl_cnv_pvgen_channel* ch) {
  return {ch->get_ch_status(), ch->get_page_id(), ch->get_plane()};
}

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pvgen_sim_reset();
    platform::trace_points_clear();
  }

  quorl_cnv_pvgen_channel* make(int asic = 0, int module = 0, int channel = 0) {
    auto* ch = new quorl_cnv_pvgen_channel(&signal, asic, module, channel);
    reg = Registry::instance();
    return ch;
  }

  // As the dispatcher issues commands: with the list lock held.
  template <typename F>
  auto dispatch(F&& f) {
    reg->req_list_lock();
    if constexpr (std::is_void_v<decltype(f())>) {
      f();
      reg->req_list_unlock();
    } else {
      auto r = f();
      reg->req_list_unlock();
      return r;
    }
  }

  Entry* insert(int request, Blk blk, norvane::quorl_cnv_pvgen_observer* observer = nullptr) {
    return reg->req_list_insert(request, blk, observer);
  }
  void erase(Entry* e) {
    reg->req_list_erase(Registry::ERASE_ADDRESS, reinterpret_cast<uintptr_t>(e));
  }
  bool listed(uint32_t req_no) {
    return reg->req_list_search(Registry::SEARCH_REQ_NO, req_no) != nullptr;
  }

  // Prepare for the block's page and start it.
  int start(quorl_cnv_pvgen_channel* ch, Blk& blk, int plane = 0, uint32_t req_no = 0) {
    return dispatch([&] {
      ch->prepare(static_cast<unsigned long>(blk.page_id));
      return ch->page_start(req_no, plane, blk);
    });
  }
  // A page-mode page started from a new entry; returns the entry's request number.
  uint32_t start_page_mode(quorl_cnv_pvgen_channel* ch, const Blk& page, int plane,
                           norvane::quorl_cnv_pvgen_observer* observer) {
    Entry* e = insert(kPageStart, page, observer);
    const uint32_t req_no = e->req_no;
    EXPECT_EQ(start(ch, e->blk, plane, req_no), 0);
    return req_no;
  }

  // A band request listed and commanded on plane 0; returns the outcome of the command.
  // With an observer the entry belongs to the worker once the lock is given back.
  int send_band(quorl_cnv_pvgen_channel* ch, const Blk& band,
                norvane::quorl_cnv_pvgen_observer* observer, uint32_t* req_no = nullptr) {
    return dispatch([&] {
      Entry* e = insert(kBand, band, observer);
      if (req_no != nullptr) {
        *req_no = e->req_no;
      }
      const int r = ch->band_exe(e->req_no, 0, e->blk);
      EXPECT_EQ(e->blk.result, r);
      return r;
    });
  }

  int stop(quorl_cnv_pvgen_channel* ch) {
    Blk blk = full_block(0, 1);
    const int r = dispatch([&] { return ch->stop(blk); });
    EXPECT_EQ(blk.result, r);
    return r;
  }

  pvgen_test::Capture capture;
  CountingSignal& signal = counting_signal();
  Registry* reg = nullptr;
};

// ---------------------------------------------------------------- command bytes

TEST_F(ChannelTest, BandPageCommandsCarryTheirOwnWordsOnly) {
  auto* ch = make();
  Blk page = full_block(7, 1);  // ring, src_buf_num, ring_param0, src: never sent
  ASSERT_EQ(start(ch, page, 1), 0);
  EXPECT_EQ(state(ch), State(2, 7, 1));
  EXPECT_EQ(ch->get_proc_num(), 0);  // a band page queues nothing at its start
  EXPECT_EQ(words(ch->page_info_snapshot()), words(started_page(page)));

  Entry* e = insert(kBand, full_block(7, 1, 0x77));  // synchronous
  const Blk band = e->blk;
  ASSERT_EQ(dispatch([&] { return ch->band_exe(e->req_no, 0, e->blk); }), 0);
  e->event->event.wait(OSW_WAIT_FOREVER);
  erase(e);
  EXPECT_EQ(stop(ch), 0);

  const auto cmds = sim_commands();
  ASSERT_EQ(cmds.size(), 3u);
  pvgen_sim_cmd_blk want = page_start_words(page);
  want.ring_param1 = 1;
  expect_command(cmds[0], PVGEN_SIM_IOC_PAGE_START, want);
  want = unit_only(0, 0, 0);
  want.job_id = 0x77;
  want.mode = 1;
  want.type = 2;
  std::memcpy(want.src, band.src, sizeof want.src);
  want.band_param0 = 0xB0;
  want.band_param1 = 0xB1;
  expect_command(cmds[1], PVGEN_SIM_IOC_BAND_EXE, want);
  expect_command(cmds[2], PVGEN_SIM_IOC_STOP, unit_only(0, 0, 0));
  for (const auto& c : cmds) {
    EXPECT_TRUE(pthread_equal(c.thread, pthread_self()));
  }
  // Mode 1, type 2: 0x420, before (|4) and after (|8) each command.
  const Points bracket{{0x424, 1}, {0x428, 1}};
  EXPECT_EQ(trace_points(2), bracket);
  EXPECT_EQ(trace_points(4), bracket);
  EXPECT_EQ(trace_points(16), bracket);
  delete ch;
}

TEST_F(ChannelTest, PageModeStartSendsTheRingElementOfItsPlane) {
  auto* ch = make();
  pvgen_sim_gate_close();
  Blk page = full_block(8, 2);
  page.band_total = 1;
  const uint32_t req = start_page_mode(ch, page, 2, nullptr);  // no observer: no call
  EXPECT_EQ(state(ch), State(3, 8, 2));
  EXPECT_EQ(ch->get_proc_num(), 1);
  pvgen_sim_gate_release(1);
  ASSERT_TRUE(signal.wait_for(1));  // reported without a band command: the worker was woken
  EXPECT_FALSE(listed(req));

  Blk page2 = full_block(9, 2, 0x99);
  page2.band_total = 1;
  page2.src_buf_num = 0;  // no ring buffer: the ring stays empty
  start_page_mode(ch, page2, 1, nullptr);
  pvgen_sim_gate_release(1);
  ASSERT_TRUE(signal.wait_for(2));

  const auto cmds = sim_commands();
  ASSERT_EQ(cmds.size(), 2u);
  pvgen_sim_cmd_blk want = page_start_words(page);
  want.src_buf_num = 1;
  std::memcpy(&want.ring[0], &page.ring[2], sizeof want.ring[0]);
  want.ring_param0 = 0xA0;
  want.ring_param1 = 0xA1;
  expect_command(cmds[0], PVGEN_SIM_IOC_PAGE_START, want);
  want = page_start_words(page2);
  want.ring_param0 = 0xA0;
  want.ring_param1 = 0xA1;
  expect_command(cmds[1], PVGEN_SIM_IOC_PAGE_START, want);
  delete ch;
}

TEST_F(ChannelTest, CommandsAddressTheChannelsOwnNumbers) {
  // The simulated engine refuses every unit but 0/0/0 (result 6), and logs the block.
  auto* ch = make(0, 1, 2);
  EXPECT_EQ(stop(ch), -5);  // an idle channel asks the driver
  Blk page = full_block(3, 1);
  EXPECT_EQ(start(ch, page), -5);
  EXPECT_EQ(page.result, -5);
  // A refusal changes nothing and is neither traced nor notified.
  EXPECT_EQ(state(ch), State(1, 3, -1));
  QUORL_PAGE_INFO unchanged{};
  unchanged.module = 1;
  unchanged.channel = 2;
  EXPECT_EQ(words(ch->page_info_snapshot()), words(unchanged));
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_TRUE(capture.notify_codes().empty());

  const auto cmds = sim_commands();
  ASSERT_EQ(cmds.size(), 2u);
  expect_command(cmds[0], PVGEN_SIM_IOC_STOP, unit_only(0, 1, 2));
  pvgen_sim_cmd_blk want = page_start_words(page);
  want.module = 1;
  want.channel = 2;
  want.ring_param1 = 1;
  expect_command(cmds[1], PVGEN_SIM_IOC_PAGE_START, want);
  // A stop before any page start takes mode 0 and type 0 for its trace code.
  EXPECT_EQ(trace_points(16), (Points{{0x114, 1}, {0x118, 1}}));
  delete ch;
}

// ---------------------------------------------------------------- states and stops

TEST_F(ChannelTest, StopOfAPreparedChannelNeverReachesTheDriver) {
  auto* ch = make();
  EXPECT_EQ(state(ch), State(0, 0, -1));
  Entry* x = insert(QUORL_CNV_PVGEN_REQ_PREPARE, full_block(5, 1));
  Entry* y = insert(QUORL_CNV_PVGEN_REQ_PREPARE, full_block(5, 1));
  Blk page = full_block(5, 0);  // mode 0: page info and plane change, the state does not
  Blk stop_blk = full_block(5, 1);

  reg->req_list_lock();
  ch->prepare(5);
  EXPECT_EQ(state(ch), State(1, 5, -1));
  EXPECT_EQ(ch->page_start(0, 1, page), 0);
  EXPECT_EQ(state(ch), State(1, 5, 1));
  EXPECT_EQ(words(ch->page_info_snapshot()), words(started_page(page)));
  EXPECT_EQ(reg->req_list_for_each(), x);
  EXPECT_EQ(ch->stop(stop_blk), 0);  // takes the list lock once more, on this thread
  EXPECT_EQ(reg->req_list_for_each(), x) << "a nested list lock restarts the walk";
  reg->req_list_unlock();

  EXPECT_EQ(stop_blk.result, 0);
  EXPECT_EQ(state(ch), State(0, 0, 1));  // the plane is kept
  QUORL_PAGE_INFO want = started_page(page);
  want.page_stop = 1;  // page_end stays 0
  EXPECT_EQ(words(ch->page_info_snapshot()), words(want));
  EXPECT_EQ(pvgen_sim_command_count(), 1u);  // the page start only
  erase(x);
  erase(y);
  delete ch;
}

TEST_F(ChannelTest, StopOfABandPageByTheDriversAnswer) {
  ASSERT_EQ(pvgen_sim_fault_script("stop#1:result=5; stop#2:result=2"), 2);
  auto* ch = make();
  Blk page1 = full_block(1, 1);
  ASSERT_EQ(start(ch, page1), 0);

  EXPECT_EQ(stop(ch), -5);  // refused: nothing changes
  EXPECT_EQ(state(ch), State(2, 1, 0));
  EXPECT_EQ(words(ch->page_info_snapshot()), words(started_page(page1)));

  EXPECT_EQ(stop(ch), 0);  // answered 2: a success
  EXPECT_EQ(state(ch), State(0, 0, -1));
  QUORL_PAGE_INFO want = started_page(page1);
  want.page_end = 1;
  want.page_stop = 1;
  EXPECT_EQ(words(ch->page_info_snapshot()), words(want));

  // The next page start rewrites the whole record.
  Blk page2 = full_block(2, 1, 0x22);
  page2.variant = 4;
  page2.band_total = 8;
  page2.ring_param0 = 0;
  ASSERT_EQ(start(ch, page2, 2), 0);
  EXPECT_EQ(words(ch->page_info_snapshot()), words(started_page(page2)));
  EXPECT_EQ(stop(ch), 0);  // answered 0
  EXPECT_EQ(state(ch), State(0, 0, -1));
  EXPECT_EQ(ch->page_info_snapshot().page_end, 1u);

  EXPECT_EQ(stop(ch), 0);  // an idle channel: the driver is asked, nothing changes
  EXPECT_EQ(state(ch), State(0, 0, -1));
  EXPECT_EQ(pvgen_sim_command_count(), 6u);
  EXPECT_TRUE(capture.lines().empty());
  delete ch;
}

// ---------------------------------------------------------------- failing driver calls

TEST_F(ChannelTest, FailingPageStartLeavesTheChannelInErrorForGood) {
  ASSERT_EQ(pvgen_sim_fault_script("start#1:errno=EIO"), 1);
  auto* ch = make();
  Blk page = full_block(3, 1);
  EXPECT_EQ(start(ch, page), -5);  // the driver left result 0: the failed call alone counts
  EXPECT_EQ(page.result, -5);
  EXPECT_EQ(state(ch), State(-1, 3, -1));
  EXPECT_EQ(ch->page_info_snapshot().band_total, 0u);
  EXPECT_EQ(capture.lines(),
            Lines{"quorl_cnv_pvgen_channel::page_start(0/0/0) ioctl error. result = 0\n"});
  const auto notes = platform::notifications();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].kind, 0xF23C);
  EXPECT_EQ(notes[0].code, 7);
  EXPECT_EQ(notes[0].function, "page_start");
  EXPECT_EQ(notes[0].file, "quorl_cnv_pvgen_channel.cpp");

  ch->set_ch_status(0);
  ch->set_ch_status(1);
  dispatch([&] { ch->prepare(5); });
  EXPECT_EQ(state(ch), State(-1, 5, -1));
  EXPECT_EQ(stop(ch), 0);  // no driver command on a failed channel
  EXPECT_EQ(pvgen_sim_command_count(), 1u);
  EXPECT_EQ(state(ch), State(-1, 5, -1));
  delete ch;
}

TEST_F(ChannelTest, FailingBandCommandStillGetsItsReport) {
  ASSERT_EQ(pvgen_sim_fault_script("band#1:errno=EIO,result=9"), 1);
  auto* ch = make();
  Blk page = full_block(4, 1);
  ASSERT_EQ(start(ch, page), 0);
  RecordingObserver obs;
  EXPECT_EQ(send_band(ch, full_block(4, 1, 0x41), &obs), -5);
  EXPECT_EQ(ch->get_ch_status(), -1);
  EXPECT_EQ(capture.lines(),
            Lines{"quorl_cnv_pvgen_channel::band_exe(0/0/0) ioctl error. result = 9\n"});
  EXPECT_EQ(capture.notify_codes(), Codes{8});
  EXPECT_EQ(platform::notifications().at(0).function, "band_exe");

  // The engine's failure report ends the page; the state stays -1.
  ASSERT_TRUE(obs.wait_for(1));
  ASSERT_TRUE(signal.wait_for(1));
  EXPECT_EQ(obs.items()[0].info.result, -5);
  EXPECT_EQ(obs.items()[0].info.band_count, 1);
  EXPECT_EQ(state(ch), State(-1, 0, -1));
  const QUORL_PAGE_INFO info = ch->page_info_snapshot();
  EXPECT_EQ(info.page_end, 1u);
  EXPECT_EQ(info.band_exe_num, 1u);
  EXPECT_EQ(info.band_done_num, 1u);
  delete ch;
}

TEST_F(ChannelTest, FailingStopIsFinalButAnAnswerOfTwoStillSucceeds) {
  ASSERT_EQ(pvgen_sim_fault_script("stop#1:errno=EIO; stop#2:errno=EIO,result=2"), 2);
  auto* a = make();
  auto* b = make();
  Blk page1 = full_block(1, 1);
  Blk page2 = full_block(2, 1);
  ASSERT_EQ(start(a, page1), 0);
  ASSERT_EQ(start(b, page2), 0);

  EXPECT_EQ(stop(a), -5);
  EXPECT_EQ(state(a), State(-1, 1, 0));
  EXPECT_EQ(a->page_info_snapshot().page_stop, 0u);
  EXPECT_EQ(stop(b), 0);
  EXPECT_EQ(state(b), State(-1, 2, 0));  // a failed channel keeps its page
  EXPECT_EQ(b->page_info_snapshot().page_stop, 1u);
  EXPECT_EQ(b->page_info_snapshot().page_end, 0u);

  EXPECT_EQ(capture.lines(),
            (Lines{"quorl_cnv_pvgen_channel::stop(0/0/0) ioctl error. result = 0\n",
                   "quorl_cnv_pvgen_channel::stop(0/0/0) ioctl error. result = 2\n"}));
  EXPECT_EQ(capture.notify_codes(), (Codes{11, 11}));
  EXPECT_EQ(platform::notifications().at(1).function, "stop");
  delete a;
  delete b;
}

TEST_F(ChannelTest, FailingWaitIsReportedAndLaterJobsAreServed) {
  ASSERT_EQ(pvgen_sim_fault_script("wait#1:errno=EIO,result=7"), 1);
  auto* ch = make();
  Blk page = full_block(5, 1);
  ASSERT_EQ(start(ch, page), 0);
  RecordingObserver obs;
  const Blk band = full_block(5, 1, 0x51);
  send_band(ch, band, &obs);
  ASSERT_TRUE(obs.wait_for(1));
  ASSERT_TRUE(signal.wait_for(1));
  // The failed wait delivered nothing: no descriptors, but the report itself is complete.
  Info want{};
  want.job_id = 0x51;
  want.page_id = 5;
  want.band_count = 1;
  want.band_num = 1;
  want.result = -5;
  EXPECT_EQ(words(obs.items()[0].info), words(want));
  EXPECT_EQ(state(ch), State(-1, 0, -1));  // a negative outcome ends the band page
  EXPECT_EQ(ch->page_info_snapshot().page_end, 1u);
  EXPECT_EQ(capture.lines(),
            Lines{"quorl_cnv_pvgen_channel::wait(0/0/0) ioctl error. result = 7\n"});
  EXPECT_EQ(capture.notify_codes(), Codes{10});
  EXPECT_EQ(platform::notifications().at(0).function, "wait");

  send_band(ch, band, &obs);  // the failed channel still serves what it is given
  ASSERT_TRUE(obs.wait_for(2));
  ASSERT_TRUE(signal.wait_for(2));
  EXPECT_EQ(obs.items()[1].info.result, 0);
  EXPECT_EQ(obs.items()[1].info.band_count, 1);  // no page any more
  delete ch;
}

// ---------------------------------------------------------------- band reports

TEST_F(ChannelTest, BandPageReportsAndEndsAtItsBandTotal) {
  auto* ch = make();
  Blk page = full_block(7, 1);  // band_total 3
  ASSERT_EQ(start(ch, page), 0);
  RecordingObserver obs;

  // Band 1, with an observer: called on the worker, with no lock held, before the erase.
  const Blk band1 = full_block(7, 1, 0x21);
  std::atomic<uint32_t> req1{0};
  std::atomic<int> listed_in_observer{-1};
  obs.hook = [&](const Info&) {
    listed_in_observer = listed(req1) ? 1 : 0;
    // Another thread takes every lock the worker might hold: a held one deadlocks here.
    std::thread other([&] {
      reg->req_list_lock();
      reg->req_list_unlock();
      (void)ch->get_proc_num();
      (void)ch->get_ch_status();
    });
    other.join();
  };
  dispatch([&] {  // the number is stored before the worker can look the entry up
    uint32_t n = 0;
    send_band(ch, band1, &obs, &n);
    req1 = n;
  });
  ASSERT_TRUE(obs.wait_for(1));
  ASSERT_TRUE(signal.wait_for(1));
  obs.hook = nullptr;
  EXPECT_EQ(listed_in_observer, 1);
  EXPECT_FALSE(listed(req1));
  const Report r1 = obs.items()[0];
  EXPECT_EQ(words(r1.info), words(band_report(band1, page, 1, 0, 1)));
  EXPECT_FALSE(pthread_equal(r1.thread, pthread_self()));
  EXPECT_TRUE(pthread_equal(r1.thread, sim_answer(0).thread));

  // Band 2, synchronous: the entry is posted and stays; its block holds the report's words
  // of its plane.
  Entry* e2 = insert(kBand, full_block(7, 1, 0x22));
  const Blk band2 = e2->blk;
  ASSERT_EQ(dispatch([&] { return ch->band_exe(e2->req_no, 0, e2->blk); }), 0);
  e2->event->event.wait(OSW_WAIT_FOREVER);
  ASSERT_TRUE(signal.wait_for(2));
  dispatch([&] {
    EXPECT_TRUE(listed(e2->req_no));
    EXPECT_EQ(e2->list_stat, 2);
    EXPECT_EQ(e2->plane_stat[0], 2);
    EXPECT_EQ(e2->blk.result, 0);
    const Info want = band_report(band2, page, 2, 0, 2);
    Blk expected = band2;
    expected.result = 0;
    expected.src[0] = want.src[0];
    expected.dst[0] = want.dst[0];
    expected.plane_result[0] = want.plane_result[0];
    EXPECT_EQ(words(e2->blk), words(expected));
  });
  erase(e2);
  EXPECT_EQ(obs.items().size(), 1u);
  EXPECT_EQ(state(ch), State(2, 7, 0));
  EXPECT_EQ(ch->page_info_snapshot().page_end, 0u);

  // Band 3 completes the page.
  const Blk band3 = full_block(7, 1, 0x23);
  send_band(ch, band3, &obs);
  ASSERT_TRUE(obs.wait_for(2));
  ASSERT_TRUE(signal.wait_for(3));
  EXPECT_EQ(words(obs.items()[1].info), words(band_report(band3, page, 3, 0, 3)));
  EXPECT_EQ(state(ch), State(0, 0, -1));
  QUORL_PAGE_INFO want = started_page(page);
  want.page_end = 1;
  want.band_exe_num = 3;
  want.band_done_num = 3;
  EXPECT_EQ(words(ch->page_info_snapshot()), words(want));
  ch->stop_wait();  // the page has ended: returns
  EXPECT_EQ(reg->req_list_size(), 0u);
  // Reports to an observer are traced with (256 << mode) | (256 << type) | 2, flag 1.
  EXPECT_EQ(trace_points(64), (Points{{0x602, 1}, {0x602, 1}}));
  EXPECT_EQ(trace_points(32).size(), 6u);  // before and after each of three waits
  delete ch;
}

TEST_F(ChannelTest, BandPagePassesCompletionStatesAndEndsAtTheFirstFailure) {
  ASSERT_EQ(pvgen_sim_fault_script("wait#1:result=1; wait#2:result=2; band#3:result=4"), 3);
  auto* ch = make();
  Blk page = full_block(6, 1);
  page.band_total = 5;
  ASSERT_EQ(start(ch, page), 0);
  RecordingObserver obs;
  const Blk band = full_block(6, 1, 0x61);
  EXPECT_EQ(send_band(ch, band, &obs), 0);
  EXPECT_EQ(send_band(ch, band, &obs), 0);
  EXPECT_EQ(send_band(ch, band, &obs), -5);  // refused
  ASSERT_TRUE(obs.wait_for(3));
  ASSERT_TRUE(signal.wait_for(3));
  const auto reports = obs.items();
  Info want = band_report(band, page, 1, 0, 1);
  want.result = 1;
  EXPECT_EQ(words(reports[0].info), words(want));
  want = band_report(band, page, 2, 0, 2);
  want.result = 2;
  EXPECT_EQ(words(reports[1].info), words(want));
  EXPECT_EQ(reports[2].info.result, -5);
  EXPECT_EQ(reports[2].info.band_count, 3);
  // Ended by the failure, two bands short of its total; the refused band was counted.
  EXPECT_EQ(state(ch), State(0, 0, -1));
  const QUORL_PAGE_INFO info = ch->page_info_snapshot();
  EXPECT_EQ(info.page_end, 1u);
  EXPECT_EQ(info.band_exe_num, 3u);
  EXPECT_EQ(info.band_done_num, 3u);
  EXPECT_TRUE(capture.lines().empty());
  delete ch;
}

TEST_F(ChannelTest, BandWithoutPageCountsOnlyItself) {
  auto* ch = make();
  RecordingObserver obs;
  const Blk band = full_block(11, 0, 0x31);
  send_band(ch, band, &obs);
  send_band(ch, band, &obs);
  ASSERT_TRUE(obs.wait_for(2));
  ASSERT_TRUE(signal.wait_for(2));
  Blk zero;
  std::memset(&zero, 0, sizeof zero);
  // No page since the descriptor was opened: the engine's destination words start at 0.
  EXPECT_EQ(words(obs.items()[0].info), words(band_report(band, zero, 1, 0, 1)));
  EXPECT_EQ(words(obs.items()[1].info), words(band_report(band, zero, 2, 0, 1)));
  EXPECT_EQ(state(ch), State(0, 0, -1));
  EXPECT_EQ(words(ch->page_info_snapshot()), words(QUORL_PAGE_INFO{}));  // nothing counted
  delete ch;
}

TEST_F(ChannelTest, EntriesMarkedForAStopAreLeftToTheStop) {
  auto* ch = make();
  Blk page = full_block(6, 1);
  ASSERT_EQ(start(ch, page), 0);
  RecordingObserver obs;
  Entry* a = nullptr;
  Entry* b = nullptr;
  dispatch([&] {
    a = insert(kBand, full_block(6, 1, 0x61), &obs);
    b = insert(kBand, full_block(6, 1, 0x62));
    ch->band_exe(a->req_no, 0, a->blk);
    ch->band_exe(b->req_no, 0, b->blk);
    a->list_stat = 3;  // as a stop submission marks its page's entries
    b->list_stat = 3;
  });
  ASSERT_TRUE(signal.wait_for(2));
  dispatch([&] {
    EXPECT_TRUE(listed(a->req_no));
    EXPECT_TRUE(listed(b->req_no));
    EXPECT_EQ(a->list_stat, 3);
    EXPECT_EQ(b->list_stat, 3);
    EXPECT_EQ(b->plane_stat[0], 2);
    EXPECT_EQ(b->blk.src[0].word2, 2u);  // the report itself was recorded
  });
  EXPECT_TRUE(obs.items().empty());
  EXPECT_EQ(ch->page_info_snapshot().band_done_num, 0u);
  EXPECT_EQ(state(ch), State(2, 6, 0));
  erase(a);
  erase(b);
  delete ch;
}

// ---------------------------------------------------------------- page-mode reports

TEST_F(ChannelTest, StoppedPageModePageEndsOnTheFinalReportWithoutAnObserverCall) {
  auto* ch = make();
  pvgen_sim_gate_close();
  Blk page = full_block(12, 2, 0x4C);
  page.band_total = 5;
  RecordingObserver obs;
  const uint32_t req = start_page_mode(ch, page, 1, &obs);
  pvgen_sim_gate_release(2);
  ASSERT_TRUE(obs.wait_for(2));
  const auto reports = obs.items();
  for (uint32_t k = 1; k <= 2; ++k) {
    EXPECT_EQ(words(reports[k - 1].info), words(page_report(page, k, 1, static_cast<int>(k))));
    EXPECT_FALSE(pthread_equal(reports[k - 1].thread, pthread_self()));
  }

  EXPECT_EQ(stop(ch), 0);  // the page is left to the worker
  EXPECT_EQ(state(ch), State(3, 12, 1));
  EXPECT_EQ(ch->page_info_snapshot().page_stop, 1u);
  EXPECT_EQ(ch->page_info_snapshot().page_end, 0u);
  pvgen_sim_gate_release(1);  // the engine's final report (2) of the stopped page
  ch->stop_wait();
  ASSERT_TRUE(signal.wait_for(1));
  EXPECT_EQ(obs.items().size(), 2u);
  EXPECT_FALSE(listed(req));
  EXPECT_EQ(state(ch), State(0, 0, -1));
  EXPECT_EQ(ch->page_info_snapshot().page_end, 1u);
  EXPECT_EQ(ch->page_info_snapshot().band_done_num, 2u);
  EXPECT_EQ(signal.size(), 1u);  // the whole page is one job
  // Page-mode reports are traced with flag 0: (256 << 2) | (256 << 2) | 2.
  EXPECT_EQ(trace_points(64), (Points{{0x402, 0}, {0x402, 0}}));
  delete ch;
}

TEST_F(ChannelTest, PageModeSumsBandNumbersAndEndsOnlyAtEqualityOrAFailure) {
  ASSERT_EQ(pvgen_sim_fault_script("wait#1:band_num=3,result=1; wait#2x3:again; wait#5:band_num=2"),
            4);
  auto* ch = make();
  Blk page = full_block(13, 2, 0x4D);
  page.band_total = 2;
  RecordingObserver obs;
  const uint32_t req = start_page_mode(ch, page, 0, &obs);
  ASSERT_TRUE(obs.wait_for(2));
  ASSERT_TRUE(signal.wait_for(1));
  const auto reports = obs.items();
  ASSERT_EQ(reports.size(), 2u);
  Info want = page_report(page, 1, 0, 3);  // 3 passes 2 without being equal: not the end
  want.band_num = 3;
  want.result = 1;  // a completion state passed through; only 0 becomes -5 for an overflow
  EXPECT_EQ(words(reports[0].info), words(want));
  // Three answers of 3 were asked again inside one wait: nothing reported in between.
  for (size_t i = 1; i <= 3; ++i) {
    EXPECT_EQ(sim_answer(i).blk.result, 3);
    EXPECT_EQ(sim_answer(i).took_report, 0);
  }
  const Points waits = trace_points(32);
  EXPECT_EQ(std::count(waits.begin(), waits.end(), Points::value_type{4, 1}), 2);
  want = page_report(page, 2, 0, 5);  // the sum grows by the reported 2
  want.band_num = 2;
  want.result = -5;
  EXPECT_EQ(words(reports[1].info), words(want));
  EXPECT_EQ(capture.lines(),
            (Lines{"quorl_cnv_pvgen_channel::wait(0/0/0) band_num overflow. = 3\n",
                   "quorl_cnv_pvgen_channel::wait(0/0/0) band_num overflow. = 2\n"}));
  EXPECT_EQ(capture.notify_codes(), (Codes{10, 10}));

  // The failure ends the page and the entry goes.
  EXPECT_FALSE(listed(req));
  EXPECT_EQ(state(ch), State(0, 0, -1));
  EXPECT_EQ(ch->page_info_snapshot().band_done_num, 5u);
  EXPECT_EQ(ch->page_info_snapshot().page_end, 1u);
  delete ch;
}

// ---------------------------------------------------------------- worker and events

TEST_F(ChannelTest, PageModePairIsQueuedBeforeTheDriverIsAsked) {
  ASSERT_EQ(pvgen_sim_fault_script("start#1:result=4"), 1);
  auto* ch = make();
  Entry* e = insert(kPageStart, full_block(4, 2));
  EXPECT_EQ(start(ch, e->blk, 0, e->req_no), -5);
  EXPECT_EQ(e->blk.result, -5);
  EXPECT_EQ(ch->get_proc_num(), 1);  // queued although the driver refused
  EXPECT_EQ(state(ch), State(1, 4, -1));
  EXPECT_EQ(ch->page_info_snapshot().band_total, 0u);
  // Nobody posted the work event: a job queued before the call is seen without one.
  ch->ch_wait();
  keep_alive(ch);  // its job stays queued for good
}

TEST_F(ChannelTest, StopWaitReturnsAtOnceWhenIdleAndOtherwiseAfterThePageEnds) {
  auto* ch = make();
  ch->stop_wait();
  pvgen_sim_gate_close();
  Blk page = full_block(2, 1);
  page.band_total = 1;
  ASSERT_EQ(start(ch, page), 0);
  RecordingObserver obs;
  send_band(ch, full_block(2, 1, 0x20), &obs);
  ASSERT_EQ(pvgen_sim_wait_blocked(1, kGuardMs), 0);  // the worker waits for the report

  unsigned long page_seen = 99;
  uint32_t end_seen = 0;
  std::thread stopper([&] {
    ch->stop_wait();
    page_seen = ch->get_page_id();
    end_seen = ch->page_info_snapshot().page_end;
  });
  pvgen_sim_gate_release(1);
  stopper.join();
  EXPECT_EQ(page_seen, 0u);
  EXPECT_EQ(end_seen, 1u);
  EXPECT_EQ(obs.items().size(), 1u);
  ASSERT_TRUE(signal.wait_for(1));
  delete ch;
}

TEST_F(ChannelTest, VanishedRequestEndsTheWorker) {
  auto* ch = make();
  Blk band = full_block(0, 0);
  EXPECT_EQ(dispatch([&] { return ch->band_exe(4242, 0, band); }), 0);  // no such entry
  ASSERT_EQ(norvane::Controller::instance()->join(*ch), 0);             // the worker has returned
  EXPECT_EQ(ch->get_ch_status(), -1);
  EXPECT_EQ(ch->get_proc_num(), 1);
  EXPECT_EQ(capture.lines(), Lines{"quorl_cnv_pvgen_channel::process(0/0/0) req_list_search "
                                   "error. list_blk = NULL\n"});
  EXPECT_EQ(capture.notify_codes(), Codes{1});
  EXPECT_EQ(platform::notifications().at(0).function, "process");
  EXPECT_EQ(signal.size(), 0u);
  delete ch;
}

// ---------------------------------------------------------------- construction

TEST_F(ChannelTest, OpenFailureLeavesAWorkingObjectInError) {
  ASSERT_EQ(pvgen_sim_fault_script("open#1:errno=EACCES"), 1);
  auto* ch = make(0, 1, 2);
  EXPECT_EQ(ch->get_ch_status(), -1);
  EXPECT_EQ(ch->get_fd(), -1);
  EXPECT_EQ(capture.lines(), Lines{"quorl_cnv_pvgen_channel::quorl_cnv_pvgen_channel(0/1/2) "
                                   "driver open error.\n"});
  EXPECT_EQ(capture.notify_codes(), Codes{5});
  EXPECT_EQ(platform::notifications().at(0).function, "quorl_cnv_pvgen_channel");
  ASSERT_EQ(platform::page_infos().size(), 1u);
  EXPECT_EQ(platform::page_infos()[0], ch->page_info_record());
  EXPECT_EQ(ch->page_info_snapshot().channel, 2u);
  auto* controller = norvane::Controller::instance();
  EXPECT_EQ(controller->running_threads("quorl_pvgen_ch"), 1);

  delete ch;
  EXPECT_EQ(controller->running_threads("quorl_pvgen_ch"), 0);
  EXPECT_EQ(capture.lines().at(1),
            "quorl_cnv_pvgen_channel::quorl_cnv_pvgen_channel(0/1/2) "
            "driver close error.\n");
  EXPECT_EQ(capture.notify_codes(), (Codes{5, 6}));
  EXPECT_EQ(platform::notifications().at(1).function, "~quorl_cnv_pvgen_channel");
}

TEST_F(ChannelTest, DefaultConstructedChannelIsInertAndInError) {
  {
    quorl_cnv_pvgen_channel ch;
    EXPECT_EQ(std::make_tuple(ch.get_asic(), ch.get_module(), ch.get_channel(), ch.get_fd()),
              std::make_tuple(-1, -1, -1, -1));
    EXPECT_EQ(state(&ch), State(-1, 0, -1));
    EXPECT_EQ(ch.get_proc_num(), 0);
    ch.set_ch_status(0);
    EXPECT_EQ(ch.get_ch_status(), -1);
    EXPECT_TRUE(platform::started_thread_names().empty());
    EXPECT_TRUE(platform::page_infos().empty());
  }
  EXPECT_EQ(capture.lines(), Lines{"quorl_cnv_pvgen_channel::quorl_cnv_pvgen_channel(-1/-1/-1) "
                                   "driver close error.\n"});
  EXPECT_EQ(capture.notify_codes(), Codes{6});
}

// ---------------------------------------------------------------- lock order under load

// The worker completes bands and ends pages while this thread issues commands under the list
// lock, as the dispatcher does; every other page is stopped half-way. Under ThreadSanitizer
// a lock-order inversion between the list lock and the channel's locks is reported.
TEST_F(ChannelTest, WorkerAndDispatcherKeepOneLockOrder) {
  auto* ch = make();
  RecordingObserver obs;
  obs.hook = [&](const Info&) { (void)ch->get_ch_status(); };
  constexpr int kPages = 40;
  constexpr int kBands = 6;
  size_t sent = 0;
  for (int p = 1; p <= kPages; ++p) {
    Blk page = full_block(p, 1);
    page.band_total = kBands;
    ASSERT_EQ(start(ch, page), 0);
    const Blk band = full_block(p, 1, static_cast<uint32_t>(p));
    const bool stopped = p % 2 == 1;
    for (int b = 0; b < kBands; ++b) {
      dispatch([&] {
        send_band(ch, band, &obs);
        (void)ch->get_proc_num();
        (void)ch->get_ch_status();
      });
      ++sent;
      if (stopped && b == kBands / 2) {
        EXPECT_EQ(stop(ch), 0);  // unbinds the page; the rest runs without one
      }
    }
    if (!stopped) {
      ch->stop_wait();  // until the worker ends the page
    }
    ASSERT_TRUE(signal.wait_for(sent));  // every job reported before the next page
  }
  ASSERT_TRUE(obs.wait_for(kPages * kBands));
  for (const auto& r : obs.items()) {
    EXPECT_EQ(r.info.result, 0);
  }
  EXPECT_EQ(reg->req_list_size(), 0u);
  EXPECT_EQ(state(ch), State(0, 0, -1));
  delete ch;
}

}  // namespace
