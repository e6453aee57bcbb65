// Replay: the simulated device answers a program from a recording instead of the engine
// model (PVGEN_SIM_REPLAY). See replay.cpp for what it promises.
#ifndef PVGEN_SIM_REPLAY_H
#define PVGEN_SIM_REPLAY_H

namespace pvgen_sim::replay {

// Reads PVGEN_SIM_REPLAY (and PVGEN_SIM_REPLAY_PATIENCE); exits the process with status 2
// on a recording that does not read.
void load_environment();

// True when a recording answers the device.
bool active();

// As sim_open, sim_ioctl and sim_close of engine.h, answered from the recording. At the
// first call that differs from the recording they report it and end the process with
// PVGEN_SIM_REPLAY_DIVERGED.
int open(int* err);
bool ioctl(int fd, unsigned long request, void* arg, int* ret, int* err);
bool close(int fd, int* ret, int* err);

}  // namespace pvgen_sim::replay

#endif
