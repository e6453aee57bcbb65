// What a band costs and how busy the engine stays, each beside a baseline measured in the
// same process. Wall times on shared machines drift between runs, so only the ratios
// compare; scripts/bench adds instruction counts from callgrind and the target's size.
//
//   pvgen_bench latency [N]         synchronous band round trip vs a bare 3-hop chain (median
//                                   of five rounds, each with a new chain)
//   pvgen_bench utilisation         engine utilisation for 1,000 callback bands, beside the
//                                   bare pipeline's (the floor), five rounds each
//   pvgen_bench objects [N]         heap allocations and OS objects per request
//   pvgen_bench run-sync N          N synchronous bands, nothing printed (for callgrind)
//   pvgen_bench run-upfront N       N callback bands submitted up front on one page (callgrind)
//   pvgen_bench run-chain N         N round trips of the bare chain (for callgrind)
//   pvgen_bench handoff [US]        where the engine waits, band time US (default 30)
//   pvgen_bench handoff-sync [N]    the three hand-overs of a synchronous band
//   pvgen_bench floor-handoff [US]  where the bare pipeline's engine waits
#include <dlfcn.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bare_pipeline.h"
#include "platform_capture.h"
#include "pvgen_sim.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_commonmethod.h"

// ---------------------------------------------------------------- allocation counting

// Every allocation of the process is counted, and those made from the library's own code
// (the caller of operator new lies in libquorlcnvpvgen) separately: the simulated driver's
// allocations would be the kernel's on the target.
namespace {
std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_library_allocations{0};
const void* g_library_base = nullptr;
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (g_library_base != nullptr) {
    Dl_info info;
    if (dladdr(__builtin_return_address(0), &info) != 0 && info.dli_fbase == g_library_base) {
      g_library_allocations.fetch_add(1, std::memory_order_relaxed);
    }
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

struct Percentiles {
  double p50_us;
  double p99_us;
};

Percentiles percentiles(std::vector<uint64_t>& samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return static_cast<double>(samples[static_cast<size_t>(q * (samples.size() - 1))]) / 1000.0;
  };
  return {at(0.50), at(0.99)};
}

// ---------------------------------------------------------------- the bare chain

// caller -> thread 1 -> thread 2 -> caller, copying a request block at every hop and handing
// over with POSIX semaphores: the floor any event primitive is measured against.
class BareChain {
 public:
  BareChain() {
    sem_init(&to_first_, 0, 0);
    sem_init(&to_second_, 0, 0);
    sem_init(&to_caller_, 0, 0);
    first_ = std::thread([this] { hop(to_first_, a_, b_, to_second_); });
    second_ = std::thread([this] { hop(to_second_, b_, c_, to_caller_); });
  }
  ~BareChain() {
    stopping_.store(true);
    sem_post(&to_first_);
    first_.join();
    second_.join();
    sem_destroy(&to_first_);
    sem_destroy(&to_second_);
    sem_destroy(&to_caller_);
  }
  void round_trip(QUORL_CNV_PVGEN_BLK& blk) {
    std::memcpy(&a_, &blk, sizeof blk);
    sem_post(&to_first_);
    while (sem_wait(&to_caller_) != 0) {
    }
    std::memcpy(&blk, &c_, sizeof blk);
  }

 private:
  void hop(sem_t& in, const QUORL_CNV_PVGEN_BLK& from, QUORL_CNV_PVGEN_BLK& to, sem_t& out) {
    for (;;) {
      while (sem_wait(&in) != 0) {
      }
      if (stopping_.load()) {
        sem_post(&out);
        return;
      }
      std::memcpy(&to, &from, sizeof to);
      sem_post(&out);
    }
  }

  QUORL_CNV_PVGEN_BLK a_{}, b_{}, c_{};
  sem_t to_first_, to_second_, to_caller_;
  std::atomic<bool> stopping_{false};
  std::thread first_, second_;
};

// ---------------------------------------------------------------- library helpers

QUORL_CNV_PVGEN_BLK page_block(int32_t page_id, uint32_t band_total) {
  QUORL_CNV_PVGEN_BLK blk;
  std::memset(&blk, 0, sizeof blk);
  blk.job_id = 1;
  blk.page_id = page_id;
  blk.asic = blk.module = blk.channel = 1;
  blk.mode = 1;
  blk.src[0] = {0x5000, 0, 0};
  blk.dst[0] = {0x6000, 0, 0};
  blk.band_total = band_total;
  blk.wait_for_channel = 1;
  return blk;
}

// Prepares and starts a page; the page ends after band_total bands or at stop_page.
QUORL_CNV_PVGEN_BLK start_page(uint32_t band_total) {
  QUORL_CNV_PVGEN_BLK blk = page_block(Quorl_cnv_pvgen_get_page_id(), band_total);
  if (Quorl_cnv_pvgen_prepare(&blk) != 0 || Quorl_cnv_pvgen_page_start(&blk, nullptr) != 0) {
    std::fprintf(stderr, "pvgen_bench: page could not be started\n");
    std::exit(1);
  }
  return blk;
}

void stop_page(QUORL_CNV_PVGEN_BLK blk) {
  (void)Quorl_cnv_pvgen_stop(&blk);
}

void sync_bands(QUORL_CNV_PVGEN_BLK& blk, int n) {
  for (int i = 0; i < n; ++i) {
    if (Quorl_cnv_pvgen_band_exe(&blk, nullptr) != 0) {
      std::fprintf(stderr, "pvgen_bench: band failed\n");
      std::exit(1);
    }
  }
}

// ---------------------------------------------------------------- latency

// The chain's threads keep the processors they first land on, and whether its hops cross
// processors changes its round trip by half (21 to 37 us p50 on the same machine within
// minutes), so one chain is not a baseline: each of five rounds builds a new one, and the
// round with the median p50 ratio is reported, with the range of the five ratios.
int latency(int n) {
  QUORL_CNV_PVGEN_BLK blk = start_page(0xFFFFFFFFu);  // never ends by count
  sync_bands(blk, 200);                               // warm up the pool and the caches
  constexpr int kRounds = 5;
  const int per_round = n / kRounds > 0 ? n / kRounds : 1;
  struct Round {
    Percentiles lib, chain;
    double ratio;
  };
  std::vector<Round> rounds;
  for (int r = 0; r < kRounds; ++r) {
    std::vector<uint64_t> lib(per_round), chain(per_round);
    BareChain bare;
    QUORL_CNV_PVGEN_BLK copy = blk;
    for (int i = 0; i < 200; ++i) {
      bare.round_trip(copy);
    }
    // Interleave the two so that drift of the machine hits both alike.
    for (int i = 0; i < per_round; ++i) {
      uint64_t t0 = now_ns();
      sync_bands(blk, 1);
      uint64_t t1 = now_ns();
      bare.round_trip(copy);
      uint64_t t2 = now_ns();
      lib[i] = t1 - t0;
      chain[i] = t2 - t1;
    }
    const Percentiles l = percentiles(lib), c = percentiles(chain);
    rounds.push_back({l, c, l.p50_us / c.p50_us});
  }
  stop_page(blk);
  std::sort(rounds.begin(), rounds.end(),
            [](const Round& a, const Round& b) { return a.ratio < b.ratio; });
  const Round& m = rounds[kRounds / 2];
  std::printf("latency.samples=%d\n", per_round * kRounds);
  std::printf("latency.library.p50_us=%.2f\nlatency.library.p99_us=%.2f\n", m.lib.p50_us,
              m.lib.p99_us);
  std::printf("latency.chain.p50_us=%.2f\nlatency.chain.p99_us=%.2f\n", m.chain.p50_us,
              m.chain.p99_us);
  std::printf("latency.ratio.p50=%.3f\nlatency.ratio.p99=%.3f\n", m.ratio,
              m.lib.p99_us / m.chain.p99_us);
  std::printf("latency.ratio.p50_lowest=%.3f\nlatency.ratio.p50_highest=%.3f\n",
              rounds.front().ratio, rounds.back().ratio);
  return 0;
}

// ---------------------------------------------------------------- utilisation

struct CallbackRun {
  std::atomic<int> submitted{0};
  std::atomic<int> completed{0};
  std::atomic<int> failed{0};
  int total = 0;
  bool chained = false;
  QUORL_CNV_PVGEN_BLK blk{};
  sem_t done;
};
CallbackRun* g_run = nullptr;

void on_band(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  CallbackRun& run = *g_run;
  if (info->result != 0) {
    run.failed.fetch_add(1);
  }
  if (run.chained && run.submitted.load() < run.total) {
    run.submitted.fetch_add(1);
    QUORL_CNV_PVGEN_BLK next = run.blk;
    (void)Quorl_cnv_pvgen_band_exe(&next, on_band);
  }
  if (run.completed.fetch_add(1) + 1 == run.total) {
    sem_post(&run.done);
  }
}

double utilisation_run(uint64_t band_ns, int total, bool chained) {
  pvgen_sim_reset();
  pvgen_sim_set_band_time_ns(band_ns);
  CallbackRun run;
  run.total = total;
  run.chained = chained;
  sem_init(&run.done, 0, 0);
  run.blk = start_page(static_cast<uint32_t>(total));
  g_run = &run;
  const int initial = chained ? 2 : total;
  for (int i = 0; i < initial; ++i) {
    run.submitted.fetch_add(1);
    QUORL_CNV_PVGEN_BLK next = run.blk;
    (void)Quorl_cnv_pvgen_band_exe(&next, on_band);
  }
  while (sem_wait(&run.done) != 0) {
  }
  pvgen_sim_stats stats;
  pvgen_sim_get_stats(&stats);
  stop_page(run.blk);
  sem_destroy(&run.done);
  g_run = nullptr;
  if (run.failed.load() != 0) {
    std::fprintf(stderr, "pvgen_bench: %d bands failed\n", run.failed.load());
    std::exit(1);
  }
  const uint64_t span = stats.last_completion_ns - stats.first_band_ns;
  return span == 0 ? 0.0 : 100.0 * static_cast<double>(stats.busy_ns) / static_cast<double>(span);
}

// The same run through the bare pipeline: the floor of the design on this machine.
// The pipeline's threads live as long as the caller keeps it, across runs, as the library's
// threads do across pages.
double floor_run(bench::BarePipeline& pipeline, uint64_t band_ns, int total, bool chained) {
  pvgen_sim_reset();
  pvgen_sim_set_band_time_ns(band_ns);
  if (!pipeline.run(total, chained)) {
    std::fprintf(stderr, "pvgen_bench: the bare pipeline's engine refused a band\n");
    std::exit(1);
  }
  pvgen_sim_stats stats;
  pvgen_sim_get_stats(&stats);
  const uint64_t span = stats.last_completion_ns - stats.first_band_ns;
  return span == 0 ? 0.0 : 100.0 * static_cast<double>(stats.busy_ns) / static_cast<double>(span);
}

int utilisation() {
  const uint64_t times[] = {1000000, 100000, 30000, 10000};
  // Five rounds per figure, each a library run and a run of the bare pipeline one after the
  // other, so that both see the same machine; the medians and ranges of both are printed,
  // and the ratio of the medians. A run on a shared machine can lose the processor for a
  // while, which the engine then sees as idle time. A run also depends on what ran just
  // before it (processors that went idle wake late, on a virtual machine by tens of
  // microseconds): the two take turns at going first, after one unmeasured run of each.
  constexpr int kRounds = 5;
  bench::BarePipeline pipeline;
  for (uint64_t t : times) {
    for (const bool chained : {true, false}) {
      std::vector<double> lib;
      std::vector<double> bare;
      (void)utilisation_run(t, 1000, chained);
      (void)floor_run(pipeline, t, 1000, chained);
      for (int r = 0; r < kRounds; ++r) {
        if (r % 2 == 0) {
          lib.push_back(utilisation_run(t, 1000, chained));
          bare.push_back(floor_run(pipeline, t, 1000, chained));
        } else {
          bare.push_back(floor_run(pipeline, t, 1000, chained));
          lib.push_back(utilisation_run(t, 1000, chained));
        }
      }
      std::sort(lib.begin(), lib.end());
      std::sort(bare.begin(), bare.end());
      const char* mode = chained ? "two_in_flight" : "up_front";
      const auto us = static_cast<unsigned long long>(t / 1000);
      const double l = lib[kRounds / 2];
      const double b = bare[kRounds / 2];
      std::printf("utilisation.%lluus.%s=%.2f\n", us, mode, l);
      std::printf("utilisation.%lluus.%s.range=%.2f-%.2f\n", us, mode, lib.front(), lib.back());
      std::printf("utilisation.%lluus.%s.floor=%.2f\n", us, mode, b);
      std::printf("utilisation.%lluus.%s.floor_range=%.2f-%.2f\n", us, mode, bare.front(),
                  bare.back());
      std::printf("utilisation.%lluus.%s.ratio=%.3f\n", us, mode, b > 0 ? l / b : 0.0);
    }
  }
  return 0;
}

// ---------------------------------------------------------------- where the engine waits

// p10/p50/p90/p99 of a set of durations, in microseconds, on one line.
void print_spread(const char* name, std::vector<uint64_t> v) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) {
    return v.empty() ? 0.0
                     : static_cast<double>(v[static_cast<size_t>(q * (v.size() - 1))]) / 1000.0;
  };
  std::printf("  %-16s p10 %7.1f  p50 %7.1f  p90 %7.1f  p99 %7.1f us\n", name, at(0.1), at(0.5),
              at(0.9), at(0.99));
}

// Processor time of each thread of this process: run, and waiting for a processor (ns).
struct ThreadTimes {
  std::string name;
  uint64_t ran = 0, waited = 0;
};
std::vector<ThreadTimes> thread_times() {
  std::vector<ThreadTimes> out;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm"), stat(task.path() / "schedstat");
    ThreadTimes t;
    std::getline(comm, t.name);
    stat >> t.ran >> t.waited;
    t.name += "/" + task.path().filename().string();
    out.push_back(t);
  }
  return out;
}

// One utilisation run taken apart, from the simulator's logs and the library's trace
// points. For each report that frees a place on the channel: `wake` is the driver's wait
// returning after the band's due time, `report` the worker from there to its report trace
// point, `refill` from that point to the dispatcher's next band command, and `late` how
// long the engine stood idle before that command. Then the longest idle stretches and the
// band they ended at, and how long each thread waited for a processor.
// The bare pipeline's run taken apart the same way, from the engine's logs alone: for each
// report that frees a place, wake (the wait returning after the due time) and late (the
// engine idle before the next band command).
int floor_handoff(uint64_t band_ns, bool chained) {
  constexpr int kBands = 1000;
  // A first run to start the pipeline's threads and bring them up to speed, as the library's
  // were by the time their run is taken apart; the second is the one taken apart.
  bench::BarePipeline pipeline;
  (void)floor_run(pipeline, band_ns, kBands, chained);
  const double util = floor_run(pipeline, band_ns, kBands, chained);
  std::vector<pvgen_sim_answer> answers(pvgen_sim_answer_count());
  for (size_t i = 0; i < answers.size(); ++i) {
    (void)pvgen_sim_answer_get(i, &answers[i]);
  }
  std::vector<uint64_t> bands;
  for (size_t i = 0; i < pvgen_sim_command_count(); ++i) {
    pvgen_sim_command c;
    if (pvgen_sim_command_get(i, &c) == 0 && c.code == PVGEN_SIM_IOC_BAND_EXE) {
      bands.push_back(c.time_ns);
    }
  }
  std::vector<uint64_t> wake, late;
  for (size_t k = 0; k + 2 < bands.size() && k + 1 < answers.size(); ++k) {
    if (answers[k].took_report == 0) {
      continue;
    }
    wake.push_back(answers[k].time_ns - answers[k].due_ns);
    const uint64_t free_at = answers[k + 1].due_ns;
    late.push_back(bands[k + 2] > free_at ? bands[k + 2] - free_at : 0);
  }
  std::printf("bare pipeline, %s, %llu us per band: utilisation %.2f %%\n",
              chained ? "two in flight" : "up front",
              static_cast<unsigned long long>(band_ns / 1000), util);
  print_spread("wake", wake);
  print_spread("late", late);
  return 0;
}

int handoff(uint64_t band_ns, bool chained) {
  constexpr int kBands = 1000;
  platform::trace_ring_reserve(16 * kBands + 64);
  platform::trace_points_clear();
  const std::vector<ThreadTimes> before = thread_times();
  const double util = utilisation_run(band_ns, kBands, chained);
  const std::vector<ThreadTimes> after = thread_times();

  std::vector<pvgen_sim_answer> answers(pvgen_sim_answer_count());
  for (size_t i = 0; i < answers.size(); ++i) {
    (void)pvgen_sim_answer_get(i, &answers[i]);
  }
  std::vector<uint64_t> bands;  // when the engine received each band command
  for (size_t i = 0; i < pvgen_sim_command_count(); ++i) {
    pvgen_sim_command c;
    if (pvgen_sim_command_get(i, &c) == 0 && c.code == PVGEN_SIM_IOC_BAND_EXE) {
      bands.push_back(c.time_ns);
    }
  }
  constexpr unsigned short kCatBand = 4, kCatReport = 64;
  std::vector<uint64_t> reports, commands;  // worker's report points, band command points
  for (const auto& t : platform::trace_points()) {
    if (t.category == kCatReport) {
      reports.push_back(t.time_ns);
    } else if (t.category == kCatBand && (t.code & 4) != 0) {
      commands.push_back(t.time_ns);
    }
  }
  std::vector<uint64_t> wake, report, refill, late;
  for (size_t k = 0; k + 2 < bands.size() && k + 2 < commands.size() && k + 1 < answers.size() &&
                     k < reports.size();
       ++k) {
    if (answers[k].took_report == 0) {
      continue;
    }
    wake.push_back(answers[k].time_ns - answers[k].due_ns);
    report.push_back(reports[k] - answers[k].time_ns);
    refill.push_back(commands[k + 2] > reports[k] ? commands[k + 2] - reports[k] : 0);
    const uint64_t free_at = answers[k + 1].due_ns;
    late.push_back(bands[k + 2] > free_at ? bands[k + 2] - free_at : 0);
  }
  std::printf("%s, %llu us per band: utilisation %.2f %%\n", chained ? "two in flight" : "up front",
              static_cast<unsigned long long>(band_ns / 1000), util);
  print_spread("wake", wake);
  print_spread("report", report);
  print_spread("refill", refill);
  print_spread("late", late);

  std::vector<std::pair<uint64_t, size_t>> gaps;  // idle time before band i, i
  for (size_t i = 1; i < bands.size() && i - 1 < answers.size(); ++i) {
    const uint64_t free_at = answers[i - 1].due_ns;
    if (bands[i] > free_at) {
      gaps.emplace_back(bands[i] - free_at, i);
    }
  }
  std::sort(gaps.rbegin(), gaps.rend());
  uint64_t idle = 0;
  for (const auto& g : gaps) {
    idle += g.first;
  }
  std::printf("  idle %.1f us in %zu stretches; longest:", static_cast<double>(idle) / 1000.0,
              gaps.size());
  for (size_t i = 0; i < gaps.size() && i < 5; ++i) {
    std::printf(" %.1f us before band %zu%s", static_cast<double>(gaps[i].first) / 1000.0,
                gaps[i].second, i + 1 < std::min<size_t>(gaps.size(), 5) ? "," : "");
  }
  std::printf("\n");
  for (const ThreadTimes& a : after) {
    ThreadTimes b;  // a thread started by this run counts from zero
    for (const ThreadTimes& earlier : before) {
      if (earlier.name == a.name) {
        b = earlier;
      }
    }
    std::printf("  %-24s ran %9.1f us, waited for a processor %9.1f us\n", a.name.c_str(),
                static_cast<double>(a.ran - b.ran) / 1000.0,
                static_cast<double>(a.waited - b.waited) / 1000.0);
  }
  return 0;
}

// The three hand-overs of a synchronous band: from the call to the dispatcher's band
// command, from the command to the worker's wait returning with the report, and from there
// back to the caller.
int handoff_sync(int n) {
  QUORL_CNV_PVGEN_BLK blk = start_page(0xFFFFFFFFu);
  sync_bands(blk, 200);
  const size_t first_command = pvgen_sim_command_count();
  const size_t first_answer = pvgen_sim_answer_count();
  std::vector<uint64_t> begin(n), end(n);
  for (int i = 0; i < n; ++i) {
    begin[i] = now_ns();
    sync_bands(blk, 1);
    end[i] = now_ns();
  }
  stop_page(blk);
  std::vector<uint64_t> to_dispatcher, to_worker, to_caller, total;
  for (int i = 0; i < n; ++i) {
    pvgen_sim_command c;
    pvgen_sim_answer a;
    if (pvgen_sim_command_get(first_command + i, &c) != 0 ||
        pvgen_sim_answer_get(first_answer + i, &a) != 0) {
      std::fprintf(stderr, "pvgen_bench: the simulator's log lost band %d\n", i);
      return 1;
    }
    to_dispatcher.push_back(c.time_ns - begin[i]);
    to_worker.push_back(a.time_ns - c.time_ns);
    to_caller.push_back(end[i] - a.time_ns);
    total.push_back(end[i] - begin[i]);
  }
  std::printf("synchronous band, %d samples\n", n);
  print_spread("to dispatcher", to_dispatcher);
  print_spread("to worker", to_worker);
  print_spread("back to caller", to_caller);
  print_spread("round trip", total);
  return 0;
}

// ---------------------------------------------------------------- objects per request

int objects(int n) {
  auto* registry = norvane::quorl_cnv_pvgen_commonmethod::instance();
  QUORL_CNV_PVGEN_BLK blk = start_page(0xFFFFFFFFu);
  sync_bands(blk, 100);  // steady state: the semaphore pool holds what it needs

  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&Quorl_cnv_pvgen_band_exe), &info) != 0) {
    g_library_base = info.dli_fbase;
  }
  const platform::OsObjectCounts before_os = platform::os_objects_created();
  const size_t before_pool = registry->event_semaphore_count();
  const uint64_t before = g_allocations.load();
  const uint64_t before_lib = g_library_allocations.load();
  sync_bands(blk, n);
  const uint64_t sync_allocs = g_allocations.load() - before;
  const uint64_t lib_allocs = g_library_allocations.load() - before_lib;
  const platform::OsObjectCounts after_os = platform::os_objects_created();

  stop_page(blk);
  std::printf("objects.sync.allocations_per_band=%.3f\n", static_cast<double>(lib_allocs) / n);
  std::printf("objects.sync.process_allocations_per_band=%.3f\n",
              static_cast<double>(sync_allocs) / n);
  std::printf("objects.sync.mutexes_per_band=%.3f\n",
              static_cast<double>(after_os.mutexes - before_os.mutexes) / n);
  std::printf("objects.sync.events_per_band=%.3f\n",
              static_cast<double>(after_os.events - before_os.events) / n);
  std::printf("objects.sync.pool_growth=%zu\n", registry->event_semaphore_count() - before_pool);
  return 0;
}

int run_sync(int n) {
  QUORL_CNV_PVGEN_BLK blk = start_page(0xFFFFFFFFu);
  sync_bands(blk, n);
  stop_page(blk);
  return 0;
}

// N callback bands submitted up front on one page, on an engine that answers at once: the
// request list is N deep when the first band is reported.
std::atomic<int> g_upfront_left{0};
sem_t g_upfront_done;
void on_upfront_band(QUORL_CNV_PVGEN_RESULT_INFO*) {
  if (g_upfront_left.fetch_sub(1) == 1) {
    sem_post(&g_upfront_done);
  }
}

int run_upfront(int n) {
  sem_init(&g_upfront_done, 0, 0);
  QUORL_CNV_PVGEN_BLK blk = start_page(n > 0 ? static_cast<uint32_t>(n) : 1u);
  g_upfront_left.store(n);
  for (int i = 0; i < n; ++i) {
    QUORL_CNV_PVGEN_BLK next = blk;
    if (Quorl_cnv_pvgen_band_exe(&next, on_upfront_band) != 0) {
      std::fprintf(stderr, "pvgen_bench: band refused\n");
      return 1;
    }
  }
  if (n > 0) {
    while (sem_wait(&g_upfront_done) != 0) {
    }
  }
  stop_page(blk);
  sem_destroy(&g_upfront_done);
  return 0;
}

int run_chain(int n) {
  BareChain bare;
  QUORL_CNV_PVGEN_BLK blk = page_block(1, 1);
  for (int i = 0; i < n; ++i) {
    bare.round_trip(blk);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  const int n = argc > 2 ? std::atoi(argv[2]) : 0;
  platform::capture_begin();  // keep trace output of the library off the terminal
  if (what == "latency") {
    return latency(n > 0 ? n : 5000);
  }
  if (what == "utilisation") {
    return utilisation();
  }
  if (what == "handoff") {
    const uint64_t band_ns = (n > 0 ? static_cast<uint64_t>(n) : 30) * 1000;
    return handoff(band_ns, true) | handoff(band_ns, false);
  }
  if (what == "floor-handoff") {
    const uint64_t us = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 30;
    return floor_handoff(us * 1000, true) | floor_handoff(us * 1000, false);
  }
  if (what == "handoff-sync") {
    return handoff_sync(n > 0 ? n : 2000);
  }
  if (what == "objects") {
    return objects(n > 0 ? n : 1000);
  }
  if (what == "run-sync" && n > 0) {
    return run_sync(n);
  }
  if (what == "run-upfront" && argc > 2) {
    return run_upfront(n);
  }
  if (what == "run-chain" && n > 0) {
    return run_chain(n);
  }
  const bool asked = what == "--help" || what == "-h";
  std::fprintf(
      asked ? stdout : stderr,
      "usage: pvgen_bench latency [N] | utilisation | objects [N] | run-sync N | "
      "run-upfront N | run-chain N | handoff [US] | handoff-sync [N] | floor-handoff [US]\n");
  return asked ? 0 : 2;
}
