#include "engine/stream/temporary_table_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/stream/table_stream.h"

namespace tapir::engine {
namespace {

TSQLMemFieldDef MakeField(const std::string& name, TSQLMemAdvancedFieldType type,
                          int32_t size = 0) {
    TSQLMemFieldDef field;
    field.Name = name;
    field.SetAdvancedType(type, size);
    return field;
}

// Name (string 12), Amount (integer), Stamp (date-time); an index on the name and one on
// the amount, descending.
TSQLMemFieldDefs ResultFields() {
    return TSQLMemFieldDefs({MakeField("Name", aftString, 12), MakeField("Amount", aftInteger),
                             MakeField("Stamp", aftDateTime)});
}

std::vector<TSQLMemIndexDef> ResultIndexes() {
    TSQLMemIndexDef by_name;
    by_name.Name = "ByName";
    by_name.ObjectID = 7;
    by_name.Columns = {{"Name", false, false}};
    TSQLMemIndexDef by_amount;
    by_amount.Name = "ByAmount";
    by_amount.ObjectID = 8;
    by_amount.Columns = {{"Amount", true, false}};
    return {by_name, by_amount};
}

// Small budgets, so that index pages, records and the BLOB file all reach their files.
TSQLMemTemporaryTableOptions SpillingOptions() {
    TSQLMemTemporaryTableOptions options;
    options.page_size = 1024;
    options.memory_page_limit = 3;
    options.records.grow_by_records = 16;
    options.records.write_buffer_records = 8;
    options.records.memory_record_limit = 50;
    options.blob_memory_limit = 4096;
    return options;
}

// A negative amount below -1000 stands for a null amount.
constexpr int64_t kNullAmount = -1001;

std::vector<std::byte> MakeRow(const TSQLMemFieldDefs& fields, const std::string& name,
                               int64_t amount, double stamp) {
    std::vector<std::byte> row(static_cast<size_t>(fields.DataSize()));
    SetAllNull(row.data(), fields.Count());
    SetText(fields, 0, name, row.data());
    if (amount != kNullAmount) {
        SetInteger(fields, 1, amount, row.data());
    }
    SetDateTime(fields, 2, stamp, row.data());
    return row;
}

std::vector<std::byte> RecordBytes(const TSQLMemTemporaryTableData& table, uint64_t ordinal) {
    std::vector<std::byte> row(static_cast<size_t>(table.RecordSize()));
    table.GetRecord(ordinal, row.data());
    return row;
}

// Every record found through every index at its own entry, and the entries of each index
// in key order: names ascending, amounts descending (nulls last, as the lowest).
void ExpectIndexesFindEveryRecord(TSQLMemTemporaryTableData& table) {
    std::lock_guard lock(table.Mutex());
    EXPECT_EQ(table.CheckIntegrity(), std::vector<std::string>());
    for (int32_t i = 0; i < static_cast<int32_t>(table.IndexDefs().size()); ++i) {
        TSQLMemBTreeIndex& index = table.Index(i);
        for (uint64_t ordinal = 0; ordinal < table.RecordCount(); ++ordinal) {
            const std::vector<std::byte> row = RecordBytes(table, ordinal);
            TSQLMemKeyPath path;
            ASSERT_TRUE(index.GetIndexPosition(0, TSQLMemTemporaryTableData::RecordIdOf(ordinal),
                                               row.data(), path))
                << table.IndexDefs()[static_cast<size_t>(i)].Name << " record " << ordinal;
            EXPECT_EQ(TSQLMemTemporaryTableData::OrdinalOf(index.GetRecordID(0, path)), ordinal);
        }
    }
    TSQLMemBTreeIndex& by_name = table.Index(0);
    std::vector<std::string> names;
    TSQLMemKeyPath path;
    for (bool more = by_name.GetFirstPosition(0, path); more;
         more = by_name.GetNextPosition(0, path)) {
        const uint64_t ordinal = TSQLMemTemporaryTableData::OrdinalOf(by_name.GetRecordID(0, path));
        names.push_back(GetText(table.FieldDefs(), 0, RecordBytes(table, ordinal).data()).value());
    }
    EXPECT_EQ(names.size(), table.RecordCount());
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    TSQLMemBTreeIndex& by_amount = table.Index(1);
    std::vector<int64_t> amounts;
    for (bool more = by_amount.GetFirstPosition(0, path); more;
         more = by_amount.GetNextPosition(0, path)) {
        const uint64_t ordinal =
            TSQLMemTemporaryTableData::OrdinalOf(by_amount.GetRecordID(0, path));
        amounts.push_back(GetInteger(table.FieldDefs(), 1, RecordBytes(table, ordinal).data())
                              .value_or(kNullAmount));
    }
    EXPECT_TRUE(std::is_sorted(amounts.rbegin(), amounts.rend()));
}

// Temporary files go to a directory of the test's own, so that what is left behind can
// be counted.
class TemporaryTableStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("tapir_temptable_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        const char* old = std::getenv("TMPDIR");
        old_tmpdir_ = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("TMPDIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (old_tmpdir_) {
            ::setenv("TMPDIR", old_tmpdir_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
        std::filesystem::remove_all(dir_);
    }

    size_t TemporaryFileCount() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir_),
                                                 std::filesystem::directory_iterator()));
    }

    // `rows` rows with random names (some repeated), amounts (some null) and stamps, and
    // `blob_bytes` bytes in the BLOB file.
    std::unique_ptr<TSQLMemTemporaryTableData> MakeTable(int rows, size_t blob_bytes,
                                                         uint32_t seed) {
        auto table = std::make_unique<TSQLMemTemporaryTableData>(ResultFields(), ResultIndexes(),
                                                                 SpillingOptions());
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> letter('a', 'z');
        std::uniform_int_distribution<int64_t> amount(-1000, 1000);
        for (int i = 0; i < rows; ++i) {
            std::string name(1 + static_cast<size_t>(i % 11), 'x');
            for (char& c : name) {
                c = static_cast<char>(letter(random));
            }
            if (i % 7 == 3) {
                name = "same";
            }
            const int64_t value = i % 13 == 5 ? kNullAmount : amount(random);
            const std::vector<std::byte> row =
                MakeRow(table->FieldDefs(), name, value, 45000.25 + i);
            EXPECT_EQ(table->AddRecord(row.data()), static_cast<uint64_t>(i));
        }
        std::vector<std::byte> blob(blob_bytes);
        for (size_t i = 0; i < blob.size(); ++i) {
            blob[i] = static_cast<std::byte>((i * 131 + seed) & 0xFF);
        }
        if (!blob.empty()) {
            EXPECT_EQ(table->BlobFile().Write(blob), blob.size());
        }
        return table;
    }

    std::filesystem::path dir_;
    std::optional<std::string> old_tmpdir_;
};

TEST_F(TemporaryTableStreamTest, RoundTripKeepsRecordsIndexesAndTheBlobFile) {
    constexpr int kRows = 3000;
    auto table = MakeTable(kRows, 300000, 11);
    {
        // Every store of the table has spilled to its file.
        std::lock_guard lock(table->Mutex());
        EXPECT_FALSE(table->Pages().FilePath().empty());
        EXPECT_FALSE(table->Records().FilePath().empty());
        EXPECT_TRUE(table->BlobFile().InFile());
    }
    ExpectIndexesFindEveryRecord(*table);

    // Two tables back to back: each load must end exactly where its table ends.
    auto second = MakeTable(40, 0, 12);
    TSQLMemMemoryStream stream;
    SaveTemporaryTableToStream(*table, stream);
    const int64_t first_end = stream.Position();
    SaveTemporaryTableToStream(*second, stream);
    ASSERT_EQ(stream.Position(), stream.Size());

    ASSERT_TRUE(stream.SetPosition(0));
    auto loaded = LoadTemporaryTableFromStream(stream, SpillingOptions());
    EXPECT_EQ(stream.Position(), first_end);
    auto loaded_second = LoadTemporaryTableFromStream(stream, SpillingOptions());
    EXPECT_EQ(stream.Position(), stream.Size());

    EXPECT_EQ(loaded->RecordCount(), static_cast<uint64_t>(kRows));
    EXPECT_EQ(loaded->FieldDefs().DataSize(), table->FieldDefs().DataSize());
    ASSERT_EQ(loaded->IndexDefs().size(), 2u);
    EXPECT_EQ(loaded->IndexDefs()[1].Name, "ByAmount");
    EXPECT_EQ(loaded->IndexDefs()[1].ObjectID, 8);
    EXPECT_TRUE(loaded->IndexDefs()[1].Columns[0].Descending);
    for (uint64_t ordinal = 0; ordinal < kRows; ++ordinal) {
        ASSERT_EQ(RecordBytes(*loaded, ordinal), RecordBytes(*table, ordinal)) << ordinal;
    }
    ExpectIndexesFindEveryRecord(*loaded);

    TSQLMemTemporaryStream& original_blob = table->BlobFile();
    TSQLMemTemporaryStream& loaded_blob = loaded->BlobFile();
    ASSERT_EQ(loaded_blob.Size(), original_blob.Size());
    std::vector<std::byte> expected(static_cast<size_t>(original_blob.Size()));
    std::vector<std::byte> actual(expected.size());
    ASSERT_TRUE(original_blob.SetPosition(0));
    ASSERT_TRUE(loaded_blob.SetPosition(0));
    EXPECT_EQ(original_blob.Read(expected), expected.size());
    EXPECT_EQ(loaded_blob.Read(actual), actual.size());
    EXPECT_TRUE(expected == actual);

    EXPECT_EQ(loaded_second->RecordCount(), 40u);
    EXPECT_EQ(loaded_second->BlobFile().Size(), 0);
    ExpectIndexesFindEveryRecord(*loaded_second);

    // The loaded table goes on like the one it came from.
    const std::vector<std::byte> row = MakeRow(loaded->FieldDefs(), "aaa", 5000, 1.0);
    EXPECT_EQ(loaded->AddRecord(row.data()), static_cast<uint64_t>(kRows));
    ExpectIndexesFindEveryRecord(*loaded);
}

TEST_F(TemporaryTableStreamTest, EmptyTableKeepsItsEmptyRootsAndTakesRowsAfterLoading) {
    auto table = std::make_unique<TSQLMemTemporaryTableData>(ResultFields(), ResultIndexes());
    const int32_t root = table->Index(0).RootPageNo();
    EXPECT_GE(root, 0);
    TSQLMemMemoryStream stream;
    SaveTemporaryTableToStream(*table, stream);
    ASSERT_TRUE(stream.SetPosition(0));
    auto loaded = LoadTemporaryTableFromStream(stream);
    EXPECT_EQ(stream.Position(), stream.Size());
    EXPECT_EQ(loaded->RecordCount(), 0u);
    EXPECT_EQ(loaded->Index(0).RootPageNo(), root);
    EXPECT_EQ(loaded->BlobFile().Size(), 0);
    EXPECT_EQ(loaded->CheckIntegrity(), std::vector<std::string>());
    for (int i = 0; i < 3; ++i) {
        const std::vector<std::byte> row =
            MakeRow(loaded->FieldDefs(), "n" + std::to_string(i), i, 2.0);
        loaded->AddRecord(row.data());
    }
    ExpectIndexesFindEveryRecord(*loaded);
}

TEST_F(TemporaryTableStreamTest, EveryTableHasItsOwnTemporaryName) {
    std::set<std::string> names;
    auto table = std::make_unique<TSQLMemTemporaryTableData>(ResultFields(), ResultIndexes());
    names.insert(table->Name());
    TSQLMemMemoryStream stream;
    SaveTemporaryTableToStream(*table, stream);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(stream.SetPosition(0));
        names.insert(LoadTemporaryTableFromStream(stream)->Name());
        names.insert(TSQLMemTemporaryTableData::NewTemporaryTableName());
    }
    EXPECT_EQ(names.size(), 41u);
    for (const std::string& name : names) {
        EXPECT_EQ(name.rfind("TEMPORARY_TABLE_", 0), 0u) << name;
        EXPECT_GT(name.size(), std::string("TEMPORARY_TABLE_").size());
    }
}

TEST_F(TemporaryTableStreamTest, DefinitionsATemporaryTableCannotHoldAreRefused) {
    auto expect_refused = [](TSQLMemFieldDefs fields, std::vector<TSQLMemIndexDef> indexes) {
        try {
            TSQLMemTemporaryTableData table(std::move(fields), std::move(indexes));
            ADD_FAILURE() << "no error";
        } catch (const ESQLMemException& error) {
            EXPECT_EQ(error.Code(), kInvalidTemporaryTableCode) << error.what();
        }
    };
    expect_refused(TSQLMemFieldDefs({MakeField("Id", aftAutoInc)}), {});
    expect_refused(TSQLMemFieldDefs(), {});
    std::vector<TSQLMemIndexDef> indexes = ResultIndexes();
    indexes[1].Columns[0].FieldName = "Missing";
    expect_refused(ResultFields(), indexes);
}

// A stream cut anywhere, or with any byte changed, ends in ESQLMemException or in a sound
// table, and leaves no temporary file behind.
TEST_F(TemporaryTableStreamTest, DamagedStreamsRaiseEngineErrorsAndLeaveNothingBehind) {
    TSQLMemMemoryStream stream;
    {
        // Past every memory budget, so that a load makes all three temporary files.
        auto table = MakeTable(120, 5000, 5);
        {
            std::lock_guard lock(table->Mutex());
            ASSERT_FALSE(table->Pages().FilePath().empty());
        }
        SaveTemporaryTableToStream(*table, stream);
    }
    ASSERT_EQ(TemporaryFileCount(), 0u);
    const std::vector<std::byte> whole(stream.Bytes().begin(), stream.Bytes().end());
    {
        std::vector<std::byte> bytes = whole;
        TSQLMemMemoryStream intact(bytes);
        auto table = LoadTemporaryTableFromStream(intact, SpillingOptions());
        EXPECT_EQ(TemporaryFileCount(), 3u);  // pages, records, BLOB file
    }
    ASSERT_EQ(TemporaryFileCount(), 0u);

    // Every position of the fields; the page slots in the middle (most of the stream) are
    // sampled.
    auto next = [&](size_t at) { return at < 400 || at + 400 > whole.size() ? at + 1 : at + 251; };
    for (size_t cut = 0; cut < whole.size(); cut = next(cut)) {
        std::vector<std::byte> bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(cut));
        TSQLMemMemoryStream damaged(bytes);
        EXPECT_THROW(LoadTemporaryTableFromStream(damaged, SpillingOptions()), ESQLMemException)
            << "cut at " << cut;
    }
    EXPECT_EQ(TemporaryFileCount(), 0u);

    int loaded = 0;
    for (size_t at = 0; at < whole.size(); at = next(at)) {
        std::vector<std::byte> bytes = whole;
        bytes[at] ^= std::byte{0xFF};
        TSQLMemMemoryStream damaged(bytes);
        try {
            auto table = LoadTemporaryTableFromStream(damaged, SpillingOptions());
            EXPECT_EQ(table->CheckIntegrity(), std::vector<std::string>()) << "flip at " << at;
            ++loaded;
        } catch (const ESQLMemException&) {
        }
    }
    EXPECT_EQ(TemporaryFileCount(), 0u);
    // Page slots that hold no page and the record bytes carry no structure.
    EXPECT_GT(loaded, 0);
}

TEST_F(TemporaryTableStreamTest, SizesBeyondTheStreamAreRefusedBeforeAllocating) {
    auto table = std::make_unique<TSQLMemTemporaryTableData>(ResultFields(), ResultIndexes());
    const std::vector<std::byte> row = MakeRow(table->FieldDefs(), "only", 1, 1.0);
    table->AddRecord(row.data());
    TSQLMemMemoryStream stream;
    SaveTemporaryTableToStream(*table, stream);
    const std::vector<std::byte> whole(stream.Bytes().begin(), stream.Bytes().end());
    // From the end: BLOB file size (8), the one record, record count (8), record size (4).
    const size_t blob_size_at = whole.size() - 8;
    const size_t count_at = blob_size_at - static_cast<size_t>(table->RecordSize()) - 8;
    const size_t record_size_at = count_at - 4;
    int32_t stored_record_size = 0;
    std::memcpy(&stored_record_size, whole.data() + record_size_at, 4);
    ASSERT_EQ(stored_record_size, table->RecordSize());

    auto expect_invalid = [&](size_t at, int64_t value, size_t width) {
        std::vector<std::byte> bytes = whole;
        for (size_t i = 0; i < width; ++i) {
            bytes[at + i] =
                static_cast<std::byte>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF);
        }
        TSQLMemMemoryStream damaged(bytes);
        try {
            LoadTemporaryTableFromStream(damaged);
            ADD_FAILURE() << "loaded with " << value << " at " << at;
        } catch (const ESQLMemException& error) {
            EXPECT_EQ(error.Code(), kInvalidTableStreamCode) << error.what();
        }
    };
    expect_invalid(count_at, int64_t{1} << 40, 8);
    expect_invalid(count_at, -1, 8);
    expect_invalid(record_size_at, table->RecordSize() + 1, 4);
    expect_invalid(blob_size_at, int64_t{1} << 50, 8);
    expect_invalid(blob_size_at, -5, 8);
}

TEST_F(TemporaryTableStreamTest, ShortWritesRaiseTheFieldsOwnCodes) {
    auto table = MakeTable(20, 10, 3);
    TSQLMemMemoryStream whole;
    SaveTemporaryTableToStream(*table, whole);
    // A fixed buffer one byte short of the whole stream: the last field (the BLOB file's
    // bytes, copied block-wise) cannot be written.
    std::vector<std::byte> buffer(static_cast<size_t>(whole.Size()) - 1);
    TSQLMemMemoryStream short_stream(buffer);
    try {
        SaveTemporaryTableToStream(*table, short_stream);
        ADD_FAILURE() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 10147) << error.what();
    }
    // Too short for the record count.
    std::vector<std::byte> tiny(static_cast<size_t>(whole.Size()) - 10 - 8 -
                                static_cast<size_t>(table->RecordSize()) * 20 - 4);
    TSQLMemMemoryStream tiny_stream(tiny);
    try {
        SaveTemporaryTableToStream(*table, tiny_stream);
        ADD_FAILURE() << "no error";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), static_cast<int>(TemporaryTableStreamCode::RecordCount))
            << error.what();
    }
}

}  // namespace
}  // namespace tapir::engine
