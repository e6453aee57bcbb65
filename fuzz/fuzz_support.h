// Shared by the fuzz targets: failing an input with a message, a watchdog that fails an
// input whose calls stop returning, and a recorder of callback records.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quorl_cnv_pvgen.h"

namespace fuzz {

// Fails the input: the message goes to stderr, abort() makes libFuzzer save the input.
[[noreturn]] inline void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void fail(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::fputs("FUZZ ORACLE: ", stderr);
  std::vfprintf(stderr, format, ap);
  std::fputc('\n', stderr);
  va_end(ap);
  std::abort();
}

#define FUZZ_CHECK(cond, ...)                                         \
  do {                                                                \
    if (!(cond)) {                                                    \
      std::fprintf(stderr, "FUZZ ORACLE: check failed: %s\n", #cond); \
      ::fuzz::fail(__VA_ARGS__);                                      \
    }                                                                 \
  } while (0)

// Re-tests a condition other threads bring about, for at most `ms`.
inline bool eventually(const std::function<bool()>& holds, int ms = 10000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!holds()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return holds();
    }
    std::this_thread::yield();
  }
  return true;
}

// Fails the input when it is armed for longer than its limit: `describe` prints what the
// calls wait for, then the process aborts (libFuzzer saves the input as a crash).
class Watchdog {
 public:
  explicit Watchdog(std::function<void()> describe) : describe_(std::move(describe)) {
    std::thread([this] { loop(); }).detach();  // lives as long as the process
  }
  void arm(int seconds, std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    what_ = std::move(what);
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    armed_ = true;
  }
  void note(std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    what_ = std::move(what);
  }
  void disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    armed_ = false;
  }

 private:
  void loop() {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::string what;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!armed_ || std::chrono::steady_clock::now() < deadline_) {
          continue;
        }
        what = what_;
      }
      std::fprintf(stderr, "FUZZ WATCHDOG: no progress, waiting in: %s\n", what.c_str());
      describe_();
      std::abort();
    }
  }
  std::function<void()> describe_;
  std::mutex mutex_;
  std::string what_;
  std::chrono::steady_clock::time_point deadline_{};
  bool armed_ = false;
};

// Callback records in delivery order, with the delivering thread.
struct Record {
  QUORL_CNV_PVGEN_RESULT_INFO info;
  pthread_t thread;
};
struct Recorder {
  std::mutex mutex;
  std::vector<Record> all;
  std::vector<Record> take() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Record> out;
    out.swap(all);
    return out;
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return all.size();
  }
};
// Never destroyed: a worker may be in the callback when the process exits.
inline Recorder& recorder = *new Recorder;
inline void record_cb(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  std::lock_guard<std::mutex> lock(recorder.mutex);
  recorder.all.push_back({*info, pthread_self()});
}

}  // namespace fuzz
