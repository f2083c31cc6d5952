// Programs that give the engine definitions and values the timer editor never does, each
// written as the user program that once broke it.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "engine/record/record_buffer.h"
#include "engine/table/data_source.h"
#include "engine/record/sqlmem_memory_manager.h"
#include "engine/table/sqlmem_table.h"
#include "tests/engine/core_test_tables.h"
#include "tests/engine/table_fixtures.h"

namespace tapir::engine {
namespace {

using testing::Field;
using testing::Index;
using testing::OpenCursor;

class Hardening : public ::testing::Test {
  protected:
    void SetUp() override {
        TSQLMemEngine::Instance().Reset();
        TSQLMemMemoryManager::Instance().SetLimit(0);
    }
    void TearDown() override {
        TSQLMemMemoryManager::Instance().SetLimit(0);
        TSQLMemEngine::Instance().Reset();
    }
};

// Runs `action` and returns the error it raised; fails the test when none.
tapir::Exception Raised(const std::function<void()>& action) {
    try {
        action();
    } catch (const tapir::Exception& error) {
        return error;
    }
    ADD_FAILURE() << "no error raised";
    return tapir::Exception("none", "none");
}

ESQLMemException RaisedEngine(const std::function<void()>& action) {
    try {
        action();
    } catch (const ESQLMemException& error) {
        return error;
    }
    ADD_FAILURE() << "no error raised";
    return ESQLMemException(0, "none");
}

TableDefinition OneColumn(TFieldType type, int32_t size, std::string name = "C") {
    TableDefinition def;
    def.name = "T";
    def.fields = {Field(std::move(name), type, size)};
    return def;
}

// --- Definitions are checked before anything is allocated ---

TEST_F(Hardening, UnusableFieldSizesAreRefusedAtCreation) {
    for (const TFieldType type : {ftString, ftFixedChar, ftWideString, ftBytes, ftVarBytes}) {
        for (const int32_t size : {0, -5, std::numeric_limits<int32_t>::max()}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(type)) + " size " + std::to_string(size));
            const ESQLMemException error = RaisedEngine([&] { OpenCursor(OneColumn(type, size)); });
            EXPECT_EQ(error.Code(), 11437);
            EXPECT_EQ(error.Message(), "Cannot create table 'T'. Invalid size " +
                                           std::to_string(size) +
                                           " of field 'C' - Native error: 11437");
            EXPECT_FALSE(TableExists("MEMORY", "T"));
        }
    }
    // A size does not matter for a fixed-width type.
    EXPECT_NO_THROW(OpenCursor(OneColumn(ftInteger, -1)));
}

TEST_F(Hardening, RowsPastTheRecordSizeLimitAreRefusedWithTheRangeError) {
    // bitmap 1 + 16381 * 4 + 1 + 7 = 65533: the largest text column that fits.
    TableDefinition fits = OneColumn(ftString, 16381);
    fits.name = "Fits";
    EXPECT_NO_THROW(OpenCursor(fits));
    TableDefinition too_wide = OneColumn(ftString, 16382);
    const tapir::Exception error = Raised([&] { OpenCursor(too_wide); });
    EXPECT_EQ(error.KindName(), "ERangeError");
    EXPECT_EQ(error.Message(), "Range check error");

    // Several columns that fit one by one but not together.
    TableDefinition together;
    together.name = "Together";
    together.fields = {Field("A", ftBytes, 40000), Field("B", ftBytes, 30000)};
    EXPECT_EQ(Raised([&] { OpenCursor(together); }).KindName(), "ERangeError");

    // Through the table component: the open fails and leaves it closed.
    TSQLMemTable table;
    table.SetTableName("Component");
    table.FieldDefs() = {{"Huge", ftString, 20000, false}};
    EXPECT_EQ(Raised([&] { table.Open(); }).KindName(), "ERangeError");
    EXPECT_FALSE(table.Active());
}

TEST_F(Hardening, NamesLongerThan255CharactersAreRefusedNotCut) {
    const std::string long_name(256, 'N');
    const ESQLMemException field_error =
        RaisedEngine([&] { OpenCursor(OneColumn(ftInteger, 0, long_name)); });
    EXPECT_EQ(field_error.Code(), 11436);

    TableDefinition indexed = OneColumn(ftInteger, 0, long_name.substr(0, 255));
    indexed.indexes = {Index(long_name, long_name.substr(0, 255))};
    EXPECT_EQ(RaisedEngine([&] { OpenCursor(indexed); }).Code(), 11436);

    // 255 characters of two bytes each are a valid name, found again by its index.
    std::string cyrillic;
    for (int i = 0; i < 255; ++i) {
        cyrillic += "\xD0\x96";
    }
    TableDefinition accepted = OneColumn(ftInteger, 0, cyrillic);
    accepted.indexes = {Index("ByC", cyrillic)};
    auto cursor = OpenCursor(accepted);
    ASSERT_EQ(cursor->FieldDefs()[0].Name, cyrillic);
    ASSERT_TRUE(cursor->SetIndexName("ByC"));
    EXPECT_EQ(cursor->IndexFieldNos(), std::vector<int32_t>{0});
}

// --- Values out of range are refused, not wrapped ---

TEST_F(Hardening, DateTimesOutsideTheStoredRangeAreRefused) {
    TSQLMemTable timers;
    testing::DefineTimers(timers, "Timers");
    timers.Open();
    timers.Append();
    TField& begin = timers.FieldByName("Begin");
    begin.SetAsDateTime(45000.5);
    for (const double bad :
         {std::nan(""), std::numeric_limits<double>::infinity(),
          -std::numeric_limits<double>::infinity(), 2958466.0, 1e300, -693594.0, -1e300}) {
        SCOPED_TRACE(bad);
        const ESQLMemException error = RaisedEngine([&] { begin.SetAsDateTime(bad); });
        EXPECT_EQ(error.Code(), 30051);
        EXPECT_DOUBLE_EQ(begin.AsDateTime(), 45000.5);  // the value before stays
    }
    // The first and last representable moments are kept.
    begin.SetAsDateTime(2958465.99998);  // 31 December 9999, 23:59:58
    EXPECT_NEAR(begin.AsDateTime(), 2958465.99998, 1e-8);
    begin.SetAsDateTime(-693593.0);  // 1 January of year 1
    EXPECT_DOUBLE_EQ(begin.AsDateTime(), -693593.0);
}

TEST_F(Hardening, ATimeThatRoundsToMidnightIsTheNextDay) {
    const double almost = 45000.0 + (kMillisecondsPerDay - 0.4) / kMillisecondsPerDay;
    const StoredDateTime stored = DateTimeToStored(almost);
    EXPECT_EQ(stored.date, 45001 + kDateDelta);
    EXPECT_EQ(stored.time, 0);
    EXPECT_DOUBLE_EQ(StoredToDateTime(stored), 45001.0);
    // Before day 0 the carry also goes to the following midnight.
    const StoredDateTime before =
        DateTimeToStored(-1.0 - (kMillisecondsPerDay - 0.4) / kMillisecondsPerDay);
    EXPECT_EQ(before.date, kDateDelta);
    EXPECT_EQ(before.time, 0);
    // Sorting sees the carried value as the next day.
    auto cursor = OpenCursor(testing::TimersDefinition());
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    SetDateTime(cursor->FieldDefs(), 1, almost, row.data());
    EXPECT_DOUBLE_EQ(*GetDateTime(cursor->FieldDefs(), 1, row.data()), 45001.0);
}

TEST_F(Hardening, NarrowAutoincSequencesRaiseOverflowInsteadOfWrapping) {
    // AUTOINC is a 32-bit column; its sequence's own maximum is far beyond that.
    TableDefinition def;
    def.name = "Counter";
    def.fields = {Field("Id", ftAutoInc), Field("Text", ftString, 10)};
    auto cursor = OpenCursor(def);
    cursor->SetAutoincValue(0, std::numeric_limits<int32_t>::max() - 1);
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    EXPECT_EQ(*GetInteger(cursor->FieldDefs(), 0, row.data()), std::numeric_limits<int32_t>::max());
    const ESQLMemException error = RaisedEngine([&] { cursor->InitNewRecord(row.data()); });
    EXPECT_EQ(error.Code(), 30009);
    EXPECT_EQ(error.Message(), "Sequence '$S_Autoinc$Counter$Id' overflow - Native error: 30009");
}

TEST_F(Hardening, CycledSequencesRestartAtTheirMinimum) {
    TableDefinition def;
    def.name = "Cycle";
    def.fields = {Field("Id", ftAutoInc)};
    def.fields[0].cycled = true;
    def.fields[0].min_value = 5;
    auto cursor = OpenCursor(def);
    cursor->SetAutoincValue(0, std::numeric_limits<int32_t>::max());
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    EXPECT_EQ(*GetInteger(cursor->FieldDefs(), 0, row.data()), 5);
    cursor->InitNewRecord(row.data());
    EXPECT_EQ(*GetInteger(cursor->FieldDefs(), 0, row.data()), 6);
}

// --- A stale position never touches another row ---

void AddBouquet(TSQLMemTable& bouquet, const std::string& name) {
    bouquet.Append();
    bouquet.FieldByName("Bouquet").SetAsString(name);
    bouquet.FieldByName("Type").SetAsInteger(1);
    bouquet.Post();
}

std::vector<std::string> Names(TSQLMemTable& bouquet) {
    std::vector<std::string> names;
    for (bouquet.First(); !bouquet.Eof(); bouquet.Next()) {
        names.push_back(bouquet.FieldByName("Bouquet").AsString());
    }
    return names;
}

// Two windows on one table: the second deletes the last row and appends one, which takes
// the freed slot. The first still shows the deleted row; its edit and its delete must not
// reach the new row.
TEST_F(Hardening, AComponentOnADeletedRowNeverChangesTheRowThatTookItsSlot) {
    TSQLMemTable first;
    testing::DefineBouquet(first, "Shared");
    first.Open();
    AddBouquet(first, "a");
    AddBouquet(first, "b");
    AddBouquet(first, "c");
    first.Last();
    ASSERT_EQ(first.FieldByName("Bouquet").AsString(), "c");

    TSQLMemTable second;
    testing::DefineBouquet(second, "Shared");
    second.Open();
    second.Last();
    second.Delete();
    AddBouquet(second, "new");

    const tapir::Exception delete_error = Raised([&] { first.Delete(); });
    EXPECT_EQ(delete_error.Message(), "Record was changed or deleted by another dataset");
    first.Edit();
    first.FieldByName("Bouquet").SetAsString("edited");
    const tapir::Exception post_error = Raised([&] { first.Post(); });
    EXPECT_EQ(post_error.Message(), "Record was changed or deleted by another dataset");
    EXPECT_EQ(first.State(), dsEdit);  // the user may still cancel
    first.Cancel();

    EXPECT_EQ(Names(second), (std::vector<std::string>{"a", "b", "new"}));
    // Once the first window reads the rows again, it works on them as they are.
    EXPECT_EQ(Names(first), (std::vector<std::string>{"a", "b", "new"}));
    first.Last();
    first.Delete();
    EXPECT_EQ(Names(second), (std::vector<std::string>{"a", "b"}));
}

// A window walking the rows in channel order while another deletes the row it stands on
// and appends one that takes the freed slot with a name from the other end: the walk goes
// on from where the deleted row stood, never from the new row's place.
void AddTimer(TSQLMemTable& timers, const std::string& zender) {
    timers.Append();
    timers.FieldByName("Zender").SetAsString(zender);
    timers.FieldByName("Begin").SetAsDateTime(45000.0);
    timers.FieldByName("End").SetAsDateTime(45000.5);
    timers.Post();
}

std::string Zender(TSQLMemTable& timers) { return timers.FieldByName("Zender").AsString(); }

TEST_F(Hardening, AStepFromADeletedRowGoesOnInOrder) {
    TSQLMemTable walker;
    testing::DefineTimers(walker, "Walk");
    walker.Open();
    for (const char* name : {"b", "d", "f", "h"}) {
        AddTimer(walker, name);
    }
    walker.SetIndexFieldNames("Zender");
    walker.First();
    walker.Next();
    ASSERT_EQ(Zender(walker), "d");

    TSQLMemTable other;
    testing::DefineTimers(other, "Walk");
    other.Open();
    other.SetIndexFieldNames("Zender");
    ASSERT_TRUE(other.Locate("Zender", {"d"}));
    other.Delete();
    AddTimer(other, "a");  // takes the slot "d" had

    walker.Next();
    EXPECT_EQ(Zender(walker), "f");
    walker.Next();
    EXPECT_EQ(Zender(walker), "h");

    // Backwards the same: from a deleted "f", Prior lands on the row before its place.
    walker.Prior();
    ASSERT_EQ(Zender(walker), "f");
    ASSERT_TRUE(other.Locate("Zender", {"f"}));
    other.Delete();
    AddTimer(other, "z");
    walker.Prior();
    EXPECT_EQ(Zender(walker), "b");
}

TEST_F(Hardening, ABookmarkOfADeletedRowIsInvalidEvenWhenItsSlotIsTaken) {
    TSQLMemTable bouquet;
    testing::DefineBouquet(bouquet, "Marks");
    bouquet.Open();
    AddBouquet(bouquet, "a");
    AddBouquet(bouquet, "b");
    const TSQLMemBookmark mark = bouquet.GetBookmark();
    bouquet.Delete();
    AddBouquet(bouquet, "took the slot");
    ASSERT_EQ(bouquet.GetBookmark().RecordID, mark.RecordID);

    EXPECT_FALSE(bouquet.BookmarkValid(mark));
    const tapir::Exception error = Raised([&] { bouquet.GotoBookmark(mark); });
    EXPECT_EQ(error.Message(), "Record not found");
    EXPECT_TRUE(bouquet.BookmarkValid(bouquet.GetBookmark()));
    // A made-up identifier with a part other than 0 names no row of a memory table.
    EXPECT_FALSE(bouquet.BookmarkValid({{mark.RecordID.PageNo, 1}, mark.Generation}));
}

TEST_F(Hardening, ACursorOnADeletedRowReadsNoOtherRowAsItsOwn) {
    auto reader = OpenCursor(testing::BouquetDefinition("Rows"));
    auto writer = OpenCursor(testing::BouquetDefinition("Rows"));
    std::vector<std::byte> row = testing::Buffer(*writer);
    for (const char* name : {"a", "b"}) {
        writer->InitNewRecord(row.data());
        SetText(writer->FieldDefs(), 1, name, row.data());
        ASSERT_TRUE(writer->InsertRecord(row.data()).Ok());
    }
    std::vector<std::byte> seen = testing::Buffer(*reader);
    reader->Last();
    ASSERT_EQ(reader->GetRecord(grmPrior, seen.data()), grrOK);
    const TSQLMemRecordID id = reader->CurrentRecordID();

    ASSERT_TRUE(writer->DeleteRecord(row.data()).Ok());  // "b", the row the reader is on
    writer->InitNewRecord(row.data());
    SetText(writer->FieldDefs(), 1, "c", row.data());
    ASSERT_TRUE(writer->InsertRecord(row.data()).Ok());
    ASSERT_EQ(GetRecordID(row.data(), writer->DataSize()), id);

    EXPECT_EQ(reader->GetRecord(grmCurrent, seen.data()), grrError);
    EXPECT_EQ(GetText(reader->FieldDefs(), 1, seen.data()), "b");  // buffer untouched
    const TSQLMemCursor::PostResult update = reader->UpdateRecord(seen.data(), seen.data());
    EXPECT_EQ(update.code, -4);
    EXPECT_EQ(reader->DeleteRecord(seen.data()).code, -4);
    EXPECT_EQ(writer->RecordCount(), 2);
}

// --- Errors never escape a destructor; a close is all or nothing ---

// A bouquet with one channel being appended that cannot be posted (its required name is
// missing), linked to its master through a data source.
struct MasterDetail {
    std::unique_ptr<TSQLMemTable> bouquet = std::make_unique<TSQLMemTable>("Bouquet");
    std::unique_ptr<TDataSource> source = std::make_unique<TDataSource>("Ds_Bouquet");
    std::unique_ptr<TSQLMemTable> zenders = std::make_unique<TSQLMemTable>("Zenders");

    MasterDetail() {
        testing::DefineBouquet(*bouquet, "MdBouquet");
        source->SetDataSet(bouquet.get());
        testing::DefineZenders(*zenders, "MdZenders");
        zenders->FieldDefs()[2].Required = true;  // Zender
        zenders->SetMasterSource(source.get());
        zenders->SetMasterFields("Id");
        bouquet->Open();
        zenders->Open();
        AddBouquet(*bouquet, "b1");
        zenders->Append();
        zenders->FieldByName("Service").SetAsString("1:0:1");
        EXPECT_THROW(zenders->Post(), EDatabaseError);
        EXPECT_EQ(zenders->State(), dsInsert);
    }
};

TEST_F(Hardening, DestroyingAMasterDiscardsADetailRowThatCannotBePosted) {
    MasterDetail link;
    link.bouquet.reset();  // used to end the process: the detail tried to post
    EXPECT_EQ(link.zenders->State(), dsBrowse);
    EXPECT_EQ(link.zenders->RecordCount(), 0);
    link.zenders->SetMasterSource(nullptr);
    EXPECT_EQ(link.zenders->RecordCount(), 0) << "the row was never posted";
}

TEST_F(Hardening, ClosingTheMasterOrDroppingItsSourceDiscardsTheDetailRow) {
    {
        MasterDetail link;
        link.bouquet->Close();
        EXPECT_EQ(link.zenders->State(), dsBrowse);
    }
    {
        MasterDetail link;
        link.source.reset();
        EXPECT_EQ(link.zenders->State(), dsBrowse);
        EXPECT_EQ(link.zenders->RecordCount(), 0);
    }
    {
        MasterDetail link;
        link.zenders.reset();  // the detail itself, while inserting
        EXPECT_TRUE(link.bouquet->Active());
    }
    TSQLMemTable zenders;
    testing::DefineZenders(zenders, "MdZenders");
    zenders.Open();
    EXPECT_EQ(zenders.RecordCount(), 0) << "no pending row was ever posted";
}

// A control that cannot take the closing of its dataset.
class RefusingLink : public TDataLink {
  public:
    void ActiveChanged() override {
        if (!Active()) {
            throw EDatabaseError("control refused");
        }
    }
};

TEST_F(Hardening, AFailedCloseLeavesTheTableFullyClosed) {
    TSQLMemTable bouquet;
    testing::DefineBouquet(bouquet, "Closing");
    TDataSource source("Ds");
    source.SetDataSet(&bouquet);
    bouquet.Open();
    AddBouquet(bouquet, "a");
    RefusingLink link;
    link.SetDataSource(&source);
    const tapir::Exception error = Raised([&] { bouquet.Close(); });
    EXPECT_EQ(error.Message(), "control refused");
    EXPECT_FALSE(bouquet.Active());
    EXPECT_EQ(bouquet.State(), dsInactive);
    // No cursor is left registered: the table can be emptied and opened again.
    EXPECT_NO_THROW(bouquet.EmptyTable());
    link.SetDataSource(nullptr);
    bouquet.Open();
    EXPECT_EQ(bouquet.RecordCount(), 0);

    // BeforeClose refusing leaves the table open and usable.
    bouquet.BeforeClose = [](TSQLMemDataSet&) { throw EDatabaseError("not now"); };
    EXPECT_THROW(bouquet.Close(), EDatabaseError);
    EXPECT_TRUE(bouquet.Active());
    AddBouquet(bouquet, "still open");
    EXPECT_EQ(bouquet.RecordCount(), 1);
    bouquet.BeforeClose = nullptr;
}

// --- A failed order change changes nothing ---

TEST_F(Hardening, AnOrderChangeThatCannotPostThePendingRowKeepsTheOldOrder) {
    TSQLMemTable timers;
    testing::DefineTimers(timers, "Order");
    timers.FieldDefs()[3].Required = true;  // Name
    timers.Open();
    for (const auto& [zender, begin] : {std::pair{"Z1", 2.0}, std::pair{"A2", 1.0}}) {
        timers.Append();
        timers.FieldByName("Zender").SetAsString(zender);
        timers.FieldByName("Name").SetAsString("n");
        timers.FieldByName("Begin").SetAsDateTime(begin);
        timers.FieldByName("End").SetAsDateTime(begin + 0.1);
        timers.Post();
    }
    timers.First();
    timers.Edit();
    timers.FieldByName("Name").Clear();
    EXPECT_THROW(timers.SetIndexFieldNames("Zender"), EDatabaseError);
    EXPECT_EQ(timers.IndexFieldNames(), "Begin;End");
    EXPECT_EQ(timers.State(), dsEdit);
    EXPECT_THROW(timers.SetIndexName("testje"), EDatabaseError);
    EXPECT_EQ(timers.IndexName(), "");
    EXPECT_EQ(timers.IndexFieldNames(), "Begin;End");
    timers.Cancel();
    std::vector<std::string> order;
    for (timers.First(); !timers.Eof(); timers.Next()) {
        order.push_back(timers.FieldByName("Zender").AsString());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"A2", "Z1"})) << "still in Begin;End order";
}

// --- Text rules are consistent ---

TEST_F(Hardening, LocateIgnoresCaseInEveryScript) {
    TSQLMemTable zenders;
    testing::DefineZenders(zenders, "Locate");
    zenders.Open();
    const std::vector<std::string> names = {
        "\xD0\x9F\xD0\x95\xD0\xA0\xD0\x92\xD0\xAB\xD0\x99",  // ПЕРВЫЙ
        "\xCE\x95\xCE\xA1\xCE\xA4",                          // ΕΡΤ
        "Stra\xC3\x9F"
        "e",  // Straße
        "\xC3\x89"
        "cole"};  // École
    int id = 1;
    for (const std::string& name : names) {
        zenders.Append();
        zenders.FieldByName("Id").SetAsInteger(id++);
        zenders.FieldByName("Zender").SetAsString(name);
        zenders.Post();
    }
    const TSQLMemDataSet::LocateOptions ignore_case{true, false};
    const TSQLMemDataSet::LocateOptions ignore_case_partial{true, true};
    struct Case {
        std::string wanted;
        TSQLMemDataSet::LocateOptions options;
        int id;
    };
    const Case cases[] = {
        {"\xD0\xBF\xD0\xB5\xD1\x80\xD0\xB2\xD1\x8B\xD0\xB9", ignore_case, 1},  // первый
        {"\xCE\xB5\xCF\x81\xCF\x84", ignore_case, 2},                          // ερτ
        {"STRASSE", ignore_case, 3},                                           // full folding
        {"\xC3\xA9"
         "COLE",
         ignore_case, 4},                                      // éCOLE
        {"\xD0\xBF\xD0\xB5\xD1\x80", ignore_case_partial, 1},  // пер...
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wanted);
        zenders.First();
        ASSERT_TRUE(zenders.Locate("Zender", {c.wanted}, c.options));
        EXPECT_EQ(zenders.FieldByName("Id").AsInteger(), c.id);
    }
    // Without the option, case still counts.
    EXPECT_FALSE(zenders.Locate("Zender", {"\xCE\xB5\xCF\x81\xCF\x84"}));
}

TEST_F(Hardening, LocateComparesNumbersAsNumbers) {
    TSQLMemTable zenders;
    testing::DefineZenders(zenders, "Numbers");
    zenders.Open();
    for (const int id : {7, 70}) {
        zenders.Append();
        zenders.FieldByName("Id").SetAsInteger(id);
        zenders.FieldByName("Zender").SetAsString("z" + std::to_string(id));
        zenders.Post();
    }
    for (const std::string wanted : {"7", "07", "+7", "7.0"}) {
        SCOPED_TRACE(wanted);
        zenders.Last();
        ASSERT_TRUE(zenders.Locate("Id", {wanted}));
        EXPECT_EQ(zenders.FieldByName("Zender").AsString(), "z7");
    }
    EXPECT_FALSE(zenders.Locate("Id", {"7x"}));
    EXPECT_FALSE(zenders.Locate("Id", {"7.5"}));
}

// --- One memory manager ---

TEST_F(Hardening, RowsAndIndexEntriesCountAgainstTheMemoryLimit) {
    TSQLMemMemoryManager& memory = TSQLMemMemoryManager::Instance();
    TSQLMemTable timers;
    testing::DefineTimers(timers, "Limited");
    timers.SetMemoryTableAllocBy(10);
    timers.Open();
    const size_t before = memory.BytesInUse();
    auto append = [&](int i) {
        timers.Append();
        timers.FieldByName("Zender").SetAsString("Z" + std::to_string(i % 7));
        timers.FieldByName("Begin").SetAsDateTime(45000.0 + i);
        timers.FieldByName("End").SetAsDateTime(45000.5 + i);
        timers.Post();
    };
    for (int i = 0; i < 100; ++i) {
        append(i);
    }
    // 100 rows of 695 bytes, and an entry per row in each of the two indexes.
    EXPECT_GE(memory.BytesInUse() - before, 100u * 695u + 2u * 100u * sizeof(int32_t));

    memory.SetLimit(memory.BytesInUse() + 20000);
    int stored = 100;
    bool refused = false;
    for (int i = 100; i < 1000 && !refused; ++i) {
        try {
            append(i);
            ++stored;
        } catch (const ESQLMemException& error) {
            refused = true;
            EXPECT_EQ(error.Code(), 30004);
            EXPECT_EQ(error.Message(),
                      "Memory limit exceeded (Limit = " + std::to_string(memory.Limit()) +
                          " bytes) - Native error: 30004");
            EXPECT_EQ(timers.State(), dsInsert) << "the row can still be corrected or cancelled";
            timers.Cancel();
        }
    }
    ASSERT_TRUE(refused);
    EXPECT_LE(memory.BytesInUse(), memory.Limit());

    // The table is whole: as many rows in either index order as stored, nothing half filed.
    EXPECT_EQ(timers.RecordCount(), stored);
    int in_order = 0;
    double last_begin = -1;
    for (timers.First(); !timers.Eof(); timers.Next()) {
        EXPECT_GT(timers.FieldByName("Begin").AsDateTime(), last_begin);
        last_begin = timers.FieldByName("Begin").AsDateTime();
        ++in_order;
    }
    EXPECT_EQ(in_order, stored);
    timers.SetIndexFieldNames("Zender");
    EXPECT_EQ(timers.RecordCount(), stored);

    // With room again, work goes on.
    memory.SetLimit(0);
    append(5000);
    EXPECT_EQ(timers.RecordCount(), stored + 1);
    timers.First();
    timers.Delete();
    EXPECT_EQ(timers.RecordCount(), stored);
}

TEST_F(Hardening, AVisibleRowListPastTheLimitIsAnErrorNotACrash) {
    TSQLMemMemoryManager& memory = TSQLMemMemoryManager::Instance();
    TSQLMemTable bouquet;
    testing::DefineBouquet(bouquet, "Filtered");
    bouquet.Open();
    for (int i = 0; i < 2000; ++i) {
        AddBouquet(bouquet, "b" + std::to_string(i));
    }
    bouquet.OnFilterRecord = [](TSQLMemDataSet&, bool& accept) { accept = true; };
    memory.SetLimit(memory.BytesInUse() + 256);
    EXPECT_THROW(bouquet.SetFiltered(true), ESQLMemException);
    memory.SetLimit(0);
    bouquet.Refresh();
    EXPECT_EQ(bouquet.RecordCount(), 2000);
}

}  // namespace
}  // namespace tapir::engine
