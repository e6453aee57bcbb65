// Threads that cannot be started: when the system refuses the library one of its own
// threads, the calls that needed it fail at once instead of waiting for a thread that never
// runs, and the library works again once threads can be had.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

#include "support/e2e_support.h"

namespace {

// Thread starts that the system still grants before it refuses one; -1: all are granted.
std::atomic<int> starts_left{-1};

}  // namespace

// Every pthread_create of the process (the platform's threads included) comes here first.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  int left = starts_left.load();
  while (left >= 0) {
    if (left == 0) {
      return EAGAIN;
    }
    if (starts_left.compare_exchange_weak(left, left - 1)) {
      break;
    }
  }
  return real(thread, attr, start, arg);
}

namespace {

using namespace e2e;

class ReliabilityThreads : public E2e {};

// No dispatcher: the library is not brought up; every call fails at once (-5, or 0 for an
// identifier) and traces why; once threads can be had, the next call brings it up.
TEST_F(ReliabilityThreads, NoDispatcherThreadFailsTheCallsAndTheNextCallRetries) {
  starts_left = 0;
  EXPECT_EQ(Quorl_cnv_pvgen_get_page_id(), 0);
  Blk blk = pvgen_test::make_block(1);
  EXPECT_EQ(after(Quorl_cnv_pvgen_prepare(&blk), blk.result), make_pair(-5, -5));
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&blk, record_cb), -5);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&blk), -5);
  const Lines lines = Capture::lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "quorl_cnv_pvgen_control::init() dispatcher start error.\n");
  starts_left = -1;
  blk.page_id = Quorl_cnv_pvgen_get_page_id();
  EXPECT_EQ(blk.page_id, 1);
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&blk, nullptr), 0);
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&blk, nullptr), 0);
}

// No worker for the channel: the channel is failed for good from the start; the prepare
// that made it gets it (as any prepare gets a channel whatever its state), its page start is
// refused, a waiting prepare ends with -4 and a stop returns; nobody waits.
TEST_F(ReliabilityThreads, NoWorkerThreadLeavesTheChannelFailedAndNobodyWaits) {
  ASSERT_NE(Quorl_cnv_pvgen_get_page_id(), 0);  // the dispatcher runs
  platform::capture_begin();
  starts_left = 0;
  Blk page = new_block();
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&page), 0);
  starts_left = -1;
  const auto channels = norvane::quorl_cnv_pvgen_control::instance()->channels();
  ASSERT_EQ(channels.size(), 1u);
  EXPECT_EQ(channels.front()->get_ch_status(), -1);
  EXPECT_FALSE(channels.front()->worker_running());
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&page, nullptr), -3);
  Blk waiting = new_block();
  waiting.wait_for_channel = 1;
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&waiting), -4);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&page), 0);
  const Lines lines = Capture::lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0],
            "quorl_cnv_pvgen_channel::quorl_cnv_pvgen_channel(0/0/0) worker start error.\n");
  EXPECT_TRUE(list_reaches(0));
}

}  // namespace
