// A recording has no trace points and no engine log, only the driver calls; the engine lane
// is put back together from them. Per descriptor, every band command with a block waits for
// its report, as every page start of page mode (mode 2) waits for its pages' reports; a wait
// that took a report (returned 0 with a result other than 3) is matched with the oldest
// such command of the same job_id. A band the engine ran (its command answered 0) becomes a
// slice from when it could start (its command's return, or the end of the engine's
// previous band) to the return of the wait that took its report: the latest it can have
// ended, as the recording cannot say when the engine finished it before that.
#include "recording_timeline.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <map>

namespace timeline {
namespace {

constexpr int kEngineLane = 1000;

struct Pending {
  uint32_t job_id;
  bool page_mode;    // a page-mode page start: its reports, until its final one
  bool ran;          // the command was answered 0 (the engine took it)
  int lane;          // the commanding thread's lane
  uint64_t cmd_ns;   // the command's return
  uint64_t cmd_mid;  // the middle of the command's call, where its flow starts
};

struct Engine {
  std::deque<Pending> pending;
  uint64_t free_at = 0;
};

std::string lower(const char* name) {
  std::string s(name);
  std::transform(s.begin(), s.end(), s.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return s;
}

}  // namespace

bool from_recording(pvgen_rec::Reader& reader, Model& m, std::string& error) {
  std::map<uint32_t, int> lane_of;  // tid -> lane
  std::map<int32_t, Engine> engines;
  m.lanes.clear();
  m.lanes.push_back({kEngineLane, "engine"});
  pvgen_rec::Record r;
  size_t call = 0;
  for (;;) {
    const int got = reader.next(r);
    if (got < 0) {
      error = reader.error();
      return false;
    }
    if (got == 0)
      break;
    if (r.type == pvgen_rec::kDroppedRecord) {
      m.instants.push_back({-1, std::to_string(r.dropped) + " records lost", r.start_ns});
      continue;
    }
    ++call;
    auto [it, added] = lane_of.try_emplace(r.tid, static_cast<int>(lane_of.size()));
    if (added) {
      const std::string name = pvgen_rec::thread_name(r);
      m.lanes.insert(m.lanes.end() - 1,
                     {it->second, (name.empty() ? "thread" : name) + " " + std::to_string(r.tid)});
    }
    const int lane = it->second;
    const uint64_t mid = r.start_ns + (r.end_ns - r.start_ns) / 2;
    std::string name;
    std::string category = "command";
    char detail[160];
    std::snprintf(detail, sizeof detail, "call %zu, fd %d, returned %d, errno %d", call, r.fd,
                  r.ret, r.err);
    if (r.kind == pvgen_rec::kOpen) {
      name = "open";
    } else if (r.kind == pvgen_rec::kClose) {
      name = "close";
    } else if (const char* req = pvgen_rec::request_name(r.request)) {
      name = lower(req);
    } else {
      name = "ioctl";
    }
    const bool has_block = r.block_size != 0;
    if (r.kind == pvgen_rec::kIoctl && has_block && r.request == PVGEN_SIM_IOC_WAIT) {
      category = "wait";
      name = "driver wait";
      std::snprintf(detail, sizeof detail,
                    "call %zu, fd %d, returned %d, errno %d: job %" PRIu32 " band_num %d result %d",
                    call, r.fd, r.ret, r.err, r.answered.wait.job_id, r.answered.wait.band_num,
                    r.answered.wait.result);
    } else if (has_block) {
      std::snprintf(detail, sizeof detail,
                    "call %zu, fd %d, returned %d, errno %d: job %" PRIu32 " result %d", call, r.fd,
                    r.ret, r.err, r.given.cmd.job_id, r.answered.cmd.result);
    }
    m.slices.push_back({lane, name, category, r.start_ns, r.end_ns, detail});
    if (r.kind != pvgen_rec::kIoctl || !has_block)
      continue;
    Engine& e = engines[r.fd];
    const bool ran = r.ret == 0 && r.answered.cmd.result == 0;
    if (r.request == PVGEN_SIM_IOC_BAND_EXE) {
      e.pending.push_back({r.given.cmd.job_id, false, ran, lane, r.end_ns, mid});
    } else if (r.request == PVGEN_SIM_IOC_PAGE_START && r.given.cmd.mode == 2 && ran) {
      e.pending.push_back({r.given.cmd.job_id, true, true, lane, r.end_ns, mid});
    } else if (r.request == PVGEN_SIM_IOC_WAIT && r.ret == 0 &&
               r.answered.wait.result != PVGEN_SIM_RESULT_AGAIN) {
      const uint32_t job = r.answered.wait.job_id;
      // A band command of the job first; else a page of it in page mode.
      auto p = std::find_if(e.pending.begin(), e.pending.end(),
                            [&](const Pending& q) { return q.job_id == job && !q.page_mode; });
      if (p == e.pending.end())
        p = std::find_if(e.pending.begin(), e.pending.end(),
                         [&](const Pending& q) { return q.job_id == job && q.page_mode; });
      if (p == e.pending.end())
        continue;
      const Pending q = *p;
      // The final report of a page-mode page (band_num 0) ends it and ran no band.
      const bool final_report = q.page_mode && r.answered.wait.band_num == 0;
      if (!q.page_mode || final_report)
        e.pending.erase(p);
      if (!q.ran || final_report)
        continue;
      const uint64_t begin = std::max(e.free_at, q.cmd_ns);
      const uint64_t end = std::max(begin, r.end_ns);
      e.free_at = end;
      char what[96];
      std::snprintf(what, sizeof what, "job %" PRIu32 ", fd %d%s", job, r.fd,
                    q.page_mode ? ", page mode" : "");
      m.slices.push_back({kEngineLane, "band " + std::to_string(job), "engine", begin, end, what});
      ++m.engine_slices;
      Flow flow{"band " + std::to_string(job), {}};
      if (!q.page_mode)
        flow.steps.push_back({q.lane, q.cmd_mid});
      const uint64_t engine_mid = begin + (end - begin) / 2;
      flow.steps.push_back({kEngineLane, engine_mid});
      flow.steps.push_back({lane, std::max(mid, engine_mid)});
      m.flows.push_back(flow);
    }
  }
  return true;
}

}  // namespace timeline
