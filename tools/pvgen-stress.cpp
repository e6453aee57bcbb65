// pvgen-stress: many threads drive pages through the library's five C functions at once,
// against the simulated engine linked into this program, while an optional stopper thread
// stops pages under their owners' feet and an optional fault thread makes the engine
// misbehave. Every call and every callback is checked against what the library promises;
// a watchdog turns a run that stops making progress into a report of who waits where.
#include <dirent.h>
#include <getopt.h>
#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "duration.h"
#include "platform_capture.h"
#include "pvgen_sim.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_channel.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"
#include "tool_support.h"

namespace {

using Blk = QUORL_CNV_PVGEN_BLK;
using Info = QUORL_CNV_PVGEN_RESULT_INFO;
using Clock = std::chrono::steady_clock;

// What a caller leaves in `result` before each call: a band ended by a stop before it ran
// hands it back unchanged.
constexpr int32_t kSentinel = 0x5A5A5A5A;
// Page ids each submitter remembers for reuse (and for the stopper to pick from).
constexpr int kSlots = 8;
// Upper bound of the records kept for one run (one per band and per page).
constexpr uint64_t kMaxBands = 16ull << 20;

const char kUsage[] =
    "Usage: pvgen-stress [OPTIONS]\n"
    "Drives pages from several threads at once through the PVGEN control library's five\n"
    "functions against the simulated engine (linked in), checks every call's outcome and\n"
    "every callback, and reports each violation. The engine has one channel, so the pages\n"
    "of different threads run one after another.\n"
    "\n"
    "Options:\n"
    "  --threads N        submitting threads (1..64, default 4)\n"
    "  --pages N          pages per thread (default 250)\n"
    "  --bands N          bands per page, also the page's band total (1..100000,\n"
    "                     default 100); --threads x --pages x --bands at most 16777216\n"
    "  --sync PERCENT     share of bands submitted without callback (0..100, default 33)\n"
    "  --early-stop PERCENT\n"
    "                     pages their thread stops before all bands are in (0..100,\n"
    "                     default 10)\n"
    "  --stopper          one more thread that stops random pages of the others: pages in\n"
    "                     use, finished ones and ids about to be reused. It leaves alone\n"
    "                     a thread that has been in one call for longer than a page takes\n"
    "                     (2 ms + 2 x bands x band time), so that the watchdog can report a\n"
    "                     call that would never return without a stop.\n"
    "  --classes          one more thread that lists requests through the class operations,\n"
    "                     as only direct users of the classes do: page-less bands that must\n"
    "                     run and be reported once (band count 1), and page-less bands whose\n"
    "                     masks never match and page-mode bands that must wait unreported\n"
    "                     until the thread erases them\n"
    "  --faults           make the engine misbehave now and then: waits answered 'not yet',\n"
    "                     completion states 1 and 2, failed reports, reports of two bands,\n"
    "                     refused band, start and stop commands, stops answered 2, a failed\n"
    "                     driver call (the library is then restarted), the report gate\n"
    "                     held shut for a few ms\n"
    "  --seed N           seed of every random choice (default 1)\n"
    "  --band-time TIME   the engine's time per band: a number with unit ns, us, ms or s\n"
    "                     (no unit: us), at most 1000 s; default 0\n"
    "  --phases N         split the run into N phases; between phases the library is\n"
    "                     brought to rest and released (1..--pages, default 1)\n"
    "  --watchdog SECONDS report and exit 3 when nothing returns and no callback comes for\n"
    "                     this long while work is outstanding, or one call lasts this\n"
    "                     long; the engine's time is added: two band times to the first,\n"
    "                     2 ms + 2 x bands x band time to the second (1..86400, default 20)\n"
    "  --quiet            print violations and the summary only (the library's trace\n"
    "                     lines and notifications are not shown)\n"
    "  --json             print the summary as one JSON object on standard output\n"
    "  -h, --help         this text\n"
    "\n"
    "Exit status: 0 no violation, 1 violations (each printed on standard error), 2 usage\n"
    "error, 3 stall (the watchdog's report is on standard error), 4 the system refused a\n"
    "thread or memory (the run ended early; the message says which).\n";

struct Options {
  long threads = 4;
  long pages = 250;
  long bands = 100;
  long sync = 33;
  long early_stop = 10;
  bool stopper = false;
  bool classes = false;
  bool faults = false;
  uint64_t seed = 1;
  uint64_t band_time_ns = 0;
  std::string band_time = "0";
  long phases = 1;
  long watchdog = 20;
  bool quiet = false;
  bool json = false;
};

[[noreturn]] void usage_error(const std::string& what) {
  std::fprintf(stderr, "pvgen-stress: %s\n(see pvgen-stress --help)\n", what.c_str());
  std::exit(2);
}

long parse_count(const char* text, long min, long max, const char* option) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > max) {
    usage_error(std::string("bad value '") + text + "' for --" + option + " (" +
                std::to_string(min) + ".." + std::to_string(max) + ")");
  }
  return static_cast<long>(v);
}

Options parse(int argc, char** argv) {
  static const option kOptions[] = {
      {"threads", required_argument, nullptr, 't'},
      {"pages", required_argument, nullptr, 'p'},
      {"bands", required_argument, nullptr, 'b'},
      {"sync", required_argument, nullptr, 'y'},
      {"early-stop", required_argument, nullptr, 'e'},
      {"stopper", no_argument, nullptr, 'S'},
      {"classes", no_argument, nullptr, 'C'},
      {"faults", no_argument, nullptr, 'F'},
      {"seed", required_argument, nullptr, 's'},
      {"band-time", required_argument, nullptr, 'T'},
      {"phases", required_argument, nullptr, 'P'},
      {"watchdog", required_argument, nullptr, 'w'},
      {"quiet", no_argument, nullptr, 'q'},
      {"json", no_argument, nullptr, 'j'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  int c;
  opterr = 0;
  while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
    switch (c) {
      case 't':
        o.threads = parse_count(optarg, 1, 64, "threads");
        break;
      case 'p':
        o.pages = parse_count(optarg, 1, INT32_MAX, "pages");
        break;
      case 'b':
        o.bands = parse_count(optarg, 1, 100000, "bands");
        break;
      case 'y':
        o.sync = parse_count(optarg, 0, 100, "sync");
        break;
      case 'e':
        o.early_stop = parse_count(optarg, 0, 100, "early-stop");
        break;
      case 'S':
        o.stopper = true;
        break;
      case 'C':
        o.classes = true;
        break;
      case 'F':
        o.faults = true;
        break;
      case 's':
        o.seed = static_cast<uint64_t>(parse_count(optarg, 0, LONG_MAX, "seed"));
        break;
      case 'T': {
        const long long ns = parse_time_ns(optarg);
        if (ns < 0) {
          usage_error(std::string("bad value '") + optarg + "' for --band-time");
        }
        o.band_time_ns = static_cast<uint64_t>(ns);
        o.band_time = optarg;
        break;
      }
      case 'P':
        o.phases = parse_count(optarg, 1, 100000, "phases");
        break;
      case 'w':
        o.watchdog = parse_count(optarg, 1, 86400, "watchdog");
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'j':
        o.json = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        std::exit(0);
      case ':':
        usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
      default:
        usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (optind < argc) {
    usage_error(std::string("unexpected argument '") + argv[optind] + "'");
  }
  if (static_cast<uint64_t>(o.threads) * static_cast<uint64_t>(o.pages) *
          static_cast<uint64_t>(o.bands) >
      kMaxBands) {
    usage_error("--threads x --pages x --bands is above " + std::to_string(kMaxBands) +
                " bands; run several smaller runs");
  }
  if (o.phases > o.pages) {
    usage_error("--phases is above --pages");
  }
  return o;
}

// ---------------------------------------------------------------- shared state

// What a thread of this program is doing, for the watchdog's report.
enum Call : int {
  kIdle,
  kGetPageId,
  kPrepare,
  kPrepareWait,
  kPageStart,
  kBandSync,
  kBandCallback,
  kStop,
  kAwaitCallbacks,
  kJoin,
  kDrain,
  kRelease,
  kDone,
};

const char* call_name(int call) {
  static const char* const kNames[] = {"idle",
                                       "get_page_id",
                                       "prepare(no wait)",
                                       "prepare(wait)",
                                       "page_start",
                                       "band_exe(sync)",
                                       "band_exe(cb)",
                                       "stop",
                                       "awaiting callbacks",
                                       "joining threads",
                                       "drain",
                                       "release",
                                       "done"};
  static_assert(sizeof kNames / sizeof kNames[0] == kDone + 1);
  return call >= 0 && call <= kDone ? kNames[call] : "?";
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Actor {
  void enter(int c) {
    since = now_ns();
    call = c;
  }
  std::string name;
  std::atomic<int64_t> since{0};  // when the current call began
  std::atomic<pid_t> tid{0};
  std::atomic<int> call{kIdle};
  std::atomic<int32_t> page_id{0};
  std::atomic<uint64_t> pages_done{0};
};

// One callback or synchronous band, indexed by job_id - 1.
struct BandRec {
  std::atomic<uint32_t> run{0};    // its page run + 1
  std::atomic<uint32_t> index{0};  // 1-based position among the run's band calls
  std::atomic<uint8_t> kind{0};    // 1 synchronous, 2 with callback
  std::atomic<uint8_t> refused{0};
  std::atomic<uint32_t> reports{0};
};

// One use of a page id: from prepare to the stop (or the last band).
struct RunRec {
  std::atomic<int32_t> page_id{0};
  std::atomic<uint32_t> returned{0};      // band calls that have returned
  std::atomic<uint32_t> stopped_upto{0};  // bands submitted before a stop that has returned
  std::atomic<uint32_t> cb_accepted{0};
  std::atomic<uint32_t> cb_reported{0};
  std::atomic<bool> ended_early{false};  // a band of the page had a negative outcome
  std::atomic<bool> exempt{false};       // stopped or cut short: reports may be missing
};

// A page id a submitter used, with the run using it and the stopper's stops of it.
struct Slot {
  std::atomic<uint64_t> packed{0};  // (run + 1) << 32 | page id
  std::atomic<uint32_t> begun{0};   // stops of this id the stopper has started
  std::atomic<uint32_t> ended{0};   // ... and that have returned
};

struct Submitter {
  Slot slots[kSlots];
  std::atomic<int> used{0};
  std::atomic<int> current{0};
  long pages_left = 0;  // owner only (and main between segments)
  int next_slot = 0;
};

struct Stats {
  std::atomic<uint64_t> bands_sync{0}, bands_cb{0}, callbacks{0}, refused{0}, stops{0},
      stopper_stops{0}, rescue_stops{0}, pages{0}, early_stops{0}, prepare_busy{0}, faults{0},
      listed{0}, errno_faults{0}, gate_closes{0}, restarts{0}, outcome_pos{0}, outcome_neg{0};
};

Options g_opt;
Stats g_stats;
std::atomic<uint64_t> g_progress{0};  // bumped by every call that returns and every callback
std::unique_ptr<Actor[]> g_actors;    // submitters, then stopper, faults, main
int g_stopper_actor, g_fault_actor, g_main_actor, g_actor_count;
std::unique_ptr<Submitter[]> g_subs;
// Never freed: a worker thread may still be in a callback when the process exits.
BandRec* g_bands = nullptr;
RunRec* g_runs = nullptr;
uint64_t g_band_cap = 0, g_run_cap = 0;
std::atomic<uint32_t> g_next_job{1};
std::atomic<uint32_t> g_next_run{0};
std::atomic<bool> g_segment_done{false};  // stopper and fault thread end
std::atomic<bool> g_abort{false};         // channel unusable: submitters leave the segment
std::atomic<uint32_t> g_rescue_begun{0}, g_rescue_ended{0};
std::atomic<int> g_phase{0};
std::atomic<bool> g_in_release{false};

thread_local bool t_harness_thread = false;

std::mutex g_violation_mutex;
uint64_t g_violations = 0;
// Violations by kind (their format), in order of first appearance.
std::vector<std::pair<const char*, uint64_t>> g_violation_kinds;
constexpr uint64_t kPrintedPerKind = 20;

void violation(const char* format, ...) __attribute__((format(printf, 1, 2)));
void violation(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(g_violation_mutex);
  ++g_violations;
  auto kind = std::find_if(g_violation_kinds.begin(), g_violation_kinds.end(),
                           [format](const auto& k) { return k.first == format; });
  if (kind == g_violation_kinds.end()) {
    g_violation_kinds.emplace_back(format, 0);
    kind = g_violation_kinds.end() - 1;
  }
  if (++kind->second <= kPrintedPerKind) {
    std::fprintf(stderr, "pvgen-stress: VIOLATION: %s\n", text);
  }
}

// How many of each kind there were, when some were not printed.
void violation_summary() {
  std::lock_guard<std::mutex> lock(g_violation_mutex);
  for (const auto& [format, count] : g_violation_kinds) {
    if (count > kPrintedPerKind) {
      std::fprintf(stderr, "pvgen-stress: %llu violations (%llu not printed) of the kind: %s\n",
                   static_cast<unsigned long long>(count),
                   static_cast<unsigned long long>(count - kPrintedPerKind), format);
    }
  }
}

uint64_t violations() {
  std::lock_guard<std::mutex> lock(g_violation_mutex);
  return g_violations;
}

void returned() {
  g_progress.fetch_add(1, std::memory_order_relaxed);
}

bool one_of(int32_t v, std::initializer_list<int32_t> allowed) {
  return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
}

void mark_stopped(uint32_t run, uint32_t upto) {
  std::atomic<uint32_t>& w = g_runs[run].stopped_upto;
  uint32_t cur = w.load();
  while (cur < upto && !w.compare_exchange_weak(cur, upto)) {
  }
}

Blk page_block(int32_t page_id) {
  Blk blk;
  std::memset(&blk, 0, sizeof blk);
  blk.page_id = page_id;
  blk.asic = 1;
  blk.module = 1;
  blk.channel = 1;
  blk.mode = 1;
  blk.variant = 1;
  blk.type = 2;
  blk.src[0] = {0x5000, 10, 20};
  blk.dst[0] = {0x6000, 30, 40};
  blk.band_total = static_cast<uint32_t>(g_opt.bands);
  blk.wait_for_channel = 1;
  return blk;
}

void enter_thread(int actor, const char* short_name) {
  t_harness_thread = true;
  g_actors[actor].tid = gettid();
  pthread_setname_np(pthread_self(), short_name);
}

struct Rng {
  explicit Rng(uint64_t seed) : gen(seed) {}
  std::mt19937_64 gen;
  uint64_t below(uint64_t n) { return n == 0 ? 0 : gen() % n; }
  bool percent(long p) { return static_cast<long>(below(100)) < p; }
};

void sleep_us(uint64_t us) {
  std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// ---------------------------------------------------------------- the callback

void on_band(Info* info) {
  g_progress.fetch_add(1, std::memory_order_relaxed);
  g_stats.callbacks.fetch_add(1, std::memory_order_relaxed);
  if (t_harness_thread) {
    violation("callback of job %u ran on a thread of this program (a submitting thread)",
              info->job_id);
  }
  const uint32_t job = info->job_id;
  if (job == 0 || job >= g_next_job.load() || job > g_band_cap) {
    violation("callback for unknown job %u (page %d)", job, info->page_id);
    return;
  }
  BandRec& band = g_bands[job - 1];
  if (band.kind.load() != 2) {
    violation("callback for job %u, which was not submitted with a callback", job);
  }
  if (band.reports.fetch_add(1) != 0) {
    violation("job %u reported more than once (page %d, result %d)", job, info->page_id,
              info->result);
  }
  if (!one_of(info->result, {0, 1, 2, -5, -3})) {
    violation("callback of job %u with result %d", job, info->result);
  }
  const uint32_t run_plus1 = band.run.load();
  if (run_plus1 == 0) {
    violation("callback for job %u before its band_exe was made", job);
    return;
  }
  RunRec& run = g_runs[run_plus1 - 1];
  if (info->page_id != run.page_id.load()) {
    violation("callback of job %u names page %d, the band was for page %d", job, info->page_id,
              run.page_id.load());
  }
  const uint32_t index = band.index.load();
  const uint32_t stopped = run.stopped_upto.load();
  if (index <= stopped) {
    violation(
        "job %u (band %u of page %d) reported after a stop of its page returned, the stop "
        "being called after band %u was submitted",
        job, index, info->page_id, stopped);
  }
  if (info->result < 0) {
    run.ended_early = true;
  }
  (info->result < 0 ? g_stats.outcome_neg : g_stats.outcome_pos).fetch_add(1);
  run.cb_reported.fetch_add(1);
}

// ---------------------------------------------------------------- requests of the classes

std::vector<std::pair<norvane::quorl_cnv_pvgen_channel*, int32_t>> failed_channels();

// Page-less bands listed by the class lister: each must be reported once, on a worker, with
// band count 1 and band number 1 (or a failure), and those that must wait never.
constexpr uint32_t kListedJob = 0xC1A55000u;  // job ids kListedJob + n
std::atomic<uint32_t> g_listed_reports{0};
std::atomic<uint32_t> g_listed_expected{0};  // job id of the band that may be reported now

void on_listed(Info* info) {
  g_progress.fetch_add(1, std::memory_order_relaxed);
  if (t_harness_thread) {
    violation("callback of listed job %x ran on a thread of this program", info->job_id);
  }
  if (info->job_id != g_listed_expected.load()) {
    violation("callback for listed job %x, which must wait unreported (expected %x)", info->job_id,
              g_listed_expected.load());
    return;
  }
  if (!one_of(info->result, {0, 1, 2, -5})) {
    violation("page-less band %x reported with result %d", info->job_id, info->result);
  }
  if (info->result == 0 && (info->band_count != 1 || info->band_num != 1)) {
    violation("page-less band %x reported with band count %u and band number %d", info->job_id,
              info->band_count, info->band_num);
  }
  g_listed_reports.fetch_add(1);
}

// Lists, through the class operations, a page-less band that must run, beside a page-less
// band whose masks never match and a page-mode band that must both wait;
// erases the waiting ones after a while, then waits for the first one's report (unless the
// channel failed for good and it never left the list).
void lister_main(uint64_t segment) {
  t_harness_thread = true;
  Rng rng{g_opt.seed * 0x51ED270B27F1B4A7ull + segment};
  auto* registry = norvane::quorl_cnv_pvgen_commonmethod::instance();
  auto* control = norvane::quorl_cnv_pvgen_control::instance();
  using Entry = QUORL_CNV_PVGEN_LIST_BLK;
  // Entries are named by request number: once listed, an entry that reaches a channel is
  // the worker's, which erases it after its report.
  auto list = [&](Blk blk) {
    auto* obs = registry->obs_wrapper_create(static_cast<unsigned long>(blk.page_id), on_listed);
    registry->req_list_lock();
    const unsigned long req_no =
        registry->req_list_insert(QUORL_CNV_PVGEN_REQ_BAND_EXE, blk, obs)->req_no;
    registry->req_list_unlock();
    control->ctrl_signal();
    return req_no;
  };
  // Erases the entry when it still waits; false when it has gone to a channel (or is gone).
  auto erase_waiting = [&](unsigned long req_no) {
    registry->req_list_lock();
    Entry* entry =
        registry->req_list_search(norvane::quorl_cnv_pvgen_commonmethod::SEARCH_REQ_NO, req_no);
    const bool waiting = entry != nullptr && entry->list_stat == 0 && entry->plane_stat[0] == 0;
    if (waiting) {
      registry->req_list_erase(norvane::quorl_cnv_pvgen_commonmethod::ERASE_ADDRESS,
                               reinterpret_cast<unsigned long>(entry));
    }
    registry->req_list_unlock();
    return waiting;
  };
  uint32_t n = 0;
  while (!g_segment_done.load() && !g_abort.load()) {
    Blk runs = page_block(0);
    runs.mode = 0;
    runs.job_id = kListedJob + (++n & 0xFFF);
    const uint32_t before = g_listed_reports.load();
    g_listed_expected = runs.job_id;
    const unsigned long running = list(runs);
    Blk never = runs;
    never.job_id = kListedJob + 0x1000;
    never.asic = 2 + 2 * rng.below(4);  // bit 0 clear
    const unsigned long unmatched = list(never);
    // A page identifier no submitter is given (a stop of a submitter's page would take the
    // band over).
    Blk page_mode = page_block(static_cast<int32_t>(0x7FFFFF00 + rng.below(64)));
    page_mode.mode = 2;
    page_mode.job_id = kListedJob + 0x1001;
    const unsigned long mode2 = list(page_mode);
    sleep_us(200 + rng.below(2000));
    if (!erase_waiting(unmatched) || !erase_waiting(mode2)) {
      violation("a request that can never get a channel left the list");
    }
    // The band that may run: reported, or erased while it waits on a failed channel.
    for (;;) {
      if (g_listed_reports.load() != before) {
        break;
      }
      if (!failed_channels().empty() && erase_waiting(running)) {
        break;
      }
      if (g_segment_done.load() && g_abort.load() && erase_waiting(running)) {
        break;
      }
      sleep_us(100);
    }
    g_listed_expected = 0;
    g_stats.listed.fetch_add(1, std::memory_order_relaxed);
  }
}

// ---------------------------------------------------------------- submitting threads

std::vector<std::pair<norvane::quorl_cnv_pvgen_channel*, int32_t>> failed_channels();

class PageDriver {
 public:
  PageDriver(int index, Rng& rng) : me_(g_actors[index]), sub_(g_subs[index]), rng_(rng) {}

  void page();

 private:
  void call(int c) { me_.enter(c); }
  void done(bool progress = true) {
    me_.enter(kIdle);
    if (progress) {
      returned();
    }
  }
  bool touched() const {
    return sub_.slots[slot_].begun.load() > ended0_ || g_rescue_begun.load() > rescue0_;
  }
  bool prepare();
  bool page_start();
  void bands(uint32_t limit);
  void stop();

  Actor& me_;
  Submitter& sub_;
  Rng& rng_;
  Blk blk_{};
  int slot_ = 0;
  uint32_t run_ = 0;
  uint32_t ended0_ = 0, rescue0_ = 0;
  bool clean_ = true;  // no negative outcome, no refused call, nothing cut short
};

bool PageDriver::prepare() {
  for (;;) {
    const bool wait = !rng_.percent(10);
    me_.enter(wait ? kPrepareWait : kPrepare);
    blk_.wait_for_channel = wait ? 1 : 0;
    blk_.result = kSentinel;
    const int rc = Quorl_cnv_pvgen_prepare(&blk_);
    done(rc != -4);  // a busy channel is no progress
    if (rc == kSentinel) {
      // A stop of the page ends a prepare that has not run yet without an outcome: the
      // caller gets back the result word it left in the block.
      if (!touched()) {
        violation(
            "prepare of page %d returned the caller's result word 0x%X untouched with no stop "
            "of the page",
            blk_.page_id, static_cast<unsigned>(rc));
      }
    } else if (!one_of(rc, {0, -4, -3})) {
      violation("prepare of page %d returned %d", blk_.page_id, rc);
    }
    if (blk_.result != rc) {
      violation("prepare of page %d returned %d but left result %d", blk_.page_id, rc, blk_.result);
    }
    if (rc == -4) {
      g_stats.prepare_busy.fetch_add(1, std::memory_order_relaxed);
      // Waiting for a channel ends only when none can ever become free: the channel has
      // failed for good (a failed driver call, injected with --faults).
      if (wait && failed_channels().empty()) {
        violation(
            "prepare of page %d with wait_for_channel set returned -4 while the channel "
            "is usable",
            blk_.page_id);
      }
      if (g_abort.load()) {
        return false;
      }
      sleep_us(20 + rng_.below(200));
      continue;
    }
    if (rc == -3) {
      violation("prepare of page %d (a valid id) returned -3", blk_.page_id);
    }
    return rc == 0;
  }
}

bool PageDriver::page_start() {
  call(kPageStart);
  blk_.result = kSentinel;
  const int rc = Quorl_cnv_pvgen_page_start(&blk_, nullptr);
  done();
  if (rc == kSentinel) {
    // Ended by a stop of the page before it ran, like a prepare.
    if (!touched()) {
      violation(
          "page_start of page %d returned the caller's result word 0x%X untouched with no "
          "stop of the page",
          blk_.page_id, static_cast<unsigned>(rc));
    }
  } else if (!one_of(rc, {0, -3, -5})) {
    violation("page_start of page %d returned %d", blk_.page_id, rc);
  }
  if (blk_.result != rc) {
    violation("page_start of page %d returned %d but left result %d", blk_.page_id, rc,
              blk_.result);
  }
  if (rc == -3 && !touched() && !g_abort.load()) {
    violation("page_start of prepared page %d returned -3 with no stop of the page", blk_.page_id);
  }
  return rc == 0;
}

void PageDriver::bands(uint32_t limit) {
  RunRec& run = g_runs[run_];
  for (uint32_t k = 1; k <= limit; ++k) {
    if (g_abort.load()) {
      clean_ = false;
      return;
    }
    const uint32_t job = g_next_job.fetch_add(1);
    if (job > g_band_cap) {
      violation("internal: job ids exhausted");
      clean_ = false;
      return;
    }
    BandRec& band = g_bands[job - 1];
    const bool sync = rng_.percent(g_opt.sync);
    band.run = run_ + 1;
    band.index = k;
    band.kind = sync ? 1 : 2;
    blk_.job_id = job;
    blk_.result = kSentinel;
    if (sync) {
      call(kBandSync);
      const int rc = Quorl_cnv_pvgen_band_exe(&blk_, nullptr);
      run.returned = k;
      done();
      g_stats.bands_sync.fetch_add(1, std::memory_order_relaxed);
      if (!one_of(rc, {0, 1, 2, -5, -3, kSentinel})) {
        violation("synchronous band %u of page %d returned %d", k, blk_.page_id, rc);
      }
      if (blk_.result != rc) {
        violation("synchronous band %u of page %d returned %d but left result %d", k, blk_.page_id,
                  rc, blk_.result);
      }
      if (rc == kSentinel && !touched()) {
        violation(
            "synchronous band %u of page %d returned the caller's result word with no "
            "stop of its page",
            k, blk_.page_id);
      }
      if (rc == kSentinel || rc < 0) {
        (rc == kSentinel ? g_stats.refused : g_stats.outcome_neg).fetch_add(1);
        if (rc < 0) {
          run.ended_early = true;
        }
        clean_ = false;
        return;  // the page is over
      }
      g_stats.outcome_pos.fetch_add(1, std::memory_order_relaxed);
    } else {
      call(kBandCallback);
      const int rc = Quorl_cnv_pvgen_band_exe(&blk_, on_band);
      run.returned = k;
      done();
      g_stats.bands_cb.fetch_add(1, std::memory_order_relaxed);
      if (rc == 0) {
        run.cb_accepted.fetch_add(1);
        if (blk_.result != kSentinel) {
          violation("accepted callback band %u of page %d changed result to %d", k, blk_.page_id,
                    blk_.result);
        }
      } else {
        band.refused = 1;
        g_stats.refused.fetch_add(1, std::memory_order_relaxed);
        if (rc != -3) {
          violation("callback band %u of page %d returned %d", k, blk_.page_id, rc);
        } else if (blk_.result != -3) {
          violation("refused callback band %u of page %d left result %d", k, blk_.page_id,
                    blk_.result);
        }
        clean_ = false;
        return;
      }
    }
  }
}

void PageDriver::stop() {
  RunRec& run = g_runs[run_];
  for (int attempt = 0;; ++attempt) {
    blk_.result = kSentinel;
    const uint32_t submitted = run.returned.load();
    call(kStop);
    const int rc = Quorl_cnv_pvgen_stop(&blk_);
    done();
    g_stats.stops.fetch_add(1, std::memory_order_relaxed);
    if (!one_of(rc, {0, -5})) {
      violation("stop of page %d returned %d", blk_.page_id, rc);
    }
    if (blk_.result != rc) {
      violation("stop of page %d returned %d but left result %d", blk_.page_id, rc, blk_.result);
    }
    if (rc == 0 || rc == -5) {
      mark_stopped(run_, submitted);
    }
    if (rc != -5) {
      return;
    }
    // The engine refused the stop: the page keeps its channel and must be stopped again.
    if (attempt == 100) {
      violation("stop of page %d refused 100 times", blk_.page_id);
      return;
    }
    sleep_us(100);
  }
}

void PageDriver::page() {
  // A page id: usually a new one, sometimes one of this thread's earlier ones.
  int32_t id;
  const int used = sub_.used.load();
  if (used > 0 && rng_.percent(15)) {
    slot_ = static_cast<int>(rng_.below(static_cast<uint64_t>(used)));
    id = static_cast<int32_t>(sub_.slots[slot_].packed.load() & 0xFFFFFFFFu);
  } else {
    call(kGetPageId);
    id = Quorl_cnv_pvgen_get_page_id();
    done();
    if (id < 1) {
      violation("get_page_id returned %d", id);
      return;
    }
    slot_ = sub_.next_slot;
    sub_.next_slot = (sub_.next_slot + 1) % kSlots;
    if (used < kSlots) {
      sub_.used.store(used + 1);
    }
  }
  run_ = g_next_run.fetch_add(1);
  if (run_ >= g_run_cap) {
    violation("internal: page records exhausted");
    return;
  }
  RunRec& run = g_runs[run_];
  run.page_id = id;
  sub_.slots[slot_].packed.store((static_cast<uint64_t>(run_) + 1) << 32 |
                                 static_cast<uint32_t>(id));
  sub_.current.store(slot_);
  ended0_ = sub_.slots[slot_].ended.load();
  rescue0_ = g_rescue_ended.load();
  me_.page_id = id;
  blk_ = page_block(id);
  clean_ = true;

  g_stats.pages.fetch_add(1, std::memory_order_relaxed);
  if (!prepare()) {
    run.exempt = true;
    return;  // nothing is held
  }
  bool started = page_start();
  const bool early = rng_.percent(g_opt.early_stop);
  const uint32_t limit = early
                             ? static_cast<uint32_t>(rng_.below(static_cast<uint64_t>(g_opt.bands)))
                             : static_cast<uint32_t>(g_opt.bands);
  if (started) {
    bands(limit);
  } else {
    clean_ = false;
  }
  if (early) {
    g_stats.early_stops.fetch_add(1, std::memory_order_relaxed);
    clean_ = false;
  } else if (started) {
    // Every accepted callback band is reported, unless the page ended on a failed band or
    // someone stopped it. Missing reports show up as a stall (the watchdog's report).
    call(kAwaitCallbacks);
    while (run.cb_reported.load() < run.cb_accepted.load() && !run.ended_early.load() &&
           !touched() && !g_abort.load()) {
      sleep_us(50);
    }
    me_.enter(kIdle);
  }
  if (run.ended_early.load() || touched() || g_abort.load()) {
    clean_ = false;
  }
  // A page whose every band went through ends by itself; most are stopped all the same.
  if (!clean_ || rng_.percent(80)) {
    stop();
  }
  run.exempt = !clean_ || touched() || g_abort.load();
  me_.pages_done.fetch_add(1, std::memory_order_relaxed);
  me_.page_id = 0;
}

void submitter_main(int index, uint64_t segment) {
  char name[16];
  std::snprintf(name, sizeof name, "stress-sub%d", index);
  enter_thread(index, name);
  Rng rng(g_opt.seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(index) * 7919 + segment);
  Submitter& sub = g_subs[index];
  PageDriver driver(index, rng);
  while (sub.pages_left > 0 && !g_abort.load()) {
    driver.page();
    --sub.pages_left;
  }
  g_actors[index].enter(kDone);
}

// ---------------------------------------------------------------- stopper

void stopper_main(uint64_t segment) {
  enter_thread(g_stopper_actor, "stress-stopper");
  Actor& me = g_actors[g_stopper_actor];
  Rng rng(g_opt.seed ^ 0x5700ull ^ (segment << 20));
  const int64_t stuck_ns = 2'000'000 + 2 * g_opt.bands * static_cast<int64_t>(g_opt.band_time_ns);
  while (!g_segment_done.load()) {
    sleep_us(500 + rng.below(5000));
    Blk blk = page_block(0);
    if (rng.percent(3)) {
      // An id no page can have.
      blk.page_id = -static_cast<int32_t>(rng.below(3));
      me.enter(kStop);
      const int rc = Quorl_cnv_pvgen_stop(&blk);
      me.enter(kIdle);
      if (rc != -3 || blk.result != -3) {
        violation("stop of page id %d returned %d (result %d), not -3", blk.page_id, rc,
                  blk.result);
      }
      continue;
    }
    const uint64_t owner = rng.below(static_cast<uint64_t>(g_opt.threads));
    // A thread that has been in one call (other than a prepare waiting for the channel)
    // for longer than the engine needs for a whole page is left alone: a stop would set it
    // free and hide a hang from the watchdog.
    const int owner_call = g_actors[owner].call.load();
    if (owner_call != kIdle && owner_call != kPrepareWait && owner_call != kDone &&
        now_ns() - g_actors[owner].since.load() > stuck_ns) {
      continue;
    }
    Submitter& sub = g_subs[owner];
    const int used = sub.used.load();
    if (used == 0) {
      continue;
    }
    // Mostly the page its owner works on now; else an earlier one, finished or about to
    // be reused.
    const int slot = rng.percent(60) ? sub.current.load()
                                     : static_cast<int>(rng.below(static_cast<uint64_t>(used)));
    Slot& s = sub.slots[slot];
    const uint64_t packed = s.packed.load();
    const int32_t id = static_cast<int32_t>(packed & 0xFFFFFFFFu);
    const uint32_t run = static_cast<uint32_t>(packed >> 32) - 1;
    if (id == 0) {
      continue;
    }
    const uint32_t submitted = g_runs[run].returned.load();
    blk.page_id = id;
    blk.result = kSentinel;
    me.page_id = id;
    s.begun.fetch_add(1);
    me.enter(kStop);
    const int rc = Quorl_cnv_pvgen_stop(&blk);
    me.enter(kIdle);
    if ((rc == 0 || rc == -5) && g_runs[run].page_id.load() == id) {
      mark_stopped(run, submitted);
    }
    s.ended.fetch_add(1);
    me.page_id = 0;
    g_stats.stopper_stops.fetch_add(1, std::memory_order_relaxed);
    if (!one_of(rc, {0, -5})) {
      violation("stop of page %d from the stopper returned %d", id, rc);
    }
    if (blk.result != rc) {
      violation("stop of page %d from the stopper returned %d but left result %d", id, rc,
                blk.result);
    }
  }
  me.enter(kDone);
}

// ---------------------------------------------------------------- faults

// Channels in the error state, with the page each keeps.
std::vector<std::pair<norvane::quorl_cnv_pvgen_channel*, int32_t>> failed_channels() {
  std::vector<std::pair<norvane::quorl_cnv_pvgen_channel*, int32_t>> out;
  for (auto* ch : norvane::quorl_cnv_pvgen_control::instance()->channels()) {
    if (ch->get_ch_status() == norvane::quorl_cnv_pvgen_channel::STATUS_ERROR) {
      out.emplace_back(ch, static_cast<int32_t>(ch->get_page_id()));
    }
  }
  return out;
}

// After a failed driver call the channel is unusable: the segment ends, and the page the
// channel keeps is stopped so that callers blocked on it return.
void rescue(Actor& me) {
  if (!g_abort.exchange(true)) {
    for (const auto& [ch, page] : failed_channels()) {
      if (page <= 0) {
        continue;
      }
      Blk blk = page_block(page);
      blk.result = kSentinel;
      g_rescue_begun.fetch_add(1);
      me.enter(kStop);
      me.page_id = page;
      const int rc = Quorl_cnv_pvgen_stop(&blk);
      me.enter(kIdle);
      me.page_id = 0;
      g_rescue_ended.fetch_add(1);
      g_stats.rescue_stops.fetch_add(1, std::memory_order_relaxed);
      if (rc != 0 || blk.result != 0) {
        violation("stop of page %d on a failed channel returned %d (result %d)", page, rc,
                  blk.result);
      }
    }
  }
}

void add_fault(int kind, int action, uint32_t first, uint32_t count, int err, int32_t value) {
  const pvgen_sim_fault f{kind, action, first, count, err, value};
  if (pvgen_sim_fault_add(&f) != 0) {
    violation("internal: fault rule refused by the simulator");
  }
  g_stats.faults.fetch_add(1, std::memory_order_relaxed);
}

void fault_main(uint64_t segment) {
  enter_thread(g_fault_actor, "stress-faults");
  Actor& me = g_actors[g_fault_actor];
  Rng rng(g_opt.seed ^ 0xFA17ull ^ (segment << 24));
  bool errno_done = false;
  auto next = Clock::now();
  uint32_t rules = 0;
  while (!g_segment_done.load()) {
    sleep_us(1000);
    if (!failed_channels().empty()) {
      rescue(me);
    }
    if (g_abort.load() || Clock::now() < next) {
      continue;
    }
    next = Clock::now() + std::chrono::microseconds(2000 + rng.below(25000));
    if (++rules % 64 == 0) {
      pvgen_sim_fault_clear();  // rules that never hit would pile up
    }
    const uint32_t first = 1 + static_cast<uint32_t>(rng.below(8));
    const int32_t refused = rng.percent(50) ? 4 : 5;
    switch (rng.below(12)) {
      case 0:
        add_fault(PVGEN_SIM_WAIT, PVGEN_SIM_ACT_AGAIN, first,
                  1 + static_cast<uint32_t>(rng.below(3)), 0, 0);
        break;
      case 1:
        add_fault(PVGEN_SIM_WAIT, PVGEN_SIM_ACT_RESULT, first, 1, 0, 1);
        break;
      case 2:
        add_fault(PVGEN_SIM_WAIT, PVGEN_SIM_ACT_RESULT, first, 1, 0, 2);
        break;
      case 3:
        add_fault(PVGEN_SIM_WAIT, PVGEN_SIM_ACT_RESULT, first, 1, 0, rng.percent(50) ? -1 : 4);
        break;
      case 4:
        add_fault(PVGEN_SIM_WAIT, PVGEN_SIM_ACT_BAND_NUM, first, 1, 0, 2);
        break;
      case 5:
        add_fault(PVGEN_SIM_BAND, PVGEN_SIM_ACT_RESULT, first, 1, 0, refused);
        break;
      case 6:
        add_fault(PVGEN_SIM_PAGE_START, PVGEN_SIM_ACT_RESULT, 1, 1, 0, refused);
        break;
      case 7:
        add_fault(PVGEN_SIM_STOP, PVGEN_SIM_ACT_RESULT, 1, 1, 0, refused);
        break;
      case 8:
        add_fault(PVGEN_SIM_STOP, PVGEN_SIM_ACT_RESULT, 1, 1, 0, 2);
        break;
      case 9:
      case 10: {
        g_stats.gate_closes.fetch_add(1, std::memory_order_relaxed);
        pvgen_sim_gate_close();
        sleep_us(1000 + rng.below(8000));
        pvgen_sim_gate_open();
        break;
      }
      default: {
        // A failed driver call leaves the channel unusable for the rest of the process (a
        // prepare waiting for it then ends with -4): at most one per segment.
        if (errno_done || !rng.percent(25)) {
          break;
        }
        static const int kKinds[] = {PVGEN_SIM_WAIT, PVGEN_SIM_BAND, PVGEN_SIM_PAGE_START,
                                     PVGEN_SIM_STOP};
        add_fault(kKinds[rng.below(4)], PVGEN_SIM_ACT_ERRNO, first, 1, EIO, 0);
        g_stats.errno_faults.fetch_add(1, std::memory_order_relaxed);
        errno_done = true;
        break;
      }
    }
  }
  pvgen_sim_gate_open();
  pvgen_sim_fault_clear();
  me.enter(kDone);
}

// ---------------------------------------------------------------- watchdog

void dump_library() {
  // The registry prints through the diagnostic receiver, which writes to standard output:
  // send that to standard error for the rest of the process.
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  platform::capture_end();
  for (auto* ch : norvane::quorl_cnv_pvgen_control::instance()->channels()) {
    const QUORL_PAGE_INFO pi = ch->page_info_snapshot();
    std::fprintf(stderr,
                 "channel %d/%d/%d: status %d, proc_num %d, page %lu; band_total %u, band "
                 "commands %u, band completions %u, page_end %u, page_stop %u\n",
                 ch->get_asic(), ch->get_module(), ch->get_channel(), ch->get_ch_status(),
                 ch->get_proc_num(), ch->get_page_id(), pi.band_total, pi.band_exe_num,
                 pi.band_done_num, pi.page_end, pi.page_stop);
  }
  auto* registry = norvane::quorl_cnv_pvgen_commonmethod::instance();
  std::fprintf(stderr, "request list: %zu entries\n", registry->req_list_size());
  registry->log_print();
}

[[noreturn]] void stall_report(const char* what, double seconds) {
  std::fprintf(stderr, "pvgen-stress: STALL: %s for %.1f s (phase %d)\n", what, seconds,
               g_phase.load() + 1);
  for (int a = 0; a < g_actor_count; ++a) {
    const Actor& actor = g_actors[a];
    const int c = actor.call.load();
    const double in_call =
        c == kIdle || c == kDone ? 0.0 : static_cast<double>(now_ns() - actor.since.load()) * 1e-9;
    std::fprintf(stderr, "  %-10s tid %-7d %-20s for %7.3f s  page %-6d pages done %llu\n",
                 actor.name.c_str(), static_cast<int>(actor.tid.load()), call_name(c), in_call,
                 actor.page_id.load(), static_cast<unsigned long long>(actor.pages_done.load()));
  }
  pvgen_sim_stats s{};
  pvgen_sim_get_stats(&s);
  std::fprintf(stderr,
               "engine: blocked_waiters %u, pending_reports %u, open_descriptors %u, requests "
               "start/band/wait/stop %llu/%llu/%llu/%llu, reports %llu, again %llu, faults "
               "%llu\n",
               s.blocked_waiters, s.pending_reports, s.open_descriptors,
               static_cast<unsigned long long>(s.requests[PVGEN_SIM_PAGE_START]),
               static_cast<unsigned long long>(s.requests[PVGEN_SIM_BAND]),
               static_cast<unsigned long long>(s.requests[PVGEN_SIM_WAIT]),
               static_cast<unsigned long long>(s.requests[PVGEN_SIM_STOP]),
               static_cast<unsigned long long>(s.reports), static_cast<unsigned long long>(s.again),
               static_cast<unsigned long long>(s.faults));
  tools::print_threads();
  std::fprintf(stderr, "violations before the stall: %llu\n",
               static_cast<unsigned long long>(violations()));
  std::fflush(stderr);
  if (!g_in_release.load()) {
    // The library's own view takes its locks; a thread stuck with one held must not keep
    // this report from ending.
    std::atomic<bool> finished{false};
    std::thread([&finished] {
      dump_library();
      finished = true;
    }).detach();
    for (int i = 0; i < 300 && !finished.load(); ++i) {
      sleep_us(10000);
    }
    if (!finished.load()) {
      std::fprintf(stderr, "(the library's lists could not be read: a lock is held)\n");
    }
  }
  std::fflush(stderr);
  _exit(3);
}

std::atomic<bool> g_watchdog_end{false};

void watchdog_main() {
  t_harness_thread = true;
  pthread_setname_np(pthread_self(), "stress-watchdog");
  const bool progress_line = !g_opt.quiet && isatty(STDERR_FILENO) != 0;
  // The engine's time counts on top of the watchdog's: nothing returns while a band runs,
  // and a call may wait for every band of its page queued ahead of it (as the stopper
  // reckons). A band time beyond 1000 s is refused by the options.
  const double band_s = static_cast<double>(g_opt.band_time_ns) * 1e-9;
  const double quiet_limit = static_cast<double>(g_opt.watchdog) + 2 * band_s;
  const double call_limit =
      static_cast<double>(g_opt.watchdog) + 0.002 + 2 * static_cast<double>(g_opt.bands) * band_s;
  uint64_t last = g_progress.load();
  auto last_change = Clock::now();
  auto last_line = Clock::now();
  uint64_t bands_at_line = 0;
  while (!g_watchdog_end.load()) {
    sleep_us(100000);
    const auto now = Clock::now();
    const uint64_t p = g_progress.load();
    if (p != last) {
      last = p;
      last_change = now;
    }
    const double quiet = std::chrono::duration<double>(now - last_change).count();
    if (quiet >= quiet_limit) {
      stall_report("no call of a submitting thread returned and no callback came", quiet);
    }
    // One thread stuck while the others go on: any call but a prepare that waits for the
    // channel (and this program's own waits for its threads) ends in far less time.
    for (int a = 0; a < g_actor_count; ++a) {
      const int c = g_actors[a].call.load();
      if (c == kIdle || c == kDone || c == kPrepareWait || c == kJoin) {
        continue;
      }
      const double busy = static_cast<double>(now_ns() - g_actors[a].since.load()) * 1e-9;
      if (busy >= call_limit) {
        const std::string what = g_actors[a].name + " has been in " + call_name(c);
        stall_report(what.c_str(), busy);
      }
    }
    if (progress_line && now - last_line >= std::chrono::seconds(1)) {
      const uint64_t bands = g_stats.bands_sync.load() + g_stats.bands_cb.load();
      const double dt = std::chrono::duration<double>(now - last_line).count();
      std::fprintf(stderr,
                   "pvgen-stress: phase %d/%ld: %llu bands, %.0f bands/s, %llu callbacks, "
                   "%llu pages, %llu violations\n",
                   g_phase.load() + 1, g_opt.phases, static_cast<unsigned long long>(bands),
                   static_cast<double>(bands - bands_at_line) / dt,
                   static_cast<unsigned long long>(g_stats.callbacks.load()),
                   static_cast<unsigned long long>(g_stats.pages.load()),
                   static_cast<unsigned long long>(violations()));
      bands_at_line = bands;
      last_line = now;
    }
  }
}

// ---------------------------------------------------------------- segments and phases

norvane::quorl_cnv_pvgen_commonmethod* registry() {
  return norvane::quorl_cnv_pvgen_commonmethod::instance();
}

// After the threads of a segment have ended: the library must hold nothing any more.
// Pending callbacks get a bounded time to arrive. Returns false when it still holds
// something (the library must then not be released).
bool check_rest(uint32_t first_run, uint32_t first_job) {
  Actor& me = g_actors[g_main_actor];
  me.enter(kDrain);
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  size_t list = 0, sems = 0, wrappers = 0;
  for (;;) {
    list = registry()->req_list_size();
    sems = registry()->event_semaphore_in_use();
    wrappers = registry()->obs_wrapper_count();
    if ((list == 0 && sems == 0 && wrappers == 0) || Clock::now() > deadline) {
      break;
    }
    sleep_us(1000);
  }
  me.enter(kIdle);
  returned();
  const uint32_t end_run = std::min<uint32_t>(g_next_run.load(), static_cast<uint32_t>(g_run_cap));
  for (uint32_t r = first_run; r < end_run; ++r) {
    const RunRec& run = g_runs[r];
    const uint32_t accepted = run.cb_accepted.load(), reported = run.cb_reported.load();
    if (!run.exempt.load() && !run.ended_early.load() && reported != accepted) {
      violation("page %d: %u callback bands accepted, %u reported", run.page_id.load(), accepted,
                reported);
    }
  }
  const uint32_t end_job =
      std::min<uint32_t>(g_next_job.load(), static_cast<uint32_t>(g_band_cap + 1));
  for (uint32_t job = first_job; job < end_job; ++job) {
    const BandRec& band = g_bands[job - 1];
    if (band.refused.load() != 0 && band.reports.load() != 0) {
      violation("job %u was refused by band_exe and reported all the same", job);
    }
  }
  if (list != 0 || sems != 0 || wrappers != 0) {
    violation(
        "library not at rest at the end of phase %d: %zu requests listed, %zu completion "
        "semaphores in use, %zu observer wrappers",
        g_phase.load() + 1, list, sems, wrappers);
    return false;
  }
  return true;
}

void restart_library() {
  Actor& me = g_actors[g_main_actor];
  me.enter(kRelease);
  g_in_release = true;
  norvane::quorl_cnv_pvgen_control::release();
  g_in_release = false;
  pvgen_sim_reset();
  pvgen_sim_set_band_time_ns(g_opt.band_time_ns);
  me.enter(kIdle);
  returned();
}

// Runs the submitters (and the stopper and fault thread) until each has no pages left or
// the channel became unusable. Returns false when the library could not be brought to rest.
bool run_segment(uint64_t segment) {
  if (g_opt.quiet) {
    // The library's trace lines are kept in memory instead of printed, one segment's worth.
    platform::capture_begin();
  }
  g_segment_done = false;
  g_abort = false;
  // After a restart the library hands out page ids from 1 again: the ids remembered from
  // before would collide with new ones of other threads.
  for (long t = 0; t < g_opt.threads; ++t) {
    Submitter& sub = g_subs[t];
    for (Slot& slot : sub.slots) {
      slot.packed = 0;
    }
    sub.used = 0;
    sub.current = 0;
    sub.next_slot = 0;
  }
  const uint32_t first_run = g_next_run.load();
  const uint32_t first_job = g_next_job.load();
  std::vector<std::thread> threads;
  for (long t = 0; t < g_opt.threads; ++t) {
    threads.emplace_back(submitter_main, static_cast<int>(t), segment);
  }
  std::thread stopper, faults, lister;
  if (g_opt.stopper) {
    stopper = std::thread(stopper_main, segment);
  }
  if (g_opt.classes) {
    lister = std::thread(lister_main, segment);
  }
  if (g_opt.faults) {
    faults = std::thread(fault_main, segment);
  }
  g_actors[g_main_actor].enter(kJoin);
  for (auto& th : threads) {
    th.join();
  }
  g_segment_done = true;
  if (stopper.joinable()) {
    stopper.join();
  }
  if (lister.joinable()) {
    lister.join();
  }
  if (faults.joinable()) {
    faults.join();
  }
  const bool rest = check_rest(first_run, first_job);
  if (!g_opt.quiet) {
    std::fprintf(stderr, "pvgen-stress: phase %d%s: %llu pages so far, %llu violations\n",
                 g_phase.load() + 1, g_abort.load() ? " cut short by a failed driver call" : "",
                 static_cast<unsigned long long>(g_stats.pages.load()),
                 static_cast<unsigned long long>(violations()));
  }
  if (rest) {
    restart_library();
  }
  return rest;
}

}  // namespace

int main(int argc, char** argv) {
  g_opt = parse(argc, argv);
  tools::on_refused_resource("pvgen-stress", 4);
  const Options& o = g_opt;

  g_actor_count = static_cast<int>(o.threads) + 3;
  g_actors = std::make_unique<Actor[]>(static_cast<size_t>(g_actor_count));
  for (long t = 0; t < o.threads; ++t) {
    g_actors[t].name = "submit" + std::to_string(t);
  }
  g_stopper_actor = static_cast<int>(o.threads);
  g_fault_actor = g_stopper_actor + 1;
  g_main_actor = g_fault_actor + 1;
  g_actors[g_stopper_actor].name = "stopper";
  g_actors[g_fault_actor].name = "faults";
  g_actors[g_main_actor].name = "main";
  g_actors[g_main_actor].tid = gettid();
  t_harness_thread = true;
  g_subs = std::make_unique<Submitter[]>(static_cast<size_t>(o.threads));
  g_run_cap = static_cast<uint64_t>(o.threads) * static_cast<uint64_t>(o.pages);
  g_band_cap = g_run_cap * static_cast<uint64_t>(o.bands);
  g_runs = new RunRec[g_run_cap];
  g_bands = new BandRec[g_band_cap];

  pvgen_sim_reset();
  pvgen_sim_set_band_time_ns(o.band_time_ns);

  std::thread watchdog(watchdog_main);
  const auto begin = Clock::now();
  bool rest = true;
  for (long phase = 0; phase < o.phases && rest; ++phase) {
    g_phase = static_cast<int>(phase);
    const long share = o.pages / o.phases + (phase < o.pages % o.phases ? 1 : 0);
    for (long t = 0; t < o.threads; ++t) {
      g_subs[t].pages_left = share;
    }
    // A failed driver call ends a segment early; the phase goes on after a restart.
    for (uint64_t segment = 0; rest; ++segment) {
      rest = run_segment(static_cast<uint64_t>(phase) << 16 | segment);
      bool left = false;
      for (long t = 0; t < o.threads; ++t) {
        left = left || g_subs[t].pages_left > 0;
      }
      if (!left) {
        break;
      }
      g_stats.restarts.fetch_add(1, std::memory_order_relaxed);
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
  g_watchdog_end = true;
  watchdog.join();

  violation_summary();
  const Stats& s = g_stats;
  const uint64_t bands = s.bands_sync.load() + s.bands_cb.load();
  const uint64_t bad = violations();
  const double rate = elapsed > 0 ? static_cast<double>(bands) / elapsed : 0.0;
  auto u = [](const std::atomic<uint64_t>& v) { return static_cast<unsigned long long>(v); };
  if (o.json) {
    std::printf(
        "{\"bands\":%llu,\"sync\":%llu,\"callback\":%llu,\"callbacks\":%llu,\"refused\":%llu,"
        "\"pages\":%llu,\"early_stops\":%llu,\"stops\":%llu,\"stopper_stops\":%llu,"
        "\"rescue_stops\":%llu,\"faults\":%llu,\"errno_faults\":%llu,\"gate_closes\":%llu,"
        "\"restarts\":%llu,\"listed_rounds\":%llu,\"phases\":%ld,\"elapsed_s\":%.3f,"
        "\"bands_per_s\":%.0f,\"violations\":%llu}\n",
        static_cast<unsigned long long>(bands), u(s.bands_sync), u(s.bands_cb), u(s.callbacks),
        u(s.refused), u(s.pages), u(s.early_stops), u(s.stops), u(s.stopper_stops),
        u(s.rescue_stops), u(s.faults), u(s.errno_faults), u(s.gate_closes), u(s.restarts),
        u(s.listed), o.phases, elapsed, rate, static_cast<unsigned long long>(bad));
  } else {
    std::printf(
        "pvgen-stress: %llu bands (%llu sync, %llu callback), %llu callbacks, %llu pages, "
        "%llu stops (%llu from the stopper), %llu faults injected (%llu failed driver "
        "calls, %llu gate closes), %llu restarts, %llu rounds of listed requests, %ld phases, "
        "%.2f s, %.0f bands/s, %llu violations\n",
        static_cast<unsigned long long>(bands), u(s.bands_sync), u(s.bands_cb), u(s.callbacks),
        u(s.pages), u(s.stops) + u(s.stopper_stops) + u(s.rescue_stops), u(s.stopper_stops),
        u(s.faults) + u(s.gate_closes), u(s.errno_faults), u(s.gate_closes), u(s.restarts),
        u(s.listed), o.phases, elapsed, rate, static_cast<unsigned long long>(bad));
  }
  std::fflush(stdout);
  return bad == 0 ? 0 : 1;
}
