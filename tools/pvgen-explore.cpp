// pvgen-explore: runs a program under the controlled platform and the simulated engine,
// one schedule after another, and reports the schedules that fail.
//
// The program is started once, with the controlled platform and the simulator preloaded;
// before its main runs, the platform forks one child per schedule asked for over a pair of
// pipes (platform/controlled/explore_protocol.h) and answers with the child's outcome, its
// event-trace digest and its branching steps.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "explore_protocol.h"

namespace {

namespace proto = explore_protocol;

const char* const kUsage =
    "usage: pvgen-explore [OPTIONS] -- PROGRAM [ARGS]\n"
    "       pvgen-explore [OPTIONS] --scenario FILE\n"
    "Runs PROGRAM (or the scenario FILE: threads of library calls with their expected\n"
    "outcomes, see docs/explore.md) under the controlled platform and the simulated\n"
    "engine, one schedule of its threads after another, and reports every schedule in\n"
    "which it fails: a non-zero exit status, a crash, an endless wait (every thread\n"
    "blocked, no timer pending), a thread blocked outside the scheduler for a second, or\n"
    "a result of the library's five C functions that breaks their contract (checked at\n"
    "every call and report, and with the library at rest when the program ends).\n"
    "\n"
    "Strategies (one):\n"
    "  --random          random choice at every branching point (the default)\n"
    "  --pct DEPTH       probabilistic concurrency testing for bugs of depth DEPTH (1-32)\n"
    "  --exhaustive K    every schedule with at most K preemptions (0-8)\n"
    "  --replay FILE     the schedule written by --out, once\n"
    "Options:\n"
    "  --seed N          first seed of --random and --pct (default 1)\n"
    "  --schedules N     run at most N schedules (default 100; --exhaustive: 1000000)\n"
    "  --seconds S       stop starting schedules after S seconds\n"
    "  --out FILE        write the first failing schedule to FILE\n"
    "  --max-points N    fail a schedule after N scheduling points (default 1000000)\n"
    "  --band-time T     the simulated engine's time per band (PVGEN_SIM_BAND_TIME)\n"
    "  --faults RULES    the simulated engine's fault rules (PVGEN_SIM_FAULTS), checked\n"
    "                    before anything runs\n"
    "  --no-invariants   do not check the library's results (for a program that breaks\n"
    "                    the library's contract on purpose)\n"
    "  --scenario FILE   run the scenario FILE instead of a program; its band-time and\n"
    "                    faults lines apply unless --band-time or --faults is given\n"
    "  -h, --help        this text\n"
    "Output: one line per failing schedule, the first one's report on standard error, and\n"
    "a summary with `digest: HEX` over all event traces (the same options give the same\n"
    "digest). Exit status: 0 no schedule failed, 1 a schedule failed, 2 usage error.\n";

[[noreturn]] void usage_error(const std::string& text) {
  std::fprintf(stderr, "pvgen-explore: %s (try --help)\n", text.c_str());
  std::exit(2);
}

[[noreturn]] void fatal(const std::string& text) {
  std::fprintf(stderr, "pvgen-explore: %s\n", text.c_str());
  std::exit(2);
}

bool parse_u64(const char* text, uint64_t* out) {
  if (text == nullptr || *text == '\0' || *text == '-') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0') {
    return false;
  }
  *out = v;
  return true;
}

bool parse_seconds(const char* text, double* out) {
  if (text == nullptr || *text == '\0') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !(v > 0)) {
    return false;
  }
  *out = v;
  return true;
}

struct Options {
  enum Mode { kRandom, kPct, kExhaustive, kReplay } mode = kRandom;
  bool mode_given = false;
  uint64_t seed = 1;
  uint64_t depth = 0;
  uint64_t bound = 0;
  uint64_t schedules = 0;
  bool schedules_given = false;
  double seconds = 0;
  uint64_t max_points = 1000000;
  std::string out;
  std::string replay;
  std::string band_time;
  std::string faults;
  std::string scenario;
  bool invariants = true;
  std::vector<std::string> program;
};

void set_mode(Options& o, Options::Mode mode) {
  if (o.mode_given && o.mode != mode) {
    usage_error("choose one of --random, --pct, --exhaustive and --replay");
  }
  o.mode = mode;
  o.mode_given = true;
}

Options parse(int argc, char** argv) {
  Options o;
  int i = 1;
  auto value = [&](const char* name) -> const char* {
    if (i + 1 >= argc) {
      usage_error(std::string(name) + " needs a value");
    }
    return argv[++i];
  };
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "--random") {
      set_mode(o, Options::kRandom);
    } else if (a == "--pct") {
      set_mode(o, Options::kPct);
      if (!parse_u64(value("--pct"), &o.depth) || o.depth < 1 || o.depth > 32) {
        usage_error("--pct needs a depth from 1 to 32");
      }
    } else if (a == "--exhaustive") {
      set_mode(o, Options::kExhaustive);
      if (!parse_u64(value("--exhaustive"), &o.bound) || o.bound > 8) {
        usage_error("--exhaustive needs a preemption bound from 0 to 8");
      }
    } else if (a == "--replay") {
      set_mode(o, Options::kReplay);
      o.replay = value("--replay");
    } else if (a == "--seed") {
      if (!parse_u64(value("--seed"), &o.seed)) {
        usage_error("--seed needs a number");
      }
    } else if (a == "--schedules") {
      if (!parse_u64(value("--schedules"), &o.schedules) || o.schedules == 0) {
        usage_error("--schedules needs a number above 0");
      }
      o.schedules_given = true;
    } else if (a == "--seconds") {
      if (!parse_seconds(value("--seconds"), &o.seconds)) {
        usage_error("--seconds needs a time above 0");
      }
    } else if (a == "--out") {
      o.out = value("--out");
    } else if (a == "--max-points") {
      if (!parse_u64(value("--max-points"), &o.max_points) || o.max_points == 0) {
        usage_error("--max-points needs a number above 0");
      }
    } else if (a == "--band-time") {
      o.band_time = value("--band-time");
    } else if (a == "--faults") {
      o.faults = value("--faults");
    } else if (a == "--scenario") {
      o.scenario = value("--scenario");
    } else if (a == "--no-invariants") {
      o.invariants = false;
    } else {
      usage_error("unknown option " + a);
    }
  }
  for (; i < argc; ++i) {
    o.program.emplace_back(argv[i]);
  }
  if (!o.scenario.empty() && !o.program.empty()) {
    usage_error("give either --scenario FILE or a program after --, not both");
  }
  if (o.scenario.empty() && o.program.empty()) {
    usage_error("no program given after -- (or --scenario FILE)");
  }
  if (!o.schedules_given) {
    o.schedules = o.mode == Options::kExhaustive ? 1000000 : 100;
  }
  return o;
}

// ---- the program's process ----

std::string self_dir() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) {
    return ".";
  }
  path[n] = '\0';
  std::string dir(path);
  return dir.substr(0, dir.rfind('/'));
}

std::string find_file(const std::vector<std::string>& candidates) {
  for (const std::string& c : candidates) {
    if (access(c.c_str(), R_OK) == 0) {
      return c;
    }
  }
  return {};
}

// The runner of scenario files: next to this tool in the build tree, beside the controlled
// platform once installed.
std::string find_scenario_runner() {
  const std::string dir = self_dir();
  return find_file({dir + "/pvgen-scenario",
                    dir + "/" PVGEN_LIBDIR_FROM_BINDIR "/pvgen-controlled/pvgen-scenario"});
}

// Reads the scenario file with the runner before anything runs: a bad file stops the tool
// with the runner's one line (naming the file's line) and status 2; the file's band time and
// fault rules apply unless the command line gave its own. The runner then becomes the program.
void take_scenario(Options& o) {
  const std::string runner = find_scenario_runner();
  if (runner.empty()) {
    fatal("cannot find pvgen-scenario next to " + self_dir());
  }
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) {
    fatal(std::string("cannot make pipes: ") + std::strerror(errno));
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    fatal(std::string("cannot fork: ") + std::strerror(errno));
  }
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    close(out[0]);
    close(out[1]);
    close(err[0]);
    close(err[1]);
    execl(runner.c_str(), runner.c_str(), "--check", o.scenario.c_str(),
          static_cast<char*>(nullptr));
    std::fprintf(stderr, "pvgen-scenario: cannot run %s: %s\n", runner.c_str(),
                 std::strerror(errno));
    _exit(2);
  }
  close(out[1]);
  close(err[1]);
  // Both outputs are a few lines; read the error after the output (each fits a pipe).
  auto slurp = [](int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) != 0;) {
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        break;
      }
      text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return text;
  };
  const std::string text = slurp(out[0]);
  std::string error = slurp(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    const std::string prefix = "pvgen-scenario: ";
    if (error.rfind(prefix, 0) == 0) {
      error.erase(0, prefix.size());
    }
    while (!error.empty() && error.back() == '\n') {
      error.pop_back();
    }
    fatal(error.empty() ? "cannot read the scenario " + o.scenario : error);
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("band-time ", 0) == 0 && o.band_time.empty()) {
      o.band_time = line.substr(10);
    } else if (line.rfind("faults ", 0) == 0 && o.faults.empty()) {
      o.faults = line.substr(7);
    }
  }
  o.program = {runner, o.scenario};
}

// The simulated engine pvgen-explore preloads into the program.
std::string find_sim() {
  const std::string dir = self_dir();
  return find_file(
      {dir + "/../sim/libpvgen_sim.so", dir + "/" PVGEN_LIBDIR_FROM_BINDIR "/libpvgen_sim.so"});
}

// Fault rules given on the command line are read by the simulated engine's own reader before
// anything runs: a bad rule stops the tool with one line instead of failing every schedule.
void check_faults(const std::string& rules) {
  const std::string sim = find_sim();
  if (sim.empty()) {
    fatal("cannot find the simulated engine next to " + self_dir());
  }
  // Loaded locally: its definitions of open and ioctl stay out of this tool's own calls.
  void* handle = dlopen(sim.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    fatal("cannot load " + sim + ": " + dlerror());
  }
  using ScriptFn = int (*)(const char*);
  using ErrorFn = const char* (*)();
  const auto script = reinterpret_cast<ScriptFn>(dlsym(handle, "pvgen_sim_fault_script"));
  const auto error = reinterpret_cast<ErrorFn>(dlsym(handle, "pvgen_sim_fault_script_error"));
  if (script == nullptr || error == nullptr) {
    fatal(sim + " has no reader of fault rules");
  }
  if (script(rules.c_str()) < 0) {
    usage_error(std::string("--faults: ") + error());
  }
}

struct Server {
  pid_t pid = -1;
  int to = -1;    // requests
  int from = -1;  // responses
};

Server start_server(const Options& o) {
  const std::vector<std::string>& program = o.program;
  const std::string dir = self_dir();
  const std::string platform =
      find_file({dir + "/../platform/controlled/libpvgen_platform.so.1",
                 dir + "/" PVGEN_LIBDIR_FROM_BINDIR "/pvgen-controlled/libpvgen_platform.so.1"});
  const std::string sim = find_sim();
  if (platform.empty() || sim.empty()) {
    fatal("cannot find the controlled platform or the simulated engine next to " + dir);
  }
  int req[2];
  int resp[2];
  int exec_error[2];
  if (pipe(req) != 0 || pipe(resp) != 0 || pipe2(exec_error, O_CLOEXEC) != 0) {
    fatal(std::string("cannot make pipes: ") + std::strerror(errno));
  }
  const std::string platform_dir = platform.substr(0, platform.rfind('/'));
  std::string preload = platform + ":" + sim;
  if (const std::string runtime = explore_protocol::shared_sanitizer_runtime(); !runtime.empty()) {
    preload = runtime + ":" + preload;
  }
  if (const char* old = getenv("LD_PRELOAD"); old != nullptr && *old != '\0') {
    preload += ":" + std::string(old);
  }
  std::string library_path = platform_dir;
  if (const char* old = getenv("LD_LIBRARY_PATH"); old != nullptr && *old != '\0') {
    library_path += ":" + std::string(old);
  }
  const std::string channel = std::to_string(req[0]) + "," + std::to_string(resp[1]);
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    fatal(std::string("cannot fork: ") + std::strerror(errno));
  }
  if (pid == 0) {
    close(req[1]);
    close(resp[0]);
    close(exec_error[0]);
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("LD_LIBRARY_PATH", library_path.c_str(), 1);
    setenv(proto::kChannelVariable, channel.c_str(), 1);
    setenv("PVGEN_EXPLORE_INVARIANTS", o.invariants ? "1" : "0", 1);
    // Symbols bound once, before the first schedule, not again in every schedule's process.
    setenv("LD_BIND_NOW", "1", 0);
    if (!o.band_time.empty()) {
      setenv("PVGEN_SIM_BAND_TIME", o.band_time.c_str(), 1);
    }
    if (!o.faults.empty()) {
      setenv("PVGEN_SIM_FAULTS", o.faults.c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& a : program) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    const int err = errno;
    (void)!write(exec_error[1], &err, sizeof err);
    _exit(127);
  }
  close(req[0]);
  close(resp[1]);
  close(exec_error[1]);
  int err = 0;
  if (read(exec_error[0], &err, sizeof err) == static_cast<ssize_t>(sizeof err)) {
    waitpid(pid, nullptr, 0);
    fatal("cannot run " + program[0] + ": " + std::strerror(err));
  }
  close(exec_error[0]);
  fcntl(req[1], F_SETFD, FD_CLOEXEC);
  fcntl(resp[0], F_SETFD, FD_CLOEXEC);
  return Server{pid, req[1], resp[0]};
}

struct Result {
  proto::Response response{};
  std::vector<proto::Step> steps;
  std::string report;
  std::string output;
};

[[noreturn]] void server_lost(const Server& server, const std::vector<std::string>& program) {
  int status = 0;
  waitpid(server.pid, &status, 0);
  fatal(program[0] +
        " did not serve schedules: it does not load the platform library, or it ended "
        "before main (" +
        (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                             : "status " + std::to_string(WEXITSTATUS(status))) +
        ")");
}

Result run_one(const Server& server, const std::vector<std::string>& program,
               const proto::Request& request, const std::vector<uint8_t>& forced) {
  proto::Request r = request;
  r.magic = proto::kMagic;
  r.forced = static_cast<uint32_t>(forced.size());
  if (!proto::write_all(server.to, &r, sizeof r) ||
      !proto::write_all(server.to, forced.data(), forced.size())) {
    server_lost(server, program);
  }
  Result result;
  if (!proto::read_all(server.from, &result.response, sizeof result.response) ||
      result.response.magic != proto::kMagic) {
    server_lost(server, program);
  }
  result.steps.resize(result.response.steps);
  result.report.resize(result.response.report_len);
  result.output.resize(result.response.output_len);
  if (!proto::read_all(server.from, result.steps.data(),
                       sizeof(proto::Step) * result.steps.size()) ||
      !proto::read_all(server.from, result.report.data(), result.report.size()) ||
      !proto::read_all(server.from, result.output.data(), result.output.size())) {
    server_lost(server, program);
  }
  return result;
}

bool failed(const proto::Response& r) {
  return r.outcome != proto::kExited || r.code != 0;
}

std::string outcome_text(const Result& result) {
  const proto::Response& r = result.response;
  switch (r.outcome) {
    case proto::kExited:
      return "exit status " + std::to_string(r.code);
    case proto::kSignalled:
      return std::string("crashed with signal ") + std::to_string(r.code) + " (" +
             strsignal(r.code) + ")";
    default: {
      const std::string& report = result.report;
      const size_t end = report.find('\n');
      return report.substr(0, end);
    }
  }
}

std::string hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIx64, v);
  return text;
}

uint64_t mix_seed(uint64_t base, uint64_t i) {
  uint64_t z = base + (i + 1) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void fold(uint64_t& h, uint64_t v) {
  for (int i = 0; i < 8; ++i) {
    h ^= (v >> (8 * i)) & 0xFF;
    h *= 0x100000001B3ull;
  }
}

double seconds_since(const timespec& t0) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec - t0.tv_sec) +
         static_cast<double>(t.tv_nsec - t0.tv_nsec) / 1e9;
}

// ---- schedule files ----

void write_schedule(const std::string& path, const Options& o, const std::string& description,
                    const Result& result) {
  std::ofstream out(path, std::ios::trunc);
  out << "pvgen-explore schedule 1\n";
  out << "program:";
  for (const std::string& a : o.program) {
    out << ' ' << a;
  }
  out << "\nfound-by: " << description << "\n";
  out << "outcome: " << outcome_text(result) << "\n";
  out << "digest: " << hex(result.response.digest) << "\n";
  out << "choices: " << result.steps.size() << "\n";
  size_t n = 0;
  for (const proto::Step& s : result.steps) {
    out << static_cast<unsigned>(s.chosen) << (++n % 32 == 0 ? '\n' : ' ');
  }
  out << "\n";
  if (!out) {
    fatal("cannot write " + path);
  }
}

struct Schedule {
  uint64_t digest = 0;
  std::vector<uint8_t> choices;
};

Schedule read_schedule(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    usage_error("cannot read " + path);
  }
  std::string line;
  if (!std::getline(in, line) || line != "pvgen-explore schedule 1") {
    usage_error(path + " is not a schedule written by pvgen-explore --out");
  }
  Schedule s;
  bool have_digest = false;
  long count = -1;
  while (std::getline(in, line)) {
    if (line.rfind("digest: ", 0) == 0) {
      have_digest = parse_u64(("0x" + line.substr(8)).c_str(), &s.digest);
    } else if (line.rfind("choices: ", 0) == 0) {
      count = std::strtol(line.c_str() + 9, nullptr, 10);
      unsigned v = 0;
      while (static_cast<long>(s.choices.size()) < count && in >> v) {
        if (v >= static_cast<unsigned>(proto::kMaxThreads)) {
          usage_error(path + ": a choice names thread " + std::to_string(v));
        }
        s.choices.push_back(static_cast<uint8_t>(v));
      }
    }
  }
  if (!have_digest || count < 0 || static_cast<long>(s.choices.size()) != count) {
    usage_error(path + " is incomplete (digest or choices missing)");
  }
  return s;
}

// ---- exploring ----

// Virtual time starts at one second in every schedule.
constexpr uint64_t kVirtualStart = 1000000000u;

struct Explorer {
  Options o;
  Server server;
  uint64_t run = 0;
  uint64_t failures = 0;
  uint64_t digest = 0xCBF29CE484222325ull;
  uint64_t points = 0;
  uint64_t branching = 0;
  uint64_t virtual_ns = 0;
  bool wrote_out = false;
  bool reported = false;

  // Runs one schedule and reports it when it fails.
  Result schedule(const proto::Request& request, const std::vector<uint8_t>& forced,
                  const std::string& description) {
    Result result = run_one(server, o.program, request, forced);
    ++run;
    fold(digest, result.response.digest);
    points += result.response.points;
    branching += result.response.branching;
    virtual_ns += result.response.virtual_ns - kVirtualStart;
    if (failed(result.response)) {
      ++failures;
      std::printf("FAIL schedule %" PRIu64 " (%s): %s\n", run, description.c_str(),
                  outcome_text(result).c_str());
      std::fflush(stdout);
      if (!reported) {
        reported = true;
        std::fprintf(stderr, "--- schedule %" PRIu64 " (%s)\n%s", run, description.c_str(),
                     result.report.c_str());
        if (!result.output.empty()) {
          std::fprintf(stderr, "--- its output (last %zu bytes)\n%s%s", result.output.size(),
                       result.output.c_str(), result.output.back() == '\n' ? "" : "\n");
        }
        std::fprintf(stderr, "---\n");
      }
      if (!o.out.empty() && !wrote_out) {
        wrote_out = true;
        write_schedule(o.out, o, description, result);
      }
    }
    return result;
  }
};

struct Node {
  uint64_t runnable;
  uint64_t tried;
  uint8_t chosen;
  uint8_t previous;
  bool previous_runnable;
};

bool preempts(const Node& n, unsigned t) {
  return n.previous_runnable && t != n.previous;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  if (!o.faults.empty()) {
    check_faults(o.faults);
  }
  if (!o.scenario.empty()) {
    take_scenario(o);
  }
  // A program that ends instead of serving shows as end of file, not as a signal.
  signal(SIGPIPE, SIG_IGN);
  Schedule replay;
  if (o.mode == Options::kReplay) {
    replay = read_schedule(o.replay);
  }
  Explorer x{o, start_server(o)};
  timespec t0{};
  clock_gettime(CLOCK_MONOTONIC, &t0);
  auto time_left = [&] { return o.seconds <= 0 || seconds_since(t0) < o.seconds; };
  bool covered = false;

  proto::Request request{};
  request.record = 1;
  request.max_points = o.max_points;
  if (o.mode == Options::kReplay) {
    request.strategy = proto::kForced;
    const Result r = x.schedule(request, replay.choices, "replay of " + o.replay);
    if (r.response.digest == replay.digest) {
      std::printf("replay: the same event trace (digest %s)\n", hex(replay.digest).c_str());
    } else {
      std::printf("replay: the event trace differs: digest %s, recorded %s\n",
                  hex(r.response.digest).c_str(), hex(replay.digest).c_str());
    }
  } else if (o.mode == Options::kRandom || o.mode == Options::kPct) {
    request.strategy = o.mode == Options::kPct ? proto::kPct : proto::kRandom;
    request.pct_depth = static_cast<uint32_t>(o.depth);
    uint64_t most_points = 0;
    for (uint64_t i = 0; i < o.schedules && time_left(); ++i) {
      request.seed = mix_seed(o.seed, i);
      request.pct_steps = static_cast<uint32_t>(std::min<uint64_t>(most_points, UINT32_MAX));
      char description[64];
      std::snprintf(description, sizeof description, "%s seed 0x%016" PRIx64,
                    o.mode == Options::kPct ? "pct" : "random", request.seed);
      const Result r = x.schedule(request, {}, description);
      most_points = std::max(most_points, r.response.points);
    }
  } else {
    request.strategy = proto::kForced;
    std::vector<Node> stack;
    std::vector<uint8_t> forced;
    while (x.run < o.schedules && time_left()) {
      std::string description =
          "preemption-bounded, " + std::to_string(forced.size()) + " forced choices";
      const Result r = x.schedule(request, forced, description);
      for (size_t i = stack.size(); i < r.response.steps && i < r.steps.size(); ++i) {
        const proto::Step& s = r.steps[i];
        stack.push_back(Node{s.runnable, uint64_t{1} << s.chosen, s.chosen, s.previous,
                             s.previous_runnable != 0});
      }
      // The deepest step with a choice not tried yet that stays within the bound.
      bool next = false;
      while (!stack.empty() && !next) {
        const size_t i = stack.size() - 1;
        uint64_t used = 0;
        for (size_t j = 0; j < i; ++j) {
          used += preempts(stack[j], stack[j].chosen) ? 1 : 0;
        }
        Node& n = stack[i];
        for (uint64_t m = n.runnable & ~n.tried; m != 0; m &= m - 1) {
          const unsigned t = static_cast<unsigned>(__builtin_ctzll(m));
          n.tried |= uint64_t{1} << t;
          if (used + (preempts(n, t) ? 1 : 0) <= o.bound) {
            n.chosen = static_cast<uint8_t>(t);
            next = true;
            break;
          }
        }
        if (!next) {
          stack.pop_back();
        }
      }
      if (!next) {
        covered = true;
        break;
      }
      forced.clear();
      for (const Node& n : stack) {
        forced.push_back(n.chosen);
      }
    }
  }
  close(x.server.to);
  waitpid(x.server.pid, nullptr, 0);

  const double elapsed = seconds_since(t0);
  if (o.mode == Options::kExhaustive) {
    std::printf("exhaustive: %" PRIu64 " schedules with at most %" PRIu64 " preemptions, %s\n",
                x.run, o.bound,
                covered ? "the space is covered" : "the space is NOT covered (stopped early)");
  }
  std::printf("schedules: %" PRIu64 "  failures: %" PRIu64 "  schedules/s: %.1f\n", x.run,
              x.failures, elapsed > 0 ? static_cast<double>(x.run) / elapsed : 0.0);
  if (x.run != 0) {
    const double n = static_cast<double>(x.run);
    std::printf("per schedule: %.1f scheduling points, %.1f branching, %.3f ms virtual time\n",
                static_cast<double>(x.points) / n, static_cast<double>(x.branching) / n,
                static_cast<double>(x.virtual_ns) / n / 1e6);
  }
  std::printf("digest: %s\n", hex(x.digest).c_str());
  return x.failures != 0 ? 1 : 0;
}
