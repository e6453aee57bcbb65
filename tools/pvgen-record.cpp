// pvgen-record: runs a program with the recorder preloaded, so that its calls on
// /dev/mfp_pvgen are written to a recording while they go to the driver unchanged. Made for
// the target, over the real driver; on a PC, pvgen-sim --record does the same over the
// simulated engine.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char kLibName[] = "libpvgen_record.so";

const char kUsage[] =
    "Usage: pvgen-record [OPTIONS] FILE [--] PROGRAM [ARGS...]\n"
    "Runs PROGRAM with the recorder preloaded: every open, ioctl and close of\n"
    "/dev/mfp_pvgen goes to the driver unchanged and is written to the recording FILE\n"
    "(see pvgen-rec print FILE), by the first process that opens the device. The calling\n"
    "threads"
    " never wait for the file: a writer thread drains a buffer of records; when it is full,\n"
    "records are dropped and the recording says how many.\n"
    "\n"
    "Options:\n"
    "  -b, --buffer=N   records the buffer holds (default 256).   PVGEN_RECORD_BUFFER\n"
    "  -L, --lib=PATH   the recorder library. Default: $PVGEN_RECORD_LIB, else\n"
    "                   libpvgen_record.so next to this program, in ../sim/recording or ../lib.\n"
    "  -h, --help       print this help.\n"
    "\n"
    "Exit status: PROGRAM's; 2 usage error; 127 PROGRAM cannot be run.\n";

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "pvgen-record: %s\n(see pvgen-record --help)\n", what.c_str());
  std::exit(2);
}

std::string absolute(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(path.c_str(), buf) != nullptr ? buf : path;
}

std::string find_library(const std::string& option) {
  std::string given = option;
  if (given.empty()) {
    if (const char* env = std::getenv("PVGEN_RECORD_LIB"); env != nullptr && *env != '\0')
      given = env;
  }
  if (!given.empty()) {
    if (access(given.c_str(), R_OK) != 0)
      fail("no recorder library at '" + given + "'");
    return absolute(given);
  }
  char self[PATH_MAX];
  const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
  if (len > 0) {
    self[len] = '\0';
    std::string dir(self);
    dir.resize(dir.rfind('/'));
    for (const char* rel : {"/", "/../sim/recording/", "/" PVGEN_LIBDIR_FROM_BINDIR "/"}) {
      const std::string candidate = dir + rel + kLibName;
      if (access(candidate.c_str(), R_OK) == 0)
        return absolute(candidate);
    }
  }
  fail(std::string("cannot find ") + kLibName + "; use --lib or PVGEN_RECORD_LIB");
}

bool valid_count(const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text, &end, 10);
  return *text >= '0' && *text <= '9' && errno == 0 && *end == '\0' && v >= 1 && v <= (1u << 20);
}

}  // namespace

int main(int argc, char** argv) {
  std::string lib, buffer;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* name) -> std::string {
      const std::string prefix = std::string(name) + "=";
      if (a.compare(0, prefix.size(), prefix) == 0)
        return a.substr(prefix.size());
      if (i + 1 >= argc)
        fail("option " + a + " needs a value");
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "-b" || a.rfind("--buffer", 0) == 0) {
      buffer = value("--buffer");
      if (!valid_count(buffer.c_str()))
        fail("bad buffer size '" + buffer + "' (1 to 1048576 records)");
    } else if (a == "-L" || a.rfind("--lib", 0) == 0) {
      lib = value("--lib");
    } else if (a == "--") {
      fail("no FILE given before --");
    } else if (!a.empty() && a[0] == '-') {
      fail("unknown option '" + a + "'");
    } else {
      break;
    }
  }
  if (i >= argc)
    fail("no FILE given");
  const std::string file = argv[i++];
  if (i < argc && std::strcmp(argv[i], "--") == 0)
    ++i;
  if (i >= argc)
    fail("no program given");

  const std::string path = find_library(lib);
  const char* old = std::getenv("LD_PRELOAD");
  setenv("LD_PRELOAD", old != nullptr && *old != '\0' ? (path + ":" + old).c_str() : path.c_str(),
         1);
  setenv("PVGEN_RECORD", file.c_str(), 1);
#if defined(PVGEN_ASAN)
  // The recorder of an AddressSanitizer build depends on the sanitizer's runtime, which then
  // no longer comes first among the initial libraries; that order is not needed here.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string options = std::string(asan != nullptr ? asan : "") +
                              (asan != nullptr && *asan != '\0' ? ":" : "") +
                              "verify_asan_link_order=0";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
#endif
  if (!buffer.empty())
    setenv("PVGEN_RECORD_BUFFER", buffer.c_str(), 1);
  execvp(argv[i], argv + i);
  std::fprintf(stderr, "pvgen-record: cannot run %s: %s\n", argv[i], std::strerror(errno));
  return 127;
}
