// The library's results checked in every schedule, for any program that uses the five C
// functions: the controlled platform is preloaded ahead of the library, so the program's
// calls come here first and go on to the library (dlsym(RTLD_NEXT)). Each call's outcome is
// checked against what the library may answer, each callback is wrapped to count the reports
// of the band, and when the program ends with the library at rest, the library must hold
// nothing any more. A violation fails the schedule with one line (sched::violation).
//
// Nothing here is a scheduling point and nothing changes what the library sees: the blocks
// go to it unchanged, and each distinct callback gets a wrapper of its own (the library
// shares one observer per callback, so it keeps as many as without the checks). Only one
// controlled thread runs at a time and none is switched inside this file's code, so its
// records need no lock.
//
// Bands are told apart by their page, job_id and callback: a program that gives several
// bands of a page the same job_id and callback has them checked as a group (no more reports
// than bands accepted; after a stop of the page returned, no more reports than bands
// accepted that were not yet accepted when the stop was called).
//
// PVGEN_EXPLORE_INVARIANTS=0 (pvgen-explore --no-invariants) turns the checks off.
#include <dlfcn.h>

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_channel.h"  // its size only: nothing of it is called directly
#include "scheduler.h"

namespace {

using GetPageIdFn = int32_t (*)();
using BlockFn = int32_t (*)(QUORL_CNV_PVGEN_BLK*);
using CallbackFn = int32_t (*)(QUORL_CNV_PVGEN_BLK*, QUORL_CNV_PVGEN_CALLBACK);
using ReleaseFn = void (*)();

constexpr const char* kReleaseName = "_ZN7norvane23quorl_cnv_pvgen_control7releaseEv";

template <class F>
F next(const char* name) {
  void* fn = dlsym(RTLD_NEXT, name);
  if (fn == nullptr) {
    std::fprintf(stderr, "pvgen controlled platform: the library's %s is not loaded\n", name);
    std::abort();
  }
  return reinterpret_cast<F>(fn);
}

// The library's own symbols (null when it is not loaded).
template <class F>
F lib(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

bool enabled() {
  static const bool on = [] {
    const char* v = std::getenv("PVGEN_EXPLORE_INVARIANTS");
    return v == nullptr || std::strcmp(v, "0") != 0;
  }();
  return on;
}

// Checked only in a schedule (a controlled thread), with the checks on.
bool checking() {
  return sched::controlled() && enabled();
}

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%" PRIx32, v);
  return text;
}

// ---- the records ----

struct Band {
  uint64_t begun;       // sequence number when its band_exe was called
  uint64_t returned;    // ... and when it returned (0: not yet)
  int32_t outcome = 0;  // what it returned
  bool fenced = false;  // a stop of its page returned that was called after it returned
};

// The callback bands of a page with one job_id and one callback.
struct Group {
  int32_t page;
  uint32_t job;
  std::vector<Band> bands;
  uint64_t reports = 0;
  uint64_t refused = 0;  // calls that returned something else than 0
  uint64_t fenced = 0;
  // Per stop that fenced bands: the reports by then and the bands fenced by then.
  std::vector<std::pair<uint64_t, uint64_t>> fences;
};

struct Page {
  uint32_t stops_running = 0;
  uint64_t stop_calls = 0;
  uint64_t last_stop_return = 0;  // sequence number
  bool ended_early = false;       // a band of it came back with a negative outcome
  bool prepared = false;          // a prepare returned 0 and no stop returned 0 since
  bool started = false;           // a page start returned 0 after its last prepare
};

using Key = std::tuple<int32_t, uint32_t, QUORL_CNV_PVGEN_CALLBACK>;

struct Records {
  uint64_t seq = 0;
  std::map<Key, Group> groups;
  std::unordered_map<int32_t, Page> pages;
  bool fault = false;  // a call or report gave -5: the device or the driver failed
  uint32_t releases_running = 0;
  uint64_t last_release_return = 0;
  uint32_t calls_inside = 0;  // calls of the five functions not returned yet
  bool exit_hook = false;
};

Records& records() {
  static auto* const r = new Records;  // lives until the process ends; checked at exit
  return *r;
}

// ---- callbacks ----

constexpr int kWrappers = 64;
QUORL_CNV_PVGEN_CALLBACK g_callbacks[kWrappers];
int g_wrapped = 0;

[[noreturn]] void fail(const std::string& text) {
  sched::violation(text);
}

std::string band_name(const Group& g) {
  return "band of page " + std::to_string(g.page) + " with job_id " + hex(g.job);
}

void on_report(int n, QUORL_CNV_PVGEN_RESULT_INFO* info) {
  Records& r = records();
  const QUORL_CNV_PVGEN_CALLBACK callback = g_callbacks[n];
  const auto it = r.groups.find(Key{info->page_id, info->job_id, callback});
  if (it == r.groups.end()) {
    fail("a report with page " + std::to_string(info->page_id) + " and job_id " +
         hex(info->job_id) + " to a callback no band_exe of such a band was given");
  }
  Group& g = it->second;
  const int32_t result = info->result;
  if (result != 0 && result != 1 && result != 2 && result != -3 && result != -5) {
    fail(band_name(g) + " was reported with result " + std::to_string(result) +
         " (allowed: 0, 1, 2, -3, -5)");
  }
  ++g.reports;
  const uint64_t accepted = g.bands.size() - g.refused;
  if (g.reports > accepted) {
    fail(band_name(g) + " was reported " + std::to_string(g.reports) + " times for " +
         std::to_string(accepted) + " band_exe call(s) not refused: reported more than once");
  }
  for (const auto& [reports_then, fenced_then] : g.fences) {
    if (g.reports - reports_then > accepted - fenced_then) {
      fail(band_name(g) + " was reported after a stop of its page returned, although its " +
           "band_exe had returned 0 before that stop was called");
    }
  }
  if (result < 0) {
    r.pages[g.page].ended_early = true;
  }
  if (result == -5) {
    r.fault = true;
  }
  callback(info);
}

template <int N>
void wrapper(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  on_report(N, info);
}

template <int... N>
constexpr std::array<QUORL_CNV_PVGEN_CALLBACK, sizeof...(N)> make_wrappers(
    std::integer_sequence<int, N...>) {
  return {wrapper<N>...};
}

constexpr auto kWrapperFns = make_wrappers(std::make_integer_sequence<int, kWrappers>{});

// The wrapper of `callback` (the same one every time), or null when all are taken.
QUORL_CNV_PVGEN_CALLBACK wrap(QUORL_CNV_PVGEN_CALLBACK callback) {
  for (int i = 0; i < g_wrapped; ++i) {
    if (g_callbacks[i] == callback) {
      return kWrapperFns[static_cast<size_t>(i)];
    }
  }
  if (g_wrapped == kWrappers) {
    return nullptr;
  }
  g_callbacks[g_wrapped] = callback;
  return kWrapperFns[static_cast<size_t>(g_wrapped++)];
}

// ---- the library at rest ----

struct Counts {
  bool found = false;
  size_t list = 0;
  size_t semaphores = 0;
  size_t wrappers = 0;
};

// The registry's counts, read without locks (every other thread is blocked for good).
Counts registry_counts() {
  Counts c;
  auto* const* instance =
      lib<void* const*>("_ZN7norvane28quorl_cnv_pvgen_commonmethod11s_instance_E");
  using CountFn = size_t (*)(void*);
  const auto list = lib<CountFn>("_ZN7norvane28quorl_cnv_pvgen_commonmethod13req_list_sizeEv");
  const auto sems =
      lib<CountFn>("_ZN7norvane28quorl_cnv_pvgen_commonmethod22event_semaphore_in_useEv");
  const auto wrappers =
      lib<CountFn>("_ZN7norvane28quorl_cnv_pvgen_commonmethod17obs_wrapper_countEv");
  if (instance == nullptr || *instance == nullptr || list == nullptr || sems == nullptr ||
      wrappers == nullptr) {
    return c;
  }
  sched::set_frozen(true);
  c.found = true;
  c.list = list(*instance);
  c.semaphores = sems(*instance);
  c.wrappers = wrappers(*instance);
  sched::set_frozen(false);
  return c;
}

// Whether the exactly-once rule holds for band `b` of `g`: its page was started after its
// last prepare and never stopped after the band was submitted, no band of it failed, no
// device failure and no release came after it.
bool owes_report(const Records& r, const Group& g, const Band& b) {
  if (b.outcome != 0 || r.fault || r.releases_running != 0 || r.last_release_return > b.begun) {
    return false;
  }
  const auto it = r.pages.find(g.page);
  if (it == r.pages.end()) {
    return false;
  }
  const Page& p = it->second;
  return p.started && !p.ended_early && p.stops_running == 0 && p.last_stop_return <= b.begun;
}

// At exit, when the program ends with status 0: checked only with the library at rest,
// that is every other thread blocked for good with no deadline pending (no report due, no
// sleep), no call of the five functions still inside the library, and every page prepared
// since its last stop started. A program that ends while the library can still work, or
// with a page it prepared and never started, left the library holding requests on purpose.
void at_exit(int status, void*) {
  if (status != 0 || !checking() || !sched::others_at_rest()) {
    return;
  }
  const Records& r = records();
  if (r.calls_inside != 0) {
    return;
  }
  for (const auto& [id, page] : r.pages) {
    if (page.prepared && !page.started) {
      return;
    }
  }
  for (const auto& [key, g] : r.groups) {
    uint64_t owed = 0;
    uint64_t accepted = 0;
    bool exempt = false;
    for (const Band& b : g.bands) {
      accepted += b.outcome == 0 ? 1 : 0;
      if (b.outcome == 0) {
        if (owes_report(r, g, b)) {
          ++owed;
        } else {
          exempt = true;
        }
      }
    }
    if (!exempt && g.reports < owed) {
      fail(band_name(g) + ": " + std::to_string(accepted) + " band_exe call(s) returned 0, " +
           std::to_string(g.reports) +
           " reported, with the library at rest and no stop of the page: a band never reported");
    }
  }
  const Counts c = registry_counts();
  if (c.found && (c.list != 0 || c.semaphores != 0 || c.wrappers != 0)) {
    fail("the library at rest still holds " + std::to_string(c.list) + " listed request(s), " +
         std::to_string(c.semaphores) + " completion semaphore(s) in use and " +
         std::to_string(c.wrappers) + " observer wrapper(s)");
  }
}

// ---- calls ----

struct Call {
  Records& r;
  int32_t page;
  uint64_t begun;
  uint64_t stop_calls;
  uint32_t stops_running;
  uint32_t releases_running;
  uint64_t releases;
  int32_t word;  // the block's result word when the call was made

  Call(Records& rec, int32_t page_id, const QUORL_CNV_PVGEN_BLK* blk) : r(rec), page(page_id) {
    if (!r.exit_hook) {
      r.exit_hook = true;
      on_exit(at_exit, nullptr);
    }
    begun = ++r.seq;
    const Page& p = r.pages[page];
    stop_calls = p.stop_calls;
    stops_running = p.stops_running;
    releases_running = r.releases_running;
    releases = r.last_release_return;
    word = blk != nullptr ? blk->result : 0;
    ++r.calls_inside;
  }

  // A stop of the page or a release ran during the call: a request that had not run yet
  // then returns the result word the caller left in the block.
  bool cancelled() const {
    const Page& p = r.pages[page];
    return stops_running != 0 || p.stop_calls != stop_calls || releases_running != 0 ||
           r.releases_running != 0 || r.last_release_return != releases;
  }
  bool releasing() const {
    return releases_running != 0 || r.releases_running != 0 || r.last_release_return != releases;
  }

  // Checks the outcome and the result word the call left; returns the outcome.
  int32_t done(const std::string& what, int32_t rc, std::initializer_list<int32_t> allowed,
               const QUORL_CNV_PVGEN_BLK* blk, bool result_written = true) {
    --r.calls_inside;
    bool ok = false;
    for (int32_t a : allowed) {
      ok = ok || a == rc;
    }
    if (!ok && !(rc == word && cancelled())) {
      std::string list;
      for (int32_t a : allowed) {
        list += (list.empty() ? "" : ", ") + std::to_string(a);
      }
      fail(what + " of page " + std::to_string(page) + " returned " + std::to_string(rc) +
           " (allowed: " + list + ")");
    }
    if (result_written && blk->result != rc) {
      fail(what + " of page " + std::to_string(page) + " returned " + std::to_string(rc) +
           " but left result " + std::to_string(blk->result));
    }
    if (rc == -5) {
      r.fault = true;
    }
    return rc;
  }
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t Quorl_cnv_pvgen_get_page_id(void) {
  static const GetPageIdFn real = next<GetPageIdFn>("Quorl_cnv_pvgen_get_page_id");
  const int32_t id = real();
  if (checking() && (id < 0 || id > 2147483646)) {
    fail("get_page_id returned " + std::to_string(id) + " (allowed: 0 to 2147483646)");
  }
  return id;
}

__attribute__((visibility("default"))) int32_t Quorl_cnv_pvgen_prepare(QUORL_CNV_PVGEN_BLK* blk) {
  static const BlockFn real = next<BlockFn>("Quorl_cnv_pvgen_prepare");
  if (!checking() || blk == nullptr) {
    return real(blk);
  }
  Call call(records(), blk->page_id, blk);
  const bool bad = blk->page_id < 1 || blk->priority > 5;
  const int32_t rc = real(blk);
  // -3: a page identifier below 1 or a priority above 5, or a release refusing it.
  if (bad || call.releasing()) {
    call.done("prepare", rc, {0, -3, -4, -5}, blk);
  } else {
    call.done("prepare", rc, {0, -4, -5}, blk);
  }
  if (rc == 0) {
    Page& p = records().pages[blk->page_id];
    p.prepared = true;
    p.started = false;
    p.ended_early = false;
  }
  return rc;
}

__attribute__((visibility("default"))) int32_t Quorl_cnv_pvgen_page_start(
    QUORL_CNV_PVGEN_BLK* blk, QUORL_CNV_PVGEN_CALLBACK callback) {
  static const CallbackFn real = next<CallbackFn>("Quorl_cnv_pvgen_page_start");
  if (!checking() || blk == nullptr) {
    return real(blk, callback);
  }
  Call call(records(), blk->page_id, blk);
  const int32_t rc = call.done("page_start", real(blk, callback), {0, -3, -5}, blk);
  if (rc == 0) {
    Page& p = records().pages[blk->page_id];
    p.started = true;
  }
  return rc;
}

__attribute__((visibility("default"))) int32_t Quorl_cnv_pvgen_band_exe(
    QUORL_CNV_PVGEN_BLK* blk, QUORL_CNV_PVGEN_CALLBACK callback) {
  static const CallbackFn real = next<CallbackFn>("Quorl_cnv_pvgen_band_exe");
  if (!checking() || blk == nullptr) {
    return real(blk, callback);
  }
  Records& r = records();
  const int32_t page = blk->page_id;
  if (callback == nullptr) {
    Call call(r, page, blk);
    const int32_t rc = call.done("band_exe (job_id " + hex(blk->job_id) + ")", real(blk, nullptr),
                                 {0, 1, 2, -3, -5}, blk);
    if (rc < 0 && rc != -3) {
      r.pages[page].ended_early = true;
    }
    return rc;
  }
  const QUORL_CNV_PVGEN_CALLBACK wrapped = wrap(callback);
  if (wrapped == nullptr) {
    return real(blk, callback);  // more distinct callbacks than wrappers: not followed
  }
  const uint32_t job = blk->job_id;
  Call call(r, page, blk);
  Group& g = r.groups.try_emplace(Key{page, job, callback}, Group{page, job, {}, 0, 0, 0, {}})
                 .first->second;
  const size_t index = g.bands.size();
  g.bands.push_back(Band{call.begun, 0});
  const int32_t rc = real(blk, wrapped);
  // Accepted: the block's result word is left as it was; refused: it holds the outcome.
  call.done("band_exe with a callback (job_id " + hex(job) + ")", rc, {0, -3, -5}, blk, rc != 0);
  if (rc == 0 && blk->result != call.word) {
    fail("band_exe with a callback (job_id " + hex(job) + ") of page " + std::to_string(page) +
         " returned 0 but changed result to " + std::to_string(blk->result));
  }
  const auto found = r.groups.find(Key{page, job, callback});
  if (found == r.groups.end()) {
    return rc;  // a release() returned meanwhile and the records began anew
  }
  Group& after = found->second;
  Band& b = after.bands[index];
  b.returned = ++r.seq;
  b.outcome = rc;
  if (rc != 0) {
    ++after.refused;
    if (after.reports > after.bands.size() - after.refused) {
      fail(band_name(after) + " was reported although its band_exe returned " + std::to_string(rc));
    }
  }
  return rc;
}

__attribute__((visibility("default"))) int32_t Quorl_cnv_pvgen_stop(QUORL_CNV_PVGEN_BLK* blk) {
  static const BlockFn real = next<BlockFn>("Quorl_cnv_pvgen_stop");
  if (!checking() || blk == nullptr) {
    return real(blk);
  }
  Records& r = records();
  const int32_t page = blk->page_id;
  Call call(r, page, blk);
  const uint64_t called = call.begun;
  {
    Page& p = r.pages[page];
    ++p.stops_running;
    ++p.stop_calls;
  }
  const int32_t rc = real(blk);
  Page& p = r.pages[page];
  p.stops_running -= p.stops_running != 0 ? 1 : 0;  // 0: records begun anew by a release()
  p.last_stop_return = ++r.seq;
  if (rc == 0) {
    p.prepared = false;
    p.started = false;
  }
  if (page < 1 || call.releasing()) {
    call.done("stop", rc, {0, -3, -5}, blk);
  } else {
    call.done("stop", rc, {0, -5}, blk);
  }
  // The callback bands of the page whose band_exe returned 0 before this stop was called
  // are never reported from now on.
  for (auto& [key, g] : r.groups) {
    if (g.page != page) {
      continue;
    }
    bool fenced = false;
    for (Band& b : g.bands) {
      if (!b.fenced && b.outcome == 0 && b.returned != 0 && b.returned < called) {
        b.fenced = true;
        ++g.fenced;
        fenced = true;
      }
    }
    if (fenced) {
      g.fences.emplace_back(g.reports, g.fenced);
    }
  }
  return rc;
}

}  // extern "C"

// release() of the library's control: the requests in flight end as under a release, and
// the callback bands that never reached the engine are dropped unreported.
extern "C" __attribute__((visibility("default"))) void pvgen_explore_control_release() __asm__(
    "_ZN7norvane23quorl_cnv_pvgen_control7releaseEv");

void pvgen_explore_control_release() {
  static const ReleaseFn real = next<ReleaseFn>(kReleaseName);
  if (!checking()) {
    real();
    return;
  }
  Records& r = records();
  ++r.releases_running;
  real();
  --r.releases_running;
  r.last_release_return = ++r.seq;
  // The library starts afresh with its next call (page identifiers from 1, new channels):
  // nothing of the old one is reported any more, so its records go.
  if (r.releases_running == 0) {
    r.groups.clear();
    r.pages.clear();
    r.fault = false;
  }
}

// ---- the endless-wait report's channels ----

namespace {

struct PageInfo {
  uint32_t asic, module, channel, page_end, page_stop, mode, variant, type, ring_param0,
      ring_param1, band_total, band_exe_num, band_done_num, reserved[3];
};
static_assert(sizeof(PageInfo) == 64);

const char* state_name(int state) {
  switch (state) {
    case -1:
      return "error";
    case 0:
      return "idle";
    case 1:
      return "prepared";
    case 2:
      return "band page";
    case 3:
      return "page mode";
    default:
      return "?";
  }
}

}  // namespace

std::string sched::channel_states() {
  auto* const* control = lib<void* const*>("_ZN7norvane23quorl_cnv_pvgen_control11s_instance_E");
  using IntFn = int (*)(void*);
  using ULongFn = unsigned long (*)(void*);
  using U32Fn = uint32_t (*)(const void*);
  using BoolFn = bool (*)(const void*);
  using InfoFn = PageInfo (*)(const void*);
  const auto asic = lib<IntFn>("_ZN7norvane23quorl_cnv_pvgen_channel8get_asicEv");
  const auto module = lib<IntFn>("_ZN7norvane23quorl_cnv_pvgen_channel10get_moduleEv");
  const auto channel = lib<IntFn>("_ZN7norvane23quorl_cnv_pvgen_channel11get_channelEv");
  const auto plane = lib<IntFn>("_ZN7norvane23quorl_cnv_pvgen_channel9get_planeEv");
  const auto status = lib<IntFn>("_ZN7norvane23quorl_cnv_pvgen_channel13get_ch_statusEv");
  const auto page = lib<ULongFn>("_ZN7norvane23quorl_cnv_pvgen_channel11get_page_idEv");
  const auto binding = lib<U32Fn>("_ZNK7norvane23quorl_cnv_pvgen_channel11get_bindingEv");
  const auto alive = lib<BoolFn>("_ZNK7norvane23quorl_cnv_pvgen_channel14worker_runningEv");
  const auto mark = lib<U32Fn>("_ZN7norvane23quorl_cnv_pvgen_channel9jobs_markEv");
  const auto served = lib<U32Fn>("_ZN7norvane23quorl_cnv_pvgen_channel11jobs_servedEv");
  const auto info = lib<InfoFn>("_ZNK7norvane23quorl_cnv_pvgen_channel18page_info_snapshotEv");
  if (control == nullptr || *control == nullptr || asic == nullptr || module == nullptr ||
      channel == nullptr || plane == nullptr || status == nullptr || page == nullptr ||
      binding == nullptr || alive == nullptr || mark == nullptr || served == nullptr ||
      info == nullptr) {
    return {};
  }
  const std::vector<std::pair<const void*, int>> workers = framework_threads("quorl_pvgen_ch");
  if (workers.empty()) {
    return {};
  }
  std::string out = "channels (read without locks):\n";
  for (const auto& [object, slot] : workers) {
    void* ch = const_cast<void*>(object);
    const int state = status(ch);
    const uint32_t handed = mark(ch);
    const uint32_t taken = served(ch);
    const PageInfo pi = info(ch);
    // The threads blocked on one of the channel's events: its worker waiting for a job (or,
    // from a callback, in a stop), and stops draining the channel (stop_wait).
    std::string waiters;
    for (int t : event_waiters_in(ch, sizeof(norvane::quorl_cnv_pvgen_channel))) {
      waiters += (waiters.empty() ? "thread " : ", thread ") + std::to_string(t) +
                 (t == slot ? " (its worker)" : "");
    }
    char line[400];
    std::snprintf(line, sizeof line,
                  "  channel %d/%d/%d plane %d (worker thread %d, %s): state %d (%s), page %lu "
                  "(binding %" PRIu32 "), jobs handed to the worker %" PRIu32 ", taken %" PRIu32
                  "; page record: bands %" PRIu32 ", issued %" PRIu32 ", done %" PRIu32
                  ", ended %" PRIu32 ", stopped %" PRIu32 "; waiting on its events: %s\n",
                  asic(ch), module(ch), channel(ch), plane(ch), slot,
                  alive(ch) ? "running" : "ended", state, state_name(state), page(ch), binding(ch),
                  handed, taken, pi.band_total, pi.band_exe_num, pi.band_done_num, pi.page_end,
                  pi.page_stop, waiters.empty() ? "none" : waiters.c_str());
    out += line;
  }
  return out;
}
