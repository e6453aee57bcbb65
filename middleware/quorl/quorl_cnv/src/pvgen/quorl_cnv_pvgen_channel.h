// One hardware channel of the engine (an asic, module and channel number): its driver
// descriptor, state word, plane-job queue, page-information record and worker thread
// "quorl_pvgen_ch".
//
// Threads and locks:
//   Dispatcher thread: prepare(), page_start(), band_exe(), stop(), the accessors; always
//     with the registry's list mutex held.
//   The channel's worker thread: process(), wait(), report_page(), report_band().
//   Submitting threads: get_page_id() (validation, stop's drain) and stop_wait().
//   status_mutex guards ch_status only; queue_mutex guards queue only; both are leaf locks,
//     always taken after the registry's list mutex when both are held.
//   page_id, plane, fd and the words of page_info are shared without a lock: they are read
//     and written with relaxed atomics (a reader may see a value about to change).
//   Transitions of ch_status to 0 (the channel becomes free) are made with the registry's
//   list mutex held, so a dispatcher pass never sees a channel become idle half-way.
//   binding and worker_alive are shared without a lock (relaxed atomics): binding is
//   written by the dispatcher under the list mutex, worker_alive by the worker as it ends.
//   Ended bands: a band that can never start (no usable channel holds its page) is still
//   reported on a worker thread. The dispatcher hands it to a channel (end_job), which keeps
//   it beside the plane-job queue, not in it: it is no plane job (it never reaches the
//   engine), so it counts in no channel selection. The worker reports it with -3 without
//   asking the driver, right after the plane jobs that were queued before it was ended
//   (ended_ is guarded by queue_mutex).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "norvane/framework.h"
#include "osw.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_driver.h"
#include "quorl_cnv_pvgen_records.h"
#include "quorl_signal.h"
#include "thread_annotations.h"

// The channel's page-information record (64 bytes), registered with the registry for
// diagnostics and rewritten in place by the channel.
struct QUORL_PAGE_INFO {
  uint32_t asic;           // 0
  uint32_t module;         // 4
  uint32_t channel;        // 8
  uint32_t page_end;       // 12 1 once the page has ended
  uint32_t page_stop;      // 16 1 once the page has been stopped
  uint32_t mode;           // 20
  uint32_t variant;        // 24
  uint32_t type;           // 28
  uint32_t ring_param0;    // 32
  uint32_t ring_param1;    // 36
  uint32_t band_total;     // 40
  uint32_t band_exe_num;   // 44 band commands issued for the page
  uint32_t band_done_num;  // 48 band completions counted for the page
  uint32_t reserved[3];    // 52
};
static_assert(sizeof(QUORL_PAGE_INFO) == 64);
static_assert(offsetof(QUORL_PAGE_INFO, page_end) == 12);
static_assert(offsetof(QUORL_PAGE_INFO, page_stop) == 16);
static_assert(offsetof(QUORL_PAGE_INFO, mode) == 20);
static_assert(offsetof(QUORL_PAGE_INFO, ring_param0) == 32);
static_assert(offsetof(QUORL_PAGE_INFO, band_total) == 40);
static_assert(offsetof(QUORL_PAGE_INFO, band_exe_num) == 44);
static_assert(offsetof(QUORL_PAGE_INFO, band_done_num) == 48);
static_assert(offsetof(QUORL_PAGE_INFO, reserved) == 52);

namespace norvane {

class quorl_cnv_pvgen_commonmethod;

class QUORL_CNV_PVGEN_API quorl_cnv_pvgen_channel : public ControllerThread {
 public:
  // Channel states.
  static constexpr int STATUS_ERROR = -1;
  static constexpr int STATUS_IDLE = 0;
  static constexpr int STATUS_PREPARED = 1;
  static constexpr int STATUS_BAND_PAGE = 2;
  static constexpr int STATUS_PAGE_MODE = 3;
  // Marks a job handed to the worker as an ended band: reported with -3, no driver wait.
  static constexpr int ENDED_JOB = 0x100;

  quorl_cnv_pvgen_channel(quorl_signal* signal, int asic, int module, int channel);
  quorl_cnv_pvgen_channel();  // permanently in the error state; opens and starts nothing
  // Brings the worker to rest (see retire()), closes the driver and destroys the objects.
  ~quorl_cnv_pvgen_channel() override;

  int get_asic();
  int get_module();
  int get_channel();
  int get_plane();
  unsigned long get_page_id();
  int get_ch_status();
  void set_ch_status(int status);  // never leaves -1
  int get_proc_num();
  void prepare(unsigned long page_id);

  void ch_signal();
  void stop_signal();
  void ch_wait();  // worker: until a plane job is queued (or the channel retires)
  // Submitters: until the channel is unbound and its queue empty, or (a channel in the
  // error state keeps its page) until its queue is empty, or until the worker has ended
  // (nothing would ever change any more).
  void stop_wait();
  // Stop's drain: like stop_wait, but only for the binding `binding` of the page and the
  // jobs queued up to `jobs_mark` (jobs_mark() when the stop marked the page): returns as
  // soon as the channel has been bound anew (a page identifier reused while its stop
  // runs), once the binding's page has ended and those jobs are reported, or once the
  // channel is in the error state and those jobs are reported, or its worker has ended.
  void stop_wait(unsigned long page_id, uint32_t binding, uint32_t jobs_mark);
  // How many jobs (plane jobs and ended bands) were ever handed to the worker (a mark for
  // stop_wait), and how many it has taken; each under queue_mutex. Once the count taken
  // reaches a mark, every job handed over before the mark was taken is done: plane jobs are
  // served in order, ended bands in order, and an ended band right after the plane jobs
  // queued before it.
  uint32_t jobs_mark();
  uint32_t jobs_served();

  // Counts prepare() calls: which binding of a page a stop has to wait for.
  uint32_t get_binding() const;
  // thread-safe: false once the worker thread has returned (or was never started).
  bool worker_running() const;
  // Dispatcher (registry list mutex held): hand an ended band to the worker to report.
  void end_job(unsigned long req_no, int plane);
  // A copy of the request numbers of the queued jobs and ended bands (dispatcher, list
  // mutex held).
  std::vector<unsigned long> queued_jobs();

  // Driver commands (dispatcher thread, registry list mutex held). Each returns the
  // outcome it also stores in blk.result: 0 or -5.
  int page_start(unsigned long req_no, int plane, QUORL_CNV_PVGEN_BLK& blk);
  int band_exe(unsigned long req_no, int plane, QUORL_CNV_PVGEN_BLK& blk);
  int stop(QUORL_CNV_PVGEN_BLK& blk);

  // The worker.
  void process(void* arg) override;
  int wait(int plane, QUORL_CNV_PVGEN_RESULT_INFO& info);
  int report_page(int plane, QUORL_CNV_PVGEN_LIST_BLK* entry);
  int report_band(int plane, QUORL_CNV_PVGEN_LIST_BLK* entry);

  // Brings the worker to rest: it serves the jobs already queued (the engine reports them),
  // then returns; this waits for it. Only once nothing queues jobs any more (the dispatcher
  // has ended). Called by the control's teardown and the destructor; idempotent.
  void retire();

  // Diagnostics and tests: a copy of the page-information record, and the descriptor.
  QUORL_PAGE_INFO page_info_snapshot() const;
  int get_fd() const;

 private:
  void command_header(PVGEN_CMD_BLK& cmd, const QUORL_CNV_PVGEN_BLK* blk) const;
  void issue(unsigned short category, uint32_t code, unsigned long request, PVGEN_CMD_BLK& cmd,
             const char* failure_format, int notify_code, const char* function, int line);
  // Ends the page on this channel (worker, after the last report of a page, with the
  // registry's list lock held).
  void end_page() REQUIRES(registry->list_mutex());
  // The worker's loop; process() wraps it and marks the worker ended when it returns.
  void serve();
  // Worker: waits until a job is queued and reads the head of the queue (leaving it there);
  // false when the channel retires with its queue empty.
  bool next_job(std::pair<unsigned long, int>& job) EXCLUDES(queue_mutex);
  // Worker: reports an ended band (-3) to its observer, unless a stop took it meanwhile.
  void report_ended(unsigned long req_no, int plane);

  quorl_cnv_pvgen_commonmethod* registry = nullptr;
  quorl_signal* signal = nullptr;
  int asic;
  int module;
  int channel;
  int fd;
  int plane = -1;
  int ch_status GUARDED_BY(status_mutex);
  OSW_Mutex_Semaphore status_mutex{1};
  uint32_t page_id = 0;
  QUORL_PAGE_INFO page_info{};
  // The plane-job queue and what goes with it, and the words by which the channel is
  // brought to rest, live beside the object: callers that build a channel themselves size
  // it by its described fields, so the object must not be larger than those (checked in
  // quorl_cnv_pvgen_channel.cpp). Both are made by the constructors and freed by the
  // destructor.
  struct ended_band {
    unsigned long req_no;
    int plane;
    uint32_t after;  // jobs queued when it was ended
  };
  struct job_state {
    std::vector<std::pair<unsigned long, int>> queue;  // the plane jobs, a FIFO
    // Ended bands, in the order they were ended, each after the plane jobs queued before it.
    std::vector<ended_band> ended;
    uint32_t queued = 0;        // plane jobs ever queued
    uint32_t served = 0;        // plane jobs the worker took off the queue
    uint32_t ended_added = 0;   // ended bands ever handed over
    uint32_t ended_served = 0;  // ended bands the worker took
  };
  // Words shared without a lock (relaxed atomics), but worker_started (constructor and
  // retire(), on the thread that owns the channel) and band_cmd (the dispatcher's).
  struct rest_state {
    int32_t retiring = 0;
    int32_t worker_started = 0;
    int32_t worker_alive = 0;
    uint32_t binding = 0;      // prepare() calls: which binding of a page a stop waits for
    int32_t stop_waiters = 0;  // threads inside stop_wait: the worker then posts every job
    // The band command block, the dispatcher's alone (band_exe runs with the list lock
    // held). Made zeroed with the channel; a band command sets only words before the
    // conversion table and the driver writes only `result`, so each band rewrites those and
    // the 2112-byte table stays zero without being cleared for every band.
    PVGEN_CMD_BLK band_cmd{};
  };
  const std::unique_ptr<job_state> jobs_ PT_GUARDED_BY(queue_mutex);
  OSW_Mutex_Semaphore queue_mutex{1};
  OSW_Event_Semaphore ch_event{0};
  OSW_Event_Semaphore stop_event{0};
  const std::unique_ptr<rest_state> rest_;
  class StopWaiter {
   public:
    explicit StopWaiter(quorl_cnv_pvgen_channel& ch) : ch_(ch) {
      std::atomic_ref(ch_.rest_->stop_waiters).fetch_add(1, std::memory_order_relaxed);
    }
    ~StopWaiter() {
      std::atomic_ref(ch_.rest_->stop_waiters).fetch_sub(1, std::memory_order_relaxed);
    }
    StopWaiter(const StopWaiter&) = delete;
    StopWaiter& operator=(const StopWaiter&) = delete;

   private:
    quorl_cnv_pvgen_channel& ch_;
  };
};

}  // namespace norvane
