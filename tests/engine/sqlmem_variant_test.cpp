#include "engine/record/sqlmem_variant.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/date_time.h"

namespace tapir::engine {
namespace {

using V = TSQLMemVariant;

int CodeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ESQLMemException& error) {
        return error.Code().value_or(-1);
    }
    return 0;
}

const TSQLMemBaseFieldType kAllValueTypes[] = {
    bftChar,          bftWideChar,    bftVarchar,     bftWideVarchar,  bftSignedInt8,
    bftSignedInt16,   bftSignedInt32, bftSignedInt64, bftUnsignedInt8, bftUnsignedInt16,
    bftUnsignedInt32, bftSingle,      bftDouble,      bftExtended,     bftDate,
    bftTime,          bftDateTime,    bftBlob,        bftClob,         bftWideClob,
    bftLogical,       bftCurrency,    bftBytes,       bftVarBytes};

// One sample value of each type, chosen to survive a trip through text.
V Sample(TSQLMemBaseFieldType type) {
    switch (type) {
        case bftChar:
        case bftVarchar:
        case bftClob:
            return V::FromText("Grüße, мир", type);
        case bftWideChar:
        case bftWideVarchar:
        case bftWideClob:
            return V::FromWideText(u"Grüße, мир \U0001F600", type);
        case bftSignedInt8:
            return V::FromInteger(-100, type);
        case bftSignedInt16:
            return V::FromInteger(-30000, type);
        case bftSignedInt32:
            return V::FromInteger(-2000000000, type);
        case bftSignedInt64:
            return V::FromInteger(INT64_MIN, type);
        case bftUnsignedInt8:
            return V::FromInteger(250, type);
        case bftUnsignedInt16:
            return V::FromInteger(65000, type);
        case bftUnsignedInt32:
            return V::FromInteger(4000000000, type);
        case bftSingle:
            return V::FromFloat(0.1, type);
        case bftDouble:
        case bftExtended:
            return V::FromFloat(0.1 + 0.2, type);
        case bftCurrency:
            return V::FromCurrency(12.34);
        case bftDate:
            return V::FromDate(platform::EncodeDate(2024, 3, 5));
        case bftTime:
            return V::FromTime(platform::EncodeTime(13, 45, 7, 250));
        case bftDateTime:
            return V::FromDateTime(platform::EncodeDateTime(1850, 7, 1, 23, 59, 58, 1));
        case bftLogical:
            return V::FromBoolean(true);
        default:
            return V::FromBytes(std::string("\x00\x01 bytes", 8), type);
    }
}

TEST(SqlMemVariant, NullAndTypeState) {
    V value;
    EXPECT_TRUE(value.IsNull());
    EXPECT_EQ(value.BaseType(), bftUnknown);
    EXPECT_EQ(value.AsText(), "");
    EXPECT_EQ(value.AsInteger(), 0);

    V number = V::FromInteger(7);
    EXPECT_FALSE(number.IsNull());
    number.SetNull();
    EXPECT_TRUE(number.IsNull());
    EXPECT_EQ(number.BaseType(), bftSignedInt64);
    number.SetNull(bftVarchar);
    EXPECT_EQ(number.BaseType(), bftVarchar);
    EXPECT_EQ(V::Null(bftDate).BaseType(), bftDate);

    V copy = V::FromText("abc");
    V moved = std::move(copy);
    EXPECT_EQ(moved.AsText(), "abc");
    EXPECT_EQ(V(moved), moved);

    // Factories refuse a type of another kind.
    EXPECT_EQ(CodeOf([] { V::FromText("x", bftSignedInt32); }), 30077);
    EXPECT_EQ(CodeOf([] { V::FromInteger(1, bftVarchar); }), 30077);
}

TEST(SqlMemVariant, TextForms) {
    EXPECT_EQ(V::FromInteger(-42).AsText(), "-42");
    EXPECT_EQ(V::FromInteger(4000000000, bftUnsignedInt32).AsText(), "4000000000");
    EXPECT_EQ(V::FromFloat(0.1).AsText(), "0.1");
    EXPECT_EQ(V::FromFloat(0.1 + 0.2).AsText(), "0.30000000000000004");
    EXPECT_EQ(V::FromFloat(1.5e20).AsText(), "1.5e+20");
    EXPECT_EQ(V::FromFloat(100).AsText(), "100");
    EXPECT_EQ(V::FromFloat(0.1, bftSingle).AsText(), "0.1");
    EXPECT_EQ(V::FromBoolean(true).AsText(), "True");
    EXPECT_EQ(V::FromBoolean(false).AsText(), "False");
    EXPECT_EQ(V::FromDate(platform::EncodeDateTime(2024, 3, 5, 10, 0)).AsText(), "2024-03-05");
    EXPECT_EQ(V::FromTime(platform::EncodeDateTime(2024, 3, 5, 13, 45, 7)).AsText(), "13:45:07");
    EXPECT_EQ(V::FromTime(platform::EncodeTime(1, 2, 3, 40)).AsText(), "01:02:03.040");
    EXPECT_EQ(V::FromDateTime(platform::EncodeDateTime(2024, 3, 5, 13, 45, 7)).AsText(),
              "2024-03-05 13:45:07");
    EXPECT_EQ(V::FromDateTime(platform::EncodeDate(2024, 3, 5)).AsText(), "2024-03-05");
    EXPECT_EQ(V::FromWideText(u"Straße").AsText(), "Straße");
    EXPECT_EQ(V::FromText("Straße").AsWideText(), u"Straße");
    // Invalid UTF-8 never gets into a text value.
    EXPECT_EQ(V::FromText("a\xff"
                          "b")
                  .AsText(),
              "a\xEF\xBF\xBD"
              "b");
}

TEST(SqlMemVariant, ReadingTextAsOtherKinds) {
    EXPECT_EQ(V::FromText(" 123 ").AsInteger(), 123);
    EXPECT_EQ(V::FromText("+5").AsInteger(), 5);
    EXPECT_EQ(V::FromText("-9223372036854775808").AsInteger(), INT64_MIN);
    EXPECT_EQ(V::FromText("12.9").AsInteger(), 12);
    EXPECT_EQ(V::FromText("-12.9").AsInteger(), -12);
    EXPECT_DOUBLE_EQ(V::FromText("2.5e3").AsFloat(), 2500);
    EXPECT_TRUE(V::FromText("true").AsBoolean());
    EXPECT_TRUE(V::FromText("T").AsBoolean());
    EXPECT_FALSE(V::FromText("False").AsBoolean());
    EXPECT_FALSE(V::FromText("0").AsBoolean());
    EXPECT_DOUBLE_EQ(V::FromText("2024-03-05").AsDateTime(), platform::EncodeDate(2024, 3, 5));
    EXPECT_DOUBLE_EQ(V::FromText("2024-03-05 13:45").AsDateTime(),
                     platform::EncodeDateTime(2024, 3, 5, 13, 45));
    EXPECT_DOUBLE_EQ(V::FromText("2024-03-05T13:45:07.5").AsDateTime(),
                     platform::EncodeDateTime(2024, 3, 5, 13, 45, 7, 500));
    EXPECT_DOUBLE_EQ(V::FromText("13:45:07").AsDateTime(), platform::EncodeTime(13, 45, 7, 0));
    // Before the zero point the time still counts forward within its day.
    EXPECT_DOUBLE_EQ(V::FromText("1850-07-01 06:00").AsDateTime(),
                     platform::EncodeDateTime(1850, 7, 1, 6, 0));

    for (const char* bad : {"", "abc", "12abc", "9223372036854775808", "1e400", "nan", "inf"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(CodeOf([&] { V::FromText(bad).AsInteger(); }), 30078);
    }
    for (const char* bad : {"", "1,5", "x", "1e400", "nan"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(CodeOf([&] { V::FromText(bad).AsFloat(); }), 30078);
    }
    EXPECT_EQ(CodeOf([] { V::FromText("maybe").AsBoolean(); }), 30078);
    for (const char* bad : {"2024-02-30", "2024-13-01", "25:00", "2024-03-05 10", "05.03.2024",
                            "2024-03-05 10:00 x"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(CodeOf([&] { V::FromText(bad).AsDateTime(); }), 30078);
    }
    // The message names the value and the target.
    try {
        V::FromText("abc").Cast(bftSignedInt32);
        FAIL();
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.BareMessage(), "Cannot convert value 'abc' to type 'bftSignedInt32'");
    }
}

TEST(SqlMemVariant, IntegerWidthsAreChecked) {
    EXPECT_EQ(V::FromInteger(127, bftSignedInt8).AsInteger(), 127);
    EXPECT_EQ(CodeOf([] { V::FromInteger(128, bftSignedInt8); }), 30078);
    EXPECT_EQ(CodeOf([] { V::FromInteger(-1, bftUnsignedInt32); }), 30078);
    EXPECT_EQ(CodeOf([] { V::FromInteger(4294967296, bftUnsignedInt32); }), 30078);
    EXPECT_EQ(CodeOf([] { V::FromInteger(70000).Cast(bftSignedInt16); }), 30078);
    EXPECT_EQ(CodeOf([] { V::FromText("256").Cast(bftUnsignedInt8); }), 30078);
    EXPECT_EQ(CodeOf([] { V::FromFloat(1e19).Cast(bftSignedInt64); }), 30078);
    EXPECT_EQ(CodeOf([] { V::FromFloat(NAN).Cast(bftSignedInt32); }), 30078);
    EXPECT_EQ(V::FromFloat(-2.9).Cast(bftSignedInt32).AsInteger(), -2);
    EXPECT_EQ(CodeOf([] { V::FromFloat(1e39, bftSingle); }), 30078);
}

TEST(SqlMemVariant, CastMatrix) {
    for (const TSQLMemBaseFieldType from : kAllValueTypes) {
        for (const TSQLMemBaseFieldType to : kAllValueTypes) {
            SCOPED_TRACE(std::string(BaseTypeName(from)) + " -> " + std::string(BaseTypeName(to)));
            const V null_cast = V::Null(from);
            if (!V::CanCast(from, to)) {
                EXPECT_EQ(CodeOf([&] { Sample(from).Cast(to); }), 30077);
                EXPECT_EQ(CodeOf([&] { null_cast.Cast(to); }), 30077);
                continue;
            }
            const V cast_null = null_cast.Cast(to);
            EXPECT_TRUE(cast_null.IsNull());
            EXPECT_EQ(cast_null.BaseType(), to);
            const V sample = Sample(from);
            V cast;
            try {
                cast = sample.Cast(to);
            } catch (const ESQLMemException& error) {
                // Allowed pairs may still hold a value that does not fit.
                EXPECT_EQ(error.Code(), 30078) << error.what();
                continue;
            }
            EXPECT_EQ(cast.BaseType(), to);
            // Every type reaches text and comes back unchanged.
            if (to == bftVarchar || to == bftWideVarchar) {
                EXPECT_EQ(cast.Cast(from), sample) << cast.AsText();
            }
        }
    }
    // Pairs the rules name.
    EXPECT_TRUE(V::CanCast(bftLogical, bftSignedInt32));
    EXPECT_TRUE(V::CanCast(bftSignedInt16, bftLogical));
    EXPECT_TRUE(V::CanCast(bftDate, bftDateTime));
    EXPECT_TRUE(V::CanCast(bftTime, bftDate));
    EXPECT_TRUE(V::CanCast(bftBlob, bftVarchar));
    EXPECT_FALSE(V::CanCast(bftLogical, bftDate));
    EXPECT_FALSE(V::CanCast(bftBlob, bftSignedInt32));
    EXPECT_FALSE(V::CanCast(bftLogical, bftDouble));
    EXPECT_FALSE(V::CanCast(bftVarchar, bftUnknown));
    EXPECT_FALSE(V::CanCast(bftVarchar, bftBFile));
    // Values across the allowed pairs.
    EXPECT_EQ(V::FromBoolean(true).Cast(bftSignedInt32).AsInteger(), 1);
    EXPECT_FALSE(V::FromInteger(0).Cast(bftLogical).AsBoolean());
    const double moment = platform::EncodeDateTime(2024, 3, 5, 13, 45);
    EXPECT_DOUBLE_EQ(V::FromDateTime(moment).Cast(bftDate).AsDateTime(),
                     platform::EncodeDate(2024, 3, 5));
    EXPECT_DOUBLE_EQ(V::FromDateTime(moment).Cast(bftTime).AsDateTime(),
                     platform::EncodeTime(13, 45, 0, 0));
    EXPECT_EQ(V::FromText("2024-03-05").Cast(bftDate),
              V::FromDate(platform::EncodeDate(2024, 3, 5)));
    EXPECT_EQ(V::FromInteger(7).Cast(bftCurrency).AsText(), "7");
    EXPECT_EQ(V::FromBytes("abc").Cast(bftVarchar).AsText(), "abc");
    EXPECT_EQ(V::FromText("abc").Cast(bftBlob).AsBytes(), "abc");
    EXPECT_EQ(V::FromBytes("abcdef", bftVarBytes).Cast(bftBytes).AsBytes(), "abcdef");
    EXPECT_EQ(CodeOf([] { V::FromFloat(1e300).Cast(bftDateTime); }), 30078);
    // In place.
    V value = V::FromText("42");
    value.ConvertTo(bftSignedInt16);
    EXPECT_EQ(value, V::FromInteger(42, bftSignedInt16));
}

TEST(SqlMemVariant, CommonTypeTable) {
    const struct {
        TSQLMemBaseFieldType a, b, expected;
    } rows[] = {
        {bftVarchar, bftChar, bftVarchar},
        {bftChar, bftChar, bftChar},
        {bftVarchar, bftWideChar, bftWideVarchar},
        {bftClob, bftVarchar, bftClob},
        {bftClob, bftWideVarchar, bftWideClob},
        {bftSignedInt8, bftSignedInt32, bftSignedInt32},
        {bftUnsignedInt8, bftUnsignedInt16, bftUnsignedInt16},
        {bftSignedInt32, bftUnsignedInt16, bftSignedInt32},
        {bftSignedInt32, bftUnsignedInt32, bftSignedInt64},
        {bftSignedInt8, bftUnsignedInt8, bftSignedInt64},
        {bftSignedInt64, bftDouble, bftDouble},
        {bftSingle, bftSignedInt16, bftDouble},
        {bftSingle, bftDouble, bftDouble},
        {bftSingle, bftSingle, bftSingle},
        {bftExtended, bftSignedInt32, bftExtended},
        {bftCurrency, bftSignedInt32, bftCurrency},
        {bftCurrency, bftDouble, bftDouble},
        {bftCurrency, bftExtended, bftExtended},
        {bftDate, bftDateTime, bftDateTime},
        {bftTime, bftDateTime, bftDateTime},
        {bftDate, bftTime, bftDateTime},
        {bftLogical, bftLogical, bftLogical},
        {bftBytes, bftVarBytes, bftVarBytes},
        {bftBlob, bftBytes, bftBlob},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(BaseTypeName(row.a)) + " / " + std::string(BaseTypeName(row.b)));
        EXPECT_EQ(V::CommonType(row.a, row.b), row.expected);
        EXPECT_EQ(V::CommonType(row.b, row.a), row.expected);
    }
    for (const auto& [a, b] : std::vector<std::pair<TSQLMemBaseFieldType, TSQLMemBaseFieldType>>{
             {bftVarchar, bftSignedInt32},
             {bftLogical, bftSignedInt32},
             {bftDate, bftDouble},
             {bftBlob, bftVarchar},
             {bftUnknown, bftUnknown}}) {
        EXPECT_EQ(CodeOf([&] { V::CommonType(a, b); }), 30044);
    }
    try {
        V::CommonType(bftVarchar, bftSignedInt32);
    } catch (const ESQLMemException& error) {
        EXPECT_EQ(error.BareMessage(),
                  "Cannot compare Incompatible DataTypes: 'bftVarchar' and 'bftSignedInt32'");
    }
}

TEST(SqlMemVariant, Arithmetic) {
    EXPECT_EQ(V::FromInteger(2).Multiply(V::FromInteger(3)).Add(V::FromInteger(1)),
              V::FromInteger(7));
    EXPECT_EQ(V::FromInteger(1).Add(V::FromInteger(-2)).Add(V::FromInteger(-3)),
              V::FromInteger(-4));
    // Small integer types compute in 64 bits instead of wrapping at their own width.
    EXPECT_EQ(V::FromInteger(100, bftSignedInt8).Add(V::FromInteger(100, bftSignedInt8)),
              V::FromInteger(200));
    EXPECT_EQ(V::FromInteger(1).Add(V::FromFloat(0.5)), V::FromFloat(1.5));
    EXPECT_EQ(V::FromInteger(2).Multiply(V::FromCurrency(1.25)), V::FromCurrency(2.5));
    EXPECT_EQ(V::FromFloat(0.5, bftSingle).Add(V::FromFloat(0.25, bftSingle)).BaseType(),
              bftDouble);
    EXPECT_EQ(V::FromText("a").Add(V::FromText("b")), V::FromText("ab"));
    EXPECT_EQ(V::FromText("a").Add(V::FromWideText(u"б")), V::FromWideText(u"aб"));
    EXPECT_EQ(V::FromInteger(5).Subtract(V::FromInteger(7)), V::FromInteger(-2));
    EXPECT_EQ(V::FromInteger(5).Negate(), V::FromInteger(-5));
    EXPECT_EQ(V::FromInteger(5, bftUnsignedInt32).Negate(), V::FromInteger(-5));
    EXPECT_EQ(V::FromCurrency(2).Negate(), V::FromCurrency(-2));

    // Dates move by days and keep their type; two date-times differ by days.
    const double day = platform::EncodeDate(2024, 2, 28);
    EXPECT_EQ(V::FromDate(day).Add(V::FromInteger(2)),
              V::FromDate(platform::EncodeDate(2024, 3, 1)));
    EXPECT_EQ(V::FromInteger(1).Add(V::FromDate(day)), V::FromDate(day + 1));
    EXPECT_EQ(V::FromDateTime(day).Add(V::FromFloat(0.5)),
              V::FromDateTime(platform::EncodeDateTime(2024, 2, 28, 12, 0)));
    EXPECT_EQ(V::FromDate(day).Subtract(V::FromInteger(28)),
              V::FromDate(platform::EncodeDate(2024, 1, 31)));
    EXPECT_EQ(V::FromDate(day + 3).Subtract(V::FromDate(day)), V::FromFloat(3));

    // Division: integers divide as integers, floats per IEEE.
    EXPECT_EQ(V::FromInteger(7).Divide(V::FromInteger(2)), V::FromInteger(3));
    EXPECT_EQ(V::FromInteger(-7).Divide(V::FromInteger(2)), V::FromInteger(-3));
    EXPECT_EQ(V::FromInteger(7).Divide(V::FromFloat(2)), V::FromFloat(3.5));
    EXPECT_EQ(CodeOf([] { V::FromInteger(7).Divide(V::FromInteger(0)); }), 30080);
    EXPECT_TRUE(std::isinf(V::FromFloat(1).Divide(V::FromFloat(0)).AsFloat()));

    // Overflow is an error, never a wrap.
    const V max = V::FromInteger(INT64_MAX);
    const V min = V::FromInteger(INT64_MIN);
    EXPECT_EQ(CodeOf([&] { max.Add(V::FromInteger(1)); }), 30079);
    EXPECT_EQ(CodeOf([&] { min.Subtract(V::FromInteger(1)); }), 30079);
    EXPECT_EQ(CodeOf([&] { max.Multiply(V::FromInteger(2)); }), 30079);
    EXPECT_EQ(CodeOf([&] { min.Multiply(V::FromInteger(-1)); }), 30079);
    EXPECT_EQ(CodeOf([&] { min.Divide(V::FromInteger(-1)); }), 30079);
    EXPECT_EQ(CodeOf([&] { min.Negate(); }), 30079);

    // Nulls: either side null gives a null of the common type.
    const V null_int = V::Null(bftSignedInt32);
    EXPECT_TRUE(null_int.Add(V::FromInteger(1)).IsNull());
    EXPECT_TRUE(V::FromInteger(1).Add(null_int).IsNull());
    EXPECT_EQ(V::FromInteger(1).Add(null_int).BaseType(), bftSignedInt64);
    EXPECT_EQ(V().Add(V::FromText("a")).BaseType(), bftVarchar);
    EXPECT_TRUE(V::FromInteger(1).Divide(V::Null(bftSignedInt64)).IsNull());
    EXPECT_TRUE(V::Null(bftDouble).Negate().IsNull());
    EXPECT_EQ(V::Null(bftDate).Add(V::FromInteger(1)).BaseType(), bftDate);

    // Not numbers.
    EXPECT_EQ(CodeOf([] { V::FromText("a").Multiply(V::FromText("b")); }), 30082);
    EXPECT_EQ(CodeOf([] { V::FromBoolean(true).Add(V::FromBoolean(true)); }), 30082);
    EXPECT_EQ(CodeOf([] { V::FromText("a").Negate(); }), 30082);
    EXPECT_EQ(CodeOf([] { V::FromText("a").Add(V::FromInteger(1)); }), 30044);
}

TEST(SqlMemVariant, CompareNullOptions) {
    const V null_value = V::Null(bftSignedInt32);
    const V one = V::FromInteger(1);
    EXPECT_EQ(null_value.Compare(one), cmprLeftNull);
    EXPECT_EQ(one.Compare(null_value), cmprRightNull);
    EXPECT_EQ(null_value.Compare(V()), cmprBothNull);
    EXPECT_EQ(null_value.Compare(one, false, false, false), cmprLower);
    EXPECT_EQ(one.Compare(null_value, false, false, false), cmprGreater);
    EXPECT_EQ(null_value.Compare(V(), false, false, false), cmprEqual);
    // A null compares with a value of any type.
    EXPECT_EQ(V::Null(bftVarchar).Compare(one), cmprLeftNull);
}

TEST(SqlMemVariant, CompareAcrossTypes) {
    EXPECT_EQ(V::FromInteger(1).Compare(V::FromFloat(1.0)), cmprEqual);
    EXPECT_EQ(V::FromInteger(2, bftUnsignedInt32).Compare(V::FromInteger(-1, bftSignedInt8)),
              cmprGreater);
    EXPECT_EQ(V::FromInteger(INT64_MAX).Compare(V::FromInteger(INT64_MAX - 1)), cmprGreater);
    EXPECT_EQ(V::FromCurrency(1.5).Compare(V::FromFloat(1.5)), cmprEqual);
    EXPECT_EQ(V::FromFloat(0.1, bftSingle).Compare(V::FromFloat(0.1, bftSingle)), cmprEqual);
    const double day = platform::EncodeDate(2024, 3, 5);
    EXPECT_EQ(V::FromDate(day).Compare(V::FromDateTime(day)), cmprEqual);
    EXPECT_EQ(V::FromDate(day).Compare(V::FromDateTime(day + 0.5)), cmprLower);
    EXPECT_EQ(V::FromBoolean(false).Compare(V::FromBoolean(true)), cmprLower);
    EXPECT_EQ(V::FromBytes("ab").Compare(V::FromBytes("b", bftBytes)), cmprLower);
    EXPECT_EQ(CodeOf([] { V::FromText("1").Compare(V::FromInteger(1)); }), 30044);
}

TEST(SqlMemVariant, CompareText) {
    const V abc = V::FromText("abc");
    EXPECT_EQ(abc.Compare(V::FromText("ABC")), cmprLower);  // case counts: lower first
    EXPECT_EQ(abc.Compare(V::FromText("ABC"), true), cmprEqual);
    EXPECT_EQ(abc.Compare(V::FromText("abd")), cmprLower);
    EXPECT_EQ(abc.Compare(V::FromText("ab")), cmprGreater);
    EXPECT_EQ(abc.Compare(V::FromText("ab"), false, true), cmprEqual);
    EXPECT_EQ(V::FromText("Sm").Compare(V::FromText("Smith"), false, true), cmprEqual);
    EXPECT_EQ(V::FromText("SM").Compare(V::FromText("Smith"), true, true), cmprEqual);
    EXPECT_EQ(V::FromText("Sx").Compare(V::FromText("Smith"), true, true), cmprGreater);
    EXPECT_EQ(V::FromText("").Compare(V::FromText("Smith"), false, true), cmprEqual);

    // Non-ASCII text follows the collation, not the bytes.
    EXPECT_EQ(V::FromText("straße").Compare(V::FromText("STRASSE"), true), cmprEqual);
    EXPECT_NE(V::FromText("straße").Compare(V::FromText("STRASSE"), false), cmprEqual);
    EXPECT_EQ(V::FromText("ПРИВЕТ").Compare(V::FromText("привет"), true), cmprEqual);
    EXPECT_EQ(V::FromText("ёж").Compare(V::FromText("яблоко")), cmprLower);
    EXPECT_EQ(V::FromText("Zebra").Compare(V::FromText("ähnlich"), true), cmprGreater);
    // Partial compare counts characters: "пр" is two characters of four bytes.
    EXPECT_EQ(V::FromText("пр").Compare(V::FromText("привет"), false, true), cmprEqual);
    EXPECT_EQ(V::FromText("ПР").Compare(V::FromText("привет"), true, true), cmprEqual);
    EXPECT_EQ(V::FromText("пра").Compare(V::FromText("привет"), false, true), cmprLower);

    // Wide text, and 8-bit against wide.
    EXPECT_EQ(V::FromWideText(u"привет").Compare(V::FromText("ПРИВЕТ"), true), cmprEqual);
    EXPECT_EQ(
        V::FromWideText(u"a\U0001F600b").Compare(V::FromWideText(u"a\U0001F600"), false, true),
        cmprEqual);
    EXPECT_EQ(V::FromWideText(u"a\U0001F600").Compare(V::FromWideText(u"a\U0001F601"), false, true),
              cmprLower);
}

TEST(SqlMemVariant, ByteFormRoundTrip) {
    std::vector<V> values;
    for (const TSQLMemBaseFieldType type : kAllValueTypes) {
        values.push_back(Sample(type));
        values.push_back(V::Null(type));
    }
    values.push_back(V());
    values.push_back(V::FromText(""));
    values.push_back(V::FromBoolean(false));
    values.push_back(V::FromFloat(-0.0));
    values.push_back(V::FromInteger(INT64_MAX));
    std::string stream;
    for (const V& value : values) {
        value.SaveTo(stream);
    }
    size_t pos = 0;
    for (const V& value : values) {
        SCOPED_TRACE(std::string(BaseTypeName(value.BaseType())));
        EXPECT_EQ(V::LoadFrom(stream, pos), value);
    }
    EXPECT_EQ(pos, stream.size());

    // Every cut-short prefix of every value raises and leaves the position alone.
    for (const V& value : values) {
        std::string bytes;
        value.SaveTo(bytes);
        for (size_t length = 0; length < bytes.size(); ++length) {
            size_t at = 0;
            EXPECT_EQ(CodeOf([&] { V::LoadFrom(std::string_view(bytes).substr(0, length), at); }),
                      30081);
            EXPECT_EQ(at, 0u);
        }
    }
    // Damaged contents.
    const auto load = [](std::string bytes) {
        size_t at = 0;
        return CodeOf([&] { V::LoadFrom(bytes, at); });
    };
    EXPECT_EQ(load(std::string("\x63\x00", 2)), 30081);                      // no such type
    EXPECT_EQ(load(std::string("\x00\x00", 2)), 30081);                      // a value of no type
    EXPECT_EQ(load(std::string("\x03\x02", 2)), 30081);                      // null flag 2
    EXPECT_EQ(load(std::string("\x03\x00\x01\x00\x00\x00\xff", 7)), 30081);  // not UTF-8
    EXPECT_EQ(load(std::string("\x03\x00\xff\xff\xff\xff", 6)), 30081);      // huge length
    EXPECT_EQ(load(std::string("\x04\x00\xff\xff\xff\x7f", 6)), 30081);      // huge wide length
    std::string wide_int8;
    V::FromInteger(300).SaveTo(wide_int8);
    wide_int8[0] = static_cast<char>(bftSignedInt8);
    EXPECT_EQ(load(wide_int8), 30081);
    std::string bad_date;
    V::FromFloat(1e300).SaveTo(bad_date);
    bad_date[0] = static_cast<char>(bftDateTime);
    EXPECT_EQ(load(bad_date), 30081);
}

TSQLMemFieldDef Column(const char* name, TSQLMemAdvancedFieldType type, int32_t size = 0) {
    TSQLMemFieldDef def;
    def.Name = name;
    def.SetAdvancedType(type, size);
    return def;
}

TEST(SqlMemVariant, RowFieldsRoundTrip) {
    const TSQLMemFieldDefs defs({
        Column("S", aftString, 5),    Column("W", aftWideString, 4), Column("I8", aftShortint),
        Column("I16", aftSmallint),   Column("I32", aftInteger),     Column("I64", aftLargeint),
        Column("U8", aftByte),        Column("U16", aftWord),        Column("U32", aftCardinal),
        Column("F", aftSingle),       Column("D", aftDouble),        Column("E", aftExtended),
        Column("C", aftCurrency),     Column("Dt", aftDate),         Column("T", aftTime),
        Column("DT", aftDateTime),    Column("L", aftBoolean),       Column("B", aftBytes, 4),
        Column("VB", aftVarBytes, 3), Column("M", aftMemo),
    });
    std::vector<std::byte> row(static_cast<size_t>(defs.DataSize()));
    SetAllNull(row.data(), defs.Count());

    const std::vector<V> values = {
        V::FromText("Grüß"),
        V::FromWideText(u"мир\U0001F600"),
        V::FromInteger(-128, bftSignedInt8),
        V::FromInteger(-32768, bftSignedInt16),
        V::FromInteger(INT32_MIN, bftSignedInt32),
        V::FromInteger(INT64_MIN),
        V::FromInteger(255, bftUnsignedInt8),
        V::FromInteger(65535, bftUnsignedInt16),
        V::FromInteger(4294967295, bftUnsignedInt32),
        V::FromFloat(0.1, bftSingle),
        V::FromFloat(0.1 + 0.2),
        V::FromFloat(1.0 / 3, bftExtended),
        V::FromCurrency(-12.5),
        V::FromDate(platform::EncodeDate(1, 1, 1)),
        V::FromTime(platform::EncodeTime(23, 59, 59, 999)),
        V::FromDateTime(platform::EncodeDateTime(1850, 7, 1, 6, 30, 0, 5)),
        V::FromBoolean(true),
        V::FromBytes(std::string("\x00\x01\x02\x03", 4), bftBytes),
        V::FromBytes("xyz", bftVarBytes),
    };
    for (int32_t i = 0; i < static_cast<int32_t>(values.size()); ++i) {
        SCOPED_TRACE(defs[i].Name);
        values[i].ToField(defs, i, row.data());
        EXPECT_FALSE(IsFieldNull(row.data(), i));
        EXPECT_EQ(V::FromField(defs, i, row.data()), values[i]);
    }
    // Values are cast to the column type on the way in.
    V::FromText("123").ToField(defs, 4, row.data());
    EXPECT_EQ(V::FromField(defs, 4, row.data()), V::FromInteger(123, bftSignedInt32));
    V::FromInteger(42).ToField(defs, 0, row.data());
    EXPECT_EQ(V::FromField(defs, 0, row.data()), V::FromText("42"));
    V::FromDateTime(platform::EncodeDateTime(2024, 3, 5, 10, 0)).ToField(defs, 13, row.data());
    EXPECT_EQ(V::FromField(defs, 13, row.data()), V::FromDate(platform::EncodeDate(2024, 3, 5)));
    // Text longer than the column is cut to its characters.
    V::FromText("Grüße, Welt").ToField(defs, 0, row.data());
    EXPECT_EQ(V::FromField(defs, 0, row.data()), V::FromText("Grüße"));
    V::FromWideText(u"абвгд").ToField(defs, 1, row.data());
    EXPECT_EQ(V::FromField(defs, 1, row.data()), V::FromWideText(u"абвг"));
    // A value that does not fit the column is refused and leaves the field as it was.
    EXPECT_EQ(CodeOf([&] { V::FromInteger(300).ToField(defs, 2, row.data()); }), 30078);
    EXPECT_EQ(V::FromField(defs, 2, row.data()), values[2]);
    EXPECT_EQ(CodeOf([&] { V::FromText("x").ToField(defs, 16, row.data()); }), 30078);
    EXPECT_EQ(CodeOf([&] { V::FromBoolean(true).ToField(defs, 13, row.data()); }), 30077);
    // Null and other field numbers.
    V::Null(bftSignedInt32).ToField(defs, 4, row.data());
    EXPECT_TRUE(IsFieldNull(row.data(), 4));
    EXPECT_EQ(V::FromField(defs, 4, row.data()), V::Null(bftSignedInt32));
    EXPECT_FALSE(IsFieldNull(row.data(), 5));
    EXPECT_EQ(V::FromField(defs, 19, row.data()), V::Null(bftClob));
    EXPECT_EQ(CodeOf([&] { V::FromText("x").ToField(defs, 19, row.data()); }), 30077);
    EXPECT_EQ(CodeOf([&] { V::FromField(defs, 20, row.data()); }), 10000);
    EXPECT_EQ(CodeOf([&] { V::FromField(defs, -1, row.data()); }), 10000);
    EXPECT_EQ(CodeOf([&] { V::FromInteger(1).ToField(defs, 20, row.data()); }), 10004);
}

}  // namespace
}  // namespace tapir::engine
