#include "engine/record/field_types.h"

#include <gtest/gtest.h>

#include <set>

namespace tapir::engine {
namespace {

template <typename F>
void ExpectEngineError(F&& action, int code, const std::string& message) {
    try {
        action();
        FAIL() << "no error raised, expected " << message;
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.Code(), code);
        EXPECT_EQ(error.Message(), message);
        EXPECT_EQ(error.KindName(), "ESQLMemException");
    }
}

TEST(FieldTypes, TableHasItsFixedRows) {
    const auto table = FieldTypeTable();
    ASSERT_EQ(table.size(), 58u);
    EXPECT_EQ(table.front().keyword, "CHAR");
    EXPECT_EQ(table.back().keyword, "WIDECLOB");
    int blob_rows = 0;
    for (const FieldTypeRow& row : table) {
        blob_rows += row.keyword == "BLOB" ? 1 : 0;
    }
    EXPECT_EQ(blob_rows, 4);
}

TEST(FieldTypes, ProgramTypesMapToTheirStorageTypes) {
    struct Case {
        TFieldType field;
        TSQLMemAdvancedFieldType advanced;
        TSQLMemBaseFieldType base;
    };
    const Case cases[] = {
        {ftString, aftString, bftVarchar},         {ftSmallint, aftSmallint, bftSignedInt16},
        {ftInteger, aftInteger, bftSignedInt32},   {ftAutoInc, aftAutoInc, bftSignedInt32},
        {ftLargeint, aftLargeint, bftSignedInt64}, {ftDateTime, aftDateTime, bftDateTime},
        {ftBoolean, aftBoolean, bftLogical},       {ftFloat, aftDouble, bftDouble},
        {ftWideString, aftWideChar, bftWideChar},  {ftMemo, aftMemo, bftClob},
        {ftWord, aftWord, bftUnsignedInt16},       {ftTimeStamp, aftTimeStamp, bftDateTime},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.field));
        EXPECT_EQ(FieldTypeToAdvancedType(c.field), c.advanced);
        EXPECT_EQ(AdvancedToBaseType(c.advanced), c.base);
    }
    // Reverse look-ups take the first row of the advanced type.
    EXPECT_EQ(AdvancedToFieldType(aftAutoIncLargeint), ftLargeint);
    EXPECT_EQ(AdvancedToFieldType(aftCardinal), ftLargeint);
    EXPECT_EQ(AdvancedToFieldType(aftByte), ftWord);
    EXPECT_EQ(AdvancedToFieldType(aftWideMemo), ftMemo);
    EXPECT_EQ(AdvancedToFieldType(aftBlob), ftBlob);
}

TEST(FieldTypes, LookUpsRefuseTypesWithoutRow) {
    ExpectEngineError([] { FieldTypeToAdvancedType(ftBCD); }, 30289,
                      "Unknown DataType: '8' - Native error: 30289");
    ExpectEngineError([] { AdvancedToBaseType(aftUnknown); }, 30007,
                      "Unsuported data type 'aftUnknown' - Native error: 30007");
    ExpectEngineError([] { BaseTypeWidth(bftBFile, 0); }, 30050,
                      "Unknown DataType: 'bftBFile' - Native error: 30050");
}

TEST(FieldTypes, WidthsFollowTheBaseType) {
    EXPECT_EQ(BaseTypeWidth(bftVarchar, 20), 81);      // 20 characters of up to 4 bytes
    EXPECT_EQ(BaseTypeWidth(bftWideVarchar, 20), 82);  // two UTF-16 units a character
    EXPECT_EQ(BaseTypeWidth(bftSignedInt8, 0), 1);
    EXPECT_EQ(BaseTypeWidth(bftLogical, 0), 2);
    EXPECT_EQ(BaseTypeWidth(bftSignedInt32, 0), 4);
    EXPECT_EQ(BaseTypeWidth(bftDate, 0), 4);
    EXPECT_EQ(BaseTypeWidth(bftDateTime, 0), 8);
    EXPECT_EQ(BaseTypeWidth(bftClob, 0), 8);
    EXPECT_EQ(BaseTypeWidth(bftExtended, 0), 10);
    EXPECT_EQ(BaseTypeWidth(bftBytes, 16), 16);
    EXPECT_EQ(BaseTypeStoredSize(bftVarchar, 20), 6);
    EXPECT_EQ(BaseTypeStoredSize(bftChar, 20), 81);
    EXPECT_EQ(BaseTypeStoredSize(bftBlob, 0), 6);
}

TEST(FieldTypes, ClassesCoverTheirTypes) {
    EXPECT_TRUE(IsAutoIncType(aftAutoIncCardinal));
    EXPECT_FALSE(IsAutoIncType(aftCardinal));
    EXPECT_TRUE(IsNumericType(bftCurrency));
    EXPECT_FALSE(IsNumericType(bftDate));
    EXPECT_TRUE(IsStringType(bftClob));
    EXPECT_FALSE(IsStringType(aftMemo));
    EXPECT_TRUE(IsWideStringType(aftWideMemo));
    EXPECT_TRUE(IsConvertibleType(aftTimeStamp));
    EXPECT_FALSE(IsConvertibleType(aftBytes));
}

}  // namespace
}  // namespace tapir::engine
