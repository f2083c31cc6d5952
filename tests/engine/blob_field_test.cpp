#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/pages/blob_value.h"
#include "engine/pages/sqlmem_compressed_blob_stream.h"
#include "engine/record/sqlmem_memory_manager.h"
#include "engine/table/blob_store.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table.h"
#include "engine/table/sqlmem_table_data.h"
#include "tests/engine/core_test_tables.h"

namespace tapir::engine {
namespace {

std::vector<std::byte> Bytes(const std::string& text) {
    const auto* data = reinterpret_cast<const std::byte*>(text.data());
    return {data, data + text.size()};
}

// Content that compresses but not to nothing: a repeating pattern with a counter.
std::vector<std::byte> Pattern(size_t size) {
    std::vector<std::byte> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::byte>((i * 7 + i / 1000) & 0xFF);
    }
    return bytes;
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

// The uncompressed size of every block of a compressed value, from its block headers.
std::vector<uint32_t> BlockSizes(const BlobValue& value) {
    std::vector<uint32_t> sizes;
    const std::span<const std::byte> data = value.Data();
    size_t position = 0;
    for (uint32_t block = 0; block < value.BlockCount(); ++block) {
        sizes.push_back(LoadLE32(data.data() + position + 4));
        position += TSQLMemCompressedStreamBlockHeader::kSize + LoadLE32(data.data() + position);
    }
    EXPECT_EQ(position, data.size());
    return sizes;
}

TEST(BlobValue, BlockSizesFollowTheLevel) {
    const std::vector<std::byte> content = Pattern(250000);
    {
        SCOPED_TRACE("level 5: one block of up to 1048576 bytes");
        const BlobValue value = BlobValue::Make(content, acaZLIB, 5, 0);
        EXPECT_EQ(value.BlockCount(), 1u);
        EXPECT_EQ(value.BlockSize(), BlockSizeForNormal);
        EXPECT_EQ(BlockSizes(value), std::vector<uint32_t>{250000});
        EXPECT_LT(value.Data().size(), content.size());
        EXPECT_EQ(value.Read(), content);
    }
    {
        SCOPED_TRACE("level 0: blocks of 102400 bytes");
        const BlobValue value = BlobValue::Make(content, acaZLIB, 0, 0);
        EXPECT_EQ(BlockSizes(value), (std::vector<uint32_t>{102400, 102400, 45200}));
        EXPECT_EQ(value.Read(), content);
    }
    {
        SCOPED_TRACE("a field's default block size leaves the choice to the level");
        TSQLMemFieldDef field;
        field.SetAdvancedType(aftBlob, 0);
        field.BlobCompressionAlgorithm = static_cast<int32_t>(acaZLIB);
        field.BlobCompressionMode = 5;
        EXPECT_EQ(MakeBlobValue(field, content).BlockCount(), 1u);
        field.BlobCompressionMode = 0;
        EXPECT_EQ(MakeBlobValue(field, content).BlockCount(), 3u);
        field.BlobBlockSize = 100000;
        EXPECT_EQ(BlockSizes(MakeBlobValue(field, content)),
                  (std::vector<uint32_t>{100000, 100000, 50000}));
        // bzip2 has no level 0; the field's values are kept at level 1.
        field.BlobCompressionAlgorithm = static_cast<int32_t>(acaBZIP);
        const BlobValue bzip = MakeBlobValue(field, content);
        EXPECT_EQ(bzip.Level(), 1);
        EXPECT_EQ(bzip.Read(), content);
    }
    {
        SCOPED_TRACE("none keeps the content as it is");
        const BlobValue value = BlobValue::Make(content, acaNone, 9, 0);
        EXPECT_EQ(value.BlockCount(), 0u);
        EXPECT_TRUE(std::equal(value.Data().begin(), value.Data().end(), content.begin()));
    }
}

TEST(BlobValue, DamagedKeptBytesAreRefusedOrFailTheRead) {
    const std::vector<std::byte> content = Pattern(5000);
    const BlobValue value = BlobValue::Make(content, acaZLIB, 0, 1000);
    ASSERT_EQ(value.BlockCount(), 5u);
    auto stored = [&](const BlobValue::Header& header, std::vector<std::byte> data) {
        return BlobValue::FromStored(header, EngineVector<std::byte>(data.begin(), data.end()));
    };
    const std::vector<std::byte> data(value.Data().begin(), value.Data().end());
    EXPECT_EQ(stored(value.EncodeHeader(), data).Read(), content);

    // A wrong checksum in the third block: the value is taken, reading it fails.
    std::vector<std::byte> flipped = data;
    size_t third = 0;
    for (int block = 0; block < 2; ++block) {
        third += TSQLMemCompressedStreamBlockHeader::kSize + LoadLE32(flipped.data() + third);
    }
    flipped[third + TSQLMemCompressedStreamBlockHeader::kChecksumOffset] ^= std::byte{0x40};
    const BlobValue damaged = stored(value.EncodeHeader(), flipped);
    EXPECT_EQ(ErrorCode([&] { damaged.Read(); }), 10089);

    BlobValue::Header header = value.EncodeHeader();
    header[BlobValue::kReservedOffset] = std::byte{1};
    EXPECT_EQ(ErrorCode([&] { stored(header, data); }), kInvalidBlobCode);
    header = value.EncodeHeader();
    StoreLE32(header.data() + BlobValue::kBlockCountOffset, 6);
    EXPECT_EQ(ErrorCode([&] { stored(header, data); }), 10082);
    header = value.EncodeHeader();
    StoreLE32(header.data() + BlobValue::kBlockCountOffset, 4);
    EXPECT_EQ(ErrorCode([&] { stored(header, data); }), kInvalidBlobCode);
    EXPECT_EQ(ErrorCode([&] { stored(value.EncodeHeader(), {}); }), kInvalidBlobCode);
    // A plain value with blocks.
    header = BlobValue::Make(content, acaNone, 0, 0).EncodeHeader();
    StoreLE32(header.data() + BlobValue::kBlockCountOffset, 1);
    EXPECT_EQ(ErrorCode([&] { stored(header, content); }), kInvalidBlobCode);
}

class BlobFields : public ::testing::Test {
  protected:
    void SetUp() override {
        TSQLMemEngine::Instance().Reset();
        table_.SetTableName("Docs");
        TFieldDef wide{"Wide", ftMemo, 0, false};
        wide.AdvancedType = aftWideMemo;
        TFieldDef packed{"Packed", ftBlob, 0, false};
        packed.BlobCompressionAlgorithm = caZLIB;
        packed.BlobCompressionMode = 5;
        table_.FieldDefs() = {{"Id", ftInteger, 0, false},
                              {"Data", ftBlob, 0, false},
                              {"Note", ftMemo, 0, false},
                              wide,
                              packed};
        table_.Open();
    }
    void TearDown() override {
        table_.Close();
        TSQLMemEngine::Instance().Reset();
    }

    TSQLMemTableData& Stored() {
        return *TSQLMemEngine::Instance().FindDatabase("MEMORY")->FindTable("Docs");
    }
    size_t StoredValues() { return Stored().Blobs().Count(); }
    TBlobField& Blob(const char* name) {
        return dynamic_cast<TBlobField&>(table_.FieldByName(name));
    }

    void AppendRow(int id, const std::string& data, const std::string& note) {
        table_.Append();
        table_.FieldByName("Id").SetAsInteger(id);
        Blob("Data").SetAsString(data);
        Blob("Note").SetAsString(note);
        table_.Post();
    }

    TSQLMemTable table_{"Docs"};
};

TEST_F(BlobFields, FieldObjectsOfTheBlobTypes) {
    EXPECT_NE(dynamic_cast<TMemoField*>(&table_.FieldByName("Note")), nullptr);
    EXPECT_NE(dynamic_cast<TMemoField*>(&table_.FieldByName("Wide")), nullptr);
    EXPECT_EQ(dynamic_cast<TMemoField*>(&table_.FieldByName("Data")), nullptr);
    EXPECT_NE(dynamic_cast<TBlobField*>(&table_.FieldByName("Packed")), nullptr);
    // The stored definitions keep the wide memo and the compression settings.
    const auto& defs = table_.FieldDefs();
    EXPECT_EQ(defs[3].AdvancedType, aftWideMemo);
    EXPECT_EQ(defs[3].DataType, ftMemo);
    EXPECT_EQ(defs[4].BlobCompressionAlgorithm, caZLIB);
    EXPECT_EQ(defs[4].BlobCompressionMode, 5);
    EXPECT_EQ(Stored().FieldDefs()[3].BaseType, bftWideClob);
    EXPECT_EQ(Stored().FieldDefs()[4].BlobCompressionAlgorithm, 1);
}

TEST_F(BlobFields, ContentRoundTripsThroughPostAndReopen) {
    const std::string binary("\0\1\2\xff zero bytes inside\0", 24);
    const std::string note = "Grüße – 日本語, ☃";
    const std::string wide = "Ünïcødé 𝄞 wide";
    const std::vector<std::byte> big = Pattern(300000);
    table_.Append();
    table_.FieldByName("Id").SetAsInteger(1);
    Blob("Data").SetAsString(binary);
    Blob("Note").SetAsString(note);
    Blob("Wide").SetAsString(wide);
    Blob("Packed").SetAsBytes(big);
    EXPECT_TRUE(table_.Modified());
    EXPECT_EQ(StoredValues(), 0u) << "nothing is stored before Post";
    table_.Post();
    EXPECT_EQ(StoredValues(), 4u);
    table_.Append();
    table_.FieldByName("Id").SetAsInteger(2);
    table_.Post();
    table_.Close();
    table_.Open();

    EXPECT_EQ(Blob("Data").AsString(), binary);
    EXPECT_EQ(Blob("Note").AsString(), note);
    EXPECT_EQ(Blob("Wide").AsString(), wide);
    EXPECT_EQ(Blob("Packed").AsBytes(), big);
    EXPECT_EQ(Blob("Packed").BlobSize(), 300000);
    // The wide memo keeps UTF-16 code units: 14 characters, one of them outside the BMP.
    EXPECT_EQ(Blob("Wide").AsBytes().size(), 2u * 15);
    EXPECT_EQ(Blob("Wide").AsBytes()[0], std::byte{0xDC});
    // The compressed field keeps fewer bytes than its content.
    EXPECT_LT(Stored().Blobs().KeptBytes(), 300000 + 200);
    EXPECT_FALSE(Blob("Note").IsNull());

    table_.Next();
    EXPECT_EQ(table_.FieldByName("Id").AsInteger(), 2);
    for (const char* name : {"Data", "Note", "Wide", "Packed"}) {
        EXPECT_TRUE(Blob(name).IsNull()) << name;
        EXPECT_EQ(Blob(name).AsString(), "") << name;
    }
}

TEST_F(BlobFields, UpdateReplacesTheValueAndCancelDropsPendingContent) {
    AppendRow(1, "first data", "first note");
    table_.Edit();
    Blob("Note").SetAsString("second note");
    EXPECT_EQ(Blob("Note").AsString(), "second note");
    table_.Cancel();
    EXPECT_EQ(Blob("Note").AsString(), "first note");
    EXPECT_EQ(StoredValues(), 2u);

    table_.Edit();
    Blob("Note").SetAsString("second note");
    table_.FieldByName("Id").SetAsInteger(5);
    table_.Post();
    EXPECT_EQ(Blob("Note").AsString(), "second note");
    EXPECT_EQ(Blob("Data").AsString(), "first data") << "unchanged fields keep their value";
    EXPECT_EQ(StoredValues(), 2u) << "the replaced value is freed";

    // Clearing a field frees its value at Post.
    table_.Edit();
    Blob("Data").Clear();
    EXPECT_TRUE(Blob("Data").IsNull());
    table_.Post();
    EXPECT_TRUE(Blob("Data").IsNull());
    EXPECT_EQ(StoredValues(), 1u);

    // A cancelled insert stores nothing.
    table_.Append();
    Blob("Data").SetAsString("never stored");
    table_.Cancel();
    EXPECT_EQ(StoredValues(), 1u);
    EXPECT_EQ(table_.RecordCount(), 1);
    EXPECT_EQ(Blob("Note").AsString(), "second note");
}

TEST_F(BlobFields, DeleteEmptyAndDropFreeTheValues) {
    AppendRow(1, "kept", "kept note");
    const size_t before = TSQLMemMemoryManager::Instance().BytesInUse();
    table_.Append();
    table_.FieldByName("Id").SetAsInteger(2);
    Blob("Data").SetAsBytes(Pattern(200000));
    table_.Post();
    EXPECT_GE(TSQLMemMemoryManager::Instance().BytesInUse(), before + 200000);
    EXPECT_EQ(StoredValues(), 3u);
    table_.Delete();
    EXPECT_EQ(StoredValues(), 2u);
    EXPECT_EQ(TSQLMemMemoryManager::Instance().BytesInUse(), before);

    AppendRow(3, "more", "");
    table_.Close();
    table_.EmptyTable();
    EXPECT_EQ(StoredValues(), 0u);
    table_.Open();
    AppendRow(4, std::string(50000, 'x'), "note");
    table_.Close();
    const size_t with_table = TSQLMemMemoryManager::Instance().BytesInUse();
    table_.DeleteTable();
    EXPECT_LE(TSQLMemMemoryManager::Instance().BytesInUse() + 50000, with_table);
    table_.Open();
}

TEST_F(BlobFields, StreamsReadAndWriteTheRowBeingEdited) {
    AppendRow(1, "old", "note");
    {
        auto read = table_.CreateBlobStream(Blob("Data"), bmRead);
        EXPECT_EQ(read->Size(), 3);
        std::byte byte{};
        EXPECT_EQ(read->Write(std::span(&byte, 1)), 0u);
    }
    EXPECT_EQ(ErrorCode([&] { table_.CreateBlobStream(Blob("Data"), bmWrite); }), 10007);

    table_.Edit();
    {
        auto append = table_.CreateBlobStream(Blob("Data"), bmReadWrite);
        ASSERT_TRUE(append->SetPosition(append->Size()));
        const std::vector<std::byte> more = Bytes(" and new");
        SaveDataToStream(*append, more, 10147);
    }
    EXPECT_EQ(Blob("Data").AsString(), "old and new");
    {
        // Freed after a write-only stream wrote nothing: the field becomes null.
        auto empty = table_.CreateBlobStream(Blob("Note"), bmWrite);
    }
    EXPECT_TRUE(Blob("Note").IsNull());
    table_.Post();
    EXPECT_EQ(Blob("Data").AsString(), "old and new");
    EXPECT_TRUE(Blob("Note").IsNull());

    // A stream that outlives its edit hands nothing over.
    table_.Edit();
    auto late = table_.CreateBlobStream(Blob("Data"), bmWrite);
    table_.Cancel();
    SaveDataToStream(*late, Bytes("late"), 10147);
    late.reset();
    EXPECT_EQ(Blob("Data").AsString(), "old and new");
    table_.Edit();
    auto orphan = table_.CreateBlobStream(Blob("Data"), bmWrite);
    table_.Close();
    SaveDataToStream(*orphan, Bytes("orphan"), 10147);
    orphan.reset();
    table_.Open();
    EXPECT_EQ(Blob("Data").AsString(), "old and new");

    // Field objects load and save through any engine stream.
    TSQLMemMemoryStream source;
    SaveDataToStream(source, Bytes("from a stream"), 10147);
    table_.Edit();
    Blob("Note").LoadFromStream(source);
    EXPECT_EQ(source.Position(), source.Size());
    table_.Post();
    TSQLMemMemoryStream target;
    Blob("Note").SaveToStream(target);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(target.Bytes().data()), target.Size()),
              "from a stream");
    // Non-BLOB fields have no BLOB access.
    EXPECT_THROW(table_.CreateBlobStream(table_.FieldByName("Id"), bmRead), EDatabaseError);
}

TEST_F(BlobFields, ReadingAValueReplacedThroughAnotherComponentFailsCleanly) {
    AppendRow(1, "shared", "note");
    TSQLMemTable other("Other");
    other.SetTableName("Docs");
    other.Open();
    ASSERT_EQ(dynamic_cast<TBlobField&>(other.FieldByName("Data")).AsString(), "shared");
    table_.Edit();
    Blob("Data").SetAsString("replaced");
    table_.Post();
    EXPECT_EQ(ErrorCode([&] { dynamic_cast<TBlobField&>(other.FieldByName("Data")).AsString(); }),
              kBlobNotFoundCode);
    other.Refresh();
    EXPECT_EQ(dynamic_cast<TBlobField&>(other.FieldByName("Data")).AsString(), "replaced");
}

// Rows built and stored at the cursor level, as the storage sees them.
class BlobStorage : public ::testing::Test {
  protected:
    void SetUp() override { TSQLMemEngine::Instance().Reset(); }
    void TearDown() override { TSQLMemEngine::Instance().Reset(); }
    TSQLMemTableData& Table(const std::string& name) {
        return *TSQLMemEngine::Instance().FindDatabase("MEMORY")->FindTable(name);
    }
};

TEST_F(BlobStorage, ACopiedRowBufferGetsValuesOfItsOwn) {
    TableDefinition def;
    def.name = "Copies";
    def.fields = {testing::Field("Id", ftInteger), testing::Field("Data", ftBlob)};
    auto cursor = testing::OpenCursor(def);
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    BlobChanges changes(2);
    changes[1] = Bytes("original");
    ASSERT_TRUE(cursor->InsertRecord(row.data(), &changes).Ok());
    const uint64_t first = GetBlobReference(cursor->FieldDefs(), 1, row.data());
    ASSERT_NE(first, 0u);

    // The same buffer inserted again: a second row with a value of its own.
    ASSERT_TRUE(cursor->InsertRecord(row.data()).Ok());
    const uint64_t second = GetBlobReference(cursor->FieldDefs(), 1, row.data());
    EXPECT_NE(second, first);
    EXPECT_EQ(Table("Copies").Blobs().Count(), 2u);
    // An update from a buffer that names another row's value keeps the stored one.
    std::vector<std::byte> foreign = row;
    SetRecordID(foreign.data(), cursor->DataSize(), {0, 0});
    ASSERT_TRUE(cursor->UpdateRecord(row.data(), foreign.data()).Ok());
    EXPECT_EQ(GetBlobReference(cursor->FieldDefs(), 1, foreign.data()), first);

    ASSERT_TRUE(Table("Copies").DeleteRow({0, 0}, nullptr));
    EXPECT_EQ(Table("Copies").Blobs().Count(), 1u);
    EXPECT_EQ(cursor->ReadBlob(1, row.data()), Bytes("original"));
    EXPECT_EQ(ErrorCode([&] { cursor->ReadBlob(1, foreign.data()); }), kBlobNotFoundCode);
}

TEST_F(BlobStorage, ARefusedRowKeepsNoValue) {
    TableDefinition def;
    def.name = "Refusing";
    def.fields = {testing::Field("Id", ftInteger, 0, true), testing::Field("Data", ftBlob),
                  testing::Field("Note", ftMemo, 0, true)};
    auto cursor = testing::OpenCursor(def);
    std::vector<std::byte> row = testing::Buffer(*cursor);
    cursor->InitNewRecord(row.data());
    SetInteger(cursor->FieldDefs(), 0, 1, row.data());
    BlobChanges changes(3);
    changes[1] = Pattern(1000);
    // A required memo without content is refused by its not-null constraint.
    const auto refused = cursor->InsertRecord(row.data(), &changes);
    EXPECT_EQ(refused.code, -8);
    EXPECT_NE(refused.message.find("Note"), std::string::npos);
    EXPECT_EQ(Table("Refusing").Blobs().Count(), 0u);

    // A compression that fails stores nothing either.
    TableDefinition bad;
    bad.name = "NoPPM";
    bad.fields = {testing::Field("Data", ftBlob)};
    bad.fields[0].blob_compression_algorithm = static_cast<int32_t>(acaPPM);
    bad.fields[0].blob_compression_mode = 3;
    auto ppm = testing::OpenCursor(bad);
    std::vector<std::byte> ppm_row = testing::Buffer(*ppm);
    ppm->InitNewRecord(ppm_row.data());
    BlobChanges one(1);
    one[0] = Pattern(100);
    EXPECT_EQ(ErrorCode([&] { ppm->InsertRecord(ppm_row.data(), &one); }), 10085);
    EXPECT_EQ(Table("NoPPM").RecordCount(), 0);
    EXPECT_EQ(Table("NoPPM").Blobs().Count(), 0u);
}

TEST_F(BlobStorage, BlobFieldsCannotBeIndexed) {
    TableDefinition def;
    def.name = "Indexed";
    def.fields = {testing::Field("Id", ftInteger), testing::Field("Data", ftMemo)};
    def.indexes = {testing::Index("ByData", "Id;Data")};
    EXPECT_EQ(ErrorCode([&] { testing::OpenCursor(def); }), 30047);
    EXPECT_EQ(TSQLMemEngine::Instance().FindDatabase("MEMORY")->FindTable("Indexed"), nullptr);
}

}  // namespace
}  // namespace tapir::engine
