// pvgen-run's command line, parsed in-process: the input is the arguments, separated by NUL
// bytes. A command line is either accepted, with every value in its range, or refused with
// exit status 2 and a message that starts with "pvgen-run:" and names the argument or the
// option that is wrong. --help prints the usage and exits 0. What is accepted stays within
// the limits that protect the machine (threads, bands per page, bands in all).
#include <dirent.h>
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
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "duration.h"
#include "fuzz_support.h"
#include "pvgen_sim.h"
#include "quorl_cnv_pvgen.h"
// clang-format off
#include "tool_options.h"
#define main pvgen_run_main
#include "pvgen-run.cpp"
#undef main
#undef exit
#undef stdout
#undef stderr
// clang-format on

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2048) {
    return -1;
  }
  std::vector<std::string> args = fuzz_tool::arguments("pvgen-run", data, size);
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);

  Options o;
  int status = -1;
  std::string own;
  const std::string message = fuzz_tool::run_capturing(
      [&] {
        o = parse(static_cast<int>(args.size()), argv.data());
        return -1;
      },
      &status, &own);

  if (status == -1) {
    FUZZ_CHECK(message.empty(), "accepted with a message: %s", message.c_str());
    FUZZ_CHECK(o.pages >= 1 && o.bands >= 1 && o.threads >= 1 && o.stop_after >= -1,
               "accepted out of range: pages %ld bands %ld threads %ld stop-after %ld", o.pages,
               o.bands, o.threads, o.stop_after);
    // The limits that keep a run within the machine: threads, a page's queue, the records
    // of the whole run.
    FUZZ_CHECK(o.threads <= 64 && o.bands <= 100000 && o.stop_after <= 100000 &&
                   static_cast<long long>(o.pages) * o.bands <= (1LL << 22),
               "accepted beyond the limits: pages %ld bands %ld threads %ld stop-after %ld",
               o.pages, o.bands, o.threads, o.stop_after);
    FUZZ_CHECK(o.watchdog >= 0 && o.watchdog <= 86400, "accepted watchdog %ld", o.watchdog);
    FUZZ_CHECK(o.band_time.empty() || parse_time_ns(o.band_time) >= 0, "accepted band time '%s'",
               o.band_time.c_str());
  } else if (status == 0) {
    FUZZ_CHECK(own.empty(), "exit 0 with a message: %s", own.c_str());
  } else {
    FUZZ_CHECK(status == 2, "exit status %d", status);
    FUZZ_CHECK(own.rfind("pvgen-run: ", 0) == 0, "message does not start with the tool: %s",
               own.c_str());
    FUZZ_CHECK(fuzz_tool::names_an_argument(message, args), "message names no argument: %s",
               message.c_str());
  }
  return 0;
}
