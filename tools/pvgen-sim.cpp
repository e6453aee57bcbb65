// pvgen-sim: runs a program with the simulated PVGEN engine preloaded, so that its
// /dev/mfp_pvgen is served by libpvgen_sim.so. Options become PVGEN_SIM_* environment
// variables, which the simulator reads when it is loaded.
#include <getopt.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kLibName[] = "libpvgen_sim.so";
const char kRecorderName[] = "libpvgen_record.so";

const char kUsage[] =
    "Usage: pvgen-sim [OPTIONS] [--] PROGRAM [ARGS...]\n"
    "Runs PROGRAM with the simulated PVGEN engine preloaded: every open of /dev/mfp_pvgen\n"
    "in PROGRAM gets a simulated descriptor. When the simulator is installed beside\n"
    "libquorlcnvpvgen.so.1, that folder is added to the end of LD_LIBRARY_PATH, so that a\n"
    "program built against the installation finds its libraries.\n"
    "\n"
    "Options (each sets the environment variable shown, read by the simulator at start-up):\n"
    "  -b, --band-time=TIME   engine time per band; a number with unit ns, us, ms or s\n"
    "                         (no unit: us). Default 0.                  PVGEN_SIM_BAND_TIME\n"
    "  -f, --faults=SCRIPT    fault rules; may be given more than once (joined with ';').\n"
    "                                                                    PVGEN_SIM_FAULTS\n"
    "  -g, --gate=N           start with the report gate closed: only the first N reports\n"
    "                         are delivered, later waits block for good. PVGEN_SIM_GATE\n"
    "  -s, --stats[=FILE]     write the statistics at exit to FILE (default: stderr). The\n"
    "                         file is given with '=' (or -sFILE): a word after a bare\n"
    "                         --stats is the program.                    PVGEN_SIM_STATS\n"
    "  -t, --trace[=FILE]     write one line per request to FILE (default: stderr); the\n"
    "                         file is given as for --stats.              PVGEN_SIM_TRACE\n"
    "  -l, --log-limit=N      entries kept in each of the simulator's logs (1..4294967295,\n"
    "                         default 4096; an entry takes about 2.3 KiB of memory, kept\n"
    "                         only as calls are made).                   PVGEN_SIM_LOG_LIMIT\n"
    "  -r, --record=FILE      record every call on the device, as given and as answered,\n"
    "                         to FILE (libpvgen_record.so preloaded ahead of the simulator;\n"
    "                         see pvgen-rec). Faults and band time apply and are recorded.\n"
    "                                                                    PVGEN_RECORD\n"
    "  -R, --replay=FILE      answer the device from the recording FILE instead of the\n"
    "                         engine model, checking every call against it; at the first\n"
    "                         call that differs, report it and exit with status 97. Not\n"
    "                         with --band-time, --faults or --gate.  PVGEN_SIM_REPLAY\n"
    "  -L, --lib=PATH         the simulator library. Default: $PVGEN_SIM_LIB, else\n"
    "                         libpvgen_sim.so next to this program, in ../sim or ../lib.\n"
    "  -n, --dry-run          print the environment and the command instead of running it.\n"
    "                         Output files are still created, as for a run.\n"
    "  -h, --help             print this help.\n"
    "\n"
    "Fault rules: KIND[#FIRST[xCOUNT|+]]:ACTION[,ACTION...], separated by ';'.\n"
    "  KIND    open | start | band | wait | stop\n"
    "  #FIRST  only the FIRST-th call of that kind; xCOUNT: COUNT calls from there;\n"
    "          '+': every call from there on; no '#': every call\n"
    "  ACTION  errno=NAME|NUMBER  the call fails (-1); with result=N the ioctl's result\n"
    "                             word is set to N\n"
    "          result=N           the command answers result N / the wait's report carries N\n"
    "          again              (wait) answer result 3 at once, without a report\n"
    "          band_num=N         (wait) the report's band_num is N\n"
    "  Example: -f 'band#3:result=4' -f 'wait#1x2:again' -f 'stop:result=2'\n"
    "\n"
    "Statistics lines are name=value: requests.KIND, failed.KIND, bad_requests, reports,\n"
    "again, faults, bands_run, busy_ns, idle_ns, span_ns, utilisation, open_descriptors,\n"
    "blocked_waiters, pending_reports.\n"
    "\n"
    "Exit status: PROGRAM's; 97 (--replay) PROGRAM's calls on the device differ from the\n"
    "recording (the first difference is reported on stderr: the call's number, thread and\n"
    "request, the recorded and the given block field by field); 2 for a usage error, an\n"
    "output file that cannot be opened or a recording that does not read (nothing is run;\n"
    "the simulator, once loaded, also stops PROGRAM with status 2 before it starts when a\n"
    "PVGEN_SIM_* variable is malformed); 127 when PROGRAM cannot be run.\n";

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "pvgen-sim: %s\n(see pvgen-sim --help)\n", what.c_str());
  std::exit(2);
}

bool valid_time(const char* text) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || end == text || !(v >= 0))
    return false;
  const std::string unit(end);
  const double scale = unit == "ns" ? 1 : unit == "ms" ? 1e6 : unit == "s" ? 1e9 : 1e3;
  // The simulator takes times below 1.8e19 ns (64 bits) and would refuse more at start-up.
  return (unit.empty() || unit == "ns" || unit == "us" || unit == "ms" || unit == "s") &&
         v * scale < 1.8e19;
}

bool valid_count(const char* text, unsigned long long min, unsigned long long max) {
  char* end = nullptr;
  errno = 0;
  if (*text == '-' || *text == '\0')
    return false;
  const unsigned long long v = std::strtoull(text, &end, 0);
  return errno == 0 && *end == '\0' && v >= min && v <= max;
}

// Creates the output file now (without emptying it; the simulator writes it), so that a path
// that cannot be written is refused before the program runs.
void check_output(const char* option, const std::string& path) {
  if (path == "-" || path == "stderr") {
    return;
  }
  if (path.empty()) {
    fail(std::string("empty file name for --") + option);
  }
  FILE* f = std::fopen(path.c_str(), "a");
  if (f == nullptr) {
    std::fprintf(stderr, "pvgen-sim: cannot open the --%s file '%s': %s\n", option, path.c_str(),
                 std::strerror(errno));
    std::exit(2);
  }
  std::fclose(f);
}

// Whether execvp would find PROGRAM: a path, or a name on PATH.
bool runnable(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    return access(program.c_str(), X_OK) == 0;
  }
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t from = 0;
  while (from <= dirs.size()) {
    size_t to = dirs.find(':', from);
    if (to == std::string::npos) {
      to = dirs.size();
    }
    const std::string dir = to > from ? dirs.substr(from, to - from) : ".";
    if (access((dir + "/" + program).c_str(), X_OK) == 0) {
      return true;
    }
    from = to + 1;
  }
  return false;
}

bool readable(const std::string& path) {
  return access(path.c_str(), R_OK) == 0;
}

std::string absolute(const std::string& path) {
  char buf[PATH_MAX];
  if (realpath(path.c_str(), buf) == nullptr)
    return path;
  return buf;
}

// A library this program preloads: `option` (--lib) when given, else $`env`, else `name`
// next to this program, in `build_dir` (the build tree's folder of it) or in the installed
// library folder. `what` names it in errors.
std::string find_beside(const std::string& option, const char* env_name, const char* name,
                        const char* build_dir, const char* what, const char* hint) {
  if (!option.empty()) {
    if (!readable(option))
      fail(std::string("no ") + what + " library at '" + option + "'");
    return absolute(option);
  }
  if (const char* env = std::getenv(env_name); env != nullptr && *env != '\0') {
    if (!readable(env))
      fail(std::string("no ") + what + " library at $" + env_name + " '" + env + "'");
    return absolute(env);
  }
  char self[PATH_MAX];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  if (len > 0) {
    self[len] = '\0';
    std::string dir(self);
    dir.resize(dir.rfind('/'));
    for (const char* rel : {"/", build_dir, "/" PVGEN_LIBDIR_FROM_BINDIR "/"}) {
      const std::string candidate = dir + rel + name;
      if (readable(candidate))
        return absolute(candidate);
    }
  }
  fail(std::string("cannot find ") + name + "; " + hint);
}

// The simulator: --lib, $PVGEN_SIM_LIB, else next to this program, in ../sim or in the
// library folder.
std::string find_library(const std::string& option) {
  return find_beside(option, "PVGEN_SIM_LIB", kLibName, "/../sim/", "simulator",
                     "use --lib or PVGEN_SIM_LIB");
}

// The recorder: $PVGEN_RECORD_LIB, else next to this program, in ../sim/recording or in the
// library folder.
std::string find_recorder() {
  return find_beside("", "PVGEN_RECORD_LIB", kRecorderName, "/../sim/recording/", "recorder",
                     "set PVGEN_RECORD_LIB");
}

void set(const char* name, const std::string& value, bool dry_run) {
  if (dry_run)
    std::printf("%s=%s\n", name, value.c_str());
  setenv(name, value.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
  static const option kOptions[] = {
      {"band-time", required_argument, nullptr, 'b'},
      {"faults", required_argument, nullptr, 'f'},
      {"gate", required_argument, nullptr, 'g'},
      {"stats", optional_argument, nullptr, 's'},
      {"trace", optional_argument, nullptr, 't'},
      {"log-limit", required_argument, nullptr, 'l'},
      {"lib", required_argument, nullptr, 'L'},
      {"record", required_argument, nullptr, 'r'},
      {"replay", required_argument, nullptr, 'R'},
      {"dry-run", no_argument, nullptr, 'n'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  std::string band_time, faults, gate, stats, trace, log_limit, lib, record, replay;
  bool want_stats = false;
  bool want_trace = false;
  bool dry_run = false;
  int c = 0;
  // The last option when it was --stats or --trace without a file, and where it ended.
  const char* bare_output = nullptr;
  int bare_end = 0;
  opterr = 0;  // one message of this program's own for each mistake
  // '+': options end at the first non-option, so PROGRAM's own options stay its own.
  // ':': a missing value is told apart from an unknown option.
  while ((c = getopt_long(argc, argv, "+:b:f:g:s::t::l:L:r:R:nh", kOptions, nullptr)) != -1) {
    bare_output = nullptr;
    switch (c) {
      case 'b':
        if (!valid_time(optarg))
          fail(std::string("bad band time '") + optarg + "'");
        band_time = optarg;
        break;
      case 'f':
        faults += (faults.empty() ? "" : ";") + std::string(optarg);
        break;
      case 'g':
        if (!valid_count(optarg, 0, 0xFFFFFFFFull))
          fail(std::string("bad gate '") + optarg + "'");
        gate = optarg;
        break;
      case 's':
        want_stats = true;
        stats = optarg != nullptr ? optarg : "-";
        if (optarg == nullptr) {
          bare_output = "stats";
          bare_end = optind;
        }
        break;
      case 't':
        want_trace = true;
        trace = optarg != nullptr ? optarg : "-";
        if (optarg == nullptr) {
          bare_output = "trace";
          bare_end = optind;
        }
        break;
      case 'l':
        if (!valid_count(optarg, 1, 0xFFFFFFFFull)) {
          fail(std::string("bad log limit '") + optarg + "'");
        }
        log_limit = optarg;
        break;
      case 'L':
        lib = optarg;
        break;
      case 'r':
        if (*optarg == '\0')
          fail("--record needs a file, not ''");
        record = optarg;
        break;
      case 'R':
        if (*optarg == '\0')
          fail("--replay needs a file, not ''");
        replay = optarg;
        break;
      case 'n':
        dry_run = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case ':':
        fail(std::string("option '") + argv[optind - 1] + "' needs a value");
      default:
        // A letter of a group of short options, or a long option (unknown, or the start of
        // more than one); getopt leaves optopt as it was for the latter.
        if (optopt != 0 && std::strncmp(argv[optind - 1], "--", 2) != 0)
          fail(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
        fail(std::string("unknown or ambiguous option '") + argv[optind - 1] + "'");
    }
  }
  if (optind >= argc)
    fail("no program given");
  if (bare_output != nullptr && bare_end == optind) {
    // "--stats FILE PROGRAM" or "--stats FILE -- PROGRAM": FILE would be run as the program.
    bool later_separator = false;
    for (int i = optind + 1; i < argc; ++i)
      later_separator = later_separator || std::strcmp(argv[i], "--") == 0;
    if (later_separator || !runnable(argv[optind]))
      fail(std::string("'") + argv[optind] + "' after --" + bare_output +
           " would be run as the program; give the file as --" + bare_output + "=" + argv[optind]);
  }
  if (want_stats)
    check_output("stats", stats);
  if (want_trace)
    check_output("trace", trace);

  if (!record.empty() && !replay.empty())
    fail("--record '" + record + "' and --replay '" + replay + "' exclude each other");
  if (!replay.empty() && (!band_time.empty() || !faults.empty() || !gate.empty()))
    fail("--band-time, --faults and --gate do not apply to the replay of '" + replay +
         "': the recording answers");
  if (!replay.empty() && !readable(replay))
    fail("cannot read the recording '" + replay + "'");

  const std::string path = find_library(lib);
  // A program built against this installation finds its libraries (the library and the
  // platform beside the simulator) without a run path or a loader configuration of its own.
  // Only where they are installed side by side; a build tree's programs carry run paths.
  const std::string lib_dir = path.substr(0, path.rfind('/'));
  if (readable(lib_dir + "/libquorlcnvpvgen.so.1")) {
    const char* old_path = std::getenv("LD_LIBRARY_PATH");
    set("LD_LIBRARY_PATH",
        old_path != nullptr && *old_path != '\0' ? std::string(old_path) + ":" + lib_dir : lib_dir,
        dry_run);
  }
  // The recorder comes first, so that its calls go on to the simulator.
  const std::string preload = record.empty() ? path : find_recorder() + ":" + path;
  const char* old_preload = std::getenv("LD_PRELOAD");
  set("LD_PRELOAD",
      old_preload != nullptr && *old_preload != '\0' ? preload + ":" + old_preload : preload,
      dry_run);
  if (!record.empty())
    set("PVGEN_RECORD", record, dry_run);
  if (!replay.empty())
    set("PVGEN_SIM_REPLAY", replay, dry_run);
#if defined(PVGEN_ASAN)
  // The simulator of an AddressSanitizer build depends on the sanitizer's runtime, which then
  // no longer comes first among the initial libraries; that order is not needed here.
  const char* asan = std::getenv("ASAN_OPTIONS");
  set("ASAN_OPTIONS",
      std::string(asan != nullptr ? asan : "") + (asan != nullptr && *asan ? ":" : "") +
          "verify_asan_link_order=0",
      dry_run);
#endif
  if (!band_time.empty())
    set("PVGEN_SIM_BAND_TIME", band_time, dry_run);
  if (!faults.empty())
    set("PVGEN_SIM_FAULTS", faults, dry_run);
  if (!gate.empty())
    set("PVGEN_SIM_GATE", gate, dry_run);
  if (want_stats)
    set("PVGEN_SIM_STATS", stats, dry_run);
  if (want_trace)
    set("PVGEN_SIM_TRACE", trace, dry_run);
  if (!log_limit.empty())
    set("PVGEN_SIM_LOG_LIMIT", log_limit, dry_run);

  std::vector<char*> args(argv + optind, argv + argc);
  args.push_back(nullptr);
  if (dry_run) {
    for (int i = optind; i < argc; ++i)
      std::printf("%s%s", i > optind ? " " : "", argv[i]);
    std::printf("\n");
    return 0;
  }
  execvp(args[0], args.data());
  std::fprintf(stderr, "pvgen-sim: cannot run %s: %s\n", args[0], std::strerror(errno));
  return 127;
}
