// A thread blocked on something the scheduler does not control: the first thread takes a
// pthread mutex of the program's own and then waits for a platform event, the second waits
// until the mutex is taken and wants it before it posts that event. The second thread then
// blocks in pthread_mutex_lock, where the scheduler cannot see it, in every schedule;
// pvgen-explore must report it within a second instead of hanging.
#include <pthread.h>

#include "osw.h"

namespace {

pthread_mutex_t g_plain = PTHREAD_MUTEX_INITIALIZER;
OSW_Event_Semaphore g_taken;
OSW_Event_Semaphore g_done;

void* holder(void*) {
  pthread_mutex_lock(&g_plain);
  g_taken.post();
  g_done.wait(OSW_WAIT_FOREVER);
  pthread_mutex_unlock(&g_plain);
  return nullptr;
}

void* poster(void*) {
  g_taken.wait(OSW_WAIT_FOREVER);
  pthread_mutex_lock(&g_plain);
  pthread_mutex_unlock(&g_plain);
  g_done.post();
  return nullptr;
}

}  // namespace

int main() {
  pthread_t a;
  pthread_t b;
  pthread_create(&a, nullptr, holder, nullptr);
  pthread_create(&b, nullptr, poster, nullptr);
  pthread_join(a, nullptr);
  pthread_join(b, nullptr);
  return 0;
}
