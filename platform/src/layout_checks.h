// The object layouts the library is compiled against. The shipped platform and the
// controlled one (platform/controlled) both check them, so that a library built against
// either header runs on either platform unchanged.
#pragma once

#include <cstdint>

#include "norvane/framework.h"
#include "osw.h"

static_assert(sizeof(OSW_Mutex_Semaphore) == 3 * sizeof(uintptr_t));
static_assert(alignof(OSW_Mutex_Semaphore) == alignof(uintptr_t));
static_assert(sizeof(OSW_Event_Semaphore) == sizeof(void*));
static_assert(sizeof(OSW_Guard) == 2 * sizeof(void*));
static_assert(sizeof(OSW_Thread_Guard) == 1);
static_assert(sizeof(norvane::ControllerThread) == sizeof(void*));
static_assert(sizeof(norvane::Controller) == sizeof(void*));
static_assert(sizeof(norvane::quorl_commonmethod) == 2 * sizeof(void*));
static_assert(sizeof(norvane::quorl_usr_command_receiver_impl) == sizeof(void*));

// The mutex's words, in order: the lock word, the owner token, the nesting level.
#define PVGEN_CHECK_MUTEX_LAYOUT()                                           \
  static_assert(offsetof(OSW_Mutex_Semaphore, state_) == 0);                 \
  static_assert(offsetof(OSW_Mutex_Semaphore, owner_) == sizeof(uintptr_t)); \
  static_assert(offsetof(OSW_Mutex_Semaphore, depth_) == 2 * sizeof(uintptr_t))
