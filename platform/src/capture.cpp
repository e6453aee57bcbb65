// What the platform keeps for tests and tools: captured trace lines, notifications and
// receiver lines, the trace-point ring, page-information records, priority requests and
// thread names.
//
// Both stores are heap objects that are created on first use and never destroyed: threads
// that still run while the process exits may use them until the very end.
#include <time.h>
#include <atomic>

#include <cstdint>
#include <mutex>
#include <new>
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

// The latest `mask + 1` trace points (a power of two: kDefaultCapacity unless a tool asked
// for more). `slots` is written at `written & mask`; all of it is under `mutex` (a leaf
// lock). The time is read under the lock as well, so that the ring's order is also the
// order of the times. Recording costs the same whatever the capacity.
struct TraceRing {
  static constexpr size_t kDefaultCapacity = 65536;
  std::mutex mutex;
  uint64_t mask = kDefaultCapacity - 1;
  TracePoint* slots = new TracePoint[kDefaultCapacity];
  uint64_t written = 0;
};
static_assert((TraceRing::kDefaultCapacity & (TraceRing::kDefaultCapacity - 1)) == 0);

TraceRing& ring() {
  static TraceRing* const r = new TraceRing;
  return *r;
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
  const pthread_t self = pthread_self();
  TraceRing& r = ring();
  std::lock_guard lock(r.mutex);
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  r.slots[r.written & r.mask] = TracePoint{
      category, code, flag, self,
      static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec)};
  ++r.written;
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
  const uint64_t kept = r.written < r.mask + 1 ? r.written : r.mask + 1;
  std::vector<TracePoint> points;
  points.reserve(kept);
  for (uint64_t i = r.written - kept; i < r.written; ++i) {
    points.push_back(r.slots[i & r.mask]);
  }
  return points;
}

void trace_points_clear() {
  TraceRing& r = ring();
  std::lock_guard lock(r.mutex);
  r.written = 0;
}

size_t trace_ring_capacity() {
  TraceRing& r = ring();
  std::lock_guard lock(r.mutex);
  return static_cast<size_t>(r.mask + 1);
}

size_t trace_ring_reserve(size_t points) {
  size_t capacity = TraceRing::kDefaultCapacity;
  while (capacity < points && capacity <= (SIZE_MAX >> 2) / sizeof(TracePoint)) {
    capacity <<= 1;
  }
  TraceRing& r = ring();
  {
    std::lock_guard lock(r.mutex);
    if (capacity <= r.mask + 1) {
      return static_cast<size_t>(r.mask + 1);
    }
  }
  // Allocated outside the lock: recording threads do not wait for it.
  TracePoint* grown = new (std::nothrow) TracePoint[capacity];
  if (grown == nullptr) {
    return trace_ring_capacity();
  }
  TracePoint* old = nullptr;
  {
    std::lock_guard lock(r.mutex);
    if (capacity <= r.mask + 1) {
      old = grown;  // someone else grew it meanwhile
    } else {
      // The points kept so far keep their places relative to `written`.
      const uint64_t kept = r.written < r.mask + 1 ? r.written : r.mask + 1;
      for (uint64_t i = r.written - kept; i < r.written; ++i) {
        grown[i & (capacity - 1)] = r.slots[i & r.mask];
      }
      old = r.slots;
      r.slots = grown;
      r.mask = capacity - 1;
    }
  }
  delete[] old;
  return trace_ring_capacity();
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
