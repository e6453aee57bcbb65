// Puts the timeline together and writes it. Trace points carry no band number, so the
// pieces of one band are joined by where and when they happened: a submission is the pair
// of its request's trace points on the calling thread within pvgen-run's call; a driver
// command is the bracket on the dispatcher that holds the engine's log entry of that
// command; the engine's reports come back in command order per descriptor, each with the
// time its band was done; the worker's wait is the bracket that holds the answer.
#include "timeline.h"

#include "timeline_page.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <iterator>
#include <map>
#include <utility>

namespace timeline {
namespace {

constexpr unsigned short kCatPrepare = 1;
constexpr unsigned short kCatPageStart = 2;
constexpr unsigned short kCatBand = 4;
constexpr unsigned short kCatStop = 16;
constexpr unsigned short kCatWait = 32;
constexpr unsigned short kCatReport = 64;
constexpr unsigned short kBefore = 4;  // driver command or wait: the point before the call
constexpr unsigned short kAfter = 8;   // and the point after it
constexpr int kEngineLane = 1000;

std::string fmt(const char* format, auto... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

unsigned short category_of(CallKind kind) {
  switch (kind) {
    case CallKind::kPrepare:
      return kCatPrepare;
    case CallKind::kPageStart:
      return kCatPageStart;
    case CallKind::kBand:
      return kCatBand;
    case CallKind::kStop:
      return kCatStop;
  }
  return 0;
}

const char* call_name(CallKind kind) {
  switch (kind) {
    case CallKind::kPrepare:
      return "prepare";
    case CallKind::kPageStart:
      return "page_start";
    case CallKind::kBand:
      return "band_exe";
    case CallKind::kStop:
      return "stop";
  }
  return "?";
}

const char* command_name(unsigned short category) {
  switch (category) {
    case kCatPageStart:
      return "page start command";
    case kCatBand:
      return "band command";
    case kCatStop:
      return "stop command";
  }
  return "command";
}

// Thread -> lane, in the order threads were named; threads nobody named get lanes after.
class Lanes {
 public:
  explicit Lanes(Model& m) : m_(m) {}
  int of(pthread_t t) {
    for (const auto& [thread, lane] : known_) {
      if (pthread_equal(thread, t)) {
        return lane;
      }
    }
    return add(t, fmt("thread %zu", known_.size() + 1));
  }
  int add(pthread_t t, const std::string& name) {
    const int lane = static_cast<int>(known_.size()) + 1;
    known_.emplace_back(t, lane);
    m_.lanes.push_back({lane, name});
    return lane;
  }

 private:
  Model& m_;
  std::vector<std::pair<pthread_t, int>> known_;
};

struct Window {
  uint64_t begin = 0;
  uint64_t end = 0;
  bool found = false;
};

// One thread's trace points, in time order.
using Points = std::vector<const platform::TracePoint*>;

// The first and the last point of `category` within [begin, end].
Window points_within(const Points& points, unsigned short category, uint64_t begin, uint64_t end) {
  Window w;
  auto it =
      std::lower_bound(points.begin(), points.end(), begin,
                       [](const platform::TracePoint* p, uint64_t t) { return p->time_ns < t; });
  for (; it != points.end() && (*it)->time_ns <= end; ++it) {
    if ((*it)->category != category) {
      continue;
    }
    if (!w.found) {
      w.begin = (*it)->time_ns;
      w.found = true;
    }
    w.end = (*it)->time_ns;
  }
  return w;
}

// The slices of one lane and category, which follow each other without overlapping (they
// are brackets on one thread), by start time.
class SliceIndex {
 public:
  void add(const Slice& s) { spans_[{s.lane, s.category}].push_back({s.begin_ns, s.end_ns}); }
  void sort() {
    for (auto& [key, spans] : spans_) {
      std::sort(spans.begin(), spans.end());
    }
  }
  // Whether a slice of that lane and category holds `t`.
  bool holds(int lane, const std::string& category, uint64_t t) const {
    const auto it = spans_.find({lane, category});
    if (it == spans_.end()) {
      return false;
    }
    const auto& spans = it->second;
    auto after = std::upper_bound(spans.begin(), spans.end(), std::make_pair(t, UINT64_MAX));
    return after != spans.begin() && std::prev(after)->second >= t;
  }

 private:
  std::map<std::pair<int, std::string>, std::vector<std::pair<uint64_t, uint64_t>>> spans_;
};

uint64_t mid(uint64_t a, uint64_t b) {
  return a + (b - a) / 2;
}

}  // namespace

Model build(const Input& in) {
  Model m;
  Lanes lanes(m);
  for (const NamedThread& t : in.threads) {
    lanes.add(t.thread, t.name);
  }
  std::vector<bool> submitter_lane(in.threads.size() + 2, false);
  for (const Call& c : in.calls) {
    const int lane = lanes.of(c.thread);
    if (static_cast<size_t>(lane) >= submitter_lane.size()) {
      submitter_lane.resize(static_cast<size_t>(lane) + 1, false);
    }
    submitter_lane[static_cast<size_t>(lane)] = true;
  }
  auto is_submitter = [&](int lane) {
    return static_cast<size_t>(lane) < submitter_lane.size() &&
           submitter_lane[static_cast<size_t>(lane)];
  };

  std::map<int, Points> points_of;  // lane -> its points
  for (const auto& p : in.points) {
    points_of[lanes.of(p.thread)].push_back(&p);
  }
  for (auto& [lane, points] : points_of) {
    std::stable_sort(points.begin(), points.end(),
                     [](auto* a, auto* b) { return a->time_ns < b->time_ns; });
  }

  // Submissions: one slice per call, from its request's first to its last trace point.
  std::map<std::pair<int32_t, long>, size_t> band_slice;  // (page, band) -> slice index
  std::map<int32_t, uint64_t> page_end;
  for (const Call& c : in.calls) {
    const int lane = lanes.of(c.thread);
    Window w = points_within(points_of[lane], category_of(c.kind), c.begin_ns, c.end_ns);
    if (!w.found) {
      w = {c.begin_ns, c.end_ns, true};
    }
    std::string name = fmt("%s page %d", call_name(c.kind), static_cast<int>(c.page));
    if (c.kind == CallKind::kBand) {
      name += fmt(" band %ld", c.band);
    }
    m.slices.push_back(
        {lane, name, "submit", w.begin, w.end,
         fmt("result %d%s", c.result,
             c.kind == CallKind::kBand ? (c.callback ? ", callback" : ", sync") : "")});
    if (c.kind == CallKind::kBand) {
      band_slice[{c.page, c.band}] = m.slices.size() - 1;
      if (!c.callback) {
        page_end[c.page] = std::max(page_end[c.page], w.end);
      }
    } else if (c.kind == CallKind::kPageStart) {
      m.instants.push_back({-1, fmt("page %d start", static_cast<int>(c.page)), w.end});
    } else if (c.kind == CallKind::kStop) {
      m.instants.push_back({lane, fmt("stop page %d", static_cast<int>(c.page)), w.begin});
      page_end[c.page] = std::max(page_end[c.page], w.end);
    }
  }

  // The library's threads: driver commands and waits are brackets, reports are instants.
  std::map<std::pair<int, unsigned>, uint64_t> open;  // (lane, category) -> bracket start
  for (const auto& p : in.points) {
    const int lane = lanes.of(p.thread);
    if (is_submitter(lane)) {
      continue;
    }
    if (p.category == kCatReport) {
      m.instants.push_back({lane, "completion report", p.time_ns});
      continue;
    }
    const bool bracket = p.category == kCatPageStart || p.category == kCatBand ||
                         p.category == kCatStop || p.category == kCatWait;
    if (!bracket) {
      continue;
    }
    const auto key = std::make_pair(lane, static_cast<unsigned>(p.category));
    if ((p.code & kBefore) != 0) {
      open[key] = p.time_ns;
    } else if ((p.code & kAfter) != 0 && open.count(key) != 0) {
      const bool wait = p.category == kCatWait;
      m.slices.push_back({lane, wait ? "driver wait" : command_name(p.category),
                          wait ? "wait" : "command", open[key], p.time_ns,
                          fmt("code 0x%x", static_cast<unsigned>(p.code & ~(kBefore | kAfter)))});
      open.erase(key);
    }
  }

  // Callbacks.
  std::map<std::pair<int32_t, long>, size_t> callback_slice;
  for (const Report& r : in.reports) {
    m.slices.push_back({lanes.of(r.thread),
                        fmt("callback page %d band %ld", static_cast<int>(r.page), r.band),
                        "callback", r.begin_ns, r.end_ns, fmt("outcome %d", r.outcome)});
    callback_slice[{r.page, r.band}] = m.slices.size() - 1;
    page_end[r.page] = std::max(page_end[r.page], r.end_ns);
  }

  SliceIndex index;
  for (const Slice& s : m.slices) {
    index.add(s);
  }
  index.sort();

  // Band calls in submission order, per band number, for naming the engine's bands.
  std::vector<const Call*> band_calls;
  for (const Call& c : in.calls) {
    if (c.kind == CallKind::kBand) {
      band_calls.push_back(&c);
    }
  }
  std::stable_sort(band_calls.begin(), band_calls.end(),
                   [](const Call* a, const Call* b) { return a->begin_ns < b->begin_ns; });
  std::map<long, std::deque<const Call*>> unmatched;
  for (const Call* c : band_calls) {
    unmatched[c->band].push_back(c);
  }

  // The engine: band commands and the reports they produced, per descriptor in order.
  m.lanes.push_back({kEngineLane, "engine"});
  if (in.engine_log_begin_ns != 0) {
    // Bands before this point ran, but the engine's logs no longer hold them.
    m.instants.push_back({kEngineLane, kLogBegins, in.engine_log_begin_ns});
    m.engine_log_begin_ns = in.engine_log_begin_ns;
  }
  std::map<int, std::deque<const pvgen_sim_answer*>> reports;
  for (const pvgen_sim_answer& a : in.answers) {
    if (a.took_report != 0) {
      reports[a.fd].push_back(&a);
    }
  }
  std::map<int, uint64_t> engine_free;  // per descriptor: when its last band was done
  for (const pvgen_sim_command& c : in.commands) {
    if (c.code != PVGEN_SIM_IOC_BAND_EXE) {
      continue;
    }
    const pvgen_sim_answer* answer = nullptr;
    if (auto it = reports.find(c.fd); it != reports.end() && !it->second.empty()) {
      answer = it->second.front();
      it->second.pop_front();
    }
    if (c.ret != 0 || c.result != 0) {
      continue;  // refused: the engine did not run it
    }
    const uint64_t begin = std::max(c.time_ns, engine_free[c.fd]);
    const uint64_t end =
        answer != nullptr && answer->due_ns >= begin ? answer->due_ns : begin + in.band_time_ns;
    engine_free[c.fd] = end;

    const long band = static_cast<long>(c.blk.job_id);
    const Call* call = nullptr;
    if (auto it = unmatched.find(band);
        it != unmatched.end() && !it->second.empty() && it->second.front()->begin_ns <= c.time_ns) {
      call = it->second.front();
      it->second.pop_front();
    }
    const std::string name = call != nullptr
                                 ? fmt("band %d/%ld", static_cast<int>(call->page), band)
                                 : fmt("band %ld", band);
    m.slices.push_back({kEngineLane, name, "engine", begin, end,
                        fmt("queued %.3f us", static_cast<double>(begin - c.time_ns) / 1e3)});
    ++m.engine_slices;
    if (call == nullptr) {
      continue;
    }

    // The band's way: submission, driver command, engine, the worker's wait, and the
    // callback or the wake-up of the waiting caller.
    Flow flow{fmt("page %d band %ld", static_cast<int>(call->page), band), {}};
    if (auto it = band_slice.find({call->page, band}); it != band_slice.end()) {
      const Slice& s = m.slices[it->second];
      flow.steps.push_back({s.lane, s.begin_ns + (s.end_ns > s.begin_ns ? 1 : 0)});
    }
    const int dispatcher = lanes.of(c.thread);
    if (index.holds(dispatcher, "command", c.time_ns)) {
      flow.steps.push_back({dispatcher, c.time_ns});
    }
    flow.steps.push_back({kEngineLane, mid(begin, end)});
    if (answer != nullptr) {
      const int worker = lanes.of(answer->thread);
      if (index.holds(worker, "wait", answer->time_ns)) {
        flow.steps.push_back({worker, answer->time_ns});
      }
    }
    if (call->callback) {
      if (auto it = callback_slice.find({call->page, band}); it != callback_slice.end()) {
        const Slice& s = m.slices[it->second];
        flow.steps.push_back({s.lane, mid(s.begin_ns, s.end_ns)});
      }
    } else if (auto it = band_slice.find({call->page, band}); it != band_slice.end()) {
      const Slice& s = m.slices[it->second];
      flow.steps.push_back({s.lane, s.end_ns - (s.end_ns > s.begin_ns ? 1 : 0)});
    }
    // Steps in time order only; one that would go back in time is left out.
    std::vector<FlowStep> steps;
    for (const FlowStep& s : flow.steps) {
      if (steps.empty() || s.time_ns >= steps.back().time_ns) {
        steps.push_back(s);
      }
    }
    flow.steps = std::move(steps);
    if (flow.steps.size() >= 2) {
      m.flows.push_back(std::move(flow));
    }
  }

  for (const auto& [page, t] : page_end) {
    m.instants.push_back({-1, fmt("page %d end", static_cast<int>(page)), t});
  }
  return m;
}

// ---------------------------------------------------------------- writing

namespace {

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (const char ch : s) {
    switch (ch) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (static_cast<unsigned char>(ch) < 0x20) {
          out += fmt("\\u%04x", static_cast<unsigned>(ch));
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

uint64_t origin_of(const Model& m) {
  uint64_t t = UINT64_MAX;
  for (const Slice& s : m.slices) {
    t = std::min(t, s.begin_ns);
  }
  for (const Instant& i : m.instants) {
    t = std::min(t, i.time_ns);
  }
  return t == UINT64_MAX ? 0 : t;
}

// Microseconds since the origin, to the nanosecond.
std::string us(uint64_t t, uint64_t origin) {
  const uint64_t d = t - std::min(t, origin);
  return fmt("%" PRIu64 ".%03" PRIu64, d / 1000, d % 1000);
}

}  // namespace

std::string to_trace_json(const Model& m, int pid, const std::string& process) {
  const uint64_t origin = origin_of(m);
  std::string out = "{\"displayTimeUnit\":\"ns\",\"traceEvents\":[\n";
  const std::string p = fmt("\"pid\":%d", pid);
  out += "{\"ph\":\"M\"," + p +
         ",\"tid\":0,\"name\":\"process_name\",\"args\":{\"name\":" + quoted(process) + "}}";
  int order = 0;
  for (const Lane& l : m.lanes) {
    const std::string t = p + fmt(",\"tid\":%d", l.id);
    out += ",\n{\"ph\":\"M\"," + t +
           ",\"name\":\"thread_name\",\"args\":{\"name\":" + quoted(l.name) + "}}";
    out += ",\n{\"ph\":\"M\"," + t +
           fmt(",\"name\":\"thread_sort_index\",\"args\":{\"sort_index\":%d}}", order++);
  }
  for (const Slice& s : m.slices) {
    out += ",\n{\"ph\":\"X\"," + p + fmt(",\"tid\":%d", s.lane) +
           ",\"ts\":" + us(s.begin_ns, origin) + ",\"dur\":" + us(s.end_ns, s.begin_ns) +
           ",\"name\":" + quoted(s.name) + ",\"cat\":" + quoted(s.category) +
           ",\"args\":{\"detail\":" + quoted(s.detail) + "}}";
  }
  for (const Instant& i : m.instants) {
    out += ",\n{\"ph\":\"i\"," + p +
           (i.lane < 0 ? std::string(",\"tid\":0,\"s\":\"p\"")
                       : fmt(",\"tid\":%d,\"s\":\"t\"", i.lane)) +
           ",\"ts\":" + us(i.time_ns, origin) + ",\"name\":" + quoted(i.name) +
           ",\"cat\":\"page\"}";
  }
  int id = 0;
  for (const Flow& f : m.flows) {
    ++id;
    for (size_t k = 0; k < f.steps.size(); ++k) {
      const char* ph = k == 0 ? "s" : (k + 1 == f.steps.size() ? "f" : "t");
      out += fmt(",\n{\"ph\":\"%s\",\"bp\":\"e\",\"id\":%d,", ph, id) + p +
             fmt(",\"tid\":%d", f.steps[k].lane) + ",\"ts\":" + us(f.steps[k].time_ns, origin) +
             ",\"name\":" + quoted(f.name) + ",\"cat\":\"band\"}";
    }
  }
  out += "\n]}\n";
  return out;
}

std::string to_html(const Model& m, int pid, const std::string& process) {
  // Inside the script element, "</" could end it early; "<\/" reads the same in JSON.
  const std::string json = to_trace_json(m, pid, process);
  std::string safe;
  safe.reserve(json.size());
  for (size_t i = 0; i < json.size(); ++i) {
    safe += json[i];
    if (json[i] == '<' && i + 1 < json.size() && json[i + 1] == '/') {
      safe += '\\';
    }
  }
  return std::string(kPageHead) + safe + kPageTail;
}

}  // namespace timeline
