// pvgen-run's timeline, summary figures and progress line. The model is checked on made-up
// logs where the answer is known; pvgen-run is run as a process and its trace-event file is
// parsed as a viewer would (timeline_browser_test draws its HTML page).
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run_figures.h"
#include "support/json_reader.h"
#include "support/tool_process.h"
#include "timeline.h"

namespace {

using namespace tool_process;

// ---------------------------------------------------------------- the model

pvgen_sim_command band_command(uint32_t job, uint64_t t, int32_t result = 0) {
  pvgen_sim_command c{};
  c.code = PVGEN_SIM_IOC_BAND_EXE;
  c.fd = 5;
  c.thread = pthread_self();
  c.time_ns = t;
  c.result = result;
  c.blk.job_id = job;
  return c;
}

pvgen_sim_answer report(uint64_t due, uint64_t returned) {
  pvgen_sim_answer a{};
  a.fd = 5;
  a.thread = pthread_self();
  a.due_ns = due;
  a.time_ns = returned;
  a.took_report = 1;
  return a;
}

std::vector<std::pair<uint64_t, uint64_t>> engine_slices(const timeline::Model& m) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const auto& s : m.slices) {
    if (s.category == "engine") {
      out.emplace_back(s.begin_ns, s.end_ns);
    }
  }
  return out;
}

// A band starts when it is commanded or when the engine is done with the one before,
// whichever is later, and ends when its report was due; a refused band still takes its
// report off the queue but was never run; a report that never came leaves the band its
// engine time.
TEST(TimelineModel, EngineSlicesFollowCommandsAndReportsInOrder) {
  timeline::Input in;
  in.band_time_ns = 50;
  in.commands = {band_command(1, 0), band_command(2, 10), band_command(3, 20, 4),
                 band_command(4, 300), band_command(5, 400)};
  in.answers = {report(50, 60), report(100, 110), report(100, 111), report(350, 360)};
  in.answers.insert(in.answers.begin() + 1, pvgen_sim_answer{});  // "not yet": no report
  const timeline::Model m = timeline::build(in);
  using Span = std::vector<std::pair<uint64_t, uint64_t>>;
  EXPECT_EQ(engine_slices(m), (Span{{0, 50}, {50, 100}, {300, 350}, {400, 450}}));
  EXPECT_EQ(m.engine_slices, 4u);
  ASSERT_FALSE(m.lanes.empty());
  EXPECT_EQ(m.lanes.back().name, "engine");
}

// Driver commands and waits are the brackets between their before and after points on the
// library's threads; a submission is its request's points within pvgen-run's call, and one
// band's flow goes submission -> command -> engine -> wait -> callback, forward in time.
TEST(TimelineModel, BracketsCallsAndOneFlowPerBand) {
  const pthread_t self = pthread_self();
  timeline::Input in;
  pthread_t other{};
  std::memset(&other, 0xA5, sizeof other);
  in.threads = {{self, "pvgen-submit-1"}, {other, "quorl_pvgen_ch"}};
  auto point = [](unsigned short cat, unsigned short code, pthread_t t, uint64_t at) {
    return platform::TracePoint{cat, code, 1, t, at};
  };
  // The submitter's band (0x421..0x422) and, on the other thread, a command and a wait.
  in.points = {point(4, 0x421, self, 100),      point(4, 0x422, self, 120),
               point(4, 0x428 | 4, other, 130), point(4, 0x428 | 8, other, 140),
               point(32, 4, other, 150),        point(32, 8, other, 400)};
  in.calls = {{timeline::CallKind::kBand, 7, 1, true, self, 90, 125, 0}};
  in.reports = {{7, 1, 0, other, 410, 420}};
  pvgen_sim_command c = band_command(1, 135);
  c.thread = other;
  in.commands = {c};
  pvgen_sim_answer a = report(380, 390);
  a.thread = other;
  in.answers = {a};
  const timeline::Model m = timeline::build(in);

  std::map<std::string, std::pair<uint64_t, uint64_t>> by_name;
  for (const auto& s : m.slices) {
    by_name[s.name] = {s.begin_ns, s.end_ns};
  }
  using Span = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(by_name["band_exe page 7 band 1"], Span(100, 120));
  EXPECT_EQ(by_name["band command"], Span(130, 140));
  EXPECT_EQ(by_name["driver wait"], Span(150, 400));
  EXPECT_EQ(by_name["band 7/1"], Span(135, 380));
  EXPECT_EQ(by_name["callback page 7 band 1"], Span(410, 420));
  ASSERT_EQ(m.flows.size(), 1u);
  std::vector<int> lanes;
  for (size_t k = 0; k < m.flows[0].steps.size(); ++k) {
    lanes.push_back(m.flows[0].steps[k].lane);
    if (k > 0) {
      EXPECT_LE(m.flows[0].steps[k - 1].time_ns, m.flows[0].steps[k].time_ns);
    }
  }
  EXPECT_EQ(lanes, (std::vector<int>{1, 2, 1000, 2, 2}));
}

// Nearest-rank percentiles, and the progress line's figures.
TEST(RunFigures, PercentilesAndProgressLine) {
  std::vector<uint64_t> d;
  for (uint64_t i = 100; i >= 1; --i) {
    d.push_back(i * 1000);
  }
  const figures::Latency l = figures::latency_of(d);
  EXPECT_EQ(l.count, 100u);
  EXPECT_DOUBLE_EQ(l.p50_us, 50);
  EXPECT_DOUBLE_EQ(l.p99_us, 99);
  EXPECT_DOUBLE_EQ(l.max_us, 100);
  EXPECT_EQ(figures::latency_of({}).count, 0u);
  EXPECT_DOUBLE_EQ(figures::latency_of({7000}).p99_us, 7);

  const std::string line = figures::progress_line(3, 10, 250, 1000, 2.0, 100);
  EXPECT_NE(line.find(" 25% pages 3/10 bands 250/1000 125 bands/s ETA 0:06"), std::string::npos)
      << line;
  EXPECT_EQ(line.find('>'), line.find('[') + 1 + (line.find(']') - line.find('[') - 1) / 4);
  EXPECT_LE(line.size(), 100u);
  EXPECT_NE(figures::progress_line(0, 1, 0, 10, 0.5, 80).find("ETA --:--"), std::string::npos);
}

// ---------------------------------------------------------------- pvgen-run as a process

json::Value parse(const std::string& text) {
  json::Reader reader(text);
  auto v = reader.document();
  EXPECT_TRUE(v.has_value()) << reader.error();
  return v.value_or(json::Value{});
}

struct Trace {
  std::map<double, std::string> lane_names;  // tid -> name
  std::vector<const json::Value*> slices, instants;
  std::map<double, std::vector<const json::Value*>> flows;  // id -> steps in file order
  std::vector<const json::Value*> on(const std::string& lane, const std::string& cat = "") const {
    std::vector<const json::Value*> out;
    for (const json::Value* e : slices) {
      if (lane_names.at(e->num("tid")) == lane && (cat.empty() || e->str("cat") == cat)) {
        out.push_back(e);
      }
    }
    return out;
  }
};

Trace read_trace(const json::Value& doc) {
  Trace t;
  const json::Value* events = doc.find("traceEvents");
  if (events == nullptr || events->kind != json::Value::kArray) {
    ADD_FAILURE() << "no traceEvents";
    return t;
  }
  for (const json::Value& e : events->items) {
    const std::string ph = e.str("ph");
    if (ph == "M" && e.str("name") == "thread_name") {
      t.lane_names[e.num("tid")] = e.find("args")->str("name");
    } else if (ph == "X") {
      t.slices.push_back(&e);
    } else if (ph == "i") {
      t.instants.push_back(&e);
    } else if (ph == "s" || ph == "t" || ph == "f") {
      t.flows[e.num("id")].push_back(&e);
    }
  }
  return t;
}

// Two pages of 20 bands of 200 us, with callbacks, synchronous, and synchronous stopped after 5:
// the file parses, has a lane for the submitter, both library threads and the engine, and
// one engine slice per band the engine ran (as the summary counts them), one after the
// other and each as long as the engine's band time; every band that ran is followed from
// submission to the engine and on to its outcome; pages and stops are marked.
TEST(TimelineExport, TraceFileHasTheLanesAndOneEngineSlicePerBandRun) {
  const std::string file = temp_path("t.json");
  for (const std::string mode : {"--mode callback", "--mode sync", "--mode sync --stop-after 5"}) {
    SCOPED_TRACE(mode);
    const auto [status, out] = shell(command_prefix() + " --pages 2 --bands 20 --band-time 200us " +
                                     mode + " --quiet --json --timeline " + file);
    ASSERT_EQ(status, 0) << out;
    const json::Value summary = parse(out);
    const double bands_run = summary.find("engine")->num("bands_run");
    EXPECT_EQ(summary.num("timeline_engine_slices"), bands_run);
    const bool stopped = mode.find("stop") != std::string::npos;
    EXPECT_EQ(bands_run, stopped ? 10 : 40);

    const json::Value doc = parse(read_file(file));
    const Trace t = read_trace(doc);
    std::set<std::string> names;
    for (const auto& [tid, name] : t.lane_names) {
      names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"pvgen-submit-1", "quorl_pvgen_ctrl", "quorl_pvgen_ch",
                                            "engine"}));
    auto engine = t.on("engine");
    EXPECT_EQ(engine.size(), bands_run);
    std::sort(engine.begin(), engine.end(),
              [](auto* a, auto* b) { return a->num("ts") < b->num("ts"); });
    for (size_t i = 0; i < engine.size(); ++i) {
      EXPECT_GE(engine[i]->num("dur"), 200.0 - 0.0015) << i;
      if (i > 0) {
        EXPECT_GE(engine[i]->num("ts") + 0.0015,
                  engine[i - 1]->num("ts") + engine[i - 1]->num("dur"));
      }
    }
    EXPECT_GE(t.on("quorl_pvgen_ctrl", "command").size(), bands_run);
    EXPECT_GE(t.on("quorl_pvgen_ch", "wait").size(), bands_run);
    EXPECT_EQ(t.on("pvgen-submit-1", "callback").size(), 0u);  // callbacks run on the worker

    size_t through_engine = 0;
    for (const auto& [id, steps] : t.flows) {
      ASSERT_GE(steps.size(), 2u);
      EXPECT_EQ(steps.front()->str("ph"), "s");
      EXPECT_EQ(steps.back()->str("ph"), "f");
      EXPECT_EQ(t.lane_names.at(steps.front()->num("tid")), "pvgen-submit-1");
      EXPECT_EQ(t.lane_names.at(steps.back()->num("tid")),
                mode == "--mode callback" ? "quorl_pvgen_ch" : "pvgen-submit-1");
      for (size_t k = 1; k < steps.size(); ++k) {
        EXPECT_LE(steps[k - 1]->num("ts"), steps[k]->num("ts"));
        through_engine += t.lane_names.at(steps[k]->num("tid")) == "engine" ? 1 : 0;
      }
    }
    EXPECT_EQ(through_engine, engine.size());
    std::multiset<std::string> marks;
    for (const json::Value* i : t.instants) {
      marks.insert(i->str("name"));
    }
    EXPECT_EQ(marks.count("page 1 start") + marks.count("page 2 start"), 2u);
    EXPECT_EQ(marks.count("page 1 end") + marks.count("page 2 end"), 2u);
    EXPECT_EQ(marks.count("stop page 1") + marks.count("stop page 2"), stopped ? 2u : 0u);
  }
  std::remove(file.c_str());
}

// The text summary has the latency lines: a synchronous band takes at least the engine's
// band time from submission to its return, and the percentiles are in order.
TEST(RunSummary, LatencyFiguresAndUsage) {
  auto [status, out] =
      shell(command_prefix() + " --pages 1 --bands 20 --band-time 200us --mode sync --quiet");
  ASSERT_EQ(status, 0) << out;
  double p50 = 0, p99 = 0, max = 0;
  int bands = 0;
  const size_t at = out.find("latency sync: ");
  ASSERT_NE(at, std::string::npos) << out;
  ASSERT_EQ(
      std::sscanf(out.c_str() + at, "latency sync: p50 %lf us, p99 %lf us, max %lf us (%d bands)",
                  &p50, &p99, &max, &bands),
      4);
  EXPECT_EQ(bands, 20);
  EXPECT_GE(p50, 200.0);
  EXPECT_LE(p50, p99);
  EXPECT_LE(p99, max);
  EXPECT_NE(out.find("latency callback: no bands"), std::string::npos);

  std::tie(status, out) = shell(command_prefix() + " --pages 1 --bands 8 --band-time 100us --json");
  ASSERT_EQ(status, 0);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;  // no band lines
  const json::Value s = parse(out);
  EXPECT_EQ(s.find("latency_callback")->num("bands"), 8);
  EXPECT_GE(s.find("latency_callback")->num("p50_us"), 100.0);
  EXPECT_EQ(s.find("latency_sync")->num("bands"), 0);
  EXPECT_EQ(s.str("status"), "ok");
  const double utilisation = s.find("engine")->num("utilisation_percent");
  EXPECT_TRUE(utilisation > 0 && utilisation <= 100) << utilisation;

  std::tie(status, out) = shell(command_prefix() + " --timeline t.txt 2>&1");
  EXPECT_EQ(status, 2);
  EXPECT_NE(out.find("must end in .json or .html"), std::string::npos) << out;
}

#ifndef PVGEN_RUN_EMULATOR
// Output of a run whose standard streams are a pseudo-terminal.
std::string run_on_terminal(const std::string& args) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    unsetenv("LD_PRELOAD");
    unsetenv("PVGEN_RUN_SIMULATED");
    execl("/bin/sh", "sh", "-c", (std::string(PVGEN_RUN_PATH) + " " + args).c_str(), nullptr);
    _exit(127);
  }
  std::string out;
  char buf[4096];
  ssize_t n;
  while (pid > 0 && (n = read(master, buf, sizeof buf)) > 0) {  // EIO once the child is gone
    out.append(buf, static_cast<size_t>(n));
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  close(master);
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << out;
  return out;
}

#endif

// A run of about 1.5 s shows its progress on a terminal and clears it at the end; the same
// run into a pipe, or with --quiet, shows none.
TEST(ProgressLine, OnlyOnATerminalAndNotWhenQuiet) {
#ifdef PVGEN_RUN_EMULATOR
  GTEST_SKIP() << "checked on the host";
#else
  const std::string args = "--pages 2 --bands 150 --band-time 5ms";
  const std::string tty = run_on_terminal(args + " > /dev/null");
  EXPECT_NE(tty.find("\r["), std::string::npos) << tty;
  EXPECT_NE(tty.find("/2 bands "), std::string::npos) << tty;
  EXPECT_NE(tty.find("/300 "), std::string::npos) << tty;
  EXPECT_NE(tty.find(" ETA "), std::string::npos) << tty;
  EXPECT_EQ(tty.substr(tty.size() - 4), "\r\033[K") << tty;  // cleared: nothing after it

  EXPECT_EQ(run_on_terminal(args + " --quiet").find("ETA"), std::string::npos);
  const auto [status, piped] = shell(command_prefix() + " " + args + " --quiet 2>&1");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(piped.find("ETA"), std::string::npos) << piped;
#endif
}

}  // namespace
