// What the tools print about the process when a run cannot go on: every thread with its
// name, its scheduler state and the kernel function it sleeps in (the watchdogs), and one
// line for a thread or memory the system refused.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <system_error>

namespace tools {

// A small text file of /proc, without its trailing newline or spaces ("" when unreadable).
inline std::string read_proc_text(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// Every thread of the process (tid, name, state, wait channel), on standard error.
inline void print_threads() {
  std::fprintf(stderr, "threads of the process (tid name state wchan):\n");
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) {
    return;
  }
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') {
      continue;
    }
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    const std::string stat = read_proc_text(base + "/stat");
    const size_t paren = stat.rfind(')');
    const std::string state =
        paren != std::string::npos && paren + 2 < stat.size() ? stat.substr(paren + 2, 1) : "?";
    std::fprintf(stderr, "  %-7s %-16s %s %s\n", e->d_name, read_proc_text(base + "/comm").c_str(),
                 state.c_str(), read_proc_text(base + "/wchan").c_str());
  }
  closedir(dir);
}

// A thread or memory the system refuses where this program has no way on (inside a thread,
// in a callback): one line that says so, and the given status, instead of an abort.
inline void on_refused_resource(const char* tool, int status) {
  static const char* s_tool = nullptr;
  static int s_status = 0;
  s_tool = tool;
  s_status = status;
  std::set_terminate([] {
    const char* what = "an unexpected error";
    std::string reason;
    if (const std::exception_ptr e = std::current_exception()) {
      try {
        std::rethrow_exception(e);
      } catch (const std::system_error& x) {
        what = "the system refused a resource";
        reason = x.code().message();
      } catch (const std::bad_alloc&) {
        what = "out of memory";
      } catch (const std::exception& x) {
        reason = x.what();
      } catch (...) {
      }
    }
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s%s%s%s; the run ends\n", s_tool, what, reason.empty() ? "" : " (",
                 reason.c_str(), reason.empty() ? "" : ")");
    std::fflush(stderr);
    _exit(s_status);
  });
}

}  // namespace tools
