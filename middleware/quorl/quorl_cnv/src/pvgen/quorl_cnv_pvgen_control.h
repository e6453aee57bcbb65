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
//   ctrl_event carries the wake-up itself, posted by ctrl_signal() only when the registry's
//   pass index holds an entry (its count, read without the list mutex) or the teardown has
//   begun. stop_mutex serialises stops (alone, before request_mutex). retiring is written
//   under request_mutex by the teardown and read by submissions under it, by the dispatcher
//   after each wake-up, and by ctrl_signal() (relaxed).
//   s_inside_ counts the threads inside a submission (atomic, process-wide so that a thread
//   leaving the library never touches a control that the teardown may already have freed).
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "norvane/framework.h"
#include "osw.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_observer.h"
#include "quorl_cnv_pvgen_records.h"
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
  // Brings the library to rest and destroys it. Requests still queued end (-4 for a
  // prepare, -3 otherwise) and their callers return; jobs already handed to the engine are
  // reported first. See ~quorl_cnv_pvgen_control for the order. A later instance() starts
  // afresh. Not from a callback, and not while another thread may still start a call.
  static void release();

  void init();

  // Teardown, in this order: refuse new submissions; end and join the dispatcher; let each
  // channel's worker report what the engine already has and join it; wake every
  // synchronous caller still waiting; wait until every caller has left the library; then
  // destroy the registry, the channels and the control's own objects.
  ~quorl_cnv_pvgen_control() override;

  int32_t get_page_id();
  int device_check(unsigned long asic, unsigned long module, unsigned long channel);

  // The order of these two declarations is the order of their slots in the control's own
  // virtual table (after the destructor and process), which programs built against this
  // class call through: ctrl_wait, then ctrl_signal. Keep it.
  void ctrl_wait() override;
  void ctrl_signal() override;

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

  // "No band of this page can get a channel in this pass, and none of them ends": once one
  // band of the page found no channel while a channel holds the page, and no channel takes
  // bands of the page on any plane, so do the bands of the page after it, until the pass
  // acts on something else.
  struct band_memo {
    bool valid = false;
    int32_t page_id = 0;
    bool holds(const QUORL_CNV_PVGEN_LIST_BLK& entry) const {
      return valid && entry.request == QUORL_CNV_PVGEN_REQ_BAND_EXE && entry.page_id != 0 &&
             entry.page_id == page_id;
    }
    // For a run of bands of `page`.
    bool holds_page(int32_t page) const { return valid && page == page_id; }
  };
  // One dispatcher pass; the list mutex is held by the caller.
  void dispatch_pass() REQUIRES(registry->list_mutex());
  // The pass's work on one entry, in list order: every pending plane of it, as far as the
  // entry's kind and the channels allow. `memo` (null: none) carries what bands of a page
  // found earlier in the pass. Returns true when the entry was erased.
  bool dispatch_entry(QUORL_CNV_PVGEN_LIST_BLK* entry, band_memo* memo)
      REQUIRES(registry->list_mutex());
  // Dispatcher: a channel whose worker still has jobs of the page queued (a failed band
  // ends its page at once, with later bands of it still on the channel; ended bands wait
  // for their report). A stop whose page no channel holds waits for them, because its
  // clean-up would free entries the worker still uses.
  bool jobs_of_page_queued(int32_t page_id) REQUIRES(registry->list_mutex())
      EXCLUDES(channel_list_mutex);
  // Dispatcher: ends a band that can never start (-3): a synchronous caller is posted, a
  // callback is reported by a worker. Returns true when, with no worker left to report it,
  // the entry was erased.
  bool end_band(QUORL_CNV_PVGEN_LIST_BLK* entry, int plane) REQUIRES(registry->list_mutex())
      EXCLUDES(channel_list_mutex);
  // Dispatcher, for a band of a page (`mode` 1) that found no channel: whether a channel
  // still holds the page in any state but the error state (so that the band waits), and
  // whether one of them takes bands of the page on some plane (so that another band of the
  // page, pending on another plane, may still get it in this pass).
  struct page_hold {
    bool held = false;
    bool takes_bands = false;
  };
  page_hold band_page_hold(int32_t page_id) EXCLUDES(channel_list_mutex);
  // Dispatcher, for a waiting prepare that found no channel: whether a channel it may get
  // can still become free (one that is not in the error state).
  bool channel_can_become_free(const QUORL_CNV_PVGEN_BLK& blk) EXCLUDES(channel_list_mutex);
  // Dispatcher: the channel whose worker reports bands that ended without a channel; null
  // when no worker runs any more.
  quorl_cnv_pvgen_channel* reporter() EXCLUDES(channel_list_mutex);
  // The channels holding a page and the binding they hold it with, taken when a stop marks
  // the page (list mutex held).
  struct Holder {
    quorl_cnv_pvgen_channel* channel;
    uint32_t binding;
    uint32_t jobs_mark;
  };
  // Stop's drain: waits until each channel that held the page when the stop marked it has
  // let go of that binding and reported its jobs, or is in the error state with an empty
  // queue, or has lost its worker.
  void drain_page(int32_t page_id, const std::vector<Holder>& holders) EXCLUDES(channel_list_mutex);
  int submit(int request, QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* obs);
  // A submission refused because the library is being released: -3, nothing queued.
  int refuse_released(int request, QUORL_CNV_PVGEN_BLK& work);

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

  friend class InsideScope;
  static int32_t s_inside_;     // threads inside a submission
  static int32_t s_releasing_;  // 1 while a release waits for them to leave

  static quorl_cnv_pvgen_control* s_instance_;
  static OSW_Mutex_Semaphore* s_inst_msem_;
};

}  // namespace norvane
