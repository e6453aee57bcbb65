// Replay: the simulated device answers from a recording, and checks the program's calls
// against it.
//
// What replay promises. The recording is split by descriptor (in the order the program
// opened them) into its commands (every request other than a wait with a block) and its
// waits.
//   - The n-th open of the device is answered as the n-th recorded open was.
//   - A command is answered as the earliest not yet answered recorded command of its
//     descriptor with the same request and the same block as given; when commands of
//     several threads come in another order than recorded, each answer still goes to the
//     command of the same request and block, not to the one in the same position. A command
//     that no such recorded command matches is a divergence.
//   - A wait is checked on the words the driver reads (asic, module, channel) and answered
//     with the earliest recorded answer of its descriptor, not yet given, whose report is
//     about a command the program has made (the oldest recorded band command before it
//     with the report's job_id, else a page start of that job in page mode); an answer that
//     carries no report (result 3, a failed wait) once every command recorded before it has
//     been made. So a report never reaches the program ahead
//     of the command it reports on. A wait with no such answer within the patience (10 s)
//     is a divergence. A wait beyond the recorded ones blocks until the descriptor is
//     closed, as it did when the recording ended.
//   - Band durations: an answer is given no sooner after its command (without one: after
//     the last command recorded before it) than in the recording.
//   - A close is answered as recorded for that descriptor.
//   - At exit, recorded opens, commands or closes the program never made are a divergence
//     (recorded waits it never made are not: a program ending while its waits are
//     answered can stop at either side of one).
// Where the program's command order depends on timing (several submitting threads, a stop
// racing with bands), replay gives each command its own recorded answer as long as the
// commands themselves are the same; what the program does with reports that arrive in
// recorded order is then up to the program.
#include "replay.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine.h"
#include "pvgen_sim.h"
#include "recording.h"
#include "recording_reader.h"
#include "recording_text.h"

namespace pvgen_sim::replay {

bool g_replay_active = false;

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

struct Entry {
  size_t number;  // 1-based call number in the recording
  size_t offset;  // of the record in the file
  pvgen_rec::CallKind kind;
  uint32_t request;
  uint32_t block_size;
  uint64_t end_ns;
  uint64_t given_hash;
  size_t need;   // waits: commands of the descriptor recorded before it
  size_t cause;  // waits: the command (index in its Desc's cmds) its report is about, or kNone
};

struct Desc {
  size_t open = kNone;  // entry of the open that returned it
  std::vector<size_t> cmds;
  std::vector<size_t> waits;
  size_t close = kNone;
  std::vector<uint8_t> paired;  // while loading: band commands whose report was found
  struct Job {
    uint32_t request, job_id, mode;
  };
  std::vector<Job> cmd_jobs;  // while loading: per command
  // During replay:
  std::vector<uint64_t> done_ns;  // per command: when it was answered (0: not yet)
  size_t first_open_cmd = 0;      // commands before it are all answered
  std::vector<uint8_t> answered;  // per wait
  size_t first_open_wait = 0;     // waits before it are all answered
  bool close_taken = false;
  bool closed = false;
  int fd = -1;
  uint64_t opened_ns = 0;
};

struct State {
  std::string bytes;
  pvgen_rec::Reader reader;
  std::vector<Entry> entries;
  std::vector<Desc> descs;
  std::vector<size_t> opens;      // entries of every recorded open, in order
  std::vector<size_t> open_desc;  // per open: its descriptor, or kNone when it failed
  size_t next_open = 0;
  std::map<int, size_t> by_fd;  // replaying descriptor -> Desc
  size_t calls = 0;
  uint64_t patience_ns = 10'000'000'000ull;
  std::mutex mu;
  std::condition_variable cv;
};

State* g_state = nullptr;
std::atomic<int> g_open{0};

uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t hash_of(const void* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  const auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i)
    h = (h ^ b[i]) * 1099511628211ull;
  return h;
}

// Waits on the state's condition variable until CLOCK_MONOTONIC reaches `until` (ns).
template <class Done>
bool wait_until_ns(std::unique_lock<std::mutex>& l, uint64_t until, Done done) {
  using namespace std::chrono;
  const uint64_t now = now_ns();
  const auto deadline = steady_clock::now() + nanoseconds(until > now ? until - now : 0);
  return g_state->cv.wait_until(l, deadline, done);
}

void decode(const Entry& e, pvgen_rec::Record& out) {
  g_state->reader.seek(e.offset, 0);
  g_state->reader.next(out);
}

std::string request_text(pvgen_rec::CallKind kind, uint32_t request) {
  if (kind == pvgen_rec::kOpen)
    return "open";
  if (kind == pvgen_rec::kClose)
    return "close";
  if (const char* name = pvgen_rec::request_name(request))
    return std::string("ioctl ") + name;
  char code[24];
  std::snprintf(code, sizeof code, "ioctl 0x%08" PRIx32, request);
  return code;
}

std::string this_thread() {
  char name[17] = {};
  prctl(PR_GET_NAME, name, 0, 0, 0);
  return std::to_string(static_cast<long>(syscall(SYS_gettid))) + " \"" + name + "\"";
}

// The two blocks word by word: every word that is not 0 in either, differing ones marked.
std::string compare_blocks(const pvgen_rec::Block& expected, const pvgen_rec::Block& actual,
                           uint32_t size) {
  size_t count = 0;
  const pvgen_rec::Field* fields = pvgen_rec::fields_of(size, &count);
  std::string out;
  char line[160];
  std::snprintf(line, sizeof line, "    %-14s %12s %12s\n", "field", "recorded", "actual");
  out += line;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t e = pvgen_rec::word_at(expected, fields[i].offset);
    const uint32_t a = pvgen_rec::word_at(actual, fields[i].offset);
    if (e == 0 && a == 0)
      continue;
    const std::string es =
        fields[i].is_signed ? std::to_string(static_cast<int32_t>(e)) : std::to_string(e);
    const std::string as =
        fields[i].is_signed ? std::to_string(static_cast<int32_t>(a)) : std::to_string(a);
    std::snprintf(line, sizeof line, "    %-14s %12s %12s%s\n", fields[i].name, es.c_str(),
                  as.c_str(), e != a ? "   <- differs" : "");
    out += line;
  }
  if (size == pvgen_rec::kCmdSize) {
    const unsigned char* e = expected.bytes + pvgen_rec::kConvTableOffset;
    const unsigned char* a = actual.bytes + pvgen_rec::kConvTableOffset;
    for (uint32_t i = 0; i < pvgen_rec::kConvTableSize; ++i) {
      if (e[i] != a[i]) {
        std::snprintf(line, sizeof line,
                      "    conv_table differs first at byte %u: %u recorded, %u actual\n", i, e[i],
                      a[i]);
        out += line;
        break;
      }
    }
  }
  return out;
}

bool same_unit(const pvgen_sim_wait_blk& recorded, const void* given) {
  pvgen_sim_wait_blk g;
  std::memcpy(&g, given, sizeof g);
  return g.asic == recorded.asic && g.module == recorded.module && g.channel == recorded.channel;
}

[[noreturn]] void diverge(const std::string& text) {
  std::string out = "pvgen-sim: replay diverged: " + text;
  if (out.back() != '\n')
    out += "\n";
  std::fputs(out.c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(PVGEN_SIM_REPLAY_DIVERGED);
}

std::string recorded_call(const pvgen_rec::Record& r, size_t number) {
  return "recorded call " + std::to_string(number) + " (thread " + std::to_string(r.tid) + " \"" +
         pvgen_rec::thread_name(r) + "\"): " + request_text(r.kind, r.request);
}

std::string actual_call(size_t call, const std::string& what, int fd) {
  return "call " + std::to_string(call) + " of the program (thread " + this_thread() +
         "): " + what + " on descriptor " + std::to_string(fd);
}

// The program's call `what` (block `given` of `size` bytes) against the recorded call
// `expected` (kNone: nothing more was recorded).
[[noreturn]] void diverge_call(size_t call, const std::string& what, int fd, const void* given,
                               uint32_t size, size_t expected) {
  std::string text = actual_call(call, what, fd) + "\n";
  if (expected == kNone) {
    text += "  expected: nothing; the recording has no further call of this kind on it\n";
    diverge(text);
  }
  pvgen_rec::Record rec;
  decode(g_state->entries[expected], rec);
  text += "  expected: " + recorded_call(rec, g_state->entries[expected].number) + "\n";
  if (rec.block_size != size) {
    text += "  the recorded block is " + std::to_string(rec.block_size) + " bytes, the given " +
            std::to_string(size) + "\n";
  } else if (size != 0) {
    pvgen_rec::Block actual{};
    std::memcpy(actual.bytes, given, size);
    text += "  block as given, field by field:\n" + compare_blocks(rec.given, actual, size);
  }
  diverge(text);
}

// The command a recorded report is about: the oldest band command before it with the
// report's job_id whose report has not been found yet, else the latest page start of that
// job_id in page mode (which has many reports). Answers that carry no report (result 3, a
// failed wait) are about no command.
size_t cause_of(Desc& d, const pvgen_rec::Record& wait) {
  if (wait.ret != 0 || wait.answered.wait.result == PVGEN_SIM_RESULT_AGAIN)
    return kNone;
  const uint32_t job = wait.answered.wait.job_id;
  for (size_t i = 0; i < d.cmds.size(); ++i) {
    if (!d.paired[i] && d.cmd_jobs[i].request == PVGEN_SIM_IOC_BAND_EXE &&
        d.cmd_jobs[i].job_id == job) {
      d.paired[i] = 1;
      return i;
    }
  }
  for (size_t i = d.cmds.size(); i-- > 0;) {
    if (d.cmd_jobs[i].request == PVGEN_SIM_IOC_PAGE_START && d.cmd_jobs[i].job_id == job &&
        d.cmd_jobs[i].mode == 2)
      return i;
  }
  return kNone;
}

bool load(const char* path, std::string* error) {
  auto* s = new State;
  if (!pvgen_rec::read_file(path, s->bytes, *error))
    return false;
  const auto* data = reinterpret_cast<const unsigned char*>(s->bytes.data());
  if (!s->reader.open(data, s->bytes.size())) {
    *error = std::string(path) + ": " + s->reader.error();
    return false;
  }
  std::map<int32_t, size_t> current;  // recorded descriptor number -> Desc
  pvgen_rec::Record r;
  size_t number = 0;
  for (;;) {
    const size_t offset = s->reader.offset();
    const int got = s->reader.next(r);
    if (got < 0) {
      *error = std::string(path) + ": " + s->reader.error();
      return false;
    }
    if (got == 0)
      break;
    if (r.type == pvgen_rec::kDroppedRecord) {
      *error = std::string(path) + ": offset " + std::to_string(offset) + ": the recorder lost " +
               std::to_string(r.dropped) +
               " records here; a recording with gaps cannot be replayed";
      return false;
    }
    ++number;
    Entry e{number,
            offset,
            r.kind,
            r.request,
            r.block_size,
            r.end_ns,
            hash_of(r.given.bytes, r.block_size),
            0,
            kNone};
    const size_t index = s->entries.size();
    auto where = [&] {
      return std::string(path) + ": offset " + std::to_string(offset) + ": call " +
             std::to_string(number) + ": ";
    };
    if (r.kind == pvgen_rec::kOpen) {
      s->opens.push_back(index);
      if (r.ret >= 0) {
        s->descs.emplace_back();
        s->descs.back().open = index;
        current[r.ret] = s->descs.size() - 1;
        s->open_desc.push_back(s->descs.size() - 1);
      } else {
        s->open_desc.push_back(kNone);
      }
    } else {
      const auto it = current.find(r.fd);
      if (it == current.end()) {
        *error = where() + "descriptor " + std::to_string(r.fd) + " was not opened before it";
        return false;
      }
      Desc& d = s->descs[it->second];
      if (r.kind == pvgen_rec::kClose) {
        d.close = index;
        current.erase(it);
      } else if (r.request == PVGEN_SIM_IOC_WAIT && r.block_size != 0) {
        e.need = d.cmds.size();
        e.cause = cause_of(d, r);
        d.waits.push_back(index);
      } else {
        d.cmds.push_back(index);
        d.paired.push_back(0);
        if (r.block_size != 0)
          d.cmd_jobs.push_back({r.request, r.given.cmd.job_id, r.given.cmd.mode});
        else
          d.cmd_jobs.push_back({r.request, 0, 0});
      }
    }
    s->entries.push_back(e);
  }
  for (Desc& d : s->descs) {
    d.done_ns.assign(d.cmds.size(), 0);
    d.answered.assign(d.waits.size(), 0);
  }
  g_state = s;
  return true;
}

// At exit: what the recording has and the program never did.
void check_at_exit() {
  State& s = *g_state;
  std::unique_lock<std::mutex> l(s.mu);
  size_t missing = kNone;
  auto note = [&](size_t entry) {
    if (missing == kNone || s.entries[entry].number < s.entries[missing].number)
      missing = entry;
  };
  if (s.next_open < s.opens.size())
    note(s.opens[s.next_open]);
  for (size_t o = 0; o < s.next_open; ++o) {
    if (s.open_desc[o] == kNone)
      continue;
    const Desc& d = s.descs[s.open_desc[o]];
    for (size_t i = d.first_open_cmd; i < d.cmds.size(); ++i) {
      if (d.done_ns[i] == 0) {
        note(d.cmds[i]);
        break;
      }
    }
    if (d.close != kNone && !d.close_taken)
      note(d.close);
  }
  if (missing == kNone)
    return;
  pvgen_rec::Record rec;
  decode(s.entries[missing], rec);
  diverge("the program ended after " + std::to_string(s.calls) +
          " calls on the device, but the recording goes on with " +
          recorded_call(rec, s.entries[missing].number));
}

}  // namespace

void load_environment() {
  const char* path = std::getenv("PVGEN_SIM_REPLAY");
  if (path == nullptr || *path == '\0')
    return;
  std::string error;
  if (!load(path, &error)) {
    std::fprintf(stderr, "pvgen-sim: cannot replay %s\n", error.c_str());
    std::_Exit(2);
  }
  if (const char* v = std::getenv("PVGEN_SIM_REPLAY_PATIENCE")) {
    char* end = nullptr;
    const double sec = std::strtod(v, &end);
    if (*v == '\0' || *end != '\0' || !(sec > 0) || sec > 1e6) {
      std::fprintf(stderr, "pvgen-sim: malformed PVGEN_SIM_REPLAY_PATIENCE=\"%s\"\n", v);
      std::_Exit(2);
    }
    g_state->patience_ns = static_cast<uint64_t>(sec * 1e9);
  }
  g_replay_active = true;
  std::atexit(check_at_exit);
}

int open(int* err) {
  State& s = *g_state;
  std::unique_lock<std::mutex> l(s.mu);
  const size_t call = ++s.calls;
  if (s.next_open == s.opens.size()) {
    diverge(actual_call(call, "open", -1) +
            "\n  expected: nothing; the recording has no further open\n");
  }
  const size_t o = s.next_open++;
  pvgen_rec::Record rec;
  decode(s.entries[s.opens[o]], rec);
  if (s.open_desc[o] == kNone) {
    *err = rec.err;
    return -1;
  }
  // A real descriptor number, so that it never collides with the program's other files.
  const int fd = real_open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  Desc& d = s.descs[s.open_desc[o]];
  d.fd = fd;
  d.opened_ns = now_ns();
  s.by_fd[fd] = s.open_desc[o];
  g_open.fetch_add(1, std::memory_order_release);
  return fd;
}

bool ioctl(int fd, unsigned long request, void* arg, int* ret, int* err) {
  if (g_open.load(std::memory_order_acquire) == 0)
    return false;
  State& s = *g_state;
  std::unique_lock<std::mutex> l(s.mu);
  const auto it = s.by_fd.find(fd);
  if (it == s.by_fd.end())
    return false;
  Desc& d = s.descs[it->second];
  const size_t call = ++s.calls;
  const uint32_t code = static_cast<uint32_t>(request);
  const uint32_t size = arg != nullptr ? pvgen_rec::block_size_of(code) : 0;
  const std::string what = request_text(pvgen_rec::kIoctl, code);
  pvgen_rec::Record rec;

  if (code == PVGEN_SIM_IOC_WAIT && size != 0) {
    if (d.first_open_wait == d.waits.size()) {
      // Nothing more was answered in the recording: the wait blocks as it did there.
      s.cv.wait(l, [&] { return d.closed; });
      *ret = -1;
      *err = EBADF;
      return true;
    }
    // The earliest recorded answer whose command the program has made; an answer about no
    // command (result 3, a failed wait) once every command recorded before it was made.
    size_t w = kNone;
    auto ready = [&] {
      if (d.closed)
        return true;
      for (size_t i = d.first_open_wait; i < d.waits.size(); ++i) {
        const Entry& e = s.entries[d.waits[i]];
        const bool made = e.cause != kNone ? d.done_ns[e.cause] != 0 : d.first_open_cmd >= e.need;
        if (!d.answered[i] && made) {
          w = i;
          return true;
        }
      }
      return false;
    };
    if (!wait_until_ns(l, now_ns() + s.patience_ns, ready)) {
      const size_t first = d.waits[d.first_open_wait];
      decode(s.entries[first], rec);
      const size_t cause = s.entries[first].cause;
      const size_t missing = d.cmds[cause != kNone ? cause : d.first_open_cmd];
      pvgen_rec::Record cmd;
      decode(s.entries[missing], cmd);
      diverge(actual_call(call, what, fd) + "\n  the next recorded answer (" +
              recorded_call(rec, s.entries[first].number) + ") reports on " +
              recorded_call(cmd, s.entries[missing].number) + ", which the program has not " +
              "made in " + std::to_string(s.patience_ns / 1000000000u) + " s\n");
    }
    if (d.closed) {
      *ret = -1;
      *err = EBADF;
      return true;
    }
    d.answered[w] = 1;
    while (d.first_open_wait < d.waits.size() && d.answered[d.first_open_wait])
      ++d.first_open_wait;
    const Entry& entry = s.entries[d.waits[w]];
    decode(entry, rec);
    // The driver reads only the unit words of a wait block; the others hold whatever the
    // caller's block held (a caller that asks again after "not yet" passes the block back).
    if (!same_unit(rec.given.wait, arg))
      diverge_call(call, what, fd, arg, size, d.waits[w]);
    // The recorded time from the command the answer is about (else from the last command
    // made before it, or the open) to the answer.
    uint64_t anchor_now = d.opened_ns;
    uint64_t anchor_rec = s.entries[d.open].end_ns;
    size_t anchor = entry.cause;
    if (anchor == kNone && entry.need > 0 && d.done_ns[entry.need - 1] != 0)
      anchor = entry.need - 1;
    if (anchor != kNone) {
      anchor_now = d.done_ns[anchor];
      anchor_rec = s.entries[d.cmds[anchor]].end_ns;
    }
    if (entry.end_ns > anchor_rec) {
      const uint64_t due = anchor_now + (entry.end_ns - anchor_rec);
      wait_until_ns(l, due, [&] { return d.closed; });
    }
    if (d.closed) {
      *ret = -1;
      *err = EBADF;
      return true;
    }
  } else {
    size_t found = kNone;
    const uint64_t h = hash_of(arg, size);
    for (size_t i = d.first_open_cmd; i < d.cmds.size() && found == kNone; ++i) {
      const Entry& entry = s.entries[d.cmds[i]];
      if (d.done_ns[i] != 0 || entry.request != code || entry.block_size != size ||
          entry.given_hash != h)
        continue;
      decode(entry, rec);
      if (size == 0 || std::memcmp(rec.given.bytes, arg, size) == 0)
        found = i;
    }
    if (found == kNone) {
      size_t expected = kNone;
      for (size_t i = d.first_open_cmd; i < d.cmds.size() && expected == kNone; ++i) {
        if (d.done_ns[i] == 0)
          expected = d.cmds[i];
      }
      diverge_call(call, what, fd, arg, size, expected);
    }
    d.done_ns[found] = now_ns();
    while (d.first_open_cmd < d.cmds.size() && d.done_ns[d.first_open_cmd] != 0)
      ++d.first_open_cmd;
    s.cv.notify_all();
  }
  if (size != 0)
    std::memcpy(arg, rec.answered.bytes, size);
  *ret = rec.ret;
  *err = rec.err;
  return true;
}

bool close(int fd, int* ret, int* err) {
  if (g_open.load(std::memory_order_acquire) == 0)
    return false;
  State& s = *g_state;
  std::unique_lock<std::mutex> l(s.mu);
  const auto it = s.by_fd.find(fd);
  if (it == s.by_fd.end())
    return false;
  Desc& d = s.descs[it->second];
  const size_t call = ++s.calls;
  if (d.close == kNone) {
    diverge(actual_call(call, "close", fd) +
            "\n  expected: nothing; the recording never closed this descriptor\n");
  }
  pvgen_rec::Record rec;
  decode(s.entries[d.close], rec);
  d.close_taken = true;
  d.closed = true;
  s.by_fd.erase(it);
  g_open.fetch_sub(1, std::memory_order_release);
  real_close(fd);
  s.cv.notify_all();
  *ret = rec.ret;
  *err = rec.err;
  return true;
}

}  // namespace pvgen_sim::replay
