#include "quorl_cnv_pvgen_commonmethod.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "quorl_cnv_pvgen_singleton.h"
#include "quorl_cnv_pvgen_slot.h"

namespace norvane {

quorl_cnv_pvgen_commonmethod* quorl_cnv_pvgen_commonmethod::s_instance_ = nullptr;
OSW_Mutex_Semaphore* quorl_cnv_pvgen_commonmethod::s_inst_msem_ = nullptr;

namespace {
constexpr uint32_t kNumberWrap = 0x7FFFFFFF;  // request numbers run 1 .. 0x7FFFFFFE

// Erased entries (and their list nodes) kept for reuse. None under AddressSanitizer, so that
// a use of an erased entry is still caught there.
#if defined(__SANITIZE_ADDRESS__)
#define QUORL_PVGEN_NO_REUSE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORL_PVGEN_NO_REUSE 1
#endif
#endif
#ifdef QUORL_PVGEN_NO_REUSE
constexpr size_t kCachedSlots = 0;
#else
constexpr size_t kCachedSlots = 16;
#endif
}  // namespace

// The registry as its callers know it: these members, in this order, on the base class. A
// caller that builds a registry itself sizes it so; the object must fit.
namespace {
struct described_registry_layout : quorl_commonmethod {
  uint32_t req_no_counter;
  std::list<QUORL_CNV_PVGEN_LIST_BLK*> req_list;
  OSW_Mutex_Semaphore req_list_mutex;
  std::list<QUORL_CNV_PVGEN_LIST_BLK*>::iterator req_list_cursor;
  std::list<QUORL_EVENT_SEMAPHORE*> event_semaphore_list;
  std::list<quorl_cnv_pvgen_observer_wrapper*> obs_wrapper_list;
  OSW_Mutex_Semaphore obs_wrapper_mutex;
};
}  // namespace
static_assert(sizeof(quorl_cnv_pvgen_commonmethod) <= sizeof(described_registry_layout),
              "a registry built in storage sized by its described members must fit");
static_assert(alignof(quorl_cnv_pvgen_commonmethod) <= alignof(described_registry_layout));

// ---------------------------------------------------------------- singleton

quorl_cnv_pvgen_commonmethod* quorl_cnv_pvgen_commonmethod::instance() {
  return singleton_instance(s_instance_, s_inst_msem_,
                            [] { return new quorl_cnv_pvgen_commonmethod(); });
}

void quorl_cnv_pvgen_commonmethod::release() {
  singleton_release(s_instance_, s_inst_msem_);
}

quorl_cnv_pvgen_commonmethod::quorl_cnv_pvgen_commonmethod()
    : req_list_cursor(req_list.end()), state_(std::make_unique<list_state>()) {
  OSW_Guard guard(req_list_mutex);
  state_->cached_slots.reserve(kCachedSlots);
}

void quorl_cnv_pvgen_commonmethod::init() {
  quorl_usr_command_receiver_impl::instance()->module_list_insert("PVGEN", this);
}

quorl_cnv_pvgen_commonmethod::~quorl_cnv_pvgen_commonmethod() {
  req_list_clear();
  for (QUORL_EVENT_SEMAPHORE* record : state_->event_semaphore_list) {
    delete record;
  }
  state_->event_semaphore_list.clear();
  {
    OSW_Guard guard(req_list_mutex);
    for (quorl_cnv_pvgen_slot* slot : state_->cached_slots) {
      delete slot;
    }
    state_->cached_slots.clear();
  }
  // Wrappers still listed are held by no entry any more (clearing gave their references
  // back): nobody else can free them, so they go with the registry.
  for (quorl_cnv_pvgen_observer_wrapper* wrapper : obs_wrapper_list) {
    delete wrapper;
  }
  obs_wrapper_list.clear();
}

void quorl_cnv_pvgen_commonmethod::param_print(int, QUORL_CNV_PVGEN_BLK&,
                                               quorl_cnv_pvgen_observer*) {}

// ---------------------------------------------------------------- request list

QUORL_CNV_PVGEN_LIST_BLK* quorl_cnv_pvgen_commonmethod::req_list_insert(
    int request, QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* observer) {
  OSW_Guard guard(req_list_mutex);
  quorl_cnv_pvgen_slot* slot = take_slot();
  std::memcpy(&slot->entry.blk, &blk, sizeof(QUORL_CNV_PVGEN_BLK));
  return insert_slot(request, slot, observer);
}

quorl_cnv_pvgen_slot* quorl_cnv_pvgen_commonmethod::req_slot_take() {
  OSW_Guard guard(req_list_mutex);
  return take_slot();
}

void quorl_cnv_pvgen_commonmethod::req_slot_give(quorl_cnv_pvgen_slot* slot) {
  OSW_Guard guard(req_list_mutex);
  give_slot(slot);
}

QUORL_CNV_PVGEN_LIST_BLK* quorl_cnv_pvgen_commonmethod::req_list_insert_slot(
    int request, quorl_cnv_pvgen_slot* slot, quorl_cnv_pvgen_observer* observer) {
  OSW_Guard guard(req_list_mutex);
  return insert_slot(request, slot, observer);
}

QUORL_CNV_PVGEN_LIST_BLK* quorl_cnv_pvgen_commonmethod::insert_slot(
    int request, quorl_cnv_pvgen_slot* slot, quorl_cnv_pvgen_observer* observer) {
  const uint32_t number = req_no_counter;
  req_no_counter = (number + 1 == kNumberWrap) ? 1 : number + 1;

  // Nothing is left behind when an allocation fails: not the entry, not a pool record, not
  // a trace of it in the tables (they make room first, so that filling them cannot fail).
  try {
    state_->by_address.reserve(req_list.size() + 1);
    state_->by_req_no.reserve(req_list.size() + 1);
    state_->pending.reserve();
  } catch (...) {
    give_slot(slot);
    throw;
  }
  std::unique_ptr<quorl_cnv_pvgen_slot> owned(slot);
  QUORL_CNV_PVGEN_LIST_BLK* entry = &slot->entry;
  const QUORL_CNV_PVGEN_BLK& blk = entry->blk;
  slot->run = nullptr;
  slot->prev_in_run = slot->next_in_run = nullptr;
  entry->req_no = number;
  entry->page_id = (request == QUORL_CNV_PVGEN_REQ_BAND_EXE && blk.mode == 0) ? 0 : blk.page_id;
  entry->list_stat = QUORL_LIST_WAITING;
  entry->request = request;
  entry->priority = static_cast<int32_t>(blk.priority);
  entry->observer = observer;

  // Page starts and stops always block their submitter; a prepare or band blocks it only
  // without an observer. A band with an observer is the one asynchronous request.
  const bool synchronous = request == QUORL_CNV_PVGEN_REQ_PAGE_START ||
                           request == QUORL_CNV_PVGEN_REQ_STOP || observer == nullptr;
  entry->event = nullptr;
  if (synchronous) {
    entry->event = get_event_semaphore();
  }

  entry->plane_stat[0] = QUORL_PLANE_PENDING;
  entry->plane_stat[1] = QUORL_PLANE_DONE;
  entry->plane_stat[2] = QUORL_PLANE_DONE;

  // The list is ordered: the first entry of a greater priority is found from the back, past
  // the entries of greater priority (usually none), instead of walking every equal one.
  auto pos = req_list.end();
  while (pos != req_list.begin() && (*std::prev(pos))->priority > entry->priority) {
    --pos;
  }
  try {
    if (!state_->spare_nodes.empty()) {
      // A node of an erased entry moves over: no allocation.
      slot->where = state_->spare_nodes.begin();
      *slot->where = entry;
      req_list.splice(pos, state_->spare_nodes, slot->where);
    } else {
      slot->where = req_list.insert(pos, entry);
    }
  } catch (...) {
    if (entry->event != nullptr) {
      entry->event->in_use = 0;
    }
    throw;
  }

  (void)state_->by_address.insert(reinterpret_cast<uintptr_t>(entry), slot);
  if (!state_->by_req_no.insert(number, slot)) {
    ++state_->req_no_clashes;
  }
  // A new entry is pending; it goes into the index after the nearest indexed entry before
  // it (usually the one just before it: new entries mostly go to the end, behind bands
  // still waiting).
  quorl_cnv_pvgen_slot* before = nullptr;
  for (auto it = slot->where; it != req_list.begin();) {
    quorl_cnv_pvgen_slot* s = quorl_cnv_pvgen_slot::of(*--it);
    if (s->run != nullptr) {
      before = s;
      break;
    }
  }
  state_->pending.add(slot, before);
  owned.release();
  return entry;
}

quorl_cnv_pvgen_slot* quorl_cnv_pvgen_commonmethod::take_slot() {
  if (state_->cached_slots.empty()) {
    return new quorl_cnv_pvgen_slot;
  }
  quorl_cnv_pvgen_slot* slot = state_->cached_slots.back();
  state_->cached_slots.pop_back();
  return slot;
}

void quorl_cnv_pvgen_commonmethod::give_slot(quorl_cnv_pvgen_slot* slot) {
  if (state_->cached_slots.size() < kCachedSlots) {
    state_->cached_slots.push_back(slot);  // within the room reserved at construction: cannot throw
  } else {
    delete slot;
  }
}

QUORL_EVENT_SEMAPHORE* quorl_cnv_pvgen_commonmethod::get_event_semaphore() {
  for (QUORL_EVENT_SEMAPHORE* record : state_->event_semaphore_list) {
    if (record->in_use == 0) {
      record->in_use = 1;
      return record;
    }
  }
  std::unique_ptr<QUORL_EVENT_SEMAPHORE> record(
      new QUORL_EVENT_SEMAPHORE{1, OSW_Event_Semaphore(0)});
  state_->event_semaphore_list.push_back(record.get());
  return record.release();
}

QUORL_CNV_PVGEN_LIST_BLK* quorl_cnv_pvgen_commonmethod::req_list_search(int mode,
                                                                        unsigned long value) {
  OSW_Guard guard(req_list_mutex);
  switch (mode) {
    case SEARCH_ADDRESS: {
      quorl_cnv_pvgen_slot* slot = state_->by_address.find(value);
      return slot != nullptr ? &slot->entry : nullptr;
    }
    case SEARCH_REQ_NO:
      return find_req_no(value);
    case SEARCH_PAGE_ID:
      for (QUORL_CNV_PVGEN_LIST_BLK* entry : req_list) {
        if (static_cast<uint32_t>(entry->page_id) == static_cast<uint32_t>(value)) {
          return entry;
        }
      }
      return nullptr;
    default:
      return nullptr;
  }
}

QUORL_CNV_PVGEN_LIST_BLK* quorl_cnv_pvgen_commonmethod::find_req_no(unsigned long value) {
  if (state_->req_no_clashes == 0) {
    // Numbers are unique in the list: the table's entry is the only one.
    quorl_cnv_pvgen_slot* slot =
        value != static_cast<uint32_t>(value) ? nullptr : state_->by_req_no.find(value);
    return slot != nullptr ? &slot->entry : nullptr;
  }
  for (QUORL_CNV_PVGEN_LIST_BLK* entry : req_list) {
    if (entry->req_no == value) {
      return entry;
    }
  }
  return nullptr;
}

void quorl_cnv_pvgen_commonmethod::req_list_lock() {
  req_list_mutex.request(OSW_WAIT_FOREVER);
  req_list_cursor = req_list.begin();
  ++state_->walk_epoch;
}

QUORL_CNV_PVGEN_LIST_BLK* quorl_cnv_pvgen_commonmethod::req_list_for_each() {
  if (req_list_cursor == req_list.end()) {
    return nullptr;
  }
  QUORL_CNV_PVGEN_LIST_BLK* entry = *req_list_cursor;
  ++req_list_cursor;
  return entry;
}

void quorl_cnv_pvgen_commonmethod::req_list_unlock() {
  req_list_mutex.release();
}

void quorl_cnv_pvgen_commonmethod::erase_entry(std::list<QUORL_CNV_PVGEN_LIST_BLK*>::iterator& it) {
  QUORL_CNV_PVGEN_LIST_BLK* entry = *it;
  quorl_cnv_pvgen_slot* slot = quorl_cnv_pvgen_slot::of(entry);
  if (entry->event != nullptr) {
    entry->event->in_use = 0;
  }
  obs_wrapper_delete(entry->observer);
  state_->pending.remove(slot);
  (void)state_->by_address.erase(reinterpret_cast<uintptr_t>(entry));
  (void)state_->by_req_no.erase(entry->req_no, slot);
  give_slot(slot);
  if (state_->spare_nodes.size() < kCachedSlots) {
    const auto next = std::next(it);
    state_->spare_nodes.splice(state_->spare_nodes.end(), req_list,
                               it);  // kept for the next insertion
    it = next;
  } else {
    it = req_list.erase(it);
  }
  if (req_list.empty()) {
    state_->req_no_clashes = 0;  // none of the clashing numbers is listed any more
  }
}

void quorl_cnv_pvgen_commonmethod::req_list_erase(int mode, unsigned long value) {
  OSW_Guard guard(req_list_mutex);
  if (mode == ERASE_ADDRESS) {
    // An address names one entry; anything that is not a listed entry's address names none.
    if (quorl_cnv_pvgen_slot* slot = state_->by_address.find(value)) {
      auto it = slot->where;
      erase_entry(it);
    }
    return;
  }
  for (auto it = req_list.begin(); it != req_list.end();) {
    QUORL_CNV_PVGEN_LIST_BLK* entry = *it;
    bool erase = false;
    switch (mode) {
      case ERASE_REQ_NO:
        erase = entry->req_no == value;
        break;
      case ERASE_LIST_STAT:
        erase = static_cast<uint32_t>(entry->list_stat) == static_cast<uint32_t>(value);
        break;
      case ERASE_PAGE_ID:
        erase = static_cast<uint32_t>(entry->page_id) == static_cast<uint32_t>(value);
        break;
      case ERASE_STOP:
        if (static_cast<uint32_t>(entry->page_id) == static_cast<uint32_t>(value) &&
            entry->list_stat != QUORL_LIST_DONE) {
          erase = apply_stop_rule(entry);
        }
        break;
      default:
        break;
    }
    if (erase) {
      erase_entry(it);
    } else {
      ++it;
    }
  }
}

bool quorl_cnv_pvgen_commonmethod::apply_stop_rule(QUORL_CNV_PVGEN_LIST_BLK* entry) {
  // Synchronous submitters are woken and collect their own entries; asynchronous bands (and
  // anything else) end here, unreported.
  const bool waited_on =
      entry->request == QUORL_CNV_PVGEN_REQ_PREPARE ||
      entry->request == QUORL_CNV_PVGEN_REQ_PAGE_START ||
      (entry->request == QUORL_CNV_PVGEN_REQ_BAND_EXE && entry->observer == nullptr);
  if (!waited_on) {
    --module_count_;
    return true;
  }
  // A submitter is woken once: a record a stop has already posted is marked 2 (still in use)
  // so that a later stop of the same page does not post it again, which would leave a
  // stray count in the pooled semaphore for its next owner.
  if (entry->event != nullptr && entry->event->in_use == 1) {
    entry->event->in_use = 2;
    entry->event->event.post();
  }
  // A request of the page submitted after the stop marked its work is marked now, so that
  // the dispatcher never starts it (and never posts it a second time) before its submitter
  // has collected it.
  entry->list_stat = QUORL_LIST_STOP;
  return false;
}

void quorl_cnv_pvgen_commonmethod::req_list_end_stopped(int32_t page_id) {
  OSW_Guard guard(req_list_mutex);
  for (auto it = req_list.begin(); it != req_list.end();) {
    QUORL_CNV_PVGEN_LIST_BLK* entry = *it;
    const bool idle = entry->plane_stat[0] == QUORL_PLANE_DONE &&
                      entry->plane_stat[1] == QUORL_PLANE_DONE &&
                      entry->plane_stat[2] == QUORL_PLANE_DONE;
    if (entry->page_id == page_id && entry->list_stat == QUORL_LIST_STOP && idle &&
        apply_stop_rule(entry)) {
      erase_entry(it);
    } else {
      ++it;
    }
  }
}

void quorl_cnv_pvgen_commonmethod::req_list_end_page(int32_t page_id) {
  OSW_Guard guard(req_list_mutex);
  for (auto it = req_list.begin(); it != req_list.end();) {
    QUORL_CNV_PVGEN_LIST_BLK* entry = *it;
    const bool handed_over =
        entry->list_stat == QUORL_LIST_RUNNING && (entry->plane_stat[0] == QUORL_PLANE_RUNNING ||
                                                   entry->plane_stat[1] == QUORL_PLANE_RUNNING ||
                                                   entry->plane_stat[2] == QUORL_PLANE_RUNNING);
    if (entry->page_id == page_id && entry->list_stat != QUORL_LIST_DONE && !handed_over &&
        apply_stop_rule(entry)) {
      erase_entry(it);
    } else {
      ++it;
    }
  }
}

void quorl_cnv_pvgen_commonmethod::req_list_end_all() {
  OSW_Guard guard(req_list_mutex);
  for (QUORL_CNV_PVGEN_LIST_BLK* entry : req_list) {
    if (entry->event == nullptr || entry->event->in_use != 1 ||
        entry->list_stat == QUORL_LIST_DONE) {
      continue;
    }
    if (entry->list_stat != QUORL_LIST_STOP) {
      entry->blk.result = entry->request == QUORL_CNV_PVGEN_REQ_PREPARE ? -4 : -3;
    }
    entry->list_stat = QUORL_LIST_STOP;
    entry->event->in_use = 2;
    entry->event->event.post();
  }
}

void quorl_cnv_pvgen_commonmethod::req_list_clear() {
  OSW_Guard guard(req_list_mutex);
  state_->pending.clear();  // before the slots it links go
  for (QUORL_CNV_PVGEN_LIST_BLK* entry : req_list) {
    if (entry->event != nullptr) {
      entry->event->in_use = 0;
    }
    obs_wrapper_delete(entry->observer);
    give_slot(quorl_cnv_pvgen_slot::of(entry));
  }
  state_->by_address.clear();
  state_->by_req_no.clear();
  state_->req_no_clashes = 0;
  req_list.clear();
  req_list_cursor = req_list.end();
}

// ---------------------------------------------------------------- observer wrappers

quorl_cnv_pvgen_observer_wrapper* quorl_cnv_pvgen_commonmethod::obs_wrapper_create(
    unsigned long page_id, callback_type callback) {
  if (callback == nullptr) {
    return nullptr;  // a synchronous request: nothing to look up
  }
  OSW_Guard guard(obs_wrapper_mutex);
  for (quorl_cnv_pvgen_observer_wrapper* wrapper : obs_wrapper_list) {
    if (wrapper->get_observer() == callback) {
      wrapper->inc_ref_num();
      return wrapper;
    }
  }
  auto wrapper = std::make_unique<quorl_cnv_pvgen_observer_wrapper>(page_id);
  wrapper->set_observer(callback);
  obs_wrapper_list.push_back(wrapper.get());  // may run out of memory: the wrapper goes too
  return wrapper.release();
}

void quorl_cnv_pvgen_commonmethod::obs_wrapper_delete(void* wrapper) {
  if (wrapper == nullptr) {
    return;  // the common case: an entry without observer
  }
  OSW_Guard guard(obs_wrapper_mutex);
  // Compare addresses only: an observer that is not one of our wrappers is never touched.
  for (auto it = obs_wrapper_list.begin(); it != obs_wrapper_list.end(); ++it) {
    if (static_cast<void*>(*it) == wrapper) {
      if ((*it)->dec_ref_num() == 0) {
        delete *it;
        obs_wrapper_list.erase(it);
      }
      return;
    }
  }
}

// ---------------------------------------------------------------- diagnostics

size_t quorl_cnv_pvgen_commonmethod::req_list_size() {
  OSW_Guard guard(req_list_mutex);
  return req_list.size();
}

size_t quorl_cnv_pvgen_commonmethod::event_semaphore_count() {
  OSW_Guard guard(req_list_mutex);
  return state_->event_semaphore_list.size();
}

size_t quorl_cnv_pvgen_commonmethod::event_semaphore_in_use() {
  OSW_Guard guard(req_list_mutex);
  size_t n = 0;
  for (const QUORL_EVENT_SEMAPHORE* record : state_->event_semaphore_list) {
    n += record->in_use != 0 ? 1 : 0;
  }
  return n;
}

size_t quorl_cnv_pvgen_commonmethod::obs_wrapper_count() {
  OSW_Guard guard(obs_wrapper_mutex);
  return obs_wrapper_list.size();
}

void quorl_cnv_pvgen_commonmethod::log_print() {
  // The list mutex is held for the whole summary so no entry is freed while it is read;
  // the walk cursor is not used.
  OSW_Guard guard(req_list_mutex);
  const int count = static_cast<int>(req_list.size());
  UCOM_UsrCommandReceiver::uctracef("QUORL", "list_num = %d\n", count);
  if (count == 0) {
    return;
  }
  constexpr int kShown = 16;
  std::string text = "list[page_id/request/list_stat] - ";
  int shown = 0;
  for (const QUORL_CNV_PVGEN_LIST_BLK* entry : req_list) {
    if (shown++ == kShown) {
      break;
    }
    // An item is cut to its first nine characters: the cut is the summary's format.
    char item[10];
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
    (void)std::snprintf(item, sizeof item, "%ld/%d/%d, ", static_cast<long>(entry->page_id),
                        entry->request, entry->list_stat);
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    text += item;
  }
  UCOM_UsrCommandReceiver::uctracef("QUORL", "%s\n", text.c_str());
}

void quorl_cnv_pvgen_commonmethod::list_print() {}

// The framework declares this front end and leaves its body to the library that uses it, so
// it is part of what the library exports.
QUORL_CNV_PVGEN_API void UCOM_UsrCommandReceiver::uctracef(const char* tag, const char* format,
                                                           ...) {
  va_list args;
  va_start(args, format);
  (void)UCOM_UsrCommandReceiver::uc_trace(tag, format, args);
  va_end(args);
}

}  // namespace norvane
