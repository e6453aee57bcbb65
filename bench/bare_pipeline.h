// The floor of the library's design on this machine: the same three threads (a submitting
// thread, a dispatching thread, a reporting thread) passing bands through the same platform
// primitives (the OS wrapper's mutex and event) and the same driver calls (a band command
// and a wait on /dev/mfp_pvgen) to the engine, at most two bands on the engine, with no
// request list, no validation and no channel state. A band is one word in a ring.
//
// Threads and locks, as in the library: `list` guards the ring of submitted bands and the
// count on the engine; the dispatcher holds it around its band commands as the library holds
// its list lock, and the reporter takes it after each wait to take its band off the engine.
// `queue` (a leaf lock, like a channel's queue mutex) guards the reporter's job count.
// Wake-ups: a flag and an event for the dispatcher (several wake-ups, one pass), an event
// for the reporter.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "osw.h"

namespace bench {

class BarePipeline {
 public:
  // Opens the engine and starts the dispatching and reporting threads, which serve every
  // run() until the pipeline is destroyed (as the library's threads serve every page).
  BarePipeline();
  ~BarePipeline();
  BarePipeline(const BarePipeline&) = delete;
  BarePipeline& operator=(const BarePipeline&) = delete;

  // Runs `total` bands and returns once the last one is reported; with `chained`, two are
  // submitted at the start and each report submits the next one from the reporting thread
  // (as a callback does); otherwise all are submitted up front by the caller's thread. False
  // if the engine refused a band or could not be opened.
  bool run(int total, bool chained);

 private:
  void submit();  // any thread: one band into the ring, wakes the dispatcher
  void dispatcher();
  void reporter();
  void wake_dispatcher();

  // Set by run() before its first band is submitted (the submission's lock and wake-up
  // hand them to the other threads).
  int total_ = 0;
  bool chained_ = false;
  int fd_ = -1;

  OSW_Mutex_Semaphore list_{1};
  std::vector<uint32_t> ring_;  // submitted bands (their job ids), guarded by list_
  size_t head_ = 0;             // next to dispatch, guarded by list_
  size_t tail_ = 0;             // next free, guarded by list_
  int on_engine_ = 0;           // guarded by list_
  OSW_Mutex_Semaphore queue_{1};
  int jobs_ = 0;  // bands commanded and not yet reported, guarded by queue_

  std::atomic<int> submitted_{0};
  std::atomic<int> reported_{0};
  std::atomic<int> failed_{0};
  std::atomic<bool> stopping_{false};
  int32_t wake_flag_ = 0;  // relaxed atomic
  OSW_Event_Semaphore wake_{0};
  OSW_Event_Semaphore work_{0};
  OSW_Event_Semaphore done_{0};
  std::thread dispatcher_thread_;
  std::thread reporter_thread_;
};

}  // namespace bench
