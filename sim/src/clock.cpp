// The engine's clock and blocking; see clock.h and pvgen_sim_clock.h.
#include "clock.h"

#include <dlfcn.h>
#include <sys/prctl.h>
#include <time.h>

#include "pvgen_sim_clock.h"

namespace pvgen_sim {

pvgen_sim_clock_hooks_fn g_clock_hooks = nullptr;

namespace {

// Looked up once at load time (never inside an interposed call).
__attribute__((constructor(101))) void find_hooks() {
  g_clock_hooks =
      reinterpret_cast<pvgen_sim_clock_hooks_fn>(dlsym(RTLD_DEFAULT, PVGEN_SIM_CLOCK_HOOKS_SYMBOL));
}

const pvgen_sim_clock_hooks* hooks() {
  return g_clock_hooks != nullptr ? g_clock_hooks() : nullptr;
}

}  // namespace

bool clock_virtual() {
  return hooks() != nullptr;
}

uint64_t scheduled_now_ns() {
  if (const pvgen_sim_clock_hooks* h = hooks()) {
    return h->now_ns();
  }
  return monotonic_ns();
}

void clock_sleep(pthread_cond_t* cv, pthread_mutex_t* mu, uint64_t until) {
  if (const pvgen_sim_clock_hooks* h = hooks()) {
    h->sleep(mu, until);
    return;
  }
  if (until == UINT64_MAX) {
    pthread_cond_wait(cv, mu);
    return;
  }
  // A real engine raises its interrupt when the band is done; the kernel's default timer
  // slack (50 us) would deliver simulated completions late and skew the timing model.
  thread_local bool precise = false;
  if (!precise) {
    precise = true;
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(until / 1000000000u);
  ts.tv_nsec = static_cast<long>(until % 1000000000u);
  pthread_cond_timedwait(cv, mu, &ts);
}

void scheduled_changed() {
  if (const pvgen_sim_clock_hooks* h = hooks()) {
    h->changed();
  }
}

void scheduled_call(int kind, unsigned long request) {
  if (const pvgen_sim_clock_hooks* h = hooks()) {
    h->call(kind, request);
  }
}

}  // namespace pvgen_sim
