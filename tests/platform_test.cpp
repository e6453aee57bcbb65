// Host platform: locks, events, guards, framework threads, tracing and the diagnostic
// command path.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "norvane/framework.h"
#include "osw.h"
#include "platform_capture.h"

namespace {

// ---- Mutex ----

TEST(OswMutex, IsReentrantAndOwnedByOneThread) {
  OSW_Mutex_Semaphore mutex(1);
  EXPECT_FALSE(mutex.held_by_caller());
  EXPECT_EQ(mutex.release(), -1);  // not held at all
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(mutex.request(OSW_WAIT_FOREVER), 0);
  }
  EXPECT_TRUE(mutex.held_by_caller());

  std::atomic<bool> other_got_it{false};
  std::thread other([&] {
    EXPECT_FALSE(mutex.held_by_caller());
    EXPECT_EQ(mutex.release(), -1);  // a thread that does not hold it cannot release it
    mutex.request(OSW_WAIT_FOREVER);
    other_got_it = true;
    mutex.release();
  });
  // Two of three levels given back: still held, the other thread still waits.
  EXPECT_EQ(mutex.release(), 0);
  EXPECT_EQ(mutex.release(), 0);
  EXPECT_TRUE(mutex.held_by_caller());
  EXPECT_FALSE(other_got_it);
  EXPECT_EQ(mutex.release(), 0);
  other.join();
  EXPECT_TRUE(other_got_it);
  EXPECT_FALSE(mutex.held_by_caller());
  EXPECT_EQ(mutex.release(), -1);
}

TEST(OswMutex, CreatedHeldAndDestroyedHeldByOwner) {
  auto* mutex = new OSW_Mutex_Semaphore(0);
  EXPECT_TRUE(mutex->held_by_caller());
  mutex->request(OSW_WAIT_FOREVER);
  delete mutex;  // a mistake, but it must not bring the process down
}

TEST(OswMutex, ExcludesUnderContention) {
  OSW_Mutex_Semaphore mutex(1);
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  long counter = 0;  // plain: only the mutex orders the accesses
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        OSW_Guard outer(mutex);
        OSW_Guard inner(mutex);  // re-entered while contended
        if (inside.fetch_add(1, std::memory_order_relaxed) != 0) {
          overlap = true;
        }
        ++counter;
        inside.fetch_sub(1, std::memory_order_relaxed);
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_FALSE(overlap);
  EXPECT_EQ(counter, long{kThreads} * kRounds);
  EXPECT_FALSE(mutex.held_by_caller());
}

// The process-wide guard is usable during static initialisation (singletons may be
// created from static constructors) and re-entrant.
bool g_guard_worked_at_static_init = [] {
  OSW_Thread_Guard outer;
  OSW_Thread_Guard inner;
  return true;
}();

TEST(OswThreadGuard, WorksAtStaticInitAndExcludes) {
  EXPECT_TRUE(g_guard_worked_at_static_init);
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        OSW_Thread_Guard guard;
        ++counter;
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(counter, 15000);
}

// ---- Event ----

TEST(OswEvent, CountsPostsMadeBeforeAndAfterWaiting) {
  OSW_Event_Semaphore event(0);
  constexpr int kPosts = 1000;
  for (int i = 0; i < kPosts; ++i) {
    event.post();  // nobody waits yet: every post must be remembered
  }
  std::atomic<int> taken{0};
  std::thread waiter([&] {
    for (int i = 0; i < kPosts + 1; ++i) {
      EXPECT_EQ(event.wait(OSW_WAIT_FOREVER), 0);
      ++taken;
    }
  });
  while (taken < kPosts) {
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(taken, kPosts);  // no post left for the last wait: it must still sleep
  event.post();
  waiter.join();
  EXPECT_EQ(taken, kPosts + 1);

  OSW_Event_Semaphore primed(3);
  for (int i = 0; i < 3; ++i) {
    primed.wait(OSW_WAIT_FOREVER);
  }
}

// Pairs of threads bounce a token through two events while several producers and
// consumers share a third; a lost post hangs the test. The plain `value` checks that a
// post happens before the wait that takes it.
TEST(OswEvent, ManyThreadsPingPongAndShare) {
  constexpr int kPairs = 3;
  constexpr int kRounds = 5000;
  struct Pair {
    OSW_Event_Semaphore ping{0}, pong{0};
    int value = 0;
  };
  std::vector<Pair> pairs(kPairs);
  std::vector<std::thread> threads;
  for (auto& p : pairs) {
    threads.emplace_back([&p] {
      for (int i = 0; i < kRounds; ++i) {
        p.value = 2 * i + 1;
        p.ping.post();
        p.pong.wait(OSW_WAIT_FOREVER);
        EXPECT_EQ(p.value, 2 * i + 2);
      }
    });
    threads.emplace_back([&p] {
      for (int i = 0; i < kRounds; ++i) {
        p.ping.wait(OSW_WAIT_FOREVER);
        EXPECT_EQ(p.value, 2 * i + 1);
        p.value = 2 * i + 2;
        p.pong.post();
      }
    });
  }
  OSW_Event_Semaphore shared(0);
  std::atomic<int> consumed{0};
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        shared.post();
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        shared.wait(OSW_WAIT_FOREVER);
        ++consumed;
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_EQ(consumed, 2 * kRounds);
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

// ---- Controller ----

std::vector<std::string> thread_comms() {
  std::vector<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) {
      names.push_back(name);
    }
  }
  return names;
}

// Blocks in process() until released; records what process saw.
struct Blocker : norvane::ControllerThread {
  OSW_Event_Semaphore go{0};
  std::atomic<void*> seen_arg{nullptr};
  std::atomic<int> self_join{0};
  void process(void* arg) override {
    seen_arg = arg;
    self_join = norvane::Controller::instance()->join(*this);
    go.wait(OSW_WAIT_FOREVER);
  }
};

TEST(Controller, NamesStartsAndJoinsThreads) {
  auto* ctl = norvane::Controller::instance();
  EXPECT_EQ(ctl, norvane::Controller::instance());
  Blocker blocker;
  EXPECT_EQ(ctl->join(blocker), -1);  // nothing started for it
  int arg = 0;
  ASSERT_EQ(ctl->add(blocker, &arg, "quorl_pvgen_ctrl"), 0);
  ASSERT_EQ(ctl->add(blocker, &arg, "quorl_pvgen_ctrl"), 0);
  const auto comms = thread_comms();
  EXPECT_EQ(std::count(comms.begin(), comms.end(), "quorl_pvgen_ctr"), 2);
  EXPECT_EQ(ctl->running_threads("quorl_pvgen_ctrl"), 2);
  EXPECT_EQ(ctl->running_threads("quorl_pvgen_ctr"), 0);  // counted by full name
  EXPECT_EQ(ctl->running_threads(), 2);
  const auto started = platform::started_thread_names();
  EXPECT_EQ(std::count(started.begin(), started.end(), "quorl_pvgen_ctrl"), 2);

  std::thread joiner([&] { EXPECT_EQ(ctl->join(blocker), 0); });
  blocker.go.post();
  blocker.go.post();
  joiner.join();
  EXPECT_EQ(ctl->running_threads(), 0);
  EXPECT_EQ(blocker.seen_arg, &arg);
  EXPECT_EQ(blocker.self_join, -1);
  EXPECT_EQ(ctl->join(blocker), 0);  // already ended: nothing left to wait for
}

// A framework thread still running when the process exits must not meet destroyed
// platform objects. Kept on the heap so that no destructor runs at exit.
Blocker* g_left_running = nullptr;

TEST(Controller, ProcessExitsWhileThreadRuns) {
  g_left_running = new Blocker;
  ASSERT_EQ(norvane::Controller::instance()->add(*g_left_running, nullptr, "left_running"), 0);
}

// ---- Tracing, notification, diagnostics ----

void receiver_printf(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  norvane::UCOM_UsrCommandReceiver::uc_trace(tag, format, args);
  va_end(args);
}

TEST(Capture, KeepsLinesInCallOrder) {
  emwGENTrcPrintf(0x5503, 0x102, 0, "before capture %d\n", 0);
  platform::capture_begin();
  emwGENTrcPrintf(0x5503, 0x102, 0, "quorl(%d/%d) error. = %ld\n", 2, 1, -5L);
  utl_lib_svccall_notify(0xF23C, 3, 0, "control.cpp", "param_check", 42);
  emwGENTrcPrintf(1, 2, 3, "%s", std::string(600, 'x').c_str());  // longer than any buffer
  utl_lib_svccall_notify(0xF23C, 10, 0, "channel.cpp", "wait", 7);
  receiver_printf("QUORL", "list_num = %d\n", 4);

  const auto lines = platform::trace_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "quorl(2/1) error. = -5\n");
  EXPECT_EQ(lines[0].module * 0x1000 + lines[0].level, 0x5503 * 0x1000 + 0x102);
  EXPECT_EQ(lines[1].text, std::string(600, 'x'));
  EXPECT_EQ(lines[1].zero, 3);
  const auto notes = platform::notifications();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].kind, 0xF23C);
  EXPECT_EQ(notes[0].file + ":" + notes[0].function + ":" + std::to_string(notes[0].line) + ":" +
                std::to_string(notes[0].code),
            "control.cpp:param_check:42:3");
  EXPECT_EQ(notes[1].code, 10);
  EXPECT_EQ(platform::receiver_lines(), std::vector<std::string>{"QUORL: list_num = 4\n"});

  platform::capture_end();
  emwGENTrcPrintf(0x5503, 0x102, 0, "after capture\n");
  EXPECT_EQ(platform::trace_lines().size(), 2u);  // kept lines stay, new ones go out
  platform::capture_begin();
  EXPECT_TRUE(platform::trace_lines().empty());
  EXPECT_TRUE(platform::notifications().empty());
  EXPECT_TRUE(platform::receiver_lines().empty());
}

struct Module : norvane::quorl_commonmethod {
  int prints = 0;
  void log_print() override {
    ++prints;
    receiver_printf("QUORL", "prints = %d\n", prints);
  }
};

TEST(Diagnostics, CommandReachesTheModuleRegisteredLast) {
  platform::capture_begin();
  auto* receiver = norvane::quorl_usr_command_receiver_impl::instance();
  Module first, second;
  EXPECT_EQ(receiver->module_list_insert("PVGEN", &first), 0);
  EXPECT_TRUE(platform::send_diagnostic_command("PVGEN"));
  EXPECT_EQ(receiver->module_list_insert("PVGEN", &second), 0);
  EXPECT_TRUE(platform::send_diagnostic_command("PVGEN"));
  EXPECT_TRUE(platform::send_diagnostic_command("PVGEN"));
  EXPECT_FALSE(platform::send_diagnostic_command("NOPE"));
  EXPECT_EQ(first.prints, 1);
  EXPECT_EQ(second.prints, 2);
  EXPECT_EQ(platform::module_names(), std::vector<std::string>{"PVGEN"});
  EXPECT_EQ(platform::receiver_lines(),
            (std::vector<std::string>{"QUORL: prints = 1\n", "QUORL: prints = 1\n",
                                      "QUORL: prints = 2\n"}));
}

TEST(Diagnostics, DestroyedModuleLeavesTheReceiver) {
  auto* receiver = norvane::quorl_usr_command_receiver_impl::instance();
  {
    Module gone;
    receiver->module_list_insert("PVGEN", &gone);
    EXPECT_TRUE(platform::send_diagnostic_command("PVGEN"));
  }
  EXPECT_FALSE(platform::send_diagnostic_command("PVGEN"));
  EXPECT_TRUE(platform::module_names().empty());
}

TEST(TracePoints, RecordOrderThreadAndTime) {
  Module module;
  platform::trace_points_clear();
  module.trace_set(4, 0x424, 1);
  std::thread other([&] { module.trace_set(32, 4, 0); });
  const pthread_t other_id = other.native_handle();
  other.join();
  module.trace_set(64, 0x602, 1);

  const auto points = platform::trace_points();
  ASSERT_EQ(points.size(), 3u);
  EXPECT_EQ(points[0].category, 4);
  EXPECT_EQ(points[0].code, 0x424);
  EXPECT_EQ(points[0].flag, 1);
  EXPECT_TRUE(pthread_equal(points[0].thread, pthread_self()));
  EXPECT_EQ(points[1].category, 32);
  EXPECT_EQ(points[1].flag, 0);
  EXPECT_TRUE(pthread_equal(points[1].thread, other_id));
  EXPECT_EQ(points[2].code, 0x602);
  EXPECT_LE(points[0].time_ns, points[1].time_ns);
  EXPECT_LE(points[1].time_ns, points[2].time_ns);

  int info_a = 0, info_b = 0;
  module.page_info_list_insert(reinterpret_cast<QUORL_PAGE_INFO*>(&info_a));
  module.page_info_list_insert(reinterpret_cast<QUORL_PAGE_INFO*>(&info_b));
  const auto infos = platform::page_infos();
  ASSERT_GE(infos.size(), 2u);
  EXPECT_EQ(infos[infos.size() - 2], reinterpret_cast<QUORL_PAGE_INFO*>(&info_a));
  EXPECT_EQ(infos.back(), reinterpret_cast<QUORL_PAGE_INFO*>(&info_b));
}

TEST(TracePoints, RingKeepsTheLatestWhileRead) {
  Module module;
  platform::trace_points_clear();
  const size_t capacity = platform::trace_ring_capacity();
  const size_t total = capacity + 100;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      EXPECT_LE(platform::trace_points().size(), capacity);
    }
  });
  for (size_t i = 0; i < total; ++i) {
    module.trace_set(1, static_cast<unsigned short>(i), 0);
  }
  done = true;
  reader.join();
  const auto points = platform::trace_points();
  ASSERT_EQ(points.size(), capacity);
  for (size_t i = 0; i < points.size(); i += 997) {
    EXPECT_EQ(points[i].code, static_cast<unsigned short>(i + 100));
  }
  EXPECT_EQ(points.back().code, static_cast<unsigned short>(total - 1));
  platform::trace_points_clear();
  EXPECT_TRUE(platform::trace_points().empty());
}

}  // namespace
