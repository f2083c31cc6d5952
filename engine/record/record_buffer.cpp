#include "engine/record/record_buffer.h"

#include <unicode/ustring.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/record/utf8_text.h"
#include "platform/collation.h"

namespace tapir::engine {

namespace {

template <typename T>
T Load(const void* source) {
    T value;
    std::memcpy(&value, source, sizeof value);
    return value;
}

template <typename T>
void Store(void* dest, T value) {
    std::memcpy(dest, &value, sizeof value);
}

[[noreturn]] void ThrowInvalidFieldNo(int code, int32_t field_no, int32_t count) {
    throw ESQLMemException::Formatted(
        code, "Invalid field number - FieldNo = " + std::to_string(field_no) +
                  ", FieldCount = " + std::to_string(count));
}

size_t WideLength(const char16_t* text, size_t max_units) {
    size_t length = 0;
    while (length < max_units && text[length] != 0) {
        ++length;
    }
    return length;
}

// A wide text from a buffer where it may sit at an odd offset (fields are packed without
// alignment): its units up to the zero unit or `max_units`, read byte-wise.
std::u16string LoadWide(const void* data, size_t max_units) {
    const auto* bytes = static_cast<const std::byte*>(data);
    std::u16string text;
    for (size_t unit = 0; unit < max_units; ++unit) {
        char16_t value = 0;
        std::memcpy(&value, bytes + unit * 2, 2);
        if (value == 0) {
            break;
        }
        text.push_back(value);
    }
    return text;
}

long double LoadExtended(const std::byte* source) {
    if constexpr (std::numeric_limits<long double>::digits == 64) {
        long double value = 0;
        std::memcpy(&value, source, 10);
        return value;
    } else {
        // Decode the 80-bit format by hand where long double is not that format.
        uint64_t mantissa = Load<uint64_t>(source);
        uint16_t sign_exponent = Load<uint16_t>(source + 8);
        const int exponent = sign_exponent & 0x7FFF;
        if (exponent == 0 && mantissa == 0) {
            return 0.0L;
        }
        long double value = std::ldexp(static_cast<long double>(mantissa), exponent - 16383 - 63);
        return (sign_exponent & 0x8000) != 0 ? -value : value;
    }
}

void StoreExtended(std::byte* dest, long double value) {
    if constexpr (std::numeric_limits<long double>::digits == 64) {
        std::memset(dest, 0, 10);
        std::memcpy(dest, &value, 10);
    } else {
        uint16_t sign = value < 0 ? 0x8000 : 0;
        long double magnitude = std::fabs(value);
        if (magnitude == 0) {
            std::memset(dest, 0, 10);
            Store<uint16_t>(dest + 8, sign);
            return;
        }
        int exponent = 0;
        const long double fraction = std::frexp(magnitude, &exponent);  // [0.5, 1)
        const auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 64));
        Store<uint64_t>(dest, mantissa);
        Store<uint16_t>(dest + 8, static_cast<uint16_t>(sign | (exponent - 1 + 16383)));
    }
}

bool IsIntegerBase(TSQLMemBaseFieldType type) {
    return type >= bftSignedInt8 && type <= bftUnsignedInt32;
}

int64_t LoadInteger(const void* data, TSQLMemBaseFieldType type) {
    const auto* bytes = static_cast<const std::byte*>(data);
    switch (type) {
        case bftSignedInt8:
            return Load<int8_t>(bytes);
        case bftSignedInt16:
        case bftLogical:
            return Load<int16_t>(bytes);
        case bftSignedInt32:
        case bftDate:
        case bftTime:
            return Load<int32_t>(bytes);
        case bftSignedInt64:
            return Load<int64_t>(bytes);
        case bftUnsignedInt8:
            return Load<uint8_t>(bytes);
        case bftUnsignedInt16:
            return Load<uint16_t>(bytes);
        case bftUnsignedInt32:
            return Load<uint32_t>(bytes);
        default:
            return 0;
    }
}

long double LoadNumber(const void* data, TSQLMemBaseFieldType type) {
    const auto* bytes = static_cast<const std::byte*>(data);
    switch (type) {
        case bftSingle:
            return Load<float>(bytes);
        case bftDouble:
        case bftCurrency:
            return Load<double>(bytes);
        case bftExtended:
            return LoadExtended(bytes);
        default:
            return static_cast<long double>(LoadInteger(data, type));
    }
}

double LoadDateTimeValue(const void* data, TSQLMemBaseFieldType type) {
    const auto* bytes = static_cast<const std::byte*>(data);
    switch (type) {
        case bftDate:
            return StoredDateToDateTime(Load<int32_t>(bytes));
        case bftTime:
            return StoredTimeToDateTime(Load<int32_t>(bytes));
        default:
            return StoredToDateTime({Load<int32_t>(bytes), Load<int32_t>(bytes + 4)});
    }
}

template <typename T>
CompareOutcome Order(T a, T b) {
    if (a < b) {
        return CompareOutcome::Less;
    }
    if (b < a) {
        return CompareOutcome::Greater;
    }
    return CompareOutcome::Equal;
}

CompareOutcome FromSign(int sign) {
    return sign < 0 ? CompareOutcome::Less
                    : (sign > 0 ? CompareOutcome::Greater : CompareOutcome::Equal);
}

std::u16string Utf8ToUtf16(const char* text) {
    std::u16string result(std::strlen(text) + 1, u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(result.data()),
                         static_cast<int32_t>(result.size()), &length, text, -1, 0xFFFD, nullptr,
                         &status);
    result.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
    return result;
}

// Type families that compare with each other after conversion.
enum class Family { Text, WideText, Number, DateTime, Logical, Other };

Family FamilyOf(TSQLMemBaseFieldType type) {
    if (type == bftChar || type == bftVarchar || type == bftClob) {
        return Family::Text;
    }
    if (IsWideStringType(type)) {
        return Family::WideText;
    }
    if (IsNumericType(type)) {
        return Family::Number;
    }
    if (IsDateTimeType(type)) {
        return Family::DateTime;
    }
    if (type == bftLogical) {
        return Family::Logical;
    }
    return Family::Other;
}

CompareOutcome CompareSameType(const void* a, const void* b, TSQLMemBaseFieldType type,
                               bool ignore_case) {
    const auto* left = static_cast<const std::byte*>(a);
    const auto* right = static_cast<const std::byte*>(b);
    switch (type) {
        case bftChar:
        case bftVarchar:
        case bftClob:
            return FromSign(platform::CompareText(reinterpret_cast<const char*>(left),
                                                  reinterpret_cast<const char*>(right),
                                                  ignore_case));
        case bftWideChar:
        case bftWideVarchar:
        case bftWideClob:
            return FromSign(platform::CompareWideText(LoadWide(left, SIZE_MAX),
                                                      LoadWide(right, SIZE_MAX), ignore_case));
        case bftSignedInt8:
        case bftSignedInt16:
        case bftSignedInt32:
        case bftSignedInt64:
        case bftUnsignedInt8:
        case bftUnsignedInt16:
        case bftUnsignedInt32:
        case bftDate:
        case bftTime:
            return Order(LoadInteger(left, type), LoadInteger(right, type));
        case bftSingle:
            return Order(Load<float>(left), Load<float>(right));
        case bftDouble:
        case bftCurrency:
            return Order(Load<double>(left), Load<double>(right));
        case bftExtended:
            return Order(LoadExtended(left), LoadExtended(right));
        case bftDateTime: {
            const CompareOutcome date = Order(Load<int32_t>(left), Load<int32_t>(right));
            return date != CompareOutcome::Equal
                       ? date
                       : Order(Load<int32_t>(left + 4), Load<int32_t>(right + 4));
        }
        case bftLogical:
            return Order(Load<int16_t>(left) != 0, Load<int16_t>(right) != 0);
        default:
            throw ESQLMemException::Formatted(
                30047, "Unknown DataType: '" + std::string(BaseTypeName(type)) + "'");
    }
}

}  // namespace

// --- TSQLMemFieldDef / TSQLMemFieldDefs ---

void TSQLMemFieldDef::SetAdvancedType(TSQLMemAdvancedFieldType type, int32_t size) {
    const TSQLMemBaseFieldType base = AdvancedToBaseType(type);
    const int32_t width = BaseTypeWidth(base, size);
    AdvancedType = type;
    BaseType = base;
    Size = size;
    MemoryDataSize = width;
    StoredSize = BaseTypeStoredSize(base, size);
}

TSQLMemFieldDefs::TSQLMemFieldDefs(std::vector<TSQLMemFieldDef> defs) : defs_(std::move(defs)) {
    Recalculate();
}

void TSQLMemFieldDefs::Add(TSQLMemFieldDef def) {
    defs_.push_back(std::move(def));
    Recalculate();
}

int32_t TSQLMemFieldDefs::IndexOf(std::string_view name) const {
    const std::string wanted(name);
    for (int32_t i = 0; i < Count(); ++i) {
        if (SameName(defs_[i].Name, wanted)) {
            return i;
        }
    }
    return -1;
}

void TSQLMemFieldDefs::Recalculate() {
    bitmap_size_ = tapir::engine::BitmapSize(Count());
    int32_t memory_offset = bitmap_size_;
    int32_t stored_offset = bitmap_size_;
    has_blob_or_var_text_ = false;
    has_autoinc_ = false;
    has_defaults_ = false;
    for (int32_t i = 0; i < Count(); ++i) {
        TSQLMemFieldDef& def = defs_[i];
        def.MemoryOffset = memory_offset;
        def.StoredOffset = stored_offset;
        def.FieldNoReference = i;
        memory_offset += def.MemoryDataSize;
        stored_offset += def.StoredSize;
        has_blob_or_var_text_ |= IsBlobType(def.BaseType) || IsVarTextType(def.BaseType);
        has_autoinc_ |= IsAutoIncType(def.AdvancedType);
        has_defaults_ |= def.DefaultValue.has_value();
    }
    data_size_ = memory_offset;
    stored_data_size_ = stored_offset;
}

// --- Null bits ---

bool IsFieldNull(const std::byte* row, int32_t field_no) {
    return (std::to_integer<unsigned>(row[field_no / 8]) >> (field_no % 8) & 1u) != 0;
}

void SetFieldNull(std::byte* row, int32_t field_no, bool is_null) {
    const std::byte mask{static_cast<unsigned char>(1u << (field_no % 8))};
    if (is_null) {
        row[field_no / 8] |= mask;
    } else {
        row[field_no / 8] &= ~mask;
    }
}

void SetAllNull(std::byte* row, int32_t field_count) {
    std::memset(row, 0xFF, static_cast<size_t>(BitmapSize(field_count)));
}

// --- Raw field access ---

bool GetFieldData(const TSQLMemFieldDefs& defs, int32_t field_no, void* dest,
                  const std::byte* row) {
    if (field_no < 0 || field_no >= defs.Count()) {
        ThrowInvalidFieldNo(10000, field_no, defs.Count());
    }
    if (IsFieldNull(row, field_no)) {
        return false;
    }
    if (dest == nullptr) {
        return true;
    }
    const TSQLMemFieldDef& def = defs[field_no];
    const std::byte* data = row + def.MemoryOffset;
    if (IsBlobType(def.BaseType) || IsWideStringType(def.BaseType)) {
        return true;
    }
    if (def.BaseType == bftChar || def.BaseType == bftVarchar) {
        const size_t length = strnlen(reinterpret_cast<const char*>(data),
                                      static_cast<size_t>(def.MemoryDataSize - 1));
        std::memcpy(dest, data, length);
        static_cast<char*>(dest)[length] = '\0';
        return true;
    }
    std::memcpy(dest, data, static_cast<size_t>(def.MemoryDataSize));
    return true;
}

const char16_t* WideTextPointer(const TSQLMemFieldDefs& defs, int32_t field_no,
                                const std::byte* row) {
    if (field_no < 0 || field_no >= defs.Count()) {
        ThrowInvalidFieldNo(10000, field_no, defs.Count());
    }
    if (IsFieldNull(row, field_no)) {
        return nullptr;
    }
    return reinterpret_cast<const char16_t*>(row + defs[field_no].MemoryOffset);
}

void SetFieldData(const TSQLMemFieldDefs& defs, int32_t field_no, const void* source,
                  std::byte* row) {
    if (field_no < 0 || field_no >= defs.Count()) {
        ThrowInvalidFieldNo(10004, field_no, defs.Count());
    }
    if (source == nullptr) {
        SetFieldNull(row, field_no, true);
        return;
    }
    const TSQLMemFieldDef& def = defs[field_no];
    std::byte* data = row + def.MemoryOffset;
    const auto width = static_cast<size_t>(def.MemoryDataSize);
    if (def.BaseType == bftChar || def.BaseType == bftVarchar) {
        const std::string_view given(static_cast<const char*>(source));
        if (given.empty()) {
            SetFieldNull(row, field_no, true);
            return;
        }
        // Stored text is always valid UTF-8 of at most Size characters.
        std::string repaired;
        std::string_view text = given;
        if (!IsValidUtf8(given)) {
            repaired = ToValidUtf8(given);
            text = repaired;
        }
        size_t length = Utf8PrefixBytes(text, static_cast<size_t>(std::max(def.Size, 0)));
        if (length + 1 > width) {
            // A column laid out narrower than its characters need: whole characters only.
            length = width - 1;
            while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
                --length;
            }
        }
        std::memcpy(data, text.data(), length);
        std::memset(data + length, 0, width - length);
        SetFieldNull(row, field_no, false);
        return;
    }
    if (def.BaseType == bftWideChar || def.BaseType == bftWideVarchar) {
        const auto* text = static_cast<const char16_t*>(source);
        size_t units = WideLength(text, std::numeric_limits<size_t>::max());
        if (units == 0) {
            SetFieldNull(row, field_no, true);
            return;
        }
        // At most Size characters; a surrogate pair is one character.
        size_t characters = 0;
        for (size_t unit = 0; unit < units; ++unit) {
            const bool trailing = text[unit] >= 0xDC00 && text[unit] <= 0xDFFF && unit > 0 &&
                                  text[unit - 1] >= 0xD800 && text[unit - 1] <= 0xDBFF;
            if (!trailing && characters++ == static_cast<size_t>(std::max(def.Size, 0))) {
                units = unit;
                break;
            }
        }
        if ((units + 1) * 2 > width) {
            units = (width - 2) / 2;
            // Do not split a surrogate pair.
            if (units > 0 && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) {
                --units;
            }
        }
        std::memcpy(data, text, units * 2);
        std::memset(data + units * 2, 0, width - units * 2);
        SetFieldNull(row, field_no, false);
        return;
    }
    std::memcpy(data, source, width);
    SetFieldNull(row, field_no, false);
}

// --- Typed helpers ---

std::optional<int64_t> GetInteger(const TSQLMemFieldDefs& defs, int32_t field_no,
                                  const std::byte* row) {
    std::byte value[16] = {};
    if (!GetFieldData(defs, field_no, value, row)) {
        return std::nullopt;
    }
    const TSQLMemBaseFieldType type = defs[field_no].BaseType;
    if (IsIntegerBase(type) || type == bftLogical) {
        return LoadInteger(value, type);
    }
    if (type == bftSingle || type == bftDouble || type == bftCurrency || type == bftExtended) {
        return static_cast<int64_t>(LoadNumber(value, type));
    }
    return std::nullopt;
}

void SetInteger(const TSQLMemFieldDefs& defs, int32_t field_no, int64_t value, std::byte* row) {
    if (field_no < 0 || field_no >= defs.Count()) {
        ThrowInvalidFieldNo(10004, field_no, defs.Count());
    }
    const TSQLMemBaseFieldType type = defs[field_no].BaseType;
    std::byte bytes[16] = {};
    if (type == bftSingle || type == bftDouble || type == bftCurrency || type == bftExtended) {
        SetFloat(defs, field_no, static_cast<double>(value), row);
        return;
    }
    Store<int64_t>(bytes, value);  // little-endian: the low bytes come first
    SetFieldData(defs, field_no, bytes, row);
}

std::optional<double> GetDateTime(const TSQLMemFieldDefs& defs, int32_t field_no,
                                  const std::byte* row) {
    std::byte value[16] = {};
    if (!GetFieldData(defs, field_no, value, row)) {
        return std::nullopt;
    }
    const TSQLMemBaseFieldType type = defs[field_no].BaseType;
    if (!IsDateTimeType(type)) {
        return static_cast<double>(LoadNumber(value, type));
    }
    return LoadDateTimeValue(value, type);
}

void SetDateTime(const TSQLMemFieldDefs& defs, int32_t field_no, double value, std::byte* row) {
    if (field_no < 0 || field_no >= defs.Count()) {
        ThrowInvalidFieldNo(10004, field_no, defs.Count());
    }
    std::byte bytes[16] = {};
    const StoredDateTime stored = DateTimeToStored(value);
    switch (defs[field_no].BaseType) {
        case bftDate:
            Store<int32_t>(bytes, stored.date);
            break;
        case bftTime:
            Store<int32_t>(bytes, stored.time);
            break;
        case bftDateTime:
            Store<int32_t>(bytes, stored.date);
            Store<int32_t>(bytes + 4, stored.time);
            break;
        default:
            SetFloat(defs, field_no, value, row);
            return;
    }
    SetFieldData(defs, field_no, bytes, row);
}

std::optional<double> GetFloat(const TSQLMemFieldDefs& defs, int32_t field_no,
                               const std::byte* row) {
    std::byte value[16] = {};
    if (!GetFieldData(defs, field_no, value, row)) {
        return std::nullopt;
    }
    const TSQLMemBaseFieldType type = defs[field_no].BaseType;
    if (IsDateTimeType(type)) {
        return LoadDateTimeValue(value, type);
    }
    return static_cast<double>(LoadNumber(value, type));
}

void SetFloat(const TSQLMemFieldDefs& defs, int32_t field_no, double value, std::byte* row) {
    if (field_no < 0 || field_no >= defs.Count()) {
        ThrowInvalidFieldNo(10004, field_no, defs.Count());
    }
    std::byte bytes[16] = {};
    switch (defs[field_no].BaseType) {
        case bftSingle: {
            // Through text with 15 significant digits, so 0.1 becomes the single nearest
            // to 0.1 rather than the single nearest to the double nearest to 0.1.
            // to_chars/from_chars, unlike printf and strtof, never follow the process
            // locale (a Qt program runs under the user's, where the point may be a comma).
            char text[64];
            const auto written =
                std::to_chars(text, text + sizeof text, value, std::chars_format::general, 15);
            float single = 0;
            const auto read = std::from_chars(text, written.ptr, single);
            if (read.ec == std::errc::result_out_of_range) {
                single = value < 0 ? -std::numeric_limits<float>::infinity()
                                   : std::numeric_limits<float>::infinity();
            }
            Store<float>(bytes, single);
            break;
        }
        case bftDouble:
        case bftCurrency:
            Store<double>(bytes, value);
            break;
        case bftExtended:
            StoreExtended(bytes, value);
            break;
        case bftDate:
        case bftTime:
        case bftDateTime:
            SetDateTime(defs, field_no, value, row);
            return;
        default:
            SetInteger(defs, field_no, static_cast<int64_t>(value), row);
            return;
    }
    SetFieldData(defs, field_no, bytes, row);
}

std::optional<std::string> GetText(const TSQLMemFieldDefs& defs, int32_t field_no,
                                   const std::byte* row) {
    if (field_no < 0 || field_no >= defs.Count()) {
        ThrowInvalidFieldNo(10000, field_no, defs.Count());
    }
    if (IsFieldNull(row, field_no)) {
        return std::nullopt;
    }
    const TSQLMemFieldDef& def = defs[field_no];
    const auto* data = reinterpret_cast<const char*>(row + def.MemoryOffset);
    if (def.BaseType == bftChar || def.BaseType == bftVarchar) {
        return std::string(data, strnlen(data, static_cast<size_t>(def.MemoryDataSize - 1)));
    }
    if (IsWideStringType(def.BaseType) && !IsBlobType(def.BaseType)) {
        const std::u16string wide = LoadWide(data, static_cast<size_t>(def.MemoryDataSize / 2 - 1));
        const size_t units = wide.size();
        std::string utf8(units * 3 + 1, '\0');
        int32_t length = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strToUTF8WithSub(utf8.data(), static_cast<int32_t>(utf8.size()), &length,
                           reinterpret_cast<const UChar*>(wide.data()), static_cast<int32_t>(units),
                           0xFFFD, nullptr, &status);
        utf8.resize(U_SUCCESS(status) ? static_cast<size_t>(length) : 0);
        return utf8;
    }
    return std::nullopt;
}

void SetText(const TSQLMemFieldDefs& defs, int32_t field_no, std::string_view text,
             std::byte* row) {
    if (field_no < 0 || field_no >= defs.Count()) {
        ThrowInvalidFieldNo(10004, field_no, defs.Count());
    }
    const std::string terminated(text.substr(0, text.find('\0')));
    if (IsWideStringType(defs[field_no].BaseType)) {
        const std::u16string wide = Utf8ToUtf16(terminated.c_str());
        SetFieldData(defs, field_no, wide.c_str(), row);
        return;
    }
    SetFieldData(defs, field_no, terminated.c_str(), row);
}

// --- Date and time ---

namespace {

// Date-times from 1 January of year 1, 00:00 up to (not including) 1 January 10000.
constexpr double kFirstDateTime = -693594.0;  // exclusive: 31 December of year 0
constexpr double kEndDateTime = 2958466.0;    // exclusive: 1 January 10000

void CheckDateTime(double date_time) {
    if (!(date_time > kFirstDateTime && date_time < kEndDateTime)) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", date_time);
        throw ESQLMemException::Formatted(30051,
                                          std::string("Date-time value out of range: ") + text);
    }
}

}  // namespace

int32_t DateTimeToStoredDate(double date_time) { return DateTimeToStored(date_time).date; }

int32_t DateTimeToStoredTime(double date_time) { return DateTimeToStored(date_time).time; }

StoredDateTime DateTimeToStored(double date_time) {
    CheckDateTime(date_time);
    const double whole_days = std::trunc(date_time);
    // The fraction is the time of day also before 1899-12-30, where -1.25 is 06:00 of
    // the day before.
    const double fraction = std::fabs(date_time - whole_days);
    StoredDateTime stored{static_cast<int32_t>(whole_days) + kDateDelta,
                          static_cast<int32_t>(std::llround(fraction * kMillisecondsPerDay))};
    if (stored.time >= kMillisecondsPerDay) {
        // Rounded up to midnight: that is the start of the next day.
        stored.time = 0;
        stored.date += 1;
        if (stored.date - kDateDelta >= kEndDateTime) {
            CheckDateTime(kEndDateTime);
        }
    }
    return stored;
}

double StoredDateToDateTime(int32_t date) {
    return date == kMissingDate ? 0.0 : static_cast<double>(date - kDateDelta);
}

double StoredTimeToDateTime(int32_t time) {
    return time == kMissingTime ? 0.0 : static_cast<double>(time) / kMillisecondsPerDay;
}

double StoredToDateTime(StoredDateTime stored) {
    const double date = StoredDateToDateTime(stored.date);
    const double time = StoredTimeToDateTime(stored.time);
    return date < 0 ? date - time : date + time;
}

// --- Row identifier, bookmark flag ---

TSQLMemRecordID GetRecordID(const std::byte* buffer, int32_t data_size) {
    return {Load<int32_t>(buffer + data_size), Load<int16_t>(buffer + data_size + 4)};
}

void SetRecordID(std::byte* buffer, int32_t data_size, TSQLMemRecordID id) {
    Store<int32_t>(buffer + data_size, id.PageNo);
    Store<int16_t>(buffer + data_size + 4, id.PageItemNo);
}

TBookmarkFlag GetBookmarkFlag(const std::byte* buffer, int32_t data_size) {
    return static_cast<TBookmarkFlag>(buffer[data_size + kRecordIdSize]);
}

void SetBookmarkFlag(std::byte* buffer, int32_t data_size, TBookmarkFlag flag) {
    buffer[data_size + kRecordIdSize] = static_cast<std::byte>(flag);
}

// --- Key buffers ---

void InitKeyBuffer(std::byte* key, int32_t data_size, int32_t field_count) {
    std::memset(key, 0, static_cast<size_t>(data_size + kKeyTrailerSize));
    SetAllNull(key, field_count);
}

KeyTrailer GetKeyTrailer(const std::byte* key, int32_t data_size) {
    const std::byte* trailer = key + data_size;
    return {trailer[kKeyModifiedOffset] != std::byte{0},
            trailer[kKeyExclusiveOffset] != std::byte{0},
            Load<int32_t>(trailer + kKeyFieldCountOffset)};
}

void SetKeyTrailer(std::byte* key, int32_t data_size, const KeyTrailer& trailer) {
    std::byte* dest = key + data_size;
    dest[kKeyModifiedOffset] = std::byte{trailer.modified ? uint8_t{1} : uint8_t{0}};
    dest[kKeyExclusiveOffset] = std::byte{trailer.exclusive ? uint8_t{1} : uint8_t{0}};
    Store<int32_t>(dest + kKeyFieldCountOffset, trailer.field_count);
}

// --- Calculated-field area ---

int32_t NativeDataSize(TFieldType type, int32_t size) {
    switch (type) {
        case ftBoolean:
        case ftSmallint:
            return 2;
        case ftInteger:
        case ftWord:
        case ftAutoInc:
            return 4;
        case ftLargeint:
        case ftFloat:
        case ftCurrency:
        case ftDate:
        case ftTime:
        case ftDateTime:
        case ftTimeStamp:
            return 8;
        case ftString:
        case ftFixedChar:
            return size * kMaxUtf8BytesPerCharacter + 1;
        case ftWideString:
            return (size * 2 + 1) * 2;
        default:
            return size > 0 ? size : 8;
    }
}

tapir::Exception RecordSizeError() { return tapir::Exception("ERangeError", "Range check error"); }

DatasetBufferLayout MakeDatasetBufferLayout(const TSQLMemFieldDefs& defs,
                                            const std::vector<CalcFieldSpec>& calc_fields) {
    DatasetBufferLayout layout;
    layout.data_size = defs.DataSize();
    if (static_cast<int64_t>(defs.RecordSize()) >= kMaxRecordSize) {
        throw RecordSizeError();
    }
    layout.record_id_offset = layout.data_size;
    layout.bookmark_flag_offset = layout.data_size + kRecordIdSize;
    layout.calc_area_offset = layout.data_size + kRecordTrailerSize;
    int32_t offset = layout.calc_area_offset;
    for (const CalcFieldSpec& calc : calc_fields) {
        layout.calc_offsets.push_back(offset);
        offset += 1 + NativeDataSize(calc.type, calc.size);
    }
    layout.buffer_size = offset;
    return layout;
}

// --- Comparison ---

CompareOutcome CompareValues(const void* a, TSQLMemBaseFieldType a_type, bool a_null, const void* b,
                             TSQLMemBaseFieldType b_type, bool b_null, bool ignore_case) {
    if (a_null || b_null) {
        if (a_null && b_null) {
            return CompareOutcome::BothNull;
        }
        return a_null ? CompareOutcome::FirstNull : CompareOutcome::SecondNull;
    }
    if (a == nullptr || b == nullptr) {
        throw ESQLMemException(30140, "Value is Null");
    }
    if (a_type == b_type) {
        return CompareSameType(a, b, a_type, ignore_case);
    }
    const Family a_family = FamilyOf(a_type);
    const Family b_family = FamilyOf(b_type);
    if (a_family == Family::Number && b_family == Family::Number) {
        if (IsIntegerBase(a_type) && IsIntegerBase(b_type)) {
            return Order(LoadInteger(a, a_type), LoadInteger(b, b_type));
        }
        return Order(LoadNumber(a, a_type), LoadNumber(b, b_type));
    }
    if (a_family == Family::DateTime && b_family == Family::DateTime) {
        return Order(LoadDateTimeValue(a, a_type), LoadDateTimeValue(b, b_type));
    }
    if (a_family == Family::Text && b_family == Family::Text) {
        return CompareSameType(a, b, bftVarchar, ignore_case);
    }
    if ((a_family == Family::Text || a_family == Family::WideText) &&
        (b_family == Family::Text || b_family == Family::WideText)) {
        const std::u16string left = a_family == Family::Text
                                        ? Utf8ToUtf16(static_cast<const char*>(a))
                                        : LoadWide(a, SIZE_MAX);
        const std::u16string right = b_family == Family::Text
                                         ? Utf8ToUtf16(static_cast<const char*>(b))
                                         : LoadWide(b, SIZE_MAX);
        return FromSign(platform::CompareWideText(left, right, ignore_case));
    }
    throw ESQLMemException::Formatted(30044, "Cannot compare Incompatible DataTypes: '" +
                                                 std::string(BaseTypeName(a_type)) + "' and '" +
                                                 std::string(BaseTypeName(b_type)) + "'");
}

int OutcomeSign(CompareOutcome outcome) {
    switch (outcome) {
        case CompareOutcome::Less:
        case CompareOutcome::FirstNull:
            return -1;
        case CompareOutcome::Greater:
        case CompareOutcome::SecondNull:
            return 1;
        default:
            return 0;
    }
}

}  // namespace tapir::engine
