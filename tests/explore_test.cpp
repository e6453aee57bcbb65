// pvgen-explore as a process, on the scenarios and the planted fault of tests/explore/: the
// same options give the same digest, the planted lost wake-up is caught as an endless wait
// and its schedule file replays to the same trace, the preemption-bounded search covers its
// space, the library's corners run clean, results that break the library's contract fail the
// schedule, and what the tool says about failing programs and bad command lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "explore_protocol.h"
#include "support/tool_process.h"

namespace {

using testing::HasSubstr;
using testing::Not;
using tool_process::read_file;
using tool_process::shell;
using tool_process::temp_path;

std::string program(const std::string& name) {
  return std::string(PVGEN_EXPLORE_PROGRAMS) + "/explore_" + name;
}

std::pair<int, std::string> explore(const std::string& args) {
  return shell(std::string(PVGEN_EXPLORE_PATH) + " " + args);
}

std::string digest_of(const std::string& out) {
  const size_t at = out.rfind("digest: ");
  return at == std::string::npos ? std::string() : out.substr(at + 8, 16);
}

// The report of the first failing schedule, without the line that names the schedule.
std::string report_of(const std::string& err) {
  const size_t start = err.find('\n');
  const size_t end = err.find("\n---", start);
  return start == std::string::npos || end == std::string::npos
             ? std::string()
             : err.substr(start + 1, end - start);
}

TEST(Explore, SameOptionsGiveTheSameDigest) {
  for (const std::string args : {"--seed 11 --schedules 25", "--pct 3 --seed 5 --schedules 25"}) {
    const std::string command = args + " -- " + program("stop_while_submitting");
    const auto [first, out1] = explore(command);
    const auto [second, out2] = explore(command);
    EXPECT_EQ(first, 0) << out1;
    EXPECT_EQ(second, 0) << out2;
    EXPECT_THAT(out1, HasSubstr("schedules: 25  failures: 0"));
    ASSERT_EQ(digest_of(out1).size(), 16u) << out1;
    EXPECT_EQ(digest_of(out1), digest_of(out2)) << args;
  }
}

TEST(Explore, PlantedLostWakeupIsAnEndlessWaitWhoseScheduleReplays) {
  const std::string file = temp_path("lost-wakeup.schedule");
  const std::string err1 = temp_path("lost-wakeup.err1");
  const std::string err2 = temp_path("lost-wakeup.err2");
  const auto [status, out] = explore("--seed 3 --schedules 200 --out " + file + " -- " +
                                     program("planted_lost_wakeup") + " 2>" + err1);
  EXPECT_EQ(status, 1) << out;
  EXPECT_THAT(out, HasSubstr("FAIL schedule "));
  EXPECT_THAT(out, HasSubstr("endless wait: every thread is blocked and no timer is pending"));
  const std::string report = report_of(read_file(err1));
  EXPECT_THAT(report, HasSubstr("\"main\": joins thread 1"));
  EXPECT_THAT(report, HasSubstr("waits on OSW event"));
  EXPECT_THAT(report, HasSubstr("last events:"));
  EXPECT_THAT(read_file(file), HasSubstr("choices: "));

  const auto [again, replayed] =
      explore("--replay " + file + " -- " + program("planted_lost_wakeup") + " 2>" + err2);
  EXPECT_EQ(again, 1) << replayed;
  EXPECT_THAT(replayed, HasSubstr("replay: the same event trace"));
  EXPECT_EQ(report_of(read_file(err2)), report);
}

TEST(Explore, PreemptionBoundedSearchCoversItsSpace) {
  // The lost wake-up needs the waiter preempted between its two holds of the mutex.
  const auto [clean, out0] = explore("--exhaustive 0 -- " + program("planted_lost_wakeup"));
  EXPECT_EQ(clean, 0) << out0;
  EXPECT_THAT(out0, HasSubstr("at most 0 preemptions, the space is covered"));
  const auto [found, out1] =
      explore("--exhaustive 1 -- " + program("planted_lost_wakeup") + " 2>/dev/null");
  EXPECT_EQ(found, 1) << out1;
  EXPECT_THAT(out1, HasSubstr("endless wait"));
  EXPECT_THAT(out1, HasSubstr("at most 1 preemptions, the space is covered"));
  const auto [bounded, out2] =
      explore("--exhaustive 2 --schedules 3 -- " + program("stop_while_submitting"));
  EXPECT_EQ(bounded, 0) << out2;
  EXPECT_THAT(out2, HasSubstr("3 schedules with at most 2 preemptions, the space is NOT covered"));
}

TEST(Explore, EndlessWaitInTheLibraryShowsBlockingPointsAndTheRequestList) {
  const std::string err = temp_path("callback-stop.err");
  const auto [status, out] =
      explore("--band-time 10ms --schedules 2 -- " + program("stop_in_callback") + " 2>" + err);
  EXPECT_EQ(status, 1) << out;
  EXPECT_THAT(out, HasSubstr("schedules: 2  failures: 2"));
  const std::string report = report_of(read_file(err));
  // The worker runs the callback, whose stop waits for the worker itself.
  EXPECT_THAT(report, HasSubstr("\"quorl_pvgen_ch\": waits on OSW event"));
  EXPECT_THAT(report, HasSubstr("from norvane::quorl_cnv_pvgen_control::stop("));
  EXPECT_THAT(report, HasSubstr("\"quorl_pvgen_ctrl\": waits on OSW event"));
  EXPECT_THAT(report, HasSubstr("request list (diagnostic command PVGEN):"));
  EXPECT_THAT(report, HasSubstr("list_num = "));
  // The channel holds the page with its band handed to the worker, which runs the callback
  // and waits in the stop for its own request, not on the channel.
  EXPECT_THAT(report, HasSubstr("channels (read without locks):\n  channel 0/0/0 plane 0 (worker "
                                "thread 2, running): state 2 (band page), page 1 (binding 1), "
                                "jobs handed to the worker 1, taken 0"));
  EXPECT_THAT(report, HasSubstr("waiting on its events: none"));
  // The band time went by on the virtual clock.
  EXPECT_THAT(report, HasSubstr("(virtual time 1.010000 s)"));
  EXPECT_THAT(report, HasSubstr("driver-wait"));

  const auto [bounded, said] =
      explore("--max-points 40 --schedules 1 -- " + program("stop_in_callback") + " 2>/dev/null");
  EXPECT_EQ(bounded, 1);
  EXPECT_THAT(said, HasSubstr("no end: more than 40 scheduling points"));
}

// A corner of the decided behaviour, and what the simulated engine does in it.
struct Corner {
  const char* program;
  const char* engine;
};

void PrintTo(const Corner& corner, std::ostream* os) {
  *os << corner.program;
}

class ExploreScenario : public testing::TestWithParam<Corner> {};

TEST_P(ExploreScenario, RunsCleanUnderRandomAndPctSchedules) {
  for (const std::string strategy : {"--random --seed 21", "--pct 2 --seed 22"}) {
    const auto [status, out] = explore(strategy + " " + GetParam().engine + " --schedules 40 -- " +
                                       program(GetParam().program) + " 2>&1");
    EXPECT_EQ(status, 0) << strategy << "\n" << out;
    EXPECT_THAT(out, HasSubstr("schedules: 40  failures: 0"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Corners, ExploreScenario,
    testing::Values(Corner{"stop_while_submitting", ""}, Corner{"band_before_page_start", ""},
                    Corner{"pageless_band_before_stop", ""}, Corner{"two_stops_of_one_page", ""},
                    Corner{"failed_wait", "--faults 'wait#1:errno=EIO'"},
                    Corner{"release_in_flight", ""},
                    Corner{"page_ended_by_failed_band", "--faults 'band#1:result=4'"},
                    Corner{"reports_then_exit", ""}),
    [](const testing::TestParamInfo<Corner>& info) { return std::string(info.param.program); });

// A stand-in preloaded between the program and the library breaks one of the library's
// promises (tests/explore/planted_library.cpp); pvgen-explore's own checks fail the schedule
// with one line naming the invariant, the page and the band.
struct Planted {
  const char* fault;
  const char* args;
  const char* line;
};

// The shared AddressSanitizer runtime this test runs on (a GCC sanitizer build), which must
// come first in a preload list of pvgen-explore's built the same way; empty otherwise.
std::string sanitizer_runtime_first() {
  const std::string runtime = explore_protocol::shared_sanitizer_runtime();
  return runtime.empty() ? runtime : runtime + ":";
}

std::string planted(const Planted& p, const std::string& options) {
  return std::string("LD_PRELOAD=") + sanitizer_runtime_first() + PVGEN_PLANTED_LIBRARY +
         " PVGEN_PLANTED=" + p.fault + " " + PVGEN_EXPLORE_PATH + " " + options + " -- " +
         program("reports_then_exit") + " " + p.args;
}

TEST(Explore, ResultsThatBreakTheLibrarysContractFailTheSchedule) {
  const Planted cases[] = {
      {"twice", "",
       "invariant: band of page 1 with job_id 0x1 was reported 2 times for 1 band_exe call(s) "
       "not refused: reported more than once"},
      {"lost", "",
       "invariant: band of page 1 with job_id 0x1: 1 band_exe call(s) returned 0, 0 reported, "
       "with the library at rest and no stop of the page: a band never reported"},
      {"after_stop", "stop-late",
       "invariant: band of page 1 with job_id 0x1 was reported after a stop of its page "
       "returned, although its band_exe had returned 0 before that stop was called"},
      {"outcome", "stop-now", "invariant: stop of page 1 returned 7 (allowed: 0, -5)"},
      {"held", "",
       "invariant: the library at rest still holds 1 listed request(s), 1 completion "
       "semaphore(s) in use and 0 observer wrapper(s)"},
  };
  for (const Planted& p : cases) {
    const auto [status, out] = shell(planted(p, "--seed 4 --schedules 5") + " 2>/dev/null");
    EXPECT_EQ(status, 1) << p.fault << "\n" << out;
    EXPECT_THAT(out, HasSubstr("schedules: 5  failures: 5")) << p.fault;
    EXPECT_THAT(out, HasSubstr("FAIL schedule 1 (random seed ")) << p.fault;
    EXPECT_THAT(out, HasSubstr(std::string("): ") + p.line + "\n")) << p.fault;
    // The same stand-in with the checks turned off: nothing the program itself sees fails.
    const auto [off, said] = shell(planted(p, "--no-invariants --seed 4 --schedules 5") + " 2>&1");
    EXPECT_EQ(off, 0) << p.fault << "\n" << said;
  }
  // The failing schedule replays to the same trace and the same violation.
  const std::string file = temp_path("planted.schedule");
  const Planted late = cases[2];
  const auto [found, out] = shell(planted(late, "--out " + file + " --schedules 3") + " 2>&1");
  EXPECT_EQ(found, 1) << out;
  const auto [again, replayed] = shell(planted(late, "--replay " + file) + " 2>&1");
  EXPECT_EQ(again, 1) << replayed;
  EXPECT_THAT(replayed, HasSubstr("replay: the same event trace"));
  EXPECT_THAT(replayed, HasSubstr(late.line));
}

TEST(Explore, ContractKeptByTheLibraryRunsCleanWithStopsOrNone) {
  for (const std::string args : {"", "stop-now", "stop-late"}) {
    const auto [status, out] = explore("--seed 8 --schedules 30 -- " +
                                       program("reports_then_exit") + " " + args + " 2>&1");
    EXPECT_EQ(status, 0) << args << "\n" << out;
    EXPECT_THAT(out, HasSubstr("schedules: 30  failures: 0")) << args;
  }
}

TEST(Explore, ThreadBlockedOutsideTheSchedulerIsReported) {
  const std::string err = temp_path("outside.err");
  const auto [status, out] =
      explore("--schedules 1 -- " + program("blocked_outside") + " 2>" + err);
  EXPECT_EQ(status, 1) << out;
  EXPECT_THAT(out, HasSubstr("stuck: thread 2 \"thread-2\" has reached no scheduling point"));
  EXPECT_THAT(read_file(err), HasSubstr("\"thread-2\": running since its event-wait"));
}

TEST(Explore, ExitStatusAndCrashOfTheProgramFailTheSchedule) {
  const auto [status, out] = explore("--schedules 2 -- sh -c 'exit 4' 2>/dev/null");
  EXPECT_EQ(status, 1);
  EXPECT_THAT(out, HasSubstr("exit status 4"));
  EXPECT_THAT(out, HasSubstr("schedules: 2  failures: 2"));
  const std::string err = temp_path("crash.err");
  const auto [crash, crashed] = explore("--schedules 1 -- sh -c 'kill -SEGV $$' 2>" + err);
  EXPECT_EQ(crash, 1);
  EXPECT_THAT(crashed, HasSubstr("crashed with signal 11"));
  // The crashing thread and its stack are in the schedule's output.
  EXPECT_THAT(read_file(err), HasSubstr("crash: signal 11 in thread 0 \"main\""));
}

// In a build with AddressSanitizer the sanitizer's report of a schedule's program fails the
// schedule, and the report is shown; the schedules where the read comes first pass.
TEST(Explore, SanitizerReportFailsTheScheduleAndIsShown) {
#if !PVGEN_ASAN
  GTEST_SKIP() << "needs the AddressSanitizer build (preset asan)";
#else
  const std::string err = temp_path("use-after-free.err");
  const auto [status, out] =
      explore("--seed 1 --schedules 20 -- " + program("planted_use_after_free") + " 2>" + err);
  EXPECT_EQ(status, 1) << out;
  EXPECT_THAT(out, HasSubstr("FAIL schedule "));
  EXPECT_THAT(out, Not(HasSubstr("failures: 20")));
  const std::string report = read_file(err);
  EXPECT_THAT(report, HasSubstr("AddressSanitizer: heap-use-after-free"));
  EXPECT_THAT(report, HasSubstr("freer"));
#endif
}

TEST(Explore, UsageErrorsSayWhatIsWrongInOneLine) {
  for (const std::string args :
       {"", "--schedules 1", "--frob -- true", "--pct 0 -- true", "--exhaustive 9 -- true",
        "--random --pct 2 -- true", "--seconds -1 -- true", "--replay /nonexistent -- true",
        "--seed -- true", "--max-points 0 -- true", "--faults 'band#0:again' -- true"}) {
    const auto [status, out] = explore(args + " 2>&1");
    EXPECT_EQ(status, 2) << args << ": " << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << args << ": " << out;
    EXPECT_THAT(out, HasSubstr("pvgen-explore: ")) << args;
  }
  const auto [help, text] = explore("--help");
  EXPECT_EQ(help, 0);
  EXPECT_THAT(text, HasSubstr("usage: pvgen-explore [OPTIONS] -- PROGRAM [ARGS]"));
  // A bad fault rule is named by the simulated engine's reader before anything runs.
  const auto [faults, rule] = explore("--faults 'band#1:frob' -- /nonexistent/program 2>&1");
  EXPECT_EQ(faults, 2);
  EXPECT_THAT(rule, HasSubstr("pvgen-explore: --faults: rule 'band#1:frob'"));
  const auto [missing, said] = explore("-- /nonexistent/program 2>&1");
  EXPECT_EQ(missing, 2);
  EXPECT_THAT(said, HasSubstr("cannot run /nonexistent/program"));
  EXPECT_THAT(said, Not(HasSubstr("schedules:")));
}

}  // namespace
