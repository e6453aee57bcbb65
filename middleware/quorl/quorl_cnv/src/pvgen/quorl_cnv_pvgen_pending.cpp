#include "quorl_cnv_pvgen_pending.h"

#include "quorl_cnv_pvgen_slot.h"

namespace norvane {

quorl_cnv_pvgen_pending::~quorl_cnv_pvgen_pending() {
  clear();
  while (spare_ != nullptr) {
    quorl_cnv_pvgen_run* next = spare_->next;
    delete spare_;
    spare_ = next;
  }
}

void quorl_cnv_pvgen_pending::refill() {
  // add() needs at most two: one for the new entry, one for the part of a run it splits.
  while (spare_count_ < 2) {
    give_run(new quorl_cnv_pvgen_run{});
  }
}

quorl_cnv_pvgen_run* quorl_cnv_pvgen_pending::take_run() {
  quorl_cnv_pvgen_run* run = spare_;
  spare_ = run->next;
  --spare_count_;
  *run = quorl_cnv_pvgen_run{};
  return run;
}

void quorl_cnv_pvgen_pending::give_run(quorl_cnv_pvgen_run* run) {
  run->next = spare_;
  spare_ = run;
  ++spare_count_;
}

void quorl_cnv_pvgen_pending::link_after(quorl_cnv_pvgen_run* prev, quorl_cnv_pvgen_run* run) {
  run->prev = prev;
  run->next = prev != nullptr ? prev->next : head_;
  (run->next != nullptr ? run->next->prev : tail_) = run;
  (prev != nullptr ? prev->next : head_) = run;
}

void quorl_cnv_pvgen_pending::unlink(quorl_cnv_pvgen_run* run) {
  (run->prev != nullptr ? run->prev->next : head_) = run->next;
  (run->next != nullptr ? run->next->prev : tail_) = run->prev;
}

void quorl_cnv_pvgen_pending::split_before(quorl_cnv_pvgen_slot* from) {
  quorl_cnv_pvgen_run* old = from->run;
  quorl_cnv_pvgen_run* part = take_run();
  part->band = old->band;
  part->page_id = old->page_id;
  part->first = from;
  part->last = old->last;
  old->last = from->prev_in_run;
  old->last->next_in_run = nullptr;
  from->prev_in_run = nullptr;
  for (quorl_cnv_pvgen_slot* s = from; s != nullptr; s = s->next_in_run) {
    s->run = part;
  }
  link_after(old, part);
}

void quorl_cnv_pvgen_pending::add(quorl_cnv_pvgen_slot* slot, quorl_cnv_pvgen_slot* before) {
  set_indexed(indexed_ + 1);  // nothing below fails
  const bool band = page_band(slot->entry);
  const int32_t page = slot->entry.page_id;
  quorl_cnv_pvgen_run* prev_run = nullptr;
  if (before != nullptr) {
    quorl_cnv_pvgen_run* run = before->run;
    if (band && run->band && run->page_id == page) {
      // Joins the run of its page right after `before`.
      slot->run = run;
      slot->prev_in_run = before;
      slot->next_in_run = before->next_in_run;
      (before->next_in_run != nullptr ? before->next_in_run->prev_in_run : run->last) = slot;
      before->next_in_run = slot;
      return;
    }
    if (before != run->last) {
      split_before(before->next_in_run);  // it lands inside a run of another page
    }
    prev_run = run;
  }
  quorl_cnv_pvgen_run* next_run = prev_run != nullptr ? prev_run->next : head_;
  if (band && next_run != nullptr && next_run->band && next_run->page_id == page) {
    // Opens the following run of its page (an emptied run takes it as well).
    slot->run = next_run;
    slot->prev_in_run = nullptr;
    slot->next_in_run = next_run->first;
    (next_run->first != nullptr ? next_run->first->prev_in_run : next_run->last) = slot;
    next_run->first = slot;
    return;
  }
  quorl_cnv_pvgen_run* run = take_run();
  run->band = band;
  run->page_id = page;
  run->first = run->last = slot;
  slot->run = run;
  slot->prev_in_run = slot->next_in_run = nullptr;
  link_after(prev_run, run);
}

void quorl_cnv_pvgen_pending::remove(quorl_cnv_pvgen_slot* slot) {
  quorl_cnv_pvgen_run* run = slot->run;
  if (run == nullptr) {
    return;
  }
  (slot->prev_in_run != nullptr ? slot->prev_in_run->next_in_run : run->first) = slot->next_in_run;
  (slot->next_in_run != nullptr ? slot->next_in_run->prev_in_run : run->last) = slot->prev_in_run;
  slot->run = nullptr;
  slot->prev_in_run = slot->next_in_run = nullptr;
  set_indexed(indexed_ - 1);
}

quorl_cnv_pvgen_run* quorl_cnv_pvgen_pending::tidy(quorl_cnv_pvgen_run* run) {
  while (run != nullptr && run->first == nullptr) {
    quorl_cnv_pvgen_run* next = run->next;
    unlink(run);
    give_run(run);
    run = next;
  }
  if (run == nullptr || !run->band) {
    return run;
  }
  // Band runs of the same page with nothing pending between them are one run to a pass.
  while (run->next != nullptr &&
         (run->next->first == nullptr || (run->next->band && run->next->page_id == run->page_id))) {
    quorl_cnv_pvgen_run* next = run->next;
    if (next->first != nullptr) {
      for (quorl_cnv_pvgen_slot* s = next->first; s != nullptr; s = s->next_in_run) {
        s->run = run;
      }
      run->last->next_in_run = next->first;
      next->first->prev_in_run = run->last;
      run->last = next->last;
    }
    unlink(next);
    give_run(next);
  }
  return run;
}

void quorl_cnv_pvgen_pending::set_indexed(size_t count) {
  std::atomic_ref<size_t>(indexed_).store(count, std::memory_order_relaxed);
}

void quorl_cnv_pvgen_pending::clear() {
  set_indexed(0);
  while (head_ != nullptr) {
    quorl_cnv_pvgen_run* run = head_;
    for (quorl_cnv_pvgen_slot* s = run->first; s != nullptr;) {
      quorl_cnv_pvgen_slot* next = s->next_in_run;
      s->run = nullptr;
      s->prev_in_run = s->next_in_run = nullptr;
      s = next;
    }
    unlink(run);
    give_run(run);
  }
}

}  // namespace norvane
