#include "foundation_hooks.h"

#include <dlfcn.h>
#include <pthread.h>

#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

#include "norvane/framework.h"
#include "osw.h"

namespace {

struct EventCounts {
  int posts = 0;
  int taken = 0;  // waits that have returned
};

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<const void*, EventCounts> events;
  std::map<std::string, int> registrations;
  int notifications = 0;
  int allowed = INT_MAX;
  bool have_notifier = false;
  pthread_t notifier{};
  int sleeps_since_notification = 0;
};

// Never destroyed: library threads may still post while the process exits.
State& state() {
  static State* s = new State;
  return *s;
}

// The platform's definition of `symbol`, found after this program's own.
template <typename Fn>
Fn platform_symbol(const char* symbol) {
  void* found = dlsym(RTLD_NEXT, symbol);
  if (found == nullptr) {
    std::abort();
  }
  return reinterpret_cast<Fn>(found);
}

}  // namespace

int OSW_Event_Semaphore::post() {
  static const auto real =
      platform_symbol<int (*)(OSW_Event_Semaphore*)>("_ZN19OSW_Event_Semaphore4postEv");
  {
    std::lock_guard lock(state().mutex);
    ++state().events[this].posts;
  }
  return real(this);
}

// Posts are counted before they happen and waits after they return, so "nothing left"
// below is never claimed while a post is still pending.
int OSW_Event_Semaphore::wait(unsigned long timeout) {
  static const auto real = platform_symbol<int (*)(OSW_Event_Semaphore*, unsigned long)>(
      "_ZN19OSW_Event_Semaphore4waitEm");
  {
    State& s = state();
    std::lock_guard lock(s.mutex);
    const EventCounts& counts = s.events[this];
    if (counts.posts == counts.taken && s.have_notifier &&
        pthread_equal(s.notifier, pthread_self())) {
      ++s.sleeps_since_notification;
      s.changed.notify_all();
    }
  }
  const int result = real(this, timeout);
  {
    std::lock_guard lock(state().mutex);
    ++state().events[this].taken;
  }
  return result;
}

int norvane::quorl_usr_command_receiver_impl::module_list_insert(std::string name,
                                                                 quorl_commonmethod* module) {
  using Fn = int (*)(quorl_usr_command_receiver_impl*, std::string, quorl_commonmethod*);
  static const auto real = platform_symbol<Fn>(
      "_ZN7norvane31quorl_usr_command_receiver_impl18module_list_insertENSt7__cxx1112basic_"
      "stringIcSt11char_traitsIcESaIcEEEPNS_18quorl_commonmethodE");
  {
    std::lock_guard lock(state().mutex);
    ++state().registrations[name];
  }
  // Registration runs inside the registry's creation: give other creators a chance to run
  // into it, so that creation without its lock shows up as a second registration.
  for (int i = 0; i < 100; ++i) {
    std::this_thread::yield();
  }
  return real(this, std::move(name), module);
}

extern "C" int utl_lib_svccall_notify(int kind, int code, int zero, const char* file,
                                      const char* function, int line) {
  using Fn = int (*)(int, int, int, const char*, const char*, int);
  static const auto real = platform_symbol<Fn>("utl_lib_svccall_notify");
  {
    State& s = state();
    std::unique_lock lock(s.mutex);
    const int mine = ++s.notifications;
    s.have_notifier = true;
    s.notifier = pthread_self();
    s.sleeps_since_notification = 0;
    s.changed.notify_all();
    s.changed.wait(lock, [&] { return mine <= s.allowed; });
  }
  return real(kind, code, zero, file, function, line);
}

namespace foundation_hooks {

int posts(const OSW_Event_Semaphore& event) {
  std::lock_guard lock(state().mutex);
  const auto it = state().events.find(&event);
  return it == state().events.end() ? 0 : it->second.posts;
}

int registrations(const std::string& name) {
  std::lock_guard lock(state().mutex);
  const auto it = state().registrations.find(name);
  return it == state().registrations.end() ? 0 : it->second;
}

void gate_close() {
  std::lock_guard lock(state().mutex);
  state().allowed = state().notifications;
}

void gate_allow(int n) {
  std::lock_guard lock(state().mutex);
  state().allowed = n;
  state().changed.notify_all();
}

void gate_open() {
  gate_allow(INT_MAX);
}

void await_notifications(int n) {
  std::unique_lock lock(state().mutex);
  state().changed.wait(lock, [&] { return state().notifications >= n; });
}

int notifications() {
  std::lock_guard lock(state().mutex);
  return state().notifications;
}

int await_sleep_or_notification(int n) {
  State& s = state();
  std::unique_lock lock(s.mutex);
  s.changed.wait(lock, [&] { return s.notifications >= n || s.sleeps_since_notification > 0; });
  return s.notifications;
}

}  // namespace foundation_hooks
