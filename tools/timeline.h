// The timeline of a pvgen-run: what each thread and the engine did, put together from the
// platform's trace points (time and thread of each), the simulated engine's logs of commands
// and answered waits, and pvgen-run's own record of its calls and callbacks. Written as a
// trace-event file (lanes, slices, flow arrows, instants) or as a self-contained HTML page
// that draws the same lanes.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform_capture.h"
#include "pvgen_sim.h"

namespace timeline {

// One call of the library's C functions made by pvgen-run.
enum class CallKind { kPrepare, kPageStart, kBand, kStop };
struct Call {
  CallKind kind;
  int32_t page;
  long band;  // kBand: the band's job_id; else 0
  bool callback;
  pthread_t thread;
  uint64_t begin_ns;
  uint64_t end_ns;
  int result;
};

// One entry into pvgen-run's band callback.
struct Report {
  int32_t page;
  long band;
  int32_t outcome;
  pthread_t thread;
  uint64_t begin_ns;
  uint64_t end_ns;
};

struct NamedThread {
  pthread_t thread;
  std::string name;
};

struct Input {
  std::vector<platform::TracePoint> points;
  std::vector<pvgen_sim_command> commands;  // empty on the real engine
  std::vector<pvgen_sim_answer> answers;
  std::vector<NamedThread> threads;  // submitting threads first, then the library's
  std::vector<Call> calls;
  std::vector<Report> reports;
  uint64_t band_time_ns = 0;
  // When the simulator's logs no longer hold the run's beginning (their limit was reached):
  // the time of their oldest kept entry; 0 when they hold the whole run.
  uint64_t engine_log_begin_ns = 0;
};

// A lane's slice, instant or flow step; times in nanoseconds on CLOCK_MONOTONIC.
struct Slice {
  int lane;
  std::string name;
  std::string category;
  uint64_t begin_ns;
  uint64_t end_ns;
  std::string detail;  // shown in the tooltip and as the event's args
};
struct Instant {
  int lane;  // -1: the whole process
  std::string name;
  uint64_t time_ns;
};
struct FlowStep {
  int lane;
  uint64_t time_ns;  // inside a slice of that lane
};
struct Flow {
  std::string name;
  std::vector<FlowStep> steps;  // two or more, in time order
};
struct Lane {
  int id;
  std::string name;
};

struct Model {
  std::vector<Lane> lanes;
  std::vector<Slice> slices;
  std::vector<Instant> instants;
  std::vector<Flow> flows;
  size_t engine_slices = 0;
  uint64_t engine_log_begin_ns = 0;  // as in Input; marked on the engine lane
};

// The name of the engine lane's instant where a shortened log begins.
inline constexpr char kLogBegins[] = "engine log kept from here";

Model build(const Input& in);

// Trace-event JSON (an object with "traceEvents"), readable by the usual trace viewers; the
// process is shown under `process`.
std::string to_trace_json(const Model& m, int pid, const std::string& process = "pvgen-run");

// A single HTML page with the data and the drawing code inside: no network, no other file.
std::string to_html(const Model& m, int pid, const std::string& process = "pvgen-run");

}  // namespace timeline
