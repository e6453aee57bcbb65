// In-process runs of a tool's option parsing. The tool's source is compiled into the fuzz
// target with its exits turned into exceptions and its own messages written to a buffer,
// so that thousands of command lines a second can be tried without changing the tool.
// Include every header the tool includes before this one, then the tool's .cpp after it.
#pragma once

#include <getopt.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz_tool {

struct Exit {
  int status;
};

// Where the tool's stdout and stderr go while a command line is parsed.
inline FILE* out_stream = nullptr;
inline FILE* err_stream = nullptr;

// Splits the input at NUL bytes into at most 24 arguments after `program`.
inline std::vector<std::string> arguments(const char* program, const uint8_t* data, size_t size) {
  std::vector<std::string> args{program};
  std::string current;
  for (size_t i = 0; i < size && args.size() < 25; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() && args.size() < 25) {
    args.push_back(current);
  }
  return args;
}

// The message a usage error printed names what was wrong: an argument as given, or the
// option part of one ("--name" of "--name=value", or a short option's letter), or the value
// of a "--name=value"; an empty argument as ''.
inline bool names_an_argument(const std::string& message, const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.empty() ? message.find("''") != std::string::npos
                  : message.find(a) != std::string::npos) {
      return true;
    }
    const size_t eq = a.find('=');
    const std::string option = a.substr(0, eq);
    if (option.size() > 1 && message.find(option) != std::string::npos) {
      return true;
    }
    if (eq != std::string::npos && eq + 1 < a.size() &&
        message.find(a.substr(eq + 1)) != std::string::npos) {
      return true;  // the value of --name=value
    }
    if (eq != std::string::npos && eq + 1 == a.size() && message.find("''") != std::string::npos) {
      return true;  // an empty value
    }
    if (a.size() > 2 && a[0] == '-' && a[1] != '-') {
      // The value attached to a short option, also behind other flags: -Xvalue, -abXvalue.
      for (size_t k = 2; k < a.size(); ++k) {
        if (message.find("'" + a.substr(k) + "'") != std::string::npos) {
          return true;
        }
      }
    }
    if (a.size() >= 2 && a[0] == '-' && a[1] != '-') {
      for (size_t k = 1; k < a.size(); ++k) {
        if (message.find(std::string("-- '") + a[k] + "'") != std::string::npos ||
            message.find(std::string("'-") + a[k] + "'") != std::string::npos) {
          return true;  // one letter of a group of short options, as getopt or the tool names it
        }
      }
    }
  }
  return false;
}

// Runs `call` (it returns the tool's status, or leaves through exit) with the tool's own
// streams in memory and the real standard error, where getopt complains, in a pipe; getopt
// starts afresh. Returns everything written to either; *own is what the tool itself wrote,
// and *status is -1 when the tool neither returned a status nor exited.
template <typename Call>
std::string run_capturing(Call call, int* status, std::string* own) {
  char* err_text = nullptr;
  size_t err_size = 0;
  err_stream = open_memstream(&err_text, &err_size);
  out_stream = std::fopen("/dev/null", "w");
  int pipe_fd[2];
  if (pipe(pipe_fd) != 0) {
    std::abort();
  }
  std::fflush(stderr);
  const int saved = dup(2);
  dup2(pipe_fd[1], 2);
  optind = 0;
  *status = -1;
  try {
    *status = call();
  } catch (const Exit& e) {
    *status = e.status;
  }
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(pipe_fd[1]);
  std::string message;
  char buf[4096];
  for (ssize_t n; (n = read(pipe_fd[0], buf, sizeof buf)) > 0;) {
    message.append(buf, static_cast<size_t>(n));
  }
  close(pipe_fd[0]);
  std::fclose(out_stream);
  std::fclose(err_stream);
  own->assign(err_text, err_size);
  std::free(err_text);
  return message + *own;
}

}  // namespace fuzz_tool

namespace std {
[[noreturn]] inline void fuzz_tool_exit(int status) {
  throw fuzz_tool::Exit{status};
}
}  // namespace std
using std::fuzz_tool_exit;

#define exit fuzz_tool_exit
#undef stdout
#undef stderr
#define stdout (::fuzz_tool::out_stream)
#define stderr (::fuzz_tool::err_stream)
