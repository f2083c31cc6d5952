// The slot array across many growth steps: rows keep their bytes and their addresses,
// navigation and row numbers agree with a plain model over gaps, and memory refusals leave
// the array as it was.

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/record/sqlmem_memory_manager.h"
#include "engine/table/sqlmem_memory_record_manager.h"

namespace tapir::engine {
namespace {

// A row whose bytes all derive from `tag`, so a moved or overwritten row shows.
std::vector<std::byte> TaggedRow(int32_t size, uint32_t tag) {
    std::vector<std::byte> row(static_cast<size_t>(size));
    for (size_t i = 0; i < row.size(); ++i) {
        row[i] = std::byte{static_cast<unsigned char>(tag * 131u + i * 7u + (tag >> 8))};
    }
    return row;
}

bool HoldsRow(const std::byte* stored, int32_t size, uint32_t tag) {
    const std::vector<std::byte> expected = TaggedRow(size, tag);
    return stored != nullptr && std::memcmp(stored, expected.data(), expected.size()) == 0;
}

// Restores "no limit" however a test ends.
struct LimitGuard {
    ~LimitGuard() { TSQLMemMemoryManager::Instance().SetLimit(0); }
};

std::vector<int32_t> WalkForward(const TSQLMemMemoryRecordManager& records) {
    std::vector<int32_t> slots;
    TSQLMemNavigationInfo info;
    info.GetRecordMode = grmNext;
    info.AtBeginning = true;
    for (records.GetRecord(info); info.GetRecordResult == grrOK; records.GetRecord(info)) {
        slots.push_back(info.RecordID.PageNo);
    }
    EXPECT_EQ(info.GetRecordResult, grrEOF);
    return slots;
}

std::vector<int32_t> WalkBackward(const TSQLMemMemoryRecordManager& records) {
    std::vector<int32_t> slots;
    TSQLMemNavigationInfo info;
    info.GetRecordMode = grmPrior;
    info.AtEnd = true;
    for (records.GetRecord(info); info.GetRecordResult == grrOK; records.GetRecord(info)) {
        slots.push_back(info.RecordID.PageNo);
    }
    // An empty array answers end-of-table whichever way it is asked.
    EXPECT_EQ(info.GetRecordResult, slots.empty() ? grrEOF : grrBOF);
    return slots;
}

TEST(SlotArrayGrowth, RowsKeepTheirBytesAndAddressesAcrossManySteps) {
    constexpr int32_t kRowSize = 37;  // odd on purpose: rows are not word-aligned
    constexpr int32_t kStep = 100;    // and steps do not end on bitmap words
    TSQLMemMemoryRecordManager records(kRowSize, kStep);
    std::vector<const std::byte*> addresses;
    std::vector<uint64_t> generations;
    for (uint32_t i = 0; i < 2550; ++i) {
        const TSQLMemRecordID id = records.AddRecord(TaggedRow(kRowSize, i).data());
        ASSERT_EQ(id, (TSQLMemRecordID{static_cast<int32_t>(i), 0}));
        ASSERT_EQ(records.Capacity(), (static_cast<int32_t>(i) / kStep + 1) * kStep);
        addresses.push_back(records.RecordPointer(id));
        generations.push_back(records.Generation(id));
        if (i > 0) {
            ASSERT_GT(generations[i], generations[i - 1]);
        }
    }
    // Half of the rows rewritten in place, every fifth one deleted.
    for (uint32_t i = 0; i < addresses.size(); i += 2) {
        ASSERT_TRUE(records.UpdateRecord({static_cast<int32_t>(i), 0},
                                         TaggedRow(kRowSize, i + 100000).data()));
    }
    for (uint32_t i = 3; i < addresses.size(); i += 5) {
        ASSERT_TRUE(records.DeleteRecord({static_cast<int32_t>(i), 0}));
    }
    for (uint32_t i = 0; i < addresses.size(); ++i) {
        const TSQLMemRecordID id{static_cast<int32_t>(i), 0};
        if (i % 5 == 3) {
            EXPECT_EQ(records.RecordPointer(id), nullptr) << i;
            EXPECT_EQ(records.Generation(id), 0u) << i;
            continue;
        }
        ASSERT_EQ(records.RecordPointer(id), addresses[i]) << "row " << i << " moved";
        EXPECT_TRUE(HoldsRow(addresses[i], kRowSize, i % 2 == 0 ? i + 100000 : i)) << i;
        EXPECT_EQ(records.Generation(id), generations[i]) << i;
    }
    EXPECT_EQ(records.Capacity(), 2600);
    EXPECT_EQ(records.RecordCount(), 2550 - 510);
    EXPECT_EQ(records.HighestSlot(), 2549);
}

TEST(SlotArrayGrowth, MemoryIsCountedAndAllReturnedByEmpty) {
    TSQLMemMemoryManager& memory = TSQLMemMemoryManager::Instance();
    const size_t before = memory.BytesInUse();
    {
        TSQLMemMemoryRecordManager records(100, 1000);
        EXPECT_EQ(memory.BytesInUse(), before);
        records.AddRecord(TaggedRow(100, 1).data());
        // One step: the rows, their generations, and the small directory and bitmap.
        const size_t one_step = memory.BytesInUse() - before;
        EXPECT_GE(one_step, 1000u * (100 + sizeof(uint64_t)));
        EXPECT_LT(one_step, 1000u * (100 + sizeof(uint64_t)) + 4096);
        for (uint32_t i = 1; i < 5000; ++i) {
            records.AddRecord(TaggedRow(100, i).data());
        }
        EXPECT_GE(memory.BytesInUse() - before, 5 * 1000u * (100 + sizeof(uint64_t)));
        records.Empty();
        EXPECT_EQ(memory.BytesInUse(), before);
        EXPECT_EQ(records.Capacity(), 0);
        records.AddRecord(TaggedRow(100, 9).data());
        EXPECT_EQ(memory.BytesInUse() - before, one_step);
    }
    EXPECT_EQ(memory.BytesInUse(), before);
}

// Fills a step exactly, then lets the memory manager refuse the next one.
TEST(SlotArrayGrowth, RefusedGrowthLeavesTheArrayAsItWasAndUsable) {
    LimitGuard guard;
    TSQLMemMemoryManager& memory = TSQLMemMemoryManager::Instance();
    constexpr int32_t kRowSize = 20;
    TSQLMemMemoryRecordManager records(kRowSize, 50);
    std::vector<const std::byte*> addresses;
    for (uint32_t i = 0; i < 50; ++i) {
        addresses.push_back(
            records.RecordPointer(records.AddRecord(TaggedRow(kRowSize, i).data())));
    }
    ASSERT_TRUE(records.DeleteRecord({10, 0}));
    const size_t in_use = memory.BytesInUse();
    memory.SetLimit(in_use + 100);  // far less than one more step
    try {
        records.AddRecord(TaggedRow(kRowSize, 50).data());
        FAIL() << "the growth was not refused";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 30004);
        EXPECT_EQ(error.Message(),
                  "Memory limit exceeded (Limit = " + std::to_string(in_use + 100) +
                      " bytes) - Native error: 30004");
    }
    EXPECT_EQ(memory.BytesInUse(), in_use);
    EXPECT_EQ(records.Capacity(), 50);
    EXPECT_EQ(records.RecordCount(), 49);
    EXPECT_EQ(records.LowestSlot(), 0);
    EXPECT_EQ(records.HighestSlot(), 49);
    EXPECT_EQ(records.RecordPointer({50, 0}), nullptr);
    EXPECT_EQ(records.RowsUpTo(49), 49);
    EXPECT_EQ(records.SlotOfRow(48), 49);
    for (uint32_t i = 0; i < 50; ++i) {
        if (i != 10) {
            ASSERT_EQ(records.RecordPointer({static_cast<int32_t>(i), 0}), addresses[i]);
            ASSERT_TRUE(HoldsRow(addresses[i], kRowSize, i)) << i;
        }
    }
    EXPECT_EQ(WalkForward(records).size(), 49u);

    // Within the capacity the array works on under the limit.
    ASSERT_TRUE(records.DeleteRecord({49, 0}));
    EXPECT_EQ(records.AddRecord(TaggedRow(kRowSize, 77).data()).PageNo, 49);
    EXPECT_TRUE(HoldsRow(records.RecordPointer({49, 0}), kRowSize, 77));

    memory.SetLimit(0);
    EXPECT_EQ(records.AddRecord(TaggedRow(kRowSize, 50).data()).PageNo, 50);
    EXPECT_EQ(records.Capacity(), 100);
    EXPECT_TRUE(HoldsRow(records.RecordPointer({50, 0}), kRowSize, 50));
    EXPECT_EQ(records.RecordPointer({0, 0}), addresses[0]);
}

// Each growth is tried under a limit that rises a little at a time: the step's block, the
// directory of steps and the bitmap are granted or refused in every combination. A refusal
// gives back whatever was granted and leaves the array as it was.
TEST(SlotArrayGrowth, EveryPartialRefusalOfAGrowthGivesBackWhatWasGranted) {
    LimitGuard guard;
    TSQLMemMemoryManager& memory = TSQLMemMemoryManager::Instance();
    TSQLMemMemoryRecordManager records(8, 1);  // one step per row: every add grows
    int refusals = 0;
    for (uint32_t i = 0; i < 300; ++i) {
        const size_t in_use = memory.BytesInUse();
        const int32_t capacity = records.Capacity();
        for (size_t slack = 0;; slack += 8) {
            memory.SetLimit(in_use + slack);
            try {
                ASSERT_EQ(records.AddRecord(TaggedRow(8, i).data()).PageNo,
                          static_cast<int32_t>(i));
                break;
            } catch (const ESQLMemException& error) {
                ++refusals;
                ASSERT_EQ(error.Code(), 30004);
                ASSERT_EQ(memory.BytesInUse(), in_use) << "row " << i << ", slack " << slack;
                ASSERT_EQ(records.Capacity(), capacity);
                ASSERT_EQ(records.RecordCount(), static_cast<int64_t>(i));
            }
        }
        memory.SetLimit(0);
    }
    EXPECT_GT(refusals, 300);
    for (int32_t i = 0; i < 300; ++i) {
        ASSERT_TRUE(HoldsRow(records.RecordPointer({i, 0}), 8, static_cast<uint32_t>(i))) << i;
    }
    EXPECT_EQ(WalkForward(records).size(), 300u);
}

// Random adds and deletes (including runs that open long gaps across bitmap words and
// steps), checked against an ordered set of occupied slots.
class SlotArrayModel : public ::testing::TestWithParam<int32_t> {
  protected:
    void CheckAgainstModel() {
        ASSERT_EQ(records_.RecordCount(), static_cast<int64_t>(used_.size()));
        const std::vector<int32_t> expected(used_.begin(), used_.end());
        ASSERT_EQ(WalkForward(records_), expected);
        ASSERT_EQ(WalkBackward(records_), std::vector<int32_t>(expected.rbegin(), expected.rend()));
        if (!used_.empty()) {
            ASSERT_EQ(records_.LowestSlot(), expected.front());
            ASSERT_EQ(records_.HighestSlot(), expected.back());
        }
        int64_t row = 0;
        for (int32_t slot : expected) {
            ASSERT_EQ(records_.SlotOfRow(row), slot) << "row " << row;
            ASSERT_TRUE(HoldsRow(records_.RecordPointer({slot, 0}), kRowSize, tags_.at(slot)));
            ++row;
        }
        // Row counts and steps from every slot, free or not, and just outside the bounds.
        for (int32_t slot = -1; slot <= records_.Capacity(); ++slot) {
            const auto above = used_.upper_bound(slot);
            ASSERT_EQ(records_.RowsUpTo(slot), std::distance(used_.begin(), above))
                << "slot " << slot;
            ASSERT_EQ(records_.RecordExists({slot, 0}), used_.count(slot) == 1) << slot;

            TSQLMemNavigationInfo next;
            next.GetRecordMode = grmNext;
            next.RecordID = {slot, 0};
            records_.GetRecord(next);
            if (above == used_.end() || slot >= records_.Capacity() - 1) {
                ASSERT_EQ(next.GetRecordResult, grrEOF) << "next from " << slot;
            } else {
                ASSERT_EQ(next.GetRecordResult, grrOK) << "next from " << slot;
                ASSERT_EQ(next.RecordID.PageNo, *above) << "next from " << slot;
            }

            TSQLMemNavigationInfo prior;
            prior.GetRecordMode = grmPrior;
            prior.RecordID = {slot, 0};
            records_.GetRecord(prior);
            const auto below = used_.lower_bound(slot);
            if (below == used_.begin() || slot <= 0) {
                ASSERT_EQ(prior.GetRecordResult, used_.empty() ? grrEOF : grrBOF)
                    << "prior from " << slot;
            } else {
                ASSERT_EQ(prior.GetRecordResult, grrOK) << "prior from " << slot;
                ASSERT_EQ(prior.RecordID.PageNo, *std::prev(below)) << "prior from " << slot;
            }
        }
    }

    void Add() {
        const auto tag = static_cast<uint32_t>(random_());
        const int32_t slot = records_.AddRecord(TaggedRow(kRowSize, tag).data()).PageNo;
        ASSERT_EQ(slot, used_.empty() ? 0 : *used_.rbegin() + 1);
        used_.insert(slot);
        tags_[slot] = tag;
    }

    void Delete(int32_t slot) {
        ASSERT_EQ(records_.DeleteRecord({slot, 0}), used_.erase(slot) == 1) << slot;
    }

    static constexpr int32_t kRowSize = 6;
    std::mt19937 random_{std::random_device{}()};
    TSQLMemMemoryRecordManager records_{kRowSize, GetParam()};
    std::set<int32_t> used_;
    std::map<int32_t, uint32_t> tags_;
};

TEST_P(SlotArrayModel, NavigationAndRowNumbersMatchTheModel) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    random_.seed(seed);
    for (int i = 0; i < 700; ++i) {
        Add();
    }
    EXPECT_TRUE(records_.Dense());
    CheckAgainstModel();
    for (int round = 0; round < 6; ++round) {
        // A long run out of the middle, single rows here and there, the lowest and the
        // highest rows, then more rows on top.
        const int32_t from = static_cast<int32_t>(random_() % 500);
        for (int32_t slot = from; slot < from + 150; ++slot) {
            Delete(slot);
        }
        for (int i = 0; i < 40 && !used_.empty(); ++i) {
            Delete(static_cast<int32_t>(random_() % (*used_.rbegin() + 2)));
        }
        if (!used_.empty()) {
            Delete(*used_.begin());
            Delete(*used_.rbegin());
        }
        EXPECT_FALSE(records_.Dense());
        CheckAgainstModel();
        const int adds = static_cast<int>(random_() % 200);
        for (int i = 0; i < adds; ++i) {
            Add();
        }
        CheckAgainstModel();
    }
}

TEST_P(SlotArrayModel, EmptyThenReuseStartsAtSlotZeroWithNewGenerations) {
    for (int i = 0; i < 300; ++i) {
        Add();
    }
    Delete(17);
    const uint64_t old_generation = records_.Generation({5, 0});
    records_.Empty();
    used_.clear();
    tags_.clear();
    EXPECT_EQ(records_.Capacity(), 0);
    EXPECT_EQ(records_.RecordCount(), 0);
    EXPECT_EQ(records_.LowestSlot(), 0);
    EXPECT_EQ(records_.HighestSlot(), 0);
    EXPECT_FALSE(records_.Dense());  // stays as it was
    EXPECT_EQ(records_.RowsUpTo(100), 0);
    EXPECT_EQ(records_.RecordPointer({5, 0}), nullptr);
    EXPECT_EQ(WalkForward(records_), std::vector<int32_t>{});
    EXPECT_EQ(WalkBackward(records_), std::vector<int32_t>{});

    for (int i = 0; i < 250; ++i) {
        Add();
    }
    EXPECT_EQ(records_.Capacity(), (249 / GetParam() + 1) * GetParam());
    EXPECT_GT(records_.Generation({5, 0}), old_generation);
    CheckAgainstModel();
}

TEST_P(SlotArrayModel, RowNumbersPastTheRowsAreAnError) {
    for (int i = 0; i < 200; ++i) {
        Add();
    }
    EXPECT_EQ(records_.SlotOfRow(150), 150);  // dense: the row number is the slot
    EXPECT_EQ(records_.RowsUpTo(150), 151);
    EXPECT_EQ(records_.RowsUpTo(5000), 200);
    Delete(0);
    const std::string message =
        "Invalid bit no = " + std::to_string((records_.Capacity() + 7) / 8 * 8) +
        ", number of bits = " + std::to_string(records_.Capacity()) + " - Native error: 10457";
    for (int64_t row : {int64_t{199}, int64_t{1000}, int64_t{-1}}) {
        try {
            records_.SlotOfRow(row);
            ADD_FAILURE() << "row " << row << " was found";
        } catch (const ESQLMemException& error) {
            EXPECT_EQ(error.Code(), 10457);
            EXPECT_EQ(error.Message(), message);
        }
    }
    EXPECT_EQ(records_.SlotOfRow(198), 199);
    EXPECT_EQ(records_.SlotOfRow(0), 1);
}

// Steps shorter than, equal to, between and longer than the 64-slot bitmap words.
INSTANTIATE_TEST_SUITE_P(Steps, SlotArrayModel, ::testing::Values(1, 7, 64, 100, 1000));

}  // namespace
}  // namespace tapir::engine
