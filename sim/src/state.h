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
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "pvgen_sim.h"

namespace pvgen_sim {

constexpr uint64_t kNever = UINT64_MAX;
constexpr size_t kDefaultLogLimit = 4096;
constexpr size_t kResultOffset = offsetof(pvgen_sim_cmd_blk, result);

// One entry of a descriptor's report queue: a single report, or the running bands of a
// page-mode page, which yields report k = 1..total (k is the next one to deliver).
struct Pending {
  bool page_run = false;
  pvgen_sim_wait_blk rep{};  // single report: its out words
  uint64_t due = 0;          // single report: due time
  uint32_t job_id = 0;       // page run: the page start's words
  pvgen_sim_buf ring[3]{};
  pvgen_sim_buf dst[3]{};
  uint32_t total = 0;
  uint32_t k = 1;
  uint64_t start = 0;    // page run: when its first band started
  uint64_t band_ns = 0;  // page run: band time in force at the page start
};

struct Page {
  uint32_t job_id = 0;
  pvgen_sim_buf dst[3]{};
};

// One simulated descriptor and its engine.
struct Dev {
  int fd = -1;
  bool closed = false;
  std::deque<Pending> queue;
  uint64_t free_at = 0;   // completion of the last band the engine ran
  bool ran_band = false;  // ran a band since the statistics were reset (idle accounting)
  uint32_t n = 0;         // band sequence number since the last page start
  Page page;
};

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
// then reused as a ring, so logging a request allocates nothing.
template <class T>
struct Log {
  std::vector<T> slots;  // in order from `first` (the oldest kept entry), wrapping around
  size_t first = 0;
  size_t total = 0;  // entries logged since reset, also those no longer kept

  // The slot of a new entry, for the caller to fill in place (logging copies a command
  // block once).
  T& emplace(size_t limit) {
    ++total;
    if (slots.size() < limit) {
      if (slots.capacity() < limit)
        slots.reserve(limit);  // untouched pages cost nothing until used
      return slots.emplace_back();
    }
    T& slot = slots[first];
    first = (first + 1) % slots.size();
    return slot;
  }
  void push(const T& entry, size_t limit) { emplace(limit) = entry; }
  bool get(size_t index, T* out) const {
    const size_t oldest = total - slots.size();
    if (index < oldest || index >= total)
      return false;
    *out = slots[(first + (index - oldest)) % slots.size()];
    return true;
  }
  // Keeps the newest `limit` entries, oldest first.
  void trim(size_t limit) {
    const size_t keep = std::min(limit, slots.size());
    std::vector<T> kept;
    kept.reserve(keep);
    for (size_t i = slots.size() - keep; i < slots.size(); ++i)
      kept.push_back(slots[(first + i) % slots.size()]);
    slots.swap(kept);
    first = 0;
  }
  void clear() {
    slots.clear();
    first = 0;
    total = 0;
  }
};

struct State {
  pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cv;
  std::map<int, std::shared_ptr<Dev>> devs;
  uint64_t band_ns = 0;
  bool gate_closed = false;
  uint64_t credits = 0;
  size_t log_limit = kDefaultLogLimit;
  std::vector<Rule> rules;
  uint64_t calls[PVGEN_SIM_KINDS] = {};
  pvgen_sim_stats stats{};
  uint32_t blocked = 0;
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

State& state();

class Lock {
 public:
  explicit Lock(State& s) : s_(s) { pthread_mutex_lock(&s_.mu); }
  ~Lock() { pthread_mutex_unlock(&s_.mu); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  State& s_;
};

uint64_t now_ns();

// Sleeps on the condition variable until woken or until `until` (kNever: no limit).
void sleep_until(State& s, uint64_t until);

// Counts a change and wakes every sleeper to look again.
void changed(State& s);

// Sleeps until a report falls due at `due`, or until something changes.
void sleep_until_due(State& s, uint64_t due);

uint64_t mul_sat(uint64_t a, uint64_t b);
uint64_t add_sat(uint64_t a, uint64_t b);

}  // namespace pvgen_sim

#endif
