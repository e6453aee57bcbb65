// Refusals by validation, the fixed fields that submissions impose on the caller's block,
// and the trace points of each submission, all seen through the C functions.
#include <cstring>

#include "e2e_support.h"

namespace {

using namespace e2e;

// A refused call: -3 returned and in result, the given lines in order, one notification.
void expect_refused(const std::function<int(QUORL_CNV_PVGEN_BLK&)>& call, QUORL_CNV_PVGEN_BLK blk,
                    const std::vector<std::string>& lines) {
  platform::capture_begin();
  blk.result = 55;
  EXPECT_EQ(call(blk), -3);
  EXPECT_EQ(blk.result, -3);
  expect_refusal(lines);
  platform::capture_end();
}

int prepare(QUORL_CNV_PVGEN_BLK& b) {
  return Quorl_cnv_pvgen_prepare(&b);
}
int start(QUORL_CNV_PVGEN_BLK& b) {
  return Quorl_cnv_pvgen_page_start(&b, record_cb);
}
int band(QUORL_CNV_PVGEN_BLK& b) {
  return Quorl_cnv_pvgen_band_exe(&b, record_cb);
}
int stop(QUORL_CNV_PVGEN_BLK& b) {
  return Quorl_cnv_pvgen_stop(&b);
}

TEST(E2eValidation, PrepareRefusalsTraceEveryFailingRule) {
  pvgen_sim_reset();
  auto blk = make_block(0);
  blk.priority = 7;
  blk.mode = 7;  // prepare keeps the caller's mode, and prints it
  expect_refused(
      prepare, blk,
      {param_line("(0/7) page_id error1. = 0"), param_line("(0/7) priority error. = 7")});

  blk = make_block(5);
  blk.priority = 0xFFFFFFFF;  // compared unsigned, printed as the target prints it
  expect_refused(prepare, blk, {param_line("(0/1) priority error. = -1")});

  blk = make_block(static_cast<int32_t>(0x80000000u));  // compared signed
  expect_refused(prepare, blk, {param_line("(0/1) page_id error1. = -2147483648")});

  // Nothing refused reached the engine or made a channel.
  EXPECT_EQ(sim_requests(PVGEN_SIM_OPEN), 0u);
  EXPECT_EQ(the_channel(), nullptr);
}

TEST(E2eValidation, PageStartBandAndStopRefusals) {
  pvgen_sim_reset();
  // Page starts are always checked as band pages: the caller's mode 2 is not printed.
  auto blk = make_block(0);
  blk.mode = 2;
  expect_refused(
      start, blk,
      {param_line("(1/1) page_id error1. = 0"), param_line("(1/1) page_id error2. = 0")});
  expect_refused(start, make_block(9), {param_line("(1/1) page_id error2. = 9")});

  blk = make_block(9);
  std::memset(blk.src, 0, sizeof blk.src);
  expect_refused(band, blk,
                 {param_line("(2/1) page_id error2. = 9"),
                  param_line("(2/1) src buffer error. buffer id all 0.")});
  expect_refused(stop, make_block(0), {param_line("(4/1) page_id error1. = 0")});
  expect_refused(stop, make_block(-5), {param_line("(4/1) page_id error1. = -5")});

  // A prepared page: a page start without destination, a band before the page started.
  const int32_t page = Quorl_cnv_pvgen_get_page_id();
  blk = make_block(page);
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);
  auto no_dst = blk;
  std::memset(no_dst.dst, 0, sizeof no_dst.dst);
  expect_refused(start, no_dst, {param_line("(1/1) dst buffer error. buffer id all 0.")});
  ASSERT_EQ(Quorl_cnv_pvgen_page_start(&blk, nullptr), 0);
  auto no_src = blk;
  std::memset(no_src.src, 0, sizeof no_src.src);
  expect_refused(band, no_src, {param_line("(2/1) src buffer error. buffer id all 0.")});

  // Every refused page start or band gave back the observer reference its entry point took.
  EXPECT_EQ(registry()->obs_wrapper_count(), 0u);
  EXPECT_EQ(list_size(), 0u);
  EXPECT_EQ(Reports::get().count(), 0u);
  // Refusals sent nothing to the engine: only the one page start arrived.
  EXPECT_EQ(pvgen_sim_command_count(), 1u);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&blk), 0);
}

TEST(E2eValidation, FixedFieldsDecideWhatIsChecked) {
  pvgen_sim_reset();
  Capture capture;
  // Prepare runs with all three masks at 1, whatever the caller's masks hold; it checks
  // neither mode, type nor buffers.
  const int32_t page = Quorl_cnv_pvgen_get_page_id();
  auto blk = make_block(page, 0x77, 2);
  blk.asic = 2;
  blk.module = 0;
  blk.channel = 4;
  blk.type = 9;
  std::memset(blk.src, 0, sizeof blk.src);
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);

  // A page start with page-mode fields that page mode would refuse runs as a band page;
  // its callback is never called and its wrapper reference is given back.
  blk.mode = 2;
  blk.src_buf_num = 2;
  blk.ring[0].id = 0;
  blk.ring_param0 = 0x1234;
  blk.variant = 7;
  blk.result = 99;
  EXPECT_EQ(Quorl_cnv_pvgen_page_start(&blk, record_cb), 0);
  EXPECT_EQ(blk.result, 0);
  EXPECT_EQ(registry()->obs_wrapper_count(), 0u);

  // A band in mode 2 with a bad type, no device bits, priority 9 and no destination passes.
  auto band_blk = make_block(page, 0x78);
  band_blk.mode = 2;
  band_blk.type = 9;
  band_blk.asic = 0;
  band_blk.priority = 9;
  std::memset(band_blk.dst, 0, sizeof band_blk.dst);
  EXPECT_EQ(Quorl_cnv_pvgen_band_exe(&band_blk, nullptr), 0);
  EXPECT_EQ(Capture::lines(), std::vector<std::string>{});

  const auto cmds = sim_commands();
  ASSERT_EQ(cmds.size(), 2u);
  const pvgen_sim_cmd_blk& ps = cmds[0].blk;
  EXPECT_EQ(cmds[0].code, PVGEN_SIM_IOC_PAGE_START);
  EXPECT_EQ(ps.job_id, 0x77u);
  EXPECT_EQ(ps.mode, 1u);
  EXPECT_EQ(ps.variant, 1u);
  EXPECT_EQ(ps.type, 2u);
  EXPECT_EQ(ps.src_buf_num, 0u);
  EXPECT_EQ(ps.ring_param0, 0u);
  EXPECT_EQ(ps.ring_param1, 1u);
  EXPECT_EQ(ps.band_total, 2u);
  EXPECT_EQ(ps.asic + ps.module + ps.channel, 0u);
  const pvgen_sim_cmd_blk& bs = cmds[1].blk;
  EXPECT_EQ(cmds[1].code, PVGEN_SIM_IOC_BAND_EXE);
  EXPECT_EQ(bs.job_id, 0x78u);
  EXPECT_EQ(bs.mode, 1u);
  EXPECT_EQ(bs.type, 2u);
  EXPECT_EQ(bs.src[0].id, 0x5000u);
  EXPECT_EQ(Reports::get().count(), 0u);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&blk), 0);
}

// Trace points recorded on the calling thread, as (category, code, flag).
std::vector<std::tuple<int, int, int>> points_here() {
  std::vector<std::tuple<int, int, int>> out;
  for (const auto& p : platform::trace_points()) {
    if (pthread_equal(p.thread, pthread_self()) != 0) {
      out.emplace_back(p.category, p.code, p.flag);
    }
  }
  return out;
}

TEST(E2eValidation, SubmissionsRecordStartAndEndTracePoints) {
  using P = std::vector<std::tuple<int, int, int>>;
  pvgen_sim_reset();
  Capture capture;
  // Prepare: (0x100 << type) | (0x10 << mode), +1 at the start, +2 at the end.
  auto blk = make_block(Quorl_cnv_pvgen_get_page_id());
  blk.type = 1;
  blk.mode = 0;
  platform::trace_points_clear();
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);
  EXPECT_EQ(points_here(), (P{{1, 0x211, 1}, {1, 0x212, 1}}));
  platform::trace_points_clear();
  ASSERT_EQ(Quorl_cnv_pvgen_stop(&blk), 0);
  EXPECT_EQ(points_here(), (P{{16, 1, 1}, {16, 2, 1}}));

  blk = make_block(Quorl_cnv_pvgen_get_page_id(), 0x100, 3);
  blk.type = 3;
  blk.mode = 2;
  platform::trace_points_clear();
  ASSERT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);
  EXPECT_EQ(points_here(), (P{{1, 0x841, 1}, {1, 0x842, 1}}));

  platform::trace_points_clear();
  ASSERT_EQ(Quorl_cnv_pvgen_page_start(&blk, nullptr), 0);
  EXPECT_EQ(points_here(), (P{{2, 0x421, 1}, {2, 0x422, 1}}));

  // A band ends with flag 0 when it has an observer, refused or not.
  platform::trace_points_clear();
  ASSERT_EQ(Quorl_cnv_pvgen_band_exe(&blk, nullptr), 0);
  EXPECT_EQ(points_here(), (P{{4, 0x421, 1}, {4, 0x422, 1}}));
  platform::trace_points_clear();
  ASSERT_EQ(Quorl_cnv_pvgen_band_exe(&blk, record_cb), 0);
  EXPECT_EQ(points_here(), (P{{4, 0x421, 1}, {4, 0x422, 0}}));
  ASSERT_TRUE(Reports::get().wait_count(1));
  auto refused = blk;
  refused.page_id = 0;
  platform::trace_points_clear();
  ASSERT_EQ(Quorl_cnv_pvgen_band_exe(&refused, record_cb), -3);
  EXPECT_EQ(points_here(), (P{{4, 0x421, 1}, {4, 0x422, 0}}));
  platform::trace_points_clear();
  ASSERT_EQ(Quorl_cnv_pvgen_band_exe(&refused, nullptr), -3);
  EXPECT_EQ(points_here(), (P{{4, 0x421, 1}, {4, 0x422, 1}}));

  // The band with an observer, on the library's threads: the dispatcher's driver command,
  // then the worker's wait and its report.
  platform::trace_points_clear();
  ASSERT_EQ(Quorl_cnv_pvgen_band_exe(&blk, record_cb), 0);
  ASSERT_TRUE(Reports::get().wait_count(2));
  P elsewhere;
  for (const auto& p : platform::trace_points()) {
    if (pthread_equal(p.thread, pthread_self()) == 0) {
      elsewhere.emplace_back(p.category, p.code, p.flag);
    }
  }
  EXPECT_EQ(elsewhere, (P{{4, 0x424, 1}, {4, 0x428, 1}, {32, 4, 1}, {32, 8, 1}, {64, 0x602, 1}}));
}

}  // namespace
