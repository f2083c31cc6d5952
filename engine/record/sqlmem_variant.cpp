#include "engine/record/sqlmem_variant.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <vector>

#include "engine/record/utf8_text.h"
#include "platform/collation.h"
#include "platform/date_time.h"

namespace tapir::engine {

namespace {

// What a base type holds and how it converts; the families of the cast rules.
enum class Kind { None, Text, WideText, Integer, Float, DateTime, Logical, Bytes };

Kind KindOf(TSQLMemBaseFieldType type) {
    switch (type) {
        case bftChar:
        case bftVarchar:
        case bftClob:
            return Kind::Text;
        case bftWideChar:
        case bftWideVarchar:
        case bftWideClob:
            return Kind::WideText;
        case bftSignedInt8:
        case bftSignedInt16:
        case bftSignedInt32:
        case bftSignedInt64:
        case bftUnsignedInt8:
        case bftUnsignedInt16:
        case bftUnsignedInt32:
            return Kind::Integer;
        case bftSingle:
        case bftDouble:
        case bftExtended:
        case bftCurrency:
            return Kind::Float;
        case bftDate:
        case bftTime:
        case bftDateTime:
            return Kind::DateTime;
        case bftLogical:
            return Kind::Logical;
        case bftBlob:
        case bftBytes:
        case bftVarBytes:
            return Kind::Bytes;
        default:
            return Kind::None;
    }
}

bool IsTextKind(Kind kind) { return kind == Kind::Text || kind == Kind::WideText; }
bool IsNumberKind(Kind kind) { return kind == Kind::Integer || kind == Kind::Float; }

bool IsSignedInteger(TSQLMemBaseFieldType type) {
    return type == bftSignedInt8 || type == bftSignedInt16 || type == bftSignedInt32 ||
           type == bftSignedInt64;
}

// Bytes of an integer type.
int IntegerWidth(TSQLMemBaseFieldType type) {
    switch (type) {
        case bftSignedInt8:
        case bftUnsignedInt8:
            return 1;
        case bftSignedInt16:
        case bftUnsignedInt16:
            return 2;
        case bftSignedInt32:
        case bftUnsignedInt32:
            return 4;
        default:
            return 8;
    }
}

std::string TypeName(TSQLMemBaseFieldType type) { return std::string(BaseTypeName(type)); }

[[noreturn]] void ThrowCannotCast(TSQLMemBaseFieldType target) {
    throw ESQLMemException::Formatted(
        kCannotCastCode,
        "Cannot convert an expression to specified type: '" + TypeName(target) + "'");
}

[[noreturn]] void ThrowConvert(std::string_view shown, TSQLMemBaseFieldType target) {
    throw ESQLMemException::Formatted(
        kConvertValueCode,
        "Cannot convert value '" + std::string(shown) + "' to type '" + TypeName(target) + "'");
}

[[noreturn]] void ThrowOverflow(std::string_view op) {
    throw ESQLMemException::Formatted(kIntegerOverflowCode,
                                      "Integer overflow in operator '" + std::string(op) + "'");
}

[[noreturn]] void ThrowNotNumeric(std::string_view op) {
    throw ESQLMemException::Formatted(
        kNotNumericCode, "Not numeric argument in numeric operator '" + std::string(op) + "'");
}

[[noreturn]] void ThrowIncompatible(TSQLMemBaseFieldType a, TSQLMemBaseFieldType b) {
    throw ESQLMemException::Formatted(30044, "Cannot compare Incompatible DataTypes: '" +
                                                 TypeName(a) + "' and '" + TypeName(b) + "'");
}

[[noreturn]] void ThrowBadStream(std::string_view what) {
    throw ESQLMemException::Formatted(kInvalidValueStreamCode,
                                      "Invalid value in stream: " + std::string(what));
}

[[noreturn]] void ThrowInvalidFieldNo(int code, int32_t field_no, int32_t count) {
    throw ESQLMemException::Formatted(
        code, "Invalid field number - FieldNo = " + std::to_string(field_no) +
                  ", FieldCount = " + std::to_string(count));
}

// --- UTF-8 / UTF-16 ---

std::u16string Utf8ToUtf16(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    std::u16string result(text.size(), u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(result.data()),
                         static_cast<int32_t>(result.size()), &length, text.data(),
                         static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    result.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return result;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    if (text.empty()) {
        return {};
    }
    std::string result(text.size() * 3, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(result.data(), static_cast<int32_t>(result.size()), &length,
                       reinterpret_cast<const UChar*>(text.data()),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    result.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return result;
}

// Units of the first `characters` characters of a UTF-16 text (a pair is one character).
size_t Utf16PrefixUnits(std::u16string_view text, size_t characters) {
    size_t units = 0;
    for (size_t count = 0; count < characters && units < text.size(); ++count) {
        const char16_t unit = text[units];
        const bool pair = unit >= 0xD800 && unit <= 0xDBFF && units + 1 < text.size() &&
                          text[units + 1] >= 0xDC00 && text[units + 1] <= 0xDFFF;
        units += pair ? 2 : 1;
    }
    return units;
}

// Characters of a UTF-16 text (a pair is one).
size_t Utf16Length(std::u16string_view text) {
    size_t characters = 0;
    for (size_t units = 0; units < text.size(); units += Utf16PrefixUnits(text.substr(units), 1)) {
        ++characters;
    }
    return characters;
}

// Full Unicode case folding: the collator alone, even ignoring case, keeps forms apart
// that fold to several letters (the German sharp s and "SS").
std::u16string FoldCase(std::u16string_view text) {
    if (text.empty()) {
        return {};
    }
    std::u16string folded(text.size() * 3 + 1, u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    length =
        u_strFoldCase(reinterpret_cast<UChar*>(folded.data()), static_cast<int32_t>(folded.size()),
                      reinterpret_cast<const UChar*>(text.data()),
                      static_cast<int32_t>(text.size()), U_FOLD_CASE_DEFAULT, &status);
    folded.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return folded;
}

// Cuts both texts to the characters of the shorter one.
void CutToShorter(std::u16string& left, std::u16string& right) {
    const size_t characters = std::min(Utf16Length(left), Utf16Length(right));
    left.resize(Utf16PrefixUnits(left, characters));
    right.resize(Utf16PrefixUnits(right, characters));
}

// --- Numbers as text (the C locale whatever the process locale) ---

std::string_view Trim(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') {
        text.remove_suffix(1);
    }
    return text;
}

std::string FormatDouble(double value) {
    if (std::isnan(value)) {
        return "NAN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "INF" : "-INF";
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string FormatSingle(double value) {
    if (!std::isfinite(value)) {
        return FormatDouble(value);
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value));
    return std::string(buffer, result.ptr);
}

bool ParseInt64(std::string_view text, int64_t& out) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return false;
    }
    const auto result = std::from_chars(text.data(), text.data() + text.size(), out);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// A finite decimal number; "inf" and "nan" are not numbers here.
bool ParseDouble(std::string_view text, double& out) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return false;
    }
    const auto result =
        std::from_chars(text.data(), text.data() + text.size(), out, std::chars_format::general);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() &&
           std::isfinite(out);
}

// A double's value narrowed to the single nearest to its 15-digit text, as a single field
// stores it.
bool NarrowToSingle(double value, double& out) {
    if (!std::isfinite(value)) {
        out = value;
        return true;
    }
    char buffer[64];
    const auto written =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    float single = 0;
    const auto read = std::from_chars(buffer, written.ptr, single, std::chars_format::general);
    if (read.ec != std::errc() || !std::isfinite(single)) {
        return false;
    }
    out = single;
    return true;
}

// Truncation toward zero into 64 bits; false when NaN or outside the range.
bool TruncateToInt64(double value, int64_t& out) {
    if (!std::isfinite(value)) {
        return false;
    }
    const double truncated = std::trunc(value);
    // 2^63 is exact as a double; every double below it converts.
    if (truncated < -9223372036854775808.0 || truncated >= 9223372036854775808.0) {
        return false;
    }
    out = static_cast<int64_t>(truncated);
    return true;
}

// --- Date and time text ---

std::string Pad(int value, int digits) {
    std::string text = std::to_string(value);
    if (static_cast<int>(text.size()) < digits) {
        text.insert(0, static_cast<size_t>(digits) - text.size(), '0');
    }
    return text;
}

std::string FormatDatePart(const platform::DateTimeParts& parts) {
    return Pad(parts.year, 4) + "-" + Pad(parts.month, 2) + "-" + Pad(parts.day, 2);
}

std::string FormatTimePart(const platform::DateTimeParts& parts) {
    std::string text = Pad(parts.hour, 2) + ":" + Pad(parts.minute, 2) + ":" + Pad(parts.second, 2);
    if (parts.ms != 0) {
        text += "." + Pad(parts.ms, 3);
    }
    return text;
}

// Reads 1 to max_digits digits at `pos`.
bool ReadNumber(std::string_view text, size_t& pos, int max_digits, int& out) {
    int digits = 0;
    out = 0;
    while (pos < text.size() && digits < max_digits &&
           std::isdigit(static_cast<unsigned char>(text[pos]))) {
        out = out * 10 + (text[pos] - '0');
        ++pos;
        ++digits;
    }
    return digits > 0;
}

bool Expect(std::string_view text, size_t& pos, char symbol) {
    if (pos < text.size() && text[pos] == symbol) {
        ++pos;
        return true;
    }
    return false;
}

// HH:MM[:SS[.ZZZ]] at `pos`.
bool ParseTimePart(std::string_view text, size_t& pos, double& out) {
    int hour = 0, minute = 0, second = 0, ms = 0;
    if (!ReadNumber(text, pos, 2, hour) || !Expect(text, pos, ':') ||
        !ReadNumber(text, pos, 2, minute)) {
        return false;
    }
    if (Expect(text, pos, ':')) {
        if (!ReadNumber(text, pos, 2, second)) {
            return false;
        }
        if (Expect(text, pos, '.')) {
            const size_t start = pos;
            if (!ReadNumber(text, pos, 3, ms)) {
                return false;
            }
            for (size_t i = pos - start; i < 3; ++i) {
                ms *= 10;  // ".5" is 500 ms
            }
        }
    }
    return platform::TryEncodeTime(hour, minute, second, ms, out);
}

// YYYY-MM-DD[( |T)HH:MM[:SS[.ZZZ]]] or HH:MM[:SS[.ZZZ]].
bool ParseDateTimeText(std::string_view text, double& out) {
    text = Trim(text);
    size_t pos = 0;
    const bool time_only = text.find('-') == std::string_view::npos;
    if (time_only) {
        return ParseTimePart(text, pos, out) && pos == text.size();
    }
    int year = 0, month = 0, day = 0;
    if (!ReadNumber(text, pos, 4, year) || !Expect(text, pos, '-') ||
        !ReadNumber(text, pos, 2, month) || !Expect(text, pos, '-') ||
        !ReadNumber(text, pos, 2, day)) {
        return false;
    }
    double date = 0;
    if (!platform::TryEncodeDate(year, month, day, date)) {
        return false;
    }
    if (pos == text.size()) {
        out = date;
        return true;
    }
    if (text[pos] != ' ' && text[pos] != 'T' && text[pos] != 't') {
        return false;
    }
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == 'T' || text[pos] == 't')) {
        ++pos;
    }
    double time = 0;
    if (!ParseTimePart(text, pos, time) || pos != text.size()) {
        return false;
    }
    out = date >= 0 ? date + time : date - time;
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

// The date-time value kept for a date, time or date-time type: millisecond-exact, a date
// without its time, a time without its date. Throws 30051 for values out of range.
double NormalizeDateTime(double value, TSQLMemBaseFieldType type) {
    const StoredDateTime stored = DateTimeToStored(value);
    switch (type) {
        case bftDate:
            return StoredDateToDateTime(stored.date);
        case bftTime:
            return StoredTimeToDateTime(stored.time);
        default:
            return StoredToDateTime(stored);
    }
}

template <typename T>
TSQLMemCompareResult Order(const T& a, const T& b) {
    if (a < b) {
        return cmprLower;
    }
    if (b < a) {
        return cmprGreater;
    }
    return cmprEqual;
}

TSQLMemCompareResult FromSign(int sign) {
    return sign < 0 ? cmprLower : (sign > 0 ? cmprGreater : cmprEqual);
}

// Case-sensitive order of two 8-bit texts, partial: over the shorter one's characters.
TSQLMemCompareResult CompareUtf8(std::string left, std::string right, bool partial) {
    if (partial) {
        const size_t characters = std::min(Utf8Length(left), Utf8Length(right));
        left.resize(Utf8PrefixBytes(left, characters));
        right.resize(Utf8PrefixBytes(right, characters));
    }
    return FromSign(platform::CompareText(left, right, false));
}

// --- Byte form ---

template <typename T>
void Append(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));  // little-endian hosts only, as the row buffers
    out.append(bytes, sizeof(T));
}

template <typename T>
T Read(std::string_view in, size_t& pos) {
    if (pos > in.size() || in.size() - pos < sizeof(T)) {
        ThrowBadStream("value cut short");
    }
    T value;
    std::memcpy(&value, in.data() + pos, sizeof(T));
    pos += sizeof(T);
    return value;
}

std::string_view ReadBytes(std::string_view in, size_t& pos, size_t count) {
    if (pos > in.size() || in.size() - pos < count) {
        ThrowBadStream("value cut short");
    }
    const std::string_view bytes = in.substr(pos, count);
    pos += count;
    return bytes;
}

constexpr int kLastBaseType = static_cast<int>(bftBFile);

}  // namespace

// --- Construction ---

TSQLMemVariant::TSQLMemVariant(TSQLMemBaseFieldType type, Value value)
    : type_(type), null_(false), value_(std::move(value)) {}

TSQLMemVariant TSQLMemVariant::Null(TSQLMemBaseFieldType type) {
    TSQLMemVariant result;
    result.type_ = type;
    return result;
}

TSQLMemVariant TSQLMemVariant::FromText(std::string_view text, TSQLMemBaseFieldType type) {
    if (KindOf(type) != Kind::Text) {
        ThrowCannotCast(type);
    }
    return TSQLMemVariant(type, ToValidUtf8(text));
}

TSQLMemVariant TSQLMemVariant::FromWideText(std::u16string_view text, TSQLMemBaseFieldType type) {
    if (KindOf(type) != Kind::WideText) {
        ThrowCannotCast(type);
    }
    return TSQLMemVariant(type, std::u16string(text));
}

TSQLMemVariant TSQLMemVariant::FromInteger(int64_t value, TSQLMemBaseFieldType type) {
    if (KindOf(type) != Kind::Integer) {
        ThrowCannotCast(type);
    }
    const IntegerRange range = BaseTypeIntegerRange(type);
    if (value < range.min || value > range.max) {
        ThrowConvert(std::to_string(value), type);
    }
    return TSQLMemVariant(type, value);
}

TSQLMemVariant TSQLMemVariant::FromFloat(double value, TSQLMemBaseFieldType type) {
    if (KindOf(type) != Kind::Float) {
        ThrowCannotCast(type);
    }
    if (type == bftSingle) {
        double narrowed = 0;
        if (!NarrowToSingle(value, narrowed)) {
            ThrowConvert(FormatDouble(value), type);
        }
        value = narrowed;
    }
    return TSQLMemVariant(type, value);
}

TSQLMemVariant TSQLMemVariant::FromBoolean(bool value) { return TSQLMemVariant(bftLogical, value); }

TSQLMemVariant TSQLMemVariant::FromDateTime(double date_time, TSQLMemBaseFieldType type) {
    if (KindOf(type) != Kind::DateTime) {
        ThrowCannotCast(type);
    }
    return TSQLMemVariant(type, NormalizeDateTime(date_time, type));
}

TSQLMemVariant TSQLMemVariant::FromBytes(std::string_view bytes, TSQLMemBaseFieldType type) {
    if (KindOf(type) != Kind::Bytes) {
        ThrowCannotCast(type);
    }
    return TSQLMemVariant(type, std::string(bytes));
}

void TSQLMemVariant::SetNull() {
    null_ = true;
    value_ = std::monostate{};
}

void TSQLMemVariant::SetNull(TSQLMemBaseFieldType type) {
    SetNull();
    type_ = type;
}

// --- Reading as another kind ---

std::string TSQLMemVariant::AsText() const {
    if (null_) {
        return {};
    }
    switch (KindOf(type_)) {
        case Kind::Text:
        case Kind::Bytes:
            return std::get<std::string>(value_);
        case Kind::WideText:
            return Utf16ToUtf8(std::get<std::u16string>(value_));
        case Kind::Integer:
            return std::to_string(std::get<int64_t>(value_));
        case Kind::Float:
            return type_ == bftSingle ? FormatSingle(std::get<double>(value_))
                                      : FormatDouble(std::get<double>(value_));
        case Kind::Logical:
            return std::get<bool>(value_) ? "True" : "False";
        case Kind::DateTime: {
            const platform::DateTimeParts parts =
                platform::DecodeDateTime(std::get<double>(value_));
            if (type_ == bftDate) {
                return FormatDatePart(parts);
            }
            if (type_ == bftTime) {
                return FormatTimePart(parts);
            }
            const bool no_time =
                parts.hour == 0 && parts.minute == 0 && parts.second == 0 && parts.ms == 0;
            return no_time ? FormatDatePart(parts)
                           : FormatDatePart(parts) + " " + FormatTimePart(parts);
        }
        case Kind::None:
            break;
    }
    ThrowCannotCast(bftVarchar);
}

std::u16string TSQLMemVariant::AsWideText() const {
    if (!null_ && KindOf(type_) == Kind::WideText) {
        return std::get<std::u16string>(value_);
    }
    return Utf8ToUtf16(AsText());
}

int64_t TSQLMemVariant::AsInteger() const {
    if (null_) {
        return 0;
    }
    int64_t result = 0;
    switch (KindOf(type_)) {
        case Kind::Integer:
            return std::get<int64_t>(value_);
        case Kind::Logical:
            return std::get<bool>(value_) ? 1 : 0;
        case Kind::Float:
        case Kind::DateTime:
            if (!TruncateToInt64(std::get<double>(value_), result)) {
                ThrowConvert(AsText(), bftSignedInt64);
            }
            return result;
        case Kind::Text:
        case Kind::WideText: {
            const std::string text = AsText();
            if (ParseInt64(text, result)) {
                return result;
            }
            double number = 0;
            if (ParseDouble(text, number) && TruncateToInt64(number, result)) {
                return result;
            }
            ThrowConvert(text, bftSignedInt64);
        }
        default:
            ThrowCannotCast(bftSignedInt64);
    }
}

double TSQLMemVariant::AsFloat() const {
    if (null_) {
        return 0;
    }
    switch (KindOf(type_)) {
        case Kind::Integer:
            return static_cast<double>(std::get<int64_t>(value_));
        case Kind::Logical:
            return std::get<bool>(value_) ? 1 : 0;
        case Kind::Float:
        case Kind::DateTime:
            return std::get<double>(value_);
        case Kind::Text:
        case Kind::WideText: {
            const std::string text = AsText();
            double number = 0;
            if (!ParseDouble(text, number)) {
                ThrowConvert(text, bftDouble);
            }
            return number;
        }
        default:
            ThrowCannotCast(bftDouble);
    }
}

bool TSQLMemVariant::AsBoolean() const {
    if (null_) {
        return false;
    }
    switch (KindOf(type_)) {
        case Kind::Logical:
            return std::get<bool>(value_);
        case Kind::Integer:
            return std::get<int64_t>(value_) != 0;
        case Kind::Float:
            return std::get<double>(value_) != 0;
        case Kind::Text:
        case Kind::WideText: {
            const std::string text = AsText();
            const std::string_view trimmed = Trim(text);
            for (std::string_view word : {"True", "T", "Yes", "Y", "1"}) {
                if (EqualsNoCase(trimmed, word)) {
                    return true;
                }
            }
            for (std::string_view word : {"False", "F", "No", "N", "0"}) {
                if (EqualsNoCase(trimmed, word)) {
                    return false;
                }
            }
            ThrowConvert(text, bftLogical);
        }
        default:
            ThrowCannotCast(bftLogical);
    }
}

double TSQLMemVariant::AsDateTime() const {
    if (null_) {
        return 0;
    }
    switch (KindOf(type_)) {
        case Kind::DateTime:
        case Kind::Float:
            return std::get<double>(value_);
        case Kind::Integer:
            return static_cast<double>(std::get<int64_t>(value_));
        case Kind::Text:
        case Kind::WideText: {
            const std::string text = AsText();
            double value = 0;
            if (!ParseDateTimeText(text, value)) {
                ThrowConvert(text, bftDateTime);
            }
            return value;
        }
        default:
            ThrowCannotCast(bftDateTime);
    }
}

std::string TSQLMemVariant::AsBytes() const {
    if (null_) {
        return {};
    }
    switch (KindOf(type_)) {
        case Kind::Bytes:
        case Kind::Text:
            return std::get<std::string>(value_);
        case Kind::WideText:
            return Utf16ToUtf8(std::get<std::u16string>(value_));
        default:
            ThrowCannotCast(bftBlob);
    }
}

// --- Casts ---

bool TSQLMemVariant::CanCast(TSQLMemBaseFieldType from, TSQLMemBaseFieldType to) {
    const Kind target = KindOf(to);
    const Kind source = KindOf(from);
    if (target == Kind::None) {
        return false;
    }
    if (from == bftUnknown) {
        return true;  // only a null has no type
    }
    if (source == Kind::None) {
        return false;
    }
    if (source == target || IsTextKind(source) || IsTextKind(target)) {
        return true;
    }
    const auto either = [&](Kind a, Kind b) {
        return (source == a && target == b) || (source == b && target == a);
    };
    return (IsNumberKind(source) && IsNumberKind(target)) || either(Kind::Logical, Kind::Integer) ||
           either(Kind::Integer, Kind::DateTime) || either(Kind::Float, Kind::DateTime);
}

TSQLMemVariant TSQLMemVariant::Cast(TSQLMemBaseFieldType type) const {
    if (!CanCast(type_, type)) {
        ThrowCannotCast(type);
    }
    if (null_) {
        return Null(type);
    }
    if (type == type_) {
        return *this;
    }
    try {
        return CastValue(type);
    } catch (const ESQLMemException& error) {
        if (error.Code() == kConvertValueCode || error.Code() == 30051) {
            ThrowConvert(AsText(), type);  // name the cast's own target
        }
        throw;
    }
}

TSQLMemVariant TSQLMemVariant::CastValue(TSQLMemBaseFieldType type) const {
    switch (KindOf(type)) {
        case Kind::Text:
            return FromText(AsText(), type);
        case Kind::WideText:
            return FromWideText(AsWideText(), type);
        case Kind::Integer:
            return FromInteger(AsInteger(), type);
        case Kind::Float:
            return FromFloat(AsFloat(), type);
        case Kind::DateTime:
            return FromDateTime(AsDateTime(), type);
        case Kind::Logical:
            return FromBoolean(AsBoolean());
        case Kind::Bytes:
            return FromBytes(AsBytes(), type);
        case Kind::None:
            break;
    }
    ThrowCannotCast(type);
}

void TSQLMemVariant::ConvertTo(TSQLMemBaseFieldType type) { *this = Cast(type); }

TSQLMemBaseFieldType TSQLMemVariant::CommonType(TSQLMemBaseFieldType a, TSQLMemBaseFieldType b) {
    if (a == b && KindOf(a) != Kind::None) {
        return a;
    }
    const Kind ka = KindOf(a);
    const Kind kb = KindOf(b);
    if (IsTextKind(ka) && IsTextKind(kb)) {
        const bool clob = a == bftClob || b == bftClob || a == bftWideClob || b == bftWideClob;
        if (ka == Kind::WideText || kb == Kind::WideText) {
            return clob ? bftWideClob : bftWideVarchar;
        }
        return clob ? bftClob : bftVarchar;
    }
    if (ka == Kind::Integer && kb == Kind::Integer) {
        const bool sa = IsSignedInteger(a);
        const bool sb = IsSignedInteger(b);
        if (sa == sb) {
            return IntegerWidth(a) >= IntegerWidth(b) ? a : b;
        }
        const TSQLMemBaseFieldType signed_type = sa ? a : b;
        const TSQLMemBaseFieldType unsigned_type = sa ? b : a;
        return IntegerWidth(signed_type) > IntegerWidth(unsigned_type) ? signed_type
                                                                       : bftSignedInt64;
    }
    if (IsNumberKind(ka) && IsNumberKind(kb)) {
        if (a == bftExtended || b == bftExtended) {
            return bftExtended;
        }
        const bool currency = a == bftCurrency || b == bftCurrency;
        const bool integer = ka == Kind::Integer || kb == Kind::Integer;
        if (currency && integer) {
            return bftCurrency;
        }
        return bftDouble;  // any other float pair, and an integer with a float
    }
    if (ka == Kind::DateTime && kb == Kind::DateTime) {
        return bftDateTime;
    }
    if (ka == Kind::Bytes && kb == Kind::Bytes) {
        return (a == bftBlob || b == bftBlob) ? bftBlob : bftVarBytes;
    }
    ThrowIncompatible(a, b);
}

// --- Arithmetic ---

namespace {

// The type of a null result: the common type when there is one, else the type known.
TSQLMemBaseFieldType NullResultType(TSQLMemBaseFieldType a, TSQLMemBaseFieldType b) {
    if (a == bftUnknown) {
        return b;
    }
    if (b == bftUnknown) {
        return a;
    }
    try {
        return TSQLMemVariant::CommonType(a, b);
    } catch (const ESQLMemException&) {
        return a;
    }
}

// Result type of arithmetic on two numbers of common type `common`: integers compute in
// 64 bits, a single widens to double, currency and extended stay.
TSQLMemBaseFieldType ArithmeticType(TSQLMemBaseFieldType common) {
    if (KindOf(common) == Kind::Integer) {
        return bftSignedInt64;
    }
    return common == bftSingle ? bftDouble : common;
}

}  // namespace

TSQLMemVariant TSQLMemVariant::Add(const TSQLMemVariant& other) const {
    const Kind ka = KindOf(type_);
    const Kind kb = KindOf(other.type_);
    // A date, time or date-time moved by a number of days keeps its type.
    if ((ka == Kind::DateTime && IsNumberKind(kb)) || (IsNumberKind(ka) && kb == Kind::DateTime)) {
        const TSQLMemVariant& date = ka == Kind::DateTime ? *this : other;
        const TSQLMemVariant& days = ka == Kind::DateTime ? other : *this;
        if (null_ || other.null_) {
            return Null(date.type_);
        }
        return FromDateTime(date.AsDateTime() + days.AsFloat(), date.type_);
    }
    if (null_ || other.null_) {
        return Null(NullResultType(type_, other.type_));
    }
    const TSQLMemBaseFieldType common = CommonType(type_, other.type_);
    switch (KindOf(common)) {
        case Kind::Text:
            return FromText(AsText() + other.AsText(), common);
        case Kind::WideText:
            return FromWideText(AsWideText() + other.AsWideText(), common);
        case Kind::Integer: {
            int64_t sum = 0;
            if (__builtin_add_overflow(AsInteger(), other.AsInteger(), &sum)) {
                ThrowOverflow("+");
            }
            return FromInteger(sum, bftSignedInt64);
        }
        case Kind::Float:
            return FromFloat(AsFloat() + other.AsFloat(), ArithmeticType(common));
        default:
            ThrowNotNumeric("+");
    }
}

TSQLMemVariant TSQLMemVariant::Subtract(const TSQLMemVariant& other) const {
    const Kind ka = KindOf(type_);
    const Kind kb = KindOf(other.type_);
    if (ka == Kind::DateTime && kb == Kind::DateTime) {
        if (null_ || other.null_) {
            return Null(bftDouble);
        }
        return FromFloat(AsDateTime() - other.AsDateTime(), bftDouble);
    }
    if (ka == Kind::DateTime && IsNumberKind(kb)) {
        if (null_ || other.null_) {
            return Null(type_);
        }
        return FromDateTime(AsDateTime() - other.AsFloat(), type_);
    }
    if (null_ || other.null_) {
        return Null(NullResultType(type_, other.type_));
    }
    const TSQLMemBaseFieldType common = CommonType(type_, other.type_);
    switch (KindOf(common)) {
        case Kind::Integer: {
            int64_t difference = 0;
            if (__builtin_sub_overflow(AsInteger(), other.AsInteger(), &difference)) {
                ThrowOverflow("-");
            }
            return FromInteger(difference, bftSignedInt64);
        }
        case Kind::Float:
            return FromFloat(AsFloat() - other.AsFloat(), ArithmeticType(common));
        default:
            ThrowNotNumeric("-");
    }
}

TSQLMemVariant TSQLMemVariant::Multiply(const TSQLMemVariant& other) const {
    if (null_ || other.null_) {
        return Null(NullResultType(type_, other.type_));
    }
    const TSQLMemBaseFieldType common = CommonType(type_, other.type_);
    switch (KindOf(common)) {
        case Kind::Integer: {
            int64_t product = 0;
            if (__builtin_mul_overflow(AsInteger(), other.AsInteger(), &product)) {
                ThrowOverflow("*");
            }
            return FromInteger(product, bftSignedInt64);
        }
        case Kind::Float:
            return FromFloat(AsFloat() * other.AsFloat(), ArithmeticType(common));
        default:
            ThrowNotNumeric("*");
    }
}

TSQLMemVariant TSQLMemVariant::Divide(const TSQLMemVariant& other) const {
    if (null_ || other.null_) {
        return Null(NullResultType(type_, other.type_));
    }
    const TSQLMemBaseFieldType common = CommonType(type_, other.type_);
    switch (KindOf(common)) {
        case Kind::Integer: {
            const int64_t dividend = AsInteger();
            const int64_t divisor = other.AsInteger();
            if (divisor == 0) {
                throw ESQLMemException(kDivisionByZeroCode, "Division by zero");
            }
            if (dividend == INT64_MIN && divisor == -1) {
                ThrowOverflow("/");
            }
            return FromInteger(dividend / divisor, bftSignedInt64);
        }
        case Kind::Float:
            return FromFloat(AsFloat() / other.AsFloat(), ArithmeticType(common));
        default:
            ThrowNotNumeric("/");
    }
}

TSQLMemVariant TSQLMemVariant::Negate() const {
    const Kind kind = KindOf(type_);
    if (kind == Kind::Integer) {
        if (null_) {
            return Null(bftSignedInt64);
        }
        const int64_t value = std::get<int64_t>(value_);
        if (value == INT64_MIN) {
            ThrowOverflow("-");
        }
        return FromInteger(-value, bftSignedInt64);
    }
    if (kind == Kind::Float) {
        return null_ ? Null(type_) : FromFloat(-std::get<double>(value_), type_);
    }
    if (null_ && type_ == bftUnknown) {
        return *this;
    }
    ThrowNotNumeric("-");
}

// --- Comparison ---

TSQLMemCompareResult TSQLMemVariant::Compare(const TSQLMemVariant& other, bool ignore_case,
                                             bool partial, bool null_aware) const {
    if (null_ || other.null_) {
        if (null_ && other.null_) {
            return null_aware ? cmprBothNull : cmprEqual;
        }
        if (null_) {
            return null_aware ? cmprLeftNull : cmprLower;
        }
        return null_aware ? cmprRightNull : cmprGreater;
    }
    const TSQLMemBaseFieldType common = CommonType(type_, other.type_);
    switch (KindOf(common)) {
        case Kind::Text:
            if (!ignore_case) {
                return CompareUtf8(AsText(), other.AsText(), partial);
            }
            break;  // folded and compared as wide text below
        case Kind::WideText:
            break;
        case Kind::Integer:
            return Order(AsInteger(), other.AsInteger());
        case Kind::Float:
            if (common == bftSingle) {
                return Order(static_cast<float>(AsFloat()), static_cast<float>(other.AsFloat()));
            }
            return Order(AsFloat(), other.AsFloat());
        case Kind::DateTime:
            return FromSign(platform::CompareDateTime(AsDateTime(), other.AsDateTime()));
        case Kind::Logical:
            return Order(AsBoolean(), other.AsBoolean());
        case Kind::Bytes:
            return Order(AsBytes(), other.AsBytes());
        case Kind::None:
            throw ESQLMemException::Formatted(30047,
                                              "Unknown DataType: '" + TypeName(common) + "'");
    }
    std::u16string left = ignore_case ? FoldCase(AsWideText()) : AsWideText();
    std::u16string right = ignore_case ? FoldCase(other.AsWideText()) : other.AsWideText();
    if (partial) {
        CutToShorter(left, right);
    }
    return FromSign(platform::CompareWideText(left, right, ignore_case));
}

// --- Byte form ---

void TSQLMemVariant::SaveTo(std::string& out) const {
    out.push_back(static_cast<char>(static_cast<uint8_t>(type_)));
    out.push_back(null_ ? 1 : 0);
    if (null_) {
        return;
    }
    switch (KindOf(type_)) {
        case Kind::Text:
        case Kind::Bytes: {
            const std::string& bytes = std::get<std::string>(value_);
            Append<uint32_t>(out, static_cast<uint32_t>(bytes.size()));
            out += bytes;
            break;
        }
        case Kind::WideText: {
            const std::u16string& text = std::get<std::u16string>(value_);
            Append<uint32_t>(out, static_cast<uint32_t>(text.size()));
            for (const char16_t unit : text) {
                Append<uint16_t>(out, static_cast<uint16_t>(unit));
            }
            break;
        }
        case Kind::Integer:
            Append<int64_t>(out, std::get<int64_t>(value_));
            break;
        case Kind::Float:
        case Kind::DateTime:
            Append<double>(out, std::get<double>(value_));
            break;
        case Kind::Logical:
            out.push_back(std::get<bool>(value_) ? 1 : 0);
            break;
        case Kind::None:
            break;
    }
}

TSQLMemVariant TSQLMemVariant::LoadFrom(std::string_view in, size_t& pos) {
    size_t at = pos;
    const auto type_number = Read<uint8_t>(in, at);
    const auto null_flag = Read<uint8_t>(in, at);
    if (type_number > kLastBaseType) {
        ThrowBadStream("unknown type " + std::to_string(type_number));
    }
    if (null_flag > 1) {
        ThrowBadStream("invalid null flag");
    }
    const auto type = static_cast<TSQLMemBaseFieldType>(type_number);
    if (null_flag == 1) {
        pos = at;
        return Null(type);
    }
    TSQLMemVariant result;
    switch (KindOf(type)) {
        case Kind::Text:
        case Kind::Bytes: {
            const auto size = Read<uint32_t>(in, at);
            const std::string_view bytes = ReadBytes(in, at, size);
            if (KindOf(type) == Kind::Text && !IsValidUtf8(bytes)) {
                ThrowBadStream("text is not UTF-8");
            }
            result = TSQLMemVariant(type, std::string(bytes));
            break;
        }
        case Kind::WideText: {
            const auto units = Read<uint32_t>(in, at);
            if (units > (in.size() - at) / 2) {
                ThrowBadStream("value cut short");
            }
            std::u16string text(units, u'\0');
            for (char16_t& unit : text) {
                unit = static_cast<char16_t>(Read<uint16_t>(in, at));
            }
            result = TSQLMemVariant(type, std::move(text));
            break;
        }
        case Kind::Integer: {
            const auto value = Read<int64_t>(in, at);
            const IntegerRange range = BaseTypeIntegerRange(type);
            if (value < range.min || value > range.max) {
                ThrowBadStream("integer outside its type");
            }
            result = TSQLMemVariant(type, value);
            break;
        }
        case Kind::Float:
            result = TSQLMemVariant(type, Read<double>(in, at));
            break;
        case Kind::DateTime: {
            const auto value = Read<double>(in, at);
            if (!std::isfinite(value)) {
                ThrowBadStream("date-time out of range");
            }
            try {
                (void)DateTimeToStored(value);
            } catch (const ESQLMemException&) {
                ThrowBadStream("date-time out of range");
            }
            result = TSQLMemVariant(type, value);
            break;
        }
        case Kind::Logical: {
            const auto flag = Read<uint8_t>(in, at);
            if (flag > 1) {
                ThrowBadStream("invalid logical value");
            }
            result = TSQLMemVariant(type, flag == 1);
            break;
        }
        case Kind::None:
            ThrowBadStream("a value of type " + TypeName(type));
    }
    pos = at;
    return result;
}

// --- Row fields ---

TSQLMemVariant TSQLMemVariant::FromField(const TSQLMemFieldDefs& defs, int32_t field_no,
                                         const std::byte* row) {
    if (field_no < 0 || field_no >= defs.Count()) {
        ThrowInvalidFieldNo(10000, field_no, defs.Count());
    }
    const TSQLMemFieldDef& def = defs[field_no];
    const TSQLMemBaseFieldType type = def.BaseType;
    if (IsFieldNull(row, field_no) || IsBlobType(type)) {
        return Null(type);
    }
    switch (KindOf(type)) {
        case Kind::Text:
            return FromText(GetText(defs, field_no, row).value_or(std::string()), type);
        case Kind::WideText: {
            const char16_t* units = WideTextPointer(defs, field_no, row);
            const auto* bytes = reinterpret_cast<const std::byte*>(units);
            const size_t max_units = static_cast<size_t>(std::max(def.MemoryDataSize / 2 - 1, 0));
            std::u16string text;
            for (size_t i = 0; units != nullptr && i < max_units; ++i) {
                char16_t unit = 0;
                std::memcpy(&unit, bytes + i * 2, 2);  // packed fields: may be unaligned
                if (unit == 0) {
                    break;
                }
                text.push_back(unit);
            }
            return FromWideText(text, type);
        }
        case Kind::Integer:
            return FromInteger(GetInteger(defs, field_no, row).value_or(0), type);
        case Kind::Logical:
            return FromBoolean(GetInteger(defs, field_no, row).value_or(0) != 0);
        case Kind::Float:
            return TSQLMemVariant(type, GetFloat(defs, field_no, row).value_or(0));
        case Kind::DateTime:
            return FromDateTime(GetDateTime(defs, field_no, row).value_or(0), type);
        case Kind::Bytes: {
            std::string bytes(static_cast<size_t>(std::max(def.MemoryDataSize, 0)), '\0');
            GetFieldData(defs, field_no, bytes.data(), row);
            return FromBytes(bytes, type);
        }
        case Kind::None:
            break;
    }
    throw ESQLMemException::Formatted(30047, "Unknown DataType: '" + TypeName(type) + "'");
}

void TSQLMemVariant::ToField(const TSQLMemFieldDefs& defs, int32_t field_no, std::byte* row) const {
    if (field_no < 0 || field_no >= defs.Count()) {
        ThrowInvalidFieldNo(10004, field_no, defs.Count());
    }
    const TSQLMemFieldDef& def = defs[field_no];
    const TSQLMemBaseFieldType type = def.BaseType;
    if (IsBlobType(type)) {
        ThrowCannotCast(type);  // BLOB content lives outside the row
    }
    const TSQLMemVariant value = Cast(type);
    if (value.null_) {
        SetFieldData(defs, field_no, nullptr, row);
        return;
    }
    switch (KindOf(type)) {
        case Kind::Text:
            SetText(defs, field_no, std::get<std::string>(value.value_), row);
            return;
        case Kind::WideText: {
            const std::u16string& text = std::get<std::u16string>(value.value_);
            const std::u16string terminated(text.substr(0, text.find(u'\0')));
            SetFieldData(defs, field_no, terminated.c_str(), row);
            return;
        }
        case Kind::Integer:
            SetInteger(defs, field_no, std::get<int64_t>(value.value_), row);
            return;
        case Kind::Logical:
            SetInteger(defs, field_no, std::get<bool>(value.value_) ? 1 : 0, row);
            return;
        case Kind::Float:
            SetFloat(defs, field_no, std::get<double>(value.value_), row);
            return;
        case Kind::DateTime:
            SetDateTime(defs, field_no, std::get<double>(value.value_), row);
            return;
        case Kind::Bytes: {
            std::string bytes = std::get<std::string>(value.value_);
            bytes.resize(static_cast<size_t>(std::max(def.MemoryDataSize, 0)), '\0');
            SetFieldData(defs, field_no, bytes.data(), row);
            return;
        }
        case Kind::None:
            break;
    }
    throw ESQLMemException::Formatted(30047, "Unknown DataType: '" + TypeName(type) + "'");
}

}  // namespace tapir::engine
