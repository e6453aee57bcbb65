// Sequence fuzzer: a short sequence of calls on three pages against a driver that
// misbehaves as the input says. The input is
//   byte 0        bits 0-1: fault rules that follow (0..3); bit 2: the report gate starts
//                 closed, with bits 3-5 credits
//   4 bytes/rule  kind (open, page start, band, wait, stop), action, first call hit, and
//                 a value: failing calls (errno), result words (1, 2, -1, 4, 7, ...),
//                 `again` (one to three waits), wrong band numbers (0, 2, -1)
//   2 bytes/call  up to 32 calls: what, and on which page (or an argument):
//                 0 prepare, 1 prepare waiting for the channel, 2 page start, 3 band
//                 without callback, 4 band with callback, 5 stop, 6 stop of a page nobody
//                 holds, 7 close the gate (0-2 credits), 8 let reports through the gate,
//                 9 list a request through the class operations, as only a direct user of
//                 the classes does: a page-less band (masks with or without bit 0), a
//                 page-mode band, or a page start in page mode of a prepared page, each with
//                 a callback
// One thread submits, in input order. A call that needs reports while the gate is closed
// opens it 2 ms later (a helper thread), as a driver that is slow would.
// Checked: every call returns (a stop included, whatever was listed beside it) (a watchdog fails
// the input and prints the request list) with an outcome the call may give; every callback band is
// reported at most once, on a worker thread, never after a stop of its page has returned, and
// exactly once when neither a stop nor a driver fault got in the way (once its page has been
// started); afterwards every page the input bound is stopped, and without a driver fault the
// library must then be at rest (empty request list, no observer wrapper or semaphore record left,
// the channel idle with its worker running, no report left in the engine); finally a fresh page
// runs through cleanly. Each input starts on the same state: a library at rest, with one idle
// channel, that ran exactly one page since the simulator was reset. The library is released (torn
// down and started afresh) only when an input left it in a state that cannot be reused (a channel
// failed for good, a report left in the engine by a fault); a release reaches that same
// state, so a crash file replays alone as it ran among others.
//
// Built twice. fuzz-sequence runs the library's threads in real time. fuzz-sequence_controlled
// (PVGEN_FUZZ_CONTROLLED) runs each input as one schedule of the controlled platform, in this
// process (pvgen_controlled.h): only one thread runs at a time, the input's bytes (all of
// them, hashed) seed the choice of the next thread at every branching step, and time is
// virtual, so the gate's 2 ms and the engine's band times cost nothing and the watchdog's
// limits are virtual time. A finding replays from its file alone. An endless wait (every
// thread blocked, no timer pending) fails the input with the platform's report (threads,
// what each waits for, the request list, the last events) and this input's calls. Real
// timing still reaches orders of relaxed atomics the scheduler does not tell apart, hence
// both.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "osw.h"
#include "platform_capture.h"
#include "pvgen_sim.h"
#include "pvgen_test_util.h"
#include "quorl_cnv_pvgen_channel.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"

#if PVGEN_FUZZ_CONTROLLED
#include "pvgen_controlled.h"
// The controlled platform starts no schedule of its own: each input is one.
extern "C" const int pvgen_controlled_in_process = 1;
#endif

namespace {

using Blk = QUORL_CNV_PVGEN_BLK;
using Info = QUORL_CNV_PVGEN_RESULT_INFO;
using norvane::quorl_cnv_pvgen_commonmethod;
using norvane::quorl_cnv_pvgen_control;

constexpr int kPages = 3;
constexpr size_t kMaxCalls = 32;

// ---- callback bands -------------------------------------------------------------------

struct Band {
  int32_t page;
  bool stopped = false;  // a stop of its page returned after it was submitted
  int reports = 0;
  bool never = false;     // listed so that it never gets a channel: never reported
  bool pageless = false;  // listed without a page: no stop takes it
};
// Bands listed through the class operations, by request number (with their job): erased
// by the input's end unless a worker or a stop took them.
std::vector<std::pair<unsigned long, uint32_t>> g_listed;
std::mutex g_bands_mutex;
std::map<uint32_t, Band> g_bands;  // by job_id
pthread_t g_submitter;
std::string g_log;  // calls made by the current input, for the failure report

// Reports of a page-mode page listed through the class operations: on a worker thread,
// for the page start's job, with a band count that only grows.
uint32_t g_page_mode_job = 0;  // set by the submitting thread before the page is listed
void page_cb(Info* info) {
  FUZZ_CHECK(!pthread_equal(pthread_self(), g_submitter), "page report on the submitting thread");
  FUZZ_CHECK(info->job_id == g_page_mode_job, "page report of job %u, the page's is %u",
             info->job_id, g_page_mode_job);
  const int32_t r = info->result;
  FUZZ_CHECK(r == 0 || r == 1 || r == -5, "page report with result %d", static_cast<int>(r));
}

void band_cb(Info* info) {
  std::lock_guard<std::mutex> lock(g_bands_mutex);
  auto it = g_bands.find(info->job_id);
  FUZZ_CHECK(it != g_bands.end(), "report of unknown job %u\n%s", info->job_id, g_log.c_str());
  Band& b = it->second;
  FUZZ_CHECK(!pthread_equal(pthread_self(), g_submitter), "callback on the submitting thread");
  FUZZ_CHECK(info->page_id == b.page, "job %u reported for page %d, submitted for %d", info->job_id,
             static_cast<int>(info->page_id), static_cast<int>(b.page));
  FUZZ_CHECK(!b.never, "job %u, which can never get a channel, was reported\n%s", info->job_id,
             g_log.c_str());
  FUZZ_CHECK(++b.reports == 1, "job %u (page %d) reported twice\n%s", info->job_id,
             static_cast<int>(b.page), g_log.c_str());
  FUZZ_CHECK(!b.stopped, "job %u%s reported after the stop of page %d returned\n%s", info->job_id,
             b.pageless ? " (a listed page-less band)" : "", static_cast<int>(b.page),
             g_log.c_str());
  const int32_t r = info->result;
  FUZZ_CHECK(r == 0 || r == 1 || r == 2 || r == -3 || r == -5, "job %u reported result %d",
             info->job_id, static_cast<int>(r));
  FUZZ_CHECK(r != -3 || info->band_num == 0, "job %u ended -3 with band_num %d", info->job_id,
             static_cast<int>(info->band_num));
}

// ---- the gate -------------------------------------------------------------------------

bool g_gate_closed = false;
#if PVGEN_FUZZ_CONTROLLED
// Opens the gate 2 ms (virtual) after each request. The requests and the openings are the
// platform's events, whose waits are the scheduler's; only the submitting thread counts.
struct GateOpener {
  OSW_Event_Semaphore requests;
  OSW_Event_Semaphore openings;
  uint64_t requested = 0;
  uint64_t settled = 0;
  GateOpener() {
    // A planted fault, for the test that an endless wait fails the input with its report:
    // the opener forgets to open the gate, so a call that needs a report waits for ever.
    const bool forget = getenv("PVGEN_SEQUENCE_PLANT_GATE_NEVER_OPENS") != nullptr;
    std::thread([this, forget] {
      pthread_setname_np(pthread_self(), "gate-opener");
      for (;;) {
        requests.wait(OSW_WAIT_FOREVER);
        usleep(2000);
        if (!forget) {
          pvgen_sim_gate_open();
        }
        openings.post();
      }
    }).detach();
  }
  void open_soon() {
    ++requested;
    requests.post();
  }
  // Until every requested opening is done: none is left over for the next input.
  void settle() {
    for (; settled < requested; ++settled) {
      openings.wait(OSW_WAIT_FOREVER);
    }
  }
};
#else
// Opens the gate 2 ms after each request. Requests are counted, not flagged: a close and a
// new request that come while an opening is under way get an opening of their own after
// it (with a flag, clearing it after the opening could swallow such a request and leave
// the gate closed behind the submitter's back).
struct GateOpener {
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t requested = 0;
  uint64_t done = 0;
  GateOpener() {
    std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex);
      for (;;) {
        cv.wait(lock, [this] { return done != requested; });
        const uint64_t serving = requested;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pvgen_sim_gate_open();
        lock.lock();
        done = serving;
        settled.notify_all();
      }
    }).detach();
  }
  void open_soon() {
    std::lock_guard<std::mutex> lock(mutex);
    ++requested;
    cv.notify_all();
  }
  // Until every requested opening is done: none is left over for the next input.
  void settle() {
    std::unique_lock<std::mutex> lock(mutex);
    settled.wait(lock, [this] { return done == requested; });
  }
  std::condition_variable settled;
};
#endif
GateOpener& opener() {
  static auto* o = new GateOpener;
  return *o;
}
// Before a call that needs the engine's reports.
void needs_reports() {
  if (g_gate_closed) {
    opener().open_soon();
    g_gate_closed = false;
  }
}

// ---- state and the watchdog -----------------------------------------------------------

quorl_cnv_pvgen_commonmethod* registry() {
  return quorl_cnv_pvgen_commonmethod::instance();
}

void describe() {
  std::fprintf(stderr, "calls of this input:\n%s%s", g_log.c_str(),
               !g_log.empty() && g_log.back() != '\n' ? " (has not returned)\n" : "");
  pvgen_sim_stats s;
  pvgen_sim_get_stats(&s);
  std::fprintf(stderr,
               "engine: pending reports %u, blocked waiters %u, faults hit %llu\n"
               "request list (%zu entries):\n",
               s.pending_reports, s.blocked_waiters, static_cast<unsigned long long>(s.faults),
               registry()->req_list_size());
  registry()->req_list_lock();
  while (const QUORL_CNV_PVGEN_LIST_BLK* e = registry()->req_list_for_each()) {
    std::fprintf(
        stderr, "  req_no %u request %d page %d list_stat %d planes %d/%d/%d job %u sync %d\n",
        e->req_no, e->request, static_cast<int>(e->page_id), e->list_stat, e->plane_stat[0],
        e->plane_stat[1], e->plane_stat[2], e->blk.job_id, e->event != nullptr ? 1 : 0);
  }
  // A channel's job queue is read under the list lock, as its workers change it.
  for (norvane::quorl_cnv_pvgen_channel* ch : quorl_cnv_pvgen_control::instance()->channels()) {
    std::fprintf(stderr, "channel: page %lu status %d jobs %zu\n", ch->get_page_id(),
                 ch->get_ch_status(), ch->queued_jobs().size());
  }
  registry()->req_list_unlock();
}
#if PVGEN_FUZZ_CONTROLLED
// A limit of virtual time: the schedule fails, with the platform's report and describe()'s,
// when its clock would pass it.
struct VirtualWatchdog {
  void arm(int seconds, const std::string& what) {
    pvgen_controlled_watch(static_cast<uint64_t>(seconds) * 1000000000u, what.c_str());
  }
  void disarm() { pvgen_controlled_watch(0, nullptr); }
};
VirtualWatchdog& watchdog() {
  static VirtualWatchdog w;
  return w;
}
// Re-tests a condition other threads bring about, for at most `ms` of virtual time: each
// test that fails sleeps 1 ms, which lets the other threads run (or the clock move on).
bool eventually(const std::function<bool()>& holds, int ms = 10000) {
  const uint64_t until = pvgen_controlled_now() + static_cast<uint64_t>(ms) * 1000000u;
  while (!holds()) {
    if (pvgen_controlled_now() >= until) {
      return holds();
    }
    usleep(1000);
  }
  return true;
}
// The input's bytes, hashed (FNV-1a): the seed of its schedule.
uint64_t schedule_seed(const uint8_t* data, size_t size) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < size; ++i) {
    h = (h ^ data[i]) * 0x100000001B3ull;
  }
  return h;
}
// A schedule with more scheduling points than this fails (a livelock, say); an input of 32
// calls takes a few thousand.
constexpr uint64_t kMaxPoints = 2000000;
#else
fuzz::Watchdog& watchdog() {
  static auto* w = new fuzz::Watchdog(describe);
  return *w;
}
using fuzz::eventually;
#endif

Blk block(int32_t page, uint32_t band_total) {
  return pvgen_test::make_block(page, 0x100, band_total);
}

// A page from start to stop on a library just brought to rest: everything succeeds.
void fresh_page() {
  watchdog().arm(10, "fresh page");
  Blk b = block(Quorl_cnv_pvgen_get_page_id(), 2);
  b.wait_for_channel = 1;
  FUZZ_CHECK(Quorl_cnv_pvgen_prepare(&b) == 0, "fresh page: prepare failed\n%s", g_log.c_str());
  FUZZ_CHECK(Quorl_cnv_pvgen_page_start(&b, nullptr) == 0, "fresh page: page start failed");
  FUZZ_CHECK(Quorl_cnv_pvgen_band_exe(&b, nullptr) == 0, "fresh page: band failed");
  FUZZ_CHECK(Quorl_cnv_pvgen_stop(&b) == 0, "fresh page: stop failed");
  watchdog().disarm();
}

const int kKinds[] = {PVGEN_SIM_OPEN, PVGEN_SIM_PAGE_START, PVGEN_SIM_BAND, PVGEN_SIM_WAIT,
                      PVGEN_SIM_STOP};
const int32_t kResults[] = {1, 2, -1, 4, 7, 3, 5, 0};
const int32_t kBandNums[] = {0, 2, -1, 1};
const int kErrnos[] = {EIO, EAGAIN, EINTR, ENODEV};

pvgen_sim_fault decode_rule(const uint8_t* r) {
  pvgen_sim_fault f{};
  f.kind = kKinds[r[0] % 5];
  f.first = 1 + r[1] % 6;
  f.count = 1 + (r[1] >> 4) % 3;
  const int choice = (f.kind == PVGEN_SIM_WAIT) ? r[2] % 4 : r[2] % 2;
  switch (choice) {
    case 0:
      f.action = PVGEN_SIM_ACT_ERRNO;
      f.err = kErrnos[r[3] % 4];
      f.value = (r[3] & 0x10) != 0 ? kResults[(r[3] >> 5) % 8] : 0;
      break;
    case 1:
      f.action = PVGEN_SIM_ACT_RESULT;
      f.value = kResults[r[3] % 8];
      if (f.kind == PVGEN_SIM_WAIT && f.value == 3) {
        // A wait answering 3 ("not yet") must not take a report: the library asks again, as
        // it should, and a report taken with that answer would never come, so the band (its
        // caller, a stop of its page) would wait for ever, as for any report the engine
        // never sends. The driver's real "not yet" is `again`.
        f.action = PVGEN_SIM_ACT_AGAIN;
        f.value = 0;
      }
      break;
    case 2:
      f.action = PVGEN_SIM_ACT_AGAIN;
      break;
    default:
      f.action = PVGEN_SIM_ACT_BAND_NUM;
      f.value = kBandNums[r[3] % 4];
      break;
  }
  if (f.kind == PVGEN_SIM_OPEN) {
    f.action = PVGEN_SIM_ACT_ERRNO;  // an open can only fail
    f.err = kErrnos[r[3] % 4];
  }
  return f;
}

bool one_of(int rc, std::initializer_list<int> allowed) {
  for (int a : allowed) {
    if (rc == a) {
      return true;
    }
  }
  return false;
}

struct Page {
  int32_t id;
  bool prepared = false;  // holds the channel as far as the calls' outcomes tell
  bool started = false;
  bool failed = false;     // a call of it ended with -5
  bool bound = false;      // a prepare of it succeeded during the input
  bool page_mode = false;  // started in page mode (listed through the class operations)
};

uint64_t g_inputs = 0;
uint64_t g_releases = 0;  // inputs after which the library had to be released
#if PVGEN_FUZZ_CONTROLLED
pvgen_controlled_summary g_total{};  // of the inputs' schedules
#endif
void print_releases() {
  std::fprintf(stderr, "sequence: %llu inputs, the library released after %llu of them\n",
               static_cast<unsigned long long>(g_inputs),
               static_cast<unsigned long long>(g_releases));
#if PVGEN_FUZZ_CONTROLLED
  if (g_inputs != 0) {
    const double n = static_cast<double>(g_inputs);
    std::fprintf(stderr,
                 "sequence: per input %.1f scheduling points, %.1f branching, %.3f ms virtual "
                 "time\n",
                 static_cast<double>(g_total.points) / n,
                 static_cast<double>(g_total.branching) / n,
                 static_cast<double>(g_total.virtual_ns) / n / 1e6);
  }
#endif
}

// Brings the library to rest after an input without tearing it down: stops every page the
// input bound to the channel (the engine behaves again by now; a page never bound has
// nothing in the library) and checks that nothing of them is left.
// Returns false when the state cannot be reused and the library must be released: a
// channel failed for good or lost its worker, or the driver's faults left the engine and
// the library out of step (a report still queued, a job the library still waits for).
// When no fault hit any driver call, the engine did nothing wrong and anything left over
// is the library's fault: the input fails.
bool come_to_rest(const Page* pages, int n, bool faulty) {
  bool stop_failed = false;
  for (int i = 0; i < n; ++i) {
    if (!pages[i].bound) {
      continue;
    }
    Blk b = block(pages[i].id, 1);
    const int rc = Quorl_cnv_pvgen_stop(&b);
    FUZZ_CHECK(one_of(rc, {0, -5}), "stop at rest returned %d\n%s", rc, g_log.c_str());
    FUZZ_CHECK(rc == 0 || faulty, "stop of page %d failed with no driver fault\n%s",
               static_cast<int>(pages[i].id), g_log.c_str());
    stop_failed = stop_failed || rc != 0;
    std::lock_guard<std::mutex> lock(g_bands_mutex);
    for (auto& [job, band] : g_bands) {
      band.stopped = band.stopped || (!band.pageless && band.page == pages[i].id);
    }
  }
  auto channels_sound = [] {
    const auto channels = quorl_cnv_pvgen_control::instance()->channels();
    if (channels.size() != 1) {
      return false;  // a channel failed and another one was opened
    }
    norvane::quorl_cnv_pvgen_channel* ch = channels.front();
    return ch->worker_running() &&
           ch->get_ch_status() == norvane::quorl_cnv_pvgen_channel::STATUS_IDLE &&
           ch->get_page_id() == 0 && ch->get_proc_num() == 0;
  };
  auto engine_idle = [] {
    pvgen_sim_stats s;
    pvgen_sim_get_stats(&s);
    return s.pending_reports == 0 && s.blocked_waiters == 0;
  };
  auto list_empty = [] {
    return registry()->req_list_size() == 0 && registry()->obs_wrapper_count() == 0 &&
           registry()->event_semaphore_in_use() == 0;
  };
  if (!faulty) {
    if (!eventually([&] { return list_empty() && channels_sound() && engine_idle(); })) {
      describe();
      fuzz::fail("the library did not come to rest after its pages were stopped");
    }
    return true;
  }
  // Out of step for good (no waiting helps): release at once.
  if (stop_failed || !channels_sound() || !engine_idle()) {
    return false;
  }
  return eventually(list_empty, 200);
}

}  // namespace

namespace {
int run_input(const uint8_t* data, size_t size);
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) {
    return -1;
  }
  static bool first = true;
  g_submitter = pthread_self();
  if (first) {
#if PVGEN_FUZZ_CONTROLLED
    // A schedule of its own, the same for every process: the gate opener and the
    // library's threads are created here, so every input starts on the same threads.
    pvgen_controlled_on_failure(describe);
    pvgen_controlled_begin(0, kMaxPoints);
    opener();
#endif
    // Every input starts on a library that ran one page since it was brought to rest.
    quorl_cnv_pvgen_control::release();
    pvgen_sim_reset();
    fresh_page();
    first = false;
    std::atexit(print_releases);
#if PVGEN_FUZZ_CONTROLLED
    pvgen_controlled_end(nullptr);
#endif
  }
#if PVGEN_FUZZ_CONTROLLED
  const uint64_t seed = schedule_seed(data, size);
  pvgen_controlled_begin(seed, kMaxPoints);
  const int rc = run_input(data, size);
  pvgen_controlled_summary summary{};
  pvgen_controlled_end(&summary);
  g_total.points += summary.points;
  g_total.branching += summary.branching;
  g_total.virtual_ns += summary.virtual_ns;
  // One line per input, for the test that an input runs the same schedule alone as among
  // others.
  static const bool show = getenv("PVGEN_SEQUENCE_SHOW_SCHEDULES") != nullptr;
  if (show) {
    std::fprintf(stderr, "schedule seed %016llx points %llu digest %016llx\n",
                 static_cast<unsigned long long>(seed),
                 static_cast<unsigned long long>(summary.points),
                 static_cast<unsigned long long>(summary.digest));
  }
  return rc;
#else
  return run_input(data, size);
#endif
}

namespace {

int run_input(const uint8_t* data, size_t size) {
  ++g_inputs;
  g_log.clear();
  platform::capture_begin();  // trace lines kept in memory, not written out
  {
    std::lock_guard<std::mutex> lock(g_bands_mutex);
    g_bands.clear();
  }

  size_t at = 1;
  const int rules = data[0] & 3;
  for (int i = 0; i < rules && at + 4 <= size; ++i, at += 4) {
    const pvgen_sim_fault f = decode_rule(data + at);
    FUZZ_CHECK(pvgen_sim_fault_add(&f) == 0, "rule refused");
    char text[96];
    std::snprintf(text, sizeof text, "rule kind %d action %d first %u count %u err %d value %d\n",
                  f.kind, f.action, f.first, f.count, f.err, static_cast<int>(f.value));
    g_log += text;
  }
  g_gate_closed = (data[0] & 4) != 0;
  if (g_gate_closed) {
    pvgen_sim_gate_close();
    pvgen_sim_gate_release((data[0] >> 3) & 7);
    g_log += "gate closed\n";
  }

  Page pages[kPages];
  for (Page& p : pages) {
    p.id = Quorl_cnv_pvgen_get_page_id();
  }
  uint32_t next_job = 1000;
  size_t calls = 0;
  for (; at + 2 <= size && calls < kMaxCalls; at += 2, ++calls) {
    const int what = data[at] % 10;
    const uint8_t arg = data[at + 1];
    Page& p = pages[arg % kPages];
    Blk b = block(p.id, 1 + (arg >> 2) % 5);
    b.result = 0x5A;  // a value the library never answers
    char text[80];
    std::snprintf(text, sizeof text, "call %d arg %u (page %d)", what, arg, static_cast<int>(p.id));
    g_log += text;
    watchdog().arm(10, text);
    int rc = 0;
    switch (what) {
      case 0:
      case 1: {
        bool other = false;
        for (const Page& q : pages) {
          other = other || (&q != &p && q.prepared);
        }
        b.wait_for_channel = (what == 1 && !other && !p.prepared) ? 1 : 0;
        if (b.wait_for_channel != 0) {
          needs_reports();  // the channel may still be finishing a page
        }
        rc = Quorl_cnv_pvgen_prepare(&b);
        FUZZ_CHECK(one_of(rc, {0, -4, -5}), "prepare returned %d\n%s", rc, g_log.c_str());
        if (rc == 0) {
          p.prepared = true;
          p.bound = true;
          p.started = false;
          p.page_mode = false;
        }
        break;
      }
      case 2:
        if (p.page_mode) {
          // A second start of a page the engine runs by itself: the engine's answer to it is
          // not this test's subject.
          g_log += " skipped: the page runs in page mode\n";
          continue;
        }
        rc = Quorl_cnv_pvgen_page_start(&b, nullptr);
        FUZZ_CHECK(one_of(rc, {0, -3, -5}), "page start returned %d\n%s", rc, g_log.c_str());
        FUZZ_CHECK(rc != -3 || !p.prepared || p.started || p.failed,
                   "page start of a prepared page refused\n%s", g_log.c_str());
        p.started = p.started || rc == 0;
        p.failed = p.failed || rc == -5;
        break;
      case 3:
        if (p.prepared && !p.started) {
          g_log += " skipped: would wait for a page start this thread would make\n";
          continue;
        }
        needs_reports();
        rc = Quorl_cnv_pvgen_band_exe(&b, nullptr);
        FUZZ_CHECK(one_of(rc, {0, 1, 2, -3, -5}), "band returned %d\n%s", rc, g_log.c_str());
        break;
      case 4: {
        b.job_id = next_job++;
        {
          std::lock_guard<std::mutex> lock(g_bands_mutex);
          g_bands[b.job_id] = Band{p.id};
        }
        rc = Quorl_cnv_pvgen_band_exe(&b, band_cb);
        FUZZ_CHECK(one_of(rc, {0, -3, -5}), "band with callback returned %d\n%s", rc,
                   g_log.c_str());
        FUZZ_CHECK(rc != 0 || b.result == 0x5A, "accepted band wrote result %d",
                   static_cast<int>(b.result));
        if (rc != 0) {
          std::lock_guard<std::mutex> lock(g_bands_mutex);
          g_bands.erase(b.job_id);
        }
        break;
      }
      case 5:
      case 6: {
        if (what == 6) {
          b.page_id = Quorl_cnv_pvgen_get_page_id();
        }
        needs_reports();
        rc = Quorl_cnv_pvgen_stop(&b);
        FUZZ_CHECK(one_of(rc, {0, -5}), "stop returned %d\n%s", rc, g_log.c_str());
        FUZZ_CHECK(what == 5 || rc == 0, "stop of a page nobody holds returned %d", rc);
        std::lock_guard<std::mutex> lock(g_bands_mutex);
        for (auto& [job, band] : g_bands) {
          band.stopped = band.stopped || (!band.pageless && band.page == b.page_id);
        }
        if (what == 5 && rc == 0) {
          p.prepared = p.started = p.page_mode = false;
        }
        p.failed = p.failed || rc == -5;
        break;
      }
      case 9: {
        if (arg % 4 == 3) {
          // A page start in page mode, listed: the engine runs the page's bands itself and
          // reports them to the observer, until the page's count or its stop ends it.
          if (!p.prepared || p.started) {
            g_log += " skipped: a page-mode start needs a prepared page\n";
            continue;
          }
          if (rules != 0) {
            // A page-mode page ends on its engine's reports alone (by their count, or by the
            // final report of a stop while bands are still to come); a fault rule that
            // changes a report's band count can keep it, and a stop of it, from ever ending,
            // as described for pages only the classes can start.
            g_log += " skipped: a page-mode page with fault rules\n";
            continue;
          }
          b.job_id = next_job++;
          b.mode = 2;
          b.src_buf_num = 1;
          b.ring[0] = {0x7000, 0, 0};
          g_page_mode_job = b.job_id;
          auto* registry = quorl_cnv_pvgen_commonmethod::instance();
          auto* obs = registry->obs_wrapper_create(static_cast<unsigned long>(b.page_id), page_cb);
          registry->req_list_lock();
          QUORL_CNV_PVGEN_LIST_BLK* entry = registry->req_list_insert(1, b, obs);
          const unsigned long req_no = entry->req_no;
          QUORL_EVENT_SEMAPHORE* const event = entry->event;
          registry->req_list_unlock();
          quorl_cnv_pvgen_control::instance()->ctrl_signal();
          FUZZ_CHECK(event->event.wait(OSW_WAIT_FOREVER) == 0, "page start not answered");
          // A page start that started leaves its entry to the worker, which erases it when
          // the page ends, maybe already: the entry is looked up again under the list lock.
          registry->req_list_lock();
          entry = registry->req_list_search(quorl_cnv_pvgen_commonmethod::SEARCH_REQ_NO, req_no);
          rc = entry != nullptr ? entry->blk.result : 0;
          registry->req_list_unlock();
          b.result = rc;
          FUZZ_CHECK(one_of(rc, {0, -5}), "page-mode start returned %d\n%s", rc, g_log.c_str());
          if (rc == 0) {
            p.started = true;  // the worker erases the entry when the page ends
            p.page_mode = true;
          } else {
            registry->req_list_erase(quorl_cnv_pvgen_commonmethod::ERASE_ADDRESS,
                                     reinterpret_cast<unsigned long>(entry));
            p.failed = true;
          }
          needs_reports();
          break;
        }
        // Page-less (mode 0) with masks that do or do not match channel 0/0/0, or page-mode
        // (mode 2) of this page: the first may run and be reported once (band count 1); the
        // others wait until erased (or a stop of the page takes the page-mode one).
        const int kind = arg % 4;
        b.job_id = next_job++;
        b.mode = kind == 2 ? 2 : 0;
        b.asic = kind == 1 ? 2 : 1;
        auto* registry = quorl_cnv_pvgen_commonmethod::instance();
        auto* obs = registry->obs_wrapper_create(static_cast<unsigned long>(b.page_id), band_cb);
        {
          std::lock_guard<std::mutex> lock(g_bands_mutex);
          Band band{p.id};  // a report names the page of the band's block
          band.never = kind != 0;
          band.pageless = b.mode == 0;
          g_bands[b.job_id] = band;
        }
        if (kind == 0) {
          needs_reports();
        }
        registry->req_list_lock();
        g_listed.emplace_back(registry->req_list_insert(2, b, obs)->req_no, b.job_id);
        registry->req_list_unlock();
        quorl_cnv_pvgen_control::instance()->ctrl_signal();
        rc = b.result;
        break;
      }
      case 7:
        pvgen_sim_gate_close();
        pvgen_sim_gate_release(arg % 3);
        g_gate_closed = true;
        break;
      default:
        if ((arg & 0x80) != 0) {
          pvgen_sim_gate_open();
          g_gate_closed = false;
        } else {
          pvgen_sim_gate_release(arg % 3);
        }
        break;
    }
    FUZZ_CHECK(what == 4 || what >= 7 || b.result == rc, "call %d returned %d, wrote %d", what, rc,
               static_cast<int>(b.result));
    std::snprintf(text, sizeof text, " -> %d\n", rc);
    g_log += text;
  }

  // The engine behaves from here on: every band not stopped is reported, unless a fault
  // got in the way or its page never started.
  watchdog().arm(15, "waiting for the reports");
  // Counted after the rules are gone: a worker's wait that began before may still hit one,
  // and the simulator counts the hit (under the lock the removal takes) as the call starts.
  pvgen_sim_fault_clear();
  pvgen_sim_stats s;
  pvgen_sim_get_stats(&s);
  const bool faulty = s.faults != 0;
  pvgen_sim_gate_open();
  g_gate_closed = false;
  auto owed = [&] {
    std::vector<uint32_t> out;
    std::lock_guard<std::mutex> lock(g_bands_mutex);
    for (const auto& [job, band] : g_bands) {
      bool started = false;
      for (const Page& q : pages) {
        started = started || (q.id == band.page && q.started);
      }
      // Listed bands are not owed: a page-less one waits for an idle channel, which a page
      // still bound keeps from it, and the others never run.
      if (!band.stopped && band.reports == 0 && started && !band.pageless && !band.never) {
        out.push_back(job);
      }
    }
    return out;
  };
  // After a fault nothing is owed (a report may be lost for good): the stops below take
  // what is still queued, at once, rather than after a wait whose end is luck.
  if (!faulty && !eventually([&] { return owed().empty(); })) {
    const auto jobs = owed();
    fuzz::fail("%zu callback bands never reported (first job %u)\n%s", jobs.size(), jobs[0],
               g_log.c_str());
  }

  // Listed bands that still wait are erased by whoever listed them: this thread. One that
  // runs on a channel is the worker's; one a stop took is gone.
  {
    auto* registry = quorl_cnv_pvgen_commonmethod::instance();
    std::vector<uint32_t> running;  // page-less bands on a channel: the worker reports them
    registry->req_list_lock();
    for (const auto& [req_no, job] : g_listed) {
      QUORL_CNV_PVGEN_LIST_BLK* e =
          registry->req_list_search(quorl_cnv_pvgen_commonmethod::SEARCH_REQ_NO, req_no);
      if (e != nullptr && e->list_stat == 0 && e->plane_stat[0] == 0) {
        registry->req_list_erase(quorl_cnv_pvgen_commonmethod::ERASE_ADDRESS,
                                 reinterpret_cast<unsigned long>(e));
      } else if (e != nullptr && e->page_id == 0) {
        running.push_back(job);
      }
    }
    registry->req_list_unlock();
    g_listed.clear();
    // A page-less band belongs to no page that a stop below could take: its report comes
    // before the library is at rest (the engine reports every band command).
    if (!eventually([&] {
          std::lock_guard<std::mutex> lock(g_bands_mutex);
          for (uint32_t job : running) {
            if (g_bands[job].reports == 0) {
              return false;
            }
          }
          return true;
        })) {
      fuzz::fail("a page-less band on the channel was never reported\n%s", g_log.c_str());
    }
  }

  // Rest, then a fresh page.
  watchdog().arm(15, "bringing the library to rest");
  opener().settle();
  const bool reused = come_to_rest(pages, kPages, faulty);
  {
    std::lock_guard<std::mutex> lock(g_bands_mutex);
    for (auto& [job, band] : g_bands) {
      band.stopped = true;  // nothing may be reported once the library is at rest
    }
  }
  if (!reused) {
    ++g_releases;
    quorl_cnv_pvgen_control::release();
  }
  pvgen_sim_reset();
  fresh_page();
  return 0;
}

}  // namespace
