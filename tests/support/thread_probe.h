// Seeing that another thread has gone to sleep in a wait, by the state Linux reports for it,
// so that tests wait for that state instead of sleeping for a while.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "osw.h"

namespace pvgen_test {

inline pid_t this_tid() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

// The thread of this process named `comm` (as Linux shows it: 15 characters), or 0.
inline pid_t tid_named(const std::string& comm) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "comm");
    std::string name;
    if (std::getline(in, name) && name == comm) {
      return std::stoi(task.path().filename().string());
    }
  }
  return 0;
}

// 'S' while thread `tid` of this process sleeps, 'R' while it runs, '?' once it is gone.
inline char thread_state(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), {});
  const size_t end = stat.rfind(") ");
  return end == std::string::npos ? '?' : stat[end + 2];
}

// Returns once `tid` sleeps (true) or `done` is set (false).
inline bool sleeps_before(pid_t tid, const std::atomic<bool>& done) {
  while (!done && thread_state(tid) != 'S') {
    std::this_thread::yield();
  }
  return !done;
}

// How often thread `tid` has given up the processor by itself (it went to sleep), or -1.
inline long voluntary_switches(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
      return std::stol(line.substr(line.find(':') + 1));
    }
  }
  return -1;
}

// Returns once thread `tid` sleeps in one wait and stays there: seen asleep twice, a few
// milliseconds apart, without having woken in between. A thread that only passes through a
// contended lock on its way to its long wait is not taken for one in it.
inline void settles(pid_t tid) {
  for (;;) {
    const long before = voluntary_switches(tid);
    if (thread_state(tid) == 'S') {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (thread_state(tid) == 'S' && voluntary_switches(tid) == before) {
        return;
      }
    } else {
      std::this_thread::yield();
    }
  }
}

// False when a wait on `event` returns at once: a post was pending, and this took it. True
// when the waiting thread was seen asleep; it is let go with a post of its own.
inline bool wait_sleeps(OSW_Event_Semaphore& event) {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    tid = this_tid();
    event.wait(OSW_WAIT_FOREVER);
    returned = true;
  });
  while (tid == 0) {
    std::this_thread::yield();
  }
  const bool slept = sleeps_before(tid, returned);
  if (slept) {
    event.post();
  }
  waiter.join();
  return slept;
}

}  // namespace pvgen_test
