// Byte images of the records that cross the library's boundaries, checked on the machine
// that runs the test. The expected images are built from byte offsets and the machine's
// byte order with explicit helpers, never through the structs themselves, so a field that
// moves, changes width or is stored in the wrong order shows up as a differing byte.
//
// The same test runs on the host (little-endian, 64-bit) and on the printer controller
// (32-bit big-endian PowerPC, under qemu-ppc in the cross build).

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "quorl_cnv_pvgen.h"
#include "target_layout_image.h"

using target_layout::Image;
using target_layout::put_be32;
using target_layout::put_le32;
using target_layout::same_bytes;
using target_layout::v;

// The machine's own stores agree with the byte order the images are built for. Under the
// emulator this is what shows that the program really runs big-endian, not only that the
// compiler said so.
TEST(TargetLayout, MachineByteOrderMatchesImages) {
  const uint32_t w = 0x0A0B0C0Du;
  uint8_t stored[4];
  std::memcpy(stored, &w, 4);
  uint8_t be[4];
  uint8_t le[4];
  put_be32(be, w);
  put_le32(le, w);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  EXPECT_EQ(0, std::memcmp(stored, be, 4));
#else
  EXPECT_EQ(0, std::memcmp(stored, le, 4));
#endif
#if defined(__powerpc__) && !defined(__powerpc64__)
  EXPECT_EQ(0x0A, stored[0]) << "the controller stores the most significant byte first";
#endif
}

// A caller fills the request block field by field, as the middleware does before each call.
TEST(TargetLayout, RequestBlockAsTheCallerFillsIt) {
  QUORL_CNV_PVGEN_BLK blk;
  std::memset(&blk, 0, sizeof blk);
  Image<2300> want;

  blk.job_id = v(0x01);
  want.word(0, v(0x01));
  blk.page_id = 0x7FFFFFFE;
  want.word(4, 0x7FFFFFFEu);
  blk.asic = 0x00000001;
  want.word(8, 0x00000001u);
  blk.module = 0x00000003;
  want.word(12, 0x00000003u);
  blk.channel = 0x80000001u;
  want.word(16, 0x80000001u);
  blk.priority = 5;
  want.word(20, 5);
  blk.mode = 1;
  want.word(24, 1);
  blk.variant = v(0x08);
  want.word(28, v(0x08));
  blk.type = 2;
  want.word(32, 2);
  for (uint32_t i = 0; i < 3; ++i) {
    blk.src[i] = {v(0x10 + i), v(0x20 + i), v(0x30 + i)};
    want.buf(36 + 12 * i, v(0x10 + i), v(0x20 + i), v(0x30 + i));
    blk.dst[i] = {v(0x40 + i), v(0x50 + i), v(0x60 + i)};
    want.buf(72 + 12 * i, v(0x40 + i), v(0x50 + i), v(0x60 + i));
    blk.ring[i] = {v(0x70 + i), v(0x80 + i), v(0x90 + i)};
    want.buf(116 + 12 * i, v(0x70 + i), v(0x80 + i), v(0x90 + i));
    blk.plane_result[i] = v(0xA0 + i);
    want.word(2284 + 4 * i, v(0xA0 + i));
  }
  blk.band_total = 64;
  want.word(108, 64);
  blk.src_buf_num = 1;
  want.word(112, 1);
  blk.ring_param0 = v(0xB0);
  want.word(152, v(0xB0));
  blk.ring_param1 = v(0xB1);
  want.word(156, v(0xB1));
  blk.band_param0 = v(0xB2);
  want.word(160, v(0xB2));
  blk.band_param1 = v(0xB3);
  want.word(164, v(0xB3));
  blk.wait_for_channel = 1;
  want.word(168, 1);
  // The conversion table is bytes, not words: it must come out in the same order on every
  // machine, and its first and last bytes must sit right after wait_for_channel and right
  // before plane_result.
  for (std::size_t i = 0; i < sizeof blk.conv_table; ++i) {
    blk.conv_table[i] = static_cast<uint8_t>(i * 7 + 3);
    want.byte(172 + i, static_cast<uint8_t>(i * 7 + 3));
  }
  blk.result = -5;
  want.word(2296, 0xFFFFFFFBu);

  EXPECT_TRUE(same_bytes(blk, want));
}
