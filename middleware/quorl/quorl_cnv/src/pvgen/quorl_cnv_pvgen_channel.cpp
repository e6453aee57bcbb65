#include "quorl_cnv_pvgen_channel.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_driver.h"
#include "quorl_cnv_pvgen_observer.h"
#include "quorl_cnv_pvgen_util.h"

namespace norvane {

namespace {
constexpr const char* kFile = base_name(__FILE__);
constexpr const char* kDevice = "/dev/mfp_pvgen";

// Trace categories.
constexpr unsigned short kCatPageStart = 2;
constexpr unsigned short kCatBand = 4;
constexpr unsigned short kCatStop = 16;
constexpr unsigned short kCatWait = 32;
constexpr unsigned short kCatReport = 64;

// Driver answer words.
constexpr int32_t kWaitAgain = 3;
constexpr int32_t kStopAnsweredDone = 2;
}  // namespace

// The channel as its callers know it: these fields, in this order, on the thread base. A
// caller that builds a channel itself sizes it so; the object must fit.
namespace {
struct described_channel_layout : ControllerThread {
  quorl_cnv_pvgen_commonmethod* registry;
  quorl_signal* signal;
  int asic;
  int module;
  int channel;
  int fd;
  int plane;
  int ch_status;
  OSW_Mutex_Semaphore status_mutex;
  uint32_t page_id;  // 32 bits, as the target's unsigned long
  QUORL_PAGE_INFO page_info;
  std::vector<std::pair<unsigned long, int>> queue;
  OSW_Mutex_Semaphore queue_mutex;
  OSW_Event_Semaphore ch_event;
  OSW_Event_Semaphore stop_event;
};
}  // namespace
static_assert(sizeof(quorl_cnv_pvgen_channel) <= sizeof(described_channel_layout),
              "a channel built in storage sized by its described fields must fit");
static_assert(alignof(quorl_cnv_pvgen_channel) <= alignof(described_channel_layout));

// ---------------------------------------------------------------- construction

quorl_cnv_pvgen_channel::quorl_cnv_pvgen_channel(quorl_signal* signal_, int asic_, int module_,
                                                 int channel_)
    : signal(signal_),
      asic(asic_),
      module(module_),
      channel(channel_),
      fd(-1),
      ch_status(0),
      jobs_(std::make_unique<job_state>()),
      rest_(std::make_unique<rest_state>()) {
  fd = ::open(kDevice, O_RDWR | O_SYNC);
  if (fd < 0) {
    set_ch_status(STATUS_ERROR);
    emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                    "quorl_cnv_pvgen_channel::quorl_cnv_pvgen_channel(%d/%d/%d) driver open "
                    "error.\n",
                    asic, module, channel);
    utl_lib_svccall_notify(kNotifyKind, 5, 0, kFile, "quorl_cnv_pvgen_channel", __LINE__);
  }
  // Selection keeps at most two band jobs (and a page-mode page) queued: room for them up
  // front, so that queueing a job never allocates.
  jobs_->queue.reserve(4);
  registry = quorl_cnv_pvgen_commonmethod::instance();
  page_info = QUORL_PAGE_INFO{};
  page_info.asic = static_cast<uint32_t>(asic);
  page_info.module = static_cast<uint32_t>(module);
  page_info.channel = static_cast<uint32_t>(channel);
  registry->page_info_list_insert(&page_info);
  relaxed_store(rest_->worker_alive, 1);
  rest_->worker_started =
      Controller::instance()->add(*this, nullptr, "quorl_pvgen_ch") == 0 ? 1 : 0;
  if (rest_->worker_started == 0) {
    // No worker would ever report a job of this channel: it is failed for good, so that no
    // request is handed to it and whoever waits for it learns that it never serves.
    relaxed_store(rest_->worker_alive, 0);
    set_ch_status(STATUS_ERROR);
    emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                    "quorl_cnv_pvgen_channel::quorl_cnv_pvgen_channel(%d/%d/%d) worker start "
                    "error.\n",
                    asic, module, channel);
  }
}

quorl_cnv_pvgen_channel::quorl_cnv_pvgen_channel()
    : asic(-1),
      module(-1),
      channel(-1),
      fd(-1),
      ch_status(STATUS_ERROR),
      jobs_(std::make_unique<job_state>()),
      rest_(std::make_unique<rest_state>()) {}

quorl_cnv_pvgen_channel::~quorl_cnv_pvgen_channel() {
  retire();
  if (registry != nullptr) {
    quorl_cnv_pvgen_commonmethod::release();
  }
  if (::close(fd) < 0) {
    emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                    "quorl_cnv_pvgen_channel::quorl_cnv_pvgen_channel(%d/%d/%d) driver close "
                    "error.\n",
                    asic, module, channel);
    utl_lib_svccall_notify(kNotifyKind, 6, 0, kFile, "~quorl_cnv_pvgen_channel", __LINE__);
  }
}

void quorl_cnv_pvgen_channel::retire() {
  if (rest_->worker_started == 0) {
    return;
  }
  relaxed_store(rest_->retiring, 1);
  ch_signal();
  Controller::instance()->join(*this);
  rest_->worker_started = 0;
}

bool quorl_cnv_pvgen_channel::worker_running() const {
  return relaxed_load(rest_->worker_alive) != 0;
}

uint32_t quorl_cnv_pvgen_channel::get_binding() const {
  return relaxed_load(rest_->binding);
}

// ---------------------------------------------------------------- state and queue

// The identity is fixed at construction; read without a lock.
int quorl_cnv_pvgen_channel::get_asic() {
  return asic;
}

int quorl_cnv_pvgen_channel::get_module() {
  return module;
}

int quorl_cnv_pvgen_channel::get_channel() {
  return channel;
}

int quorl_cnv_pvgen_channel::get_plane() {
  return relaxed_load(plane);
}

unsigned long quorl_cnv_pvgen_channel::get_page_id() {
  return relaxed_load(page_id);
}

int quorl_cnv_pvgen_channel::get_fd() const {
  return relaxed_load(fd);
}

int quorl_cnv_pvgen_channel::get_ch_status() {
  OSW_Guard guard(status_mutex);
  return ch_status;
}

void quorl_cnv_pvgen_channel::set_ch_status(int status) {
  OSW_Guard guard(status_mutex);
  if (ch_status != STATUS_ERROR) {
    ch_status = status;
  }
}

int quorl_cnv_pvgen_channel::get_proc_num() {
  OSW_Guard guard(queue_mutex);
  return static_cast<int>(jobs_->queue.size());
}

void quorl_cnv_pvgen_channel::prepare(unsigned long page_id_) {
  relaxed_store(rest_->binding, relaxed_load(rest_->binding) + 1);
  relaxed_store(page_id, page_id_);
  set_ch_status(STATUS_PREPARED);
}

void quorl_cnv_pvgen_channel::ch_signal() {
  ch_event.post();
}

void quorl_cnv_pvgen_channel::stop_signal() {
  stop_event.post();
}

void quorl_cnv_pvgen_channel::ch_wait() {
  for (;;) {
    if (get_proc_num() != 0 || relaxed_load(rest_->retiring) != 0) {
      return;
    }
    ch_event.wait(OSW_WAIT_FOREVER);
  }
}

void quorl_cnv_pvgen_channel::stop_wait() {
  // A channel in the error state may keep its page for good: once its queue is empty there
  // is nothing left to wait for, and a stop must not wait for ever. Nor once the worker has
  // ended: then nothing on this channel changes any more.
  StopWaiter waiter(*this);
  for (;;) {
    if (!worker_running() ||
        (get_proc_num() == 0 && (get_page_id() == 0 || get_ch_status() == STATUS_ERROR))) {
      return;
    }
    stop_event.wait(OSW_WAIT_FOREVER);
  }
}

void quorl_cnv_pvgen_channel::stop_wait(unsigned long page_id_, uint32_t binding_,
                                        uint32_t jobs_mark_) {
  // Only the jobs handed to the worker when the stop marked its page can be requests the
  // stop's clean-up frees, or reports still on their way to a callback (an ended band the
  // worker claimed before the marking): the stop waits for those. It does not wait for an
  // empty queue: what is queued later was not marked, or belongs to no page at all (a
  // page-less band that took the channel the stop freed), and later work may keep the queue
  // from ever being seen empty. Once those jobs are done it waits for the binding it marked
  // to end, not for a new binding of the same identifier.
  StopWaiter waiter(*this);
  for (;;) {
    if (!worker_running()) {
      return;
    }
    const bool served = static_cast<int32_t>(jobs_served() - jobs_mark_) >= 0;
    const bool holds = get_page_id() == page_id_ && get_binding() == binding_;
    if (served && (!holds || get_ch_status() == STATUS_ERROR)) {
      return;
    }
    stop_event.wait(OSW_WAIT_FOREVER);
  }
}

uint32_t quorl_cnv_pvgen_channel::jobs_mark() {
  OSW_Guard guard(queue_mutex);
  return jobs_->queued + jobs_->ended_added;
}

uint32_t quorl_cnv_pvgen_channel::jobs_served() {
  OSW_Guard guard(queue_mutex);
  return jobs_->served + jobs_->ended_served;
}

void quorl_cnv_pvgen_channel::end_job(unsigned long req_no, int plane_no) {
  {
    OSW_Guard guard(queue_mutex);
    jobs_->ended.push_back(ended_band{req_no, plane_no, jobs_->queued});
    ++jobs_->ended_added;
  }
  ch_signal();
}

std::vector<unsigned long> quorl_cnv_pvgen_channel::queued_jobs() {
  std::vector<unsigned long> jobs;
  OSW_Guard guard(queue_mutex);
  jobs.reserve(jobs_->queue.size() + jobs_->ended.size());
  for (const auto& job : jobs_->queue) {
    jobs.push_back(job.first);
  }
  for (const ended_band& band : jobs_->ended) {
    jobs.push_back(band.req_no);
  }
  return jobs;
}

QUORL_PAGE_INFO quorl_cnv_pvgen_channel::page_info_snapshot() const {
  QUORL_PAGE_INFO copy;
  const uint32_t* from = &page_info.asic;
  uint32_t* to = &copy.asic;
  for (size_t i = 0; i < sizeof(QUORL_PAGE_INFO) / sizeof(uint32_t); ++i) {
    to[i] = relaxed_load(from[i]);
  }
  return copy;
}

// ---------------------------------------------------------------- driver commands

namespace {

// The channel's own numbers and, for page start and band execute, the request's job_id, mode
// and type, in a command whose other words are zero.
void command_fields(PVGEN_CMD_BLK& cmd, int asic, int module, int channel,
                    const QUORL_CNV_PVGEN_BLK* blk) {
  cmd.asic = static_cast<uint32_t>(asic);
  cmd.module = static_cast<uint32_t>(module);
  cmd.channel = static_cast<uint32_t>(channel);
  if (blk != nullptr) {
    cmd.job_id = blk->job_id;
    cmd.mode = blk->mode;
    cmd.type = blk->type;
  }
}

}  // namespace

// A zeroed command with the channel's own numbers and, for page start and band execute,
// the request's job_id, mode and type.
void quorl_cnv_pvgen_channel::command_header(PVGEN_CMD_BLK& cmd,
                                             const QUORL_CNV_PVGEN_BLK* blk) const {
  std::memset(&cmd, 0, sizeof cmd);
  command_fields(cmd, asic, module, channel, blk);
}

// Issues one command between its two trace points. A failed ioctl leaves the channel
// unusable for good: trace, notify, and make sure the evaluation that follows does not take
// the command for a success.
void quorl_cnv_pvgen_channel::issue(unsigned short category, uint32_t code, unsigned long request,
                                    PVGEN_CMD_BLK& cmd, const char* failure_format, int notify_code,
                                    const char* function, int line) {
  registry->trace_set(category, static_cast<unsigned short>(code | 4), 1);
  if (::ioctl(get_fd(), request, &cmd) < 0) {
    set_ch_status(STATUS_ERROR);
    emwGENTrcPrintf(kTraceModule, kTraceLevel, 0, failure_format, asic, module, channel,
                    as_target_long(cmd.result));
    utl_lib_svccall_notify(kNotifyKind, notify_code, 0, kFile, function, line);
    if (cmd.result == 0) {
      cmd.result = -1;
    }
  }
  registry->trace_set(category, static_cast<unsigned short>(code | 8), 1);
}

// Every word of the page-information record is shared with readers on other threads.
#define PAGE_INFO_SET(field, value) relaxed_store(page_info.field, (value))
#define PAGE_INFO_GET(field) relaxed_load(page_info.field)

int quorl_cnv_pvgen_channel::page_start(unsigned long req_no, int plane_no,
                                        QUORL_CNV_PVGEN_BLK& blk) {
  if (blk.mode == 2) {
    OSW_Guard guard(queue_mutex);
    jobs_->queue.emplace_back(req_no, plane_no);
    ++jobs_->queued;
  }

  PVGEN_CMD_BLK cmd;
  command_header(cmd, &blk);
  cmd.variant = blk.variant;
  std::memcpy(cmd.dst, blk.dst, sizeof cmd.dst);
  cmd.band_total = blk.band_total;
  cmd.band_param1 = blk.band_param1;
  std::memcpy(cmd.conv_table, blk.conv_table, sizeof cmd.conv_table);
  if (blk.mode == 1) {
    cmd.ring_param1 = 1;
  } else if (blk.mode == 2) {
    cmd.src_buf_num = blk.src_buf_num;
    if (static_cast<int32_t>(blk.src_buf_num) > 0 && plane_no >= 0 && plane_no < 3) {
      cmd.ring[0] = blk.ring[plane_no];
    }
    cmd.ring_param0 = blk.ring_param0;
    cmd.ring_param1 = blk.ring_param1;
  }
  issue(kCatPageStart, trace_code_of(blk.type, blk.mode), PVGEN_IOC_PAGE_START, cmd,
        "quorl_cnv_pvgen_channel::page_start(%d/%d/%d) ioctl error. result = %ld\n", 7,
        "page_start", __LINE__);

  if (cmd.result != 0) {
    blk.result = -5;
    return -5;
  }
  blk.result = 0;

  PAGE_INFO_SET(asic, static_cast<uint32_t>(asic));
  PAGE_INFO_SET(module, static_cast<uint32_t>(module));
  PAGE_INFO_SET(channel, static_cast<uint32_t>(channel));
  PAGE_INFO_SET(page_end, 0);
  PAGE_INFO_SET(page_stop, 0);
  PAGE_INFO_SET(mode, blk.mode);
  PAGE_INFO_SET(variant, blk.variant);
  PAGE_INFO_SET(type, blk.type);
  PAGE_INFO_SET(ring_param0, blk.ring_param0);
  PAGE_INFO_SET(ring_param1, blk.ring_param1);
  PAGE_INFO_SET(band_total, blk.band_total);
  PAGE_INFO_SET(band_exe_num, 0);
  PAGE_INFO_SET(band_done_num, 0);
  for (uint32_t& word : page_info.reserved) {
    relaxed_store(word, 0);
  }
  relaxed_store(plane, plane_no);

  if (blk.mode == 1) {
    set_ch_status(STATUS_BAND_PAGE);
  } else if (blk.mode == 2) {
    set_ch_status(STATUS_PAGE_MODE);
    ch_signal();
  }
  return 0;
}

int quorl_cnv_pvgen_channel::band_exe(unsigned long req_no, int plane_no,
                                      QUORL_CNV_PVGEN_BLK& blk) {
  {
    OSW_Guard guard(queue_mutex);
    jobs_->queue.emplace_back(req_no, plane_no);
    ++jobs_->queued;
  }

  // The same bytes as a block zeroed for this band (command_header), without clearing the
  // conversion table, which no band command sets and the driver does not write.
  PVGEN_CMD_BLK& cmd = rest_->band_cmd;
  std::memset(&cmd, 0, offsetof(PVGEN_CMD_BLK, conv_table));
  cmd.result = 0;
  command_fields(cmd, asic, module, channel, &blk);
  std::memcpy(cmd.src, blk.src, sizeof cmd.src);
  cmd.band_param0 = blk.band_param0;
  cmd.band_param1 = blk.band_param1;
  // Counted before the driver is asked, whatever it answers.
  if (get_page_id() != 0) {
    PAGE_INFO_SET(band_exe_num, PAGE_INFO_GET(band_exe_num) + 1);
  }
  issue(kCatBand, trace_code_of(blk.type, blk.mode), PVGEN_IOC_BAND_EXE, cmd,
        "quorl_cnv_pvgen_channel::band_exe(%d/%d/%d) ioctl error. result = %ld\n", 8, "band_exe",
        __LINE__);

  blk.result = cmd.result != 0 ? -5 : 0;
  // The worker is woken on failure too: the queued job still gets its report.
  ch_signal();
  return blk.result;
}

int quorl_cnv_pvgen_channel::stop(QUORL_CNV_PVGEN_BLK& blk) {
  const int status = get_ch_status();
  if (status == STATUS_PREPARED) {
    // No page runs: unbind without asking the driver.
    blk.result = 0;
    relaxed_store(page_id, 0);
    PAGE_INFO_SET(page_stop, 1);
    registry->req_list_lock();
    set_ch_status(STATUS_IDLE);
    registry->req_list_unlock();
    return 0;
  }
  if (status == STATUS_ERROR) {
    blk.result = 0;
    return 0;
  }

  // The stop carries the channel's numbers only; its trace code is the running page's.
  PVGEN_CMD_BLK cmd;
  command_header(cmd, nullptr);
  issue(kCatStop, trace_code_of(PAGE_INFO_GET(type), PAGE_INFO_GET(mode)), PVGEN_IOC_STOP, cmd,
        "quorl_cnv_pvgen_channel::stop(%d/%d/%d) ioctl error. result = %ld\n", 11, "stop",
        __LINE__);

  if (cmd.result != 0 && cmd.result != kStopAnsweredDone) {
    blk.result = -5;
    return -5;
  }
  blk.result = 0;
  PAGE_INFO_SET(page_stop, 1);
  const int now = get_ch_status();
  if (now == STATUS_PREPARED || now == STATUS_BAND_PAGE) {
    PAGE_INFO_SET(page_end, 1);
    relaxed_store(page_id, 0);
    relaxed_store(plane, -1);
    set_ch_status(STATUS_IDLE);
  }
  // A page-mode page ends when the worker receives the driver's final report.
  return 0;
}

// ---------------------------------------------------------------- worker

void quorl_cnv_pvgen_channel::process(void*) {
  emwOSWSetTaskPriority(pthread_self(), 0);
  serve();
  // Nothing serves this channel's queue any more: a stop waiting for it re-tests, and (but
  // for the teardown, which has ended the dispatcher) the dispatcher looks at the list
  // again, so that requests waiting for this channel learn that they can never start.
  relaxed_store(rest_->worker_alive, 0);
  stop_signal();
  if (relaxed_load(rest_->retiring) == 0) {
    signal->ctrl_signal();
  }
}

bool quorl_cnv_pvgen_channel::next_job(std::pair<unsigned long, int>& job) {
  // ch_wait() and a look at the head of the queue in one hold of queue_mutex. An ended band
  // comes first once every job queued before it was ended has been served.
  for (;;) {
    {
      OSW_Guard guard(queue_mutex);
      if (!jobs_->ended.empty() &&
          static_cast<int32_t>(jobs_->served - jobs_->ended.front().after) >= 0) {
        job = {jobs_->ended.front().req_no, jobs_->ended.front().plane | ENDED_JOB};
        return true;
      }
      if (!jobs_->queue.empty()) {
        job = jobs_->queue.front();
        return true;
      }
    }
    // Retiring: the jobs already queued are still served (the engine reports them and
    // their submitters are waiting), then the worker ends.
    if (relaxed_load(rest_->retiring) != 0) {
      return false;
    }
    ch_event.wait(OSW_WAIT_FOREVER);
  }
}

void quorl_cnv_pvgen_channel::serve() {
  for (;;) {
    std::pair<unsigned long, int> job;
    if (!next_job(job)) {
      return;
    }
    if ((job.second & ENDED_JOB) != 0) {
      report_ended(job.first, job.second & ~ENDED_JOB);
      {
        OSW_Guard list(registry->list_mutex());
        OSW_Guard guard(queue_mutex);
        jobs_->ended.erase(jobs_->ended.begin());
        ++jobs_->ended_served;
      }
      stop_signal();
      signal->ctrl_signal();
      continue;
    }
    QUORL_CNV_PVGEN_LIST_BLK* entry =
        registry->req_list_search(quorl_cnv_pvgen_commonmethod::SEARCH_REQ_NO, job.first);
    if (entry == nullptr) {
      set_ch_status(STATUS_ERROR);
      emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                      "quorl_cnv_pvgen_channel::process(%d/%d/%d) req_list_search error. "
                      "list_blk = NULL\n",
                      asic, module, channel);
      utl_lib_svccall_notify(kNotifyKind, 1, 0, kFile, "process", __LINE__);
      return;
    }

    const int finished = get_ch_status() == STATUS_PAGE_MODE ? report_page(job.second, entry)
                                                             : report_band(job.second, entry);

    // The job leaves the queue and, when the page is over, the channel lets go of the page
    // in one hold of the list lock: a dispatcher pass in between would see a bound channel
    // with an empty queue, could stop it and bind another page to it, which the end of
    // this page would then wipe out.
    registry->req_list_lock();
    {
      OSW_Guard guard(queue_mutex);
      jobs_->queue.erase(jobs_->queue.begin());
      ++jobs_->served;
    }
    if (finished != 0) {
      end_page();
    }
    registry->req_list_unlock();

    // A stop waiting for the channel re-tests: at the end of a page, on a failed channel
    // (which may never end its page), and after any job while a stop waits (it may be
    // waiting for this one). A waiter counts itself before it first looks at the queue, and
    // the job left it under queue_mutex before the count is read here, so a waiter that
    // looked before the job left is seen.
    if (finished != 0 || get_ch_status() == STATUS_ERROR ||
        relaxed_load(rest_->stop_waiters) != 0) {
      stop_signal();
    }
    signal->ctrl_signal();
  }
}

void quorl_cnv_pvgen_channel::report_ended(unsigned long req_no, int plane_no) {
  // Looked up and claimed in one hold of the list lock: a stop of the page may erase the
  // entry at any moment before (then there is nothing to report) but not after it is done.
  QUORL_CNV_PVGEN_LIST_BLK* entry;
  {
    OSW_Guard list(registry->list_mutex());
    entry = registry->req_list_search(quorl_cnv_pvgen_commonmethod::SEARCH_REQ_NO, req_no);
    if (entry == nullptr || entry->list_stat == QUORL_LIST_STOP) {
      return;  // taken by a stop of its page, which reports nothing
    }
    if (plane_no >= 0 && plane_no < 3) {
      entry->plane_stat[plane_no] = QUORL_PLANE_DONE;
    }
    entry->list_stat = QUORL_LIST_DONE;
  }
  QUORL_CNV_PVGEN_RESULT_INFO info;
  std::memset(&info, 0, sizeof info);
  info.job_id = entry->blk.job_id;
  info.page_id = entry->blk.page_id;
  info.result = entry->blk.result;
  if (entry->observer != nullptr) {
    registry->trace_set(kCatReport, report_code_of(entry->blk.mode, entry->blk.type), 1);
    entry->observer->notify_result(info);
  }
  registry->req_list_erase(quorl_cnv_pvgen_commonmethod::ERASE_ADDRESS,
                           reinterpret_cast<unsigned long>(entry));
}

void quorl_cnv_pvgen_channel::end_page() {
  PAGE_INFO_SET(page_end, 1);
  relaxed_store(plane, -1);
  relaxed_store(page_id, 0);
  set_ch_status(STATUS_IDLE);
}

int quorl_cnv_pvgen_channel::wait(int plane_no, QUORL_CNV_PVGEN_RESULT_INFO& info) {
  PVGEN_WAIT_BLK blk;
  std::memset(&blk, 0, sizeof blk);
  blk.asic = static_cast<uint32_t>(asic);
  blk.module = static_cast<uint32_t>(module);
  blk.channel = static_cast<uint32_t>(channel);

  registry->trace_set(kCatWait, 4, 1);
  int ret;
  // "Not yet" is asked again. A call that failed is not, whatever its result word says: the
  // driver may have taken the report with it, and a second wait would then wait for a report
  // that never comes.
  do {
    ret = ::ioctl(get_fd(), PVGEN_IOC_WAIT, &blk);
  } while (ret >= 0 && blk.result == kWaitAgain);
  if (ret < 0) {
    set_ch_status(STATUS_ERROR);
    emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                    "quorl_cnv_pvgen_channel::wait(%d/%d/%d) ioctl error. result = %ld\n", asic,
                    module, channel, as_target_long(blk.result));
    utl_lib_svccall_notify(kNotifyKind, 10, 0, kFile, "wait", __LINE__);
    if (blk.result == 0) {
      blk.result = -1;
    }
  }
  registry->trace_set(kCatWait, 8, 1);

  info.job_id = blk.job_id;
  info.band_num = blk.band_num;
  if (blk.band_num > 0) {
    if (plane_no >= 0 && plane_no < 3) {
      info.plane_result[plane_no] = blk.plane_result;
    }
    std::memcpy(info.src, blk.src, sizeof info.src);
    std::memcpy(info.dst, blk.dst, sizeof info.dst);
  }
  if (blk.band_num > 1) {
    emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                    "quorl_cnv_pvgen_channel::wait(%d/%d/%d) band_num overflow. = %d\n", asic,
                    module, channel, blk.band_num);
    utl_lib_svccall_notify(kNotifyKind, 10, 0, kFile, "wait", __LINE__);
  }

  int outcome;
  switch (blk.result) {
    case 0:
      outcome = blk.band_num > 1 ? -5 : 0;
      break;
    case 1:
    case 2:
      outcome = blk.result;
      break;
    default:
      outcome = -5;
      break;
  }
  info.result = outcome;
  return outcome;
}

int quorl_cnv_pvgen_channel::report_page(int plane_no, QUORL_CNV_PVGEN_LIST_BLK* entry) {
  QUORL_CNV_PVGEN_RESULT_INFO info;
  std::memset(&info, 0, sizeof info);
  info.job_id = entry->blk.job_id;
  info.page_id = entry->blk.page_id;
  const uint16_t code = report_code_of(entry->blk.mode, entry->blk.type);

  for (;;) {
    wait(plane_no, info);
    const uint32_t sum = PAGE_INFO_GET(band_done_num) + static_cast<uint32_t>(info.band_num);
    PAGE_INFO_SET(band_done_num, sum);
    info.band_count = static_cast<int32_t>(sum);
    const bool finished = sum == PAGE_INFO_GET(band_total) || info.result == 2;

    registry->req_list_lock();
    if (finished) {
      entry->plane_stat[plane_no] = QUORL_PLANE_DONE;
      if (entry->list_stat == QUORL_LIST_STOP) {
        entry->list_stat = QUORL_LIST_DONE;
      }
    }
    registry->req_list_unlock();

    // A final report with result 2 (the page was stopped) reaches no observer.
    if (info.result != 2) {
      registry->trace_set(kCatReport, code, 0);
      if (entry->observer != nullptr) {
        entry->observer->notify_result(info);
      }
      if (info.result < 0) {
        break;
      }
    }
    if (finished) {
      break;
    }
  }
  registry->req_list_erase(quorl_cnv_pvgen_commonmethod::ERASE_ADDRESS,
                           reinterpret_cast<unsigned long>(entry));
  return 1;
}

int quorl_cnv_pvgen_channel::report_band(int plane_no, QUORL_CNV_PVGEN_LIST_BLK* entry) {
  QUORL_CNV_PVGEN_RESULT_INFO info;
  std::memset(&info, 0, sizeof info);
  wait(plane_no, info);

  int32_t list_stat;
  registry->req_list_lock();
  if (plane_no >= 0 && plane_no < 3) {
    entry->blk.plane_result[plane_no] = info.plane_result[plane_no];
    entry->blk.src[plane_no] = info.src[plane_no];
    entry->blk.dst[plane_no] = info.dst[plane_no];
    entry->plane_stat[plane_no] = QUORL_PLANE_DONE;
  }
  if (info.result != 0) {
    entry->blk.result = info.result;
  }
  if (entry->plane_stat[0] == QUORL_PLANE_DONE && entry->plane_stat[1] == QUORL_PLANE_DONE &&
      entry->plane_stat[2] == QUORL_PLANE_DONE && entry->list_stat != QUORL_LIST_STOP) {
    entry->list_stat = QUORL_LIST_DONE;
  }
  list_stat = entry->list_stat;
  // An entry whose page is being stopped (list_stat 3) is left for the stop to clear.
  const bool reported = list_stat == QUORL_LIST_DONE;
  const bool synchronous = entry->observer == nullptr;
  if (reported && get_page_id() != 0) {
    const uint32_t done = PAGE_INFO_GET(band_done_num) + 1;
    PAGE_INFO_SET(band_done_num, done);
    info.band_count = static_cast<int32_t>(done);
  } else if (reported) {
    info.band_count = 1;  // a band without page
  }
  if (reported && synchronous) {
    // Posted in the same hold as the update. From the post on, the entry belongs to its
    // submitter.
    entry->event->event.post();
  }
  registry->req_list_unlock();

  if (reported && !synchronous) {
    info.job_id = entry->blk.job_id;
    info.page_id = entry->blk.page_id;
    info.band_num = 1;
    registry->trace_set(kCatReport, report_code_of(entry->blk.mode, entry->blk.type), 1);
    entry->observer->notify_result(info);
    registry->req_list_erase(quorl_cnv_pvgen_commonmethod::ERASE_ADDRESS,
                             reinterpret_cast<unsigned long>(entry));
  }

  if (get_page_id() == 0) {
    return 0;
  }
  if (PAGE_INFO_GET(band_done_num) == PAGE_INFO_GET(band_total)) {
    return 1;
  }
  return info.result < 0 ? 1 : 0;
}

#undef PAGE_INFO_SET
#undef PAGE_INFO_GET

}  // namespace norvane
