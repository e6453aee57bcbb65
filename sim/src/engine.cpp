// The engine model behind simulated /dev/mfp_pvgen descriptors: reports and engine time,
// the requests, the gate, statistics, start-up and the rest of the control functions of
// pvgen_sim.h. The shared state is in state.h, the fault rules in faults.cpp, the logs and
// the trace in logs.cpp.
//
// Concurrency: all state lives in one State object, created on first use and never
// destroyed (threads of the program may still be blocked in a wait when the process exits).
// Every field of it, and every Dev, is read and written only with State::mu held; the
// exceptions are g_open_count, an atomic that lets calls on ordinary descriptors skip the
// lock while no simulated descriptor is open, and State::generation, an atomic count of
// changes. All waits (blocked waits, the wait helpers) sleep on State::cv, a CLOCK_MONOTONIC
// condition variable that is broadcast after every change while anyone sleeps on it, and
// re-test their condition after each wake-up; a driver wait whose report falls due within a
// few tens of microseconds watches the clock and State::generation instead, with State::mu
// let go. Every request makes its change before it lets go of State::mu, so a request that
// changes several things makes one. A Dev lives while the table of open descriptors or a
// sleeping wait holds it (Dev::refs), so a close can take it out of the table under a waiter.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "engine.h"
#include "faults.h"
#include "logs.h"
#include "pvgen_sim.h"
#include "pvgen_sim_clock.h"
#include "state.h"

namespace pvgen_sim {
namespace {

// ---- reports and engine time ----------------------------------------------------------

uint64_t due_of(const Pending& p) {
  if (p.kind == Pending::kReport)
    return p.due;
  if (p.total == 0)
    return kNever;
  return add_sat(p.due, mul_sat(p.k, p.band_ns));
}

uint32_t remaining(const Pending& p) {
  if (p.kind == Pending::kReport)
    return 1;
  return p.total == 0 ? 1 : p.total - p.k + 1;
}

// Takes the head report of a descriptor whose queue is not empty: writes its out words
// (job_id, band_num, src, dst, plane_result, result) into `out` and its due time to `due`.
void take_head(Dev& d, uint64_t* due, pvgen_sim_wait_blk* out) {
  Pending& p = d.queue.front();
  *due = due_of(p);
  out->job_id = p.job_id;
  if (p.kind == Pending::kReport) {
    std::memcpy(&out->band_num, &p.tail, sizeof p.tail);
    d.queue.pop_front();
    return;
  }
  const uint32_t k = p.k;
  out->band_num = 1;
  for (int i = 0; i < 3; ++i) {
    out->src[i] = pvgen_sim_buf{p.tail.src[i].id, p.tail.src[i].word1 + k, k};
    out->dst[i] = pvgen_sim_buf{p.tail.dst[i].id, p.tail.dst[i].word1 + k, k};
  }
  out->plane_result = (p.job_id << 16) | (k & 0xFFFFu);
  out->result = 0;
  if (k >= p.total) {
    d.queue.pop_front();
  } else {
    p.k = k + 1;
  }
}

// A report that carries its job_id and result only, due at `due`.
Pending bare_report(uint32_t job_id, int32_t result, uint64_t due) {
  Pending p{};
  p.kind = Pending::kReport;
  p.job_id = job_id;
  p.due = due;
  p.tail.result = result;
  return p;
}

// Books `bands` bands commanded at `now` on the descriptor's engine; returns the time the
// first of them starts.
uint64_t run_bands(State& s, Dev& d, uint64_t now, uint32_t bands, uint64_t band_ns) {
  const uint64_t start = std::max(now, d.free_at);
  if (d.ran_band && now > d.free_at)
    s.stats.idle_ns += now - d.free_at;
  if (s.stats.first_band_ns == 0)
    s.stats.first_band_ns = now;
  const uint64_t work = mul_sat(bands, band_ns);
  s.stats.busy_ns = add_sat(s.stats.busy_ns, work);
  s.stats.bands_run += bands;
  d.free_at = add_sat(start, work);
  d.ran_band = true;
  s.stats.last_completion_ns = std::max(s.stats.last_completion_ns, d.free_at);
  return start;
}

void band_command(State& s, Dev& d, const pvgen_sim_cmd_blk& b, bool run, uint64_t now) {
  const uint32_t n = ++d.n;
  if (!run) {
    d.queue.push_back() =
        bare_report(b.job_id, PVGEN_SIM_RESULT_BAND_FAILED, std::max(now, d.free_at));
    return;
  }
  run_bands(s, d, now, 1, s.band_ns);
  Pending& p = d.queue.push_back();
  p.kind = Pending::kReport;
  p.job_id = b.job_id;
  p.k = 0;
  p.total = 0;
  p.due = d.free_at;
  p.band_ns = 0;
  p.tail.band_num = 1;
  for (int i = 0; i < 3; ++i) {
    p.tail.src[i] = pvgen_sim_buf{b.src[i].id, b.src[i].word1 + 1, n};
    p.tail.dst[i] = pvgen_sim_buf{d.page.dst[i].id, d.page.dst[i].word1 + n, n};
  }
  p.tail.plane_result = (b.job_id << 16) | (n & 0xFFFFu);
  p.tail.result = 0;
}

void page_start_command(State& s, Dev& d, const pvgen_sim_cmd_blk& b, uint64_t now) {
  d.page.job_id = b.job_id;
  std::memcpy(d.page.dst, b.dst, sizeof d.page.dst);
  d.n = 0;
  if (b.mode != 2)
    return;
  const uint64_t start =
      b.band_total == 0 ? std::max(now, d.free_at) : run_bands(s, d, now, b.band_total, s.band_ns);
  Pending& p = d.queue.push_back();
  p.kind = Pending::kPageRun;
  p.job_id = b.job_id;
  p.k = 1;
  p.total = b.band_total;
  p.due = start;
  p.band_ns = s.band_ns;
  p.tail = ReportTail{};
  std::memcpy(p.tail.src, b.ring, sizeof p.tail.src);
  std::memcpy(p.tail.dst, b.dst, sizeof p.tail.dst);
}

// Replaces every running page of the descriptor by its final report and gives back the
// engine time of its bands not completed by now.
void stop_command(State& s, Dev& d, uint64_t now) {
  for (size_t i = 0; i < d.queue.size(); ++i) {
    Pending& p = d.queue[i];
    if (p.kind != Pending::kPageRun)
      continue;
    if (p.total != 0) {
      const uint64_t start = p.due;
      uint64_t completed = p.total;
      if (p.band_ns != 0)
        completed = now <= start ? 0 : (now - start) / p.band_ns;
      completed = std::min<uint64_t>(completed, p.total);
      const uint64_t cancelled = p.total - completed;
      const uint64_t end = add_sat(start, mul_sat(p.total, p.band_ns));
      const uint64_t new_end = add_sat(start, mul_sat(completed, p.band_ns));
      s.stats.busy_ns -= std::min(s.stats.busy_ns, mul_sat(cancelled, p.band_ns));
      s.stats.bands_run -= std::min<uint64_t>(s.stats.bands_run, cancelled);
      if (s.stats.last_completion_ns == end)
        s.stats.last_completion_ns = new_end;
      if (d.free_at == end)
        d.free_at = new_end;
    }
    p = bare_report(p.job_id, PVGEN_SIM_RESULT_STOPPED, now);
  }
  d.page = Page{};
}

// ---- requests -------------------------------------------------------------------------

struct Outcome {
  int ret = 0;
  int err = 0;
};

Outcome command(State& s, Dev& d, int kind, uint32_t code, void* arg) {
  if (arg == nullptr) {
    ++s.stats.bad_requests;
    if (tracing(s))
      trace(s, "pvgen-sim: fd %d %s with null block -> EFAULT\n", d.fd, kKindNames[kind]);
    return Outcome{-1, EFAULT};
  }
  const uint64_t now = now_ns();
  // Filled in place, the block copied once; the words before the block cleared first so that
  // padding reads as 0 where there is some.
  pvgen_sim_command& c = s.commands.emplace(s.log_limit);
  std::memset(&c, 0, offsetof(pvgen_sim_command, blk));
  c.code = code;
  c.fd = d.fd;
  c.thread = pthread_self();
  c.time_ns = now;
  copy_bytes(&c.blk, arg, sizeof c.blk);
  const pvgen_sim_cmd_blk& b = c.blk;
  ++s.stats.requests[kind];
  const Hit h = hit(s, kind);
  const bool unit_ok = b.asic == 0 && b.module == 0 && b.channel == 0;
  Outcome o;
  int32_t result = 0;
  if (h.err) {
    o = Outcome{-1, h.errnum};
    result = h.err_result;
  } else if (!unit_ok) {
    result = PVGEN_SIM_RESULT_BAD_UNIT;
  } else if (h.has_result) {
    result = h.result;
  }
  const bool success = result == 0 || (kind == PVGEN_SIM_STOP && result == 2);
  const bool run = unit_ok && success && !(h.err && result == 0);
  switch (kind) {
    case PVGEN_SIM_PAGE_START:
      if (run)
        page_start_command(s, d, b, now);
      break;
    case PVGEN_SIM_BAND:
      band_command(s, d, b, run, now);
      break;
    case PVGEN_SIM_STOP:
      if (run)
        stop_command(s, d, now);
      break;
  }
  std::memcpy(static_cast<char*>(arg) + kResultOffset, &result, sizeof result);
  if (o.ret < 0 || !success)
    ++s.stats.failed[kind];
  c.ret = o.ret;
  c.err = o.err;
  c.result = result;
  if (tracing(s)) {
    trace(s, "pvgen-sim: fd %d %s job_id=%u mode=%u -> ret %d errno %d result %d\n", d.fd,
          kKindNames[kind], static_cast<unsigned>(b.job_id), static_cast<unsigned>(b.mode), o.ret,
          o.err, static_cast<int>(result));
  }
  return o;
}

void write_out_words(void* arg, const pvgen_sim_wait_blk& rep) {
  char* p = static_cast<char*>(arg);
  std::memcpy(p + offsetof(pvgen_sim_wait_blk, job_id), &rep.job_id, sizeof rep.job_id);
  std::memcpy(p + offsetof(pvgen_sim_wait_blk, band_num), &rep.band_num, sizeof rep.band_num);
  std::memcpy(p + offsetof(pvgen_sim_wait_blk, src), rep.src, sizeof rep.src);
  std::memcpy(p + offsetof(pvgen_sim_wait_blk, dst), rep.dst, sizeof rep.dst);
  std::memcpy(p + offsetof(pvgen_sim_wait_blk, plane_result), &rep.plane_result,
              sizeof rep.plane_result);
}

void write_result(void* arg, int32_t result) {
  std::memcpy(static_cast<char*>(arg) + offsetof(pvgen_sim_wait_blk, result), &result,
              sizeof result);
}

// Changes it makes are published by the one sim_ioctl makes after every request, before the
// lock is let go; a wait that is going to sleep makes one before its first sleep.
Outcome wait_request(State& s, Dev& d, void* arg) {
  if (arg == nullptr) {
    ++s.stats.bad_requests;
    if (tracing(s))
      trace(s, "pvgen-sim: fd %d wait with null block -> EFAULT\n", d.fd);
    return Outcome{-1, EFAULT};
  }
  pvgen_sim_wait_blk blk;  // as given, then as returned to the caller
  std::memcpy(&blk, arg, sizeof blk);
  ++s.stats.requests[PVGEN_SIM_WAIT];
  const Hit h = hit(s, PVGEN_SIM_WAIT);
  Outcome o;
  bool take = false;
  bool counted = false;  // among the blocked, and holding a reference to the descriptor
  uint64_t seen = 0;     // the clock reading that found the report due
  if (h.again) {
    ++s.stats.again;
    blk.result = PVGEN_SIM_RESULT_AGAIN;
  } else if (!h.err && (blk.asic != 0 || blk.module != 0 || blk.channel != 0)) {
    blk.result = PVGEN_SIM_RESULT_BAD_UNIT;
  } else {
    for (;;) {
      if (d.closed) {
        o = Outcome{-1, EBADF};
        break;
      }
      const bool gate_ok = !s.gate_closed || s.credits > 0;
      const uint64_t due = d.queue.empty() ? kNever : due_of(d.queue.front());
      if (gate_ok && due != kNever && due <= (seen = now_ns())) {
        take = true;
        break;
      }
      if (!counted) {
        counted = true;
        ++s.blocked;
        ++d.refs;  // a close while it sleeps leaves the descriptor to it
        changed(s);
      }
      if (gate_ok && due != kNever) {
        sleep_until_due(s, due);
      } else {
        sleep_until(s, kNever);
      }
    }
    if (counted)
      --s.blocked;
  }
  uint64_t due_ns = 0;
  if (take) {
    if (s.gate_closed)
      --s.credits;
    ++s.stats.reports;
    if (h.err) {
      // The report is dropped; only the result word tells the caller anything.
      pvgen_sim_wait_blk dropped{};
      take_head(d, &due_ns, &dropped);
      o = Outcome{-1, h.errnum};
      blk.result = h.err_result;
    } else {
      take_head(d, &due_ns, &blk);
      if (h.has_band_num)
        blk.band_num = h.band_num;
      if (h.has_result)
        blk.result = h.result;
      write_out_words(arg, blk);
    }
    write_result(arg, blk.result);
  } else if (o.ret == 0) {
    write_result(arg, blk.result);  // result 3 or bad unit
  }
  if (o.ret < 0)
    ++s.stats.failed[PVGEN_SIM_WAIT];
  // Filled in place; the bytes around the block cleared first so that padding reads as 0.
  pvgen_sim_answer& a = s.answers.emplace(s.log_limit);
  constexpr size_t kBlkEnd = offsetof(pvgen_sim_answer, blk) + sizeof(pvgen_sim_wait_blk);
  std::memset(&a, 0, offsetof(pvgen_sim_answer, blk));
  std::memset(reinterpret_cast<char*>(&a) + kBlkEnd, 0, sizeof a - kBlkEnd);
  a.fd = d.fd;
  a.thread = pthread_self();
  a.due_ns = due_ns;
  // A report taken returns at once after the reading that found it due.
  a.time_ns = take ? seen : now_ns();
  a.ret = o.ret;
  a.err = o.err;
  a.took_report = take ? 1 : 0;
  a.blk = blk;
  if (tracing(s)) {
    trace(s,
          "pvgen-sim: fd %d wait -> ret %d errno %d job_id=%u band_num=%d plane_result=0x%x "
          "result %d\n",
          d.fd, o.ret, o.err, static_cast<unsigned>(blk.job_id), static_cast<int>(blk.band_num),
          static_cast<unsigned>(blk.plane_result), static_cast<int>(blk.result));
  }
  if (counted)
    release(&d);
  return o;
}

// ---- start-up -------------------------------------------------------------------------

bool parse_time_ns(const char* text, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || end == text || !(v >= 0))
    return false;
  const std::string unit(end);
  double scale = 0;
  if (unit.empty() || unit == "us") {
    scale = 1e3;
  } else if (unit == "ns") {
    scale = 1;
  } else if (unit == "ms") {
    scale = 1e6;
  } else if (unit == "s") {
    scale = 1e9;
  } else {
    return false;
  }
  const double ns = v * scale;
  if (ns >= 1.8e19)
    return false;
  *out = static_cast<uint64_t>(ns + 0.5);
  return true;
}

FILE* open_output(const std::string& path) {
  if (path == "-" || path == "stderr")
    return stderr;
  return std::fopen(path.c_str(), "w");
}

// The simulator's own messages name the program it runs in (pvgen-run, a test, a program
// started by pvgen-sim) and say that they come from the simulated engine.
const char* program_name() {
  return program_invocation_short_name != nullptr && *program_invocation_short_name != '\0'
             ? program_invocation_short_name
             : "libpvgen_sim.so";
}

void dump_stats_at_exit() {
  State& s = state();
  std::string path;
  {
    Lock l(s);
    path = s.stats_path;
  }
  errno = 0;
  if (pvgen_sim_stats_dump(path.c_str()) != 0) {
    std::fprintf(stderr, "%s: simulated engine: cannot write the statistics to '%s': %s\n",
                 program_name(), path.c_str(), std::strerror(errno != 0 ? errno : EIO));
  }
}

[[noreturn]] void bad_environment(const char* name, const char* value) {
  std::fprintf(stderr, "%s: simulated engine: malformed %s=\"%s\"\n", program_name(), name, value);
  std::_Exit(2);
}

// An output file named in the environment that cannot be opened stops the program before
// it starts, with the system's reason.
[[noreturn]] void bad_output(const char* name, const char* path, int err) {
  std::fprintf(stderr, "%s: simulated engine: cannot open %s file '%s': %s\n", program_name(), name,
               path, std::strerror(err));
  std::_Exit(2);
}

}  // namespace

// ---- entry points of interpose.cpp ----------------------------------------------------

bool is_device_path(const char* path) {
  return path != nullptr && std::strcmp(path, PVGEN_SIM_DEVICE) == 0;
}

int sim_open(int* err) {
  clock_call(PVGEN_SIM_CALL_OPEN, 0);
  State& s = state();
  Lock l(s);
  ++s.stats.requests[PVGEN_SIM_OPEN];
  const Hit h = hit(s, PVGEN_SIM_OPEN);
  int fd = -1;
  if (h.err) {
    *err = h.errnum;
  } else {
    // A real descriptor number, so that it never collides with the program's other files.
    fd = real_open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      *err = errno;
    } else {
      Dev* dev = new Dev;
      dev->fd = fd;
      s.devs[fd] = dev;
      g_open_count.fetch_add(1, std::memory_order_release);
    }
  }
  if (fd < 0)
    ++s.stats.failed[PVGEN_SIM_OPEN];
  if (tracing(s))
    trace(s, "pvgen-sim: open %s -> %d errno %d\n", PVGEN_SIM_DEVICE, fd, fd < 0 ? *err : 0);
  changed(s);
  return fd;
}

bool sim_ioctl(int fd, unsigned long request, void* arg, int* ret, int* err) {
  if (g_open_count.load(std::memory_order_acquire) == 0)
    return false;
  clock_call(PVGEN_SIM_CALL_IOCTL, request);
  State& s = state();
  Lock l(s);
  Dev* const dev = find_dev(s, fd);
  if (dev == nullptr)
    return false;
  // The kernel takes the request as a 32-bit word.
  const uint32_t code = static_cast<uint32_t>(request);
  Outcome o;
  switch (code) {
    case PVGEN_SIM_IOC_PAGE_START:
      o = command(s, *dev, PVGEN_SIM_PAGE_START, code, arg);
      break;
    case PVGEN_SIM_IOC_BAND_EXE:
      o = command(s, *dev, PVGEN_SIM_BAND, code, arg);
      break;
    case PVGEN_SIM_IOC_STOP:
      o = command(s, *dev, PVGEN_SIM_STOP, code, arg);
      break;
    case PVGEN_SIM_IOC_WAIT:
      o = wait_request(s, *dev, arg);
      break;
    default:
      ++s.stats.bad_requests;
      if (tracing(s)) {
        trace(s, "pvgen-sim: fd %d unknown request 0x%08x -> ENOTTY\n", fd,
              static_cast<unsigned>(code));
      }
      o = Outcome{-1, ENOTTY};
      break;
  }
  changed(s);
  *ret = o.ret;
  *err = o.err;
  return true;
}

bool sim_close(int fd, int* ret, int* err) {
  if (g_open_count.load(std::memory_order_acquire) == 0)
    return false;
  clock_call(PVGEN_SIM_CALL_CLOSE, 0);
  State& s = state();
  Lock l(s);
  const auto it = s.devs.find(fd);
  if (it == s.devs.end())
    return false;
  Dev* const dev = it->second;
  dev->closed = true;
  s.devs.erase(it);
  if (s.last_dev == dev)
    s.last_dev = nullptr;
  g_open_count.fetch_sub(1, std::memory_order_release);
  ++s.stats.requests[PVGEN_SIM_CLOSE];
  // Released under the lock: until the number is free again, requests on it still find
  // the descriptor or, after this point, the C library's EBADF.
  *ret = real_close(fd);
  *err = *ret < 0 ? errno : 0;
  if (tracing(s))
    trace(s, "pvgen-sim: close %d\n", fd);
  changed(s);
  release(dev);  // its waiters, woken by the change, hold their own references
  return true;
}

void load_environment() {
  State& s = state();
  // A child forked while another thread is inside the simulator must not inherit a held lock.
  pthread_atfork([] { pthread_mutex_lock(&state().mu); }, [] { pthread_mutex_unlock(&state().mu); },
                 [] { pthread_mutex_unlock(&state().mu); });
  if (const char* v = std::getenv("PVGEN_SIM_BAND_TIME")) {
    uint64_t ns = 0;
    if (!parse_time_ns(v, &ns))
      bad_environment("PVGEN_SIM_BAND_TIME", v);
    pvgen_sim_set_band_time_ns(ns);
  }
  if (const char* v = std::getenv("PVGEN_SIM_FAULTS")) {
    if (pvgen_sim_fault_script(v) < 0) {
      std::fprintf(stderr, "%s: simulated engine: malformed PVGEN_SIM_FAULTS=\"%s\": %s\n",
                   program_name(), v, pvgen_sim_fault_script_error());
      std::_Exit(2);
    }
  }
  if (const char* v = std::getenv("PVGEN_SIM_GATE")) {
    long long n = 0;
    if (!parse_long(v, &n) || n < 0 || n > UINT32_MAX)
      bad_environment("PVGEN_SIM_GATE", v);
    pvgen_sim_gate_close();
    pvgen_sim_gate_release(static_cast<uint32_t>(n));
  }
  if (const char* v = std::getenv("PVGEN_SIM_LOG_LIMIT")) {
    long long n = 0;
    if (!parse_long(v, &n) || n < 1)
      bad_environment("PVGEN_SIM_LOG_LIMIT", v);
    pvgen_sim_set_log_limit(static_cast<size_t>(n));
  }
  if (const char* v = std::getenv("PVGEN_SIM_TRACE")) {
    if (*v == '\0')
      bad_environment("PVGEN_SIM_TRACE", v);
    FILE* f = open_output(v);
    if (f == nullptr)
      bad_output("PVGEN_SIM_TRACE", v, errno);
    Lock l(s);
    s.trace = f;
  }
  if (const char* v = std::getenv("PVGEN_SIM_STATS")) {
    if (*v == '\0')
      bad_environment("PVGEN_SIM_STATS", v);
    if (std::strcmp(v, "-") != 0 && std::strcmp(v, "stderr") != 0) {
      // Checked now rather than lost at exit; written (and emptied) only then.
      FILE* f = std::fopen(v, "ae");
      if (f == nullptr)
        bad_output("PVGEN_SIM_STATS", v, errno);
      std::fclose(f);
    }
    {
      Lock l(s);
      s.stats_path = v;
    }
    std::atexit(dump_stats_at_exit);
  }
}

}  // namespace pvgen_sim

// ---- control interface (pvgen_sim.h) ---------------------------------------------------

using pvgen_sim::Lock;
using pvgen_sim::state;
using pvgen_sim::State;

extern "C" {

void pvgen_sim_reset(void) {
  State& s = state();
  Lock l(s);
  s.band_ns = 0;
  s.gate_closed = false;
  s.credits = 0;
  s.log_limit = pvgen_sim::kDefaultLogLimit;
  s.rules.clear();
  std::fill(std::begin(s.calls), std::end(s.calls), 0);
  s.stats = pvgen_sim_stats{};
  s.commands.clear();
  s.answers.clear();
  for (auto& entry : s.devs)
    entry.second->ran_band = false;
  pvgen_sim::changed(s);
}

void pvgen_sim_set_band_time_ns(uint64_t ns) {
  State& s = state();
  Lock l(s);
  s.band_ns = ns;
}

uint64_t pvgen_sim_band_time_ns(void) {
  State& s = state();
  Lock l(s);
  return s.band_ns;
}

void pvgen_sim_set_log_limit(size_t entries) {
  State& s = state();
  Lock l(s);
  s.log_limit = entries == 0 ? 1 : entries;
  s.commands.trim(s.log_limit);
  s.answers.trim(s.log_limit);
}

uint64_t pvgen_sim_now_ns(void) {
  return pvgen_sim::now_ns();
}

int pvgen_sim_is_device(int fd) {
  State& s = state();
  Lock l(s);
  return s.devs.count(fd) != 0 ? 1 : 0;
}

void pvgen_sim_gate_close(void) {
  State& s = state();
  Lock l(s);
  s.gate_closed = true;
  s.credits = 0;
  pvgen_sim::changed(s);
}

void pvgen_sim_gate_release(uint32_t n) {
  State& s = state();
  Lock l(s);
  s.credits += n;
  pvgen_sim::changed(s);
}

void pvgen_sim_gate_open(void) {
  State& s = state();
  Lock l(s);
  s.gate_closed = false;
  s.credits = 0;
  pvgen_sim::changed(s);
}

void pvgen_sim_get_stats(pvgen_sim_stats* out) {
  if (out == nullptr)
    return;
  State& s = state();
  Lock l(s);
  *out = s.stats;
  out->open_descriptors = static_cast<uint32_t>(s.devs.size());
  out->blocked_waiters = s.blocked;
  uint64_t pending = 0;
  for (const auto& entry : s.devs) {
    const pvgen_sim::ReportQueue& queue = entry.second->queue;
    for (size_t i = 0; i < queue.size(); ++i)
      pending += pvgen_sim::remaining(queue[i]);
  }
  out->pending_reports = static_cast<uint32_t>(std::min<uint64_t>(pending, UINT32_MAX));
}

int pvgen_sim_stats_dump(const char* path) {
  pvgen_sim_stats st{};
  pvgen_sim_get_stats(&st);
  const std::string where = path == nullptr ? "-" : path;
  FILE* f = pvgen_sim::open_output(where);
  if (f == nullptr)
    return -1;
  for (int k = 0; k < PVGEN_SIM_KINDS; ++k) {
    std::fprintf(f, "requests.%s=%llu\n", pvgen_sim::kKindNames[k],
                 static_cast<unsigned long long>(st.requests[k]));
  }
  for (int k = 0; k < PVGEN_SIM_KINDS; ++k) {
    std::fprintf(f, "failed.%s=%llu\n", pvgen_sim::kKindNames[k],
                 static_cast<unsigned long long>(st.failed[k]));
  }
  const uint64_t span =
      st.last_completion_ns > st.first_band_ns ? st.last_completion_ns - st.first_band_ns : 0;
  std::fprintf(
      f,
      "bad_requests=%llu\nreports=%llu\nagain=%llu\nfaults=%llu\nbands_run=%llu\n"
      "busy_ns=%llu\nidle_ns=%llu\nspan_ns=%llu\nutilisation=%.6f\n"
      "open_descriptors=%u\nblocked_waiters=%u\npending_reports=%u\n",
      static_cast<unsigned long long>(st.bad_requests), static_cast<unsigned long long>(st.reports),
      static_cast<unsigned long long>(st.again), static_cast<unsigned long long>(st.faults),
      static_cast<unsigned long long>(st.bands_run), static_cast<unsigned long long>(st.busy_ns),
      static_cast<unsigned long long>(st.idle_ns), static_cast<unsigned long long>(span),
      span == 0 ? 0.0 : static_cast<double>(st.busy_ns) / static_cast<double>(span),
      static_cast<unsigned>(st.open_descriptors), static_cast<unsigned>(st.blocked_waiters),
      static_cast<unsigned>(st.pending_reports));
  if (f == stderr)
    return std::fflush(f) == 0 ? 0 : -1;
  return std::fclose(f) == 0 ? 0 : -1;
}

}  // extern "C"

namespace {

template <class Pred>
int wait_for(uint32_t timeout_ms, Pred done) {
  State& s = state();
  const uint64_t deadline = pvgen_sim::now_ns() + uint64_t{timeout_ms} * 1000000u;
  Lock l(s);
  while (!done(s)) {
    if (pvgen_sim::now_ns() >= deadline)
      return -1;
    pvgen_sim::sleep_until(s, deadline);
  }
  return 0;
}

}  // namespace

extern "C" {

int pvgen_sim_wait_requests(int kind, uint64_t n, uint32_t timeout_ms) {
  if (kind < 0 || kind >= PVGEN_SIM_KINDS)
    return -1;
  return wait_for(timeout_ms, [&](const State& s) { return s.stats.requests[kind] >= n; });
}

int pvgen_sim_wait_reports(uint64_t n, uint32_t timeout_ms) {
  return wait_for(timeout_ms, [&](const State& s) { return s.stats.reports >= n; });
}

int pvgen_sim_wait_blocked(uint32_t n, uint32_t timeout_ms) {
  return wait_for(timeout_ms, [&](const State& s) { return s.blocked >= n; });
}

}  // extern "C"
