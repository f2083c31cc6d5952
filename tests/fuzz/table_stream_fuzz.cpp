// libFuzzer target: the input is loaded as a table stream into the in-memory database.
// A load must end in an engine error or give a table whose indexes describe its rows;
// a loaded table saves and loads again to the same bytes.
//
// Seeds: run the target with TAPIR_WRITE_TABLE_STREAM_SEEDS=<folder> to write streams of
// small tables (several field types, deleted rows, constraints, BLOB values; plain and
// compressed) into that folder; the committed corpus was made so.

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/record/record_buffer.h"
#include "engine/stream/table_stream.h"
#include "engine/table/blob_store.h"
#include "engine/table/sqlmem_cursor.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table_data.h"

namespace {

namespace te = tapir::engine;

te::TSQLMemDatabaseData& Memory() { return *te::TSQLMemEngine::Instance().FindDatabase("MEMORY"); }

std::vector<std::byte> SaveBytes(const std::string& name, te::TSQLMemCompressionAlgorithm algorithm,
                                 uint8_t level) {
    te::TSQLMemMemoryStream stream;
    te::SaveTableToStream(Memory(), name, stream, algorithm, level, 0);
    return {stream.Bytes().begin(), stream.Bytes().end()};
}

te::TableFieldSpec Field(const char* name, te::TFieldType type, int32_t size = 0) {
    te::TableFieldSpec column;
    column.name = name;
    column.data_type = type;
    column.size = size;
    return column;
}

// A table with rows 1 and 3 deleted; `indexed` adds a primary and a text index.
void MakeTable(const std::string& name, bool indexed, int rows) {
    te::TableDefinition def;
    def.name = name;
    def.fields = {Field("Id", te::ftAutoInc),         Field("Name", te::ftString, 8),
                  Field("Wide", te::ftWideString, 4), Field("When", te::ftDateTime),
                  Field("Flag", te::ftBoolean),       Field("Small", te::ftSmallint)};
    def.fields[1].required = true;
    def.fields[5].check_min = -100;
    def.fields[5].check_max = 100;
    if (indexed) {
        te::TableIndexSpec primary;
        primary.name = "Pk";
        primary.fields = "Id";
        primary.primary = true;
        te::TableIndexSpec text;
        text.name = "ByName";
        text.fields = "Name;Small";
        text.case_insensitive = true;
        def.indexes = {primary, text};
    }
    te::TSQLMemCursor::OpenParams params;
    params.definition = def;
    te::TSQLMemCursor cursor(params);
    std::vector<std::byte> row(static_cast<size_t>(cursor.RecordSize()));
    for (int r = 0; r < rows; ++r) {
        cursor.InitNewRecord(row.data());
        const std::string text = "n" + std::to_string(r * 7 % 5);
        cursor.SetFieldData(1, text.c_str(), row.data());
        te::SetInteger(cursor.FieldDefs(), 5, r * 3 - 10, row.data());
        cursor.InsertRecord(row.data());
    }
    te::TSQLMemTableData& table = *Memory().FindTable(name);
    for (int32_t slot : {1, 3}) {
        table.DeleteRow({slot, 0}, nullptr);
    }
}

// Small BLOB values, plain, zlib-compressed in small blocks and as a bzip2 memo; some null,
// row 2 deleted. `indexed` adds a primary index (its pages make an uncompressed stream large).
void MakeBlobTable(const std::string& name, bool indexed) {
    te::TableDefinition def;
    def.name = name;
    def.fields = {Field("Id", te::ftInteger), Field("Plain", te::ftBlob),
                  Field("Packed", te::ftBlob), Field("Memo", te::ftMemo)};
    def.fields[2].blob_compression_algorithm = static_cast<int32_t>(te::acaZLIB);
    def.fields[2].blob_compression_mode = 6;
    def.fields[2].blob_block_size = 64;
    def.fields[3].blob_compression_algorithm = static_cast<int32_t>(te::acaBZIP);
    def.fields[3].blob_compression_mode = 1;
    te::TableIndexSpec primary;
    primary.name = "Pk";
    primary.fields = "Id";
    primary.primary = true;
    if (indexed) {
        def.indexes = {primary};
    }
    te::TSQLMemCursor::OpenParams params;
    params.definition = def;
    te::TSQLMemCursor cursor(params);
    std::vector<std::byte> row(static_cast<size_t>(cursor.RecordSize()));
    for (int r = 0; r < 5; ++r) {
        cursor.InitNewRecord(row.data());
        te::SetInteger(cursor.FieldDefs(), 0, r, row.data());
        te::BlobChanges changes(4);
        for (int f = 1; f < 4; ++f) {
            if ((r + f) % 3 != 0) {
                std::vector<std::byte> value(static_cast<size_t>(10 + r * 40 + f * 7));
                for (size_t i = 0; i < value.size(); ++i) {
                    value[i] = static_cast<std::byte>('a' + (i * 5 + static_cast<size_t>(r)) % 26);
                }
                changes[static_cast<size_t>(f)] = std::move(value);
            }
        }
        cursor.InsertRecord(row.data(), &changes);
    }
    Memory().FindTable(name)->DeleteRow({2, 0}, nullptr);
}

void WriteSeeds(const std::string& folder) {
    te::TSQLMemEngine::Instance().Reset();
    MakeTable("Plain", false, 6);
    MakeTable("Empty", false, 0);
    MakeTable("Indexed", true, 12);
    MakeBlobTable("Blobs", false);
    MakeBlobTable("IndexedBlobs", true);
    const struct {
        const char* table;
        te::TSQLMemCompressionAlgorithm algorithm;
        uint8_t level;
    } seeds[] = {{"Plain", te::acaNone, 1},   {"Empty", te::acaNone, 1},
                 {"Plain", te::acaZLIB, 6},   {"Indexed", te::acaZLIB, 1},
                 {"Indexed", te::acaBZIP, 9}, {"Empty", te::acaBZIP, 1},
                 {"Blobs", te::acaNone, 1},   {"IndexedBlobs", te::acaZLIB, 1}};
    int n = 0;
    for (const auto& seed : seeds) {
        const std::vector<std::byte> bytes = SaveBytes(seed.table, seed.algorithm, seed.level);
        std::ofstream out(folder + "/seed" + std::to_string(n++) + ".acs", std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* folder = std::getenv("TAPIR_WRITE_TABLE_STREAM_SEEDS")) {
        WriteSeeds(folder);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    te::TSQLMemEngine::Instance().Reset();
    std::vector<std::byte> input(reinterpret_cast<const std::byte*>(data),
                                 reinterpret_cast<const std::byte*>(data) + size);
    te::TSQLMemMemoryStream stream(input);
    std::string name;
    try {
        name = te::LoadTableFromStream(Memory(), stream).Name();
    } catch (const te::ESQLMemException&) {
        if (!Memory().TableNames().empty()) {
            std::abort();  // a failed load left a table behind
        }
        return 0;
    }
    te::TSQLMemTableData& table = *Memory().FindTable(name);
    if (!table.CheckIntegrity().empty()) {
        std::abort();
    }
    try {
        const std::vector<std::byte> saved = SaveBytes(name, te::acaNone, 1);
        std::vector<std::byte> copy = saved;
        te::TSQLMemMemoryStream again(copy);
        te::LoadTableFromStream(Memory(), again);
        if (SaveBytes(name, te::acaNone, 1) != saved) {
            std::abort();
        }
    } catch (const te::ESQLMemException&) {
        // A loaded table with a name or constraint too long to be written again.
    }
    return 0;
}
