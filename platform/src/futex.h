// The futex calls under the platform's own locks and events, and under the controlled
// platform's hand-overs between threads. Private to the platform's builds: internal to each
// unit, so that no build (a debug build does not inline them) exports them.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace platform::detail {

#if defined(SYS_futex)
inline constexpr long kFutexCall = SYS_futex;
#else
inline constexpr long kFutexCall = SYS_futex_time64;  // 32-bit ABIs without the old call
#endif

// Sleeps while *word == expected (or until woken). Spurious returns are fine: every
// caller tests its condition again.
static inline void futex_wait(std::atomic<uint32_t>& word, uint32_t expected) {
  syscall(kFutexCall, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
}

// Wakes up to `sleepers` threads asleep on `word`.
static inline void futex_wake(std::atomic<uint32_t>& word, uint32_t sleepers = 1) {
  syscall(kFutexCall, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, sleepers, nullptr,
          nullptr, 0);
}

}  // namespace platform::detail
