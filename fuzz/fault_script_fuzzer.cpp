// Fault-script fuzzer: any text through the simulator's script parser. A script is taken
// whole or not at all, and an accepted one adds a rule for every rule text it holds: one
// per `again` and per `band_num=`, and one for `errno=` and `result=` together (or either
// alone). A text that is refused must be refused again, with a reason that names one of its
// rules, and an accepted one accepted again with the same count (the parser keeps no state
// between scripts).
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "pvgen_sim.h"

namespace {

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    const size_t at = text.find(sep, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) {
      return parts;
    }
    from = at + 1;
  }
}

// Rules an accepted script must have added: counted from its rule texts, blanks ignored.
int rules_written(const std::string& script) {
  std::string compact;
  for (const char c : script) {
    if (std::isspace(static_cast<unsigned char>(c)) == 0) {
      compact.push_back(c);
    }
  }
  int n = 0;
  for (const std::string& rule : split(compact, ';')) {
    if (rule.empty()) {
      continue;
    }
    const size_t colon = rule.find(':');
    if (colon == std::string::npos) {
      return -1;
    }
    bool errno_or_result = false;
    for (const std::string& action : split(rule.substr(colon + 1), ',')) {
      const std::string name = action.substr(0, action.find('='));
      if (name == "again" || name == "band_num") {
        ++n;
      } else if (name == "errno" || name == "result") {
        errno_or_result = true;
      } else {
        return -1;
      }
    }
    n += errno_or_result ? 1 : 0;
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) {
    return -1;
  }
  const std::string script(reinterpret_cast<const char*>(data), size);
  if (script.find('\0') != std::string::npos) {
    return -1;  // a C string ends there
  }
  const int added = pvgen_sim_fault_script(script.c_str());
  const std::string why = pvgen_sim_fault_script_error();
  pvgen_sim_fault_clear();
  // A refusal names the rule it refused, as written in the script (blanks removed).
  std::string compact;
  for (const char c : script) {
    if (std::isspace(static_cast<unsigned char>(c)) == 0) {
      compact.push_back(c);
    }
  }
  if (added < 0) {
    const size_t open = why.find("rule '");
    const size_t close = why.find("': ");
    FUZZ_CHECK(open == 0 && close != std::string::npos &&
                   compact.find(why.substr(6, close - 6)) != std::string::npos,
               "script \"%s\" refused with \"%s\", which names none of its rules", script.c_str(),
               why.c_str());
  } else {
    FUZZ_CHECK(why.empty(), "script \"%s\" accepted, yet refused with \"%s\"", script.c_str(),
               why.c_str());
  }
  const int again = pvgen_sim_fault_script(script.c_str());
  pvgen_sim_fault_clear();
  FUZZ_CHECK(added == again, "the same script gave %d, then %d rules: \"%s\"", added, again,
             script.c_str());
  FUZZ_CHECK(added >= -1, "result %d for \"%s\"", added, script.c_str());
  if (added >= 0) {
    const int want = rules_written(script);
    FUZZ_CHECK(added == want, "script \"%s\" accepted with %d rules; its text holds %d",
               script.c_str(), added, want);
  }
  return 0;
}
