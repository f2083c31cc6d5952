#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>

#include "engine/table/sqlmem_cursor.h"
#include "tests/engine/core_test_tables.h"

namespace tapir::engine {
namespace {

using testing::Buffer;
using testing::Field;
using testing::Index;
using testing::OpenCursor;

class CursorTest : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }

    // Row identifiers visited by a full scan forwards (or backwards).
    static std::vector<int32_t> Scan(TSQLMemCursor& cursor, bool backwards = false) {
        std::vector<int32_t> ids;
        std::vector<std::byte> buffer = Buffer(cursor);
        if (backwards) {
            cursor.Last();
        } else {
            cursor.First();
        }
        const TSQLMemGetRecordMode mode = backwards ? grmPrior : grmNext;
        TSQLMemGetRecordResult result;
        while ((result = cursor.GetRecord(mode, buffer.data())) == grrOK) {
            ids.push_back(GetRecordID(buffer.data(), cursor.DataSize()).PageNo);
        }
        // An empty view answers end of data in either direction.
        EXPECT_EQ(result, backwards && !ids.empty() ? grrBOF : grrEOF);
        return ids;
    }
};

// --- Ordering against an oracle ---

struct OracleKey {
    std::optional<int32_t> k;
    std::string s;
};

struct OracleLess {
    bool descending = false;
    bool operator()(const OracleKey& a, const OracleKey& b) const {
        if (a.k != b.k) {
            // Nulls first; a descending column reverses the whole part, nulls included.
            const bool less = !a.k.has_value() || (b.k.has_value() && *a.k < *b.k);
            return descending ? !less : less;
        }
        return a.s < b.s;
    }
};

class CursorOracle : public CursorTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CursorOracle, ScansMatchAMultimapUnderRandomChanges) {
    const bool descending = GetParam();
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed) + (descending ? " descending" : ""));
    std::mt19937 random(seed);

    TableDefinition def;
    def.name = "Oracle";
    def.fields = {Field("K", ftInteger), Field("S", ftString, 6), Field("Pad", ftLargeint)};
    TableIndexSpec index = Index("KS", "K;S");
    index.desc_fields = descending ? "K" : "";
    def.indexes = {index};
    def.alloc_by = 16;
    auto cursor = OpenCursor(def);
    ASSERT_TRUE(cursor->SetIndexName("ks"));
    const TSQLMemFieldDefs& fields = cursor->FieldDefs();

    using Oracle = std::multimap<OracleKey, int32_t, OracleLess>;
    Oracle oracle(OracleLess{descending});
    std::map<int32_t, OracleKey> keys_by_id;
    std::vector<std::byte> row = Buffer(*cursor);

    const auto random_key = [&] {
        OracleKey key;
        if (random() % 8 != 0) {
            key.k = static_cast<int32_t>(random() % 40) - 20;
        }
        key.s = std::string(1 + random() % 3, static_cast<char>('a' + random() % 3));
        return key;
    };
    const auto write_key = [&](const OracleKey& key) {
        if (key.k) {
            SetInteger(fields, 0, *key.k, row.data());
        } else {
            SetFieldData(fields, 0, nullptr, row.data());
        }
        SetText(fields, 1, key.s, row.data());
    };
    const auto erase_from_oracle = [&](int32_t id) {
        for (auto it = oracle.begin(); it != oracle.end(); ++it) {
            if (it->second == id) {
                oracle.erase(it);
                return;
            }
        }
        FAIL() << "id " << id << " not in oracle";
    };

    for (int step = 0; step < 600; ++step) {
        const unsigned op = random() % 10;
        if (keys_by_id.empty() || op < 5) {
            const OracleKey key = random_key();
            cursor->InitNewRecord(row.data());
            write_key(key);
            ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
            const int32_t id = GetRecordID(row.data(), cursor->DataSize()).PageNo;
            oracle.insert({key, id});
            keys_by_id[id] = key;
        } else {
            auto victim = keys_by_id.begin();
            std::advance(victim, random() % keys_by_id.size());
            const int32_t id = victim->first;
            ASSERT_TRUE(cursor->GotoRecordID({id, 0}));
            ASSERT_EQ(cursor->GetRecord(grmCurrent, row.data()), grrOK);
            if (op < 8) {
                const std::vector<std::byte> old_row = row;
                const OracleKey key = random_key();
                write_key(key);
                ASSERT_TRUE(cursor->UpdateRecord(old_row.data(), row.data()).Ok());
                erase_from_oracle(id);
                oracle.insert({key, id});
                victim->second = key;
            } else {
                ASSERT_TRUE(cursor->DeleteRecord(row.data()).Ok());
                erase_from_oracle(id);
                keys_by_id.erase(victim);
            }
        }
        if (step % 25 == 0 || step > 580) {
            std::vector<int32_t> expected;
            for (const auto& [key, id] : oracle) {
                expected.push_back(id);
            }
            std::vector<int32_t> got = Scan(*cursor);
            // The order among equal keys is the index's own; compare the keys in order.
            ASSERT_EQ(got.size(), expected.size());
            for (size_t i = 0; i < got.size(); ++i) {
                const OracleKey& a = keys_by_id.at(got[i]);
                const OracleKey& b = keys_by_id.at(expected[i]);
                ASSERT_FALSE(OracleLess{descending}(a, b) || OracleLess{descending}(b, a))
                    << "position " << i;
            }
            std::vector<int32_t> backwards = Scan(*cursor, true);
            std::reverse(backwards.begin(), backwards.end());
            ASSERT_EQ(backwards, got);
            ASSERT_EQ(cursor->RecordCount(), static_cast<int64_t>(got.size()));
            if (!got.empty()) {
                const size_t probe = random() % got.size();
                ASSERT_TRUE(cursor->SetRecNo(static_cast<int64_t>(probe) + 1));
                ASSERT_EQ(cursor->CurrentRecordID().PageNo, got[probe]);
                ASSERT_EQ(cursor->RecNo(), static_cast<int64_t>(probe) + 1);
            }
        }
    }
}

TEST_P(CursorOracle, RangeViewMatchesTheOracleWhileRowsChange) {
    const bool descending = GetParam();
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed) + (descending ? " descending" : ""));
    std::mt19937 random(seed);

    TableDefinition def;
    def.name = "Ranged";
    def.fields = {Field("K", ftInteger), Field("N", ftInteger)};
    TableIndexSpec index = Index("KN", "K;N");
    index.descending = descending;
    def.indexes = {index};
    auto cursor = OpenCursor(def);
    cursor->SetIndexName("KN");
    const TSQLMemFieldDefs& fields = cursor->FieldDefs();

    std::vector<std::byte> start(static_cast<size_t>(cursor->KeyBufferSize()));
    std::vector<std::byte> end(start.size());
    cursor->InitKeyBuffer(start.data());
    cursor->InitKeyBuffer(end.data());
    // On K alone: 3 <= K <= 6 (descending: the bounds swap).
    SetInteger(fields, 0, descending ? 6 : 3, start.data());
    SetInteger(fields, 0, descending ? 3 : 6, end.data());
    cursor->ApplyRange(start.data(), end.data(), false, false, 1, 1);

    std::map<std::pair<int32_t, int32_t>, int32_t> all;  // (k, n) → id; n is unique
    std::vector<std::byte> row = Buffer(*cursor);
    for (int step = 0; step < 300; ++step) {
        const unsigned op = random() % 10;
        if (all.empty() || op < 6) {
            const int32_t k = static_cast<int32_t>(random() % 10);
            const int32_t n = step;
            cursor->InitNewRecord(row.data());
            SetInteger(fields, 0, k, row.data());
            SetInteger(fields, 1, n, row.data());
            const TSQLMemRecordID before = cursor->CurrentRecordID();
            const bool before_at_beginning = cursor->AtBeginning();
            ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
            const int32_t id = GetRecordID(row.data(), cursor->DataSize()).PageNo;
            all[{k, n}] = id;
            if (k >= 3 && k <= 6) {
                ASSERT_EQ(cursor->CurrentRecordID().PageNo, id);
            } else {
                // A row outside the view leaves the cursor where it was.
                ASSERT_EQ(cursor->CurrentRecordID(), before);
                ASSERT_EQ(cursor->AtBeginning(), before_at_beginning);
            }
        } else {
            auto victim = all.begin();
            std::advance(victim, random() % all.size());
            const auto [k, n] = victim->first;
            const int32_t id = victim->second;
            std::vector<std::byte> old_row = Buffer(*cursor);
            // Read the stored row through a scan-free path: a second cursor.
            TSQLMemCursor::OpenParams params;
            params.definition = def;
            TSQLMemCursor reader(params);
            ASSERT_TRUE(reader.GotoRecordID({id, 0}));
            ASSERT_EQ(reader.GetRecord(grmCurrent, old_row.data()), grrOK);
            all.erase(victim);
            if (op < 8) {
                row = old_row;
                const int32_t new_k = static_cast<int32_t>(random() % 10);
                SetInteger(fields, 0, new_k, row.data());
                ASSERT_TRUE(cursor->UpdateRecord(old_row.data(), row.data()).Ok());
                all[{new_k, n}] = id;
            } else {
                ASSERT_TRUE(cursor->DeleteRecord(old_row.data()).Ok());
            }
            (void)k;
        }
        std::vector<int32_t> expected;
        for (const auto& [key, id] : all) {
            if (key.first >= 3 && key.first <= 6) {
                expected.push_back(id);
            }
        }
        if (descending) {
            std::reverse(expected.begin(), expected.end());
        }
        ASSERT_EQ(cursor->RecordCount(), static_cast<int64_t>(expected.size()));
        if (step % 10 == 0) {
            ASSERT_EQ(Scan(*cursor), expected) << "step " << step;
        }
    }
    // A rebuilt list agrees with the maintained one.
    const std::vector<int32_t> maintained = Scan(*cursor);
    cursor->ApplyRange(start.data(), end.data(), false, false, 1, 1);
    EXPECT_EQ(Scan(*cursor), maintained);
}

INSTANTIATE_TEST_SUITE_P(Directions, CursorOracle, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Descending" : "Ascending"; });

// --- Master-detail range on Zenders ---

class ZendersCursor : public CursorTest {
  protected:
    void SetUp() override {
        CursorTest::SetUp();
        cursor_ = OpenCursor(testing::ZendersDefinition());
        cursor_->SetIndexName("ZendersIndex");
        // Bouquet 1: three channels, bouquet 2: two, bouquet 1 again: one.
        for (int32_t bouquet : {1, 2, 1, 2, 1, 1}) {
            Append(bouquet);
        }
    }
    int32_t Append(int32_t bouquet) {
        std::vector<std::byte> row = Buffer(*cursor_);
        cursor_->InitNewRecord(row.data());
        SetInteger(cursor_->FieldDefs(), 1, bouquet, row.data());
        EXPECT_TRUE(cursor_->InsertRecord(row.data()).Ok());
        return GetRecordID(row.data(), cursor_->DataSize()).PageNo;
    }
    void SelectBouquet(int32_t bouquet) {
        std::vector<std::byte> key(static_cast<size_t>(cursor_->KeyBufferSize()));
        cursor_->InitKeyBuffer(key.data());
        SetInteger(cursor_->FieldDefs(), 1, bouquet, key.data());
        if (!cursor_->IsSameRange(key.data(), key.data(), false, false, 1, 1)) {
            cursor_->ApplyRange(key.data(), key.data(), false, false, 1, 1);
            cursor_->First();
        }
    }
    void TearDown() override {
        cursor_.reset();
        CursorTest::TearDown();
    }
    std::vector<int64_t> SubIds() {
        std::vector<int64_t> ids;
        std::vector<std::byte> row = Buffer(*cursor_);
        cursor_->First();
        while (cursor_->GetRecord(grmNext, row.data()) == grrOK) {
            ids.push_back(*GetInteger(cursor_->FieldDefs(), 0, row.data()));
        }
        return ids;
    }
    std::unique_ptr<TSQLMemCursor> cursor_;
};

TEST_F(ZendersCursor, RangeShowsOneBouquetInSubIdOrder) {
    SelectBouquet(1);
    EXPECT_EQ(cursor_->RecordCount(), 4);
    EXPECT_EQ(SubIds(), (std::vector<int64_t>{1, 3, 5, 6}));
    SelectBouquet(2);
    EXPECT_EQ(cursor_->RecordCount(), 2);
    EXPECT_EQ(SubIds(), (std::vector<int64_t>{2, 4}));
    cursor_->ResetRange();
    EXPECT_EQ(cursor_->RecordCount(), 6);
}

TEST_F(ZendersCursor, AppendInsideAndOutsideTheRange) {
    SelectBouquet(2);
    std::vector<std::byte> row = Buffer(*cursor_);
    ASSERT_EQ(cursor_->GetRecord(grmNext, row.data()), grrOK);
    const TSQLMemRecordID on = cursor_->CurrentRecordID();

    Append(3);  // outside: the list is unchanged and the cursor stays
    EXPECT_EQ(cursor_->CurrentRecordID(), on);
    EXPECT_EQ(cursor_->RecordCount(), 2);
    ASSERT_EQ(cursor_->GetRecord(grmCurrent, row.data()), grrOK);
    EXPECT_EQ(GetInteger(cursor_->FieldDefs(), 0, row.data()), 2);

    const int32_t id = Append(2);  // inside: placed after the last channel of bouquet 2
    EXPECT_EQ(cursor_->CurrentRecordID().PageNo, id);
    EXPECT_EQ(cursor_->RecNo(), 3);
    EXPECT_EQ(SubIds(), (std::vector<int64_t>{2, 4, 8}));
}

TEST_F(ZendersCursor, SameRangeIsNotReapplied) {
    SelectBouquet(1);
    std::vector<std::byte> row = Buffer(*cursor_);
    cursor_->GetRecord(grmNext, row.data());
    cursor_->GetRecord(grmNext, row.data());
    const TSQLMemRecordID second = cursor_->CurrentRecordID();
    SelectBouquet(1);
    EXPECT_EQ(cursor_->CurrentRecordID(), second);
    EXPECT_EQ(cursor_->RecNo(), 2);
}

TEST_F(ZendersCursor, DeleteMovesToTheFollowingRowElseThePreviousOne) {
    SelectBouquet(1);
    std::vector<std::byte> row = Buffer(*cursor_);
    ASSERT_EQ(cursor_->GetRecord(grmNext, row.data()), grrOK);  // SubId 1
    ASSERT_TRUE(cursor_->DeleteRecord(row.data()).Ok());
    ASSERT_EQ(cursor_->GetRecord(grmCurrent, row.data()), grrOK);
    EXPECT_EQ(GetInteger(cursor_->FieldDefs(), 0, row.data()), 3);

    cursor_->Last();
    ASSERT_EQ(cursor_->GetRecord(grmPrior, row.data()), grrOK);  // SubId 6, the last
    ASSERT_TRUE(cursor_->DeleteRecord(row.data()).Ok());
    ASSERT_EQ(cursor_->GetRecord(grmCurrent, row.data()), grrOK);
    EXPECT_EQ(GetInteger(cursor_->FieldDefs(), 0, row.data()), 5);
    EXPECT_EQ(cursor_->GetRecord(grmNext, row.data()), grrEOF);

    // Emptying the view leaves the cursor at the beginning; other rows remain.
    for (int i = 0; i < 2; ++i) {
        cursor_->First();
        ASSERT_EQ(cursor_->GetRecord(grmNext, row.data()), grrOK);
        ASSERT_TRUE(cursor_->DeleteRecord(row.data()).Ok());
    }
    EXPECT_TRUE(cursor_->AtBeginning());
    EXPECT_EQ(cursor_->RecordCount(), 0);
    EXPECT_EQ(cursor_->GetRecord(grmNext, row.data()), grrEOF);
    EXPECT_EQ(cursor_->RecNo(), -1);
    cursor_->ResetRange();
    EXPECT_EQ(cursor_->RecordCount(), 2);
}

TEST_F(ZendersCursor, UpdateMovingARowOutOfTheRangeDropsIt) {
    SelectBouquet(1);
    std::vector<std::byte> row = Buffer(*cursor_);
    cursor_->GetRecord(grmNext, row.data());
    cursor_->GetRecord(grmNext, row.data());  // SubId 3
    const std::vector<std::byte> old_row = row;
    SetInteger(cursor_->FieldDefs(), 1, 2, row.data());
    ASSERT_TRUE(cursor_->UpdateRecord(old_row.data(), row.data()).Ok());
    ASSERT_EQ(cursor_->GetRecord(grmCurrent, row.data()), grrOK);
    EXPECT_EQ(GetInteger(cursor_->FieldDefs(), 0, row.data()), 5);
    EXPECT_EQ(SubIds(), (std::vector<int64_t>{1, 5, 6}));
    SelectBouquet(2);
    EXPECT_EQ(SubIds(), (std::vector<int64_t>{2, 3, 4}));
}

TEST_F(ZendersCursor, ChangesThroughAnotherCursorAreSeenOnTheNextRead) {
    SelectBouquet(2);
    EXPECT_EQ(cursor_->RecordCount(), 2);
    auto other = OpenCursor(testing::ZendersDefinition());
    std::vector<std::byte> row = Buffer(*other);
    other->InitNewRecord(row.data());
    SetInteger(other->FieldDefs(), 1, 2, row.data());
    ASSERT_TRUE(other->InsertRecord(row.data()).Ok());
    EXPECT_EQ(cursor_->RecordCount(), 3);
}

// --- Order by Begin;End and natural order ---

TEST_F(CursorTest, TimersComeInBeginEndOrderAfterPostsAndEdits) {
    auto cursor = OpenCursor(testing::TimersDefinition());
    ASSERT_TRUE(cursor->SetIndexName("BeginEnd"));
    const TSQLMemFieldDefs& fields = cursor->FieldDefs();
    std::vector<std::byte> row = Buffer(*cursor);
    const double begins[] = {46003.5, 46001.25, 46001.25, 46002.0};
    const double ends[] = {46003.6, 46001.5, 46001.3, 46002.1};
    for (int i = 0; i < 4; ++i) {
        cursor->InitNewRecord(row.data());
        SetText(fields, 3, "T" + std::to_string(i), row.data());
        SetDateTime(fields, 1, begins[i], row.data());
        SetDateTime(fields, 2, ends[i], row.data());
        ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
    }
    const auto names = [&] {
        std::vector<std::string> result;
        std::vector<std::byte> buffer = Buffer(*cursor);
        cursor->First();
        while (cursor->GetRecord(grmNext, buffer.data()) == grrOK) {
            result.push_back(*GetText(fields, 3, buffer.data()));
        }
        return result;
    };
    EXPECT_EQ(names(), (std::vector<std::string>{"T2", "T1", "T3", "T0"}));

    // Move T2 later: after the post it is read at its new place.
    cursor->First();
    ASSERT_EQ(cursor->GetRecord(grmNext, row.data()), grrOK);
    const std::vector<std::byte> old_row = row;
    SetDateTime(fields, 1, 46004.0, row.data());
    SetDateTime(fields, 2, 46004.5, row.data());
    ASSERT_TRUE(cursor->UpdateRecord(old_row.data(), row.data()).Ok());
    EXPECT_EQ(cursor->RecNo(), 4);
    EXPECT_EQ(cursor->GetRecord(grmNext, row.data()), grrEOF);
    EXPECT_EQ(names(), (std::vector<std::string>{"T1", "T3", "T0", "T2"}));

    // Natural order is slot order.
    cursor->SetIndexName("");
    EXPECT_EQ(cursor->IndexObjectID(), -1);
    EXPECT_EQ(Scan(*cursor), (std::vector<int32_t>{0, 1, 2, 3}));
}

TEST_F(CursorTest, CaseInsensitiveAndTextOrderUseTheCollation) {
    TableDefinition def;
    def.name = "Names";
    def.fields = {Field("Name", ftString, 20)};
    TableIndexSpec exact = Index("Exact", "Name");
    TableIndexSpec folded = Index("Folded", "Name", false, true);
    folded.case_insensitive = true;
    def.indexes = {exact};
    auto cursor = OpenCursor(def);
    cursor->SetIndexName("Exact");
    std::vector<std::byte> row = Buffer(*cursor);
    for (const char* name : {"beta", "Alpha", "alpha", "Gamma"}) {
        cursor->InitNewRecord(row.data());
        SetText(cursor->FieldDefs(), 0, name, row.data());
        ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
    }
    std::vector<std::string> order;
    cursor->First();
    while (cursor->GetRecord(grmNext, row.data()) == grrOK) {
        order.push_back(*GetText(cursor->FieldDefs(), 0, row.data()));
    }
    // Letters before case: "alpha" and "Alpha" together, then beta, then Gamma.
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[2], "beta");
    EXPECT_EQ(order[3], "Gamma");

    def.name = "Folded";
    def.indexes = {folded};
    auto unique = OpenCursor(def);
    unique->InitNewRecord(row.data());
    SetText(unique->FieldDefs(), 0, "Alpha", row.data());
    ASSERT_TRUE(unique->InsertRecord(row.data()).Ok());
    unique->InitNewRecord(row.data());
    SetText(unique->FieldDefs(), 0, "ALPHA", row.data());
    const TSQLMemCursor::PostResult result = unique->InsertRecord(row.data());
    EXPECT_EQ(result.code, -8);
    EXPECT_EQ(result.message,
              "Constraint unique 'Folded' violated. Duplicate found. - Native error: 30320");
}

// --- Checks at post ---

TEST_F(CursorTest, PrimaryKeyDuplicateAndNullAreRefused) {
    auto cursor = OpenCursor(testing::BouquetDefinition());
    std::vector<std::byte> row = Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());  // Id 1
    cursor->InitNewRecord(row.data());                   // Id 2 ...
    SetInteger(cursor->FieldDefs(), 0, 1, row.data());   // ... set by hand to 1
    TSQLMemCursor::PostResult result = cursor->InsertRecord(row.data());
    EXPECT_EQ(result.code, -8);
    EXPECT_EQ(result.message,
              "Primary Key constraint 'Id' violated. Duplicate found. - Native error: 30319");
    EXPECT_EQ(cursor->RecordCount(), 1);

    SetFieldData(cursor->FieldDefs(), 0, nullptr, row.data());
    result = cursor->InsertRecord(row.data());
    EXPECT_EQ(result.code, -8);
    EXPECT_EQ(result.message,
              "Constraint 'Id' violated. Value in field 'Id' cannot be null - Native error: 30330");

    // Updating a row without changing its key is no duplicate of itself.
    cursor->First();
    ASSERT_EQ(cursor->GetRecord(grmNext, row.data()), grrOK);
    const std::vector<std::byte> old_row = row;
    SetText(cursor->FieldDefs(), 1, "Favourites", row.data());
    EXPECT_TRUE(cursor->UpdateRecord(old_row.data(), row.data()).Ok());
}

TEST_F(CursorTest, UniqueNotNullAndCheckConstraints) {
    TableDefinition def;
    def.name = "Stock";
    def.fields = {Field("Code", ftString, 8), Field("Name", ftString, 20, true),
                  Field("Qty", ftInteger)};
    def.fields[2].check_min = 1;
    def.fields[2].check_max = 99;
    def.indexes = {Index("CodeUnique", "Code", false, true)};
    auto cursor = OpenCursor(def);
    const TSQLMemFieldDefs& fields = cursor->FieldDefs();
    std::vector<std::byte> row = Buffer(*cursor);

    cursor->InitNewRecord(row.data());
    SetText(fields, 0, "A1", row.data());
    TSQLMemCursor::PostResult result = cursor->InsertRecord(row.data());
    EXPECT_EQ(result.message,
              "Constraint '$C_NotNull$Stock$Name' violated. Value in field 'Name' cannot be null"
              " - Native error: 30026");
    SetText(fields, 1, "Bolt", row.data());
    EXPECT_TRUE(cursor->InsertRecord(row.data()).Ok()) << "a null Qty passes its check";

    cursor->InitNewRecord(row.data());
    SetText(fields, 0, "A2", row.data());
    SetText(fields, 1, "Nut", row.data());
    SetInteger(fields, 2, 0, row.data());
    result = cursor->InsertRecord(row.data());
    EXPECT_EQ(result.message,
              "Constraint '$C_Check$Stock$Qty' violated. Value in field 'Qty' cannot be lower "
              "then '1' - Native error: 30029");
    SetInteger(fields, 2, 100, row.data());
    result = cursor->InsertRecord(row.data());
    EXPECT_EQ(result.message,
              "Constraint '$C_Check$Stock$Qty' violated. Value in field 'Qty' cannot be greater "
              "then '99' - Native error: 30030");
    SetInteger(fields, 2, 5, row.data());
    SetText(fields, 0, "A1", row.data());
    result = cursor->InsertRecord(row.data());
    EXPECT_EQ(result.message,
              "Constraint unique 'CodeUnique' violated. Duplicate found. - Native error: 30320");
    SetText(fields, 0, "A2", row.data());
    EXPECT_TRUE(cursor->InsertRecord(row.data()).Ok());

    // Two rows without a code: equal (null) keys are duplicates of a unique index.
    cursor->InitNewRecord(row.data());
    SetText(fields, 1, "Washer", row.data());
    EXPECT_TRUE(cursor->InsertRecord(row.data()).Ok());
    cursor->InitNewRecord(row.data());
    SetText(fields, 1, "Screw", row.data());
    EXPECT_EQ(cursor->InsertRecord(row.data()).code, -8);
}

TEST_F(CursorTest, LocateFindsTheFirstMatchOrKeepsThePosition) {
    auto cursor = OpenCursor(testing::BouquetDefinition());
    const TSQLMemFieldDefs& fields = cursor->FieldDefs();
    std::vector<std::byte> row = Buffer(*cursor);
    for (const char* name : {"Sport", "News", "Sport"}) {
        cursor->InitNewRecord(row.data());
        SetText(fields, 1, name, row.data());
        ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
    }
    cursor->First();
    ASSERT_EQ(cursor->GetRecord(grmNext, row.data()), grrOK);
    ASSERT_EQ(cursor->GetRecord(grmNext, row.data()), grrOK);
    const auto named = [&](const std::string& name) {
        return
            [&fields, name](const std::byte* stored) { return GetText(fields, 1, stored) == name; };
    };
    EXPECT_FALSE(cursor->Locate(named("Movies"), row.data()));
    EXPECT_EQ(cursor->RecNo(), 2);
    std::vector<std::byte> found = Buffer(*cursor);
    EXPECT_TRUE(cursor->Locate(named("Sport"), found.data()));
    EXPECT_EQ(cursor->RecNo(), 1);
    EXPECT_EQ(GetInteger(fields, 0, found.data()), 1);
}

TEST_F(CursorTest, EmptyTableAndFirstLastFlags) {
    auto cursor = OpenCursor(testing::BouquetDefinition());
    std::vector<std::byte> row = Buffer(*cursor);
    cursor->First();
    EXPECT_EQ(cursor->GetRecord(grmNext, row.data()), grrEOF);
    EXPECT_EQ(cursor->RecNo(), -1);
    EXPECT_EQ(cursor->RecordCount(), 0);
    EXPECT_FALSE(cursor->SetRecNo(1));
    cursor->InitNewRecord(row.data());
    ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
    cursor->First();
    EXPECT_EQ(cursor->GetRecord(grmPrior, row.data()), grrBOF);
    EXPECT_TRUE(cursor->AtBeginning());
    EXPECT_EQ(cursor->GetRecord(grmNext, row.data()), grrOK);
    EXPECT_EQ(cursor->GetRecord(grmNext, row.data()), grrEOF);
    EXPECT_TRUE(cursor->AtEnd());
    EXPECT_EQ(cursor->GetRecord(grmPrior, row.data()), grrOK);
    EXPECT_EQ(GetBookmarkFlag(row.data(), cursor->DataSize()), bfCurrent);
}

}  // namespace
}  // namespace tapir::engine
