// Host platform: locks, events, framework threads, tracing and the diagnostic command path.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "norvane/framework.h"
#include "osw.h"
#include "platform_capture.h"
#include "support/thread_probe.h"

namespace {

template <typename Body>
void run_threads(int n, Body body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) {
    threads.emplace_back(body, t);
  }
  for (auto& t : threads) {
    t.join();
  }
}

// This test takes the mutex again while holding it and releases it from a thread that does
// not hold it, on purpose: clang's thread-safety analysis knows no re-entrant locks and would
// reject both, so it is off for this test alone.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif
TEST(OswMutex, IsReentrantOwnedByOneThreadAndExcludes) {
  OSW_Mutex_Semaphore mutex(1);
  EXPECT_EQ(mutex.request(OSW_WAIT_FOREVER), 0);
  EXPECT_EQ(mutex.request(OSW_WAIT_FOREVER), 0);
  std::atomic<pid_t> tid{0};
  std::atomic<bool> got_it{false};
  std::thread other([&] {
    tid = pvgen_test::this_tid();
    EXPECT_EQ(mutex.release(), -1);  // a thread that does not hold it cannot release it
    mutex.request(OSW_WAIT_FOREVER);
    got_it = true;
    mutex.release();
  });
  EXPECT_EQ(mutex.release(), 0);  // one of two levels given back: still held
  while (tid == 0) {
    std::this_thread::yield();
  }
  EXPECT_TRUE(pvgen_test::sleeps_before(tid, got_it));
  EXPECT_EQ(mutex.release(), 0);
  other.join();

  long counter = 0;  // plain: only the mutex orders the accesses
  run_threads(4, [&](int) {
    for (int i = 0; i < 20000; ++i) {
      OSW_Guard outer(mutex);
      OSW_Guard inner(mutex);  // re-entered while contended
      ++counter;
    }
  });
  EXPECT_EQ(counter, 80000);
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// Posts made before anyone waits are counted; a lost post anywhere hangs the test.
TEST(OswEvent, PostsAreCountedAndNeverLost) {
  OSW_Event_Semaphore event(0);
  for (int i = 0; i < 1000; ++i) {
    event.post();
  }
  for (int i = 0; i < 1000; ++i) {
    event.wait(OSW_WAIT_FOREVER);
  }
  EXPECT_TRUE(pvgen_test::wait_sleeps(event));  // no post left over

  // Threads 0-2 pass a token round a ring of events; 3-6 post and wait on `event`.
  constexpr int kRounds = 5000;
  std::vector<OSW_Event_Semaphore> ring(3);
  int token = 0;  // plain: a post must happen before the wait that takes it
  ring[0].post();
  run_threads(7, [&](int t) {
    for (int i = 0; i < kRounds; ++i) {
      if (t < 3) {
        ring[t].wait(OSW_WAIT_FOREVER);
        ++token;
        ring[(t + 1) % 3].post();
      } else {
        t % 2 == 0 ? event.post() : event.wait(OSW_WAIT_FOREVER);
      }
    }
  });
  EXPECT_EQ(token, 3 * kRounds);
}

// A waiter may destroy its event as soon as its wait returns, while the poster is still
// inside post(); under the address sanitizer a post that touches the cell afterwards fails.
TEST(OswEvent, WaiterMayDestroyEventRightAfterWait) {
  for (int i = 0; i < 2000; ++i) {
    auto* event = new OSW_Event_Semaphore(0);
    std::thread poster([event] { event->post(); });
    event->wait(OSW_WAIT_FOREVER);
    delete event;
    poster.join();
  }
}

struct Blocker : norvane::ControllerThread {
  OSW_Event_Semaphore go{0};
  std::atomic<void*> seen_arg{nullptr};
  void process(void* arg) override {
    seen_arg = arg;
    go.wait(OSW_WAIT_FOREVER);
  }
};

TEST(Controller, NamesStartsAndJoinsThreads) {
  auto* ctl = norvane::Controller::instance();
  Blocker blocker;
  int arg = 0;
  ASSERT_EQ(ctl->add(blocker, &arg, "quorl_pvgen_ctrl"), 0);
  ASSERT_EQ(ctl->add(blocker, &arg, "quorl_pvgen_ctrl"), 0);
  EXPECT_NE(pvgen_test::tid_named("quorl_pvgen_ctr"), 0);  // Linux keeps 15 characters
  EXPECT_EQ(ctl->running_threads("quorl_pvgen_ctrl"), 2);  // counted by full name
  std::thread joiner([&] { EXPECT_EQ(ctl->join(blocker), 0); });
  blocker.go.post();
  blocker.go.post();
  joiner.join();  // returns only once both threads have ended
  EXPECT_EQ(ctl->running_threads(), 0);
  EXPECT_EQ(blocker.seen_arg, &arg);
}

void receiver_printf(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  norvane::UCOM_UsrCommandReceiver::uc_trace(tag, format, args);
  va_end(args);
}

TEST(Capture, KeepsLinesInCallOrder) {
  platform::capture_begin();
  emwGENTrcPrintf(0x5503, 0x102, 0, "quorl(%d/%d) error. = %ld\n", 2, 1, -5L);
  utl_lib_svccall_notify(0xF23C, 3, 0, "control.cpp", "param_check", 42);
  emwGENTrcPrintf(1, 2, 3, "%s", std::string(600, 'x').c_str());  // longer than any buffer
  utl_lib_svccall_notify(0xF23C, 10, 0, "channel.cpp", "wait", 7);
  receiver_printf("QUORL", "list_num = %d\n", 4);
  platform::capture_end();
  emwGENTrcPrintf(0x5503, 0x102, 0, "after capture\n");

  const auto lines = platform::trace_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "quorl(2/1) error. = -5\n");
  EXPECT_EQ(lines[1].text, std::string(600, 'x'));
  const auto notes = platform::notifications();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].function + ":" + std::to_string(notes[0].line), "param_check:42");
  EXPECT_EQ(notes[1].code, 10);
  EXPECT_EQ(platform::receiver_lines(), std::vector<std::string>{"QUORL: list_num = 4\n"});
}

struct Module : norvane::quorl_commonmethod {
  int prints = 0;
  void log_print() override { receiver_printf("QUORL", "prints = %d\n", ++prints); }
};

TEST(Diagnostics, CommandReachesTheModuleRegisteredLastUntilItIsDestroyed) {
  platform::capture_begin();
  auto* receiver = norvane::quorl_usr_command_receiver_impl::instance();
  Module first;
  {
    Module second;
    receiver->module_list_insert("PVGEN", &first);
    EXPECT_TRUE(platform::send_diagnostic_command("PVGEN"));
    receiver->module_list_insert("PVGEN", &second);
    EXPECT_TRUE(platform::send_diagnostic_command("PVGEN"));
  }
  EXPECT_FALSE(platform::send_diagnostic_command("PVGEN"));  // the module left with it
  EXPECT_EQ(platform::receiver_lines(),
            (std::vector<std::string>{"QUORL: prints = 1\n", "QUORL: prints = 1\n"}));
}

TEST(TracePoints, RingKeepsTheLatest) {
  Module module;
  const size_t capacity = platform::trace_ring_capacity();
  for (size_t i = 0; i < capacity + 100; ++i) {
    module.trace_set(1, static_cast<unsigned short>(i), 0);
  }
  const auto points = platform::trace_points();
  ASSERT_EQ(points.size(), capacity);
  EXPECT_EQ(points.front().code, 100);  // the oldest kept
  EXPECT_EQ(points.back().code, static_cast<unsigned short>(capacity + 99));
}

}  // namespace
