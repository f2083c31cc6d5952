#pragma once
// TSQLMemBTreeKeyRef: how an index key is cut out of a row buffer and how two keys
// compare. The index knows a key field only by its storage type number, declared size,
// place in the row and flags, so it stands apart from the table layer. Stateless apart
// from ComparePartCount; one index object uses it from one thread at a time.
//
// Key (KeySize bytes), per part in column order, without gaps:
//   OFFSET       SIZE            DESCRIPTION
//   KeyOffset    1               null flag: 1 = the field is null, 0 = not null
//   KeyOffset+1  PartSize - 1    the field's bytes copied from the row buffer (also for a
//                                null field; then they are never compared)
//
// Field bytes by type (little-endian, as in the row): 8-bit text: UTF-8 ended by a zero
// byte, room for 4 bytes per character plus the terminator; wide text: UTF-16 units,
// (size + 1) * 2 bytes; date-time: int32 day then int32 milliseconds.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tapir::engine {

// Storage type of a key field. The numbers are the engine's base field type numbers.
enum class KeyFieldType : int {
    Unknown = 0,
    Char,
    WideChar,
    Varchar,
    WideVarchar,
    SignedInt8,
    SignedInt16,
    SignedInt32,
    SignedInt64,
    UnsignedInt8,
    UnsignedInt16,
    UnsignedInt32,
    Single,
    Double,
    Extended,
    Date,
    Time,
    DateTime,
    Blob,
    Clob,
    WideClob,
    Logical,
    Currency,
    Bytes,
    VarBytes,
    BFile,
};

// The name error messages show for a type ("bftDateTime").
std::string KeyFieldTypeName(KeyFieldType type);

// Bytes a field of this type takes in a row buffer, `size` being its declared size
// (characters for text). Throws ESQLMemException 30050 "Unknown DataType: '%s'" for
// Unknown and BFile.
int32_t KeyFieldWidth(KeyFieldType type, int32_t size);

// One key column as the table describes it to the index.
struct KeyColumn {
    KeyFieldType type = KeyFieldType::Unknown;
    int32_t size = 0;           // declared size (characters for text)
    int32_t record_offset = 0;  // offset of the field's data in the row buffer
    int32_t field_no = 0;       // 0-based; selects the field's bit in the row's null bitmap
    bool descending = false;
    bool case_insensitive = false;
};

struct TSQLMemKeyPart {
    int32_t KeyOffset = 0;
    int32_t RecordOffset = 0;
    int32_t FieldNo = 0;
    int32_t PartSize = 0;  // field width + 1 (the null flag)
    KeyFieldType DataType = KeyFieldType::Unknown;
    bool Descending = false;
    bool CaseInsensitive = false;
};

class TSQLMemBTreeKeyRef {
  public:
    // Size of a leaf entry's record reference.
    static constexpr int32_t kReferenceSize = 6;

    // Builds the parts from the columns; resets ComparePartCount to the part count.
    // Throws 30050 for a column type that has no width.
    void Assign(std::span<const KeyColumn> columns);

    int32_t GetPartCount() const { return static_cast<int32_t>(parts_.size()); }
    const TSQLMemKeyPart& Part(int32_t i) const { return parts_[static_cast<size_t>(i)]; }
    int32_t KeySize() const { return key_size_; }
    int32_t ComparePartCount() const { return compare_part_count_; }
    // Clamped to 1 ... part count; 0 or less means all parts.
    void SetComparePartCount(int32_t count);
    int32_t ReferenceSize() const { return kReferenceSize; }

    // Writes the key of `record` into `key` (KeySize bytes). The row's null bitmap starts
    // at byte 0 of `record`.
    void MakeKey(const std::byte* record, std::byte* key) const;
    // Negative, 0 or positive over the first ComparePartCount parts. Throws 30047
    // "Unknown DataType: '%s'" for a part type that has no order (BLOB and byte types).
    int CompareKeys(const std::byte* left, const std::byte* right) const;

  private:
    std::vector<TSQLMemKeyPart> parts_;
    int32_t key_size_ = 0;
    int32_t compare_part_count_ = 0;
};

// Compares one part's data bytes (after the null flag) by type; no descending handling.
int CompareKeyPartData(const TSQLMemKeyPart& part, const std::byte* left, const std::byte* right);

}  // namespace tapir::engine
