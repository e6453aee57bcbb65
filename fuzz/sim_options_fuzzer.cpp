// pvgen-sim's command line, parsed in-process: the input is the arguments, separated by NUL
// bytes. A command line is either refused with exit status 2 and a message that starts with
// "pvgen-sim:" and names the argument or the option that is wrong, or it leads to running
// the program with the simulator's variables set to values the simulator accepts (it reads
// them at start-up and would stop there with status 2). --help prints the usage and exits 0.
#include <getopt.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "duration.h"
#include "fuzz_support.h"

namespace {
std::map<std::string, std::string> g_env;  // what the tool set
bool g_ran = false;
int fuzz_setenv(const char* name, const char* value, int) {
  g_env[name] = value;
  return 0;
}
int fuzz_execvp(const char*, char* const*) {
  g_ran = true;
  throw 0;
}
}  // namespace

// The output files the tool creates before the run: none is created here; a name under
// /nonexistent/ cannot be opened. (In std, as the tool calls std::fopen.)
namespace std {
inline FILE* fuzz_fopen(const char* path, const char* mode) {
  if (std::strncmp(path, "/nonexistent/", 13) == 0) {
    errno = ENOENT;
    return nullptr;
  }
  return std::fopen("/dev/null", mode);
}
}  // namespace std

// clang-format off
#include "tool_options.h"
#define main pvgen_sim_main
#define setenv fuzz_setenv
#define execvp fuzz_execvp
#define fopen fuzz_fopen
#include "pvgen-sim.cpp"
#undef main
#undef setenv
#undef execvp
#undef fopen
#undef exit
#undef stdout
#undef stderr
// clang-format on

namespace {
// The simulator's reading of a count: a whole number, C notation.
bool sim_count(const std::string& text, long long min, long long max) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0' && v >= min && v <= max;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The simulator library the tool looks for: any readable file will do, it is not loaded.
  ::setenv("PVGEN_SIM_LIB", "/proc/self/exe", 1);
  ::setenv("PVGEN_RECORD_LIB", "/proc/self/exe", 1);
  ::unsetenv("LD_PRELOAD");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2048) {
    return -1;
  }
  std::vector<std::string> args = fuzz_tool::arguments("pvgen-sim", data, size);
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  g_env.clear();
  g_ran = false;

  int status = -1;
  std::string own;
  const std::string message = fuzz_tool::run_capturing(
      [&] {
        try {
          return pvgen_sim_main(static_cast<int>(args.size()), argv.data());
        } catch (int) {
          return -1;
        }
      },
      &status, &own);

  if (g_ran || status == 0) {
    FUZZ_CHECK(message.empty() || status == 0, "ran with a message: %s", message.c_str());
    if (auto it = g_env.find("PVGEN_SIM_BAND_TIME"); it != g_env.end()) {
      // The simulator's limit is below 1.8e19 ns.
      char* end = nullptr;
      const double v = std::strtod(it->second.c_str(), &end);
      const std::string unit(end);
      const double scale = unit == "ns" ? 1 : unit == "ms" ? 1e6 : unit == "s" ? 1e9 : 1e3;
      FUZZ_CHECK(std::isfinite(v) && v >= 0 && v * scale < 1.8e19,
                 "band time '%s' passed on; the simulator refuses it", it->second.c_str());
    }
    if (auto it = g_env.find("PVGEN_SIM_GATE"); it != g_env.end()) {
      FUZZ_CHECK(sim_count(it->second, 0, UINT32_MAX), "gate '%s' passed on; refused later",
                 it->second.c_str());
    }
    for (const char* name : {"PVGEN_SIM_STATS", "PVGEN_SIM_TRACE"}) {
      if (auto it = g_env.find(name); it != g_env.end()) {
        FUZZ_CHECK(!it->second.empty() && it->second.rfind("/nonexistent/", 0) != 0,
                   "%s='%s' passed on; the file cannot be opened", name, it->second.c_str());
      }
    }
    if (auto it = g_env.find("PVGEN_SIM_LOG_LIMIT"); it != g_env.end()) {
      FUZZ_CHECK(sim_count(it->second, 1, INT64_MAX), "log limit '%s' passed on; refused later",
                 it->second.c_str());
    }
  } else {
    FUZZ_CHECK(status == 2, "exit status %d", status);
    FUZZ_CHECK(own.rfind("pvgen-sim: ", 0) == 0, "message does not start with the tool: %s",
               own.c_str());
    FUZZ_CHECK(fuzz_tool::names_an_argument(message, args) ||
                   own.find("no program given") != std::string::npos,
               "message names no argument: %s", message.c_str());
  }
  return 0;
}
