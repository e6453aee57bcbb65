// pvgen-transcript: runs seeded random call sequences through the library's five C
// functions, and requests listed through the exported class operations as a direct user of
// the classes lists them (page-less and page-mode bands, other planes and masks, page-mode
// page starts), against the simulated engine and prints, for each, a transcript that does not
// depend on how the library's threads happen to interleave. Two builds of the library that
// behave alike print the same bytes for the same seeds.
//
//   pvgen-transcript --seed FIRST --count N [--watchdog SECONDS]
//
// Each sequence runs in a child process forked from a parent that never touches the library,
// so every sequence starts on a fresh library with no threads. The child holds the engine's
// report gate closed and lets at most one report through per step, and after every step
// waits until every thread but its own is asleep and stays asleep (nothing in the process
// sleeps with a time limit: band time 0, gate closed). What a step caused is then complete,
// and only the order of events across threads is left to chance; the transcript therefore
// lists what each thread did, thread by thread, in that thread's own order.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform_capture.h"
#include "pvgen_sim.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"

namespace {

using Blk = QUORL_CNV_PVGEN_BLK;
using Info = QUORL_CNV_PVGEN_RESULT_INFO;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  if (n < 0) {
    return {};
  }
  if (static_cast<size_t>(n) < sizeof buf) {
    return std::string(buf, static_cast<size_t>(n));
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  va_start(args, fmt);
  std::vsnprintf(big.data(), big.size(), fmt, args);
  va_end(args);
  big.resize(static_cast<size_t>(n));
  return big;
}

uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

void pause_us(long us) {
  timespec ts{0, us * 1000};
  nanosleep(&ts, nullptr);
}

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// ---------------------------------------------------------------- random sequences

// splitmix64: the same numbers with every compiler and standard library.
struct Rng {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
  bool percent(uint32_t p) { return below(100) < p; }
};

enum class Op {
  GetId,
  Prepare,
  PageStart,
  Band,
  BandCb,
  Stop,
  StopStranger,
  Credit,
  GateOpen,
  List
};

const char* op_name(Op op) {
  switch (op) {
    case Op::GetId:
      return "get_page_id";
    case Op::Prepare:
      return "prepare";
    case Op::PageStart:
      return "page_start";
    case Op::Band:
      return "band";
    case Op::BandCb:
      return "band_cb";
    case Op::Stop:
      return "stop";
    case Op::StopStranger:
      return "stop_stranger";
    case Op::Credit:
      return "credit";
    case Op::GateOpen:
      return "gate_open";
    case Op::List:
      return "list";
  }
  return "?";
}

// Calls that may wait for the dispatcher, the worker or the engine run on a thread of
// their own; the others run on the main thread.
bool blocking(Op op) {
  return op == Op::Prepare || op == Op::PageStart || op == Op::Band || op == Op::Stop ||
         op == Op::StopStranger || op == Op::List;
}

struct Step {
  Op op = Op::Credit;
  int page = 0;  // page slot
  uint32_t priority = 0;
  uint32_t band_total = 1;
  uint32_t mode = 1;
  uint32_t type = 2;
  uint32_t wait_for_channel = 0;
  uint32_t plane = 0;  // plane that carries the buffers
  bool no_src = false;
  bool no_dst = false;
  int32_t result = 0;  // the block's result word before the call
  uint32_t salt = 0;   // varies the buffer words and the conversion table
  // List: the request kind listed, its masks, the plane it is pending on, whether it has a
  // callback.
  int request = 2;
  uint32_t masks[3] = {1, 1, 1};
  uint32_t pending_plane = 0;
  bool callback = false;
  bool final = false;  // one of the stops that end the sequence
};

// A page-less band whose masks match channel 0/0/0: it takes the channel when it is idle.
bool runnable_pageless(const Step& s) {
  return s.op == Op::List && s.request == 2 && s.mode == 0 && (s.masks[0] & 1) != 0 &&
         (s.masks[1] & 1) != 0 && (s.masks[2] & 1) != 0;
}

struct Sequence {
  uint64_t seed = 0;
  int pages = 1;
  std::string faults;
  std::vector<Step> steps;
};

std::string fault_rule(Rng& rng) {
  const uint32_t first = 1 + rng.below(4);
  const std::string at =
      rng.percent(30) ? format("#%ux%u", first, 2 + rng.below(2)) : format("#%u", first);
  static const char* const kErrnos[] = {"EIO", "EINTR", "ENODEV"};
  const char* err = kErrnos[rng.below(3)];
  switch (rng.below(9)) {
    case 0:
      return format("open#1:errno=%s", err);
    case 1: {
      static const int32_t kStart[] = {1, 4, -1};
      return rng.percent(50) ? format("start%s:errno=%s", at.c_str(), err)
                             : format("start%s:result=%d", at.c_str(), kStart[rng.below(3)]);
    }
    case 2:
    case 3: {
      static const int32_t kBand[] = {1, 2, 4, -1};
      return rng.percent(30) ? format("band%s:errno=%s", at.c_str(), err)
                             : format("band%s:result=%d", at.c_str(), kBand[rng.below(4)]);
    }
    case 4:
    case 5: {
      static const int32_t kWait[] = {1, 2, 4, -1};
      return format("wait%s:result=%d", at.c_str(), kWait[rng.below(4)]);
    }
    case 6:
      switch (rng.below(3)) {
        case 0:
          return format("wait%s:again", at.c_str());
        case 1:
          return format("wait%s:band_num=%u", at.c_str(), rng.below(2) * 2);
        default:
          return format("wait%s:errno=%s", at.c_str(), err);
      }
    default: {
      static const int32_t kStop[] = {2, 5, -1};
      return rng.percent(30) ? format("stop%s:errno=%s", at.c_str(), err)
                             : format("stop%s:result=%d", at.c_str(), kStop[rng.below(3)]);
    }
  }
}

Sequence generate(uint64_t seed) {
  Rng rng{seed * 0x2545F4914F6CDD1Dull + 1};
  Sequence seq;
  seq.seed = seed;
  seq.pages = 1 + static_cast<int>(rng.below(3));
  if (rng.percent(40)) {
    const uint32_t rules = 1 + rng.below(2);
    for (uint32_t i = 0; i < rules; ++i) {
      seq.faults += (i == 0 ? "" : "; ") + fault_rule(rng);
    }
  }
  // A page keeps its priority and band count in most of its blocks. Most calls follow the
  // page's course (identifier, prepare, page start, bands, stop), the others are drawn at
  // random: out of order, twice, or for a page in another state.
  struct Slot {
    uint32_t priority;
    uint32_t band_total;
    int course = 0;  // 0 identifier, 1 prepare, 2 page start, 3 bands, 4 stop
    uint32_t bands = 0;
  };
  std::vector<Slot> slots;
  for (int i = 0; i < seq.pages; ++i) {
    slots.push_back({rng.below(6), rng.percent(5) ? 0 : 1 + rng.below(4)});
  }
  const uint32_t count = 5 + rng.below(36);
  for (uint32_t i = 0; i < count; ++i) {
    Step s;
    s.page = static_cast<int>(rng.below(static_cast<uint32_t>(seq.pages)));
    Slot& course = slots[static_cast<size_t>(s.page)];
    const uint32_t pick = rng.below(100);
    if (pick < 28) {
      s.op = Op::Credit;
    } else if (pick < 75) {
      switch (course.course) {
        case 0:
          s.op = Op::GetId;
          break;
        case 1:
          s.op = Op::Prepare;
          break;
        case 2:
          s.op = Op::PageStart;
          break;
        case 3:
          s.op = rng.percent(70) ? Op::BandCb : Op::Band;
          break;
        default:
          s.op = Op::Stop;
          break;
      }
      if (course.course == 3) {
        course.course = ++course.bands >= course.band_total + rng.below(3) ? 4 : 3;
      } else {
        course.course = (course.course + 1) % 5;
        course.bands = 0;
      }
    } else if (rng.percent(30)) {
      // A request listed through the class operations, with what the C functions never
      // make: a page-less band, a page-mode band or page start, another plane, other masks.
      s.op = Op::List;
      static const int kKinds[] = {2, 2, 2, 2, 0, 1};
      s.request = kKinds[rng.below(6)];
      if (s.request == 1) {
        // A page-mode page start for a page that is prepared, its next step; a page start
        // on a page that runs bands would leave the engine's reports to chance.
        if (course.course == 2) {
          course.course = 3;
        } else {
          s.request = 2;
        }
      }
      for (uint32_t& mask : s.masks) {
        mask = rng.percent(80) ? 1 : 2 + rng.below(2);  // 2 lacks bit 0, 3 has it
      }
      s.pending_plane = rng.percent(75) ? 0 : 1;
      s.callback = s.request == 2 ? rng.percent(60) : s.request == 1 && rng.percent(60);
    } else {
      const uint32_t other = rng.below(100);
      s.op = other < 8    ? Op::GetId
             : other < 24 ? Op::Prepare
             : other < 40 ? Op::PageStart
             : other < 58 ? Op::Band
             : other < 82 ? Op::BandCb
             : other < 94 ? Op::Stop
                          : Op::StopStranger;
    }
    const Slot& slot = slots[static_cast<size_t>(s.page)];
    s.priority = rng.percent(80) ? slot.priority : rng.below(7);  // 6 is refused
    s.band_total = rng.percent(90) ? slot.band_total : rng.below(5);
    const uint32_t m = rng.below(100);
    if (s.op == Op::List) {
      s.mode = s.request == 0 ? 0 : s.request == 1 ? 2 : m < 45 ? 0 : m < 70 ? 2 : 1;
    } else {
      s.mode = m < 90 ? 1 : m < 95 ? 0 : 2;
    }
    s.type = rng.percent(90) ? 2 : rng.below(4);
    s.wait_for_channel = rng.percent(50) ? 1 : 0;
    s.plane = rng.percent(85) ? 0 : 1 + rng.below(2);
    s.no_src = rng.percent(3);
    s.no_dst = rng.percent(3);
    static const int32_t kResults[] = {0x5A, 0, 1, -7};
    s.result = kResults[rng.below(4)];
    s.salt = static_cast<uint32_t>(rng.next());
    seq.steps.push_back(s);
  }
  return seq;
}

// ---------------------------------------------------------------- quiescence

// Waits until every thread of the process but the calling one is asleep and stays asleep.
// Each scan reads every other thread's state (/proc/.../stat) and how often it has been put
// on a processor (/proc/.../schedstat). Two scans in a row that find the same threads, all
// asleep, none of them run in between, prove an instant at which all of them slept at once;
// from then on nothing can wake them (the caller does nothing, no thread waits with a time
// limit), so the process is quiet.
class QuietWatch {
 public:
  QuietWatch() : self_(getpid()) {}
  ~QuietWatch() {
    for (auto& [tid, task] : tasks_) {
      close_task(task);
    }
    if (dir_ != nullptr) {
      closedir(dir_);
    }
  }
  QuietWatch(const QuietWatch&) = delete;
  QuietWatch& operator=(const QuietWatch&) = delete;

  // true once quiet; false when `timeout_ms` passed first (then `why` tells the states).
  bool wait(uint32_t timeout_ms, std::string* why) {
    const uint64_t deadline = now_ns() + uint64_t{timeout_ms} * 1000000u;
    std::vector<std::pair<int, uint64_t>> prev;
    std::vector<std::pair<int, uint64_t>> cur;
    bool have_prev = false;
    unsigned busy_rounds = 0;
    for (;;) {
      const bool asleep = scan(cur, nullptr);
      if (asleep && have_prev && cur == prev) {
        return true;
      }
      have_prev = asleep;
      std::swap(prev, cur);
      if (!asleep) {
        if (now_ns() > deadline) {
          (void)scan(cur, why);
          return false;
        }
        // Threads that are still busy need the processors more than this one does.
        ++busy_rounds;
        if (busy_rounds < 3) {
          sched_yield();
        } else {
          pause_us(busy_rounds < 10 ? 20 : busy_rounds < 50 ? 50 : 200);
        }
      }
    }
  }

 private:
  struct Task {
    int stat_fd = -1;
    int sched_fd = -1;
    bool seen = false;
  };

  static void close_task(Task& t) {
    if (t.stat_fd >= 0) {
      close(t.stat_fd);
    }
    if (t.sched_fd >= 0) {
      close(t.sched_fd);
    }
  }

  static ssize_t read_at0(int fd, char* buf, size_t size) {
    const ssize_t n = pread(fd, buf, size - 1, 0);
    if (n >= 0) {
      buf[n] = '\0';
    }
    return n;
  }

  // Fills `out` with (tid, times run) of every other thread, sorted by tid; returns whether
  // all of them were asleep. With `why`, also describes each thread.
  bool scan(std::vector<std::pair<int, uint64_t>>& out, std::string* why) {
    out.clear();
    if (dir_ == nullptr) {
      dir_ = opendir("/proc/self/task");
      if (dir_ == nullptr) {
        std::perror("pvgen-transcript: /proc/self/task");
        _exit(4);
      }
    } else {
      rewinddir(dir_);
    }
    for (auto& [tid, task] : tasks_) {
      task.seen = false;
    }
    bool asleep = true;
    while (const dirent* e = readdir(dir_)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') {
        continue;
      }
      const int tid = std::atoi(e->d_name);
      if (tid == self_) {
        continue;
      }
      Task& t = tasks_[tid];
      t.seen = true;
      if (t.stat_fd < 0) {
        t.stat_fd = open(format("/proc/self/task/%d/stat", tid).c_str(), O_RDONLY | O_CLOEXEC);
        t.sched_fd =
            open(format("/proc/self/task/%d/schedstat", tid).c_str(), O_RDONLY | O_CLOEXEC);
      }
      char stat[512];
      char sched[128];
      if (t.stat_fd < 0 || t.sched_fd < 0 || read_at0(t.stat_fd, stat, sizeof stat) <= 0 ||
          read_at0(t.sched_fd, sched, sizeof sched) <= 0) {
        asleep = false;  // going away
        continue;
      }
      const char* close_paren = std::strrchr(stat, ')');
      const char state = close_paren != nullptr && close_paren[1] == ' ' ? close_paren[2] : '?';
      unsigned long long run_ns = 0;
      unsigned long long wait_ns = 0;
      unsigned long long runs = 0;
      if (std::sscanf(sched, "%llu %llu %llu", &run_ns, &wait_ns, &runs) != 3) {
        asleep = false;
      }
      if (state != 'S') {
        asleep = false;
      }
      out.emplace_back(tid, runs);
      if (why != nullptr) {
        char comm[64] = "?";
        const char* open_paren = std::strchr(stat, '(');
        if (open_paren != nullptr && close_paren != nullptr && close_paren > open_paren) {
          const size_t len =
              std::min(sizeof comm - 1, static_cast<size_t>(close_paren - open_paren - 1));
          std::memcpy(comm, open_paren + 1, len);
          comm[len] = '\0';
        }
        *why += format("  thread %s state %c\n", comm, state);
      }
    }
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      if (!it->second.seen) {
        close_task(it->second);
        it = tasks_.erase(it);
      } else {
        ++it;
      }
    }
    std::sort(out.begin(), out.end());
    return asleep;
  }

  pid_t self_;
  DIR* dir_ = nullptr;
  std::map<int, Task> tasks_;
};

// ---------------------------------------------------------------- one sequence (child)

struct Callback {
  Info info;
  pthread_t thread;
};
std::mutex g_callbacks_mutex;
std::vector<Callback> g_callbacks;

void on_band(Info* info) {
  std::lock_guard<std::mutex> lock(g_callbacks_mutex);
  g_callbacks.push_back(Callback{*info, pthread_self()});
}

struct Call {
  int number = 0;  // the step that made it
  Op op = Op::Band;
  int request = 2;  // List: the kind listed
  uint32_t pending_plane = 0;
  bool callback = false;
  bool pageless_runnable = false;
  Blk blk{};
  Blk before{};
  pthread_t thread{};
  bool has_thread = false;
  std::atomic<bool> returned{false};
  int32_t rc = 0;
  bool reported = false;
};

// Lists the block as a direct user of the classes does, wakes the dispatcher and, for a
// request that blocks its submitter, waits on the entry's semaphore and collects the entry as
// the submission would (a page-mode page start that started is left to the worker).
int32_t list_request(Call& c) {
  auto* registry = norvane::quorl_cnv_pvgen_commonmethod::instance();
  auto* control = norvane::quorl_cnv_pvgen_control::instance();
  norvane::quorl_cnv_pvgen_observer* obs =
      c.callback ? registry->obs_wrapper_create(static_cast<unsigned long>(c.blk.page_id), on_band)
                 : nullptr;
  registry->req_list_lock();
  QUORL_CNV_PVGEN_LIST_BLK* entry = registry->req_list_insert(c.request, c.blk, obs);
  if (c.pending_plane != 0) {
    entry->plane_stat[0] = 2;
    entry->plane_stat[c.pending_plane] = 0;
  }
  // An asynchronous entry belongs to the dispatcher and the worker once the lock is let go.
  const bool synchronous = entry->event != nullptr;
  registry->req_list_unlock();
  control->ctrl_signal();
  if (!synchronous) {
    return 0;
  }
  entry->event->event.wait(0xFFFFFFFF);
  const int32_t outcome = entry->blk.result;
  c.blk.result = outcome;
  if (!(c.request == 1 && c.blk.mode == 2 && outcome == 0)) {
    registry->req_list_erase(norvane::quorl_cnv_pvgen_commonmethod::ERASE_ADDRESS,
                             reinterpret_cast<unsigned long>(entry));
  }
  return outcome;
}

int32_t invoke(Call& c) {
  switch (c.op) {
    case Op::List:
      return list_request(c);
    case Op::Prepare:
      return Quorl_cnv_pvgen_prepare(&c.blk);
    case Op::PageStart:
      return Quorl_cnv_pvgen_page_start(&c.blk, nullptr);
    case Op::Band:
      return Quorl_cnv_pvgen_band_exe(&c.blk, nullptr);
    case Op::BandCb:
      return Quorl_cnv_pvgen_band_exe(&c.blk, on_band);
    default:
      return Quorl_cnv_pvgen_stop(&c.blk);
  }
}

void* caller_main(void* arg) {
  Call& c = *static_cast<Call*>(arg);
  c.rc = invoke(c);
  c.returned.store(true, std::memory_order_release);
  return nullptr;
}

std::string buf3(const char* name, const QUORL_CNV_PVGEN_BUF* b) {
  return format(" %s=%x/%x/%x,%x/%x/%x,%x/%x/%x", name, b[0].id, b[0].word1, b[0].word2, b[1].id,
                b[1].word1, b[1].word2, b[2].id, b[2].word1, b[2].word2);
}
std::string buf3(const char* name, const pvgen_sim_buf* b) {
  return buf3(name, reinterpret_cast<const QUORL_CNV_PVGEN_BUF*>(b));
}
static_assert(sizeof(pvgen_sim_buf) == sizeof(QUORL_CNV_PVGEN_BUF));

uint32_t fnv1a(const uint8_t* data, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) {
    h = (h ^ data[i]) * 16777619u;
  }
  return h;
}

const char* command_name(uint32_t code) {
  switch (code) {
    case PVGEN_SIM_IOC_PAGE_START:
      return "page_start";
    case PVGEN_SIM_IOC_BAND_EXE:
      return "band";
    case PVGEN_SIM_IOC_STOP:
      return "stop";
    default:
      return "?";
  }
}

class Runner {
 public:
  Runner(const Sequence& seq, int out) : seq_(seq), out_(out) {
    page_ids_.resize(static_cast<size_t>(seq.pages));
    for (size_t i = 0; i < page_ids_.size(); ++i) {
      page_ids_[i] = static_cast<int32_t>(i + 1);  // valid identifiers even without get_page_id
    }
    used_.assign(page_ids_.size(), false);
  }

  void run() {
    pvgen_sim_reset();
    pvgen_sim_gate_close();
    if (!seq_.faults.empty() && pvgen_sim_fault_script(seq_.faults.c_str()) < 0) {
      emit(format("bad fault script: %s\n", pvgen_sim_fault_script_error()));
      _exit(5);
    }
    platform::capture_begin();
    platform::trace_points_clear();
    emit(format("pages %d, steps %zu, faults '%s'\n", seq_.pages, seq_.steps.size(),
                seq_.faults.c_str()));
    int number = 0;
    for (const Step& s : seq_.steps) {
      do_step(++number, s);
    }
    // The end: the reports still owed come one at a time, and every page used is stopped,
    // each stop as a step of its own.
    std::vector<size_t> to_stop;
    for (size_t i = 0; i < used_.size(); ++i) {
      if (used_[i]) {
        to_stop.push_back(i);
      }
    }
    size_t next_stop = 0;
    for (int extra = 0; extra < 200; ++extra) {
      pvgen_sim_stats st;
      pvgen_sim_get_stats(&st);
      Step s;
      if (st.pending_reports > 0 && st.blocked_waiters > 0) {
        s.op = Op::Credit;
      } else if (next_stop < to_stop.size()) {
        s.op = Op::Stop;
        s.page = static_cast<int>(to_stop[next_stop++]);
        s.result = 0x5A;
        s.final = true;
      } else {
        break;
      }
      do_step(++number, s);
    }
    Step open;
    open.op = Op::GateOpen;
    do_step(++number, open);
    std::string tail;
    for (const auto& c : calls_) {
      if (!c->returned.load(std::memory_order_acquire)) {
        tail += format("never returned: call %d %s\n", c->number, op_name(c->op));
      }
    }
    pvgen_sim_stats st;
    pvgen_sim_get_stats(&st);
    tail += format("engine: requests %" PRIu64 "/%" PRIu64 "/%" PRIu64 "/%" PRIu64 "/%" PRIu64
                   "/%" PRIu64 " failed %" PRIu64 "/%" PRIu64 "/%" PRIu64 "/%" PRIu64 "/%" PRIu64
                   "/%" PRIu64 " reports %" PRIu64 " again %" PRIu64 " faults %" PRIu64
                   " bands_run %" PRIu64 " open %u blocked %u pending %u\n",
                   st.requests[0], st.requests[1], st.requests[2], st.requests[3], st.requests[4],
                   st.requests[5], st.failed[0], st.failed[1], st.failed[2], st.failed[3],
                   st.failed[4], st.failed[5], st.reports, st.again, st.faults, st.bands_run,
                   st.open_descriptors, st.blocked_waiters, st.pending_reports);
    emit(tail);
  }

 private:
  void emit(const std::string& text) {
    if (!write_all(out_, text)) {
      _exit(6);
    }
  }

  Blk make_block(int number, const Step& s) const {
    Blk b;
    std::memset(&b, 0, sizeof b);
    b.job_id = 0x1000u + static_cast<uint32_t>(number);
    b.page_id = page_ids_[static_cast<size_t>(s.page)];
    b.asic = 1;
    b.module = 1;
    b.channel = 1;
    b.priority = s.priority;
    b.mode = s.mode;
    b.variant = 1;
    b.type = s.type;
    const uint32_t n = static_cast<uint32_t>(number);
    if (!s.no_src) {
      b.src[s.plane] = {0x5000u + 0x100u * static_cast<uint32_t>(s.page), n * 16, s.salt & 0xFF};
    }
    if (!s.no_dst) {
      b.dst[s.plane] = {0x6000u + 0x100u * static_cast<uint32_t>(s.page), n * 32,
                        (s.salt >> 8) & 0xFF};
    }
    b.band_total = s.band_total;
    b.src_buf_num = s.mode == 2 ? 1 : 0;
    if (s.mode == 2) {
      b.ring[s.plane] = {0x7000u + 0x100u * static_cast<uint32_t>(s.page), n, 0};
    }
    b.ring_param0 = (s.salt >> 16) & 0xF;
    b.ring_param1 = (s.salt >> 20) & 0xF;
    b.band_param0 = n;
    b.band_param1 = (s.salt >> 24) & 0xFF;
    b.wait_for_channel = s.wait_for_channel;
    for (size_t i = 0; i < 8; ++i) {
      b.conv_table[i * 3] = static_cast<uint8_t>(s.salt >> (i * 4));
    }
    b.result = s.result;
    return b;
  }

  std::string describe(int number, const Step& s) const {
    std::string d = format("step %d: %s", number, op_name(s.op));
    if (s.op == Op::Credit || s.op == Op::GateOpen) {
      return d;
    }
    d += format(" page %d", s.page);
    if (s.op == Op::GetId) {
      return d;
    }
    if (s.op == Op::List) {
      d += format(" kind %d masks %u/%u/%u pending %u%s", s.request, s.masks[0], s.masks[1],
                  s.masks[2], s.pending_plane, s.callback ? " callback" : "");
    }
    d += format(" (id %d) prio %u total %u mode %u type %u plane %u%s%s result %d",
                static_cast<int>(page_ids_[static_cast<size_t>(s.page)]), s.priority, s.band_total,
                s.mode, s.type, s.plane, s.no_src ? " no-src" : "", s.no_dst ? " no-dst" : "",
                static_cast<int>(s.result));
    if (s.op == Op::Prepare) {
      d += s.wait_for_channel != 0 ? " wait" : " nowait";
    }
    return d;
  }

  void do_step(int number, const Step& s) {
    std::string text = describe(number, s);
    if (s.op != Op::Credit && s.op != Op::GateOpen && s.op != Op::GetId && page_mode_listed_) {
      // A page-mode page ends on the worker, when the engine's last report comes; a request
      // of its page listed after its stop marked the page is then ended by the dispatcher or
      // taken by the stop's clean-up, whichever gets the list first. While a stop waits,
      // nothing is listed once such a page may exist.
      for (const auto& c : calls_) {
        if ((c->op == Op::Stop || c->op == Op::StopStranger) &&
            !c->returned.load(std::memory_order_acquire)) {
          emit(text + format(": held back, stop call %d has not returned\n", c->number));
          return;
        }
      }
    }
    if (s.op == Op::List && s.request == 1) {
      page_mode_listed_ = true;
    }
    // A page-less band that may take the channel competes with prepares for it, and with the
    // worker's reports of ended bands, which need no engine: which of them gets the idle
    // channel would be left to chance. Such a band is listed alone, synchronously, and
    // nothing else is called until it returns (but the stops that end the sequence).
    if (s.op != Op::Credit && s.op != Op::GateOpen && !s.final) {
      for (const auto& c : calls_) {
        if (!c->returned.load(std::memory_order_acquire) &&
            (c->pageless_runnable || runnable_pageless(s))) {
          emit(text + format(": held back, call %d has not returned\n", c->number));
          return;
        }
      }
    }
    if (s.op == Op::Stop || s.op == Op::StopStranger) {
      // Stops run one at a time: a stop waiting behind another would go on by itself when
      // the other one returns, alongside whatever the dispatcher does in that step, and the
      // order of the two would be left to chance. Such a stop is not made.
      for (const auto& c : calls_) {
        if ((c->op == Op::Stop || c->op == Op::StopStranger) &&
            !c->returned.load(std::memory_order_acquire)) {
          emit(text + format(": held back, stop call %d has not returned\n", c->number));
          return;
        }
      }
    }
    if (s.op != Op::Credit && s.op != Op::GateOpen && s.op != Op::GetId) {
      used_[static_cast<size_t>(s.page)] = true;
    }
    switch (s.op) {
      case Op::Credit:
        // One report may pass; what is left of the credit is taken back once the step is
        // quiet (see below), so that no credit waits for a report that a later step makes
        // while other threads are busy, which would leave the order of events to chance.
        pvgen_sim_gate_release(1);
        break;
      case Op::GateOpen:
        pvgen_sim_gate_open();
        break;
      case Op::GetId: {
        const int32_t id = Quorl_cnv_pvgen_get_page_id();
        page_ids_[static_cast<size_t>(s.page)] = id;
        text += format(" -> %d", static_cast<int>(id));
        break;
      }
      default: {
        auto call = std::make_unique<Call>();
        call->number = number;
        call->op = s.op;
        call->blk = make_block(number, s);
        if (s.op == Op::List) {
          call->request = s.request;
          call->pending_plane = s.pending_plane;
          call->pageless_runnable = runnable_pageless(s);
          call->callback = s.callback && !call->pageless_runnable;
          call->blk.asic = s.masks[0];
          call->blk.module = s.masks[1];
          call->blk.channel = s.masks[2];
        }
        if (s.op == Op::StopStranger) {
          call->blk.page_id = 0x7000 + number;  // an identifier nobody was given
        }
        call->before = call->blk;
        Call& c = *call;
        calls_.push_back(std::move(call));
        if (blocking(s.op)) {
          if (pthread_create(&c.thread, nullptr, caller_main, &c) != 0) {
            emit("pthread_create failed\n");
            _exit(7);
          }
          c.has_thread = true;
          callers_[c.number] = c.thread;
        } else {
          c.thread = pthread_self();
          c.rc = invoke(c);
          c.returned.store(true, std::memory_order_release);
        }
        break;
      }
    }
    text += "\n";
    std::string why;
    if (!quiet_.wait(5000, &why)) {
      emit(text + "not quiet after 5 s:\n" + why);
      _exit(3);
    }
    if (s.op == Op::Credit) {
      pvgen_sim_stats st;
      pvgen_sim_get_stats(&st);
      if (st.reports == reports_) {
        text.insert(text.size() - 1, " (no report taken)");
      }
      reports_ = st.reports;
      pvgen_sim_gate_close();  // credits back to 0
    }
    text += collect();
    emit(text);
  }

  // Everything the step caused, now that the process is quiet.
  std::string collect() {
    std::string out;
    // Calls that returned, in call order.
    for (auto& c : calls_) {
      if (c->reported || !c->returned.load(std::memory_order_acquire)) {
        continue;
      }
      c->reported = true;
      if (c->has_thread) {
        // Its items of this step still carry its label; its id may be reused from the
        // next step on.
        pthread_join(c->thread, nullptr);
        callers_.erase(c->number);
        joined_[c->number] = c->thread;
      }
      Blk rest = c->blk;
      rest.result = c->before.result;
      const bool intact = std::memcmp(&rest, &c->before, sizeof rest) == 0;
      out += format("  returned call %d %s: %d, result %d%s\n", c->number, op_name(c->op),
                    static_cast<int>(c->rc), static_cast<int>(c->blk.result),
                    intact ? "" : ", block changed");
    }
    // Labels of the threads, fixed for this step.
    const auto started = platform::started_threads();
    auto label = [&](pthread_t t) -> std::string {
      for (const auto& [number, thread] : callers_) {
        if (pthread_equal(t, thread)) {
          return format("caller %d", number);
        }
      }
      for (const auto& [number, thread] : joined_) {
        if (pthread_equal(t, thread)) {
          return format("caller %d", number);
        }
      }
      for (size_t i = started.size(); i-- > 0;) {
        if (pthread_equal(t, started[i].thread)) {
          size_t same = 0;
          for (size_t j = 0; j < i; ++j) {
            same += started[j].name == started[i].name ? 1 : 0;
          }
          return same == 0 ? started[i].name : format("%s#%zu", started[i].name.c_str(), same + 1);
        }
      }
      return pthread_equal(t, pthread_self()) ? std::string("main") : std::string("other");
    };
    {
      std::lock_guard<std::mutex> lock(g_callbacks_mutex);
      for (const Callback& cb : g_callbacks) {
        const Info& i = cb.info;
        out += format("  callback on %s: job %x page %d count %d num %d", label(cb.thread).c_str(),
                      i.job_id, static_cast<int>(i.page_id), static_cast<int>(i.band_count),
                      static_cast<int>(i.band_num)) +
               buf3("src", i.src) + buf3("dst", i.dst) +
               format(" plane %x/%x/%x result %d\n", i.plane_result[0], i.plane_result[1],
                      i.plane_result[2], static_cast<int>(i.result));
      }
      g_callbacks.clear();
    }
    // Per thread, in each thread's own order.
    std::map<std::string, std::vector<std::string>> by_thread;
    {
      std::map<std::string, std::string> points;
      for (const auto& p : platform::trace_points()) {
        points[label(p.thread)] += format(" %x:%x:%d", p.category, p.code, p.flag);
      }
      for (auto& [who, line] : points) {
        by_thread[who].push_back("points" + line);
      }
      platform::trace_points_clear();
    }
    for (const auto& l : platform::trace_lines()) {
      std::string text = l.text;
      while (!text.empty() && text.back() == '\n') {
        text.pop_back();
      }
      by_thread[label(l.thread)].push_back(format("trace %x/%x/%d: ", l.module, l.level, l.zero) +
                                           text);
    }
    for (const auto& n : platform::notifications()) {
      by_thread[label(n.thread)].push_back(format("notify %x/%d/%d %s %s:%d", n.kind, n.code,
                                                  n.zero, n.function.c_str(), n.file.c_str(),
                                                  n.line));
    }
    platform::capture_begin();  // clears both
    const size_t commands = pvgen_sim_command_count();
    for (; commands_seen_ < commands; ++commands_seen_) {
      pvgen_sim_command c;
      if (pvgen_sim_command_get(commands_seen_, &c) != 0) {
        by_thread["?"].push_back("command lost");
        continue;
      }
      const pvgen_sim_cmd_blk& b = c.blk;
      by_thread[label(c.thread)].push_back(
          format("ioctl %s: ret %d err %d result %d | job %x unit %u/%u/%u mode %u var %u type %u",
                 command_name(c.code), c.ret, c.err, static_cast<int>(c.result), b.job_id, b.asic,
                 b.module, b.channel, b.mode, b.variant, b.type) +
          buf3("src", b.src) + buf3("dst", b.dst) +
          format(" total %u srcn %u", b.band_total, b.src_buf_num) + buf3("ring", b.ring) +
          format(" rp %x/%x bp %x/%x conv %08x", b.ring_param0, b.ring_param1, b.band_param0,
                 b.band_param1, fnv1a(b.conv_table, sizeof b.conv_table)));
    }
    const size_t answers = pvgen_sim_answer_count();
    for (; answers_seen_ < answers; ++answers_seen_) {
      pvgen_sim_answer a;
      if (pvgen_sim_answer_get(answers_seen_, &a) != 0) {
        by_thread["?"].push_back("answer lost");
        continue;
      }
      const pvgen_sim_wait_blk& b = a.blk;
      by_thread[label(a.thread)].push_back(
          format("wait: ret %d err %d took %d | job %x unit %u/%u/%u num %d", a.ret, a.err,
                 a.took_report, b.job_id, b.asic, b.module, b.channel,
                 static_cast<int>(b.band_num)) +
          buf3("src", b.src) + buf3("dst", b.dst) +
          format(" plane %x result %d", b.plane_result, static_cast<int>(b.result)));
    }
    for (const auto& [who, lines] : by_thread) {
      for (const auto& l : lines) {
        out += "  [" + who + "] " + l + "\n";
      }
    }
    joined_.clear();
    return out;
  }

  const Sequence& seq_;
  int out_;
  std::vector<int32_t> page_ids_;
  std::vector<bool> used_;
  std::vector<std::unique_ptr<Call>> calls_;
  std::map<int, pthread_t> callers_;  // callers alive, by call number
  std::map<int, pthread_t> joined_;   // callers joined in this step
  QuietWatch quiet_;
  uint64_t reports_ = 0;           // reports taken by the end of the last credit step
  bool page_mode_listed_ = false;  // a page-mode page start was listed
  size_t commands_seen_ = 0;
  size_t answers_seen_ = 0;
};

// ---------------------------------------------------------------- the parent

int run_child(const Sequence& seq, int out) {
  Runner runner(seq, out);
  runner.run();
  return 0;
}

// Runs one sequence in a child and prints its transcript. Returns false when the child did
// not end normally.
bool run_seed(uint64_t seed, unsigned watchdog_s) {
  const Sequence seq = generate(seed);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    std::perror("pvgen-transcript: pipe");
    std::exit(4);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("pvgen-transcript: fork");
    std::exit(4);
  }
  if (pid == 0) {
    close(fds[0]);
    const int rc = run_child(seq, fds[1]);
    _exit(rc);  // no destructors: calls that never returned still hold library threads
  }
  close(fds[1]);
  std::string text = format("=== seed %" PRIu64 "\n", seed);
  const uint64_t deadline = now_ns() + uint64_t{watchdog_s} * 1000000000u;
  bool hung = false;
  for (;;) {
    const uint64_t now = now_ns();
    if (now >= deadline) {
      hung = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int left_ms = static_cast<int>((deadline - now) / 1000000u) + 1;
    const int r = poll(&p, 1, left_ms);
    if (r < 0 && errno == EINTR) {
      continue;
    }
    if (r <= 0) {
      continue;
    }
    char buf[65536];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (hung) {
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  bool ok = false;
  if (hung) {
    text += format("=== seed %" PRIu64 ": HUNG, killed after %u s\n", seed, watchdog_s);
  } else if (WIFSIGNALED(status)) {
    text += format("=== seed %" PRIu64 ": CRASHED, signal %d (%s)\n", seed, WTERMSIG(status),
                   strsignal(WTERMSIG(status)));
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    text += format("=== seed %" PRIu64 ": FAILED, exit status %d\n", seed, WEXITSTATUS(status));
  } else {
    ok = true;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  return ok;
}

void usage(FILE* to) {
  std::fprintf(to,
               "usage: pvgen-transcript --seed FIRST --count N [--watchdog SECONDS]\n"
               "Runs the random call sequences of seeds FIRST .. FIRST+N-1, each in a fresh\n"
               "child process, and prints their transcripts (the same bytes on every run).\n"
               "  --seed FIRST        first seed (default 1)\n"
               "  --count N           number of sequences (default 1)\n"
               "  --watchdog SECONDS  a child still running after this long is killed and\n"
               "                      reported as hung (default 10)\n"
               "Exit status: 0 all sequences ran to their end, 1 a child crashed, hung or\n"
               "failed (its transcript ends with a line saying so), 2 bad options.\n");
}

bool parse_number(const char* text, uint64_t max, uint64_t* out) {
  if (text == nullptr || *text < '0' || *text > '9') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || v > max) {
    return false;
  }
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t first = 1;
  uint64_t count = 1;
  uint64_t watchdog = 10;
  for (int i = 1; i < argc; i += 2) {  // every option takes a value
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool good = false;
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    }
    if (arg == "--seed") {
      good = parse_number(value, UINT64_MAX / 2, &first);
    } else if (arg == "--count") {
      good = parse_number(value, 100000000, &count);
    } else if (arg == "--watchdog") {
      good = parse_number(value, 3600, &watchdog) && watchdog > 0;
    }
    if (!good) {
      std::fprintf(stderr, "pvgen-transcript: bad option '%s'%s%s\n", arg.c_str(),
                   value != nullptr ? " " : "", value != nullptr ? value : "");
      usage(stderr);
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  bool all_ok = true;
  for (uint64_t k = 0; k < count; ++k) {
    all_ok = run_seed(first + k, static_cast<unsigned>(watchdog)) && all_ok;
  }
  std::fflush(stdout);
  return all_ok ? 0 : 1;
}
