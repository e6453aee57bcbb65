// Replay: the simulated device answers a program from a recording instead of the engine
// model (PVGEN_SIM_REPLAY). See replay.cpp for what it promises.
#ifndef PVGEN_SIM_REPLAY_H
#define PVGEN_SIM_REPLAY_H

namespace pvgen_sim::replay {

// Reads PVGEN_SIM_REPLAY (and PVGEN_SIM_REPLAY_PATIENCE); exits the process with status 2
// on a recording that does not read.
void load_environment();

// Set once at load time, before any thread of the program can exist, when a recording
// answers the device; read-only afterwards.
extern bool g_replay_active __attribute__((visibility("hidden")));

// True when a recording answers the device.
inline bool active() {
  return g_replay_active;
}

// As sim_open, sim_ioctl and sim_close of engine.h, answered from the recording. At the
// first call that differs from the recording they report it and end the process with
// PVGEN_SIM_REPLAY_DIVERGED.
int open(int* err);
bool ioctl(int fd, unsigned long request, void* arg, int* ret, int* err);
bool close(int fd, int* ret, int* err);

}  // namespace pvgen_sim::replay

#endif
