// The PVGEN driver's command and wait blocks and its four ioctl requests (type 0xdf).
// Both blocks are built in automatic storage for one call, zeroed, filled, and read back
// after the call returns.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/ioctl.h>

#include "quorl_cnv_pvgen.h"

// Command block of page start, band execute and stop (2276 bytes).
struct PVGEN_CMD_BLK {
  uint32_t job_id;              // 0
  uint32_t asic;                // 4 the channel's own numbers
  uint32_t module;              // 8
  uint32_t channel;             // 12
  uint32_t mode;                // 16
  uint32_t variant;             // 20
  uint32_t type;                // 24
  QUORL_CNV_PVGEN_BUF src[3];   // 28
  QUORL_CNV_PVGEN_BUF dst[3];   // 64
  uint32_t band_total;          // 100
  uint32_t src_buf_num;         // 104
  QUORL_CNV_PVGEN_BUF ring[3];  // 108
  uint32_t ring_param0;         // 144
  uint32_t ring_param1;         // 148
  uint32_t band_param0;         // 152
  uint32_t band_param1;         // 156
  uint8_t conv_table[2112];     // 160
  int32_t result;               // 2272 written by the driver
};

// Wait block (104 bytes).
struct PVGEN_WAIT_BLK {
  uint32_t job_id;             // 0 out
  uint32_t asic;               // 4 in
  uint32_t module;             // 8 in
  uint32_t channel;            // 12 in
  uint32_t reserved;           // 16 sent as 0
  int32_t band_num;            // 20 out
  QUORL_CNV_PVGEN_BUF src[3];  // 24 out
  QUORL_CNV_PVGEN_BUF dst[3];  // 60 out
  uint32_t plane_result;       // 96 out
  int32_t result;              // 100 out: 0, 1, 2 final; 3 ask again; else failure
};

static_assert(sizeof(PVGEN_CMD_BLK) == 2276);
static_assert(offsetof(PVGEN_CMD_BLK, asic) == 4);
static_assert(offsetof(PVGEN_CMD_BLK, module) == 8);
static_assert(offsetof(PVGEN_CMD_BLK, channel) == 12);
static_assert(offsetof(PVGEN_CMD_BLK, mode) == 16);
static_assert(offsetof(PVGEN_CMD_BLK, variant) == 20);
static_assert(offsetof(PVGEN_CMD_BLK, type) == 24);
static_assert(offsetof(PVGEN_CMD_BLK, src) == 28);
static_assert(offsetof(PVGEN_CMD_BLK, dst) == 64);
static_assert(offsetof(PVGEN_CMD_BLK, band_total) == 100);
static_assert(offsetof(PVGEN_CMD_BLK, src_buf_num) == 104);
static_assert(offsetof(PVGEN_CMD_BLK, ring) == 108);
static_assert(offsetof(PVGEN_CMD_BLK, ring_param0) == 144);
static_assert(offsetof(PVGEN_CMD_BLK, ring_param1) == 148);
static_assert(offsetof(PVGEN_CMD_BLK, band_param0) == 152);
static_assert(offsetof(PVGEN_CMD_BLK, band_param1) == 156);
static_assert(offsetof(PVGEN_CMD_BLK, conv_table) == 160);
static_assert(offsetof(PVGEN_CMD_BLK, result) == 2272);
static_assert(sizeof(PVGEN_WAIT_BLK) == 104);
static_assert(offsetof(PVGEN_WAIT_BLK, reserved) == 16);
static_assert(offsetof(PVGEN_WAIT_BLK, band_num) == 20);
static_assert(offsetof(PVGEN_WAIT_BLK, src) == 24);
static_assert(offsetof(PVGEN_WAIT_BLK, dst) == 60);
static_assert(offsetof(PVGEN_WAIT_BLK, plane_result) == 96);
static_assert(offsetof(PVGEN_WAIT_BLK, result) == 100);

// The request codes are Linux _IOWR values for type 0xdf, the request number and the
// block's size. The architectures lay the direction bits out differently (PowerPC: three
// bits at bit 29; x86: two at bit 30) but read|write gives the same top bits on both.
inline constexpr unsigned long PVGEN_IOC_PAGE_START = 0xC8E4DF00UL;
inline constexpr unsigned long PVGEN_IOC_BAND_EXE = 0xC8E4DF01UL;
inline constexpr unsigned long PVGEN_IOC_WAIT = 0xC068DF02UL;
inline constexpr unsigned long PVGEN_IOC_STOP = 0xC8E4DF03UL;
static_assert(PVGEN_IOC_PAGE_START == _IOWR(0xdf, 0, PVGEN_CMD_BLK));
static_assert(PVGEN_IOC_BAND_EXE == _IOWR(0xdf, 1, PVGEN_CMD_BLK));
static_assert(PVGEN_IOC_WAIT == _IOWR(0xdf, 2, PVGEN_WAIT_BLK));
static_assert(PVGEN_IOC_STOP == _IOWR(0xdf, 3, PVGEN_CMD_BLK));
