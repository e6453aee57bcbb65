// The simulator's fault rules and scripts, and their part of the control interface.
#include "faults.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace pvgen_sim {

// ---- fault rules --------------------------------------------------------------------

bool rule_valid(const pvgen_sim_fault& f) {
  switch (f.action) {
    case PVGEN_SIM_ACT_ERRNO:
      return f.err > 0 && f.kind >= 0 && f.kind < PVGEN_SIM_CLOSE;
    case PVGEN_SIM_ACT_RESULT:
      return f.kind >= 0 && f.kind <= PVGEN_SIM_STOP;
    case PVGEN_SIM_ACT_AGAIN:
    case PVGEN_SIM_ACT_BAND_NUM:
      return f.kind == PVGEN_SIM_WAIT;
    default:
      return false;
  }
}

Hit hit_rules(State& s, int kind, uint64_t call) {
  Hit h;
  for (const Rule& r : s.rules) {
    if (r.f.kind != kind)
      continue;
    const uint64_t rel = call - r.base;
    const uint64_t first = r.f.first == 0 ? 1 : r.f.first;
    if (rel < first || (r.f.count != 0 && rel >= first + r.f.count))
      continue;
    h.any = true;
    switch (r.f.action) {
      case PVGEN_SIM_ACT_ERRNO:
        h.err = true;
        h.errnum = r.f.err;
        h.err_result = r.f.value;
        break;
      case PVGEN_SIM_ACT_RESULT:
        h.has_result = true;
        h.result = r.f.value;
        break;
      case PVGEN_SIM_ACT_AGAIN:
        h.again = true;
        break;
      case PVGEN_SIM_ACT_BAND_NUM:
        h.has_band_num = true;
        h.band_num = r.f.value;
        break;
    }
  }
  if (h.any)
    ++s.stats.faults;
  return h;
}

namespace {

struct ErrnoName {
  const char* name;
  int value;
};

const ErrnoName kErrnoNames[] = {
    {"EPERM", EPERM},         {"ENOENT", ENOENT}, {"EINTR", EINTR},   {"EIO", EIO},
    {"ENXIO", ENXIO},         {"EBADF", EBADF},   {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},       {"EFAULT", EFAULT}, {"EBUSY", EBUSY},   {"ENODEV", ENODEV},
    {"EINVAL", EINVAL},       {"EMFILE", EMFILE}, {"ENOTTY", ENOTTY}, {"ETIMEDOUT", ETIMEDOUT},
    {"ECANCELED", ECANCELED},
};

}  // namespace

bool parse_long(const std::string& text, long long* out) {
  if (text.empty())
    return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0')
    return false;
  *out = v;
  return true;
}

namespace {

bool parse_errno(const std::string& text, int* out) {
  for (const ErrnoName& e : kErrnoNames) {
    if (text == e.name) {
      *out = e.value;
      return true;
    }
  }
  long long v = 0;
  if (!parse_long(text, &v) || v <= 0 || v > 4095)
    return false;
  *out = static_cast<int>(v);
  return true;
}

bool parse_kind(const std::string& text, int* out) {
  static const struct {
    const char* name;
    int kind;
  } names[] = {{"open", PVGEN_SIM_OPEN},
               {"start", PVGEN_SIM_PAGE_START},
               {"page_start", PVGEN_SIM_PAGE_START},
               {"band", PVGEN_SIM_BAND},
               {"wait", PVGEN_SIM_WAIT},
               {"stop", PVGEN_SIM_STOP}};
  for (const auto& n : names) {
    if (text == n.name) {
      *out = n.kind;
      return true;
    }
  }
  return false;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    const size_t at = text.find(sep, from);
    parts.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos)
      return parts;
    from = at + 1;
  }
}

// One rule text: KIND[#FIRST[xCOUNT|+]]:ACTION[,ACTION...] (blanks already removed). On
// refusal `why` says which part is wrong.
bool parse_rule(const std::string& text, std::vector<pvgen_sim_fault>* out, std::string* why) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) {
    *why = "no ':' before the actions";
    return false;
  }
  const std::string head = text.substr(0, colon);
  const size_t hash = head.find('#');
  pvgen_sim_fault base{};
  if (!parse_kind(head.substr(0, hash), &base.kind)) {
    *why = "unknown kind '" + head.substr(0, hash) + "'";
    return false;
  }
  base.first = 1;
  base.count = 0;
  if (hash != std::string::npos) {
    std::string occ = head.substr(hash + 1);
    base.count = 1;
    if (!occ.empty() && occ.back() == '+') {
      base.count = 0;
      occ.pop_back();
    } else if (const size_t x = occ.find('x'); x != std::string::npos) {
      long long count = 0;
      if (!parse_long(occ.substr(x + 1), &count) || count < 1 || count > UINT32_MAX) {
        *why = "bad count '" + occ.substr(x + 1) + "'";
        return false;
      }
      base.count = static_cast<uint32_t>(count);
      occ.resize(x);
    }
    long long first = 0;
    if (!parse_long(occ, &first) || first < 1 || first > UINT32_MAX) {
      *why = "bad call number '" + occ + "'";
      return false;
    }
    base.first = static_cast<uint32_t>(first);
  }
  bool has_errno = false;
  bool has_result = false;
  pvgen_sim_fault err_rule = base;
  pvgen_sim_fault result_rule = base;
  std::vector<pvgen_sim_fault> rules;
  for (const std::string& action : split(text.substr(colon + 1), ',')) {
    const size_t eq = action.find('=');
    const std::string name = action.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : action.substr(eq + 1);
    long long v = 0;
    if (name == "again" && eq == std::string::npos) {
      pvgen_sim_fault f = base;
      f.action = PVGEN_SIM_ACT_AGAIN;
      rules.push_back(f);
    } else if (name == "errno" && !has_errno && parse_errno(value, &err_rule.err)) {
      has_errno = true;
    } else if (name == "result" && !has_result && parse_long(value, &v) && v >= INT32_MIN &&
               v <= INT32_MAX) {
      has_result = true;
      result_rule.value = static_cast<int32_t>(v);
    } else if (name == "band_num" && parse_long(value, &v) && v >= INT32_MIN && v <= INT32_MAX) {
      pvgen_sim_fault f = base;
      f.action = PVGEN_SIM_ACT_BAND_NUM;
      f.value = static_cast<int32_t>(v);
      rules.push_back(f);
    } else {
      *why = "bad or repeated action '" + action + "'";
      return false;
    }
  }
  if (has_errno) {
    err_rule.action = PVGEN_SIM_ACT_ERRNO;
    err_rule.value = has_result ? result_rule.value : 0;
    rules.push_back(err_rule);
  } else if (has_result) {
    result_rule.action = PVGEN_SIM_ACT_RESULT;
    rules.push_back(result_rule);
  }
  for (const pvgen_sim_fault& f : rules) {
    if (!rule_valid(f)) {
      *why = "an action this kind of call cannot take";
      return false;
    }
  }
  out->insert(out->end(), rules.begin(), rules.end());
  return true;
}

}  // namespace

thread_local std::string t_script_error;

bool parse_script(const char* script, std::vector<pvgen_sim_fault>* out) {
  if (script == nullptr) {
    t_script_error = "no script";
    return false;
  }
  std::string compact;
  for (const char* p = script; *p != '\0'; ++p) {
    if (std::isspace(static_cast<unsigned char>(*p)) == 0)
      compact.push_back(*p);
  }
  for (const std::string& rule : split(compact, ';')) {
    if (rule.empty())
      continue;
    std::string why;
    if (!parse_rule(rule, out, &why)) {
      t_script_error = "rule '" + rule + "': " + why;
      return false;
    }
  }
  return true;
}

void add_rule_locked(State& s, const pvgen_sim_fault& f) {
  s.rules.push_back(Rule{f, s.calls[f.kind]});
}

}  // namespace pvgen_sim

// ---- control interface (pvgen_sim.h): faults --------------------------------------------

using pvgen_sim::Lock;
using pvgen_sim::state;
using pvgen_sim::State;

extern "C" {

int pvgen_sim_fault_add(const pvgen_sim_fault* fault) {
  if (fault == nullptr || !pvgen_sim::rule_valid(*fault))
    return -1;
  State& s = state();
  Lock l(s);
  pvgen_sim::add_rule_locked(s, *fault);
  return 0;
}

int pvgen_sim_fault_script(const char* script) {
  std::vector<pvgen_sim_fault> rules;
  pvgen_sim::t_script_error.clear();
  if (!pvgen_sim::parse_script(script, &rules))
    return -1;
  State& s = state();
  Lock l(s);
  for (const pvgen_sim_fault& f : rules)
    pvgen_sim::add_rule_locked(s, f);
  return static_cast<int>(rules.size());
}

const char* pvgen_sim_fault_script_error(void) {
  return pvgen_sim::t_script_error.c_str();
}

void pvgen_sim_fault_clear(void) {
  State& s = state();
  Lock l(s);
  s.rules.clear();
}

}  // extern "C"
