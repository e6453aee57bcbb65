// The command blocks the library hands to the driver, byte for byte as the driver receives
// them, on the machine that runs the test (big-endian on the printer controller). A page
// is driven through the exported functions; the simulated engine keeps a copy of every
// command block, which is compared with an image built from byte offsets.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "pvgen_sim.h"
#include "quorl_cnv_pvgen.h"
#include "target_layout_image.h"

using target_layout::Image;
using target_layout::same_bytes;
using target_layout::v;

namespace {

constexpr size_t kCmdSize = 2276;
static_assert(sizeof(pvgen_sim_cmd_blk) == kCmdSize);

uint8_t conv_byte(size_t i) {
  return static_cast<uint8_t>(0xC5 ^ (i * 13));
}

// A band-page request with a distinct value in every word, including the words the driver
// must never see, so a word copied from the wrong place cannot go unnoticed.
QUORL_CNV_PVGEN_BLK make_request(int32_t page_id) {
  QUORL_CNV_PVGEN_BLK blk;
  std::memset(&blk, 0, sizeof blk);
  blk.job_id = v(0x01);
  blk.page_id = page_id;
  blk.asic = 1;
  blk.module = 1;
  blk.channel = 1;
  blk.priority = 0;
  blk.mode = 1;
  blk.variant = 1;
  blk.type = 2;
  for (uint32_t i = 0; i < 3; ++i) {
    blk.src[i] = {v(0x10 + i), v(0x20 + i), v(0x30 + i)};
    blk.dst[i] = {v(0x40 + i), v(0x50 + i), v(0x60 + i)};
    blk.ring[i] = {v(0x70 + i), v(0x80 + i), v(0x90 + i)};
    blk.plane_result[i] = v(0xA0 + i);
  }
  blk.band_total = 2;  // one band is run, so the page is still running at the stop
  blk.src_buf_num = 1;
  blk.ring_param0 = v(0xB0);
  blk.ring_param1 = v(0xB1);
  blk.band_param0 = v(0xB2);
  blk.band_param1 = v(0xB3);
  blk.wait_for_channel = 0;
  for (size_t i = 0; i < sizeof blk.conv_table; ++i) {
    blk.conv_table[i] = conv_byte(i);
  }
  blk.result = 0x7FFF;
  return blk;
}

}  // namespace

TEST(TargetLayoutDriver, PageStartBandAndStopBlocksAsTheDriverReceivesThem) {
  pvgen_sim_reset();
  const int32_t page_id = Quorl_cnv_pvgen_get_page_id();
  QUORL_CNV_PVGEN_BLK blk = make_request(page_id);
  ASSERT_EQ(0, Quorl_cnv_pvgen_prepare(&blk));
  ASSERT_EQ(0, Quorl_cnv_pvgen_page_start(&blk, nullptr));
  blk.job_id = v(0x02);
  for (uint32_t i = 0; i < 3; ++i) {
    blk.src[i] = {v(0xC0 + i), v(0xD0 + i), v(0xE0 + i)};
  }
  ASSERT_EQ(0, Quorl_cnv_pvgen_band_exe(&blk, nullptr));
  ASSERT_EQ(0, Quorl_cnv_pvgen_stop(&blk));

  ASSERT_EQ(3u, pvgen_sim_command_count());
  pvgen_sim_command start;
  pvgen_sim_command band;
  pvgen_sim_command stop;
  ASSERT_EQ(0, pvgen_sim_command_get(0, &start));
  ASSERT_EQ(0, pvgen_sim_command_get(1, &band));
  ASSERT_EQ(0, pvgen_sim_command_get(2, &stop));
  EXPECT_EQ(PVGEN_SIM_IOC_PAGE_START, start.code);
  EXPECT_EQ(PVGEN_SIM_IOC_BAND_EXE, band.code);
  EXPECT_EQ(PVGEN_SIM_IOC_STOP, stop.code);

  // Page start of a band page: the channel's own numbers (all 0) instead of the masks,
  // ring_param1 1, nothing of the ring words, source buffers or band_param0.
  Image<kCmdSize> want_start;
  want_start.word(0, v(0x01));  // job_id
  want_start.word(16, 1);       // mode
  want_start.word(20, 1);       // variant
  want_start.word(24, 2);       // type
  for (uint32_t i = 0; i < 3; ++i) {
    want_start.buf(64 + 12 * i, v(0x40 + i), v(0x50 + i), v(0x60 + i));  // dst
  }
  want_start.word(100, 2);        // band_total
  want_start.word(148, 1);        // ring_param1
  want_start.word(156, v(0xB3));  // band_param1
  for (size_t i = 0; i < 2112; ++i) {
    want_start.byte(160 + i, conv_byte(i));
  }
  EXPECT_TRUE(same_bytes(start.blk, want_start));

  // Band execute: the band's own source buffers and both band parameters.
  Image<kCmdSize> want_band;
  want_band.word(0, v(0x02));  // job_id
  want_band.word(16, 1);       // mode
  want_band.word(24, 2);       // type
  for (uint32_t i = 0; i < 3; ++i) {
    want_band.buf(28 + 12 * i, v(0xC0 + i), v(0xD0 + i), v(0xE0 + i));  // src
  }
  want_band.word(152, v(0xB2));  // band_param0
  want_band.word(156, v(0xB3));  // band_param1
  EXPECT_TRUE(same_bytes(band.blk, want_band));

  // Stop carries only the channel's numbers, which are all 0 here: every byte is 0.
  EXPECT_TRUE(same_bytes(stop.blk, Image<kCmdSize>()));
}
