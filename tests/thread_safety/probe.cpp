// Compiled only by the thread-safety check (tests/thread_safety.cmake), never linked. As it
// stands it reads a guarded field with its lock held and must compile; with
// PVGEN_TSA_PROBE_UNLOCKED it reads the field without the lock, and a build that checks the
// locking must reject it.
#include "osw.h"

struct TsaProbe {
  OSW_Mutex_Semaphore mutex{1};
  int value GUARDED_BY(mutex) = 0;

  int read();
};

int TsaProbe::read() {
#ifndef PVGEN_TSA_PROBE_UNLOCKED
  OSW_Guard guard(mutex);
#endif
  return value;
}
