// libpvgen_record.so: records a program's traffic with /dev/mfp_pvgen. Preloaded ahead of
// whatever serves the device (the kernel driver through the C library on the target, the
// simulated engine on a PC), it wraps open (and its variants), ioctl and close: every call
// goes on to the next definition unchanged, and a call on the device is then copied into a
// bounded buffer. A writer thread of its own drains the buffer into the file named by
// PVGEN_RECORD, so the calling thread never waits for the file; when the buffer is full the
// record is dropped and counted, and the file gets a record that says how many were lost.
//
// Environment (read once at load time):
//   PVGEN_RECORD         the file to write, created (or emptied) by the first open of the
//                        device in the process. Unset: every call is passed on and nothing
//                        is recorded.
//   PVGEN_RECORD_BUFFER  records the buffer holds (default 256, rounded up to a power of 2).
//
// Like the simulator, this file includes none of the C library's declarations of the
// functions it defines; the flag values come from the kernel's header.
#include <dlfcn.h>
#include <linux/fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <stdarg.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "recording.h"
#include "recording_writer.h"

#define PVGEN_EXPORT __attribute__((visibility("default")))

namespace {

using pvgen_rec::Record;

using OpenFn = int (*)(const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using OpenatFn = int (*)(int, const char*, int, ...);
using Openat2Fn = int (*)(int, const char*, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

// Resolved once by the constructor, before the program's threads exist; read-only after.
struct {
  OpenFn open;
  OpenFn open64;
  Open2Fn open_2;
  Open2Fn open64_2;
  OpenatFn openat;
  OpenatFn openat64;
  Openat2Fn openat_2;
  Openat2Fn openat64_2;
  IoctlFn ioctl;
  IoctlFn ioctl_time64;
  CloseFn close;
} next_fn;

const char kDevice[] = "/dev/mfp_pvgen";

// Descriptors of the device open now (-1: free entry). A program opens a handful.
constexpr int kMaxDevices = 64;
std::atomic<int> g_devices[kMaxDevices];

// The buffer: a ring of slots, each with a sequence word (a bounded queue for many
// producers and one consumer). Slot i is free for the producer that claims position p when
// its sequence is p, and holds a record for the writer at position p when it is p + 1.
// The records are apart from the sequence words and allocated zeroed (calloc), so that a big
// buffer costs memory only as far as it is used.
struct Slot {
  std::atomic<uint64_t> seq{0};
  Record* rec;
};
Slot* g_slots = nullptr;
uint64_t g_mask = 0;
std::atomic<uint64_t> g_enqueue{0};
uint64_t g_dequeue = 0;  // the writer thread's alone
std::atomic<uint64_t> g_dropped{0};
uint64_t g_dropped_written = 0;  // the writer thread's alone

std::atomic<bool> g_enabled{false};
std::atomic<bool> g_stop{false};
std::atomic<int> g_writer_state{0};  // 0 not started, 1 starting, 2 running, 3 failed
pthread_t g_writer;
sem_t g_wake;
int g_file = -1;
char g_path[4096];  // PVGEN_RECORD

thread_local uint32_t t_tid = 0;
thread_local char t_name[pvgen_rec::kNameSize];

uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

bool is_device(const char* path) {
  return path != nullptr && std::strcmp(path, kDevice) == 0;
}

bool tracked(int fd) {
  if (fd < 0)
    return false;
  for (auto& d : g_devices) {
    if (d.load(std::memory_order_acquire) == fd)
      return true;
  }
  return false;
}

void track(int fd) {
  for (auto& d : g_devices) {
    int free_entry = -1;
    if (d.compare_exchange_strong(free_entry, fd, std::memory_order_acq_rel))
      return;
  }
}

void untrack(int fd) {
  for (auto& d : g_devices) {
    int expected = fd;
    if (d.compare_exchange_strong(expected, -1, std::memory_order_acq_rel))
      return;
  }
}

// The calling thread's id and name, read at its first call on the device and kept.
void fill_thread(Record& r) {
  if (t_tid == 0) {
    t_tid = static_cast<uint32_t>(syscall(SYS_gettid));
    char name[17] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    std::memcpy(t_name, name, sizeof t_name);
  }
  r.tid = t_tid;
  std::memcpy(r.thread, t_name, sizeof r.thread);
}

bool write_all(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(g_file, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes every record published so far, then a dropped record if records were lost.
void drain(std::string& buf) {
  const pvgen_rec::ByteOrder order = pvgen_rec::native_order();
  for (;;) {
    Slot& s = g_slots[g_dequeue & g_mask];
    if (s.seq.load(std::memory_order_acquire) != g_dequeue + 1)
      break;
    pvgen_rec::append_record(buf, *s.rec, order);
    s.seq.store(g_dequeue + g_mask + 1, std::memory_order_release);
    ++g_dequeue;
    if (buf.size() >= 1 << 16) {
      write_all(buf);
      buf.clear();
    }
  }
  const uint64_t dropped = g_dropped.load(std::memory_order_relaxed);
  if (dropped != g_dropped_written) {
    Record d;
    d.type = pvgen_rec::kDroppedRecord;
    d.start_ns = now_ns();
    d.dropped = dropped - g_dropped_written;
    g_dropped_written = dropped;
    pvgen_rec::append_record(buf, d, order);
  }
  if (!buf.empty()) {
    write_all(buf);
    buf.clear();
  }
}

void* writer_main(void*) {
  prctl(PR_SET_NAME, "pvgen-recorder", 0, 0, 0);
  try {
    std::string buf;
    buf.reserve(1 << 17);
    while (!g_stop.load(std::memory_order_acquire)) {
      drain(buf);
      timespec until{};
      clock_gettime(CLOCK_REALTIME, &until);
      until.tv_nsec += 100 * 1000 * 1000;
      if (until.tv_nsec >= 1000000000) {
        until.tv_nsec -= 1000000000;
        ++until.tv_sec;
      }
      while (sem_timedwait(&g_wake, &until) != 0 && errno == EINTR) {
      }
    }
    drain(buf);
  } catch (...) {
    std::fputs("pvgen-record: out of memory; the recording ends here\n", stderr);
  }
  return nullptr;
}

// The first open of the device in a process starts the recording: the file is created
// (or emptied) and locked, so that a second process under the same recorder that opens the
// device at the same time records nothing rather than writing into it too. Processes that
// never open the device (a shell, env, valgrind's launcher in between) leave the file alone.
int sys_openat(int dirfd, const char* path, int flags, unsigned mode);

bool create_file(uint64_t start_ns) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
  g_file = next_fn.open != nullptr ? next_fn.open(g_path, flags, 0644)
                                   : sys_openat(AT_FDCWD, g_path, flags, 0644);
  if (g_file < 0) {
    std::fprintf(stderr, "pvgen-record: cannot create %s: %s; nothing is recorded\n", g_path,
                 std::strerror(errno));
    return false;
  }
  if (syscall(SYS_flock, g_file, LOCK_EX | LOCK_NB) != 0) {
    std::fprintf(stderr,
                 "pvgen-record: %s is being recorded by another process; process %d is not "
                 "recorded\n",
                 g_path, static_cast<int>(getpid()));
    return false;
  }
  std::string header;
  pvgen_rec::FileHeader h;
  h.order = pvgen_rec::native_order();
  h.start_ns = start_ns;
  h.pid = static_cast<uint32_t>(getpid());
  pvgen_rec::append_header(header, h);
  // A pipe or a terminal cannot be emptied (EINVAL) and needs not be.
  if ((ftruncate(g_file, 0) != 0 && errno != EINVAL) || !write_all(header)) {
    std::fprintf(stderr, "pvgen-record: cannot write %s: %s; nothing is recorded\n", g_path,
                 std::strerror(errno));
    return false;
  }
  return true;
}

// Returns whether calls are recorded from now on; the recording starts at start_ns (the
// start of the open that starts it).
bool start_recording(uint64_t start_ns) {
  const int state = g_writer_state.load(std::memory_order_acquire);
  if (state != 0)
    return state == 2;
  int expected = 0;
  if (!g_writer_state.compare_exchange_strong(expected, 1)) {
    // Another thread's first open is starting it; a second open in that instant is rare.
    while (g_writer_state.load(std::memory_order_acquire) == 1)
      sched_yield();
    return g_writer_state.load(std::memory_order_acquire) == 2;
  }
  bool ok = create_file(start_ns);
  if (ok && pthread_create(&g_writer, nullptr, writer_main, nullptr) != 0) {
    std::fputs("pvgen-record: cannot start the writer thread; nothing is recorded\n", stderr);
    ok = false;
  }
  if (!ok)
    g_enabled.store(false, std::memory_order_relaxed);
  g_writer_state.store(ok ? 2 : 3, std::memory_order_release);
  return ok;
}

// A slot for a record, or nullptr when the buffer is full (the record is counted dropped).
Slot* claim() {
  uint64_t pos = g_enqueue.load(std::memory_order_relaxed);
  for (;;) {
    Slot& s = g_slots[pos & g_mask];
    const uint64_t seq = s.seq.load(std::memory_order_acquire);
    const int64_t diff = static_cast<int64_t>(seq - pos);
    if (diff == 0) {
      if (g_enqueue.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed))
        return &s;
    } else if (diff < 0) {
      g_dropped.fetch_add(1, std::memory_order_relaxed);
      return nullptr;
    } else {
      pos = g_enqueue.load(std::memory_order_relaxed);
    }
  }
}

void publish(Slot* s) {
  const uint64_t pos = s->seq.load(std::memory_order_relaxed);
  s->seq.store(pos + 1, std::memory_order_release);
  sem_post(&g_wake);
}

void record_open(const char* path, int flags, int fd, int err, uint64_t start, uint64_t end) {
  if (!start_recording(start))
    return;
  if (fd >= 0)
    track(fd);
  Slot* s = claim();
  if (s == nullptr)
    return;
  Record& r = *s->rec;
  r.type = pvgen_rec::kCallRecord;
  r.kind = pvgen_rec::kOpen;
  r.start_ns = start;
  r.end_ns = end;
  fill_thread(r);
  r.fd = fd;
  r.request = static_cast<uint32_t>(flags);
  r.ret = fd;
  r.err = fd < 0 ? err : 0;
  r.block_size = 0;
  (void)path;
  publish(s);
}

template <class Call>
int open_device(const char* path, int flags, Call call) {
  if (!g_enabled.load(std::memory_order_relaxed) || !is_device(path))
    return call();
  const uint64_t start = now_ns();
  const int fd = call();
  const int err = errno;
  record_open(path, flags, fd, err, start, now_ns());
  errno = err;
  return fd;
}

bool needs_mode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int sys_openat(int dirfd, const char* path, int flags, unsigned mode) {
  return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
}

int open_any(OpenFn first, OpenFn second, const char* path, int flags, unsigned mode) {
  return open_device(path, flags, [&] {
    if (first != nullptr)
      return first(path, flags, mode);
    if (second != nullptr)
      return second(path, flags, mode);
    return sys_openat(AT_FDCWD, path, flags, mode);
  });
}

int open2_any(Open2Fn first, OpenFn second, const char* path, int flags) {
  return open_device(path, flags, [&] {
    if (first != nullptr)
      return first(path, flags);
    if (second != nullptr)
      return second(path, flags);
    return sys_openat(AT_FDCWD, path, flags, 0);
  });
}

int openat_any(OpenatFn first, OpenatFn second, int dirfd, const char* path, int flags,
               unsigned mode) {
  return open_device(path, flags, [&] {
    if (first != nullptr)
      return first(dirfd, path, flags, mode);
    if (second != nullptr)
      return second(dirfd, path, flags, mode);
    return sys_openat(dirfd, path, flags, mode);
  });
}

int openat2_any(Openat2Fn first, OpenatFn second, int dirfd, const char* path, int flags) {
  return open_device(path, flags, [&] {
    if (first != nullptr)
      return first(dirfd, path, flags);
    if (second != nullptr)
      return second(dirfd, path, flags);
    return sys_openat(dirfd, path, flags, 0);
  });
}

int call_ioctl(IoctlFn first, int fd, unsigned long request, void* arg) {
  if (first != nullptr)
    return first(fd, request, arg);
  if (next_fn.ioctl != nullptr)
    return next_fn.ioctl(fd, request, arg);
  return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

int ioctl_any(IoctlFn first, int fd, unsigned long request, void* arg) {
  if (!g_enabled.load(std::memory_order_relaxed) || !tracked(fd))
    return call_ioctl(first, fd, request, arg);
  // The kernel takes the request as a 32-bit word.
  const uint32_t code = static_cast<uint32_t>(request);
  const uint32_t size = arg != nullptr ? pvgen_rec::block_size_of(code) : 0;
  // The block as given is kept on the stack: a slot is claimed only once the call returned,
  // so a wait that blocks holds none.
  pvgen_rec::Block given;
  if (size != 0)
    std::memcpy(given.bytes, arg, size);
  const uint64_t start = now_ns();
  const int ret = call_ioctl(first, fd, request, arg);
  const int err = errno;
  const uint64_t end = now_ns();
  if (Slot* s = claim()) {
    Record& r = *s->rec;
    r.type = pvgen_rec::kCallRecord;
    r.kind = pvgen_rec::kIoctl;
    r.start_ns = start;
    r.end_ns = end;
    fill_thread(r);
    r.fd = fd;
    r.request = code;
    r.ret = ret;
    r.err = ret < 0 ? err : 0;
    r.block_size = size;
    if (size != 0) {
      std::memcpy(r.given.bytes, given.bytes, size);
      std::memcpy(r.answered.bytes, arg, size);
    }
    publish(s);
  }
  errno = err;
  return ret;
}

int call_close(int fd) {
  if (next_fn.close != nullptr)
    return next_fn.close(fd);
  return static_cast<int>(syscall(SYS_close, fd));
}

int fail_load(const char* what, const char* value) {
  std::fprintf(stderr, "pvgen-record: %s '%s'\n", what, value);
  std::_Exit(2);
}

__attribute__((constructor(101))) void recorder_load() {
  next_fn.open = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open"));
  next_fn.open64 = reinterpret_cast<OpenFn>(dlsym(RTLD_NEXT, "open64"));
  next_fn.open_2 = reinterpret_cast<Open2Fn>(dlsym(RTLD_NEXT, "__open_2"));
  next_fn.open64_2 = reinterpret_cast<Open2Fn>(dlsym(RTLD_NEXT, "__open64_2"));
  next_fn.openat = reinterpret_cast<OpenatFn>(dlsym(RTLD_NEXT, "openat"));
  next_fn.openat64 = reinterpret_cast<OpenatFn>(dlsym(RTLD_NEXT, "openat64"));
  next_fn.openat_2 = reinterpret_cast<Openat2Fn>(dlsym(RTLD_NEXT, "__openat_2"));
  next_fn.openat64_2 = reinterpret_cast<Openat2Fn>(dlsym(RTLD_NEXT, "__openat64_2"));
  next_fn.ioctl = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
  next_fn.ioctl_time64 = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "__ioctl_time64"));
  next_fn.close = reinterpret_cast<CloseFn>(dlsym(RTLD_NEXT, "close"));
  for (auto& d : g_devices)
    d.store(-1, std::memory_order_relaxed);

  const char* path = std::getenv("PVGEN_RECORD");
  if (path == nullptr || *path == '\0')
    return;
  if (std::strlen(path) >= sizeof g_path)
    fail_load("PVGEN_RECORD names a path that is too long:", path);
  std::strcpy(g_path, path);
  uint64_t slots = 256;
  if (const char* v = std::getenv("PVGEN_RECORD_BUFFER")) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v, &end, 10);
    if (*v == '\0' || *end != '\0' || n < 1 || n > (1u << 20))
      fail_load("bad PVGEN_RECORD_BUFFER (1 to 1048576 records)", v);
    slots = 2;
    while (slots < n)
      slots *= 2;
  }
  g_slots = new (std::nothrow) Slot[slots];
  // Records are implicit-lifetime aggregates: calloc's zeroed memory holds them.
  auto* records = static_cast<Record*>(std::calloc(slots, sizeof(Record)));
  if (g_slots == nullptr || records == nullptr || sem_init(&g_wake, 0, 0) != 0)
    fail_load("cannot allocate the buffer for", path);
  g_mask = slots - 1;
  for (uint64_t i = 0; i < slots; ++i) {
    g_slots[i].seq.store(i, std::memory_order_relaxed);
    g_slots[i].rec = &records[i];
  }

  // A child that is forked goes on unrecorded: the writer thread is not there.
  pthread_atfork(nullptr, nullptr, [] { g_enabled.store(false, std::memory_order_relaxed); });
  g_enabled.store(true, std::memory_order_release);
}

// At exit: the writer writes what is in the buffer and stops. Calls that threads still make
// from here on are passed on unrecorded.
__attribute__((destructor(101))) void recorder_unload() {
  if (!g_enabled.load(std::memory_order_acquire))
    return;
  if (g_writer_state.load(std::memory_order_acquire) == 2) {
    g_stop.store(true, std::memory_order_release);
    sem_post(&g_wake);
    pthread_join(g_writer, nullptr);
  }
  g_enabled.store(false, std::memory_order_release);
}

}  // namespace

#define PVGEN_REC_MODE_ARG(last) \
  unsigned mode = 0;             \
  if (needs_mode(flags)) {       \
    va_list ap;                  \
    va_start(ap, last);          \
    mode = va_arg(ap, unsigned); \
    va_end(ap);                  \
  }

extern "C" {

PVGEN_EXPORT int open(const char* path, int flags, ...) {
  PVGEN_REC_MODE_ARG(flags);
  return open_any(next_fn.open, next_fn.open64, path, flags, mode);
}

PVGEN_EXPORT int open64(const char* path, int flags, ...) {
  PVGEN_REC_MODE_ARG(flags);
  return open_any(next_fn.open64, next_fn.open, path, flags, mode);
}

PVGEN_EXPORT int __open_2(const char* path, int flags) {
  return open2_any(next_fn.open_2, next_fn.open, path, flags);
}

PVGEN_EXPORT int __open64_2(const char* path, int flags) {
  return open2_any(next_fn.open64_2, next_fn.open64, path, flags);
}

PVGEN_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  PVGEN_REC_MODE_ARG(flags);
  return openat_any(next_fn.openat, next_fn.openat64, dirfd, path, flags, mode);
}

PVGEN_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
  PVGEN_REC_MODE_ARG(flags);
  return openat_any(next_fn.openat64, next_fn.openat, dirfd, path, flags, mode);
}

PVGEN_EXPORT int __openat_2(int dirfd, const char* path, int flags) {
  return openat2_any(next_fn.openat_2, next_fn.openat, dirfd, path, flags);
}

PVGEN_EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
  return openat2_any(next_fn.openat64_2, next_fn.openat64, dirfd, path, flags);
}

PVGEN_EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return ioctl_any(next_fn.ioctl, fd, request, arg);
}

PVGEN_EXPORT int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return ioctl_any(next_fn.ioctl_time64, fd, request, arg);
}

PVGEN_EXPORT int close(int fd) {
  if (!g_enabled.load(std::memory_order_relaxed) || !tracked(fd))
    return call_close(fd);
  // Forgotten before the number is given back, so that a descriptor opened later under the
  // same number is not taken for the device.
  untrack(fd);
  const uint64_t start = now_ns();
  const int ret = call_close(fd);
  const int err = errno;
  const uint64_t end = now_ns();
  if (Slot* s = claim()) {
    Record& r = *s->rec;
    r.type = pvgen_rec::kCallRecord;
    r.kind = pvgen_rec::kClose;
    r.start_ns = start;
    r.end_ns = end;
    fill_thread(r);
    r.fd = fd;
    r.request = 0;
    r.ret = ret;
    r.err = ret < 0 ? err : 0;
    r.block_size = 0;
    publish(s);
  }
  errno = err;
  return ret;
}

}  // extern "C"
