// The control and registry singletons: page identifiers, concurrent creation, teardown and
// the dispatcher's wake-up. Every test runs in a fresh process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <utility>
#include <vector>

#include "platform_capture.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"
#include "support/pvgen_test_util.h"
#include "support/thread_probe.h"

namespace norvane {
struct ControlTestAccess {
  static void set_next_page_id(quorl_cnv_pvgen_control& ctrl, int32_t id) {
    OSW_Guard guard(ctrl.page_id_mutex);
    ctrl.page_id_counter = id;
  }
  static bool wake_up_pending(quorl_cnv_pvgen_control& ctrl) {
    return std::atomic_ref(ctrl.ctrl_flag).load(std::memory_order_relaxed) != 0;
  }
};
}  // namespace norvane

using norvane::Controller;
using norvane::ControlTestAccess;
using Registry = norvane::quorl_cnv_pvgen_commonmethod;
using Control = norvane::quorl_cnv_pvgen_control;

namespace {

// Dispatcher threads started so far, and running now.
std::pair<long, int> dispatchers() {
  const auto names = platform::started_thread_names();
  return {std::count(names.begin(), names.end(), "quorl_pvgen_ctrl"),
          Controller::instance()->running_threads("quorl_pvgen_ctrl")};
}

uint32_t insert_prepare(Registry* reg) {
  QUORL_CNV_PVGEN_BLK blk = pvgen_test::make_block(1);
  return reg->req_list_insert(QUORL_CNV_PVGEN_REQ_PREPARE, blk, nullptr)->req_no;
}

}  // namespace

// A race makes one control and one registry (each creation makes the same OS objects);
// page ids wrap; release() ends the dispatcher and a later instance() starts from scratch.
TEST(FoundationControl, ConcurrentFirstCallsCreateOneOfEachAndReleaseStartsAfresh) {
  Control::release();  // nothing to release yet
  const auto at_start = platform::os_objects_created();
  constexpr int kThreads = 16;
  std::vector<Control*> controls(kThreads);
  std::vector<Registry*> registries(kThreads);
  std::latch go(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      go.arrive_and_wait();
      if (t % 2 == 0) {  // half reach the registry first, as a band submission does
        registries[t] = Registry::instance();
      }
      controls[t] = Control::instance();
      registries[t] = Registry::instance();
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  const auto created = platform::os_objects_created();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(controls[t], controls[0]);
    EXPECT_EQ(registries[t], registries[0]);
  }
  EXPECT_EQ(controls[0]->get_registry(), registries[0]);
  EXPECT_EQ(dispatchers(), std::make_pair(1L, 1));
  EXPECT_EQ(Quorl_cnv_pvgen_get_page_id(), 1);
  ControlTestAccess::set_next_page_id(*controls[0], 0x7FFFFFFE);
  EXPECT_EQ(Quorl_cnv_pvgen_get_page_id(), 0x7FFFFFFE);
  EXPECT_EQ(Quorl_cnv_pvgen_get_page_id(), 1);  // the largest, then 1 again
  EXPECT_EQ(insert_prepare(registries[0]), 1u);
  EXPECT_EQ(insert_prepare(registries[0]), 2u);

  Control::release();
  EXPECT_EQ(dispatchers(), std::make_pair(1L, 0));  // ended and joined
  const auto released = platform::os_objects_created();
  Control* ctrl = Control::instance();
  const auto recreated = platform::os_objects_created();
  EXPECT_EQ(recreated.mutexes - released.mutexes, created.mutexes - at_start.mutexes);
  EXPECT_EQ(recreated.events - released.events, created.events - at_start.events);
  EXPECT_EQ(ctrl->get_page_id(), 1);
  EXPECT_EQ(ctrl->get_registry(), Registry::instance());
  EXPECT_EQ(insert_prepare(ctrl->get_registry()), 1u);
  EXPECT_EQ(dispatchers(), std::make_pair(2L, 1));
  pvgen_test::Capture capture;  // the diagnostic command reaches the new registry
  EXPECT_TRUE(platform::send_diagnostic_command("PVGEN"));
  EXPECT_EQ(platform::receiver_lines().at(0), "QUORL: list_num = 1\n");
}

// An entry of a kind the dispatcher does not know is reported (one notification) on every
// pass and left in the list, so the notifications count the passes. Holding the list keeps
// the dispatcher between its wake-up and its pass while two more wake-ups arrive: they
// must give exactly one more pass, after which the dispatcher sleeps.
TEST(FoundationControl, WakeUpsDuringAPassGiveExactlyOneMorePass) {
  pvgen_test::Capture capture;
  Registry* reg = Registry::instance();
  QUORL_CNV_PVGEN_BLK blk = pvgen_test::make_block(1);
  reg->req_list_insert(7, blk, nullptr);
  Control* ctrl = Control::instance();
  const pid_t dispatcher = pvgen_test::tid_named("quorl_pvgen_ctr");
  ASSERT_NE(dispatcher, 0);

  reg->req_list_lock();
  ctrl->ctrl_signal();
  while (ControlTestAccess::wake_up_pending(*ctrl)) {
    std::this_thread::yield();  // until the dispatcher took the wake-up
  }
  ctrl->ctrl_signal();
  ctrl->ctrl_signal();
  reg->req_list_unlock();
  while (platform::notifications().size() < 2 || pvgen_test::thread_state(dispatcher) != 'S') {
    std::this_thread::yield();
  }
  Control::release();  // joins the dispatcher: a pass under way is finished and counted
  EXPECT_EQ(platform::notifications().size(), 2u);
}

// A signal while nothing is listed that a pass could act on leaves the sleeping dispatcher
// asleep (it would only find the flag and sleep again); the flag stays set, and once an
// entry is listed the next signal wakes it for a pass.
TEST(FoundationControl, ASignalWithNothingPendingLeavesTheDispatcherAsleep) {
  pvgen_test::Capture capture;
  Registry* reg = Registry::instance();
  Control* ctrl = Control::instance();
  const pid_t dispatcher = pvgen_test::tid_named("quorl_pvgen_ctr");
  ASSERT_NE(dispatcher, 0);
  while (pvgen_test::thread_state(dispatcher) != 'S') {
    std::this_thread::yield();
  }
  const long asleep = pvgen_test::voluntary_switches(dispatcher);
  for (int i = 0; i < 100; ++i) {
    ctrl->ctrl_signal();
  }
  // Time for a wrongly woken dispatcher to run and sleep again (each would count).
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(pvgen_test::voluntary_switches(dispatcher), asleep);
  EXPECT_TRUE(ControlTestAccess::wake_up_pending(*ctrl));
  EXPECT_TRUE(platform::notifications().empty());

  // An entry of a kind the dispatcher does not know is reported on every pass.
  QUORL_CNV_PVGEN_BLK blk = pvgen_test::make_block(1);
  reg->req_list_insert(7, blk, nullptr);
  ctrl->ctrl_signal();
  while (platform::notifications().empty()) {
    std::this_thread::yield();
  }
  EXPECT_GT(pvgen_test::voluntary_switches(dispatcher), asleep);
}
