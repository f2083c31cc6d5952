#pragma once
// The typed value of the SQL layer: a base type, a null flag and the value. Constants,
// parameters, column defaults and every expression node's result are values of this class;
// it converts between types, computes the common type of two values, does the arithmetic of
// expressions and compares with the field types' rules. A value is a plain copyable object;
// distinct values may be used from distinct threads.
//
// Held forms, by base type:
//   bftChar, bftVarchar, bftClob                 std::string, valid UTF-8
//   bftWideChar, bftWideVarchar, bftWideClob     std::u16string, UTF-16
//   bftSignedInt8 .. bftSignedInt64              int64_t, within the type's range
//   bftUnsignedInt8 .. bftUnsignedInt32          int64_t, within the type's range
//   bftSingle, bftDouble, bftExtended            double (a single holds a float's value)
//   bftCurrency                                  double
//   bftDate, bftTime, bftDateTime                double date-time (days since 1899-12-30);
//                                                a date has no fraction, a time no whole days
//   bftLogical                                   bool
//   bftBlob, bftBytes, bftVarBytes               std::string of raw bytes
// A null value keeps its base type (bftUnknown when it has none).
//
// Byte form (SaveTo / LoadFrom), little-endian:
//   OFFSET  SIZE  DESCRIPTION
//   0       1     base type number
//   1       1     1 = null, 0 = has a value (nothing follows a null)
//   2       ..    the value: int64 for integers, IEEE double for floats, currency and
//                 date/time, one byte 0/1 for logical, uint32 length + bytes for 8-bit text
//                 and byte strings, uint32 unit count + 16-bit units for wide text

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "engine/record/field_types.h"
#include "engine/record/record_buffer.h"

namespace tapir::engine {

// Outcome of comparing two values. With null-aware comparison a null side gives one of
// the last three, which is neither equal, lower nor greater.
enum class TSQLMemCompareResult : int {
    cmprEqual = 0,
    cmprLower,
    cmprGreater,
    cmprLeftNull,
    cmprRightNull,
    cmprBothNull,
};
using enum TSQLMemCompareResult;

// Error codes of the value class that no other part of the engine owns.
// A cast between types that do not convert into each other.
constexpr int kCannotCastCode = 30077;  // "Cannot convert an expression to specified type: '%s'"
// A value that does not fit or does not read as the target type.
constexpr int kConvertValueCode = 30078;  // "Cannot convert value '%s' to type '%s'"
// Integer arithmetic whose result leaves the 64-bit range.
constexpr int kIntegerOverflowCode = 30079;  // "Integer overflow in operator '%s'"
// Integer division by zero.
constexpr int kDivisionByZeroCode = 30080;  // "Division by zero"
// A byte form that is cut short or holds an unknown type.
constexpr int kInvalidValueStreamCode = 30081;  // "Invalid value in stream: %s"
// Arithmetic on a value that is not a number (or text, for adding).
constexpr int kNotNumericCode = 30082;  // "Not numeric argument in numeric operator '%s'"

class TSQLMemVariant {
  public:
    // A null value of no type.
    TSQLMemVariant() = default;
    TSQLMemVariant(const TSQLMemVariant&) = default;
    TSQLMemVariant(TSQLMemVariant&&) noexcept = default;
    TSQLMemVariant& operator=(const TSQLMemVariant&) = default;
    TSQLMemVariant& operator=(TSQLMemVariant&&) noexcept = default;
    ~TSQLMemVariant() = default;

    // --- Construction, one factory per kind of value ---
    // A null value of the given base type.
    static TSQLMemVariant Null(TSQLMemBaseFieldType type = bftUnknown);
    // 8-bit text (bftVarchar, bftChar or bftClob). Invalid UTF-8 is replaced by U+FFFD.
    // Throws ESQLMemException 30077 for a type that is not 8-bit text.
    static TSQLMemVariant FromText(std::string_view text, TSQLMemBaseFieldType type = bftVarchar);
    // Wide text (bftWideVarchar, bftWideChar or bftWideClob).
    static TSQLMemVariant FromWideText(std::u16string_view text,
                                       TSQLMemBaseFieldType type = bftWideVarchar);
    // An integer of any integer type. Throws ESQLMemException 30078 when the value does
    // not fit the type's width.
    static TSQLMemVariant FromInteger(int64_t value, TSQLMemBaseFieldType type = bftSignedInt64);
    // bftSingle, bftDouble, bftExtended or bftCurrency. A single is narrowed to a float's
    // value (30078 when out of its range).
    static TSQLMemVariant FromFloat(double value, TSQLMemBaseFieldType type = bftDouble);
    static TSQLMemVariant FromCurrency(double value) { return FromFloat(value, bftCurrency); }
    static TSQLMemVariant FromBoolean(bool value);
    // A date-time value as bftDateTime, bftDate (the time dropped) or bftTime (the date
    // dropped), kept to the millisecond as a row stores it. Throws ESQLMemException 30051
    // "Date-time value out of range: %s" for NaN, infinities and values outside the years
    // 1 to 9999.
    static TSQLMemVariant FromDateTime(double date_time, TSQLMemBaseFieldType type = bftDateTime);
    static TSQLMemVariant FromDate(double date_time) { return FromDateTime(date_time, bftDate); }
    static TSQLMemVariant FromTime(double date_time) { return FromDateTime(date_time, bftTime); }
    // Raw bytes (bftBlob, bftBytes or bftVarBytes).
    static TSQLMemVariant FromBytes(std::string_view bytes, TSQLMemBaseFieldType type = bftBlob);

    // --- State ---
    bool IsNull() const { return null_; }
    TSQLMemBaseFieldType BaseType() const { return type_; }
    // Makes the value null, keeping its base type / taking the given one.
    void SetNull();
    void SetNull(TSQLMemBaseFieldType type);

    // --- Reading as another kind (the value converted, the variant unchanged) ---
    // Text: numbers in the C locale (doubles in the shortest form that reads back, at most
    // 17 significant digits), dates as YYYY-MM-DD, times as HH:MM:SS (with .ZZZ when the
    // milliseconds are not 0), date-times as YYYY-MM-DD HH:MM:SS (the date alone when the
    // time is 0), logical "True"/"False", byte strings as their bytes. Null gives "".
    std::string AsText() const;
    std::u16string AsWideText() const;
    // Integers: floats are truncated toward zero, logical is 0/1, text is parsed (an
    // integer, or a number whose truncation is taken), date/time values are truncated days.
    // Null gives 0. Throws ESQLMemException 30078 when the value does not read as an
    // integer or does not fit 64 bits; 30077 for byte strings.
    int64_t AsInteger() const;
    // Floats: integers widened, logical 0/1, date/time the date-time number, text parsed.
    // Null gives 0. Throws 30078 / 30077 as AsInteger.
    double AsFloat() const;
    // Logical: numbers are true when not 0, text reads "True"/"False" (any case), "T"/"F",
    // "Yes"/"No", "1"/"0". Null gives false. Throws 30078 / 30077.
    bool AsBoolean() const;
    // A date-time number: numbers as they are, text read as YYYY-MM-DD[ HH:MM[:SS[.ZZZ]]] or
    // HH:MM[:SS[.ZZZ]]. Null gives 0. Throws 30078 / 30077.
    double AsDateTime() const;
    // Byte strings as they are, 8-bit text as its bytes, wide text as UTF-8 bytes.
    // Throws 30077 for other types. Null gives "".
    std::string AsBytes() const;

    // --- Casts ---
    // The value converted to `type`; a null value stays null with the new type.
    // Allowed: every pair within numbers, text, date/time and byte strings; numbers,
    // logical, date/time and byte strings to and from text; logical to and from integers;
    // numbers to and from date/time values. Throws ESQLMemException 30077 for any other
    // pair (and for bftUnknown / bftBFile as target), 30078 when the value does not convert.
    TSQLMemVariant Cast(TSQLMemBaseFieldType type) const;
    // Whether Cast(from → to) is an allowed pair (a value may still fail to convert).
    static bool CanCast(TSQLMemBaseFieldType from, TSQLMemBaseFieldType to);
    // In place: *this = Cast(type).
    void ConvertTo(TSQLMemBaseFieldType type);

    // The type two values are brought to before they are compared or combined: same types
    // stay; text with text is text (wide when either is wide, CLOB when either is CLOB);
    // integers give the wider type (both signed: the wider signed type; both unsigned: the
    // wider unsigned type; mixed: bftSignedInt64, which holds every value of both);
    // an integer or currency with a float gives bftDouble (bftExtended with extended);
    // currency with an integer gives bftCurrency; date with time or date-time gives
    // bftDateTime; logical with logical is logical; byte strings with byte strings give
    // bftBlob. Throws ESQLMemException 30044 "Cannot compare Incompatible DataTypes: '%s'
    // and '%s'" for any other pair.
    static TSQLMemBaseFieldType CommonType(TSQLMemBaseFieldType a, TSQLMemBaseFieldType b);

    // --- Arithmetic (a null operand gives a null result of the common type) ---
    // Numbers add; texts concatenate; a date, time or date-time plus a number is shifted by
    // that many days (keeping its type). Integer overflow throws 30079; other types 30082,
    // incompatible pairs 30044.
    TSQLMemVariant Add(const TSQLMemVariant& other) const;
    // Numbers subtract; date/time minus a number shifts back; date/time minus date/time
    // gives the difference in days as a double.
    TSQLMemVariant Subtract(const TSQLMemVariant& other) const;
    TSQLMemVariant Multiply(const TSQLMemVariant& other) const;
    // Two integers divide as integers (truncated toward zero; zero divisor throws 30080);
    // any float side divides in floating point (IEEE: x / 0 is an infinity or NaN).
    TSQLMemVariant Divide(const TSQLMemVariant& other) const;
    // Numbers negated (an unsigned type becomes bftSignedInt64; the smallest int64 throws
    // 30079). Other types throw 30082.
    TSQLMemVariant Negate() const;

    // --- Comparison ---
    // Compares with the rules of the field types after bringing both sides to their common
    // type. ignore_case: texts compare without regard to case. partial: texts compare only
    // over the shorter text's characters. null_aware: a null side gives cmprLeftNull,
    // cmprRightNull or cmprBothNull; otherwise a null is lower than every value and two
    // nulls are equal. Throws ESQLMemException 30044 for incompatible types.
    TSQLMemCompareResult Compare(const TSQLMemVariant& other, bool ignore_case = false,
                                 bool partial = false, bool null_aware = true) const;

    // Same type, same null flag and the same value (no conversion).
    friend bool operator==(const TSQLMemVariant&, const TSQLMemVariant&) = default;

    // --- Byte form (see the table above) ---
    // Appends the value's byte form to `out`.
    void SaveTo(std::string& out) const;
    // Reads one value at `pos` and moves `pos` past it. Throws ESQLMemException 30081 when
    // the bytes are cut short or hold an unknown type or invalid text.
    static TSQLMemVariant LoadFrom(std::string_view in, size_t& pos);

    // --- Row fields ---
    // The value of column `field_no` of `row`, typed as the column's base type (null when
    // the field is null). BLOB columns read as a null of their type: their content is not
    // in the row. Throws ESQLMemException 10000 for a field number that is not a column.
    static TSQLMemVariant FromField(const TSQLMemFieldDefs& defs, int32_t field_no,
                                    const std::byte* row);
    // Writes the value, cast to the column's base type, into column `field_no` of `row`
    // (a null value makes the field null; text longer than the column is cut). Throws as
    // Cast, ESQLMemException 10004 for a field number that is not a column, 30077 for a
    // BLOB column.
    void ToField(const TSQLMemFieldDefs& defs, int32_t field_no, std::byte* row) const;

  private:
    using Value = std::variant<std::monostate, std::string, std::u16string, int64_t, double, bool>;

    TSQLMemVariant(TSQLMemBaseFieldType type, Value value);
    // Cast's conversion once the pair is known to be allowed and the value not null.
    TSQLMemVariant CastValue(TSQLMemBaseFieldType type) const;

    TSQLMemBaseFieldType type_ = bftUnknown;
    bool null_ = true;
    Value value_;
};

}  // namespace tapir::engine
