// The C library entry points the simulator takes over: open and its variants, ioctl and
// close. A call about /dev/mfp_pvgen or a simulated descriptor goes to the engine; every
// other call goes on to the next definition (the C library) unchanged.
//
// The next definitions are looked up once, in a load-time constructor, never inside an
// interposed call: a sanitizer's report printer calls open itself, and a lookup made from
// there could re-enter the dynamic linker. A call that arrives before the constructor has run
// (another library's constructor) is forwarded as a raw system call.
//
// This file deliberately includes none of the C library's declarations of these functions
// (their attributes and fortified inline wrappers would clash with the definitions here);
// the flag values come from the kernel's header.
#include <dlfcn.h>
#include <linux/fcntl.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "engine.h"
#include "replay.h"

namespace {

using OpenFn = int (*)(const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using OpenatFn = int (*)(int, const char*, int, ...);
using Openat2Fn = int (*)(int, const char*, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

// Written once by the constructor before any thread of the program can exist; read-only
// afterwards. Null entries (a variant this C library lacks) fall back as described below.
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

template <class F>
F next_symbol(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor(101))) void resolve_next() {
  next_fn.open = next_symbol<OpenFn>("open");
  next_fn.open64 = next_symbol<OpenFn>("open64");
  next_fn.open_2 = next_symbol<Open2Fn>("__open_2");
  next_fn.open64_2 = next_symbol<Open2Fn>("__open64_2");
  next_fn.openat = next_symbol<OpenatFn>("openat");
  next_fn.openat64 = next_symbol<OpenatFn>("openat64");
  next_fn.openat_2 = next_symbol<Openat2Fn>("__openat_2");
  next_fn.openat64_2 = next_symbol<Openat2Fn>("__openat64_2");
  next_fn.ioctl = next_symbol<IoctlFn>("ioctl");
  next_fn.ioctl_time64 = next_symbol<IoctlFn>("__ioctl_time64");
  next_fn.close = next_symbol<CloseFn>("close");
  pvgen_sim::load_environment();
  pvgen_sim::replay::load_environment();
}

bool needs_mode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int sys_openat(int dirfd, const char* path, int flags, unsigned mode) {
  return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
}

int device_open() {
  int err = 0;
  const int fd =
      pvgen_sim::replay::active() ? pvgen_sim::replay::open(&err) : pvgen_sim::sim_open(&err);
  if (fd < 0)
    errno = err;
  return fd;
}

int open_any(OpenFn first, OpenFn second, const char* path, int flags, unsigned mode) {
  if (pvgen_sim::is_device_path(path))
    return device_open();
  if (first != nullptr)
    return first(path, flags, mode);
  if (second != nullptr)
    return second(path, flags, mode);
  return sys_openat(AT_FDCWD, path, flags, mode);
}

int open2_any(Open2Fn first, OpenFn second, const char* path, int flags) {
  if (pvgen_sim::is_device_path(path))
    return device_open();
  if (first != nullptr)
    return first(path, flags);
  if (second != nullptr)
    return second(path, flags);
  return sys_openat(AT_FDCWD, path, flags, 0);
}

// openat with an absolute path ignores dirfd, so only such a path can name the device.
int openat_any(OpenatFn first, OpenatFn second, int dirfd, const char* path, int flags,
               unsigned mode) {
  if (pvgen_sim::is_device_path(path))
    return device_open();
  if (first != nullptr)
    return first(dirfd, path, flags, mode);
  if (second != nullptr)
    return second(dirfd, path, flags, mode);
  return sys_openat(dirfd, path, flags, mode);
}

int openat2_any(Openat2Fn first, OpenatFn second, int dirfd, const char* path, int flags) {
  if (pvgen_sim::is_device_path(path))
    return device_open();
  if (first != nullptr)
    return first(dirfd, path, flags);
  if (second != nullptr)
    return second(dirfd, path, flags);
  return sys_openat(dirfd, path, flags, 0);
}

int ioctl_any(IoctlFn first, int fd, unsigned long request, void* arg) {
  int ret = 0;
  int err = 0;
  if ((pvgen_sim::replay::active() && pvgen_sim::replay::ioctl(fd, request, arg, &ret, &err)) ||
      pvgen_sim::sim_ioctl(fd, request, arg, &ret, &err)) {
    if (ret < 0)
      errno = err;
    return ret;
  }
  if (first != nullptr)
    return first(fd, request, arg);
  if (next_fn.ioctl != nullptr)
    return next_fn.ioctl(fd, request, arg);
  return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

}  // namespace

namespace pvgen_sim {

int real_open(const char* path, int flags) {
  if (next_fn.open != nullptr)
    return next_fn.open(path, flags);
  return sys_openat(AT_FDCWD, path, flags, 0);
}

int real_close(int fd) {
  if (next_fn.close != nullptr)
    return next_fn.close(fd);
  return static_cast<int>(syscall(SYS_close, fd));
}

}  // namespace pvgen_sim

#define PVGEN_SIM_MODE_ARG(last) \
  unsigned mode = 0;             \
  if (needs_mode(flags)) {       \
    va_list ap;                  \
    va_start(ap, last);          \
    mode = va_arg(ap, unsigned); \
    va_end(ap);                  \
  }

extern "C" {

int open(const char* path, int flags, ...) {
  PVGEN_SIM_MODE_ARG(flags);
  return open_any(next_fn.open, next_fn.open64, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  PVGEN_SIM_MODE_ARG(flags);
  return open_any(next_fn.open64, next_fn.open, path, flags, mode);
}

int __open_2(const char* path, int flags) {
  return open2_any(next_fn.open_2, next_fn.open, path, flags);
}

int __open64_2(const char* path, int flags) {
  return open2_any(next_fn.open64_2, next_fn.open64, path, flags);
}

int openat(int dirfd, const char* path, int flags, ...) {
  PVGEN_SIM_MODE_ARG(flags);
  return openat_any(next_fn.openat, next_fn.openat64, dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  PVGEN_SIM_MODE_ARG(flags);
  return openat_any(next_fn.openat64, next_fn.openat, dirfd, path, flags, mode);
}

int __openat_2(int dirfd, const char* path, int flags) {
  return openat2_any(next_fn.openat_2, next_fn.openat, dirfd, path, flags);
}

int __openat64_2(int dirfd, const char* path, int flags) {
  return openat2_any(next_fn.openat64_2, next_fn.openat64, dirfd, path, flags);
}

// The third argument of every request this simulator serves is a pointer; for requests it
// hands on, the word is passed through as it came.
int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return ioctl_any(next_fn.ioctl, fd, request, arg);
}

// What ioctl is redirected to by 32-bit C libraries built with 64-bit time.
int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return ioctl_any(next_fn.ioctl_time64, fd, request, arg);
}

int close(int fd) {
  int ret = 0;
  int err = 0;
  if ((pvgen_sim::replay::active() && pvgen_sim::replay::close(fd, &ret, &err)) ||
      pvgen_sim::sim_close(fd, &ret, &err)) {
    if (ret < 0)
      errno = err;
    return ret;
  }
  return pvgen_sim::real_close(fd);
}

}  // extern "C"
