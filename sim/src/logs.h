// The simulator's logs: the command and answer logs kept in the State (Log in state.h), the
// trace file (PVGEN_SIM_TRACE), and their part of the control interface.
#ifndef PVGEN_SIM_LOGS_H
#define PVGEN_SIM_LOGS_H

#include <cstddef>

#include "state.h"

namespace pvgen_sim {

template <class T>
int log_get(State& s, Log<T> State::*log_member, size_t index, T* out) {
  Lock l(s);
  if (out == nullptr || !(s.*log_member).get(index, out))
    return -1;
  return 0;
}

// True when there is a trace file; callers test it before formatting a line for it.
inline bool tracing(const State& s) {
  return s.trace != nullptr;
}

// Writes a line to the trace file, when there is one.
void trace(State& s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace pvgen_sim

#endif
