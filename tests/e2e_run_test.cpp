// pvgen-run as a user runs it: a separate process on the simulated engine, judged by its
// output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Output {
  std::vector<std::string> lines;
  int status = -1;

  bool has(const std::string& line) const {
    for (const auto& l : lines) {
      if (l == line) {
        return true;
      }
    }
    return false;
  }
  size_t count_prefix(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& l : lines) {
      n += l.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
  }
};

// Runs pvgen-run with `args` and the environment variables `env` ("NAME=value"), and
// collects its standard output. Natively the program gets no help finding the simulator.
Output run(const std::string& args, const std::vector<std::string>& env = {}) {
#ifdef PVGEN_RUN_EMULATOR
  // An emulated program cannot start another target program itself: the emulator runs it
  // with the simulator already preloaded.
  std::string command = std::string(PVGEN_RUN_EMULATOR) + " -E LD_PRELOAD=" + PVGEN_SIM_LIB_PATH +
                        " -E PVGEN_RUN_SIMULATED=1";
  for (const auto& e : env) {
    command += " -E '" + e + "'";
  }
#else
  std::string command = "env -u LD_PRELOAD -u PVGEN_RUN_SIMULATED";
  for (const auto& e : env) {
    command += " '" + e + "'";
  }
#endif
  command += std::string(" ") + PVGEN_RUN_PATH + " " + args;
  Output out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return out;
  }
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe) != nullptr) {
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') {
      line.pop_back();
    }
    out.lines.push_back(line);
  }
  const int raw = pclose(pipe);
  out.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return out;
}

TEST(E2eRun, CallbackPagesOnTheSimulatedEngine) {
  // No device and nothing preloaded by the caller: the program finds the simulator.
  const Output out = run("--pages 2 --bands 5 --mode callback");
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.count_prefix("page "), 10u);
  for (int band = 1; band <= 5; ++band) {
    const std::string tail =
        " band " + std::to_string(band) + " outcome 0 band_count " + std::to_string(band);
    size_t n = 0;
    for (const auto& l : out.lines) {
      n += l.size() > tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
    }
    EXPECT_EQ(n, 2u) << tail;
  }
  EXPECT_TRUE(out.has("pages: 2 (failed 0)"));
  EXPECT_TRUE(out.has("bands: 10 (cancelled 0, not run 0)"));
  EXPECT_TRUE(out.has("outcome 0: 10"));
  EXPECT_EQ(out.count_prefix("outcome "), 1u);
  EXPECT_EQ(out.count_prefix("wall time: "), 1u);
  EXPECT_EQ(out.count_prefix("bands per second: "), 1u);
  EXPECT_EQ(out.count_prefix("engine: simulated, band time 0, bands run 10"), 1u);
}

TEST(E2eRun, RequestedStopsCancelBandsWithoutFailing) {
  const Output out =
      run("--pages 3 --bands 6 --mode sync --threads 2 --stop-after 2 --band-time 20us --quiet");
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.count_prefix("page "), 0u);
  EXPECT_TRUE(out.has("pages: 3 (failed 0)"));
  EXPECT_TRUE(out.has("bands: 6 (cancelled 12, not run 0)"));
  EXPECT_TRUE(out.has("outcome 0: 6"));
  EXPECT_EQ(out.count_prefix("engine: simulated, band time 20us, bands run 6"), 1u);

  const Output cb = run("--pages 2 --bands 8 --mode callback --stop-after 3 --quiet");
  EXPECT_EQ(cb.status, 0);
  EXPECT_TRUE(cb.has("pages: 2 (failed 0)"));
}

TEST(E2eRun, FailedBandsMakeTheRunFail) {
  const Output out = run("--pages 2 --bands 5 --mode callback --quiet 2>/dev/null",
                         {"PVGEN_SIM_FAULTS=band#3:result=5"});
  EXPECT_EQ(out.status, 1);
  EXPECT_TRUE(out.has("outcome -5: 1"));
  EXPECT_TRUE(out.has("pages: 2 (failed 0)"));
}

TEST(E2eRun, UsageErrors) {
  EXPECT_EQ(run("--mode fast 2>/dev/null").status, 2);
  EXPECT_EQ(run("--pages 0 2>/dev/null").status, 2);
  const Output help = run("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* option :
       {"--pages", "--bands", "--mode", "--threads", "--band-time", "--stop-after", "--quiet"}) {
    EXPECT_EQ(help.count_prefix(std::string("  ") + option), 1u) << option;
  }
}

}  // namespace
