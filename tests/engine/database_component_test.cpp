#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core_test_tables.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "table_fixtures.h"

namespace tapir::engine {
namespace {

using testing::BouquetDefinition;
using testing::Buffer;
using testing::DefineBouquet;
using testing::DefineZenders;

class DatabaseComponent : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }

    static TSQLMemSession& Default() { return TSQLMemEngine::Instance().Session(""); }
    static TSQLMemDatabaseData& MemoryData() {
        return *TSQLMemEngine::Instance().FindDatabase("MEMORY");
    }

    static void ExpectEngineError(const std::function<void()>& action, int code,
                                  const std::string& message) {
        try {
            action();
            ADD_FAILURE() << "no error raised, expected " << message;
        } catch (const ESQLMemException& error) {
            EXPECT_EQ(error.Code(), code);
            EXPECT_EQ(error.Message(), message);
        }
    }

    static void AddBouquet(TSQLMemTable& bouquet, const std::string& name) {
        bouquet.Append();
        bouquet.FieldByName("Bouquet").SetAsString(name);
        bouquet.FieldByName("Type").SetAsInteger(1);
        bouquet.Post();
    }
};

TEST_F(DatabaseComponent, OpenTablesRegisterWithTheImplicitMemoryComponent) {
    ASSERT_EQ(Default().FindDatabase("MEMORY"), nullptr);
    TSQLMemTable bouquet;
    TSQLMemTable zenders;
    DefineBouquet(bouquet, "Bouquet");
    DefineZenders(zenders, "Zenders");
    EXPECT_EQ(bouquet.Database(), nullptr);

    bouquet.Open();
    TSQLMemDatabase* memory = bouquet.Database();
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(Default().FindDatabase("memory"), memory);
    EXPECT_EQ(Default().Databases(), std::vector<TSQLMemDatabase*>{memory});
    EXPECT_EQ(&memory->Session(), &Default());
    EXPECT_EQ(memory->DatabaseName(), "MEMORY");
    EXPECT_TRUE(memory->Implicit());
    EXPECT_TRUE(memory->KeepConnection());
    EXPECT_FALSE(memory->ReadOnly());
    EXPECT_FALSE(memory->Exclusive());
    EXPECT_TRUE(memory->Connected());
    EXPECT_EQ(memory->DataSetCount(), 1);
    EXPECT_EQ(memory->DataSets(), std::vector<TSQLMemDataSet*>{&bouquet});
    EXPECT_EQ(MemoryData().ConnectionCount(), 1);

    zenders.Open();
    EXPECT_EQ(zenders.Database(), memory);
    EXPECT_EQ(memory->DataSetCount(), 2);
    EXPECT_EQ(memory->DataSets(), (std::vector<TSQLMemDataSet*>{&bouquet, &zenders}));

    bouquet.Close();
    EXPECT_EQ(bouquet.Database(), nullptr);
    EXPECT_EQ(memory->DataSetCount(), 1);
    EXPECT_EQ(memory->DataSets(), std::vector<TSQLMemDataSet*>{&zenders});

    zenders.Close();
    EXPECT_EQ(memory->DataSetCount(), 0);
    EXPECT_TRUE(memory->DataSets().empty());
    EXPECT_TRUE(memory->Connected());
    EXPECT_EQ(MemoryData().ConnectionCount(), 1);

    zenders.Open();
    EXPECT_EQ(zenders.Database(), memory);
    EXPECT_EQ(memory->DataSetCount(), 1);
    EXPECT_EQ(Default().Databases().size(), 1u);
}

TEST_F(DatabaseComponent, RowsAndSequenceValuesOutliveTheLastUser) {
    auto bouquet = std::make_unique<TSQLMemTable>();
    DefineBouquet(*bouquet, "Bouquet");
    bouquet->Open();
    TSQLMemDatabase* memory = bouquet->Database();
    AddBouquet(*bouquet, "Radio");
    AddBouquet(*bouquet, "TV");
    bouquet.reset();  // destroying an open table closes it
    EXPECT_EQ(memory->DataSetCount(), 0);

    TSQLMemTable again;
    DefineBouquet(again, "BOUQUET");
    again.Open();
    EXPECT_EQ(again.Database(), memory);
    EXPECT_EQ(again.RecordCount(), 2);
    // The connection stayed, so it still knows the number it drew last.
    TSQLMemCursor::OpenParams params;
    params.definition = BouquetDefinition("Bouquet");
    TSQLMemCursor cursor(params);
    EXPECT_EQ(cursor.LastAutoincValue(0), 2);
    EXPECT_EQ(memory->DataSetCount(), 2);
    EXPECT_EQ(memory->DataSets(), std::vector<TSQLMemDataSet*>{&again});
}

TEST_F(DatabaseComponent, WithoutKeepConnectionTheLastUserDisconnects) {
    TSQLMemSession& reports = TSQLMemEngine::Instance().Session("Reports");
    reports.SetKeepConnections(false);
    TSQLMemCursor::OpenParams params;
    params.session_name = "Reports";
    params.definition = BouquetDefinition("Bouquet");

    auto cursor = std::make_unique<TSQLMemCursor>(params);
    TSQLMemDatabase* memory = reports.FindDatabase("MEMORY");
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(&cursor->DatabaseComponent(), memory);
    EXPECT_TRUE(memory->Implicit());
    EXPECT_FALSE(memory->KeepConnection());
    EXPECT_EQ(cursor->ConnectionID(), reports.ConnectionID());
    EXPECT_NE(reports.ConnectionID(), Default().ConnectionID());
    EXPECT_EQ(MemoryData().ConnectionCount(), 1);
    std::vector<std::byte> row = Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
    EXPECT_EQ(cursor->LastAutoincValue(0), 1);

    cursor.reset();
    EXPECT_EQ(memory->DataSetCount(), 0);
    EXPECT_FALSE(memory->Connected());
    EXPECT_EQ(memory->Handle(), nullptr);
    EXPECT_EQ(MemoryData().ConnectionCount(), 0);

    // The rows belong to the table, not to the connection; the drawn values went with it.
    cursor = std::make_unique<TSQLMemCursor>(params);
    EXPECT_EQ(&cursor->DatabaseComponent(), memory);
    EXPECT_TRUE(memory->Connected());
    EXPECT_EQ(cursor->RecordCount(), 1);
    ExpectEngineError([&] { cursor->LastAutoincValue(0); }, 30012,
                      "No SequenceLastValue in session for sequence '$S_Autoinc$Bouquet$Id'. "
                      "Call GetNextVal first - Native error: 30012");
}

TEST_F(DatabaseComponent, FailedOpeningsLeaveNoUserBehind) {
    TSQLMemCursor::OpenParams params;
    params.database_name = "Nowhere";
    params.definition = BouquetDefinition("Bouquet");
    ExpectEngineError([&] { TSQLMemCursor cursor(params); }, 11245,
                      "Cannot open database 'Nowhere' - Native error: 11245");
    EXPECT_EQ(Default().FindDatabase("Nowhere"), nullptr);

    // Opening the component itself fails the same way and leaves it unconnected.
    TSQLMemDatabase& nowhere = Default().Database("Nowhere");
    ExpectEngineError([&] { nowhere.Open(); }, 11245,
                      "Cannot open database 'Nowhere' - Native error: 11245");
    EXPECT_FALSE(nowhere.Connected());

    // The database joins, the table fails: the component keeps no user for it.
    params.database_name = "MEMORY";
    params.definition.fields.clear();
    EXPECT_THROW(TSQLMemCursor cursor(params), ESQLMemException);
    TSQLMemDatabase* memory = Default().FindDatabase("MEMORY");
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(memory->DataSetCount(), 0);
    EXPECT_TRUE(memory->Connected());
    params.database_name = "TEMP";
    EXPECT_THROW(TSQLMemCursor cursor(params), ESQLMemException);
    EXPECT_EQ(Default().FindDatabase("temp")->DataSetCount(), 0);
}

}  // namespace
}  // namespace tapir::engine
