// What pvgen-explore and a program running on the controlled platform say to each other.
//
// pvgen-explore starts the program once, with the controlled platform preloaded and
// PVGEN_EXPLORE_CHANNEL="R,W" (two descriptors). Before the program's main runs, the platform
// serves schedules: it reads a Request (and its forced choices) from R, forks, lets the
// child run the program under that schedule, waits for it and writes a Response (with the
// child's branching steps, its failure report and the tail of its output) to W. End of
// file on R ends the program with status 0.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace explore_protocol {

inline constexpr uint32_t kMagic = 0x70767831;  // "pvx1"
inline constexpr const char* kChannelVariable = "PVGEN_EXPLORE_CHANNEL";
// Without a channel the program runs one random schedule with this seed (default 1).
inline constexpr const char* kSeedVariable = "PVGEN_EXPLORE_SEED";
inline constexpr int kMaxThreads = 64;

enum Strategy : uint32_t {
  kRandom = 0,  // every branching step picks uniformly among the runnable threads
  kPct = 1,     // priorities with depth-1 change points
  kForced = 2,  // the forced choices, then the running thread while it can run
};

struct Request {
  uint32_t magic;
  uint32_t strategy;
  uint64_t seed;
  uint32_t pct_depth;
  uint32_t pct_steps;   // expected scheduling points, for the change points
  uint32_t forced;      // number of forced choices (one byte each) that follow
  uint32_t record;      // non-zero: send the branching steps back
  uint64_t max_points;  // a schedule with more scheduling points fails (0: no limit)
};

enum Outcome : uint32_t {
  kExited = 0,     // code: exit status
  kSignalled = 1,  // code: signal number
  kEndless = 2,    // every controlled thread blocked, no timer pending
  kStuck = 3,      // a thread blocked outside the scheduler for a second
  kDiverged = 4,   // a forced choice named a thread that could not run
  kOverflow = 5,   // more threads than the scheduler keeps
  kTooLong = 6,    // more scheduling points than the request allows (a livelock, say)
  kViolation = 7,  // an invariant of the library's results does not hold
};

// One branching step: a scheduling point with at least two threads able to run.
struct Step {
  uint64_t runnable;  // mask of thread numbers
  uint8_t chosen;
  uint8_t previous;  // the thread that reached the point
  uint8_t previous_runnable;
  uint8_t pad[5];
};
static_assert(sizeof(Step) == 16);

struct Response {
  uint32_t magic;
  uint32_t outcome;
  int32_t code;
  uint32_t steps;  // Step records that follow (0 unless asked for)
  uint64_t digest;
  uint64_t points;      // scheduling points
  uint64_t branching;   // branching steps
  uint64_t virtual_ns;  // virtual time at the end
  uint32_t report_len;  // bytes of report text after the steps
  uint32_t output_len;  // bytes of the program's output after the report
};

// The whole of `n` bytes through a pipe, again after an interrupted call; false at end of
// file or on an error. Internal to each unit: the controlled platform exports only the
// shipped platform's symbols.
static inline bool read_all(int fd, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  while (n > 0) {
    const ssize_t got = read(fd, p, n);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

static inline bool write_all(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    const ssize_t put = write(fd, p, n);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

// The sanitizer runtime this process runs on as a shared library (AddressSanitizer in a GCC
// build), or empty. The controlled platform of such a build needs it, and it must be loaded
// before everything else: whoever preloads that platform, or a program that runs
// pvgen-explore with a preload list, puts it first.
static inline std::string shared_sanitizer_runtime() {
  void* init = dlsym(RTLD_DEFAULT, "__asan_init");
  Dl_info info{};
  if (init == nullptr || dladdr(init, &info) == 0 || info.dli_fname == nullptr ||
      std::strstr(info.dli_fname, ".so") == nullptr) {
    return {};
  }
  return info.dli_fname;
}

}  // namespace explore_protocol
