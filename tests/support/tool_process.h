// Runs a tool of this project as a separate process and reads what it wrote.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace tool_process {

// pvgen-run as the shell should start it: under the emulator (which preloads the simulator)
// for the target, else with a clean environment (it finds the simulator itself).
inline std::string command_prefix() {
#ifdef PVGEN_RUN_EMULATOR
  return std::string(PVGEN_RUN_EMULATOR) + " -E LD_PRELOAD=" + PVGEN_SIM_LIB_PATH +
         " -E PVGEN_RUN_SIMULATED=1 " + PVGEN_RUN_PATH;
#else
  return std::string("env -u LD_PRELOAD -u PVGEN_RUN_SIMULATED ") + PVGEN_RUN_PATH;
#endif
}

// Exit status and standard output of a shell command.
inline std::pair<int, std::string> shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  char buf[4096];
  size_t n;
  while (pipe != nullptr && (n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
    out.append(buf, n);
  }
  const int raw = pipe != nullptr ? pclose(pipe) : -1;
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, out};
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline std::string temp_path(const std::string& name) {
  return testing::TempDir() + "pvgen-timeline-" + std::to_string(getpid()) + "-" + name;
}

}  // namespace tool_process
