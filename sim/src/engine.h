// Internal interface between the interposed C library entry points (interpose.cpp) and the
// engine model (engine.cpp).
#ifndef PVGEN_SIM_ENGINE_H
#define PVGEN_SIM_ENGINE_H

namespace pvgen_sim {

// The C library's own open and close, as resolved at load time (interpose.cpp).
int real_open(const char* path, int flags);
int real_close(int fd);

// True when path names the simulated device.
bool is_device_path(const char* path);

// Opens a simulated descriptor. Returns it, or -1 with *err set.
int sim_open(int* err);

// When fd is a simulated descriptor: serves the request, sets *ret (and *err when *ret is
// -1) and returns true. Otherwise returns false and the caller hands the call on.
bool sim_ioctl(int fd, unsigned long request, void* arg, int* ret, int* err);
bool sim_close(int fd, int* ret, int* err);

// Applies the PVGEN_SIM_* environment variables; exits the process on a malformed value.
void load_environment();

}  // namespace pvgen_sim

#endif
