// The middleware framework's thread controller on POSIX threads. The controlled platform
// (platform/controlled) has its own, which runs the threads under its scheduler.
//
// The controller is a heap object that is never destroyed, so framework threads that still
// run while the process exits never meet a destroyed object.
#include <pthread.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "norvane/framework.h"
#include "platform_internal.h"

namespace norvane {

// ---- ControllerThread ----

ControllerThread::~ControllerThread() = default;

// ---- Controller ----

namespace {

// One thread started by Controller::add. Records are kept for the life of the process
// (join must still answer for a thread that ended long ago). `owner`, `arg`, `name` and
// `state` are fixed before the thread starts; `tid` and the flags are under State::mutex.
struct ThreadRecord {
  ControllerThread* owner;
  void* arg;
  std::string name;
  Controller::State* state;
  pthread_t tid{};
  bool named = false;     // the thread has set its name; add() waits for it
  bool returned = false;  // process() has returned
  bool claimed = false;   // a join() has taken it on to pthread_join
  bool joined = false;    // pthread_join is done
};

}  // namespace

// Thread records and their flags, under `mutex`; `changed` is notified whenever a flag
// changes.
struct Controller::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<ThreadRecord*> records;
};

namespace {

void* thread_main(void* p) {
  auto* rec = static_cast<ThreadRecord*>(p);
  Controller::State& state = *rec->state;
  // Linux keeps 15 characters of a thread name.
  char shown[16];
  std::strncpy(shown, rec->name.c_str(), sizeof shown - 1);
  shown[sizeof shown - 1] = '\0';
  pthread_setname_np(pthread_self(), shown);
  {
    std::lock_guard lock(state.mutex);
    rec->named = true;
  }
  state.changed.notify_all();

  rec->owner->process(rec->arg);

  {
    std::lock_guard lock(state.mutex);
    rec->returned = true;
  }
  state.changed.notify_all();
  return nullptr;
}

}  // namespace

Controller::Controller() : state_(new State) {}

Controller* Controller::instance() {
  static Controller* const controller = new Controller;
  return controller;
}

int Controller::add(ControllerThread& thread, void* arg, const char* name) {
  auto owned = std::make_unique<ThreadRecord>(
      ThreadRecord{&thread, arg, name != nullptr ? name : "", state_});
  ThreadRecord* rec = owned.get();
  std::unique_lock lock(state_->mutex);
  // Listed before the thread exists (whatever may fail, memory included, fails before a
  // thread runs for an owner that would not know of it), and created under the lock, so the
  // record has its thread id before the thread can get to process() and, say, join itself.
  state_->records.push_back(rec);
  if (pthread_create(&rec->tid, nullptr, thread_main, rec) != 0) {
    state_->records.pop_back();
    return -1;
  }
  owned.release();
  try {
    platform::detail::record_started_thread(rec->name, rec->tid);
  } catch (...) {
    // Only the diagnostic list of names misses this thread.
  }
  // Return only once the name is visible, so that whoever looks at the threads right after
  // add() sees it.
  state_->changed.wait(lock, [rec] { return rec->named; });
  return 0;
}

int Controller::join(ControllerThread& thread) {
  const pthread_t self = pthread_self();
  std::vector<ThreadRecord*> mine;
  std::vector<ThreadRecord*> to_join;
  {
    std::lock_guard lock(state_->mutex);
    for (ThreadRecord* rec : state_->records) {
      if (rec->owner != &thread) {
        continue;
      }
      if (!rec->joined && pthread_equal(rec->tid, self)) {
        return -1;  // a thread cannot wait for itself
      }
      mine.push_back(rec);
    }
    if (mine.empty()) {
      return -1;
    }
    for (ThreadRecord* rec : mine) {
      if (!rec->claimed) {
        rec->claimed = true;
        to_join.push_back(rec);
      }
    }
  }
  for (ThreadRecord* rec : to_join) {
    pthread_join(rec->tid, nullptr);
  }
  std::unique_lock lock(state_->mutex);
  for (ThreadRecord* rec : to_join) {
    rec->joined = true;
  }
  if (!to_join.empty()) {
    state_->changed.notify_all();
  }
  // Threads claimed by a concurrent join: wait until that join is done with them.
  state_->changed.wait(lock, [&mine] {
    for (const ThreadRecord* rec : mine) {
      if (!rec->joined) {
        return false;
      }
    }
    return true;
  });
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
