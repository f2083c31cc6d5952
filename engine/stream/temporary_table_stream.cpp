#include "engine/stream/temporary_table_stream.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/record/db_types.h"
#include "engine/stream/table_stream.h"

namespace tapir::engine {

namespace {

using Code = TemporaryTableStreamCode;

int SaveCode(Code code) { return static_cast<int>(code); }
int LoadCode(Code code) { return static_cast<int>(code) + kTableStreamLoadCodeOffset; }

[[noreturn]] void Invalid(const std::string& what) {
    throw ESQLMemException::Formatted(kInvalidTableStreamCode,
                                      "Invalid temporary table stream: " + what);
}

// Records are moved through a buffer of about this many bytes.
constexpr size_t kRecordBlockBytes = 64 * 1024;

int64_t Remaining(const TSQLMemStream& stream) {
    return std::max<int64_t>(0, stream.Size() - stream.Position());
}

void SkipTo(TSQLMemStream& stream, int64_t position, int code) {
    if (!stream.SetPosition(position) || stream.Position() != position) {
        throw ESQLMemException::Formatted(
            code, "Cannot set stream position to " + std::to_string(position) +
                      ". Position = " + std::to_string(stream.Position()) +
                      ", Size = " + std::to_string(stream.Size()));
    }
}

// A non-null text value must end within its field, or key building would read past it.
bool TextEnds(const TSQLMemFieldDef& field, const std::byte* row) {
    const std::byte* data = row + field.MemoryOffset;
    const auto width = static_cast<size_t>(field.MemoryDataSize);
    if (field.BaseType == bftChar || field.BaseType == bftVarchar) {
        return std::find(data, data + width, std::byte{0}) != data + width;
    }
    if (field.BaseType == bftWideChar || field.BaseType == bftWideVarchar) {
        for (size_t i = 0; i + 1 < width; i += 2) {
            if (data[i] == std::byte{0} && data[i + 1] == std::byte{0}) {
                return true;
            }
        }
        return false;
    }
    return true;
}

void WriteRecords(const TSQLMemTemporaryTableData& table, TSQLMemStream& stream) {
    const int32_t record_size = table.RecordSize();
    const uint64_t count = table.RecordCount();
    SaveInt32(stream, record_size, SaveCode(Code::RecordSize));
    SaveInt64(stream, static_cast<int64_t>(count), SaveCode(Code::RecordCount));
    const auto size = static_cast<size_t>(record_size);
    const size_t per_block = std::max<size_t>(1, kRecordBlockBytes / size);
    std::vector<std::byte> block(std::min<uint64_t>(per_block, count) * size);
    for (uint64_t ordinal = 0; ordinal < count;) {
        const auto records = static_cast<size_t>(std::min<uint64_t>(per_block, count - ordinal));
        for (size_t i = 0; i < records; ++i) {
            table.GetRecord(ordinal + i, block.data() + i * size);
        }
        SaveDataToStream(stream, std::span(block.data(), records * size), SaveCode(Code::Records));
        ordinal += records;
    }
}

std::unique_ptr<TSQLMemTemporaryRecordManager> ReadRecords(
    TSQLMemStream& stream, const TSQLMemFieldDefs& fields,
    const TSQLMemTemporaryRecordManager::Options& options) {
    const int32_t record_size = LoadInt32(stream, LoadCode(Code::RecordSize));
    const int64_t count = LoadInt64(stream, LoadCode(Code::RecordCount));
    if (record_size != fields.DataSize()) {
        Invalid("record size " + std::to_string(record_size) + " for a layout of " +
                std::to_string(fields.DataSize()) + " bytes");
    }
    if (count < 0 || count > Remaining(stream) / record_size) {
        Invalid(std::to_string(count) + " records do not fit the stream");
    }
    auto records = std::make_unique<TSQLMemTemporaryRecordManager>(record_size, options);
    const auto size = static_cast<size_t>(record_size);
    const size_t per_block = std::max<size_t>(1, kRecordBlockBytes / size);
    std::vector<std::byte> block(std::min<uint64_t>(per_block, static_cast<uint64_t>(count)) *
                                 size);
    for (int64_t ordinal = 0; ordinal < count;) {
        const auto step = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(per_block), count - ordinal));
        LoadDataFromStream(stream, std::span(block.data(), step * size), LoadCode(Code::Records));
        for (size_t i = 0; i < step; ++i) {
            const std::byte* row = block.data() + i * size;
            for (int32_t f = 0; f < fields.Count(); ++f) {
                if (!IsFieldNull(row, f) && !TextEnds(fields[f], row)) {
                    Invalid("text of field '" + fields[f].Name + "' in record " +
                            std::to_string(ordinal + static_cast<int64_t>(i)) + " has no end");
                }
            }
            records->AddRecord(row);
        }
        ordinal += static_cast<int64_t>(step);
    }
    return records;
}

}  // namespace

void SaveTemporaryTableToStream(const TSQLMemTemporaryTableData& table, TSQLMemStream& stream) {
    std::lock_guard lock(table.Mutex());
    WriteFieldDefsSection(stream, table.FieldDefs());
    std::vector<int32_t> roots;
    for (size_t i = 0; i < table.IndexDefs().size(); ++i) {
        roots.push_back(table.Index(static_cast<int32_t>(i)).RootPageNo());
    }
    WriteIndexDefsSection(stream, table.IndexDefs(), roots);
    table.Pages().SaveToStream(stream);
    WriteRecords(table, stream);
    TSQLMemTemporaryStream& blob_file = table.BlobFile();
    const int64_t blob_size = blob_file.Size();
    SaveInt64(stream, blob_size, SaveCode(Code::BlobFileSize));
    if (blob_size > 0) {
        // The copy leaves the target where it began.
        const int64_t start = stream.Position();
        blob_file.SaveToStream(stream);
        SkipTo(stream, start + blob_size, SaveCode(Code::BlobFileSize));
    }
}

std::unique_ptr<TSQLMemTemporaryTableData> LoadTemporaryTableFromStream(
    TSQLMemStream& stream, const TSQLMemTemporaryTableOptions& options) {
    TSQLMemTemporaryTableParts parts;
    parts.FieldDefs = ReadFieldDefsSection(stream);
    ReadIndexDefsSection(stream, parts.FieldDefs, parts.IndexDefs, parts.RootPageNos);
    parts.Pages = std::make_unique<TSQLMemTemporaryPageManager>(options.page_size, 0);
    parts.Pages->LoadFromStream(stream);
    parts.Records = ReadRecords(stream, parts.FieldDefs, options.records);
    const int64_t blob_size = LoadInt64(stream, LoadCode(Code::BlobFileSize));
    if (blob_size < 0 || blob_size > Remaining(stream)) {
        Invalid("BLOB file of " + std::to_string(blob_size) + " bytes does not fit the stream");
    }
    parts.BlobFile = std::make_unique<TSQLMemTemporaryStream>(options.blob_memory_limit);
    if (blob_size > 0) {
        // The copy leaves the source where it began.
        const int64_t start = stream.Position();
        if (!parts.BlobFile->LoadFromStreamWithPosition(stream, blob_size, start)) {
            Invalid("BLOB file copy stopped");
        }
        SkipTo(stream, start + blob_size, LoadCode(Code::BlobFileSize));
        (void)parts.BlobFile->SetPosition(0);
    }
    auto table = std::make_unique<TSQLMemTemporaryTableData>(std::move(parts));
    // The index pages must describe exactly the loaded records.
    const std::vector<std::string> problems = table->CheckIntegrity();
    if (!problems.empty()) {
        Invalid(problems.front());
    }
    return table;
}

}  // namespace tapir::engine
