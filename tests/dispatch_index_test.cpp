// The tables that find an entry by address or request number, and the index of entries a
// dispatcher pass may act on, each driven by random operations against a plain model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "quorl_cnv_pvgen_lookup.h"
#include "quorl_cnv_pvgen_pending.h"
#include "quorl_cnv_pvgen_slot.h"

namespace {

using norvane::quorl_cnv_pvgen_lookup;
using norvane::quorl_cnv_pvgen_pending;
using norvane::quorl_cnv_pvgen_run;
using norvane::quorl_cnv_pvgen_slot;

quorl_cnv_pvgen_slot* fake_slot(uintptr_t n) {
  return reinterpret_cast<quorl_cnv_pvgen_slot*>(n * 64);
}

// The table is kept close to half full (its most crowded), so that probe chains collide,
// wrap around the table's end and are cut by erasures in every position.
TEST(DispatchIndex, LookupAgreesWithAMapThroughInsertsAndErasures) {
  std::mt19937 rng(7);
  quorl_cnv_pvgen_lookup table;
  std::map<uintptr_t, quorl_cnv_pvgen_slot*> model;
  for (int step = 0; step < 40000; ++step) {
    const uintptr_t key = 1 + rng() % 400;
    if (model.size() < 31 + rng() % 2) {
      table.reserve(model.size() + 1);
      const bool fresh = model.count(key) == 0;
      EXPECT_EQ(table.insert(key, fake_slot(step + 1)), fresh) << "step " << step;
      if (fresh) {
        model[key] = fake_slot(step + 1);
      }
    } else {
      // Erase a listed key, by its slot or by any slot, or one that is not there; an erase
      // naming another slot changes nothing.
      auto it = model.begin();
      std::advance(it, static_cast<std::ptrdiff_t>(rng() % model.size()));
      switch (rng() % 3) {
        case 0:
          EXPECT_EQ(table.erase(it->first, fake_slot(1u << 20)), nullptr);
          break;
        case 1:
          EXPECT_EQ(table.erase(it->first, it->second), it->second) << "step " << step;
          model.erase(it);
          break;
        default:
          EXPECT_EQ(table.erase(it->first), it->second) << "step " << step;
          model.erase(it);
          break;
      }
      EXPECT_EQ(table.erase(401 + rng() % 100), nullptr);
    }
    ASSERT_EQ(table.size(), model.size());
    for (const auto& [k, slot] : model) {
      ASSERT_EQ(table.find(k), slot) << "key " << k << " after step " << step;
    }
    ASSERT_EQ(table.find(401 + rng() % 100), nullptr);
  }
  table.clear();
  EXPECT_EQ(table.find(1), nullptr);
  EXPECT_EQ(table.size(), 0u);
}

// The index must list exactly the slots of the model, in the model's order, with every band
// run made of bands of its page, every other run of one entry, and each slot pointing at
// the run that holds it.
void expect_index_matches(quorl_cnv_pvgen_pending& index,
                          const std::vector<quorl_cnv_pvgen_slot*>& model, bool tidy) {
  std::vector<quorl_cnv_pvgen_slot*> seen;
  quorl_cnv_pvgen_run* previous = nullptr;
  for (quorl_cnv_pvgen_run* run = tidy ? index.tidy(index.first()) : index.first(); run != nullptr;
       run = tidy ? index.tidy(run->next) : run->next) {
    ASSERT_EQ(run->prev, previous);
    previous = run;
    if (tidy) {
      ASSERT_NE(run->first, nullptr) << "an emptied run survived tidy()";
      if (run->band && run->next != nullptr && run->next->first != nullptr) {
        ASSERT_FALSE(run->next->band && run->next->page_id == run->page_id)
            << "two runs of page " << run->page_id << " in a row after tidy()";
      }
    }
    int members = 0;
    for (quorl_cnv_pvgen_slot* s = run->first; s != nullptr; s = s->next_in_run) {
      ASSERT_EQ(s->run, run);
      ASSERT_EQ(s->next_in_run == nullptr, s == run->last);
      if (run->band) {
        ASSERT_TRUE(quorl_cnv_pvgen_pending::page_band(s->entry));
        ASSERT_EQ(s->entry.page_id, run->page_id);
      }
      seen.push_back(s);
      ++members;
    }
    if (!run->band) {
      ASSERT_LE(members, 1);
    }
  }
  ASSERT_EQ(seen, model);
}

TEST(DispatchIndex, PendingIndexKeepsListOrderAndPageRuns) {
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    quorl_cnv_pvgen_pending index;
    std::vector<std::unique_ptr<quorl_cnv_pvgen_slot>> store;
    std::vector<quorl_cnv_pvgen_slot*> model;  // indexed slots in list order
    for (int step = 0; step < 300; ++step) {
      if (model.empty() || rng() % 3 != 0) {
        // A new entry lands anywhere (priorities), mostly at the end.
        auto slot = std::make_unique<quorl_cnv_pvgen_slot>();
        slot->run = nullptr;
        slot->entry.request =
            rng() % 4 != 0 ? QUORL_CNV_PVGEN_REQ_BAND_EXE : static_cast<int32_t>(rng() % 2);
        slot->entry.page_id = static_cast<int32_t>(rng() % 3);  // 0: a band without page
        const size_t at = rng() % 4 != 0 ? model.size() : rng() % (model.size() + 1);
        index.reserve();
        index.add(slot.get(), at == 0 ? nullptr : model[at - 1]);
        model.insert(model.begin() + static_cast<std::ptrdiff_t>(at), slot.get());
        store.push_back(std::move(slot));
      } else {
        const size_t at = rng() % model.size();
        index.remove(model[at]);
        EXPECT_EQ(model[at]->run, nullptr);
        index.remove(model[at]);  // a second removal changes nothing
        model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
      }
      // Passes tidy as they go; between them emptied runs may stay.
      expect_index_matches(index, model, rng() % 4 == 0);
      if (HasFatalFailure()) {
        FAIL() << "round " << round << " step " << step;
      }
    }
    index.clear();
    for (quorl_cnv_pvgen_slot* s : model) {
      EXPECT_EQ(s->run, nullptr);
    }
    EXPECT_EQ(index.first(), nullptr);
  }
}

TEST(DispatchIndex, PendingMeansAPlaneLeftToHandOut) {
  QUORL_CNV_PVGEN_LIST_BLK entry{};
  entry.plane_stat[0] = QUORL_PLANE_PENDING;
  entry.plane_stat[1] = entry.plane_stat[2] = QUORL_PLANE_DONE;
  for (int32_t list_stat : {QUORL_LIST_WAITING, QUORL_LIST_RUNNING}) {
    entry.list_stat = list_stat;
    EXPECT_TRUE(quorl_cnv_pvgen_pending::pending(entry));
  }
  for (int32_t list_stat : {QUORL_LIST_DONE, QUORL_LIST_STOP}) {
    entry.list_stat = list_stat;
    EXPECT_FALSE(quorl_cnv_pvgen_pending::pending(entry));
  }
  entry.list_stat = QUORL_LIST_RUNNING;
  entry.plane_stat[0] = QUORL_PLANE_RUNNING;
  EXPECT_FALSE(quorl_cnv_pvgen_pending::pending(entry));
  entry.plane_stat[2] = QUORL_PLANE_PENDING;
  EXPECT_TRUE(quorl_cnv_pvgen_pending::pending(entry));
}

}  // namespace
