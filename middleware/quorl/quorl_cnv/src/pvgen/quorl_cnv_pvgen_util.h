// Small helpers shared by the library's classes.
#pragma once

#include <atomic>
#include <cstdint>

namespace norvane {

// Words that two threads share without a common lock are read and written through relaxed
// atomic accesses: the record layouts stay plain words, and the sharing stays defined.
template <typename T>
inline T relaxed_load(const T& word) {
  return std::atomic_ref<T>(const_cast<T&>(word)).load(std::memory_order_relaxed);
}
template <typename T, typename V>
inline void relaxed_store(T& word, V value) {
  std::atomic_ref<T>(word).store(static_cast<T>(value), std::memory_order_relaxed);
}

// A 32-bit word as printed with "%ld" on the target, where long is 32 bits: the same text
// on 64-bit hosts (0xFFFFFFFF prints as -1 on both).
inline long as_target_long(uint32_t word) {
  return static_cast<long>(static_cast<int32_t>(word));
}
inline long as_target_long(int32_t word) {
  return static_cast<long>(word);
}

// `base` shifted left by `count` in 32 bits; the count is taken modulo 64 and a count of 32
// or more gives 0.
constexpr uint32_t shifted32(uint32_t base, uint32_t count) {
  count %= 64;
  return count >= 32 ? 0 : base << count;
}

// Trace code of a request or driver command: (256 << type) | (16 << mode), cut to 16 bits.
// The low four bits stay free for the start/end (+1/+2) and before/after (|4/|8) marks.
constexpr uint16_t trace_code_of(uint32_t type, uint32_t mode) {
  return static_cast<uint16_t>((shifted32(0x100, type) | shifted32(0x10, mode)) & 0xFFFF);
}
// Trace code of a completion report: (256 << mode) | (256 << type) | 2, cut to 16 bits.
constexpr uint16_t report_code_of(uint32_t mode, uint32_t type) {
  return static_cast<uint16_t>((shifted32(0x100, mode) | shifted32(0x100, type) | 2) & 0xFFFF);
}
static_assert(trace_code_of(2, 1) == 0x420);
static_assert(trace_code_of(1, 0) == 0x210);
static_assert(trace_code_of(3, 2) == 0x840);
static_assert(report_code_of(1, 2) == 0x602);

// The file name without its directory, for notifications.
constexpr const char* base_name(const char* path) {
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') {
      name = p + 1;
    }
  }
  return name;
}

// Trace and notification constants.
inline constexpr int kTraceModule = 0x5503;
inline constexpr int kTraceLevel = 0x102;
inline constexpr int kNotifyKind = 0xF23C;

}  // namespace norvane
