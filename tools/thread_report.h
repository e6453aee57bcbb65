// What the tools' watchdogs print about the process when a run stops making progress:
// every thread with its name, its scheduler state and the kernel function it sleeps in.
#pragma once

#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

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

}  // namespace tools
