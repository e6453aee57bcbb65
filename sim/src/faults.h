// The simulator's fault rules: counting calls per kind, the rules that hit a call, and
// fault scripts (pvgen_sim_fault_script, PVGEN_SIM_FAULTS).
#ifndef PVGEN_SIM_FAULTS_H
#define PVGEN_SIM_FAULTS_H

#include <string>
#include <vector>

#include "state.h"

namespace pvgen_sim {

bool rule_valid(const pvgen_sim_fault& f);

// The rules that hit call number `call` of `kind`.
Hit hit_rules(State& s, int kind, uint64_t call);

// Counts one call of `kind` and collects the rules that hit it.
inline Hit hit(State& s, int kind) {
  const uint64_t call = ++s.calls[kind];
  if (s.rules.empty())
    return Hit{};
  return hit_rules(s, kind, call);
}

bool parse_long(const std::string& text, long long* out);

// Parses a whole script into rules; on refusal t_script_error says why.
bool parse_script(const char* script, std::vector<pvgen_sim_fault>* out);

// Why the last script refused by pvgen_sim_fault_script was refused (per thread).
extern thread_local std::string t_script_error;

void add_rule_locked(State& s, const pvgen_sim_fault& f);

}  // namespace pvgen_sim

#endif
