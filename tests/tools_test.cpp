// The command-line tools and scripts as a user meets them, each run as a process of its own:
// bad arguments and environment refused up front with one line that says what is allowed,
// output files that cannot be written named with the system's reason before anything runs,
// the summary's figures as the simulated engine had them, and a stalled run ended by the
// watchdog with a report.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/json_reader.h"
#include "support/tool_process.h"

namespace {

using tool_process::shell;

const std::string kRun = std::string("env -u LD_PRELOAD -u PVGEN_RUN_SIMULATED ") + PVGEN_RUN_PATH;
const std::string kSim = PVGEN_SIM_TOOL_PATH;
const std::string kStress = PVGEN_STRESS_PATH;
const std::string kScripts = std::string(PVGEN_SOURCE_DIR) + "/scripts/";

// What a refused command line leaves: its status, and all it wrote (standard error first).
struct Refusal {
  int status;
  std::string text;
};

Refusal run_refused(const std::string& command) {
  const auto [status, out] = shell(command + " 2>&1");
  return {status, out};
}

// A usage error: status 2, the tool's name first, what is wrong (and allowed) in the first
// line, at most a pointer to --help after it, and nothing else (no second complaint).
void expect_usage_error(const std::string& tool, const std::string& command,
                        const std::string& first_line_has) {
  SCOPED_TRACE(command);
  const Refusal r = run_refused(command);
  EXPECT_EQ(r.status, 2) << r.text;
  ASSERT_EQ(r.text.rfind(tool + ": ", 0), 0u) << r.text;
  const std::string first = r.text.substr(0, r.text.find('\n'));
  EXPECT_NE(first.find(first_line_has), std::string::npos) << r.text;
  const std::string rest = r.text.substr(std::min(r.text.size(), first.size() + 1));
  EXPECT_TRUE(rest.empty() || rest == "(see " + tool + " --help)\n") << r.text;
}

json::Value parse(const std::string& text) {
  json::Reader reader(text);
  auto v = reader.document();
  EXPECT_TRUE(v.has_value()) << reader.error() << " in " << text;
  return v.value_or(json::Value{});
}

std::string scratch(const std::string& name) {
  const std::string dir = tool_process::temp_path("tools-" + name);
  mkdir(dir.c_str(), 0700);
  return dir;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// ---------------------------------------------------------------- pvgen-run

TEST(PvgenRunInput, BadOptionsRefusedWithTheAllowedRange) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--threads 100000", "bad value '100000' for --threads (1..64)"},
      {"--bands 2147483647", "bad value '2147483647' for --bands (1..100000)"},
      {"--pages 2147483648", "for --pages (1..2147483647)"},
      {"--pages 100 --bands 100000", "above 4194304 bands"},
      {"--stop-after -1", "for --stop-after (0..100000)"},
      {"--watchdog 86401", "for --watchdog (0..86400)"},
      {"--band-time 2000s", "bad band time '2000s'"},
      {"--mode both", "bad mode 'both'"},
      {"--pages", "option '--pages' needs a value"},
      {"--timeline", "option '--timeline' needs a value"},
      {"--bogus", "unknown or ambiguous option '--bogus'"},
      {"-x", "unknown option '-x'"},
      {"extra", "unexpected argument 'extra'"},
  };
  for (const auto& [args, message] : cases) {
    expect_usage_error("pvgen-run", kRun + " " + args, message);
  }
  const auto [status, help] = shell(kRun + " -h");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(help.rfind("Usage: pvgen-run", 0), 0u) << help;
}

TEST(PvgenRunInput, UnwritableOutputsAndBadEnvironmentStopTheRunBeforeItStarts) {
  const std::string dir = scratch("run-env");
  struct Case {
    std::string command;
    std::string message;
  };
  const std::vector<Case> cases = {
      {kRun + " --timeline /nonexistent/x.html",
       "pvgen-run: cannot write the timeline to '/nonexistent/x.html': No such file or "
       "directory\n"},
      {"PVGEN_SIM_TRACE=/nonexistent/t.txt " + kRun,
       "pvgen-run: simulated engine: cannot open PVGEN_SIM_TRACE file '/nonexistent/t.txt': No "
       "such file or directory\n"},
      {"PVGEN_SIM_STATS=/nonexistent/s.txt " + kRun,
       "pvgen-run: simulated engine: cannot open PVGEN_SIM_STATS file '/nonexistent/s.txt': No "
       "such file or directory\n"},
      {"PVGEN_SIM_FAULTS=garbage " + kRun,
       "pvgen-run: simulated engine: malformed PVGEN_SIM_FAULTS=\"garbage\": rule 'garbage': no "
       "':' before the actions\n"},
      {"PVGEN_SIM_BAND_TIME=soon " + kRun,
       "pvgen-run: simulated engine: malformed PVGEN_SIM_BAND_TIME=\"soon\"\n"},
      {"PVGEN_SIM_LIB=/nonexistent.so " + kRun,
       "pvgen-run: no simulator library at $PVGEN_SIM_LIB '/nonexistent.so': No such file or "
       "directory\n"},
      // A library that loads but is not the simulator: not taken for a real device.
      {std::string("PVGEN_SIM_LIB=") + PVGEN_LIBRARY_PATH + " " + kRun,
       "pvgen-run: the simulator library "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const Refusal r = run_refused("cd " + dir + " && " + c.command);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.text.rfind(c.message, 0), 0u) << r.text;  // the whole output begins with it
    EXPECT_EQ(r.text.find("pages:"), std::string::npos) << "nothing was run";
    EXPECT_EQ(r.text.find("pvgen-sim"), std::string::npos) << r.text;
  }
}

TEST(PvgenRunFigures, BandTimeInForceAndFailedPagesAsTheEngineHadThem) {
  // Set through the simulator's variable and through pvgen-sim: the summary reports it.
  auto [status, out] = shell("PVGEN_SIM_BAND_TIME=1ms " + kRun + " --bands 3 --json");
  ASSERT_EQ(status, 0) << out;
  json::Value s = parse(out);
  EXPECT_EQ(s.find("engine")->num("band_time_ns"), 1e6) << out;
  std::tie(status, out) = shell(kSim + " --band-time 100us -- " + PVGEN_RUN_PATH + " --bands 3");
  ASSERT_EQ(status, 0) << out;
  EXPECT_NE(out.find("engine: simulated, band time 100us, bands run 3,"), std::string::npos) << out;

  // The third band fails: its page is a failed page, in both modes.
  for (const char* mode : {"callback", "sync"}) {
    SCOPED_TRACE(mode);
    std::tie(status, out) = shell("PVGEN_SIM_FAULTS='band#3:result=4' " + kRun +
                                  " --pages 2 --bands 5 --json --mode " + mode);
    EXPECT_EQ(status, 1);
    s = parse(out);
    EXPECT_EQ(s.num("failed_pages"), 1) << out;
    EXPECT_EQ(s.find("outcomes")->num("-5"), 1) << out;
    EXPECT_EQ(s.str("status"), "failed");
  }
}

TEST(PvgenRunWatchdog, StalledRunEndsWithWhereEachThreadWaits) {
  // Reports held back for good: the synchronous band never returns.
  auto [status, out] = shell("PVGEN_SIM_GATE=0 " + kRun + " --mode sync --watchdog 1 2>&1");
  EXPECT_EQ(status, 3) << out;
  EXPECT_NE(out.find("pvgen-run: STALL: no call returned and no callback came"), std::string::npos)
      << out;
  EXPECT_NE(out.find("pvgen-submit-1"), std::string::npos) << out;
  EXPECT_NE(out.find("band_exe (sync)"), std::string::npos) << out;
  EXPECT_NE(out.find("page 1 band 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("blocked waits 1"), std::string::npos) << out;
  // The thread list shows the process under its own name, not as the file it was run from.
  EXPECT_NE(out.find(" pvgen-run "), std::string::npos) << out;
  EXPECT_EQ(out.find(" exe "), std::string::npos) << out;

  // Every wait answered "not yet": the worker spins, no callback ever comes.
  std::tie(status, out) = shell("PVGEN_SIM_FAULTS='wait:again' " + kRun + " --watchdog 1 2>&1");
  EXPECT_EQ(status, 3) << out;
  EXPECT_NE(out.find("waiting for callbacks"), std::string::npos) << out;
  EXPECT_NE(out.find("bands with an outcome: 0 of 16"), std::string::npos) << out;
}

// ---------------------------------------------------------------- pvgen-sim

TEST(PvgenSimInput, BadOptionsAndUnwritableFilesRefusedBeforeTheProgramRuns) {
  const std::string dir = scratch("sim");
  const std::string marker = dir + "/ran";
  const std::string program = " -- touch " + marker;
  expect_usage_error("pvgen-sim", kSim + " --band-time", "option '--band-time' needs a value");
  expect_usage_error("pvgen-sim", kSim + " --gate -1" + program, "bad gate '-1'");
  expect_usage_error("pvgen-sim", kSim + " --bogus" + program,
                     "unknown or ambiguous option '--bogus'");
  expect_usage_error("pvgen-sim", kSim + " --lib /nonexistent.so" + program,
                     "no simulator library at '/nonexistent.so'");
  // The space form: the file would be taken for the program.
  expect_usage_error("pvgen-sim", kSim + " --stats " + dir + "/s.txt" + program,
                     "after --stats would be run as the program; give the file as --stats=");
  expect_usage_error("pvgen-sim", kSim + " --trace " + dir + "/t.txt touch " + marker,
                     "after --trace would be run as the program");
  for (const char* option : {"stats", "trace"}) {
    SCOPED_TRACE(option);
    const Refusal r = run_refused(kSim + " --" + option + "=/nonexistent/dir/f.txt" + program);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.text, std::string("pvgen-sim: cannot open the --") + option +
                          " file '/nonexistent/dir/f.txt': No such file or directory\n");
  }
  EXPECT_FALSE(exists(marker)) << "the program ran";
  const auto [status, help] = shell(kSim + " -h");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(help.rfind("Usage: pvgen-sim", 0), 0u) << help;

  // The files are written when they can be.
  const auto [ok, out] =
      shell(kSim + " --stats=" + dir + "/s.txt --trace=" + dir + "/t.txt" + program);
  EXPECT_EQ(ok, 0) << out;
  EXPECT_TRUE(exists(marker));
  EXPECT_NE(tool_process::read_file(dir + "/s.txt").find("requests.open=0\n"), std::string::npos);
}

// ---------------------------------------------------------------- pvgen-stress

TEST(PvgenStressInput, BadOptionsRefusedWithTheAllowedRange) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--threads 100000", "bad value '100000' for --threads (1..64)"},
      {"--bands 2147483647", "bad value '2147483647' for --bands (1..100000)"},
      {"--threads 64 --pages 1000 --bands 1000", "above 16777216 bands"},
      {"--watchdog 0", "for --watchdog (1..86400)"},
      {"--pages", "option '--pages' needs a value"},
      {"--bogus", "unknown option '--bogus'"},
  };
  for (const auto& [args, message] : cases) {
    expect_usage_error("pvgen-stress", kStress + " " + args, message);
  }
  const auto [status, help] = shell(kStress + " -h");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(help.rfind("Usage: pvgen-stress", 0), 0u) << help;
}

// ---------------------------------------------------------------- scripts

// The scripts check their arguments before they build or run anything.
TEST(ScriptsInput, BadArgumentsRefusedBeforeAnythingRuns) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"fuzz abc block", "scripts/fuzz: bad SECONDS 'abc'"},
      {"fuzz 0", "scripts/fuzz: bad SECONDS '0'"},
      {"fuzz 5 nosuch", "scripts/fuzz: no fuzzer named 'nosuch'"},
      {"equivalence abc", "scripts/equivalence: bad COUNT 'abc' (1..100000000)"},
      {"equivalence -5", "scripts/equivalence: bad COUNT '-5'"},
      {"equivalence 0", "scripts/equivalence: bad COUNT '0'"},
      {"equivalence 10 x", "scripts/equivalence: bad FIRST 'x'"},
      {"bench extra", "scripts/bench: takes no arguments"},
      {"test-all nosuch", "scripts/test-all: no preset named 'nosuch'"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(args);
    const Refusal r = run_refused(kScripts + args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.text.rfind(message, 0), 0u) << r.text;
    EXPECT_EQ(r.text.find("==="), std::string::npos) << "nothing is built or run";
  }
}

}  // namespace
