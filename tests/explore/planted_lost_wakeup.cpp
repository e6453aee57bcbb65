// A program of our own with a lost wake-up in its use of the platform's event and mutex:
// the waiter looks at `ready` and announces that it sleeps in two separate holds of the
// mutex, and the notifier posts only when it saw the announcement. A notifier that runs
// between the waiter's two holds sets `ready`, sees nobody waiting and posts nothing; the
// waiter then waits for ever. pvgen-explore must report it as an endless wait.
#include <pthread.h>

#include "osw.h"

namespace {

OSW_Mutex_Semaphore g_mutex;
OSW_Event_Semaphore g_wake;
bool g_ready = false;    // under g_mutex
bool g_waiting = false;  // under g_mutex

void* waiter(void*) {
  g_mutex.request(OSW_WAIT_FOREVER);
  const bool ready = g_ready;
  g_mutex.release();
  if (!ready) {
    g_mutex.request(OSW_WAIT_FOREVER);
    g_waiting = true;  // the planted fault: `ready` may have changed since it was read
    g_mutex.release();
    g_wake.wait(OSW_WAIT_FOREVER);
  }
  return nullptr;
}

void* notifier(void*) {
  g_mutex.request(OSW_WAIT_FOREVER);
  g_ready = true;
  const bool waiting = g_waiting;
  g_mutex.release();
  if (waiting) {
    g_wake.post();
  }
  return nullptr;
}

}  // namespace

int main() {
  pthread_t a;
  pthread_t b;
  pthread_create(&a, nullptr, waiter, nullptr);
  pthread_create(&b, nullptr, notifier, nullptr);
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);
  return 0;
}
