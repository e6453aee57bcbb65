// A map from a non-zero key word to a request slot, by open addressing: the registry finds
// an entry by its address or by its request number in constant time instead of walking the
// list. It grows by doubling (reserve() before a change, so that the change itself cannot
// fail) and never shrinks, so a steady flow of requests allocates nothing here.
//
// Not thread-safe by itself: the registry keeps its tables under its list mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace norvane {

struct quorl_cnv_pvgen_slot;

class quorl_cnv_pvgen_lookup {
 public:
  // Makes room for `count` keys; may throw std::bad_alloc and then changes nothing.
  void reserve(size_t count) {
    if (2 * count > cells_.size()) {
      grow(count);
    }
  }
  // Adds `key` (non-zero) unless it is there; returns false when it was. There must be
  // room (reserve). Never throws.
  bool insert(uintptr_t key, quorl_cnv_pvgen_slot* slot) {
    size_t i = home(key);
    for (; cells_[i].key != 0; i = (i + 1) & mask_) {
      if (cells_[i].key == key) {
        return false;
      }
    }
    cells_[i] = cell{key, slot};
    ++used_;
    return true;
  }
  // The slot of `key`, or null.
  quorl_cnv_pvgen_slot* find(uintptr_t key) const {
    if (used_ == 0 || key == 0) {
      return nullptr;
    }
    for (size_t i = home(key);; i = (i + 1) & mask_) {
      if (cells_[i].key == key) {
        return cells_[i].slot;
      }
      if (cells_[i].key == 0) {
        return nullptr;
      }
    }
  }
  // Removes `key` when it maps to `slot` (any slot when `slot` is null); returns the slot
  // it mapped to, or null when it was not there.
  quorl_cnv_pvgen_slot* erase(uintptr_t key, const quorl_cnv_pvgen_slot* slot = nullptr);
  void clear();
  size_t size() const { return used_; }

 private:
  struct cell {
    uintptr_t key;  // 0: empty
    quorl_cnv_pvgen_slot* slot;
  };
  size_t home(uintptr_t key) const {
    // Fibonacci hashing: request numbers are consecutive and addresses share their low
    // bits, so the key is spread over the whole word before the table's bits are taken.
    return static_cast<size_t>((static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
  }
  void grow(size_t count);

  std::vector<cell> cells_;  // a power of two in size, at most half full
  size_t mask_ = 0;
  size_t used_ = 0;
};

}  // namespace norvane
