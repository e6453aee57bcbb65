// What the scenarios run under pvgen-explore share: a band page's request block and a check
// that ends the program with status 1 and one line on a violation.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "quorl_cnv_pvgen.h"

inline QUORL_CNV_PVGEN_BLK band_page(int32_t page_id, uint32_t bands) {
  QUORL_CNV_PVGEN_BLK blk;
  std::memset(&blk, 0, sizeof blk);
  blk.job_id = 0x100;
  blk.page_id = page_id;
  blk.asic = 1;
  blk.module = 1;
  blk.channel = 1;
  blk.mode = 1;
  blk.variant = 1;
  blk.type = 2;
  blk.src[0] = {0x5000, 10, 20};
  blk.dst[0] = {0x6000, 30, 40};
  blk.band_total = bands;
  blk.wait_for_channel = 1;
  return blk;
}

// Fails the schedule when `value` is not one of `allowed`.
inline void expect_one_of(const char* what, int value, std::initializer_list<int> allowed) {
  for (int a : allowed) {
    if (value == a) {
      return;
    }
  }
  std::fprintf(stderr, "violation: %s returned %d\n", what, value);
  std::fflush(stderr);
  std::_Exit(1);
}
