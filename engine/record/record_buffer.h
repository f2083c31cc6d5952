#pragma once
// Column definitions with their offsets, and the byte layout of row and key buffers:
// how one field is read, written, nulled and compared inside a buffer. The storage keeps
// only the null bitmap and the field data of a row; the dataset's buffer adds the row
// identifier, the bookmark flag and the calculated-field area behind them.
// Stateless functions; a TSQLMemFieldDefs is not guarded (its owner's lock applies).
//
// Row buffer, n columns:
//   OFFSET               SIZE                 DESCRIPTION
//   0                    ceil(n / 8)          null bitmap: bit i (byte i/8, bit i%8, LSB
//                                             first) set = column i is null
//   BitmapSize(n)        sum of widths        field data, columns packed in column order,
//                                             each at its MemoryOffset
//   DataSize             6                    TSQLMemRecordID: int32 slot, int16 part
//                                             (-1, -1 for a row not yet stored)
//   DataSize + 6         1                    bookmark flag (TBookmarkFlag)
//   DataSize + 7         sum(1 + native size) calculated-field area: per calculated or
//                                             lookup field, one byte 1 = has a value /
//                                             0 = null, then the value in native form
//
// Key buffer (range bounds, search keys):
//   OFFSET               SIZE                 DESCRIPTION
//   0                    DataSize             null bitmap and field data as in a row;
//                                             only the key columns are filled
//   DataSize             1                    modified: a key field was written
//   DataSize + 1         1                    exclusive: the bound excludes equal keys
//   DataSize + 2         4                    field count (int32): leading index fields
//                                             that take part; 0 = all of them
//
// Stored encodings (little-endian): text = valid UTF-8 of at most Size characters ended
// by a zero byte, in a width of Size * 4 + 1 bytes (wide: at most Size characters in
// UTF-16 units ended by a zero unit, in (Size * 2 + 1) * 2 bytes); bftDate = int32 day number with
// 1 = 1 January of year 1 (-2147483648 = no date); bftTime = int32 milliseconds since
// midnight (-1 = no time); bftDateTime = bftDate then bftTime; bftLogical = int16,
// non-zero = true.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/record/field_types.h"

namespace tapir::engine {

// Six-byte row identifier: a memory table's slot number, and a part that is 0 there.
struct TSQLMemRecordID {
    int32_t PageNo = -1;
    int16_t PageItemNo = -1;

    friend bool operator==(const TSQLMemRecordID&, const TSQLMemRecordID&) = default;
};

// A dataset's bookmark: the row identifier, and the generation of the row that had it
// when the bookmark was taken, so that a bookmark of a deleted row never lands on a new
// row in the same slot.
struct TSQLMemBookmark {
    TSQLMemRecordID RecordID;
    uint64_t Generation = 0;

    friend bool operator==(const TSQLMemBookmark&, const TSQLMemBookmark&) = default;
};

// Bookmark flag of a dataset buffer.
enum class TBookmarkFlag : uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };
using enum TBookmarkFlag;

constexpr int32_t kRecordIdSize = 6;
constexpr int32_t kBookmarkFlagSize = 1;
// Bytes behind the field data of a dataset buffer, before the calculated-field area.
constexpr int32_t kRecordTrailerSize = kRecordIdSize + kBookmarkFlagSize;
// Key trailer: modified byte, exclusive byte, int32 field count.
constexpr int32_t kKeyModifiedOffset = 0;
constexpr int32_t kKeyExclusiveOffset = 1;
constexpr int32_t kKeyFieldCountOffset = 2;
constexpr int32_t kKeyTrailerSize = 6;
// Largest dataset record size (data size + 7) that a dataset accepts, exclusive.
constexpr int32_t kMaxRecordSize = 65536;
// Day number of 30 December 1899 (date-time 0) in the bftDate encoding.
constexpr int32_t kDateDelta = 693594;
constexpr int32_t kMissingDate = INT32_MIN;
constexpr int32_t kMissingTime = -1;
constexpr int32_t kMillisecondsPerDay = 86400000;

// One column.
struct TSQLMemFieldDef {
    std::string Name;  // at most 255 characters
    int32_t ObjectID = -1;
    TSQLMemBaseFieldType BaseType = bftUnknown;
    TSQLMemAdvancedFieldType AdvancedType = aftUnknown;
    int32_t Size = 0;            // declared size (characters for text)
    int32_t StoredSize = 0;      // width in the persistent record
    int32_t MemoryDataSize = 0;  // width in a row buffer
    int32_t StoredOffset = 0;
    int32_t MemoryOffset = 0;
    int32_t FieldNoReference = 0;  // position in the cursor's field list
    int32_t SequenceObjectID = -1;
    std::optional<std::string> DefaultValue;  // raw field bytes (width of the field)
    int32_t BlobCompressionAlgorithm = 0;
    int32_t BlobCompressionMode = 0;
    int32_t BlobBlockSize = 102400;
    int64_t Increment = 1;
    int64_t InitialValue = 0;
    int64_t MinValue = 0;
    int64_t MaxValue = INT64_MAX;
    bool Cycled = false;

    // Sets the advanced type, derives the base type and both widths.
    // Throws ESQLMemException 30007 for an advanced type with no table row, 30050 for a
    // base type with no storage form.
    void SetAdvancedType(TSQLMemAdvancedFieldType type, int32_t size);
};

// The columns of a table in column order, with offsets and the derived flags.
class TSQLMemFieldDefs {
  public:
    TSQLMemFieldDefs() = default;
    explicit TSQLMemFieldDefs(std::vector<TSQLMemFieldDef> defs);

    int32_t Count() const { return static_cast<int32_t>(defs_.size()); }
    const TSQLMemFieldDef& operator[](int32_t field_no) const { return defs_[field_no]; }
    TSQLMemFieldDef& operator[](int32_t field_no) { return defs_[field_no]; }
    const std::vector<TSQLMemFieldDef>& Defs() const { return defs_; }
    void Add(TSQLMemFieldDef def);
    // Field number of a name compared without regard to case; -1 when none.
    int32_t IndexOf(std::string_view name) const;

    // Recomputes offsets, data size and the three flags. Called by the constructor and Add.
    void Recalculate();
    int32_t BitmapSize() const { return bitmap_size_; }
    // Null bitmap + field data; also the offset of the row identifier.
    int32_t DataSize() const { return data_size_; }
    int32_t StoredDataSize() const { return stored_data_size_; }
    int32_t KeyBufferSize() const { return data_size_ + kKeyTrailerSize; }
    // Dataset record size before the calculated-field area.
    int32_t RecordSize() const { return data_size_ + kRecordTrailerSize; }
    bool HasBlobOrVarText() const { return has_blob_or_var_text_; }
    bool HasAutoInc() const { return has_autoinc_; }
    bool HasDefaults() const { return has_defaults_; }

  private:
    std::vector<TSQLMemFieldDef> defs_;
    int32_t bitmap_size_ = 0;
    int32_t data_size_ = 0;
    int32_t stored_data_size_ = 0;
    bool has_blob_or_var_text_ = false;
    bool has_autoinc_ = false;
    bool has_defaults_ = false;
};

constexpr int32_t BitmapSize(int32_t field_count) { return (field_count + 7) / 8; }

// --- Null bits ---
bool IsFieldNull(const std::byte* row, int32_t field_no);
void SetFieldNull(std::byte* row, int32_t field_no, bool is_null);
// All bits set: every field null.
void SetAllNull(std::byte* row, int32_t field_count);

// --- Raw field access (the rules every typed access goes through) ---
// Returns false when the field is null. Otherwise copies into `dest` when given: for BLOB
// fields nothing; for 8-bit text the bytes up to and including the zero byte; for wide
// text nothing (see WideTextPointer); for every other type exactly the field's width.
// Throws ESQLMemException 10000 "Invalid field number - FieldNo = %d, FieldCount = %d"
// when field_no is not a column.
bool GetFieldData(const TSQLMemFieldDefs& defs, int32_t field_no, void* dest, const std::byte* row);
// Points at a wide text inside the row (valid while the row lives); nullptr when null.
// Fields are packed, so the pointer may be unaligned: copy the units out byte-wise.
const char16_t* WideTextPointer(const TSQLMemFieldDefs& defs, int32_t field_no,
                                const std::byte* row);
// `source` nullptr: the field becomes null. Otherwise the null bit is cleared and the
// width is copied (non-text), or the text measured up to its terminator: empty makes the
// field null. 8-bit text is made valid UTF-8 first (each ill-formed part becomes U+FFFD)
// and cut to its first Size characters, never inside a character; wide text likewise
// keeps its first Size characters (a surrogate pair is one). The text and a terminator
// are written.
// Throws ESQLMemException 10004 "Invalid field number - ..." when field_no is not a column.
void SetFieldData(const TSQLMemFieldDefs& defs, int32_t field_no, const void* source,
                  std::byte* row);

// --- Typed helpers over the raw access (used by the dataset's field accessors) ---
// Integers of any integer, logical or autoinc column, widened; nullopt when null.
std::optional<int64_t> GetInteger(const TSQLMemFieldDefs& defs, int32_t field_no,
                                  const std::byte* row);
// Writes the low bytes of `value` with the field's width.
void SetInteger(const TSQLMemFieldDefs& defs, int32_t field_no, int64_t value, std::byte* row);
// Date, time and date-time columns as a date-time (days since 1899-12-30).
std::optional<double> GetDateTime(const TSQLMemFieldDefs& defs, int32_t field_no,
                                  const std::byte* row);
void SetDateTime(const TSQLMemFieldDefs& defs, int32_t field_no, double value, std::byte* row);
// Single, double, currency and extended columns as a double.
std::optional<double> GetFloat(const TSQLMemFieldDefs& defs, int32_t field_no,
                               const std::byte* row);
void SetFloat(const TSQLMemFieldDefs& defs, int32_t field_no, double value, std::byte* row);
// 8-bit text columns; nullopt when null. Setting "" makes the field null.
std::optional<std::string> GetText(const TSQLMemFieldDefs& defs, int32_t field_no,
                                   const std::byte* row);
void SetText(const TSQLMemFieldDefs& defs, int32_t field_no, std::string_view text, std::byte* row);

// --- Date and time conversions ---
struct StoredDateTime {
    int32_t date = 0;  // bftDate encoding
    int32_t time = 0;  // bftTime encoding
};
// A date-time's stored date and time. A time that rounds up to 24:00 is stored as 00:00
// of the next day. Throws ESQLMemException 30051 "Date-time value out of range: %s" for
// NaN, infinities and values outside the years 1 to 9999 (the day numbers could not hold
// them); SetDateTime passes the error on and leaves the row as it was.
StoredDateTime DateTimeToStored(double date_time);
double StoredToDateTime(StoredDateTime stored);  // time -1 = the date alone
int32_t DateTimeToStoredDate(double date_time);
int32_t DateTimeToStoredTime(double date_time);
double StoredDateToDateTime(int32_t date);  // -2147483648 reads as 0
double StoredTimeToDateTime(int32_t time);  // -1 reads as 0

// --- Row identifier and bookmark flag of a dataset buffer ---
TSQLMemRecordID GetRecordID(const std::byte* buffer, int32_t data_size);
void SetRecordID(std::byte* buffer, int32_t data_size, TSQLMemRecordID id);
TBookmarkFlag GetBookmarkFlag(const std::byte* buffer, int32_t data_size);
void SetBookmarkFlag(std::byte* buffer, int32_t data_size, TBookmarkFlag flag);

// --- Key buffers ---
// Zero-fills `key_size` bytes (DataSize + 6), then sets every field null.
void InitKeyBuffer(std::byte* key, int32_t data_size, int32_t field_count);
struct KeyTrailer {
    bool modified = false;
    bool exclusive = false;
    int32_t field_count = 0;
};
KeyTrailer GetKeyTrailer(const std::byte* key, int32_t data_size);
void SetKeyTrailer(std::byte* key, int32_t data_size, const KeyTrailer& trailer);

// --- Calculated-field area ---
// Bytes a value of this dataset type takes in its native form inside the calculated-field
// area (without the leading has-value byte): ftBoolean and ftSmallint 2, ftInteger,
// ftWord and ftAutoInc 4, ftLargeint, ftFloat, ftCurrency, ftDate, ftTime, ftDateTime and
// ftTimeStamp 8, ftString and ftFixedChar size * 4 + 1 (UTF-8), ftWideString (size * 2 + 1) * 2.
int32_t NativeDataSize(TFieldType type, int32_t size);
// Offsets inside a dataset buffer of the calculated fields, in field order, and the
// buffer size. Throws tapir::Exception of kind "ERangeError" ("Range check error") when
// DataSize + 7 reaches 65536.
// The range error of a row layout past the record-size limit: tapir::Exception of kind
// "ERangeError", "Range check error".
tapir::Exception RecordSizeError();
struct CalcFieldSpec {
    TFieldType type = ftUnknown;
    int32_t size = 0;
};
struct DatasetBufferLayout {
    int32_t data_size = 0;
    int32_t record_id_offset = 0;
    int32_t bookmark_flag_offset = 0;
    int32_t calc_area_offset = 0;
    std::vector<int32_t> calc_offsets;  // of the has-value byte of each calculated field
    int32_t buffer_size = 0;
};
DatasetBufferLayout MakeDatasetBufferLayout(const TSQLMemFieldDefs& defs,
                                            const std::vector<CalcFieldSpec>& calc_fields);

// --- Value comparison ---
// Outcome of comparing two values: 0 equal, 1 first less, 2 first greater; with nulls:
// 5 both null, 3 only the first null, 4 only the second null.
enum class CompareOutcome : int {
    Equal = 0,
    Less = 1,
    Greater = 2,
    FirstNull = 3,
    SecondNull = 4,
    BothNull = 5,
};
// Compares two stored values of base types a_type and b_type (converted to their common
// type when they differ). Nulls are decided from the flags without reading the values.
// Text compares with the locale collation (ignore_case: letter case does not count).
// Throws ESQLMemException 30140 "Value is Null" for a missing buffer of a non-null value,
// 30044 "Cannot compare Incompatible DataTypes: '%s' and '%s'", 30047 "Unknown DataType".
CompareOutcome CompareValues(const void* a, TSQLMemBaseFieldType a_type, bool a_null, const void* b,
                             TSQLMemBaseFieldType b_type, bool b_null, bool ignore_case = false);
// -1, 0, +1 from an outcome: nulls sort before every value.
int OutcomeSign(CompareOutcome outcome);

}  // namespace tapir::engine
