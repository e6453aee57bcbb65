// The entries a dispatcher pass may act on, in list order, beside the request list.
//
// A pass acts only on entries that still have a pending plane (list_stat 0 or 1 with a
// plane_stat of 0). Entries start that way and never return to it, so the index holds every
// such entry: each entry is added when it is inserted, leaves when it is erased, and is
// dropped by the pass once it finds the entry no longer pending (until then it may stay,
// and a pass skips it as the list walk would).
//
// Consecutive bands listed with the same page form one run. Once one band of a run finds no
// channel in a pass, none of the following ones can either (only the dispatcher can make a
// band's channel test pass, and it does nothing in between), so the pass skips the rest of
// the run at once: a page with thousands of bands queued costs a pass one visit, not one
// per band. Every other entry is a run of its own.
//
// Not thread-safe by itself: the registry keeps the index under its list mutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "quorl_cnv_pvgen_records.h"

namespace norvane {

struct quorl_cnv_pvgen_slot;

struct quorl_cnv_pvgen_run {
  quorl_cnv_pvgen_run* prev;
  quorl_cnv_pvgen_run* next;
  quorl_cnv_pvgen_slot* first;  // null: emptied, dropped by the next tidy()
  quorl_cnv_pvgen_slot* last;
  int32_t page_id;
  bool band;  // bands listed with page_id; otherwise exactly one entry
};

class quorl_cnv_pvgen_pending {
 public:
  quorl_cnv_pvgen_pending() = default;
  quorl_cnv_pvgen_pending(const quorl_cnv_pvgen_pending&) = delete;
  quorl_cnv_pvgen_pending& operator=(const quorl_cnv_pvgen_pending&) = delete;
  ~quorl_cnv_pvgen_pending();

  // A band listed with a page: what runs are made of.
  static bool page_band(const QUORL_CNV_PVGEN_LIST_BLK& entry) {
    return entry.request == QUORL_CNV_PVGEN_REQ_BAND_EXE && entry.page_id != 0;
  }
  // Whether a pass may still act on the entry.
  static bool pending(const QUORL_CNV_PVGEN_LIST_BLK& entry) {
    return (entry.list_stat == QUORL_LIST_WAITING || entry.list_stat == QUORL_LIST_RUNNING) &&
           (entry.plane_stat[0] == QUORL_PLANE_PENDING ||
            entry.plane_stat[1] == QUORL_PLANE_PENDING ||
            entry.plane_stat[2] == QUORL_PLANE_PENDING);
  }

  // Keeps the run records that add() may need; may throw std::bad_alloc, changing nothing.
  void reserve() {
    if (spare_count_ < 2) {
      refill();
    }
  }
  // Indexes `slot` right after `before`, the nearest indexed slot that precedes it in the
  // list (null: it precedes every indexed slot). Never throws after reserve().
  void add(quorl_cnv_pvgen_slot* slot, quorl_cnv_pvgen_slot* before);
  // Takes `slot` out of the index if it is in it. Its run stays linked, possibly empty,
  // so that a pass standing on it can go on.
  void remove(quorl_cnv_pvgen_slot* slot);

  // For the pass: from `run` on (null: nothing), drops emptied runs and joins the band runs
  // of the same page that follow the first one left; returns that run, or null.
  quorl_cnv_pvgen_run* tidy(quorl_cnv_pvgen_run* run);
  quorl_cnv_pvgen_run* first() const { return head_; }
  // How many slots are indexed. Written under the registry's list mutex; readable without
  // it (a relaxed read: a count older than a change its reader was told of cannot be seen).
  // Spelt out rather than through relaxed_load(): this header is installed with the
  // classes', the library's small helpers are not.
  size_t indexed() const {
    return std::atomic_ref<size_t>(const_cast<size_t&>(indexed_)).load(std::memory_order_relaxed);
  }

  // Forgets every slot (the registry is clearing its list).
  void clear();

 private:
  void refill();
  quorl_cnv_pvgen_run* take_run();
  void give_run(quorl_cnv_pvgen_run* run);
  // Links `run` after `prev` (null: at the head).
  void link_after(quorl_cnv_pvgen_run* prev, quorl_cnv_pvgen_run* run);
  void unlink(quorl_cnv_pvgen_run* run);
  void set_indexed(size_t count);
  // Moves the slots from `from` on to a new run that follows their old one.
  void split_before(quorl_cnv_pvgen_slot* from);

  quorl_cnv_pvgen_run* head_ = nullptr;
  quorl_cnv_pvgen_run* tail_ = nullptr;
  quorl_cnv_pvgen_run* spare_ = nullptr;  // free run records, linked by next
  size_t spare_count_ = 0;
  size_t indexed_ = 0;  // slots with a run; see indexed()
};

}  // namespace norvane
