// The registry's unit of allocation for one request: the list entry itself, followed by what
// lets the registry reach it without walking the list. Callers only ever see the entry; an
// entry's address is its slot's address.
#pragma once

#include <cstddef>
#include <list>
#include <type_traits>

#include "quorl_cnv_pvgen_records.h"

namespace norvane {

struct quorl_cnv_pvgen_run;

// Every word is guarded by the registry's list mutex.
struct quorl_cnv_pvgen_slot {
  QUORL_CNV_PVGEN_LIST_BLK entry;  // first: the entry's layout is unchanged
  // The entry's node in the request list, for erasing it without a walk.
  std::list<QUORL_CNV_PVGEN_LIST_BLK*>::iterator where;
  // Membership of the index of entries a dispatcher pass may act on (null: not indexed).
  quorl_cnv_pvgen_run* run;
  quorl_cnv_pvgen_slot* prev_in_run;
  quorl_cnv_pvgen_slot* next_in_run;

  static quorl_cnv_pvgen_slot* of(QUORL_CNV_PVGEN_LIST_BLK* entry) {
    return reinterpret_cast<quorl_cnv_pvgen_slot*>(entry);
  }
};

// The entry and its slot share one address (pointer-interconvertible).
static_assert(std::is_standard_layout_v<quorl_cnv_pvgen_slot>);
static_assert(offsetof(quorl_cnv_pvgen_slot, entry) == 0);

}  // namespace norvane
