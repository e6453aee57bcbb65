// The registry singleton: the priority-ordered request list with its walk cursor, the pool
// of completion semaphores, the observer wrappers, and the "PVGEN" diagnostic summary.
//
// Threads and locks:
//   req_list_mutex (re-entrant) guards req_no_counter, req_list, every entry's header words
//     and block copy, req_list_cursor and the semaphore pool (in_use words). Taken by
//     submitters (insert, erase, stop marking), the dispatcher (a whole pass, through
//     req_list_lock) and channel workers (search, short updates, erase).
//   obs_wrapper_mutex guards obs_wrapper_list; taken after req_list_mutex when both are held
//     (erasure gives observer references back), and alone by obs_wrapper_create.
//   Lock order: req_list_mutex -> obs_wrapper_mutex -> a wrapper's ref_mutex.
//   Beside the list, under req_list_mutex too: the entries by address and by request
//   number (so that erasing an entry or a worker's lookup of its job needs no walk), the
//   index of entries a dispatcher pass may act on, and the count of req_list_lock calls
//   (by which a pass learns that a nested lock rewound the walk).
//   s_instance_ is published with release ordering once constructed and registered, and read
//   with acquire ordering without a lock; s_inst_msem_ guards creation only.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "norvane/framework.h"
#include "osw.h"
#include "quorl_cnv_pvgen_lookup.h"
#include "quorl_cnv_pvgen_observer_wrapper.h"
#include "quorl_cnv_pvgen_pending.h"
#include "quorl_cnv_pvgen_records.h"
#include "thread_annotations.h"

namespace norvane {

struct quorl_cnv_pvgen_slot;

class QUORL_CNV_PVGEN_API quorl_cnv_pvgen_commonmethod : public quorl_commonmethod {
 public:
  using callback_type = quorl_cnv_pvgen_observer_wrapper::callback_type;

  // Search modes.
  static constexpr int SEARCH_ADDRESS = 0;
  static constexpr int SEARCH_REQ_NO = 1;
  static constexpr int SEARCH_PAGE_ID = 3;
  // Erase modes.
  static constexpr int ERASE_ADDRESS = 0;
  static constexpr int ERASE_REQ_NO = 1;
  static constexpr int ERASE_LIST_STAT = 2;
  static constexpr int ERASE_PAGE_ID = 3;
  static constexpr int ERASE_STOP = 4;

  // thread-safe: the registry, created (and registered as "PVGEN") on the first call.
  static quorl_cnv_pvgen_commonmethod* instance();
  // Destroys the registry and its instance mutex. Only when no other thread uses the
  // registry, waits on one of its semaphores or will use it later.
  static void release();

  void init();

  // Diagnostic hook called before validation; has no effect.
  void param_print(int request, QUORL_CNV_PVGEN_BLK& blk, quorl_cnv_pvgen_observer* observer);

  // --- request list (all thread-safe unless said otherwise) ---
  QUORL_CNV_PVGEN_LIST_BLK* req_list_insert(int request, QUORL_CNV_PVGEN_BLK& blk,
                                            quorl_cnv_pvgen_observer* observer);
  // The same in two steps, for a submission that makes its working copy of the block in
  // place: req_slot_take gives an entry-to-be whose `entry.blk` the caller fills (and may
  // validate); req_list_insert_slot then numbers and lists it like req_list_insert, without
  // copying the block again, or req_slot_give takes it back unlisted. Either takes the slot
  // over, also when it throws (std::bad_alloc).
  quorl_cnv_pvgen_slot* req_slot_take();
  QUORL_CNV_PVGEN_LIST_BLK* req_list_insert_slot(int request, quorl_cnv_pvgen_slot* slot,
                                                 quorl_cnv_pvgen_observer* observer);
  void req_slot_give(quorl_cnv_pvgen_slot* slot);
  // Returns the first match, or null. The entry stays valid after the lock is let go
  // because only its collector erases it.
  QUORL_CNV_PVGEN_LIST_BLK* req_list_search(int mode, unsigned long value);
  // Takes the list mutex (re-entrant) and rewinds the walk cursor to the head.
  void req_list_lock() ACQUIRE(req_list_mutex);
  // Lock holder only: the next entry of the walk, or null at the end.
  QUORL_CNV_PVGEN_LIST_BLK* req_list_for_each() REQUIRES(req_list_mutex);
  // Releases the list mutex once.
  void req_list_unlock() RELEASE(req_list_mutex);
  // The list mutex itself, so that functions of other classes that run with it held can say
  // so (REQUIRES(registry->list_mutex())), and for holders that do not walk (a guard on it
  // leaves the walk cursor alone).
  OSW_Mutex_Semaphore& list_mutex() RETURN_CAPABILITY(req_list_mutex) { return req_list_mutex; }
  // List mutex holder only: the entries a dispatcher pass may act on, in list order.
  quorl_cnv_pvgen_pending& pending_index() REQUIRES(req_list_mutex) { return state_->pending; }
  // Any thread, without the list mutex: whether the index holds no entry, as of the last
  // change of it that the caller was told of (every thread that lists an entry signals the
  // dispatcher after letting go of the list mutex).
  bool nothing_pending() const NO_THREAD_SAFETY_ANALYSIS { return state_->pending.indexed() == 0; }
  // List mutex holder only: how many times req_list_lock rewound the walk so far.
  uint32_t walk_epoch() const REQUIRES(req_list_mutex) { return state_->walk_epoch; }
  void req_list_erase(int mode, unsigned long value);
  // After a stop that failed: ends the page's entries marked for the stop (list_stat 3)
  // that no channel works on any more (no plane running), by the same rule as ERASE_STOP.
  void req_list_end_stopped(int32_t page_id);
  // Stop clean-up of a page (ERASE_STOP) that spares what a new binding of a reused page
  // identifier already handed to a channel: entries still running (list_stat 1) were
  // submitted after the stop marked the page, and their worker reports them.
  void req_list_end_page(int32_t page_id);
  // Teardown: wakes every synchronous submitter whose entry is not finished, once; an entry
  // that never ran ends with -4 (prepare) or -3 (every other kind). Asynchronous entries
  // are left for clearing.
  void req_list_end_all();
  // Erases every entry; only for the destructor, when nobody waits on an entry.
  void req_list_clear();
  // List mutex holder only (called by req_list_insert).
  QUORL_EVENT_SEMAPHORE* get_event_semaphore() REQUIRES(req_list_mutex);

  // --- observer wrappers ---
  quorl_cnv_pvgen_observer_wrapper* obs_wrapper_create(unsigned long page_id,
                                                       callback_type callback);
  void obs_wrapper_delete(void* wrapper);

  // --- diagnostics ---
  void log_print() override;
  void list_print();

  // Counts for tests and benchmarks (each under its own mutex).
  size_t req_list_size();
  size_t event_semaphore_count();
  size_t event_semaphore_in_use();  // pool records an entry still holds
  size_t obs_wrapper_count();
  int32_t module_counter() const { return module_count_; }

  ~quorl_cnv_pvgen_commonmethod() override;

 private:
  // The tests reach the request-number counter and the list mutex through this.
  friend struct RegistryTestAccess;

  quorl_cnv_pvgen_commonmethod();

  void erase_entry(std::list<QUORL_CNV_PVGEN_LIST_BLK*>::iterator& it) REQUIRES(req_list_mutex);
  // The stop rule for one unfinished entry of a stopped page: wakes a synchronous submitter
  // (once) and returns false, or returns true when the entry is to be erased.
  bool apply_stop_rule(QUORL_CNV_PVGEN_LIST_BLK* entry) REQUIRES(req_list_mutex);

  // Numbers and lists the entry of `slot`, whose block is filled; takes the slot over.
  QUORL_CNV_PVGEN_LIST_BLK* insert_slot(int request, quorl_cnv_pvgen_slot* slot,
                                        quorl_cnv_pvgen_observer* observer)
      REQUIRES(req_list_mutex);
  // A slot for a new entry: a cached one, or a new one (may throw std::bad_alloc).
  quorl_cnv_pvgen_slot* take_slot() REQUIRES(req_list_mutex);
  // Frees an erased entry's slot, or keeps it for the next entry while fewer than
  // kCachedSlots (commonmethod.cpp) are kept.
  void give_slot(quorl_cnv_pvgen_slot* slot) REQUIRES(req_list_mutex);
  // The first entry in list order with request number `value`, or null.
  QUORL_CNV_PVGEN_LIST_BLK* find_req_no(unsigned long value) REQUIRES(req_list_mutex);

  uint32_t req_no_counter GUARDED_BY(req_list_mutex) = 1;
  std::list<QUORL_CNV_PVGEN_LIST_BLK*> req_list GUARDED_BY(req_list_mutex);
  OSW_Mutex_Semaphore req_list_mutex{1};
  std::list<QUORL_CNV_PVGEN_LIST_BLK*>::iterator req_list_cursor GUARDED_BY(req_list_mutex);
  // The completion-semaphore pool and the list's indexes live beside the object: a caller
  // that builds a registry itself sizes it by its described members, so the object must not
  // be larger than those (checked in quorl_cnv_pvgen_commonmethod.cpp). Made by the
  // constructor, freed by the destructor.
  struct list_state {
    std::list<QUORL_EVENT_SEMAPHORE*> event_semaphore_list;  // the pool, in creation order
    quorl_cnv_pvgen_lookup by_address;
    quorl_cnv_pvgen_lookup by_req_no;
    // Entries listed while an older entry with the same request number (after the numbers
    // wrapped) was still there; while any is listed, a lookup by number walks the list.
    uint32_t req_no_clashes = 0;
    quorl_cnv_pvgen_pending pending;
    // Freed entries kept for reuse (an entry is 2.3 KB: allocating and freeing one is a good
    // part of a request's cost). Room for all of them is reserved at construction.
    std::vector<quorl_cnv_pvgen_slot*> cached_slots;
    // List nodes of erased entries, moved (spliced) back into req_list by later insertions.
    std::list<QUORL_CNV_PVGEN_LIST_BLK*> spare_nodes;
    uint32_t walk_epoch = 0;
  };
  const std::unique_ptr<list_state> state_ PT_GUARDED_BY(req_list_mutex);
  std::list<quorl_cnv_pvgen_observer_wrapper*> obs_wrapper_list GUARDED_BY(obs_wrapper_mutex);
  OSW_Mutex_Semaphore obs_wrapper_mutex{1};

  static quorl_cnv_pvgen_commonmethod* s_instance_;
  static OSW_Mutex_Semaphore* s_inst_msem_;
};

}  // namespace norvane
