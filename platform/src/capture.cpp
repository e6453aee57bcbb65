// What the platform keeps for tests and tools: captured trace lines, notifications and
// receiver lines, the trace-point ring, page-information records, priority requests and
// thread names.
//
// Neither store is ever destroyed: threads that still run while the process exits may use
// them until the very end. The trace-point ring is static storage; the other store is a
// heap object created on first use.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "platform_internal.h"

namespace platform {
namespace {

// Everything except the trace points, under one mutex (a leaf lock: nothing is called
// while it is held).
struct Store {
  std::mutex mutex;
  bool capturing = false;
  std::vector<TraceLine> trace_lines;
  std::vector<Notification> notifications;
  std::vector<std::string> receiver_lines;
  std::vector<QUORL_PAGE_INFO*> page_infos;
  std::vector<PriorityRequest> priorities;
  std::vector<StartedThread> threads;
};

Store& store() {
  static Store* const s = new Store;
  return *s;
}

// The latest `capacity` trace points (a power of two: kDefaultCapacity unless a tool asked
// for more). Recording takes no lock: a writer claims the next number of `written`, fills
// the slot at that number modulo the capacity and then publishes the number in the slot's
// `seq`. Two points of which one happens before the other get numbers (and times) in that
// order. Readers, clearing and growth hold `mutex`; a reader takes a slot only when its
// `seq` names the number it looks for before and after reading the fields, so a slot being
// rewritten is left out rather than read torn. Every word of a slot is accessed atomically
// (see store_field). Recording costs the same whatever the capacity.
struct TraceSlot {
  uint64_t seq;  // number + 1 of the point in the slot; 0: none yet
  uint64_t time_ns;
  pthread_t thread;
  int flag;
  unsigned short category;
  unsigned short code;
};
struct TraceSlots {
  uint64_t mask;
  TraceSlot* slots;
};
constexpr size_t kDefaultTraceCapacity = 65536;
static_assert((kDefaultTraceCapacity & (kDefaultTraceCapacity - 1)) == 0);
// The default slots are zero-initialised static storage (untouched pages cost nothing), so
// that the ring exists before any code runs and a point is recorded without first testing
// whether the ring has been made.
TraceSlot g_default_slots[kDefaultTraceCapacity];
constinit TraceSlots g_default_ring_slots{kDefaultTraceCapacity - 1, g_default_slots};
struct TraceRing {
  static constexpr size_t kDefaultCapacity = kDefaultTraceCapacity;
  std::mutex mutex;
  std::atomic<TraceSlots*> current{&g_default_ring_slots};
  std::atomic<uint64_t> written{0};
  uint64_t cleared = 0;  // points numbered below this were cleared (under mutex)
};
// Constant-initialised and trivially destroyed: usable from the first static constructor
// to the last thread still running at exit.
constinit TraceRing g_ring;
static_assert(std::is_trivially_destructible_v<TraceRing>);

// The fields are stored with release and loaded with acquire ordering (plain moves on the
// host): a reader that sees a field rewritten also sees the `seq` cleared before it, which
// is what fences would say (ThreadSanitizer does not take fences).
template <typename T>
void store_field(T& word, T value) {
  std::atomic_ref<T>(word).store(value, std::memory_order_release);
}
template <typename T>
T load_field(T& word) {
  return std::atomic_ref<T>(word).load(std::memory_order_acquire);
}

// Reads the point numbered `n` from `slots`, if the slot still holds it (mutex held).
bool read_point(const TraceSlots& slots, uint64_t n, TracePoint& out) {
  TraceSlot& slot = slots.slots[n & slots.mask];
  if (std::atomic_ref<uint64_t>(slot.seq).load(std::memory_order_acquire) != n + 1) {
    return false;
  }
  out = TracePoint{load_field(slot.category), load_field(slot.code), load_field(slot.flag),
                   load_field(slot.thread), load_field(slot.time_ns)};
  return std::atomic_ref<uint64_t>(slot.seq).load(std::memory_order_relaxed) == n + 1;
}

// The number of the oldest point that `slots` can still hold once `written` are numbered.
uint64_t oldest_kept(const TraceSlots& slots, uint64_t written) {
  return written > slots.mask + 1 ? written - (slots.mask + 1) : 0;
}

TraceRing& ring() {
  return g_ring;
}

}  // namespace

namespace detail {

bool keep_trace_line(int module, int level, int zero, std::string text) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  if (!s.capturing) {
    return false;
  }
  s.trace_lines.push_back(TraceLine{module, level, zero, std::move(text), pthread_self()});
  return true;
}

bool keep_notification(Notification note) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  if (!s.capturing) {
    return false;
  }
  s.notifications.push_back(std::move(note));
  return true;
}

bool keep_receiver_line(std::string line) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  if (!s.capturing) {
    return false;
  }
  s.receiver_lines.push_back(std::move(line));
  return true;
}

void record_priority(pthread_t thread, int priority) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  s.priorities.push_back(PriorityRequest{thread, priority});
}

void record_page_info(QUORL_PAGE_INFO* info) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  s.page_infos.push_back(info);
}

void record_started_thread(const std::string& name, pthread_t thread) {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  s.threads.push_back(StartedThread{name, thread});
}

void record_trace_point(unsigned short category, unsigned short code, int flag) {
  // The time and the thread are taken before the number is claimed: fewer words then live
  // across the calls. A point that happens before another still gets the smaller number
  // and the earlier (or equal) time.
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const pthread_t self = pthread_self();
  TraceRing& r = ring();
  const uint64_t n = r.written.fetch_add(1, std::memory_order_relaxed);
  TraceSlots* slots = r.current.load(std::memory_order_acquire);
  TraceSlot& slot = slots->slots[n & slots->mask];
  // A writer that lapped the ring while this slot was being read cannot be told apart from
  // this one by `seq` alone: clear it first, so a reader sees the slot change.
  std::atomic_ref<uint64_t>(slot.seq).store(0, std::memory_order_relaxed);
  store_field(slot.category, category);
  store_field(slot.code, code);
  store_field(slot.flag, flag);
  store_field(slot.thread, self);
  store_field(slot.time_ns,
              static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec));
  std::atomic_ref<uint64_t>(slot.seq).store(n + 1, std::memory_order_release);
}

std::atomic<uint64_t> g_mutexes_created{0};
std::atomic<uint64_t> g_events_created{0};

void count_os_object(bool event) {
  (event ? g_events_created : g_mutexes_created).fetch_add(1, std::memory_order_relaxed);
}

}  // namespace detail

OsObjectCounts os_objects_created() {
  return {detail::g_mutexes_created.load(std::memory_order_relaxed),
          detail::g_events_created.load(std::memory_order_relaxed)};
}

void capture_begin() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  s.capturing = true;
  s.trace_lines.clear();
  s.notifications.clear();
  s.receiver_lines.clear();
}

void capture_end() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  s.capturing = false;
}

std::vector<TraceLine> trace_lines() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return s.trace_lines;
}

std::vector<Notification> notifications() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return s.notifications;
}

std::vector<std::string> receiver_lines() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return s.receiver_lines;
}

std::vector<TracePoint> trace_points() {
  TraceRing& r = ring();
  std::lock_guard lock(r.mutex);
  const TraceSlots& slots = *r.current.load(std::memory_order_acquire);
  const uint64_t written = r.written.load(std::memory_order_acquire);
  const uint64_t first = std::max(oldest_kept(slots, written), r.cleared);
  std::vector<TracePoint> points;
  points.reserve(static_cast<size_t>(written - first));
  for (uint64_t n = first; n < written; ++n) {
    TracePoint p;
    if (read_point(slots, n, p)) {  // left out: still being recorded, or already lapped
      points.push_back(p);
    }
  }
  return points;
}

void trace_points_clear() {
  TraceRing& r = ring();
  std::lock_guard lock(r.mutex);
  r.cleared = r.written.load(std::memory_order_acquire);
}

size_t trace_ring_capacity() {
  TraceRing& r = ring();
  return static_cast<size_t>(r.current.load(std::memory_order_acquire)->mask + 1);
}

size_t trace_ring_reserve(size_t points) {
  size_t capacity = TraceRing::kDefaultCapacity;
  while (capacity < points && capacity <= (SIZE_MAX >> 2) / sizeof(TraceSlot)) {
    capacity <<= 1;
  }
  TraceRing& r = ring();
  std::lock_guard lock(r.mutex);
  TraceSlots* old = r.current.load(std::memory_order_acquire);
  if (capacity <= old->mask + 1) {
    return static_cast<size_t>(old->mask + 1);
  }
  TraceSlot* grown = new (std::nothrow) TraceSlot[capacity]();
  auto* next = grown != nullptr ? new (std::nothrow) TraceSlots{capacity - 1, grown} : nullptr;
  if (next == nullptr) {
    delete[] grown;
    return static_cast<size_t>(old->mask + 1);
  }
  // The points kept so far keep their numbers. A point recorded into the old slots while
  // they are copied may be lost; tools grow the ring before a run. The old slots stay
  // allocated: a writer may still hold them.
  const uint64_t written = r.written.load(std::memory_order_acquire);
  for (uint64_t n = oldest_kept(*old, written); n < written; ++n) {
    TracePoint p;
    if (read_point(*old, n, p)) {
      TraceSlot& slot = grown[n & (capacity - 1)];
      slot = TraceSlot{n + 1, p.time_ns, p.thread, p.flag, p.category, p.code};
    }
  }
  r.current.store(next, std::memory_order_release);
  return capacity;
}

std::vector<QUORL_PAGE_INFO*> page_infos() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return s.page_infos;
}

std::vector<PriorityRequest> priority_requests() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return s.priorities;
}

std::vector<std::string> started_thread_names() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  std::vector<std::string> names;
  names.reserve(s.threads.size());
  for (const StartedThread& t : s.threads) {
    names.push_back(t.name);
  }
  return names;
}

std::vector<StartedThread> started_threads() {
  Store& s = store();
  std::lock_guard lock(s.mutex);
  return s.threads;
}

}  // namespace platform
