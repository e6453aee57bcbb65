// What the scenarios run under pvgen-explore share: a band page's request block and a check
// that ends the program with status 1 and one line on a violation.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "../support/pvgen_test_util.h"
#include "quorl_cnv_pvgen.h"

// The tests' band page block (one source and one destination buffer) whose prepare waits
// for the channel.
inline QUORL_CNV_PVGEN_BLK band_page(int32_t page_id, uint32_t bands) {
  QUORL_CNV_PVGEN_BLK blk = pvgen_test::make_block(page_id, 0x100, bands);
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
