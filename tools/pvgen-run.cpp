// pvgen-run: drives band pages through the library's five C functions and reports every
// band's outcome and a summary. Without /dev/mfp_pvgen it runs itself again with the
// simulated engine (libpvgen_sim.so) preloaded, so it needs no setup on a PC; on the
// controller it drives the real device.
#include <dirent.h>
#include <dlfcn.h>
#include <getopt.h>
#include <limits.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "duration.h"
#include "platform_capture.h"
#include "pvgen_sim.h"  // the simulator's types, for what it reports when it is preloaded
#include "quorl_cnv_pvgen.h"
#include "run_figures.h"
#include "timeline.h"
#include "tool_support.h"

namespace {

const char kDevice[] = "/dev/mfp_pvgen";
const char kSimLib[] = "libpvgen_sim.so";
const char kSimulatedMarker[] = "PVGEN_RUN_SIMULATED";

// Limits that keep a run within the machine: each submitting thread is a system thread,
// and every band leaves a record of its calls (about 100 bytes) for the figures and the
// timeline; a page's bands are all queued at once in callback mode.
constexpr long kMaxThreads = 64;
constexpr long kMaxBandsPerPage = 100000;
constexpr long long kMaxBands = 1LL << 22;  // pages x bands
constexpr long kMaxWatchdog = 86400;

const char kUsage[] =
    "Usage: pvgen-run [OPTIONS]\n"
    "Runs band pages through the PVGEN control library (get_page_id, prepare, page_start,\n"
    "band_exe, stop) and prints each band's outcome and a summary. Without /dev/mfp_pvgen\n"
    "the program runs on the simulated engine (libpvgen_sim.so, found next to this program,\n"
    "in ../sim or in the installed library folder; PVGEN_SIM_LIB overrides), with no setup.\n"
    "\n"
    "Options:\n"
    "  --pages N          pages to run, in all (1..2147483647, default 1)\n"
    "  --bands N          bands per page; also the page's band total (1..100000,\n"
    "                     default 16); --pages x --bands at most 4194304\n"
    "  --mode MODE        sync: each band call waits for its band's outcome;\n"
    "                     callback: all bands of a page are queued at once and their\n"
    "                     outcomes arrive in a callback on the library's worker thread\n"
    "                     (default callback)\n"
    "  --threads N        submitting threads; each runs whole pages, one after the other,\n"
    "                     and its prepares wait until the engine's channel is free\n"
    "                     (1..64, default 1)\n"
    "  --band-time TIME   the simulated engine's time per band: a number with unit ns, us,\n"
    "                     ms or s (no unit: us), at most 1000 s; default: PVGEN_SIM_BAND_TIME,\n"
    "                     else 0. Ignored on the real engine.\n"
    "  --stop-after N     stop each page after N bands (0..100000): in callback mode once N\n"
    "                     bands have been reported (bands still queued are cancelled), in\n"
    "                     sync mode after N bands (the page's other bands are not submitted\n"
    "                     and count as cancelled). Default: no stop, the page ends when\n"
    "                     its band total is reached.\n"
    "  --watchdog SECONDS when no call returns and no callback comes for this long (plus\n"
    "                     two band times), print where every thread waits and exit with\n"
    "                     status 3 (1..86400, 0: no watchdog; default 20)\n"
    "  --quiet            no line per band, only the summary, and no progress line\n"
    "  --json             the summary as one JSON object on one line, and no line per band\n"
    "  --timeline FILE    write what every thread and the engine did: FILE.json is a\n"
    "                     trace-event file (chrome://tracing, Perfetto), FILE.html a page\n"
    "                     that draws it in any browser, with nothing else to fetch. FILE is\n"
    "                     created before the run starts.\n"
    "  -h, --help         this text\n"
    "\n"
    "Output: one line per band as it completes,\n"
    "  page P band B outcome R band_count C\n"
    "(C: bands of the page completed so far, as the library counts them in callback mode\n"
    "and as this program counts them in sync mode), then a summary:\n"
    "  pages: N (failed F)     failed: a prepare, page start or stop failed, or a band\n"
    "                          ended with a negative outcome\n"
    "  bands: N (cancelled C, not run X)\n"
    "  outcome R: N            one line per outcome value seen\n"
    "  wall time: S s\n"
    "  bands per second: R\n"
    "  latency sync: p50 X us, p99 Y us, max Z us (N bands)\n"
    "  latency callback: p50 X us, p99 Y us, max Z us (N bands)\n"
    "  engine: simulated, band time T, ... | device ...   (T: the time the simulated\n"
    "                          engine used, however it was set)\n"
    "(latency: from the band's submission to its outcome: the return of a synchronous call,\n"
    "the entry of the callback). On a terminal, a run longer than a second shows its\n"
    "progress on standard error.\n"
    "Outcomes: 0 done; 1, 2 the engine's completion states; -3 refused; -5 engine failure.\n"
    "Exit status: 0 when every band had outcome 0 or was cancelled by a requested stop,\n"
    "every prepare, page start and stop succeeded and the timeline (if asked for) was\n"
    "written; 1 otherwise, or when the system refused a thread or memory; 2 for a usage\n"
    "error (nothing is run); 3 when the watchdog found the run stalled.\n";

struct Options {
  long pages = 1;
  long bands = 16;
  bool callback = true;
  long threads = 1;
  std::string band_time;
  long stop_after = -1;
  long watchdog = 20;
  bool quiet = false;
  bool json = false;
  std::string timeline;
};

[[noreturn]] void usage_error(const std::string& what) {
  std::fprintf(stderr, "pvgen-run: %s\n(see pvgen-run --help)\n", what.c_str());
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
      {"pages", required_argument, nullptr, 'p'},
      {"bands", required_argument, nullptr, 'b'},
      {"mode", required_argument, nullptr, 'm'},
      {"threads", required_argument, nullptr, 't'},
      {"band-time", required_argument, nullptr, 'T'},
      {"stop-after", required_argument, nullptr, 's'},
      {"quiet", no_argument, nullptr, 'q'},
      {"json", no_argument, nullptr, 'j'},
      {"timeline", required_argument, nullptr, 'L'},
      {"watchdog", required_argument, nullptr, 'w'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  int c;
  opterr = 0;  // one message of this program's own for each mistake
  while ((c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
    switch (c) {
      case 'p':
        o.pages = parse_count(optarg, 1, INT32_MAX, "pages");
        break;
      case 'b':
        o.bands = parse_count(optarg, 1, kMaxBandsPerPage, "bands");
        break;
      case 'm':
        if (std::strcmp(optarg, "sync") != 0 && std::strcmp(optarg, "callback") != 0) {
          usage_error(std::string("bad mode '") + optarg + "'");
        }
        o.callback = std::strcmp(optarg, "callback") == 0;
        break;
      case 't':
        o.threads = parse_count(optarg, 1, kMaxThreads, "threads");
        break;
      case 'T':
        if (parse_time_ns(optarg) < 0) {
          usage_error(std::string("bad band time '") + optarg +
                      "' (a number with unit ns, us, ms or s, at most 1000 s)");
        }
        o.band_time = optarg;
        break;
      case 's':
        o.stop_after = parse_count(optarg, 0, kMaxBandsPerPage, "stop-after");
        break;
      case 'w':
        o.watchdog = parse_count(optarg, 0, kMaxWatchdog, "watchdog");
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'j':
        o.json = true;
        break;
      case 'L': {
        const std::string f = optarg;
        const auto ends = [&f](const char* ext) {
          const size_t n = std::strlen(ext);
          return f.size() > n && f.compare(f.size() - n, n, ext) == 0;
        };
        if (!ends(".json") && !ends(".html")) {
          usage_error("--timeline FILE must end in .json or .html");
        }
        o.timeline = f;
        break;
      }
      case 'h':
        std::fputs(kUsage, stdout);
        std::exit(0);
      case ':':
        usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
      default:
        // A letter of a group of short options, or a long option (unknown, or the start of
        // more than one); getopt leaves optopt as it was for the latter.
        if (optopt != 0 && std::strncmp(argv[optind - 1], "--", 2) != 0) {
          usage_error(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
        }
        usage_error(std::string("unknown or ambiguous option '") + argv[optind - 1] + "'");
    }
  }
  if (optind < argc) {
    usage_error(std::string("unexpected argument '") + argv[optind] + "'");
  }
  if (static_cast<long long>(o.pages) * o.bands > kMaxBands) {
    usage_error("--pages x --bands is " +
                std::to_string(static_cast<long long>(o.pages) * o.bands) + ", above " +
                std::to_string(kMaxBands) + " bands; run several smaller runs");
  }
  return o;
}

// ---------------------------------------------------------------- simulated engine

bool simulator_loaded() {
  return dlsym(RTLD_DEFAULT, "pvgen_sim_reset") != nullptr;
}

bool simulator_requested() {
  const char* marker = std::getenv(kSimulatedMarker);
  const char* preload = std::getenv("LD_PRELOAD");
  return (marker != nullptr && *marker != '\0') ||
         (preload != nullptr && std::strstr(preload, "libpvgen_sim") != nullptr);
}

std::string find_simulator() {
  if (const char* env = std::getenv("PVGEN_SIM_LIB"); env != nullptr && *env != '\0') {
    if (access(env, R_OK) != 0) {
      std::fprintf(stderr, "pvgen-run: no simulator library at $PVGEN_SIM_LIB '%s': %s\n", env,
                   std::strerror(errno));
      std::exit(2);
    }
    char real[PATH_MAX];
    return realpath(env, real) != nullptr ? real : env;
  }
  char self[PATH_MAX];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  if (len > 0) {
    self[len] = '\0';
    std::string dir(self);
    dir.resize(dir.rfind('/'));
    for (const char* rel : {"/", "/../sim/", "/" PVGEN_LIBDIR_FROM_BINDIR "/"}) {
      const std::string candidate = dir + rel + kSimLib;
      char real[PATH_MAX];
      if (access(candidate.c_str(), R_OK) == 0 && realpath(candidate.c_str(), real) != nullptr) {
        return real;
      }
    }
  }
  return "";
}

// Runs this program again with the simulator preloaded; returns only on failure.
void exec_simulated(char** argv, const Options& o) {
  const std::string lib = find_simulator();
  if (lib.empty()) {
    std::fprintf(stderr, "pvgen-run: no %s and no %s to simulate it (set PVGEN_SIM_LIB)\n", kDevice,
                 kSimLib);
    std::exit(2);
  }
  const char* old = std::getenv("LD_PRELOAD");
  const std::string preload = (old != nullptr && *old != '\0') ? lib + ":" + old : lib;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv(kSimulatedMarker, lib.c_str(), 1);  // also names the library if it does not load
  if (!o.band_time.empty()) {
    setenv("PVGEN_SIM_BAND_TIME", o.band_time.c_str(), 1);
  }
#if defined(PVGEN_ASAN)
  // An AddressSanitizer build's simulator needs the sanitizer's runtime, which then no longer
  // comes first among the initial libraries; that order does not matter here.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string options = std::string(asan != nullptr ? asan : "") +
                              (asan != nullptr && *asan != '\0' ? ":" : "") +
                              "verify_asan_link_order=0";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
#endif
  // The program's own file, by its path: executed through /proc/self/exe, the process would
  // be listed as "exe".
  char self[PATH_MAX];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  if (len > 0) {
    self[len] = '\0';
    execv(self, argv);
  }
  execv("/proc/self/exe", argv);
  std::fprintf(stderr, "pvgen-run: cannot run itself again: %s\n", std::strerror(errno));
  std::exit(2);
}

// ---------------------------------------------------------------- the run

uint64_t now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// What a submitting thread is doing, for the watchdog's report.
enum class Doing : int {
  kIdle,
  kGetPageId,
  kPrepare,
  kPageStart,
  kBandSync,
  kBandCallback,
  kAwaitCallbacks,
  kStop,
  kDone,
};

const char* doing_name(Doing d) {
  switch (d) {
    case Doing::kIdle:
      return "between calls";
    case Doing::kGetPageId:
      return "get_page_id";
    case Doing::kPrepare:
      return "prepare";
    case Doing::kPageStart:
      return "page_start";
    case Doing::kBandSync:
      return "band_exe (sync)";
    case Doing::kBandCallback:
      return "band_exe (callback)";
    case Doing::kAwaitCallbacks:
      return "waiting for callbacks";
    case Doing::kStop:
      return "stop";
    case Doing::kDone:
      return "done";
  }
  return "?";
}

// One submitting thread as the watchdog sees it; written by the thread, read by the
// watchdog without a lock.
struct Submitter {
  std::string name;
  std::atomic<pid_t> tid{0};
  std::atomic<int> doing{static_cast<int>(Doing::kIdle)};
  std::atomic<uint64_t> since_ns{0};
  std::atomic<int32_t> page{0};
  std::atomic<long> band{0};
};

// What the submitting threads and the callback share, all under `mutex` (`progress` and
// `activity` are read without it).
struct Run {
  std::mutex mutex;
  std::condition_variable changed;
  // Pages with callback bands in flight: bands reported so far, and whether one failed.
  struct Page {
    long reported = 0;
    bool failed = false;
  };
  std::map<int32_t, Page> pages;
  std::map<int32_t, long> outcomes;  // outcome value -> bands
  long completed = 0;
  long cancelled = 0;
  long not_run = 0;
  long failed_pages = 0;
  bool quiet = false;
  // Every call and callback, with times: latency figures and the timeline.
  std::vector<timeline::Call> calls;
  std::vector<timeline::Report> reports;
  figures::Progress progress;
  // Counts every return of a call and every callback: the watchdog's sign of life.
  std::atomic<uint64_t> activity{0};
  // Set when the system refused memory to a submitting thread: the others take no new page.
  std::atomic<bool> abandoned{false};

  // `returned`: taken before the lock, so that waiting for it does not count.
  void call(timeline::CallKind kind, int32_t page, long band, bool cb, uint64_t begin,
            uint64_t returned, int rc) {
    calls.push_back({kind, page, band, cb, pthread_self(), begin, returned, rc});
  }

  void band_done(int32_t page, long band, int32_t outcome, long band_count) {
    ++outcomes[outcome];
    ++completed;
    progress.bands_done.fetch_add(1, std::memory_order_relaxed);
    if (!quiet) {
      std::printf("page %d band %ld outcome %d band_count %ld\n", static_cast<int>(page), band,
                  static_cast<int>(outcome), band_count);
    }
  }
};

Run* g_run = nullptr;
thread_local Submitter* t_me = nullptr;

// Notes what the calling submitter is about to do (Doing::kIdle: it has returned).
void doing(Doing d, int32_t page = 0, long band = 0) {
  if (d == Doing::kIdle || d == Doing::kDone) {
    g_run->activity.fetch_add(1, std::memory_order_relaxed);
  }
  if (t_me == nullptr) {
    return;
  }
  t_me->page.store(page, std::memory_order_relaxed);
  t_me->band.store(band, std::memory_order_relaxed);
  t_me->since_ns.store(now_ns(), std::memory_order_relaxed);
  t_me->doing.store(static_cast<int>(d), std::memory_order_relaxed);
}

void band_callback(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  const uint64_t entered = now_ns();
  Run& run = *g_run;
  run.activity.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    auto it = run.pages.find(info->page_id);
    if (it == run.pages.end()) {
      return;  // a page this run has already given up
    }
    ++it->second.reported;
    it->second.failed = it->second.failed || info->result < 0;
    run.band_done(info->page_id, static_cast<long>(info->job_id), info->result, info->band_count);
    run.reports.push_back({info->page_id, static_cast<long>(info->job_id), info->result,
                           pthread_self(), entered, now_ns()});
  }
  run.changed.notify_all();
}

QUORL_CNV_PVGEN_BLK page_block(int32_t page_id, long bands) {
  QUORL_CNV_PVGEN_BLK blk;
  std::memset(&blk, 0, sizeof blk);
  blk.page_id = page_id;
  blk.asic = 1;
  blk.module = 1;
  blk.channel = 1;
  blk.mode = 1;
  blk.variant = 1;
  blk.type = 2;
  blk.src[0] = {0x5000, 0, 0};
  blk.dst[0] = {0x6000, 0, 0};
  blk.band_total = static_cast<uint32_t>(bands);
  blk.wait_for_channel = 1;
  return blk;
}

void call_failed(const char* step, int32_t page, int rc) {
  std::fprintf(stderr, "pvgen-run: page %d: %s failed with %d\n", static_cast<int>(page), step, rc);
}

// Stops the page and notes the call.
int stop_page(Run& run, QUORL_CNV_PVGEN_BLK& blk) {
  doing(Doing::kStop, blk.page_id);
  const uint64_t begin = now_ns();
  const int rc = Quorl_cnv_pvgen_stop(&blk);
  const uint64_t returned = now_ns();
  doing(Doing::kIdle);
  std::lock_guard<std::mutex> lock(run.mutex);
  run.call(timeline::CallKind::kStop, blk.page_id, 0, false, begin, returned, rc);
  return rc;
}

// Runs one page; returns false when it failed: a prepare, page start or stop failed, or a
// band ended with a negative outcome.
bool run_page_bands(Run& run, const Options& o);

void run_page(Run& run, const Options& o) {
  if (!run_page_bands(run, o)) {
    std::lock_guard<std::mutex> lock(run.mutex);
    ++run.failed_pages;
  }
  run.progress.pages_done.fetch_add(1, std::memory_order_relaxed);
}

bool run_page_bands(Run& run, const Options& o) {
  doing(Doing::kGetPageId);
  const int32_t page = Quorl_cnv_pvgen_get_page_id();
  doing(Doing::kPrepare, page);
  QUORL_CNV_PVGEN_BLK blk = page_block(page, o.bands);
  uint64_t begin = now_ns();
  int rc = Quorl_cnv_pvgen_prepare(&blk);
  uint64_t returned = now_ns();
  doing(Doing::kIdle);
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    run.call(timeline::CallKind::kPrepare, page, 0, false, begin, returned, rc);
  }
  if (rc != 0) {
    call_failed("prepare", page, rc);
    std::lock_guard<std::mutex> lock(run.mutex);
    run.not_run += o.bands;
    return false;
  }
  doing(Doing::kPageStart, page);
  begin = now_ns();
  rc = Quorl_cnv_pvgen_page_start(&blk, nullptr);
  returned = now_ns();
  doing(Doing::kIdle);
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    run.call(timeline::CallKind::kPageStart, page, 0, false, begin, returned, rc);
  }
  if (rc != 0) {
    call_failed("page start", page, rc);
    (void)stop_page(run, blk);  // lets go of the channel
    std::lock_guard<std::mutex> lock(run.mutex);
    run.not_run += o.bands;
    return false;
  }
  const bool stop_requested = o.stop_after >= 0 && o.stop_after < o.bands;
  long settled = 0;  // bands with an outcome, or given up
  bool ok = true;

  if (o.callback) {
    {
      std::lock_guard<std::mutex> lock(run.mutex);
      run.pages[page] = Run::Page{};
    }
    long refused = 0;
    const long submit = (stop_requested && o.stop_after == 0) ? 0 : o.bands;
    for (long k = 1; k <= submit; ++k) {
      blk.job_id = static_cast<uint32_t>(k);
      doing(Doing::kBandCallback, page, k);
      begin = now_ns();
      rc = Quorl_cnv_pvgen_band_exe(&blk, band_callback);
      returned = now_ns();
      doing(Doing::kIdle);
      std::lock_guard<std::mutex> lock(run.mutex);
      run.call(timeline::CallKind::kBand, page, k, true, begin, returned, rc);
      if (rc != 0) {
        ++refused;
        ok = ok && rc > 0;
        run.band_done(page, k, rc, 0);
      }
    }
    // Wait for every band, for the requested number, or for a failure (which ends the page
    // and leaves its queued bands without a channel).
    doing(Doing::kAwaitCallbacks, page);
    std::unique_lock<std::mutex> lock(run.mutex);
    run.changed.wait(lock, [&] {
      const Run::Page& p = run.pages[page];
      return p.reported + refused >= submit || p.failed ||
             (stop_requested && p.reported >= o.stop_after);
    });
    const Run::Page p = run.pages[page];
    lock.unlock();
    doing(Doing::kIdle);
    settled = p.reported + refused;
    if (settled < o.bands) {
      rc = stop_page(run, blk);  // cancels what is still queued
      if (rc != 0) {
        call_failed("stop", page, rc);
        ok = false;
      }
    }
    lock.lock();
    // Reports that arrived before the stop took effect count as completed.
    settled = run.pages[page].reported + refused;
    ok = ok && !run.pages[page].failed;
    run.pages.erase(page);
    if (stop_requested && !p.failed) {
      run.cancelled += o.bands - settled;
    } else {
      run.not_run += o.bands - settled;
    }
    return ok;
  }

  const long submit = stop_requested ? o.stop_after : o.bands;
  for (long k = 1; k <= submit; ++k) {
    blk.job_id = static_cast<uint32_t>(k);
    doing(Doing::kBandSync, page, k);
    begin = now_ns();
    rc = Quorl_cnv_pvgen_band_exe(&blk, nullptr);
    returned = now_ns();
    doing(Doing::kIdle);
    std::lock_guard<std::mutex> lock(run.mutex);
    run.call(timeline::CallKind::kBand, page, k, false, begin, returned, rc);
    run.band_done(page, k, rc, k);
    ++settled;
    if (rc < 0) {
      ok = false;
      break;  // the page has ended
    }
  }
  if (stop_requested || settled < submit) {
    rc = stop_page(run, blk);
    if (rc != 0) {
      call_failed("stop", page, rc);
      ok = false;
    }
  }
  std::lock_guard<std::mutex> lock(run.mutex);
  run.cancelled += o.bands - submit;
  run.not_run += submit - settled;
  return ok;
}

// ---------------------------------------------------------------- watchdog

template <typename F>
F* sim_function(const char* name) {
  return reinterpret_cast<F*>(dlsym(RTLD_DEFAULT, name));
}

[[noreturn]] void stall_report(const std::vector<std::unique_ptr<Submitter>>& submitters,
                               long started, double quiet_s, bool simulated) {
  std::fflush(stdout);
  std::fprintf(stderr,
               "\npvgen-run: STALL: no call returned and no callback came for %.1f s; where "
               "each submitting thread waits:\n",
               quiet_s);
  const uint64_t now = now_ns();
  for (long k = 0; k < started; ++k) {
    const Submitter* s = submitters[static_cast<size_t>(k)].get();
    const auto d = static_cast<Doing>(s->doing.load());
    const double in_s =
        d == Doing::kDone ? 0.0 : static_cast<double>(now - s->since_ns.load()) * 1e-9;
    std::fprintf(stderr, "  %-16s tid %-7d %-22s for %8.3f s", s->name.c_str(),
                 static_cast<int>(s->tid.load()), doing_name(d), in_s);
    if (s->page.load() != 0) {
      std::fprintf(stderr, "  page %d", static_cast<int>(s->page.load()));
    }
    if (s->band.load() != 0) {
      std::fprintf(stderr, " band %ld", s->band.load());
    }
    std::fprintf(stderr, "\n");
  }
  std::fprintf(stderr, "bands with an outcome: %ld of %ld; pages done: %ld of %ld\n",
               g_run->progress.bands_done.load(), g_run->progress.bands_total,
               g_run->progress.pages_done.load(), g_run->progress.pages_total);
  if (simulated) {
    if (auto get = sim_function<void(pvgen_sim_stats*)>("pvgen_sim_get_stats")) {
      pvgen_sim_stats s{};
      get(&s);
      std::fprintf(stderr,
                   "simulated engine: blocked waits %u, reports held %u, requests "
                   "start/band/wait/stop %llu/%llu/%llu/%llu, reports %llu, waits answered "
                   "'not yet' %llu, faults %llu\n",
                   s.blocked_waiters, s.pending_reports,
                   static_cast<unsigned long long>(s.requests[PVGEN_SIM_PAGE_START]),
                   static_cast<unsigned long long>(s.requests[PVGEN_SIM_BAND]),
                   static_cast<unsigned long long>(s.requests[PVGEN_SIM_WAIT]),
                   static_cast<unsigned long long>(s.requests[PVGEN_SIM_STOP]),
                   static_cast<unsigned long long>(s.reports),
                   static_cast<unsigned long long>(s.again),
                   static_cast<unsigned long long>(s.faults));
    }
  }
  tools::print_threads();
  std::fflush(stderr);
  _exit(3);
}

// Watches the run's sign of life until `end` is set; a run quiet for `limit_ns` ends in a
// report and exit status 3.
void watchdog_main(const std::vector<std::unique_ptr<Submitter>>& submitters,
                   const std::atomic<long>& started, uint64_t limit_ns, bool simulated,
                   const std::atomic<bool>& end) {
  pthread_setname_np(pthread_self(), "pvgen-watchdog");
  uint64_t last = g_run->activity.load();
  uint64_t last_change = now_ns();
  while (!end.load()) {
    usleep(50000);
    const uint64_t now = now_ns();
    const uint64_t a = g_run->activity.load();
    if (a != last) {
      last = a;
      last_change = now;
    } else if (now - last_change >= limit_ns) {
      stall_report(submitters, started.load(), static_cast<double>(now - last_change) * 1e-9,
                   simulated);
    }
  }
}

// ---------------------------------------------------------------- figures and timeline

struct Latencies {
  figures::Latency sync;
  figures::Latency callback;
};

// Submission to outcome: a synchronous call's duration; a callback band's call start to the
// callback's entry.
Latencies latencies(const Run& run) {
  std::vector<uint64_t> sync;
  std::map<std::pair<int32_t, long>, uint64_t> submitted;
  for (const timeline::Call& c : run.calls) {
    if (c.kind != timeline::CallKind::kBand) {
      continue;
    }
    if (!c.callback) {
      sync.push_back(c.end_ns - c.begin_ns);
    } else if (c.result == 0) {
      submitted[{c.page, c.band}] = c.begin_ns;
    }
  }
  std::vector<uint64_t> callback;
  for (const timeline::Report& r : run.reports) {
    if (auto it = submitted.find({r.page, r.band}); it != submitted.end()) {
      callback.push_back(r.begin_ns > it->second ? r.begin_ns - it->second : 0);
    }
  }
  return {figures::latency_of(std::move(sync)), figures::latency_of(std::move(callback))};
}

void print_latency(const char* kind, const figures::Latency& l) {
  if (l.count == 0) {
    std::printf("latency %s: no bands\n", kind);
    return;
  }
  std::printf("latency %s: p50 %.1f us, p99 %.1f us, max %.1f us (%zu bands)\n", kind, l.p50_us,
              l.p99_us, l.max_us, l.count);
}

// The simulator keeps this many entries of each log at most during a timeline run (each
// entry holds a command block of about 2 KiB); longer runs show their latest part.
constexpr size_t kTimelineLogLimit = 1 << 16;

// Turns on what the timeline is made of: every trace point, and simulator logs long enough
// for the whole run.
void begin_timeline(const Options& o, bool simulated) {
  const long long bands = static_cast<long long>(o.pages) * o.bands;
  const size_t points = static_cast<size_t>(std::min<long long>(bands * 12 + 64, 1 << 22));
  if (platform::trace_ring_reserve(points) < points) {
    std::fprintf(stderr, "pvgen-run: timeline: no memory to keep every trace point\n");
  }
  platform::trace_points_clear();
  if (simulated) {
    if (auto set = sim_function<void(size_t)>("pvgen_sim_set_log_limit")) {
      set(static_cast<size_t>(
          std::min<long long>(2 * (bands + 2LL * o.pages) + 64, kTimelineLogLimit)));
    }
  }
}

// Builds and writes the timeline; returns false when the file could not be written.
bool end_timeline(const Options& o, bool simulated, uint64_t band_time_ns, const Run& run,
                  std::vector<timeline::NamedThread> submitters, size_t& engine_slices) {
  timeline::Input in;
  in.points = platform::trace_points();
  in.threads = std::move(submitters);
  for (const platform::StartedThread& t : platform::started_threads()) {
    in.threads.push_back({t.thread, t.name});
  }
  in.calls = run.calls;
  in.reports = run.reports;
  in.band_time_ns = band_time_ns;
  if (simulated) {
    auto count_commands = sim_function<size_t()>("pvgen_sim_command_count");
    auto get_command = sim_function<int(size_t, pvgen_sim_command*)>("pvgen_sim_command_get");
    auto count_answers = sim_function<size_t()>("pvgen_sim_answer_count");
    auto get_answer = sim_function<int(size_t, pvgen_sim_answer*)>("pvgen_sim_answer_get");
    if (count_commands && get_command && count_answers && get_answer) {
      bool dropped = false;  // the oldest entries are gone (log limit)
      for (size_t i = 0, n = count_commands(); i < n; ++i) {
        pvgen_sim_command c;
        if (get_command(i, &c) == 0) {
          in.commands.push_back(c);
        } else {
          dropped = true;
        }
      }
      for (size_t i = 0, n = count_answers(); i < n; ++i) {
        pvgen_sim_answer a;
        if (get_answer(i, &a) == 0) {
          in.answers.push_back(a);
        } else {
          dropped = true;
        }
      }
      if (dropped) {
        // From the later of the two logs' oldest entries on, both are complete.
        in.engine_log_begin_ns = std::max(in.commands.empty() ? 0 : in.commands.front().time_ns,
                                          in.answers.empty() ? 0 : in.answers.front().time_ns);
        in.engine_log_begin_ns = std::max<uint64_t>(in.engine_log_begin_ns, 1);
      }
    }
  }
  const timeline::Model m = timeline::build(in);
  const bool html =
      o.timeline.size() >= 5 && o.timeline.compare(o.timeline.size() - 5, 5, ".html") == 0;
  const std::string text =
      html ? timeline::to_html(m, getpid()) : timeline::to_trace_json(m, getpid());
  FILE* out = std::fopen(o.timeline.c_str(), "wb");
  bool ok = out != nullptr && std::fwrite(text.data(), 1, text.size(), out) == text.size();
  const int err = errno;
  ok = out != nullptr && std::fclose(out) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "pvgen-run: cannot write the timeline to '%s': %s\n", o.timeline.c_str(),
                 std::strerror(out == nullptr || err != 0 ? err : errno));
    return false;
  }
  engine_slices = m.engine_slices;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  tools::on_refused_resource("pvgen-run", 1);
  if (!o.timeline.empty()) {
    // Created now, so that a path that cannot be written is known before the run.
    FILE* f = std::fopen(o.timeline.c_str(), "w");
    if (f == nullptr) {
      std::fprintf(stderr, "pvgen-run: cannot write the timeline to '%s': %s\n", o.timeline.c_str(),
                   std::strerror(errno));
      return 2;
    }
    std::fclose(f);
  }
  const bool device = access(kDevice, F_OK) == 0;
  if (!device && !simulator_requested()) {
    exec_simulated(argv, o);
  }
  const bool simulated = simulator_loaded();
  if (const char* marker = std::getenv(kSimulatedMarker);
      !simulated && marker != nullptr && *marker != '\0') {
    std::fprintf(stderr,
                 "pvgen-run: the simulator library %s was not loaded, or is not the "
                 "simulator; nothing was run\n",
                 std::strcmp(marker, "1") == 0 ? kSimLib : marker);
    return 2;
  }
  uint64_t band_time_ns = 0;  // the simulated engine's, as it is in force
  if (simulated) {
    if (!o.band_time.empty()) {
      // Also when the simulator was preloaded by someone else, after it read its environment.
      if (auto set = sim_function<void(uint64_t)>("pvgen_sim_set_band_time_ns")) {
        set(static_cast<uint64_t>(parse_time_ns(o.band_time)));
      }
    }
    if (auto get = sim_function<uint64_t()>("pvgen_sim_band_time_ns")) {
      band_time_ns = get();
    }
  } else if (!o.band_time.empty()) {
    std::fprintf(stderr, "pvgen-run: --band-time is ignored on the real engine\n");
  }

  // The callback may still be entered for a page this run gave up on; the run's record
  // therefore lives as long as the process.
  g_run = new Run;
  Run& run = *g_run;
  run.quiet = o.quiet || o.json;
  run.progress.pages_total = o.pages;
  run.progress.bands_total = o.pages * o.bands;
  run.calls.reserve(static_cast<size_t>(
      std::min<long long>(static_cast<long long>(o.pages) * (o.bands + 3), 1 << 20)));
  if (!o.timeline.empty()) {
    begin_timeline(o, simulated);
  }
  figures::ProgressLine progress(run.progress, stderr, !o.quiet && figures::is_terminal(2));
  std::atomic<long> next_page{0};
  const auto begin = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  // Every submitter's record exists before the watchdog starts; it looks at the first
  // `started` of them.
  std::vector<std::unique_ptr<Submitter>> watched;
  for (long t = 0; t < o.threads; ++t) {
    watched.push_back(std::make_unique<Submitter>());
    watched.back()->name = "pvgen-submit-" + std::to_string(t + 1);
  }
  std::atomic<long> started{0};
  // The watchdog first: when the system runs short of threads or memory, a run whose
  // threads were partly refused is watched as well.
  std::atomic<bool> watchdog_end{false};
  std::thread watchdog;
  if (o.watchdog > 0) {
    // A band may take the engine's whole band time before anything returns.
    const uint64_t allowance = std::min<uint64_t>(band_time_ns, uint64_t{1} << 60);
    const uint64_t limit_ns = static_cast<uint64_t>(o.watchdog) * 1000000000u + 2 * allowance;
    try {
      watchdog = std::thread(watchdog_main, std::cref(watched), std::cref(started), limit_ns,
                             simulated, std::cref(watchdog_end));
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "pvgen-run: the system refused the watchdog's thread (%s)\n",
                   e.code().message().c_str());
    }
  }
  std::vector<timeline::NamedThread> submitters;
  for (long t = 0; t < o.threads; ++t) {
    Submitter* me = watched[static_cast<size_t>(t)].get();
    try {
      threads.emplace_back([&run, &o, &next_page, me] {
        t_me = me;
        me->tid.store(gettid());
        try {
          while (!run.abandoned.load() && next_page.fetch_add(1) < o.pages) {
            run_page(run, o);
          }
        } catch (const std::bad_alloc&) {
          std::fprintf(stderr, "pvgen-run: %s: out of memory; the run ends\n", me->name.c_str());
          run.abandoned = true;
        }
        doing(Doing::kDone);
      });
    } catch (const std::system_error& e) {
      std::fprintf(stderr,
                   "pvgen-run: the system refused submitting thread %ld of %ld (%s); the run "
                   "ends\n",
                   t + 1, o.threads, e.code().message().c_str());
      run.abandoned = true;
      break;
    }
    started.store(t + 1);
    pthread_setname_np(threads.back().native_handle(), me->name.c_str());
    submitters.push_back({threads.back().native_handle(), me->name});
  }
  for (auto& th : threads) {
    th.join();
  }
  watchdog_end = true;
  if (watchdog.joinable()) {
    watchdog.join();
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  progress.stop();
  if (run.abandoned.load()) {
    std::fflush(stdout);
    std::fprintf(stderr, "pvgen-run: %ld of %ld pages done when the run ended\n",
                 run.progress.pages_done.load(), o.pages);
    return 1;
  }

  std::lock_guard<std::mutex> lock(run.mutex);
  size_t engine_slices = 0;
  const bool written = o.timeline.empty() || end_timeline(o, simulated, band_time_ns, run,
                                                          std::move(submitters), engine_slices);
  bool all_ok = written && run.failed_pages == 0 && run.not_run == 0;
  for (const auto& [outcome, count] : run.outcomes) {
    all_ok = all_ok && outcome == 0;
  }
  const Latencies lat = latencies(run);
  pvgen_sim_stats s{};
  if (simulated) {
    if (auto get = sim_function<void(pvgen_sim_stats*)>("pvgen_sim_get_stats")) {
      get(&s);
    }
  }
  const uint64_t span =
      s.last_completion_ns > s.first_band_ns ? s.last_completion_ns - s.first_band_ns : 0;
  const double utilisation =
      span > 0 ? 100.0 * static_cast<double>(s.busy_ns) / static_cast<double>(span) : 0.0;
  const double rate = wall > 0 ? static_cast<double>(run.completed) / wall : 0.0;

  if (o.json) {
    figures::JsonObject outcomes;
    for (const auto& [outcome, count] : run.outcomes) {
      outcomes.integer(std::to_string(outcome), count);
    }
    figures::JsonObject engine;
    if (simulated) {
      engine.text("kind", "simulated")
          .integer("band_time_ns", static_cast<long long>(band_time_ns))
          .integer("bands_run", static_cast<long long>(s.bands_run))
          .number("utilisation_percent", utilisation);
    } else {
      engine.text("kind", "device").text("device", kDevice);
    }
    figures::JsonObject summary;
    summary.integer("pages", o.pages)
        .integer("failed_pages", run.failed_pages)
        .integer("bands", run.completed)
        .integer("cancelled", run.cancelled)
        .integer("not_run", run.not_run)
        .object("outcomes", outcomes)
        .number("wall_time_s", wall)
        .number("bands_per_second", rate)
        .object("latency_sync", figures::to_json(lat.sync))
        .object("latency_callback", figures::to_json(lat.callback))
        .object("engine", engine);
    if (!o.timeline.empty()) {
      summary.text("timeline", o.timeline)
          .integer("timeline_engine_slices", static_cast<long long>(engine_slices));
    }
    summary.text("status", all_ok ? "ok" : "failed");
    std::printf("%s\n", summary.str().c_str());
    std::fflush(stdout);
    return all_ok ? 0 : 1;
  }

  std::printf("pages: %ld (failed %ld)\n", o.pages, run.failed_pages);
  std::printf("bands: %ld (cancelled %ld, not run %ld)\n", run.completed, run.cancelled,
              run.not_run);
  for (const auto& [outcome, count] : run.outcomes) {
    std::printf("outcome %d: %ld\n", static_cast<int>(outcome), count);
  }
  std::printf("wall time: %.6f s\n", wall);
  std::printf("bands per second: %.1f\n", rate);
  print_latency("sync", lat.sync);
  print_latency("callback", lat.callback);
  if (simulated) {
    std::printf("engine: simulated, band time %s, bands run %llu, utilisation %.1f%%\n",
                figures::duration_text(band_time_ns).c_str(),
                static_cast<unsigned long long>(s.bands_run), utilisation);
  } else {
    std::printf("engine: device %s\n", kDevice);
  }
  if (!o.timeline.empty() && written) {
    std::printf("timeline: %s (%zu engine slices)\n", o.timeline.c_str(), engine_slices);
  } else if (!o.timeline.empty()) {
    std::printf("timeline: %s not written\n", o.timeline.c_str());
  }
  std::fflush(stdout);
  return all_ok ? 0 : 1;
}
