// Host-side view into the platform: what tests and tools read back (trace lines,
// notifications, trace points, the diagnostic receiver's output, thread priorities) and
// the diagnostic command a person would send to a module. Not part of the target's
// platform; the library never includes it.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>
#include <vector>

struct QUORL_PAGE_INFO;

namespace platform {

struct Notification {
  int kind;
  int code;
  int zero;
  std::string file;
  std::string function;
  int line;
  pthread_t thread;  // the thread that notified
};

struct TracePoint {
  unsigned short category;
  unsigned short code;
  int flag;
  pthread_t thread;
  uint64_t time_ns;  // CLOCK_MONOTONIC
};

// While capture is on, emwGENTrcPrintf lines, notifications and uc_trace lines are kept in
// memory, in call order, instead of being written to standard error. All functions here
// are thread-safe.
void capture_begin();  // turns capture on and clears what was kept
void capture_end();    // turns capture off (what was kept stays readable)

struct TraceLine {
  int module;
  int level;
  int zero;
  std::string text;  // the formatted line, as printf would write it
  pthread_t thread;  // the thread that wrote it
};
std::vector<TraceLine> trace_lines();
std::vector<Notification> notifications();
// "TAG: text" as uc_trace wrote it; like TraceLine::text, a newline that ends the formatted
// text is kept.
std::vector<std::string> receiver_lines();

// Trace points recorded by quorl_commonmethod::trace_set, oldest first. The ring keeps the
// latest `trace_ring_capacity()` points (65536 unless trace_ring_reserve asked for more).
std::vector<TracePoint> trace_points();
void trace_points_clear();
size_t trace_ring_capacity();

// Lets the ring keep at least `points` trace points from now on (rounded up to a power of
// two), keeping those it holds; it never shrinks. For tools that export a whole run.
// Recording a trace point costs the same at any capacity. Returns the capacity, which stays
// as it was when there is no memory for more.
size_t trace_ring_reserve(size_t points);

// Page-information records registered with page_info_list_insert, in registration order.
std::vector<QUORL_PAGE_INFO*> page_infos();

// Sends the diagnostic command to the module registered under `name` (calls its
// log_print()). Returns false when no module has that name.
bool send_diagnostic_command(const std::string& name);
std::vector<std::string> module_names();

// Threads that called emwOSWSetTaskPriority, with the priority they asked for.
struct PriorityRequest {
  pthread_t thread;
  int priority;
};
std::vector<PriorityRequest> priority_requests();

// Mutexes and events created so far in the process (OS objects: benchmarks count them per
// request).
struct OsObjectCounts {
  uint64_t mutexes;
  uint64_t events;
};
OsObjectCounts os_objects_created();

// Full names of the framework threads started so far (running or not), in start order.
std::vector<std::string> started_thread_names();
// The same with each thread's id (as TracePoint::thread has it).
struct StartedThread {
  std::string name;
  pthread_t thread;
};
std::vector<StartedThread> started_threads();

}  // namespace platform
