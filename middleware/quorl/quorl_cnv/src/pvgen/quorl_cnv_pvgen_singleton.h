// Creation and teardown shared by the library's two singletons (the control and the
// registry): double-checked creation under a lazily created instance mutex, publication
// only after init() has returned, and a lock-free fast path once published.
#pragma once

#include <atomic>
#include <memory>

#include "osw.h"

namespace norvane {

// Returns *instance, creating it with make() and init() on the first call. The process-wide
// thread guard protects only the creation of the instance mutex; that mutex protects the
// creation of the object, which is stored with release ordering once initialised and read
// with acquire ordering without a lock. If make() or init() throws, the lock is released,
// the half-made object freed and *instance stays null for the next call to try again.
template <typename T, typename Make>
T* singleton_instance(T*& instance, OSW_Mutex_Semaphore*& inst_msem, Make make) {
  if (T* existing = std::atomic_ref(instance).load(std::memory_order_acquire)) {
    return existing;
  }
  if (std::atomic_ref(inst_msem).load(std::memory_order_acquire) == nullptr) {
    OSW_Thread_Guard thread_guard;
    if (std::atomic_ref(inst_msem).load(std::memory_order_relaxed) == nullptr) {
      std::atomic_ref(inst_msem).store(new OSW_Mutex_Semaphore(1), std::memory_order_release);
    }
  }
  OSW_Guard guard(*std::atomic_ref(inst_msem).load(std::memory_order_acquire));
  (void)guard.locked();
  if (std::atomic_ref(instance).load(std::memory_order_relaxed) == nullptr) {
    std::unique_ptr<T> created(make());
    created->init();
    std::atomic_ref(instance).store(created.release(), std::memory_order_release);
  }
  return std::atomic_ref(instance).load(std::memory_order_relaxed);
}

// Destroys the singleton and then its instance mutex, without any lock. With no singleton
// nothing happens at all (an existing instance mutex stays).
template <typename T>
void singleton_release(T*& instance, OSW_Mutex_Semaphore*& inst_msem) {
  if (instance == nullptr) {
    return;
  }
  delete instance;
  delete inst_msem;
  std::atomic_ref(instance).store(nullptr, std::memory_order_release);
  std::atomic_ref(inst_msem).store(nullptr, std::memory_order_release);
}

}  // namespace norvane
