// Helpers shared by the library's tests: well-formed request blocks and a scoped capture of
// the platform's trace lines and notifications.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "platform_capture.h"
#include "quorl_cnv_pvgen.h"

namespace pvgen_test {

// A block every request kind accepts for `page_id`: masks 1, priority 0, band-page mode,
// one source and one destination buffer on plane 0.
inline QUORL_CNV_PVGEN_BLK make_block(int32_t page_id, uint32_t job_id = 0x100,
                                      uint32_t band_total = 1) {
  QUORL_CNV_PVGEN_BLK blk;
  std::memset(&blk, 0, sizeof blk);
  blk.job_id = job_id;
  blk.page_id = page_id;
  blk.asic = 1;
  blk.module = 1;
  blk.channel = 1;
  blk.mode = 1;
  blk.variant = 1;
  blk.type = 2;
  blk.src[0] = {0x5000, 10, 20};
  blk.dst[0] = {0x6000, 30, 40};
  blk.band_total = band_total;
  return blk;
}

// Captures trace lines and notifications for the lifetime of the object.
class Capture {
 public:
  Capture() { platform::capture_begin(); }
  ~Capture() { platform::capture_end(); }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  static std::vector<std::string> lines() {
    std::vector<std::string> out;
    for (const auto& line : platform::trace_lines()) {
      out.push_back(line.text);
    }
    return out;
  }
  static std::vector<int> notify_codes() {
    std::vector<int> out;
    for (const auto& n : platform::notifications()) {
      out.push_back(n.code);
    }
    return out;
  }
};

}  // namespace pvgen_test
