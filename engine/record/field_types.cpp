#include "engine/record/field_types.h"

#include <array>
#include <string>

#include "engine/record/utf8_text.h"

namespace tapir::engine {

namespace {

constexpr std::array<FieldTypeRow, 58> kTypeTable{{
    {"CHAR", aftChar, bftChar, ftFixedChar},
    {"FIXEDCHAR", aftChar, bftChar, ftFixedChar},
    {"STRING", aftString, bftVarchar, ftString},
    {"VARCHAR", aftString, bftVarchar, ftString},
    {"VARCHAR2", aftString, bftVarchar, ftString},
    {"WIDECHAR", aftWideChar, bftWideChar, ftWideString},
    {"FIXEDWIDECHAR", aftWideChar, bftWideChar, ftWideString},
    {"WIDESTRING", aftWideString, bftWideVarchar, ftWideString},
    {"WIDEVARCHAR", aftWideString, bftWideVarchar, ftWideString},
    {"SIGNEDINT16", aftSmallint, bftSignedInt16, ftSmallint},
    {"SMALLINT", aftSmallint, bftSignedInt16, ftSmallint},
    {"SIGNEDINT8", aftShortint, bftSignedInt8, ftSmallint},
    {"SHORTINT", aftShortint, bftSignedInt8, ftSmallint},
    {"SIGNEDINT32", aftInteger, bftSignedInt32, ftInteger},
    {"INTEGER", aftInteger, bftSignedInt32, ftInteger},
    {"SIGNEDINT64", aftLargeint, bftSignedInt64, ftLargeint},
    {"LARGEINT", aftLargeint, bftSignedInt64, ftLargeint},
    {"INT64", aftLargeint, bftSignedInt64, ftLargeint},
    {"UNSIGNEDINT16", aftWord, bftUnsignedInt16, ftWord},
    {"WORD", aftWord, bftUnsignedInt16, ftWord},
    {"UNSIGNEDINT8", aftByte, bftUnsignedInt8, ftWord},
    {"BYTE", aftByte, bftUnsignedInt8, ftWord},
    {"UNSIGNEDINT32", aftCardinal, bftUnsignedInt32, ftLargeint},
    {"CARDINAL", aftCardinal, bftUnsignedInt32, ftLargeint},
    {"AUTOINC", aftAutoInc, bftSignedInt32, ftAutoInc},
    {"AUTOINCSHORTINT", aftAutoIncShortint, bftSignedInt8, ftAutoInc},
    {"AUTOINCSMALLINT", aftAutoIncSmallint, bftSignedInt16, ftAutoInc},
    {"AUTOINCINTEGER", aftAutoIncInteger, bftSignedInt32, ftAutoInc},
    {"AUTOINCLARGEINT", aftAutoIncLargeint, bftSignedInt64, ftLargeint},
    {"AUTOINCBYTE", aftAutoIncByte, bftUnsignedInt8, ftAutoInc},
    {"AUTOINCWORD", aftAutoIncWord, bftUnsignedInt16, ftAutoInc},
    {"AUTOINCCARDINAL", aftAutoIncCardinal, bftUnsignedInt32, ftAutoInc},
    {"FLOAT", aftDouble, bftDouble, ftFloat},
    {"SINGLE", aftSingle, bftSingle, ftFloat},
    {"DOUBLE", aftDouble, bftDouble, ftFloat},
    {"EXTENDED", aftExtended, bftExtended, ftFloat},
    {"LOGICAL", aftBoolean, bftLogical, ftBoolean},
    {"BOOLEAN", aftBoolean, bftLogical, ftBoolean},
    {"BOOL", aftBoolean, bftLogical, ftBoolean},
    {"BIT", aftBoolean, bftLogical, ftBoolean},
    {"CURRENCY", aftCurrency, bftCurrency, ftCurrency},
    {"MONEY", aftCurrency, bftCurrency, ftCurrency},
    {"DATE", aftDate, bftDate, ftDate},
    {"TIME", aftTime, bftTime, ftTime},
    {"DATETIME", aftDateTime, bftDateTime, ftDateTime},
    {"TIMESTAMP", aftTimeStamp, bftDateTime, ftTimeStamp},
    {"BYTES", aftBytes, bftBytes, ftBytes},
    {"VARBYTES", aftVarBytes, bftVarBytes, ftVarBytes},
    {"BLOB", aftBlob, bftBlob, ftBlob},
    {"BLOB", aftBlob, bftBlob, ftParadoxOle},
    {"BLOB", aftBlob, bftBlob, ftTypedBinary},
    {"BLOB", aftBlob, bftBlob, ftDBaseOle},
    {"GRAPHIC", aftGraphic, bftBlob, ftGraphic},
    {"MEMO", aftMemo, bftClob, ftMemo},
    {"CLOB", aftMemo, bftClob, ftMemo},
    {"FORMATTEDMEMO", aftFormattedMemo, bftClob, ftFmtMemo},
    {"WIDEMEMO", aftWideMemo, bftWideClob, ftMemo},
    {"WIDECLOB", aftWideMemo, bftWideClob, ftMemo},
}};

constexpr std::array<std::string_view, 26> kBaseNames{
    "bftUnknown",       "bftChar",          "bftWideChar",    "bftVarchar",     "bftWideVarchar",
    "bftSignedInt8",    "bftSignedInt16",   "bftSignedInt32", "bftSignedInt64", "bftUnsignedInt8",
    "bftUnsignedInt16", "bftUnsignedInt32", "bftSingle",      "bftDouble",      "bftExtended",
    "bftDate",          "bftTime",          "bftDateTime",    "bftBlob",        "bftClob",
    "bftWideClob",      "bftLogical",       "bftCurrency",    "bftBytes",       "bftVarBytes",
    "bftBFile"};

constexpr std::array<std::string_view, 36> kAdvancedNames{"aftUnknown",
                                                          "aftChar",
                                                          "aftString",
                                                          "aftWideChar",
                                                          "aftWideString",
                                                          "aftShortint",
                                                          "aftSmallint",
                                                          "aftInteger",
                                                          "aftLargeint",
                                                          "aftByte",
                                                          "aftWord",
                                                          "aftCardinal",
                                                          "aftAutoInc",
                                                          "aftAutoIncShortint",
                                                          "aftAutoIncSmallint",
                                                          "aftAutoIncInteger",
                                                          "aftAutoIncLargeint",
                                                          "aftAutoIncByte",
                                                          "aftAutoIncWord",
                                                          "aftAutoIncCardinal",
                                                          "aftSingle",
                                                          "aftDouble",
                                                          "aftExtended",
                                                          "aftBoolean",
                                                          "aftCurrency",
                                                          "aftDate",
                                                          "aftTime",
                                                          "aftDateTime",
                                                          "aftTimeStamp",
                                                          "aftBytes",
                                                          "aftVarBytes",
                                                          "aftBlob",
                                                          "aftGraphic",
                                                          "aftMemo",
                                                          "aftFormattedMemo",
                                                          "aftWideMemo"};

const FieldTypeRow* FindAdvanced(TSQLMemAdvancedFieldType type) {
    for (const FieldTypeRow& row : kTypeTable) {
        if (row.advanced == type) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

std::span<const FieldTypeRow> FieldTypeTable() { return kTypeTable; }

TSQLMemBaseFieldType AdvancedToBaseType(TSQLMemAdvancedFieldType type) {
    if (const FieldTypeRow* row = FindAdvanced(type)) {
        return row->base;
    }
    throw ESQLMemException::Formatted(
        30007, "Unsuported data type '" + std::string(AdvancedTypeName(type)) + "'");
}

TSQLMemAdvancedFieldType FieldTypeToAdvancedType(TFieldType type) {
    for (const FieldTypeRow& row : kTypeTable) {
        if (row.field_type == type) {
            return row.advanced;
        }
    }
    throw ESQLMemException::Formatted(
        30289, "Unknown DataType: '" + std::to_string(static_cast<int>(type)) + "'");
}

TFieldType AdvancedToFieldType(TSQLMemAdvancedFieldType type) {
    const FieldTypeRow* row = FindAdvanced(type);
    return row != nullptr ? row->field_type : ftUnknown;
}

std::string_view BaseTypeName(TSQLMemBaseFieldType type) {
    const auto index = static_cast<size_t>(type);
    return index < kBaseNames.size() ? kBaseNames[index] : std::string_view("bftUnknown");
}

std::string_view AdvancedTypeName(TSQLMemAdvancedFieldType type) {
    const auto index = static_cast<size_t>(type);
    return index < kAdvancedNames.size() ? kAdvancedNames[index] : std::string_view("aftUnknown");
}

int32_t BaseTypeWidth(TSQLMemBaseFieldType type, int32_t size) {
    switch (type) {
        case bftChar:
        case bftVarchar:
            // Room for the longest UTF-8 form of `size` characters and the terminator.
            return size * kMaxUtf8BytesPerCharacter + 1;
        case bftWideChar:
        case bftWideVarchar:
            // UTF-16: up to two units a character, and the terminating unit.
            return (size * 2 + 1) * 2;
        case bftSignedInt8:
        case bftUnsignedInt8:
            return 1;
        case bftSignedInt16:
        case bftUnsignedInt16:
        case bftLogical:
            return 2;
        case bftSignedInt32:
        case bftUnsignedInt32:
        case bftSingle:
        case bftDate:
        case bftTime:
            return 4;
        case bftSignedInt64:
        case bftDouble:
        case bftCurrency:
        case bftDateTime:
        case bftBlob:
        case bftClob:
        case bftWideClob:
            return 8;
        case bftExtended:
            return 10;
        case bftBytes:
        case bftVarBytes:
            return size;
        case bftUnknown:
        case bftBFile:
            break;
    }
    throw ESQLMemException::Formatted(
        30050, "Unknown DataType: '" + std::string(BaseTypeName(type)) + "'");
}

int32_t BaseTypeStoredSize(TSQLMemBaseFieldType type, int32_t size) {
    if (IsBlobType(type) || IsVarTextType(type)) {
        return 6;
    }
    return BaseTypeWidth(type, size);
}

bool IsBlobType(TSQLMemBaseFieldType type) {
    return type == bftBlob || type == bftClob || type == bftWideClob;
}
bool IsBlobType(TSQLMemAdvancedFieldType type) {
    return type == aftBlob || type == aftGraphic || type == aftMemo || type == aftFormattedMemo ||
           type == aftWideMemo;
}
bool IsVarTextType(TSQLMemBaseFieldType type) {
    return type == bftVarchar || type == bftWideVarchar;
}
bool IsVarTextType(TSQLMemAdvancedFieldType type) {
    return type == aftString || type == aftWideString;
}
bool IsStringType(TSQLMemBaseFieldType type) {
    return type == bftChar || type == bftWideChar || type == bftVarchar || type == bftWideVarchar ||
           type == bftClob || type == bftWideClob;
}
bool IsStringType(TSQLMemAdvancedFieldType type) {
    return type == aftChar || type == aftString || type == aftWideChar || type == aftWideString;
}
bool IsWideStringType(TSQLMemBaseFieldType type) {
    return type == bftWideChar || type == bftWideVarchar || type == bftWideClob;
}
bool IsWideStringType(TSQLMemAdvancedFieldType type) {
    return type == aftWideChar || type == aftWideString || type == aftWideMemo;
}
bool IsBytesType(TSQLMemBaseFieldType type) { return type == bftBytes || type == bftVarBytes; }
bool IsBytesType(TSQLMemAdvancedFieldType type) { return type == aftBytes || type == aftVarBytes; }
bool IsAutoIncType(TSQLMemAdvancedFieldType type) {
    return type >= aftAutoInc && type <= aftAutoIncCardinal;
}
bool IsNumericType(TSQLMemBaseFieldType type) {
    return (type >= bftSignedInt8 && type <= bftExtended) || type == bftCurrency;
}
bool IsDateTimeType(TSQLMemBaseFieldType type) {
    return type == bftDate || type == bftTime || type == bftDateTime;
}
bool IsConvertibleType(TSQLMemAdvancedFieldType type) {
    return type >= aftChar && type <= aftTimeStamp;
}

IntegerRange BaseTypeIntegerRange(TSQLMemBaseFieldType type) {
    switch (type) {
        case bftSignedInt8:
            return {INT8_MIN, INT8_MAX};
        case bftSignedInt16:
            return {INT16_MIN, INT16_MAX};
        case bftSignedInt32:
            return {INT32_MIN, INT32_MAX};
        case bftUnsignedInt8:
            return {0, UINT8_MAX};
        case bftUnsignedInt16:
            return {0, UINT16_MAX};
        case bftUnsignedInt32:
            return {0, UINT32_MAX};
        default:
            return {INT64_MIN, INT64_MAX};
    }
}

}  // namespace tapir::engine
