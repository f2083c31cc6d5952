#include "engine/stream/table_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/pages/blob_value.h"
#include "engine/pages/sqlmem_compressed_blob_stream.h"
#include "engine/record/sqlmem_memory_manager.h"
#include "engine/table/blob_store.h"
#include "engine/table/sqlmem_table.h"
#include "engine/table/sqlmem_table_data.h"
#include "tests/engine/core_test_tables.h"
#include "tests/engine/table_fixtures.h"

namespace tapir::engine {
namespace {

using testing::Field;
using testing::Index;
using testing::OpenCursor;

// What a table holds, compared field by field after a round trip.
struct Snapshot {
    std::vector<std::string> fields;
    std::vector<std::string> indexes;
    std::vector<std::string> constraints;
    std::vector<std::string> sequences;
    std::vector<std::pair<int32_t, std::vector<std::byte>>> rows;
    bool dense = true;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const TSQLMemTableData& table) {
    Snapshot shot;
    for (const TSQLMemFieldDef& f : table.FieldDefs().Defs()) {
        shot.fields.push_back(f.Name + "/" + std::to_string(f.ObjectID) + "/" +
                              std::to_string(static_cast<int>(f.AdvancedType)) + "/" +
                              std::to_string(f.Size) + "/" + std::to_string(f.MemoryOffset) + "/" +
                              std::to_string(f.SequenceObjectID) + "/" +
                              std::to_string(f.Increment) + "/" + std::to_string(f.MaxValue) + "/" +
                              f.DefaultValue.value_or("<null>"));
    }
    for (size_t i = 0; i < table.IndexDefs().size(); ++i) {
        const TSQLMemIndexDef& d = table.IndexDefs()[i];
        std::string text = d.Name + "/" + std::to_string(d.ObjectID) + "/" +
                           std::to_string(d.Unique) + std::to_string(d.Primary) + "/root " +
                           std::to_string(table.Index(static_cast<int32_t>(i)).RootPageNo());
        for (const TSQLMemIndexColumn& c : d.Columns) {
            text += "/" + c.FieldName + std::to_string(c.Descending) +
                    std::to_string(c.CaseInsensitive);
        }
        shot.indexes.push_back(text);
    }
    for (const TSQLMemConstraintDef& c : table.ConstraintDefs()) {
        shot.constraints.push_back(c.Name + "/" + std::to_string(c.ObjectID) + "/" +
                                   std::to_string(static_cast<int>(c.Kind)) + "/" + c.TableName +
                                   "/" + std::to_string(c.FieldNo) + "/" +
                                   std::to_string(c.IndexNo) + "/" +
                                   (c.MinValue ? std::to_string(*c.MinValue) : "-") + "/" +
                                   (c.MaxValue ? std::to_string(*c.MaxValue) : "-"));
    }
    for (const TSQLMemSequenceDef& s : table.Sequences()) {
        shot.sequences.push_back(s.Name + "/" + std::to_string(s.ObjectID) + "/" +
                                 std::to_string(s.LastValue) + "/" + std::to_string(s.MaxValue) +
                                 "/" + std::to_string(s.Cycled));
    }
    const TSQLMemMemoryRecordManager& records = table.Records();
    if (records.RecordCount() > 0) {
        for (int32_t slot = 0; slot <= records.HighestSlot(); ++slot) {
            if (const std::byte* row = records.RecordPointer({slot, 0})) {
                shot.rows.emplace_back(slot, std::vector<std::byte>(row, row + records.RowSize()));
            }
        }
    }
    shot.dense = records.Dense();
    return shot;
}

std::vector<std::byte> Content(const TSQLMemMemoryStream& stream) {
    return {stream.Bytes().begin(), stream.Bytes().end()};
}

template <typename F>
int ErrorCode(F&& action) {
    try {
        action();
    } catch (const ESQLMemException& error) {
        return error.Code().value_or(-1);
    }
    return 0;
}

// Every offset near the ends of a stream, and a spread through the page slots between,
// which hold the same few bytes over and over.
std::vector<size_t> Offsets(size_t size) {
    std::vector<size_t> offsets;
    for (size_t i = 0; i < size; i += (i < 2000 || i + 2000 > size) ? 1 : 401) {
        offsets.push_back(i);
    }
    return offsets;
}

class TableStream : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }
    TSQLMemDatabaseData& Memory() { return *TSQLMemEngine::Instance().FindDatabase("MEMORY"); }

    // Creates the table and adds `rows` rows through a cursor that is closed again; text
    // and number fields get values that differ per row, a few are left null.
    TSQLMemTableData& Fill(const TableDefinition& def, int rows) {
        auto cursor = OpenCursor(def);
        std::vector<std::byte> row = testing::Buffer(*cursor);
        const TSQLMemFieldDefs& fields = cursor->FieldDefs();
        for (int r = 0; r < rows; ++r) {
            cursor->InitNewRecord(row.data());
            for (int32_t f = 0; f < fields.Count(); ++f) {
                const TSQLMemFieldDef& field = fields[f];
                if (IsAutoIncType(field.AdvancedType) || (r % 7 == 3 && f == 3)) {
                    continue;
                }
                if (IsStringType(field.BaseType)) {
                    const std::string text = field.Name.substr(0, 3) + std::to_string(r * 37 % 11);
                    cursor->SetFieldData(f, text.c_str(), row.data());
                } else if (field.BaseType == bftDouble || field.BaseType == bftDateTime) {
                    const double value = 45000.5 + (r * 13 % 9);
                    cursor->SetFieldData(f, &value, row.data());
                } else {
                    SetInteger(fields, f, (r * 7919) % 1000, row.data());
                }
            }
            const auto result = cursor->InsertRecord(row.data());
            EXPECT_TRUE(result.Ok()) << result.message;
        }
        return *Memory().FindTable(def.name);
    }

    std::vector<std::byte> Save(const std::string& name, TSQLMemCompressionAlgorithm algorithm,
                                uint8_t level = 1, int32_t value = 0) {
        TSQLMemMemoryStream stream;
        SaveTableToStream(Memory(), name, stream, algorithm, level, value);
        EXPECT_EQ(stream.Position(), stream.Size());
        return Content(stream);
    }

    TSQLMemTableData& Load(std::vector<std::byte> bytes) {
        TSQLMemMemoryStream stream(bytes);
        return LoadTableFromStream(Memory(), stream);
    }
};

struct Method {
    TSQLMemCompressionAlgorithm algorithm;
    uint8_t level;
};
constexpr Method kMethods[] = {{acaNone, 0}, {acaZLIB, 1}, {acaZLIB, 6}, {acaBZIP, 9}};

TEST_F(TableStream, ApplicationTablesRoundTripWithEveryAlgorithm) {
    for (const Method method : kMethods) {
        SCOPED_TRACE(static_cast<int>(method.algorithm) * 10 + method.level);
        for (const TableDefinition& def :
             {testing::TimersDefinition(), testing::ZendersDefinition(),
              testing::BouquetDefinition()}) {
            TSQLMemTableData& table = Fill(def, 300);
            // Gaps in the slots, one of them at the top.
            for (int32_t slot : {0, 17, 18, 150, 299}) {
                ASSERT_TRUE(table.DeleteRow({slot, 0}, nullptr));
            }
            const Snapshot before = Take(table);
            const std::vector<std::byte> bytes = Save(def.name, method.algorithm, method.level);
            Memory().DeleteTable(def.name);

            TSQLMemTableData& loaded = Load(bytes);
            EXPECT_EQ(loaded.Name(), def.name);
            EXPECT_EQ(Take(loaded), before);
            EXPECT_EQ(loaded.RecordCount(), 295);
            EXPECT_TRUE(loaded.CheckIntegrity().empty());
            // The loaded table takes changes: a new row continues the autoinc sequence and
            // lands in every index.
            auto cursor = OpenCursor(def);
            std::vector<std::byte> row = testing::Buffer(*cursor);
            cursor->InitNewRecord(row.data());
            if (IsAutoIncType(cursor->FieldDefs()[0].AdvancedType)) {
                EXPECT_EQ(GetInteger(cursor->FieldDefs(), 0, row.data()), 301);
            }
            for (int32_t f = 0; f < cursor->FieldDefs().Count(); ++f) {
                if (cursor->FieldDefs()[f].AdvancedType == aftInteger) {
                    SetInteger(cursor->FieldDefs(), f, 5000, row.data());
                }
            }
            const auto result = cursor->InsertRecord(row.data());
            ASSERT_TRUE(result.Ok()) << result.message;
            cursor.reset();
            EXPECT_TRUE(loaded.CheckIntegrity().empty());
            Memory().DeleteTable(def.name);
        }
    }
}

TEST_F(TableStream, HeaderFieldsAreWrittenByteForByte) {
    TSQLMemTableData& table = Fill(testing::BouquetDefinition("Bq"), 3);
    const int64_t last_id = Memory().LastObjectID();
    ASSERT_EQ(last_id, 6);  // three fields, the index, its constraint, the sequence
    const std::vector<std::byte> plain = Save("Bq", acaNone, 0, 0x11223344);
    const std::vector<uint8_t> expected = {
        'A',  'C',  'S',  '1',                           // signature
        0x7b, 0x14, 0xae, 0x47, 0xe1, 0x7a, 0x08, 0x40,  // 3.06
        3,    0,    0,    0,    0,    0,    0,    0,     // records
        0,    0,    0,    0,    0,    0,    0,    0,     // body size (not compressed)
        0,    0,    0,    0,    0,    0,    0,    0,     // not used
        0x44, 0x33, 0x22, 0x11,                          // the caller's value
        0,    1,                                         // none, level 0 stored as 1
        2,    'B',  'q',                                 // name
        6,    0,    0,    0,    0,    0,    0,    0};    // last object identifier
    ASSERT_GT(plain.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::to_integer<uint8_t>(plain[i]), expected[i]) << "offset " << i;
    }
    // The body starts with the sequence section: one autoinc field.
    EXPECT_EQ(LoadLE32(plain.data() + 53), 1u);

    const std::vector<std::byte> packed = Save("Bq", acaZLIB, 0, 0x11223344);
    EXPECT_EQ(std::to_integer<int>(packed[40]), 1);
    EXPECT_EQ(std::to_integer<int>(packed[41]), 1);
    const auto stored = static_cast<int64_t>(LoadLE32(packed.data() + 36));
    EXPECT_EQ(stored, static_cast<int64_t>(packed.size()) - 53);
    int64_t body_size = 0;
    std::memcpy(&body_size, packed.data() + 20, 8);
    EXPECT_EQ(body_size, static_cast<int64_t>(plain.size()) - 53);
    EXPECT_EQ(table.RecordCount(), 3);
}

TEST_F(TableStream, SmallTableStreamIsByteExact) {
    TableDefinition def;
    def.name = "T";
    def.fields = {Field("A", ftSmallint)};
    TSQLMemTableData& table = Fill(def, 1);  // A = 0
    ASSERT_EQ(table.FieldDefs().DataSize(), 3);
    const std::vector<std::byte> bytes = Save("T", acaNone);
    const uint16_t page_size = table.Pages().PageSize();
    std::vector<uint8_t> expected = {
        'A', 'C', 'S', '1', 0x7b, 0x14, 0xae, 0x47, 0xe1, 0x7a, 0x08, 0x40,  //
        1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1,
        'T', 1, 0, 0, 0, 0, 0, 0, 0,
        // sequences: none
        0, 0, 0, 0,
        // one field: name, identifier 1, bftSignedInt16, aftSmallint, size 0, no default
        1, 0, 0, 0, 1, 'A', 1, 0, 0, 0, 6, 6, 0, 0, 0, 0, 6, 1,
        // constraints, indexes: none
        0, 0, 0, 0, 0, 0, 0, 0,
        // empty page store: capacity 0, highest -1, growth 50, page size, header 0, count 0,
        // no bits
        0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 50, 0, 0, 0, static_cast<uint8_t>(page_size & 0xff),
        static_cast<uint8_t>(page_size >> 8), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        // record map: one slot, no deletes, slots 0..0, bitmap 0
        1, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        // the row: the null bit of A clear (the unused bits stay set), A = 0
        0xfe, 0, 0};
    ASSERT_EQ(bytes.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::to_integer<uint8_t>(bytes[i]), expected[i]) << "offset " << i;
    }
}

TEST_F(TableStream, SignatureAndVersionAreChecked) {
    Fill(testing::BouquetDefinition("Bq"), 2);
    const std::vector<std::byte> good = Save("Bq", acaNone);
    auto with_version = [&](double version) {
        std::vector<std::byte> bytes = good;
        const uint64_t bits = std::bit_cast<uint64_t>(version);
        std::memcpy(bytes.data() + 4, &bits, 8);
        return bytes;
    };
    EXPECT_EQ(ErrorCode([&] { Load(with_version(3.07)); }), 10162);
    EXPECT_EQ(ErrorCode([&] { Load(with_version(1.0)); }), 10443);
    EXPECT_EQ(ErrorCode([&] { Load(with_version(1.005)); }), 10454);
    EXPECT_EQ(ErrorCode([&] { Load(with_version(1.015)); }), 10455);
    EXPECT_EQ(ErrorCode([&] { Load(with_version(std::nan(""))); }), 10162);
    std::vector<std::byte> wrong = good;
    wrong[3] = std::byte{'2'};
    try {
        Load(wrong);
        ADD_FAILURE() << "wrong signature loaded";
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 10161);
        EXPECT_NE(error.Message().find("Invalid signature = ACS2. Should be ACS1"),
                  std::string::npos);
    }
    try {
        Load(with_version(3.07));
    } catch (const ESQLMemException& error) {
        EXPECT_NE(error.Message().find("Invalid version number = 3.070000. Should be 3.060000"),
                  std::string::npos);
    }
    EXPECT_EQ(ErrorCode([&] { Load(with_version(3.06)); }), 0);
}

TEST_F(TableStream, DeletedSlotsKeepTheirIdentifiersAndTheMapBits) {
    TSQLMemTableData& table = Fill(testing::ZendersDefinition("Z"), 8);
    ASSERT_TRUE(table.DeleteRow({2, 0}, nullptr));
    ASSERT_TRUE(table.DeleteRow({5, 0}, nullptr));
    const Snapshot before = Take(table);
    const int32_t row_size = table.FieldDefs().DataSize();
    const std::vector<std::byte> bytes = Save("Z", acaNone);
    // The record map sits before the six rows: 8 slots, deletes seen, slots 0..7, and the
    // bits of slots 2 and 5.
    const size_t map = bytes.size() - 6 * static_cast<size_t>(row_size) - 14;
    EXPECT_EQ(LoadLE32(bytes.data() + map), 8u);
    EXPECT_EQ(std::to_integer<int>(bytes[map + 4]), 0);
    EXPECT_EQ(LoadLE32(bytes.data() + map + 5), 0u);
    EXPECT_EQ(LoadLE32(bytes.data() + map + 9), 7u);
    EXPECT_EQ(std::to_integer<int>(bytes[map + 13]), 0x24);

    Memory().DeleteTable("Z");
    TSQLMemTableData& loaded = Load(bytes);
    EXPECT_EQ(Take(loaded), before);
    EXPECT_FALSE(loaded.Records().RecordExists({2, 0}));
    EXPECT_FALSE(loaded.Records().RecordExists({5, 0}));
    EXPECT_TRUE(loaded.Records().RecordExists({7, 0}));
    EXPECT_FALSE(loaded.Records().Dense());
    EXPECT_TRUE(loaded.CheckIntegrity().empty());
    // Deleting a loaded row through its identifier updates every index.
    ASSERT_TRUE(loaded.DeleteRow({4, 0}, nullptr));
    EXPECT_TRUE(loaded.CheckIntegrity().empty());
    EXPECT_EQ(loaded.RecordCount(), 5);
}

TEST_F(TableStream, EmptyTableKeepsItsIndexRoots) {
    TSQLMemTableData& table = Fill(testing::TimersDefinition("E"), 4);
    table.Empty();
    const Snapshot before = Take(table);
    for (const Method method : kMethods) {
        const std::vector<std::byte> bytes = Save("E", method.algorithm, method.level);
        Memory().DeleteTable("E");
        TSQLMemTableData& loaded = Load(bytes);
        EXPECT_EQ(Take(loaded), before);
        EXPECT_EQ(loaded.RecordCount(), 0);
        EXPECT_TRUE(loaded.CheckIntegrity().empty());
    }
}

TEST_F(TableStream, ConstraintsDefaultsAndSequenceStateSurvive) {
    TableDefinition def = testing::ZendersDefinition("C");
    def.fields[2].required = true;
    def.fields[1].check_min = -5;
    def.fields[1].check_max = 5000;
    def.fields[0].increment = 3;
    def.fields[0].initial_value = 100;
    def.fields[0].max_value = 1000000;
    def.indexes.push_back(Index("UniqueService", "Service", false, true));
    def.indexes.back().descending = true;
    def.indexes.back().case_insensitive = true;
    TSQLMemTableData& table = Fill(def, 0);
    // Defaults are stored as the field's raw bytes.
    const_cast<TSQLMemFieldDef&>(table.FieldDefs()[1]).DefaultValue = std::string("\x2a\0\0\0", 4);
    auto cursor = OpenCursor(def);
    std::vector<std::byte> row = testing::Buffer(*cursor);
    for (const char* service : {"b", "a", "c"}) {
        cursor->InitNewRecord(row.data());
        cursor->SetFieldData(2, "z", row.data());
        cursor->SetFieldData(3, service, row.data());
        ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
    }
    cursor.reset();
    const Snapshot before = Take(table);
    ASSERT_EQ(before.constraints.size(), 4u);
    for (const Method method : kMethods) {
        const std::vector<std::byte> bytes = Save("C", method.algorithm, method.level);
        Memory().DeleteTable("C");
        EXPECT_EQ(Take(Load(bytes)), before);
    }
    // The loaded constraints and defaults still act.
    cursor = OpenCursor(def);
    cursor->InitNewRecord(row.data());
    EXPECT_EQ(GetInteger(cursor->FieldDefs(), 0, row.data()), 112);
    EXPECT_EQ(GetInteger(cursor->FieldDefs(), 1, row.data()), 42);
    cursor->SetFieldData(3, "A", row.data());  // case-insensitive duplicate of "a"
    cursor->SetFieldData(2, "z", row.data());
    EXPECT_FALSE(cursor->InsertRecord(row.data()).Ok());
    cursor->SetFieldData(3, "d", row.data());
    cursor->SetFieldData(2, nullptr, row.data());
    EXPECT_FALSE(cursor->InsertRecord(row.data()).Ok());
}

TEST_F(TableStream, ObjectIdentifiersAreRaisedOnLoad) {
    Fill(testing::TimersDefinition("Big"), 1);
    Fill(testing::ZendersDefinition("Z"), 1);
    const int64_t last = Memory().LastObjectID();
    const std::vector<std::byte> bytes = Save("Z", acaNone);
    TSQLMemEngine::Instance().Reset();
    ASSERT_EQ(Memory().LastObjectID(), 0);
    Load(bytes);
    EXPECT_EQ(Memory().LastObjectID(), last);
    EXPECT_EQ(Memory().NextObjectID(), last + 1);
    // A lower stored value leaves a higher sequence alone.
    Memory().DeleteTable("Z");
    for (int i = 0; i < 10; ++i) {
        Memory().NextObjectID();
    }
    Load(bytes);
    EXPECT_EQ(Memory().LastObjectID(), last + 11);
}

// Loads `bytes` into a database that holds the original table; the load must either
// fail with an engine error and leave the database as it was, or give a sound table.
void ExpectCleanOutcome(TSQLMemDatabaseData& memory, const std::vector<std::byte>& bytes,
                        const std::string& name, const Snapshot& original, bool must_fail) {
    const TSQLMemTableData* table = memory.FindTable(name);
    const int64_t last_id = memory.LastObjectID();
    const std::vector<std::string> names = memory.TableNames();
    std::vector<std::byte> copy = bytes;
    TSQLMemMemoryStream stream(copy);
    try {
        TSQLMemTableData& loaded = LoadTableFromStream(memory, stream);
        EXPECT_FALSE(must_fail);
        EXPECT_TRUE(loaded.CheckIntegrity().empty());
        return;
    } catch (const ESQLMemException& error) {
        EXPECT_FALSE(error.Message().empty());
    }
    ASSERT_EQ(memory.FindTable(name), table);
    EXPECT_EQ(memory.TableNames(), names);
    EXPECT_EQ(Take(*table), original);
    EXPECT_EQ(memory.LastObjectID(), last_id);
}

TEST_F(TableStream, StreamCutAtEveryOffsetFailsAndChangesNothing) {
    TSQLMemTableData& table = Fill(testing::BouquetDefinition("Bq"), 5);
    ASSERT_TRUE(table.DeleteRow({1, 0}, nullptr));
    const Snapshot original = Take(table);
    for (const Method method : {kMethods[0], kMethods[1], kMethods[3]}) {
        const std::vector<std::byte> bytes = Save("Bq", method.algorithm, method.level);
        for (const size_t cut : Offsets(bytes.size())) {
            SCOPED_TRACE(cut);
            ExpectCleanOutcome(Memory(), {bytes.begin(), bytes.begin() + cut}, "Bq", original,
                               true);
        }
    }
}

TEST_F(TableStream, FlippedBitsNeverCrashOrHalfLoad) {
    TSQLMemTableData& table = Fill(testing::ZendersDefinition("Z"), 6);
    ASSERT_TRUE(table.DeleteRow({3, 0}, nullptr));
    for (const Method method : {kMethods[0], kMethods[1]}) {
        const std::vector<std::byte> bytes = Save("Z", method.algorithm, method.level);
        for (const size_t i : Offsets(bytes.size())) {
            for (const uint8_t mask : {0x01, 0xff}) {
                SCOPED_TRACE(std::to_string(i) + "^" + std::to_string(mask));
                // Each load may replace the table: compare with what is there now.
                const Snapshot current = Take(*Memory().FindTable("Z"));
                std::vector<std::byte> damaged = bytes;
                damaged[i] ^= std::byte{mask};
                ExpectCleanOutcome(Memory(), damaged, "Z", current, false);
            }
        }
    }
}

TEST_F(TableStream, SizesBeyondTheStreamAreRefusedBeforeAllocation) {
    Fill(testing::BouquetDefinition("Bq"), 2);
    const std::vector<std::byte> bytes = Save("Bq", acaNone);
    const size_t body = 53;
    auto patched = [&](size_t offset, uint32_t value) {
        std::vector<std::byte> copy = bytes;
        StoreLE32(copy.data() + offset, value);
        return copy;
    };
    // Sequence count, field count (after the one sequence), record count.
    EXPECT_EQ(ErrorCode([&] { Load(patched(body, 0x7fffffff)); }), kInvalidTableStreamCode);
    EXPECT_EQ(ErrorCode([&] { Load(patched(body, 0xffffffff)); }), kInvalidTableStreamCode);
    EXPECT_EQ(ErrorCode([&] { Load(patched(12, 0x7ffffff0)); }), kInvalidTableStreamCode);
    // The record map's slot count, just before the two rows.
    const int32_t row_size = Memory().FindTable("Bq")->FieldDefs().DataSize();
    const size_t map = bytes.size() - 2 * static_cast<size_t>(row_size) - 14;
    ASSERT_EQ(LoadLE32(bytes.data() + map), 2u);
    EXPECT_EQ(ErrorCode([&] { Load(patched(map, 0x7fffffff)); }), kInvalidTableStreamCode);

    // A compressed body claiming more bytes than stored or than it decompresses to.
    const std::vector<std::byte> packed = Save("Bq", acaZLIB, 6);
    std::vector<std::byte> copy = packed;
    StoreLE32(copy.data() + 36, 0x7fffffff);
    EXPECT_EQ(ErrorCode([&] { Load(copy); }), kInvalidTableStreamCode);
    copy = packed;
    StoreLE32(copy.data() + 20, 0x7ffffff0);
    EXPECT_EQ(ErrorCode([&] { Load(copy); }), kDecompressBodyCode);
    copy = packed;
    copy[40] = std::byte{3};  // PPM: no coder in this build
    EXPECT_EQ(ErrorCode([&] { Load(copy); }), kDecompressBodyCode);
    copy[40] = std::byte{9};
    EXPECT_EQ(ErrorCode([&] { Load(copy); }), kInvalidTableStreamCode);
}

TEST_F(TableStream, UnknownConstraintTypeIsNamed) {
    TableDefinition def = testing::BouquetDefinition("Bq");
    def.fields[1].required = true;
    TSQLMemTableData& table = Fill(def, 0);
    std::vector<std::byte> bytes = Save("Bq", acaNone);
    // Find the constraint section: after sequences and fields; its first type byte is 3.
    const std::string needle = "$C_NotNull$Bq$Bouquet";
    auto at = std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end(),
                          [](std::byte b, char c) { return b == static_cast<std::byte>(c); });
    ASSERT_NE(at, bytes.end());
    const size_t type_offset = static_cast<size_t>(at - bytes.begin()) - 2;
    ASSERT_EQ(std::to_integer<int>(bytes[type_offset]), 3);
    bytes[type_offset] = std::byte{9};
    try {
        Load(bytes);
        ADD_FAILURE();
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), 30316);
        EXPECT_NE(error.Message().find("Unknown Constraint Type: '9'"), std::string::npos);
    }
    EXPECT_EQ(Memory().FindTable("Bq"), &table);
}

TEST_F(TableStream, SaveRefusalsAndFailedCompression) {
    EXPECT_EQ(ErrorCode([&] { Save("Nope", acaNone); }), kTableNotFoundCode);
    Fill(testing::BouquetDefinition("Bq"), 2);
    const std::vector<std::byte> bytes = Save("Bq", acaNone);
    auto cursor = OpenCursor(testing::BouquetDefinition("Bq"));
    TSQLMemMemoryStream refused;
    EXPECT_EQ(ErrorCode([&] { SaveAllTablesToStream(Memory(), refused, acaNone, 1, 0); }),
              kTableOpenCode);
    EXPECT_EQ(refused.Size(), 0);
    EXPECT_EQ(ErrorCode([&] { Save("Bq", acaNone); }), kTableOpenCode);
    // A load does not replace an open table.
    EXPECT_EQ(ErrorCode([&] { Load(bytes); }), kTableOpenCode);
    cursor.reset();
    // bzip2 has no level 10: the save fails, and the header left behind promises no body.
    TSQLMemMemoryStream stream;
    EXPECT_EQ(ErrorCode([&] { SaveTableToStream(Memory(), "Bq", stream, acaBZIP, 10, 0); }),
              kCompressBodyCode);
    EXPECT_EQ(stream.Position(), stream.Size());
    EXPECT_EQ(LoadLE32(stream.Bytes().data() + 36), 0u);
    ASSERT_TRUE(stream.SetPosition(0));
    EXPECT_NE(ErrorCode([&] { LoadTableFromStream(Memory(), stream); }), 0);
}

TEST_F(TableStream, SeveralTablesInOneStream) {
    Fill(testing::TimersDefinition(), 20);
    Fill(testing::ZendersDefinition(), 30);
    Fill(testing::BouquetDefinition(), 0);
    std::vector<Snapshot> before;
    for (const std::string& name : Memory().TableNames()) {
        before.push_back(Take(*Memory().FindTable(name)));
    }
    for (const Method method : kMethods) {
        TSQLMemMemoryStream stream;
        SaveAllTablesToStream(Memory(), stream, method.algorithm, method.level, 0);
        EXPECT_EQ(LoadLE32(stream.Bytes().data()), 3u);
        TSQLMemEngine::Instance().Reset();
        ASSERT_TRUE(stream.SetPosition(0));
        LoadAllTablesFromStream(Memory(), stream);
        ASSERT_EQ(Memory().TableNames().size(), 3u);
        for (size_t i = 0; i < before.size(); ++i) {
            const TSQLMemTableData& table = *Memory().FindTable(Memory().TableNames()[i]);
            EXPECT_EQ(Take(table), before[i]);
            EXPECT_TRUE(table.CheckIntegrity().empty());
        }
        // A cut in the last table loads none of them.
        std::vector<std::byte> bytes = Content(stream);
        TSQLMemEngine::Instance().Reset();
        std::vector<std::byte> cut(bytes.begin(), bytes.end() - 1);
        TSQLMemMemoryStream short_stream(cut);
        EXPECT_NE(ErrorCode([&] { LoadAllTablesFromStream(Memory(), short_stream); }), 0);
        EXPECT_TRUE(Memory().TableNames().empty());
        TSQLMemMemoryStream again(bytes);
        LoadAllTablesFromStream(Memory(), again);
    }
}

TEST_F(TableStream, FilesAreReplacedOnlyByCompleteSaves) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tstream_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "table.dat").string();
    Fill(testing::ZendersDefinition("Z"), 10);
    const Snapshot before = Take(*Memory().FindTable("Z"));
    SaveTableToFile(Memory(), "Z", file, acaZLIB, 5, 0);
    const auto size = std::filesystem::file_size(file);
    // A failed save leaves the old file and no temporary beside it.
    EXPECT_EQ(ErrorCode([&] { SaveTableToFile(Memory(), "Z", file, acaBZIP, 10, 0); }),
              kCompressBodyCode);
    EXPECT_EQ(ErrorCode([&] { SaveTableToFile(Memory(), "None", file, acaNone, 1, 0); }),
              kTableNotFoundCode);
    EXPECT_EQ(std::filesystem::file_size(file), size);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                            std::filesystem::directory_iterator()),
              1);
    Memory().DeleteTable("Z");
    EXPECT_EQ(Take(LoadTableFromFile(Memory(), file)), before);

    const std::string all = (dir / "all.dat").string();
    Fill(testing::BouquetDefinition("B"), 3);
    SaveAllTablesToFile(Memory(), all, acaNone, 1, 0);
    TSQLMemEngine::Instance().Reset();
    LoadAllTablesFromFile(Memory(), all);
    EXPECT_EQ(Memory().TableNames().size(), 2u);
    EXPECT_EQ(Take(*Memory().FindTable("Z")), before);
    EXPECT_EQ(ErrorCode([&] { LoadTableFromFile(Memory(), (dir / "missing").string()); }), 10081);
    std::filesystem::remove_all(dir);
}

TEST_F(TableStream, TableAndDatabaseComponentsSaveAndLoad) {
    TSQLMemTable bouquet("Bouquet");
    testing::DefineBouquet(bouquet, "Bq");
    bouquet.Open();
    for (const char* name : {"one", "two", "three"}) {
        bouquet.Append();
        bouquet.FieldByName("Bouquet").SetAsString(name);
        bouquet.FieldByName("Type").SetAsInteger(2);
        bouquet.Post();
    }
    TSQLMemMemoryStream stream;
    // Only a closed component saves or loads.
    EXPECT_THROW(bouquet.SaveTableToStream(stream, caZLIB, 6), EDatabaseError);
    EXPECT_THROW(bouquet.LoadTableFromStream(stream), EDatabaseError);
    TSQLMemDatabase* database = bouquet.Database();
    ASSERT_NE(database, nullptr);
    EXPECT_EQ(ErrorCode([&] { database->SaveAllTablesToStream(stream); }), kTableOpenCode);
    bouquet.Close();
    bouquet.SaveTableToStream(stream, caZLIB, 6);
    EXPECT_EQ(std::to_integer<int>(stream.Bytes()[40]), 1);
    bouquet.DeleteTable();

    TSQLMemTable loader("Loader");
    ASSERT_TRUE(stream.SetPosition(0));
    loader.LoadTableFromStream(stream);
    EXPECT_EQ(loader.TableName(), "Bq");
    loader.Open();
    EXPECT_EQ(loader.RecordCount(), 3);
    loader.Last();
    EXPECT_EQ(loader.FieldByName("Bouquet").AsString(), "three");
    EXPECT_EQ(loader.FieldByName("Id").AsInteger(), 3);
    loader.Append();
    loader.FieldByName("Bouquet").SetAsString("four");
    loader.Post();
    EXPECT_EQ(loader.FieldByName("Id").AsInteger(), 4);
    TSQLMemDatabase* memory = loader.Database();
    loader.Close();

    TSQLMemMemoryStream all;
    memory->SaveAllTablesToStream(all, caBZIP, 9);
    TSQLMemEngine::Instance().Reset();
    ASSERT_TRUE(all.SetPosition(0));
    TSQLMemSession& session = TSQLMemEngine::Instance().Session("");
    session.Database("MEMORY").LoadAllTablesFromStream(all);
    EXPECT_EQ(Memory().TableNames(), std::vector<std::string>{"Bq"});
    EXPECT_EQ(Memory().FindTable("Bq")->RecordCount(), 4);
    EXPECT_EQ(ErrorCode([&] { session.Database("OTHER").LoadAllTablesFromStream(all); }), 11245);
}

}  // namespace
}  // namespace tapir::engine

namespace tapir::engine {
namespace {

// --- BLOB values ---

std::vector<std::byte> Pattern(size_t size, int seed) {
    std::vector<std::byte> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::byte>((i * 13 + static_cast<size_t>(seed) + i / 777) & 0xFF);
    }
    return bytes;
}

// Id, a plain BLOB, a BLOB compressed by zlib in small blocks, a memo compressed by
// bzip2, a wide memo; `index` adds a primary index on Id.
TableDefinition BlobDefinition(const std::string& name, bool index = true) {
    TableDefinition def;
    def.name = name;
    def.fields = {Field("Id", ftInteger), Field("Plain", ftBlob), Field("Packed", ftBlob),
                  Field("Memo", ftMemo), Field("Wide", ftMemo)};
    def.fields[2].blob_compression_algorithm = static_cast<int32_t>(acaZLIB);
    def.fields[2].blob_compression_mode = 6;
    def.fields[2].blob_block_size = 4096;
    def.fields[3].blob_compression_algorithm = static_cast<int32_t>(acaBZIP);
    def.fields[3].blob_compression_mode = 9;
    def.fields[4].advanced_type = aftWideMemo;
    if (index) {
        def.indexes = {Index("Pk", "Id", true)};
    }
    return def;
}

class BlobTableStream : public TableStream {
  protected:
    // Rows with BLOB content of several sizes, some fields null, row 2 deleted.
    TSQLMemTableData& FillBlobs(const TableDefinition& def, int rows) {
        auto cursor = OpenCursor(def);
        std::vector<std::byte> row = testing::Buffer(*cursor);
        for (int r = 0; r < rows; ++r) {
            cursor->InitNewRecord(row.data());
            SetInteger(cursor->FieldDefs(), 0, r, row.data());
            BlobChanges changes(5);
            for (int f = 1; f < 5; ++f) {
                if ((r + f) % 3 != 0) {
                    changes[f] =
                        Pattern(static_cast<size_t>(1 + (r * 4099 + f * 1000) % 20000), r * 10 + f);
                }
            }
            EXPECT_TRUE(cursor->InsertRecord(row.data(), &changes).Ok());
        }
        TSQLMemTableData& table = *Memory().FindTable(def.name);
        if (rows > 2) {
            EXPECT_TRUE(table.DeleteRow({2, 0}, nullptr));
        }
        return table;
    }

    // Per stored row, its slot and the content of each field (empty when null).
    static std::vector<std::pair<int32_t, std::vector<std::vector<std::byte>>>> Contents(
        const TSQLMemTableData& table) {
        std::vector<std::pair<int32_t, std::vector<std::vector<std::byte>>>> contents;
        const TSQLMemMemoryRecordManager& records = table.Records();
        const TSQLMemFieldDefs& fields = table.FieldDefs();
        for (int32_t slot = 0; records.RecordCount() > 0 && slot <= records.HighestSlot(); ++slot) {
            const std::byte* row = records.RecordPointer({slot, 0});
            if (row == nullptr) {
                continue;
            }
            std::vector<std::vector<std::byte>> values;
            for (int32_t f = 0; f < fields.Count(); ++f) {
                if (!IsBlobType(fields[f].BaseType)) {
                    values.emplace_back(row + fields[f].MemoryOffset,
                                        row + fields[f].MemoryOffset + fields[f].MemoryDataSize);
                } else if (const uint64_t reference = GetBlobReference(fields, f, row)) {
                    values.push_back(table.ReadBlob(reference));
                } else {
                    values.emplace_back();
                }
            }
            contents.emplace_back(slot, std::move(values));
        }
        return contents;
    }
};

TEST_F(BlobTableStream, ValuesRoundTripPlainAndCompressedWithEveryAlgorithm) {
    TSQLMemTableData& table = FillBlobs(BlobDefinition("Docs"), 12);
    const auto original = Contents(table);
    const size_t values = table.Blobs().Count();
    ASSERT_GT(values, 20u);
    for (const Method method : kMethods) {
        SCOPED_TRACE(static_cast<int>(method.algorithm));
        const std::vector<std::byte> bytes = Save("Docs", method.algorithm, method.level);
        TSQLMemTableData& loaded = Load(bytes);
        EXPECT_EQ(Contents(loaded), original);
        EXPECT_EQ(loaded.Blobs().Count(), values);
        EXPECT_TRUE(loaded.CheckIntegrity().empty());
        // The field's settings and each value's header come back as they were.
        EXPECT_EQ(loaded.FieldDefs()[2].BlobCompressionAlgorithm, 1);
        EXPECT_EQ(loaded.FieldDefs()[2].BlobCompressionMode, 6);
        EXPECT_EQ(loaded.FieldDefs()[2].BlobBlockSize, 4096);
        EXPECT_EQ(loaded.FieldDefs()[4].AdvancedType, aftWideMemo);
        // Saving the loaded table gives the same bytes again.
        EXPECT_EQ(Save("Docs", method.algorithm, method.level), bytes);
    }
    // A loaded table is an ordinary one: its rows change and free their values.
    TSQLMemTableData& loaded = *Memory().FindTable("Docs");
    const auto cursor = OpenCursor(BlobDefinition("Docs"));
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->First();
    ASSERT_EQ(cursor->GetRecord(grmNext, row.data()), grrOK);
    BlobChanges changes(5);
    changes[3] = std::vector<std::byte>{std::byte{'x'}};
    const std::vector<std::byte> old_row = row;
    ASSERT_TRUE(cursor->UpdateRecord(old_row.data(), row.data(), std::nullopt, &changes).Ok());
    EXPECT_EQ(cursor->ReadBlob(3, row.data()), changes[3]);
    ASSERT_TRUE(cursor->DeleteRecord(row.data()).Ok());
    EXPECT_LT(loaded.Blobs().Count(), values);
}

TEST_F(BlobTableStream, HeaderOfAStreamWithBlobsAndItsDescriptors) {
    TableDefinition def = BlobDefinition("One", false);
    def.fields.resize(2);
    auto cursor = OpenCursor(def);
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    BlobChanges changes(2);
    changes[1] = std::vector<std::byte>{std::byte{'a'}, std::byte{'b'}, std::byte{'c'}};
    ASSERT_TRUE(cursor->InsertRecord(row.data(), &changes).Ok());
    cursor.reset();
    // Saved after 7 bytes of something else: the slot names the absolute position.
    TSQLMemMemoryStream stream;
    SaveDataToStream(stream, std::vector<std::byte>(7, std::byte{0xEE}), 1);
    SaveTableToStream(Memory(), "One", stream, acaNone, 0, 0);
    const std::vector<std::byte> bytes = Content(stream);
    const int32_t row_size = Memory().FindTable("One")->FieldDefs().DataSize();
    const size_t record = bytes.size() - 23 - static_cast<size_t>(row_size);
    const size_t descriptor = record + static_cast<size_t>(row_size);
    const size_t slot = record + 1 + 4;  // bitmap byte, Id
    EXPECT_EQ(LoadLE32(bytes.data() + slot), descriptor);
    EXPECT_EQ(LoadLE32(bytes.data() + slot + 4), 0u);
    // The field definition carries algorithm, level and block size after its size.
    const std::vector<std::byte> descriptor_bytes(
        bytes.begin() + static_cast<ptrdiff_t>(descriptor), bytes.end());
    const std::vector<std::byte> expected = {
        std::byte{0}, std::byte{0}, std::byte{0},   std::byte{0},   std::byte{0},  std::byte{0},
        std::byte{0}, std::byte{0}, std::byte{0},   std::byte{0},   std::byte{0},  std::byte{0},
        std::byte{3}, std::byte{0}, std::byte{0},   std::byte{0},   std::byte{0},  std::byte{0},
        std::byte{0}, std::byte{0}, std::byte{'a'}, std::byte{'b'}, std::byte{'c'}};
    EXPECT_EQ(descriptor_bytes, expected);
    ASSERT_TRUE(stream.SetPosition(7));
    TSQLMemTableData& loaded = LoadTableFromStream(Memory(), stream);
    EXPECT_EQ(Contents(loaded).front().second[1], changes[1]);
}

TEST_F(BlobTableStream, SeveralTablesWithBlobsInOneStream) {
    FillBlobs(BlobDefinition("First"), 5);
    FillBlobs(BlobDefinition("Second", false), 7);
    Fill(testing::BouquetDefinition("Bq"), 3);
    const auto first = Contents(*Memory().FindTable("First"));
    const auto second = Contents(*Memory().FindTable("Second"));
    const Snapshot bouquet = Take(*Memory().FindTable("Bq"));
    for (const Method method : {kMethods[0], kMethods[1], kMethods[3]}) {
        TSQLMemMemoryStream stream;
        SaveAllTablesToStream(Memory(), stream, method.algorithm, method.level, 0);
        ASSERT_TRUE(stream.SetPosition(0));
        LoadAllTablesFromStream(Memory(), stream);
        EXPECT_EQ(Contents(*Memory().FindTable("First")), first);
        EXPECT_EQ(Contents(*Memory().FindTable("Second")), second);
        EXPECT_EQ(Take(*Memory().FindTable("Bq")), bouquet);
    }
}

TEST_F(BlobTableStream, AnUncompressedStreamLoadsOnlyWhereItWasSaved) {
    const Snapshot original = Take(FillBlobs(BlobDefinition("Docs"), 4));
    const auto contents = Contents(*Memory().FindTable("Docs"));
    for (const Method method : {kMethods[0], kMethods[1]}) {
        SCOPED_TRACE(static_cast<int>(method.algorithm));
        const std::vector<std::byte> bytes = Save("Docs", method.algorithm, method.level);
        for (const size_t shift : {size_t{0}, size_t{100}}) {
            std::vector<std::byte> moved(shift, std::byte{0});
            moved.insert(moved.end(), bytes.begin(), bytes.end());
            TSQLMemMemoryStream stream(moved);
            ASSERT_TRUE(stream.SetPosition(static_cast<int64_t>(shift)));
            const Snapshot before = Take(*Memory().FindTable("Docs"));
            const int code = ErrorCode([&] { LoadTableFromStream(Memory(), stream); });
            if (shift == 0 || method.algorithm != acaNone) {
                EXPECT_EQ(code, 0);
                EXPECT_EQ(Contents(*Memory().FindTable("Docs")), contents);
            } else {
                EXPECT_EQ(code, kInvalidTableStreamCode);
                EXPECT_EQ(Take(*Memory().FindTable("Docs")), before);
            }
        }
    }
    // Saved behind 100 bytes and read without them: the positions point past the values.
    TSQLMemMemoryStream padded;
    SaveDataToStream(padded, std::vector<std::byte>(100, std::byte{0}), 1);
    SaveTableToStream(Memory(), "Docs", padded, acaNone, 1, 0);
    std::vector<std::byte> cut(padded.Bytes().begin() + 100, padded.Bytes().end());
    EXPECT_NE(ErrorCode([&] { Load(cut); }), 0);
    EXPECT_EQ(Contents(*Memory().FindTable("Docs")), contents);
    EXPECT_EQ(Take(*Memory().FindTable("Docs")).fields, original.fields);
}

TEST_F(BlobTableStream, DamagedValuesAreRefusedOrFailWhenRead) {
    TableDefinition def = BlobDefinition("Docs", false);
    def.fields.erase(def.fields.begin() + 1);  // Id, Packed, Memo, Wide
    auto cursor = OpenCursor(def);
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    BlobChanges changes(2);
    changes[1] = Pattern(10000, 1);  // three blocks of 4096 bytes at most
    ASSERT_TRUE(cursor->InsertRecord(row.data(), &changes).Ok());
    cursor.reset();
    TSQLMemTableData& table = *Memory().FindTable("Docs");
    const int64_t kept = table.Blobs().KeptBytes();
    const Snapshot original = Take(table);
    const std::vector<std::byte> bytes = Save("Docs", acaNone);
    const size_t descriptor = bytes.size() - 20 - static_cast<size_t>(kept);
    ASSERT_EQ(LoadLE32(bytes.data() + descriptor + 12), static_cast<uint32_t>(kept));
    ASSERT_EQ(LoadLE32(bytes.data() + descriptor + BlobValue::kBlockCountOffset), 3u);

    {
        SCOPED_TRACE("a block checksum flipped: the load takes it, reading fails with 10089");
        std::vector<std::byte> damaged = bytes;
        damaged[descriptor + 20 + TSQLMemCompressedStreamBlockHeader::kChecksumOffset] ^=
            std::byte{0x10};
        TSQLMemTableData& loaded = Load(damaged);
        const auto id = TSQLMemRecordID{0, 0};
        const uint64_t reference =
            GetBlobReference(loaded.FieldDefs(), 1, loaded.Records().RecordPointer(id));
        EXPECT_EQ(ErrorCode([&] { loaded.ReadBlob(reference); }), 10089);
        Load(bytes);
    }
    const size_t before = TSQLMemMemoryManager::Instance().BytesInUse();
    auto patched = [&](size_t offset, uint64_t value) {
        std::vector<std::byte> copy = bytes;
        StoreLE32(copy.data() + offset, static_cast<uint32_t>(value));
        StoreLE32(copy.data() + offset + 4, static_cast<uint32_t>(value >> 32));
        return copy;
    };
    const Snapshot current = Take(*Memory().FindTable("Docs"));
    for (const uint64_t size :
         {uint64_t{1} << 40, uint64_t{0x7fffffff}, uint64_t(kept + 1), uint64_t{0}, ~uint64_t{0}}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(ErrorCode([&] { Load(patched(descriptor + 12, size)); }),
                  kInvalidTableStreamCode);
        EXPECT_LE(TSQLMemMemoryManager::Instance().BytesInUse(), before + 4096);
    }
    // A slot naming a position outside the stream.
    // The loads above replaced the stored table: read the layout from the current one.
    const int32_t row_size = Memory().FindTable("Docs")->FieldDefs().DataSize();
    const size_t slot = descriptor - static_cast<size_t>(row_size) + 1 + 4;
    ASSERT_EQ(LoadLE32(bytes.data() + slot), descriptor);
    EXPECT_EQ(ErrorCode([&] { Load(patched(slot, bytes.size() + 1)); }), kBlobPositionCode);
    EXPECT_EQ(ErrorCode([&] { Load(patched(slot, ~uint64_t{0} - 5)); }), kBlobPositionCode);
    // A header that contradicts itself, and one block too many (the third block, no
    // longer the last, is shorter than the block size).
    std::vector<std::byte> header = bytes;
    header[descriptor + BlobValue::kReservedOffset] = std::byte{7};
    EXPECT_EQ(ErrorCode([&] { Load(header); }), kInvalidBlobCode);
    std::vector<std::byte> blocks = bytes;
    StoreLE32(blocks.data() + descriptor + BlobValue::kBlockCountOffset, 4);
    EXPECT_EQ(ErrorCode([&] { Load(blocks); }), 10088);
    EXPECT_EQ(Take(*Memory().FindTable("Docs")), current);
    EXPECT_EQ(current.fields, original.fields);
}

TEST_F(BlobTableStream, StreamCutAtEveryOffsetFailsAndChangesNothing) {
    TableDefinition def = BlobDefinition("Docs");
    TSQLMemTableData& table = FillBlobs(def, 3);
    const Snapshot original = Take(table);
    for (const Method method : {kMethods[0], kMethods[1]}) {
        const std::vector<std::byte> bytes = Save("Docs", method.algorithm, method.level);
        for (size_t cut = 0; cut < bytes.size();
             cut += cut < 600 || cut + 600 > bytes.size() ? 1 : 97) {
            SCOPED_TRACE(cut);
            ExpectCleanOutcome(Memory(),
                               {bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut)}, "Docs",
                               original, true);
        }
    }
}

}  // namespace
}  // namespace tapir::engine
