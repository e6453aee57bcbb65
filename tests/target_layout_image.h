// Expected byte images of records that cross the library's boundaries, built from byte
// offsets and the machine's byte order with explicit helpers, never through the structs,
// so a field that moves, changes width or is stored in the wrong order shows up as a
// differing byte. Big-endian on the printer controller, little-endian on the host.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#if defined(__powerpc__) && !defined(__powerpc64__)
// The controller build must really be the controller's ABI; a toolchain that quietly
// produced a little-endian or 64-bit program would make every image meaningless.
static_assert(__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__, "controller build must be big-endian");
static_assert(sizeof(void*) == 4, "controller build must have 4-byte pointers");
static_assert(sizeof(long) == 4, "controller build must have a 4-byte long");
static_assert(sizeof(unsigned long) == 4, "controller build must have a 4-byte unsigned long");
#endif

namespace target_layout {

inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// A byte image of a record of N bytes as this machine stores it; starts all 0.
template <std::size_t N>
class Image {
 public:
  Image() { bytes_.fill(0); }

  void word(std::size_t offset, uint32_t v) {
    ASSERT_LE(offset + 4, N) << "word at " << offset << " lies outside the record";
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    put_be32(&bytes_[offset], v);
#elif __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    put_le32(&bytes_[offset], v);
#else
#error "unsupported byte order"
#endif
  }

  // A buffer descriptor: id, word 1, word 2.
  void buf(std::size_t offset, uint32_t id, uint32_t w1, uint32_t w2) {
    word(offset, id);
    word(offset + 4, w1);
    word(offset + 8, w2);
  }

  void byte(std::size_t offset, uint8_t v) {
    bytes_.at(offset) = v;
  }

  const uint8_t* data() const {
    return bytes_.data();
  }

 private:
  std::array<uint8_t, N> bytes_;
};

// Compares a record with its expected image and names the first differing bytes, so a
// failure says which field went wrong instead of only that something did.
template <typename T>
::testing::AssertionResult same_bytes(const T& record, const Image<sizeof(T)>& expected) {
  uint8_t actual[sizeof(T)];
  std::memcpy(actual, &record, sizeof(T));
  std::string diffs;
  int differing = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    if (actual[i] != expected.data()[i]) {
      if (differing++ < 8) {
        char line[64];
        std::snprintf(line, sizeof line, "\n  offset %zu: got 0x%02x, want 0x%02x", i, actual[i],
                      expected.data()[i]);
        diffs += line;
      }
    }
  }
  if (differing == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << differing << " byte(s) differ:" << diffs;
}

// Word values whose four bytes all differ, so a swapped or shifted word cannot match.
constexpr uint32_t v(uint32_t n) {
  return 0x11223300u + n;
}

}  // namespace target_layout
