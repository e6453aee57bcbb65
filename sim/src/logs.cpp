// The simulator's trace file and the control interface's reading of the logs.
#include "logs.h"

#include <cstdarg>
#include <cstdio>

namespace pvgen_sim {

void trace(State& s, const char* fmt, ...) {
  if (s.trace == nullptr)
    return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(s.trace, fmt, ap);
  va_end(ap);
  std::fflush(s.trace);
}

}  // namespace pvgen_sim

using pvgen_sim::Lock;
using pvgen_sim::state;
using pvgen_sim::State;

extern "C" {

size_t pvgen_sim_command_count(void) {
  State& s = state();
  Lock l(s);
  return s.commands.total;
}

size_t pvgen_sim_answer_count(void) {
  State& s = state();
  Lock l(s);
  return s.answers.total;
}

int pvgen_sim_command_get(size_t index, pvgen_sim_command* out) {
  State& s = state();
  return pvgen_sim::log_get(s, &State::commands, index, out);
}

int pvgen_sim_answer_get(size_t index, pvgen_sim_answer* out) {
  State& s = state();
  return pvgen_sim::log_get(s, &State::answers, index, out);
}

}  // extern "C"
