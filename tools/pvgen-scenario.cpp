// pvgen-scenario: runs a scenario file (threads of calls of the five C functions, page-less
// bands listed through the class operations, expected outcomes) against the library. It is
// what `pvgen-explore --scenario FILE` runs under the controlled platform, one schedule
// after another; `--check FILE` only reads the file and prints its engine settings. The
// format is described in docs/explore.md ("Scenario files").
//
// Exit status: 0 every expectation held, 1 one did not (one line naming the file's line),
// 2 a bad command line or a bad file (one line naming the line).
#include <pthread.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "duration.h"
#include "osw.h"
#include "pvgen_sim.h"
#include "quorl_cnv_pvgen.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_control.h"

namespace {

const char* const kUsage =
    "usage: pvgen-scenario [--check] FILE\n"
    "Runs the scenario FILE against the library: the `before` section, then every thread at\n"
    "once, then the `after` section. Usually started by `pvgen-explore --scenario FILE`.\n"
    "  --check      read FILE only; print its band-time and faults lines\n"
    "  -h, --help   this text\n"
    "Exit status: 0 every expectation held, 1 one failed, 2 usage error or a bad FILE.\n";

std::string g_file;

[[noreturn]] void usage_error(const std::string& text) {
  std::fprintf(stderr, "pvgen-scenario: %s (try --help)\n", text.c_str());
  std::exit(2);
}

[[noreturn]] void bad_line(int line, const std::string& text) {
  std::fprintf(stderr, "pvgen-scenario: %s:%d: %s\n", g_file.c_str(), line, text.c_str());
  std::exit(2);
}

// A failed expectation: one line, and the process ends at once (other threads may hold the
// library in any state).
[[noreturn]] void violation(int line, const std::string& text) {
  if (line > 0) {
    std::fprintf(stderr, "pvgen-scenario: %s:%d: %s\n", g_file.c_str(), line, text.c_str());
  } else {
    std::fprintf(stderr, "pvgen-scenario: %s: %s\n", g_file.c_str(), text.c_str());
  }
  std::fflush(stderr);
  std::_Exit(1);
}

enum class Op { kPageId, kPrepare, kPageStart, kBand, kStop, kPageless, kExpect, kAwait, kReports };

struct Statement {
  Op op;
  int line = 0;
  int page = -1;            // index into Scenario::pages
  int callback = -1;        // index into Scenario::callbacks
  bool wait = true;         // prepare: wait_for_channel
  std::vector<int> values;  // expect, reports: the allowed values
};

struct Section {
  std::string name;
  int line = 0;
  std::vector<Statement> body;
};

struct Page {
  std::string name;
  uint32_t bands = 1;
};

struct Callback {
  std::string name;
  int line = 0;
  int page = -1;                              // -1: a page-less band
  std::vector<int> results{0, 1, 2, -3, -5};  // allowed results of its report
};

struct Scenario {
  std::string band_time;
  std::string faults;
  std::vector<Page> pages;
  std::vector<Callback> callbacks;
  Section before;
  std::vector<Section> threads;
  Section after;
};

bool parse_int(const std::string& text, long min, long max, int* out) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) {
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

std::vector<int> parse_values(int line, const std::string& text, long min, long max) {
  std::vector<int> values;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, '|')) {
    int v = 0;
    if (!parse_int(item, min, max, &v)) {
      bad_line(line, "`" + text + "` is not a list of numbers such as 0|-3");
    }
    values.push_back(v);
  }
  if (values.empty() || text.back() == '|') {
    bad_line(line, "`" + text + "` is not a list of numbers such as 0|-3");
  }
  return values;
}

bool valid_name(const std::string& name) {
  if (name.empty() || name.size() > 15) {
    return false;
  }
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') {
      return false;
    }
  }
  return true;
}

class Parser {
 public:
  explicit Parser(bool check) : check_(check) {}

  Scenario read(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
      std::fprintf(stderr, "pvgen-scenario: cannot read %s: %s\n", path.c_str(),
                   std::strerror(errno));
      std::exit(2);
    }
    std::string text;
    int line = 0;
    while (std::getline(in, text)) {
      ++line;
      // A comment starts with a # at the start of a word (fault rules hold # inside words).
      for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '#' && (i == 0 || std::isspace(static_cast<unsigned char>(text[i - 1])))) {
          text.erase(i);
          break;
        }
      }
      std::vector<std::string> words;
      std::istringstream split(text);
      for (std::string w; split >> w;) {
        words.push_back(w);
      }
      if (!words.empty()) {
        statement(line, words, text);
      }
    }
    if (s_.threads.empty()) {
      bad_line(line, "no `thread NAME` section");
    }
    return std::move(s_);
  }

 private:
  void statement(int line, const std::vector<std::string>& w, const std::string& text) {
    const std::string& key = w[0];
    if (key == "band-time" || key == "faults") {
      if (current_ != nullptr) {
        bad_line(line, "`" + key + "` belongs before the first section");
      }
      if (w.size() < 2 || (key == "band-time" && w.size() != 2)) {
        bad_line(line, "`" + key + "` needs a value");
      }
      std::string& slot = key == "band-time" ? s_.band_time : s_.faults;
      if (!slot.empty()) {
        bad_line(line, "a second `" + key + "` line");
      }
      // The rules are the rest of the line, as pvgen-sim --faults takes them.
      slot = key == "band-time" ? w[1] : text.substr(text.find(w[1]));
      while (!slot.empty() && std::isspace(static_cast<unsigned char>(slot.back()))) {
        slot.pop_back();
      }
      if (key == "band-time" && parse_time_ns(slot) < 0) {
        bad_line(line, "band-time needs a time such as 100us, 2ms or 1.5s, not `" + slot + "`");
      }
      // Checked with --check only, by the simulated engine's own reader (which adds them to
      // the engine of this process: a run takes its rules from its environment instead).
      if (key == "faults" && check_ && pvgen_sim_fault_script(slot.c_str()) < 0) {
        bad_line(line, std::string("faults: ") + pvgen_sim_fault_script_error());
      }
      return;
    }
    if (key == "before" || key == "after" || key == "thread") {
      section(line, w);
      return;
    }
    if (current_ == nullptr) {
      bad_line(line, "`" + key + "` outside a section (before, thread NAME or after)");
    }
    call(line, w);
  }

  void section(int line, const std::vector<std::string>& w) {
    const std::string& key = w[0];
    if (key == "thread") {
      if (w.size() != 2 || !valid_name(w[1])) {
        bad_line(line, "`thread` needs one name of letters, digits, _ and - (at most 15)");
      }
      if (state_ == kAfter) {
        bad_line(line, "a thread after the `after` section");
      }
      for (const Section& t : s_.threads) {
        if (t.name == w[1]) {
          bad_line(line,
                   "a second thread named " + w[1] + " (line " + std::to_string(t.line) + ")");
        }
      }
      if (s_.threads.size() == 16) {
        bad_line(line, "more than 16 threads");
      }
      s_.threads.push_back(Section{w[1], line, {}});
      current_ = &s_.threads.back();
      state_ = kThread;
      thread_pages_.clear();
      return;
    }
    if (w.size() != 1) {
      bad_line(line, "`" + key + "` takes nothing after it");
    }
    if (key == "before") {
      if (state_ != kNone) {
        bad_line(line, "`before` must be the first section, and the only one of its kind");
      }
      s_.before.name = "before";
      s_.before.line = line;
      current_ = &s_.before;
      state_ = kBefore;
    } else {
      if (state_ != kThread) {
        bad_line(line, "`after` must come once, after the threads");
      }
      s_.after.name = "after";
      s_.after.line = line;
      current_ = &s_.after;
      state_ = kAfter;
    }
  }

  // key=value words after the first; bare words (flags) have an empty value.
  std::map<std::string, std::string> arguments(int line, const std::vector<std::string>& w,
                                               const std::set<std::string>& allowed) {
    std::map<std::string, std::string> args;
    for (size_t i = 1; i < w.size(); ++i) {
      const size_t eq = w[i].find('=');
      const std::string name = w[i].substr(0, eq);
      if (allowed.count(name) == 0) {
        bad_line(line, "`" + w[0] + "` does not take `" + w[i] + "`");
      }
      if (args.count(name) != 0) {
        bad_line(line, "`" + name + "` given twice");
      }
      args[name] = eq == std::string::npos ? std::string() : w[i].substr(eq + 1);
    }
    return args;
  }

  int page_of(int line, const std::string& op, std::map<std::string, std::string>& args) {
    const auto it = args.find("page");
    if (it == args.end() || it->second.empty()) {
      bad_line(line, "`" + op + "` needs page=NAME");
    }
    for (size_t i = 0; i < s_.pages.size(); ++i) {
      if (s_.pages[i].name == it->second) {
        if (state_ == kThread && before_pages_.count(it->second) == 0 &&
            thread_pages_.count(it->second) == 0) {
          bad_line(line, "page " + it->second +
                             " is bound in another thread; bind it in `before` or in this one");
        }
        return static_cast<int>(i);
      }
    }
    bad_line(line, "page " + it->second + " is not bound (page_id " + it->second + " first)");
  }

  int new_callback(int line, const std::string& name, int page) {
    if (!valid_name(name)) {
      bad_line(line, "callback=NAME needs a name of letters, digits, _ and - (at most 15)");
    }
    for (const Callback& c : s_.callbacks) {
      if (c.name == name) {
        bad_line(line, "a second band named " + name + " (line " + std::to_string(c.line) + ")");
      }
    }
    s_.callbacks.push_back(Callback{name, line, page, {0, 1, 2, -3, -5}});
    return static_cast<int>(s_.callbacks.size() - 1);
  }

  int callback_named(int line, const std::string& name) {
    for (size_t i = 0; i < s_.callbacks.size(); ++i) {
      if (s_.callbacks[i].name == name) {
        return static_cast<int>(i);
      }
    }
    bad_line(line, "no band named " + name + " before this line");
  }

  void call(int line, const std::vector<std::string>& w) {
    const std::string& op = w[0];
    Statement st{Op::kExpect, line, -1, -1, true, {}};
    if (op == "page_id") {
      if (w.size() < 2 || w.size() > 3 || !valid_name(w[1]) || w[1].find('=') != w[1].npos) {
        bad_line(line, "`page_id` needs a page name, then bands=N if the page has more than one");
      }
      for (const Page& p : s_.pages) {
        if (p.name == w[1]) {
          bad_line(line, "page " + w[1] + " is bound twice");
        }
      }
      Page page{w[1], 1};
      if (w.size() == 3) {
        int bands = 0;
        if (w[2].rfind("bands=", 0) != 0 || !parse_int(w[2].substr(6), 1, 1000, &bands)) {
          bad_line(line, "`page_id` takes bands=N with N from 1 to 1000, not `" + w[2] + "`");
        }
        page.bands = static_cast<uint32_t>(bands);
      }
      s_.pages.push_back(page);
      (state_ == kBefore ? before_pages_ : thread_pages_).insert(w[1]);
      st.op = Op::kPageId;
      st.page = static_cast<int>(s_.pages.size() - 1);
    } else if (op == "prepare") {
      auto args = arguments(line, w, {"page", "wait", "nowait"});
      if (args.count("wait") != 0 && args.count("nowait") != 0) {
        bad_line(line, "`prepare` takes wait or nowait, not both");
      }
      st.op = Op::kPrepare;
      st.page = page_of(line, op, args);
      st.wait = args.count("nowait") == 0;
    } else if (op == "page_start" || op == "stop") {
      auto args = arguments(line, w, {"page"});
      st.op = op == "stop" ? Op::kStop : Op::kPageStart;
      st.page = page_of(line, op, args);
    } else if (op == "band") {
      auto args = arguments(line, w, {"page", "callback", "results"});
      st.op = Op::kBand;
      st.page = page_of(line, op, args);
      if (args.count("callback") != 0) {
        st.callback = new_callback(line, args["callback"], st.page);
      }
      if (args.count("results") != 0) {
        if (st.callback < 0) {
          bad_line(line, "results= belongs to a band with callback=NAME");
        }
        s_.callbacks[st.callback].results = parse_values(line, args["results"], -5, 2);
      }
    } else if (op == "pageless") {
      auto args = arguments(line, w, {"callback", "results"});
      st.op = Op::kPageless;
      if (args.count("callback") != 0) {
        st.callback = new_callback(line, args["callback"], -1);
        if (args.count("results") != 0) {
          s_.callbacks[st.callback].results = parse_values(line, args["results"], -5, 2);
        }
      } else if (args.count("results") != 0) {
        bad_line(line, "results= belongs to a band with callback=NAME");
      }
    } else if (op == "expect") {
      if (w.size() != 2) {
        bad_line(line, "`expect` needs the allowed outcomes, such as 0 or 0|-3");
      }
      if (current_->body.empty() || current_->body.back().op == Op::kExpect ||
          current_->body.back().op == Op::kAwait || current_->body.back().op == Op::kReports ||
          current_->body.back().op == Op::kPageless) {
        bad_line(line, "`expect` must follow a call that returns an outcome in its section");
      }
      st.values = parse_values(line, w[1], INT32_MIN, INT32_MAX);
    } else if (op == "await" || op == "reports") {
      if (w.size() != (op == "await" ? 2u : 3u)) {
        bad_line(line, op == "await" ? "`await` needs the name of a callback band"
                                     : "`reports` needs a callback band's name and counts, such "
                                       "as 0|1");
      }
      st.op = op == "await" ? Op::kAwait : Op::kReports;
      st.callback = callback_named(line, w[1]);
      if (op == "reports") {
        st.values = parse_values(line, w[2], 0, 1000);
      }
    } else {
      bad_line(line, "unknown statement `" + op + "`");
    }
    current_->body.push_back(std::move(st));
  }

  bool check_;
  enum State { kNone, kBefore, kThread, kAfter } state_ = kNone;
  Scenario s_;
  Section* current_ = nullptr;
  std::set<std::string> before_pages_;
  std::set<std::string> thread_pages_;
};

// ---- running ----

// The request block of a band page, as the tools build it.
QUORL_CNV_PVGEN_BLK band_page(int32_t page_id, uint32_t bands) {
  QUORL_CNV_PVGEN_BLK blk;
  std::memset(&blk, 0, sizeof blk);
  blk.job_id = 0x100;
  blk.page_id = page_id;
  blk.asic = 1;
  blk.module = 1;
  blk.channel = 1;
  blk.mode = 1;
  blk.variant = 1;
  blk.type = 2;
  blk.src[0] = {0x5000, 10, 20};
  blk.dst[0] = {0x6000, 30, 40};
  blk.band_total = bands;
  blk.wait_for_channel = 1;
  return blk;
}

// Callback bands carry their number in job_id, which the report gives back.
constexpr uint32_t kCallbackJob = 0x1000;

struct PageState {
  std::atomic<int32_t> id{0};
  std::atomic<bool> stop_called{false};
  std::atomic<bool> stop_returned{false};
};

struct CallbackState {
  std::atomic<int> reports{0};
  std::atomic<bool> accepted_before_stop{false};
  std::atomic<bool> reported_after_stop{false};
  OSW_Event_Semaphore reported;
};

const Scenario* g_scenario = nullptr;
std::unique_ptr<PageState[]> g_pages;
std::unique_ptr<CallbackState[]> g_callbacks;

void on_report(QUORL_CNV_PVGEN_RESULT_INFO* info) {
  const uint32_t n = info->job_id - kCallbackJob;
  if (info->job_id < kCallbackJob || n >= g_scenario->callbacks.size()) {
    violation(0, "a report with job_id " + std::to_string(info->job_id) +
                     ", which no callback band of this scenario has");
  }
  const Callback& c = g_scenario->callbacks[n];
  CallbackState& state = g_callbacks[n];
  bool allowed = false;
  for (int v : c.results) {
    allowed = allowed || v == info->result;
  }
  if (!allowed) {
    violation(c.line,
              "band " + c.name + " was reported with result " + std::to_string(info->result));
  }
  if (c.page >= 0 && g_pages[c.page].stop_returned.load()) {
    state.reported_after_stop.store(true);
  }
  if (state.reports.fetch_add(1) != 0) {
    violation(c.line, "band " + c.name + " was reported twice");
  }
  state.reported.post();
}

const char* op_name(Op op) {
  switch (op) {
    case Op::kPageId:
      return "page_id";
    case Op::kPrepare:
      return "prepare";
    case Op::kPageStart:
      return "page_start";
    case Op::kBand:
      return "band";
    case Op::kStop:
      return "stop";
    default:
      return "?";
  }
}

void run(const Section& section) {
  int last = 0;
  int last_line = 0;
  Op last_op = Op::kExpect;
  for (const Statement& st : section.body) {
    QUORL_CNV_PVGEN_BLK blk{};
    if (st.page >= 0 && st.op != Op::kPageId) {
      blk = band_page(g_pages[st.page].id.load(), g_scenario->pages[st.page].bands);
    }
    switch (st.op) {
      case Op::kPageId:
        last = Quorl_cnv_pvgen_get_page_id();
        g_pages[st.page].id.store(last);
        break;
      case Op::kPrepare:
        blk.wait_for_channel = st.wait ? 1 : 0;
        last = Quorl_cnv_pvgen_prepare(&blk);
        break;
      case Op::kPageStart:
        last = Quorl_cnv_pvgen_page_start(&blk, nullptr);
        break;
      case Op::kBand:
        if (st.callback >= 0) {
          blk.job_id = kCallbackJob + static_cast<uint32_t>(st.callback);
          last = Quorl_cnv_pvgen_band_exe(&blk, on_report);
          // Accepted before the stop was called only when the call had returned by then: a
          // stop called while the band was being submitted may mark the page before the
          // band is listed, and the band then ends (-3) once the page is gone, which may be
          // reported after that stop returns.
          const bool before_stop = !g_pages[st.page].stop_called.load();
          g_callbacks[st.callback].accepted_before_stop.store(last == 0 && before_stop);
        } else {
          last = Quorl_cnv_pvgen_band_exe(&blk, nullptr);
        }
        break;
      case Op::kStop:
        g_pages[st.page].stop_called.store(true);
        last = Quorl_cnv_pvgen_stop(&blk);
        g_pages[st.page].stop_returned.store(true);
        break;
      case Op::kPageless: {
        // A band without page (mode 0), listed and signalled as the class operations allow;
        // the C functions never make one.
        QUORL_CNV_PVGEN_BLK band = band_page(0, 1);
        band.mode = 0;
        band.job_id = st.callback >= 0 ? kCallbackJob + static_cast<uint32_t>(st.callback) : 0x200;
        auto* registry = norvane::quorl_cnv_pvgen_commonmethod::instance();
        auto* observer = st.callback >= 0 ? registry->obs_wrapper_create(0, on_report) : nullptr;
        registry->req_list_insert(QUORL_CNV_PVGEN_REQ_BAND_EXE, band, observer);
        norvane::quorl_cnv_pvgen_control::instance()->ctrl_signal();
        break;
      }
      case Op::kExpect: {
        bool allowed = false;
        for (int v : st.values) {
          allowed = allowed || v == last;
        }
        if (!allowed) {
          std::string expected;
          for (int v : st.values) {
            expected += (expected.empty() ? "" : "|") + std::to_string(v);
          }
          violation(st.line, section.name + ": " + op_name(last_op) + " (line " +
                                 std::to_string(last_line) + ") returned " + std::to_string(last) +
                                 ", expected " + expected);
        }
        break;
      }
      case Op::kAwait:
        // Blocks on an event of the platform: a band never reported is an endless wait.
        g_callbacks[st.callback].reported.wait(OSW_WAIT_FOREVER);
        g_callbacks[st.callback].reported.post();
        break;
      case Op::kReports: {
        const int n = g_callbacks[st.callback].reports.load();
        bool allowed = false;
        for (int v : st.values) {
          allowed = allowed || v == n;
        }
        if (!allowed) {
          violation(st.line, "band " + g_scenario->callbacks[st.callback].name + " was reported " +
                                 std::to_string(n) + " times");
        }
        break;
      }
    }
    if (st.op != Op::kExpect) {
      last_op = st.op;
      last_line = st.line;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool check = false;
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--check") {
      check = true;
    } else if (!a.empty() && a[0] == '-') {
      usage_error("unknown option " + a);
    } else if (file != nullptr) {
      usage_error("one scenario file only");
    } else {
      file = argv[i];
    }
  }
  if (file == nullptr) {
    usage_error("no scenario file given");
  }
  g_file = file;
  const Scenario scenario = Parser(check).read(file);
  if (check) {
    std::printf("band-time %s\nfaults %s\n", scenario.band_time.c_str(), scenario.faults.c_str());
    return 0;
  }
  g_scenario = &scenario;
  g_pages = std::make_unique<PageState[]>(scenario.pages.size());
  g_callbacks = std::make_unique<CallbackState[]>(scenario.callbacks.size());

  run(scenario.before);
  std::vector<std::thread> threads;
  for (const Section& t : scenario.threads) {
    threads.emplace_back([&t] {
      pthread_setname_np(pthread_self(), t.name.c_str());
      run(t);
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  run(scenario.after);
  // A callback band accepted before any stop of its page was called is not reported after
  // a stop of the page has returned.
  for (size_t i = 0; i < scenario.callbacks.size(); ++i) {
    if (g_callbacks[i].accepted_before_stop.load() && g_callbacks[i].reported_after_stop.load()) {
      violation(scenario.callbacks[i].line, "band " + scenario.callbacks[i].name +
                                                " was reported after its page's stop "
                                                "returned");
    }
  }
  return 0;
}
