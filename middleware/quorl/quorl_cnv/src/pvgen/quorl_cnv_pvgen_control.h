// The control singleton: page identifiers, request submission and validation, channel
// selection, and the dispatcher thread "quorl_pvgen_ctrl".
//
// Threads and locks (outermost first: request_mutex -> registry list mutex ->
// channel_list_mutex -> a channel's queue_mutex/status_mutex):
//   Caller threads: instance(), get_page_id() (page_id_mutex, taken alone), the four
//     submissions (request_mutex from the copy of the caller's block until the list entry is
//     inserted; param_check takes channel_list_mutex inside it; stop's drain takes
//     channel_list_mutex alone and lets it go before each wait on a channel).
//   Dispatcher thread: process() holds the registry's list mutex for a whole pass;
//     get_channel()/channel_create() take channel_list_mutex inside it.
//   Channel workers: ctrl_signal() through quorl_signal.
//   ctrl_flag and channel_created are words shared without a lock (relaxed atomics);
//   ctrl_event carries the wake-up itself. stop_mutex serialises stops (alone, before
//   request_mutex).
#pragma once

#include <cstdint>
#include <list>

#include "norvane/framework.h"
#include "osw.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_observer.h"
#include "quorl_signal.h"
#include "thread_annotations.h"

namespace norvane {

class quorl_cnv_pvgen_commonmethod;
class quorl_cnv_pvgen_channel;

class QUORL_CNV_PVGEN_API quorl_cnv_pvgen_control : public ControllerThread, public quorl_signal {
 public:
  // thread-safe: the control, created on the first call together with the registry and the
  // dispatcher thread.
  static quorl_cnv_pvgen_control* instance();
  // Destroys the control (and with it the registry and the channels). Only when no request
  // is in flight and no other thread is inside the library; the dispatcher and channel
  // worker threads are brought to rest and joined first, so a later instance() starts
  // afresh.
  static void release();

  void init();

  // Destroys the registry, then the channels, then the control's own objects.
  ~quorl_cnv_pvgen_control() override;

  int32_t get_page_id();
  int device_check(unsigned long asic, unsigned long module, unsigned long channel);

  void ctrl_signal() override;
  void ctrl_wait() override;

  int param_check(int request, QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* obs);

  int prepare(QUORL_CNV_PVGEN_BLK& blk);
  int page_start(QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* obs);
  int band_exe(QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* obs);
  int stop(QUORL_CNV_PVGEN_BLK& blk);

  // Dispatcher thread only (the caller holds the registry's list mutex).
  quorl_cnv_pvgen_channel* channel_create(unsigned long asic, unsigned long module,
                                          unsigned long channel) REQUIRES(registry->list_mutex())
      EXCLUDES(channel_list_mutex);
  quorl_cnv_pvgen_channel* get_channel(int plane, int request, QUORL_CNV_PVGEN_BLK& blk)
      REQUIRES(registry->list_mutex()) EXCLUDES(channel_list_mutex);

  // The dispatcher: one pass over the request list per wake-up, until release().
  void process(void* arg) override;

  // For tests and diagnostics: the channels created so far (under channel_list_mutex).
  std::list<quorl_cnv_pvgen_channel*> channels();
  quorl_cnv_pvgen_commonmethod* get_registry() const { return registry; }

 private:
  friend struct ControlTestAccess;  // tests: set the page-identifier counter
  quorl_cnv_pvgen_control();

  // One dispatcher pass; the list mutex is held by the caller.
  void dispatch_pass() REQUIRES(registry->list_mutex());
  // Dispatcher: some channel still works through jobs queued for a page that has already
  // ended (a failed band ends its page at once). A stop whose page no channel holds waits
  // for them, because its clean-up would free entries the worker still uses.
  bool orphaned_jobs() REQUIRES(registry->list_mutex()) EXCLUDES(channel_list_mutex);
  // Stop's drain: waits until no channel holds the page, or until the channel holding it
  // is in the error state (it never lets go of the page) with an empty queue.
  void drain_page(int32_t page_id) EXCLUDES(channel_list_mutex);
  int submit(int request, QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* obs);

  quorl_cnv_pvgen_commonmethod* registry = nullptr;
  std::list<quorl_cnv_pvgen_channel*> channel_list GUARDED_BY(channel_list_mutex);
  OSW_Mutex_Semaphore channel_list_mutex{1};
  int32_t channel_created = 0;
  int32_t page_id_counter GUARDED_BY(page_id_mutex) = 1;
  OSW_Mutex_Semaphore page_id_mutex{1};
  int32_t ctrl_flag = 0;
  OSW_Event_Semaphore ctrl_event{0};
  OSW_Mutex_Semaphore request_mutex{1};
  // Not part of the dispatcher's contract: how the library is brought to rest.
  OSW_Mutex_Semaphore stop_mutex{1};  // serialises stops
  int32_t retiring = 0;               // set by release(); ends the dispatcher's loop

  static quorl_cnv_pvgen_control* s_instance_;
  static OSW_Mutex_Semaphore* s_inst_msem_;
};

}  // namespace norvane
