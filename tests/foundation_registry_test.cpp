// The registry on its own (no control, so no dispatcher touches the list): request list,
// completion-semaphore pool, walk cursor, stop clean-up, observer wrappers, the "PVGEN"
// summary and the entry's layout. Every test runs in a fresh process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation_hooks.h"
#include "platform_capture.h"
#include "quorl_cnv_pvgen_commonmethod.h"
#include "quorl_cnv_pvgen_records.h"
#include "support/pvgen_test_util.h"

namespace norvane {
struct RegistryTestAccess {
  static void set_next_req_no(quorl_cnv_pvgen_commonmethod& reg, uint32_t number) {
    OSW_Guard guard(reg.req_list_mutex);
    reg.req_no_counter = number;
  }
  static bool list_held_by_caller(const quorl_cnv_pvgen_commonmethod& reg) {
    return reg.req_list_mutex.held_by_caller();
  }
};
}  // namespace norvane

using norvane::quorl_cnv_pvgen_commonmethod;
using norvane::quorl_cnv_pvgen_observer;
using norvane::quorl_cnv_pvgen_observer_wrapper;
using norvane::RegistryTestAccess;
using Entry = QUORL_CNV_PVGEN_LIST_BLK;

namespace {

constexpr int kPrepare = QUORL_CNV_PVGEN_REQ_PREPARE;
constexpr int kPageStart = QUORL_CNV_PVGEN_REQ_PAGE_START;
constexpr int kBand = QUORL_CNV_PVGEN_REQ_BAND_EXE;
constexpr int kStop = QUORL_CNV_PVGEN_REQ_STOP;

// An observer that is not one of the registry's wrappers.
struct Probe : quorl_cnv_pvgen_observer {
  void notify_result(QUORL_CNV_PVGEN_RESULT_INFO&) override {}
};

QUORL_CNV_PVGEN_RESULT_INFO* g_seen = nullptr;
int g_calls = 0;
void callback_a(QUORL_CNV_PVGEN_RESULT_INFO* r) {
  g_seen = r;
  ++g_calls;
}
void callback_b(QUORL_CNV_PVGEN_RESULT_INFO*) {
  ++g_calls;
}
void callback_c(QUORL_CNV_PVGEN_RESULT_INFO*) {
  ++g_calls;
}

unsigned long address(const Entry* e) {
  return reinterpret_cast<unsigned long>(e);
}

class FoundationRegistry : public ::testing::Test {
 protected:
  quorl_cnv_pvgen_commonmethod* reg = quorl_cnv_pvgen_commonmethod::instance();

  Entry* add(int request, int32_t page, quorl_cnv_pvgen_observer* obs = nullptr,
             int32_t priority = 0, uint32_t mode = 1) {
    QUORL_CNV_PVGEN_BLK blk = pvgen_test::make_block(page);
    blk.priority = static_cast<uint32_t>(priority);
    blk.mode = mode;
    return reg->req_list_insert(request, blk, obs);
  }
  std::vector<Entry*> walk() {
    std::vector<Entry*> out;
    reg->req_list_lock();
    while (Entry* e = reg->req_list_for_each()) {
      out.push_back(e);
    }
    reg->req_list_unlock();
    return out;
  }
  static int posts(const Entry* e) { return foundation_hooks::posts(e->event->event); }
};

}  // namespace

// ---------------------------------------------------------------- insertion

TEST_F(FoundationRegistry, OrderIsAscendingSignedPriorityFirstComeFirst) {
  Entry* p3a = add(kBand, 1, nullptr, 3);
  Entry* p1 = add(kBand, 1, nullptr, 1);
  Entry* p3b = add(kBand, 1, nullptr, 3);
  Entry* p0 = add(kBand, 1, nullptr, 0);
  Entry* neg = add(kBand, 1, nullptr, -1);  // 0xFFFFFFFF in the block
  EXPECT_EQ(walk(), (std::vector<Entry*>{neg, p0, p1, p3a, p3b}));
}

TEST_F(FoundationRegistry, RequestNumbersStartAtOneAndSkipZeroAndTheTopOnWrap) {
  EXPECT_EQ(add(kPrepare, 1)->req_no, 1u);
  EXPECT_EQ(add(kPrepare, 1)->req_no, 2u);
  RegistryTestAccess::set_next_req_no(*reg, 0x7FFFFFFD);
  EXPECT_EQ(add(kPrepare, 1)->req_no, 0x7FFFFFFDu);
  EXPECT_EQ(add(kPrepare, 1)->req_no, 0x7FFFFFFEu);
  EXPECT_EQ(add(kPrepare, 1)->req_no, 1u);
  EXPECT_EQ(add(kPrepare, 1)->req_no, 2u);
}

TEST_F(FoundationRegistry, NewEntryHeaderAndPagelessBand) {
  Probe probe;
  Entry* e = add(kPageStart, 9, &probe, 2);
  EXPECT_EQ(e->page_id, 9);
  EXPECT_EQ(e->list_stat, QUORL_LIST_WAITING);
  EXPECT_EQ(e->plane_stat[0], QUORL_PLANE_PENDING);
  EXPECT_EQ(e->plane_stat[1], QUORL_PLANE_DONE);
  EXPECT_EQ(e->plane_stat[2], QUORL_PLANE_DONE);
  EXPECT_EQ(e->request, kPageStart);
  EXPECT_EQ(e->priority, 2);
  EXPECT_EQ(e->observer, &probe);

  EXPECT_EQ(add(kBand, 55, nullptr, 0, 0)->page_id, 0);  // a band without a page
  EXPECT_EQ(add(kBand, 55, nullptr, 0, 1)->page_id, 55);
  EXPECT_EQ(add(kPrepare, 55, nullptr, 0, 0)->page_id, 55);  // only bands drop the page
}

TEST_F(FoundationRegistry, OnlySynchronousEntriesBorrowAPoolSemaphore) {
  Probe probe;
  struct Case {
    int request;
    bool with_observer;
    bool synchronous;
  };
  const Case cases[] = {
      {kPrepare, false, true},  {kPrepare, true, false}, {kPageStart, false, true},
      {kPageStart, true, true}, {kBand, false, true},    {kBand, true, false},
      {kStop, false, true},     {kStop, true, true},     {7, false, true},
      {7, true, false},
  };
  std::vector<QUORL_EVENT_SEMAPHORE*> records;
  for (const Case& c : cases) {
    Entry* e = add(c.request, 1, c.with_observer ? &probe : nullptr);
    EXPECT_EQ(e->event != nullptr, c.synchronous)
        << "request " << c.request << (c.with_observer ? " with" : " without") << " observer";
    if (e->event != nullptr) {
      EXPECT_EQ(e->event->in_use, 1u);
      EXPECT_EQ(std::count(records.begin(), records.end(), e->event), 0);  // not shared
      records.push_back(e->event);
    }
  }
  EXPECT_EQ(reg->event_semaphore_count(), records.size());
}

TEST_F(FoundationRegistry, PoolRecordsAreReusedInPoolOrderWithoutGrowth) {
  Probe probe;
  Entry* a = add(kPrepare, 1);
  Entry* b = add(kBand, 1);
  QUORL_EVENT_SEMAPHORE* first = a->event;
  QUORL_EVENT_SEMAPHORE* second = b->event;
  reg->req_list_erase(0, address(b));  // freed in the opposite order
  reg->req_list_erase(0, address(a));
  EXPECT_EQ(first->in_use, 0u);
  EXPECT_EQ(second->in_use, 0u);

  EXPECT_EQ(add(kPageStart, 1)->event, first);
  EXPECT_EQ(add(kBand, 1, &probe)->event, nullptr);
  EXPECT_EQ(add(kStop, 1)->event, second);
  EXPECT_EQ(reg->event_semaphore_count(), 2u);
  EXPECT_NE(add(kPrepare, 1)->event, nullptr);
  EXPECT_EQ(reg->event_semaphore_count(), 3u);
}

// ---------------------------------------------------------------- search and erase

TEST_F(FoundationRegistry, SearchModes) {
  Entry* b = add(kBand, 4, nullptr, 1);
  Entry* a = add(kBand, 4, nullptr, 0);  // before b in list order
  Entry* c = add(kPrepare, 9, nullptr, 2);
  EXPECT_EQ(reg->req_list_search(0, 0), nullptr);
  EXPECT_EQ(reg->req_list_search(0, address(b)), b);
  EXPECT_EQ(reg->req_list_search(0, address(b) + 8), nullptr);
  EXPECT_EQ(reg->req_list_search(1, c->req_no), c);
  EXPECT_EQ(reg->req_list_search(1, 99), nullptr);
  EXPECT_EQ(reg->req_list_search(3, 4), a);  // the first in list order
  EXPECT_EQ(reg->req_list_search(3, 5), nullptr);
  for (unsigned long value : {0ul, 1ul, 4ul, static_cast<unsigned long>(a->req_no)}) {
    EXPECT_EQ(reg->req_list_search(2, value), nullptr) << value;
    EXPECT_EQ(reg->req_list_search(7, value), nullptr) << value;
  }
}

TEST_F(FoundationRegistry, EraseModesRemoveEveryMatchAndReturnWhatEntriesBorrowed) {
  struct Case {
    int mode;
    int of_entry;  // >= 0: the value is that entry's address (mode 0) or number (mode 1)
    unsigned long value;
    std::vector<int> erased;
  };
  // Entries: 0 page 1 waiting, 1 page 2 done, 2 page 1 done, 3 page 3 running (async band).
  const Case cases[] = {
      {0, 1, 0, {1}},     {0, -1, 0, {}},  {1, 2, 0, {2}}, {1, -1, 12345, {}}, {2, -1, 2, {1, 2}},
      {3, -1, 1, {0, 2}}, {3, -1, 3, {3}}, {5, -1, 1, {}}, {-1, -1, 1, {}},
  };
  for (const Case& c : cases) {
    Entry* e[4] = {add(kPrepare, 1), add(kBand, 2), add(kPageStart, 1),
                   add(kBand, 3, reg->obs_wrapper_create(3, callback_a))};
    e[1]->list_stat = e[2]->list_stat = QUORL_LIST_DONE;
    e[3]->list_stat = QUORL_LIST_RUNNING;
    QUORL_EVENT_SEMAPHORE* records[3] = {e[0]->event, e[1]->event, e[2]->event};
    const unsigned long value = c.of_entry < 0 ? c.value
                                : c.mode == 0  ? address(e[c.of_entry])
                                               : e[c.of_entry]->req_no;
    reg->req_list_erase(c.mode, value);

    std::vector<Entry*> expected;
    for (int i = 0; i < 4; ++i) {
      const bool gone = std::count(c.erased.begin(), c.erased.end(), i) != 0;
      if (!gone) {
        expected.push_back(e[i]);
      }
      if (i < 3) {
        EXPECT_EQ(records[i]->in_use, gone ? 0u : 1u) << "mode " << c.mode << " entry " << i;
        EXPECT_EQ(foundation_hooks::posts(records[i]->event), 0);
      }
    }
    EXPECT_EQ(walk(), expected) << "mode " << c.mode;
    const bool wrapper_held = std::count(c.erased.begin(), c.erased.end(), 3) == 0;
    EXPECT_EQ(reg->obs_wrapper_count(), wrapper_held ? 1u : 0u) << "mode " << c.mode;
    for (Entry* left : expected) {
      reg->req_list_erase(0, address(left));
    }
    ASSERT_EQ(reg->req_list_size(), 0u);
    ASSERT_EQ(reg->obs_wrapper_count(), 0u);
  }
}

// A stop ends its page: synchronous submitters are woken once and collect their entries,
// asynchronous bands (and any other kind) are erased unreported, finished entries stay.
TEST_F(FoundationRegistry, StopEraseWakesSubmittersOnceAndEndsAsynchronousWork) {
  Probe probe;
  Entry* prepare = add(kPrepare, 7);
  prepare->list_stat = QUORL_LIST_RUNNING;
  Entry* start = add(kPageStart, 7, &probe);
  Entry* band = add(kBand, 7);
  add(kBand, 7, reg->obs_wrapper_create(7, callback_a));  // asynchronous: ends here
  Entry* stop = add(kStop, 7);
  Entry* done_async = add(kBand, 7, reg->obs_wrapper_create(7, callback_b));
  done_async->list_stat = QUORL_LIST_DONE;
  Entry* done_sync = add(kPrepare, 7);
  done_sync->list_stat = QUORL_LIST_DONE;
  Entry* other = add(kBand, 8, reg->obs_wrapper_create(8, callback_c));
  Entry* other_sync = add(kBand, 8);
  QUORL_EVENT_SEMAPHORE* stop_record = stop->event;
  const int32_t counter = reg->module_counter();

  for (int round = 0; round < 2; ++round) {
    reg->req_list_erase(4, 7);
    EXPECT_EQ(walk(),
              (std::vector<Entry*>{prepare, start, band, done_async, done_sync, other, other_sync}))
        << "round " << round;
    for (Entry* woken : {prepare, start, band}) {
      EXPECT_EQ(posts(woken), 1) << "round " << round;
      EXPECT_EQ(woken->event->in_use, 2u);  // still borrowed by its submitter
    }
    EXPECT_EQ(posts(done_sync), 0);
    EXPECT_EQ(done_sync->event->in_use, 1u);
    EXPECT_EQ(posts(other_sync), 0);
    EXPECT_EQ(stop_record->in_use, 0u);
    EXPECT_EQ(foundation_hooks::posts(stop_record->event), 0);
    EXPECT_EQ(reg->obs_wrapper_count(), 2u);  // callback_a's wrapper went with its band
    EXPECT_EQ(reg->module_counter(), counter - 2);
  }

  // The woken submitter collects its entry; its record goes back to the pool.
  QUORL_EVENT_SEMAPHORE* record = prepare->event;
  record->event.wait(OSW_WAIT_FOREVER);
  reg->req_list_erase(0, address(prepare));
  EXPECT_EQ(record->in_use, 0u);
}

// After a failed stop, the page's entries marked for the stop that no channel works on get
// the stop rule; others are left alone.
TEST_F(FoundationRegistry, EndStoppedTreatsOnlyIdleMarkedEntriesOfThePage) {
  auto mark = [](Entry* e, int32_t list_stat, int32_t plane0) {
    e->list_stat = list_stat;
    e->plane_stat[0] = plane0;
  };
  Entry* sync = add(kBand, 5);
  mark(sync, QUORL_LIST_STOP, QUORL_PLANE_DONE);
  Entry* async = add(kBand, 5, reg->obs_wrapper_create(5, callback_a));
  mark(async, QUORL_LIST_STOP, QUORL_PLANE_DONE);
  Entry* busy = add(kBand, 5, reg->obs_wrapper_create(5, callback_b));
  mark(busy, QUORL_LIST_STOP, QUORL_PLANE_RUNNING);
  Entry* unmarked = add(kBand, 5);
  mark(unmarked, QUORL_LIST_RUNNING, QUORL_PLANE_DONE);
  Entry* other = add(kBand, 6, reg->obs_wrapper_create(6, callback_c));
  mark(other, QUORL_LIST_STOP, QUORL_PLANE_DONE);

  for (int round = 0; round < 2; ++round) {
    reg->req_list_end_stopped(5);
    EXPECT_EQ(walk(), (std::vector<Entry*>{sync, busy, unmarked, other})) << "round " << round;
    EXPECT_EQ(posts(sync), 1);
    EXPECT_EQ(sync->event->in_use, 2u);
    EXPECT_EQ(posts(unmarked), 0);
    EXPECT_EQ(reg->obs_wrapper_count(), 2u);
  }
}

// ---------------------------------------------------------------- walk cursor

TEST_F(FoundationRegistry, WalkCursorBeforeLockAndOnAnEmptyList) {
  EXPECT_EQ(reg->req_list_for_each(), nullptr);  // no walk started yet
  reg->req_list_lock();
  EXPECT_EQ(reg->req_list_for_each(), nullptr);
  EXPECT_EQ(reg->req_list_for_each(), nullptr);
  reg->req_list_unlock();

  add(kPrepare, 1);
  quorl_cnv_pvgen_commonmethod::release();
  reg = quorl_cnv_pvgen_commonmethod::instance();
  add(kPrepare, 1);  // entries exist, but no walk was started on this registry
  EXPECT_EQ(reg->req_list_for_each(), nullptr);
}

TEST_F(FoundationRegistry, WalkEndsForGoodAndANestedLockRestartsIt) {
  Entry* a = add(kPrepare, 1);
  Entry* b = add(kPrepare, 1);
  reg->req_list_lock();
  EXPECT_EQ(reg->req_list_for_each(), a);
  EXPECT_EQ(reg->req_list_for_each(), b);
  EXPECT_EQ(reg->req_list_for_each(), nullptr);
  Entry* c = add(kPrepare, 1);  // appended by the holder after the walk ended
  EXPECT_EQ(reg->req_list_for_each(), nullptr);

  reg->req_list_lock();  // nested, as a channel's stop does inside a dispatcher pass
  EXPECT_EQ(reg->req_list_for_each(), a);
  reg->req_list_unlock();
  EXPECT_TRUE(RegistryTestAccess::list_held_by_caller(*reg));
  EXPECT_EQ(reg->req_list_for_each(), b);  // unlock leaves the cursor alone
  EXPECT_EQ(reg->req_list_for_each(), c);
  reg->req_list_unlock();
  EXPECT_FALSE(RegistryTestAccess::list_held_by_caller(*reg));

  std::thread other([&] { EXPECT_EQ(reg->req_list_size(), 3u); });  // the list is free
  other.join();
}

// ---------------------------------------------------------------- observer wrappers

TEST_F(FoundationRegistry, OneSharedWrapperPerCallback) {
  EXPECT_EQ(reg->obs_wrapper_create(5, nullptr), nullptr);
  EXPECT_EQ(reg->obs_wrapper_count(), 0u);

  quorl_cnv_pvgen_observer_wrapper* w = reg->obs_wrapper_create(5, callback_a);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(reg->obs_wrapper_create(6, callback_a), w);
  EXPECT_EQ(w->get_page_id(), 5u);
  EXPECT_EQ(w->get_observer(), &callback_a);
  quorl_cnv_pvgen_observer_wrapper* other = reg->obs_wrapper_create(6, callback_b);
  EXPECT_NE(other, w);
  EXPECT_EQ(reg->obs_wrapper_count(), 2u);

  reg->obs_wrapper_delete(w);  // one of two references
  EXPECT_EQ(reg->obs_wrapper_count(), 2u);
  reg->obs_wrapper_delete(w);  // the last one: destroyed and unlisted
  EXPECT_EQ(reg->obs_wrapper_count(), 1u);
  reg->obs_wrapper_delete(w);  // no longer listed: never touched again
  reg->obs_wrapper_delete(nullptr);
  Probe probe;
  reg->obs_wrapper_delete(&probe);
  EXPECT_EQ(reg->obs_wrapper_count(), 1u);

  quorl_cnv_pvgen_observer_wrapper* again = reg->obs_wrapper_create(9, callback_a);
  EXPECT_EQ(again->get_page_id(), 9u);  // a new wrapper, not the destroyed one
  EXPECT_EQ(reg->obs_wrapper_count(), 2u);
  reg->obs_wrapper_delete(again);
  reg->obs_wrapper_delete(other);
  EXPECT_EQ(reg->obs_wrapper_count(), 0u);
}

TEST(FoundationObserverWrapper, CountStopsAtZeroAndNotifyForwardsTheRecord) {
  quorl_cnv_pvgen_observer_wrapper w(3);
  EXPECT_EQ(w.dec_ref_num(), 0);
  EXPECT_EQ(w.dec_ref_num(), 0);
  EXPECT_EQ(w.inc_ref_num(), 1);
  EXPECT_EQ(w.inc_ref_num(), 2);

  QUORL_CNV_PVGEN_RESULT_INFO record{};
  quorl_cnv_pvgen_observer_wrapper silent;
  EXPECT_EQ(silent.get_page_id(), 0u);
  static_cast<quorl_cnv_pvgen_observer&>(silent).notify_result(record);
  EXPECT_EQ(g_calls, 0);

  w.set_observer(callback_a);
  static_cast<quorl_cnv_pvgen_observer&>(w).notify_result(record);
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_seen, &record);
}

// Wrappers still listed when the registry goes are destroyed with it (the address
// sanitizer build reports them otherwise), without calling their callbacks.
TEST_F(FoundationRegistry, ListedWrappersGoWithTheRegistry) {
  reg->obs_wrapper_create(1, callback_a);  // a reference nobody gives back
  add(kBand, 1, reg->obs_wrapper_create(1, callback_b));
  add(kBand, 1, reg->obs_wrapper_create(1, callback_b));
  EXPECT_EQ(reg->obs_wrapper_count(), 2u);
  quorl_cnv_pvgen_commonmethod::release();
  EXPECT_EQ(g_calls, 0);
  EXPECT_EQ(quorl_cnv_pvgen_commonmethod::instance()->obs_wrapper_count(), 0u);
}

// ---------------------------------------------------------------- "PVGEN" summary

namespace {
std::vector<std::string> summary() {
  pvgen_test::Capture capture;
  EXPECT_TRUE(platform::send_diagnostic_command("PVGEN"));
  return platform::receiver_lines();
}
}  // namespace

TEST_F(FoundationRegistry, SummaryOfAnEmptyListIsOneLine) {
  EXPECT_EQ(summary(), std::vector<std::string>{"QUORL: list_num = 0\n"});
}

TEST_F(FoundationRegistry, SummaryListsPageRequestAndStateInListOrder) {
  Entry* band = add(kBand, 3, nullptr, 1);
  band->list_stat = QUORL_LIST_RUNNING;
  add(kPageStart, 3, nullptr, 0);
  EXPECT_EQ(summary(), (std::vector<std::string>{
                           "QUORL: list_num = 2\n",
                           "QUORL: list[page_id/request/list_stat] - 3/1/0, 3/2/1, \n"}));
}

TEST_F(FoundationRegistry, SummaryCutsEachItemToNineCharacters) {
  add(kBand, 123456)->list_stat = QUORL_LIST_RUNNING;
  add(kStop, 42)->list_stat = QUORL_LIST_STOP;
  EXPECT_EQ(summary(), (std::vector<std::string>{
                           "QUORL: list_num = 2\n",
                           "QUORL: list[page_id/request/list_stat] - 123456/2/42/4/3, \n"}));
}

TEST_F(FoundationRegistry, SummaryShowsTheFirstSixteenEntries) {
  for (int page = 1; page <= 20; ++page) {
    add(kPrepare, page, nullptr, page % 2 == 0 ? 1 : 0);  // odd pages first in the list
  }
  std::string items;
  for (int page : {1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 2, 4, 6, 8, 10, 12}) {
    items += std::to_string(page) + "/0/0, ";
  }
  EXPECT_EQ(summary(),
            (std::vector<std::string>{"QUORL: list_num = 20\n",
                                      "QUORL: list[page_id/request/list_stat] - " + items + "\n"}));
}

TEST_F(FoundationRegistry, SummaryWhileTheListChanges) {
  pvgen_test::Capture capture;
  std::thread changer([&] {
    for (int i = 0; i < 2000; ++i) {
      Entry* e = add(i % 2 == 0 ? kPrepare : kBand, 1 + i % 7);
      reg->req_list_erase(0, address(e));
    }
  });
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(platform::send_diagnostic_command("PVGEN"));
  }
  changer.join();
  for (const std::string& line : platform::receiver_lines()) {
    EXPECT_TRUE(line == "QUORL: list_num = 0\n" || line == "QUORL: list_num = 1\n" ||
                line.rfind("QUORL: list[page_id/request/list_stat] - ", 0) == 0)
        << line;
  }
}

// ---------------------------------------------------------------- entry layout

// Field offsets are checked at compile time next to the record; here the sizes on this
// machine and the copy of the whole block behind the header.
TEST_F(FoundationRegistry, EntryLayoutAndWholeBlockCopy) {
  const size_t ptr = sizeof(void*);
  EXPECT_EQ(sizeof(QUORL_EVENT_SEMAPHORE), 2 * ptr);
  EXPECT_EQ(sizeof(Entry), ptr == 4 ? 2340u : 2352u);

  QUORL_CNV_PVGEN_BLK blk;
  auto* bytes = reinterpret_cast<unsigned char*>(&blk);
  for (size_t i = 0; i < sizeof blk; ++i) {
    bytes[i] = static_cast<unsigned char>(i * 7 + 3);
  }
  blk.mode = 1;
  Entry* e = reg->req_list_insert(kPageStart, blk, nullptr);
  const auto* raw = reinterpret_cast<const unsigned char*>(e);
  EXPECT_EQ(std::memcmp(raw + 4, &blk.page_id, 4), 0);
  EXPECT_EQ(std::memcmp(raw + 32 + ptr, &e->event, ptr), 0);
  EXPECT_EQ(std::memcmp(raw + 32 + 2 * ptr, &blk, sizeof blk), 0);  // all 2300 bytes
}
