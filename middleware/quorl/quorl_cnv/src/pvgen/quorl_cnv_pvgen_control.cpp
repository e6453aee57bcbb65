#include "quorl_cnv_pvgen_control.h"

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "quorl_cnv_pvgen_channel.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_pending.h"
#include "quorl_cnv_pvgen_singleton.h"
#include "quorl_cnv_pvgen_slot.h"
#include "quorl_cnv_pvgen_util.h"

namespace norvane {

quorl_cnv_pvgen_control* quorl_cnv_pvgen_control::s_instance_ = nullptr;
OSW_Mutex_Semaphore* quorl_cnv_pvgen_control::s_inst_msem_ = nullptr;
int32_t quorl_cnv_pvgen_control::s_inside_ = 0;
int32_t quorl_cnv_pvgen_control::s_releasing_ = 0;

namespace {
constexpr const char* kFile = base_name(__FILE__);
constexpr int32_t kPageIdWrap = 0x7FFFFFFF;  // identifiers run 1 .. 0x7FFFFFFE

// Trace categories of the submissions: 1 shifted left by the request kind.
constexpr unsigned short kCatPrepare = 1;
constexpr unsigned short kCatPageStart = 2;
constexpr unsigned short kCatBand = 4;
constexpr unsigned short kCatStop = 16;

// A channel numbered n matches a mask when bit n is set; numbers outside 0..31 never do.
bool mask_matches(uint32_t mask, int number) {
  return number >= 0 && number < 32 && ((mask >> number) & 1u) != 0;
}

// Whether the channel's numbers match the block's asic, module and channel masks.
bool masks_match(const QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_channel* ch) {
  return mask_matches(blk.asic, ch->get_asic()) && mask_matches(blk.module, ch->get_module()) &&
         mask_matches(blk.channel, ch->get_channel());
}

bool same_page(unsigned long channel_page, int32_t page_id) {
  return static_cast<uint32_t>(channel_page) == static_cast<uint32_t>(page_id);
}

unsigned long page_word(int32_t page_id) {
  return static_cast<unsigned long>(static_cast<uint32_t>(page_id));
}

// Posted when the last caller leaves the library while a release waits for that. It lives
// as long as the process, so a leaving caller never touches a freed control.
OSW_Event_Semaphore& rest_event() {
  static auto* event = new OSW_Event_Semaphore(0);
  return *event;
}
}  // namespace

// A caller's stay inside a submission, counted so that the teardown can wait until every
// caller it woke has left (sequentially consistent: the teardown stores s_releasing_ and
// then reads s_inside_, a leaving caller lowers s_inside_ and then reads s_releasing_, so
// at least one of the two sees the other).
class InsideScope {
 public:
  InsideScope() { std::atomic_ref(quorl_cnv_pvgen_control::s_inside_).fetch_add(1); }
  ~InsideScope() {
    if (std::atomic_ref(quorl_cnv_pvgen_control::s_inside_).fetch_sub(1) == 1 &&
        std::atomic_ref(quorl_cnv_pvgen_control::s_releasing_).load() != 0) {
      rest_event().post();
    }
  }
  InsideScope(const InsideScope&) = delete;
  InsideScope& operator=(const InsideScope&) = delete;
};

// ---------------------------------------------------------------- singleton

quorl_cnv_pvgen_control* quorl_cnv_pvgen_control::instance() {
  return singleton_instance(s_instance_, s_inst_msem_,
                            [] { return new quorl_cnv_pvgen_control(); });
}

void quorl_cnv_pvgen_control::release() {
  singleton_release(s_instance_, s_inst_msem_);
}

quorl_cnv_pvgen_control::quorl_cnv_pvgen_control() = default;

void quorl_cnv_pvgen_control::init() {
  registry = quorl_cnv_pvgen_commonmethod::instance();
  if (Controller::instance()->add(*this, nullptr, "quorl_pvgen_ctrl") != 0) {
    // Without its dispatcher every request would wait for ever: the library is not brought
    // up, the call that tried fails (-5, or 0 for a page identifier) and the next tries again.
    emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                    "quorl_cnv_pvgen_control::init() dispatcher start error.\n");
    throw std::runtime_error("the dispatcher thread cannot be started");
  }
}

quorl_cnv_pvgen_control::~quorl_cnv_pvgen_control() {
  // 1. No new entry from here on: a submission that gets request_mutex later is refused.
  std::atomic_ref(s_releasing_).store(1);
  {
    OSW_Guard guard(request_mutex);
    relaxed_store(retiring, 1);
  }
  // 2. The dispatcher ends its loop at the next wake-up; a pass in progress completes.
  ctrl_signal();
  (void)Controller::instance()->join(*this);
  // 3. Each worker reports what the engine already has (callbacks run, synchronous bands
  //    are posted), then returns; a stop waiting for the channel then returns too.
  for (quorl_cnv_pvgen_channel* ch : channels()) {
    ch->retire();
    ch->stop_signal();
  }
  // 4. Whoever still waits for an entry is woken once, and 5. every caller leaves before
  //    the registry, its entries and its semaphores go.
  if (registry != nullptr) {
    registry->req_list_end_all();
    while (std::atomic_ref(s_inside_).load() != 0) {
      rest_event().wait(OSW_WAIT_FOREVER);
    }
    quorl_cnv_pvgen_commonmethod::release();
  }
  std::atomic_ref(s_releasing_).store(0);
  for (quorl_cnv_pvgen_channel* ch : channel_list) {
    delete ch;
  }
  channel_list.clear();
}

std::list<quorl_cnv_pvgen_channel*> quorl_cnv_pvgen_control::channels() {
  OSW_Guard guard(channel_list_mutex);
  return channel_list;
}

// ---------------------------------------------------------------- page ids, wake-ups

extern "C" QUORL_CNV_PVGEN_API int32_t Quorl_cnv_pvgen_get_page_id(void) {
  // Bringing the library up may run out of memory; 0 is never an identifier, and every
  // request refuses it.
  try {
    return quorl_cnv_pvgen_control::instance()->get_page_id();
  } catch (...) {
    return 0;
  }
}

int32_t quorl_cnv_pvgen_control::get_page_id() {
  OSW_Guard guard(page_id_mutex);
  const int32_t value = page_id_counter;
  page_id_counter = (value + 1 == kPageIdWrap) ? 1 : value + 1;
  return value;
}

int quorl_cnv_pvgen_control::device_check(unsigned long asic, unsigned long module,
                                          unsigned long channel) {
  return ((asic & 1u) != 0 && (module & 1u) != 0 && (channel & 1u) != 0) ? 1 : 0;
}

void quorl_cnv_pvgen_control::ctrl_signal() {
  relaxed_store(ctrl_flag, 1);
  // The event is posted only when the dispatcher has something to do at its next wake-up:
  // an entry a pass may act on, or its end. Without one, a wake-up would only find the flag,
  // skip the pass and sleep again (a worker's signal after a band nobody waits behind), and
  // the thread it wakes would take a processor from the threads with work. The flag stays
  // set, and no change is missed: whoever lists an entry signals after listing it, and the
  // count read here is written under the list mutex, which a worker has held (or the signaller
  // has taken itself) since the change it signals for.
  if (relaxed_load(retiring) != 0 || registry == nullptr || !registry->nothing_pending()) {
    ctrl_event.post();
  }
}

void quorl_cnv_pvgen_control::ctrl_wait() {
  // Surplus posts only cost one more test of the flag.
  while (relaxed_load(ctrl_flag) == 0) {
    ctrl_event.wait(OSW_WAIT_FOREVER);
  }
  relaxed_store(ctrl_flag, 0);
}

// ---------------------------------------------------------------- validation

#define PARAM_ERROR(...) \
  emwGENTrcPrintf(kTraceModule, kTraceLevel, 0, "quorl_cnv_pvgen_control::param_check" __VA_ARGS__)

int quorl_cnv_pvgen_control::param_check(int request, QUORL_CNV_PVGEN_BLK& blk,
                                         quorl_cnv_pvgen_observer* obs) {
  int outcome = 0;
  const int mode = static_cast<int>(blk.mode);

  auto page_identifier = [&] {
    if (blk.page_id <= 0) {
      PARAM_ERROR("(%d/%d) page_id error1. = %ld\n", request, mode, as_target_long(blk.page_id));
      outcome = -3;
    }
  };
  auto page_held = [&] {
    bool held = false;
    {
      OSW_Guard guard(channel_list_mutex);
      for (quorl_cnv_pvgen_channel* ch : channel_list) {
        if (same_page(ch->get_page_id(), blk.page_id)) {
          held = true;
          break;
        }
      }
    }
    if (!held) {
      PARAM_ERROR("(%d/%d) page_id error2. = %ld\n", request, mode, as_target_long(blk.page_id));
      outcome = -3;
    }
  };
  auto device = [&] {
    if (device_check(blk.asic, blk.module, blk.channel) == 0) {
      PARAM_ERROR("(%d/%d) device check error. asic = %ld, module = %ld, channel = %ld\n", request,
                  mode, as_target_long(blk.asic), as_target_long(blk.module),
                  as_target_long(blk.channel));
      outcome = -3;
    }
  };
  auto priority = [&] {
    if (blk.priority > 5) {
      PARAM_ERROR("(%d/%d) priority error. = %d\n", request, mode, static_cast<int>(blk.priority));
      outcome = -3;
    }
  };
  auto mode_range = [&] {
    if (blk.mode > 2) {
      PARAM_ERROR("(%d/%d) mode error1. = %d\n", request, mode, mode);
      outcome = -3;
    }
  };
  auto mode_for_request = [&] {
    if ((request == QUORL_CNV_PVGEN_REQ_PAGE_START && blk.mode == 0) ||
        (request == QUORL_CNV_PVGEN_REQ_BAND_EXE && blk.mode == 2)) {
      PARAM_ERROR("(%d/%d) mode error2. = %d\n", request, mode, mode);
      outcome = -3;
    }
  };
  auto type = [&] {
    if (blk.type > 3) {
      PARAM_ERROR("(%d/%d) type error. = %d\n", request, mode, static_cast<int>(blk.type));
      outcome = -3;
    }
  };
  auto source = [&] {
    if (blk.src[0].id == 0 && blk.src[1].id == 0 && blk.src[2].id == 0) {
      PARAM_ERROR("(%d/%d) src buffer error. buffer id all 0.\n", 2, mode);
      outcome = -3;
    }
  };
  auto destination = [&] {
    if (blk.dst[0].id == 0 && blk.dst[1].id == 0 && blk.dst[2].id == 0) {
      PARAM_ERROR("(%d/%d) dst buffer error. buffer id all 0.\n", request, mode);
      outcome = -3;
    }
  };
  auto ring_count = [&] {
    if (static_cast<int32_t>(blk.src_buf_num) > 1) {
      PARAM_ERROR("(%d/%d) src_buf_num error. = %d\n", 1, 2, static_cast<int>(blk.src_buf_num));
      outcome = -3;
    }
  };
  auto ring_buffer = [&] {
    if (static_cast<int32_t>(blk.src_buf_num) > 0 && blk.ring[0].id == 0) {
      PARAM_ERROR("(%d/%d) ring buffer error. buffer id all 0.\n", 1, mode);
      outcome = -3;
    }
  };
  auto observer = [&] {
    if (obs == nullptr) {
      PARAM_ERROR("(%d/%d) obs = NULL\n", 1, mode);
      outcome = -3;
    }
  };

  switch (request) {
    case QUORL_CNV_PVGEN_REQ_PREPARE:
      page_identifier();
      device();
      priority();
      break;
    case QUORL_CNV_PVGEN_REQ_PAGE_START:
      page_identifier();
      page_held();
      mode_range();
      mode_for_request();
      type();
      destination();
      if (blk.mode == 2) {
        ring_count();
        ring_buffer();
        observer();
      }
      break;
    case QUORL_CNV_PVGEN_REQ_BAND_EXE:
      if (blk.mode == 0) {
        device();
        priority();
        mode_range();
        mode_for_request();
        type();
        source();
        destination();
      } else {
        page_identifier();
        page_held();
        mode_range();
        mode_for_request();
        type();
        source();
      }
      break;
    case QUORL_CNV_PVGEN_REQ_STOP:
      page_identifier();
      break;
    default:
      break;
  }

  if (outcome != 0) {
    utl_lib_svccall_notify(kNotifyKind, 3, 0, kFile, "param_check", __LINE__);
    blk.result = -3;
    return -3;
  }
  return 0;
}

#undef PARAM_ERROR

// ---------------------------------------------------------------- submission

namespace {

// The fixed fields every request of a kind runs with, whatever the caller's block holds.
void apply_overrides(int request, QUORL_CNV_PVGEN_BLK& work) {
  if (request != QUORL_CNV_PVGEN_REQ_PAGE_START) {
    work.asic = 1;
    work.module = 1;
    work.channel = 1;
  }
  if (request != QUORL_CNV_PVGEN_REQ_PREPARE) {
    work.mode = 1;
    work.variant = 1;
    work.type = 2;
    work.src_buf_num = 0;
    work.ring_param0 = 0;
    work.ring_param1 = 0;
  }
}

struct TracePoints {
  unsigned short category;
  unsigned short start;
  unsigned short end;
};

TracePoints trace_points_of(int request, const QUORL_CNV_PVGEN_BLK& work) {
  switch (request) {
    case QUORL_CNV_PVGEN_REQ_PREPARE: {
      const uint16_t base = trace_code_of(work.type, work.mode);
      return {kCatPrepare, static_cast<unsigned short>(base + 1),
              static_cast<unsigned short>(base + 2)};
    }
    case QUORL_CNV_PVGEN_REQ_PAGE_START:
      return {kCatPageStart, 0x421, 0x422};
    case QUORL_CNV_PVGEN_REQ_BAND_EXE:
      return {kCatBand, 0x421, 0x422};
    default:
      return {kCatStop, 1, 2};
  }
}

}  // namespace

int quorl_cnv_pvgen_control::refuse_released(int request, QUORL_CNV_PVGEN_BLK& work) {
  emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                  "quorl_cnv_pvgen_control::submit(%d/%d) library released. page_id = %ld\n",
                  request, static_cast<int>(work.mode), as_target_long(work.page_id));
  work.result = -3;
  return -3;
}

int quorl_cnv_pvgen_control::submit(int request, QUORL_CNV_PVGEN_BLK& blk,
                                    quorl_cnv_pvgen_observer* obs) {
  InsideScope inside;
  QUORL_CNV_PVGEN_LIST_BLK* entry = nullptr;
  TracePoints points{};
  int32_t result_word = blk.result;  // what goes back into the caller's `result`
  int outcome;
  {
    OSW_Guard guard(request_mutex);
    // The working copy is made in the block of the entry it becomes when it is accepted, so
    // that it is not copied a second time; a refused one is given back unlisted.
    quorl_cnv_pvgen_slot* slot;
    try {
      slot = registry->req_slot_take();
    } catch (...) {
      registry->obs_wrapper_delete(obs);  // no entry took the caller's reference
      throw;
    }
    QUORL_CNV_PVGEN_BLK& work = slot->entry.blk;
    std::memcpy(&work, &blk, sizeof work);
    apply_overrides(request, work);
    points = trace_points_of(request, work);
    registry->trace_set(points.category, points.start, 1);
    registry->param_print(request, work, obs);
    bool accepted = false;
    if (relaxed_load(retiring) != 0) {
      (void)refuse_released(request, work);
    } else if (param_check(request, work, obs) == 0) {
      accepted = true;
    }
    if (!accepted) {
      result_word = work.result;
      registry->req_slot_give(slot);
    } else {
      try {
        entry = registry->req_list_insert_slot(request, slot, obs);
      } catch (...) {
        registry->obs_wrapper_delete(obs);
        throw;
      }
    }
  }
  const int end_flag = (request == QUORL_CNV_PVGEN_REQ_BAND_EXE && obs != nullptr) ? 0 : 1;

  if (entry == nullptr) {
    // Refused: no entry holds the observer reference the entry point took for it.
    registry->obs_wrapper_delete(obs);
    outcome = -3;
  } else {
    // Decided without looking at the entry: an asynchronous entry belongs to the dispatcher
    // and the worker from its insertion on, and may already be reported and erased.
    const bool synchronous = request == QUORL_CNV_PVGEN_REQ_PAGE_START ||
                             request == QUORL_CNV_PVGEN_REQ_STOP || obs == nullptr;
    ctrl_signal();
    if (!synchronous) {
      // An asynchronous band: its completion goes to the observer; the caller's result is
      // left as it was.
      outcome = 0;
    } else {
      entry->event->event.wait(OSW_WAIT_FOREVER);
      // Of the entry's block only `result` reaches the caller (and `mode` says who erases
      // the entry): the rest of it is not read back.
      result_word = entry->blk.result;
      outcome = result_word;
      const bool left_for_worker =
          request == QUORL_CNV_PVGEN_REQ_PAGE_START && entry->blk.mode == 2 && outcome == 0;
      if (!left_for_worker) {
        registry->req_list_erase(quorl_cnv_pvgen_commonmethod::ERASE_ADDRESS,
                                 reinterpret_cast<unsigned long>(entry));
      }
    }
  }
  registry->trace_set(points.category, points.end, end_flag);
  blk.result = result_word;
  return outcome;
}

int quorl_cnv_pvgen_control::prepare(QUORL_CNV_PVGEN_BLK& blk) {
  return submit(QUORL_CNV_PVGEN_REQ_PREPARE, blk, nullptr);
}

int quorl_cnv_pvgen_control::page_start(QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* obs) {
  return submit(QUORL_CNV_PVGEN_REQ_PAGE_START, blk, obs);
}

int quorl_cnv_pvgen_control::band_exe(QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* obs) {
  return submit(QUORL_CNV_PVGEN_REQ_BAND_EXE, blk, obs);
}

int quorl_cnv_pvgen_control::stop(QUORL_CNV_PVGEN_BLK& blk) {
  InsideScope inside;
  // Stops are serialised, so one stop's clean-up never meets another's marking or entry.
  OSW_Guard serial(stop_mutex);
  QUORL_CNV_PVGEN_BLK work;
  QUORL_CNV_PVGEN_LIST_BLK* entry = nullptr;
  std::vector<Holder> holders;
  holders.reserve(channels().size());
  {
    OSW_Guard guard(request_mutex);
    std::memcpy(&work, &blk, sizeof work);
    apply_overrides(QUORL_CNV_PVGEN_REQ_STOP, work);
    registry->trace_set(kCatStop, 1, 1);
    registry->param_print(QUORL_CNV_PVGEN_REQ_STOP, work, nullptr);
    if (relaxed_load(retiring) != 0 || param_check(QUORL_CNV_PVGEN_REQ_STOP, work, nullptr) != 0) {
      if (relaxed_load(retiring) != 0) {
        (void)refuse_released(QUORL_CNV_PVGEN_REQ_STOP, work);
      }
      registry->trace_set(kCatStop, 2, 1);
      blk.result = work.result;
      return -3;
    }

    // Mark the page's unfinished work so that nothing of it is started any more, and note
    // which binding of the page each channel holds: the drain waits for these alone, not
    // for a new binding of the same identifier made while this stop runs.
    registry->req_list_lock();
    {
      OSW_Guard channels_guard(channel_list_mutex);
      for (quorl_cnv_pvgen_channel* ch : channel_list) {
        if (same_page(ch->get_page_id(), work.page_id)) {
          holders.push_back({ch, ch->get_binding(), ch->jobs_mark()});
        }
      }
    }
    while (QUORL_CNV_PVGEN_LIST_BLK* e = registry->req_list_for_each()) {
      if (e->page_id == work.page_id && e->list_stat != QUORL_LIST_DONE) {
        e->list_stat = QUORL_LIST_STOP;
        for (int32_t& plane : e->plane_stat) {
          if (plane == QUORL_PLANE_PENDING) {
            plane = QUORL_PLANE_DONE;
          }
        }
      }
    }
    registry->req_list_unlock();

    try {
      entry = registry->req_list_insert(QUORL_CNV_PVGEN_REQ_STOP, work, nullptr);
    } catch (...) {
      // Out of memory: what was marked and no channel works on ends now, as after a stop
      // that failed.
      registry->req_list_end_stopped(work.page_id);
      throw;
    }
  }
  ctrl_signal();

  entry->event->event.wait(OSW_WAIT_FOREVER);
  work.result = entry->blk.result;  // all of the entry's block that reaches the caller
  const int outcome = work.result;
  registry->req_list_erase(quorl_cnv_pvgen_commonmethod::ERASE_ADDRESS,
                           reinterpret_cast<unsigned long>(entry));

  if (outcome != 0) {
    // The page keeps its channel; what no channel works on any more still ends here.
    registry->req_list_end_stopped(work.page_id);
    registry->trace_set(kCatStop, 2, 1);
    blk.result = work.result;
    return outcome;
  }

  drain_page(work.page_id, holders);
  registry->req_list_end_page(work.page_id);
  registry->trace_set(kCatStop, 2, 1);
  blk.result = work.result;
  return 0;
}

void quorl_cnv_pvgen_control::drain_page(int32_t page_id, const std::vector<Holder>& holders) {
  // Channels are never removed while the control lives, so the noted ones are still there.
  for (const Holder& holder : holders) {
    holder.channel->stop_wait(page_word(page_id), holder.binding, holder.jobs_mark);
  }
}

// ---------------------------------------------------------------- channel selection

quorl_cnv_pvgen_channel* quorl_cnv_pvgen_control::get_channel(int plane, int request,
                                                              QUORL_CNV_PVGEN_BLK& blk) {
  const bool band = request == QUORL_CNV_PVGEN_REQ_BAND_EXE;
  if (request != QUORL_CNV_PVGEN_REQ_PREPARE && request != QUORL_CNV_PVGEN_REQ_PAGE_START &&
      !band && request != QUORL_CNV_PVGEN_REQ_STOP) {
    return nullptr;
  }
  if (band && blk.mode != 0 && blk.mode != 1) {
    return nullptr;
  }

  auto passes = [&](quorl_cnv_pvgen_channel* ch) {
    switch (request) {
      case QUORL_CNV_PVGEN_REQ_PREPARE:
        return masks_match(blk, ch) && ch->get_proc_num() == 0 &&
               ch->get_ch_status() == quorl_cnv_pvgen_channel::STATUS_IDLE;
      case QUORL_CNV_PVGEN_REQ_PAGE_START:
        return same_page(ch->get_page_id(), blk.page_id) &&
               ch->get_ch_status() != quorl_cnv_pvgen_channel::STATUS_ERROR;
      case QUORL_CNV_PVGEN_REQ_BAND_EXE:
        if (blk.mode == 0) {
          return masks_match(blk, ch) && ch->get_proc_num() <= 1 &&
                 ch->get_ch_status() == quorl_cnv_pvgen_channel::STATUS_IDLE;
        }
        return ch->get_proc_num() <= 1 &&
               ch->get_ch_status() == quorl_cnv_pvgen_channel::STATUS_BAND_PAGE &&
               same_page(ch->get_page_id(), blk.page_id) && ch->get_plane() == plane;
      default:  // stop: in any state, the error state included
        return same_page(ch->get_page_id(), blk.page_id);
    }
  };

  {
    OSW_Guard guard(channel_list_mutex);
    for (quorl_cnv_pvgen_channel* ch : channel_list) {
      if (passes(ch)) {
        return ch;
      }
    }
  }
  if (request == QUORL_CNV_PVGEN_REQ_PREPARE || (band && blk.mode == 0)) {
    return channel_create(blk.asic, blk.module, blk.channel);
  }
  return nullptr;
}

quorl_cnv_pvgen_channel* quorl_cnv_pvgen_control::channel_create(unsigned long asic,
                                                                 unsigned long module,
                                                                 unsigned long channel) {
  if (device_check(asic, module, channel) == 0) {  // bit 0 clear in a mask
    return nullptr;
  }
  if (relaxed_load(channel_created) != 0) {
    return nullptr;
  }
  relaxed_store(channel_created, 1);
  // The one engine channel: asic 0, module 0, channel 0, whatever further bits the masks set.
  auto* ch = new quorl_cnv_pvgen_channel(static_cast<quorl_signal*>(this), 0, 0, 0);
  OSW_Guard guard(channel_list_mutex);
  channel_list.push_back(ch);
  return ch;
}

// ---------------------------------------------------------------- dispatcher

void quorl_cnv_pvgen_control::process(void*) {
  emwOSWSetTaskPriority(pthread_self(), 0);
  for (;;) {
    ctrl_wait();
    if (relaxed_load(retiring) != 0) {
      return;
    }
    if (registry->nothing_pending()) {
      // A pass would visit no entry (a worker's wake-up after a band that nobody waits
      // behind): it is left out, and the list lock with it.
      continue;
    }
    registry->req_list_lock();
    try {
      dispatch_pass();
    } catch (...) {
      // Out of memory (a new channel, a longer job queue): the pass ends here; the entries
      // it did not reach are looked at again at the next wake-up.
      emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                      "quorl_cnv_pvgen_control::process() pass error. out of memory.\n");
    }
    registry->req_list_unlock();
  }
}

bool quorl_cnv_pvgen_control::jobs_of_page_queued(int32_t page_id) {
  // The entries are looked up after channel_list_mutex is let go: the list mutex (held by
  // this thread already) is never requested inside it.
  for (quorl_cnv_pvgen_channel* ch : channels()) {
    if (!ch->worker_running()) {
      continue;  // nothing it holds will ever be reported
    }
    for (unsigned long req_no : ch->queued_jobs()) {
      const QUORL_CNV_PVGEN_LIST_BLK* entry =
          registry->req_list_search(quorl_cnv_pvgen_commonmethod::SEARCH_REQ_NO, req_no);
      if (entry != nullptr && entry->page_id == page_id) {
        return true;
      }
    }
  }
  return false;
}

quorl_cnv_pvgen_control::page_hold quorl_cnv_pvgen_control::band_page_hold(int32_t page_id) {
  page_hold hold;
  OSW_Guard guard(channel_list_mutex);
  for (quorl_cnv_pvgen_channel* ch : channel_list) {
    if (!same_page(ch->get_page_id(), page_id)) {
      continue;
    }
    const int status = ch->get_ch_status();
    if (status == quorl_cnv_pvgen_channel::STATUS_ERROR) {
      continue;  // failed for good: it never serves a band again
    }
    hold.held = true;
    if (status == quorl_cnv_pvgen_channel::STATUS_BAND_PAGE && ch->get_proc_num() <= 1) {
      hold.takes_bands = true;
    }
  }
  return hold;
}

bool quorl_cnv_pvgen_control::channel_can_become_free(const QUORL_CNV_PVGEN_BLK& blk) {
  OSW_Guard guard(channel_list_mutex);
  for (quorl_cnv_pvgen_channel* ch : channel_list) {
    if (masks_match(blk, ch) && ch->get_ch_status() != quorl_cnv_pvgen_channel::STATUS_ERROR) {
      return true;
    }
  }
  return false;
}

quorl_cnv_pvgen_channel* quorl_cnv_pvgen_control::reporter() {
  OSW_Guard guard(channel_list_mutex);
  for (quorl_cnv_pvgen_channel* ch : channel_list) {
    if (ch->worker_running()) {
      return ch;
    }
  }
  return nullptr;
}

bool quorl_cnv_pvgen_control::end_band(QUORL_CNV_PVGEN_LIST_BLK* entry, int p) {
  // No channel holds the band's page any more (stopped, ended by its last or a failed
  // band, or on a channel that failed for good), so it can never start: it ends with -3,
  // as validation answers for such a page.
  QUORL_CNV_PVGEN_BLK& blk = entry->blk;
  emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                  "quorl_cnv_pvgen_control::process(%d/%d) page_id error. page_id=0x%lx has no "
                  "channel. req_no = %lu\n",
                  entry->request, static_cast<int>(blk.mode), page_word(blk.page_id),
                  static_cast<unsigned long>(entry->req_no));
  blk.result = -3;
  if (entry->event != nullptr) {
    entry->plane_stat[p] = QUORL_PLANE_DONE;
    entry->list_stat = QUORL_LIST_DONE;
    entry->event->event.post();
    return false;
  }
  // A callback runs on a worker thread only: the worker reports it, in order with the
  // jobs queued before it.
  if (quorl_cnv_pvgen_channel* ch = reporter()) {
    entry->list_stat = QUORL_LIST_RUNNING;
    entry->plane_stat[p] = QUORL_PLANE_RUNNING;
    ch->end_job(entry->req_no, p);
    return false;
  }
  // No worker runs any more: nobody can report it. The pass has already moved past it.
  registry->req_list_erase(quorl_cnv_pvgen_commonmethod::ERASE_ADDRESS,
                           reinterpret_cast<unsigned long>(entry));
  return true;
}

bool quorl_cnv_pvgen_control::dispatch_entry(QUORL_CNV_PVGEN_LIST_BLK* entry, band_memo* memo) {
  if (entry->list_stat == QUORL_LIST_DONE || entry->list_stat == QUORL_LIST_STOP) {
    return false;
  }
  for (int p = 0; p < 3; ++p) {
    if (entry->plane_stat[p] != QUORL_PLANE_PENDING) {
      continue;
    }
    // The test below reads only the entry's header: a band listed with a page is not a
    // page-less band, so it either is a band-page band or gets no channel anyway (mode 2);
    // either way it stays queued, as get_channel and the ending rule would have said.
    if (memo != nullptr && memo->holds(*entry)) {
      break;
    }
    QUORL_CNV_PVGEN_BLK& blk = entry->blk;
    const bool page_band =
        entry->request == QUORL_CNV_PVGEN_REQ_BAND_EXE && blk.mode == 1 && entry->page_id != 0;
    if (!page_band && memo != nullptr) {
      memo->valid = false;
    }
    quorl_cnv_pvgen_channel* ch = get_channel(p, entry->request, blk);
    auto start = [&] {
      entry->list_stat = QUORL_LIST_RUNNING;
      entry->plane_stat[p] = QUORL_PLANE_RUNNING;
    };
    auto done = [&] {
      entry->plane_stat[p] = QUORL_PLANE_DONE;
      entry->list_stat = QUORL_LIST_DONE;
    };
    // Only a prepare listed with an observer, through the class operations, has no
    // semaphore: nobody waits for it.
    auto post = [&] {
      if (entry->event != nullptr) {
        entry->event->event.post();
      }
    };
    auto finish = [&](int32_t result) {
      entry->list_stat = QUORL_LIST_DONE;
      blk.result = result;
      post();
    };
    bool next_entry = false;

    switch (entry->request) {
      case QUORL_CNV_PVGEN_REQ_PREPARE:
        if (ch != nullptr) {
          start();
          ch->prepare(static_cast<unsigned long>(static_cast<uint32_t>(blk.page_id)));
          blk.result = 0;
          done();
          post();
        } else if (blk.wait_for_channel == 0) {
          finish(-4);
          next_entry = true;
        } else if (device_check(blk.asic, blk.module, blk.channel) != 0 &&
                   !channel_can_become_free(blk)) {
          // Every channel it could get has failed for good, and no new one can be made. Only
          // a prepare that may get channel 0/0/0 (as every prepare of the C functions) ends
          // so: with masks that can never match it waits, as listed, for whoever listed it.
          emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                          "quorl_cnv_pvgen_control::process(%d/%d) no usable channel. "
                          "page_id=0x%lx req_no = %lu\n",
                          entry->request, static_cast<int>(blk.mode), page_word(blk.page_id),
                          static_cast<unsigned long>(entry->req_no));
          finish(-4);
          next_entry = true;
        } else {
          next_entry = true;  // stays queued until a pass finds a free channel
        }
        break;

      case QUORL_CNV_PVGEN_REQ_PAGE_START:
        if (ch != nullptr) {
          start();
          if (ch->page_start(entry->req_no, p, blk) == 0) {
            done();
            post();
            // Bands of the page queued before it stand earlier in the list and found no
            // channel in this pass: one more pass serves them without a later submission.
            ctrl_signal();
          } else {
            entry->list_stat = QUORL_LIST_DONE;
            post();
            next_entry = true;
          }
        } else {
          emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                          "quorl_cnv_pvgen_control::process() page_id error. page_id=0x%lx is "
                          "not prepared.\n",
                          static_cast<unsigned long>(static_cast<uint32_t>(blk.page_id)));
          finish(-3);
          next_entry = true;
        }
        break;

      case QUORL_CNV_PVGEN_REQ_BAND_EXE:
        if (ch != nullptr) {
          start();
          (void)ch->band_exe(entry->req_no, p, blk);  // the worker finishes the entry
        } else if (!page_band) {
          // A page-less band waits for an idle channel its masks match (or for the one to be
          // made), and a page-mode band (`mode` 2) never gets one: both stay queued, as
          // listed, however long that is. The C functions never list either.
          next_entry = true;
        } else if (const page_hold hold = band_page_hold(blk.page_id); hold.held) {
          // Its page is prepared, running on this or another plane, or running in page
          // mode: the band is retried on every pass.
          if (memo != nullptr && !hold.takes_bands) {
            *memo = band_memo{true, blk.page_id};
          }
          next_entry = true;
        } else if (end_band(entry, p)) {
          return true;  // erased: nobody can report it
        } else {
          next_entry = true;
        }
        break;

      case QUORL_CNV_PVGEN_REQ_STOP:
        if (ch != nullptr) {
          if (ch->get_ch_status() == quorl_cnv_pvgen_channel::STATUS_BAND_PAGE &&
              ch->get_proc_num() != 0) {
            break;  // deferred until the channel's queued bands are reported
          }
          start();
          if (ch->stop(blk) == 0) {
            done();
            post();
            // The channel may have become free: requests that stand earlier in the list
            // and found none (a waiting prepare) get another pass, which no worker would
            // ask for.
            ctrl_signal();
          } else {
            entry->list_stat = QUORL_LIST_DONE;
            post();
            next_entry = true;
          }
        } else if (jobs_of_page_queued(blk.page_id)) {
          // A page that ended on a failed band may leave a later band of it on the
          // channel, and an ended band waits for its report; their entries are in the
          // worker's hands until then.
          break;
        } else {
          finish(0);
          next_entry = true;
        }
        break;

      default:
        emwGENTrcPrintf(kTraceModule, kTraceLevel, 0,
                        "quorl_cnv_pvgen_control::process() request error. = %d\n", entry->request);
        utl_lib_svccall_notify(kNotifyKind, 1, 0, kFile, "process", __LINE__);
        break;
    }
    if (next_entry) {
      break;
    }
  }
  return false;
}

#ifndef PVGEN_REFERENCE_PASS
void quorl_cnv_pvgen_control::dispatch_pass() {
  // The pass visits the index of entries it may act on, which holds them in list order, so
  // it acts exactly as a walk over the whole list would, on the same entries in the same
  // order; it only leaves out the visits that cannot change anything:
  //   - entries with nothing pending (finished, stopped, handed to a channel), which the
  //     index drops as soon as the pass finds them so;
  //   - the rest of a run of bands of one page once one of them found no channel: only
  //     this thread can make a band's channel test pass where it failed before (workers
  //     need the list lock to shorten a queue or free a channel, and what they change
  //     without it, the error state and the end of a page, only makes the test fail), and
  //     it does nothing in between.
  quorl_cnv_pvgen_pending& index = registry->pending_index();
  band_memo memo;
  uint32_t epoch = registry->walk_epoch();
  quorl_cnv_pvgen_run* run = index.tidy(index.first());
  while (run != nullptr) {
    bool rewound = false;
    for (quorl_cnv_pvgen_slot* slot = run->first; slot != nullptr;) {
      quorl_cnv_pvgen_slot* next = slot->next_in_run;  // only this entry can leave the run
      QUORL_CNV_PVGEN_LIST_BLK* entry = &slot->entry;
      if (!dispatch_entry(entry, &memo) && !quorl_cnv_pvgen_pending::pending(*entry)) {
        index.remove(slot);
      }
      if (registry->walk_epoch() != epoch) {
        // A stop of a prepared channel took the list lock again, which rewinds the walk to
        // the head: earlier entries that found no channel may get the freed one now.
        epoch = registry->walk_epoch();
        rewound = true;
        break;
      }
      if (run->band && memo.holds_page(run->page_id)) {
        break;  // the rest of the run stays queued too
      }
      slot = next;
    }
    run = index.tidy(rewound ? index.first() : run->next);
  }
}
#endif

}  // namespace norvane
