#include "engine/stream/table_stream.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "engine/pages/blob_value.h"
#include "engine/pages/sqlmem_compressed_blob_stream.h"
#include "engine/record/record_buffer.h"
#include "engine/table/blob_store.h"
#include "engine/table/sqlmem_database.h"
#include "engine/table/sqlmem_table_data.h"

namespace tapir::engine {

namespace {

using Code = TableStreamCode;

int SaveCode(Code code) { return static_cast<int>(code); }
int LoadCode(Code code) { return static_cast<int>(code) + kTableStreamLoadCodeOffset; }

[[noreturn]] void Invalid(const std::string& what) {
    throw ESQLMemException::Formatted(kInvalidTableStreamCode, "Invalid table stream: " + what);
}

// Rows of a loaded table may take at most this much memory per byte of the stream
// beyond a fixed allowance: a record map claiming millions of free slots below one row
// is refused instead of allocating them.
constexpr int64_t kSlotMemoryAllowance = int64_t{64} << 20;
constexpr int64_t kSlotMemoryPerStreamByte = 16;
// A compressed body never decompresses to more than this.
constexpr int64_t kMaxBodySize = INT32_MAX;

// --- Writing ---

class Writer {
  public:
    explicit Writer(ByteSink& sink) : sink_(sink) {}
    void Bytes(const void* data, size_t size, int code) {
        SaveDataToStream(sink_, {static_cast<const std::byte*>(data), size}, code);
    }
    void U8(uint8_t value, Code code) { Bytes(&value, 1, SaveCode(code)); }
    void I32(int32_t value, Code code) { SaveInt32(sink_, value, SaveCode(code)); }
    void I64(int64_t value, Code code) { SaveInt64(sink_, value, SaveCode(code)); }
    // One length byte and the bytes.
    void ShortString(const std::string& text, Code code) {
        if (text.size() > 255) {
            throw ESQLMemException::Formatted(
                SaveCode(code), "Name '" + text.substr(0, 32) + "...' is longer than 255 bytes");
        }
        std::vector<std::byte> bytes(text.size() + 1);
        bytes[0] = static_cast<std::byte>(text.size());
        std::memcpy(bytes.data() + 1, text.data(), text.size());
        Bytes(bytes.data(), bytes.size(), SaveCode(code));
    }
    // A counted prefix (int32 or byte) of length + 1, then the length byte and the bytes.
    void PrefixedName(const std::string& text, bool int32_prefix, Code code) {
        if (text.size() > 254) {
            throw ESQLMemException::Formatted(
                SaveCode(code), "Name '" + text.substr(0, 32) + "...' is longer than 254 bytes");
        }
        if (int32_prefix) {
            I32(static_cast<int32_t>(text.size() + 1), code);
        } else {
            U8(static_cast<uint8_t>(text.size() + 1), code);
        }
        ShortString(text, code);
    }
    // int32 length and the bytes.
    void LongString(const std::string& text, Code code) {
        I32(static_cast<int32_t>(text.size()), code);
        Bytes(text.data(), text.size(), SaveCode(code));
    }
    // Byte type, byte is-null, and when not null int32 size and the bytes.
    void Value(TSQLMemBaseFieldType type, const std::optional<std::string>& bytes) {
        U8(static_cast<uint8_t>(type), Code::DefaultType);
        U8(bytes ? 0 : 1, Code::DefaultIsNull);
        if (bytes) {
            I32(static_cast<int32_t>(bytes->size()), Code::DefaultSize);
            Bytes(bytes->data(), bytes->size(), SaveCode(Code::DefaultBytes));
        }
    }

  private:
    ByteSink& sink_;
};

std::optional<std::string> DoubleBytes(const std::optional<double>& value) {
    if (!value) {
        return std::nullopt;
    }
    std::string bytes(sizeof(double), '\0');
    const uint64_t bits = std::bit_cast<uint64_t>(*value);
    for (size_t i = 0; i < sizeof bits; ++i) {
        bytes[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    }
    return bytes;
}

void WriteSequences(Writer& out, const TSQLMemTableData& table) {
    const TSQLMemFieldDefs& fields = table.FieldDefs();
    int32_t autoinc_fields = 0;
    for (const TSQLMemFieldDef& field : fields.Defs()) {
        autoinc_fields += IsAutoIncType(field.AdvancedType) ? 1 : 0;
    }
    out.I32(autoinc_fields, Code::SequenceCount);
    std::vector<int32_t> written;
    for (const TSQLMemFieldDef& field : fields.Defs()) {
        if (!IsAutoIncType(field.AdvancedType) ||
            std::find(written.begin(), written.end(), field.SequenceObjectID) != written.end()) {
            continue;
        }
        for (const TSQLMemSequenceDef& sequence : table.Sequences()) {
            if (sequence.ObjectID != field.SequenceObjectID) {
                continue;
            }
            out.ShortString(sequence.Name, Code::SequenceName);
            out.I32(sequence.ObjectID, Code::SequenceObjectID);
            out.U8(static_cast<uint8_t>(sequence.BaseType), Code::SequenceType);
            out.I64(sequence.MinValue, Code::SequenceValues);
            out.I64(sequence.MaxValue, Code::SequenceValues);
            out.I64(sequence.LastValue, Code::SequenceValues);
            out.I64(sequence.Increment, Code::SequenceValues);
            out.U8(sequence.Cycled ? 1 : 0, Code::SequenceCycled);
            written.push_back(sequence.ObjectID);
        }
    }
}

void WriteFields(Writer& out, const TSQLMemFieldDefs& fields) {
    out.I32(fields.Count(), Code::FieldCount);
    for (const TSQLMemFieldDef& field : fields.Defs()) {
        out.ShortString(field.Name, Code::FieldName);
        out.I32(field.ObjectID, Code::FieldObjectID);
        out.U8(static_cast<uint8_t>(field.BaseType), Code::FieldBaseType);
        out.U8(static_cast<uint8_t>(field.AdvancedType), Code::FieldAdvancedType);
        out.I32(field.Size, Code::FieldSize);
        if (IsBlobType(field.BaseType)) {
            out.U8(static_cast<uint8_t>(field.BlobCompressionAlgorithm), Code::FieldBlobParameters);
            out.U8(static_cast<uint8_t>(field.BlobCompressionMode), Code::FieldBlobParameters);
            out.I32(field.BlobBlockSize, Code::FieldBlobParameters);
        }
        if (IsAutoIncType(field.AdvancedType)) {
            out.I32(field.SequenceObjectID, Code::FieldSequenceObjectID);
            out.I64(field.Increment, Code::FieldAutoincValues);
            out.I64(field.InitialValue, Code::FieldAutoincValues);
            out.I64(field.MinValue, Code::FieldAutoincValues);
            out.I64(field.MaxValue, Code::FieldAutoincValues);
            out.U8(field.Cycled ? 1 : 0, Code::FieldCycled);
        } else {
            out.Value(field.BaseType, field.DefaultValue);
        }
    }
}

// Stored constraint type bytes.
constexpr uint8_t kPrimaryKeyType = 0;
constexpr uint8_t kForeignKeyType = 1;
constexpr uint8_t kUniqueType = 2;
constexpr uint8_t kNotNullType = 3;
constexpr uint8_t kCheckType = 4;
constexpr uint8_t kForeignKeyActionType = 5;

void WriteConstraints(Writer& out, const TSQLMemTableData& table) {
    const TSQLMemFieldDefs& fields = table.FieldDefs();
    out.I32(static_cast<int32_t>(table.ConstraintDefs().size()), Code::ConstraintCount);
    for (const TSQLMemConstraintDef& constraint : table.ConstraintDefs()) {
        switch (constraint.Kind) {
            case ConstraintKind::PrimaryKey:
            case ConstraintKind::Unique: {
                const TSQLMemIndexDef& index = table.IndexDefs()[constraint.IndexNo];
                out.U8(
                    constraint.Kind == ConstraintKind::PrimaryKey ? kPrimaryKeyType : kUniqueType,
                    Code::ConstraintType);
                out.ShortString(constraint.Name, Code::ConstraintName);
                out.I32(constraint.ObjectID, Code::ConstraintObjectID);
                // References: the table (none kept), the index, none.
                out.I32(0, Code::ConstraintReferences);
                out.I32(index.ObjectID, Code::ConstraintReferences);
                out.I32(0, Code::ConstraintReferences);
                out.PrefixedName(constraint.TableName, true, Code::ConstraintNames);
                out.PrefixedName(index.Name, true, Code::ConstraintNames);
                out.PrefixedName("", true, Code::ConstraintNames);
                out.I32(static_cast<int32_t>(index.Columns.size()), Code::ConstraintColumnCount);
                for (const TSQLMemIndexColumn& column : index.Columns) {
                    out.I32(fields[fields.IndexOf(column.FieldName)].ObjectID,
                            Code::ConstraintColumn);
                    out.PrefixedName(column.FieldName, true, Code::ConstraintColumn);
                }
                break;
            }
            case ConstraintKind::NotNull:
            case ConstraintKind::Check: {
                const TSQLMemFieldDef& field = fields[constraint.FieldNo];
                const bool check = constraint.Kind == ConstraintKind::Check;
                out.U8(check ? kCheckType : kNotNullType, Code::ConstraintType);
                out.ShortString(constraint.Name, Code::ConstraintName);
                out.I32(constraint.ObjectID, Code::ConstraintObjectID);
                out.I32(0, Code::ConstraintReferences);
                out.I32(field.ObjectID, Code::ConstraintReferences);
                out.I32(0, Code::ConstraintReferences);
                out.PrefixedName(constraint.TableName, false, Code::ConstraintNames);
                out.PrefixedName(field.Name, false, Code::ConstraintNames);
                out.PrefixedName("", false, Code::ConstraintNames);
                if (check) {
                    out.Value(bftDouble, DoubleBytes(constraint.MinValue));
                    out.Value(bftDouble, DoubleBytes(constraint.MaxValue));
                }
                break;
            }
            case ConstraintKind::ForeignKey:
                out.U8(kForeignKeyType, Code::ConstraintType);
                out.ShortString(constraint.Name, Code::ConstraintName);
                out.I32(constraint.ObjectID, Code::ConstraintObjectID);
                out.LongString(constraint.TableName, Code::ConstraintNames);
                out.I32(0, Code::ConstraintReferences);
                out.LongString(constraint.ReferencedTable, Code::ConstraintNames);
                out.I32(0, Code::ConstraintReferences);
                out.U8(static_cast<uint8_t>(constraint.Match), Code::ConstraintActions);
                out.U8(static_cast<uint8_t>(constraint.OnUpdate), Code::ConstraintActions);
                out.U8(static_cast<uint8_t>(constraint.OnDelete), Code::ConstraintActions);
                out.I32(static_cast<int32_t>(constraint.Columns.size()),
                        Code::ConstraintColumnCount);
                for (const std::string& column : constraint.Columns) {
                    const int32_t field_no = fields.IndexOf(column);
                    out.I32(field_no >= 0 ? fields[field_no].ObjectID : 0, Code::ConstraintColumn);
                    out.LongString(column, Code::ConstraintColumn);
                }
                break;
        }
    }
}

void WriteIndexDefs(Writer& out, const std::vector<TSQLMemIndexDef>& defs,
                    const std::vector<int32_t>& root_page_nos) {
    out.I32(static_cast<int32_t>(defs.size()), Code::IndexCount);
    for (size_t i = 0; i < defs.size(); ++i) {
        const TSQLMemIndexDef& def = defs[i];
        out.ShortString(def.Name, Code::IndexName);
        out.I32(def.ObjectID, Code::IndexObjectID);
        out.U8(0, Code::IndexKind);
        out.U8(def.Unique ? 1 : 0, Code::IndexFlags);
        out.U8(def.Primary ? 1 : 0, Code::IndexFlags);
        out.I32(static_cast<int32_t>(def.Columns.size()), Code::IndexColumnCount);
        out.I32(root_page_nos[i], Code::IndexRootPageNo);
        for (const TSQLMemIndexColumn& column : def.Columns) {
            out.ShortString(column.FieldName, Code::IndexFieldName);
            out.U8(column.Descending ? 1 : 0, Code::IndexColumnFlags);
            out.U8(column.CaseInsensitive ? 1 : 0, Code::IndexColumnFlags);
        }
    }
}

void WriteIndexes(Writer& out, ByteSink& sink, const TSQLMemTableData& table) {
    std::vector<int32_t> roots;
    for (size_t i = 0; i < table.IndexDefs().size(); ++i) {
        roots.push_back(table.Index(static_cast<int32_t>(i)).RootPageNo());
    }
    WriteIndexDefs(out, table.IndexDefs(), roots);
    table.Pages().SaveToStream(sink);
}

// The record with its BLOB slots holding the positions of the values that follow it
// (`position` is where the record starts in the sink), then each value: its header, its
// kept size and its kept bytes.
void WriteRecordWithBlobs(Writer& out, ByteSink& sink, const TSQLMemTableData& table,
                          const std::byte* row, std::vector<std::byte>& copy) {
    const TSQLMemFieldDefs& fields = table.FieldDefs();
    copy.assign(row, row + fields.DataSize());
    int64_t position = sink.Position() + fields.DataSize();
    std::vector<const BlobValue*> values;
    for (int32_t f = 0; f < fields.Count(); ++f) {
        if (!IsBlobType(fields[f].BaseType) || IsFieldNull(row, f)) {
            continue;
        }
        const BlobValue& value = table.Blobs().Get(GetBlobReference(fields, f, row));
        SetBlobReference(fields, f, static_cast<uint64_t>(position), copy.data());
        values.push_back(&value);
        position += kBlobDescriptorSize + static_cast<int64_t>(value.Data().size());
    }
    out.Bytes(copy.data(), copy.size(), SaveCode(Code::Record));
    for (const BlobValue* value : values) {
        const BlobValue::Header header = value->EncodeHeader();
        out.Bytes(header.data(), header.size(), SaveCode(Code::BlobDescriptor));
        out.I64(static_cast<int64_t>(value->Data().size()), Code::BlobDescriptor);
        out.Bytes(value->Data().data(), value->Data().size(), SaveCode(Code::BlobData));
    }
}

bool HasBlobFields(const TSQLMemFieldDefs& fields) {
    return std::any_of(fields.Defs().begin(), fields.Defs().end(),
                       [](const TSQLMemFieldDef& field) { return IsBlobType(field.BaseType); });
}

void WriteRecords(Writer& out, ByteSink& sink, const TSQLMemTableData& table) {
    const TSQLMemMemoryRecordManager& records = table.Records();
    if (records.RecordCount() == 0) {
        return;
    }
    const int32_t slots = records.HighestSlot() + 1;
    std::vector<uint8_t> bitmap((static_cast<size_t>(slots) + 7) / 8, 0);
    for (int32_t slot = 0; slot < slots; ++slot) {
        if (!records.RecordExists({slot, 0})) {
            bitmap[static_cast<size_t>(slot) / 8] |= static_cast<uint8_t>(1u << (slot % 8));
        }
    }
    out.I32(slots, Code::SlotCount);
    out.U8(records.Dense() ? 255 : 0, Code::NoDeletedSlots);
    out.I32(records.LowestSlot(), Code::FirstSlot);
    out.I32(records.HighestSlot(), Code::LastSlot);
    out.Bytes(bitmap.data(), bitmap.size(), SaveCode(Code::DeletedBits));
    const size_t row_size = static_cast<size_t>(records.RowSize());
    const bool blobs = HasBlobFields(table.FieldDefs());
    std::vector<std::byte> copy;
    for (int32_t slot = records.LowestSlot(); slot < slots; ++slot) {
        if (const std::byte* row = records.RecordPointer({slot, 0})) {
            if (blobs) {
                WriteRecordWithBlobs(out, sink, table, row, copy);
            } else {
                out.Bytes(row, row_size, SaveCode(Code::Record));
            }
        }
    }
}

void WriteBody(ByteSink& sink, const TSQLMemTableData& table) {
    Writer out(sink);
    WriteSequences(out, table);
    WriteFields(out, table.FieldDefs());
    WriteConstraints(out, table);
    WriteIndexes(out, sink, table);
    WriteRecords(out, sink, table);
}

struct Header {
    int64_t record_count = 0;
    int64_t body_size = 0;
    int32_t stored_body_size = 0;
    uint8_t algorithm = 0;
    uint8_t level = 0;
    std::string name;
    int64_t last_object_id = 0;
};

void WriteHeader(ByteSink& sink, const Header& header) {
    std::byte block[kTableStreamHeaderSize] = {};
    std::memcpy(block, kTableStreamSignature, 4);
    const uint64_t version = std::bit_cast<uint64_t>(kTableStreamVersion);
    for (int i = 0; i < 8; ++i) {
        block[4 + i] = static_cast<std::byte>((version >> (8 * i)) & 0xFF);
        block[12 + i] =
            static_cast<std::byte>((static_cast<uint64_t>(header.record_count) >> (8 * i)) & 0xFF);
        block[20 + i] =
            static_cast<std::byte>((static_cast<uint64_t>(header.body_size) >> (8 * i)) & 0xFF);
    }
    StoreLE32(block + 36, static_cast<uint32_t>(header.stored_body_size));
    block[40] = static_cast<std::byte>(header.algorithm);
    block[41] = static_cast<std::byte>(header.level);
    block[42] = static_cast<std::byte>(header.name.size());
    SaveDataToStream(sink, block, kHeaderWriteCode);
    SaveDataToStream(sink, std::as_bytes(std::span(header.name.data(), header.name.size())),
                     kNameWriteCode);
    SaveInt64(sink, header.last_object_id, kLastObjectIDWriteCode);
}

TSQLMemTableData& RequireTable(TSQLMemDatabaseData& database, const std::string& name) {
    TSQLMemTableData* table = database.FindTable(name);
    if (table == nullptr) {
        throw ESQLMemException::Formatted(kTableNotFoundCode,
                                          "Table not found, table name = " + name);
    }
    return *table;
}

void RefuseOpen(const TSQLMemTableData& table) {
    if (table.OpenCursorCount() > 0) {
        throw ESQLMemException::Formatted(
            kTableOpenCode,
            "Cannot save table '" + table.Name() + "'. Table is open by another dataset");
    }
}

// With the database and table locks held.
void SaveOneTable(TSQLMemDatabaseData& database, TSQLMemTableData& table, TSQLMemStream& stream,
                  TSQLMemCompressionAlgorithm algorithm, uint8_t level, int32_t value) {
    RefuseOpen(table);
    Header header;
    header.record_count = table.RecordCount();
    header.stored_body_size = value;
    header.algorithm = static_cast<uint8_t>(algorithm);
    header.level = level == 0 ? 1 : level;
    header.name = table.Name();
    header.last_object_id = database.LastObjectID();
    if (header.name.size() > 255) {
        throw ESQLMemException::Formatted(
            kNameWriteCode,
            "Table name '" + header.name.substr(0, 32) + "...' is longer than 255 bytes");
    }
    const int64_t start = stream.Position();
    WriteHeader(stream, header);
    std::exception_ptr failure;
    try {
        if (algorithm == acaNone) {
            WriteBody(stream, table);
        } else {
            // Until the compressed body is written the header promises none.
            header.stored_body_size = 0;
            TSQLMemMemoryStream body;
            WriteBody(body, table);
            std::vector<std::byte> compressed;
            if (!SQLMemInternalCompressBuffer(algorithm, header.level, body.Bytes(), compressed) ||
                compressed.size() > static_cast<size_t>(INT32_MAX)) {
                throw ESQLMemException::Formatted(
                    kCompressBodyCode, "Cannot compress table '" + header.name + "' with " +
                                           GetCompressionAlgorithmSQLName(algorithm) +
                                           " at level " + std::to_string(header.level));
            }
            SaveDataToStream(stream, compressed, SaveCode(Code::CompressedBody));
            header.body_size = body.Size();
            header.stored_body_size = static_cast<int32_t>(compressed.size());
        }
    } catch (...) {
        failure = std::current_exception();
    }
    const int64_t end = stream.Position();
    if (!stream.SetPosition(start) || stream.Position() != start) {
        throw ESQLMemException::Formatted(kHeaderSeekCode,
                                          "Cannot set stream position to " + std::to_string(start) +
                                              ". Position = " + std::to_string(stream.Position()) +
                                              ", Size = " + std::to_string(stream.Size()));
    }
    WriteHeader(stream, header);
    if (!stream.SetPosition(end)) {
        throw ESQLMemException::Formatted(kHeaderSeekCode,
                                          "Cannot set stream position to " + std::to_string(end) +
                                              ". Position = " + std::to_string(stream.Position()) +
                                              ", Size = " + std::to_string(stream.Size()));
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

// --- Reading ---

class Reader {
  public:
    explicit Reader(ByteSource& source) : source_(source) {}
    int64_t Remaining() const { return std::max<int64_t>(0, source_.Size() - source_.Position()); }
    void Bytes(void* data, size_t size, int code) {
        LoadDataFromStream(source_, {static_cast<std::byte*>(data), size}, code);
    }
    uint8_t U8(Code code) {
        uint8_t value = 0;
        Bytes(&value, 1, LoadCode(code));
        return value;
    }
    int32_t I32(Code code) { return LoadInt32(source_, LoadCode(code)); }
    int64_t I64(Code code) { return LoadInt64(source_, LoadCode(code)); }
    // A count whose items take at least `item_size` bytes each: refused when the stream
    // cannot hold that many.
    int32_t Count(Code code, int64_t item_size, const char* what) {
        const int32_t count = I32(code);
        if (count < 0 || static_cast<int64_t>(count) * item_size > Remaining()) {
            Invalid(std::string(what) + " count " + std::to_string(count) +
                    " does not fit the stream");
        }
        return count;
    }
    std::string ShortString(Code code) {
        const uint8_t length = U8(code);
        std::string text(length, '\0');
        Bytes(text.data(), length, LoadCode(code));
        return text;
    }
    std::string PrefixedName(bool int32_prefix, Code code) {
        const int64_t prefix = int32_prefix ? I32(code) : U8(code);
        std::string text = ShortString(code);
        if (prefix != static_cast<int64_t>(text.size()) + 1) {
            Invalid("name length " + std::to_string(prefix) + " does not match '" + text + "'");
        }
        return text;
    }
    std::string LongString(Code code) {
        const int32_t length = Count(code, 1, "name length");
        std::string text(static_cast<size_t>(length), '\0');
        Bytes(text.data(), text.size(), LoadCode(code));
        return text;
    }
    // A value in the default-value form: its type and bytes (nullopt when null).
    std::optional<std::string> Value(uint8_t& type) {
        type = U8(Code::DefaultType);
        if (U8(Code::DefaultIsNull) != 0) {
            return std::nullopt;
        }
        const int32_t size = Count(Code::DefaultSize, 1, "value size");
        std::string bytes(static_cast<size_t>(size), '\0');
        Bytes(bytes.data(), bytes.size(), LoadCode(Code::DefaultBytes));
        return bytes;
    }

  private:
    ByteSource& source_;
};

bool IsSized(TSQLMemBaseFieldType base) {
    return base == bftChar || base == bftVarchar || base == bftWideChar || base == bftWideVarchar ||
           base == bftBytes || base == bftVarBytes;
}

// A non-null text value of the field's width must end within it.
bool TextEnds(TSQLMemBaseFieldType base, const std::byte* data, size_t width) {
    if (base == bftChar || base == bftVarchar) {
        return std::find(data, data + width, std::byte{0}) != data + width;
    }
    if (base == bftWideChar || base == bftWideVarchar) {
        for (size_t i = 0; i + 1 < width; i += 2) {
            if (data[i] == std::byte{0} && data[i + 1] == std::byte{0}) {
                return true;
            }
        }
        return false;
    }
    return true;
}

std::vector<TSQLMemSequenceDef> ReadSequences(Reader& in) {
    // Name byte, identifier, type, four values and the flag.
    const int32_t count = in.Count(Code::SequenceCount, 1 + 4 + 1 + 32 + 1, "sequence");
    std::vector<TSQLMemSequenceDef> sequences;
    for (int32_t i = 0; i < count; ++i) {
        TSQLMemSequenceDef sequence;
        sequence.Name = in.ShortString(Code::SequenceName);
        sequence.ObjectID = in.I32(Code::SequenceObjectID);
        const uint8_t type = in.U8(Code::SequenceType);
        if (type == 0 || type > static_cast<uint8_t>(bftBFile)) {
            Invalid("sequence type " + std::to_string(type));
        }
        sequence.BaseType = static_cast<TSQLMemBaseFieldType>(type);
        sequence.MinValue = in.I64(Code::SequenceValues);
        sequence.MaxValue = in.I64(Code::SequenceValues);
        sequence.LastValue = in.I64(Code::SequenceValues);
        sequence.Increment = in.I64(Code::SequenceValues);
        sequence.Cycled = in.U8(Code::SequenceCycled) != 0;
        sequences.push_back(std::move(sequence));
    }
    return sequences;
}

TSQLMemFieldDefs ReadFields(Reader& in, const std::vector<TSQLMemSequenceDef>& sequences) {
    const int32_t count = in.Count(Code::FieldCount, 1 + 4 + 1 + 1 + 4 + 2, "field");
    if (count == 0) {
        Invalid("no fields");
    }
    std::vector<TSQLMemFieldDef> defs;
    int64_t data_size = BitmapSize(count);
    for (int32_t i = 0; i < count; ++i) {
        TSQLMemFieldDef field;
        field.Name = in.ShortString(Code::FieldName);
        field.ObjectID = in.I32(Code::FieldObjectID);
        const uint8_t base = in.U8(Code::FieldBaseType);
        const uint8_t advanced = in.U8(Code::FieldAdvancedType);
        const int32_t size = in.I32(Code::FieldSize);
        if (field.Name.empty() ||
            std::any_of(defs.begin(), defs.end(),
                        [&](const TSQLMemFieldDef& d) { return SameName(d.Name, field.Name); })) {
            Invalid("field name '" + field.Name + "' empty or repeated");
        }
        if (advanced == 0 || advanced > static_cast<uint8_t>(aftWideMemo)) {
            Invalid("advanced type " + std::to_string(advanced) + " of field '" + field.Name + "'");
        }
        const auto advanced_type = static_cast<TSQLMemAdvancedFieldType>(advanced);
        const TSQLMemBaseFieldType base_type = AdvancedToBaseType(advanced_type);
        if (static_cast<uint8_t>(base_type) != base) {
            Invalid("base type " + std::to_string(base) + " of field '" + field.Name + "'");
        }
        if (IsSized(base_type) ? (size <= 0 || size >= kMaxRecordSize) : size < 0) {
            Invalid("size " + std::to_string(size) + " of field '" + field.Name + "'");
        }
        field.SetAdvancedType(advanced_type, size);
        if (IsBlobType(base_type)) {
            field.BlobCompressionAlgorithm = in.U8(Code::FieldBlobParameters);
            field.BlobCompressionMode = in.U8(Code::FieldBlobParameters);
            field.BlobBlockSize = in.I32(Code::FieldBlobParameters);
            if (field.BlobCompressionAlgorithm > static_cast<int32_t>(acaPPM) ||
                field.BlobCompressionMode > 9 || field.BlobBlockSize < 0 ||
                field.BlobBlockSize > kMaxBLOBBlockSize) {
                Invalid("BLOB parameters of field '" + field.Name + "'");
            }
        }
        data_size += field.MemoryDataSize;
        if (data_size + kRecordTrailerSize >= kMaxRecordSize) {
            Invalid("record size above " + std::to_string(kMaxRecordSize));
        }
        if (IsAutoIncType(advanced_type)) {
            field.SequenceObjectID = in.I32(Code::FieldSequenceObjectID);
            field.Increment = in.I64(Code::FieldAutoincValues);
            field.InitialValue = in.I64(Code::FieldAutoincValues);
            field.MinValue = in.I64(Code::FieldAutoincValues);
            field.MaxValue = in.I64(Code::FieldAutoincValues);
            field.Cycled = in.U8(Code::FieldCycled) != 0;
            if (std::none_of(sequences.begin(), sequences.end(), [&](const TSQLMemSequenceDef& s) {
                    return s.ObjectID == field.SequenceObjectID;
                })) {
                Invalid("no sequence for autoinc field '" + field.Name + "'");
            }
        } else {
            uint8_t type = 0;
            field.DefaultValue = in.Value(type);
            if (field.DefaultValue && IsBlobType(base_type)) {
                Invalid("default value of BLOB field '" + field.Name + "'");
            }
            if (field.DefaultValue &&
                (field.DefaultValue->size() != static_cast<size_t>(field.MemoryDataSize) ||
                 !TextEnds(base_type,
                           reinterpret_cast<const std::byte*>(field.DefaultValue->data()),
                           field.DefaultValue->size()))) {
                Invalid("default value of field '" + field.Name + "'");
            }
        }
        defs.push_back(std::move(field));
    }
    return TSQLMemFieldDefs(std::move(defs));
}

struct PendingConstraint {
    TSQLMemConstraintDef def;
    int32_t index_object_id = -1;
};

std::vector<PendingConstraint> ReadConstraints(Reader& in, const std::string& table_name,
                                               const TSQLMemFieldDefs& fields) {
    const int32_t count = in.Count(Code::ConstraintCount, 1 + 1 + 4 + 12 + 3, "constraint");
    std::vector<PendingConstraint> constraints;
    for (int32_t i = 0; i < count; ++i) {
        PendingConstraint pending;
        TSQLMemConstraintDef& def = pending.def;
        const uint8_t type = in.U8(Code::ConstraintType);
        if (type > kForeignKeyActionType) {
            throw ESQLMemException::Formatted(
                kUnknownConstraintCode, "Unknown Constraint Type: '" + std::to_string(type) + "'");
        }
        def.Name = in.ShortString(Code::ConstraintName);
        def.ObjectID = in.I32(Code::ConstraintObjectID);
        def.TableName = table_name;
        if (type == kPrimaryKeyType || type == kUniqueType) {
            def.Kind =
                type == kPrimaryKeyType ? ConstraintKind::PrimaryKey : ConstraintKind::Unique;
            in.I32(Code::ConstraintReferences);
            pending.index_object_id = in.I32(Code::ConstraintReferences);
            in.I32(Code::ConstraintReferences);
            for (int n = 0; n < 3; ++n) {
                in.PrefixedName(true, Code::ConstraintNames);
            }
            const int32_t columns = in.Count(Code::ConstraintColumnCount, 4 + 4 + 1, "column");
            for (int32_t c = 0; c < columns; ++c) {
                in.I32(Code::ConstraintColumn);
                in.PrefixedName(true, Code::ConstraintColumn);
            }
        } else if (type == kNotNullType || type == kCheckType) {
            def.Kind = type == kNotNullType ? ConstraintKind::NotNull : ConstraintKind::Check;
            in.I32(Code::ConstraintReferences);
            const int32_t field_id = in.I32(Code::ConstraintReferences);
            in.I32(Code::ConstraintReferences);
            for (int n = 0; n < 3; ++n) {
                in.PrefixedName(false, Code::ConstraintNames);
            }
            for (int32_t f = 0; f < fields.Count(); ++f) {
                if (fields[f].ObjectID == field_id) {
                    def.FieldNo = f;
                }
            }
            if (def.FieldNo < 0) {
                Invalid("constraint '" + def.Name + "' names no field");
            }
            if (type == kCheckType) {
                for (std::optional<double>* limit : {&def.MinValue, &def.MaxValue}) {
                    uint8_t value_type = 0;
                    const std::optional<std::string> bytes = in.Value(value_type);
                    if (bytes && bytes->size() != sizeof(double)) {
                        Invalid("check value of constraint '" + def.Name + "'");
                    }
                    if (bytes) {
                        uint64_t bits = 0;
                        for (size_t b = 0; b < sizeof bits; ++b) {
                            bits |= static_cast<uint64_t>(static_cast<uint8_t>((*bytes)[b]))
                                    << (8 * b);
                        }
                        *limit = std::bit_cast<double>(bits);
                    }
                }
            }
        } else {
            def.Kind = ConstraintKind::ForeignKey;
            in.LongString(Code::ConstraintNames);
            in.I32(Code::ConstraintReferences);
            def.ReferencedTable = in.LongString(Code::ConstraintNames);
            in.I32(Code::ConstraintReferences);
            const uint8_t match = in.U8(Code::ConstraintActions);
            const uint8_t on_update = in.U8(Code::ConstraintActions);
            const uint8_t on_delete = in.U8(Code::ConstraintActions);
            if (match > static_cast<uint8_t>(TSQLMemMatchRule::Partial) ||
                on_update > static_cast<uint8_t>(TSQLMemReferentialAction::SetDefault) ||
                on_delete > static_cast<uint8_t>(TSQLMemReferentialAction::SetDefault)) {
                Invalid("rules of foreign key '" + def.Name + "'");
            }
            def.Match = static_cast<TSQLMemMatchRule>(match);
            def.OnUpdate = static_cast<TSQLMemReferentialAction>(on_update);
            def.OnDelete = static_cast<TSQLMemReferentialAction>(on_delete);
            const int32_t columns = in.Count(Code::ConstraintColumnCount, 8, "column");
            for (int32_t c = 0; c < columns; ++c) {
                in.I32(Code::ConstraintColumn);
                def.Columns.push_back(in.LongString(Code::ConstraintColumn));
            }
            if (type == kForeignKeyActionType) {
                // The referenced side of a key: the referencing table's own record is
                // what counts, so this one is read past.
                continue;
            }
            if (def.ReferencedTable.empty() || def.Columns.empty() ||
                def.Columns.size() > static_cast<size_t>(fields.Count())) {
                Invalid("foreign key '" + def.Name + "' with " + std::to_string(columns) +
                        " columns");
            }
            for (std::string& column : def.Columns) {
                const int32_t field_no = fields.IndexOf(column);
                if (field_no < 0 || IsBlobType(fields[field_no].BaseType)) {
                    Invalid("field '" + column + "' of foreign key '" + def.Name + "'");
                }
                column = fields[field_no].Name;
            }
        }
        constraints.push_back(std::move(pending));
    }
    return constraints;
}

void ReadIndexDefs(Reader& in, const TSQLMemFieldDefs& fields,
                   std::vector<TSQLMemIndexDef>& index_defs, std::vector<int32_t>& root_page_nos) {
    const int32_t count = in.Count(Code::IndexCount, 1 + 4 + 3 + 8, "index");
    for (int32_t i = 0; i < count; ++i) {
        TSQLMemIndexDef def;
        def.Name = in.ShortString(Code::IndexName);
        def.ObjectID = in.I32(Code::IndexObjectID);
        if (in.U8(Code::IndexKind) != 0) {
            Invalid("kind of index '" + def.Name + "'");
        }
        def.Unique = in.U8(Code::IndexFlags) != 0;
        def.Primary = in.U8(Code::IndexFlags) != 0;
        const int32_t columns = in.Count(Code::IndexColumnCount, 3, "index column");
        const int32_t root = in.I32(Code::IndexRootPageNo);
        if (def.Name.empty() || columns == 0 || columns > fields.Count()) {
            Invalid("index '" + def.Name + "' with " + std::to_string(columns) + " columns");
        }
        for (int32_t c = 0; c < columns; ++c) {
            TSQLMemIndexColumn column;
            column.FieldName = in.ShortString(Code::IndexFieldName);
            const int32_t field_no = fields.IndexOf(column.FieldName);
            if (field_no < 0) {
                Invalid("field '" + column.FieldName + "' of index '" + def.Name + "' not found");
            }
            if (IsBlobType(fields[field_no].BaseType)) {
                Invalid("BLOB field '" + column.FieldName + "' in index '" + def.Name + "'");
            }
            column.FieldName = fields[field_no].Name;
            column.Descending = in.U8(Code::IndexColumnFlags) != 0;
            column.CaseInsensitive = in.U8(Code::IndexColumnFlags) != 0;
            def.Columns.push_back(std::move(column));
        }
        index_defs.push_back(std::move(def));
        root_page_nos.push_back(root);
    }
}

void ReadIndexes(Reader& in, ByteSource& source, TSQLMemTableParts& parts) {
    ReadIndexDefs(in, parts.FieldDefs, parts.IndexDefs, parts.RootPageNos);
    parts.Pages = std::make_unique<TSQLMemMemoryPageManager>();
    parts.Pages->LoadFromStream(source);
    for (size_t i = 0; i < parts.RootPageNos.size(); ++i) {
        const int32_t root = parts.RootPageNos[i];
        if (root != -1 && (root < 0 || !parts.Pages->IsAllocated(root))) {
            Invalid("root page " + std::to_string(root) + " of index '" + parts.IndexDefs[i].Name +
                    "' is not in the page store");
        }
    }
}

// The BLOB values that follow a record: each slot of a non-null BLOB field holds the
// position of its value, which must be where the values of the record follow one another.
// Each value becomes a new value of the table's store, and the slot its reference.
void ReadRecordBlobs(Reader& in, TSQLMemStream& source, int32_t slot, std::byte* row,
                     TSQLMemTableParts& parts) {
    const TSQLMemFieldDefs& fields = parts.FieldDefs;
    int64_t expected = source.Position();
    for (int32_t f = 0; f < fields.Count(); ++f) {
        if (!IsBlobType(fields[f].BaseType) || IsFieldNull(row, f)) {
            continue;
        }
        const auto position = static_cast<int64_t>(GetBlobReference(fields, f, row));
        if (position < 0 || position > source.Size() || !source.SetPosition(position)) {
            throw ESQLMemException::Formatted(
                kBlobPositionCode, "Cannot set stream position to " + std::to_string(position) +
                                       ". Position = " + std::to_string(source.Position()) +
                                       ", Size = " + std::to_string(source.Size()));
        }
        if (position != expected) {
            Invalid("BLOB value of field '" + fields[f].Name + "' in record " +
                    std::to_string(slot) + " at position " + std::to_string(position) +
                    " instead of " + std::to_string(expected));
        }
        BlobValue::Header header{};
        in.Bytes(header.data(), header.size(), LoadCode(Code::BlobDescriptor));
        const int64_t size = in.I64(Code::BlobDescriptor);
        if (size <= 0 || size > in.Remaining()) {
            Invalid("BLOB value of " + std::to_string(size) + " bytes in record " +
                    std::to_string(slot) + " does not fit the stream");
        }
        EngineVector<std::byte> data(static_cast<size_t>(size));
        in.Bytes(data.data(), data.size(), LoadCode(Code::BlobData));
        const uint64_t reference = parts.Blobs.Add(BlobValue::FromStored(header, std::move(data)));
        SetBlobReference(fields, f, reference, row);
        expected = source.Position();
    }
}

void ReadRecords(Reader& in, TSQLMemStream& source, int64_t record_count, int64_t stream_size,
                 TSQLMemTableParts& parts) {
    const int32_t row_size = parts.FieldDefs.DataSize();
    parts.Records = std::make_unique<TSQLMemMemoryRecordManager>(row_size, parts.AllocBy);
    if (record_count == 0) {
        return;
    }
    const int32_t slots = in.I32(Code::SlotCount);
    const bool no_deleted = in.U8(Code::NoDeletedSlots) != 0;
    const int32_t first = in.I32(Code::FirstSlot);
    const int32_t last = in.I32(Code::LastSlot);
    if (slots <= 0 || record_count > slots) {
        Invalid("slot count " + std::to_string(slots) + " for " + std::to_string(record_count) +
                " records");
    }
    const size_t bitmap_size = (static_cast<size_t>(slots) + 7) / 8;
    if (static_cast<int64_t>(bitmap_size) > in.Remaining()) {
        Invalid("record map of " + std::to_string(slots) + " slots does not fit the stream");
    }
    std::vector<uint8_t> bitmap(bitmap_size);
    in.Bytes(bitmap.data(), bitmap.size(), LoadCode(Code::DeletedBits));
    auto deleted = [&](int32_t slot) { return ((bitmap[slot / 8] >> (slot % 8)) & 1) != 0; };
    std::vector<int32_t> live;
    for (int32_t slot = 0; slot < slots && static_cast<int64_t>(live.size()) < record_count;
         ++slot) {
        if (!deleted(slot)) {
            live.push_back(slot);
        }
    }
    if (static_cast<int64_t>(live.size()) != record_count || live.front() != first ||
        live.back() != last) {
        Invalid("record map does not hold " + std::to_string(record_count) + " records in slots " +
                std::to_string(first) + " to " + std::to_string(last));
    }
    if (record_count * row_size > in.Remaining()) {
        Invalid(std::to_string(record_count) + " records do not fit the stream");
    }
    const int64_t slot_memory = (static_cast<int64_t>(last) + 1) * (row_size + 8);
    if (slot_memory > kSlotMemoryAllowance + kSlotMemoryPerStreamByte * stream_size) {
        Invalid("record map of " + std::to_string(last + 1) + " slots is out of proportion");
    }
    const TSQLMemFieldDefs& fields = parts.FieldDefs;
    const bool blobs = HasBlobFields(fields);
    std::vector<std::byte> row(static_cast<size_t>(row_size));
    for (const int32_t slot : live) {
        in.Bytes(row.data(), row.size(), LoadCode(Code::Record));
        if (blobs) {
            ReadRecordBlobs(in, source, slot, row.data(), parts);
        }
        for (int32_t f = 0; f < fields.Count(); ++f) {
            const TSQLMemFieldDef& field = fields[f];
            if (!IsFieldNull(row.data(), f) &&
                !TextEnds(field.BaseType, row.data() + field.MemoryOffset,
                          static_cast<size_t>(field.MemoryDataSize))) {
                Invalid("text of field '" + field.Name + "' in record " + std::to_string(slot) +
                        " has no end");
            }
        }
        parts.Records->AddRecordAt(slot, row.data());
    }
    parts.Records->SetDense(no_deleted && first == 0 && last + 1 == record_count);
}

struct LoadedTable {
    std::unique_ptr<TSQLMemTableData> table;
    int64_t last_object_id = 0;
};

void ReadBody(Reader& in, TSQLMemStream& source, int64_t record_count, int64_t stream_size,
              TSQLMemTableParts& parts, std::vector<PendingConstraint>& constraints) {
    parts.Sequences = ReadSequences(in);
    parts.FieldDefs = ReadFields(in, parts.Sequences);
    constraints = ReadConstraints(in, parts.Name, parts.FieldDefs);
    ReadIndexes(in, source, parts);
    ReadRecords(in, source, record_count, stream_size, parts);
}

std::string Printable(const std::byte* bytes, size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(bytes[i]);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

void CheckVersion(double version) {
    if (version >= 1.020001 && version <= 3.0601) {
        return;
    }
    int code = kVersionCode;  // also for a value that is not a number
    if (version < 1.0001) {
        code = 10443;
    } else if (version < 1.010001) {
        code = 10454;
    } else if (version < 1.020001) {
        code = 10455;
    }
    char text[160];
    std::snprintf(text, sizeof text, "Invalid version number = %f. Should be %f", version,
                  kTableStreamVersion);
    throw ESQLMemException::Formatted(code, text);
}

// Reads one table stream into a table that belongs to no database yet.
LoadedTable ReadTable(TSQLMemDatabaseData& database, TSQLMemStream& stream) {
    std::byte block[kTableStreamHeaderSize];
    LoadDataFromStream(stream, block, kHeaderReadCode);
    if (std::memcmp(block, kTableStreamSignature, 4) != 0) {
        throw ESQLMemException::Formatted(
            kSignatureCode, "Invalid signature = " + Printable(block, 4) + ". Should be ACS1");
    }
    uint64_t bits = 0;
    int64_t record_count = 0;
    int64_t body_size = 0;
    for (int i = 7; i >= 0; --i) {
        bits = (bits << 8) | std::to_integer<uint64_t>(block[4 + i]);
        record_count = static_cast<int64_t>((static_cast<uint64_t>(record_count) << 8) |
                                            std::to_integer<uint64_t>(block[12 + i]));
        body_size = static_cast<int64_t>((static_cast<uint64_t>(body_size) << 8) |
                                         std::to_integer<uint64_t>(block[20 + i]));
    }
    CheckVersion(std::bit_cast<double>(bits));
    const auto stored_body_size = static_cast<int32_t>(LoadLE32(block + 36));
    const uint8_t algorithm = std::to_integer<uint8_t>(block[40]);
    const size_t name_length = std::to_integer<size_t>(block[42]);
    if (algorithm > static_cast<uint8_t>(acaPPM)) {
        Invalid("compression algorithm " + std::to_string(algorithm));
    }
    LoadedTable loaded;
    TSQLMemTableParts parts;
    parts.Name.resize(name_length);
    LoadDataFromStream(stream, std::as_writable_bytes(std::span(parts.Name.data(), name_length)),
                       kNameReadCode);
    loaded.last_object_id = LoadInt64(stream, kLastObjectIDReadCode);
    if (parts.Name.empty()) {
        Invalid("empty table name");
    }
    if (loaded.last_object_id < 0 || loaded.last_object_id > int64_t{UINT32_MAX}) {
        Invalid("last object identifier " + std::to_string(loaded.last_object_id));
    }
    if (record_count < 0 || record_count > INT32_MAX) {
        Invalid("record count " + std::to_string(record_count));
    }
    std::vector<PendingConstraint> constraints;
    if (algorithm == static_cast<uint8_t>(acaNone)) {
        Reader in(stream);
        ReadBody(in, stream, record_count, stream.Size(), parts, constraints);
    } else {
        Reader in(stream);
        if (stored_body_size <= 0 || stored_body_size > in.Remaining() || body_size <= 0 ||
            body_size > kMaxBodySize) {
            Invalid("compressed body of " + std::to_string(stored_body_size) + " bytes for " +
                    std::to_string(body_size));
        }
        std::vector<std::byte> compressed(static_cast<size_t>(stored_body_size));
        LoadDataFromStream(stream, compressed, LoadCode(Code::CompressedBody));
        std::vector<std::byte> body;
        if (!SQLMemInternalDecompressBuffer(static_cast<TSQLMemCompressionAlgorithm>(algorithm),
                                            compressed, body_size, body) ||
            static_cast<int64_t>(body.size()) != body_size) {
            throw ESQLMemException::Formatted(
                kDecompressBodyCode, "Cannot decompress table '" + parts.Name + "' with " +
                                         GetCompressionAlgorithmSQLName(
                                             static_cast<TSQLMemCompressionAlgorithm>(algorithm)) +
                                         " to " + std::to_string(body_size) + " bytes");
        }
        compressed.clear();
        compressed.shrink_to_fit();
        TSQLMemMemoryStream source{std::span(body)};
        Reader body_in(source);
        ReadBody(body_in, source, record_count, body_size, parts, constraints);
    }
    for (PendingConstraint& pending : constraints) {
        if (pending.def.Kind == ConstraintKind::PrimaryKey ||
            pending.def.Kind == ConstraintKind::Unique) {
            for (size_t i = 0; i < parts.IndexDefs.size(); ++i) {
                if (parts.IndexDefs[i].ObjectID == pending.index_object_id) {
                    pending.def.IndexNo = static_cast<int32_t>(i);
                }
            }
            if (pending.def.IndexNo < 0) {
                Invalid("constraint '" + pending.def.Name + "' names no index");
            }
        }
        parts.Constraints.push_back(std::move(pending.def));
    }
    loaded.table = std::make_unique<TSQLMemTableData>(database, std::move(parts));
    // The index pages must describe exactly the loaded rows.
    const std::vector<std::string> problems = loaded.table->CheckIntegrity();
    if (!problems.empty()) {
        Invalid(problems.front());
    }
    return loaded;
}

// Every table goes in, or none: the open tables are refused before anything changes.
void AdoptTables(TSQLMemDatabaseData& database, std::vector<LoadedTable>& loaded) {
    for (const LoadedTable& table : loaded) {
        if (const TSQLMemTableData* old = database.FindTable(table.table->Name());
            old != nullptr && old->OpenCursorCount() > 0) {
            throw ESQLMemException::Formatted(kTableOpenCode, "Cannot load table '" + old->Name() +
                                                                  "'. Table is open by another "
                                                                  "dataset");
        }
    }
    for (LoadedTable& table : loaded) {
        database.AdoptTable(std::move(table.table));
        database.RaiseObjectID(table.last_object_id);
    }
}

// Runs `save` into a new file beside `file_name`, renamed over it when complete.
template <typename Save>
void SaveFileAtomically(const std::string& file_name, Save save) {
    const std::string temporary = file_name + ".saving-" + std::to_string(::getpid());
    try {
        {
            TSQLMemFileStream stream(temporary, FileOpenMode::Create);
            save(stream);
            // The complete file reaches the disk before it takes the target's name.
            if (!stream.Sync()) {
                throw ESQLMemException::Formatted(
                    kFileWriteCode,
                    "Cannot write to stream. Position = " + std::to_string(stream.Position()) +
                        ", Stream size = " + std::to_string(stream.Size()) +
                        ", Block size = 0, Bytes Write = 0");
            }
        }
        if (std::rename(temporary.c_str(), file_name.c_str()) != 0) {
            throw ESQLMemException::Formatted(10081, "Cannot open file " + file_name);
        }
    } catch (...) {
        std::remove(temporary.c_str());
        throw;
    }
}

}  // namespace

void SaveTableToStream(TSQLMemDatabaseData& database, const std::string& table_name,
                       TSQLMemStream& stream, TSQLMemCompressionAlgorithm algorithm, uint8_t level,
                       int32_t value) {
    std::lock_guard database_lock(database.Mutex());
    TSQLMemTableData& table = RequireTable(database, table_name);
    std::lock_guard table_lock(table.Mutex());
    SaveOneTable(database, table, stream, algorithm, level, value);
}

TSQLMemTableData& LoadTableFromStream(TSQLMemDatabaseData& database, TSQLMemStream& stream) {
    std::lock_guard database_lock(database.Mutex());
    std::vector<LoadedTable> loaded;
    loaded.push_back(ReadTable(database, stream));
    TSQLMemTableData* table = loaded.front().table.get();
    AdoptTables(database, loaded);
    return *table;
}

void SaveAllTablesToStream(TSQLMemDatabaseData& database, TSQLMemStream& stream,
                           TSQLMemCompressionAlgorithm algorithm, uint8_t level, int32_t value) {
    std::lock_guard database_lock(database.Mutex());
    const std::vector<std::string> names = database.TableNames();
    for (const std::string& name : names) {
        const TSQLMemTableData& table = RequireTable(database, name);
        RefuseOpen(table);
    }
    SaveInt32(stream, static_cast<int32_t>(names.size()), SaveCode(Code::TableCount));
    for (const std::string& name : names) {
        TSQLMemTableData& table = RequireTable(database, name);
        std::lock_guard table_lock(table.Mutex());
        SaveOneTable(database, table, stream, algorithm, level, value);
    }
}

void LoadAllTablesFromStream(TSQLMemDatabaseData& database, TSQLMemStream& stream) {
    std::lock_guard database_lock(database.Mutex());
    Reader in(stream);
    const int32_t count = in.Count(Code::TableCount, kTableStreamHeaderSize + 8, "table");
    std::vector<LoadedTable> loaded;
    for (int32_t i = 0; i < count; ++i) {
        loaded.push_back(ReadTable(database, stream));
    }
    AdoptTables(database, loaded);
}

void SaveTableToFile(TSQLMemDatabaseData& database, const std::string& table_name,
                     const std::string& file_name, TSQLMemCompressionAlgorithm algorithm,
                     uint8_t level, int32_t value) {
    {
        // Refused before any file is made.
        std::lock_guard database_lock(database.Mutex());
        RequireTable(database, table_name);
    }
    SaveFileAtomically(file_name, [&](TSQLMemStream& stream) {
        SaveTableToStream(database, table_name, stream, algorithm, level, value);
    });
}

TSQLMemTableData& LoadTableFromFile(TSQLMemDatabaseData& database, const std::string& file_name) {
    TSQLMemFileStream stream(file_name, FileOpenMode::OpenRead);
    return LoadTableFromStream(database, stream);
}

void SaveAllTablesToFile(TSQLMemDatabaseData& database, const std::string& file_name,
                         TSQLMemCompressionAlgorithm algorithm, uint8_t level, int32_t value) {
    SaveFileAtomically(file_name, [&](TSQLMemStream& stream) {
        SaveAllTablesToStream(database, stream, algorithm, level, value);
    });
}

void LoadAllTablesFromFile(TSQLMemDatabaseData& database, const std::string& file_name) {
    TSQLMemFileStream stream(file_name, FileOpenMode::OpenRead);
    LoadAllTablesFromStream(database, stream);
}

void WriteFieldDefsSection(ByteSink& sink, const TSQLMemFieldDefs& fields) {
    Writer out(sink);
    WriteFields(out, fields);
}

TSQLMemFieldDefs ReadFieldDefsSection(ByteSource& source) {
    Reader in(source);
    return ReadFields(in, {});
}

void WriteIndexDefsSection(ByteSink& sink, const std::vector<TSQLMemIndexDef>& index_defs,
                           const std::vector<int32_t>& root_page_nos) {
    Writer out(sink);
    WriteIndexDefs(out, index_defs, root_page_nos);
}

void ReadIndexDefsSection(ByteSource& source, const TSQLMemFieldDefs& fields,
                          std::vector<TSQLMemIndexDef>& index_defs,
                          std::vector<int32_t>& root_page_nos) {
    Reader in(source);
    ReadIndexDefs(in, fields, index_defs, root_page_nos);
}

}  // namespace tapir::engine
