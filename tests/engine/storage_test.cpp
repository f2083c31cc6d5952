#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>
#include <thread>

#include "engine/record/sqlmem_memory_manager.h"
#include "engine/table/sqlmem_memory_record_manager.h"
#include "engine/table/sqlmem_table_data.h"
#include "tests/engine/core_test_tables.h"

namespace tapir::engine {
namespace {

using testing::BouquetDefinition;
using testing::Field;
using testing::Index;
using testing::OpenCursor;

template <typename F>
void ExpectEngineError(F&& action, int code, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no error raised, expected " << message;
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), code);
        EXPECT_EQ(error.Message(), message);
    }
}

// --- Slot array ---

class SlotArray : public ::testing::Test {
  protected:
    static constexpr int32_t kRowSize = 5;
    std::vector<std::byte> Row(uint8_t tag) {
        return std::vector<std::byte>(kRowSize, std::byte{tag});
    }
    TSQLMemMemoryRecordManager records_{kRowSize, 1000};
};

TEST_F(SlotArray, FirstRowAndGrowthByStep) {
    EXPECT_EQ(records_.Capacity(), 0);
    EXPECT_EQ(records_.AddRecord(Row(1).data()), (TSQLMemRecordID{0, 0}));
    EXPECT_EQ(records_.LowestSlot(), 0);
    EXPECT_EQ(records_.HighestSlot(), 0);
    EXPECT_EQ(records_.Capacity(), 1000);
    for (int i = 1; i < 1000; ++i) {
        records_.AddRecord(Row(static_cast<uint8_t>(i)).data());
    }
    EXPECT_EQ(records_.Capacity(), 1000);
    EXPECT_EQ(records_.AddRecord(Row(7).data()).PageNo, 1000);
    EXPECT_EQ(records_.Capacity(), 2000);
    EXPECT_EQ(records_.RecordCount(), 1001);
    // Rows survive the move of the block.
    EXPECT_EQ(records_.RecordPointer({999, 0})[0], std::byte{999 % 256});
}

TEST_F(SlotArray, HighestSlotIsReusedButLowerHolesAreNot) {
    for (int i = 0; i < 3; ++i) {
        records_.AddRecord(Row(1).data());
    }
    EXPECT_TRUE(records_.DeleteRecord({2, 0}));
    EXPECT_EQ(records_.AddRecord(Row(2).data()).PageNo, 2);
    EXPECT_TRUE(records_.DeleteRecord({1, 0}));
    EXPECT_FALSE(records_.Dense());
    EXPECT_EQ(records_.AddRecord(Row(3).data()).PageNo, 3);
    EXPECT_FALSE(records_.DeleteRecord({1, 0}));  // already free
    EXPECT_FALSE(records_.DeleteRecord({9, 0}));  // beyond the highest
    EXPECT_FALSE(records_.UpdateRecord({1, 0}, Row(4).data()));
    EXPECT_TRUE(records_.UpdateRecord({3, 0}, Row(4).data()));

    for (int32_t slot : {0, 2, 3}) {
        EXPECT_TRUE(records_.DeleteRecord({slot, 0}));
    }
    EXPECT_EQ(records_.RecordCount(), 0);
    EXPECT_EQ(records_.LowestSlot(), 0);
    EXPECT_EQ(records_.HighestSlot(), 0);
    EXPECT_EQ(records_.AddRecord(Row(5).data()).PageNo, 0);
}

TEST_F(SlotArray, BoundsFollowDeletes) {
    for (int i = 0; i < 6; ++i) {
        records_.AddRecord(Row(1).data());
    }
    records_.DeleteRecord({0, 0});
    records_.DeleteRecord({1, 0});
    EXPECT_EQ(records_.LowestSlot(), 2);
    records_.DeleteRecord({5, 0});
    records_.DeleteRecord({4, 0});
    EXPECT_EQ(records_.HighestSlot(), 3);
}

TEST_F(SlotArray, NaturalOrderNavigation) {
    for (int i = 0; i < 5; ++i) {
        records_.AddRecord(Row(static_cast<uint8_t>(i)).data());
    }
    records_.DeleteRecord({1, 0});
    records_.DeleteRecord({3, 0});
    std::vector<int32_t> forward;
    TSQLMemNavigationInfo info;
    info.AtBeginning = true;
    info.GetRecordMode = grmNext;
    for (records_.GetRecord(info); info.GetRecordResult == grrOK; records_.GetRecord(info)) {
        forward.push_back(info.RecordID.PageNo);
    }
    EXPECT_EQ(info.GetRecordResult, grrEOF);
    EXPECT_EQ(forward, (std::vector<int32_t>{0, 2, 4}));

    std::vector<int32_t> backward;
    TSQLMemNavigationInfo back;
    back.AtEnd = true;
    back.GetRecordMode = grmPrior;
    for (records_.GetRecord(back); back.GetRecordResult == grrOK; records_.GetRecord(back)) {
        backward.push_back(back.RecordID.PageNo);
    }
    EXPECT_EQ(back.GetRecordResult, grrBOF);
    EXPECT_EQ(backward, (std::vector<int32_t>{4, 2, 0}));

    TSQLMemNavigationInfo current;
    current.GetRecordMode = grmCurrent;
    current.RecordID = {3, 0};
    records_.GetRecord(current);
    EXPECT_EQ(current.GetRecordResult, grrError);
}

TEST_F(SlotArray, RowNumberToSlotMatchesAnOracle) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    TSQLMemMemoryRecordManager records(4, 7);
    std::set<int32_t> used;
    for (int step = 0; step < 400; ++step) {
        if (used.empty() || random() % 3 != 0) {
            used.insert(records.AddRecord(Row(1).data()).PageNo);
        } else {
            auto it = used.begin();
            std::advance(it, random() % used.size());
            ASSERT_TRUE(records.DeleteRecord({*it, 0}));
            used.erase(it);
        }
        ASSERT_EQ(records.RecordCount(), static_cast<int64_t>(used.size()));
        int64_t n = 0;
        for (int32_t slot : used) {
            ASSERT_EQ(records.SlotOfRow(n), slot) << "row " << n;
            ASSERT_EQ(records.RowsUpTo(slot), n + 1);
            ++n;
        }
    }
    if (!records.Dense()) {
        ExpectEngineError([&] { records.SlotOfRow(static_cast<int64_t>(used.size()) + 20); }, 10457,
                          "Invalid bit no = " + std::to_string((records.Capacity() + 7) / 8 * 8) +
                              ", number of bits = " + std::to_string(records.Capacity()) +
                              " - Native error: 10457");
    }
}

TEST(SlotArrayCreation, RowSizeZeroIsRefused) {
    ExpectEngineError([] { TSQLMemMemoryRecordManager records(0, 10); }, 10017,
                      "Invalid record size = 0 - Native error: 10017");
}

// --- Memory manager ---

TEST(MemoryManager, CountsBlocksAndEnforcesItsLimit) {
    TSQLMemMemoryManager& manager = TSQLMemMemoryManager::Instance();
    const size_t before = manager.BytesInUse();
    {
        MemoryBlock block(100, true);
        EXPECT_EQ(manager.BytesInUse(), before + 100);
        EXPECT_EQ(block.Data()[99], std::byte{0});
        block.Resize(300);
        EXPECT_EQ(manager.BytesInUse(), before + 300);
        EXPECT_GE(manager.PeakBytes(), before + 300);
        EXPECT_EQ(TSQLMemMemoryManager::BlockSize(block.Data()), 300u);
    }
    EXPECT_EQ(manager.BytesInUse(), before);
    ExpectEngineError([&] { manager.Allocate(0); }, 30286,
                      "Cannot alocate 0 bytes - Native error: 30286");
    manager.SetLimit(before + 1000);
    ExpectEngineError([&] { MemoryBlock block(2000, false); }, 30004,
                      "Memory limit exceeded (Limit = " + std::to_string(before + 1000) +
                          " bytes) - Native error: 30004");
    manager.SetLimit(0);
    EXPECT_EQ(manager.BytesInUse(), before);
}

TEST(MemoryManagerDeathTest, OverrunIsCaughtAtFree) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            void* block = TSQLMemMemoryManager::Instance().Allocate(16);
            static_cast<char*>(block)[16] = 'x';  // one byte past the end
            TSQLMemMemoryManager::Instance().Free(block);
        },
        "");
}

// --- Tables, creation, sequences ---

class Storage : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }
    TSQLMemDatabaseData& Memory() { return *TSQLMemEngine::Instance().FindDatabase("MEMORY"); }
};

TEST_F(Storage, RegistryHoldsMemoryAndTemp) {
    EXPECT_NE(TSQLMemEngine::Instance().FindDatabase("MEMORY"), nullptr);
    EXPECT_NE(TSQLMemEngine::Instance().FindDatabase("temp"), nullptr);
    EXPECT_EQ(TSQLMemEngine::Instance().FindDatabase("OTHER"), nullptr);
    TSQLMemCursor::OpenParams params;
    params.database_name = "OTHER";
    params.definition = BouquetDefinition();
    ExpectEngineError([&] { TSQLMemCursor cursor(params); }, 11245,
                      "Cannot open database 'OTHER' - Native error: 11245");
    params.database_name = "TEMP";
    ExpectEngineError([&] { TSQLMemCursor cursor(params); }, 10028,
                      "Table not found, table name = Table326480888 - Native error: 10028");
    EXPECT_EQ(TSQLMemEngine::Instance().Session("").Name(), "Default");
}

TEST_F(Storage, CreationChecksInOrder) {
    struct Case {
        const char* what;
        std::function<void(TableDefinition&)> change;
        int code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no fields", [](TableDefinition& d) { d.fields.clear(); }, 10025,
         "Error creating table - no fields were specified"},
        {"unnamed field", [](TableDefinition& d) { d.fields[1].name.clear(); }, 11432,
         "Cannot create table 'T'. Unnamed fields are not allowed"},
        {"duplicate field",
         [](TableDefinition& d) { d.fields.push_back(Field("bouquet", ftInteger)); }, 11430,
         "Cannot create table 'T'. Duplicate field name 'BOUQUET'"},
        {"unnamed index", [](TableDefinition& d) { d.indexes.push_back(Index("", "Type")); }, 11433,
         "Cannot create table 'T'. Unnamed indexes are not allowed"},
        {"index without fields",
         [](TableDefinition& d) { d.indexes.push_back(Index("Empty", " ")); }, 11434,
         "Cannot create table 'T'. No fields defined in index 'Empty'"},
        {"duplicate index", [](TableDefinition& d) { d.indexes.push_back(Index("ID", "Type")); },
         11428, "Cannot create table 'T'. Duplicate index name 'ID'"},
        {"two primaries",
         [](TableDefinition& d) { d.indexes.push_back(Index("Second", "Type", true)); }, 11427,
         "Cannot create table 'T'. Error in indexes definition - multiple primary indexes are "
         "not allowed"},
        {"unknown type", [](TableDefinition& d) { d.fields[2].data_type = ftBCD; }, 30289,
         "Unknown DataType: '8'"},
        // Field checks come before index checks.
        {"field before index",
         [](TableDefinition& d) {
             d.fields[1].name.clear();
             d.indexes.push_back(Index("", "Type"));
         },
         11432, "Cannot create table 'T'. Unnamed fields are not allowed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TableDefinition def = BouquetDefinition("T");
        c.change(def);
        ExpectEngineError([&] { Memory().CreateTable(def); }, c.code,
                          c.message + " - Native error: " + std::to_string(c.code));
        EXPECT_FALSE(Memory().TableExists("T"));
    }
}

TEST_F(Storage, ObjectIdentifiersStartAtOne) {
    auto cursor = OpenCursor(BouquetDefinition());
    EXPECT_EQ(cursor->FieldDefs()[0].ObjectID, 1);
    EXPECT_EQ(cursor->FieldDefs()[2].ObjectID, 3);
    EXPECT_EQ(cursor->IndexDefs()[0].ObjectID, 4);
}

TEST_F(Storage, ConstraintsFollowColumnsThenIndexes) {
    TableDefinition def = testing::ZendersDefinition("Z");
    def.fields[2].required = true;
    def.indexes.push_back(Index("UniqueService", "Service", false, true));
    auto cursor = OpenCursor(def);
    const auto& constraints = cursor->ConstraintDefs();
    ASSERT_EQ(constraints.size(), 3u);
    EXPECT_EQ(constraints[0].Name, "$C_NotNull$Z$Zender");
    EXPECT_EQ(constraints[0].Kind, ConstraintKind::NotNull);
    EXPECT_EQ(constraints[1].Name, "ZendersIndex");
    EXPECT_EQ(constraints[1].Kind, ConstraintKind::PrimaryKey);
    EXPECT_EQ(constraints[2].Name, "UniqueService");
    EXPECT_EQ(constraints[2].Kind, ConstraintKind::Unique);
    const TableDefinition stored = cursor->StoredDefinition();
    EXPECT_TRUE(stored.fields[2].required);
    EXPECT_EQ(stored.fields[0].data_type, ftAutoInc);
    EXPECT_EQ(stored.indexes[0].fields, "Id;SubId");
    EXPECT_TRUE(stored.indexes[0].primary);
}

TEST_F(Storage, TableIsSharedByNameWithoutRegardToCase) {
    auto first = OpenCursor(BouquetDefinition("Table326480888"));
    std::vector<std::byte> row = testing::Buffer(*first);
    first->InitNewRecord(row.data());
    ASSERT_TRUE(first->InsertRecord(row.data()).Ok());

    TableDefinition other = testing::ZendersDefinition("TABLE326480888");
    auto second = OpenCursor(other);  // stored definitions win over these
    EXPECT_EQ(second->RecordCount(), 1);
    EXPECT_EQ(second->FieldDefs().Count(), 3);
    EXPECT_EQ(Memory().FindTable("table326480888")->Name(), "TABLE326480888");
    EXPECT_EQ(Memory().TableNames().size(), 1u);
}

TEST_F(Storage, AutoincSequenceNamingNumberingAndOverflow) {
    TableDefinition def = BouquetDefinition("Limited");
    def.fields[0].max_value = 3;
    auto cursor = OpenCursor(def);
    ASSERT_EQ(Memory().FindTable("Limited")->Sequences().size(), 1u);
    EXPECT_EQ(Memory().FindTable("Limited")->Sequences()[0].Name, "$S_Autoinc$Limited$Id");
    ExpectEngineError([&] { cursor->LastAutoincValue(0); }, 30012,
                      "No SequenceLastValue in session for sequence '$S_Autoinc$Limited$Id'. "
                      "Call GetNextVal first - Native error: 30012");
    std::vector<std::byte> row = testing::Buffer(*cursor);
    for (int64_t expected = 1; expected <= 3; ++expected) {
        cursor->InitNewRecord(row.data());
        EXPECT_EQ(GetInteger(cursor->FieldDefs(), 0, row.data()), expected);
        EXPECT_EQ(cursor->LastAutoincValue(0), expected);
    }
    ExpectEngineError([&] { cursor->InitNewRecord(row.data()); }, 30009,
                      "Sequence '$S_Autoinc$Limited$Id' overflow - Native error: 30009");
    cursor->SetAutoincValue(0, 1);
    cursor->InitNewRecord(row.data());
    EXPECT_EQ(GetInteger(cursor->FieldDefs(), 0, row.data()), 2);

    TableDefinition cycled = BouquetDefinition("Cycled");
    cycled.fields[0].max_value = 2;
    cycled.fields[0].min_value = 1;
    cycled.fields[0].cycled = true;
    auto cycling = OpenCursor(cycled);
    std::vector<int64_t> drawn;
    for (int i = 0; i < 4; ++i) {
        cycling->InitNewRecord(row.data());
        drawn.push_back(*GetInteger(cycling->FieldDefs(), 0, row.data()));
    }
    EXPECT_EQ(drawn, (std::vector<int64_t>{1, 2, 1, 2}));
}

TEST_F(Storage, LastValueIsPerConnection) {
    auto cursor = OpenCursor(BouquetDefinition());
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    TSQLMemCursor::OpenParams params;
    params.session_name = "Other";
    params.definition = BouquetDefinition();
    TSQLMemCursor other(params);
    EXPECT_NE(other.ConnectionID(), cursor->ConnectionID());
    EXPECT_THROW(other.LastAutoincValue(0), ESQLMemException);
    other.InitNewRecord(row.data());
    EXPECT_EQ(other.LastAutoincValue(0), 2);
    EXPECT_EQ(cursor->LastAutoincValue(0), 1);
}

TEST_F(Storage, NumbersAreNotReusedAfterDeleteOrEmpty) {
    {
        auto cursor = OpenCursor(BouquetDefinition());
        std::vector<std::byte> row = testing::Buffer(*cursor);
        for (int i = 0; i < 3; ++i) {
            cursor->InitNewRecord(row.data());
            ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
        }
        // row holds Id 3 in slot 2.
        EXPECT_EQ(GetRecordID(row.data(), cursor->DataSize()).PageNo, 2);
        ASSERT_TRUE(cursor->DeleteRecord(row.data()).Ok());
        cursor->InitNewRecord(row.data());
        EXPECT_EQ(GetInteger(cursor->FieldDefs(), 0, row.data()), 4);
        ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
        EXPECT_EQ(GetRecordID(row.data(), cursor->DataSize()).PageNo, 2);

        ExpectEngineError([&] { EmptyTable("MEMORY", "table326480888"); }, 10072,
                          "Cannot delete table 'Table326480888'. Table is open by another "
                          "dataset - Native error: 10072");
        EXPECT_EQ(cursor->RecordCount(), 3);
        ExpectEngineError([&] { DeleteTable("MEMORY", "Table326480888"); }, 20017,
                          "Cannot delete table 'Table326480888'. Table is open by another "
                          "dataset - Native error: 20017");
    }
    EmptyTable("MEMORY", "Table326480888");
    auto cursor = OpenCursor(BouquetDefinition());
    EXPECT_EQ(cursor->RecordCount(), 0);
    EXPECT_EQ(Memory().FindTable("Table326480888")->Records().Capacity(), 0);
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    EXPECT_EQ(GetInteger(cursor->FieldDefs(), 0, row.data()), 5);
    ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
    EXPECT_EQ(GetRecordID(row.data(), cursor->DataSize()).PageNo, 0);
    cursor.reset();
    DeleteTable("MEMORY", "Table326480888");
    EXPECT_FALSE(TableExists("MEMORY", "Table326480888"));
}

}  // namespace
}  // namespace tapir::engine

namespace tapir::engine {
namespace {

TEST_F(Storage, TemporaryTablesRefuseUpdateAndDelete) {
    TableDefinition def = testing::BouquetDefinition("Result");
    TSQLMemEngine::Instance().FindDatabase("TEMP")->CreateTable(def);
    TSQLMemCursor::OpenParams params;
    params.database_name = "TEMP";
    params.definition = def;
    TSQLMemCursor cursor(params);
    std::vector<std::byte> row = testing::Buffer(cursor);
    cursor.InitNewRecord(row.data());
    ASSERT_TRUE(cursor.InsertRecord(row.data()).Ok());
    const TSQLMemCursor::PostResult update = cursor.UpdateRecord(row.data(), row.data());
    EXPECT_EQ(update.code, -9);
    EXPECT_EQ(update.message, "Cannot update record in temporary mode");
    const TSQLMemCursor::PostResult removal = cursor.DeleteRecord(row.data());
    EXPECT_EQ(removal.code, -10);
    EXPECT_EQ(removal.message, "Cannot delete record in temporary mode");
    EXPECT_EQ(cursor.RecordCount(), 1);
}

TEST_F(Storage, CursorsOnSeveralThreadsShareOneTable) {
    constexpr int kRowsPerThread = 300;
    auto check = OpenCursor(testing::ZendersDefinition());
    check->SetIndexName("ZendersIndex");
    std::vector<std::thread> threads;
    for (int32_t bouquet = 1; bouquet <= 3; ++bouquet) {
        threads.emplace_back([bouquet] {
            auto cursor = OpenCursor(testing::ZendersDefinition());
            std::vector<std::byte> row = testing::Buffer(*cursor);
            for (int i = 0; i < kRowsPerThread; ++i) {
                cursor->InitNewRecord(row.data());
                SetInteger(cursor->FieldDefs(), 1, bouquet, row.data());
                if (!cursor->InsertRecord(row.data()).Ok()) {
                    ADD_FAILURE() << "insert refused";
                    return;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(check->RecordCount(), 3 * kRowsPerThread);
    // Every number drawn once, rows in (Id, SubId) order.
    std::vector<std::byte> row = testing::Buffer(*check);
    std::set<int64_t> sub_ids;
    int64_t last_id = 0;
    int64_t last_sub = 0;
    check->First();
    while (check->GetRecord(grmNext, row.data()) == grrOK) {
        const int64_t id = *GetInteger(check->FieldDefs(), 1, row.data());
        const int64_t sub = *GetInteger(check->FieldDefs(), 0, row.data());
        ASSERT_TRUE(id > last_id || (id == last_id && sub > last_sub));
        last_id = id;
        last_sub = sub;
        sub_ids.insert(sub);
    }
    EXPECT_EQ(sub_ids.size(), 3u * kRowsPerThread);
    EXPECT_EQ(*sub_ids.rbegin(), 3 * kRowsPerThread);
}

}  // namespace
}  // namespace tapir::engine
