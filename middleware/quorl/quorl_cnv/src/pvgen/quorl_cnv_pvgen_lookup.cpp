#include "quorl_cnv_pvgen_lookup.h"

#include <utility>

namespace norvane {

void quorl_cnv_pvgen_lookup::grow(size_t count) {
  size_t capacity = cells_.empty() ? 16 : cells_.size();
  while (capacity < 2 * count) {
    capacity *= 2;
  }
  std::vector<cell> old(capacity, cell{0, nullptr});  // the only allocation; may throw
  std::swap(old, cells_);
  mask_ = capacity - 1;
  for (const cell& c : old) {
    if (c.key != 0) {
      size_t i = home(c.key);
      while (cells_[i].key != 0) {
        i = (i + 1) & mask_;
      }
      cells_[i] = c;
    }
  }
}

quorl_cnv_pvgen_slot* quorl_cnv_pvgen_lookup::erase(uintptr_t key,
                                                    const quorl_cnv_pvgen_slot* slot) {
  if (used_ == 0 || key == 0) {
    return nullptr;
  }
  size_t i = home(key);
  while (cells_[i].key != key) {
    if (cells_[i].key == 0) {
      return nullptr;
    }
    i = (i + 1) & mask_;
  }
  quorl_cnv_pvgen_slot* found = cells_[i].slot;
  if (slot != nullptr && found != slot) {
    return nullptr;
  }
  // Backward-shift deletion: later cells of the same probe chain move up into the gap, so
  // that no tombstones pile up.
  for (size_t j = (i + 1) & mask_; cells_[j].key != 0; j = (j + 1) & mask_) {
    const size_t h = home(cells_[j].key);
    // Cell j may fill the gap at i when its home does not lie cyclically in (i, j].
    const bool stays = (i <= j) ? (i < h && h <= j) : (i < h || h <= j);
    if (!stays) {
      cells_[i] = cells_[j];
      i = j;
    }
  }
  cells_[i] = cell{0, nullptr};
  --used_;
  return found;
}

void quorl_cnv_pvgen_lookup::clear() {
  for (cell& c : cells_) {
    c = cell{0, nullptr};
  }
  used_ = 0;
}

}  // namespace norvane
