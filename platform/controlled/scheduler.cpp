// The scheduler of the controlled platform, its schedules, the endless-wait report and the
// loop that serves schedules to pvgen-explore (explore_protocol.h).
//
// Hand-over: every controlled thread has a futex word `go`. The running thread picks the
// next one at a scheduling point, sets that thread's word and sleeps on its own until it is
// picked again; a thread that ends hands over without sleeping. So exactly one controlled
// thread runs between two scheduling points, and everything a schedule decides is a
// function of the request alone.
//
// What pvgen-explore and the watchdog read (the threads, the trace's tail, the branching
// steps, the report) lives in a shared mapping made before the schedules are forked, so it
// outlives a child that crashed or had to be killed.
#include "scheduler.h"

#include <cxxabi.h>
#include <dirent.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "explore_protocol.h"
#include "futex.h"
#include "platform_capture.h"
#include "pvgen_controlled.h"
#include "pvgen_sim_clock.h"

// Defined by a program that runs its own schedules (pvgen_controlled.h): the platform then
// starts none before main.
extern "C" __attribute__((weak)) const int pvgen_controlled_in_process;

namespace sched {
namespace {

namespace proto = explore_protocol;

constexpr int kMaxThreads = proto::kMaxThreads;
constexpr uint32_t kMaxSteps = 1u << 20;
constexpr int kRing = 32;
constexpr uint64_t kStartNs = 1000000000u;  // virtual time starts at one second
// A schedule that reaches no scheduling point for a second while all its threads sleep is
// stuck; one whose running thread still runs (or waits for a processor) gets this long.
constexpr uint64_t kStarvedMs = 10000;
// Exit status of a standalone run (no pvgen-explore) that ended in an endless wait, and of
// one in which an invariant of the library's results did not hold.
constexpr int kEndlessStatus = 86;
constexpr int kViolationStatus = 87;

struct Slot {
  std::atomic<uint32_t> go;  // 1: picked to run
  uint8_t used;
  uint8_t ended;
  uint8_t waiting;       // at a scheduling point (or not started yet)
  uint8_t engine_woken;  // the engine changed since this thread began its driver wait
  Ev ev;
  const void* id;
  uintptr_t arg;
  Ready ready;
  const void* obj;
  uint64_t deadline;
  const void* where;
  pthread_t tid;
  uint64_t priority;  // PCT
  uint64_t born;      // order of creation
  char name[32];
};

struct EventRecord {
  uint64_t point;
  uint64_t vnow;
  uint64_t arg;
  uint32_t slot;
  uint32_t object;
  Ev ev;
};

struct Shared {
  Slot slots[kMaxThreads];
  uint32_t nslots;
  int32_t current;
  uint64_t vnow;
  std::atomic<uint64_t> points;  // read by the watchdog while the child runs
  uint64_t branching;
  uint64_t hash;
  uint32_t has_failure;
  uint32_t failure;
  EventRecord ring[kRing];
  uint32_t report_len;
  char report[24576];
  uint32_t record;  // keep the branching steps
  uint32_t nsteps;
  proto::Step steps[kMaxSteps];
};

Shared* g = nullptr;
bool g_started = false;
bool g_frozen = false;
[[gnu::tls_model("initial-exec")]] thread_local int t_self = -1;

// The schedule (in the child only).
proto::Request g_request{};
std::vector<uint8_t> g_forced;
uint64_t g_rng = 0;
std::vector<uint64_t> g_change_points;  // PCT: point numbers where the running thread drops
std::unordered_map<const void*, uint32_t>* g_objects = nullptr;
uint64_t g_births = 0;
uint64_t g_vstart = kStartNs;  // the virtual time the schedule began at

uint64_t next_random() {
  uint64_t z = (g_rng += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

using platform::detail::futex_wait;
using platform::detail::futex_wake;

void mix(uint64_t& h, uint64_t v) {
  for (int i = 0; i < 8; ++i) {
    h ^= (v >> (8 * i)) & 0xFF;
    h *= 0x100000001B3ull;
  }
}

const char* ev_name(Ev ev) {
  switch (ev) {
    case Ev::kMutexRequest:
      return "mutex-request";
    case Ev::kMutexRelease:
      return "mutex-release";
    case Ev::kEventPost:
      return "event-post";
    case Ev::kEventWait:
      return "event-wait";
    case Ev::kGuardRequest:
      return "thread-guard-request";
    case Ev::kGuardRelease:
      return "thread-guard-release";
    case Ev::kThreadCreate:
      return "thread-create";
    case Ev::kThreadStart:
      return "thread-start";
    case Ev::kThreadEnd:
      return "thread-end";
    case Ev::kJoin:
      return "join";
    case Ev::kControllerJoin:
      return "controller-join";
    case Ev::kDeviceOpen:
      return "device-open";
    case Ev::kDeviceIoctl:
      return "device-ioctl";
    case Ev::kDeviceClose:
      return "device-close";
    case Ev::kDriverWait:
      return "driver-wait";
    case Ev::kSleep:
      return "sleep";
    case Ev::kScheduleEnd:
      return "schedule-end";
  }
  return "?";
}

bool runnable(int i) {
  const Slot& s = g->slots[i];
  if (!s.used || s.ended) {
    return false;
  }
  if (!s.waiting || s.ready == nullptr) {
    return true;
  }
  return s.ready(s.obj, i) || (s.deadline != kNever && g->vnow >= s.deadline);
}

uint64_t runnable_mask() {
  uint64_t mask = 0;
  for (uint32_t i = 0; i < g->nslots; ++i) {
    if (runnable(static_cast<int>(i))) {
      mask |= uint64_t{1} << i;
    }
  }
  return mask;
}

[[noreturn]] void fail(proto::Outcome outcome, const std::string& text);

// ---- reports ----

std::string symbolize(const void* where) {
  if (where == nullptr) {
    return {};
  }
  Dl_info info{};
  if (dladdr(where, &info) == 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", where);
    return text;
  }
  std::string out;
  if (info.dli_sname != nullptr) {
    int status = 0;
    char* plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    out = status == 0 && plain != nullptr ? plain : info.dli_sname;
    std::free(plain);
    char off[32];
    std::snprintf(off, sizeof off, "+0x%zx",
                  static_cast<size_t>(static_cast<const char*>(where) -
                                      static_cast<const char*>(info.dli_saddr)));
    out += off;
  } else {
    const char* base = info.dli_fname != nullptr ? std::strrchr(info.dli_fname, '/') : nullptr;
    char off[64];
    std::snprintf(off, sizeof off, "+0x%zx",
                  static_cast<size_t>(static_cast<const char*>(where) -
                                      static_cast<const char*>(info.dli_fbase)));
    out = (base != nullptr ? base + 1 : "?") + std::string(off);
  }
  return out;
}

uint32_t number_of(const void* p) {
  if (p == nullptr || g_objects == nullptr) {
    return 0;
  }
  const auto it = g_objects->find(p);
  return it != g_objects->end() ? it->second : 0;
}

std::string thread_label(int i) {
  char text[64];
  std::snprintf(text, sizeof text, "thread %d \"%s\"", i, g->slots[i].name);
  return text;
}

std::string format_ns(uint64_t ns) {
  char text[48];
  std::snprintf(text, sizeof text, "%.6f s", static_cast<double>(ns) / 1e9);
  return text;
}

// What thread i waits for, in words.
std::string blocking_point(int i) {
  const Slot& s = g->slots[i];
  auto num = [](const char* kind, const void* p) {
    return std::string(kind) + " #" + std::to_string(number_of(p));
  };
  std::string text;
  switch (s.ev) {
    case Ev::kMutexRequest: {
      text = "requests OSW mutex" + num("", s.id);
      const int holder = mutex_holder(s.obj);
      if (holder >= 0) {
        text += ", held by " + thread_label(holder);
      }
      break;
    }
    case Ev::kGuardRequest: {
      text = "requests the process-wide thread guard";
      const int holder = mutex_holder(s.obj);
      if (holder >= 0) {
        text += ", held by " + thread_label(holder);
      }
      break;
    }
    case Ev::kEventWait:
      text = "waits on OSW event" + num("", s.id) + " (no post pending)";
      break;
    case Ev::kJoin:
      text = "joins " + thread_label(static_cast<int>(s.arg));
      break;
    case Ev::kControllerJoin:
      text = "waits in Controller::join for the framework thread of object" + num("", s.id);
      break;
    case Ev::kDriverWait:
      text = s.deadline == kNever ? "driver wait on /dev/mfp_pvgen, no report due"
                                  : "driver wait on /dev/mfp_pvgen until " + format_ns(s.deadline);
      break;
    case Ev::kSleep:
      text = "sleeps until " + format_ns(s.deadline);
      break;
    default:
      text = std::string("at ") + ev_name(s.ev);
      break;
  }
  if (s.where != nullptr) {
    text += ", from " + symbolize(s.where);
  }
  return text;
}

// `in_child`: called in the schedule's own process, which may read the objects the threads
// wait on. The watchdog, in the parent, sees only the shared mapping: its report names each
// thread's last scheduling point and where it was called from.
std::string describe_threads(int running, bool in_child) {
  std::string out;
  for (uint32_t i = 0; i < g->nslots; ++i) {
    const Slot& s = g->slots[i];
    if (!s.used || s.ended) {
      continue;
    }
    const int n = static_cast<int>(i);
    out += "  " + thread_label(n) + ": ";
    if (n == running) {
      out += std::string("running since its ") + ev_name(s.ev) + " (last scheduling point)";
    } else if (!in_child || runnable(n)) {
      out += std::string(in_child ? "can run, stopped at its " : "stopped at its ") + ev_name(s.ev);
      if (s.where != nullptr) {
        out += ", from " + symbolize(s.where);
      }
    } else {
      out += blocking_point(n);
    }
    out += "\n";
  }
  return out;
}

std::string last_events(bool with_names) {
  std::string out = "last events:\n";
  const uint64_t total = g->points.load(std::memory_order_relaxed);
  const uint64_t first = total > kRing ? total - kRing : 0;
  for (uint64_t p = first; p < total; ++p) {
    const EventRecord& e = g->ring[p % kRing];
    char line[192];
    std::snprintf(line, sizeof line, "  #%" PRIu64 " %s thread %u %s%s", e.point,
                  format_ns(e.vnow).c_str(), e.slot, with_names ? g->slots[e.slot].name : "",
                  with_names ? " " : "");
    std::string text = line;
    text += ev_name(e.ev);
    if (e.object != 0) {
      text += " #" + std::to_string(e.object);
    }
    if (e.ev == Ev::kDeviceIoctl) {
      char code[32];
      std::snprintf(code, sizeof code, " request 0x%08" PRIx64, e.arg);
      text += code;
    } else if (e.ev == Ev::kThreadCreate || e.ev == Ev::kJoin) {
      text += " thread " + std::to_string(e.arg);
    }
    out += text + "\n";
  }
  return out;
}

// The library's request list, as its diagnostic command prints it. Every other thread is
// blocked for good, so the command reads the state without taking locks.
std::string request_list() {
  g_frozen = true;
  platform::capture_begin();
  const bool found = platform::send_diagnostic_command("PVGEN");
  const std::vector<std::string> lines = platform::receiver_lines();
  platform::capture_end();
  g_frozen = false;
  if (!found) {
    return {};
  }
  std::string out = "request list (diagnostic command PVGEN):\n";
  for (const std::string& line : lines) {
    out += "  " + line;
    if (out.back() != '\n') {
      out += "\n";
    }
  }
  return out;
}

void put_report(const std::string& text) {
  const size_t n = std::min(text.size(), sizeof g->report);
  std::memcpy(g->report, text.data(), n);
  g->report_len = static_cast<uint32_t>(n);
}

bool g_serving = false;  // pvgen-explore reads the outcome from the shared mapping
// The program runs its own schedules (pvgen_controlled.h): a failure aborts the process.
bool g_in_process = false;
void (*g_on_failure)(void) = nullptr;
// In-process schedules: the virtual time past which a schedule fails, and what it waits for.
uint64_t g_watch = kNever;
char g_watch_what[160];

[[noreturn]] void fail(proto::Outcome outcome, const std::string& text) {
  g->failure = outcome;
  g->has_failure = 1;
  put_report(text);
  if (!g_serving) {
    std::fwrite(text.data(), 1, text.size(), stderr);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  if (g_in_process) {
    // Whoever runs the schedules (libFuzzer, say) learns of it by the signal.
    if (g_on_failure != nullptr) {
      g_frozen = true;
      g_on_failure();
      std::fflush(stderr);
    }
    std::abort();
  }
  _exit(outcome == proto::kViolation ? kViolationStatus : kEndlessStatus);
}

[[noreturn]] void endless_wait() {
  std::string text =
      "endless wait: every thread is blocked and no timer is pending (virtual time " +
      format_ns(g->vnow) + ")\n";
  text += describe_threads(-1, true);
  text += request_list();
  g_frozen = true;
  text += channel_states();
  g_frozen = false;
  text += last_events(true);
  fail(proto::kEndless, text);
}

// ---- choosing ----

// The thread in `mask` with `n` threads of the mask created before it. Schedules that begin
// within one process (pvgen_controlled.h) reuse the numbers of ended threads, so a number
// says nothing of a thread's age; the order of creation is the same whatever ran before.
int nth_oldest(uint64_t mask, uint64_t n) {
  for (;;) {
    int oldest = -1;
    for (uint64_t m = mask; m != 0; m &= m - 1) {
      const int i = __builtin_ctzll(m);
      if (oldest < 0 || g->slots[i].born < g->slots[oldest].born) {
        oldest = i;
      }
    }
    if (n == 0) {
      return oldest;
    }
    --n;
    mask &= ~(uint64_t{1} << oldest);
  }
}

// The number of the threads kept (running, blocked or ended since the schedule began)
// created before thread `i`: its number in the digest, the same whatever numbers the
// threads got.
uint64_t rank(int i) {
  uint64_t r = 0;
  for (uint32_t j = 0; j < g->nslots; ++j) {
    r += g->slots[j].used && g->slots[j].born < g->slots[i].born ? 1 : 0;
  }
  return r;
}

int choose(int me) {
  uint64_t mask = runnable_mask();
  if (mask == 0) {
    uint64_t earliest = kNever;
    for (uint32_t i = 0; i < g->nslots; ++i) {
      const Slot& s = g->slots[i];
      if (s.used && !s.ended && s.waiting && s.deadline < earliest) {
        earliest = s.deadline;
      }
    }
    if (earliest != kNever && earliest > g_watch) {
      std::string text = "no progress: virtual time would pass " + format_ns(g_watch) +
                         ", the limit of: " + g_watch_what + "\n";
      text += describe_threads(-1, true);
      text += request_list();
      text += last_events(true);
      fail(proto::kStuck, text);
    }
    if (earliest != kNever) {
      g->vnow = std::max(g->vnow, earliest);
      mask = runnable_mask();
    }
  }
  if (mask == 0) {
    endless_wait();
  }
  const bool me_runnable = me >= 0 && (mask >> me & 1) != 0;
  if ((mask & (mask - 1)) == 0) {
    return __builtin_ctzll(mask);
  }
  int pick = -1;
  const uint64_t b = g->branching;
  switch (g_request.strategy) {
    case proto::kRandom:
      pick = nth_oldest(mask, next_random() % static_cast<uint64_t>(__builtin_popcountll(mask)));
      break;
    case proto::kPct: {
      uint64_t best = 0;
      for (uint64_t m = mask; m != 0; m &= m - 1) {
        const int i = __builtin_ctzll(m);
        if (pick < 0 || g->slots[i].priority > best) {
          pick = i;
          best = g->slots[i].priority;
        }
      }
      break;
    }
    default:
      if (b < g_forced.size()) {
        pick = g_forced[b];
        if (pick >= kMaxThreads || (mask >> pick & 1) == 0) {
          std::string text = "replay diverged at branching step " + std::to_string(b) +
                             ": the schedule names thread " + std::to_string(pick) +
                             ", which cannot run here (the program does not behave the same "
                             "under the same schedule)\n";
          text += describe_threads(me, true);
          text += last_events(true);
          fail(proto::kDiverged, text);
        }
      } else {
        pick = me_runnable ? me : __builtin_ctzll(mask);
      }
      break;
  }
  if (g->record != 0 && g->nsteps < kMaxSteps) {
    proto::Step& step = g->steps[g->nsteps++];
    step.runnable = mask;
    step.chosen = static_cast<uint8_t>(pick);
    step.previous = static_cast<uint8_t>(me < 0 ? 0 : me);
    step.previous_runnable = me_runnable ? 1 : 0;
  }
  g->branching = b + 1;
  return pick;
}

void hand_to(int next) {
  g->current = next;
  Slot& s = g->slots[next];
  s.go.store(1, std::memory_order_release);
  futex_wake(s.go);
}

void wait_turn(int me) {
  Slot& s = g->slots[me];
  while (s.go.load(std::memory_order_acquire) == 0) {
    futex_wait(s.go, 0);
  }
  s.go.store(0, std::memory_order_relaxed);
}

void record(int me, Ev ev, const void* id, uintptr_t arg) {
  const uint64_t n = g->points.load(std::memory_order_relaxed);
  const uint32_t object = object_number(id);
  EventRecord& e = g->ring[n % kRing];
  e = EventRecord{n, g->vnow, arg, static_cast<uint32_t>(me), object, ev};
  mix(g->hash, rank(me) | static_cast<uint64_t>(ev) << 8 | static_cast<uint64_t>(object) << 16);
  const bool names_thread = ev == Ev::kThreadCreate || ev == Ev::kJoin;
  mix(g->hash, names_thread && arg < g->nslots ? rank(static_cast<int>(arg)) : arg);
  // The time since the schedule began (a schedule of its own begins at kStartNs).
  mix(g->hash, g->vnow - g_vstart + kStartNs);
  g->points.store(n + 1, std::memory_order_relaxed);
  if (g_request.max_points != 0 && n + 1 > g_request.max_points) {
    fail(proto::kTooLong, "no end: more than " + std::to_string(g_request.max_points) +
                              " scheduling points (virtual time " + format_ns(g->vnow) +
                              "); the threads keep running without finishing\n" +
                              describe_threads(me, true) + last_events(true));
  }
  if (g_request.strategy == proto::kPct) {
    for (size_t i = 0; i < g_change_points.size(); ++i) {
      if (g_change_points[i] == n) {
        g->slots[me].priority = i;  // below every starting priority
      }
    }
  }
}

// ---- the engine's clock (pvgen_sim_clock.h) ----

uint64_t engine_now() {
  return g->vnow;
}

bool engine_ready(const void* obj, int /*slot*/) {
  return static_cast<const Slot*>(obj)->engine_woken != 0;
}

void engine_sleep(pthread_mutex_t* mu, uint64_t until) {
  Slot& s = g->slots[t_self];
  s.engine_woken = 0;
  pthread_mutex_unlock(mu);
  point(Ev::kDriverWait, nullptr, 0, engine_ready, &s, until, nullptr);
  pthread_mutex_lock(mu);
}

void engine_changed() {
  for (uint32_t i = 0; i < g->nslots; ++i) {
    g->slots[i].engine_woken = 1;
  }
}

void engine_call(int kind, unsigned long request) {
  const Ev ev = kind == PVGEN_SIM_CALL_OPEN    ? Ev::kDeviceOpen
                : kind == PVGEN_SIM_CALL_CLOSE ? Ev::kDeviceClose
                                               : Ev::kDeviceIoctl;
  point(ev, nullptr, static_cast<uint32_t>(request), nullptr, nullptr, kNever, nullptr);
}

const pvgen_sim_clock_hooks kEngineHooks = {engine_now, engine_sleep, engine_changed, engine_call};

// ---- starting a schedule ----

// A crash of a controlled thread: its number, name and stack go to the schedule's output
// (shown with the failing schedule), then the signal takes its default course.
void on_crash(int sig) {
  char line[128];
  const int me = t_self;
  const int n = std::snprintf(line, sizeof line, "crash: signal %d in thread %d \"%s\"\n", sig, me,
                              me >= 0 ? g->slots[me].name : "(not controlled)");
  (void)!write(2, line, static_cast<size_t>(n));
  void* frames[48];
  backtrace_symbols_fd(frames, backtrace(frames, 48), 2);
  signal(sig, SIG_DFL);
  raise(sig);
}

void start_schedule(const proto::Request& request, std::vector<uint8_t> forced) {
  // Loaded before the crash handler may need it (backtrace loads its unwinder lazily).
  void* warm[1];
  (void)backtrace(warm, 1);
  for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
    signal(sig, on_crash);
  }
  g_request = request;
  g_forced = std::move(forced);
  g_rng = request.seed;
  g_objects = new std::unordered_map<const void*, uint32_t>;
  g->record = request.record;
  g->nsteps = 0;
  g->vnow = kStartNs;
  g->hash = 0xCBF29CE484222325ull;
  if (request.strategy == proto::kPct) {
    const uint64_t steps = request.pct_steps != 0 ? request.pct_steps : 1000;
    for (uint32_t i = 1; i < request.pct_depth; ++i) {
      g_change_points.push_back(next_random() % steps);
    }
  }
  Slot& main = g->slots[0];
  main.used = 1;
  main.tid = pthread_self();
  std::snprintf(main.name, sizeof main.name, "main");
  main.priority = request.pct_depth + (next_random() >> 16);
  g->nslots = 1;
  g->current = 0;
  t_self = 0;
  g_started = true;
}

// ---- serving pvgen-explore ----

uint64_t real_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// The last `limit` bytes the child wrote to its output.
std::string output_tail(int fd, size_t limit) {
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end <= 0) {
    return {};
  }
  const off_t from = end > static_cast<off_t>(limit) ? end - static_cast<off_t>(limit) : 0;
  std::string text(static_cast<size_t>(end - from), '\0');
  const ssize_t got = pread(fd, text.data(), text.size(), from);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

// True when a thread of process `pid` is running, waits only for a processor or for the
// kernel (paging in, say): a schedule that reaches no scheduling point then is computing or
// starved by a busy machine, not blocked. The threads of a blocked schedule all sleep.
bool any_thread_runs(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    return false;
  }
  bool runs = false;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    char stat_path[sizeof path + sizeof entry->d_name + 8];
    std::snprintf(stat_path, sizeof stat_path, "%s/%s/stat", path, entry->d_name);
    const int fd = open(stat_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      continue;
    }
    char text[512];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) {
      continue;
    }
    text[n] = '\0';
    // "tid (name) S ...": the state follows the last parenthesis.
    const char* close_paren = std::strrchr(text, ')');
    if (close_paren != nullptr && close_paren[1] == ' ' &&
        (close_paren[2] == 'R' || close_paren[2] == 'D')) {
      runs = true;
      break;
    }
  }
  closedir(dir);
  return runs;
}

// Whether child `pid` has ended, without collecting it: the serving loop's waitpid does. (A
// child collected here, having ended just after its last second without a scheduling point,
// left that loop waiting for ever for a child that was gone.)
bool ended_unreaped(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// Runs schedules for pvgen-explore until it closes the channel; returns in each child, with
// its schedule started.
void serve(int in, int out) {
  g_serving = true;
  sigset_t chld;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  sigset_t old;
  sigprocmask(SIG_BLOCK, &chld, &old);
  const int output = memfd_create("pvgen-explore-output", MFD_CLOEXEC);
  // The trace-point ring (megabytes) is made here, once: the schedules share its pages until
  // they write them, instead of each making it anew.
  (void)platform::trace_ring_capacity();
  for (;;) {
    proto::Request request{};
    if (!proto::read_all(in, &request, sizeof request) || request.magic != proto::kMagic) {
      _exit(0);
    }
    std::vector<uint8_t> forced(request.forced);
    if (!proto::read_all(in, forced.data(), forced.size())) {
      _exit(0);
    }
    std::memset(static_cast<void*>(g), 0, offsetof(Shared, steps));
    if (output >= 0) {
      (void)ftruncate(output, 0);
      (void)lseek(output, 0, SEEK_SET);
    }
    const pid_t pid = fork();
    if (pid == 0) {
      sigprocmask(SIG_SETMASK, &old, nullptr);
      // One thread runs at a time: on one processor a hand-over needs no wake-up of
      // another processor, and the threads share its caches.
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(sched_getcpu(), &one);
      (void)sched_setaffinity(0, sizeof one, &one);
      if (output >= 0) {
        dup2(output, 1);
        dup2(output, 2);
        close(output);
      }
      close(in);
      close(out);
      unsetenv(proto::kChannelVariable);
      start_schedule(request, std::move(forced));
      return;
    }
    int status = 0;
    bool stuck = false;
    if (pid > 0) {
      uint64_t seen = g->points.load(std::memory_order_relaxed);
      uint64_t since = real_ms();
      for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
          break;
        }
        const timespec tick{0, 100 * 1000 * 1000};
        (void)sigtimedwait(&chld, nullptr, &tick);
        const uint64_t now = g->points.load(std::memory_order_relaxed);
        if (now != seen) {
          seen = now;
          since = real_ms();
        } else if (real_ms() - since >= 1000 &&
                   (!any_thread_runs(pid) || real_ms() - since >= kStarvedMs) &&
                   !ended_unreaped(pid)) {
          stuck = true;
          const int running = g->current;
          std::string text = "stuck: " + thread_label(running) +
                             " has reached no scheduling point for a second: it is blocked on "
                             "something the scheduler does not control (virtual time " +
                             format_ns(g->vnow) + ")\n";
          text += describe_threads(running, false);
          text += last_events(true);
          put_report(text);
          kill(pid, SIGKILL);
          waitpid(pid, &status, 0);
          break;
        }
      }
    }
    proto::Response response{};
    response.magic = proto::kMagic;
    if (pid < 0) {
      response.outcome = proto::kSignalled;
      response.code = 0;
    } else if (stuck) {
      response.outcome = proto::kStuck;
    } else if (g->has_failure != 0) {
      response.outcome = g->failure;
    } else if (WIFSIGNALED(status)) {
      response.outcome = proto::kSignalled;
      response.code = WTERMSIG(status);
    } else {
      response.outcome = proto::kExited;
      response.code = WEXITSTATUS(status);
    }
    uint64_t digest = g->hash;
    mix(digest, response.outcome);
    mix(digest, static_cast<uint32_t>(response.code));
    response.digest = digest;
    response.points = g->points.load(std::memory_order_relaxed);
    response.branching = g->branching;
    response.virtual_ns = g->vnow;
    response.steps = request.record != 0 ? g->nsteps : 0;
    response.report_len = g->report_len;
    const bool failed = response.outcome != proto::kExited || response.code != 0;
    const std::string tail = failed && output >= 0 ? output_tail(output, 4096) : std::string();
    response.output_len = static_cast<uint32_t>(tail.size());
    if (!proto::write_all(out, &response, sizeof response) ||
        !proto::write_all(out, g->steps, sizeof(proto::Step) * response.steps) ||
        !proto::write_all(out, g->report, response.report_len) ||
        !proto::write_all(out, tail.data(), tail.size())) {
      _exit(0);
    }
  }
}

__attribute__((constructor(101))) void start() {
  void* area = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (area == MAP_FAILED) {
    std::fprintf(stderr, "pvgen controlled platform: cannot map its state: %s\n",
                 std::strerror(errno));
    _exit(70);
  }
  g = static_cast<Shared*>(area);
  if (&pvgen_controlled_in_process != nullptr) {
    g_in_process = true;  // the program starts its schedules itself
    return;
  }
  if (const char* channel = getenv(proto::kChannelVariable)) {
    int in = -1;
    int out = -1;
    if (std::sscanf(channel, "%d,%d", &in, &out) == 2) {
      serve(in, out);
      return;
    }
  }
  proto::Request request{};
  request.magic = proto::kMagic;
  request.strategy = proto::kRandom;
  request.seed = 1;
  if (const char* seed = getenv(proto::kSeedVariable)) {
    request.seed = std::strtoull(seed, nullptr, 0);
  }
  start_schedule(request, {});
}

}  // namespace

bool controlled() {
  return t_self >= 0;
}

int self() {
  return t_self;
}

bool frozen() {
  return g_frozen;
}

void set_frozen(bool on) {
  g_frozen = on;
}

bool others_at_rest() {
  for (uint32_t i = 0; i < g->nslots; ++i) {
    const Slot& s = g->slots[i];
    if (static_cast<int>(i) == t_self || !s.used || s.ended) {
      continue;
    }
    if (runnable(static_cast<int>(i)) || s.deadline != kNever) {
      return false;
    }
  }
  return true;
}

std::vector<int> event_waiters_in(const void* begin, size_t size) {
  std::vector<int> out;
  const auto* lo = static_cast<const char*>(begin);
  for (uint32_t i = 0; i < g->nslots; ++i) {
    const Slot& s = g->slots[i];
    const auto* at = static_cast<const char*>(s.id);
    if (s.used && !s.ended && s.waiting && s.ev == Ev::kEventWait && at >= lo && at < lo + size &&
        !runnable(static_cast<int>(i))) {
      out.push_back(static_cast<int>(i));
    }
  }
  return out;
}

void violation(const std::string& text) {
  const int me = t_self;
  fail(proto::kViolation,
       "invariant: " + text + "\n" + describe_threads(me, true) + last_events(true));
}

uint64_t now() {
  return g->vnow;
}

uint32_t object_number(const void* p) {
  if (p == nullptr || g_objects == nullptr) {
    return 0;
  }
  const auto [it, added] = g_objects->try_emplace(p, static_cast<uint32_t>(g_objects->size() + 1));
  return it->second;
}

bool point(Ev ev, const void* id, uintptr_t arg, Ready ready, const void* obj, uint64_t deadline,
           const void* where) {
  const int me = t_self;
  Slot& s = g->slots[me];
  record(me, ev, id, arg);
  s.ev = ev;
  s.id = id;
  s.arg = arg;
  s.ready = ready;
  s.obj = obj;
  s.deadline = deadline;
  s.where = where;
  s.waiting = 1;
  const int next = choose(me);
  if (next != me) {
    hand_to(next);
    wait_turn(me);
  }
  s.waiting = 0;
  return ready == nullptr || ready(obj, me);
}

int thread_new(const char* name) {
  // The lowest free number: in-process schedules give back the numbers of ended threads when
  // the next one begins (choices and the digest go by the order of creation, not by number).
  int n = 0;
  while (n < static_cast<int>(g->nslots) && g->slots[n].used) {
    ++n;
  }
  if (n >= kMaxThreads) {
    fail(proto::kOverflow,
         "more than " + std::to_string(kMaxThreads) + " threads: the scheduler keeps no more\n");
  }
  if (n == static_cast<int>(g->nslots)) {
    ++g->nslots;
  }
  Slot& s = g->slots[n];
  s.go.store(0, std::memory_order_relaxed);
  s.ended = 0;
  s.engine_woken = 0;
  s.id = nullptr;
  s.arg = 0;
  s.ready = nullptr;
  s.obj = nullptr;
  s.where = nullptr;
  s.tid = pthread_t{};
  s.born = ++g_births;
  s.used = 1;
  s.waiting = 1;
  s.ev = Ev::kThreadStart;
  s.deadline = kNever;
  s.priority = g_request.pct_depth + (next_random() >> 16);
  if (name != nullptr && name[0] != '\0') {
    std::snprintf(s.name, sizeof s.name, "%s", name);
  } else {
    std::snprintf(s.name, sizeof s.name, "thread-%d", n);
  }
  return n;
}

void thread_created(int slot, pthread_t tid) {
  g->slots[slot].tid = tid;
}

void thread_failed(int slot) {
  g->slots[slot].ended = 1;
}

void thread_enter(int slot) {
  t_self = slot;
  wait_turn(slot);
  Slot& s = g->slots[slot];
  s.waiting = 0;
  record(slot, Ev::kThreadStart, nullptr, 0);
}

void thread_exit() {
  const int me = t_self;
  record(me, Ev::kThreadEnd, nullptr, 0);
  g->slots[me].ended = 1;
  t_self = -1;
  hand_to(choose(-1));
}

bool thread_ended(int slot) {
  return slot >= 0 && slot < kMaxThreads && g->slots[slot].ended != 0;
}

void thread_rename(int slot, const char* name) {
  if (slot < 0 || slot >= static_cast<int>(g->nslots) || name[0] == '\0') {
    return;
  }
  // Only a thread still called by its number takes the name: the framework names its
  // threads in full when it creates them, and the system's copy is cut to 15 characters.
  char numbered[sizeof g->slots[slot].name];
  std::snprintf(numbered, sizeof numbered, "thread-%d", slot);
  if (std::strcmp(g->slots[slot].name, numbered) == 0) {
    std::snprintf(g->slots[slot].name, sizeof g->slots[slot].name, "%s", name);
  }
}

int slot_of(pthread_t tid) {
  for (uint32_t i = 0; i < g->nslots; ++i) {
    if (g->slots[i].used && pthread_equal(g->slots[i].tid, tid)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace sched

// The engine asks for the hooks on every use: only the controlled threads of a schedule get
// the virtual clock.
extern "C" __attribute__((visibility("default"))) const pvgen_sim_clock_hooks*
pvgen_sim_clock_hooks_in_force(void) {
  return sched::controlled() ? &sched::kEngineHooks : nullptr;
}

// ---- schedules run by the program itself (pvgen_controlled.h) ----

namespace sched {
namespace {

[[noreturn]] void misuse(const char* what) {
  std::fprintf(stderr, "pvgen controlled platform: %s\n", what);
  std::abort();
}

// The caller of pvgen_controlled_end goes on once no other thread can run or has a timer.
bool others_at_rest(const void*, int me) {
  for (uint32_t i = 0; i < g->nslots; ++i) {
    const Slot& s = g->slots[i];
    if (static_cast<int>(i) == me || !s.used || s.ended) {
      continue;
    }
    if (runnable(static_cast<int>(i)) || (s.waiting && s.deadline != kNever)) {
      return false;
    }
  }
  return true;
}

bool left_the_schedule(const void*, int) {
  return false;
}

}  // namespace
}  // namespace sched

extern "C" {

__attribute__((visibility("default"))) void pvgen_controlled_begin(uint64_t seed,
                                                                   uint64_t max_points) {
  using namespace sched;
  if (!g_in_process) {
    misuse("pvgen_controlled_begin needs pvgen_controlled_in_process defined by the program");
  }
  if (t_self >= 0) {
    misuse("pvgen_controlled_begin called by a controlled thread");
  }
  if (g_objects == nullptr) {
    g_objects = new std::unordered_map<const void*, uint32_t>;
    // One thread runs at a time: on one processor a hand-over needs no wake-up of another
    // processor (half again as many schedules a second). The threads of the schedules
    // inherit it; so does the rest of the program.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    (void)sched_setaffinity(0, sizeof one, &one);
  }
  // Ended threads give their numbers back.
  for (uint32_t i = 1; i < g->nslots; ++i) {
    if (g->slots[i].ended) {
      g->slots[i].used = 0;
    }
  }
  while (g->nslots > 1 && !g->slots[g->nslots - 1].used) {
    --g->nslots;
  }
  g_request = proto::Request{};
  g_request.magic = proto::kMagic;
  g_request.strategy = proto::kRandom;
  g_request.seed = seed;
  g_request.max_points = max_points;
  g_forced.clear();
  g_change_points.clear();
  g_rng = seed;
  g_objects->clear();
  g->points.store(0, std::memory_order_relaxed);
  g->branching = 0;
  g->hash = 0xCBF29CE484222325ull;
  // The clock goes on from where the last schedule left it: what the engine keeps of it (a
  // band's end) lies in the past, as it would in a schedule of its own.
  g->vnow = std::max(g->vnow, kStartNs);
  g_vstart = g->vnow;
  g->has_failure = 0;
  g->report_len = 0;
  g->record = 0;
  g->nsteps = 0;
  g_watch = kNever;
  Slot& main = g->slots[0];
  main.used = 1;
  main.ended = 0;
  main.waiting = 0;
  main.ready = nullptr;
  main.deadline = kNever;
  main.tid = pthread_self();
  std::snprintf(main.name, sizeof main.name, "main");
  g->nslots = std::max<uint32_t>(g->nslots, 1);
  g->current = 0;
  t_self = 0;
  g_started = true;
}

__attribute__((visibility("default"))) void pvgen_controlled_end(
    pvgen_controlled_summary* summary) {
  using namespace sched;
  if (t_self != 0) {
    misuse("pvgen_controlled_end called by a thread that did not begin the schedule");
  }
  while (!point(Ev::kScheduleEnd, nullptr, 0, others_at_rest, nullptr, kNever,
                __builtin_return_address(0))) {
  }
  if (summary != nullptr) {
    summary->points = g->points.load(std::memory_order_relaxed);
    summary->branching = g->branching;
    summary->virtual_ns = g->vnow - g_vstart;
    summary->digest = g->hash;
  }
  // Out of the schedule until the next one: never picked.
  Slot& main = g->slots[0];
  main.waiting = 1;
  main.ready = left_the_schedule;
  main.deadline = kNever;
  g->current = -1;
  g_watch = kNever;
  t_self = -1;
}

__attribute__((visibility("default"))) uint64_t pvgen_controlled_now(void) {
  return sched::g->vnow;
}

__attribute__((visibility("default"))) void pvgen_controlled_watch(uint64_t ns, const char* what) {
  using namespace sched;
  g_watch = ns == 0 ? kNever : g->vnow + ns;
  std::snprintf(g_watch_what, sizeof g_watch_what, "%s", what != nullptr ? what : "");
}

__attribute__((visibility("default"))) void pvgen_controlled_on_failure(void (*hook)(void)) {
  sched::g_on_failure = hook;
}

}  // extern "C"
