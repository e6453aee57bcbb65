// The framework's thread controller under the scheduler: add() creates a controlled thread
// (the new thread runs only once a schedule picks it), join() blocks at a scheduling point
// until every thread of the object has returned from process.
#include <pthread.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "norvane/framework.h"
#include "platform_internal.h"
#include "scheduler.h"

namespace norvane {

ControllerThread::~ControllerThread() = default;

namespace {

// One thread started by add(), kept for the life of the process. Only one controlled thread
// runs at a time; the mutex orders the records for an ended thread still on its way out.
struct ThreadRecord {
  ControllerThread* owner;
  void* arg;
  std::string name;
  pthread_t tid{};
  int slot = -1;
  bool returned = false;
  bool joined = false;
};

// The controller's records, for the endless-wait report's channels (framework_threads).
std::vector<ThreadRecord*>* g_records = nullptr;

void* thread_main(void* p) {
  auto* rec = static_cast<ThreadRecord*>(p);
  char shown[16];
  std::strncpy(shown, rec->name.c_str(), sizeof shown - 1);
  shown[sizeof shown - 1] = '\0';
  pthread_setname_np(pthread_self(), shown);
  rec->owner->process(rec->arg);
  rec->returned = true;
  return nullptr;
}

}  // namespace

struct Controller::State {
  std::mutex mutex;
  std::vector<ThreadRecord*> records;
};

Controller::Controller() : state_(new State) {
  g_records = &state_->records;
}

Controller* Controller::instance() {
  static Controller* const controller = new Controller;
  return controller;
}

int Controller::add(ControllerThread& thread, void* arg, const char* name) {
  auto owned =
      std::make_unique<ThreadRecord>(ThreadRecord{&thread, arg, name != nullptr ? name : ""});
  ThreadRecord* rec = owned.get();
  {
    std::lock_guard lock(state_->mutex);
    state_->records.push_back(rec);
  }
  if (sched::start_thread(&rec->tid, nullptr, thread_main, rec, rec->name.c_str(), &rec->slot,
                          __builtin_return_address(0)) != 0) {
    std::lock_guard lock(state_->mutex);
    state_->records.pop_back();
    return -1;
  }
  owned.release();
  try {
    platform::detail::record_started_thread(rec->name, rec->tid);
  } catch (...) {
    // Only the diagnostic list of names misses this thread.
  }
  return 0;
}

int Controller::join(ControllerThread& thread) {
  const pthread_t self = pthread_self();
  std::vector<ThreadRecord*> mine;
  {
    std::lock_guard lock(state_->mutex);
    for (ThreadRecord* rec : state_->records) {
      if (rec->owner != &thread) {
        continue;
      }
      if (!rec->joined && pthread_equal(rec->tid, self)) {
        return -1;
      }
      mine.push_back(rec);
    }
  }
  if (mine.empty()) {
    return -1;
  }
  if (sched::controlled()) {
    const sched::Ready ready = [](const void* obj, int) {
      for (const ThreadRecord* rec : *static_cast<const std::vector<ThreadRecord*>*>(obj)) {
        if (!rec->joined && !sched::thread_ended(rec->slot)) {
          return false;
        }
      }
      return true;
    };
    while (!sched::point(sched::Ev::kControllerJoin, &thread, 0, ready, &mine, sched::kNever,
                         __builtin_return_address(0))) {
    }
  }
  // Every thread has handed over for good; the C library's join only waits for it to leave.
  for (ThreadRecord* rec : mine) {
    if (!rec->joined) {
      rec->joined = true;
      sched::real_join(rec->tid, nullptr);
    }
  }
  return 0;
}

int Controller::running_threads() const {
  std::lock_guard lock(state_->mutex);
  int n = 0;
  for (const ThreadRecord* rec : state_->records) {
    n += rec->returned ? 0 : 1;
  }
  return n;
}

int Controller::running_threads(const std::string& name) const {
  std::lock_guard lock(state_->mutex);
  int n = 0;
  for (const ThreadRecord* rec : state_->records) {
    n += !rec->returned && rec->name == name ? 1 : 0;
  }
  return n;
}

}  // namespace norvane

std::vector<std::pair<const void*, int>> sched::framework_threads(const char* name) {
  std::vector<std::pair<const void*, int>> out;
  if (norvane::g_records == nullptr) {
    return out;
  }
  // Only one controlled thread runs at a time, and the caller is it: no record changes.
  for (const norvane::ThreadRecord* rec : *norvane::g_records) {
    if (!rec->joined && rec->name == name) {
      out.emplace_back(rec->owner, rec->slot);
    }
  }
  return out;
}
