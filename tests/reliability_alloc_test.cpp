// Memory running out inside a call: no exception crosses the C functions, a failed call
// leaves nothing behind (no entry, no pool record, no observer reference), and the library
// keeps working once memory is there again.
#include <cstdlib>
#include <new>

#include "support/e2e_support.h"

namespace {

// Allocations this thread may still make before one fails; -1: none fails. Only the
// calling thread is affected, so the library's own threads and the test's recorder allocate
// as usual.
thread_local long allocations_left = -1;

}  // namespace

void* operator new(std::size_t size) {
  if (allocations_left == 0) {
    allocations_left = -1;
    throw std::bad_alloc();
  }
  if (allocations_left > 0) {
    --allocations_left;
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using namespace e2e;

// Runs `call` with the k-th allocation of this thread failing, for k = 0, 1, ... until a
// call makes no more than k allocations; returns each call's outcome.
std::vector<int> with_each_allocation_failing(const std::function<int()>& call) {
  std::vector<int> outcomes;
  for (long k = 0;; ++k) {
    allocations_left = k;
    const int rc = call();
    const bool failed_one = allocations_left == -1;
    allocations_left = -1;
    outcomes.push_back(rc);
    if (!failed_one) {
      return outcomes;
    }
  }
}

// The first call of the process brings the library up; failing there returns 0 (never an
// identifier), and a later call tries again.
TEST(ReliabilityAlloc, BringingTheLibraryUpRetriesAfterAFailure) {
  const std::vector<int> ids = with_each_allocation_failing(Quorl_cnv_pvgen_get_page_id);
  ASSERT_GE(ids.size(), 2u);
  EXPECT_EQ(ids.front(), 0);
  // 0 until the library is up (a failure that only costs a diagnostic may not show), then
  // identifiers from 1 without a gap.
  const auto up = std::find_if(ids.begin(), ids.end(), [](int id) { return id != 0; });
  ASSERT_NE(up, ids.end());
  for (auto it = up; it != ids.end(); ++it) {
    EXPECT_EQ(*it, 1 + (it - up));
  }
  EXPECT_EQ(Quorl_cnv_pvgen_get_page_id(), ids.back() + 1);
  EXPECT_EQ(norvane::Controller::instance()->running_threads("quorl_pvgen_ctrl"), 1);
  Blk blk = pvgen_test::make_block(2);
  EXPECT_EQ(Quorl_cnv_pvgen_prepare(&blk), 0);
}

// Each kind of call, with each of its allocations failing in turn, returns -5 (also in
// result) or its usual outcome; the accepted callback bands are all reported, and at the end
// nothing is listed, no pool record is held and no observer wrapper is left.
TEST(ReliabilityAlloc, FailedSubmissionsLeaveNothingBehind) {
  pvgen_sim_reset();
  Blk page = start_page(1000);
  Blk other = new_block();
  const struct {
    const char* what;
    Blk* blk;
    std::function<int(Blk*)> call;
  } calls[] = {
      {"callback band", &page, [](Blk* b) { return Quorl_cnv_pvgen_band_exe(b, record_cb); }},
      {"synchronous band", &page, [](Blk* b) { return Quorl_cnv_pvgen_band_exe(b, nullptr); }},
      {"stop of a page nobody holds", &other, [](Blk* b) { return Quorl_cnv_pvgen_stop(b); }},
  };
  for (const auto& c : calls) {
    SCOPED_TRACE(c.what);
    const std::vector<int> outcomes = with_each_allocation_failing([&c] {
      c.blk->result = 77;
      const int rc = c.call(c.blk);
      EXPECT_TRUE(rc == 0 || (rc == -5 && c.blk->result == -5)) << rc;
      return rc;
    });
    // A call that finds an erased entry (and its list node) kept for reuse may allocate
    // nothing at all; AddressSanitizer builds keep none, so there every call's
    // allocations fail in turn.
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_GE(outcomes.size(), 2u);
#endif
    EXPECT_EQ(outcomes.back(), 0);
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), -5),
              static_cast<long>(outcomes.size()) - 1);
  }
  const size_t accepted = 1;  // the one callback band that got through
  EXPECT_EQ(wait_reports(accepted).size(), accepted);
  EXPECT_TRUE(list_reaches(0));
  EXPECT_EQ(registry()->event_semaphore_in_use() + registry()->obs_wrapper_count(), 0u);
  EXPECT_EQ(Quorl_cnv_pvgen_stop(&page), 0);
}

}  // namespace
