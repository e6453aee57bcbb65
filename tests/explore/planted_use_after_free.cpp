// A use after free that depends on the schedule: the thread `freer` deletes an object the
// main thread reads once it has started the thread. In schedules where the read comes first
// nothing is wrong; in the others AddressSanitizer reports the read, which must fail the
// schedule with the sanitizer's report. (Without the sanitizer the read is undefined and
// goes unnoticed: the test runs it only in the sanitizer's build.)
#include <pthread.h>

#include <cstdio>

namespace {

int* g_value = nullptr;

void* freer(void*) {
  delete g_value;
  return nullptr;
}

}  // namespace

int main() {
  g_value = new int(7);
  pthread_t t;
  pthread_create(&t, nullptr, freer, nullptr);
  const int seen = *static_cast<volatile int*>(g_value);
  pthread_join(t, nullptr);
  std::printf("%d\n", seen);
  return 0;
}
