#pragma once
// The engine's type vocabularies: the declared (advanced) type of a column, the storage
// (base) type that decides width, encoding and comparison, and the dataset-level
// TFieldType. One constant table maps them onto each other; all look-ups scan it from
// its first row. Stateless and thread-safe.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/record/db_types.h"

namespace tapir::engine {

// Storage type of a column. The numbers are stored in table streams.
enum class TSQLMemBaseFieldType : int {
    bftUnknown = 0,
    bftChar,
    bftWideChar,
    bftVarchar,
    bftWideVarchar,
    bftSignedInt8,
    bftSignedInt16,
    bftSignedInt32,
    bftSignedInt64,
    bftUnsignedInt8,
    bftUnsignedInt16,
    bftUnsignedInt32,
    bftSingle,
    bftDouble,
    bftExtended,
    bftDate,
    bftTime,
    bftDateTime,
    bftBlob,
    bftClob,
    bftWideClob,
    bftLogical,
    bftCurrency,
    bftBytes,
    bftVarBytes,
    bftBFile,
};
using enum TSQLMemBaseFieldType;

// Declared type of a column. The numbers are stored in table streams.
enum class TSQLMemAdvancedFieldType : int {
    aftUnknown = 0,
    aftChar,
    aftString,
    aftWideChar,
    aftWideString,
    aftShortint,
    aftSmallint,
    aftInteger,
    aftLargeint,
    aftByte,
    aftWord,
    aftCardinal,
    aftAutoInc,
    aftAutoIncShortint,
    aftAutoIncSmallint,
    aftAutoIncInteger,
    aftAutoIncLargeint,
    aftAutoIncByte,
    aftAutoIncWord,
    aftAutoIncCardinal,
    aftSingle,
    aftDouble,
    aftExtended,
    aftBoolean,
    aftCurrency,
    aftDate,
    aftTime,
    aftDateTime,
    aftTimeStamp,
    aftBytes,
    aftVarBytes,
    aftBlob,
    aftGraphic,
    aftMemo,
    aftFormattedMemo,
    aftWideMemo,
};
using enum TSQLMemAdvancedFieldType;

// One row of the type table: the SQL keyword and the three types it stands for.
struct FieldTypeRow {
    std::string_view keyword;
    TSQLMemAdvancedFieldType advanced;
    TSQLMemBaseFieldType base;
    TFieldType field_type;
};

// The 58 rows, in their fixed order.
std::span<const FieldTypeRow> FieldTypeTable();

// Advanced → base: the first row with that advanced type.
// Throws ESQLMemException 30007 "Unsuported data type '%s'" when no row has it.
TSQLMemBaseFieldType AdvancedToBaseType(TSQLMemAdvancedFieldType type);
// TFieldType → advanced: the first row with that TFieldType.
// Throws ESQLMemException 30289 "Unknown DataType: '%s'" (the type's number) when none.
TSQLMemAdvancedFieldType FieldTypeToAdvancedType(TFieldType type);
// Advanced → TFieldType: the first row with that advanced type; ftUnknown when none.
TFieldType AdvancedToFieldType(TSQLMemAdvancedFieldType type);

// Enumerator names, as error messages show them ("bftVarchar", "aftString").
std::string_view BaseTypeName(TSQLMemBaseFieldType type);
std::string_view AdvancedTypeName(TSQLMemAdvancedFieldType type);

// Bytes a column of this base type takes in a row buffer, `size` being its declared size.
// Throws ESQLMemException 30050 "Unknown DataType: '%s'" for bftUnknown and bftBFile.
int32_t BaseTypeWidth(TSQLMemBaseFieldType type, int32_t size);
// Bytes in the persistent record: the width, but 6 for BLOB and variable-length text.
int32_t BaseTypeStoredSize(TSQLMemBaseFieldType type, int32_t size);

// Values an integer base type can hold (the 64-bit range for every other type).
struct IntegerRange {
    int64_t min;
    int64_t max;
};
IntegerRange BaseTypeIntegerRange(TSQLMemBaseFieldType type);

// Type classes.
bool IsBlobType(TSQLMemBaseFieldType type);
bool IsBlobType(TSQLMemAdvancedFieldType type);
bool IsVarTextType(TSQLMemBaseFieldType type);
bool IsVarTextType(TSQLMemAdvancedFieldType type);
bool IsStringType(TSQLMemBaseFieldType type);
bool IsStringType(TSQLMemAdvancedFieldType type);
bool IsWideStringType(TSQLMemBaseFieldType type);
bool IsWideStringType(TSQLMemAdvancedFieldType type);
bool IsBytesType(TSQLMemBaseFieldType type);
bool IsBytesType(TSQLMemAdvancedFieldType type);
bool IsAutoIncType(TSQLMemAdvancedFieldType type);
bool IsNumericType(TSQLMemBaseFieldType type);
bool IsDateTimeType(TSQLMemBaseFieldType type);
bool IsConvertibleType(TSQLMemAdvancedFieldType type);

}  // namespace tapir::engine
