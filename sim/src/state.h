// The simulator's state shared by its units: the engine model (engine.cpp), the fault rules
// (faults.cpp) and the logs (logs.cpp). One State object, created on first use and never
// destroyed; every field of it, and every Dev, is read and written with State::mu held (see
// engine.cpp for the exceptions).
#ifndef PVGEN_SIM_STATE_H
#define PVGEN_SIM_STATE_H

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "clock.h"
#include "pvgen_sim.h"

namespace pvgen_sim {

constexpr uint64_t kNever = UINT64_MAX;
constexpr size_t kDefaultLogLimit = 4096;
constexpr size_t kResultOffset = offsetof(pvgen_sim_cmd_blk, result);

// The out words of a report from band_num on, laid out as in the wait block.
struct ReportTail {
  int32_t band_num;
  pvgen_sim_buf src[3];
  pvgen_sim_buf dst[3];
  uint32_t plane_result;
  int32_t result;
};
static_assert(sizeof(ReportTail) ==
              sizeof(pvgen_sim_wait_blk) - offsetof(pvgen_sim_wait_blk, band_num));

// One entry of a descriptor's report queue: a single report, made when its work was
// commanded, or the running bands of a page-mode page, which yields report k = 1..total (k is
// the next one to deliver), made from the page's words when it is taken.
struct Pending {
  enum Kind : uint8_t { kReport, kPageRun };
  Kind kind;
  uint32_t job_id;
  uint32_t k;        // page run: next band to report
  uint32_t total;    // page run: its bands (0: runs until stopped)
  uint64_t due;      // single report: due time; page run: when its first band started
  uint64_t band_ns;  // page run: band time in force at the page start
  ReportTail tail;   // single report: its words; page run: src the ring, dst the page's
};

// A descriptor's undelivered reports, oldest first: a ring whose storage grows by doubling
// and is never given back while the descriptor is open, so that queueing and taking reports
// allocate nothing once it holds as many as the program keeps in flight.
class ReportQueue {
 public:
  ReportQueue() : slots_(kInitial) {}
  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  Pending& front() { return slots_[head_]; }
  Pending& operator[](size_t i) { return slots_[(head_ + i) & (slots_.size() - 1)]; }
  const Pending& operator[](size_t i) const { return slots_[(head_ + i) & (slots_.size() - 1)]; }
  // A new entry at the back, for the caller to fill in completely.
  Pending& push_back() {
    if (size_ == slots_.size())
      grow();
    return slots_[(head_ + size_++) & (slots_.size() - 1)];
  }
  void pop_front() {
    head_ = (head_ + 1) & (slots_.size() - 1);
    --size_;
  }

 private:
  static constexpr size_t kInitial = 64;  // a power of two, as every later size
  void grow() {
    std::vector<Pending> bigger(slots_.size() * 2);
    for (size_t i = 0; i < size_; ++i)
      bigger[i] = (*this)[i];
    slots_.swap(bigger);
    head_ = 0;
  }
  std::vector<Pending> slots_;
  size_t head_ = 0;
  size_t size_ = 0;
};

struct Page {
  uint32_t job_id = 0;
  pvgen_sim_buf dst[3]{};
};

// One simulated descriptor and its engine. Created by open; the table of open descriptors
// holds one reference and every wait asleep on it one more, so that a close, which takes it
// out of the table, leaves it to the last waiter to let go (refs counts under State::mu).
struct Dev {
  int fd = -1;
  bool closed = false;
  uint32_t refs = 1;
  ReportQueue queue;
  uint64_t free_at = 0;   // completion of the last band the engine ran
  bool ran_band = false;  // ran a band since the statistics were reset (idle accounting)
  uint32_t n = 0;         // band sequence number since the last page start
  Page page;
};

// Drops one reference to a descriptor; the last one deletes it.
inline void release(Dev* d) {
  if (--d->refs == 0)
    delete d;
}

struct Rule {
  pvgen_sim_fault f;
  uint64_t base;  // calls of the kind made before the rule was added
};

// What the fault rules say about one call.
struct Hit {
  bool any = false;
  bool again = false;
  bool err = false;
  int errnum = 0;
  int32_t err_result = 0;
  bool has_result = false;
  int32_t result = 0;
  bool has_band_num = false;
  int32_t band_num = 0;
};

// A log that keeps the latest `limit` entries. Its storage is reserved for the limit once and
// then reused as a ring, so logging a request allocates nothing. The storage is left
// uninitialised (its untouched pages cost nothing until used): an entry is written whole
// before it can be read.
template <class T>
struct Log {
  static_assert(std::is_trivially_copyable_v<T>);
  std::unique_ptr<T[]> slots;  // kept entries, in order from `first` (the oldest), wrapping
  size_t capacity = 0;
  size_t kept = 0;
  size_t first = 0;  // 0 while the log is not full
  size_t total = 0;  // entries logged since reset, also those no longer kept

  // The slot of a new entry, for the caller to fill in completely (logging copies a command
  // block once).
  T& emplace(size_t limit) {
    ++total;
    if (kept < limit) {
      if (capacity < limit)
        resize(limit);
      return slots[kept++];
    }
    T& slot = slots[first];
    first = (first + 1) % kept;
    return slot;
  }
  void push(const T& entry, size_t limit) { emplace(limit) = entry; }
  bool get(size_t index, T* out) const {
    const size_t oldest = total - kept;
    if (index < oldest || index >= total)
      return false;
    *out = slots[(first + (index - oldest)) % kept];
    return true;
  }
  // Keeps the newest `limit` entries, oldest first.
  void trim(size_t limit) {
    const size_t keep = std::min(limit, kept);
    auto fresh = std::make_unique_for_overwrite<T[]>(keep);
    for (size_t i = 0; i < keep; ++i)
      fresh[i] = slots[(first + kept - keep + i) % kept];
    slots = std::move(fresh);
    capacity = keep;
    kept = keep;
    first = 0;
  }
  void clear() {
    kept = 0;
    first = 0;
    total = 0;
  }

 private:
  // Storage for `n` entries, with the kept ones (the log is not full) at its start.
  void resize(size_t n) {
    auto fresh = std::make_unique_for_overwrite<T[]>(n);
    std::copy(slots.get(), slots.get() + kept, fresh.get());
    slots = std::move(fresh);
    capacity = n;
  }
};

struct State {
  pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cv;
  std::map<int, Dev*> devs;  // the open descriptors, each holding a reference to its Dev
  Dev* last_dev = nullptr;   // the open descriptor a request last named (see find_dev)
  uint64_t band_ns = 0;
  bool gate_closed = false;
  uint64_t credits = 0;
  size_t log_limit = kDefaultLogLimit;
  std::vector<Rule> rules;
  uint64_t calls[PVGEN_SIM_KINDS] = {};
  pvgen_sim_stats stats{};
  uint32_t blocked = 0;
  uint32_t sleepers = 0;  // threads in sleep_until: only then has changed() anyone to wake
  std::atomic<uint64_t> generation{0};  // counts changed(); read unlocked while watching
  Log<pvgen_sim_command> commands;
  Log<pvgen_sim_answer> answers;
  FILE* trace = nullptr;
  std::string stats_path;

  State() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cv, &attr);
    pthread_condattr_destroy(&attr);
  }
};

extern const char* const kKindNames[PVGEN_SIM_KINDS];

// Simulated descriptors open now; lets calls on ordinary descriptors skip the lock.
extern std::atomic<int> g_open_count;

// Created on first use, which may come before the library's constructors have run.
inline State& state() {
  static State* const s = new State();
  return *s;
}

class Lock {
 public:
  explicit Lock(State& s) : s_(s) { pthread_mutex_lock(&s_.mu); }
  ~Lock() { pthread_mutex_unlock(&s_.mu); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  State& s_;
};

// The open descriptor `fd`, or null. A program mostly works one descriptor, so the last
// one found is tried before the table.
inline Dev* find_dev(State& s, int fd) {
  if (s.last_dev != nullptr && s.last_dev->fd == fd)
    return s.last_dev;
  const auto it = s.devs.find(fd);
  if (it == s.devs.end())
    return nullptr;
  s.last_dev = it->second;
  return it->second;
}

// The clock and the blocking go through clock.cpp, where a scheduler can take them over.
inline uint64_t now_ns() {
  return clock_now_ns();
}

// Sleeps on the condition variable until woken or until `until` (kNever: no limit).
void sleep_until(State& s, uint64_t until);

// Counts a change and wakes every sleeper to look again.
void changed(State& s);

// Sleeps until a report falls due at `due`, or until something changes.
void sleep_until_due(State& s, uint64_t due);

// Copies `size` bytes. Out of line so that copying a whole command block goes to the C
// library's memcpy, which picks the fastest way for the processor at hand; a copy of a size
// known here would be compiled inline as a string move.
void copy_bytes(void* to, const void* from, size_t size);

inline uint64_t mul_sat(uint64_t a, uint64_t b) {
  if (a != 0 && b > kNever / a)
    return kNever;
  return a * b;
}

inline uint64_t add_sat(uint64_t a, uint64_t b) {
  return b > kNever - a ? kNever : a + b;
}

}  // namespace pvgen_sim

#endif
