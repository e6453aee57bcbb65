// pvgen-run: drives band pages through the library's five C functions and reports every
// band's outcome and a summary. Without /dev/mfp_pvgen it runs itself again with the
// simulated engine (libpvgen_sim.so) preloaded, so it needs no setup on a PC; on the
// controller it drives the real device.
#include <dlfcn.h>
#include <getopt.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "duration.h"
#include "pvgen_sim.h"  // the simulator's types, for what it reports when it is preloaded
#include "quorl_cnv_pvgen.h"

namespace {

const char kDevice[] = "/dev/mfp_pvgen";
const char kSimLib[] = "libpvgen_sim.so";
const char kSimulatedMarker[] = "PVGEN_RUN_SIMULATED";

const char kUsage[] =
    "Usage: pvgen-run [OPTIONS]\n"
    "Runs band pages through the PVGEN control library (get_page_id, prepare, page_start,\n"
    "band_exe, stop) and prints each band's outcome and a summary. Without /dev/mfp_pvgen\n"
    "the program runs on the simulated engine (libpvgen_sim.so, found next to this program,\n"
    "in ../sim or in the installed library folder; PVGEN_SIM_LIB overrides), with no setup.\n"
    "\n"
    "Options:\n"
    "  --pages N          pages to run, in all (default 1)\n"
    "  --bands N          bands per page; also the page's band total (default 16)\n"
    "  --mode MODE        sync: each band call waits for its band's outcome;\n"
    "                     callback: all bands of a page are queued at once and their\n"
    "                     outcomes arrive in a callback on the library's worker thread\n"
    "                     (default callback)\n"
    "  --threads N        submitting threads; each runs whole pages, one after the other,\n"
    "                     and its prepares wait until the engine's channel is free\n"
    "                     (default 1)\n"
    "  --band-time TIME   the simulated engine's time per band: a number with unit ns, us,\n"
    "                     ms or s (no unit: us); default 0. Ignored on the real engine.\n"
    "  --stop-after N     stop each page after N bands: in callback mode once N bands\n"
    "                     have been reported (bands still queued are cancelled), in sync\n"
    "                     mode after N bands (the page's other bands are not submitted\n"
    "                     and count as cancelled). Default: no stop, the page ends when\n"
    "                     its band total is reached.\n"
    "  --quiet            no line per band, only the summary\n"
    "  --help             this text\n"
    "\n"
    "Output: one line per band as it completes,\n"
    "  page P band B outcome R band_count C\n"
    "(C: bands of the page completed so far, as the library counts them in callback mode\n"
    "and as this program counts them in sync mode), then a summary:\n"
    "  pages: N (failed F)\n"
    "  bands: N (cancelled C, not run X)\n"
    "  outcome R: N            one line per outcome value seen\n"
    "  wall time: S s\n"
    "  bands per second: R\n"
    "  engine: simulated|device ...\n"
    "Outcomes: 0 done; 1, 2 the engine's completion states; -3 refused; -5 engine failure.\n"
    "Exit status: 0 when every band had outcome 0 or was cancelled by a requested stop and\n"
    "every prepare, page start and stop succeeded; 1 otherwise; 2 for a usage error.\n";

struct Options {
  long pages = 1;
  long bands = 16;
  bool callback = true;
  long threads = 1;
  std::string band_time;
  long stop_after = -1;
  bool quiet = false;
};

[[noreturn]] void usage_error(const std::string& what) {
  std::fprintf(stderr, "pvgen-run: %s\n(see pvgen-run --help)\n", what.c_str());
  std::exit(2);
}

long parse_count(const char* text, long min, const char* option) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min || v > INT32_MAX) {
    usage_error(std::string("bad value '") + text + "' for --" + option);
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
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  int c;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    switch (c) {
      case 'p':
        o.pages = parse_count(optarg, 1, "pages");
        break;
      case 'b':
        o.bands = parse_count(optarg, 1, "bands");
        break;
      case 'm':
        if (std::strcmp(optarg, "sync") != 0 && std::strcmp(optarg, "callback") != 0) {
          usage_error(std::string("bad mode '") + optarg + "'");
        }
        o.callback = std::strcmp(optarg, "callback") == 0;
        break;
      case 't':
        o.threads = parse_count(optarg, 1, "threads");
        break;
      case 'T':
        if (parse_time_ns(optarg) < 0) {
          usage_error(std::string("bad band time '") + optarg + "'");
        }
        o.band_time = optarg;
        break;
      case 's':
        o.stop_after = parse_count(optarg, 0, "stop-after");
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        std::exit(0);
      default:
        usage_error("unknown option");
    }
  }
  if (optind < argc) {
    usage_error(std::string("unexpected argument '") + argv[optind] + "'");
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
    return env;
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
  setenv(kSimulatedMarker, "1", 1);
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
  execv("/proc/self/exe", argv);
  std::fprintf(stderr, "pvgen-run: cannot run itself again: %s\n", std::strerror(errno));
  std::exit(2);
}

// ---------------------------------------------------------------- the run

// What the submitting threads and the callback share, all under `mutex`.
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

  void band_done(int32_t page, long band, int32_t outcome, long band_count) {
    ++outcomes[outcome];
    ++completed;
    if (!quiet) {
      std::printf("page %d band %ld outcome %d band_count %ld\n", static_cast<int>(page), band,
                  static_cast<int>(outcome), band_count);
    }
  }
};

Run* g_run = nullptr;

void band_callback(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  Run& run = *g_run;
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    auto it = run.pages.find(info->page_id);
    if (it == run.pages.end()) {
      return;  // a page this run has already given up
    }
    ++it->second.reported;
    it->second.failed = it->second.failed || info->result < 0;
    run.band_done(info->page_id, static_cast<long>(info->job_id), info->result, info->band_count);
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

void page_failed(Run& run, const char* step, int32_t page, int rc) {
  std::lock_guard<std::mutex> lock(run.mutex);
  ++run.failed_pages;
  std::fprintf(stderr, "pvgen-run: page %d: %s failed with %d\n", static_cast<int>(page), step, rc);
}

void run_page(Run& run, const Options& o) {
  const int32_t page = Quorl_cnv_pvgen_get_page_id();
  QUORL_CNV_PVGEN_BLK blk = page_block(page, o.bands);
  int rc = Quorl_cnv_pvgen_prepare(&blk);
  if (rc != 0) {
    page_failed(run, "prepare", page, rc);
    std::lock_guard<std::mutex> lock(run.mutex);
    run.not_run += o.bands;
    return;
  }
  rc = Quorl_cnv_pvgen_page_start(&blk, nullptr);
  if (rc != 0) {
    page_failed(run, "page start", page, rc);
    (void)Quorl_cnv_pvgen_stop(&blk);  // lets go of the channel
    std::lock_guard<std::mutex> lock(run.mutex);
    run.not_run += o.bands;
    return;
  }
  const bool stop_requested = o.stop_after >= 0 && o.stop_after < o.bands;
  long settled = 0;  // bands with an outcome, or given up

  if (o.callback) {
    {
      std::lock_guard<std::mutex> lock(run.mutex);
      run.pages[page] = Run::Page{};
    }
    long refused = 0;
    const long submit = (stop_requested && o.stop_after == 0) ? 0 : o.bands;
    for (long k = 1; k <= submit; ++k) {
      blk.job_id = static_cast<uint32_t>(k);
      rc = Quorl_cnv_pvgen_band_exe(&blk, band_callback);
      if (rc != 0) {
        std::lock_guard<std::mutex> lock(run.mutex);
        ++refused;
        run.band_done(page, k, rc, 0);
      }
    }
    // Wait for every band, for the requested number, or for a failure (which ends the page
    // and leaves its queued bands without a channel).
    std::unique_lock<std::mutex> lock(run.mutex);
    run.changed.wait(lock, [&] {
      const Run::Page& p = run.pages[page];
      return p.reported + refused >= submit || p.failed ||
             (stop_requested && p.reported >= o.stop_after);
    });
    const Run::Page p = run.pages[page];
    lock.unlock();
    settled = p.reported + refused;
    if (settled < o.bands) {
      rc = Quorl_cnv_pvgen_stop(&blk);  // cancels what is still queued
      if (rc != 0) {
        page_failed(run, "stop", page, rc);
      }
    }
    lock.lock();
    // Reports that arrived before the stop took effect count as completed.
    settled = run.pages[page].reported + refused;
    run.pages.erase(page);
    if (stop_requested && !p.failed) {
      run.cancelled += o.bands - settled;
    } else {
      run.not_run += o.bands - settled;
    }
    return;
  }

  const long submit = stop_requested ? o.stop_after : o.bands;
  for (long k = 1; k <= submit; ++k) {
    blk.job_id = static_cast<uint32_t>(k);
    rc = Quorl_cnv_pvgen_band_exe(&blk, nullptr);
    std::lock_guard<std::mutex> lock(run.mutex);
    run.band_done(page, k, rc, k);
    ++settled;
    if (rc < 0) {
      break;  // the page has ended
    }
  }
  if (stop_requested || settled < submit) {
    rc = Quorl_cnv_pvgen_stop(&blk);
    if (rc != 0) {
      page_failed(run, "stop", page, rc);
    }
  }
  std::lock_guard<std::mutex> lock(run.mutex);
  run.cancelled += o.bands - submit;
  run.not_run += submit - settled;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  const bool device = access(kDevice, F_OK) == 0;
  if (!device && !simulator_requested()) {
    exec_simulated(argv, o);
  }
  const bool simulated = simulator_loaded();
  if (simulated && !o.band_time.empty()) {
    // Also when the simulator was preloaded by someone else, after it read its environment.
    using setter = void (*)(uint64_t);
    if (auto set = reinterpret_cast<setter>(dlsym(RTLD_DEFAULT, "pvgen_sim_set_band_time_ns"))) {
      set(static_cast<uint64_t>(parse_time_ns(o.band_time)));
    }
  } else if (!simulated && !o.band_time.empty()) {
    std::fprintf(stderr, "pvgen-run: --band-time is ignored on the real engine\n");
  }

  // The callback may still be entered for a page this run gave up on; the run's record
  // therefore lives as long as the process.
  g_run = new Run;
  Run& run = *g_run;
  run.quiet = o.quiet;
  std::atomic<long> next_page{0};
  const auto begin = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (long t = 0; t < o.threads; ++t) {
    threads.emplace_back([&] {
      while (next_page.fetch_add(1) < o.pages) {
        run_page(run, o);
      }
    });
  }
  for (auto& th : threads) {
    th.join();
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  std::lock_guard<std::mutex> lock(run.mutex);
  std::printf("pages: %ld (failed %ld)\n", o.pages, run.failed_pages);
  std::printf("bands: %ld (cancelled %ld, not run %ld)\n", run.completed, run.cancelled,
              run.not_run);
  bool all_ok = run.failed_pages == 0 && run.not_run == 0;
  for (const auto& [outcome, count] : run.outcomes) {
    std::printf("outcome %d: %ld\n", static_cast<int>(outcome), count);
    all_ok = all_ok && outcome == 0;
  }
  std::printf("wall time: %.6f s\n", wall);
  std::printf("bands per second: %.1f\n",
              wall > 0 ? static_cast<double>(run.completed) / wall : 0.0);
  if (simulated) {
    using getter = void (*)(pvgen_sim_stats*);
    pvgen_sim_stats s{};
    if (auto get = reinterpret_cast<getter>(dlsym(RTLD_DEFAULT, "pvgen_sim_get_stats"))) {
      get(&s);
    }
    const uint64_t span =
        s.last_completion_ns > s.first_band_ns ? s.last_completion_ns - s.first_band_ns : 0;
    std::printf(
        "engine: simulated, band time %s, bands run %llu, utilisation %.1f%%\n",
        o.band_time.empty() ? "0" : o.band_time.c_str(),
        static_cast<unsigned long long>(s.bands_run),
        span > 0 ? 100.0 * static_cast<double>(s.busy_ns) / static_cast<double>(span) : 0.0);
  } else {
    std::printf("engine: device %s\n", kDevice);
  }
  std::fflush(stdout);
  return all_ok ? 0 : 1;
}
